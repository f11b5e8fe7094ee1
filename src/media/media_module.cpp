// The shared module with the readers that need large libraries: TagLib for music, Exiv2 for
// photos, FFmpeg for video and libarchive for archives. The core loads it only when a deep scan
// needs it (scan/media_readers.h). It hands back raw values; the core cleans them.
#include <fcntl.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include <archive.h>
#include <archive_entry.h>
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

#include "scan/archive_lister.h"
#include "scan/media_readers.h"
#include "scan/media_tags.h"

namespace lumivor {

namespace {

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool ExtensionIs(std::string_view name, std::string_view known) {
  const std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos) return false;
  const std::string_view ext = name.substr(dot + 1);
  if (ext.size() != known.size()) return false;
  for (std::size_t i = 0; i < ext.size(); ++i) {
    if (LowerAscii(ext[i]) != known[i]) return false;
  }
  return true;
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
    // Between the two ends, a tag body is read in one piece; many small reads are a search for
    // a frame through data that holds none (a damaged file, or one that is no audio at all),
    // which would otherwise read the whole file.
    if (++middle_reads_ > kMiddleReads || middle_bytes_ + size > kMiddleBytes) return {};
    middle_bytes_ += size;
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

  // What may be read between the two ends of one file.
  static constexpr long kMiddleReads = 32;
  static constexpr long kMiddleBytes = 16L * 1024 * 1024;

