#include "core/atomic_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <condition_variable>
#include <mutex>
#include <random>
#include <system_error>
#include <thread>

#include "core/errors.h"

namespace lumivor {

namespace {

// The longest file name the Linux file systems take.
constexpr std::size_t kNameMax = 255;
constexpr std::string_view kTemporaryInfix = ".tmp-";
// Bytes written between two requests to start writing them to the disk.
constexpr std::uint64_t kWritebackBytes = 8 << 20;
// Bytes written between two syncs on the background syncer.
constexpr std::uint64_t kBackgroundSyncBytes = 32 << 20;
constexpr std::size_t kRandomLength = 6;
// Symbolic links followed before giving up, as the kernel does.
constexpr int kMaxLinks = 40;

std::string_view DirectoryOf(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string_view NameOf(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

bool IsRandomCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

std::string RandomSuffix() {
  static constexpr char kAlphabet[] =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  thread_local std::mt19937_64 generator{std::random_device{}() ^
                                         (static_cast<std::uint64_t>(::getpid()) << 32)};
  std::string suffix(kRandomLength, 'x');
  for (char& c : suffix) c = kAlphabet[generator() % (sizeof kAlphabet - 1)];
  return suffix;
}

// `path` with symbolic links in its last component followed, so that the file they point to is
// the one replaced; a dangling link names the file to create. Sets `*error` on a loop.
std::string FollowLinks(const std::string& path, int* error) {
  std::string current = path;
  for (int i = 0; i < kMaxLinks; ++i) {
    struct stat st;
    if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return current;
    std::string target(PATH_MAX, '\0');
    const ssize_t length = ::readlink(current.c_str(), target.data(), target.size());
    if (length < 0) {
      *error = errno;
      return current;
    }
    target.resize(static_cast<std::size_t>(length));
    if (!target.empty() && target[0] != '/') {
      target = std::string(DirectoryOf(current)) + "/" + target;
    }
    current = std::move(target);
  }
  *error = ELOOP;
  return current;
}

// True when the process can reach its descriptors by path, which linking an unnamed file needs.
bool HaveProcFileDescriptors() {
  static const bool have = ::access("/proc/self/fd", X_OK) == 0;
  return have;
}

// Removes the hidden temporary files of `target` that no living writer holds: their writer was
// killed between naming and renaming them (or, without unnamed files, while writing).
void RemoveStaleTemporaryFiles(const std::string& target) {
  const std::string directory(DirectoryOf(target));
  const std::string prefix = TemporaryNamePrefix(NameOf(target));
  DIR* dir = ::opendir(directory.c_str());
  if (dir == nullptr) return;
  const int dir_fd = ::dirfd(dir);
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (name.size() != prefix.size() + kRandomLength || name.substr(0, prefix.size()) != prefix ||
        !IsTemporaryFileName(name)) {
      continue;
    }
    const int fd = ::openat(dir_fd, entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat st;
    // A writer holds its lock until it is done; a lock that can be taken has no writer left.
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::flock(fd, LOCK_EX | LOCK_NB) == 0) {
      ::unlinkat(dir_fd, entry->d_name, 0);
    }
    ::close(fd);
  }
  ::closedir(dir);
}

}  // namespace

// Syncs a large file on a thread of its own while the rest of it is made and written. Starting
// the disk's writes early (sync_file_range) is not enough: a disk with a cache of its own (a
// virtual machine's, most of all) only makes the data lasting when it is told to flush, and
// flushing a few hundred megabytes at the end took a tenth of a second here. Synced as it goes,
// the final sync has only the last megabytes left.
class AtomicFile::Syncer {
 public:
  explicit Syncer(int fd) : fd_(fd), thread_([this](std::stop_token stop) { Run(stop); }) {}
  Syncer(const Syncer&) = delete;
  Syncer& operator=(const Syncer&) = delete;
  ~Syncer() { Finish(); }

