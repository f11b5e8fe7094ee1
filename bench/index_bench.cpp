// Library index benchmark: a generated library of 200 catalogs (10,000,000 entries by default;
// --entries=N for smaller runs, --keep=DIR to make the library once and reuse it), indexed and
// searched, every figure beside the file search's over the same files in the same run:
//   - building the index: entries per second, and the index's size against the catalog files';
//   - selective queries (a word and a number, a few hundred results each): the whole
//     `lumivor-cli search` process, p50 and p95 over --queries different ones;
//   - a query that matches nothing: the whole process, p95;
//   - a query that matches about 2% of the entries: the time to the first 100 results and to
//     all of them, in the program;
//   - bringing the index up to date after one catalog was replaced.
// Both routes read warm files: the catalog files are read once before anything is timed.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_util.h"
#include "core/file_info.h"
#include "index/indexed_search.h"
#include "search/search.h"

extern char** environ;

namespace {

using lumivor::bench::Report;
using lumivor::bench::Stopwatch;

// The command-line tool beside this benchmark in the build tree.
std::string CliPath() {
  char self[4096];
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return "lumivor-cli";
  self[n] = '\0';
  return (std::filesystem::path(self).parent_path().parent_path() / "src/lumivor-cli").string();
}

// Runs the command with its output thrown away; the wall-clock seconds it took.
double RunSeconds(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  const Stopwatch watch;
  pid_t pid;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
    std::perror(argv[0]);
    std::exit(2);
  }
  int status;
  waitpid(pid, &status, 0);
  const double seconds = watch.Seconds();
  posix_spawn_file_actions_destroy(&actions);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "%s failed\n", args[0].c_str());
    std::exit(2);
  }
  return seconds;
}

double Percentile(std::vector<double> values, double share) {
  std::sort(values.begin(), values.end());
  const auto at = static_cast<std::size_t>(share * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(at, values.size() - 1)];
}

std::uint64_t FileBytes(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
}