  int fd_;
  bool open_ = false;
  long length_ = 0;
  long middle_reads_ = 0;
  long middle_bytes_ = 0;
  long position_ = 0;
  std::string head_, tail_;
  long tail_start_ = 0;
};

// The TagLib reader for a file named `name`: chosen by its extension, which spares the tries of
// every format that the detection by content makes; other audio files are detected by content.
std::unique_ptr<TagLib::File> OpenAudio(TagLib::IOStream* stream, std::string_view name) {
  auto is = [&](std::string_view known) { return ExtensionIs(name, known); };
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

void ReadAudio(int fd, std::string_view name, RawMediaTags& tags) {
  HeadTailStream stream(fd);
  if (!stream.isOpen()) return;
  std::unique_ptr<TagLib::File> typed = OpenAudio(&stream, name);
  const TagLib::FileRef file =
      typed ? TagLib::FileRef(typed.release())
            : TagLib::FileRef(&stream, true, TagLib::AudioProperties::Average);
  if (file.isNull() || !file.file()->isValid()) return;
  if (const TagLib::Tag* tag = file.tag()) {
    tags.title = tag->title().to8Bit(true);
    tags.artist = tag->artist().to8Bit(true);
    tags.album = tag->album().to8Bit(true);
    tags.year = tag->year();
  }
  if (const TagLib::AudioProperties* audio = file.audioProperties()) {
    const int milliseconds = audio->lengthInMilliseconds();
    if (milliseconds > 0) tags.duration_seconds = milliseconds / 1000.0;
  }
}

std::string ExifText(const Exiv2::ExifData& exif, const char* key) {
  const auto it = exif.findKey(Exiv2::ExifKey(key));
  return it == exif.end() ? std::string() : it->toString();
}

// Bytes of a photo read at once: the Exif block and the frame header of a JPEG lie within them
// but for unusually large embedded data.
constexpr std::size_t kPhotoHead = 256 * 1024;

void ReadPhoto(int fd, RawMediaTags& tags) {
  try {
    // The head of the file in memory spares Exiv2's many small reads; when the file is longer
    // and the head does not hold what Exiv2 looks for, the whole file is read through its path.
    std::vector<Exiv2::byte> head(kPhotoHead);
    const ssize_t got = ::pread(fd, head.data(), head.size(), 0);
    if (got <= 0) return;
    auto image = Exiv2::ImageFactory::open(head.data(), static_cast<long>(got));
    try {
      image->readMetadata();
    } catch (const std::bad_alloc&) {
      throw;
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
      tags.width = width;
      tags.height = height;
    }
    tags.date_original = ExifText(exif, "Exif.Photo.DateTimeOriginal");
    tags.date_digitized = ExifText(exif, "Exif.Photo.DateTimeDigitized");
    tags.make = ExifText(exif, "Exif.Image.Make");
    tags.model = ExifText(exif, "Exif.Image.Model");
  } catch (const std::bad_alloc&) {
    throw;  // the caller's to report
  } catch (const std::exception&) {
    // Unreadable or not a photo after all: recorded without tags. What was read stays.
  }
}

struct FormatCloser {
  void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};

void ReadVideo(int fd, RawMediaTags& tags) {
  // Every container a video file uses names itself in its first few kilobytes. Past that, the
  // format probe would read and test megabytes of a damaged file, or of one that is no video.
  AVDictionary* options = nullptr;
  av_dict_set(&options, "formatprobesize", "65536", 0);
  AVFormatContext* raw = nullptr;
  const int opened = avformat_open_input(&raw, FdPath(fd).c_str(), nullptr, &options);
  av_dict_free(&options);
  if (opened < 0) return;
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
    tags.duration_seconds = static_cast<double>(context->duration) / AV_TIME_BASE;
  }
  // The container's title (the "©nam" atom of MP4, M4V and MOV; the TITLE tag of Matroska).
  if (const AVDictionaryEntry* title = av_dict_get(context->metadata, "title", nullptr, 0)) {
    tags.title = title->value;
  }
  if (!video) return;
  if (video->codecpar->width > 0 && video->codecpar->height > 0) {
    tags.width = video->codecpar->width;
    tags.height = video->codecpar->height;
  }
  if (video->codecpar->codec_id != AV_CODEC_ID_NONE) {
    tags.codec = avcodec_get_name(video->codecpar->codec_id);
  }
}

bool ReadTags(int fd, std::string_view name, MediaKind kind, RawMediaTags* tags) {
  try {
    QuietLibraries();
    switch (kind) {
      case MediaKind::kAudio:
        ReadAudio(fd, name, *tags);
        break;
      case MediaKind::kPhoto:
        ReadPhoto(fd, *tags);
        break;
      case MediaKind::kVideo:
        ReadVideo(fd, *tags);
        break;
      case MediaKind::kNone:
        break;
    }
  } catch (const std::bad_alloc&) {
    // Not the file's fault: the caller stops the scan rather than record the file without tags.
    return false;
  } catch (const std::exception&) {
    // The libraries raise their own errors (TagLib, Exiv2) on a damaged or unusual file; the
    // reader that gives up leaves what it found, and the file is recorded without the rest.
  }
  return true;
}

// A locale whose character set is UTF-8, so that libarchive hands out entry paths as UTF-8
// whatever locale the process runs in. Null when the system has none.
locale_t Utf8Locale() {
  static const locale_t locale = [] {
    for (const char* name : {"C.UTF-8", "C.utf8", "en_US.UTF-8"}) {
      if (locale_t made = ::newlocale(LC_CTYPE_MASK, name, static_cast<locale_t>(nullptr))) {
        return made;
      }
    }
    return static_cast<locale_t>(nullptr);
  }();
  return locale;
}

// Switches the calling thread to the UTF-8 locale for its lifetime.
class ThreadLocaleScope {
 public:
  ThreadLocaleScope() : previous_(Utf8Locale() ? ::uselocale(Utf8Locale()) : nullptr) {}
  ~ThreadLocaleScope() {
    if (previous_) ::uselocale(previous_);
  }
  ThreadLocaleScope(const ThreadLocaleScope&) = delete;
  ThreadLocaleScope& operator=(const ThreadLocaleScope&) = delete;