  // Wakes the thread to sync what was written so far (at once, or after its current sync).
  void Request() {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      requested_ = true;
    }
    wake_.notify_one();
  }

  // Stops the thread (after the sync it is doing) and gives the error of the first failed sync,
  // 0 when none failed. A failed sync must fail the file: the kernel reports an error once, so
  // the final sync would not see it again.
  int Finish() {
    if (thread_.joinable()) {
      thread_.request_stop();
      wake_.notify_one();
      thread_.join();
    }
    return error_;
  }

 private:
  void Run(std::stop_token stop) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      wake_.wait(lock, stop, [this] { return requested_; });
      if (stop.stop_requested()) return;
      requested_ = false;
      lock.unlock();
      const int result = ::fdatasync(fd_);
      const int error = result == 0 ? 0 : errno;
      lock.lock();
      // Files that cannot be synced (EINVAL) are synced as they are, as in Commit().
      if (error != 0 && error != EINVAL && error_ == 0) error_ = error;
    }
  }

  const int fd_;
  std::mutex mutex_;
  std::condition_variable_any wake_;
  bool requested_ = false;
  int error_ = 0;
  std::jthread thread_;  // last: started once the members above exist
};

std::string TemporaryNamePrefix(std::string_view name) {
  const std::size_t room = kNameMax - 1 - kTemporaryInfix.size() - kRandomLength;
  std::size_t length = std::min(name.size(), room);
  // Never cut a UTF-8 sequence in two.
  if (length < name.size()) {
    while (length > 0 && (static_cast<unsigned char>(name[length]) & 0xC0) == 0x80) --length;
  }
  std::string prefix = ".";
  prefix.append(name.substr(0, length));
  prefix.append(kTemporaryInfix);
  return prefix;
}

bool IsTemporaryFileName(std::string_view name) {
  const std::size_t tail = kTemporaryInfix.size() + kRandomLength;
  if (name.size() < 1 + tail || name[0] != '.') return false;
  const std::string_view end = name.substr(name.size() - tail);
  if (end.substr(0, kTemporaryInfix.size()) != kTemporaryInfix) return false;
  for (char c : end.substr(kTemporaryInfix.size())) {
    if (!IsRandomCharacter(c)) return false;
  }
  return true;
}

AtomicFile::AtomicFile(std::string path) : path_(std::move(path)) {
  if (path_ == "-") {
    target_ = path_;
    handed_over_path_ = "/dev/stdout";
    fd_ = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0);
    if (fd_ < 0) Fail(errno);
    direct_ = true;
  } else {
    int error = 0;
    target_ = FollowLinks(path_, &error);
    if (error != 0) Fail(error);
    struct stat st;
    const bool exists = ::stat(target_.c_str(), &st) == 0;
    if (exists && (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode))) {
      OpenDirect();
    } else if (exists && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
      throw LumivorError("Cannot write " + path_ + ": not a regular file");
    } else {
      OpenTemporary();
      // Keep the permissions of the file being replaced; a new file gets 0666 & ~umask.
      if (exists) {
        ::fchmod(fd_, st.st_mode & 07777);
      } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        ::fchmod(fd_, 0666 & ~mask);
      }
    }
  }
  const int stream_fd = ::fcntl(fd_, F_DUPFD_CLOEXEC, 0);
  if (stream_fd < 0) Fail(errno);
  file_ = ::fdopen(stream_fd, "wb");
  if (!file_) {
    const int error = errno;
    ::close(stream_fd);
    Fail(error);
  }
  std::setvbuf(file_, nullptr, _IOFBF, 1 << 16);
}

