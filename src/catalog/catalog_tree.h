#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "catalog/catalog_record.h"
#include "core/record_sink.h"

namespace lumivor {

// A tree of records: the catalog on screen, a scan in progress, a set of search results or the
// library listing.
//
// The tree has an invisible root whose children are the top-level records. Every node knows its
// parent and its row among its siblings, so a view finds a node's index in O(1). Nodes come from a
// pool owned by the tree (no allocation per node, stable addresses until a node is removed); a
// node holds its texts in one block (see Node).
//
// Nothing here recurses: walks, sorting and freeing use explicit stacks, so a catalog nested
// hundreds of thousands of levels deep is handled like a flat one.
class CatalogTree {
 public:
  // One record of the tree. A node stores what cannot be derived: its FullPath only when it is
  // not the parent's path (or a leading part of it), "/" and FileName; its CatalogName only when
  // it is not the tree's; sizes, times, lengths and percentages as numbers where their text is
  // in canonical form (see record_blob.h). Every field reads exactly as it was set.
  class Node {
   public:
    Node() = default;
    ~Node();
    Node(const Node&) = delete;
    Node& operator=(const Node&) = delete;

    Node* parent = nullptr;
    std::vector<Node*> children;
    std::uint32_t row = 0;  // index of this node in parent->children

    // Field `index` (0..10) as it reads; the empty text for an unset field.
    [[nodiscard]] std::string Field(int index) const;
    // The same as a view: into the node, into `scratch`, or into the tree; valid until the next
    // change of `scratch`, the node or an ancestor.
    [[nodiscard]] std::string_view Field(int index, std::string* scratch) const;
    // FileSize as a number, when the node holds it as one (its text is the number's digits);
    // false when it is empty or kept as text.
    [[nodiscard]] bool SizeNumber(std::uint64_t* value) const;
    // FileName, which is always stored as it reads.
    [[nodiscard]] std::string_view Name() const;
    // The record on its own: every field and further attribute as it reads.
    [[nodiscard]] CatalogRecord Record() const;

    // The further attributes, in order; views valid until the next change of the node.
    [[nodiscard]] std::size_t ExtraCount() const;
    [[nodiscard]] ExtraViews Extras() const;
    // The value of the further attribute `name`; empty when there is none.
    [[nodiscard]] std::string_view Extra(std::string_view name) const;

    // Replaces field `index` (as CatalogRecord::SetField). The children's paths read as they
    // did, whatever changes here.
    void SetField(int index, std::string_view value);
    // Sets a size, time, length or percentage field to `value` in place, without a new block,
    // when it holds a number now and the number `value` stands for takes no more room (see
    // record_blob::OverwriteNumber). False, with the node unchanged, when it cannot: SetField
    // does it then.
    bool OverwriteNumber(int index, std::string_view value);
    // Sets a further attribute (as CatalogRecord::SetExtra).
    void SetExtra(std::string_view name, std::string_view value);
    // Replaces every field and further attribute by those of `record`.
    void SetRecord(const CatalogRecord& record);
    // FullPath as it reads once the parent's path reads `parent_path` (into `scratch` where it
    // is derived): for walks that change paths from the top down.
    [[nodiscard]] std::string_view PathBelow(std::string_view parent_path,
                                             std::string* scratch) const;
    // Sets FullPath to `path`, the parent's path reading `parent_path`. Unlike SetField, the
    // children are left as they are, so paths derived from this one follow it.
    void SetPathBelow(std::string_view path, std::string_view parent_path);

    [[nodiscard]] bool IsDirectory() const;
    [[nodiscard]] bool IsFile() const;
    [[nodiscard]] bool HasChildren() const { return !children.empty(); }

    // Heap bytes the node's texts take (nothing while they are in the tree's arena).
    [[nodiscard]] std::size_t HeapBytes() const;

   private:
    friend class CatalogTree;
    [[nodiscard]] const char* Blob() const {
      return reinterpret_cast<const char*>(reinterpret_cast<std::uintptr_t>(blob_) &
                                           ~std::uintptr_t(1));
    }
    [[nodiscard]] bool InArena() const { return reinterpret_cast<std::uintptr_t>(blob_) & 1; }
    // Takes `blob` (on the heap) in place of the current one.
    void Replace(char* blob);
    // Rewrites the block with every field and further attribute as it reads now, against the
    // parent's path `parent_path` (top-level nodes: ignored).
    void Repack(const FieldViews& fields, const ExtraViews& extras, std::string_view parent_path,
                bool know_parent);
    // Stores the FullPath of every child whose path is derived from this node's as it reads
    // now (`path`), so that a change here leaves them as they were.
    void PinChildPaths(std::string_view path);

