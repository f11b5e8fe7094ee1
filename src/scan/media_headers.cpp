#include "scan/media_headers.h"

#include <utf8.h>

#include <algorithm>
#include <array>
#include <climits>
#include <exception>
#include <string>
#include <vector>

namespace lumivor {

namespace {

// The most a header reader asks for at once: a structure larger than that (a tag text, an Exif
// block) is left to the libraries.
constexpr std::size_t kMostHead = 256 * 1024;
// The least a window asks for: a page, which usually holds the next few structures as well.
constexpr std::size_t kWindowBytes = 4096;

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool ExtensionIs(std::string_view ext, std::string_view known) {
  if (ext.size() != known.size()) return false;
  for (std::size_t i = 0; i < ext.size(); ++i) {
    if (LowerAscii(ext[i]) != known[i]) return false;
  }
  return true;
}

unsigned Byte(std::string_view data, std::size_t at) {
  return static_cast<unsigned char>(data[at]);
}

std::uint32_t Big16(std::string_view data, std::size_t at) {
  return Byte(data, at) << 8 | Byte(data, at + 1);
}
std::uint32_t Big24(std::string_view data, std::size_t at) {
  return Byte(data, at) << 16 | Big16(data, at + 1);
}
std::uint32_t Big32(std::string_view data, std::size_t at) {
  return Byte(data, at) << 24 | Big24(data, at + 1);
}
std::uint32_t Little32(std::string_view data, std::size_t at) {
  return Byte(data, at + 3) << 24 | Byte(data, at + 2) << 16 | Byte(data, at + 1) << 8 |
         Byte(data, at);
}

// The outcome of one step of a reader; kRead means "go on".
using Step = HeaderRead;

// The bytes of the file from `at` to the end of the part read (the head, a window or the tail)
// that holds at least `length` of them; false when no part does.
bool Span(const FileEnds& bytes, std::uint64_t at, std::uint64_t length, std::string_view* out) {
  auto in = [&](std::uint64_t start, std::string_view part) {
    if (at < start || at - start > part.size() || length > part.size() - (at - start)) {
      return false;
    }
    *out = part.substr(static_cast<std::size_t>(at - start));
    return true;
  };
  if (in(0, bytes.head)) return true;
  for (const FileWindow& window : bytes.windows) {
    if (in(window.at, window.bytes)) return true;
  }
  return !bytes.tail.empty() && in(bytes.size - bytes.tail.size(), bytes.tail);
}

// Asks for `length` bytes from `at`, and `more` after them where the file has them (a page at
// least); a structure that runs past the file's end, one too large, or one more window than
// allowed is for the libraries.
HeaderRead NeedWindow(const FileEnds& bytes, std::uint64_t at, std::uint64_t length,
                      HeaderNeed* need, std::uint64_t more = 0) {
  if (at > bytes.size || length > bytes.size - at || length > kMostHead ||
      bytes.windows.size() >= kMostHeaderWindows) {
    return HeaderRead::kUnusual;
  }
  need->at = at;
  need->size = static_cast<std::size_t>(std::min<std::uint64_t>(
      std::max<std::uint64_t>(length + more, kWindowBytes), bytes.size - at));
  return HeaderRead::kNeedWindow;
}

// An ID3v1 tag ("TAG" 128 bytes before the end) or an APE tag footer ("APETAGEX" 32 bytes before
// the end) that the libraries would merge with the tags at the start.
bool HasEndTags(const FileEnds& bytes) {
  auto at_end = [&](std::size_t back, std::string_view magic) {
    if (bytes.size < back) return false;
    const std::uint64_t at = bytes.size - back;
    const std::string_view ends = bytes.tail.empty() ? bytes.head : bytes.tail;
    const std::uint64_t ends_start = bytes.size - ends.size();
    if (at < ends_start) return true;  // not read: treat as present, so the libraries look
    return ends.substr(static_cast<std::size_t>(at - ends_start), magic.size()) == magic;
  };
  return at_end(128, "TAG") || at_end(32, "APETAGEX");
}

// How a reader of audio tags ends once the tags at the start of the file are read: the tag
// libraries merge tags at the end (ID3v1, APE) field by field, each field taken from the first
// tag that has it, so the end matters only for the fields the start leaves empty.
HeaderRead CheckEndTags(const FileEnds& bytes, const RawMediaTags& tags) {
  if (!tags.title.empty() && !tags.artist.empty() && !tags.album.empty() && tags.year > 0) {
    return HeaderRead::kRead;
  }
  if (bytes.tail.empty() && bytes.head.size() < bytes.size) return HeaderRead::kNeedTail;
  return HasEndTags(bytes) ? HeaderRead::kUnusual : HeaderRead::kRead;
}

// The number at the start of a year field, read as the libraries read it ("2001-05-03" is 2001);
// false for a field that does not start with a digit or whose number is too long.
bool LeadingNumber(std::string_view text, long long* value) {
  *value = 0;
  std::size_t digits = 0;
  while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') {
    *value = *value * 10 + (text[digits] - '0');
    ++digits;
  }
  return digits > 0 && digits <= 9;
}

// ---- ID3v2 and MPEG audio ----

// Decodes the text of an ID3v2 text frame (encoding byte and text) into UTF-8. False for
// anything but one plain value: several values, an unknown encoding, broken UTF-8 or UTF-16.
bool Id3Text(std::string_view data, std::string* out) {
  if (data.empty()) return false;
  const unsigned encoding = Byte(data, 0);
  std::string_view text = data.substr(1);
  const std::size_t unit = encoding == 1 || encoding == 2 ? 2 : 1;
  if (encoding > 3 || text.size() % unit != 0) return false;
  // Trailing terminators go; one inside would separate several values.
  auto zero_at = [&](std::size_t at) {
    for (std::size_t i = 0; i < unit; ++i) {
      if (text[at + i] != '\0') return false;
    }
    return true;
  };
  while (text.size() >= unit && zero_at(text.size() - unit)) text.remove_suffix(unit);
  for (std::size_t at = 0; at < text.size(); at += unit) {
    if (zero_at(at)) return false;
  }
  out->clear();
  try {
    switch (encoding) {
      case 0:  // ISO-8859-1
        for (const char c : text)
          utf8::append(static_cast<unsigned char>(c), std::back_inserter(*out));
        return true;
      case 3:  // UTF-8
        if (!utf8::is_valid(text.begin(), text.end())) return false;
        out->assign(text);
        return true;
      default: {  // UTF-16 with a byte order mark (1) or big-endian (2)
        bool big = encoding == 2;
        if (encoding == 1) {
          if (text.size() < 2) return text.empty();
          const unsigned mark = Byte(text, 0) << 8 | Byte(text, 1);
          if (mark != 0xFEFF && mark != 0xFFFE) return false;
          big = mark == 0xFEFF;
          text.remove_prefix(2);
        }
        std::vector<std::uint16_t> units;
        for (std::size_t at = 0; at + 1 < text.size(); at += 2) {
          units.push_back(
              static_cast<std::uint16_t>(big ? Byte(text, at) << 8 | Byte(text, at + 1)
                                             : Byte(text, at + 1) << 8 | Byte(text, at)));
        }
        for (std::uint16_t u : units) {
          if (u == 0xFEFF || u == 0xFFFE) return false;  // a second mark: left to the libraries
        }
        utf8::utf16to8(units.begin(), units.end(), std::back_inserter(*out));
        return true;
      }
    }
  } catch (const utf8::exception&) {
    return false;  // an unpaired surrogate
  }
}

// The frame size of an ID3v2.4 tag or frame: four bytes of seven bits each.
bool SyncSafe(std::string_view data, std::size_t at, std::uint32_t* value) {
  *value = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    if (Byte(data, at + i) & 0x80) return false;
    *value = *value << 7 | Byte(data, at + i);
  }
  return true;
}

