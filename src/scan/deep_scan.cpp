#include "scan/deep_scan.h"

#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>

#include "catalog/fields.h"
#include "scan/media_headers.h"
#include "scan/media_readers.h"
#include "scan/scanner.h"

namespace lumivor {

namespace {

// The most archive entries whose storage is kept from one archive to the next.
constexpr std::size_t kKeptEntries = 1 << 16;

std::string Counted(std::size_t count, std::string_view one, std::string_view many) {
  return std::to_string(count) + " " + std::string(count == 1 ? one : many);
}

std::string_view ToText(std::uint64_t value, char (&buffer)[24]) {
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return {buffer, static_cast<std::size_t>(result.ptr - buffer)};
}

}  // namespace

std::string DeepScanNote(const DeepScanOptions& options, const DeepScanCounts& counts) {
  if (!options.Any()) return {};
  std::string note;
  if (options.archives) {
    note += "Looked inside " + Counted(counts.archives_listed, "archive", "archives") + ".";
  }
  if (options.metadata) {
    if (!note.empty()) note += ' ';
    note += "Read the tags of " + Counted(counts.files_tagged, "file", "files") + ".";
  }
  if (counts.ArchivesNotOpened() > 0) {
    note += ' ' + Counted(counts.ArchivesNotOpened(), "archive", "archives") +
            (counts.ArchivesNotOpened() == 1 ? " was not opened and stands as a plain file:"
                                             : " were not opened and stand as plain files:");
    const char* separator = " ";
    auto part = [&](std::size_t count, std::string_view reason) {
      if (count == 0) return;
      note += separator + std::to_string(count) + " " + std::string(reason);
      separator = ", ";
    };
    part(counts.archives_encrypted, "encrypted");
    part(counts.archives_damaged, "damaged");
    part(counts.archives_unsupported, "unreadable");
    note += '.';
  }
  if (counts.files_not_read > 0) {
    note += ' ' + Counted(counts.files_not_read, "file was", "files were") +
            " catalogued without looking inside: " + counts.readers_error;
  }
  return note;
}

DeepScanner::DeepScanner(const DeepScanOptions& options, std::stop_token stop)
    : options_(options), stop_(std::move(stop)) {}

bool DeepScanner::Wants(std::string_view name) const {
  return (options_.metadata && MediaKindOf(name) != MediaKind::kNone) ||
         (options_.archives && IsArchiveName(name));
}

bool DeepScanner::PollCancel() {
  if (!cancelled_ && stop_.stop_requested()) cancelled_ = true;
  return cancelled_;
}

void DeepScanner::NoReaders() {
  ++counts_.files_not_read;
  if (counts_.readers_error.empty()) counts_.readers_error = MediaReadersError();
}

int DeepScanner::Open(int dir_fd, const char* name) {
  // O_NOFOLLOW: a link is recorded as itself; O_NONBLOCK: a FIFO swapped in since the listing
  // does not hang the scan (it is refused by the type check of the caller).
  constexpr int kFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  if (no_atime_) {
    // Cataloguing a medium should leave it as it was, access times included.
    const int fd = ::openat(dir_fd, name, kFlags | O_NOATIME);
    if (fd >= 0 || errno != EPERM) return fd;
    no_atime_ = false;
  }
  return ::openat(dir_fd, name, kFlags);
}

void DeepScanner::Read(int dir_fd, const char* name) {
  tags_.clear();
  extras_.clear();
  listing_.outcome = ArchiveOutcome::kUnsupported;
  if (PollCancel()) return;
  const int fd = Open(dir_fd, name);
  if (fd < 0) return;
  struct stat info;
  if (::fstat(fd, &info) == 0) ReadOpen(fd, info, name);
  ::close(fd);
}

void DeepScanner::Read(int fd, const struct stat& info, const char* name) {
  tags_.clear();
  extras_.clear();
  listing_.outcome = ArchiveOutcome::kUnsupported;
  if (!PollCancel()) ReadOpen(fd, info, name);
}

bool DeepScanner::ReadsHead(std::string_view name) const {
  const std::size_t dot = name.rfind('.');
  return options_.metadata && dot != std::string_view::npos && dot > 0 &&
         HasHeaderReader(name.substr(dot + 1)) && MediaKindOf(name) != MediaKind::kNone;
}

void DeepScanner::Read(int dir_fd, const struct stat& info, const char* name,
                       std::string_view head) {
  tags_.clear();
  extras_.clear();
  listing_.outcome = ArchiveOutcome::kUnsupported;
  if (PollCancel()) return;
  if (S_ISREG(info.st_mode) && ReadsHead(name) &&
      ReadMediaTagsFromHead(name, head, static_cast<std::uint64_t>(info.st_size), &tags_)) {
    if (!tags_.empty()) ++counts_.files_tagged;
    for (const auto& [tag, value] : tags_) extras_.push_back({tag, value});
    return;
  }
  const int fd = Open(dir_fd, name);
  if (fd < 0) return;
  struct stat now;
  if (::fstat(fd, &now) == 0) {
    // The first bytes already read serve again unless the file changed meanwhile.
    const bool same = now.st_dev == info.st_dev && now.st_ino == info.st_ino &&
                      now.st_size == info.st_size && now.st_mtim.tv_sec == info.st_mtim.tv_sec &&
                      now.st_mtim.tv_nsec == info.st_mtim.tv_nsec;
    ReadOpen(fd, now, name, same ? head : std::string_view());
  }
  ::close(fd);
}

void DeepScanner::ReadOpen(int fd, const struct stat& info, const char* name,
                           std::string_view first_page) {
  if (!S_ISREG(info.st_mode)) return;
  if (options_.metadata) {
    if (MediaKindOf(name) != MediaKind::kNone) {
      bool no_readers = false;
      tags_ = ReadMediaTags(fd, name, &no_readers, info.st_size, first_page);
      if (no_readers) NoReaders();
      if (!tags_.empty()) ++counts_.files_tagged;
      for (const auto& [tag, value] : tags_) extras_.push_back({tag, value});
    }
  }
  if (options_.archives && IsArchiveName(name) && !MediaReaders()) {
    NoReaders();
  } else if (options_.archives && IsArchiveName(name)) {
    // Asked between entries, and between blocks of a compressed archive; cheap (a flag).
    ListArchive(
        fd, static_cast<std::uint64_t>(info.st_size), [&] { return PollCancel(); }, &listing_);
    switch (listing_.outcome) {
      case ArchiveOutcome::kListed:
        ++counts_.archives_listed;
        break;
      case ArchiveOutcome::kEncrypted:
        ++counts_.archives_encrypted;
        break;
      case ArchiveOutcome::kDamaged:
        ++counts_.archives_damaged;
        break;
      case ArchiveOutcome::kUnsupported:
        ++counts_.archives_unsupported;
        break;
      case ArchiveOutcome::kCancelled:
      case ArchiveOutcome::kOutOfMemory:  // raised by ListArchive, never left here
        break;
    }
  }
}

void DeepScanner::AddEntries(CatalogTree& tree, CatalogTree::Node* node) {
  if (listing_.outcome != ArchiveOutcome::kListed || listing_.entries.empty()) return;
  if (!times_) times_ = std::make_unique<LocalTimeConverter>();
  AddEntries(tree, node, *times_);
}

void DeepScanner::AddEntries(CatalogTree& tree, CatalogTree::Node* node,
                             LocalTimeConverter& times) {
  if (listing_.outcome != ArchiveOutcome::kListed || listing_.entries.empty()) return;
  const std::string archive_path(node->Field(kFullPath));
  const std::string catalog_name(node->Field(kCatalogName));
  const std::size_t archive_points = CodePointCount(archive_path) + 1;
  // The record of the folder last added at each depth: the parent of the next entry one deeper.
  std::vector<CatalogTree::Node*> parents{node};
  std::string path = archive_path + "/";
  for (const ArchiveEntry& entry : listing_.entries) {
    parents.resize(static_cast<std::size_t>(entry.depth) + 1);
    path.resize(archive_path.size() + 1);
    path += entry.path;
    const std::string_view name = entry.Name();
    const std::size_t name_points = CodePointCount(name);
    char size_text[24], name_length_text[24], path_length_text[24], time_text[40];
    FieldViews fields{};
    fields[kFileName] = name;
    fields[kFullPath] = path;
    fields[kFileSize] = ToText(entry.size, size_text);
    if (entry.mtime != 0) fields[kFileTime] = times.Format(entry.mtime, time_text);
    fields[kFileExt] = entry.directory ? std::string_view() : ExtensionOf(name);
    fields[kFileType] = entry.directory ? kDirectoryType : kFileTypeText;
    fields[kFileNameLength] = ToText(name_points, name_length_text);
    fields[kPathNameLength] = ToText(archive_points + CodePointCount(entry.path), path_length_text);
    fields[kCatalogName] = catalog_name;
    CatalogTree::Node* added = tree.AddChild(parents.back(), fields);
    if (entry.directory) parents.push_back(added);
  }
  listing_.outcome = ArchiveOutcome::kUnsupported;
  // The entries' storage is kept for the next archive, unless this one was very large.
  if (listing_.entries.size() > kKeptEntries) listing_.entries = {};
}

}  // namespace lumivor
