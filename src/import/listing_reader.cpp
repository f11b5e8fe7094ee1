#include "import/listing_reader.h"

#include <ctime>

#include "core/errors.h"

namespace lumivor {

namespace {

bool IsHex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

std::string_view TrimLeft(std::string_view text) {
  while (!text.empty() &&
         (text[0] == ' ' || text[0] == '\t' || text[0] == '\r' || text[0] == '\n')) {
    text.remove_prefix(1);
  }
  return text;
}

// A line of md5deep and its kin: hex digits, two blanks (or a blank and "*"), a path; md5deep -z
// puts the size before them.
bool LooksLikeHashLine(std::string_view line) {
  std::size_t i = 0;
  while (i < line.size() && line[i] == ' ') ++i;
  std::size_t digits = 0;
  while (i + digits < line.size() && line[i + digits] >= '0' && line[i + digits] <= '9') ++digits;
  if (digits > 0 && i + digits + 2 < line.size() && line[i + digits] == ' ' &&
      line[i + digits + 1] == ' ' && digits < 32) {
    i += digits + 2;
  }
  std::size_t hex = 0;
  while (i + hex < line.size() && IsHex(line[i + hex])) ++hex;
  if (hex != 32 && hex != 40 && hex != 48 && hex != 64 && hex != 96 && hex != 128) return false;
  i += hex;
  return i + 2 < line.size() && line[i] == ' ' && (line[i + 1] == ' ' || line[i + 1] == '*');
}

}  // namespace

std::string_view ListingFormatName(ListingFormat format) {
  return kListingFormatNames[static_cast<int>(format)];
}

std::optional<ListingFormat> ListingFormatNamed(std::string_view name) {
  for (int i = 0; i < 4; ++i) {
    if (kListingFormatNames[i] == name) return static_cast<ListingFormat>(i);
  }
  return std::nullopt;
}

std::optional<ListingFormat> DetectListingFormat(std::string_view head) {
  if (head.substr(0, 3) == "\xEF\xBB\xBF") head.remove_prefix(3);
  const std::string_view text = TrimLeft(head);
  if (!text.empty() && text[0] == '[') {
    // ncdu: [majorver, minorver, {metadata}, [directory]]
    std::string_view rest = TrimLeft(text.substr(1));
    std::size_t digits = 0;
    while (digits < rest.size() && rest[digits] >= '0' && rest[digits] <= '9') ++digits;
    if (digits > 0 && TrimLeft(rest.substr(digits)).substr(0, 1) == ",")
      return ListingFormat::kNcdu;
    return std::nullopt;
  }
  if (!text.empty() && text[0] == '{') return ListingFormat::kCatcli;
  if (head.substr(0, 14) == "%%%% HASHDEEP-") return ListingFormat::kHashdeep;
  if (head.substr(0, 6) == "#mtree") return ListingFormat::kMtree;
  // Without a signature: look at the first lines that are not comments.
  std::size_t start = 0;
  int looked = 0;
  while (start < head.size() && looked < 8) {
    std::size_t end = head.find('\n', start);
    if (end == std::string_view::npos) end = head.size();
    std::string_view line = head.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line[0] == '#') continue;
    ++looked;
    if (LooksLikeHashLine(line)) return ListingFormat::kHashdeep;
    if (line.substr(0, 5) == "/set " || line.find(" type=") != std::string_view::npos) {
      return ListingFormat::kMtree;
    }
    return std::nullopt;
  }
  return std::nullopt;
}

std::string UnknownFormatText(std::string_view file) {
  return std::string(file) +
         ": not a listing that can be imported; the formats are ncdu, mtree, hashdeep and catcli";
}

std::string DigestHex(std::string_view hex, std::size_t length) {
  if (hex.size() != length) return {};
  std::string out(hex);
  for (char& c : out) {
    if (!IsHex(c)) return {};
    if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

std::string LocalDateText(std::int64_t seconds) {
  const std::time_t time = static_cast<std::time_t>(seconds);
  std::tm local{};
  if (!::localtime_r(&time, &local)) return {};
  char text[64];
  const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return std::string(text, length);
}

void ImportTicker::Poll() {
  if (control_.stop.stop_requested()) throw ImportCancelled{};
  if (control_.progress) control_.progress(count_);
}

std::vector<ListedMedium> ReadListing(ByteSource& source, ListingFormat format,
                                      const ImportControl& control) {
  if (format == ListingFormat::kCatcli) return ReadCatcli(source, control);
  std::vector<ListedMedium> media;
  media.push_back({std::string(), std::make_unique<ImportTree>(".")});
  ImportTree& tree = *media.back().tree;
  switch (format) {
    case ListingFormat::kNcdu:
      ReadNcdu(source, tree, control);
      break;
    case ListingFormat::kMtree:
      ReadMtree(source, tree, control);
      break;
    case ListingFormat::kHashdeep:
      ReadHashdeep(source, tree, control);
      break;
    case ListingFormat::kCatcli:
      break;
  }
  tree.SetTopExtra(kImportedFromAttribute, ListingFormatName(format));
  return media;
}

}  // namespace lumivor
