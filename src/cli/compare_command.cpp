#include <iostream>

#include "catalog/catalog_file.h"
#include "cli/commands.h"
#include "cli/copies_util.h"
#include "copies/catalog_compare.h"
#include "core/errors.h"

namespace lumivor::cli {

namespace {

struct CompareOptions {
  std::string a, b;
  bool json = false;
};

// "(size 1 -> 2, time T -> U, hash)": what differs between the two sides of a changed file.
std::string ChangeDetail(const CatalogDifference& d) {
  std::string detail;
  const auto add = [&](const std::string& part) {
    detail += detail.empty() ? " (" : ", ";
    detail += part;
  };
  if (d.size_a != d.size_b) add("size " + d.size_a + " -> " + d.size_b);
  if (d.time_a != d.time_b) add("time " + d.time_a + " -> " + d.time_b);
  if (d.size_a == d.size_b && d.time_a == d.time_b) add("content");
  if (!detail.empty()) detail += ')';
  return detail;
}

std::string TextLine(const CatalogDifference& d) {
  std::string line = DifferenceKindName(d.kind);
  line += ' ';
  line += EscapeValue(d.path);
  if (d.kind == CatalogDifference::Kind::kMoved) line += " -> " + EscapeValue(d.other_path);
  if (d.kind == CatalogDifference::Kind::kChanged) line += ChangeDetail(d);
  line += '\n';
  if (d.descriptions_differ) {
    line += "  description: " + EscapeValue(d.description_a) + " -> " +
            EscapeValue(d.description_b) + '\n';
  }
  return line;
}

std::string JsonOf(const CatalogDifference& d) {
  JsonLine line;
  line.Add("kind", DifferenceKindName(d.kind));
  if (d.kind == CatalogDifference::Kind::kMoved) {
    line.Add("from", d.path).Add("to", d.other_path);
  } else {
    line.Add("path", d.path);
  }
  const bool has_a = d.kind != CatalogDifference::Kind::kOnlyB;
  const bool has_b = d.kind != CatalogDifference::Kind::kOnlyA;
  if (has_a) line.Add("size_a", d.size_a).Add("time_a", d.time_a);
  if (has_a && !d.hash_a.empty()) line.Add("hash_a", d.hash_a);
  if (has_b) line.Add("size_b", d.size_b).Add("time_b", d.time_b);
  if (has_b && !d.hash_b.empty()) line.Add("hash_b", d.hash_b);
  if (d.descriptions_differ) {
    line.Add("description_a", d.description_a).Add("description_b", d.description_b);
  }
  return line.Text();
}

int RunCompare(const CompareOptions& options) {
  CatalogTree a, b;
  try {
    a = LoadCatalog(options.a);
    b = LoadCatalog(options.b);
  } catch (const LumivorError& e) {
    std::cerr << e.what() << '\n';
    return 1;
  }
  std::string out;
  const CompareCounts counts = CompareCatalogs(a, b, [&](const CatalogDifference& difference) {
    out += options.json ? JsonOf(difference) : TextLine(difference);
    if (out.size() > (1 << 16)) {
      std::cout << out;
      out.clear();
    }
  });
  if (options.json) {
    out += JsonLine()
               .Add("only_a", static_cast<std::uint64_t>(counts.only_a))
               .Add("only_b", static_cast<std::uint64_t>(counts.only_b))
               .Add("changed", static_cast<std::uint64_t>(counts.changed))
               .Add("moved", static_cast<std::uint64_t>(counts.moved))
               .Add("same", static_cast<std::uint64_t>(counts.same))
               .Text();
  } else {
    out += counts.CountsLine() + '\n';
  }
  std::cout << out;
  std::cout.flush();
  return 0;
}

Command AddCompareCommand(CLI::App& app) {
  auto* command = app.add_subcommand(
      "compare",
      "Compare two catalogs: files only in A, only in B, changed, moved; descriptions where "
      "they differ");
  auto options = std::make_shared<CompareOptions>();
  command->add_option("A", options->a, "The first catalog file")->required();
  command->add_option("B", options->b, "The second catalog file")->required();
  command->add_flag("--json", options->json, "One JSON object per line");
  return {command, [options]() { return RunCompare(*options); }};
}

const CommandRegistration kRegistration(64, AddCompareCommand);

}  // namespace

}  // namespace lumivor::cli
