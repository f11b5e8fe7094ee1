// The order a catalog is shown, saved and exported in: by one field or further attribute,
// ascending or descending, directories before files in both directions, ties in their previous
// order. The view sorts the folders it shows with it; a save or an export sorts the rest off the
// window's thread.
#pragma once

#include <cstddef>
#include <span>
#include <stop_token>
#include <string>

#include "catalog/catalog_tree.h"

namespace lumivor {

struct TreeOrder {
  int field = 0;          // the field sorted by (0 is FileName) when `attribute` is empty
  std::string attribute;  // a further attribute sorted by instead (records without it first)
  bool ascending = true;
};

// Sorts the children of `folder` by `order` (a stable sort) and renumbers their rows.
void SortChildren(CatalogTree::Node* folder, const TreeOrder& order);

// Sorts the children of each of `folders` in turn; stops between folders once `stop` is
// requested. Returns how many folders, from the first, are in order.
std::size_t SortFolders(std::span<CatalogTree::Node* const> folders, const TreeOrder& order,
                        const std::stop_token& stop = {});

// A sortable value of a FileTime text: empty before every time, a text that is no time after
// every time, so that the order is a strict weak one whatever the catalog holds.
[[nodiscard]] double FileTimeSortKey(std::string_view text);

}  // namespace lumivor
