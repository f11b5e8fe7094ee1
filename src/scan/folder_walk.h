#pragma once

#include <chrono>
#include <cstddef>
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

}  // namespace lumivor
