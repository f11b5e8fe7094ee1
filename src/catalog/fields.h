#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

namespace lumivor {

// The eleven fields of a record. The index is the field's number everywhere: the order of the
// fields in a record, the order of the attributes in a catalog file, the default column order.
enum FieldIndex : int {
  kFileName = 0,
  kFullPath = 1,
  kFileSize = 2,
  kFileTime = 3,
  kFileExt = 4,
  kFileType = 5,
  kDescription = 6,
  kFileNameLength = 7,
  kPathNameLength = 8,
  kSizePercentage = 9,
  kCatalogName = 10,
};

inline constexpr int kFieldCount = 11;

// The field table: the names double as XML attribute names, column names and configuration keys.
inline constexpr std::array<std::string_view, kFieldCount> FieldNames = {
    "FileName",    "FullPath",       "FileSize",       "FileTime",       "FileExt",    "FileType",
    "Description", "FileNameLength", "PathNameLength", "SizePercentage", "CatalogName"};

inline constexpr std::string_view kDirectoryType = "directory";
inline constexpr std::string_view kFileTypeText = "file";

// The further attribute holding a file's content hash: the algorithm's name, ":" and the hash in
// lower-case hex ("xxh128:...", "md5:..."), so that hashes of two algorithms never compare equal.
inline constexpr std::string_view kHashAttribute = "Hash";
// The further attribute that tells hard links apart: "<device>:<inode>" of a regular file with more
// than one link. Two entries of one catalog with the same value are one file reached twice.
inline constexpr std::string_view kLinkIdAttribute = "LinkId";

// How a field sorts.
enum class SortKind { kText, kNumber, kDate, kFixed };

// The sort kind of field `index` (0..10).
[[nodiscard]] SortKind SortKindOf(int index);

// The index of the field named exactly `name` (case-sensitive); 0 (FileName) for any other name.
[[nodiscard]] int FieldIndexOf(std::string_view name);

// The index of the field named exactly `name`, or -1 for any other name (the lookup every reader
// uses for attribute names).
[[nodiscard]] int FieldIndexOrNone(std::string_view name);
// True when `name` is exactly one of the field names.
[[nodiscard]] bool IsFieldName(std::string_view name);

// True when the text parses as a decimal floating-point number ("." as decimal separator,
// surrounding blanks allowed). The empty text is not a number.
[[nodiscard]] bool IsNumberText(std::string_view text);

// The value of a number text; a text that is not a number counts as 0.
[[nodiscard]] double NumberTextValue(std::string_view text);

// 1 when the value of `a` is greater than the value of `b`, -1 otherwise (equal values give -1).
// A text that is not a number counts as 0.
[[nodiscard]] int CompareNumberText(std::string_view a, std::string_view b);

// Compares two FileTime texts: -1 when `a` is empty, 1 when `b` is empty, 1 when either does not
// parse, 0 for the same instant, 1 when `a` is later, -1 otherwise.
[[nodiscard]] int CompareDateText(std::string_view a, std::string_view b);

// Case-insensitive comparison in which only the ASCII letters are folded; other characters compare
// by their code. Returns -1, 0 or 1.
[[nodiscard]] int CompareFoldedText(std::string_view a, std::string_view b);

// The FileTime text of `time` in local time: "YYYY-MM-DD HH:MM:SS", or "YYYY-MM-DD" at exactly
// midnight. The seconds are taken as they are; callers that want two-second resolution round first.
// Every 64-bit time formats: a year after 9999 with all its digits, a year before 1 as a
// proleptic Gregorian year with a minus sign ("-0001" is the year before "0000").
[[nodiscard]] std::string FormatFileTime(std::time_t time);

// The same for an already broken-down local time.
[[nodiscard]] std::string FormatFileTime(const std::tm& local);

// The same for a local wall-clock time counted in seconds from 1970-01-01 00:00:00, written into
// `buffer`; the text returned points into it.
std::string_view FormatLocalSeconds(std::int64_t local_seconds, char (&buffer)[40]);

// Parses a FileTime text into its broken-down parts; false when it is not exactly of that form.
[[nodiscard]] bool ParseFileTime(std::string_view text, std::tm* out);

// Formats `value` with exactly two decimals and "." ("0.00").
[[nodiscard]] std::string FormatPercentage(double value);

// Formats a non-negative whole number of bytes (carried as double) without decimals.
[[nodiscard]] std::string FormatWholeNumber(double value);

// The number of Unicode code points in a UTF-8 text.
[[nodiscard]] std::size_t CodePointCount(std::string_view text);

// The extension of the last component of `path`: the text after the last "." or "/", provided
// that character is "."; otherwise empty. So "a.b/c" gives "" and "c.tar.gz" gives "gz", and a
// file named ".txt" has the extension "txt".
[[nodiscard]] std::string_view ExtensionOf(std::string_view path);

// The last component of `path` (trailing "/" ignored; "/" stays "/"), cut before its first ".":
// /lib/Music.2009.xml gives Music and /data/Photos gives Photos.
[[nodiscard]] std::string BaseNameOf(std::string_view path);

// The text made safe to store: invalid UTF-8 sequences and control characters other than TAB, LF
// and CR become U+FFFD, so that every record can be written as well-formed XML. Returns true and
// fills `out` when something had to change; false (and `out` untouched) when `text` was clean.
bool SanitizeText(std::string_view text, std::string* out);

}  // namespace lumivor
