// The server library: push of a generated library, searches on it, and many clients at once.
// Starts a PostgreSQL 15 server of its own in a temporary folder (as the tests do).
//
//   server_bench [--catalogs=N] [--entries=N] [--rounds=N] [--clients=N]
//
// Prints, each beside its baseline measured in the same run:
//   push_entries_per_second     push of N catalogs of M entries (read, COPY, indexes, commit)
//   read_entries_per_second     reading the same catalog files into nothing (the baseline)
//   cli_push_entries_per_second the same push as a whole `lumivor-cli library push` process
//   search_selective_p95_ms     a name search that finds a few entries, whole search on the server
//   search_nomatch_p95_ms       a name search that finds nothing
//   folder_search_*_p95_ms      the same searches on the folder library through its index
//   cli_search_*_p95_ms         the same searches as whole `lumivor-cli search` processes (start,
//                               connection, search, output), beside `lumivor-cli list` of the
//                               server library (process start and connection alone)
//   clients_throughput_ratio    searches per second of N clients at once over one client's, with
//                               the number of cores (up to N) beside it
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <latch>
#include <optional>
#include <thread>
#include <vector>

#include "bench_util.h"
#include "catalog/catalog_reader.h"
#include "catalog/catalog_writer.h"
#include "core/atomic_file.h"
#include "index/indexed_search.h"
#include "search/search.h"
#include "server/server_library.h"
#include "support/pg_test_server.h"

extern char** environ;

using namespace lumivor;
using lumivor::bench::Report;
using lumivor::bench::Stopwatch;

namespace {

struct NullSink final : RecordSink {
  bool Add(const RecordView&) override {
    ++count;
    return true;
  }
  std::size_t count = 0;
};

// Writes `catalogs` catalogs of `entries` entries each into `root`/Group<i % 3>/Disk<i>.xml:
// folders of twenty files, names from a small vocabulary with a rare word in a few of them.
void MakeLibrary(const std::string& root, std::size_t catalogs, std::size_t entries) {
  static const char* kWords[] = {"holiday", "report", "track", "photo", "backup", "draft",
                                 "invoice", "scan",   "movie", "notes", "song",   "video"};
  bench::Random random(7);
  for (std::size_t c = 0; c < catalogs; ++c) {
    const std::string group = root + "/Group" + std::to_string(c % 3);
    std::filesystem::create_directories(group);
    AtomicFile file(group + "/Disk" + std::to_string(c) + ".xml");
    CatalogWriter writer([&](std::string_view piece) { file.Write(piece); });
    RecordView record;
    std::string name, path, size, folder = "/media/disk" + std::to_string(c);
    record.fields[kFileName] = folder;
    record.fields[kFullPath] = folder;
    record.fields[kFileType] = kDirectoryType;
    writer.Add(record);
    std::string sub;
    for (std::size_t e = 1; e < entries; ++e) {
      if (e % 21 == 1) {
        sub = folder + "/dir" + std::to_string(e);
        record = {};
        record.depth = 1;
        record.fields[kFileName] = std::string_view(sub).substr(folder.size() + 1);
        record.fields[kFullPath] = sub;
        record.fields[kFileType] = kDirectoryType;
        writer.Add(record);
        continue;
      }
      name = std::string(kWords[random.Below(12)]) + "_" + std::to_string(random.Below(100000));
      if (random.Below(200000) == 0) name += "_zanzibar";
      name += ".dat";
      path = sub + "/" + name;
      size = std::to_string(random.Below(1 << 30));
      record = {};
      record.depth = 2;
      record.fields[kFileName] = name;
      record.fields[kFullPath] = path;
      record.fields[kFileSize] = size;
      record.fields[kFileTime] = "2024-03-04 05:06:08";
      record.fields[kFileExt] = "dat";
      record.fields[kFileType] = kFileTypeText;
      writer.Add(record);
    }
    writer.Finish();
    file.Commit();
  }
}

// The command-line tool beside this benchmark in the build tree.
std::string CliPath() {
  char self[4096];
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return "lumivor-cli";
  self[n] = '\0';
  return (std::filesystem::path(self).parent_path().parent_path() / "src/lumivor-cli").string();
}

// Runs the command with its output thrown away; the milliseconds it took, or -1 on a failure.
double RunMs(std::vector<std::string> args) {
  const bench::ChildRun run = bench::RunChild(std::move(args));
  return run.ok ? run.seconds * 1000 : -1;
}

double P95(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  return samples[std::min(samples.size() - 1, samples.size() * 95 / 100)];
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t catalogs = bench::IntOption(argc, argv, "catalogs", 10);
  const std::size_t entries = bench::IntOption(argc, argv, "entries", 100000);
  const std::size_t rounds = std::max<std::size_t>(5, bench::IntOption(argc, argv, "rounds", 20));
  const std::size_t clients = bench::IntOption(argc, argv, "clients", 8);

  testing::PgTestServer server;
  if (!server.Start()) {
    std::fprintf(stderr, "server_bench: cannot start PostgreSQL: %s\n", server.Error().c_str());
    return 1;
  }
  const std::string uri = server.CreateDatabase("bench");
  char pattern[] = "/tmp/lumivor-bench-XXXXXX";
  const std::string dir = ::mkdtemp(pattern);
  const std::string root = dir + "/CatalogLibrary";
  MakeLibrary(root, catalogs, entries);

  // Baseline: reading the catalog files alone.
  Stopwatch read_clock;
  NullSink null;
  CatalogFileReader reader;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    if (entry.is_regular_file()) (void)reader.Read(entry.path().string(), null);
  }
  const double read_seconds = read_clock.Seconds();

