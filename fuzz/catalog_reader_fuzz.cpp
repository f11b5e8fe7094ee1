// The catalog readers on any bytes: the fast reader (ReadCatalogText) and the document route
// (pugixml and EmitDocument) must neither crash nor read out of bounds, and whenever both accept a
// text they must read the same records. With a needle taken from the first value, the fast reader
// must hand on the same records, each it lets through whole and each it holds back without the
// needle in any value.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "catalog/catalog_file.h"
#include "catalog/catalog_reader.h"
#include "catalog/xml_document.h"

namespace {

// Every field and further attribute of every record, with its depth, in pre-order.
std::string Dump(const lumivor::CatalogTree& tree) {
  std::string out;
  tree.ForEachPreOrder([&](const lumivor::CatalogTree::Node* node, int depth) {
    out += std::to_string(depth);
    for (int i = 0; i < lumivor::kFieldCount; ++i) {
      out += '|';
      out += node->Field(i);
    }
    for (const lumivor::ExtraAttribute& extra : node->Extras()) {
      out += '|';
      out += extra.name;
      out += '=';
      out += extra.value;
    }
    out += '\n';
  });
  return out;
}

// Each record as one line (depth, fields, further attributes), and whether it may match.
struct LineSink final : lumivor::RecordSink {
  bool Add(const lumivor::RecordView& record) override {
    std::string line = std::to_string(record.depth);
    for (const std::string_view field : record.fields) {
      line += '|';
      line += field;
    }
    for (const lumivor::ExtraAttribute& extra : record.extras) {
      line += '|';
      line += extra.name;
      line += '=';
      line += extra.value;
    }
    lines.push_back(std::move(line));
    names.emplace_back(record.fields[lumivor::kFileName]);
    may_match.push_back(record.may_match);
    // The values as written in the file: not the catalog name, nor a top-level default type.
    std::vector<std::string> written;
    for (int i = 0; i < lumivor::kCatalogName; ++i) {
      const bool defaulted = record.depth == 0 && i == lumivor::kFileType &&
                             record.fields[i] == lumivor::kDirectoryType;
      if (!defaulted) written.emplace_back(record.fields[i]);
    }
    for (const lumivor::ExtraAttribute& extra : record.extras) written.emplace_back(extra.value);
    values.push_back(std::move(written));
    return true;
  }
  std::vector<std::string> lines, names;
  std::vector<bool> may_match;
  std::vector<std::vector<std::string>> values;
};

void CheckNeedle(std::string_view text) {
  // The first four bytes of the first quoted value: some records hold them, others not.
  const std::size_t quote = text.find_first_of("\"'");
  if (quote == std::string_view::npos) return;
  const std::string_view run = lumivor::LongestLiteralRun(text.substr(quote + 1, 4));
  if (run.empty()) return;
  const lumivor::Needle needle(run, (static_cast<unsigned char>(text[0]) & 1) != 0);
  LineSink all, filtered;
  const auto whole = lumivor::ReadCatalogRecords(text, "Fuzz", all);
  const auto prefiltered = lumivor::ReadCatalogRecords(text, "Fuzz", filtered, &needle);
  // Records held back are not decoded, so only the reader without a needle may give up more.
  if (prefiltered != lumivor::FastReadStatus::kDone) {
    if (whole == lumivor::FastReadStatus::kDone) std::abort();
    return;
  }
  if (whole != lumivor::FastReadStatus::kDone) return;
  if (all.lines.size() != filtered.lines.size()) std::abort();
  for (std::size_t i = 0; i < all.lines.size(); ++i) {
    if (filtered.may_match[i]) {
      if (filtered.lines[i] != all.lines[i]) std::abort();
    } else {
      if (filtered.names[i] != all.names[i]) std::abort();
      for (const std::string& value : all.values[i]) {
        const char* end = value.data() + value.size();
        if (needle.Find(value.data(), end) != end) std::abort();
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  lumivor::CatalogTree fast;
  const bool fast_read = lumivor::ReadCatalogText(text, "Fuzz", &fast);

  lumivor::XmlDocument document;
  const pugi::xml_parse_result result =
      document.load_buffer(data, size, lumivor::kXmlParseOptions, pugi::encoding_auto);
  lumivor::CatalogTree slow;
  if (result) {
    lumivor::TreeSink sink(&slow);
    lumivor::EmitDocument(document, "Fuzz", sink);
  }
  if (fast_read && result && Dump(fast) != Dump(slow)) std::abort();
  // What is written reads back the same.
  if (fast_read) {
    const std::string again = lumivor::CatalogText(fast);
    lumivor::CatalogTree reread;
    if (!lumivor::ReadCatalogText(again, "Fuzz", &reread) || Dump(reread) != Dump(fast)) {
      std::abort();
    }
  }
  CheckNeedle(text);
  return 0;
}
