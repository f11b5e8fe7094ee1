#include "import/import_tree.h"

#include <charconv>
#include <functional>
#include <unordered_map>
#include <utility>

#include "catalog/catalog_writer.h"
#include "catalog/fields.h"
#include "catalog/record_blob.h"
#include "import/listing_reader.h"
#include "scan/scanner.h"

namespace lumivor {

namespace {

std::string_view ToText(std::uint64_t value, char (&buffer)[24]) {
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string_view(buffer, static_cast<std::size_t>(result.ptr - buffer));
}

// The value of the FileSize `text` of `node`, from the number the node holds where it does.
double SizeOf(const CatalogTree::Node& node, std::string_view text) {
  std::uint64_t size = 0;
  return node.SizeNumber(&size) ? static_cast<double>(size) : NumberTextValue(text);
}

// A name that cannot be one entry of a folder.
bool IsUnusableName(std::string_view name) {
  return name.empty() || name == "." || name == ".." || name.find('/') != std::string_view::npos;
}

}  // namespace

ImportCounts& ImportCounts::operator+=(const ImportCounts& other) {
  entries += other.entries;
  folders += other.folders;
  files += other.files;
  hashed += other.hashed;
  skipped += other.skipped;
  return *this;
}

ImportTree::ImportTree(std::string_view top_name) : top_name_(top_name) {
  // The tree is built once and written once: huge pages would save little and, where the kernel
  // has to make them first, cost more than the whole walk.
  tree_.AskForHugePages(false);
  FieldViews fields{};
  fields[kFileName] = top_name;
  fields[kFileType] = kDirectoryType;
  top_ = tree_.AddChild(nullptr, fields);
}

void ImportTree::SetTopExtra(std::string_view name, std::string_view value) {
  top_->SetExtra(name, value);
}

bool ImportTree::IsEntryName(std::string_view name) { return !IsUnusableName(name); }

void ImportTree::SetTopDescription(std::string_view text) { top_->SetField(kDescription, text); }

void ImportTree::Record(const ImportEntry& entry, FieldViews& fields, char (&size_text)[24],
                        char (&time_text)[40]) {
  fields[kFileName] = entry.name;
  fields[kFileType] = entry.directory ? kDirectoryType : kFileTypeText;
  if (!entry.directory && entry.has_size) fields[kFileSize] = ToText(entry.size, size_text);
  if (entry.has_time) fields[kFileTime] = times_.Format(entry.mtime, time_text);
  fields[kDescription] = entry.description;
}

CatalogTree::Node* ImportTree::AddPlain(CatalogTree::Node* parent, const ImportEntry& entry,
                                        std::string_view name) {
  // Most entries are a clean name, a size and a time: packed from the numbers, without the
  // texts a record would be made of and read back from.
  if (!entry.extras.empty() || !entry.description.empty()) return nullptr;
  std::int64_t local = 0;
  const bool has_time = entry.has_time && times_.LocalSeconds(entry.mtime, &local);
  if (has_time && !record_blob::IsPackedTime(local)) return nullptr;
  if (SanitizeText(name, &clean_)) return nullptr;
  const bool has_size = !entry.directory && entry.has_size;
  // Sizes of twenty digits are kept as text by the general way; so they are here.
  if (has_size && entry.size >= 10'000'000'000'000'000'000ull) return nullptr;
  return tree_.AddEntry(parent, name, entry.directory, has_size ? &entry.size : nullptr,
                        has_time ? &local : nullptr);
}

CatalogTree::Node* ImportTree::AddChild(CatalogTree::Node* parent, const ImportEntry& entry) {
  if (IsUnusableName(entry.name)) {
    ++skipped_;
    return nullptr;
  }
  if (CatalogTree::Node* node = AddPlain(parent ? parent : top_, entry, entry.name)) return node;
  FieldViews fields{};
  char size_text[24], time_text[40];
  Record(entry, fields, size_text, time_text);
  return tree_.AddChild(parent ? parent : top_, fields, entry.extras);
}

void ImportTree::Fill(CatalogTree::Node* node, const ImportEntry& entry) {
  FieldViews fields{};
  char size_text[24], time_text[40];
  Record(entry, fields, size_text, time_text);
  const std::string name(node->Name());
  if (IsUnusableName(entry.name)) fields[kFileName] = name;
  node->SetRecord(CatalogRecord(fields, entry.extras));
}

std::size_t ImportTree::Slot(const CatalogTree::Node* parent, std::string_view name) const {
  const std::size_t hash = std::hash<std::string_view>{}(name) ^
                           (reinterpret_cast<std::uintptr_t>(parent) * 0x9E3779B97F4A7C15ull);
  return (hash ^ (hash >> 29)) & (slots_.size() - 1);
}

CatalogTree::Node* ImportTree::Find(CatalogTree::Node* parent, std::string_view clean_name) const {
  if (slots_.empty()) return nullptr;
  for (std::size_t slot = Slot(parent, clean_name);; slot = (slot + 1) & (slots_.size() - 1)) {
    CatalogTree::Node* node = slots_[slot];
    if (!node) return nullptr;
    if (node->parent == parent && node->Name() == clean_name) return node;
  }
}

void ImportTree::Grow() {
  std::vector<CatalogTree::Node*> old = std::move(slots_);
  slots_.assign(old.empty() ? 1024 : old.size() * 2, nullptr);
  for (CatalogTree::Node* node : old) {
    if (!node) continue;
    std::size_t slot = Slot(node->parent, node->Name());
    while (slots_[slot]) slot = (slot + 1) & (slots_.size() - 1);
    slots_[slot] = node;
  }
}

void ImportTree::Index(CatalogTree::Node* node) {
  if ((indexed_ + 1) * 2 > slots_.size()) Grow();
  std::size_t slot = Slot(node->parent, node->Name());
  while (slots_[slot]) slot = (slot + 1) & (slots_.size() - 1);
  slots_[slot] = node;
  ++indexed_;
}

bool ImportTree::Place(std::string_view path, const ImportEntry& entry) {
  // The components, each cleaned as the record will hold it.
  std::vector<std::string> components;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view part = path.substr(start, end - start);
    start = end + 1;
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      ++skipped_;
      return false;
    }
    components.emplace_back(SanitizeText(part, &clean_) ? std::string_view(clean_) : part);
  }
  if (components.empty()) {
    // The listed root itself: its further attributes are the top's.
    for (const ExtraAttribute& extra : entry.extras) top_->SetExtra(extra.name, extra.value);
    return true;
  }
  CatalogTree::Node* node = top_;
  for (std::size_t i = 0; i + 1 < components.size(); ++i) {
    CatalogTree::Node* child = Find(node, components[i]);
    if (!child) {
      FieldViews fields{};
      fields[kFileName] = components[i];
      fields[kFileType] = kDirectoryType;
      child = tree_.AddChild(node, fields);
      Index(child);
      implied_.insert(child);
    }
    node = child;
  }
  const std::string& name = components.back();
  if (CatalogTree::Node* existing = Find(node, name)) {
    if (entry.directory && implied_.erase(existing) > 0) {
      ImportEntry named = entry;
      named.name = name;
      Fill(existing, named);
      return true;
    }
    ++skipped_;
    return false;
  }
  if (CatalogTree::Node* added = AddPlain(node, entry, name)) {
    Index(added);
    return true;
  }
  ImportEntry named = entry;
  named.name = name;
  FieldViews fields{};
  char size_text[24], time_text[40];
  Record(named, fields, size_text, time_text);
  Index(tree_.AddChild(node, fields, entry.extras));
  return true;
}

