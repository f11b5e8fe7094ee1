#include "core/catalog_edit.h"

#include <string>
#include <vector>

#include "core/fields.h"

namespace lumivor {

namespace {

std::string DecimalLength(std::string_view text) { return std::to_string(CodePointCount(text)); }

}  // namespace

void RebasePaths(CatalogTree::Node* node, std::string_view new_name) {
  if (!node) return;
  const CatalogTree::Node* parent = node->parent;
  std::string prefix;
  if (parent && parent->parent) {
    prefix.assign(parent->record.Field(kFullPath));
    if (!prefix.empty()) prefix += '/';
  }
  // The descendants' paths start with the node's own path as it was; that is what gets replaced.
  const std::string old_path(node->record.Field(kFullPath));
  const std::string new_path = prefix + std::string(new_name);
  node->record.SetField(kFullPath, new_path);
  node->record.SetField(kPathNameLength, DecimalLength(new_path));

  std::vector<CatalogTree::Node*> stack(node->children.rbegin(), node->children.rend());
  std::string path;
  while (!stack.empty()) {
    CatalogTree::Node* child = stack.back();
    stack.pop_back();
    const std::string_view current = child->record.Field(kFullPath);
    if (!old_path.empty() && current.size() > old_path.size() &&
        current.substr(0, old_path.size()) == old_path && current[old_path.size()] == '/') {
      path = new_path;
      path.append(current.substr(old_path.size()));
    } else {
      // A path that does not lie below the old one is rebuilt from its parent's new path.
      path.assign(child->parent->record.Field(kFullPath));
      path += '/';
      path.append(child->record.Field(kFileName));
    }
    child->record.SetField(kFullPath, path);
    child->record.SetField(kPathNameLength, DecimalLength(path));
    stack.insert(stack.end(), child->children.rbegin(), child->children.rend());
  }
}

bool ApplyEdit(CatalogTree::Node* node, int field, std::string_view text) {
  if (!node || !node->parent || field < 0 || field >= kFieldCount) return false;
  if (field == kFileName) RebasePaths(node, text);
  node->record.SetField(field, text);
  node->record.SetField(kFileNameLength, DecimalLength(node->record.Field(kFileName)));
  return true;
}

}  // namespace lumivor
