#pragma once

// The tag and archive readers that need large libraries (TagLib, Exiv2, FFmpeg, libarchive) live
// in a shared module that is loaded only when a deep scan first needs it, so that every other use
// of the programs starts without those libraries. The module hands back raw values; the rules
// that make tags and archive entries out of them (cleaning, dates, folder trees) stay in the core.

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace lumivor {

enum class MediaKind;
enum class ArchiveOutcome;

// The values a reader found, before they are cleaned; empty texts and zeros stand for "absent".
struct RawMediaTags {
  // Music.
  std::string title, artist, album;
  long long year = 0;
  // Music and video: the length in seconds.
  double duration_seconds = 0;
  // Photos and video: the picture size in pixels.
  long long width = 0, height = 0;
  // Photos: the Exif texts as stored ("YYYY:MM:DD HH:MM:SS"), and the camera's make and model.
  std::string date_original, date_digitized, make, model;
  // Video: the codec of the video stream ("h264").
  std::string codec;

  bool operator==(const RawMediaTags&) const = default;
};

// What the archive reader reports for each header it reads.
class ArchiveVisitor {
 public:
  virtual ~ArchiveVisitor() = default;
  // True when the listing should stop; asked before each header, and as a compressed archive is
  // read between headers.
  [[nodiscard]] virtual bool Cancelled() = 0;
  // One entry: its path as stored (UTF-8 where the archive tells the encoding), whether it is a
  // folder, its uncompressed size (0 when unknown) and time (0 when unknown).
  virtual void Entry(const char* path, bool directory, std::uint64_t size, std::time_t mtime) = 0;
};

// The entry points of the module. They read the regular file open at `fd` (not taken over), or
// bytes in memory, and never throw: a file the libraries cannot read is reported as such (no
// tags, kDamaged), and memory that runs out as kOutOfMemory (or false), for the caller to raise.
struct MediaReaderApi {
  // Set to kMediaReaderApiVersion and sizeof(MediaReaderApi): a module from another build of the
  // program is refused rather than called with the wrong layout.
  int version;
  std::size_t size;
  // Fills `tags` with what the file named `name` of kind `kind` holds; false when memory ran out
  // (a damaged file gives true and what could be read of it).
  bool (*read_tags)(int fd, std::string_view name, MediaKind kind, RawMediaTags* tags);
  // Reads the archive's headers from its start, reporting each entry to `visitor`; returns how
  // the listing ended (never kListed when the visitor cancelled).
  ArchiveOutcome (*list_archive)(int fd, ArchiveVisitor* visitor);
  // The same for an archive held whole in memory: `size` bytes at `data`.
  ArchiveOutcome (*list_archive_bytes)(const char* data, std::size_t size, ArchiveVisitor* visitor);
};

inline constexpr int kMediaReaderApiVersion = 3;

// The file name of the module and the function it exports, which returns its MediaReaderApi.
inline constexpr const char* kMediaReaderModuleName = "liblumivor_media.so";
inline constexpr const char* kMediaReaderEntryPoint = "lumivor_media_readers";

// Loads the first of `candidates` (paths of the module) that can be loaded and is of this build.
// Null when none can; `error` (may be null) then says why, naming each path tried.
[[nodiscard]] const MediaReaderApi* LoadMediaReaders(const std::vector<std::string>& candidates,
                                                     std::string* error);

// The places the module is looked for, in order: $LUMIVOR_MEDIA_MODULE when set (alone); beside
// the running program; the library folder of an installation (../lib/lumivor beside bin/); and
// the build tree this program was built in.
[[nodiscard]] std::vector<std::string> MediaReaderCandidates();

// The process's readers, loaded on the first call (from MediaReaderCandidates); null when they
// cannot be loaded, and MediaReadersError() then says why. Safe to call from any thread.
[[nodiscard]] const MediaReaderApi* MediaReaders();
[[nodiscard]] const std::string& MediaReadersError();

}  // namespace lumivor
