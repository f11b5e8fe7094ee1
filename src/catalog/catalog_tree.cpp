#include "catalog/catalog_tree.h"

#include <unordered_map>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "catalog/record_blob.h"

namespace lumivor {

namespace {
// Node chunks grow with the tree, up to 2 MiB so the kernel can back them with huge pages.
constexpr std::size_t kFirstChunkNodes = 64;
constexpr std::size_t kLargestChunkBytes = std::size_t(2) << 20;
// A node added without its parent in the path memory finds the parent's path by walking up
// through at most this many derived paths; beyond that it stores its own.
constexpr int kLongestPathWalk = 64;

using Node = CatalogTree::Node;

// Counts every change of any node, so that a tree's memory of paths knows when it may be stale.
std::atomic<std::uint64_t> g_node_changes{0};

void NoteChange() { g_node_changes.fetch_add(1, std::memory_order_relaxed); }

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
      size_(other.size_),
      catalog_name_(std::move(other.catalog_name_)),
      huge_pages_(other.huge_pages_) {
  other.chunks_.clear();
  other.chunk_used_ = 0;
  other.free_list_ = nullptr;
  other.size_ = 0;
  other.root_ = other.NewNode();
  other.catalog_name_.clear();
  other.ForgetPaths();
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
    std::swap(catalog_name_, taken.catalog_name_);
    std::swap(huge_pages_, taken.huge_pages_);
    ForgetPaths();
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
      chunks_.push_back(
          {static_cast<Node*>(AllocateLargeBlock(bytes, huge_pages_)), capacity, bytes});
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

CatalogTree::Node* CatalogTree::AddChild(Node* parent, const CatalogRecord& record) {
  return AddChild(parent, record.Fields(), record.Extras());
}

CatalogTree::Node* CatalogTree::AddChild(Node* parent, const FieldViews& fields,
                                         const ExtraViews& extras) {
  if (!parent) parent = root_;
  const CleanRecord clean(fields, extras);
  const std::string_view catalog_name = clean.fields[kCatalogName];
  // The first catalog name the tree sees becomes the one its records share.
  if (!catalog_name.empty() && catalog_name_.empty()) SetCatalogName(catalog_name);
  record_blob::Context context;
  context.has_parent = ParentPathFor(parent, &context.parent_path);
  context.catalog_name = catalog_name_;
  char* blob = record_blob::Pack(clean.fields, clean.extras, &context, &arena_);

  Node* node = NewNode();
  if (blob) node->blob_ = reinterpret_cast<char*>(reinterpret_cast<std::uintptr_t>(blob) | 1);
  node->parent = parent;
  node->row = static_cast<std::uint32_t>(parent->children.size());
  parent->children.push_back(node);
  ++size_;
  NotePath(node, clean.fields[kFullPath]);
  return node;
}

CatalogTree::Node* CatalogTree::AddEntry(Node* parent, std::string_view clean_name, bool directory,
                                         const std::uint64_t* size,
                                         const std::int64_t* local_time) {
  if (!parent) parent = root_;
  char* blob = record_blob::PackEntry(clean_name, directory, size, local_time, &arena_);
  Node* node = NewNode();
  node->blob_ = reinterpret_cast<char*>(reinterpret_cast<std::uintptr_t>(blob) | 1);
  node->parent = parent;
  node->row = static_cast<std::uint32_t>(parent->children.size());
  parent->children.push_back(node);
  ++size_;
  // The node stores no path: the path memory, kept for records that do, stays as it is.
  return node;
}

void CatalogTree::SetCatalogName(std::string_view name) {
  catalog_name_.assign(name);
  FieldViews root_fields{};
  root_fields[kCatalogName] = catalog_name_;
  root_->Replace(record_blob::Pack(root_fields, {}, nullptr, nullptr));
}

bool CatalogTree::ParentPathFor(const Node* parent, std::string_view* path) {
  if (parent == root_) return false;
  const std::uint64_t now = g_node_changes.load(std::memory_order_relaxed);
  if (now != path_generation_) {
    path_entries_.clear();
    path_texts_.clear();
    path_generation_ = now;
  }
  while (!path_entries_.empty() && path_entries_.back().node != parent) path_entries_.pop_back();
  if (path_entries_.empty()) {
    if (!ResolvePath(parent, &path_texts_, kLongestPathWalk)) {
      path_texts_.clear();
      return false;
    }
    path_entries_.push_back({parent, path_texts_.size()});
  }
  path_texts_.resize(path_entries_.back().length);
  *path = path_texts_;
  return true;
}

void CatalogTree::NotePath(const Node* node, std::string_view path) {
  // Paths are remembered as a chain in which each extends the one before, in one text.
  const std::size_t known = path_entries_.empty() ? 0 : path_entries_.back().length;
  if (path.substr(0, known) != std::string_view(path_texts_).substr(0, known)) {
    path_entries_.clear();
    path_texts_.clear();
  } else {
    path_texts_.resize(known);
  }
  path_texts_.append(path.substr(path_texts_.size()));
  path_entries_.push_back({node, path.size()});
}

bool CatalogTree::ResolvePath(const Node* node, std::string* out, int max_links) {
  // Up to the nearest node that stores its path: top-level nodes always do.
  std::vector<const Node*> chain;
  const Node* anchor = node;
  std::size_t prefix = 0;
  while (anchor->parent && anchor->parent->parent &&
         record_blob::PathRuleOf(anchor->Blob(), &prefix) != record_blob::PathRule::kStored) {
    if (max_links >= 0 && static_cast<int>(chain.size()) >= max_links) return false;
    chain.push_back(anchor);
    anchor = anchor->parent;
  }
  out->assign(record_blob::StoredText(anchor->Blob(), kFullPath));
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    if (record_blob::PathRuleOf((*it)->Blob(), &prefix) == record_blob::PathRule::kFollowsPrefix) {
      out->resize(std::min(prefix, out->size()));
    }
    out->push_back('/');
    out->append((*it)->Name());
  }
  return true;
}

std::string_view CatalogTree::CatalogNameOf(const Node* node) {
  while (node->parent) node = node->parent;
  return record_blob::StoredText(node->Blob(), kCatalogName);
}

std::string_view CatalogTree::CatalogName() const { return catalog_name_; }

void CatalogTree::PinCatalogNames() {
  const std::string_view name = CatalogName();
  if (name.empty()) return;
  ForEachPreOrder([&](const Node* const_node, int) {
    if (record_blob::KindOf(const_node->Blob(), kCatalogName) != record_blob::kPacked) return;
    Node* node = const_cast<Node*>(const_node);
    record_blob::Scratch scratch;
    record_blob::Context context;
    context.catalog_name = name;
    // The path is kept in the form it has: only the catalog name changes from derived to stored.
    FieldViews fields = record_blob::Unpack(node->Blob(), context, &scratch);
    std::size_t prefix = 0;
    const record_blob::PathRule rule = record_blob::PathRuleOf(node->Blob(), &prefix);
    std::string path;
    if (rule != record_blob::PathRule::kStored) {
      ResolvePath(node, &path, -1);
      fields[kFullPath] = path;
    }
    std::string parent_path;
    const bool know_parent =
        rule != record_blob::PathRule::kStored && ResolvePath(node->parent, &parent_path, -1);
    record_blob::Context packing;
    packing.has_parent = know_parent;
    packing.parent_path = parent_path;
    node->Replace(record_blob::Pack(fields, record_blob::Extras(node->Blob()), &packing, nullptr));
  });
}

// ---- Node ------------------------------------------------------------------------------------

CatalogTree::Node::~Node() {
  if (!InArena()) std::free(blob_);
}

void CatalogTree::Node::Replace(char* blob) {
  if (!InArena()) std::free(blob_);
  blob_ = blob;
  NoteChange();
}

std::string CatalogTree::Node::Field(int index) const {
  std::string scratch;
  const std::string_view text = Field(index, &scratch);
  if (text.data() == scratch.data()) return scratch;
  return std::string(text);
}

std::string_view CatalogTree::Node::Field(int index, std::string* scratch) const {
  const char* blob = Blob();
  const record_blob::Kind kind = record_blob::KindOf(blob, index);
  switch (kind) {
    case record_blob::kEmpty:
      return {};
    case record_blob::kText:
      return record_blob::StoredText(blob, index);
    default:
      break;
  }
  if (index == kFullPath) {
    ResolvePath(this, scratch, -1);
    return *scratch;
  }
  record_blob::Context context;
  if (index == kCatalogName) context.catalog_name = CatalogNameOf(this);
  return record_blob::UnpackField(blob, index, context, scratch);
}

std::string_view CatalogTree::Node::Name() const {
  return record_blob::StoredText(Blob(), kFileName);
}

CatalogRecord CatalogTree::Node::Record() const {
  std::string path;
  std::string scratch;
  FieldViews fields{};
  std::string texts[kFieldCount];
  for (int i = 0; i < kFieldCount; ++i) {
    const std::string_view text = Field(i, &scratch);
    if (text.data() == scratch.data()) {
      texts[i] = scratch;
      fields[i] = texts[i];
    } else {
      fields[i] = text;
    }
  }
  return CatalogRecord(fields, Extras());
}

std::size_t CatalogTree::Node::ExtraCount() const { return record_blob::ExtraCount(Blob()); }

ExtraViews CatalogTree::Node::Extras() const { return record_blob::Extras(Blob()); }

std::string_view CatalogTree::Node::Extra(std::string_view name) const {
  for (const ExtraAttribute& extra : Extras()) {
    if (extra.name == name) return extra.value;
  }
  return {};
}

bool CatalogTree::Node::SizeNumber(std::uint64_t* value) const {
  return record_blob::SizeNumber(Blob(), value);
}

bool CatalogTree::Node::IsDirectory() const {
  const record_blob::Kind kind = record_blob::KindOf(Blob(), kFileType);
  return kind == record_blob::kPackedAlt ||
         (kind == record_blob::kText &&
          record_blob::StoredText(Blob(), kFileType) == kDirectoryType);
}

bool CatalogTree::Node::IsFile() const {
  const record_blob::Kind kind = record_blob::KindOf(Blob(), kFileType);
  return kind == record_blob::kPacked ||
         (kind == record_blob::kText &&
          record_blob::StoredText(Blob(), kFileType) == kFileTypeText);
}

std::size_t CatalogTree::Node::HeapBytes() const {
  return InArena() ? 0 : record_blob::SizeOf(Blob());
}

void CatalogTree::Node::Repack(const FieldViews& fields, const ExtraViews& extras,
                               std::string_view parent_path, bool know_parent) {
  if (!parent) {
    // The root holds the tree's catalog name as it is.
    Replace(record_blob::Pack(fields, extras, nullptr, nullptr));
    return;
  }
  record_blob::Context context;
  context.has_parent = know_parent && parent && parent->parent;
  context.parent_path = parent_path;
  context.catalog_name = CatalogNameOf(this);
  Replace(record_blob::Pack(fields, extras, &context, nullptr));
}

void CatalogTree::Node::PinChildPaths(std::string_view path) {
  for (Node* child : children) {
    std::size_t prefix = 0;
    const record_blob::PathRule rule = record_blob::PathRuleOf(child->Blob(), &prefix);
    if (rule == record_blob::PathRule::kStored) continue;
    std::string child_path(rule == record_blob::PathRule::kFollowsPrefix
                               ? path.substr(0, std::min(prefix, path.size()))
                               : path);
    child_path.push_back('/');
    child_path.append(child->Name());
    record_blob::Scratch scratch;
    record_blob::Context context;
    context.catalog_name = CatalogNameOf(child);
    FieldViews fields = record_blob::Unpack(child->Blob(), context, &scratch);
    fields[kFullPath] = child_path;
    child->Repack(fields, record_blob::Extras(child->Blob()), {}, false);
  }
}

void CatalogTree::Node::SetField(int index, std::string_view value) {
  if (index < 0 || index >= kFieldCount) return;
  std::string current;
  if (Field(index, &current) == value) return;
  FieldViews raw{};
  raw[index] = value;
  const CleanRecord clean(raw, {});
  if (index != kFileName && index != kFullPath) {
    // Nothing else derives from this field: the others keep their form as they are.
    record_blob::Context context;
    if (index == kCatalogName && parent) context.catalog_name = CatalogNameOf(this);
    Replace(record_blob::WithField(Blob(), index, clean.fields[index], context));
    return;
  }
  // Every field as it reads now: the new block is packed from these texts, so only the field set
  // changes, whatever the others were derived from. Views into the old block stay valid until
  // the new one is packed.
  std::string parent_path;
  const bool know_parent = parent && parent->parent && ResolvePath(parent, &parent_path, -1);
  record_blob::Scratch scratch;
  record_blob::Context context;
  context.has_parent = know_parent;
  context.parent_path = parent_path;
  context.catalog_name = CatalogNameOf(this);
  FieldViews fields = record_blob::Unpack(Blob(), context, &scratch);
  // The children's derived paths follow this node's: they keep what they read.
  PinChildPaths(fields[kFullPath]);
  fields[index] = clean.fields[index];
  Repack(fields, Extras(), parent_path, know_parent);
}

bool CatalogTree::Node::OverwriteNumber(int index, std::string_view value) {
  // No path or name changes: the trees' remembered paths stay valid.
  return blob_ && record_blob::OverwriteNumber(const_cast<char*>(Blob()), index, value);
}

void CatalogTree::Node::SetPathBelow(std::string_view path, std::string_view parent_path) {
  FieldViews raw{};
  raw[kFullPath] = path;
  const CleanRecord clean(raw, {});
  const bool has_parent = parent && parent->parent;
  record_blob::Scratch scratch;
  record_blob::Context context;
  context.has_parent = has_parent;
  context.parent_path = parent_path;
  context.catalog_name = CatalogNameOf(this);
  FieldViews fields = record_blob::Unpack(Blob(), context, &scratch);
  fields[kFullPath] = clean.fields[kFullPath];
  Repack(fields, Extras(), parent_path, has_parent);
}

void CatalogTree::Node::SetExtra(std::string_view name, std::string_view value) {
  if (IsFieldName(name)) {
    SetField(FieldIndexOf(name), value);
    return;
  }
  if (!IsExtraAttributeName(name)) return;
  // The further attributes cleaned as a record cleans them; the fields keep their form.
  CatalogRecord extras;
  extras.SetExtras(ExtrasWith(Extras(), name, value));
  Replace(record_blob::WithExtras(Blob(), extras.Extras()));
}

std::string_view CatalogTree::Node::PathBelow(std::string_view parent_path,
                                              std::string* scratch) const {
  record_blob::Context context;
  context.has_parent = true;
  context.parent_path = parent_path;
  return record_blob::UnpackField(Blob(), kFullPath, context, scratch);
}

void CatalogTree::Node::SetRecord(const CatalogRecord& record) {
  std::string path;
  ResolvePath(this, &path, -1);
  if (record.Field(kFullPath) != path || record.Field(kFileName) != Name()) PinChildPaths(path);
  std::string parent_path;
  const bool know_parent = parent && parent->parent && ResolvePath(parent, &parent_path, -1);
  Repack(record.Fields(), record.Extras(), parent_path, know_parent);
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
  ForgetPaths();  // the freed nodes' places are taken again by new ones
}

void CatalogTree::ForgetPaths() {
  path_entries_.clear();
  path_texts_.clear();
}

void CatalogTree::Clear() {
  // Dropping the whole pool is far cheaper than freeing nodes one by one.
  CatalogTree empty;
  *this = std::move(empty);
}

void CatalogTree::Append(CatalogTree&& other) {
  if (&other == this || other.Empty()) return;
  // Derived catalog names read the tree's: `other`'s records keep theirs.
  const std::string_view other_name = other.CatalogName();
  if (CatalogName().empty()) {
    if (!other_name.empty()) SetCatalogName(other_name);
  } else if (!other_name.empty() && other_name != CatalogName()) {
    other.PinCatalogNames();
  }
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
  other.catalog_name_.clear();
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
    bytes += node->children.capacity() * sizeof(Node*) + node->HeapBytes();
  });
  bytes += root_->children.capacity() * sizeof(Node*);
  return bytes;
}

}  // namespace lumivor

