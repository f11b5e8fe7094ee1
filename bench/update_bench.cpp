// Updating a catalog from its medium against a fresh scan plus save of the same folder tree,
// measured in the same run.
//
//   update_bench [--entries=1000000] [--repeat=3] [--keep=DIR]
//
// The tree is made in a temporary folder (or once in DIR with --keep): about `entries` entries,
// one folder per 20, sparse files with deterministic names, sizes and times. It is catalogued,
// 2% of the entries get a description, and then 1% of the files change on disk: a quarter are
// renamed in place, a quarter moved to another folder, a quarter grow and a quarter are deleted.
// Each measurement is the fastest of `repeat` runs; every update starts from a copy of the
// catalog as it was before the changes.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include "bench_util.h"
#include "catalog/catalog_file.h"
#include "scan/scanner.h"
#include "update/catalog_update.h"

using namespace lumivor;
using namespace lumivor::bench;

namespace {

std::string Name(Random& random, std::size_t length) {
  static constexpr char kLetters[] =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-";
  std::string name;
  for (std::size_t i = 0; i < length; ++i) name += kLetters[random.Below(sizeof kLetters - 1)];
  return name;
}

[[noreturn]] void Fail(const std::string& what) {
  std::cerr << what << ": " << std::strerror(errno) << '\n';
  std::exit(1);
}

void MakeFile(const std::string& path, off_t size, std::time_t when) {
  const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0 || ::ftruncate(fd, size) != 0) Fail(path);
  const timespec times[2] = {{when, 0}, {when, 0}};
  ::futimens(fd, times);
  ::close(fd);
}

