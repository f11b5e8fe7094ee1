#include "core/file_info.h"

#include <cstring>
#include <new>

#include "core/atomic_file.h"
#include "core/catalog_reader.h"
#include "core/errors.h"
#include "core/volumes.h"

namespace lumivor {

namespace {

constexpr std::string_view kDeclaration =
    "<?xml version=\"1.0\" encoding=\"utf-8\" standalone=\"yes\"?>";

// The field index of an attribute name, or -1 for a name outside the field table.
int FieldOfAttribute(const char* name) {
  // Dispatch on the first letter, then compare the rest: no strlen, one strcmp.
  int candidates[2] = {-1, -1};
  switch (name[0]) {
    case 'F':
      if (!name[1] || !name[2] || !name[3]) return -1;
      switch (name[4]) {
        case 'N':
          candidates[0] = kFileName;
          candidates[1] = kFileNameLength;
          break;
        case 'S':
          candidates[0] = kFileSize;
          break;
        case 'T':
          candidates[0] = kFileTime;
          candidates[1] = kFileType;
          break;
        case 'E':
          candidates[0] = kFileExt;
          break;
        case 'P':
          candidates[0] = kFullPath;
          break;
        default:
          return -1;
      }
      break;
    case 'D':
      candidates[0] = kDescription;
      break;
    case 'P':
      candidates[0] = kPathNameLength;
      break;
    case 'S':
      candidates[0] = kSizePercentage;
      break;
    case 'C':
      candidates[0] = kCatalogName;
      break;
    default:
      return -1;
  }
  for (int candidate : candidates) {
    if (candidate < 0) continue;
    // The field names are NUL-terminated literals; an inline compare beats a call here.
    const char* field = FieldNames[candidate].data();
    const char* n = name;
    while (*field && *field == *n) {
      ++field;
      ++n;
    }
    if (*field == *n) return candidate;
  }
  return -1;
}

// The present field attributes of `element` over the defaults in `fields`.
FieldViews ReadFields(const pugi::xml_node& element, FieldViews fields) {
  for (pugi::xml_attribute a = element.first_attribute(); a; a = a.next_attribute()) {
    const int index = FieldOfAttribute(a.name());
    if (index >= 0) fields[index] = a.value();
  }
  return fields;
}

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
    if (node->HasChildren()) elements.push_back(element);
  });
  progress_.ShowWait(false);
}

void TFileInfo::ReadTree(CatalogTree* tree) {
  progress_.ShowWait(true, false);
  progress_.SetWaitText(kLoadingInfo);
  tree->Clear();
  const pugi::xml_node root = DocumentRoot();
  const std::string catalog_name = DisplayNameOf(CatalogPath);

  struct Frame {
    pugi::xml_node element;  // next child element to read
    CatalogTree::Node* parent;
  };
  std::vector<Frame> stack;
  if (root) stack.push_back({root.first_child(), nullptr});
  while (!stack.empty()) {
    Frame& frame = stack.back();
    while (frame.element && frame.element.type() != pugi::node_element) {
      frame.element = frame.element.next_sibling();
    }
    if (!frame.element) {
      stack.pop_back();
      continue;
    }
    const pugi::xml_node element = frame.element;
    frame.element = element.next_sibling();
    CatalogTree::Node* parent = frame.parent;

    FieldViews defaults{};
    if (!parent) defaults[kFileType] = kDirectoryType;
    FieldViews fields = ReadFields(element, defaults);
    if (!parent && fields[kFullPath].empty()) fields[kFullPath] = fields[kFileName];
    fields[kCatalogName] = catalog_name;
    CatalogTree::Node* node = tree->AddChild(parent, fields);
    if (element.first_child()) stack.push_back({element.first_child(), node});
  }
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

namespace {

CatalogTree LoadCatalogTree(const std::string& path, Progress& progress) {
  CatalogTree tree;
  {
    progress.ShowWait(true, false);
    progress.SetWaitText(kLoadingInfo);
    struct Hide {
      Progress& p;
      ~Hide() { p.ShowWait(false); }
    } hide{progress};
    // The fast route reads the text straight into the tree; ReadWholeFile words the errors of
    // files that cannot be read at all.
    std::string text = ReadWholeFile(path);
    if (ReadCatalogText(text.data(), text.size(), DisplayNameOf(path), &tree)) return tree;
  }
  // Anything else (comments, another encoding, a file that is not well-formed) goes through the
  // document, which reads every well-formed file and says what is wrong with the others.
  XmlDocument document;
  TFileInfo info(&document, progress);
  if (info.LoadFile(path)) info.ReadTree(&tree);
  return tree;
}

}  // namespace

CatalogTree LoadCatalog(const std::string& path, Progress& progress) {
  try {
    return LoadCatalogTree(path, progress);
  } catch (const std::bad_alloc&) {
    throw LumivorError(path + ": not enough memory to hold the catalog");
  }
}

std::string CatalogText(const CatalogTree& tree) {
  std::string text;
  StreamCatalog(tree, [&](std::string_view chunk) { text.append(chunk); });
  return text;
}

}  // namespace lumivor
