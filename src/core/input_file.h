#pragma once

#include <cstdint>
#include <string>

struct stat;

namespace lumivor {

// Opens the catalog or configuration file at `path` for reading and returns its descriptor (the
// caller closes it). This is the one rule for what the program reads as a file: a regular file,
// or a pipe that was handed over already open (the standard input of a shell pipeline as
// "/dev/stdin", a process substitution as "/dev/fd/N"), which is read as it comes. A named FIFO,
// a socket or a device raises LumivorError "PATH: not a regular file" without being read, so
// that a FIFO nobody writes to cannot block and /dev/zero cannot fill the memory; a folder raises
// "PATH: Is a directory". A file that cannot be opened raises "PATH: REASON" with the system's
// reason.
[[nodiscard]] int OpenRegularFile(const std::string& path);

// OpenRegularFile without raising: the descriptor, or -1 with `*error` set to the system's error
// number, or to 0 when the file is not a regular one.
[[nodiscard]] int TryOpenRegularFile(const std::string& path, int* error);

// The reason for a TryOpenRegularFile `error`: "not a regular file" for 0, else the system's.
[[nodiscard]] std::string OpenFailureText(int error);

// What identifies one state of a file: when any of these change, it may hold something else.
struct FileStamp {
  std::int64_t size = 0;
  std::int64_t mtime_ns = 0;
  std::uint64_t inode = 0;
  std::uint64_t device = 0;

  friend bool operator==(const FileStamp&, const FileStamp&) = default;
};

// The stamp of a file from its status.
[[nodiscard]] FileStamp StampOf(const struct stat& st);

}  // namespace lumivor