// The MPEG audio frame header at `at` of `data`: its length in bytes, samples and sample rate.
struct MpegHeader {
  unsigned version_bits = 0, layer_bits = 0, rate_bits = 0;
  std::uint32_t length = 0;
  int samples = 0, sample_rate = 0;
};

bool ParseMpegHeader(std::string_view data, std::size_t at, MpegHeader* header) {
  if (at + 4 > data.size() || Byte(data, at) != 0xFF || (Byte(data, at + 1) & 0xE0) != 0xE0) {
    return false;
  }
  const unsigned b1 = Byte(data, at + 1), b2 = Byte(data, at + 2);
  header->version_bits = b1 >> 3 & 3;  // 0: MPEG 2.5, 2: MPEG 2, 3: MPEG 1
  header->layer_bits = b1 >> 1 & 3;    // 1: layer III, 2: layer II, 3: layer I
  const unsigned bitrate_index = b2 >> 4;
  header->rate_bits = b2 >> 2 & 3;
  if (header->version_bits == 1 || header->layer_bits == 0 || bitrate_index == 0 ||
      bitrate_index == 15 || header->rate_bits == 3) {
    return false;
  }
  static constexpr int kBitrates[2][3][15] = {
      {{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
       {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
       {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320}},
      {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
       {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
       {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}}};
  static constexpr int kRates[3][3] = {
      {44100, 48000, 32000}, {22050, 24000, 16000}, {11025, 12000, 8000}};
  const int version = header->version_bits == 3 ? 0 : header->version_bits == 2 ? 1 : 2;
  const int layer = 3 - static_cast<int>(header->layer_bits);  // 0: I, 1: II, 2: III
  const int bitrate = kBitrates[version == 0 ? 0 : 1][layer][bitrate_index];
  header->sample_rate = kRates[version][header->rate_bits];
  static constexpr int kSamples[3][2] = {{384, 384}, {1152, 1152}, {1152, 576}};
  header->samples = kSamples[layer][version == 0 ? 0 : 1];
  header->length =
      static_cast<std::uint32_t>(header->samples * bitrate * 125 / header->sample_rate);
  if (b2 & 0x02) header->length += layer == 0 ? 4 : 1;
  return header->length >= 4;
}

// Reads the ID3v2 frames of `version` (3 or 4) between byte 10 and `frames_end`: each frame's
// header, and the body only of the frames wanted (title, artist, album, year), so that a large
// picture in the tag is stepped over rather than read. kRead when all were read.
HeaderRead ReadId3Frames(const FileEnds& bytes, unsigned version, std::uint64_t frames_end,
                         RawMediaTags* tags, HeaderNeed* need) {
  bool seen[4] = {};
  for (std::uint64_t at = 10; at + 10 <= frames_end;) {
    std::string_view header;
    if (!Span(bytes, at, 10, &header)) return NeedWindow(bytes, at, 10, need);
    if (header[0] == '\0') break;  // padding
    const std::string_view id = header.substr(0, 4);
    for (const char c : id) {
      if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))) return HeaderRead::kUnusual;
    }
    std::uint32_t size = 0;
    if (version == 4) {
      if (!SyncSafe(header, 4, &size)) return HeaderRead::kUnusual;
    } else {
      size = Big32(header, 4);
    }
    const unsigned format_flags = Byte(header, 9);
    // Compressed, encrypted, grouped or unsynchronised frames, or a data length indicator.
    if (version == 4 ? (format_flags & 0x4F) != 0 : (format_flags & 0xE0) != 0) {
      return HeaderRead::kUnusual;
    }
    if (size == 0 || at + 10 + std::uint64_t{size} > frames_end) return HeaderRead::kUnusual;
    static constexpr std::array<std::string_view, 4> kIds = {"TIT2", "TPE1", "TALB", "TDRC"};
    constexpr std::size_t kOther = kIds.size();
    std::size_t which = kOther;
    for (std::size_t i = 0; i < kIds.size(); ++i) {
      if (id == kIds[i]) which = i;
    }
    // The year frame of version 2.3 is TYER, which the libraries turn into TDRC; a TDRC in 2.3 or
    // a TYER in 2.4 is left to them.
    if ((id == "TYER" && version == 4) || (id == "TDRC" && version == 3)) {
      return HeaderRead::kUnusual;
    }
    if (id == "TYER") which = 3;
    if (which != kOther) {
      if (seen[which]) return HeaderRead::kUnusual;
      seen[which] = true;
      std::string_view body;
      if (!Span(bytes, at + 10, size, &body)) return NeedWindow(bytes, at + 10, size, need);
      body = body.substr(0, size);
      std::string text;
      if (!Id3Text(body, &text)) return HeaderRead::kUnusual;
      switch (which) {
        case 0:
          tags->title = std::move(text);
          break;
        case 1:
          tags->artist = std::move(text);
          break;
        case 2:
          tags->album = std::move(text);
          break;
        default: {
          // The year is the number at the start of the first four characters.
          const std::string_view year = std::string_view(text).substr(0, 4);
          if (!year.empty() && !LeadingNumber(year, &tags->year)) return HeaderRead::kUnusual;
        }
      }
    }
    at += 10 + std::uint64_t{size};
  }
  return HeaderRead::kRead;
}

