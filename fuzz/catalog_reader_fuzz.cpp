// The catalog readers on any bytes: the fast reader (ReadCatalogText) and the document route
// (pugixml and ReadTree) must neither crash nor read out of bounds, and whenever both accept a
// text they must read the same records.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/catalog_reader.h"
#include "core/file_info.h"
#include "core/progress.h"
#include "core/xml_document.h"

namespace {

// Every field of every record, with its depth, in pre-order.
std::string Dump(const lumivor::CatalogTree& tree) {
  std::string out;
  tree.ForEachPreOrder([&](const lumivor::CatalogTree::Node* node, int depth) {
    out += std::to_string(depth);
    for (int i = 0; i < lumivor::kFieldCount; ++i) {
      out += '|';
      out += node->record.Field(i);
    }
    out += '\n';
  });
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The fast reader decodes in place and wants a NUL after the text.
  std::vector<char> text(data, data + size);
  text.push_back('\0');
  lumivor::CatalogTree fast;
  const bool fast_read = lumivor::ReadCatalogText(text.data(), size, "Fuzz", &fast);

  lumivor::XmlDocument document;
  const pugi::xml_parse_result result =
      document.load_buffer(data, size, lumivor::kXmlParseOptions, pugi::encoding_auto);
  lumivor::CatalogTree slow;
  if (result) {
    lumivor::TFileInfo info(&document, lumivor::NoProgress());
    info.ReadTree(&slow);
  }
  // Rebuild each tree from its own text: what is written must read back the same.
  if (fast_read && result && Dump(fast) != Dump(slow)) std::abort();
  if (fast_read) {
    std::string again = lumivor::CatalogText(fast);
    lumivor::CatalogTree reread;
    if (!lumivor::ReadCatalogText(again.data(), again.size(), "Fuzz", &reread) ||
        Dump(reread) != Dump(fast)) {
      std::abort();
    }
  }
  return 0;
}
