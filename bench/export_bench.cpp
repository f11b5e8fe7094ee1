// Export benchmark: each export of a large catalog file, run as `lumivor-cli export` in a child
// process, timed against `lumivor-cli show` of the same file to /dev/null in the same run, with
// the peak resident memory of every child (from wait4). Every time is the best of a few rounds.
// The synthetic catalog has about as many records as asked for (whole folders).
//
//   export_bench [--records=1000000] [--rounds=2] [--formats=csv,txt,html,xml,xlsx]
//                [--cli=PATH] [--keep=FILE]
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "bench_util.h"
#include "catalog/catalog_file.h"
#include "catalog/fields.h"
#include "export/export_request.h"

#ifndef LUMIVOR_CLI_PATH
#define LUMIVOR_CLI_PATH "lumivor-cli"
#endif

extern char** environ;

namespace {

using lumivor::bench::Report;
using lumivor::bench::Stopwatch;

using Run = lumivor::bench::ChildRun;

// The best time and the highest peak of `rounds` runs.
Run Best(const std::vector<std::string>& args, std::size_t rounds) {
  Run best;
  best.seconds = 1e300;
  for (std::size_t i = 0; i < rounds; ++i) {
    const Run run = lumivor::bench::RunChildOrExit(args, false);
    best.seconds = std::min(best.seconds, run.seconds);
    best.peak_mb = std::max(best.peak_mb, run.peak_mb);
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace lumivor;
  const std::size_t records = bench::IntOption(argc, argv, "records", 1'000'000);
  const std::size_t rounds = bench::IntOption(argc, argv, "rounds", 2);
  const std::string cli = bench::TextOption(argc, argv, "cli", LUMIVOR_CLI_PATH);
  const std::string format_list = bench::TextOption(argc, argv, "formats", "csv,txt,html,xml,xlsx");

  // --keep=FILE makes the catalog at FILE once and reuses it in later runs.
  const std::string keep = bench::TextOption(argc, argv, "keep", "");
  bench::TempDir dir;
  const std::string catalog = keep.empty() ? dir.Path() + "/Backup.xml" : keep;
  // The catalog is made in a child process of its own. A spawned child starts out in this
  // process's memory until it runs the tool, and the kernel counts this process's peak towards
  // the child's: this process must stay small for the children's peaks to mean anything.
  if (keep.empty() || access(keep.c_str(), F_OK) != 0) {
    const pid_t maker = fork();
    if (maker == 0) {
      const CatalogTree tree = bench::SyntheticCatalog(records, "Backup");
      WriteCatalogFile(tree, catalog, NoProgress());
      std::_Exit(0);
    }
    int status = 0;
    if (maker < 0 || waitpid(maker, &status, 0) < 0 || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
      std::fprintf(stderr, "the catalog could not be made\n");
      return 2;
    }
  }
  Report("records", static_cast<double>(CountCatalogRecords(catalog, records * 2)));
  Report("bench_peak_mb", static_cast<double>(bench::PeakResidentBytes()) / (1024.0 * 1024.0));
  std::string columns;
  for (auto name : FieldNames) {
    if (!columns.empty()) columns += ',';
    columns += name;
  }

  const Run show = Best({cli, "show", catalog}, rounds);
  Report("show_seconds", show.seconds);
  Report("show_peak_mb", show.peak_mb);

  std::stringstream formats(format_list);
  std::string format;
  while (std::getline(formats, format, ',')) {
    const std::string out = dir.Path() + "/out." + format;
    const Run run =
        Best({cli, "export", catalog, "--format", format, "-o", out, "--columns", columns},
             format == "xlsx" ? 1 : rounds);
    Report("export_" + format + "_seconds", run.seconds);
    Report("export_" + format + "_ratio_to_show", run.seconds / show.seconds);
    Report("export_" + format + "_peak_mb", run.peak_mb);
    std::remove(out.c_str());
  }
  return 0;
}
