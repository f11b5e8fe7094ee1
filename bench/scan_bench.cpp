// The scan of a folder tree into a catalog tree, against two floors measured in the same run on
// the same tree: find printing size, time and path of every entry, and a bare single-threaded
// getdents64/fstatat walk that records nothing. The walk on a thread per core is also timed
// against the same walk on one thread, and against the single-threaded walk of the deep scan,
// and their catalogs must be identical. A simulation times the walk of a small tree with a wait
// before every system call (a slow disk or a network share) on 1, 2, 4 and 8 threads, which
// shows what more cores would give where the machine has few.
//
//   scan_bench [--files=200000] [--folders=N] [--repeat=3] [--keep=DIR]
//              [--sim-entries=3000] [--sim-latency-us=200] [--cli=PATH]
//
// The whole `lumivor-cli scan` process, catalog saved, is timed against find in the same rounds
// (each round runs both, the fastest of each counts); the program is looked for beside this
// one's build folder (../src/lumivor-cli) unless --cli names it, and the line is left out
// without it. Its catalog, written from the listings without a tree, must be the one saved of
// the scanned tree, apart from the scan date and the free space.
//
// The scan saved straight from the listings (ScanFolderToCatalog, what the command line does) is
// timed against the scan into a tree followed by the tree's save, and their catalogs compared.
//
// The tree is made afresh in a temporary folder: `files` sparse files (no disk blocks) with
// deterministic names, sizes and times in about files/16 folders nested at most 8 deep. Each
// measurement is taken `repeat` times and the fastest counts, after one untimed find has brought
// the tree into the caches.
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include "bench_util.h"
#include "catalog/catalog_file.h"
#include "catalog/catalog_reader.h"
#include "catalog/xml_document.h"
#include "scan/folder_walk.h"
#include "scan/scanner.h"

using namespace lumivor;
using namespace lumivor::bench;

