#pragma once

#include <cstdint>
#include <string_view>

#include "core/media_readers.h"

namespace lumivor {

// The bytes of a file that its tags are read from: its first bytes, its last bytes, and its
// length. `tail` may overlap `head`; it is empty when `head` holds the whole file or when the end
// has not been read yet.
struct FileEnds {
  std::string_view head;
  std::string_view tail;
  std::uint64_t size = 0;
};

// How a header reader ended.
enum class HeaderRead {
  kRead,      // the tags are in the result
  kNeedMore,  // the tags lie beyond the head; read the first NeededHead bytes and try again
  kUnusual,   // something this reader does not handle: ask the libraries
  kNeedTail,  // tags at the end of the file may add to these; read the last bytes and try again
};

// The bytes of the tail a header reader needs: an ID3v1 tag and the APE footer before it.
inline constexpr std::size_t kHeaderTailBytes = 160;

// True when ReadHeaderTags knows the format of a file with extension `ext` (letter case ignored):
// mp3, flac and JPEG.
[[nodiscard]] bool HasHeaderReader(std::string_view ext);

// Reads the tags of the most common formats straight from their headers, giving exactly what
// the tag libraries give for them: mp3 (ID3v2.3/2.4 text frames and the length from the Xing or
// Info frame), FLAC (STREAMINFO and the Vorbis comment) and JPEG (the frame size and the Exif
// make, model and dates). Anything unusual (ID3v1 or APE tags at the end, unsynchronised or
// compressed frames, several values in one field, a stream without a Xing frame, damaged
// structures) gives kUnusual, and the file is handed to the libraries. With kNeedMore,
// `*needed` is the size of head that would do. Tags at the end of an audio file only fill the
// fields those at its start leave empty, so the end matters only when title, artist, album or
// year is missing: then, without a tail, the reader gives kNeedTail.
[[nodiscard]] HeaderRead ReadHeaderTags(std::string_view ext, const FileEnds& bytes,
                                        RawMediaTags* tags, std::size_t* needed);

}  // namespace lumivor
