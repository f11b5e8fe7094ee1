// The catalog readers on any bytes: the fast reader (ReadCatalogText) and the document route
// (pugixml and EmitDocument) must neither crash nor read out of bounds, and whenever both accept a
// text they must read the same records.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/catalog_reader.h"
#include "core/file_info.h"
#include "core/xml_document.h"

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
  return 0;
}
