#pragma once

#include <string_view>

#include "core/catalog_tree.h"

namespace lumivor {

// Edits of a catalog tree made by the user: the rules that keep the derived fields right.

// Renames `node` to `new_name` (its FileName is still the old one): its FullPath becomes the
// parent's FullPath, "/" and the new name (the bare name for a top-level node), and every
// descendant's FullPath has the node's old path replaced by the new one at its start; a path that
// does not lie below the old one is rebuilt from its parent's new path and its own name. Every
// PathNameLength touched is recomputed. Iterative: any depth is fine.
void RebasePaths(CatalogTree::Node* node, std::string_view new_name);

// Stores `text` in field `field` of `node`, renaming the paths below it when the FileName changes
// (RebasePaths), and recomputes FileNameLength. Nothing happens for nullptr, the invisible root
// (a node without parent) or a field index out of range; false then, true when stored.
bool ApplyEdit(CatalogTree::Node* node, int field, std::string_view text);

}  // namespace lumivor