// The length of the MPEG stream that starts at `audio`: the first frame must carry a Xing or
// Info header with the number of frames and bytes; a stream without one is measured by the
// libraries. The first frame (at most 2,881 bytes) and the header after it lie within 2,900 bytes.
HeaderRead ReadMp3Length(const FileEnds& bytes, std::uint64_t audio, RawMediaTags* tags,
                         HeaderNeed* need) {
  if (audio >= bytes.size) return HeaderRead::kUnusual;
  const std::uint64_t stream_bytes_wanted = std::min<std::uint64_t>(2900, bytes.size - audio);
  std::string_view stream;
  if (!Span(bytes, audio, stream_bytes_wanted, &stream)) {
    return NeedWindow(bytes, audio, stream_bytes_wanted, need);
  }
  MpegHeader first, next;
  if (!ParseMpegHeader(stream, 0, &first)) return HeaderRead::kUnusual;
  if (std::size_t{first.length} + 4 > stream.size() ||
      !ParseMpegHeader(stream, first.length, &next) || next.version_bits != first.version_bits ||
      next.layer_bits != first.layer_bits || next.rate_bits != first.rate_bits) {
    return HeaderRead::kUnusual;
  }
  const std::string_view frame = stream.substr(0, first.length);
  std::size_t xing = frame.find("Xing");
  if (xing == std::string_view::npos) xing = frame.find("Info");
  if (xing == std::string_view::npos || xing + 16 > frame.size() ||
      (Byte(frame, xing + 7) & 0x03) != 0x03) {
    return HeaderRead::kUnusual;
  }
  const std::uint32_t frames = Big32(frame, xing + 8), stream_bytes = Big32(frame, xing + 12);
  if (frames == 0 || stream_bytes == 0) return HeaderRead::kUnusual;
  const double milliseconds = first.samples * 1000.0 / first.sample_rate * frames;
  if (milliseconds + 0.5 >= INT_MAX) return HeaderRead::kUnusual;
  tags->duration_seconds = static_cast<int>(milliseconds + 0.5) / 1000.0;
  return HeaderRead::kRead;
}

