#include "core/input_file.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>

#include "core/errors.h"

namespace lumivor {

namespace {

// A pipe without a name in a file system: one end of it was handed over open (a pipeline, a
// process substitution). A named FIFO lives in the file system of its folder instead, and opening
// it may wait for a writer that never comes.
bool IsUnnamedPipe(const struct statfs& fs) { return fs.f_type == PIPEFS_MAGIC; }

}  // namespace

int TryOpenRegularFile(const std::string& path, int* error) {
  // Look before opening: opening a device may itself act (a tape rewinds, a terminal becomes the
  // controlling one), and opening a FIFO for reading waits for a writer.
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    *error = errno;
    return -1;
  }
  struct statfs fs;
  const auto acceptable = [&](bool looked_at_fs) {
    return S_ISREG(st.st_mode) || (S_ISFIFO(st.st_mode) && looked_at_fs && IsUnnamedPipe(fs));
  };
  if (!acceptable(S_ISFIFO(st.st_mode) && ::statfs(path.c_str(), &fs) == 0)) {
    *error = S_ISDIR(st.st_mode) ? EISDIR : 0;
    return -1;
  }
  // The path may be swapped between the look and the open: open without waiting and look again
  // at what was actually opened.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    *error = errno;
    return -1;
  }
  const bool looked = ::fstat(fd, &st) == 0;
  if (!looked || !acceptable(S_ISFIFO(st.st_mode) && ::fstatfs(fd, &fs) == 0)) {
    *error = !looked ? errno : S_ISDIR(st.st_mode) ? EISDIR : 0;
    ::close(fd);
    return -1;
  }
  // Reads of a pipe wait for their data as usual.
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  return fd;
}

std::string OpenFailureText(int error) {
  return error == 0 ? std::string("not a regular file") : SystemMessage(error);
}

FileStamp StampOf(const struct stat& st) {
  return {static_cast<std::int64_t>(st.st_size),
          static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec,
          static_cast<std::uint64_t>(st.st_ino), static_cast<std::uint64_t>(st.st_dev)};
}

int OpenRegularFile(const std::string& path) {
  int error = 0;
  const int fd = TryOpenRegularFile(path, &error);
  if (fd < 0) throw LumivorError(path + ": " + OpenFailureText(error));
  return fd;
}

}  // namespace lumivor
