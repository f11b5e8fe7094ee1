#include "catalog/catalog_writer.h"

#include <algorithm>
#include <utility>

#include "catalog/catalog_file.h"
#include "catalog/xml_document.h"

namespace lumivor {

namespace {

constexpr std::string_view kDeclaration =
    "<?xml version=\"1.0\" encoding=\"utf-8\" standalone=\"yes\"?>";
constexpr std::size_t kPieceBytes = 1 << 16;

}  // namespace

CatalogWriter::CatalogWriter(std::function<void(std::string_view)> write)
    : write_(std::move(write)) {
  buffer_.reserve(kPieceBytes * 2);
}

CatalogWriter::CatalogWriter(std::function<void(std::string_view)> write, Part)
    : write_(std::move(write)), started_(true), part_(true) {
  buffer_.reserve(kPieceBytes * 2);
}

void CatalogWriter::AppendJoint(std::string* out, int before, int after) {
  if (before < 0) {
    out->append(kDeclaration);
    out->append("<fileinfo generated=\"");
    AppendEscapedAttribute(*out, kGeneratedAddress);
    out->push_back('"');
    out->append(after < 0 ? "/>" : ">");
    return;
  }
  if (after > before) {
    out->push_back('>');
    return;
  }
  out->append("/>");
  for (int level = before; level > std::max(after, 0); --level) out->append("</file>");
  if (after < 0) out->append("</fileinfo>");
}

void CatalogWriter::Start() {
  buffer_.append(kDeclaration);
  buffer_.append("<fileinfo generated=\"");
  AppendEscapedAttribute(buffer_, kGeneratedAddress);
  buffer_.push_back('"');
  started_ = true;
}

void CatalogWriter::AppendAttribute(std::string_view name, std::string_view value) {
  if (value.empty()) return;
  buffer_.push_back(' ');
  buffer_.append(name);
  buffer_.append("=\"");
  AppendEscapedAttribute(buffer_, SanitizeText(value, &clean_) ? std::string_view(clean_) : value);
  buffer_.push_back('"');
}

void CatalogWriter::FlushIfFull() {
  if (buffer_.size() < kPieceBytes) return;
  write_(buffer_);
  buffer_.clear();
}

bool CatalogWriter::Add(const RecordView& record) {
  if (!started_) Start();
  const int depth = std::clamp(record.depth, 0, part_ && depth_ < 0 ? record.depth : depth_ + 1);
  if (part_ && depth_ < 0) {
    // The first record of a part: what goes before it is the joint.
  } else if (depth_ < 0) {
    buffer_.push_back('>');  // the root gets its first child
  } else if (depth > depth_) {
    buffer_.push_back('>');  // the last record gets its first child
  } else {
    buffer_.append("/>");
    for (int level = depth_; level > depth; --level) buffer_.append("</file>");
  }
  buffer_.append("<file");
  for (int i = 0; i < kFieldCount; ++i) AppendAttribute(FieldNames[i], record.fields[i]);
  for (const ExtraAttribute& extra : record.extras) AppendAttribute(extra.name, extra.value);
  depth_ = depth;
  FlushIfFull();
  return true;
}

void CatalogWriter::Finish() {
  if (part_) {
    write_(buffer_);
    buffer_.clear();
    return;
  }
  if (!started_) Start();
  if (depth_ < 0) {
    buffer_.append("/>");
  } else {
    buffer_.append("/>");
    for (int level = depth_; level > 0; --level) buffer_.append("</file>");
    buffer_.append("</fileinfo>");
  }
  write_(buffer_);
  buffer_.clear();
  started_ = false;
  depth_ = -1;
}

}  // namespace lumivor
