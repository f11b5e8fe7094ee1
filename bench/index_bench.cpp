// Library index benchmark: a generated library of 200 catalogs (10,000,000 entries by default;
// --entries=N for smaller runs, --keep=DIR to make the library once and reuse it), indexed and
// searched, every figure beside the file search's over the same files in the same run:
//   - building the index: entries per second, and the index's size against the catalog files';
//   - selective queries (a word and a number, a few hundred results each): the whole
//     `lumivor-cli search` process, p50 and p95 over --queries different ones;
//   - query shapes whose parts are common while their results are few (common words with a
//     digit, with an extension, two and three words, punctuation, letters beyond ASCII, letter
//     case, a whole name, a description): the whole process, p50 and p95 of each, beside the
//     file search of one query of the shape;
//   - a query that matches nothing: the whole process, p95;
//   - a query that matches about 2% of the entries: the time to the first 100 results and to
//     all of them, in the program;
//   - bringing the index up to date after one catalog was replaced.
// Both routes read warm files: the catalog files are read once before anything is timed. Every
// time is given as wall-clock seconds and as CPU seconds (user and system), since on a busy
// machine the wall clock also measures the other work.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "bench_util.h"
#include "catalog/catalog_file.h"
#include "index/indexed_search.h"
#include "search/search.h"

extern char** environ;

namespace {

using lumivor::bench::ChildRun;
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

double Percentile(std::vector<double> values, double share) {
  if (values.empty()) return 0;
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

struct Times {
  double wall = 0;
  double cpu = 0;
};

double CpuSeconds(const struct rusage& usage) {
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double OwnCpuSeconds() {
  struct rusage usage;
  ::getrusage(RUSAGE_SELF, &usage);
  return CpuSeconds(usage);
}

// Wall-clock and CPU time of work done in this process.
class Timer {
 public:
  Timer() : cpu_start_(OwnCpuSeconds()) {}
  [[nodiscard]] Times Elapsed() const { return {watch_.Seconds(), OwnCpuSeconds() - cpu_start_}; }

 private:
  Stopwatch watch_;
  double cpu_start_;
};

void ReportTimes(const std::string& key, Times times) {
  Report(key + "_seconds", times.wall);
  Report(key + "_cpu_seconds", times.cpu);
}

// Runs the command with its output thrown away; the wall-clock and CPU seconds it took.
Times Run(std::vector<std::string> args) {
  const ChildRun run = lumivor::bench::RunChildOrExit(std::move(args));
  return {run.seconds, run.cpu_seconds};
}

// The results the command prints (one line each, then a closing line on the error output).
std::size_t CountResults(std::vector<std::string> args) {
  std::string command;
  for (const std::string& arg : args) {
    command += "'";
    for (char c : arg) command += c == '\'' ? std::string("'\\''") : std::string(1, c);
    command += "' ";
  }
  command += "2>/dev/null | wc -l";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return 0;
  std::size_t lines = 0;
  if (std::fscanf(pipe, "%zu", &lines) != 1) lines = 0;
  ::pclose(pipe);
  return lines;
}

// p50 and p95 of the wall-clock and CPU times of running each command.
void ReportProcesses(const std::string& key,
                     const std::vector<std::vector<std::string>>& commands) {
  std::vector<double> wall, cpu;
  for (const auto& command : commands) {
    const Times times = Run(command);
    wall.push_back(times.wall);
    cpu.push_back(times.cpu);
  }
  Report(key + "_p50_seconds", Percentile(wall, 0.5));
  Report(key + "_p95_seconds", Percentile(wall, 0.95));
  Report(key + "_p50_cpu_seconds", Percentile(cpu, 0.5));
  Report(key + "_p95_cpu_seconds", Percentile(cpu, 0.95));
}

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
          lumivor::bench::SyntheticCatalog(per_catalog, "Disk" + std::to_string(i), 1000 + i, true);
      lumivor::WriteCatalogFile(tree, files[i], lumivor::NoProgress());
    }
  }
  std::uint64_t catalog_bytes = 0;
  for (const std::string& file : files) {
    catalog_bytes += FileBytes(file);
    // Into the page cache, for both routes alike.
    Run({"/bin/cat", file});
  }

