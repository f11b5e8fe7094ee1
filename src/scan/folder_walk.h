#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string_view>

#include "core/record_sink.h"
#include "scan/scanner.h"

namespace lumivor {

// How the walk of a scan is spread over threads.
struct WalkOptions {
  // Threads that list folders besides the calling thread; 0: one per core. With 1 every folder
  // is listed on the calling thread, one after another.
  std::size_t threads = 0;
  // Waited before each system call that reads the file system, as a slow disk or a network share
  // would make the walk wait (benchmarks only).
  std::chrono::microseconds call_latency{0};
};

// The number of threads a walk uses by default: one per core.
[[nodiscard]] std::size_t DefaultWalkThreads();

// Hands every directory and file below the folder `dir` to `sink` in pre-order: the records of
// the folder's entries at depth `depth` + 1, theirs one deeper, a folder's entries in the order
// the file system lists them. The records and their order are the same whatever the number of
// threads: folders are listed ahead by a pool of threads (each taking folders from the others
// when it runs out), and the calling thread hands the records on in order as their folders
// become ready, listing a folder itself when no thread has started it yet.
//
// The rules of ScanDirectory: a child's FullPath is `full_path` (then its parent's) joined by
// "/"; symbolic links are files with their own size and time; a folder on another file system
// (or a bind mount) is recorded but not entered; other kinds are files of size 0 and never
// opened. A folder that cannot be opened or read to its end is recorded with what could be read
// of it and the further attribute ReadError holding the reason, and counted in the report (the
// reason for `dir` itself is the report's top_read_error). `settings.deep` must be null.
//
// A stop requested of `settings.stop` is heard before each folder and every few thousand
// records. What the sink or an allocation raises on any thread is raised here,
// after every thread stopped; a walk that raised handed on only part of the folder.
ScanReport WalkFolder(std::string_view dir, std::string_view full_path, int depth,
                      const ScanSettings& settings, RecordSink& sink,
                      const WalkOptions& options = {});

class CatalogWriter;

// The whole tree below a folder listed into memory by WalkFolder's threads, all of them listing
// until no folder is left, and kept: a catalog is written from it without a CatalogTree. Its
// records are those ScanFolder makes of the walk, byte for byte: WalkFolder's, each directory's
// FileSize the sum of the sizes of the files below it and every SizePercentage its share of
// the total (without `OnlyFolders`), and under an `ExtFilter` no folder that holds no file.
class FolderListing {
 public:
  explicit FolderListing(const ScanSettings& settings, const WalkOptions& options = {});
  ~FolderListing();
  FolderListing(const FolderListing&) = delete;
  FolderListing& operator=(const FolderListing&) = delete;

  // Lists everything below the folder `dir`, whose record has the FullPath `full_path` and depth
  // 0; the report is WalkFolder's. The listener is told of the folders listed on this thread
  // with the entries listed so far. A stop requested of the settings' token is heard before
  // each folder; a cancelled listing writes nothing. Call once.
  ScanReport List(std::string_view dir, std::string_view full_path);

  // The sum of the sizes of all files below `dir`, as the top record's FileSize gives it; 0 with
  // `OnlyFolders`.
  [[nodiscard]] double TotalSize() const;
  // The records below `dir` that are written.
  [[nodiscard]] std::size_t Records() const;

  // The records below `dir` in parts: adding parts 0 to PartCount() - 1 to a writer, in order,
  // after the top record, adds every record in pre-order. WritePart may run on several threads
  // at once for different parts (see WriteCatalogParts); it stops early when a stop is requested.
  [[nodiscard]] std::size_t PartCount() const;
  void WritePart(std::size_t index, CatalogWriter& writer) const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace lumivor
