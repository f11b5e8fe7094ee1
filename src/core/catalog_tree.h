#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "core/catalog_record.h"

namespace lumivor {

// A tree of records: the catalog on screen, a scan in progress, a set of search results or the
// library listing.
//
// The tree has an invisible root whose children are the top-level records. Every node knows its
// parent and its row among its siblings, so a view finds a node's index in O(1). Nodes come from a
// pool owned by the tree (no allocation per node, stable addresses until a node is removed); a
// node's record holds its texts in one block (see TCatalogRecord).
//
// Nothing here recurses: walks, sorting and freeing use explicit stacks, so a catalog nested
// hundreds of thousands of levels deep is handled like a flat one.
class CatalogTree {
 public:
  struct Node {
    TCatalogRecord record;
    Node* parent = nullptr;
    std::vector<Node*> children;
    std::uint32_t row = 0;  // index of this node in parent->children

    [[nodiscard]] bool IsDirectory() const { return record.IsDirectory(); }
    [[nodiscard]] bool HasChildren() const { return !children.empty(); }
  };

  CatalogTree();
  ~CatalogTree();
  CatalogTree(CatalogTree&& other) noexcept;
  CatalogTree& operator=(CatalogTree&& other) noexcept;
  CatalogTree(const CatalogTree&) = delete;
  CatalogTree& operator=(const CatalogTree&) = delete;

  // The invisible root; its children are the top-level records.
  [[nodiscard]] Node* Root() { return root_; }
  [[nodiscard]] const Node* Root() const { return root_; }
  // The first top-level node, or nullptr for an empty tree.
  [[nodiscard]] Node* Top() const { return root_->children.empty() ? nullptr : root_->children[0]; }

  // Appends a new last child of `parent` (nullptr: a top-level node) and returns it.
  Node* AddChild(Node* parent, TCatalogRecord record = {});
  // The same, building the record from `fields` with its texts in the tree's own arena (the
  // fast way for scans and loads).
  Node* AddChild(Node* parent, const FieldViews& fields);
  // The same with further attributes after the eleven fields.
  Node* AddChild(Node* parent, const FieldViews& fields, const ExtraViews& extras);
  // Removes `node` and everything below it. The root itself cannot be removed (it is cleared).
  void Remove(Node* node);
  // Removes every node.
  void Clear();
  // Moves every top-level node of `other` to the end of this tree's top level; `other` is left
  // empty. Nodes keep their addresses.
  void Append(CatalogTree&& other);

  // The number of records (the invisible root not counted).
  [[nodiscard]] std::size_t Size() const { return size_; }
  [[nodiscard]] bool Empty() const { return size_ == 0; }

  // Depth of `node`: 0 for a top-level node.
  [[nodiscard]] int Depth(const Node* node) const;

  // Sorts the children of `parent` by `less` (a stable sort) and renumbers their rows.
  static void SortChildren(Node* parent, const std::function<bool(const Node*, const Node*)>& less);
  // Sorts the children of every node, at every depth.
  void SortAll(const std::function<bool(const Node*, const Node*)>& less);

  // Calls `visit(node, depth)` for every record in pre-order (a node before its children).
  template <typename Visit>
  void ForEachPreOrder(Visit&& visit) const;

  // Bytes held by the tree: pool, child lists and record texts (for the memory benchmark).
  [[nodiscard]] std::size_t MemoryBytes() const;

 private:
  Node* NewNode();
  void FreeNode(Node* node);
  void FreeSubtree(Node* node);

  struct Chunk {
    Node* nodes;
    std::size_t capacity;  // nodes
    std::size_t bytes;     // as allocated
  };
  void ReleaseChunks();
  std::vector<Chunk> chunks_;
  std::size_t chunk_used_ = 0;  // nodes handed out of the last chunk
  BlobArena arena_;
  Node* free_list_ = nullptr;  // removed nodes, linked through `parent`
  Node* root_ = nullptr;
  std::size_t size_ = 0;
};

template <typename Visit>
void CatalogTree::ForEachPreOrder(Visit&& visit) const {
  struct Frame {
    const Node* node;
    std::size_t next;
  };
  std::vector<Frame> stack;
  stack.push_back({root_, 0});
  while (!stack.empty()) {
    Frame& frame = stack.back();
    if (frame.next == frame.node->children.size()) {
      stack.pop_back();
      continue;
    }
    const Node* child = frame.node->children[frame.next++];
    visit(child, static_cast<int>(stack.size()) - 1);
    if (!child->children.empty()) stack.push_back({child, 0});
  }
}

}  // namespace lumivor
