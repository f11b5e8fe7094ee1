// The deep scan (archives listed, tags read) against the plain scan of the same folder, measured
// in the same run.
//
//   deep_scan_bench [--songs=2000] [--photos=2000] [--archives=200] [--repeat=5] [--keep=DIR]
//
// The folder is made with ffmpeg, exiftool, zip, tar and 7z: a few distinct songs (mp3 and flac
// with tags), photos (JPEG with Exif date and camera) and archives (zip, tar.gz, 7z of 30 small
// files in nested folders) are made once and copied to the counts asked for, spread over folders
// of 50 files. It is kept in DIR (default: lumivor-deep-bench in the temporary folder) and reused
// by later runs with the same counts. The time the readers' module takes to load, once per process,
// is reported first (`readers_module_load_seconds`). Each scan then runs `repeat` times after an
// untimed plain and deep scan have brought the folder and the module into memory, plain and deep
// scans taking turns so that a busy moment of the machine falls on both alike; the fastest run of
// each counts, in wall-clock and processor seconds. Then what the deep scan adds per file in the
// scan of each kind of folder alone (`music_scan_extra_cpu_us_per_file`, `photos_...`,
// `backup_...`), and last the processor microseconds per file of each format read alone, one file
// at a time (`mp3_cpu_us_per_file`, ..., `zip_cpu_us_per_file`).
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "bench_util.h"
#include "scan/archive_lister.h"
#include "scan/local_time_converter.h"
#include "scan/media_readers.h"
#include "scan/media_tags.h"
#include "scan/scanner.h"

using namespace lumivor;
using namespace lumivor::bench;
namespace fs = std::filesystem;

