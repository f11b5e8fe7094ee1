// Import benchmark: `lumivor-cli import` of a large ncdu export (extended, as `ncdu -e -o` writes
// it), in a child process, timed against `lumivor-cli show` of the catalog it made, with the peak
// resident memory of both (from wait4). Every time is the best of a few rounds. Both run with
// LUMIVOR_CACHE_DIR in the benchmark's folder, so that no search index of the user's is touched.
//
//   import_bench [--entries=1000000] [--rounds=2] [--cli=PATH]
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "bench_util.h"

#ifndef LUMIVOR_CLI_PATH
#define LUMIVOR_CLI_PATH "lumivor-cli"
#endif

extern char** environ;

namespace {

using lumivor::bench::Report;
using lumivor::bench::Stopwatch;

using Run = lumivor::bench::ChildRun;

// The best time and the highest peak of `rounds` runs; `remove` (when given) is removed before
// each run.
Run Best(const std::vector<std::string>& args, std::size_t rounds, const std::string& remove = {}) {
  Run best;
  best.seconds = best.cpu_seconds = 1e300;
  for (std::size_t i = 0; i < rounds; ++i) {
    if (!remove.empty()) std::remove(remove.c_str());
    const Run run = lumivor::bench::RunChildOrExit(args, false);
    best.seconds = std::min(best.seconds, run.seconds);
    best.cpu_seconds = std::min(best.cpu_seconds, run.cpu_seconds);
    best.peak_mb = std::max(best.peak_mb, run.peak_mb);
  }
  return best;
}

// Writes an ncdu export of about `entries` entries: folders of 100 files, ten folders to a parent.
std::size_t WriteNcduExport(const std::string& path, std::size_t entries) {
  std::ofstream out(path, std::ios::binary);
  out << "[1,2,{\"progname\":\"ncdu\",\"progver\":\"1.18\",\"timestamp\":1700000000},\n"
         "[{\"name\":\"/media/backup\",\"asize\":4096,\"dsize\":4096,\"dev\":2049,"
         "\"mtime\":1700000000}";
  lumivor::bench::Random random(7);
  std::size_t written = 1;
  for (std::size_t group = 0; written < entries; ++group) {
    out << ",\n[{\"name\":\"group " << group
        << "\",\"asize\":4096,\"dsize\":4096,\"mtime\":" << 1600000000 + group << "}";
    ++written;
    for (int folder = 0; folder < 10 && written < entries; ++folder) {
      out << ",\n[{\"name\":\"folder-" << folder << "\",\"asize\":4096,\"dsize\":4096,"
          << "\"mtime\":" << 1600000000 + folder << "}";
      ++written;
      for (int file = 0; file < 100 && written < entries; ++file) {
        const std::size_t size = random.Below(10'000'000);
        out << ",\n{\"name\":\"IMG_" << group << "_" << folder << "_" << file
            << ".jpg\",\"asize\":" << size << ",\"dsize\":" << (size + 4095) / 4096 * 4096
            << ",\"uid\":1000,\"gid\":1000,\"mode\":33188,\"mtime\":"
            << 1500000000 + random.Below(200'000'000) << "}";
        ++written;
      }
      out << "]";
    }
    out << "]";
  }
  out << "]]\n";
  return written;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace lumivor;
  const std::size_t entries = bench::IntOption(argc, argv, "entries", 1'000'000);
  const std::size_t rounds = bench::IntOption(argc, argv, "rounds", 2);
  const std::string cli = bench::TextOption(argc, argv, "cli", LUMIVOR_CLI_PATH);
  bench::TempDir dir;
  ::setenv("LUMIVOR_CACHE_DIR", (dir.Path() + "/cache").c_str(), 1);
  const std::string listing = dir.Path() + "/export.json";
  Report("entries", static_cast<double>(WriteNcduExport(listing, entries)));
  std::ifstream sized(listing, std::ios::binary | std::ios::ate);
  Report("listing_mb", static_cast<double>(sized.tellg()) / (1024.0 * 1024.0));

  // Every round imports a new catalog, as a user's import does: a catalog of the same name left
  // by the round before would be replaced, and dropping its 250 MB from the page cache inside
  // the rename would be timed as if it were the import's work.
  const std::string catalog = dir.Path() + "/Backup.xml";
  const Run import =
      Best({cli, "import", listing, "--name", "Backup", "--library", dir.Path(), "--force"}, rounds,
           catalog);
  const Run show = Best({cli, "show", dir.Path() + "/Backup.xml"}, rounds);
  Report("import_seconds", import.seconds);
  Report("show_seconds", show.seconds);
  Report("import_ratio_to_show", import.seconds / show.seconds);
  // The import writes its catalog as every save does, synced to the disk before it is renamed
  // into place; the CPU time tells the work apart from the wait for the disk.
  Report("import_cpu_seconds", import.cpu_seconds);
  Report("show_cpu_seconds", show.cpu_seconds);
  Report("import_cpu_ratio_to_show", import.cpu_seconds / show.cpu_seconds);
  Report("import_peak_mb", import.peak_mb);
  Report("show_peak_mb", show.peak_mb);
  return 0;
}
