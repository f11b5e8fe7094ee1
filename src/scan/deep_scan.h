#pragma once

#include <cstddef>
#include <memory>
#include <stop_token>
#include <string>
#include <string_view>

#include <sys/stat.h>

#include "catalog/catalog_tree.h"
#include "scan/archive_lister.h"
#include "scan/local_time_converter.h"
#include "scan/media_tags.h"

namespace lumivor {

// What a scan looks into beyond the folder tree. Both off: a scan as without them.
struct DeepScanOptions {
  // List the entries of archives as children of the archive's record.
  bool archives = false;
  // Read the tags of music, photos and videos into further attributes.
  bool metadata = false;

  [[nodiscard]] bool Any() const { return archives || metadata; }
};

// What a deep scan found, for its closing message.
struct DeepScanCounts {
  std::size_t archives_listed = 0;
  std::size_t archives_encrypted = 0;
  std::size_t archives_damaged = 0;
  std::size_t archives_unsupported = 0;
  std::size_t files_tagged = 0;
  // Files the scan wanted to look into but could not, because its readers could not be loaded;
  // `readers_error` then says why.
  std::size_t files_not_read = 0;
  std::string readers_error;

  [[nodiscard]] std::size_t ArchivesNotOpened() const {
    return archives_encrypted + archives_damaged + archives_unsupported;
  }
};

// The closing note of a deep scan: how many archives were listed and how many files gave tags,
// how many archives could not be opened (by reason) and so stand as plain files, and how many
// files were not looked into at all because the readers could not be loaded (and why). Empty
// when nothing was asked for.
[[nodiscard]] std::string DeepScanNote(const DeepScanOptions& options,
                                       const DeepScanCounts& counts);

// Looks into the files of one scan, one file at a time: the folder walker hands it every
// regular file it records.
//
// Files are chosen by their extension (IsArchiveName, MediaKindOf), so the plain files of a
// folder cost no more than the comparison of their names. Symbolic links are never followed.
class DeepScanner {
 public:
  // `stop` is looked at now and then; a requested stop ends the reading.
  DeepScanner(const DeepScanOptions& options, std::stop_token stop = {});

  // True when the file named `name` is one this scan reads.
  [[nodiscard]] bool Wants(std::string_view name) const;

  // Opens the file `name` in the folder open at `dir_fd` for reading, without following a
  // symbolic link, without waiting on a FIFO and, where the file's owner allows, without changing
  // its access time. -1 when it cannot be opened.
  [[nodiscard]] int Open(int dir_fd, const char* name);

  // Reads the regular file `name` in the folder open at `dir_fd`: its tags (Tags()) and, for an
  // archive, its entries (kept for AddEntries). A file that cannot be read gives nothing.
  void Read(int dir_fd, const char* name);

  // The same for the file open at `fd` (from Open; not taken over) whose facts are `info`.
  void Read(int fd, const struct stat& info, const char* name);

  // True when the tags of a file named `name` may come from its first bytes alone
  // (kMediaHeadBytes; a format with a header reader).
  [[nodiscard]] bool ReadsHead(std::string_view name) const;

  // The same as Read for the file `name` in the folder open at `dir_fd` whose facts are `info`
  // and whose first bytes (min(size, kMediaHeadBytes)) the caller read: the file is opened only
  // when those bytes do not hold its tags.
  void Read(int dir_fd, const struct stat& info, const char* name, std::string_view head);

  // Whether files are opened without changing their access time, and the news that the system
  // refused that for a file (another owner's) opened elsewhere.
  [[nodiscard]] bool NoAtime() const { return no_atime_; }
  void NoAtimeRefused() { no_atime_ = false; }

  // The tags of the file last read.
  [[nodiscard]] const MediaTags& Tags() const { return tags_; }
  // The same as further attributes of its record (views into Tags()).
  [[nodiscard]] const ExtraViews& Extras() const { return extras_; }

  // Adds the entries of the archive last read as descendants of its record `node`: FullPath is
  // the archive's FullPath, "/" and the path inside; FileSize the uncompressed size (folders: the
  // sum below them); FileTime the entry's time; CatalogName that of `node`. Nothing when the last
  // file read was no archive or could not be listed.
  void AddEntries(CatalogTree& tree, CatalogTree::Node* node);
  // The same, the times written through the converter of the walk that recorded `node`.
  void AddEntries(CatalogTree& tree, CatalogTree::Node* node, LocalTimeConverter& times);

  // True once the user cancelled; the walk should stop.
  [[nodiscard]] bool Cancelled() const { return cancelled_; }

  [[nodiscard]] const DeepScanCounts& Counts() const { return counts_; }

 private:
  bool PollCancel();
  // Reads the regular file open at `fd` (Read without the question whether the user cancelled);
  // `first_page`: its first bytes when they were read already (see ReadMediaTags).
  void ReadOpen(int fd, const struct stat& info, const char* name,
                std::string_view first_page = {});
  // Counts the file being read as one the missing readers' module would have read.
  void NoReaders();

  DeepScanOptions options_;
  std::stop_token stop_;
  MediaTags tags_;
  ExtraViews extras_;
  ArchiveListing listing_;
  DeepScanCounts counts_;
  std::unique_ptr<LocalTimeConverter> times_;  // made for the first archive listed
  bool cancelled_ = false;
  // Cleared once the system refuses O_NOATIME (a file of another owner), so that later files are
  // not opened twice.
  bool no_atime_ = true;
};

}  // namespace lumivor
