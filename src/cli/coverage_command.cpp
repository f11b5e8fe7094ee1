#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <iostream>
#include <optional>

#include "catalog/catalog_reader.h"
#include "cli/commands.h"
#include "cli/copies_util.h"
#include "copies/coverage.h"
#include "core/errors.h"

namespace lumivor::cli {

namespace {

struct CoverageOptions {
  std::string source, library, by = "hash";
  std::vector<std::string> against;
  bool json = false;
};

// The last lines of the listing: the counts, as text or as one JSON object.
std::string SummaryText(const CoverageCounts& counts, CopyKey by, bool json) {
  if (json) {
    return JsonLine()
        .Add("files", static_cast<std::uint64_t>(counts.files))
        .Add("with_copy", static_cast<std::uint64_t>(counts.with_copy))
        .Add("without_copy", static_cast<std::uint64_t>(counts.without_copy))
        .Add("bytes_without_copy", counts.bytes_without_copy)
        .Add("bytes_read", counts.bytes_read)
        .Add("bytes_total", counts.bytes_total)
        .Add("proven", by == CopyKey::kHash)
        .Text();
  }
  std::string text;
  if (by == CopyKey::kNameSize) {
    text += "Compared by name and size: a copy found is likely, not proven\n";
  }
  return text + counts.CountsLine() + '\n';
}

// The coverage of a catalog file `source` (not a live folder) against the entries of `against`.
CoverageCounts CoverageOfCatalog(const std::string& source,
                                 const std::vector<ContentEntry>& against, CopyKey by,
                                 const UncoveredFound& found) {
  std::vector<ContentEntry> entries;
  ContentEntrySink sink(&entries, 0);
  CatalogFileReader reader;
  const CatalogReadStatus status = reader.Read(source, sink);
  if (status == CatalogReadStatus::kMissing || status == CatalogReadStatus::kUnreadable) {
    throw LumivorError(reader.Error());
  }
  return CoverageOfEntries(entries, against, by, found);
}

int RunCoverage(CoverageOptions options) {
  CopyKey by;
  if (!ParseCopyKey(options.by, &by)) {
    std::cerr << "--by: expected hash or name-size\n";
    return 2;
  }
  struct stat info;
  if (::stat(options.source.c_str(), &info) != 0) {
    std::cerr << options.source << ": " << SystemMessage(errno) << '\n';
    return 1;
  }
  const bool live = S_ISDIR(info.st_mode);
  if (options.library.empty()) options.library = DefaultLibrary();
  const std::string real_source = RealPathOr(options.source);

  std::string out;
  const auto flush = [&]() {
    std::cout << out;
    out.clear();
  };
  const UncoveredFound found = [&](const std::string& path, std::uint64_t size) {
    if (options.json) {
      out += JsonLine().Add("path", path).Add("size", size).Text();
    } else {
      out += EscapeValue(path) + '\n';
    }
    if (out.size() > (1 << 16)) flush();
  };

  TerminalProgress progress;
  std::optional<ProgressShown> shown(std::in_place, progress);
  CoverageCounts counts;
  std::size_t unreadable = 0;
  try {
    std::vector<std::string> catalogs =
        CatalogsOfScopes(options.library, options.against, progress);
    // The source's own catalog is no copy of it.
    if (!live) {
      std::erase_if(catalogs,
                    [&](const std::string& path) { return RealPathOr(path) == real_source; });
    }
    const std::vector<ContentEntry> against =
        ReadContentEntries(catalogs, live ? real_source : std::string(), progress, &unreadable);
    if (live) {
      counts = CoverageOfFolder(options.source, against, by, found, {}, progress);
    } else {
      counts = CoverageOfCatalog(options.source, against, by, found);
    }
  } catch (const LumivorError& e) {
    shown.reset();
    std::cerr << e.what() << '\n';
    return 1;
  }
  shown.reset();
  if (unreadable > 0) {
    std::cerr << unreadable << (unreadable == 1 ? " catalog" : " catalogs")
              << " could not be read and were passed over\n";
  }
  out += SummaryText(counts, by, options.json);
  flush();
  std::cout.flush();
  if (live) std::cerr << "read " << counts.bytes_read << " of " << counts.bytes_total << " bytes\n";
  return counts.without_copy > 0 ? 3 : 0;
}

Command AddCoverageCommand(CLI::App& app) {
  auto* command = app.add_subcommand(
      "coverage",
      "List the files of a folder or catalog that have no copy anywhere in the library (exit "
      "status 0: every file has one, 3: some have none)");
  auto options = std::make_shared<CoverageOptions>();
  command->add_option("SOURCE", options->source, "A folder or a catalog file")->required();
  command->add_option("--against", options->against,
                      "A group directory or catalog file to look for copies in (repeatable; "
                      "default: the whole library)");
  command->add_option("--library", options->library,
                      "The library directory (default: the configured library)");
  command->add_option("--by", options->by,
                      "hash (default): equal content; name-size: equal name and size");
  command->add_flag("--json", options->json, "One JSON object per line");
  return {command, [options]() { return RunCoverage(*options); }};
}

const CommandRegistration kRegistration(62, AddCoverageCommand);

}  // namespace

}  // namespace lumivor::cli