    // The block; its lowest bit is set when the block lives in the tree's arena (blocks are
    // 2-aligned).
    char* blob_ = nullptr;
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

  // Appends a new last child of `parent` (nullptr: a top-level node) and returns it, with the
  // texts of `record`.
  Node* AddChild(Node* parent, const CatalogRecord& record = {});
  // The same from `fields` (and further attributes after them), with the texts in the tree's own
  // arena: the fast way for scans and loads, above all when records come in pre-order.
  Node* AddChild(Node* parent, const FieldViews& fields, const ExtraViews& extras = {});
  // The same for a record of only FileName, FileType, FileSize and FileTime, given as numbers
  // (see record_blob::PackEntry): the fast way for imports.
  Node* AddEntry(Node* parent, std::string_view clean_name, bool directory,
                 const std::uint64_t* size, const std::int64_t* local_time);
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

  // Calls `visit(node, record)` for every record in pre-order with its depth, fields and
  // further attributes as they read (views valid during the call), deriving every path from its
  // parent's once; stops when `visit` returns false. Returns false when it stopped.
  bool ForEachRecord(const std::function<bool(const Node*, const RecordView&)>& visit) const;
  // The same for the children `first` to `last` - 1 of `parent` and everything below them, the
  // children at depth `depth`; `parent_path` is the FullPath of `parent` as it reads ("" for the
  // root). Walks of different parts may run on different threads at once.
  bool ForEachRecordBelow(const Node* parent, std::size_t first, std::size_t last, int depth,
                          std::string_view parent_path,
                          const std::function<bool(const Node*, const RecordView&)>& visit) const;

  // The catalog name records of this tree share: the CatalogName of the first record added that
  // had one. Empty when none had.
  [[nodiscard]] std::string_view CatalogName() const;

  // Whether the large blocks that hold nodes and texts from now on ask the kernel for huge pages
  // (the default). A tree built once and walked once gains little from them, and on a machine
  // short of free huge pages each one costs a compaction or a fresh page from the hypervisor.
  void AskForHugePages(bool ask) {
    huge_pages_ = ask;
    arena_.AskForHugePages(ask);
  }

  // Bytes held by the tree: pool, child lists and record texts (for the memory benchmark).
  [[nodiscard]] std::size_t MemoryBytes() const;

 private:
  Node* NewNode();
  // The parent's path as it reads, for a node added below `parent`; false when the path is not
  // worth deriving against (the node then stores its own).
  bool ParentPathFor(const Node* parent, std::string_view* path);
  // Makes `name` the catalog name the tree's records share (the root holds it too).
  void SetCatalogName(std::string_view name);
  // Remembers `node`'s path for the children that follow it.
  void NotePath(const Node* node, std::string_view path);
  void ForgetPaths();
  // Stores the derived catalog names of every node: they are about to join a tree of another.
  void PinCatalogNames();
  void FreeNode(Node* node);
  void FreeSubtree(Node* node);

  // The FullPath of `node` as it reads, into `out`: found by walking up to the nearest node that
  // stores its path, through at most `max_links` derived paths (-1: any number). False when
  // that is further.
  static bool ResolvePath(const Node* node, std::string* out, int max_links);
  // The catalog name of the tree holding `node` (its root holds it).
  static std::string_view CatalogNameOf(const Node* node);

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
  std::string catalog_name_;  // see CatalogName()
  // The paths of the last node added and its ancestors (as far as remembered), so that records
  // added in pre-order find their parent's path without a walk. Valid while no node changed.
  struct PathEntry {
    const Node* node;
    std::size_t length;  // of the path in path_texts_
  };
  std::vector<PathEntry> path_entries_;
  std::string path_texts_;
  std::uint64_t path_generation_ = 0;
  bool huge_pages_ = true;
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

// The records below each node of `top`'s subtree that has children, itself counted (`top`
// included); empty when a node lies more than `deepest` levels below `top`.
[[nodiscard]] std::unordered_map<const CatalogTree::Node*, std::size_t> SubtreeSizes(
    const CatalogTree::Node* top, std::size_t deepest);

}  // namespace lumivor