HeaderRead ReadMp3(const FileEnds& bytes, RawMediaTags* tags, HeaderNeed* need) {
  const std::string_view head = bytes.head;
  if (head.size() < 10 || head.substr(0, 3) != "ID3") return HeaderRead::kUnusual;
  const unsigned version = Byte(head, 3), flags = Byte(head, 5);
  std::uint32_t tag_size = 0;
  // Unsynchronisation (0x80) and an extended header (0x40) are left to the libraries.
  if ((version != 3 && version != 4) || (flags & 0xC0) || !SyncSafe(head, 6, &tag_size)) {
    return HeaderRead::kUnusual;
  }
  const std::uint64_t frames_end = 10 + std::uint64_t{tag_size};
  const std::uint64_t audio = frames_end + ((flags & 0x10) ? 10 : 0);
  if (frames_end > bytes.size) return HeaderRead::kUnusual;  // the tag runs past the file's end

  if (const HeaderRead read = ReadId3Frames(bytes, version, frames_end, tags, need);
      read != HeaderRead::kRead) {
    return read;
  }
  if (const HeaderRead read = ReadMp3Length(bytes, audio, tags, need); read != HeaderRead::kRead) {
    return read;
  }
  return CheckEndTags(bytes, *tags);
}

// ---- FLAC ----

