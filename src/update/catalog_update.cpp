#include "update/catalog_update.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <functional>
#include <optional>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include <sys/stat.h>

#include <cerrno>
#include <ctime>

#include "catalog/catalog_file.h"
#include "catalog/catalog_reader.h"
#include "catalog/fields.h"
#include "core/errors.h"
#include "scan/catalog_medium.h"
#include "scan/scanner.h"
#include "scan/volumes.h"

namespace lumivor {

namespace {

using Node = CatalogTree::Node;

std::uint64_t Mix(std::uint64_t x) {
  // splitmix64's finaliser: spreads every input bit over the whole word.
  x += 0x9e3779b97f4a7c15ULL;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

std::uint64_t HashText(std::string_view text) { return std::hash<std::string_view>{}(text); }

// Marks `copy` missing: with the date it was first missed, else `today`.
void MarkMissing(CatalogRecord* copy, const CatalogRecord& old_record, std::string_view today) {
  const std::string_view since = old_record.Extra(kMissingAttribute);
  copy->SetExtra(kMissingAttribute, since.empty() ? today : since);
}

std::string_view NameOf(const Node* node) { return node->Name(); }

// The path of `node` below its top-level record, names joined by "/"; "." for the top itself.
std::string RelativePath(const Node* node) {
  std::vector<std::string_view> names;
  for (const Node* n = node; n->parent && n->parent->parent; n = n->parent) {
    names.push_back(NameOf(n));
  }
  if (names.empty()) return ".";
  std::string path;
  for (auto it = names.rbegin(); it != names.rend(); ++it) {
    if (!path.empty()) path += '/';
    path += *it;
  }
  return path;
}

// What a folder holds, as far as moves are concerned: an order-independent hash over its entries'
// names, kinds, file sizes and times, at every depth (folder times change when a folder moves,
// so they do not count), and whether it holds any file.
struct Content {
  std::uint64_t hash = 0;
  bool holds_file = false;
};

// The fields a moved file must agree on.
std::uint64_t FileKey(const Node* node) {
  std::string scratch;
  const std::uint64_t size = HashText(node->Field(kFileSize, &scratch));
  return Mix(size ^ Mix(HashText(node->Field(kFileTime, &scratch))));
}

class Merger {
 public:
  Merger(const CatalogTree& old_tree, CatalogTree* fresh, const MergeOptions& options,
         UpdateSummary* summary)
      : old_tree_(old_tree), fresh_(fresh), options_(options), summary_(summary) {}

  void Run() {
    const Node* old_top = old_tree_.Top();
    Node* new_top = fresh_->Top();
    if (!old_top) return;
    if (!new_top) {
      // Nothing of the scope is left on the medium: keep what the old catalog says about it.
      new_top = fresh_->AddChild(nullptr, old_top->Record());
      new_top->SetField(kFileSize, "");
      new_top->SetField(kSizePercentage, "");
    }
    MatchByPath(old_top, new_top, /*report_changes=*/true);
    MatchMoves();
    ReportAdded();
    KeepOrDropVanished();
  }

 private:
  struct Vanished {
    const Node* node;
    Node* new_parent;  // where the entry's old parent is in the fresh tree
  };

  // The same entry on both sides: the description follows.
  void Pair(const Node* old_node, Node* new_node) {
    const std::string description = old_node->Field(kDescription);
    if (!description.empty()) new_node->SetField(kDescription, description);
    // A file of the same size and time keeps its content hash, so that an update reads only
    // what changed; any other file loses it rather than keep one that may be wrong.
    const std::string_view hash = old_node->Extra(kHashAttribute);
    if (!hash.empty() && new_node->IsFile() && new_node->Extra(kHashAttribute).empty()) {
      std::string scratch_old, scratch_new;
      if (old_node->Field(kFileSize, &scratch_old) == new_node->Field(kFileSize, &scratch_new) &&
          old_node->Field(kFileTime, &scratch_old) == new_node->Field(kFileTime, &scratch_new)) {
        new_node->SetExtra(kHashAttribute, std::string(old_node->Extra(kHashAttribute)));
      }
    }
  }

  // Pairs `old_dir` with `new_dir` and, below them, every entry of the same name and kind.
  // Entries left without a partner become vanished or appeared.
  // With `used_new`, every pair is also marked used on both sides (a moved folder's contents).
  void MatchByPath(const Node* old_dir, Node* new_dir, bool report_changes,
                   std::unordered_set<const Node*>* used_new = nullptr) {
    std::vector<std::pair<const Node*, Node*>> stack{{old_dir, new_dir}};
    std::vector<const Node*> olds;
    std::vector<Node*> news;
    const auto by_name = [](const Node* a, const Node* b) { return NameOf(a) < NameOf(b); };
    while (!stack.empty()) {
      auto [old_node, new_node] = stack.back();
      stack.pop_back();
      Pair(old_node, new_node);
      if (used_new) {
        used_old_.insert(old_node);
        used_new->insert(new_node);
      }
      if (report_changes && new_node->IsFile() &&
          (old_node->Field(kFileSize) != new_node->Field(kFileSize) ||
           old_node->Field(kFileTime) != new_node->Field(kFileTime))) {
        summary_->changed.push_back(RelativePath(new_node));
      }
      if (old_node->children.empty() && new_node->children.empty()) continue;
      olds.assign(old_node->children.begin(), old_node->children.end());
      news.assign(new_node->children.begin(), new_node->children.end());
      std::sort(olds.begin(), olds.end(), by_name);
      std::sort(news.begin(), news.end(), by_name);
      std::size_t i = 0, j = 0;
      while (i < olds.size() || j < news.size()) {
        if (j == news.size() || (i < olds.size() && NameOf(olds[i]) < NameOf(news[j]))) {
          vanished_.push_back({olds[i++], new_node});
        } else if (i == olds.size() || NameOf(news[j]) < NameOf(olds[i])) {
          appeared_.push_back(news[j++]);
        } else if (olds[i]->IsDirectory() != news[j]->IsDirectory()) {
          vanished_.push_back({olds[i++], new_node});
          appeared_.push_back(news[j++]);
        } else {
          stack.push_back({olds[i++], news[j++]});
        }
      }
    }
  }

  // Every node of the subtrees at `roots`, in pre-order.
  template <typename NodePtr>
  static std::vector<NodePtr> Flatten(const std::vector<NodePtr>& roots) {
    std::vector<NodePtr> all;
    std::vector<NodePtr> stack;
    for (NodePtr root : roots) {
      stack.push_back(root);
      while (!stack.empty()) {
        NodePtr node = stack.back();
        stack.pop_back();
        all.push_back(node);
        for (auto it = node->children.rbegin(); it != node->children.rend(); ++it) {
          stack.push_back(*it);
        }
      }
    }
    return all;
  }

  // The content of every folder among `nodes` (given in pre-order, so a reverse walk sees
  // children before parents). Entries already marked missing are not part of a folder's content.
  template <typename NodePtr>
  static std::unordered_map<const Node*, Content> Contents(const std::vector<NodePtr>& nodes) {
    std::unordered_map<const Node*, Content> contents;
    for (auto it = nodes.rbegin(); it != nodes.rend(); ++it) {
      const Node* node = *it;
      if (!node->IsDirectory()) continue;
      Content content;
      for (const Node* child : node->children) {
        if (IsMissing(*child)) continue;
        std::uint64_t entry = HashText(NameOf(child));
        if (child->IsDirectory()) {
          const auto found = contents.find(child);
          const Content inner = found == contents.end() ? Content{} : found->second;
          entry = Mix(entry ^ Mix(inner.hash ^ 0x5bd1e995));
          content.holds_file |= inner.holds_file;
        } else {
          entry = Mix(entry ^ FileKey(child));
          content.holds_file = true;
        }
        content.hash += entry;  // a sum: the order of the entries does not matter
      }
      contents.emplace(node, content);
    }
    return contents;
  }

  void RecordMove(const Node* old_node, Node* new_node) {
    summary_->moved.push_back({RelativePath(old_node), RelativePath(new_node)});
  }

  // Matches leftovers: folders by name and content, then by content alone, then files by size and
  // time. Every match needs exactly one unmatched candidate on each side.
  void MatchMoves() {
    if (vanished_.empty() || appeared_.empty()) return;
    std::vector<const Node*> vanished_roots;
    for (const Vanished& v : vanished_) vanished_roots.push_back(v.node);
    const std::vector<const Node*> gone = Flatten(vanished_roots);
    const std::vector<Node*> came = Flatten(appeared_);
    const auto gone_contents = Contents(gone);
    const auto came_contents = Contents(came);

    std::unordered_set<const Node*> used_new;
    const auto match_folders = [&](bool by_name) {
      std::unordered_multimap<std::uint64_t, Node*> candidates;
      std::unordered_map<std::uint64_t, std::size_t> gone_count;
      const auto key = [by_name](const Node* node, const Content& content) {
        return by_name ? Mix(content.hash ^ Mix(HashText(NameOf(node)))) : content.hash;
      };
      const auto eligible = [by_name](const Content& content) {
        return by_name || content.holds_file;
      };
      for (Node* node : came) {
        if (!node->IsDirectory() || used_new.count(node)) continue;
        const Content& content = came_contents.at(node);
        if (eligible(content)) candidates.emplace(key(node, content), node);
      }
      for (const Node* node : gone) {
        if (!node->IsDirectory() || used_old_.count(node) || IsMissing(*node)) continue;
        const Content& content = gone_contents.at(node);
        if (eligible(content)) ++gone_count[key(node, content)];
      }
      // Outer folders first (pre-order), so a moved folder takes its subfolders along.
      for (const Node* node : gone) {
        if (!node->IsDirectory() || used_old_.count(node) || IsMissing(*node)) continue;
        const Content& content = gone_contents.at(node);
        if (!eligible(content)) continue;
        const std::uint64_t k = key(node, content);
        if (gone_count[k] != 1) continue;
        Node* partner = nullptr;
        std::size_t free_partners = 0;
        auto [first, last] = candidates.equal_range(k);
        for (auto it = first; it != last; ++it) {
          if (used_new.count(it->second)) continue;
          partner = it->second;
          ++free_partners;
        }
        if (free_partners != 1) continue;
        RecordMove(node, partner);
        ConsumeFolders(node, partner, &used_new);
      }
    };
    match_folders(true);
    match_folders(false);

    std::unordered_map<std::uint64_t, std::pair<std::vector<const Node*>, std::vector<Node*>>>
        files;
    for (const Node* node : gone) {
      if (node->IsDirectory() || used_old_.count(node)) continue;
      files[FileKey(node)].first.push_back(node);
    }
    for (Node* node : came) {
      if (node->IsDirectory() || used_new.count(node)) continue;
      const auto found = files.find(FileKey(node));
      if (found != files.end()) found->second.second.push_back(node);
    }
    for (const Node* node : gone) {
      if (node->IsDirectory() || used_old_.count(node)) continue;
      const auto& [olds, news] = files[FileKey(node)];
      if (olds.size() != 1 || news.size() != 1) continue;
      Pair(node, news[0]);
      RecordMove(node, news[0]);
      used_old_.insert(node);
      used_new.insert(news[0]);
    }

    matched_new_ = std::move(used_new);
  }

  // Pairs a moved folder's entries with their counterparts and marks both sides as used. Entries
  // left over inside (such as entries missing before) become vanished or appeared on their own.
  void ConsumeFolders(const Node* old_dir, Node* new_dir,
                      std::unordered_set<const Node*>* used_new) {
    MatchByPath(old_dir, new_dir, /*report_changes=*/false, used_new);
  }

  // Every appeared entry that no move explained, in tree order.
  void ReportAdded() {
    std::vector<Node*> roots;
    for (Node* node : appeared_) {
      if (!matched_new_.count(node)) roots.push_back(node);
    }
    std::sort(roots.begin(), roots.end(),
              [this](const Node* a, const Node* b) { return PreOrderBefore(a, b); });
    std::vector<const Node*> stack;
    for (Node* root : roots) {
      stack.push_back(root);
      while (!stack.empty()) {
        const Node* node = stack.back();
        stack.pop_back();
        if (matched_new_.count(node)) continue;
        summary_->added.push_back(RelativePath(node));
        for (auto it = node->children.rbegin(); it != node->children.rend(); ++it) {
          stack.push_back(*it);
        }
      }
    }
  }

  // True when `a` comes before `b` in a pre-order walk of their tree.
  static bool PreOrderBefore(const Node* a, const Node* b) {
    std::vector<std::uint32_t> rows_a, rows_b;
    for (const Node* n = a; n->parent; n = n->parent) rows_a.push_back(n->row);
    for (const Node* n = b; n->parent; n = n->parent) rows_b.push_back(n->row);
    return std::lexicographical_compare(rows_a.rbegin(), rows_a.rend(), rows_b.rbegin(),
                                        rows_b.rend());
  }

  // Old entries without a match: kept as missing when they (or something below them) carry a
  // description, dropped otherwise.
  void KeepOrDropVanished() {
    std::unordered_map<const Node*, bool> keep;
    std::unordered_map<const Node*, Node*> placed;  // kept old entry -> its copy in `fresh_`
    const std::string catalog_name(fresh_->Top()->Field(kCatalogName));
    const std::size_t roots = vanished_.size();
    for (std::size_t r = 0; r < roots; ++r) {
      const Vanished root = vanished_[r];
      if (used_old_.count(root.node)) continue;
      // Post-order (reverse of pre-order) to learn which entries hold something to keep.
      std::vector<const Node*> order;
      std::vector<const Node*> stack{root.node};
      while (!stack.empty()) {
        const Node* node = stack.back();
        stack.pop_back();
        if (used_old_.count(node)) continue;  // moved away: its leftovers are roots of their own
        order.push_back(node);
        for (auto it = node->children.rbegin(); it != node->children.rend(); ++it) {
          stack.push_back(*it);
        }
      }
      for (auto it = order.rbegin(); it != order.rend(); ++it) {
        const Node* node = *it;
        bool kept = !options_.drop_missing && !node->Field(kDescription).empty();
        for (const Node* child : node->children) {
          const auto found = keep.find(child);
          kept = kept || (found != keep.end() && found->second);
        }
        keep[node] = kept;
      }
      for (const Node* node : order) {
        if (!keep[node]) {
          summary_->removed.push_back(RelativePath(node));
          continue;
        }
        Node* parent = node == root.node ? root.new_parent : placed.at(node->parent);
        Node* copy = KeepAsMissing(node, parent, catalog_name);
        placed[node] = copy;
        summary_->missing.push_back(RelativePath(copy));
      }
    }
  }

  // Adds a copy of the old entry `node` under `parent` of the fresh tree, marked missing, with
  // its path following its new parent and without a size share.
  Node* KeepAsMissing(const Node* node, Node* parent, std::string_view catalog_name) {
    const CatalogRecord old_record = node->Record();
    FieldViews fields = old_record.Fields();
    const std::string parent_path = parent->Field(kFullPath);
    std::string path(parent_path);
    if (path.empty() || path.back() != '/') path += '/';
    path += fields[kFileName];
    const std::string path_length = std::to_string(CodePointCount(path));
    fields[kFullPath] = path;
    fields[kPathNameLength] = path_length;
    fields[kSizePercentage] = {};
    fields[kCatalogName] = catalog_name;
    Node* copy = fresh_->AddChild(parent, fields);
    CatalogRecord marked = copy->Record();
    MarkMissing(&marked, old_record, options_.missing_date);
    copy->SetRecord(marked);
    return copy;
  }

  const CatalogTree& old_tree_;
  CatalogTree* fresh_;
  const MergeOptions& options_;
  UpdateSummary* summary_;
  std::vector<Vanished> vanished_;
  std::vector<Node*> appeared_;
  std::unordered_set<const Node*> used_old_;     // old entries matched by a move
  std::unordered_set<const Node*> matched_new_;  // appeared entries matched by a move
};

}  // namespace

bool IsMissing(const CatalogRecord& record) { return !record.Extra(kMissingAttribute).empty(); }

bool IsMissing(const CatalogTree::Node& node) { return !node.Extra(kMissingAttribute).empty(); }

std::string UpdateSummary::CountsLine() const {
  return "added=" + std::to_string(added.size()) + " removed=" + std::to_string(removed.size()) +
         " moved=" + std::to_string(moved.size()) + " changed=" + std::to_string(changed.size()) +
         " missing=" + std::to_string(missing.size());
}

std::vector<std::string> UpdateSummary::Lines(std::string (*escape)(std::string_view)) const {
  const auto text = [escape](const std::string& path) { return escape ? escape(path) : path; };
  std::vector<std::string> lines;
  for (const std::string& path : added) lines.push_back("added " + text(path));
  for (const std::string& path : removed) lines.push_back("removed " + text(path));
  for (const Move& move : moved)
    lines.push_back("moved " + text(move.from) + " -> " + text(move.to));
  for (const std::string& path : changed) lines.push_back("changed " + text(path));
  for (const std::string& path : missing) lines.push_back("missing " + text(path));
  return lines;
}

UpdateSummary MergeUpdate(const CatalogTree& old_catalog, CatalogTree* fresh,
                          const MergeOptions& options) {
  UpdateSummary summary;
  Merger(old_catalog, fresh, options, &summary).Run();
  return summary;
}

namespace {

// Counts the records whose Description is not empty.
class DescriptionCounter final : public RecordSink {
 public:
  bool Add(const RecordView& record) override {
    if (!record.fields[kDescription].empty()) ++count;
    return true;
  }
  void Restart() override { count = 0; }
  std::size_t count = 0;
};

}  // namespace

std::size_t CountDescriptions(const std::string& path, Progress& progress) {
  // Only a record whose tag holds the attribute's name can have a description: a catalog without
  // the name anywhere (most of them) is read through as plain text, without being parsed.
  static const Needle kAttributeName(FieldNames[kDescription], false);
  const ProgressShown shown(progress, false);
  progress.SetWaitText(kLoadingInfo);
  DescriptionCounter counter;
  CatalogFileReader reader;
  CatalogReadOptions options;
  options.needle = &kAttributeName;
  switch (reader.Read(path, counter, options)) {
    case CatalogReadStatus::kDone:
    case CatalogReadStatus::kStopped:
    case CatalogReadStatus::kPassedOver:
      return counter.count;
    default:
      throw LumivorError(reader.Error());
  }
}

std::string DescriptionCountText(std::size_t count) {
  return std::to_string(count) + (count == 1 ? " description" : " descriptions");
}

std::size_t RemoveMissingEntries(CatalogTree* tree) {
  std::vector<CatalogTree::Node*> doomed;
  std::vector<CatalogTree::Node*> stack{tree->Root()};
  while (!stack.empty()) {
    CatalogTree::Node* node = stack.back();
    stack.pop_back();
    for (CatalogTree::Node* child : node->children) {
      if (IsMissing(*child)) {
        doomed.push_back(child);
      } else {
        stack.push_back(child);
      }
    }
  }
  const std::size_t before = tree->Size();
  // Later siblings first, so that the rows of the ones still to go stay valid.
  for (auto it = doomed.rbegin(); it != doomed.rend(); ++it) tree->Remove(*it);
  return before - tree->Size();
}

namespace {

bool IsFolder(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// True when the catalog records folders only: no file anywhere and no total size.
bool IsFoldersOnly(const CatalogTree& tree) {
  if (!tree.Top() || !tree.Top()->Field(kFileSize).empty()) return false;
  bool any_file = false;
  tree.ForEachPreOrder(
      [&](const CatalogTree::Node* node, int) { any_file = any_file || node->IsFile(); });
  return !any_file;
}

// Today's date in local time, "YYYY-MM-DD".
std::string Today() { return FormatFileTime(std::time(nullptr)).substr(0, 10); }

}  // namespace

std::string CatalogSourcePath(const CatalogRecord& top) {
  const std::string_view name = top.Field(kFileName);
  if (!name.empty() && name.front() == '/') return std::string(name);
  // "LABEL(path)": the path starts at the first "(/" and runs to the closing ")".
  const auto open = name.find("(/");
  if (open != std::string_view::npos && name.back() == ')') {
    return std::string(name.substr(open + 1, name.size() - open - 2));
  }
  return std::string(name);
}

std::string LocateMedium(const CatalogRecord& top) {
  const MediumState state = MediumStateOf(top);
  switch (state.kind) {
    case MediumState::Kind::kConnected:
      return IsFolder(state.folder) ? state.folder : std::string();
    case MediumState::Kind::kAbsent:
      // Whatever is at the old place now is another medium.
      return {};
    case MediumState::Kind::kUnknown:
      break;
  }
  std::string path = CatalogSourcePath(top);
  return IsFolder(path) ? path : std::string();
}

namespace {

// Builds the old catalog's tree on a thread of its own while the medium is scanned; stops early
// when the update ends before it is needed (a cancel, a failed scan).
class CatalogLoader {
 public:
  explicit CatalogLoader(std::string path) : path_(std::move(path)) {
    thread_ = std::thread([this] {
      try {
        StoppableSink sink(&tree_, &stop_);
        ReadCatalogFile(path_, sink);
      } catch (const std::bad_alloc&) {
        error_ = std::make_exception_ptr(
            LumivorError(path_ + ": not enough memory to hold the catalog"));
      } catch (...) {
        error_ = std::current_exception();
      }
    });
  }
  CatalogLoader(const CatalogLoader&) = delete;
  CatalogLoader& operator=(const CatalogLoader&) = delete;
  ~CatalogLoader() {
    stop_.store(true, std::memory_order_relaxed);
    if (thread_.joinable()) thread_.join();
  }

