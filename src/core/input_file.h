#pragma once

#include <string>

namespace lumivor {

// Opens the catalog or configuration file at `path` for reading and returns its descriptor (the
// caller closes it). Only a regular file is opened: a FIFO, socket or device raises LumivorError
// "PATH: not a regular file" without being read, so that a FIFO nobody writes to cannot block and
// /dev/zero cannot fill the memory; a folder raises "PATH: Is a directory". The one exception is
// the process's own standard input when it is a pipe ("/dev/stdin" under a shell pipeline), which
// is read as it comes. A file that cannot be opened raises "PATH: REASON" with the system's reason.
[[nodiscard]] int OpenRegularFile(const std::string& path);

// OpenRegularFile without raising: the descriptor, or -1 with `*error` set to the system's error
// number, or to 0 when the file is not a regular one.
[[nodiscard]] int TryOpenRegularFile(const std::string& path, int* error);

// The reason for a TryOpenRegularFile `error`: "not a regular file" for 0, else the system's.
[[nodiscard]] std::string OpenFailureText(int error);

}  // namespace lumivor
