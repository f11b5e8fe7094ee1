#include "catalog/catalog_file.h"

#include <functional>
#include <new>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "catalog/catalog_reader.h"
#include "catalog/catalog_writer.h"
#include "core/atomic_file.h"
#include "core/errors.h"

namespace lumivor {

namespace {

// How many records are written between two looks at the stop token.
constexpr std::size_t kStopPollRecords = 4096;

// Trees of more records than this are written by several threads, each making the text of a
// part of about kPartRecords records (WriteCatalogParts).
constexpr std::size_t kParallelRecords = 50000;
constexpr std::size_t kPartRecords = 2048;

// A stretch of the records in pre-order: the children `first` to `last` - 1 of `parent` with
// everything below them, or (`alone`) the record of child `first` without what lies below it.
struct Part {
  const CatalogTree::Node* parent;
  std::size_t first, last;
  int depth;
  std::string parent_path;
  bool alone;
};

// Trees deeper than this are written on one thread: the parts keep the paths of their parents,
// and cutting them recurses as deep as the large subtrees go.
constexpr std::size_t kDeepestParted = 256;

// Cuts the records below `parent` into parts in pre-order: runs of sibling subtrees of about
// kPartRecords records, and a larger subtree as its own record followed by the parts below it.
void CutIntoParts(const std::unordered_map<const CatalogTree::Node*, std::size_t>& sizes,
                  const CatalogTree::Node* parent, int depth, const std::string& parent_path,
                  std::vector<Part>* parts) {
  const auto size_of = [&](const CatalogTree::Node* node) -> std::size_t {
    return node->children.empty() ? 1 : sizes.at(node);
  };
  std::size_t start = 0, gathered = 0;
  const auto flush = [&](std::size_t end) {
    if (end > start) parts->push_back({parent, start, end, depth, parent_path, false});
    start = end;
    gathered = 0;
  };
  for (std::size_t i = 0; i < parent->children.size(); ++i) {
    const CatalogTree::Node* child = parent->children[i];
    const std::size_t size = size_of(child);
    if (size > kPartRecords) {
      flush(i);
      parts->push_back({parent, i, i + 1, depth, parent_path, true});
      CutIntoParts(sizes, child, depth + 1, child->Field(kFullPath), parts);
      start = i + 1;
      continue;
    }
    if (gathered + size > kPartRecords) flush(i);
    gathered += size;
  }
  flush(parent->children.size());
}

// Adds the records of `part` to `writer`; stops early when `stop` was requested.
void WritePart(const CatalogTree& tree, const Part& part, std::stop_token stop,
               CatalogWriter& writer) {
  if (part.alone) {
    const CatalogRecord record = part.parent->children[part.first]->Record();
    RecordView view;
    view.depth = part.depth;
    view.fields = record.Fields();
    view.extras = record.Extras();
    writer.Add(view);
    return;
  }
  std::size_t count = 0;
  tree.ForEachRecordBelow(part.parent, part.first, part.last, part.depth, part.parent_path,
                          [&](const CatalogTree::Node*, const RecordView& view) {
                            if (++count % kStopPollRecords == 0 && stop.stop_requested()) {
                              return false;
                            }
                            return writer.Add(view);
                          });
}

// Streams the catalog text of a tree, in pieces, to `write`, on this thread; false when `stop`
// was requested (the text is then incomplete).
bool StreamCatalogOnThisThread(const CatalogTree& tree, std::function<void(std::string_view)> write,
                               std::stop_token stop) {
  CatalogWriter writer(std::move(write));
  std::size_t count = 0;
  const bool complete = tree.ForEachRecord([&](const CatalogTree::Node*, const RecordView& view) {
    if (++count % kStopPollRecords == 0 && stop.stop_requested()) return false;
    return writer.Add(view);
  });
  if (!complete || stop.stop_requested()) return false;
  writer.Finish();
  return true;
}

// The same, a large tree cut into parts whose texts are made on a thread per core and written in
// order, joined as one writer joins records.
bool StreamCatalog(const CatalogTree& tree, std::function<void(std::string_view)> write,
                   std::stop_token stop = {}) {
  const std::size_t threads = std::min<std::size_t>(std::thread::hardware_concurrency(), 8);
  if (tree.Size() <= kParallelRecords || threads < 2) {
    return StreamCatalogOnThisThread(tree, std::move(write), stop);
  }
  const auto sizes = SubtreeSizes(tree.Root(), kDeepestParted);
  if (sizes.empty()) {
    return StreamCatalogOnThisThread(tree, std::move(write), stop);
  }
  std::vector<Part> parts;
  CutIntoParts(sizes, tree.Root(), 0, "", &parts);
  return WriteCatalogParts(
      parts.size(), threads,
      [&](std::size_t index, CatalogWriter& writer) {
        WritePart(tree, parts[index], stop, writer);
      },
      write, stop);
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
  const bool complete = StreamCatalog(
      tree, [&](std::string_view chunk) { file.Write(chunk); }, stop);
  // A stopped write drops the temporary file with `file`; the old catalog stays.
  if (!complete || stop.stop_requested()) return false;
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
