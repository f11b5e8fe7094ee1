#include <iostream>
#include <optional>

#include "cli/commands.h"
#include "cli/copies_util.h"
#include "copies/copy_finder.h"
#include "copies/copy_groups.h"
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
bool ReadThroughIndex(const DuplicatesOptions& options, Progress& progress, IndexedCopies* copies) {
  try {
    LibraryIndex index(options.library, IndexPathFor(options.library));
    for (const std::string& scope : options.scopes) {
      if (!index.Covers(scope)) return false;
    }
    if (index.Update(progress).cancelled) return false;
    *copies = index.CopiesOf(options.scopes, {}, options.min_size);
    return !copies->cancelled;
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

// The groups of `copies` (finished) into `out`, written to stdout as it fills. The paths were read
// in the order of the entries and are shown in the order of the groups: the next group's files and
// paths are asked of memory while this one is written.
void WriteGroups(const CopyGroups& copies, const std::vector<std::string>& labels,
                 const char* key_name, bool json, std::string* out) {
  const std::vector<CopyGroups::Group>& groups = copies.Groups();
  const CopyGroups::File* files = copies.Files();
  // Files of the group kPathsAhead groups on, their records kFilesAhead groups on (the paths
  // need the records).
  constexpr std::size_t kPathsAhead = 4, kFilesAhead = 8;
  const auto prefetch_files = [&](std::size_t g) {
    if (g >= groups.size()) return;
    const CopyGroups::File* first = files + groups[g].first;
    for (std::uint32_t i = 0; i < groups[g].files; i += 4) __builtin_prefetch(first + i);
  };
  const auto prefetch_paths = [&](std::size_t g) {
    if (g >= groups.size()) return;
    const CopyGroups::File* first = files + groups[g].first;
    for (std::uint32_t i = 0; i < groups[g].files; ++i) {
      __builtin_prefetch(first[i].path);
      __builtin_prefetch(first[i].path + 64);
    }
  };
  for (std::size_t g = 0; g < kFilesAhead; ++g) prefetch_files(g);
  for (std::size_t g = 0; g < kPathsAhead; ++g) prefetch_paths(g);
  for (std::size_t g = 0; g < groups.size(); ++g) {
    prefetch_files(g + kFilesAhead);
    prefetch_paths(g + kPathsAhead);
    const CopyGroups::Group& group = groups[g];
    const CopyGroups::File* first = files + group.first;
    if (json) {
      DuplicateGroup shown;
      shown.size = group.size;
      shown.key = group.key;
      for (const CopyGroups::File* file = first; file < first + group.files; ++file) {
        if (file->Link()) {
          shown.copies.back().links.emplace_back(file->Path());
        } else {
          shown.copies.push_back({file->Catalog(), std::string(file->Path()), {}});
        }
      }
      AppendGroup(shown, labels, key_name, json, out);
    } else {
      *out += "size=";
      *out += std::to_string(group.size);
      *out += " copies=";
      *out += std::to_string(group.copies);
      *out += " wasted=";
      *out += std::to_string(group.Wasted());
      *out += ' ';
      *out += key_name;
      *out += '=';
      AppendEscapedValue(out, group.key);
      for (const CopyGroups::File* file = first; file < first + group.files; ++file) {
        if (!file->Link()) {
          *out += '\n';
          *out += '\t';
          *out += labels[file->Catalog()];
        }
        *out += '\t';
        AppendEscapedValue(out, file->Path());
      }
      *out += '\n';
    }
    if (out->size() > (1 << 20)) {
      std::cout << *out;
      out->clear();
    }
  }
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
  IndexedCopies indexed;
  bool through_index = false;
  try {
    // By hash the library index answers, without reading a catalog file; the files are read when
    // it cannot serve (or the scope lies outside the library).
    if (by == CopyKey::kHash && !options.no_index) {
      through_index = ReadThroughIndex(options, progress, &indexed);
    }
    if (through_index) {
      catalogs = std::move(indexed.catalogs);
    } else {
      catalogs = CatalogsOfScopes(options.library, options.scopes, progress);
      entries = ReadContentEntries(catalogs, {}, progress, &unreadable);
    }
  } catch (const LumivorError& e) {
    shown.reset();
    std::cerr << e.what() << '\n';
    return 1;
  }
  shown.reset();
  const char* key_name = by == CopyKey::kHash ? "hash" : "name";
  // Each catalog's name as shown, made once: a library holds few catalogs and many copies.
  std::vector<std::string> labels;
  labels.reserve(catalogs.size());
  for (const std::string& catalog : catalogs) {
    labels.push_back(options.json ? CatalogLabel(options.library, catalog)
                                  : EscapeValue(CatalogLabel(options.library, catalog)));
  }
  DuplicateSummary summary;
  std::string out;
  if (through_index) {
    indexed.groups.Finish(options.min_size, &summary);
    summary.unhashed += indexed.unhashed;
    WriteGroups(indexed.groups, labels, key_name, options.json, &out);
  } else {
    if (options.min_size > 1) {
      std::erase_if(entries, [&](const ContentEntry& e) { return e.size < options.min_size; });
    }
    const std::vector<DuplicateGroup> groups = FindDuplicates(std::move(entries), by, &summary);
    for (const DuplicateGroup& group : groups) {
      AppendGroup(group, labels, key_name, options.json, &out);
      if (out.size() > (1 << 20)) {
        std::cout << out;
        out.clear();
      }
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
