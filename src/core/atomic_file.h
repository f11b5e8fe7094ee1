#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

namespace lumivor {

// Writes a file so that it is replaced only once it is complete. The bytes go to a temporary
// file in the target's directory, which Commit() flushes to disk and renames over the target;
// until then the old file stays as it was, and a writer destroyed without Commit() leaves nothing
// behind. Errors raise LumivorError naming the target file and the system's reason.
//
// Where the file system allows, the temporary file has no name at all while it is written
// (O_TMPFILE), so a process killed at any moment leaves nothing; it gets a hidden name (see
// IsTemporaryFileName) only for the instant between being linked and being renamed, or for the
// whole write where unnamed files are not supported. Such a name is held under a lock while its
// writer lives, and a later save to the same target removes the ones whose writer has died.
//
// A target that is a symbolic link is followed: the file it points to is replaced, the link
// stays. A FIFO, a character device (/dev/null, a terminal) or "-" (standard output) is written
// straight through, without a temporary file; Commit() then only flushes.
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
  // The path through which the temporary file can be opened for writing (after
  // HandOverTemporaryPath(); for a target written straight through, the target itself).
  [[nodiscard]] const std::string& TemporaryPath() const { return handed_over_path_; }
  // The underlying stream, for writers that format straight into it.
  [[nodiscard]] std::FILE* Stream() { return file_; }

 private:
  [[noreturn]] void Fail(int error_number);
  void OpenTemporary();
  void OpenDirect();
  // Gives the unnamed temporary file a hidden name in the target's directory.
  void LinkTemporary();
  // Asks the background syncer (started with the first large write) to sync what was written.
  void SyncInBackground();

  class Syncer;

  std::string path_;       // as given
  std::string target_;     // the file replaced: path_ with its symbolic links followed
  std::string temp_path_;  // the temporary file's hidden name; empty while it has none
  std::string handed_over_path_;
  int fd_ = -1;  // the temporary file (locked) or the file written straight through
  std::FILE* file_ = nullptr;
  bool direct_ = false;
  bool committed_ = false;
  std::uint64_t written_ = 0;       // bytes given to Write
  std::uint64_t written_back_ = 0;  // of which the disk was asked to start writing
  std::uint64_t sync_asked_ = 0;    // of which the background syncer was asked to sync
  std::unique_ptr<Syncer> syncer_;
};

// Writes `data` as the whole content of `path`, atomically as above.
void WriteFileAtomically(const std::string& path, std::string_view data);

// True when `name` (a file name without folders) is the hidden name of an AtomicFile's temporary
// file: "." + the target's name (cut to fit) + ".tmp-" + six letters or digits. Listings and
// searches of the library pass such names over: they are never catalogs.
[[nodiscard]] bool IsTemporaryFileName(std::string_view name);

// The hidden name prefix of the temporary files for a target named `name`: "." + `name`, cut at
// a character boundary so that the whole temporary name fits the 255 bytes a file name may have,
// + ".tmp-".
[[nodiscard]] std::string TemporaryNamePrefix(std::string_view name);

}  // namespace lumivor
