#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace lumivor {

// Writes a file so that it is replaced only once it is complete: the bytes go to a temporary file
// in the same directory, which Commit() flushes to disk and renames over the target. Until then
// the old file stays as it was; a writer destroyed without Commit() removes its temporary file.
// Errors raise LumivorError naming the target file and the system's reason.
class AtomicFile {
 public:
  explicit AtomicFile(std::string path);
  ~AtomicFile();
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  // Appends `data` (buffered).
  void Write(std::string_view data);
  // Closes this writer's own stream so that a writer that only takes a path (a library that
  // opens the file itself) can write the whole of TemporaryPath(); Commit() still replaces the
  // target, and the temporary file is still removed when the writer is dropped uncommitted.
  void HandOverTemporaryPath();
  // Flushes, syncs and renames the temporary file over the target.
  void Commit();

  [[nodiscard]] const std::string& Path() const { return path_; }
  [[nodiscard]] const std::string& TemporaryPath() const { return temp_path_; }
  // The underlying stream, for writers that format straight into it.
  [[nodiscard]] std::FILE* Stream() { return file_; }

 private:
  [[noreturn]] void Fail(int error_number);

  std::string path_;
  std::string temp_path_;
  std::FILE* file_ = nullptr;
  bool committed_ = false;
};

// Writes `data` as the whole content of `path`, atomically as above.
void WriteFileAtomically(const std::string& path, std::string_view data);

}  // namespace lumivor