 private:
  locale_t previous_;
};

struct ArchiveDeleter {
  void operator()(struct archive* a) const { archive_read_free(a); }
};

// The formats that hold files, for content of unknown kind; format_all would also take any text
// as an mtree file.
void SupportEveryFormat(struct archive* a) {
  archive_read_support_filter_all(a);
  archive_read_support_format_zip(a);
  archive_read_support_format_7zip(a);
  archive_read_support_format_rar(a);
  archive_read_support_format_rar5(a);
  archive_read_support_format_tar(a);
  archive_read_support_format_gnutar(a);
  archive_read_support_format_iso9660(a);
  archive_read_support_format_cpio(a);
  archive_read_support_format_empty(a);
}

// Sets up `a` for the archive whose first bytes are `magic`: the one format (or compression and
// the formats it may hold) the bytes name, which spares setting up and asking every reader of
// libarchive for each archive; every format when the bytes name none.
void ChooseFormats(struct archive* a, std::string_view magic) {
  auto starts = [&](std::string_view prefix) { return magic.substr(0, prefix.size()) == prefix; };
  auto stream_formats = [&] {
    archive_read_support_format_tar(a);
    archive_read_support_format_gnutar(a);
    archive_read_support_format_cpio(a);
    archive_read_support_format_empty(a);
  };
  using namespace std::string_view_literals;
  if (starts("PK\x03\x04"sv) || starts("PK\x05\x06"sv)) {
    archive_read_support_format_zip(a);
  } else if (starts("7z\xBC\xAF\x27\x1C"sv)) {
    archive_read_support_format_7zip(a);
  } else if (starts("Rar!\x1A\x07\x00"sv)) {
    archive_read_support_format_rar(a);
  } else if (starts("Rar!\x1A\x07\x01\x00"sv)) {
    archive_read_support_format_rar5(a);
  } else if (starts("\x1F\x8B"sv)) {
    archive_read_support_filter_gzip(a);
    stream_formats();
  } else if (starts("BZh"sv)) {
    archive_read_support_filter_bzip2(a);
    stream_formats();
  } else if (starts("\xFD"
                    "7zXZ\x00"sv)) {
    archive_read_support_filter_xz(a);
    stream_formats();
  } else if (starts("\x28\xB5\x2F\xFD"sv)) {
    archive_read_support_filter_zstd(a);
    stream_formats();
  } else {
    SupportEveryFormat(a);
  }
}

// Lists the archive whose first bytes are `magic` through `open`, which opens `a` on its bytes.
template <typename Open>
ArchiveOutcome ListArchiveEntries(std::string_view magic, const Open& open,
                                  ArchiveVisitor* visitor) {
  try {
    const ThreadLocaleScope utf8;
    const std::unique_ptr<struct archive, ArchiveDeleter> reader(archive_read_new());
    if (!reader) return ArchiveOutcome::kUnsupported;
    struct archive* a = reader.get();
    ChooseFormats(a, magic);
    // (Asking a reader without a recognised format about encryption crashes libarchive, so that
    // question waits until a format is known.)
    if (open(a) != ARCHIVE_OK) return ArchiveOutcome::kUnsupported;
    bool any = false;
    for (;;) {
      if (visitor->Cancelled()) return ArchiveOutcome::kCancelled;
      struct archive_entry* entry = nullptr;
      const int status = archive_read_next_header(a, &entry);
      if (status == ARCHIVE_EOF) break;
      if (status != ARCHIVE_OK && status != ARCHIVE_WARN) {
        // Before the first entry an unknown format is no archive; after it, damage.
        if (!any && archive_format(a) == 0) return ArchiveOutcome::kUnsupported;
        if (archive_read_has_encrypted_entries(a) > 0) return ArchiveOutcome::kEncrypted;
        return ArchiveOutcome::kDamaged;
      }
      any = true;
      if (archive_entry_is_encrypted(entry)) return ArchiveOutcome::kEncrypted;
      const char* path = archive_entry_pathname_utf8(entry);
      if (!path) path = archive_entry_pathname(entry);
      if (!path) continue;
      const bool directory = archive_entry_filetype(entry) == AE_IFDIR;
      const std::uint64_t size =
          !directory && archive_entry_size_is_set(entry) && archive_entry_size(entry) > 0
              ? static_cast<std::uint64_t>(archive_entry_size(entry))
              : 0;
      const std::time_t mtime = archive_entry_mtime_is_set(entry) ? archive_entry_mtime(entry) : 0;
      visitor->Entry(path, directory, size, mtime);
    }
    return ArchiveOutcome::kListed;
  } catch (const std::bad_alloc&) {
    return ArchiveOutcome::kOutOfMemory;
  }
}

// The file an archive is read from, a block at a time. Before each block the visitor is asked
// whether the user cancelled: a compressed archive holding one large file is read (and
// decompressed) for a long time between two of its headers.
struct FileBlocks {
  static constexpr std::size_t kBlock = 64 * 1024;

