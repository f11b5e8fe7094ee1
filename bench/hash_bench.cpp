// Content hashing: the hashing stage of a scan over a folder of files of mixed sizes, warm in the
// page cache, beside `xxhsum -H2` over the same files in the same run. Also `duplicates` over a
// library of catalogs with hashes, and the coverage of a live folder against that library.
//
// Options: --files=N (files of the hashed folder; their sizes add up to about N * 100 KiB),
// --repeat=N (runs of each; the best counts). Others given to every bench are ignored.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_util.h"
#include "catalog/fields.h"
#include "copies/catalog_hashes.h"
#include "core/progress.h"
#include "scan/scanner.h"

extern char** environ;

namespace {

using lumivor::bench::Random;
using lumivor::bench::Report;
using lumivor::bench::Stopwatch;

// A file size drawn from a mix like a home folder's: most files small, a few large.
std::size_t MixedSize(Random& random) {
  const std::size_t pick = random.Below(1000);
  if (pick < 700) return 1 + random.Below(32 * 1024);                 // small documents
  if (pick < 950) return 32 * 1024 + random.Below(480 * 1024);        // pictures
  if (pick < 995) return 512 * 1024 + random.Below(4 * 1024 * 1024);  // songs
  return 8 * 1024 * 1024 + random.Below(24 * 1024 * 1024);            // films, archives
}

// Writes `count` files of mixed sizes into `folder`, in subfolders of 100, `budget` bytes at
// most in all; returns their paths.
std::vector<std::string> MakeFiles(const std::string& folder, std::size_t count,
                                   std::size_t budget) {
  Random random(7);
  std::vector<std::string> paths;
  std::vector<char> data(32 * 1024 * 1024 + 1);
  for (char& c : data) c = static_cast<char>(random.Next());
  std::size_t written = 0;
  for (std::size_t i = 0; i < count && written < budget; ++i) {
    const std::string dir = folder + "/d" + std::to_string(i / 100);
    if (i % 100 == 0) ::mkdir(dir.c_str(), 0777);
    const std::size_t size = std::min(MixedSize(random), budget - written);
    const std::string path = dir + "/f" + std::to_string(i) + ".bin";
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) continue;
    const std::size_t offset = random.Below(1024);
    if (::write(fd, data.data() + offset, size) != static_cast<ssize_t>(size)) std::perror("write");
    ::close(fd);
    written += size;
    paths.push_back(path);
  }
  return paths;
}

// Runs `xxhsum -H2` over `paths` (in as few runs as the argument limit allows), output dropped.
bool RunXxhsum(const std::vector<std::string>& paths) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  bool ok = true;
  for (std::size_t begin = 0; begin < paths.size();) {
    std::vector<char*> argv{const_cast<char*>("xxhsum"), const_cast<char*>("-H2")};
    std::size_t bytes = 0;
    std::size_t end = begin;
    while (end < paths.size() && bytes < 512 * 1024) {
      argv.push_back(const_cast<char*>(paths[end].c_str()));
      bytes += paths[end].size() + 1;
      ++end;
    }
    argv.push_back(nullptr);
    pid_t pid;
    if (posix_spawnp(&pid, "xxhsum", &actions, nullptr, argv.data(), environ) != 0) {
      ok = false;
      break;
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    ok = ok && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    begin = end;
  }
  posix_spawn_file_actions_destroy(&actions);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t files = lumivor::bench::IntOption(argc, argv, "files", 20000);
  const std::size_t repeat = lumivor::bench::IntOption(argc, argv, "repeat", 3);
  lumivor::bench::TempDir temp;
  const std::string folder = temp.Path() + "/medium";
  ::mkdir(folder.c_str(), 0777);
  const std::vector<std::string> paths = MakeFiles(folder, files, files * 100 * 1024);
  std::size_t bytes = 0;
  for (const std::string& path : paths) bytes += std::filesystem::file_size(path);
  Report("hash_files", static_cast<double>(paths.size()));
  Report("hash_bytes", static_cast<double>(bytes));

  lumivor::CatalogTree tree;
  lumivor::ScanFolder(&tree, folder, false, {}, temp.Path() + "/medium.xml");
  // Warm: every file read once before anything is timed.
  if (!RunXxhsum(paths)) {
    Report("xxhsum", "missing");
    return 1;
  }
  double baseline = 1e100, ours = 1e100;
  for (std::size_t run = 0; run < std::max<std::size_t>(repeat, 1); ++run) {
    Stopwatch xxhsum;
    RunXxhsum(paths);
    baseline = std::min(baseline, xxhsum.Seconds());
    lumivor::HashOptions options;
    options.rehash = true;
    Stopwatch hashing;
    const lumivor::HashReport report =
        lumivor::HashCatalogFiles(tree, folder, options, {}, lumivor::NoProgress());
    ours = std::min(ours, hashing.Seconds());
    if (report.hashed != paths.size()) {
      Report("hash_error", "not every file was hashed");
      return 1;
    }
  }
  Report("xxhsum_seconds", baseline);
  Report("hash_seconds", ours);
  Report("hash_vs_xxhsum", ours / baseline);
  Report("hash_gb_per_second", static_cast<double>(bytes) / ours / 1e9);
  return 0;
}
