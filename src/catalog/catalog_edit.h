#pragma once

#include <cstddef>
#include <string_view>

#include "catalog/catalog_tree.h"

namespace lumivor {

// Edits of a catalog tree made by the user: the rules that keep the derived fields right.

// Renames `node` to `new_name` (its FileName is still the old one): its FullPath becomes the
// parent's FullPath, "/" and the new name (the bare name for a top-level node), and every
// descendant's FullPath has the node's old path replaced by the new one at its start; a path that
// does not lie below the old one is rebuilt from its parent's new path and its own name. Every
// PathNameLength touched is recomputed. Iterative: any depth is fine.
void RebasePaths(CatalogTree::Node* node, std::string_view new_name);

// The refusal of a name that cannot name an entry of a folder, and its forms that say why.
inline constexpr std::string_view kInvalidName = "Invalid name.";
inline constexpr std::string_view kInvalidNameEmpty = "Invalid name. The name is empty.";
inline constexpr std::string_view kInvalidNameSlash = "Invalid name. A name cannot hold a \"/\".";
inline constexpr std::string_view kInvalidNameDot =
    "Invalid name. A name cannot begin with a \".\".";
inline constexpr std::string_view kInvalidNameDots =
    "Invalid name. \".\" and \"..\" cannot name an entry of a folder.";
inline constexpr std::string_view kInvalidNameNul =
    "Invalid name. A name cannot hold a NUL character.";
inline constexpr std::string_view kInvalidNameTooLong =
    "Invalid name. The name is too long for the file system.";
// The longest name a folder entry can have, in bytes.
inline constexpr std::size_t kMaxNameBytes = 255;
// The longest FileName of a top-level record (the scanned folder's path), in bytes.
inline constexpr std::size_t kMaxPathBytes = 4095;

// Why `text` cannot be stored in field `field` of `node` (one of the kInvalidName texts); empty
// when it can. A FileName below the top level names one entry of its folder: not empty, not "."
// or "..", without "/" or NUL, at most kMaxNameBytes. A top-level FileName is the scanned
// folder's path: not empty, without NUL, at most kMaxPathBytes. Every other field takes any text.
[[nodiscard]] std::string_view EditRefusal(const CatalogTree::Node* node, int field,
                                           std::string_view text);

// Stores `text` in field `field` of `node`, renaming the paths below it when the FileName changes
// (RebasePaths), and recomputes FileNameLength; a renamed file's FileExt follows its new name
// (directories keep theirs). Nothing happens for nullptr, the invisible root (a node without
// parent), a field index out of range or an edit that EditRefusal refuses; false then, true when
// stored.
bool ApplyEdit(CatalogTree::Node* node, int field, std::string_view text);

}  // namespace lumivor
