#include "scan/media_tags.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "catalog/fields.h"
#include "scan/media_headers.h"
#include "scan/media_readers.h"

namespace lumivor {

namespace {

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

template <std::size_t N>
bool ExtensionIn(std::string_view ext, const std::array<std::string_view, N>& list) {
  for (std::string_view known : list) {
    if (known.size() != ext.size()) continue;
    std::size_t i = 0;
    while (i < ext.size() && LowerAscii(ext[i]) == known[i]) ++i;
    if (i == ext.size()) return true;
  }
  return false;
}

constexpr std::array<std::string_view, 16> kAudioExtensions = {
    "mp3", "flac", "ogg",  "oga", "opus", "m4a", "m4b", "aac",
    "wav", "aif",  "aiff", "ape", "wv",   "mpc", "wma", "spx"};
constexpr std::array<std::string_view, 20> kPhotoExtensions = {
    "jpg", "jpeg", "jpe", "tif", "tiff", "png", "webp", "gif", "cr2", "crw",
    "nef", "arw",  "dng", "orf", "rw2",  "pef", "raf",  "srw", "psd", "jp2"};
constexpr std::array<std::string_view, 17> kVideoExtensions = {
    "mp4",  "m4v", "mov", "mkv", "webm", "avi", "mpg", "mpeg", "ts",
    "m2ts", "mts", "wmv", "flv", "3gp",  "ogv", "vob", "asf"};

// Trims blanks and NULs (padding that some tag formats leave) and cleans the text.
std::string CleanTag(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\0' || text.front() == '\t')) {
    text.remove_prefix(1);
  }
  while (!text.empty() && (text.back() == ' ' || text.back() == '\0' || text.back() == '\t')) {
    text.remove_suffix(1);
  }
  std::string clean;
  return SanitizeText(text, &clean) ? clean : std::string(text);
}

void AddTag(MediaTags& tags, std::string_view name, std::string_view value) {
  std::string clean = CleanTag(value);
  if (!clean.empty()) tags.emplace_back(name, std::move(clean));
}

void AddNumber(MediaTags& tags, std::string_view name, long long value) {
  if (value <= 0) return;
  char text[24];
  const auto end = std::to_chars(text, text + sizeof text, value).ptr;
  tags.emplace_back(name, std::string(text, end));
}

// "YYYY:MM:DD HH:MM:SS" as Exif writes it becomes "YYYY-MM-DD HH:MM:SS"; anything else
// (blanks, zeros, a broken value) gives the empty text.
std::string DateTakenText(std::string_view exif) {
  if (exif.size() < 19) return {};
  std::string text(exif.substr(0, 19));
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool separator = i == 4 || i == 7 || i == 10 || i == 13 || i == 16;
    if (separator) continue;
    if (text[i] < '0' || text[i] > '9') return {};
  }
  if (text[4] != ':' || text[7] != ':' || text[10] != ' ' || text[13] != ':' || text[16] != ':') {
    return {};
  }
  if (text.compare(0, 4, "0000") == 0) return {};
  text[4] = '-';
  text[7] = '-';
  return text;
}

// Reads `size` bytes at `at` of `fd` into `into`; false unless all of them came.
bool ReadAt(int fd, char* into, std::size_t size, std::uint64_t at) {
  const ssize_t got = ::pread(fd, into, size, static_cast<off_t>(at));
  return got == static_cast<ssize_t>(size);
}