HeaderRead ReadVorbisComment(std::string_view data, RawMediaTags* tags) {
  if (data.size() < 8) return HeaderRead::kUnusual;
  const std::uint64_t vendor = Little32(data, 0);
  if (4 + vendor + 4 > data.size()) return HeaderRead::kUnusual;
  std::size_t at = 4 + static_cast<std::size_t>(vendor);
  const std::uint32_t count = Little32(data, at);
  at += 4;
  if (count > (data.size() - 8) / 4) return HeaderRead::kUnusual;
  std::string* texts[3] = {&tags->title, &tags->artist, &tags->album};
  // Lower case: field names are compared with ASCII letter case ignored.
  static constexpr std::array<std::string_view, 5> kKeys = {"title", "artist", "album", "date",
                                                            "year"};
  std::string years[2];
  for (std::uint32_t i = 0; i < count; ++i) {
    if (at + 4 > data.size()) return HeaderRead::kUnusual;
    const std::uint64_t length = Little32(data, at);
    at += 4;
    if (at + length > data.size()) return HeaderRead::kUnusual;
    const std::string_view field = data.substr(at, static_cast<std::size_t>(length));
    at += static_cast<std::size_t>(length);
    const std::size_t equals = field.find('=');
    if (equals == std::string_view::npos || equals == 0) return HeaderRead::kUnusual;
    const std::string_view key = field.substr(0, equals), value = field.substr(equals + 1);
    std::size_t which = kKeys.size();
    for (const char c : key) {
      if (c < 0x20 || c > 0x7D) return HeaderRead::kUnusual;
    }
    for (std::size_t k = 0; k < kKeys.size(); ++k) {
      if (ExtensionIs(key, kKeys[k])) which = k;  // ASCII letter case ignored
    }
    if (which == kKeys.size() || value.empty()) continue;  // empty values are not kept
    if (value.find('\0') != std::string_view::npos || !utf8::is_valid(value.begin(), value.end())) {
      return HeaderRead::kUnusual;
    }
    std::string& target = which < 3 ? *texts[which] : years[which - 3];
    if (!target.empty()) return HeaderRead::kUnusual;  // several values
    target.assign(value);
  }
  const std::string& year = !years[0].empty() ? years[0] : years[1];
  if (!year.empty() && !LeadingNumber(year, &tags->year)) return HeaderRead::kUnusual;
  return HeaderRead::kRead;
}

HeaderRead ReadFlac(const FileEnds& bytes, RawMediaTags* tags, HeaderNeed* need) {
  const std::string_view head = bytes.head;
  if (head.size() < 8 || head.substr(0, 4) != "fLaC") return HeaderRead::kUnusual;
  bool stream_info = false, comment = false;
  // The metadata blocks one after another: each block's header, and the body only of the stream
  // information and the comment, so that a picture block is stepped over rather than read.
  std::uint64_t at = 4;
  for (bool last = false; !last;) {
    std::string_view header;
    if (!Span(bytes, at, 4, &header)) return NeedWindow(bytes, at, 4, need);
    last = (Byte(header, 0) & 0x80) != 0;
    const unsigned type = Byte(header, 0) & 0x7F;
    const std::uint32_t length = Big24(header, 1);
    at += 4;
    if (type == 127 || (length == 0 && type != 1) || (!stream_info && type != 0)) {
      return HeaderRead::kUnusual;
    }
    if (type == 0 || type == 4) {
      std::string_view data;
      if (!Span(bytes, at, length, &data)) return NeedWindow(bytes, at, length, need, kWindowBytes);
      data = data.substr(0, length);
      if (type == 0) {
        if (stream_info || length < 18) return HeaderRead::kUnusual;
        stream_info = true;
        const std::uint32_t flags = Big32(data, 10);
        const std::uint32_t rate = flags >> 12;
        const std::uint64_t samples = std::uint64_t{flags & 0xF} << 32 | Big32(data, 14);
        if (samples > 0 && rate > 0) {
          const double milliseconds = static_cast<double>(samples) * 1000.0 / rate;
          if (milliseconds + 0.5 >= INT_MAX) return HeaderRead::kUnusual;
          tags->duration_seconds = static_cast<int>(milliseconds + 0.5) / 1000.0;
        }
      } else {
        if (comment) return HeaderRead::kUnusual;
        comment = true;
        if (const HeaderRead read = ReadVorbisComment(data, tags); read != HeaderRead::kRead) {
          return read;
        }
      }
    }
    at += length;
    if (at > bytes.size) return HeaderRead::kUnusual;
  }
  return stream_info ? CheckEndTags(bytes, *tags) : HeaderRead::kUnusual;
}

