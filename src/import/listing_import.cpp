#include "import/listing_import.h"

#include <sys/stat.h>

#include <algorithm>
#include <memory>
#include <set>
#include <thread>

#include "core/atomic_file.h"
#include "core/errors.h"
#include "library/library_storage.h"
#include "scan/volumes.h"

namespace lumivor {

namespace {

bool Exists(const std::string& path) {
  struct stat info;
  return ::lstat(path.c_str(), &info) == 0;
}

// `text` made fit to follow "NAME-" in a catalog name: no "/", no control character, no "." (the
// display name of a catalog ends before its first "."), not empty.
std::string FileNamePart(std::string_view text) {
  std::string part;
  for (const char c : text) {
    const unsigned char byte = static_cast<unsigned char>(c);
    part += (byte < 0x20 || byte == 0x7F || c == '/' || c == '.' || c == '\\') ? '_' : c;
  }
  if (part.empty()) part = "storage";
  return part;
}

}  // namespace

std::string CatalogExistsText(const std::string& path) {
  return path + ": Catalog with the same name already exists, use --force to overwrite";
}

std::vector<std::string> MediumCatalogNames(const std::string& name,
                                            const std::vector<ListedMedium>& media) {
  std::vector<std::string> names;
  if (media.size() == 1) {
    names.push_back(name);
    return names;
  }
  std::set<std::string> taken;
  for (const ListedMedium& medium : media) {
    std::string base = name + "-" + FileNamePart(medium.medium_name);
    if (base.size() > kMaxCatalogNameBytes) base.resize(kMaxCatalogNameBytes - 8);
    std::string candidate = base;
    for (int number = 2; !taken.insert(candidate).second; ++number) {
      candidate = base + "-" + std::to_string(number);
    }
    names.push_back(candidate);
  }
  return names;
}

ImportOutcome ImportListing(const ImportRequest& request, const ImportControl& control) {
  ByteSource source(request.source);
  ImportOutcome outcome;
  if (request.format) {
    outcome.format = *request.format;
  } else {
    const std::optional<ListingFormat> detected = DetectListingFormat(source.Head(64 * 1024));
    if (!detected) throw LumivorError(UnknownFormatText(source.Name()));
    outcome.format = *detected;
  }
  std::vector<ListedMedium> media = ReadListing(source, outcome.format, control);
  if (media.empty()) throw LumivorError(source.Name() + ": the catalog lists no storage");

  const std::vector<std::string> names = MediumCatalogNames(request.name, media);
  std::vector<std::string> paths;
  for (const std::string& name : names) {
    if (const std::string_view refusal = CheckNewCatalogName(name); !refusal.empty()) {
      throw LumivorError(name + ": " + std::string(refusal));
    }
    paths.push_back(CatalogFilePath(request.folder, name));
    if (!request.force && Exists(paths.back())) throw LumivorError(CatalogExistsText(paths.back()));
  }
  // Every catalog is written in full before the first replaces anything; a large one by a
  // thread per core, as a scan's catalog is saved.
  const std::size_t threads = std::min<std::size_t>(std::thread::hardware_concurrency(), 8);
  std::vector<std::unique_ptr<AtomicFile>> files;
  for (std::size_t i = 0; i < media.size(); ++i) {
    if (control.stop.stop_requested()) throw ImportCancelled{};
    files.push_back(std::make_unique<AtomicFile>(paths[i]));
    AtomicFile& file = *files.back();
    outcome.counts += media[i].tree->WriteCatalog(
        DisplayNameOf(paths[i]), [&file](std::string_view chunk) { file.Write(chunk); }, threads);
  }
  // The trees are freed on another thread while the files are synced to the disk, which leaves
  // the processor idle (a million entries take tens of milliseconds to free).
  std::jthread release([&media] { media.clear(); });
  for (std::size_t i = 0; i < files.size(); ++i) {
    files[i]->Commit();
    outcome.catalogs.push_back(paths[i]);
  }
  return outcome;
}

std::string ImportCountsText(const ImportCounts& counts) {
  return "entries=" + std::to_string(counts.entries) +
         " folders=" + std::to_string(counts.folders) + " files=" + std::to_string(counts.files) +
         " hashed=" + std::to_string(counts.hashed) + " skipped=" + std::to_string(counts.skipped);
}

}  // namespace lumivor