void AtomicFile::OpenDirect() {
  direct_ = true;
  handed_over_path_ = target_;
  fd_ = ::open(target_.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
  if (fd_ < 0) Fail(errno);
}

void AtomicFile::OpenTemporary() {
  const std::string directory(DirectoryOf(target_));
  if (HaveProcFileDescriptors()) {
    fd_ = ::open(directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
    if (fd_ >= 0) {
      handed_over_path_ = "/proc/self/fd/" + std::to_string(fd_);
      // Taken before the file has a name, so no one ever sees it named and unlocked.
      ::flock(fd_, LOCK_EX);
      return;
    }
    // File systems without unnamed files say so in several ways; anything else is an error.
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) Fail(errno);
  }
  const std::string prefix = std::string(directory) + "/" + TemporaryNamePrefix(NameOf(target_));
  std::string name = prefix + "XXXXXX";
  fd_ = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd_ < 0) Fail(errno);
  ::flock(fd_, LOCK_EX);
  temp_path_ = name;
  handed_over_path_ = temp_path_;
}

void AtomicFile::LinkTemporary() {
  const std::string prefix =
      std::string(DirectoryOf(target_)) + "/" + TemporaryNamePrefix(NameOf(target_));
  const std::string source = "/proc/self/fd/" + std::to_string(fd_);
  for (;;) {
    std::string name = prefix + RandomSuffix();
    if (::linkat(AT_FDCWD, source.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
      temp_path_ = std::move(name);
      return;
    }
    if (errno != EEXIST) Fail(errno);
  }
}

AtomicFile::~AtomicFile() {
  syncer_.reset();
  if (file_) std::fclose(file_);
  if (!committed_ && !temp_path_.empty()) ::unlink(temp_path_.c_str());
  if (fd_ >= 0) ::close(fd_);
}

void AtomicFile::Fail(int error_number) {
  throw LumivorError("Cannot write " + path_ + ": " + SystemMessage(error_number));
}

void AtomicFile::Write(std::string_view data) {
  if (data.empty()) return;
  if (std::fwrite(data.data(), 1, data.size(), file_) != data.size()) Fail(errno);
  written_ += data.size();
  // The disk is asked to start writing every few megabytes of a large file while the rest is
  // made, so that the sync before the rename has only the last part left to wait for. A hint:
  // files that cannot take it are synced as they are.
  if (!direct_ && written_ - written_back_ >= kWritebackBytes) {
    (void)::sync_file_range(fd_, static_cast<off_t>(written_back_),
                            static_cast<off_t>(written_ - written_back_), SYNC_FILE_RANGE_WRITE);
    written_back_ = written_;
    if (written_ - sync_asked_ >= kBackgroundSyncBytes) SyncInBackground();
  }
}

void AtomicFile::SyncInBackground() {
  sync_asked_ = written_;
  if (!syncer_) {
    try {
      syncer_ = std::make_unique<Syncer>(fd_);
    } catch (const std::system_error&) {
      return;  // no thread to be had: the final sync does all of it
    }
  }
  syncer_->Request();
}

void AtomicFile::HandOverTemporaryPath() {
  if (!file_) return;
  std::FILE* file = file_;
  file_ = nullptr;
  if (std::fclose(file) != 0) Fail(errno);
}

void AtomicFile::Commit() {
  if (file_) {
    std::FILE* file = file_;
    file_ = nullptr;
    const bool flushed = std::fflush(file) == 0;
    const int error = errno;
    if (std::fclose(file) != 0 || !flushed) Fail(flushed ? errno : error);
  }
  if (direct_) {
    committed_ = true;
    return;
  }
  if (syncer_) {
    const int error = syncer_->Finish();
    syncer_.reset();
    if (error != 0) Fail(error);
  }
  // Pipes and some devices cannot sync; everything else must reach the disk before the rename.
  if (::fsync(fd_) != 0 && errno != EINVAL) Fail(errno);
  if (temp_path_.empty()) LinkTemporary();
  if (::rename(temp_path_.c_str(), target_.c_str()) != 0) Fail(errno);
  committed_ = true;
  RemoveStaleTemporaryFiles(target_);
}

void WriteFileAtomically(const std::string& path, std::string_view data) {
  AtomicFile file(path);
  file.Write(data);
  file.Commit();
}

}  // namespace lumivor
