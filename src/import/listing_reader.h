#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "catalog/fields.h"
#include "import/byte_source.h"
#include "import/import_tree.h"

namespace lumivor {

// The listings other tools write that can become catalogs.
enum class ListingFormat {
  kNcdu,      // the JSON export of ncdu 1.x (ncdu -o, plain or extended)
  kMtree,     // a BSD mtree listing (bsdtar --format=mtree, mtree -c)
  kHashdeep,  // a hashdeep manifest, or md5deep's (sha1deep's, sha256sum's) "HASH  PATH" lines
  kCatcli,    // the JSON catalog of catcli or gocatcli
};

// The formats as named on the command line and in the import dialog, in this order.
inline constexpr std::string_view kListingFormatNames[] = {"ncdu", "mtree", "hashdeep", "catcli"};
[[nodiscard]] std::string_view ListingFormatName(ListingFormat format);
// The format named `name` (one of kListingFormatNames).
[[nodiscard]] std::optional<ListingFormat> ListingFormatNamed(std::string_view name);

// The format of a listing that begins with `head` (its first kilobytes); none when it looks like
// none of them.
[[nodiscard]] std::optional<ListingFormat> DetectListingFormat(std::string_view head);
// The refusal of a file whose format is none of them.
[[nodiscard]] std::string UnknownFormatText(std::string_view file);

// The attribute names an import writes besides the eleven fields (and Hash, LinkId and ReadError,
// which scans write too: catalog/fields.h).
inline constexpr std::string_view kExcludedAttribute = "Excluded";  // why it was left out
inline constexpr std::string_view kLinkTargetAttribute = "LinkTarget";
inline constexpr std::string_view kTagsAttribute = "Tags";
// What the top record of an imported catalog says of where it came from: the format's name.
inline constexpr std::string_view kImportedFromAttribute = "ImportedFrom";

// How a reader hears of a cancel and tells how far it got.
struct ImportControl {
  std::stop_token stop;
  // Called now and then with the entries read so far; may be empty.
  std::function<void(std::size_t entries)> progress;
};

// Raised by a reader that heard of a cancel.
struct ImportCancelled {};

// One catalog a listing gives: the entries, and for listings of several media (catcli storages)
// the medium's own name.
struct ListedMedium {
  std::string medium_name;
  std::unique_ptr<ImportTree> tree;
};

// Reads the listing `source` of `format` to its end. Raises LumivorError "FILE: line L: REASON"
// or "FILE: byte B (line L): REASON" for a damaged or truncated listing, ImportCancelled on a
// cancel. Only a few hundred kilobytes of the listing are held at any time.
[[nodiscard]] std::vector<ListedMedium> ReadListing(ByteSource& source, ListingFormat format,
                                                    const ImportControl& control = {});

// The readers, one per format.
void ReadNcdu(ByteSource& source, ImportTree& tree, const ImportControl& control);
void ReadMtree(ByteSource& source, ImportTree& tree, const ImportControl& control);
void ReadHashdeep(ByteSource& source, ImportTree& tree, const ImportControl& control);
[[nodiscard]] std::vector<ListedMedium> ReadCatcli(ByteSource& source,
                                                   const ImportControl& control);

// Shared by the readers: `hex` in lower case when it is a digest of `length` hex digits, else
// empty.
[[nodiscard]] std::string DigestHex(std::string_view hex, std::size_t length);
// "YYYY-MM-DD HH:MM:SS" in local time (the ScanDate of an imported catalog).
[[nodiscard]] std::string LocalDateText(std::int64_t seconds);

// Counts entries for a reader and polls the control every few thousand.
class ImportTicker {
 public:
  explicit ImportTicker(const ImportControl& control) : control_(control) {}
  void Tick() {
    if ((++count_ & 4095) == 0) Poll();
  }

 private:
  void Poll();
  const ImportControl& control_;
  std::size_t count_ = 0;
};

}  // namespace lumivor