namespace {

bool Run(const std::string& command) {
  if (std::system((command + " >/dev/null 2>&1").c_str()) == 0) return true;
  std::cerr << "failed: " << command << '\n';
  return false;
}

std::string Quote(const std::string& text) { return "'" + text + "'"; }

// The distinct originals, made in `dir`; their paths.
bool MakeOriginals(const std::string& dir, std::vector<std::string>* songs,
                   std::vector<std::string>* photos, std::vector<std::string>* archives) {
  fs::create_directories(dir);
  for (int i = 0; i < 4; ++i) {
    const std::string n = std::to_string(i);
    for (const char* ext : {"mp3", "flac"}) {
      const std::string path = dir + "/song" + n + "." + ext;
      if (!Run("ffmpeg -nostdin -v error -y -f lavfi -i sine=frequency=" +
               std::to_string(300 + 100 * i) + ":duration=" + std::to_string(3 + i) +
               " -ac 1 -metadata title='Song " + n + "' -metadata artist='Artist " + n +
               "' -metadata album='Album' -metadata date=200" + n + " " + Quote(path))) {
        return false;
      }
      songs->push_back(path);
    }
    const std::string photo = dir + "/photo" + n + ".jpg";
    if (!Run("ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=640x480 -frames:v 1 " +
             Quote(photo)) ||
        !Run("exiftool -q -overwrite_original -DateTimeOriginal='2020:01:0" + n +
             " 10:00:00' -Make=Canon -Model='Canon EOS " + n + "D' " + Quote(photo))) {
      return false;
    }
    photos->push_back(photo);
  }
  const std::string content = dir + "/content";
  for (int i = 0; i < 30; ++i) {
    const std::string folder = content + "/docs/part" + std::to_string(i % 3);
    fs::create_directories(folder);
    std::ofstream(folder + "/note" + std::to_string(i) + ".txt") << std::string(500 + i * 37, 'x');
  }
  const std::vector<std::pair<std::string, std::string>> makers = {
      {"a.zip", "zip -q -r ../a.zip docs"},
      {"a.tar.gz", "tar czf ../a.tar.gz docs"},
      {"a.7z", "7z a -bd ../a.7z docs"}};
  for (const auto& [name, command] : makers) {
    if (!Run("cd " + Quote(content) + " && " + command)) return false;
    archives->push_back(dir + "/" + name);
  }
  return true;
}

// Copies the originals round-robin into folders of 50 files below `root`.
std::size_t MakeFolder(const std::string& root, const std::string& originals, std::size_t songs,
                       std::size_t photos, std::size_t archives) {
  std::vector<std::string> song_files, photo_files, archive_files;
  if (!MakeOriginals(originals, &song_files, &photo_files, &archive_files)) return 0;
  std::size_t made = 0;
  auto place = [&](const std::vector<std::string>& sources, std::size_t count,
                   const std::string& kind) {
    for (std::size_t i = 0; i < count; ++i) {
      const fs::path source = sources[i % sources.size()];
      const std::string folder = root + "/" + kind + std::to_string(i / 50);
      fs::create_directories(folder);
      std::string name = source.stem().string();
      // Keep ".tar.gz" whole.
      std::string extension = source.filename().string().substr(name.size());
      if (source.filename().string().ends_with(".tar.gz")) {
        name = source.filename().string().substr(0, source.filename().string().size() - 7);
        extension = ".tar.gz";
      }
      fs::copy_file(source, folder + "/" + name + "-" + std::to_string(i) + extension,
                    fs::copy_options::overwrite_existing);
      ++made;
    }
  };
  place(song_files, songs, "Music/");
  place(photo_files, photos, "Photos/");
  place(archive_files, archives, "Backup/");
  return made;
}

double CpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct Timing {
  double seconds = 1e100, cpu = 1e100;
};

void Time(const std::function<void()>& run, Timing* best) {
  const double cpu_before = CpuSeconds();
  Stopwatch clock;
  run();
  best->seconds = std::min(best->seconds, clock.Seconds());
  best->cpu = std::min(best->cpu, CpuSeconds() - cpu_before);
}

Timing Fastest(std::size_t repeat, const std::function<void()>& run) {
  Timing best;
  for (std::size_t i = 0; i < repeat; ++i) Time(run, &best);
  return best;
}

// The fastest runs of `first` and `second`, run in turns.
std::pair<Timing, Timing> FastestInTurns(std::size_t repeat, const std::function<void()>& first,
                                         const std::function<void()>& second) {
  std::pair<Timing, Timing> best;
  for (std::size_t i = 0; i < repeat; ++i) {
    Time(first, &best.first);
    Time(second, &best.second);
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  PinLocalTimeZone();  // as the programs do
  const std::size_t songs = IntOption(argc, argv, "songs", 2000);
  const std::size_t photos = IntOption(argc, argv, "photos", 2000);
  const std::size_t archives = IntOption(argc, argv, "archives", 200);
  const std::size_t repeat = IntOption(argc, argv, "repeat", 5);
  const std::string base =
      TextOption(argc, argv, "keep", (fs::temp_directory_path() / "lumivor-deep-bench").string());
  const std::string root = base + "/folder";
  const std::string marker = base + "/made-" + std::to_string(songs) + "-" +
                             std::to_string(photos) + "-" + std::to_string(archives);
  if (!fs::exists(marker)) {
    fs::remove_all(base);
    fs::create_directories(root);
    Stopwatch make_clock;
    if (MakeFolder(root, base + "/originals", songs, photos, archives) !=
        songs + photos + archives) {
      return 1;
    }
    std::ofstream(marker) << "made\n";
    Report("make_seconds", make_clock.Seconds());
  }

  const std::string catalog = base + "/Deep.xml";
  CatalogTree tree;
  // The readers' module (the tag and archive libraries) is loaded once per process, by the first
  // deep scan that needs it; its cost is reported apart, not in every scan.
  Stopwatch load_clock;
  if (!MediaReaders()) {
    std::cerr << MediaReadersError() << '\n';
    return 1;
  }
  Report("readers_module_load_seconds", load_clock.Seconds());
  // Untimed: warm the caches.
  ScanFolder(&tree, root, false, "", catalog);
  ScanFolder(&tree, root, false, "", catalog, NoProgress(), nullptr, nullptr, {true, true});
  std::size_t plain_records = 0, deep_records = 0;
  ScanReport report;
  const auto [plain, deep] = FastestInTurns(
      repeat,
      [&] {
        tree.Clear();
        ScanFolder(&tree, root, false, "", catalog);
        plain_records = tree.Size();
      },
      [&] {
        tree.Clear();
        ScanFolder(&tree, root, false, "", catalog, NoProgress(), nullptr, &report, {true, true});
        deep_records = tree.Size();
      });
  const std::size_t files = songs + photos + archives;
  if (report.deep.files_tagged != songs + photos || report.deep.archives_listed != archives) {
    std::cerr << "mismatch: tagged " << report.deep.files_tagged << " of " << songs + photos
              << ", listed " << report.deep.archives_listed << " of " << archives << '\n';
    return 1;
  }

  Report("files", static_cast<double>(files));
  Report("plain_records", static_cast<double>(plain_records));
  Report("deep_records", static_cast<double>(deep_records));
  Report("plain_seconds", plain.seconds);
  Report("deep_seconds", deep.seconds);
  Report("deep_ratio_plain", deep.seconds / plain.seconds);
  Report("plain_cpu_seconds", plain.cpu);
  Report("deep_cpu_seconds", deep.cpu);
  Report("deep_cpu_ratio_plain", deep.cpu / plain.cpu);
  Report("plain_us_per_file", plain.seconds / static_cast<double>(files) * 1e6);
  Report("deep_us_per_file", deep.seconds / static_cast<double>(files) * 1e6);
  Report("deep_extra_us_per_file",
         (deep.seconds - plain.seconds) / static_cast<double>(files) * 1e6);

  // What the deep scan adds per file of each folder of one kind, through the scan itself (where
  // the media files' first bytes are read in batches): processor time of the deep scan of the
  // folder less that of its plain scan, per file.
  for (const auto& [kind, count] : std::vector<std::pair<std::string, std::size_t>>{
           {"Music", songs}, {"Photos", photos}, {"Backup", archives}}) {
    if (count == 0) continue;
    CatalogTree part;
    const std::string folder = root + "/" + kind;
    const auto [plain_part, deep_part] = FastestInTurns(
        repeat,
        [&] {
          part.Clear();
          ScanFolder(&part, folder, false, "", catalog);
        },
        [&] {
          part.Clear();
          ScanFolder(&part, folder, false, "", catalog, NoProgress(), nullptr, nullptr,
                     {true, true});
        });
    std::string key = kind;
    key[0] = static_cast<char>(key[0] - 'A' + 'a');
    Report(key + "_scan_extra_cpu_us_per_file",
           (deep_part.cpu - plain_part.cpu) / static_cast<double>(count) * 1e6);
  }

  // What each format costs to read alone, per file (processor time, tags read or archive listed
  // through the same functions the scan calls).
  std::map<std::string, std::vector<std::string>> by_format;
  for (const auto& item : fs::recursive_directory_iterator(root)) {
    if (!item.is_regular_file()) continue;
    const std::string name = item.path().filename().string();
    by_format[name.ends_with(".tar.gz") ? "targz" : item.path().extension().string().substr(1)]
        .push_back(item.path().string());
  }
  for (const auto& [format, paths] : by_format) {
    const bool archive = IsArchiveName(paths.front());
    std::size_t read = 0;
    const Timing each = Fastest(repeat, [&] {
      read = 0;
      for (const std::string& path : paths) {
        if (archive) {
          read += ListArchive(path).outcome == ArchiveOutcome::kListed;
        } else {
          read += !ReadMediaTags(path).empty();
        }
      }
    });
    if (read != paths.size()) {
      std::cerr << format << ": read " << read << " of " << paths.size() << '\n';
      return 1;
    }
    Report(format + "_cpu_us_per_file", each.cpu / static_cast<double>(paths.size()) * 1e6);
  }
  return 0;
}
