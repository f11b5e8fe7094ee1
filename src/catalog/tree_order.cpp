#include "catalog/tree_order.h"

#include <algorithm>
#include <ctime>
#include <limits>
#include <vector>

#include "catalog/attribute_columns.h"
#include "catalog/fields.h"

namespace lumivor {

namespace {

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// One child with its key, taken once before sorting.
struct SortEntry {
  bool file;
  double number;
  std::string text;
  CatalogTree::Node* node;
};

SortKind KindOf(const TreeOrder& order) {
  if (order.attribute.empty()) return SortKindOf(order.field);
  const AttributeColumn* known = FindAttributeColumn(order.attribute);
  return known != nullptr ? known->sort : SortKind::kText;
}

SortEntry EntryOf(CatalogTree::Node* child, const TreeOrder& order, SortKind kind,
                  std::string* scratch) {
  SortEntry entry{Trimmed(child->Field(kFileType, scratch)) != kDirectoryType, 0.0, {}, child};
  if (kind == SortKind::kFixed) return entry;
  const bool by_attribute = !order.attribute.empty();
  const std::string_view value =
      by_attribute ? child->Extra(order.attribute) : child->Field(order.field, scratch);
  switch (kind) {
    case SortKind::kNumber:
      entry.number = by_attribute && value.empty() ? -std::numeric_limits<double>::infinity()
                                                   : NumberTextValue(value);
      break;
    case SortKind::kDate:
      entry.number = FileTimeSortKey(value);
      break;
    case SortKind::kText:
      entry.text.assign(value);
      break;
    case SortKind::kFixed:
      break;
  }
  return entry;
}

}  // namespace

double FileTimeSortKey(std::string_view text) {
  if (text.empty()) return -std::numeric_limits<double>::infinity();
  std::tm parts{};
  if (!ParseFileTime(text, &parts)) return std::numeric_limits<double>::infinity();
  double key = parts.tm_year;
  for (int part : {parts.tm_mon, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec}) {
    key = key * 100 + part;
  }
  return key;
}

void SortChildren(CatalogTree::Node* folder, const TreeOrder& order) {
  if (folder->children.empty()) return;
  const SortKind kind = KindOf(order);
  std::vector<SortEntry> entries;
  entries.reserve(folder->children.size());
  std::string scratch;
  for (CatalogTree::Node* child : folder->children) {
    entries.push_back(EntryOf(child, order, kind, &scratch));
  }
  auto key_less = [kind](const SortEntry& a, const SortEntry& b) {
    if (kind == SortKind::kText) return CompareFoldedText(a.text, b.text) < 0;
    return a.number < b.number;
  };
  const bool ascending = order.ascending;
  std::stable_sort(entries.begin(), entries.end(), [&](const SortEntry& a, const SortEntry& b) {
    if (a.file != b.file) return !a.file;
    return ascending ? key_less(a, b) : key_less(b, a);
  });
  for (std::size_t i = 0; i < entries.size(); ++i) {
    folder->children[i] = entries[i].node;
    entries[i].node->row = static_cast<std::uint32_t>(i);
  }
}

std::size_t SortFolders(std::span<CatalogTree::Node* const> folders, const TreeOrder& order,
                        const std::stop_token& stop) {
  std::size_t done = 0;
  for (CatalogTree::Node* folder : folders) {
    if (stop.stop_requested()) break;
    SortChildren(folder, order);
    ++done;
  }
  return done;
}

}  // namespace lumivor
