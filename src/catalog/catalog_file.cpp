#include "catalog/catalog_file.h"

#include <functional>
#include <new>
#include <utility>

#include "catalog/catalog_reader.h"
#include "catalog/catalog_writer.h"
#include "core/atomic_file.h"
#include "core/errors.h"

namespace lumivor {

namespace {

// How many records are written between two looks at the stop token.
constexpr std::size_t kStopPollRecords = 4096;

// Streams the catalog text of a tree, in pieces, to `write`.
void StreamCatalog(const CatalogTree& tree, std::function<void(std::string_view)> write) {
  CatalogWriter writer(std::move(write));
  EmitTree(tree, writer);
  writer.Finish();
}

}  // namespace

std::string EmptyCatalogText() {
  std::string text = "<?xml version=\"1.0\" encoding=\"utf-8\" standalone=\"yes\" ?> ";
  text += "<fileinfo generated=\"";
  text += kGeneratedAddress;
  text += "\"></fileinfo>";
  return text;
}

bool WriteCatalogFile(const CatalogTree& tree, const std::string& path, Progress& progress,
                      std::stop_token stop) {
  ProgressShown shown(progress, stop.stop_possible());
  progress.SetWaitText(kGatheringInfo);
  AtomicFile file(path);
  CatalogWriter writer([&](std::string_view chunk) { file.Write(chunk); });
  std::size_t count = 0;
  const bool complete = tree.ForEachRecord([&](const CatalogTree::Node*, const RecordView& view) {
    if (++count % kStopPollRecords == 0 && stop.stop_requested()) return false;
    return writer.Add(view);
  });
  // A stopped write drops the temporary file with `file`; the old catalog stays.
  if (!complete || stop.stop_requested()) return false;
  writer.Finish();
  file.Commit();
  return true;
}

bool SaveCatalog(const CatalogTree& tree, const std::string& path, Progress& progress,
                 std::stop_token stop) {
  ProgressShown shown(progress, stop.stop_possible());
  progress.SetWaitText(kSavingInfo);
  return WriteCatalogFile(tree, path, progress, stop);
}

CatalogTree LoadCatalog(const std::string& path, Progress& progress) {
  return *LoadCatalog(path, progress, std::stop_token());
}

std::optional<CatalogTree> LoadCatalog(const std::string& path, Progress& progress,
                                       std::stop_token stop) {
  try {
    CatalogTree tree;
    TreeSink sink(&tree);
    if (!ReadCatalogFile(path, sink, progress, stop)) return std::nullopt;
    return tree;
  } catch (const std::bad_alloc&) {
    throw LumivorError(path + ": not enough memory to hold the catalog");
  }
}

std::string CatalogText(const CatalogTree& tree) {
  std::string text;
  StreamCatalog(tree, [&](std::string_view chunk) { text.append(chunk); });
  return text;
}

}  // namespace lumivor
