#include "core/input_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "core/errors.h"

namespace lumivor {

namespace {

// True when `st` is the pipe this process reads as its standard input.
bool IsStandardInputPipe(const struct stat& st) {
  struct stat in;
  return S_ISFIFO(st.st_mode) && ::fstat(STDIN_FILENO, &in) == 0 && S_ISFIFO(in.st_mode) &&
         in.st_dev == st.st_dev && in.st_ino == st.st_ino;
}

bool Acceptable(const struct stat& st) { return S_ISREG(st.st_mode) || IsStandardInputPipe(st); }

}  // namespace

int TryOpenRegularFile(const std::string& path, int* error) {
  // Look before opening: opening a device may itself act (a tape rewinds, a terminal becomes the
  // controlling one), and opening a FIFO for reading waits for a writer.
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    *error = errno;
    return -1;
  }
  if (!Acceptable(st)) {
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
  if (!looked || !Acceptable(st)) {
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

int OpenRegularFile(const std::string& path) {
  int error = 0;
  const int fd = TryOpenRegularFile(path, &error);
  if (fd < 0) throw LumivorError(path + ": " + OpenFailureText(error));
  return fd;
}

}  // namespace lumivor