namespace lumivor {

bool CatalogTree::ForEachRecord(
    const std::function<bool(const Node*, const RecordView&)>& visit) const {
  return ForEachRecordBelow(root_, 0, root_->children.size(), 0, "", visit);
}

bool CatalogTree::ForEachRecordBelow(
    const Node* parent, std::size_t first, std::size_t last, int depth,
    std::string_view parent_path,
    const std::function<bool(const Node*, const RecordView&)>& visit) const {
  // The paths of the open nodes are kept in one text where each extends its parent's; a path
  // that does not (stored on its own) saves the text it replaces until its subtree is done.
  struct Frame {
    const Node* node;
    std::size_t next;
    std::size_t path_length;
    bool saved;
  };
  std::vector<Frame> stack;
  stack.push_back({parent, first, parent_path.size(), false});
  std::string paths(parent_path);
  std::vector<std::string> saved;
  record_blob::Scratch scratch;
  record_blob::Context context;
  context.catalog_name = CatalogName();
  RecordView view;
  while (!stack.empty()) {
    Frame& frame = stack.back();
    const std::size_t end = stack.size() == 1 ? last : frame.node->children.size();
    if (frame.next == end) {
      if (frame.saved) {
        paths = std::move(saved.back());
        saved.pop_back();
      }
      stack.pop_back();
      continue;
    }
    const Node* node = frame.node->children[frame.next++];
    const std::size_t parent_length = frame.path_length;
    const int node_depth = depth + static_cast<int>(stack.size()) - 1;
    context.has_parent = node_depth > 0;
    context.parent_path = std::string_view(paths).substr(0, parent_length);
    view.depth = node_depth;
    view.fields = record_blob::Unpack(node->Blob(), context, &scratch);
    view.extras = record_blob::Extras(node->Blob());
    if (!visit(node, view)) return false;
    if (node->children.empty()) continue;
    const std::string_view path = view.fields[kFullPath];
    if (path.substr(0, parent_length) == context.parent_path) {
      paths.resize(parent_length);
      paths.append(path.substr(parent_length));
      stack.push_back({node, 0, path.size(), false});
    } else {
      saved.push_back(paths.substr(0, parent_length));
      paths.assign(path);
      stack.push_back({node, 0, path.size(), true});
    }
  }
  return true;
}

std::unordered_map<const CatalogTree::Node*, std::size_t> SubtreeSizes(const CatalogTree::Node* top,
                                                                       std::size_t deepest) {
  std::unordered_map<const CatalogTree::Node*, std::size_t> sizes;
  std::vector<std::pair<const CatalogTree::Node*, std::size_t>> stack{{top, 0}};
  std::vector<std::size_t> totals{1};
  while (!stack.empty()) {
    auto& [node, next] = stack.back();
    if (next == node->children.size()) {
      const std::size_t total = totals.back();
      sizes.emplace(node, total);
      stack.pop_back();
      totals.pop_back();
      if (!totals.empty()) totals.back() += total;
      continue;
    }
    const CatalogTree::Node* child = node->children[next++];
    if (child->children.empty()) {
      ++totals.back();
    } else {
      if (stack.size() > deepest) return {};
      stack.emplace_back(child, 0);
      totals.push_back(1);
    }
  }
  return sizes;
}

}  // namespace lumivor
