// Search benchmark: a library of 20 catalogs of 50,000 entries, searched by name for a text that
// matches nothing and for one that matches about 2% of the entries, each timed against
// `LC_ALL=C grep -F -c` of the same text over the same files. Every figure is the best of a few
// runs, so that the other work on the machine disturbs the ratio as little as possible.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_util.h"
#include "catalog/catalog_file.h"
#include "search/search.h"

extern char** environ;

namespace {

using lumivor::bench::Report;
using lumivor::bench::Stopwatch;

double Seconds(const timeval& time) {
  return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
}

// User and system seconds this process has used so far.
double CpuSecondsSoFar() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
}

// Runs grep over `files` with its output thrown away; the wall-clock seconds it took, and its
// processor seconds in `cpu_seconds` when given.
double GrepSeconds(const std::string& text, const std::vector<std::string>& files,
                   double* cpu_seconds = nullptr) {
  std::vector<std::string> args = {"grep", "-F", "-c", "--", text};
  args.insert(args.end(), files.begin(), files.end());
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  std::vector<std::string> env_texts = {"LC_ALL=C", "PATH=/usr/bin:/bin"};
  std::vector<char*> envp;
  for (auto& e : env_texts) envp.push_back(e.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  const Stopwatch watch;
  pid_t pid;
  if (posix_spawnp(&pid, "grep", &actions, nullptr, argv.data(), envp.data()) != 0) {
    std::perror("grep");
    std::exit(2);
  }
  int status;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  const double seconds = watch.Seconds();
  if (cpu_seconds) *cpu_seconds = Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
  posix_spawn_file_actions_destroy(&actions);
  return seconds;
}

struct Timing {
  double search, grep;
  double search_cpu, grep_cpu;  // processor seconds: fairer than wall time on a busy machine
  std::size_t results;
};

Timing Measure(const std::string& text, const std::string& library,
               const std::vector<std::string>& files, int rounds) {
  lumivor::SearchCriteria criteria;
  criteria.name = text;
  criteria.scope_path = library;
  criteria.scope_is_directory = true;
  Timing best{1e9, 1e9, 1e9, 1e9, 0};
  for (int round = 0; round < rounds; ++round) {
    const double cpu_before = CpuSecondsSoFar();
    const Stopwatch watch;
    const lumivor::SearchOutcome outcome = lumivor::SearchLibrary(criteria, lumivor::NoProgress());
    best.search = std::min(best.search, watch.Seconds());
    best.search_cpu = std::min(best.search_cpu, CpuSecondsSoFar() - cpu_before);
    best.results = outcome.results.Size();
    double grep_cpu = 0;
    best.grep = std::min(best.grep, GrepSeconds(text, files, &grep_cpu));
    best.grep_cpu = std::min(best.grep_cpu, grep_cpu);
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t catalogs = lumivor::bench::IntOption(argc, argv, "catalogs", 20);
  const std::size_t entries = lumivor::bench::IntOption(argc, argv, "entries", 50'000);
  const int rounds = static_cast<int>(lumivor::bench::IntOption(argc, argv, "rounds", 5));
  const std::string none_text = lumivor::bench::TextOption(argc, argv, "none", "zebra crossing");
  const std::string some_text = lumivor::bench::TextOption(argc, argv, "some", "e_a");

  lumivor::bench::TempDir dir;
  const std::string library = dir.Path() + "/CatalogLibrary";
  std::vector<std::string> files;
  std::size_t total = 0, matching = 0;
  {
    const lumivor::CatalogTree tree = lumivor::bench::SyntheticCatalog(entries, "Disk");
    tree.ForEachPreOrder([&](const lumivor::CatalogTree::Node* node, int) {
      if (lumivor::MatchesText(node->Field(lumivor::kFileName), some_text, false, false)) {
        ++matching;
      }
    });
    for (std::size_t i = 0; i < catalogs; ++i) {
      const std::string group = library + "/Group" + std::to_string(i % 4);
      std::filesystem::create_directories(group);
      files.push_back(group + "/Disk" + std::to_string(i) + ".xml");
      lumivor::WriteCatalogFile(tree, files.back(), lumivor::NoProgress());
      total += tree.Size();
    }
    matching *= catalogs;
  }
  // Both sides read the files from the page cache.
  (void)GrepSeconds(none_text, files);

  Report("entries", static_cast<double>(total));
  const Timing none = Measure(none_text, library, files, rounds);
  Report("search_none_seconds", none.search);
  Report("grep_none_seconds", none.grep);
  Report("search_none_ratio", none.search / none.grep);
  Report("search_none_cpu_ratio", none.search_cpu / none.grep_cpu);
  Report("search_none_results", static_cast<double>(none.results));
  const Timing some = Measure(some_text, library, files, rounds);
  Report("search_some_seconds", some.search);
  Report("grep_some_seconds", some.grep);
  Report("search_some_ratio", some.search / some.grep);
  Report("search_some_cpu_ratio", some.search_cpu / some.grep_cpu);
  Report("search_some_results", static_cast<double>(some.results));
  Report("search_some_share", static_cast<double>(matching) / static_cast<double>(total));
  if (some.results != matching) {
    std::fprintf(stderr, "expected %zu results, found %zu\n", matching, some.results);
    return 1;
  }
  return 0;
}