// Makes the tree; returns the paths of its files and folders.
void MakeTree(const std::string& root, std::size_t entries, std::vector<std::string>* files,
              std::vector<std::string>* folders) {
  Random random(7);
  const std::size_t folder_count = std::max<std::size_t>(entries / 20, 1);
  folders->push_back(root);
  while (folders->size() < folder_count) {
    const std::string& parent = (*folders)[random.Below(folders->size())];
    if (std::count(parent.begin(), parent.end(), '/') > 12) continue;
    std::string path =
        parent + "/" + Name(random, 6 + random.Below(16)) + "-" + std::to_string(folders->size());
    if (::mkdir(path.c_str(), 0755) != 0) Fail(path);
    folders->push_back(std::move(path));
  }
  for (std::size_t i = 0; files->size() + folders->size() - 1 < entries; ++i) {
    std::string path = (*folders)[random.Below(folders->size())] + "/" +
                       Name(random, 8 + random.Below(24)) + "-" + std::to_string(i) + ".dat";
    MakeFile(path, static_cast<off_t>(random.Below(100'000'000)),
             static_cast<std::time_t>(1'100'000'000 + random.Below(700'000'000)));
    files->push_back(std::move(path));
  }
}

// Changes 1% of the files as the header says.
void ChangeTree(const std::vector<std::string>& files, const std::vector<std::string>& folders) {
  Random random(99);
  const std::size_t count = files.size() / 100;
  std::vector<std::size_t> picked;
  for (std::size_t i = 0; i < files.size() && picked.size() < count; i += files.size() / count) {
    picked.push_back(i);
  }
  for (std::size_t n = 0; n < picked.size(); ++n) {
    const std::string& path = files[picked[n]];
    switch (n % 4) {
      case 0:
        if (::rename(path.c_str(), (path + "-renamed").c_str()) != 0) Fail(path);
        break;
      case 1: {
        const std::string to = folders[random.Below(folders.size())] + "/moved-" +
                               std::to_string(n) + "-" + path.substr(path.rfind('/') + 1);
        if (::rename(path.c_str(), to.c_str()) != 0) Fail(path);
        break;
      }
      case 2:
        MakeFile(path, static_cast<off_t>(100'000'000 + n), 1'900'000'000);
        break;
      default:
        if (::unlink(path.c_str()) != 0) Fail(path);
    }
  }
}

struct Measured {
  std::function<void()> prepare;  // untimed
  std::function<void()> run;      // timed
};

// The fastest of `repeat` runs of each; the runs take turns, so that a change in the machine's
// load (other programs) meets all of them alike.
std::vector<double> FastestInTurns(std::size_t repeat, const std::vector<Measured>& measured) {
  std::vector<double> best(measured.size(), 1e100);
  for (std::size_t i = 0; i < repeat; ++i) {
    for (std::size_t m = 0; m < measured.size(); ++m) {
      measured[m].prepare();
      Stopwatch clock;
      measured[m].run();
      best[m] = std::min(best[m], clock.Seconds());
    }
  }
  return best;
}

double Fastest(std::size_t repeat, const std::function<void()>& prepare,
               const std::function<void()>& run) {
  return FastestInTurns(repeat, {{prepare, run}})[0];
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t entries = IntOption(argc, argv, "entries", 1'000'000);
  const std::size_t repeat = IntOption(argc, argv, "repeat", 3);
  TempDir temporary;
  const std::string keep = TextOption(argc, argv, "keep", "");
  const std::string base = keep.empty() ? temporary.Path() : keep;
  const std::string root = base + "/medium";
  const std::string original = base + "/Before.xml";
  const std::string marker = base + "/made-" + std::to_string(entries);
  if (keep.empty() || !std::filesystem::exists(marker)) {
    std::filesystem::remove_all(root);
    std::filesystem::create_directories(root);
    Stopwatch make_clock;
    std::vector<std::string> files, folders;
    MakeTree(root, entries, &files, &folders);
    CatalogTree before;
    ScanFolder(&before, root, false, "", original, NoProgress());
    std::size_t n = 0;
    before.ForEachPreOrder([&n](const CatalogTree::Node* node, int) {
      if (n++ % 50 == 0) {
        const_cast<CatalogTree::Node*>(node)->SetField(kDescription, "a note");
      }
    });
    WriteCatalogFile(before, original, NoProgress());
    ChangeTree(files, folders);
    Report("make_seconds", make_clock.Seconds());
    if (std::FILE* done = std::fopen(marker.c_str(), "w")) std::fclose(done);
  }

  const std::string scratch = base + "/Fresh.xml";
  const std::string updated = base + "/Updated.xml";
  CatalogTree fresh;
  // Untimed: brings the tree and the catalog into the caches.
  ScanFolder(&fresh, root, false, "", scratch, NoProgress());
  UpdateOutcome outcome;
  const auto copy_original = [&] {
    std::filesystem::copy_file(original, updated,
                               std::filesystem::copy_options::overwrite_existing);
  };
  const std::vector<double> times = FastestInTurns(
      repeat, {{[&] { fresh.Clear(); },
                [&] {
                  ScanFolder(&fresh, root, false, "", scratch, NoProgress());
                  WriteCatalogFile(fresh, scratch, NoProgress());
                }},
               {copy_original, [&] { outcome = UpdateCatalogFile(updated, {}, NoProgress()); }}});
  const double scan_save_seconds = times[0];
  const double update_seconds = times[1];

  // The phases of the update on their own, to see where its time goes.
  CatalogTree old_catalog;
  const double load_seconds = Fastest(
      repeat, [&] { old_catalog.Clear(); }, [&] { old_catalog = LoadCatalog(original); });
  MergeOptions options;
  options.missing_date = "2026-01-01";
  const double merge_seconds = Fastest(
      repeat, [&] { ScanFolder(&fresh, root, false, "", scratch, NoProgress()); },
      [&] { MergeUpdate(old_catalog, &fresh, options); });

  if (outcome.status != UpdateOutcome::Status::kUpdated) {
    std::cerr << "the update did not run\n";
    return 1;
  }
  const UpdateSummary& summary = outcome.summary;
  Report("entries", static_cast<double>(fresh.Size()));
  Report("scan_save_seconds", scan_save_seconds);
  Report("update_seconds", update_seconds);
  Report("update_ratio_scan_save", update_seconds / scan_save_seconds);
  Report("load_seconds", load_seconds);
  Report("merge_seconds", merge_seconds);
  Report("added", static_cast<double>(summary.added.size()));
  Report("removed", static_cast<double>(summary.removed.size()));
  Report("moved", static_cast<double>(summary.moved.size()));
  Report("changed", static_cast<double>(summary.changed.size()));
  Report("missing", static_cast<double>(summary.missing.size()));
  return 0;
}