  // Building.
  const Timer build_timer;
  const lumivor::IndexUpdate built =
      lumivor::UpdateLibraryIndex(library, true, lumivor::NoProgress());
  const Times build = build_timer.Elapsed();
  const std::string index_path = lumivor::IndexPathFor(library);
  const std::uint64_t index_bytes = FileBytes(index_path) + FileBytes(index_path + "-wal");
  Report("entries", static_cast<double>(built.entries));
  Report("catalogs", static_cast<double>(built.catalogs));
  Report("catalog_bytes", static_cast<double>(catalog_bytes));
  ReportTimes("index_build", build);
  Report("index_build_entries_per_second", static_cast<double>(built.entries) / build.wall);
  Report("index_build_entries_per_cpu_second", static_cast<double>(built.entries) / build.cpu);
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
  std::size_t most_results = 0;
  {
    lumivor::LibraryIndex index(library, index_path);
    for (const std::string& text : selective) {
      most_results =
          std::max(most_results,
                   index.Search(NameCriteria(library, text), lumivor::NoProgress()).results.Size());
    }
  }
  Report("selective_most_results", static_cast<double>(most_results));
  // The file search for the first few of them, in this process and as a whole process.
  {
    const Timer timer;
    for (std::size_t i = 0; i < std::min<std::size_t>(queries, 3); ++i) {
      (void)lumivor::SearchLibrary(NameCriteria(library, selective[i]), lumivor::NoProgress());
    }
    Times times = timer.Elapsed();
    const double runs = static_cast<double>(std::min<std::size_t>(queries, 3));
    ReportTimes("file_search_selective", {times.wall / runs, times.cpu / runs});
  }
  std::vector<std::vector<std::string>> commands;
  for (std::size_t i = 0; i < std::min<std::size_t>(queries, 3); ++i) {
    commands.push_back({cli, "search", "--no-index", "--library", library, "--name", selective[i]});
  }
  ReportProcesses("file_search_selective_process", commands);
  commands.clear();
  for (const std::string& text : selective) {
    commands.push_back({cli, "search", "--library", library, "--name", text});
  }
  ReportProcesses("index_selective_process", commands);

  // Query shapes whose results are few while their parts are common, each the whole process,
  // beside the file search of the first query of the shape. The words, numbers and extensions
  // are those the names are made of; the whole names are taken from the first catalog.
  {
    const auto& words = lumivor::bench::SyntheticWords();
    const auto& foreign = lumivor::bench::SyntheticNonAsciiWords();
    const auto& extensions = lumivor::bench::SyntheticExtensions();
    auto word = [&] { return words[random.Below(words.size())]; };
    auto digit = [&] { return std::to_string(random.Below(10)); };
    auto ext = [&] { return extensions[random.Below(extensions.size())]; };
    std::vector<std::string> whole_names;
    {
      const lumivor::CatalogTree first =
          lumivor::bench::SyntheticCatalog(per_catalog, "Disk0", 1000, true);
      first.ForEachPreOrder([&](const lumivor::CatalogTree::Node* node, int depth) {
        if (depth > 0 && whole_names.size() < 1000) whole_names.emplace_back(node->Name());
      });
    }
    using Args = std::vector<std::string>;
    const std::size_t per_shape = std::max<std::size_t>(queries / 5, 5);
    const std::vector<std::pair<std::string, std::function<Args()>>> shapes = {
        {"rare_word",
         [&] {
           return Args{"--name", word() + std::to_string(100 + random.Below(900))};
         }},
        {"word_digit_ext",
         [&] {
           return Args{"--name", word() + digit(), "--ext", ext()};
         }},
        {"two_words_digit",
         [&] {
           return Args{"--name", word() + "_" + word() + digit()};
         }},
        {"two_words",
         [&] {
           return Args{"--name", word() + " " + word()};
         }},
        {"three_words",
         [&] {
           return Args{"--name", word() + "_" + word() + " " + word()};
         }},
        {"punctuation",
         [&] {
           return Args{"--name", digit() + digit() + "_" + word() + "_"};
         }},
        {"non_ascii",
         [&] {
           return Args{"--name", foreign[random.Below(foreign.size())] + digit()};
         }},
        {"case_sensitive",
         [&] {
           return Args{"--name", word() + "_" + word() + digit(), "--case-sensitive"};
         }},
        {"whole",
         [&] {
           return Args{"--name", whole_names[random.Below(whole_names.size())], "--whole"};
         }},
        {"description",
         [&] {
           return Args{"--description", word() + "_" + word() + digit()};
         }},
    };
    for (const auto& [shape, make] : shapes) {
      std::vector<std::vector<std::string>> shape_commands;
      std::size_t shape_results = 0;
      for (std::size_t i = 0; i < per_shape; ++i) {
        Args command = {cli, "search", "--library", library};
        const Args args = make();
        command.insert(command.end(), args.begin(), args.end());
        shape_commands.push_back(command);
      }
      ReportProcesses("index_shape_" + shape, shape_commands);
      // The results of the first query, and the file search of it.
      Args first = shape_commands.front();
      first.insert(first.begin() + 2, "--no-index");
      const Times file_search = Run(first);
      ReportTimes("file_search_shape_" + shape, file_search);
      for (const Args& command : shape_commands) {
        shape_results = std::max(shape_results, CountResults(command));
      }
      Report("index_shape_" + shape + "_most_results", static_cast<double>(shape_results));
    }
  }

