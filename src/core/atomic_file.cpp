#include "core/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "core/errors.h"

namespace lumivor {

AtomicFile::AtomicFile(std::string path) : path_(std::move(path)) {
  temp_path_ = path_ + ".tmp-XXXXXX";
  const int fd = ::mkstemp(temp_path_.data());
  if (fd < 0) {
    const int error = errno;
    temp_path_.clear();
    Fail(error);
  }
  // Keep the permissions of the file being replaced; a new file gets the usual 0666 & ~umask.
  struct stat st;
  if (::stat(path_.c_str(), &st) == 0) {
    ::fchmod(fd, st.st_mode & 07777);
  } else {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd, 0666 & ~mask);
  }
  file_ = ::fdopen(fd, "wb");
  if (!file_) {
    const int error = errno;
    ::close(fd);
    Fail(error);
  }
  std::setvbuf(file_, nullptr, _IOFBF, 1 << 16);
}

AtomicFile::~AtomicFile() {
  if (file_) std::fclose(file_);
  if (!committed_ && !temp_path_.empty()) ::unlink(temp_path_.c_str());
}

void AtomicFile::Fail(int error_number) {
  throw LumivorError("Cannot write " + path_ + ": " + SystemMessage(error_number));
}

void AtomicFile::Write(std::string_view data) {
  if (data.empty()) return;
  if (std::fwrite(data.data(), 1, data.size(), file_) != data.size()) Fail(errno);
}

void AtomicFile::HandOverTemporaryPath() {
  if (!file_) return;
  std::FILE* file = file_;
  file_ = nullptr;
  if (std::fclose(file) != 0) Fail(errno);
}

void AtomicFile::Commit() {
  if (file_) {
    if (std::fflush(file_) != 0) Fail(errno);
    if (::fsync(::fileno(file_)) != 0 && errno != EINVAL) Fail(errno);
    std::FILE* file = file_;
    file_ = nullptr;
    if (std::fclose(file) != 0) Fail(errno);
  } else {
    // Written by someone else through the path: sync what they wrote.
    const int fd = ::open(temp_path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) Fail(errno);
    const int synced = ::fsync(fd);
    const int error = errno;
    ::close(fd);
    if (synced != 0 && error != EINVAL) Fail(error);
  }
  if (::rename(temp_path_.c_str(), path_.c_str()) != 0) Fail(errno);
  committed_ = true;
}

void WriteFileAtomically(const std::string& path, std::string_view data) {
  AtomicFile file(path);
  file.Write(data);
  file.Commit();
}

}  // namespace lumivor