namespace {

constexpr int kMaxDepth = 8;
constexpr const char* kExtensions[] = {"jpg", "mp3", "txt", "pdf", "flac", "mkv", "doc", "png",
                                       "c",   "h",   "xml", "gz",  "iso",  "ogg", "html"};

std::string Name(Random& random, std::size_t length) {
  static constexpr char kLetters[] =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 _-";
  std::string name;
  for (std::size_t i = 0; i < length; ++i) name += kLetters[random.Below(sizeof kLetters - 1)];
  if (name.back() == ' ') name.back() = '_';
  return name;
}

// Makes the synthetic tree below `root`; returns the number of entries made (folders + files).
std::size_t MakeTree(const std::string& root, std::size_t files, std::size_t folders) {
  Random random(2024);
  struct Folder {
    std::string path;
    int depth;
  };
  std::vector<Folder> made{{root, 0}};
  while (made.size() < folders) {
    const Folder& parent = made[random.Below(made.size())];
    if (parent.depth >= kMaxDepth) continue;
    std::string path =
        parent.path + "/" + Name(random, 8 + random.Below(20)) + "-" + std::to_string(made.size());
    const int depth = parent.depth + 1;
    if (::mkdir(path.c_str(), 0755) != 0) continue;
    made.push_back({std::move(path), depth});
  }
  for (std::size_t i = 0; i < files; ++i) {
    const Folder& folder = made[random.Below(made.size())];
    const std::string path = folder.path + "/" + Name(random, 10 + random.Below(25)) + "-" +
                             std::to_string(i) + "." +
                             kExtensions[random.Below(std::size(kExtensions))];
    const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
      std::cerr << path << ": " << std::strerror(errno) << '\n';
      std::exit(1);
    }
    const off_t size = static_cast<off_t>(random.Below(200'000'000));
    if (::ftruncate(fd, size) != 0) std::exit(1);
    const std::time_t when = static_cast<std::time_t>(1'100'000'000 + random.Below(700'000'000));
    const timespec times[2] = {{when, 0}, {when, 0}};
    ::futimens(fd, times);
    ::close(fd);
  }
  return made.size() - 1 + files;
}

// The floor: every entry listed with getdents64 and stated with fstatat, nothing kept.
std::size_t BareWalk(const std::string& root, std::uint64_t* total_size) {
  std::vector<char> buffer(64 * 1024);
  std::vector<int> stack{::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
  std::vector<std::vector<std::string>> pending(1);
  std::size_t entries = 0;
  std::uint64_t size = 0;
  // Each folder is read to its end, then its subfolders are entered one by one.
  auto read_folder = [&](int fd, std::vector<std::string>& subfolders) {
    for (;;) {
      const long bytes = ::syscall(SYS_getdents64, fd, buffer.data(), buffer.size());
      if (bytes <= 0) break;
      for (long at = 0; at < bytes;) {
        unsigned short length;
        std::memcpy(&length, buffer.data() + at + 16, sizeof length);
        const char* name = buffer.data() + at + 19;
        at += length;
        if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
        struct stat info;
        if (::fstatat(fd, name, &info, AT_SYMLINK_NOFOLLOW) != 0) continue;
        ++entries;
        if (S_ISDIR(info.st_mode)) {
          subfolders.emplace_back(name);
        } else {
          size += static_cast<std::uint64_t>(info.st_size);
        }
      }
    }
  };
  read_folder(stack.back(), pending.back());
  while (!stack.empty()) {
    if (pending.back().empty()) {
      ::close(stack.back());
      stack.pop_back();
      pending.pop_back();
      continue;
    }
    const std::string name = std::move(pending.back().back());
    pending.back().pop_back();
    const int fd =
        ::openat(stack.back(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) continue;
    stack.push_back(fd);
    pending.emplace_back();
    read_folder(fd, pending.back());
  }
  *total_size = size;
  return entries;
}

// The lumivor-cli of the same build: ../src/lumivor-cli from this program's folder.
std::string FindCli(int argc, char** argv) {
  std::string cli = TextOption(argc, argv, "cli", "");
  if (cli.empty()) {
    char self[4096];
    const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) return {};
    std::string folder(self, static_cast<std::size_t>(length));
    folder.erase(folder.rfind('/'));
    cli = folder + "/../src/lumivor-cli";
  }
  return ::access(cli.c_str(), X_OK) == 0 ? cli : std::string();
}

// A catalog text without the moment of its scan: the ScanDate and VolumeFree attributes.
std::string WithoutScanMoment(std::string text) {
  for (const std::string_view name : {" ScanDate=\"", " VolumeFree=\""}) {
    const std::size_t at = text.find(name);
    if (at == std::string::npos) continue;
    const std::size_t end = text.find('"', at + name.size());
    text.erase(at, end - at + 1);
  }
  return text;
}

// Processor seconds (user and system) this process has used so far.
double CpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The fastest of `repeat` runs in wall-clock seconds; `cpu` gets the fewest processor seconds,
// which a machine busy with other work disturbs less.
double Fastest(std::size_t repeat, const std::function<void()>& run, double* cpu = nullptr) {
  double best = 1e100, best_cpu = 1e100;
  for (std::size_t i = 0; i < repeat; ++i) {
    const double cpu_before = CpuSeconds();
    Stopwatch clock;
    run();
    best = std::min(best, clock.Seconds());
    best_cpu = std::min(best_cpu, CpuSeconds() - cpu_before);
  }
  if (cpu) *cpu = best_cpu;
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t files = IntOption(argc, argv, "files", 200'000);
  const std::size_t folders =
      IntOption(argc, argv, "folders", std::max<std::size_t>(files / 16, 2));
  const std::size_t repeat = IntOption(argc, argv, "repeat", 3);
  // --keep=DIR makes the tree in DIR once and reuses it in later runs with the same sizes.
  TempDir temporary;
  const std::string keep = TextOption(argc, argv, "keep", "");
  const std::string base = keep.empty() ? temporary.Path() : keep;
  const std::string root = base + "/tree";
  const std::string marker =
      base + "/made-" + std::to_string(files) + "-" + std::to_string(folders);
  std::size_t made = 0;
  struct stat marker_info;
  if (!keep.empty() && ::stat(marker.c_str(), &marker_info) == 0) {
    made = static_cast<std::size_t>(marker_info.st_size);
  } else {
    ::mkdir(base.c_str(), 0755);
    if (::mkdir(root.c_str(), 0755) != 0) {
      std::cerr << root << ": " << std::strerror(errno) << " (remove it first)\n";
      return 1;
    }
    Stopwatch make_clock;
    made = MakeTree(root, files, folders);
    Report("make_seconds", make_clock.Seconds());
    const int fd = ::open(marker.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    if (fd >= 0 && ::ftruncate(fd, static_cast<off_t>(made)) == 0) ::close(fd);
  }

  const std::string find_command = "find '" + root + "' -printf '%s %T@ %p\\n' >/dev/null";
  if (std::system(find_command.c_str()) != 0) return 1;  // untimed: warms the caches

  double floor_cpu = 0, scan_cpu = 1e100;
  const double find_seconds = Fastest(repeat, [&] {
    if (std::system(find_command.c_str()) != 0) std::exit(1);
  });
  // The whole command-line scan into a library of its own, against find in the same rounds.
  const std::string cli = FindCli(argc, argv);
  double cli_seconds = 0, cli_find_seconds = 0;
  if (!cli.empty()) {
    const std::string library = base + "/library";
    ::mkdir(library.c_str(), 0755);
    const std::string cli_command = "'" + cli + "' scan '" + root +
                                    "' --name Synthetic --force --library '" + library +
                                    "' >/dev/null";
    cli_seconds = cli_find_seconds = 1e100;
    for (std::size_t i = 0; i < repeat; ++i) {
      Stopwatch find_clock;
      if (std::system(find_command.c_str()) != 0) return 1;
      cli_find_seconds = std::min(cli_find_seconds, find_clock.Seconds());
      Stopwatch cli_clock;
      if (std::system(cli_command.c_str()) != 0) {
        std::cerr << cli_command << " failed\n";
        return 1;
      }
      cli_seconds = std::min(cli_seconds, cli_clock.Seconds());
    }
  }
  std::size_t floor_entries = 0;
  std::uint64_t floor_size = 0;
  const double floor_seconds = Fastest(
      repeat, [&] { floor_entries = BareWalk(root, &floor_size); }, &floor_cpu);

  const std::string catalog = base + "/Synthetic.xml";
  CatalogTree tree;
  double save_seconds = 1e100, scan_seconds = 1e100;
  for (std::size_t i = 0; i < repeat; ++i) {
    tree.Clear();  // freeing the last run's records is not part of the scan
    const double cpu_before = CpuSeconds();
    Stopwatch clock;
    ScanFolder(&tree, root, false, "", catalog, NoProgress());
    scan_seconds = std::min(scan_seconds, clock.Seconds());
    scan_cpu = std::min(scan_cpu, CpuSeconds() - cpu_before);
  }
  for (std::size_t i = 0; i < repeat; ++i) {
    Stopwatch clock;
    WriteCatalogFile(tree, catalog, NoProgress());
    save_seconds = std::min(save_seconds, clock.Seconds());
  }
  // The command line writes its catalog straight from the listings: it must be the one saved of
  // the tree, apart from the moment of the scan (its date and the volume's free space).
  bool cli_identical = true;
  if (!cli.empty()) {
    cli_identical = WithoutScanMoment(ReadWholeFile(catalog)) ==
                    WithoutScanMoment(ReadWholeFile(base + "/library/Synthetic.xml"));
  }
  // The scan saved straight from the listings, as the command line saves it, against the scan
  // into a tree and the tree's save above; its catalog must be the tree's.
  const std::string straight_folder = base + "/straight";
  ::mkdir(straight_folder.c_str(), 0755);
  const std::string straight_catalog = straight_folder + "/Synthetic.xml";
  double straight_cpu = 0;
  const double straight_seconds = Fastest(
      repeat, [&] { ScanFolderToCatalog(root, false, "", straight_catalog, NoProgress()); },
      &straight_cpu);
  const bool straight_identical = WithoutScanMoment(ReadWholeFile(catalog)) ==
                                  WithoutScanMoment(ReadWholeFile(straight_catalog));

  // The walk alone, into a tree, on one thread and on a thread per core; and the deep scan's
  // walk on one thread. Their catalogs must be the same, byte for byte.
  auto walk_text = [&](std::size_t threads, bool tree_walker, double* seconds, double* cpu) {
    CatalogTree walked;
    std::string text;
    *seconds = Fastest(
        repeat,
        [&] {
          walked.Clear();
          TreeSink sink(&walked);
          RecordView top;
          top.fields[kFileName] = root;
          top.fields[kFullPath] = root;
          top.fields[kFileType] = kDirectoryType;
          sink.Add(top);
          ScanSettings settings;
          settings.CatalogName = "Synthetic";
          if (tree_walker) {
            (void)ScanDirectory(walked, root, walked.Top(), settings);
          } else {
            WalkOptions options;
            options.threads = threads;
            (void)WalkFolder(root, root, 0, settings, sink, options);
          }
        },
        cpu);
    return CatalogText(walked);
  };
  double walk_single_seconds = 0, walk_threads_seconds = 0, tree_walk_seconds = 0;
  double walk_single_cpu = 0, walk_threads_cpu = 0, tree_walk_cpu = 0;
  const std::string single_text = walk_text(1, false, &walk_single_seconds, &walk_single_cpu);
  const std::string threads_text = walk_text(0, false, &walk_threads_seconds, &walk_threads_cpu);
  const std::string tree_text = walk_text(1, true, &tree_walk_seconds, &tree_walk_cpu);
  const bool identical = single_text == threads_text && single_text == tree_text;

  // The simulation: a small tree, every system call of the walk waiting first.
  const std::size_t sim_entries = IntOption(argc, argv, "sim-entries", 3000);
  const auto latency = std::chrono::microseconds(IntOption(argc, argv, "sim-latency-us", 200));
  const std::string sim_root = base + "/sim-" + std::to_string(sim_entries);
  struct stat sim_info;
  if (::stat(sim_root.c_str(), &sim_info) != 0) {
    ::mkdir(sim_root.c_str(), 0755);
    MakeTree(sim_root, sim_entries - sim_entries / 16, sim_entries / 16);
  }
  std::vector<double> sim_seconds;
  for (const std::size_t threads : {1, 2, 4, 8}) {
    struct Count final : RecordSink {
      bool Add(const RecordView&) override { return true; }
    } count;
    WalkOptions options;
    options.threads = threads;
    options.call_latency = latency;
    ScanSettings settings;
    sim_seconds.push_back(
        Fastest(1, [&] { (void)WalkFolder(sim_root, sim_root, 0, settings, count, options); }));
  }

  // The scan records the top folder too; the floors count what lies below it.
  const std::size_t entries = tree.Size() - 1;
  if (entries != made || floor_entries != made ||
      tree.Top()->Field(kFileSize) != std::to_string(floor_size)) {
    std::cerr << "mismatch: made " << made << ", scanned " << entries << ", walked "
              << floor_entries << ", sizes " << tree.Top()->Field(kFileSize) << " / " << floor_size
              << '\n';
    return 1;
  }
  Report("entries", static_cast<double>(entries));
  Report("scan_seconds", scan_seconds);
  Report("find_seconds", find_seconds);
  Report("floor_seconds", floor_seconds);
  Report("save_seconds", save_seconds);
  Report("scan_entries_per_second", static_cast<double>(entries) / scan_seconds);
  Report("find_entries_per_second", static_cast<double>(entries) / find_seconds);
  Report("floor_entries_per_second", static_cast<double>(entries) / floor_seconds);
  Report("scan_cpu_seconds", scan_cpu);
  Report("floor_cpu_seconds", floor_cpu);
  Report("scan_cpu_ratio_floor", scan_cpu / floor_cpu);
  Report("scan_ratio_find", scan_seconds / find_seconds);
  Report("scan_ratio_floor", scan_seconds / floor_seconds);
  Report("scan_save_ratio_find", (scan_seconds + save_seconds) / find_seconds);
  Report("straight_seconds", straight_seconds);
  Report("straight_cpu_seconds", straight_cpu);
  Report("straight_ratio_scan_save", straight_seconds / (scan_seconds + save_seconds));
  Report("straight_ratio_find", straight_seconds / find_seconds);
  if (!cli.empty()) {
    Report("cli_scan_seconds", cli_seconds);
    Report("cli_find_seconds", cli_find_seconds);
    Report("cli_scan_ratio_find", cli_seconds / cli_find_seconds);
  }
  Report("walk_threads", static_cast<double>(DefaultWalkThreads()));
  Report("walk_threads_seconds", walk_threads_seconds);
  Report("walk_single_seconds", walk_single_seconds);
  Report("walk_tree_single_seconds", tree_walk_seconds);
  Report("walk_threads_cpu_seconds", walk_threads_cpu);
  Report("walk_single_cpu_seconds", walk_single_cpu);
  Report("walk_tree_single_cpu_seconds", tree_walk_cpu);
  Report("walk_threads_ratio_single", walk_threads_seconds / walk_single_seconds);
  Report("walk_threads_ratio_find", walk_threads_seconds / find_seconds);
  Report("walk_single_ratio_find", walk_single_seconds / find_seconds);
  Report("catalogs_identical", identical ? 1.0 : 0.0);
  Report("straight_catalog_identical", straight_identical ? 1.0 : 0.0);
  if (!cli.empty()) Report("cli_catalog_identical", cli_identical ? 1.0 : 0.0);
  Report("sim_entries", static_cast<double>(sim_entries));
  Report("sim_latency_us", static_cast<double>(latency.count()));
  Report("sim_1_thread_seconds", sim_seconds[0]);
  Report("sim_2_threads_seconds", sim_seconds[1]);
  Report("sim_4_threads_seconds", sim_seconds[2]);
  Report("sim_8_threads_seconds", sim_seconds[3]);
  Report("sim_4_threads_speedup", sim_seconds[0] / sim_seconds[2]);
  Report("sim_8_threads_speedup", sim_seconds[0] / sim_seconds[3]);
  if (!identical) {
    std::cerr << "the catalogs of the walks differ\n";
    return 1;
  }
  if (!straight_identical) {
    std::cerr << "the catalog saved straight from the listings differs from the saved tree's\n";
    return 1;
  }
  if (!cli_identical) {
    std::cerr << "the catalog of lumivor-cli scan differs from the saved tree's\n";
    return 1;
  }
  return 0;
}
