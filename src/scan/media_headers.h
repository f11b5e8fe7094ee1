#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "scan/media_readers.h"

namespace lumivor {

// A part of a file read further in: `bytes`, which begin at byte `at` of the file.
struct FileWindow {
  std::uint64_t at = 0;
  std::string_view bytes;
};

// The bytes of a file that its tags are read from: its first bytes, its last bytes, parts
// further in that a reader asked for, and its length. `tail` may overlap `head`; it is empty when
// `head` holds the whole file or when the end has not been read yet.
struct FileEnds {
  std::string_view head;
  std::string_view tail;
  std::uint64_t size = 0;
  std::vector<FileWindow> windows;
};

// How a header reader ended.
enum class HeaderRead {
  kRead,        // the tags are in the result
  kUnusual,     // something this reader does not handle: ask the libraries
  kNeedTail,    // tags at the end of the file may add to these; read the last bytes and try again
  kNeedWindow,  // the headers run on beyond the bytes read: read HeaderNeed::size bytes from
                // HeaderNeed::at as a window, and try again
};

// What a header reader asks for with kNeedWindow. A reader asks only for bytes the file holds and
// it does not have, and for at most kMostHeaderWindows windows.
struct HeaderNeed {
  std::uint64_t at = 0;
  std::size_t size = 0;
};
inline constexpr std::size_t kMostHeaderWindows = 16;

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
// structures) gives kUnusual, and the file is handed to the libraries. With kNeedWindow, `*need`
// says which bytes would do. The structures are read one after another (ID3v2 frames, FLAC
// blocks, JPEG segments), and the bodies of those that hold nothing wanted (pictures above all)
// are stepped over, not read. Tags at the end of an audio file only fill the fields those at its
// start leave empty, so the end matters only when title, artist, album or year is missing: then,
// without a tail, the reader gives kNeedTail.
[[nodiscard]] HeaderRead ReadHeaderTags(std::string_view ext, const FileEnds& bytes,
                                        RawMediaTags* tags, HeaderNeed* need);

}  // namespace lumivor
