#include "core/media_tags.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <charconv>
#include <cmath>
#include <exception>
#include <mutex>

#include <taglib/aifffile.h>
#include <taglib/audioproperties.h>
#include <taglib/fileref.h>
#include <taglib/flacfile.h>
#include <taglib/id3v2framefactory.h>
#include <taglib/mp4file.h>
#include <taglib/mpegfile.h>
#include <taglib/opusfile.h>
#include <taglib/vorbisfile.h>
#include <taglib/wavfile.h>
#include <exiv2/exiv2.hpp>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/log.h>
}

#include "core/fields.h"

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

// A path through which libraries that take only file names open the file behind `fd`.
std::string FdPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// The libraries' own chatter on standard error is turned off once.
void QuietLibraries() {
  static std::once_flag once;
  std::call_once(once, [] {
    av_log_set_level(AV_LOG_QUIET);
    Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
    // The XMP toolkit must be set up once before threads use it.
    Exiv2::XmpParser::initialize();
  });
}

// Bytes kept in memory from each end of an audio file: tag headers sit at the start (ID3v2,
// FLAC metadata, the first MPEG frame) or the end (ID3v1, APE); the rest is read when asked.
constexpr std::size_t kAudioEnd = 64 * 1024;

// A read-only TagLib stream over an open file that holds the file's first and last bytes, so
// that TagLib's many small reads and seeks cost no system call. Reads elsewhere go to the file.
class HeadTailStream final : public TagLib::IOStream {
 public:
  explicit HeadTailStream(int fd) : fd_(fd) {
    struct stat info;
    if (::fstat(fd, &info) != 0 || info.st_size <= 0) return;
    length_ = info.st_size;
    head_ = Read(0, std::min<long>(length_, kAudioEnd));
    if (length_ > static_cast<long>(head_.size())) {
      tail_start_ =
          std::max<long>(length_ - static_cast<long>(kAudioEnd), static_cast<long>(head_.size()));
      tail_ = Read(tail_start_, length_ - tail_start_);
    }
    open_ = true;
  }

  TagLib::FileName name() const override { return ""; }
  bool readOnly() const override { return true; }
  bool isOpen() const override { return open_; }
  long tell() const override { return position_; }
  long length() override { return length_; }

  TagLib::ByteVector readBlock(unsigned long wanted) override {
    if (position_ >= length_) return {};
    const long size = std::min<long>(static_cast<long>(wanted), length_ - position_);
    const long at = position_;
    position_ += size;
    if (at + size <= static_cast<long>(head_.size())) {
      return TagLib::ByteVector(head_.data() + at, static_cast<unsigned>(size));
    }
    if (!tail_.empty() && at >= tail_start_) {
      return TagLib::ByteVector(tail_.data() + (at - tail_start_), static_cast<unsigned>(size));
    }
    const std::string bytes = Read(at, size);
    return TagLib::ByteVector(bytes.data(), static_cast<unsigned>(bytes.size()));
  }

  void seek(long offset, Position from) override {
    long base = 0;
    if (from == Current) base = position_;
    if (from == End) base = length_;
    position_ = std::max<long>(0, base + offset);
  }

  void writeBlock(const TagLib::ByteVector&) override {}
  void insert(const TagLib::ByteVector&, unsigned long, unsigned long) override {}
  void removeBlock(unsigned long, unsigned long) override {}
  void truncate(long) override {}

 private:
  std::string Read(long at, long size) const {
    std::string bytes(static_cast<std::size_t>(size), '\0');
    const ssize_t got = ::pread(fd_, bytes.data(), bytes.size(), at);
    bytes.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    return bytes;
  }

  int fd_;
  bool open_ = false;
  long length_ = 0;
  long position_ = 0;
  std::string head_, tail_;
  long tail_start_ = 0;
};

