#include "copies/content_hash.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xxhash.h>

#include <cerrno>
#include <cstdlib>
#include <new>

namespace lumivor {

namespace {

// Bytes read per system call: large enough that the calls cost nothing beside the copying, small
// enough that a slow medium still answers a cancel at once and the buffer stays in the caches.
constexpr std::size_t kBlockBytes = 512 * 1024;

void AppendHex(std::string& out, std::uint64_t value) {
  static constexpr char kDigits[] = "0123456789abcdef";
  for (int shift = 60; shift >= 0; shift -= 4) out += kDigits[(value >> shift) & 0xF];
}

XXH3_state_t* State(void* state) { return static_cast<XXH3_state_t*>(state); }

// Opens `path` for reading without following a symbolic link, without waiting on a FIFO and,
// where the owner allows, without touching its access time.
int OpenForReading(const std::string& path) {
  constexpr int kFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
  int fd = ::open(path.c_str(), kFlags | O_NOATIME);
  if (fd < 0 && errno == EPERM) fd = ::open(path.c_str(), kFlags);
  return fd;
}

}  // namespace

std::string_view HashAlgorithm(std::string_view hash) {
  const auto colon = hash.find(':');
  return colon == std::string_view::npos ? std::string_view() : hash.substr(0, colon);
}

std::string Xxh128Text(std::uint64_t high, std::uint64_t low) {
  std::string text(kXxh128Prefix);
  text.reserve(kXxh128Prefix.size() + 32);
  AppendHex(text, high);
  AppendHex(text, low);
  return text;
}

std::string HashOfBytes(std::string_view bytes) {
  const XXH128_hash_t value = XXH3_128bits(bytes.data(), bytes.size());
  return Xxh128Text(value.high64, value.low64);
}

ContentHasher::ContentHasher(std::stop_token stop) : stop_(std::move(stop)) {
  buffer_ = static_cast<char*>(::operator new (kBlockBytes, std::align_val_t{64}));
  state_ = XXH3_createState();
  if (!state_) {
    ::operator delete (buffer_, std::align_val_t{64});
    throw std::bad_alloc();
  }
}

ContentHasher::~ContentHasher() {
  XXH3_freeState(State(state_));
  ::operator delete (buffer_, std::align_val_t{64});
}

ContentHasher::Status ContentHasher::HashFile(const std::string& path, std::string* hash,
                                              std::int64_t expected_size) {
  if (stop_.stop_requested()) return Status::kCancelled;
  const int fd = OpenForReading(path);
  if (fd < 0) return errno == ELOOP ? Status::kNotRegular : Status::kUnreadable;
  struct stat info;
  Status status = Status::kUnreadable;
  if (::fstat(fd, &info) != 0) {
    status = Status::kUnreadable;
  } else if (!S_ISREG(info.st_mode)) {
    status = Status::kNotRegular;
  } else if (expected_size >= 0 && info.st_size != expected_size) {
    status = Status::kUnreadable;
  } else {
    // The kernel reads ahead further for a file read from start to end.
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    status = HashOpenFile(fd, hash);
  }
  ::close(fd);
  return status;
}

ContentHasher::Status ContentHasher::HashOpenFile(int fd, std::string* hash) {
  XXH3_128bits_reset(State(state_));
  for (;;) {
    if (stop_.stop_requested()) return Status::kCancelled;
    const ssize_t got = ::read(fd, buffer_, kBlockBytes);
    if (got < 0) {
      if (errno == EINTR) continue;
      return Status::kUnreadable;
    }
    if (got == 0) break;
    bytes_read_ += static_cast<std::uint64_t>(got);
    XXH3_128bits_update(State(state_), buffer_, static_cast<std::size_t>(got));
  }
  const XXH128_hash_t value = XXH3_128bits_digest(State(state_));
  *hash = Xxh128Text(value.high64, value.low64);
  return Status::kDone;
}

}  // namespace lumivor
