#include "copies/catalog_compare.h"

#include <string_view>
#include <unordered_map>
#include <vector>

#include "catalog/fields.h"
#include "copies/catalog_hashes.h"
#include "copies/content_hash.h"

namespace lumivor {

namespace {

using Node = CatalogTree::Node;

// A file of one side with the facts compared.
struct Item {
  const Node* node;
  std::string path;  // relative to the top
  std::string size, time, hash, description;
  bool matched = false;
};

bool IsComparedFile(const Node& node) { return node.IsFile() && node.Extra("Missing").empty(); }

// Every file below the top of `tree`, in pre-order, with its path relative to the top.
std::vector<Item> FilesOf(const CatalogTree& tree) {
  std::vector<Item> items;
  std::vector<std::string> paths;  // the relative path of the open node at each depth
  tree.ForEachPreOrder([&](const Node* node, int depth) {
    if (depth == 0) {
      paths.assign(1, std::string());
      return;
    }
    if (paths.empty()) return;  // records beside the top are not part of the medium
    paths.resize(static_cast<std::size_t>(depth));
    std::string path = paths.back();
    if (!path.empty()) path += '/';
    path += node->Name();
    if (IsComparedFile(*node)) {
      Item item{node,
                path,
                node->Field(kFileSize),
                node->Field(kFileTime),
                std::string(node->Extra(kHashAttribute)),
                node->Field(kDescription)};
      items.push_back(std::move(item));
    }
    paths.push_back(std::move(path));
  });
  return items;
}

// True when both hashes are of one algorithm, so that comparing them means something.
bool Comparable(std::string_view a, std::string_view b) {
  return !a.empty() && !b.empty() && !HashAlgorithm(a).empty() &&
         HashAlgorithm(a) == HashAlgorithm(b);
}

CatalogDifference Describe(CatalogDifference::Kind kind, const Item* a, const Item* b) {
  CatalogDifference difference;
  difference.kind = kind;
  if (a) {
    difference.path = a->path;
    difference.size_a = a->size;
    difference.time_a = a->time;
    difference.hash_a = a->hash;
  }
  if (b) {
    if (kind == CatalogDifference::Kind::kMoved) {
      difference.other_path = b->path;
    } else if (!a) {
      difference.path = b->path;
    }
    difference.size_b = b->size;
    difference.time_b = b->time;
    difference.hash_b = b->hash;
  }
  if (a && b && a->description != b->description) {
    difference.descriptions_differ = true;
    difference.description_a = a->description;
    difference.description_b = b->description;
  }
  return difference;
}

std::string ContentKey(const Item& item) { return item.hash + '|' + item.size; }
std::string FactsKey(const Item& item) {
  return std::string(item.node->Name()) + '|' + item.size + '|' + item.time;
}

}  // namespace

const char* DifferenceKindName(CatalogDifference::Kind kind) {
  switch (kind) {
    case CatalogDifference::Kind::kOnlyA:
      return "only_a";
    case CatalogDifference::Kind::kOnlyB:
      return "only_b";
    case CatalogDifference::Kind::kChanged:
      return "changed";
    case CatalogDifference::Kind::kMoved:
      return "moved";
    case CatalogDifference::Kind::kSame:
      return "same";
  }
  return "";
}

std::string CompareCounts::CountsLine() const {
  return "only_a=" + std::to_string(only_a) + " only_b=" + std::to_string(only_b) +
         " changed=" + std::to_string(changed) + " moved=" + std::to_string(moved) +
         " same=" + std::to_string(same);
}

namespace {

void Tell(const DifferenceFound& found, const CatalogDifference& difference) {
  if (found) found(difference);
}

// Pairs the files of the same path on both sides: changed or the same. False when stopped.
bool MatchSamePaths(std::vector<Item>& files_a, std::vector<Item>& files_b,
                    const DifferenceFound& found, const std::stop_token& stop,
                    CompareCounts* counts) {
  std::unordered_map<std::string_view, std::size_t> b_by_path;
  b_by_path.reserve(files_b.size());
  for (std::size_t i = 0; i < files_b.size(); ++i) b_by_path.emplace(files_b[i].path, i);
  for (std::size_t i = 0; i < files_a.size(); ++i) {
    if ((i & 1023) == 0 && stop.stop_requested()) return false;
    Item& item_a = files_a[i];
    const auto it = b_by_path.find(item_a.path);
    if (it == b_by_path.end()) continue;
    Item& item_b = files_b[it->second];
    item_a.matched = item_b.matched = true;
    const bool changed = item_a.size != item_b.size || item_a.time != item_b.time ||
                         (Comparable(item_a.hash, item_b.hash) && item_a.hash != item_b.hash);
    const CatalogDifference difference =
        Describe(changed ? CatalogDifference::Kind::kChanged : CatalogDifference::Kind::kSame,
                 &item_a, &item_b);
    if (changed) {
      ++counts->changed;
      Tell(found, difference);
    } else {
      ++counts->same;
      if (difference.descriptions_differ) Tell(found, difference);
    }
  }
  return true;
}

// Pairs the files left over that moved: by content, then by name, size and time. False when
// stopped.
bool MatchMoves(std::vector<Item>& files_a, std::vector<Item>& files_b,
                const DifferenceFound& found, const std::stop_token& stop, CompareCounts* counts) {
  std::unordered_map<std::string, std::vector<std::size_t>> by_content, by_facts;
  for (std::size_t i = files_b.size(); i-- > 0;) {
    const Item& item = files_b[i];
    if (item.matched) continue;
    if (!HashAlgorithm(item.hash).empty()) by_content[ContentKey(item)].push_back(i);
    by_facts[FactsKey(item)].push_back(i);
  }
  // Lists hold B's files in reverse order, so the last free one acceptable to `item_a` is the
  // first in B's order. A file whose hash (of the same algorithm) differs is never the same file.
  const auto take = [&](std::unordered_map<std::string, std::vector<std::size_t>>& map,
                        const std::string& key, const Item& item_a) -> Item* {
    const auto it = map.find(key);
    if (it == map.end()) return nullptr;
    auto& list = it->second;
    while (!list.empty() && files_b[list.back()].matched) list.pop_back();
    for (std::size_t j = list.size(); j-- > 0;) {
      Item& candidate = files_b[list[j]];
      if (candidate.matched) continue;
      if (Comparable(item_a.hash, candidate.hash) && item_a.hash != candidate.hash) continue;
      return &candidate;
    }
    return nullptr;
  };
  for (Item& item_a : files_a) {
    if (item_a.matched) continue;
    if (stop.stop_requested()) return false;
    Item* item_b = nullptr;
    if (!HashAlgorithm(item_a.hash).empty()) item_b = take(by_content, ContentKey(item_a), item_a);
    if (!item_b) item_b = take(by_facts, FactsKey(item_a), item_a);
    if (!item_b) continue;
    item_a.matched = item_b->matched = true;
    ++counts->moved;
    Tell(found, Describe(CatalogDifference::Kind::kMoved, &item_a, item_b));
  }
  return true;
}

}  // namespace

CompareCounts CompareCatalogs(const CatalogTree& a, const CatalogTree& b,
                              const DifferenceFound& found, std::stop_token stop) {
  CompareCounts counts;
  std::vector<Item> files_a = FilesOf(a);
  std::vector<Item> files_b = FilesOf(b);
  if (!MatchSamePaths(files_a, files_b, found, stop, &counts) ||
      !MatchMoves(files_a, files_b, found, stop, &counts)) {
    counts.cancelled = true;
    return counts;
  }
  for (const Item& item : files_a) {
    if (item.matched) continue;
    ++counts.only_a;
    Tell(found, Describe(CatalogDifference::Kind::kOnlyA, &item, nullptr));
  }
  for (const Item& item : files_b) {
    if (item.matched) continue;
    ++counts.only_b;
    Tell(found, Describe(CatalogDifference::Kind::kOnlyB, nullptr, &item));
  }
  return counts;
}

}  // namespace lumivor
