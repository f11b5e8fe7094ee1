#include "core/file_info.h"

#include <cstring>

#include "core/atomic_file.h"
#include "core/catalog_reader.h"
#include "core/errors.h"
#include "core/volumes.h"

namespace lumivor {

namespace {

constexpr std::string_view kDeclaration =
    "<?xml version=\"1.0\" encoding=\"utf-8\" standalone=\"yes\"?>";

// Streams the catalog text of a tree into any sink with an append(string_view).
template <typename Sink>
void StreamCatalog(const CatalogTree& tree, Sink&& sink) {
  std::string buffer;
  buffer.reserve(1 << 17);
  buffer.append(kDeclaration);
  buffer.append("<fileinfo generated=\"");
  AppendEscapedAttribute(buffer, kGeneratedAddress);
  buffer.append("\"");
  if (tree.Empty()) {
    buffer.append("/>");
    sink(buffer);
    return;
  }
  buffer.append(">");

  struct Frame {
    const CatalogTree::Node* node;
    std::size_t next;
  };
  std::vector<Frame> stack;
  stack.push_back({tree.Root(), 0});
  while (!stack.empty()) {
    Frame& frame = stack.back();
    if (frame.next == frame.node->children.size()) {
      stack.pop_back();
      buffer.append(stack.empty() ? "</fileinfo>" : "</file>");
    } else {
      const CatalogTree::Node* child = frame.node->children[frame.next++];
      buffer.append("<file");
      const FieldViews fields = child->record.Fields();
      for (int i = 0; i < kFieldCount; ++i) {
        if (fields[i].empty()) continue;
        buffer.push_back(' ');
        buffer.append(FieldNames[i]);
        buffer.append("=\"");
        AppendEscapedAttribute(buffer, fields[i]);
        buffer.push_back('"');
      }
      if (child->record.ExtraCount() != 0) {
        for (const ExtraAttribute& extra : child->record.Extras()) {
          buffer.push_back(' ');
          buffer.append(extra.name);
          buffer.append("=\"");
          AppendEscapedAttribute(buffer, extra.value);
          buffer.push_back('"');
        }
      }
      if (child->children.empty()) {
        buffer.append("/>");
      } else {
        buffer.push_back('>');
        stack.push_back({child, 0});
      }
    }
    if (buffer.size() >= (1 << 16)) {
      sink(buffer);
      buffer.clear();
    }
  }
  sink(buffer);
}

}  // namespace

std::string EmptyCatalogText() {
  std::string text = "<?xml version=\"1.0\" encoding=\"utf-8\" standalone=\"yes\" ?> ";
  text += "<fileinfo generated=\"";
  text += kGeneratedAddress;
  text += "\"></fileinfo>";
  return text;
}

void TFileInfo::ClearDocument() { SetDocumentText(*Document, EmptyCatalogText()); }

XmlElement TFileInfo::DocumentRoot() { return DocumentElement(*Document); }

void TFileInfo::WriteTree(const CatalogTree& tree) {
  progress_.ShowWait(true, false);
  progress_.SetWaitText(kGatheringInfo);
  XmlElement root = DocumentRoot();
  if (!root) {
    ClearDocument();
    root = DocumentRoot();
  }
  root.remove_children();

  std::vector<pugi::xml_node> elements;  // element of each open level; [0] is the root
  elements.push_back(root);
  tree.ForEachPreOrder([&](const CatalogTree::Node* node, int depth) {
    elements.resize(static_cast<std::size_t>(depth) + 1);
    pugi::xml_node element = elements.back().append_child("file");
    const FieldViews fields = node->record.Fields();
    for (int i = 0; i < kFieldCount; ++i) {
      if (fields[i].empty()) continue;
      element.append_attribute(FieldNames[i].data()).set_value(std::string(fields[i]).c_str());
    }
    for (const ExtraAttribute& extra : node->record.Extras()) {
      element.append_attribute(std::string(extra.name).c_str())
          .set_value(std::string(extra.value).c_str());
    }
    if (node->HasChildren()) elements.push_back(element);
  });
  progress_.ShowWait(false);
}

void TFileInfo::ReadTree(CatalogTree* tree) {
  progress_.ShowWait(true, false);
  progress_.SetWaitText(kLoadingInfo);
  TreeSink sink(tree);
  EmitDocument(*Document, DisplayNameOf(CatalogPath), sink);
  progress_.ShowWait(false);
}

bool TFileInfo::LoadFile(std::string path) {
  progress_.ShowWait(true, false);
  progress_.SetWaitText(kLoadingInfo);
  struct Hide {
    Progress& p;
    ~Hide() { p.ShowWait(false); }
  } hide{progress_};
  if (path.empty() && prompts_) {
    path = AskOpenFileName(*prompts_, kCatalogExtension, kCatalogFilter, "");
  }
  if (path.empty()) return false;
  CatalogPath = path;
  LoadXmlFile(*Document, path);
  return true;
}

void TFileInfo::SaveFile(std::string path) {
  if (path.empty() && prompts_) {
    path = AskSaveFileName(*prompts_, kCatalogExtension, kCatalogFilter, "");
  }
  if (path.empty()) return;
  SaveXmlFile(*Document, path);
}

void WriteCatalogFile(const CatalogTree& tree, const std::string& path, Progress& progress) {
  progress.ShowWait(true, false);
  progress.SetWaitText(kGatheringInfo);
  struct Hide {
    Progress& p;
    ~Hide() { p.ShowWait(false); }
  } hide{progress};
  AtomicFile file(path);
  StreamCatalog(tree, [&](std::string_view chunk) { file.Write(chunk); });
  file.Commit();
}

void SaveCatalog(const CatalogTree& tree, const std::string& path, Progress& progress) {
  progress.ShowWait(true, false);
  progress.SetWaitText(kSavingInfo);
  WriteCatalogFile(tree, path, progress);
  progress.ShowWait(false);
}

CatalogTree LoadCatalog(const std::string& path, Progress& progress) {
  CatalogTree tree;
  TreeSink sink(&tree);
  ReadCatalogFile(path, sink, progress);
  return tree;
}

std::string CatalogText(const CatalogTree& tree) {
  std::string text;
  StreamCatalog(tree, [&](std::string_view chunk) { text.append(chunk); });
  return text;
}

}  // namespace lumivor