// ---- JPEG and Exif ----

// The value of an Exif ASCII entry; false when it is of another type or lies outside the block,
// or holds a NUL before its end (which readers cut in different places).
bool ExifAscii(std::string_view tiff, bool big, std::size_t entry, std::string* out) {
  auto u16 = [&](std::size_t at) {
    return big ? Big16(tiff, at) : Byte(tiff, at + 1) << 8 | Byte(tiff, at);
  };
  auto u32 = [&](std::size_t at) { return big ? Big32(tiff, at) : Little32(tiff, at); };
  if (u16(entry + 2) != 2) return false;
  const std::uint64_t count = u32(entry + 4);
  const std::uint64_t at = count <= 4 ? entry + 8 : u32(entry + 8);
  if (at + count > tiff.size()) return false;
  std::string_view text =
      tiff.substr(static_cast<std::size_t>(at), static_cast<std::size_t>(count));
  while (!text.empty() && text.back() == '\0') text.remove_suffix(1);
  if (text.find('\0') != std::string_view::npos) return false;
  out->assign(text);
  return true;
}

// Reads the IFD at `offset`, calling `take(tag, entry offset)` for each entry; false when the
// IFD lies outside the block or names a tag twice.
template <typename Take>
bool ReadIfd(std::string_view tiff, bool big, std::uint64_t offset, Take take) {
  if (offset + 2 > tiff.size()) return false;
  const auto at = static_cast<std::size_t>(offset);
  const unsigned count = big ? Big16(tiff, at) : Byte(tiff, at + 1) << 8 | Byte(tiff, at);
  if (at + 2 + std::uint64_t{count} * 12 > tiff.size()) return false;
  std::vector<unsigned> seen;
  for (unsigned i = 0; i < count; ++i) {
    const std::size_t entry = at + 2 + std::size_t{i} * 12;
    const unsigned tag = big ? Big16(tiff, entry) : Byte(tiff, entry + 1) << 8 | Byte(tiff, entry);
    for (unsigned earlier : seen) {
      if (earlier == tag) return false;
    }
    seen.push_back(tag);
    if (!take(tag, entry)) return false;
  }
  return true;
}

bool ReadExif(std::string_view tiff, RawMediaTags* tags) {
  if (tiff.size() < 8) return false;
  bool big;
  if (tiff.substr(0, 4) == std::string_view("II*\0", 4)) {
    big = false;
  } else if (tiff.substr(0, 4) == std::string_view("MM\0*", 4)) {
    big = true;
  } else {
    return false;
  }
  auto u16 = [&](std::size_t at) {
    return big ? Big16(tiff, at) : Byte(tiff, at + 1) << 8 | Byte(tiff, at);
  };
  auto u32 = [&](std::size_t at) { return big ? Big32(tiff, at) : Little32(tiff, at); };
  std::uint64_t exif_ifd = 0;
  const bool first = ReadIfd(tiff, big, u32(4), [&](unsigned tag, std::size_t entry) {
    switch (tag) {
      case 0x010F:
        return ExifAscii(tiff, big, entry, &tags->make);
      case 0x0110:
        return ExifAscii(tiff, big, entry, &tags->model);
      case 0x8769:
        if ((u16(entry + 2) != 4 && u16(entry + 2) != 13) || u32(entry + 4) != 1) return false;
        exif_ifd = u32(entry + 8);
        return exif_ifd != 0;
      default:
        return true;
    }
  });
  if (!first) return false;
  if (exif_ifd == 0) return true;
  return ReadIfd(tiff, big, exif_ifd, [&](unsigned tag, std::size_t entry) {
    if (tag == 0x9003) return ExifAscii(tiff, big, entry, &tags->date_original);
    if (tag == 0x9004) return ExifAscii(tiff, big, entry, &tags->date_digitized);
    return true;
  });
}