  ServerLibrary library(uri);
  Stopwatch push_clock;
  const std::uint64_t pushed = library.Push(root, NoProgress());
  const double push_seconds = push_clock.Seconds();
  Report("entries", static_cast<double>(pushed));
  Report("push_entries_per_second", static_cast<double>(pushed) / push_seconds);
  Report("read_entries_per_second", static_cast<double>(null.count) / read_seconds);
  // Vacuumed now, so that the server's own vacuum of the rows just written does not run during
  // the timings below.
  library.Connection().Exec("VACUUM (ANALYZE)");
  // The same push as a whole `lumivor-cli library push` process, into a database of its own.
  const std::string cli = CliPath();
  const std::string cli_uri = server.CreateDatabase("bench_cli");
  const double cli_push_ms = RunMs({cli, "library", "push", root, cli_uri});
  Report("cli_push_entries_per_second",
         cli_push_ms < 0 ? -1.0 : static_cast<double>(pushed) / (cli_push_ms / 1000));

  SearchCriteria selective;
  selective.name = "zanzibar";
  SearchCriteria nomatch;
  nomatch.name = "qqxqq";
  const auto time_server = [&](const SearchCriteria& criteria) {
    std::vector<double> ms;
    for (std::size_t i = 0; i < rounds; ++i) {
      Stopwatch clock;
      (void)library.Search(criteria, "", NoProgress(), {});
      ms.push_back(clock.Seconds() * 1000);
    }
    return P95(ms);
  };
  const auto time_folder = [&](SearchCriteria criteria) {
    criteria.scope_path = root;
    criteria.scope_is_directory = true;
    (void)SearchThroughIndex(criteria, root, NoProgress());  // builds the index
    std::vector<double> ms;
    for (std::size_t i = 0; i < rounds; ++i) {
      Stopwatch clock;
      (void)SearchThroughIndex(criteria, root, NoProgress());
      ms.push_back(clock.Seconds() * 1000);
    }
    return P95(ms);
  };
  Report("search_selective_p95_ms", time_server(selective));
  Report("folder_search_selective_p95_ms", time_folder(selective));
  Report("search_nomatch_p95_ms", time_server(nomatch));
  Report("folder_search_nomatch_p95_ms", time_folder(nomatch));

  const auto time_cli = [&](std::vector<std::string> args) {
    std::vector<double> ms;
    for (std::size_t i = 0; i < rounds; ++i) ms.push_back(RunMs(args));
    return *std::min_element(ms.begin(), ms.end()) < 0 ? -1.0 : P95(ms);
  };
  Report("cli_search_selective_p95_ms",
         time_cli({cli, "search", "--library", uri, "--name", selective.name}));
  Report("cli_search_nomatch_p95_ms",
         time_cli({cli, "search", "--library", uri, "--name", nomatch.name}));
  Report("cli_list_p95_ms", time_cli({cli, "list", "--library", uri}));

  // Many clients, each with its own connection, all searching at once: searches per second. The
  // connections are open and have searched before the clock starts, as the clients of a team have
  // been connected for a while; the same with each client connecting inside the clock is reported
  // beside it (a new connection costs the server a process and its first plans).
  const std::size_t searches = std::max<std::size_t>(rounds * 5, 50);
  const auto throughput = [&](std::size_t count, bool connecting) {
    std::vector<std::thread> threads;
    std::vector<std::size_t> done(count, 0);
    std::latch ready(static_cast<std::ptrdiff_t>(count));
    std::latch go(1);
    for (std::size_t t = 0; t < count; ++t) {
      threads.emplace_back([&, t] {
        std::optional<ServerLibrary> own;
        if (!connecting) {
          own.emplace(uri);
          (void)own->Search(selective, "", NoProgress(), {});
          (void)own->Search(nomatch, "", NoProgress(), {});
        }
        ready.count_down();
        go.wait();
        if (connecting) own.emplace(uri);
        for (std::size_t i = 0; i < searches; ++i) {
          (void)own->Search(i % 2 ? selective : nomatch, "", NoProgress(), {});
          ++done[t];
        }
      });
    }
    ready.wait();
    Stopwatch clock;
    go.count_down();
    for (std::thread& thread : threads) thread.join();
    std::size_t total = 0;
    for (std::size_t n : done) total += n;
    return static_cast<double>(total) / clock.Seconds();
  };
  const double one = throughput(1, false);
  const double many = throughput(clients, false);
  Report("one_client_searches_per_second", one);
  Report("clients_searches_per_second", many);
  Report("clients_throughput_ratio", many / one);
  const double one_connecting = throughput(1, true);
  const double many_connecting = throughput(clients, true);
  Report("one_client_connecting_searches_per_second", one_connecting);
  Report("clients_connecting_searches_per_second", many_connecting);
  Report("clients_connecting_throughput_ratio", many_connecting / one_connecting);
  Report("cores_up_to_clients",
         static_cast<double>(std::min<std::size_t>(clients, std::thread::hardware_concurrency())));
  std::filesystem::remove_all(dir);
  return 0;
}
