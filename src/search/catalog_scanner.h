#pragma once

#include <array>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "core/fields.h"

namespace lumivor {

// A byte string searched for in raw catalog text, optionally with the ASCII letters folded.
// Letters are stored in lower case when folded; every other byte compares exactly.
class Needle {
 public:
  Needle() = default;
  Needle(std::string_view text, bool fold_case);

  [[nodiscard]] bool Empty() const { return bytes_.empty(); }
  [[nodiscard]] std::size_t Size() const { return bytes_.size(); }
  [[nodiscard]] const std::string& Bytes() const { return bytes_; }

  // The first occurrence in [begin, end), or `end`. Reads ahead past `end` into the padding every
  // scanned text has (see kScanPadding).
  [[nodiscard]] const char* Find(const char* begin, const char* end) const;

 private:
  [[nodiscard]] bool MatchesAt(const char* p) const;

  std::string bytes_;
  std::string masks_;  // 0x20 where a letter is folded, else 0
};

// Zero bytes a scanned text must have after its end (the scans read ahead in blocks).
inline constexpr std::size_t kScanPadding = 64;

// The longest run of `criterion` that any catalog file holds literally wherever a field value
// contains the criterion: the characters that XML can write as entities or that the reader turns
// into blanks (& < > " ' blank and control characters) split the runs.
[[nodiscard]] std::string_view LongestLiteralRun(std::string_view criterion);

// False only when no element of the catalog text [begin, end) can have a field value containing
// a text of which `needle` is a literal run: the needle does not occur and no character
// reference could hide one of its characters. The text must be UTF-8 (see ScanProlog).
[[nodiscard]] bool TextMayContain(const char* begin, const char* end, const Needle& needle);

// One element as the scanner sees it: the raw (still escaped) value of every field attribute
// present (the first of each name), whether that value needs decoding, its depth (1 for the
// entries directly below the root) and whether it may hold a match of the needle.
struct ScannedElement {
  std::array<std::string_view, kFieldCount> raw{};
  std::array<bool, kFieldCount> present{};
  std::array<bool, kFieldCount> plain{};
  int depth = 0;
  bool may_match = true;
  // Every other attribute (the further attributes, such as media tags), in document order.
  struct Extra {
    std::string_view name;
    std::string_view raw;
    bool plain = true;
  };
  std::vector<Extra> extras;
};

// How a scan ended.
enum class ScanStatus {
  kDone,         // the whole text is a well-formed catalog and was visited
  kUnsupported,  // the text uses something the scanner leaves to the full XML reader
  kStopped,      // the visitor asked to stop
};

// Skips a UTF-8 byte-order mark and an XML declaration that names no encoding but UTF-8. Returns
// the position after them, or nullptr when the text may be in another encoding or the
// declaration is unusual (the full XML reader then decides).
[[nodiscard]] const char* ScanProlog(const char* begin, const char* end);

// Walks the catalog text [begin, end) (after ScanProlog) in document order and calls
// visit(const ScannedElement&) for every element below the root; visit returns false to stop.
// Only the plain form catalog files have is handled: elements with attributes, whitespace or
// text between them. Comments, processing instructions, CDATA, document types, unusual entity
// references and every syntax error give kUnsupported, so that the caller can hand the text to
// the full XML reader, which is the judge of well-formedness. With `needle`, `may_match` is
// false for elements whose start tag neither holds it nor any character reference.
// Needs kScanPadding zero bytes after `end`.
using ScanVisitor = std::function<bool(const ScannedElement&)>;
[[nodiscard]] ScanStatus ScanCatalogText(const char* begin, const char* end, const Needle* needle,
                                         const ScanVisitor& visit);

// Decodes a raw attribute value as the XML reader does: the five named entities and numeric
// character references, tabs and line breaks as blanks (CR LF as one). False when the value holds
// a reference the reader would treat in some other way.
[[nodiscard]] bool DecodeAttributeValue(std::string_view raw, std::string* out);

}  // namespace lumivor