// Reads the tags of a common format straight from the file's first and last bytes
// (ReadHeaderTags): one read of the first page (or `first_page`, when the caller read it); more
// only where the headers run further, and the last bytes only when tags kept there could matter.
// False when the format has no header reader or the file is unusual, for the libraries to read.
bool ReadFromHeaders(int fd, std::string_view ext, std::int64_t known_size, RawMediaTags* raw,
                     std::string_view first_page) {
  if (!HasHeaderReader(ext)) return false;
  if (known_size < 0) {
    struct stat info;
    if (::fstat(fd, &info) != 0) return false;
    known_size = info.st_size;
  }
  if (known_size <= 0) return false;
  const auto size = static_cast<std::uint64_t>(known_size);
  thread_local char head[kMediaHeadBytes];
  thread_local char tail[kHeaderTailBytes];
  const auto head_size = static_cast<std::size_t>(std::min<std::uint64_t>(size, kMediaHeadBytes));
  if (first_page.size() == head_size) {
    std::memcpy(head, first_page.data(), head_size);
  } else if (!ReadAt(fd, head, head_size, 0)) {
    return false;
  }
  FileEnds bytes{{head, head_size}, {}, size, {}};
  // The windows' bytes, each in its own block, which stays where it is as more are added.
  std::vector<std::unique_ptr<char[]>> windows;
  for (std::size_t tries = 0; tries < 8 + kMostHeaderWindows; ++tries) {
    HeaderNeed need;
    switch (ReadHeaderTags(ext, bytes, raw, &need)) {
      case HeaderRead::kRead:
        return true;
      case HeaderRead::kUnusual:
        return false;
      case HeaderRead::kNeedWindow: {
        if (need.size == 0 || need.at > size || need.size > size - need.at) return false;
        char* window = windows.emplace_back(new char[need.size]).get();
        if (!ReadAt(fd, window, need.size, need.at)) return false;
        bytes.windows.push_back({need.at, {window, need.size}});
        break;
      }
      case HeaderRead::kNeedTail: {
        if (!bytes.tail.empty() || head_size >= size) return false;
        const auto tail_size = static_cast<std::size_t>(std::min<std::uint64_t>(size, sizeof tail));
        if (!ReadAt(fd, tail, tail_size, size - tail_size)) return false;
        bytes.tail = {tail, tail_size};
        break;
      }
    }
  }
  return false;
}

void AddDuration(MediaTags& tags, double seconds) {
  if (!(seconds > 0)) return;
  if (std::string text = DurationText(seconds); !text.empty()) {
    tags.emplace_back(kTagDuration, std::move(text));
  }
}

void AddSize(MediaTags& tags, const RawMediaTags& raw) {
  if (raw.width > 0 && raw.height > 0) {
    AddNumber(tags, kTagWidth, raw.width);
    AddNumber(tags, kTagHeight, raw.height);
  }
}

}  // namespace

MediaKind MediaKindOf(std::string_view name) {
  const std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return MediaKind::kNone;
  const std::string_view ext = name.substr(dot + 1);
  if (ExtensionIn(ext, kAudioExtensions)) return MediaKind::kAudio;
  if (ExtensionIn(ext, kPhotoExtensions)) return MediaKind::kPhoto;
  if (ExtensionIn(ext, kVideoExtensions)) return MediaKind::kVideo;
  return MediaKind::kNone;
}

std::string DurationText(double seconds) {
  if (!(seconds >= 0) || seconds > 1e12) return {};
  const auto tenths = static_cast<long long>(std::llround(seconds * 10));
  char text[32];
  char* end = std::to_chars(text, text + sizeof text - 2, tenths / 10).ptr;
  *end++ = '.';
  *end++ = static_cast<char>('0' + tenths % 10);
  return {text, end};
}

