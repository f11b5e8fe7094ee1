#include "core/archive_lister.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <memory>
#include <unordered_map>

#include "core/archive_headers.h"
#include "core/fields.h"
#include "core/media_readers.h"

namespace lumivor {

namespace {

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool EndsWithNoCase(std::string_view text, std::string_view suffix) {
  if (text.size() < suffix.size()) return false;
  text.remove_prefix(text.size() - suffix.size());
  for (std::size_t i = 0; i < suffix.size(); ++i) {
    if (LowerAscii(text[i]) != suffix[i]) return false;
  }
  return true;
}

// Endings, lower case, each with its dot.
constexpr std::array<std::string_view, 20> kArchiveEndings = {
    ".zip",    ".7z",      ".rar",   ".tar",    ".tgz",  ".tar.gz",  ".tbz",
    ".tbz2",   ".tar.bz2", ".txz",   ".tar.xz", ".tzst", ".tar.zst", ".tlz",
    ".tar.lz", ".taz",     ".tar.z", ".iso",    ".cpio", ".tar.lzma"};

// Archives up to this size are read whole before they are listed.
constexpr std::size_t kReadWhole = 64 * 1024;

// The folder tree an archive's paths describe, built as its entries are read.
class EntryTree {
 public:
  EntryTree() { nodes_.push_back({}); }

  void Add(std::string_view path, bool directory, std::uint64_t size, std::time_t mtime) {
    if (!path.empty() && path.back() == '/') directory = true;
    std::size_t parent = 0;
    std::string key;
    while (!path.empty()) {
      const std::size_t slash = path.find('/');
      const std::string_view part = path.substr(0, slash);
      path = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
      if (part.empty() || part == "." || part == "..") continue;
      // Trailing "/", "." or empty components do not make a file into a folder.
      bool last = true;
      for (std::string_view rest = path; !rest.empty();) {
        const std::size_t next = rest.find('/');
        const std::string_view piece = rest.substr(0, next);
        if (!piece.empty() && piece != "." && piece != "..") {
          last = false;
          break;
        }
        rest = next == std::string_view::npos ? std::string_view() : rest.substr(next + 1);
      }
      if (!key.empty()) key += '/';
      key += part;
      if (last && !directory) {
        const std::size_t file = NewNode(parent, part);
        nodes_[file].size = size;
        nodes_[file].mtime = mtime;
        return;
      }
      const auto [it, inserted] = folders_.try_emplace(key, 0);
      if (inserted) {
        it->second = NewNode(parent, part);
        nodes_[it->second].directory = true;
      }
      parent = it->second;
      if (last) nodes_[parent].mtime = mtime;
    }
  }

  // The entries in pre-order, folder sizes summed.
  std::vector<ArchiveEntry> Entries() {
    SumSizes();
    std::vector<ArchiveEntry> out;
    out.reserve(nodes_.size() - 1);
    struct Frame {
      std::size_t node;
      std::size_t next;
      std::size_t path_length;
    };
    std::vector<Frame> stack{{0, 0, 0}};
    std::string path;
    while (!stack.empty()) {
      Frame& frame = stack.back();
      const Node& parent = nodes_[frame.node];
      if (frame.next == parent.children.size()) {
        stack.pop_back();
        continue;
      }
      const std::size_t index = parent.children[frame.next++];
      const Node& node = nodes_[index];
      path.resize(frame.path_length);
      if (!path.empty()) path += '/';
      ArchiveEntry entry;
      entry.name_offset = path.size();
      path += node.name;
      entry.path = path;
      entry.depth = static_cast<int>(stack.size()) - 1;
      entry.directory = node.directory;
      entry.size = node.size;
      entry.mtime = node.mtime;
      out.push_back(std::move(entry));
      if (!node.children.empty()) stack.push_back({index, 0, path.size()});
    }
    return out;
  }

 private:
  struct Node {
    std::string name;
    bool directory = false;
    std::uint64_t size = 0;
    std::time_t mtime = 0;
    std::vector<std::size_t> children;
  };

