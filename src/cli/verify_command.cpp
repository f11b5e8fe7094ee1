#include <sys/stat.h>

#include <cerrno>
#include <iostream>
#include <optional>

#include "catalog/catalog_file.h"
#include "cli/commands.h"
#include "cli/copies_util.h"
#include "copies/medium_verify.h"
#include "core/errors.h"
#include "update/catalog_update.h"

namespace lumivor::cli {

namespace {

struct VerifyOptions {
  std::string catalog, from;
  bool json = false;
};

int RunVerify(const VerifyOptions& options) {
  TerminalProgress progress;
  CatalogTree catalog;
  std::string source = options.from;
  try {
    catalog = LoadCatalog(options.catalog);
    if (!catalog.Top()) throw LumivorError(options.catalog + ": The catalog holds no records");
    if (source.empty()) source = LocateMedium(catalog.Top()->Record());
    if (source.empty()) {
      throw LumivorError(options.catalog +
                         ": The medium of this catalog is not connected; connect it or name its "
                         "folder with --from PATH");
    }
    struct stat info;
    if (::stat(source.c_str(), &info) != 0)
      throw LumivorError(source + ": " + SystemMessage(errno));
    if (!S_ISDIR(info.st_mode)) throw LumivorError(source + ": Not a folder");
  } catch (const LumivorError& e) {
    std::cerr << e.what() << '\n';
    return 1;
  }
  std::string out;
  std::optional<ProgressShown> shown(std::in_place, progress);
  const VerifyCounts counts = VerifyMedium(
      catalog, source,
      [&](const VerifyFinding& finding) {
        if (options.json) {
          JsonLine line;
          line.Add("kind", FindingKindName(finding.kind)).Add("path", finding.path);
          if (!finding.detail.empty()) line.Add("detail", finding.detail);
          out += line.Text();
        } else {
          out += std::string(FindingKindName(finding.kind)) + ' ' + EscapeValue(finding.path);
          if (!finding.detail.empty()) out += " (" + finding.detail + ')';
          out += '\n';
        }
        if (out.size() > (1 << 16)) {
          std::cout << out;
          out.clear();
        }
      },
      {}, progress);
  shown.reset();
  if (options.json) {
    out += JsonLine()
               .Add("checked", static_cast<std::uint64_t>(counts.checked))
               .Add("ok", static_cast<std::uint64_t>(counts.ok))
               .Add("damaged", static_cast<std::uint64_t>(counts.damaged))
               .Add("changed", static_cast<std::uint64_t>(counts.changed))
               .Add("missing", static_cast<std::uint64_t>(counts.missing))
               .Add("unhashed", static_cast<std::uint64_t>(counts.unhashed))
               .Text();
  } else {
    out += counts.CountsLine() + '\n';
  }
  std::cout << out;
  std::cout.flush();
  return counts.damaged > 0 || counts.missing > 0 ? 3 : 0;
}

Command AddVerifyCommand(CLI::App& app) {
  auto* command = app.add_subcommand(
      "verify",
      "Read a catalog's medium again and report damaged, changed and missing files; writes "
      "nothing (exit status 3 when a file is damaged or missing)");
  auto options = std::make_shared<VerifyOptions>();
  command->add_option("CATALOG", options->catalog, "The catalog file")->required();
  command->add_option("--from", options->from,
                      "The medium's folder (default: where the catalog was made, or its volume "
                      "mounted elsewhere)");
  command->add_flag("--json", options->json, "One JSON object per line");
  return {command, [options]() { return RunVerify(*options); }};
}

const CommandRegistration kRegistration(66, AddVerifyCommand);

}  // namespace

}  // namespace lumivor::cli