void ImportTree::DescendToListedRoot() {
  while (top_->children.size() == 1) {
    CatalogTree::Node* only = top_->children[0];
    if (!only->IsDirectory() || implied_.count(only) == 0) break;
    if (!top_name_.empty() && top_name_.back() != '/') top_name_ += '/';
    top_name_ += only->Name();
    top_ = only;
  }
}

namespace {

// Counts `record` in `counts`.
void CountRecord(const RecordView& record, bool directory, ImportCounts* counts) {
  ++counts->entries;
  ++(directory ? counts->folders : counts->files);
  for (const ExtraAttribute& extra : record.extras) {
    if (extra.name == kHashAttribute) {
      ++counts->hashed;
      break;
    }
  }
}

// `path` and its length in code points `points` followed by the entry `name` below it.
// (`name_points`: the length of `name` in code points.)
void Descend(std::string* path, std::size_t* points, std::string_view name,
             std::size_t name_points) {
  if (path->empty() || path->back() != '/') {
    *path += '/';
    ++*points;
  }
  *path += name;
  *points += name_points;
}

void Descend(std::string* path, std::size_t* points, std::string_view name) {
  Descend(path, points, name, CodePointCount(name));
}

// Trees of more records than this are written in parts by several threads, the parts of about
// kPartRecords records; trees deeper than kDeepestCut below the top are written on one thread.
constexpr std::size_t kParallelRecords = 50000;
constexpr std::size_t kPartRecords = 2048;
constexpr std::size_t kDeepestCut = 256;

}  // namespace

