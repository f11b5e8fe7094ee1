#include "search/result_edit.h"

#include <string>

#include "catalog/catalog_edit.h"
#include "catalog/catalog_file.h"
#include "catalog/fields.h"
#include "core/errors.h"

namespace lumivor {

std::vector<const CatalogTree::Node*> RecordsByOrdinal(const CatalogTree& tree) {
  std::vector<const CatalogTree::Node*> nodes;
  nodes.reserve(tree.Size());
  tree.ForEachPreOrder([&](const CatalogTree::Node* node, int) { nodes.push_back(node); });
  return nodes;
}

const CatalogTree::Node* FindResultRecord(const CatalogTree& tree, const ResultSource& source,
                                          const CatalogRecord& shown) {
  const auto same = [&](const CatalogTree::Node* node) {
    return node->Field(kFullPath) == shown.Field(kFullPath) &&
           node->Field(kFileName) == shown.Field(kFileName);
  };
  const CatalogTree::Node* at_ordinal = nullptr;
  const CatalogTree::Node* first_same = nullptr;
  std::size_t ordinal = 0;
  tree.ForEachPreOrder([&](const CatalogTree::Node* node, int) {
    if (ordinal++ == source.ordinal && same(node)) at_ordinal = node;
    if (first_same == nullptr && same(node)) first_same = node;
  });
  return at_ordinal != nullptr ? at_ordinal : first_same;
}

bool EditAtOrdinal(EditedCatalog* edited, const ResultSource& source, const CatalogRecord& shown,
                   int field, std::string_view text) {
  edited->by_ordinal = RecordsByOrdinal(edited->tree);
  if (source.ordinal >= edited->by_ordinal.size()) throw LumivorError(std::string(kResultMoved));
  // The tree is ours: the node is only const through the ordinal table.
  auto* node = const_cast<CatalogTree::Node*>(edited->by_ordinal[source.ordinal]);
  if (node->Field(kFileName) != shown.Field(kFileName) ||
      node->Field(kFullPath) != shown.Field(kFullPath)) {
    throw LumivorError(std::string(kResultMoved));
  }
  edited->refusal = EditRefusal(node, field, text);
  if (!edited->refusal.empty()) return false;
  ApplyEdit(node, field, text);
  return true;
}

EditedCatalog ApplyResultEdit(const ResultSource& source, const CatalogRecord& shown, int field,
                              std::string_view text, Progress& progress) {
  EditedCatalog edited{LoadCatalog(source.catalog_path, progress), {}, {}};
  if (!EditAtOrdinal(&edited, source, shown, field, text)) return edited;
  // Written in the order it was read, so the ordinals of the other results stay right.
  SaveCatalog(edited.tree, source.catalog_path, progress);
  return edited;
}

}  // namespace lumivor