  // A query that matches nothing.
  const std::string none_text = "zebra crossing";
  {
    const Timer timer;
    (void)lumivor::SearchLibrary(NameCriteria(library, none_text), lumivor::NoProgress());
    ReportTimes("file_search_none", timer.Elapsed());
  }
  ReportProcesses("file_search_none_process",
                  {{cli, "search", "--no-index", "--library", library, "--name", none_text}});
  ReportProcesses("index_none_process",
                  std::vector<std::vector<std::string>>(
                      20, {cli, "search", "--library", library, "--name", none_text}));

  // A query that matches about 2% of the entries: first results and all of them.
  const std::string share_text = "e_a";
  double file_share_seconds = 0;
  {
    const Timer timer;
    const lumivor::SearchOutcome outcome =
        lumivor::SearchLibrary(NameCriteria(library, share_text), lumivor::NoProgress());
    const Times times = timer.Elapsed();
    file_share_seconds = times.wall;
    ReportTimes("file_search_share", times);
    Report("share_results", static_cast<double>(outcome.results.Size()));
    Report("share_of_entries", static_cast<double>(outcome.results.Size()) /
                                   static_cast<double>(std::max<std::size_t>(built.entries, 1)));
  }
  {
    double first_100 = -1;
    std::size_t arrived = 0;
    const Timer timer;
    const Stopwatch watch;
    const lumivor::IndexedSearchOutcome outcome =
        lumivor::SearchThroughIndex(NameCriteria(library, share_text), library,
                                    lumivor::NoProgress(), {}, [&](lumivor::SearchOutcome&& part) {
                                      arrived += part.results.Size();
                                      if (first_100 < 0 && arrived >= 100)
                                        first_100 = watch.Seconds();
                                    });
    const Times all = timer.Elapsed();
    Report("index_share_first_100_seconds", first_100);
    ReportTimes("index_share_all", all);
    Report("index_share_all_ratio_to_file_search", all.wall / file_share_seconds);
    if (!outcome.used_index) std::fprintf(stderr, "index not used: %s\n", outcome.note.c_str());
  }

  // One catalog replaced by another program.
  {
    const lumivor::CatalogTree tree = lumivor::bench::SyntheticCatalog(per_catalog, "Disk0", 999);
    lumivor::WriteCatalogFile(tree, files[0], lumivor::NoProgress());
    const Timer timer;
    const lumivor::IndexUpdate update =
        lumivor::UpdateLibraryIndex(library, false, lumivor::NoProgress());
    ReportTimes("index_update_one_catalog", timer.Elapsed());
    Report("index_update_one_catalog_entries", static_cast<double>(tree.Size()));
    Report("index_update_read", static_cast<double>(update.read));
    // A kept library gets its first catalog back, so that the next run measures the same files.
    if (!keep.empty()) {
      lumivor::WriteCatalogFile(lumivor::bench::SyntheticCatalog(per_catalog, "Disk0", 1000, true),
                                files[0], lumivor::NoProgress());
    }
  }
  return 0;
}