bool ImportTree::EmitTop(std::string_view catalog_name, std::string_view total_text,
                         RecordSink& sink, ImportCounts* counts) const {
  std::string scratch;
  RecordView top;
  top.depth = 0;
  top.fields[kFileName] = top_name_;
  top.fields[kFullPath] = top_name_;
  top.fields[kFileSize] = total_text;
  top.fields[kFileType] = kDirectoryType;
  top.fields[kDescription] = top_->Field(kDescription, &scratch);
  top.fields[kSizePercentage] = "100";
  top.fields[kCatalogName] = catalog_name;
  top.extras = top_->Extras();
  CountRecord(top, true, counts);
  return sink.Add(top);
}

bool ImportTree::EmitStretch(const Stretch& stretch, std::string_view catalog_name, double total,
                             RecordSink& sink, ImportCounts* counts) const {
  struct Frame {
    const CatalogTree::Node* node;
    std::size_t next, end;
    std::size_t path_length;
    std::size_t path_points;
  };
  std::string path = stretch.parent_path;
  std::vector<Frame> stack{
      {stretch.parent, stretch.first, stretch.last, path.size(), stretch.parent_points}};
  std::string size_scratch, time_scratch, description_scratch;
  char percentage[64];
  char name_length[24], path_length[24];
  while (!stack.empty()) {
    Frame& frame = stack.back();
    if (frame.next == frame.end) {
      stack.pop_back();
      continue;
    }
    const CatalogTree::Node* node = frame.node->children[frame.next++];
    path.resize(frame.path_length);
    std::size_t points = frame.path_points;
    const std::string_view name = node->Name();
    const std::size_t name_points = CodePointCount(name);
    Descend(&path, &points, name, name_points);
    const bool directory = node->IsDirectory();

    RecordView record;
    record.depth = stretch.depth + static_cast<int>(stack.size()) - 1;
    record.fields[kFileName] = name;
    record.fields[kFullPath] = path;
    const std::string_view size = node->Field(kFileSize, &size_scratch);
    record.fields[kFileSize] = size;
    record.fields[kFileTime] = node->Field(kFileTime, &time_scratch);
    record.fields[kFileExt] = directory ? std::string_view() : ExtensionOf(name);
    record.fields[kFileType] = directory ? kDirectoryType : kFileTypeText;
    record.fields[kDescription] = node->Field(kDescription, &description_scratch);
    record.fields[kFileNameLength] = ToText(name_points, name_length);
    record.fields[kPathNameLength] = ToText(points, path_length);
    record.fields[kSizePercentage] =
        total != 0 ? FormatPercentage(SizeOf(*node, size) / total * 100.0, percentage)
                   : std::string_view("0");
    record.fields[kCatalogName] = catalog_name;
    record.extras = node->Extras();
    CountRecord(record, directory, counts);
    if (!sink.Add(record)) return false;
    if (!stretch.alone && !node->children.empty()) {
      stack.push_back({node, 0, node->children.size(), path.size(), points});
    }
  }
  return true;
}

