// Listing a large catalog library, against a bare walk of the same tree with
// std::filesystem (names, sizes and times, no records) in the same run.
//
//   library_bench [--groups=200] [--catalogs=100]
#include <filesystem>
#include <fstream>
#include <string>

#include "bench_util.h"
#include "library/library_storage.h"

using namespace lumivor;
using namespace lumivor::bench;

int main(int argc, char** argv) {
  const std::size_t groups = IntOption(argc, argv, "groups", 200);
  const std::size_t catalogs = IntOption(argc, argv, "catalogs", 100);
  TempDir dir;
  const std::string root = dir.Path() + "/CatalogLibrary";
  Random random(7);
  for (std::size_t g = 0; g < groups; ++g) {
    // Every tenth group sits inside the one before, so the walk also goes deeper.
    const std::string group =
        root + "/Group " + std::to_string(g - g % 10) + (g % 10 ? "/Sub " + std::to_string(g) : "");
    std::filesystem::create_directories(group);
    for (std::size_t c = 0; c < catalogs; ++c) {
      std::ofstream(group + "/Catalog " + std::to_string(c) + ".xml")
          << std::string(random.Below(2000), 'x');
    }
  }

  // Warm the caches once, then time both.
  (void)ListLibrary(root, false);
  Stopwatch list_clock;
  const CatalogTree tree = ListLibrary(root, false);
  const double list_seconds = list_clock.Seconds();

  Stopwatch walk_clock;
  std::uintmax_t total = 0;
  std::size_t entries = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    ++entries;
    if (entry.is_regular_file()) total += entry.file_size();
    (void)entry.last_write_time();
  }
  const double walk_seconds = walk_clock.Seconds();

  Report("library_nodes", static_cast<double>(tree.Size()));
  Report("walk_entries", static_cast<double>(entries));
  Report("list_seconds", list_seconds);
  Report("walk_seconds", walk_seconds);
  Report("list_to_walk_ratio", list_seconds / walk_seconds);
  Report("sizes_agree", tree.Top()->Field(kFileSize) == std::to_string(total) ? "yes" : "no");
  return 0;
}