HeaderRead ReadJpeg(const FileEnds& bytes, RawMediaTags* tags, HeaderNeed* need) {
  const std::string_view head = bytes.head;
  if (head.size() < 4 || Byte(head, 0) != 0xFF || Byte(head, 1) != 0xD8) {
    return HeaderRead::kUnusual;
  }
  bool exif = false;
  std::uint64_t at = 2;
  for (;;) {
    // A marker: 0xFF, any fill bytes 0xFF, and its code; then a segment with its length.
    std::string_view rest;
    if (!Span(bytes, at, 1, &rest)) return NeedWindow(bytes, at, 1, need);
    if (Byte(rest, 0) != 0xFF) return HeaderRead::kUnusual;
    std::size_t code = 1;
    while (code < rest.size() && Byte(rest, code) == 0xFF) ++code;
    if (code + 3 > rest.size()) return NeedWindow(bytes, at, code + 3, need);
    const unsigned marker = Byte(rest, code);
    if (marker == 0xDA || marker == 0xD9) break;  // the image data, or the end: no frame header
    const std::uint32_t size = Big16(rest, code + 1);
    const std::uint64_t segment = at + code + 1;  // where the length starts
    if (size < 2) return HeaderRead::kUnusual;
    // Only the Exif block and the first frame header are read; other segments (pictures, colour
    // profiles, other metadata) are stepped over.
    const bool frame = tags->height == 0 &&
                       ((marker >= 0xC0 && marker <= 0xC3) || (marker >= 0xC5 && marker <= 0xCF));
    bool block = false;
    if (marker == 0xE1 && !exif && size >= 8) {
      std::string_view start;
      if (!Span(bytes, segment + 2, 6, &start)) return NeedWindow(bytes, segment + 2, 6, need);
      block = start.substr(0, 6) == std::string_view("Exif\0\0", 6);
    }
    if (frame || block) {
      std::string_view data;
      if (!Span(bytes, segment + 2, size - 2, &data)) {
        return NeedWindow(bytes, segment + 2, size - 2, need, kWindowBytes);
      }
      data = data.substr(0, size - 2);
      if (block) {
        if (!ReadExif(data.substr(6), tags)) return HeaderRead::kUnusual;
        exif = true;
      } else {
        // The first frame header with a height gives the picture's size.
        if (size < 8) return HeaderRead::kUnusual;
        tags->height = Big16(data, 1);
        tags->width = Big16(data, 3);
      }
    }
    at = segment + size;
  }
  // Segments after the frame header (an Exif block among them) count as well, up to the image
  // data; a picture without a size is left to the libraries.
  return tags->width > 0 && tags->height > 0 ? HeaderRead::kRead : HeaderRead::kUnusual;
}

}  // namespace

bool HasHeaderReader(std::string_view ext) {
  return ExtensionIs(ext, "mp3") || ExtensionIs(ext, "flac") || ExtensionIs(ext, "jpg") ||
         ExtensionIs(ext, "jpeg") || ExtensionIs(ext, "jpe");
}

HeaderRead ReadHeaderTags(std::string_view ext, const FileEnds& bytes, RawMediaTags* tags,
                          HeaderNeed* need) {
  *tags = {};
  HeaderRead read = HeaderRead::kUnusual;
  if (ExtensionIs(ext, "mp3")) {
    read = ReadMp3(bytes, tags, need);
  } else if (ExtensionIs(ext, "flac")) {
    read = ReadFlac(bytes, tags, need);
  } else if (HasHeaderReader(ext)) {
    read = ReadJpeg(bytes, tags, need);
  }
  if (read != HeaderRead::kRead) *tags = {};
  return read;
}

}  // namespace lumivor