lumivor::SearchCriteria NameCriteria(const std::string& library, const std::string& text) {
  lumivor::SearchCriteria criteria;
  criteria.name = text;
  criteria.scope_path = library;
  criteria.scope_is_directory = true;
  return criteria;
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t entries = lumivor::bench::IntOption(argc, argv, "entries", 10'000'000);
  const std::size_t catalogs = lumivor::bench::IntOption(argc, argv, "catalogs", 200);
  const std::size_t queries = lumivor::bench::IntOption(argc, argv, "queries", 100);
  const std::string keep = lumivor::bench::TextOption(argc, argv, "keep", "");
  const std::size_t per_catalog = std::max<std::size_t>(entries / catalogs, 1);

  lumivor::bench::TempDir temp;
  const std::string base = keep.empty() ? temp.Path() : keep;
  const std::string library = base + "/CatalogLibrary";
  const std::string cache = temp.Path() + "/cache";
  ::setenv("LUMIVOR_CACHE_DIR", cache.c_str(), 1);

  std::vector<std::string> files;
  for (std::size_t i = 0; i < catalogs; ++i) {
    files.push_back(library + "/Group" + std::to_string(i % 10) + "/Disk" + std::to_string(i) +
                    ".xml");
  }
  if (FileBytes(files.back()) == 0) {
    for (std::size_t i = 0; i < catalogs; ++i) {
      std::filesystem::create_directories(std::filesystem::path(files[i]).parent_path());
      const lumivor::CatalogTree tree =
          lumivor::bench::SyntheticCatalog(per_catalog, "Disk" + std::to_string(i), 1000 + i);
      lumivor::WriteCatalogFile(tree, files[i], lumivor::NoProgress());
    }
  }
  std::uint64_t catalog_bytes = 0;
  for (const std::string& file : files) {
    catalog_bytes += FileBytes(file);
    // Into the page cache, for both routes alike.
    RunSeconds({"/bin/cat", file});
  }

  // Building.
  Stopwatch build_watch;
  const lumivor::IndexUpdate built =
      lumivor::UpdateLibraryIndex(library, true, lumivor::NoProgress());
  const double build_seconds = build_watch.Seconds();
  const std::string index_path = lumivor::IndexPathFor(library);
  const std::uint64_t index_bytes = FileBytes(index_path) + FileBytes(index_path + "-wal");
  Report("entries", static_cast<double>(built.entries));
  Report("catalogs", static_cast<double>(built.catalogs));
  Report("catalog_bytes", static_cast<double>(catalog_bytes));
  Report("index_build_seconds", build_seconds);
  Report("index_build_entries_per_second", static_cast<double>(built.entries) / build_seconds);
  Report("index_bytes", static_cast<double>(index_bytes));
  Report("index_size_ratio", static_cast<double>(index_bytes) / static_cast<double>(catalog_bytes));

  // Selective queries: a word and a number the names hold, a few hundred results each.
  static const char* const kWords[] = {
      "holiday", "summer", "report",  "draft", "final", "concert", "family", "invoice", "backup",
      "project", "scan",   "picture", "album", "track", "notes",   "budget", "travel",  "archive"};
  const std::string cli = CliPath();
  std::vector<std::string> selective;
  lumivor::bench::Random random(7);
  for (std::size_t i = 0; i < queries; ++i) {
    selective.push_back(kWords[random.Below(std::size(kWords))] +
                        std::to_string(100 + random.Below(900)));
  }
  // The figures of the file search for one of them, in the program and as a whole process.
  {
    const Stopwatch watch;
    const lumivor::SearchOutcome outcome =
        lumivor::SearchLibrary(NameCriteria(library, selective[0]), lumivor::NoProgress());
    Report("file_search_selective_seconds", watch.Seconds());
    Report("file_search_selective_results", static_cast<double>(outcome.results.Size()));
  }
  Report("file_search_selective_process_seconds",
         RunSeconds({cli, "search", "--no-index", "--library", library, "--name", selective[0]}));
  std::vector<double> selective_seconds;
  std::size_t most_results = 0;
  for (const std::string& text : selective) {
    selective_seconds.push_back(RunSeconds({cli, "search", "--library", library, "--name", text}));
  }
  for (std::size_t i = 0; i < std::min<std::size_t>(queries, 10); ++i) {
    lumivor::LibraryIndex index(library, index_path);
    most_results = std::max(
        most_results,
        index.Search(NameCriteria(library, selective[i]), lumivor::NoProgress()).results.Size());
  }
  Report("index_selective_process_p50_seconds", Percentile(selective_seconds, 0.5));
  Report("index_selective_process_p95_seconds", Percentile(selective_seconds, 0.95));
  Report("index_selective_most_results_of_10", static_cast<double>(most_results));

  // A query that matches nothing.
  const std::string none_text = "zebra crossing";
  {
    const Stopwatch watch;
    (void)lumivor::SearchLibrary(NameCriteria(library, none_text), lumivor::NoProgress());
    Report("file_search_none_seconds", watch.Seconds());
  }
  std::vector<double> none_seconds;
  for (int i = 0; i < 20; ++i) {
    none_seconds.push_back(RunSeconds({cli, "search", "--library", library, "--name", none_text}));
  }
  Report("index_none_process_p95_seconds", Percentile(none_seconds, 0.95));

  // A query that matches about 2% of the entries: first results and all of them.
  const std::string share_text = "e_a";
  double file_share_seconds = 0;
  {
    const Stopwatch watch;
    const lumivor::SearchOutcome outcome =
        lumivor::SearchLibrary(NameCriteria(library, share_text), lumivor::NoProgress());
    file_share_seconds = watch.Seconds();
    Report("file_search_share_seconds", file_share_seconds);
    Report("share_results", static_cast<double>(outcome.results.Size()));
    Report("share_of_entries", static_cast<double>(outcome.results.Size()) /
                                   static_cast<double>(std::max<std::size_t>(built.entries, 1)));
  }
  {
    double first_100 = -1;
    const Stopwatch watch;
    const lumivor::IndexedSearchOutcome outcome = lumivor::SearchThroughIndex(
        NameCriteria(library, share_text), library, lumivor::NoProgress(),
        [&](const lumivor::SearchOutcome& so_far) {
          if (first_100 < 0 && so_far.results.Size() >= 100) first_100 = watch.Seconds();
        });
    const double all = watch.Seconds();
    Report("index_share_first_100_seconds", first_100);
    Report("index_share_all_seconds", all);
    Report("index_share_all_ratio_to_file_search", all / file_share_seconds);
    if (!outcome.used_index) std::fprintf(stderr, "index not used: %s\n", outcome.note.c_str());
  }

  // One catalog replaced by another program.
  {
    const lumivor::CatalogTree tree = lumivor::bench::SyntheticCatalog(per_catalog, "Disk0", 999);
    lumivor::WriteCatalogFile(tree, files[0], lumivor::NoProgress());
    const Stopwatch watch;
    const lumivor::IndexUpdate update =
        lumivor::UpdateLibraryIndex(library, false, lumivor::NoProgress());
    Report("index_update_one_catalog_seconds", watch.Seconds());
    Report("index_update_one_catalog_entries", static_cast<double>(tree.Size()));
    Report("index_update_read", static_cast<double>(update.read));
  }
  return 0;
}