  std::size_t NewNode(std::size_t parent, std::string_view name) {
    const std::size_t index = nodes_.size();
    nodes_.push_back({});
    std::string clean;
    nodes_[index].name = SanitizeText(name, &clean) ? clean : std::string(name);
    nodes_[parent].children.push_back(index);
    return index;
  }

  // Every node is made after its parent, so a walk from the last node to the first adds each
  // folder's total to its parent's after it is complete.
  void SumSizes() {
    std::vector<std::size_t> parent_of(nodes_.size(), 0);
    for (std::size_t i = 0; i < nodes_.size(); ++i) {
      for (std::size_t child : nodes_[i].children) parent_of[child] = i;
    }
    for (Node& node : nodes_) {
      if (node.directory) node.size = 0;
    }
    for (std::size_t i = nodes_.size(); i-- > 1;) nodes_[parent_of[i]].size += nodes_[i].size;
  }

  std::vector<Node> nodes_;
  std::unordered_map<std::string, std::size_t> folders_;
};

}  // namespace

bool IsArchiveName(std::string_view name) {
  for (std::string_view ending : kArchiveEndings) {
    if (name.size() > ending.size() && EndsWithNoCase(name, ending)) return true;
  }
  return false;
}

namespace {

// Lists the archive open at `fd`; `size` is its length when it is a regular file, else null
// (then only libarchive reads it).
ArchiveListing List(int fd, const std::uint64_t* size, const std::function<bool()>& cancelled) {
  ArchiveListing listing;
  const MediaReaderApi* readers = MediaReaders();
  if (!readers) return listing;
  // Builds the folder tree from the entries the reader reports.
  class Collector final : public ArchiveVisitor {
   public:
    explicit Collector(const std::function<bool()>& cancelled) : cancelled_(cancelled) {}
    bool Cancelled() override { return cancelled_ && cancelled_(); }
    void Entry(const char* path, bool directory, std::uint64_t size, std::time_t mtime) override {
      tree->Add(path, directory, size, mtime);
    }
    std::unique_ptr<EntryTree> tree = std::make_unique<EntryTree>();

   private:
    const std::function<bool()>& cancelled_;
  } collector(cancelled);
  // A small archive is read whole with one call, and every reader below takes its bytes from
  // memory: most archives a scan meets are small, and each read of a file costs a system call.
  std::string_view whole;
  if (size && *size <= kReadWhole) {
    thread_local std::unique_ptr<char[]> buffer(new char[kReadWhole]);
    const auto length = static_cast<std::size_t>(*size);
    if (ArchiveBytes(fd, length).Read(0, buffer.get(), length) == length) {
      whole = {buffer.get(), length};
    }
  }
  // The common archives are listed from their headers in the core; libarchive lists the others,
  // and those the header readers hand on, afresh.
  const HeaderListing headers = !whole.empty() ? ListArchiveHeaders(ArchiveBytes(whole), &collector)
                                : size ? ListArchiveHeaders(ArchiveBytes(fd, *size), &collector)
                                       : HeaderListing::kUnusual;
  if (headers == HeaderListing::kListed) {
    listing.outcome = ArchiveOutcome::kListed;
  } else if (headers == HeaderListing::kCancelled) {
    listing.outcome = ArchiveOutcome::kCancelled;
  } else {
    collector.tree = std::make_unique<EntryTree>();
    listing.outcome = !whole.empty()
                          ? readers->list_archive_bytes(whole.data(), whole.size(), &collector)
                          : readers->list_archive(fd, &collector);
  }
  if (listing.outcome == ArchiveOutcome::kListed) listing.entries = collector.tree->Entries();
  return listing;
}

}  // namespace

ArchiveListing ListArchive(int fd, const std::function<bool()>& cancelled) {
  struct stat info;
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
    const auto size = static_cast<std::uint64_t>(info.st_size);
    return List(fd, &size, cancelled);
  }
  return List(fd, nullptr, cancelled);
}

ArchiveListing ListArchive(int fd, std::uint64_t size, const std::function<bool()>& cancelled) {
  return List(fd, &size, cancelled);
}

ArchiveListing ListArchive(const std::string& path, const std::function<bool()>& cancelled) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  ArchiveListing listing = ListArchive(fd, cancelled);
  ::close(fd);
  return listing;
}

}  // namespace lumivor