MediaTags MediaTagsFrom(const RawMediaTags& raw, MediaKind kind) {
  MediaTags tags;
  switch (kind) {
    case MediaKind::kAudio:
      AddTag(tags, kTagTitle, raw.title);
      AddTag(tags, kTagArtist, raw.artist);
      AddTag(tags, kTagAlbum, raw.album);
      AddNumber(tags, kTagYear, raw.year);
      AddDuration(tags, raw.duration_seconds);
      break;
    case MediaKind::kPhoto: {
      AddSize(tags, raw);
      std::string date = DateTakenText(CleanTag(raw.date_original));
      if (date.empty()) date = DateTakenText(CleanTag(raw.date_digitized));
      AddTag(tags, kTagDateTaken, date);
      const std::string make = CleanTag(raw.make), model = CleanTag(raw.model);
      // Many cameras repeat the make at the start of the model ("Canon" and "Canon EOS 5D").
      if (make.empty() || model.rfind(make, 0) == 0) {
        AddTag(tags, kTagCamera, model);
      } else {
        AddTag(tags, kTagCamera, model.empty() ? make : make + " " + model);
      }
      break;
    }
    case MediaKind::kVideo:
      AddTag(tags, kTagTitle, raw.title);
      AddDuration(tags, raw.duration_seconds);
      AddSize(tags, raw);
      AddTag(tags, kTagCodec, raw.codec);
      break;
    case MediaKind::kNone:
      break;
  }
  return tags;
}

MediaTags ReadMediaTags(int fd, std::string_view name, bool* no_readers, std::int64_t size,
                        std::string_view first_page) {
  if (no_readers) *no_readers = false;
  const MediaKind kind = MediaKindOf(name);
  if (kind == MediaKind::kNone) return {};
  RawMediaTags raw;
  if (ReadFromHeaders(fd, name.substr(name.rfind('.') + 1), size, &raw, first_page)) {
    return MediaTagsFrom(raw, kind);
  }
  const MediaReaderApi* readers = MediaReaders();
  if (!readers) {
    if (no_readers) *no_readers = true;
    return {};
  }
  raw = {};
  if (!readers->read_tags(fd, name, kind, &raw)) throw std::bad_alloc();
  return MediaTagsFrom(raw, kind);
}

MediaTags ReadMediaTags(int fd, std::string_view name) { return ReadMediaTags(fd, name, nullptr); }

bool ReadMediaTagsFromHead(std::string_view name, std::string_view head, std::uint64_t size,
                           MediaTags* tags) {
  // The first step of ReadFromHeaders, on bytes read by the caller.
  const MediaKind kind = MediaKindOf(name);
  const std::string_view ext = name.substr(name.rfind('.') + 1);
  if (kind == MediaKind::kNone || !HasHeaderReader(ext) || size == 0 ||
      head.size() != std::min<std::uint64_t>(size, kMediaHeadBytes)) {
    return false;
  }
  RawMediaTags raw;
  HeaderNeed need;
  if (ReadHeaderTags(ext, {head, {}, size, {}}, &raw, &need) != HeaderRead::kRead) return false;
  *tags = MediaTagsFrom(raw, kind);
  return true;
}

std::string TagSummary(const CatalogRecord& record) {
  std::vector<std::string> parts;
  const std::string_view artist = record.Extra(kTagArtist), title = record.Extra(kTagTitle);
  if (!artist.empty() && !title.empty()) {
    parts.push_back(std::string(artist) + " \u2013 " + std::string(title));
  } else if (!artist.empty() || !title.empty()) {
    parts.emplace_back(artist.empty() ? title : artist);
  }
  const std::string_view width = record.Extra(kTagWidth), height = record.Extra(kTagHeight);
  if (!width.empty() && !height.empty()) {
    parts.push_back(std::string(width) + " \u00D7 " + std::string(height));
  }
  if (std::string clock = ClockText(record.Extra(kTagDuration)); !clock.empty()) {
    parts.push_back(std::move(clock));
  }
  if (const std::string_view taken = record.Extra(kTagDateTaken); !taken.empty()) {
    parts.emplace_back(taken);
  }
  std::string summary;
  for (const std::string& part : parts) {
    if (!summary.empty()) summary += ", ";
    summary += part;
  }
  return summary;
}

MediaTags ReadMediaTags(const std::string& path) {
  const std::string_view name = std::string_view(path).substr(path.rfind('/') + 1);
  if (MediaKindOf(name) == MediaKind::kNone) return {};
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  MediaTags tags = ReadMediaTags(fd, name);
  ::close(fd);
  return tags;
}

}  // namespace lumivor
