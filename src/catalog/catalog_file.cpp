#include "catalog/catalog_file.h"

#include <cstring>
#include <functional>
#include <new>
#include <utility>

#include "catalog/catalog_reader.h"
#include "catalog/catalog_writer.h"
#include "catalog/fields.h"
#include "core/atomic_file.h"
#include "core/errors.h"
#include "index/indexed_search.h"

namespace lumivor {

namespace {

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

void CatalogDocument::ClearDocument() { SetDocumentText(*Document, EmptyCatalogText()); }

XmlElement CatalogDocument::DocumentRoot() { return DocumentElement(*Document); }

void CatalogDocument::WriteTree(const CatalogTree& tree) {
  progress_.ShowWait(true, false);
  progress_.SetWaitText(kGatheringInfo);
  XmlElement root = DocumentRoot();
  if (!root) {
    ClearDocument();
    root = DocumentRoot();
  }
  root.remove_children();

  std::vector<pugi::xml_node> elements;  // element of each open level; [0] is the root
  elements.push_back(root);
  tree.ForEachRecord([&](const CatalogTree::Node* node, const RecordView& record) {
    elements.resize(static_cast<std::size_t>(record.depth) + 1);
    pugi::xml_node element = elements.back().append_child("file");
    for (int i = 0; i < kFieldCount; ++i) {
      if (record.fields[i].empty()) continue;
      element.append_attribute(FieldNames[i].data())
          .set_value(std::string(record.fields[i]).c_str());
    }
    for (const ExtraAttribute& extra : record.extras) {
      element.append_attribute(std::string(extra.name).c_str())
          .set_value(std::string(extra.value).c_str());
    }
    if (node->HasChildren()) elements.push_back(element);
    return true;
  });
  progress_.ShowWait(false);
}

void CatalogDocument::ReadTree(CatalogTree* tree) {
  progress_.ShowWait(true, false);
  progress_.SetWaitText(kLoadingInfo);
  TreeSink sink(tree);
  EmitDocument(*Document, BaseNameOf(CatalogPath), sink);
  progress_.ShowWait(false);
}

bool CatalogDocument::LoadFile(std::string path) {
  progress_.ShowWait(true, false);
  progress_.SetWaitText(kLoadingInfo);
  struct Hide {
    Progress& p;
    ~Hide() { p.ShowWait(false); }
  } hide{progress_};
  if (path.empty() && prompts_) {
    path = AskOpenFileName(*prompts_, kCatalogExtension, kCatalogFilter, "");
  }
  if (path.empty()) return false;
  CatalogPath = path;
  LoadXmlFile(*Document, path);
  return true;
}

void CatalogDocument::SaveFile(std::string path) {
  if (path.empty() && prompts_) {
    path = AskSaveFileName(*prompts_, kCatalogExtension, kCatalogFilter, "");
  }
  if (path.empty()) return;
  SaveXmlFile(*Document, path);
}

void WriteCatalogFile(const CatalogTree& tree, const std::string& path, Progress& progress) {
  progress.ShowWait(true, false);
  progress.SetWaitText(kGatheringInfo);
  struct Hide {
    Progress& p;
    ~Hide() { p.ShowWait(false); }
  } hide{progress};
  AtomicFile file(path);
  StreamCatalog(tree, [&](std::string_view chunk) { file.Write(chunk); });
  file.Commit();
}

void SaveCatalog(const CatalogTree& tree, const std::string& path, Progress& progress) {
  progress.ShowWait(true, false);
  progress.SetWaitText(kSavingInfo);
  WriteCatalogFile(tree, path, progress);
  // The search index of the library the catalog lies in (if any) follows at once.
  NoteLibraryChange(path);
  progress.ShowWait(false);
}

namespace {

CatalogTree LoadCatalogTree(const std::string& path, Progress& progress) {
  CatalogTree tree;
  TreeSink sink(&tree);
  ReadCatalogFile(path, sink, progress);
  return tree;
}

}  // namespace

CatalogTree LoadCatalog(const std::string& path, Progress& progress) {
  try {
    return LoadCatalogTree(path, progress);
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