// The TagLib reader for a file named `name`: chosen by its extension, which spares the tries of
// every format that the detection by content makes; other audio files are detected by content.
std::unique_ptr<TagLib::File> OpenAudio(TagLib::IOStream* stream, std::string_view name) {
  const std::string_view ext = name.substr(name.rfind('.') + 1);
  auto is = [&](std::string_view known) {
    return ExtensionIn(ext, std::array<std::string_view, 1>{known});
  };
  constexpr auto kStyle = TagLib::AudioProperties::Average;
  TagLib::ID3v2::FrameFactory* frames = TagLib::ID3v2::FrameFactory::instance();
  if (is("mp3")) return std::make_unique<TagLib::MPEG::File>(stream, frames, true, kStyle);
  if (is("flac")) return std::make_unique<TagLib::FLAC::File>(stream, frames, true, kStyle);
  if (is("ogg") || is("oga")) return std::make_unique<TagLib::Ogg::Vorbis::File>(stream);
  if (is("opus")) return std::make_unique<TagLib::Ogg::Opus::File>(stream);
  if (is("m4a") || is("m4b")) return std::make_unique<TagLib::MP4::File>(stream);
  if (is("wav")) return std::make_unique<TagLib::RIFF::WAV::File>(stream);
  if (is("aif") || is("aiff")) return std::make_unique<TagLib::RIFF::AIFF::File>(stream);
  return nullptr;
}

void ReadAudio(int fd, std::string_view name, MediaTags& tags) {
  HeadTailStream stream(fd);
  if (!stream.isOpen()) return;
  std::unique_ptr<TagLib::File> typed = OpenAudio(&stream, name);
  const TagLib::FileRef file =
      typed ? TagLib::FileRef(typed.release())
            : TagLib::FileRef(&stream, true, TagLib::AudioProperties::Average);
  if (file.isNull() || !file.file()->isValid()) return;
  if (const TagLib::Tag* tag = file.tag()) {
    AddTag(tags, kTagTitle, tag->title().to8Bit(true));
    AddTag(tags, kTagArtist, tag->artist().to8Bit(true));
    AddTag(tags, kTagAlbum, tag->album().to8Bit(true));
    AddNumber(tags, kTagYear, tag->year());
  }
  if (const TagLib::AudioProperties* audio = file.audioProperties()) {
    const int milliseconds = audio->lengthInMilliseconds();
    if (milliseconds > 0) tags.emplace_back(kTagDuration, DurationText(milliseconds / 1000.0));
  }
}

