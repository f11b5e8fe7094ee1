#include "core/catalog_tree.h"

#include <algorithm>
#include <new>
#include <utility>

namespace lumivor {

namespace {
// Node chunks grow with the tree, up to 2 MiB so the kernel can back them with huge pages.
constexpr std::size_t kFirstChunkNodes = 64;
constexpr std::size_t kLargestChunkBytes = std::size_t(2) << 20;
}  // namespace

CatalogTree::CatalogTree() { root_ = NewNode(); }

CatalogTree::~CatalogTree() {
  if (root_) FreeSubtree(root_);
  ReleaseChunks();
}

void CatalogTree::ReleaseChunks() {
  // Nodes on the free list hold nothing; live ones were destroyed by FreeSubtree.
  for (const Chunk& chunk : chunks_) FreeLargeBlock(chunk.nodes, chunk.bytes);
  chunks_.clear();
}

CatalogTree::CatalogTree(CatalogTree&& other) noexcept
    : chunks_(std::move(other.chunks_)),
      chunk_used_(other.chunk_used_),
      arena_(std::move(other.arena_)),
      free_list_(other.free_list_),
      root_(other.root_),
      size_(other.size_) {
  other.chunks_.clear();
  other.chunk_used_ = 0;
  other.free_list_ = nullptr;
  other.size_ = 0;
  other.root_ = other.NewNode();
}

CatalogTree& CatalogTree::operator=(CatalogTree&& other) noexcept {
  if (this != &other) {
    // `taken` holds what `other` had; after the swap it holds our old nodes and frees them.
    CatalogTree taken(std::move(other));
    std::swap(chunks_, taken.chunks_);
    std::swap(chunk_used_, taken.chunk_used_);
    std::swap(arena_, taken.arena_);
    std::swap(free_list_, taken.free_list_);
    std::swap(root_, taken.root_);
    std::swap(size_, taken.size_);
  }
  return *this;
}

CatalogTree::Node* CatalogTree::NewNode() {
  void* place;
  if (free_list_) {
    place = free_list_;
    free_list_ = free_list_->parent;
  } else {
    if (chunks_.empty() || chunk_used_ == chunks_.back().capacity) {
      std::size_t capacity = chunks_.empty() ? kFirstChunkNodes : chunks_.back().capacity * 2;
      std::size_t bytes = capacity * sizeof(Node);
      if (bytes >= kLargestChunkBytes) {
        bytes = kLargestChunkBytes;
        capacity = bytes / sizeof(Node);
      }
      chunks_.push_back({static_cast<Node*>(AllocateLargeBlock(bytes)), capacity, bytes});
      chunk_used_ = 0;
    }
    place = chunks_.back().nodes + chunk_used_++;
  }
  return new (place) Node();
}

void CatalogTree::FreeNode(Node* node) {
  node->~Node();
  // The storage goes onto the free list; `parent` of a free node links the list.
  Node* slot = reinterpret_cast<Node*>(node);
  new (slot) Node();
  slot->parent = free_list_;
  free_list_ = slot;
}

void CatalogTree::FreeSubtree(Node* node) {
  std::vector<Node*> stack{node};
  while (!stack.empty()) {
    Node* n = stack.back();
    stack.pop_back();
    for (Node* child : n->children) stack.push_back(child);
    n->children.clear();
    if (n != root_) --size_;
    FreeNode(n);
  }
}

CatalogTree::Node* CatalogTree::AddChild(Node* parent, TCatalogRecord record) {
  if (!parent) parent = root_;
  Node* node = NewNode();
  node->record = std::move(record);
  node->parent = parent;
  node->row = static_cast<std::uint32_t>(parent->children.size());
  parent->children.push_back(node);
  ++size_;
  return node;
}

CatalogTree::Node* CatalogTree::AddChild(Node* parent, const FieldViews& fields) {
  Node* node = AddChild(parent);
  node->record.SetFields(fields, &arena_);
  return node;
}

CatalogTree::Node* CatalogTree::AddChild(Node* parent, const FieldViews& fields,
                                         const ExtraViews& extras) {
  Node* node = AddChild(parent);
  node->record.SetFields(fields, extras, &arena_);
  return node;
}

void CatalogTree::Remove(Node* node) {
  if (!node) return;
  if (node == root_) {
    Clear();
    return;
  }
  Node* parent = node->parent;
  auto& siblings = parent->children;
  siblings.erase(siblings.begin() + node->row);
  for (std::size_t i = node->row; i < siblings.size(); ++i) {
    siblings[i]->row = static_cast<std::uint32_t>(i);
  }
  FreeSubtree(node);
}

void CatalogTree::Clear() {
  // Dropping the whole pool is far cheaper than freeing nodes one by one.
  CatalogTree empty;
  *this = std::move(empty);
}

void CatalogTree::Append(CatalogTree&& other) {
  if (&other == this || other.Empty()) return;
  // Nodes live in `other`'s pool, so the pool moves over too.
  for (Node* child : other.root_->children) {
    child->parent = root_;
    child->row = static_cast<std::uint32_t>(root_->children.size());
    root_->children.push_back(child);
  }
  other.root_->children.clear();
  size_ += other.size_;
  // Take over `other`'s chunks and texts; our last chunk stays the one we allocate from.
  std::vector<Chunk> moved = std::move(other.chunks_);
  Node* other_root = other.root_;
  arena_.Absorb(std::move(other.arena_));
  other.chunks_.clear();
  other.chunk_used_ = 0;
  other.free_list_ = nullptr;
  other.size_ = 0;
  other.root_ = other.NewNode();
  // `other_root` is in a moved chunk: it becomes a free node of ours.
  other_root->~Node();
  new (other_root) Node();
  other_root->parent = free_list_;
  free_list_ = other_root;
  // Free slots of `other`'s last chunk are not reused; that is at most one chunk's worth.
  if (chunks_.empty()) {
    for (auto& c : moved) chunks_.push_back(c);
    chunk_used_ = chunks_.empty() ? 0 : chunks_.back().capacity;
  } else {
    const Chunk last = chunks_.back();
    chunks_.pop_back();
    for (auto& c : moved) chunks_.push_back(c);
    chunks_.push_back(last);
  }
}

int CatalogTree::Depth(const Node* node) const {
  int depth = -1;
  for (const Node* n = node; n && n != root_; n = n->parent) ++depth;
  return depth;
}

void CatalogTree::SortChildren(Node* parent,
                               const std::function<bool(const Node*, const Node*)>& less) {
  auto& children = parent->children;
  std::stable_sort(children.begin(), children.end(), less);
  for (std::size_t i = 0; i < children.size(); ++i) {
    children[i]->row = static_cast<std::uint32_t>(i);
  }
}

void CatalogTree::SortAll(const std::function<bool(const Node*, const Node*)>& less) {
  std::vector<Node*> stack{root_};
  while (!stack.empty()) {
    Node* n = stack.back();
    stack.pop_back();
    if (n->children.size() > 1) SortChildren(n, less);
    for (Node* child : n->children) {
      if (!child->children.empty()) stack.push_back(child);
    }
  }
}

std::size_t CatalogTree::MemoryBytes() const {
  std::size_t bytes = arena_.ReservedBytes();
  for (const Chunk& chunk : chunks_) bytes += chunk.bytes;
  ForEachPreOrder([&](const Node* node, int) {
    bytes += node->children.capacity() * sizeof(Node*) + node->record.HeapBytes();
  });
  bytes += root_->children.capacity() * sizeof(Node*);
  return bytes;
}

}  // namespace lumivor
