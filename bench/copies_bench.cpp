// Copies across a library: `lumivor-cli duplicates` over a generated library of 200 catalogs
// (10,000,000 entries by default; --entries=N, --catalogs=N for smaller runs) whose files carry
// content hashes, one in ten a copy of another, through the library index, beside the same
// command reading the catalog files (--no-index) in the same run; and the coverage of a live
// folder of --files=N files (100,000 by default) against that library: the bytes it read beside
// the bytes of the files whose size occurs in the library, which is all it may read. With
// --keep=DIR the library (and its index) is made there once and used again by later runs.
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
#include <string>
#include <unordered_set>
#include <vector>

#include "bench_util.h"
#include "catalog/catalog_file.h"
#include "catalog/fields.h"
#include "copies/content_hash.h"
#include "copies/coverage.h"
#include "copies/library_content.h"
#include "index/indexed_search.h"

extern char** environ;

namespace {

using lumivor::bench::Random;
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

// The contents copies are made of: a size and a hash each.
struct Content {
  std::uint64_t size;
  std::string hash;
};

}  // namespace

int main(int argc, char** argv) {
  const std::size_t entries = lumivor::bench::IntOption(argc, argv, "entries", 10'000'000);
  const std::size_t catalogs = lumivor::bench::IntOption(argc, argv, "catalogs", 200);
  const std::size_t files = lumivor::bench::IntOption(argc, argv, "files", 100'000);
  const std::string keep = lumivor::bench::TextOption(argc, argv, "keep", "");
  const std::size_t per_catalog = std::max<std::size_t>(entries / catalogs, 1);

  lumivor::bench::TempDir temp;
  const std::string base = keep.empty() ? temp.Path() : keep;
  const std::string library = base + "/CatalogLibrary";
  ::setenv("LUMIVOR_CACHE_DIR", (base + "/cache").c_str(), 1);

  // One file in ten is a copy of one of a pool of contents of small sizes; the others are unique.
  Random random(11);
  std::vector<Content> pool;
  for (std::size_t i = 0; i < std::max<std::size_t>(entries / 100, 10); ++i) {
    pool.push_back({1 + random.Below(16 * 1024), lumivor::HashOfBytes("pool" + std::to_string(i))});
  }
  std::unordered_set<std::uint64_t> library_sizes;
  std::size_t unique = 0;
  for (std::size_t i = 0; i < catalogs; ++i) {
    const std::string file =
        library + "/Group" + std::to_string(i % 10) + "/Disk" + std::to_string(i) + ".xml";
    std::filesystem::create_directories(std::filesystem::path(file).parent_path());
    lumivor::CatalogTree tree =
        lumivor::bench::SyntheticCatalog(per_catalog, "Disk" + std::to_string(i), 1000 + i);
    tree.ForEachPreOrder([&](const lumivor::CatalogTree::Node* node, int) {
      if (!node->IsFile()) return;
      auto* file_node = const_cast<lumivor::CatalogTree::Node*>(node);
      if (random.Below(10) == 0) {
        const Content& content = pool[random.Below(pool.size())];
        file_node->SetField(lumivor::kFileSize, std::to_string(content.size));
        file_node->SetExtra(lumivor::kHashAttribute, content.hash);
      } else {
        file_node->SetExtra(lumivor::kHashAttribute,
                            lumivor::HashOfBytes("unique" + std::to_string(unique++)));
      }
      library_sizes.insert(std::stoull("0" + file_node->Field(lumivor::kFileSize)));
    });
    // A kept library is made the same way again, for the sizes it holds, but not written.
    if (!std::filesystem::exists(file))
      lumivor::WriteCatalogFile(tree, file, lumivor::NoProgress());
  }

  const Stopwatch build;
  const lumivor::IndexUpdate built =
      lumivor::UpdateLibraryIndex(library, true, lumivor::NoProgress());
  Report("entries", static_cast<double>(built.entries));
  Report("index_build_seconds", build.Seconds());

  const std::string cli = CliPath();
  lumivor::bench::ChildRun indexed;
  indexed.seconds = indexed.cpu_seconds = 1e100;
  for (int run = 0; run < 3; ++run) {
    const auto times = lumivor::bench::RunChildOrExit({cli, "duplicates", "--library", library});
    indexed.seconds = std::min(indexed.seconds, times.seconds);
    indexed.cpu_seconds = std::min(indexed.cpu_seconds, times.cpu_seconds);
    indexed.minor_faults = times.minor_faults;
  }
  const auto files_route =
      lumivor::bench::RunChildOrExit({cli, "duplicates", "--no-index", "--library", library});
  Report("duplicates_seconds", indexed.seconds);
  Report("duplicates_cpu_seconds", indexed.cpu_seconds);
  Report("duplicates_reading_catalogs_seconds", files_route.seconds);
  Report("duplicates_reading_catalogs_cpu_seconds", files_route.cpu_seconds);
  // Memory touched afresh costs a fault per page, which on some machines is most of the time.
  // (The children's peak memory is not shown: a child started from this process counts this
  // process's memory too.)
  Report("duplicates_minor_faults", indexed.minor_faults);
  Report("duplicates_reading_catalogs_minor_faults", files_route.minor_faults);
  Report("duplicates_vs_reading_catalogs", indexed.seconds / files_route.seconds);

  // A live folder: half its files of sizes the library holds, half of sizes it does not.
  const std::string folder = temp.Path() + "/live";
  std::vector<std::uint64_t> small_sizes;
  for (const Content& content : pool) small_sizes.push_back(content.size);
  std::uint64_t bytes_total = 0, bytes_sized = 0;
  std::string data(64 * 1024, 'x');
  for (std::size_t i = 0; i < files; ++i) {
    const std::string dir = folder + "/d" + std::to_string(i / 1000);
    if (i % 1000 == 0) std::filesystem::create_directories(dir);
    std::uint64_t size =
        i % 2 == 0 ? small_sizes[random.Below(small_sizes.size())] : 1 + random.Below(16 * 1024);
    const std::string path = dir + "/f" + std::to_string(i);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) continue;
    data[0] = static_cast<char>(i);  // contents of their own: no copy in the library
    if (::write(fd, data.data(), size) != static_cast<ssize_t>(size)) std::perror("write");
    ::close(fd);
    bytes_total += size;
    if (library_sizes.count(size)) bytes_sized += size;
  }
  std::size_t unreadable = 0;
  const std::vector<std::string> catalog_files =
      lumivor::CatalogsOfScopes(library, {}, lumivor::NoProgress());
  const std::vector<lumivor::ContentEntry> against =
      lumivor::ReadContentEntries(catalog_files, {}, lumivor::NoProgress(), &unreadable);
  const Stopwatch coverage_watch;
  const lumivor::CoverageCounts coverage = lumivor::CoverageOfFolder(
      folder, against, lumivor::CopyKey::kHash, {}, {}, lumivor::NoProgress());
  Report("coverage_files", static_cast<double>(coverage.files));
  Report("coverage_seconds", coverage_watch.Seconds());
  Report("bytes_total", static_cast<double>(coverage.bytes_total));
  Report("bytes_read", static_cast<double>(coverage.bytes_read));
  Report("bytes_of_sizes_in_library", static_cast<double>(bytes_sized));
  Report("bytes_read_vs_sizes_in_library",
         bytes_sized ? static_cast<double>(coverage.bytes_read) / static_cast<double>(bytes_sized)
                     : 0.0);
  return coverage.bytes_total == bytes_total ? 0 : 1;
}