std::string ExifText(const Exiv2::ExifData& exif, const char* key) {
  const auto it = exif.findKey(Exiv2::ExifKey(key));
  return it == exif.end() ? std::string() : CleanTag(it->toString());
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

// Bytes of a photo read at once: the Exif block and the frame header of a JPEG lie within them
// but for unusually large embedded data.
constexpr std::size_t kPhotoHead = 256 * 1024;

void ReadPhoto(int fd, MediaTags& tags) {
  try {
    // The head of the file in memory spares Exiv2's many small reads; when the file is longer
    // and the head does not hold what Exiv2 looks for, the whole file is read through its path.
    std::vector<Exiv2::byte> head(kPhotoHead);
    const ssize_t got = ::pread(fd, head.data(), head.size(), 0);
    if (got <= 0) return;
    auto image = Exiv2::ImageFactory::open(head.data(), static_cast<long>(got));
    try {
      image->readMetadata();
    } catch (const std::exception&) {
      if (static_cast<std::size_t>(got) < head.size()) throw;
      image = Exiv2::ImageFactory::open(FdPath(fd), false);
      image->readMetadata();
    }
    const Exiv2::ExifData& exif = image->exifData();
    long width = image->pixelWidth(), height = image->pixelHeight();
    if (width <= 0 || height <= 0) {
      const auto w = exif.findKey(Exiv2::ExifKey("Exif.Photo.PixelXDimension"));
      const auto h = exif.findKey(Exiv2::ExifKey("Exif.Photo.PixelYDimension"));
      width = w == exif.end() ? 0 : w->toLong();
      height = h == exif.end() ? 0 : h->toLong();
    }
    if (width > 0 && height > 0) {
      AddNumber(tags, kTagWidth, width);
      AddNumber(tags, kTagHeight, height);
    }
    std::string date = DateTakenText(ExifText(exif, "Exif.Photo.DateTimeOriginal"));
    if (date.empty()) date = DateTakenText(ExifText(exif, "Exif.Photo.DateTimeDigitized"));
    AddTag(tags, kTagDateTaken, date);
    const std::string make = ExifText(exif, "Exif.Image.Make");
    const std::string model = ExifText(exif, "Exif.Image.Model");
    // Many cameras repeat the make at the start of the model ("Canon" and "Canon EOS 5D").
    if (make.empty() || model.rfind(make, 0) == 0) {
      AddTag(tags, kTagCamera, model);
    } else {
      AddTag(tags, kTagCamera, model.empty() ? make : make + " " + model);
    }
  } catch (const std::exception&) {
    // Unreadable or not a photo after all: recorded without tags. What was read stays.
  }
}

struct FormatCloser {
  void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};

void ReadVideo(int fd, MediaTags& tags) {
  AVFormatContext* raw = nullptr;
  if (avformat_open_input(&raw, FdPath(fd).c_str(), nullptr, nullptr) < 0) return;
  const std::unique_ptr<AVFormatContext, FormatCloser> context(raw);
  auto find_video = [&] {
    for (unsigned i = 0; i < context->nb_streams; ++i) {
      const AVStream* stream = context->streams[i];
      if (stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO &&
          !(stream->disposition & AV_DISPOSITION_ATTACHED_PIC)) {
        return stream;
      }
    }
    return static_cast<const AVStream*>(nullptr);
  };
  const AVStream* video = find_video();
  // Containers without a header that describes their streams (MPEG, some AVI) need a look at
  // the first packets; that look is kept short.
  if (!video || video->codecpar->width <= 0 || context->duration == AV_NOPTS_VALUE) {
    context->probesize = 2 * 1024 * 1024;
    context->max_analyze_duration = 2 * AV_TIME_BASE;
    if (avformat_find_stream_info(context.get(), nullptr) < 0) return;
    video = find_video();
  }
  if (context->duration != AV_NOPTS_VALUE && context->duration > 0) {
    tags.emplace_back(kTagDuration,
                      DurationText(static_cast<double>(context->duration) / AV_TIME_BASE));
  }
  if (!video) return;
  if (video->codecpar->width > 0 && video->codecpar->height > 0) {
    AddNumber(tags, kTagWidth, video->codecpar->width);
    AddNumber(tags, kTagHeight, video->codecpar->height);
  }
  if (video->codecpar->codec_id != AV_CODEC_ID_NONE) {
    AddTag(tags, kTagCodec, avcodec_get_name(video->codecpar->codec_id));
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

MediaTags ReadMediaTags(int fd, std::string_view name) {
  MediaTags tags;
  const MediaKind kind = MediaKindOf(name);
  if (kind == MediaKind::kNone) return tags;
  QuietLibraries();
  switch (kind) {
    case MediaKind::kAudio:
      ReadAudio(fd, name, tags);
      break;
    case MediaKind::kPhoto:
      ReadPhoto(fd, tags);
      break;
    case MediaKind::kVideo:
      ReadVideo(fd, tags);
      break;
    case MediaKind::kNone:
      break;
  }
  return tags;
}

std::string ClockText(std::string_view duration) {
  double seconds = 0;
  const auto [end, error] =
      std::from_chars(duration.data(), duration.data() + duration.size(), seconds);
  if (error != std::errc() || end != duration.data() + duration.size() || !(seconds >= 0) ||
      seconds > 1e9) {
    return {};
  }
  const auto total = static_cast<long long>(std::llround(seconds));
  const long long hours = total / 3600, minutes = total / 60 % 60, rest = total % 60;
  auto two = [](long long value) {
    return std::string(1, static_cast<char>('0' + value / 10)) +
           static_cast<char>('0' + value % 10);
  };
  if (hours > 0) return std::to_string(hours) + ":" + two(minutes) + ":" + two(rest);
  return std::to_string(minutes) + ":" + two(rest);
}

std::string TagSummary(const TCatalogRecord& record) {
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
