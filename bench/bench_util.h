#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "catalog/catalog_tree.h"

namespace lumivor::bench {

// Wall-clock seconds since construction.
class Stopwatch {
 public:
  Stopwatch() : start_(std::chrono::steady_clock::now()) {}
  [[nodiscard]] double Seconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  }

 private:
  std::chrono::steady_clock::time_point start_;
};

// Bytes currently allocated from the heap (malloc's own count, overhead included).
[[nodiscard]] std::size_t HeapInUse();
// The largest resident set size of the process so far, in bytes.
[[nodiscard]] std::size_t PeakResidentBytes();
// The current resident set size of the process, in bytes.
[[nodiscard]] std::size_t ResidentBytes();

// Live bytes allocated through operator new since the program started, and the highest value
// since the last ResetPeakTrackedBytes() (malloc calls made directly are not seen).
[[nodiscard]] std::size_t TrackedBytes();
[[nodiscard]] std::size_t PeakTrackedBytes();
void ResetPeakTrackedBytes();

// What a child process took.
struct ChildRun {
  bool ok = false;          // it was started and exited with status 0
  double seconds = 0;       // wall clock, from start to exit
  double cpu_seconds = 0;   // its user and system time: on a busy machine the wall clock also
                            // measures the others
  double peak_mb = 0;       // its largest resident set
  double minor_faults = 0;  // pages it touched for the first time (each costs a fault)
};
// Runs `args` (the program first) with its standard output, and with `quiet_errors` its error
// output too, sent to /dev/null, and waits for it.
[[nodiscard]] ChildRun RunChild(std::vector<std::string> args, bool quiet_errors = true);
// The same; a child that cannot be started or fails ends the benchmark (exit status 2).
ChildRun RunChildOrExit(std::vector<std::string> args, bool quiet_errors = true);

// Prints "key=value" on a line of its own.
void Report(std::string_view key, double value);
void Report(std::string_view key, std::string_view value);

// A positive integer option "--name=N" from the command line, or `fallback`.
[[nodiscard]] std::size_t IntOption(int argc, char** argv, std::string_view name,
                                    std::size_t fallback);
// A text option "--name=TEXT", or `fallback`.
[[nodiscard]] std::string TextOption(int argc, char** argv, std::string_view name,
                                     std::string fallback);

// Deterministic pseudo-random numbers.
class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed * 6364136223846793005ULL + 1) {}
  std::uint64_t Next() {
    state_ ^= state_ >> 12;
    state_ ^= state_ << 25;
    state_ ^= state_ >> 27;
    return state_ * 2685821657736338717ULL;
  }
  std::size_t Below(std::size_t n) { return static_cast<std::size_t>(Next() % n); }

 private:
  std::uint64_t state_;
};

// A synthetic scanned catalog of about `records` records: folders of 10 to 40 entries, nested a
// few levels deep, names of about 30 characters, paths of about 90, realistic sizes and times.
// Catalogs made with other seeds hold other names.
// With `non_ascii`, one name in twenty also holds a word with letters beyond ASCII.
[[nodiscard]] CatalogTree SyntheticCatalog(std::size_t records, std::string_view catalog_name,
                                           std::uint64_t seed = 42, bool non_ascii = false);

// The words the names of SyntheticCatalog are made of, and those beyond ASCII.
[[nodiscard]] const std::vector<std::string>& SyntheticWords();
[[nodiscard]] const std::vector<std::string>& SyntheticNonAsciiWords();
[[nodiscard]] const std::vector<std::string>& SyntheticExtensions();

// A temporary directory removed (with everything in it) on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  [[nodiscard]] const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace lumivor::bench
