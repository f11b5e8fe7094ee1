#include <iostream>
#include <optional>

#include "cli/commands.h"
#include "cli/copies_util.h"
#include "copies/copy_finder.h"
#include "core/errors.h"
#include "index/library_index.h"

namespace lumivor::cli {

namespace {

struct DuplicatesOptions {
  std::vector<std::string> scopes;
  std::string library, by = "hash";
  std::uint64_t min_size = 0;
  bool json = false;
  bool no_index = false;
};

// The files with copies as the library index knows them; false (with a note on stderr) when the
// index cannot serve.
bool ReadThroughIndex(const DuplicatesOptions& options, Progress& progress,
                      std::vector<std::string>* catalogs, std::vector<ContentEntry>* entries,
                      std::size_t* unhashed) {
  try {
    LibraryIndex index(options.library, IndexPathFor(options.library));
    for (const std::string& scope : options.scopes) {
      if (!index.Covers(scope)) return false;
    }
    if (index.Update(progress).cancelled) return false;
    IndexedContents contents = index.ContentsWithCopies(options.scopes);
    *catalogs = std::move(contents.catalogs);
    *entries = std::move(contents.entries);
    *unhashed = contents.unhashed;
    return true;
  } catch (const IndexError& e) {
    std::cerr << e.what() << "; reading the catalog files instead\n";
    return false;
  }
}

// Appends `group` to `out`: a line with its size, copies, waste and key, then one line per copy
// (its catalog, path and hard links), or one JSON object.
void AppendGroup(const DuplicateGroup& group, const std::vector<std::string>& labels,
                 const char* key_name, bool json, std::string* out) {
  if (json) {
    std::string copies = "[";
    for (std::size_t i = 0; i < group.copies.size(); ++i) {
      const DuplicateGroup::Copy& copy = group.copies[i];
      JsonLine line;
      line.Add("catalog", labels[copy.catalog]).Add("path", copy.path);
      if (!copy.links.empty()) line.Add("links", copy.links);
      if (i > 0) copies += ',';
      copies += line.Object();
    }
    copies += ']';
    *out += JsonLine()
                .Add("size", group.size)
                .Add(key_name, group.key)
                .Add("copies", static_cast<std::uint64_t>(group.copies.size()))
                .Add("wasted", group.Wasted())
                .AddObject("files", copies)
                .Text();
    return;
  }
  *out += "size=" + std::to_string(group.size) + " copies=" + std::to_string(group.copies.size()) +
          " wasted=" + std::to_string(group.Wasted()) + " " + key_name + "=";
  AppendEscapedValue(out, group.key);
  *out += '\n';
  for (const DuplicateGroup::Copy& copy : group.copies) {
    *out += '\t';
    *out += labels[copy.catalog];
    *out += '\t';
    AppendEscapedValue(out, copy.path);
    for (const std::string& link : copy.links) {
      *out += '\t';
      AppendEscapedValue(out, link);
    }
    *out += '\n';
  }
}

// The last lines: what was left out, whether the copies are proven, and the counts.
std::string SummaryText(const DuplicateSummary& summary, CopyKey by, bool json) {
  if (json) {
    return JsonLine()
        .Add("groups", static_cast<std::uint64_t>(summary.groups))
        .Add("copies", static_cast<std::uint64_t>(summary.copies))
        .Add("wasted", summary.wasted)
        .Add("unhashed", static_cast<std::uint64_t>(summary.unhashed))
        .Add("proven", by == CopyKey::kHash)
        .Text();
  }
  std::string text;
  if (by == CopyKey::kHash && summary.unhashed > 0) {
    text += std::to_string(summary.unhashed) +
            (summary.unhashed == 1 ? " file has" : " files have") + " no hash and " +
            (summary.unhashed == 1 ? "was" : "were") +
            " left out (catalogue with --hash to include them)\n";
  }
  if (by == CopyKey::kNameSize) {
    text += "Grouped by name and size: these are likely copies, not proven ones\n";
  }
  return text + summary.CountsLine() + '\n';
}

int RunDuplicates(DuplicatesOptions options) {
  CopyKey by;
  if (!ParseCopyKey(options.by, &by)) {
    std::cerr << "--by: expected hash or name-size\n";
    return 2;
  }
  if (options.library.empty()) options.library = DefaultLibrary();
  TerminalProgress progress;
  std::optional<ProgressShown> shown(std::in_place, progress);
  std::size_t unreadable = 0;
  std::vector<std::string> catalogs;
  std::vector<ContentEntry> entries;
  std::size_t indexed_unhashed = 0;
  try {
    // By hash the library index answers, without reading a catalog file; the files are read when
    // it cannot serve (or the scope lies outside the library).
    bool indexed = false;
    if (by == CopyKey::kHash && !options.no_index) {
      indexed = ReadThroughIndex(options, progress, &catalogs, &entries, &indexed_unhashed);
    }
    if (!indexed) {
      catalogs = CatalogsOfScopes(options.library, options.scopes, progress);
      entries = ReadContentEntries(catalogs, {}, progress, &unreadable);
    }
  } catch (const LumivorError& e) {
    shown.reset();
    std::cerr << e.what() << '\n';
    return 1;
  }
  shown.reset();
  if (options.min_size > 1) {
    std::erase_if(entries, [&](const ContentEntry& e) { return e.size < options.min_size; });
  }
  DuplicateSummary summary;
  const std::vector<DuplicateGroup> groups = FindDuplicates(std::move(entries), by, &summary);
  summary.unhashed += indexed_unhashed;
  const char* key_name = by == CopyKey::kHash ? "hash" : "name";
  // Each catalog's name as shown, made once: a library holds few catalogs and many copies.
  std::vector<std::string> labels;
  labels.reserve(catalogs.size());
  for (const std::string& catalog : catalogs) {
    labels.push_back(options.json ? CatalogLabel(options.library, catalog)
                                  : EscapeValue(CatalogLabel(options.library, catalog)));
  }
  std::string out;
  for (const DuplicateGroup& group : groups) {
    AppendGroup(group, labels, key_name, options.json, &out);
    if (out.size() > (1 << 20)) {
      std::cout << out;
      out.clear();
    }
  }
  if (unreadable > 0) {
    std::cerr << unreadable << (unreadable == 1 ? " catalog" : " catalogs")
              << " could not be read and were passed over\n";
  }
  out += SummaryText(summary, by, options.json);
  std::cout << out;
  std::cout.flush();
  return 0;
}

Command AddDuplicatesCommand(CLI::App& app) {
  auto* command = app.add_subcommand(
      "duplicates",
      "List the files that have the same content across the catalogs of the library, the group "
      "that wastes most space first");
  auto options = std::make_shared<DuplicatesOptions>();
  command->add_option("--scope", options->scopes,
                      "A group directory or catalog file to look in (repeatable; default: the "
                      "whole library)");
  command->add_option("--library", options->library,
                      "The library directory (default: the configured library)");
  command->add_option("--min-size", options->min_size, "Leave out files smaller than BYTES");
  command->add_option("--by", options->by,
                      "hash (default): equal content hash and size; name-size: equal name and "
                      "size, for catalogs made without hashes (likely copies only)");
  command->add_flag("--json", options->json, "One JSON object per line");
  command->add_flag("--no-index", options->no_index,
                    "Read the catalog files instead of the library's index (the output is the "
                    "same)");
  return {command, [options]() { return RunDuplicates(*options); }};
}

const CommandRegistration kRegistration(60, AddDuplicatesCommand);

}  // namespace

}  // namespace lumivor::cli
