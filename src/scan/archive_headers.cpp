#include "scan/archive_headers.h"

#include <libdeflate.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utf8.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace lumivor {

std::size_t ArchiveBytes::Read(std::uint64_t at, char* into, std::size_t size) const {
  if (at >= size_) return 0;
  size = static_cast<std::size_t>(std::min<std::uint64_t>(size, size_ - at));
  if (fd_ < 0) {
    std::memcpy(into, memory_.data() + at, size);
    return size;
  }
  std::size_t done = 0;
  while (done < size) {
    const ssize_t got = ::pread(fd_, into + done, size - done, static_cast<off_t>(at + done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    done += static_cast<std::size_t>(got);
  }
  return done;
}

namespace {

unsigned Byte(const char* p) { return static_cast<unsigned char>(*p); }
std::uint32_t Le16(const char* p) { return Byte(p) | Byte(p + 1) << 8; }
std::uint32_t Le32(const char* p) { return Le16(p) | Le16(p + 2) << 16; }
std::uint64_t Le64(const char* p) { return Le32(p) | std::uint64_t{Le32(p + 4)} << 32; }

// A buffer kept for the thread, grown as needed and never shrunk, so that listing one archive
// after another allocates nothing once the first few are done.
class Buffer {
 public:
  char* Reserve(std::size_t size) {
    if (size > capacity_) {
      capacity_ = std::max(size, capacity_ * 2);
      data_.reset(new char[capacity_]);
    }
    return data_.get();
  }

  // Lets go of the storage when it grew beyond `most` bytes for a large archive.
  void Trim(std::size_t most) {
    if (capacity_ > most) {
      data_.reset();
      capacity_ = 0;
    }
  }

 private:
  std::unique_ptr<char[]> data_;
  std::size_t capacity_ = 0;
};

// True when libarchive's conversion of a name stored as UTF-8, which composes it (Unicode NFC),
// leaves it as it is: valid UTF-8 whose characters all come from blocks without combining marks,
// decompositions or compositions (Latin up to the combining marks, Greek and Cyrillic letters,
// kana, the common CJK ideographs and Hangul syllables). Other names are left to libarchive.
bool StaysComposed(std::string_view name) {
  if (!utf8::is_valid(name.begin(), name.end())) return false;
  for (auto it = name.begin(); it != name.end();) {
    const std::uint32_t c = utf8::unchecked::next(it);
    const bool plain = c < 0x300 || (c >= 0x388 && c < 0x483) || (c >= 0x48A && c < 0x530) ||
                       (c >= 0x3041 && c < 0x3097) || (c >= 0x30A0 && c < 0x3100) ||
                       (c >= 0x4E00 && c < 0xA000) || (c >= 0xAC00 && c < 0xD7A4);
    if (!plain) return false;
  }
  return true;
}

// True when a name stored without a declared encoding reaches the catalog as libarchive hands
// it over: its bytes as stored (libarchive converts nothing on this platform). Valid UTF-8 must
// stay the same under composition; bytes that are no UTF-8 at all are cleaned later, as
// libarchive's own are.
bool PlainName(std::string_view name) {
  if (name.empty() || name.find('\0') != std::string_view::npos) return false;
  return !utf8::is_valid(name.begin(), name.end()) || StaysComposed(name);
}

// ---- zip ----

constexpr std::uint32_t kZipEncrypted = 0x0001;
constexpr std::uint32_t kZipStrongEncryption = 0x0040;
constexpr std::uint32_t kZipUtf8Name = 0x0800;
constexpr std::uint32_t kZipCentralEncrypted = 0x2000;
constexpr std::uint32_t kZipAnyEncryption =
    kZipEncrypted | kZipStrongEncryption | kZipCentralEncrypted;

// libarchive looks for the end of the central directory in this many last bytes.
constexpr std::size_t kZipTailSearch = 16 * 1024;
// An archive up to this size is read whole, in one read.
constexpr std::size_t kZipWhole = 64 * 1024;

// What the extra fields of a zip header hold, as libarchive reads them.
struct ZipExtras {
  bool has_mtime = false;
  std::int64_t mtime = 0;
};

// Walks the extra fields of a zip header: the Zip64 sizes and offset replace the fields that
// hold 0xFFFFFFFF (in that order), the extended timestamp gives the modification time. False for
// malformed fields and for fields whose handling differs between libarchive's versions (which
// are then left to it).
bool ReadZipExtras(std::string_view extra, std::uint64_t* size, std::uint64_t* compressed,
                   std::uint64_t* offset, ZipExtras* out) {
  std::size_t at = 0;
  while (at < extra.size()) {
    if (extra.size() - at < 4) return false;
    const std::uint32_t id = Le16(extra.data() + at);
    std::size_t left = Le16(extra.data() + at + 2);
    at += 4;
    if (left > extra.size() - at) return false;
    const char* p = extra.data() + at;
    at += left;
    switch (id) {
      case 0x0001:  // Zip64
        for (std::uint64_t* field : {size, compressed, offset}) {
          if (*field != 0xFFFFFFFF) continue;
          if (left < 8) return false;
          const std::uint64_t value = Le64(p);
          if (value > static_cast<std::uint64_t>(INT64_MAX)) return false;
          *field = value;
          p += 8;
          left -= 8;
        }
        break;
      case 0x5455: {  // extended timestamp: flags, then the times they name
        if (left == 0) return false;
        const unsigned flags = Byte(p);
        if ((flags & 0x01) && left >= 5) {
          const std::uint32_t value = Le32(p + 1);
          // Read as signed by some versions of libarchive and as unsigned by others.
          if (value > 0x7FFFFFFF) return false;
          out->has_mtime = true;
          out->mtime = value;
        }
        break;
      }
      case 0x7875:  // Unix owner and group
      case 0xCAFE:  // the mark of a Java archive
        break;
      default:
        return false;
    }
  }
  return true;
}

// A DOS date and time as libarchive turns it into a time: read in the local time zone.
std::time_t DosTime(std::uint32_t dos) {
  const std::uint32_t time = dos & 0xFFFF, date = dos >> 16;
  std::tm parts{};
  parts.tm_year = static_cast<int>((date >> 9) & 0x7F) + 80;
  parts.tm_mon = static_cast<int>((date >> 5) & 0x0F) - 1;
  parts.tm_mday = static_cast<int>(date & 0x1F);
  parts.tm_hour = static_cast<int>((time >> 11) & 0x1F);
  parts.tm_min = static_cast<int>((time >> 5) & 0x3F);
  parts.tm_sec = static_cast<int>((time << 1) & 0x3E);
  parts.tm_isdst = -1;
  return std::mktime(&parts);
}

// One entry of the central directory.
struct ZipEntry {
  std::uint64_t size = 0;
  std::uint64_t compressed = 0;
  std::uint64_t offset = 0;
  std::uint32_t crc = 0;
  std::uint32_t dos_time = 0;
  std::size_t name_at = 0;  // into the central directory
  std::size_t name_size = 0;
  ZipExtras extras;
  bool directory = false;
};

// Reads the bytes of a zip archive: all of it at once when it is small, else the parts asked for.
class ZipReader {
 public:
  explicit ZipReader(const ArchiveBytes& bytes) : bytes_(bytes), whole_(bytes.Whole()) {
    if (whole_.empty() && bytes.Size() <= kZipWhole) {
      const auto size = static_cast<std::size_t>(bytes.Size());
      char* data = whole_buffer_.Reserve(size);
      if (bytes.Read(0, data, size) == size) whole_ = {data, size};
    }
  }

  // `size` bytes at `at` (read into `buffer` unless the archive is held whole); empty when they
  // cannot all be read. Valid until `buffer` is used again.
  std::string_view At(std::uint64_t at, std::size_t size, Buffer& buffer) {
    if (at > bytes_.Size() || size > bytes_.Size() - at) return {};
    if (!whole_.empty()) return whole_.substr(static_cast<std::size_t>(at), size);
    char* data = buffer.Reserve(size);
    return bytes_.Read(at, data, size) == size ? std::string_view(data, size) : std::string_view();
  }

 private:
  const ArchiveBytes& bytes_;
  std::string_view whole_;
  static thread_local Buffer whole_buffer_;
};

thread_local Buffer ZipReader::whole_buffer_;

// Where the central directory lies: the offset and size an end record (or the Zip64 end record
// it points to) gives. Nothing for an archive of several volumes, one with bytes before it, a
// comment that does not run to the end, or any other layout libarchive reads in its own way.
struct ZipDirectoryPlace {
  std::uint64_t offset = 0;
  std::uint64_t size = 0;
};

std::optional<ZipDirectoryPlace> FindZipDirectory(ZipReader& reader, std::uint64_t size) {
  thread_local Buffer tail_buffer;
  // The end of the central directory: the last signature within the last 16 KiB but for the
  // very first byte of that span, where libarchive looks.
  const auto tail_size = static_cast<std::size_t>(std::min<std::uint64_t>(size, kZipTailSearch));
  const std::string_view tail = reader.At(size - tail_size, tail_size, tail_buffer);
  if (tail.empty()) return std::nullopt;
  std::size_t end_at = 0;
  for (std::size_t i = tail_size - 22; i > 0; --i) {
    if (tail.compare(i, 4, "PK\x05\x06") == 0) {
      end_at = i;
      break;
    }
  }
  if (end_at == 0) return std::nullopt;
  const char* end = tail.data() + end_at;
  const std::uint64_t end_offset = size - tail_size + end_at;
  // One volume, the whole directory on it, the comment running to the end of the file.
  if (Le16(end + 4) != 0 || Le16(end + 6) != 0 || Le16(end + 8) != Le16(end + 10) ||
      end_offset + 22 + Le16(end + 20) != size) {
    return std::nullopt;
  }
  ZipDirectoryPlace place{Le32(end + 16), Le32(end + 12)};
  std::uint64_t directory_end = end_offset;
  if (end_at >= 20 && tail.compare(end_at - 20, 4, "PK\x06\x07") == 0) {
    // Zip64: the locator names the Zip64 end record, which lies right before it.
    const char* locator = end - 20;
    const std::uint64_t record_offset = Le64(locator + 8);
    if (Le32(locator + 4) != 0 || Le32(locator + 16) != 1 || record_offset > end_offset - 20) {
      return std::nullopt;
    }
    Buffer record_buffer;
    const std::string_view record = reader.At(record_offset, 56, record_buffer);
    if (record.empty() || record.compare(0, 4, "PK\x06\x06") != 0) return std::nullopt;
    const std::uint64_t record_size = Le64(record.data() + 4) + 12;
    if (record_size < 56 || record_size > 16384 || record_offset + record_size != end_offset - 20 ||
        Le32(record.data() + 16) != 0 || Le32(record.data() + 20) != 0 ||
        Le64(record.data() + 24) != Le64(record.data() + 32)) {
      return std::nullopt;
    }
    place.size = Le64(record.data() + 40);
    place.offset = Le64(record.data() + 48);
    directory_end = record_offset;
  } else if (place.size == 0xFFFFFFFF || place.offset == 0xFFFFFFFF || Le16(end + 10) == 0xFFFF) {
    return std::nullopt;
  }
  // Nothing before the archive (which libarchive would correct the offsets for).
  if (place.size > directory_end || place.offset != directory_end - place.size) return std::nullopt;
  if (place.size > (std::uint64_t{1} << 31)) return std::nullopt;
  return place;
}

// Reads the entries of the central `directory` (which starts at `directory_offset`) into
// `entries`, in the order of their local headers; false for anything libarchive would read
// differently (encryption, links, entries out of order).
bool ReadZipDirectory(std::string_view directory, std::uint64_t directory_offset,
                      std::vector<ZipEntry>* entries) {
  entries->clear();
  for (std::size_t at = 0; at < directory.size();) {
    if (directory.size() - at < 46 || directory.compare(at, 4, "PK\x01\x02") != 0) return false;
    const char* p = directory.data() + at;
    ZipEntry entry;
    const unsigned system = Byte(p + 5);
    if (Le16(p + 8) & kZipAnyEncryption) return false;  // libarchive tells what it is
    entry.dos_time = Le32(p + 12);
    entry.crc = Le32(p + 16);
    entry.compressed = Le32(p + 20);
    entry.size = Le32(p + 24);
    const std::size_t name_size = Le16(p + 28), extra_size = Le16(p + 30),
                      comment_size = Le16(p + 32);
    const std::uint32_t attributes = Le32(p + 38);
    entry.offset = Le32(p + 42);
    if (directory.size() - at - 46 < name_size + extra_size + comment_size) return false;
    entry.name_at = at + 46;
    entry.name_size = name_size;
    if (!ReadZipExtras(directory.substr(at + 46 + name_size, extra_size), &entry.size,
                       &entry.compressed, &entry.offset, &entry.extras)) {
      return false;
    }
    // The type, as libarchive takes it from the attributes of the system that made the entry.
    std::uint32_t type = 0;
    if (system == 3) {
      type = (attributes >> 16) & S_IFMT;
    } else if (system == 0) {
      type = (attributes & 0x10) ? S_IFDIR : S_IFREG;
    }
    if (type != 0 && type != S_IFREG && type != S_IFDIR) return false;  // links and others
    const std::string_view name = directory.substr(entry.name_at, name_size);
    entry.directory = type == S_IFDIR || (!name.empty() && name.back() == '/');
    // libarchive lists the entries in the order of their local headers.
    if ((!entries->empty() && entry.offset <= entries->back().offset) ||
        entry.offset + 30 > directory_offset) {
      return false;
    }
    entries->push_back(entry);
    at += 46 + name_size + extra_size + comment_size;
  }
  return true;
}

// The modification time of `entry` (named `name`) from its local header, which must agree with
// the directory wherever libarchive takes one or the other; nothing when it does not, or when
// the name is one libarchive would change.
std::optional<std::time_t> CheckZipLocalHeader(ZipReader& reader, const ZipEntry& entry,
                                               std::string_view name,
                                               std::uint64_t directory_offset) {
  thread_local Buffer local_buffer;
  // The local header, read with room for its extra fields.
  const std::size_t guess = static_cast<std::size_t>(
      std::min<std::uint64_t>(30 + name.size() + 256, directory_offset - entry.offset));
  std::string_view local = reader.At(entry.offset, guess, local_buffer);
  if (local.size() < 30 || local.compare(0, 4, "PK\x03\x04") != 0) return std::nullopt;
  const std::size_t local_name_size = Le16(local.data() + 26),
                    local_extra_size = Le16(local.data() + 28);
  const std::size_t local_size = 30 + local_name_size + local_extra_size;
  if (local_size > local.size()) {
    if (entry.offset + local_size > directory_offset) return std::nullopt;
    local = reader.At(entry.offset, local_size, local_buffer);
    if (local.empty()) return std::nullopt;
  }
  const char* p = local.data();
  const std::uint32_t flags = Le16(p + 6);
  if (flags & kZipAnyEncryption) return std::nullopt;
  std::uint64_t local_size_field = Le32(p + 22), local_compressed = Le32(p + 18);
  std::uint64_t offset = entry.offset;
  ZipExtras local_extras;
  if (local.substr(30, local_name_size) != name ||
      !ReadZipExtras(local.substr(30 + local_name_size, local_extra_size), &local_size_field,
                     &local_compressed, &offset, &local_extras)) {
    return std::nullopt;
  }
  const std::uint32_t local_crc = Le32(p + 14);
  if ((local_crc != 0 && local_crc != entry.crc) ||
      (local_compressed != 0 && local_compressed != entry.compressed) ||
      (local_size_field != 0 && local_size_field != entry.size) || Le32(p + 10) != entry.dos_time ||
      local_extras.has_mtime != entry.extras.has_mtime ||
      local_extras.mtime != entry.extras.mtime) {
    return std::nullopt;
  }
  // Names: no NUL, no backslash (which libarchive turns into "/" for some systems), and one
  // declared as UTF-8 must stay the same under libarchive's composition.
  if (name.find('\\') != std::string_view::npos ||
      ((flags & kZipUtf8Name)
           ? name.empty() || name.find('\0') != std::string_view::npos || !StaysComposed(name)
           : !PlainName(name))) {
    return std::nullopt;
  }
  return local_extras.has_mtime ? static_cast<std::time_t>(local_extras.mtime)
                                : DosTime(entry.dos_time);
}

HeaderListing ListZip(const ArchiveBytes& bytes, ArchiveVisitor* visitor) {
  constexpr HeaderListing kUnusual = HeaderListing::kUnusual;
  if (bytes.Size() < 22) return kUnusual;
  ZipReader reader(bytes);
  const std::optional<ZipDirectoryPlace> place = FindZipDirectory(reader, bytes.Size());
  if (!place) return kUnusual;
  thread_local Buffer directory_buffer;
  const std::string_view directory =
      reader.At(place->offset, static_cast<std::size_t>(place->size), directory_buffer);
  if (directory.empty() && place->size > 0) return kUnusual;
  thread_local std::vector<ZipEntry> entries;
  if (!ReadZipDirectory(directory, place->offset, &entries)) return kUnusual;

  std::string path;
  for (const ZipEntry& entry : entries) {
    if (visitor->Cancelled()) return HeaderListing::kCancelled;
    const std::string_view name = directory.substr(entry.name_at, entry.name_size);
    const std::optional<std::time_t> mtime =
        CheckZipLocalHeader(reader, entry, name, place->offset);
    if (!mtime) return kUnusual;
    path.assign(name);
    visitor->Entry(path.c_str(), entry.directory, entry.directory ? 0 : entry.size, *mtime);
  }
  // libarchive's reader is asked once more before it finds the end.
  return visitor->Cancelled() ? HeaderListing::kCancelled : HeaderListing::kListed;
}

// ---- tar ----

constexpr std::size_t kTarBlock = 512;
// The largest pax extended header and GNU long name read here; longer ones go to libarchive.
constexpr std::uint64_t kMostPax = 1 << 20;
constexpr std::uint64_t kMostLongName = 64 * 1024;

// A gzip archive this small (compressed and not) is inflated whole, in one pass.
constexpr std::uint64_t kMostWholeCompressed = 4 << 20;
constexpr std::uint64_t kMostWholeInflated = 16 << 20;
// Buffers kept for the thread beyond this size are let go after each archive.
constexpr std::size_t kKeptBuffer = 1 << 20;

// The bytes of a tar archive in order: read straight from the file, or inflated from gzip (a
// small archive in one pass, a large one as a stream). A stream asks `visitor` whether the user
// cancelled as it goes: a large file inside takes long to inflate between two headers.
class TarSource {
 public:
  TarSource(const ArchiveBytes& bytes, bool gzip, ArchiveVisitor* visitor)
      : bytes_(bytes), gzip_(gzip), visitor_(visitor) {
    if (gzip_ && InflateWhole()) return;
    out_ = out_buffer_.Reserve(kChunk);
    if (gzip_) {
      in_ = in_buffer_.Reserve(kChunk);
      Stream& stream = ThreadStream();
      failed_ = !stream.ready || inflateReset2(&stream.z, 16 + MAX_WBITS) != Z_OK;
      stream_ = &stream.z;
      stream_->next_in = nullptr;
      stream_->avail_in = 0;
    }
  }

  ~TarSource() {
    out_buffer_.Trim(kKeptBuffer);
    in_buffer_.Trim(kKeptBuffer);
  }

  TarSource(const TarSource&) = delete;
  TarSource& operator=(const TarSource&) = delete;

  // Reads `size` bytes into `into`; the count read, short at the end of the archive or when
  // Failed().
  std::size_t Read(char* into, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
      if (begin_ == end_ && !Fill()) break;
      const std::size_t take = std::min(size - done, end_ - begin_);
      std::memcpy(into + done, out_ + begin_, take);
      begin_ += take;
      done += take;
    }
    return done;
  }

  // Skips `size` bytes; false when the archive ends or fails first.
  bool Skip(std::uint64_t size) {
    if (!gzip_ && size > end_ - begin_) {
      // Straight from the file: the data itself is never read.
      const std::uint64_t beyond = size - (end_ - begin_);
      begin_ = end_ = 0;
      if (beyond > bytes_.Size() - position_) return false;
      position_ += beyond;
      return true;
    }
    while (size > 0) {
      if (begin_ == end_ && !Fill()) return false;
      const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(size, end_ - begin_));
      begin_ += take;
      size -= take;
    }
    return true;
  }

  // True when the archive ends cleanly from here: for gzip, the rest inflates without error, its
  // check sums match, and nothing follows the compressed stream.
  bool CleanEnd() {
    if (!gzip_ || whole_) return !failed_;
    while (!stream_end_ && !failed_) Fill();
    return stream_end_ && !failed_ && stream_->avail_in == 0 && in_position_ == bytes_.Size();
  }

  [[nodiscard]] bool Failed() const { return failed_; }
  // True once the visitor said the user cancelled (the source then fails).
  [[nodiscard]] bool Cancelled() const { return cancelled_; }

 private:
  static constexpr std::size_t kChunk = 64 * 1024;

  // An inflater kept for the thread: set up once, reset for each archive.
  struct Stream {
    Stream() { ready = inflateInit2(&z, 16 + MAX_WBITS) == Z_OK; }
    ~Stream() {
      if (ready) inflateEnd(&z);
    }
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;
    z_stream z{};
    bool ready = false;
  };
  static Stream& ThreadStream() {
    thread_local Stream stream;
    return stream;
  }

  // Inflates a small gzip archive whole (its inflated size is in its last four bytes), with its
  // check sums tested and nothing allowed after the compressed stream. False when the archive is
  // too large for that; a damaged one leaves the source failed.
  bool InflateWhole() {
    const std::uint64_t size = bytes_.Size();
    if (size < 18 || size > kMostWholeCompressed) return false;
    char trailer[4];
    if (bytes_.Read(size - 4, trailer, 4) != 4 || Le32(trailer) > kMostWholeInflated) return false;
    const std::size_t inflated = Le32(trailer);
    // Bytes held in memory are inflated where they are.
    const char* in = bytes_.Whole().data();
    if (bytes_.Whole().empty()) {
      char* copy = in_buffer_.Reserve(static_cast<std::size_t>(size));
      if (bytes_.Read(0, copy, static_cast<std::size_t>(size)) != size) copy = nullptr;
      in = copy;
    }
    out_ = out_buffer_.Reserve(std::max<std::size_t>(inflated, 1));
    whole_ = true;
    struct Free {
      void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
    };
    thread_local std::unique_ptr<libdeflate_decompressor, Free> decompressor(
        libdeflate_alloc_decompressor());
    std::size_t used = 0, made = 0;
    failed_ = !decompressor || !in ||
              libdeflate_gzip_decompress_ex(decompressor.get(), in, static_cast<std::size_t>(size),
                                            out_, inflated, &used, &made) != LIBDEFLATE_SUCCESS ||
              used != size || made != inflated;
    end_ = failed_ ? 0 : inflated;
    return true;
  }

  // Makes more bytes available; false at the end or on an error.
  bool Fill() {
    begin_ = end_ = 0;
    if (failed_ || whole_) return false;
    if (!gzip_) {
      end_ = bytes_.Read(position_, out_, kChunk);
      position_ += end_;
      return end_ > 0;
    }
    while (end_ == 0 && !stream_end_) {
      if (visitor_->Cancelled()) {
        cancelled_ = failed_ = true;
        return false;
      }
      if (stream_->avail_in == 0) {
        const std::size_t got = bytes_.Read(in_position_, in_, kChunk);
        if (got == 0) {
          failed_ = true;  // the compressed stream is cut short
          return false;
        }
        in_position_ += got;
        stream_->next_in = reinterpret_cast<Bytef*>(in_);
        stream_->avail_in = static_cast<uInt>(got);
      }
      stream_->next_out = reinterpret_cast<Bytef*>(out_);
      stream_->avail_out = static_cast<uInt>(kChunk);
      const int status = inflate(stream_, Z_NO_FLUSH);
      end_ = kChunk - stream_->avail_out;
      if (status == Z_STREAM_END) {
        stream_end_ = true;
      } else if (status != Z_OK && status != Z_BUF_ERROR) {
        failed_ = true;
        end_ = 0;
        return false;
      }
    }
    return end_ > 0;
  }

  const ArchiveBytes& bytes_;
  const bool gzip_;
  ArchiveVisitor* visitor_;
  char* out_ = nullptr;
  char* in_ = nullptr;
  std::size_t begin_ = 0, end_ = 0;  // the bytes of out_ not yet taken
  std::uint64_t position_ = 0;       // plain: the next byte of the file to read
  std::uint64_t in_position_ = 0;    // gzip: the next compressed byte to read
  z_stream* stream_ = nullptr;
  bool whole_ = false;  // gzip inflated whole into out_
  bool stream_end_ = false;
  bool failed_ = false;
  bool cancelled_ = false;
  static thread_local Buffer out_buffer_, in_buffer_;
};

thread_local Buffer TarSource::out_buffer_;
thread_local Buffer TarSource::in_buffer_;

// An octal field of a tar header as every reader takes it alike: blanks, octal digits, then only
// NULs or blanks to its end. False for anything else (base-256 numbers, signs, stray bytes).
bool TarNumber(const char* field, std::size_t size, std::uint64_t* value) {
  std::size_t at = 0;
  while (at < size && field[at] == ' ') ++at;
  const std::size_t first = at;
  *value = 0;
  while (at < size && field[at] >= '0' && field[at] <= '7') {
    *value = *value * 8 + static_cast<std::uint64_t>(field[at] - '0');
    ++at;
  }
  if (at == first || at - first > 21) return false;
  for (; at < size; ++at) {
    if (field[at] != ' ' && field[at] != '\0') return false;
  }
  return true;
}

// True when the header's check sum (bytes taken unsigned, the sum field as blanks) matches.
bool TarChecksumMatches(const char* header) {
  std::uint64_t stored = 0;
  if (!TarNumber(header + 148, 8, &stored)) return false;
  // Two straight runs around the sum field, which the compiler sums many bytes at a time.
  auto sum_of = [](const unsigned char* from, const unsigned char* to) {
    std::uint32_t sum = 0;
    for (; from != to; ++from) sum += *from;
    return sum;
  };
  const auto* bytes = reinterpret_cast<const unsigned char*>(header);
  const std::uint64_t sum =
      8 * ' ' + sum_of(bytes, bytes + 148) + sum_of(bytes + 156, bytes + kTarBlock);
  return sum == stored;
}

// A text field of a tar header: up to its first NUL.
std::string_view TarText(const char* field, std::size_t size) {
  return {field, strnlen(field, size)};
}

// What a pax extended header says about the entry after it.
struct PaxFields {
  std::string path;
  bool has_size = false;
  std::uint64_t size = 0;
  bool has_mtime = false;
  std::int64_t mtime = 0;
};

bool DecimalText(std::string_view text, std::uint64_t* value) {
  if (text.empty() || text.size() > 18) return false;
  *value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    *value = *value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return true;
}

// Reads the records ("LENGTH KEY=VALUE\n") of a pax extended header. False for a malformed
// record and for keys whose meaning this reader leaves to libarchive (sparse files, other
// character sets, and any it does not know).
bool ReadPax(std::string_view body, PaxFields* pax) {
  while (!body.empty()) {
    std::size_t digits = 0;
    while (digits < body.size() && digits < 8 && body[digits] >= '0' && body[digits] <= '9') {
      ++digits;
    }
    std::uint64_t length = 0;
    if (digits == 0 || digits >= body.size() || body[digits] != ' ' ||
        !DecimalText(body.substr(0, digits), &length) || length > body.size() ||
        length < digits + 3 || body[length - 1] != '\n') {
      return false;
    }
    const std::string_view record =
        body.substr(digits + 1, static_cast<std::size_t>(length) - digits - 2);
    body.remove_prefix(static_cast<std::size_t>(length));
    const std::size_t equals = record.find('=');
    if (equals == std::string_view::npos || equals == 0) return false;
    const std::string_view key = record.substr(0, equals), value = record.substr(equals + 1);
    if (key == "path") {
      if (value.find('\0') != std::string_view::npos) return false;
      pax->path.assign(value);
    } else if (key == "size") {
      if (!DecimalText(value, &pax->size)) return false;
      pax->has_size = true;
    } else if (key == "mtime") {
      // Whole seconds, with an optional fraction.
      const std::size_t dot = value.find('.');
      std::uint64_t seconds = 0, fraction = 0;
      if (!DecimalText(value.substr(0, dot), &seconds) ||
          (dot != std::string_view::npos && !DecimalText(value.substr(dot + 1), &fraction))) {
        return false;
      }
      pax->has_mtime = true;
      pax->mtime = static_cast<std::int64_t>(seconds);
    } else if (key != "atime" && key != "ctime" && key != "uid" && key != "gid" &&
               key != "linkpath" && key != "uname" && key != "gname" && key != "SCHILY.dev" &&
               key != "SCHILY.ino" && key != "SCHILY.nlink" && key != "LIBARCHIVE.creationtime" &&
               !key.starts_with("SCHILY.xattr.") && !key.starts_with("LIBARCHIVE.xattr.")) {
      return false;
    }
  }
  return true;
}

// Reads `size` bytes of an entry's data and the padding after it.
bool TarBody(TarSource& source, std::uint64_t size, std::string* out) {
  out->resize(static_cast<std::size_t>(size));
  return source.Read(out->data(), out->size()) == out->size() &&
         source.Skip((kTarBlock - size % kTarBlock) % kTarBlock);
}

// The fields libarchive checks in a tar archive's first header before it takes the data for
// one; and no name that cpio's reader would claim.
bool TarFirstHeaderPlain(const char* header) {
  std::uint64_t number = 0;
  if (!TarNumber(header + 100, 8, &number) || !TarNumber(header + 108, 8, &number) ||
      !TarNumber(header + 116, 8, &number) || std::memcmp(header, "07070", 5) == 0 ||
      Le16(header) == 0x71C7 || Le16(header) == 0xC771) {
    return false;
  }
  for (const std::size_t at : {std::size_t{329}, std::size_t{337}}) {
    if (std::any_of(header + at, header + at + 8, [](char c) { return c != 0; }) &&
        !TarNumber(header + at, 8, &number)) {
      return false;
    }
  }
  return true;
}

// The path of the entry of `header`: a pax path (with `pax`), a GNU long name (`long_name`), or
// the header's own, with the ustar prefix. False for a name libarchive would change.
bool TarEntryPath(const char* header, bool ustar, const PaxFields* pax,
                  const std::string* long_name, std::string* path) {
  if (pax != nullptr && !pax->path.empty()) {
    if (!StaysComposed(pax->path)) return false;
    *path = pax->path;
    return true;
  }
  if (long_name != nullptr) {
    *path = *long_name;
  } else if (ustar && header[345] != '\0') {
    path->assign(TarText(header + 345, 155));
    if (path->back() != '/') *path += '/';
    *path += TarText(header, 100);
  } else {
    path->assign(TarText(header, 100));
  }
  return PlainName(*path);
}

HeaderListing ListTar(TarSource& source, ArchiveVisitor* visitor) {
  constexpr HeaderListing kUnusual = HeaderListing::kUnusual;
  char header[kTarBlock];
  std::string body, long_name, path;
  PaxFields pax;
  bool have_pax = false, have_long_name = false, first = true;
  for (;;) {
    if (!have_pax && !have_long_name && !first && visitor->Cancelled()) {
      return HeaderListing::kCancelled;
    }
    const std::size_t got = source.Read(header, kTarBlock);
    if (source.Failed() || (got > 0 && got < kTarBlock)) return kUnusual;
    const bool end_mark =
        got == kTarBlock && std::all_of(header, header + kTarBlock, [](char c) { return c == 0; });
    if (got == 0 || end_mark) {
      // The end: a block of zeros, or the end of the data at a block's boundary.
      if (first || have_pax || have_long_name) return kUnusual;
      return source.CleanEnd() ? HeaderListing::kListed : kUnusual;
    }
    const std::string_view magic(header + 257, 8);
    const bool ustar = magic == std::string_view(
                                    "ustar\0"
                                    "00",
                                    8);
    if ((!ustar && magic != std::string_view("ustar  \0", 8)) || !TarChecksumMatches(header)) {
      return kUnusual;
    }
    std::uint64_t size = 0, mtime = 0;
    if (!TarNumber(header + 124, 12, &size) || !TarNumber(header + 136, 12, &mtime)) {
      return kUnusual;
    }
    if (first) {
      if (!TarFirstHeaderPlain(header)) return kUnusual;
      if (visitor->Cancelled()) return HeaderListing::kCancelled;
      first = false;
    }
    const char type = header[156];
    if (type == 'x') {
      if (have_pax || have_long_name || size > kMostPax || !TarBody(source, size, &body) ||
          !ReadPax(body, &pax)) {
        return kUnusual;
      }
      have_pax = true;
      continue;
    }
    if (type == 'L') {
      if (have_pax || have_long_name || size == 0 || size > kMostLongName ||
          !TarBody(source, size, &body)) {
        return kUnusual;
      }
      long_name.assign(TarText(body.data(), body.size()));
      have_long_name = true;
      continue;
    }
    if (type != '0' && type != '\0' && type != '7' && type != '5' && type != '2') return kUnusual;

    if (!TarEntryPath(header, ustar, have_pax ? &pax : nullptr,
                      have_long_name ? &long_name : nullptr, &path)) {
      return kUnusual;
    }
    if (have_pax && pax.has_size) size = pax.size;
    if (have_pax && pax.has_mtime) mtime = static_cast<std::uint64_t>(pax.mtime);
    const bool directory = type == '5' || (!path.empty() && path.back() == '/');
    // Folders and links carry no data; one that claims some is left to libarchive.
    if ((directory || type == '2') && size != 0) return kUnusual;
    if (mtime > static_cast<std::uint64_t>(INT64_MAX)) return kUnusual;
    visitor->Entry(path.c_str(), directory, size, static_cast<std::time_t>(mtime));
    if (!source.Skip((size + kTarBlock - 1) / kTarBlock * kTarBlock)) return kUnusual;
    pax = {};
    have_pax = have_long_name = false;
  }
}

}  // namespace

HeaderListing ListArchiveHeaders(const ArchiveBytes& bytes, ArchiveVisitor* visitor) {
  char magic[8] = {};
  const std::size_t got = bytes.Read(0, magic, sizeof magic);
  if (got >= 4 &&
      (std::memcmp(magic, "PK\x03\x04", 4) == 0 || std::memcmp(magic, "PK\x05\x06", 4) == 0)) {
    return ListZip(bytes, visitor);
  }
  const bool gzip = got >= 2 && Byte(magic) == 0x1F && Byte(magic + 1) == 0x8B;
  // A plain tar archive has no magic at its start; its first header tells.
  if (gzip || bytes.Size() >= kTarBlock) {
    TarSource source(bytes, gzip, visitor);
    const HeaderListing listed = ListTar(source, visitor);
    return source.Cancelled() ? HeaderListing::kCancelled : listed;
  }
  return HeaderListing::kUnusual;
}

}  // namespace lumivor
