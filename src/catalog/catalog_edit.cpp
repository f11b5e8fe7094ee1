#include "catalog/catalog_edit.h"

#include <string>
#include <vector>

#include "catalog/fields.h"

namespace lumivor {

namespace {

std::string DecimalLength(std::string_view text) { return std::to_string(CodePointCount(text)); }

}  // namespace

void RebasePaths(CatalogTree::Node* node, std::string_view new_name) {
  if (!node) return;
  const CatalogTree::Node* parent = node->parent;
  const bool nested = parent && parent->parent;
  const std::string parent_path = nested ? parent->Field(kFullPath) : std::string();
  std::string prefix = parent_path;
  if (!prefix.empty()) prefix += '/';
  // The descendants' paths start with the node's own path as it was; that is what gets replaced.
  const std::string old_path = node->Field(kFullPath);
  const std::string new_path = prefix + std::string(new_name);
  node->SetPathBelow(new_path, parent_path);
  node->SetField(kPathNameLength, DecimalLength(new_path));

  // Top down, each node's old path read against its parent's old path and its new one written
  // against its parent's new path. The paths of the open nodes are kept in one text each for
  // old and new, where a path extends its parent's; a path that does not saves what it replaces.
  struct Frame {
    CatalogTree::Node* node;
    std::size_t next;
    std::size_t old_length;
    std::size_t new_length;
    bool saved;
  };
  std::string old_paths = old_path, new_paths = new_path;
  std::vector<std::pair<std::string, std::string>> saved;
  std::vector<Frame> stack{{node, 0, old_path.size(), new_path.size(), false}};
  std::string scratch, path;
  while (!stack.empty()) {
    Frame& frame = stack.back();
    if (frame.next == frame.node->children.size()) {
      if (frame.saved) {
        old_paths = std::move(saved.back().first);
        new_paths = std::move(saved.back().second);
        saved.pop_back();
      }
      stack.pop_back();
      continue;
    }
    CatalogTree::Node* child = frame.node->children[frame.next++];
    const std::string_view old_parent = std::string_view(old_paths).substr(0, frame.old_length);
    const std::string_view new_parent = std::string_view(new_paths).substr(0, frame.new_length);
    // A copy: the child's block is replaced below.
    const std::string current(child->PathBelow(old_parent, &scratch));
    if (!old_path.empty() && current.size() > old_path.size() &&
        current.substr(0, old_path.size()) == old_path && current[old_path.size()] == '/') {
      path = new_path;
      path.append(current.substr(old_path.size()));
    } else {
      // A path that does not lie below the old one is rebuilt from its parent's new path.
      path.assign(new_parent);
      path += '/';
      path.append(child->Name());
    }
    child->SetPathBelow(path, new_parent);
    child->SetField(kPathNameLength, DecimalLength(path));
    if (child->children.empty()) continue;
    const std::size_t old_length = frame.old_length, new_length = frame.new_length;
    const bool extends = std::string_view(current).substr(0, old_length) == old_parent &&
                         std::string_view(path).substr(0, new_length) == new_parent;
    if (extends) {
      old_paths.resize(old_length);
      old_paths.append(std::string_view(current).substr(old_length));
      new_paths.resize(new_length);
      new_paths.append(std::string_view(path).substr(new_length));
      stack.push_back({child, 0, current.size(), path.size(), false});
    } else {
      saved.emplace_back(old_paths.substr(0, old_length), new_paths.substr(0, new_length));
      old_paths = current;
      new_paths = path;
      stack.push_back({child, 0, current.size(), path.size(), true});
    }
  }
}

std::string_view EditRefusal(const CatalogTree::Node* node, int field, std::string_view text) {
  if (field != kFileName) return {};
  const bool top_level =
      node == nullptr || node->parent == nullptr || node->parent->parent == nullptr;
  if (text.empty()) return kInvalidNameEmpty;
  if (text.find('\0') != std::string_view::npos) return kInvalidNameNul;
  if (top_level) return text.size() > kMaxPathBytes ? kInvalidNameTooLong : std::string_view();
  if (text == "." || text == "..") return kInvalidNameDots;
  if (text.find('/') != std::string_view::npos) return kInvalidNameSlash;
  if (text.size() > kMaxNameBytes) return kInvalidNameTooLong;
  return {};
}

bool ApplyEdit(CatalogTree::Node* node, int field, std::string_view text) {
  if (!node || !node->parent || field < 0 || field >= kFieldCount) return false;
  if (!EditRefusal(node, field, text).empty()) return false;
  // The name first: the paths below keep what they read until RebasePaths gives them theirs.
  node->SetField(field, text);
  if (field == kFileName) {
    RebasePaths(node, text);
    // The extension is derived from the name, so an extension search finds the file as renamed.
    if (!node->IsDirectory()) node->SetField(kFileExt, ExtensionOf(text));
  }
  node->SetField(kFileNameLength, DecimalLength(node->Name()));
  return true;
}

}  // namespace lumivor
