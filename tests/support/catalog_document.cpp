#include "support/catalog_document.h"

#include "catalog/catalog_file.h"
#include "catalog/catalog_reader.h"
#include "catalog/fields.h"

namespace lumivor {

void CatalogDocument::ClearDocument() { SetDocumentText(*Document, EmptyCatalogText()); }

XmlElement CatalogDocument::DocumentRoot() { return DocumentElement(*Document); }

void CatalogDocument::WriteTree(const CatalogTree& tree) {
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
}

void CatalogDocument::ReadTree(CatalogTree* tree) {
  TreeSink sink(tree);
  EmitDocument(*Document, BaseNameOf(CatalogPath), sink);
}

bool CatalogDocument::LoadFile(std::string path) {
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

}  // namespace lumivor