  // The whole catalog once it is read; raises what reading it raised.
  CatalogTree Take() {
    thread_.join();
    if (error_) std::rethrow_exception(error_);
    return std::move(tree_);
  }

 private:
  class StoppableSink final : public RecordSink {
   public:
    StoppableSink(CatalogTree* tree, const std::atomic<bool>* stop) : tree_(tree), stop_(stop) {}
    bool Add(const RecordView& record) override {
      return !stop_->load(std::memory_order_relaxed) && tree_.Add(record);
    }
    void Restart() override { tree_.Restart(); }

   private:
    TreeSink tree_;
    const std::atomic<bool>* stop_;
  };

  std::string path_;
  CatalogTree tree_;
  std::atomic<bool> stop_{false};
  std::exception_ptr error_;
  std::thread thread_;
};

// A catalog's top record as written; an unreadable file or one without records gives an empty
// record, and the full read then names the fault.
bool HasTop(const CatalogRecord& top) { return !top.Field(kFileName).empty(); }

// The folder to scan for the catalog whose top record is `top`: `requested` when given, else
// where the medium was made or is mounted now, else where the user says it is; empty when none.
// Raises LumivorError for a folder given that is none.
std::string MediumFolder(const std::string& catalog_file, const CatalogRecord& top,
                         const std::string& requested, Prompts* prompts) {
  std::string from = requested;
  if (from.empty()) {
    if (std::string found = LocateMedium(top); !found.empty()) return found;
    // Not where it was made nor mounted elsewhere: the user may know where it is.
    if (prompts != nullptr) {
      from = prompts->ChooseFolder(
          "The medium of " + DisplayNameOf(catalog_file) + " is not connected. Where is it?", {});
    }
    if (from.empty()) return {};
  }
  struct stat info;
  if (::stat(from.c_str(), &info) != 0) throw LumivorError(from + ": " + SystemMessage(errno));
  if (!S_ISDIR(info.st_mode)) throw LumivorError(from + ": Not a folder");
  return from;
}

}  // namespace

UpdateOutcome UpdateCatalogFile(const std::string& catalog_file, const UpdateRequest& request,
                                Progress& progress, ScanListener* listener, Prompts* prompts,
                                std::stop_token stop) {
  ProgressShown shown(progress, true);
  progress.SetWaitText(kLoadingInfo);

  UpdateOutcome outcome;
  // The top record says where the medium is and how it was scanned; the rest of the catalog is
  // only needed for the merge, so it is read while the medium is scanned.
  CatalogTree old_catalog;
  CatalogRecord top = ReadCatalogTop(catalog_file);
  if (!HasTop(top)) {
    old_catalog = LoadCatalog(catalog_file);
    if (!old_catalog.Top()) throw LumivorError(catalog_file + ": The catalog holds no records");
    top = old_catalog.Top()->Record();
  }
  outcome.source = MediumFolder(catalog_file, top, request.from, prompts);
  if (outcome.source.empty()) {
    outcome.status = UpdateOutcome::Status::kNoMedium;
    return outcome;
  }
  if (stop.stop_requested()) {
    outcome.status = UpdateOutcome::Status::kCancelled;
    return outcome;
  }

  // The same scope as the catalog was made with. A scan of every file records no scope but a
  // total size; only a catalog with neither (written by hand, or of folders only by an older
  // version) is read first to tell.
  std::optional<CatalogLoader> loader;
  const std::string_view scope = top.Extra(kScanScopeAttribute);
  const bool scope_known = !scope.empty() || !top.Field(kFileSize).empty();
  if (!old_catalog.Top() && !scope_known) {
    old_catalog = LoadCatalog(catalog_file);
  } else if (!old_catalog.Top()) {
    loader.emplace(catalog_file);
  }
  bool folders_only = scope == "Only Folders";
  std::string filter;
  if (scope.substr(0, 7) == "Filter ") filter = scope.substr(7);
  if (scope.empty() && old_catalog.Top()) folders_only = IsFoldersOnly(old_catalog);
  CatalogTree fresh;
  ScanReport report;
  ScanFolder(&fresh, outcome.source, folders_only, filter, catalog_file, progress, listener,
             &report, RecordedDeepScan(top), stop);
  if (report.cancelled) {
    outcome.status = UpdateOutcome::Status::kCancelled;
    return outcome;
  }
  if (loader) {
    progress.SetWaitText(kLoadingInfo);
    old_catalog = loader->Take();
    loader.reset();
    if (!old_catalog.Top()) throw LumivorError(catalog_file + ": The catalog holds no records");
  }
  if (stop.stop_requested()) {
    outcome.status = UpdateOutcome::Status::kCancelled;
    return outcome;
  }

  MergeOptions options;
  options.missing_date = Today();
  options.drop_missing = request.drop_missing;
  outcome.summary = MergeUpdate(old_catalog, &fresh, options);
  if (request.before_save && !request.before_save(fresh, outcome.source)) {
    outcome.status = UpdateOutcome::Status::kCancelled;
    return outcome;
  }
  if (request.dry_run) {
    outcome.status = UpdateOutcome::Status::kDryRun;
    return outcome;
  }
  progress.SetWaitText(kSavingInfo);
  const bool written = WriteCatalogFile(fresh, catalog_file, NoProgress(), stop);
  outcome.status = written ? UpdateOutcome::Status::kUpdated : UpdateOutcome::Status::kCancelled;
  return outcome;
}

}  // namespace lumivor
