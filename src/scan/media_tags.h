#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "catalog/attribute_columns.h"  // ClockText, for the tags' hint
#include "catalog/catalog_record.h"

namespace lumivor {

// The kinds of file whose tags the deep scan reads.
enum class MediaKind { kNone, kAudio, kPhoto, kVideo };

// The names of the tags, as they are stored after a record's eleven fields.
inline constexpr std::string_view kTagTitle = "Title";
inline constexpr std::string_view kTagArtist = "Artist";
inline constexpr std::string_view kTagAlbum = "Album";
inline constexpr std::string_view kTagYear = "Year";
inline constexpr std::string_view kTagDuration = "Duration";
inline constexpr std::string_view kTagWidth = "Width";
inline constexpr std::string_view kTagHeight = "Height";
inline constexpr std::string_view kTagDateTaken = "DateTaken";
inline constexpr std::string_view kTagCamera = "Camera";
inline constexpr std::string_view kTagCodec = "Codec";

// Tags in the order they are written: name and value, values never empty.
using MediaTags = std::vector<std::pair<std::string_view, std::string>>;

// The kind of a file named `name`, by its extension (letter case ignored): audio (mp3, flac,
// ogg, opus, m4a, wav, aiff, ...), photo (jpeg, tiff, png, webp, camera raw formats, ...) or video
// (mp4, mov, mkv, webm, avi, mpeg, ...); kNone for anything else.
[[nodiscard]] MediaKind MediaKindOf(std::string_view name);

// Reads the tags of the file open at `fd` (a regular file; not taken over) named `name`, whose
// extension tells its kind (MediaKindOf) and format:
//   audio: Title, Artist, Album, Year, Duration (seconds with one decimal);
//   photo: Width, Height, DateTaken ("YYYY-MM-DD HH:MM:SS"), Camera (make and model);
//   video: Duration, Width, Height, Codec (the video stream's codec, such as "h264").
// Only the tags present are returned; texts are trimmed and cleaned (valid UTF-8, no control
// characters). A file whose tags cannot be read gives no tags; nothing is thrown. Only the parts
// of the file that hold the tags are read (headers, and the end of the file for some audio tags).
// The common formats (mp3, FLAC, JPEG) are read from their headers in the core; the others, and
// anything unusual, through the tag libraries' module (scan/media_readers.h).
// Numbers are written the same in every locale.
[[nodiscard]] MediaTags ReadMediaTags(int fd, std::string_view name);
// The same; `no_readers` (may be null) tells whether the file needed the tag libraries' module
// and it could not be loaded (MediaReadersError says why). `size` is the file's length when the
// caller knows it (-1: not known); `first_page`, when the caller read them, the file's first
// min(size, kMediaHeadBytes) bytes, which are then not read again.
[[nodiscard]] MediaTags ReadMediaTags(int fd, std::string_view name, bool* no_readers,
                                      std::int64_t size = -1, std::string_view first_page = {});

// The first bytes of a file read for its headers: one page, which holds the tags of most files
// made by encoders and cameras without large embedded pictures; a reader that needs more says so.
inline constexpr std::size_t kMediaHeadBytes = 4096;

// The tags of the file named `name` of `size` bytes, from `head`, its first
// min(size, kMediaHeadBytes) bytes, when these alone give them: exactly what ReadMediaTags gives
// for the file. False when the file must be read (ReadMediaTags) for its tags.
[[nodiscard]] bool ReadMediaTagsFromHead(std::string_view name, std::string_view head,
                                         std::uint64_t size, MediaTags* tags);

struct RawMediaTags;

// The tags of a file of kind `kind` from the raw values a reader found: texts trimmed and
// cleaned, absent and empty values left out, the Exif date as "YYYY-MM-DD HH:MM:SS" (the original
// date, else the digitized one), the camera as make and model (the make once when the model
// repeats it), durations with one decimal.
[[nodiscard]] MediaTags MediaTagsFrom(const RawMediaTags& raw, MediaKind kind);

// The same for the file at `path`, its kind taken from its name.
[[nodiscard]] MediaTags ReadMediaTags(const std::string& path);

// `seconds` with exactly one decimal, rounded, "." as the separator: 215.049 gives "215.0".
[[nodiscard]] std::string DurationText(double seconds);

// The most telling tags of `record` in one line, for the hint of a name: "Artist – Title",
// "Width × Height", the length and the date taken, those present, joined by ", ". Empty for a
// record without any of them.
[[nodiscard]] std::string TagSummary(const CatalogRecord& record);

}  // namespace lumivor
