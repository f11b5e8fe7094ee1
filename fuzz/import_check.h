// What every import fuzz target checks of a listing a reader accepted: each catalog it gives is
// written as well-formed catalog text that reads back record for record.
#pragma once

#include <cstdlib>
#include <string>
#include <vector>

#include "catalog/catalog_reader.h"
#include "catalog/catalog_writer.h"
#include "import/listing_reader.h"

namespace lumivor::fuzz {

inline void CheckMedia(std::vector<ListedMedium>& media) {
  for (ListedMedium& medium : media) {
    std::string text;
    CatalogWriter writer([&text](std::string_view piece) { text.append(piece); });
    const ImportCounts counts = medium.tree->Emit("Fuzz", writer);
    if (counts.entries != counts.folders + counts.files) std::abort();
    CatalogTree read;
    if (!ReadCatalogText(text, "Fuzz", &read)) std::abort();
    if (read.Size() != counts.entries) std::abort();
  }
}

// Runs `read` over the bytes as a listing; a refusal (LumivorError) is a fine outcome.
template <typename Read>
void CheckListing(const std::uint8_t* data, std::size_t size, Read&& read) {
  ByteSource source(std::string_view(reinterpret_cast<const char*>(data), size), "fuzz");
  std::vector<ListedMedium> media;
  try {
    media = read(source);
  } catch (const LumivorError&) {
    return;
  }
  CheckMedia(media);
}

// The readers that give one catalog.
template <void (*kRead)(ByteSource&, ImportTree&, const ImportControl&)>
std::vector<ListedMedium> ReadOne(ByteSource& source) {
  std::vector<ListedMedium> media;
  media.push_back({std::string(), std::make_unique<ImportTree>(".")});
  kRead(source, *media.back().tree, ImportControl{});
  return media;
}

}  // namespace lumivor::fuzz
