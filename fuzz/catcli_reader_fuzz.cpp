// The catcli reader of the import on any bytes: it must neither crash nor read out of bounds, and
// what it accepts must make well-formed catalogs, one per storage.
#include <cstddef>
#include <cstdint>

#include "core/errors.h"
#include "import_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  lumivor::fuzz::CheckListing(data, size, [](lumivor::ByteSource& source) {
    return lumivor::ReadCatcli(source, lumivor::ImportControl{});
  });
  return 0;
}