  int fd = -1;
  off_t size = -1;  // the length of a regular file; -1 for anything else
  ArchiveVisitor* visitor = nullptr;
  bool cancelled = false;
  std::unique_ptr<char[]> block{new char[kBlock]};

  static la_ssize_t Read(struct archive* a, void* data, const void** buffer) {
    auto* file = static_cast<FileBlocks*>(data);
    if (file->visitor->Cancelled()) {
      file->cancelled = true;
      archive_set_error(a, ECANCELED, "cancelled");
      return -1;
    }
    for (;;) {
      const ssize_t got = ::read(file->fd, file->block.get(), kBlock);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) archive_set_error(a, errno, "cannot read the archive");
      *buffer = file->block.get();
      return got;
    }
  }

  // Skips by moving the file position, at most to the file's end, so that libarchive reads for
  // the rest and finds a cut archive damaged. 0 (nothing skipped: libarchive reads past instead)
  // where the file cannot seek.
  static la_int64_t Skip(struct archive*, void* data, la_int64_t request) {
    const auto* file = static_cast<FileBlocks*>(data);
    const off_t before = ::lseek(file->fd, 0, SEEK_CUR);
    if (file->size < 0 || before < 0) return 0;
    const la_int64_t skip = std::min<la_int64_t>(request, file->size - before);
    if (skip <= 0) return 0;
    return ::lseek(file->fd, before + static_cast<off_t>(skip), SEEK_SET) < 0 ? 0 : skip;
  }

  static la_int64_t Seek(struct archive* a, void* data, la_int64_t offset, int whence) {
    const off_t at =
        ::lseek(static_cast<FileBlocks*>(data)->fd, static_cast<off_t>(offset), whence);
    if (at >= 0) return at;
    archive_set_error(a, errno, "cannot seek in the archive");
    return ARCHIVE_FATAL;
  }
};

ArchiveOutcome ListArchiveFile(int fd, ArchiveVisitor* visitor) {
  if (::lseek(fd, 0, SEEK_SET) != 0) return ArchiveOutcome::kUnsupported;
  std::array<char, 8> magic{};
  const ssize_t got = ::pread(fd, magic.data(), magic.size(), 0);
  std::unique_ptr<FileBlocks> blocks;
  try {
    blocks = std::make_unique<FileBlocks>();
  } catch (const std::bad_alloc&) {
    return ArchiveOutcome::kOutOfMemory;
  }
  FileBlocks& file = *blocks;
  file.fd = fd;
  if (struct stat info; ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) file.size = info.st_size;
  file.visitor = visitor;
  const ArchiveOutcome outcome = ListArchiveEntries(
      std::string_view(magic.data(), got > 0 ? static_cast<std::size_t>(got) : 0),
      [&file](struct archive* a) {
        archive_read_set_callback_data(a, &file);
        archive_read_set_read_callback(a, &FileBlocks::Read);
        archive_read_set_skip_callback(a, &FileBlocks::Skip);
        archive_read_set_seek_callback(a, &FileBlocks::Seek);
        return archive_read_open1(a);
      },
      visitor);
  return file.cancelled ? ArchiveOutcome::kCancelled : outcome;
}

ArchiveOutcome ListArchiveBytes(const char* data, std::size_t size, ArchiveVisitor* visitor) {
  return ListArchiveEntries(
      std::string_view(data, std::min<std::size_t>(size, 8)),
      [data, size](struct archive* a) { return archive_read_open_memory(a, data, size); }, visitor);
}

constexpr MediaReaderApi kApi = {kMediaReaderApiVersion, sizeof(MediaReaderApi), &ReadTags,
                                 &ListArchiveFile, &ListArchiveBytes};

}  // namespace

}  // namespace lumivor

extern "C" __attribute__((visibility("default"))) const lumivor::MediaReaderApi*
lumivor_media_readers() {
  return &lumivor::kApi;
}