std::vector<ImportTree::Stretch> ImportTree::CutBelowTop(std::size_t records) const {
  // The records below each node that has children, itself counted.
  const auto sizes = SubtreeSizes(top_, kDeepestCut);
  if (sizes.empty()) return {};
  // Runs of sibling subtrees of about `records` records; a larger subtree becomes its own record
  // followed by the stretches below it (cut the same way, its path passed down).
  std::vector<Stretch> stretches;
  struct Pending {
    const CatalogTree::Node* parent;
    int depth;
    std::string path;
    std::size_t points;
  };
  // The folders still to cut, each taking the place in the order where it is met: cut depth
  // first through an explicit stack of (folder, next child, run start, gathered) frames.
  struct Frame {
    Pending folder;
    std::size_t next = 0, start = 0, gathered = 0;
  };
  std::vector<Frame> stack;
  stack.push_back({{top_, 1, top_name_, CodePointCount(top_name_)}});
  while (!stack.empty()) {
    Frame& frame = stack.back();
    const CatalogTree::Node* parent = frame.folder.parent;
    const auto flush = [&](std::size_t end) {
      if (end > frame.start) {
        stretches.push_back({parent, frame.start, end, frame.folder.depth, frame.folder.path,
                             frame.folder.points, false});
      }
      frame.start = end;
      frame.gathered = 0;
    };
    if (frame.next == parent->children.size()) {
      flush(parent->children.size());
      stack.pop_back();
      continue;
    }
    const std::size_t i = frame.next++;
    const CatalogTree::Node* child = parent->children[i];
    const std::size_t size = child->children.empty() ? 1 : sizes.at(child);
    if (size > records) {
      flush(i);
      stretches.push_back(
          {parent, i, i + 1, frame.folder.depth, frame.folder.path, frame.folder.points, true});
      frame.start = i + 1;
      Pending below{child, frame.folder.depth + 1, frame.folder.path, frame.folder.points};
      Descend(&below.path, &below.points, child->Name());
      stack.push_back({std::move(below)});  // `frame` is not used after this
      continue;
    }
    if (frame.gathered + size > records) flush(i);
    frame.gathered += size;
  }
  return stretches;
}

ImportCounts ImportTree::Emit(std::string_view catalog_name, RecordSink& sink) {
  ImportCounts counts;
  counts.skipped = skipped_;
  const double total = SumDirectorySizes(top_);
  if (!EmitTop(catalog_name, FormatWholeNumber(total), sink, &counts)) return counts;
  const Stretch all{top_, 0, top_->children.size(), 1, top_name_, CodePointCount(top_name_), false};
  if (!EmitStretch(all, catalog_name, total, sink, &counts)) return counts;
  sink.Finish();
  return counts;
}

ImportCounts ImportTree::WriteCatalog(std::string_view catalog_name,
                                      const std::function<void(std::string_view)>& write,
                                      std::size_t threads) {
  std::vector<Stretch> stretches;
  if (threads >= 2 && tree_.Size() > kParallelRecords) stretches = CutBelowTop(kPartRecords);
  if (stretches.empty()) {
    CatalogWriter writer(write);
    return Emit(catalog_name, writer);
  }
  const double total = SumDirectorySizes(top_);
  const std::string total_text = FormatWholeNumber(total);
  // Part 0 is the top record, part i the stretch i - 1.
  std::vector<ImportCounts> counts(stretches.size() + 1);
  WriteCatalogParts(
      counts.size(), threads,
      [&](std::size_t part, CatalogWriter& writer) {
        if (part == 0) {
          EmitTop(catalog_name, total_text, writer, &counts[0]);
        } else {
          EmitStretch(stretches[part - 1], catalog_name, total, writer, &counts[part]);
        }
      },
      write);
  ImportCounts sum;
  sum.skipped = skipped_;
  for (const ImportCounts& part : counts) sum += part;
  return sum;
}

}  // namespace lumivor
