#include "scan/catalog_medium.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <unordered_map>
#include <vector>

#include "catalog/catalog_reader.h"
#include "catalog/catalog_tree.h"
#include "catalog/fields.h"

namespace lumivor {

namespace {

// The head of a catalog file that holds its top record in any catalog written by this program.
// The first read is small: the top record of a catalog normally ends within it.
constexpr std::size_t kFirstHeadBytes = 4 * 1024;
constexpr std::size_t kHeadBytes = 64 * 1024;

// The end of the tag that starts at `at` (the index just past its ">"), minding quoted values;
// npos when the tag does not end in `text`.
std::size_t TagEnd(std::string_view text, std::size_t at) {
  char quote = 0;
  for (std::size_t i = at; i < text.size(); ++i) {
    const char c = text[i];
    if (quote) {
      if (c == quote) quote = 0;
    } else if (c == '"' || c == '\'') {
      quote = c;
    } else if (c == '>') {
      return i + 1;
    }
  }
  return std::string_view::npos;
}

// The start of the next element tag at or after `at`, past declarations and whitespace; npos when
// something else comes first.
std::size_t NextElement(std::string_view text, std::size_t at) {
  for (;;) {
    while (at < text.size() &&
           (text[at] == ' ' || text[at] == '\t' || text[at] == '\n' || text[at] == '\r')) {
      ++at;
    }
    if (at + 1 >= text.size() || text[at] != '<') return std::string_view::npos;
    if (text[at + 1] != '?') return at;
    const std::size_t end = text.find("?>", at);
    if (end == std::string_view::npos) return std::string_view::npos;
    at = end + 2;
  }
}

}  // namespace

std::string ScanDateNow() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  ::localtime_r(&now, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

void RecordScanFacts(CatalogRecord* top, std::string_view path, std::string_view scan_date,
                     bool only_folders, std::string_view ext_filter, const DeepScanOptions& deep) {
  const VolumeFacts facts = Volumes().FactsOf(path);
  top->SetExtra(kVolumeLabelAttribute, facts.label);
  top->SetExtra(kVolumeIdAttribute, facts.id);
  top->SetExtra(kFileSystemAttribute, facts.file_system);
  top->SetExtra(kVolumeSizeAttribute, facts.size);
  top->SetExtra(kVolumeFreeAttribute, facts.free);
  top->SetExtra(kScanDateAttribute, scan_date);
  top->SetExtra(kVolumeFolderAttribute, facts.folder);
  if (only_folders) {
    top->SetExtra(kScanScopeAttribute, "Only Folders");
  } else if (!ext_filter.empty()) {
    top->SetExtra(kScanScopeAttribute, "Filter " + std::string(ext_filter));
  }
  const std::string looked_into = deep.archives && deep.metadata ? "archives tags"
                                  : deep.archives                ? "archives"
                                  : deep.metadata                ? "tags"
                                                                 : "";
  top->SetExtra(kDeepScanAttribute, looked_into);
}

DeepScanOptions RecordedDeepScan(const CatalogRecord& top) {
  const std::string_view value = top.Extra(kDeepScanAttribute);
  DeepScanOptions deep;
  deep.archives = value.find("archives") != std::string_view::npos;
  deep.metadata = value.find("tags") != std::string_view::npos;
  return deep;
}

VolumeFacts RecordedVolumeFacts(const CatalogRecord& top) {
  VolumeFacts facts;
  facts.label = top.Extra(kVolumeLabelAttribute);
  facts.id = top.Extra(kVolumeIdAttribute);
  facts.file_system = top.Extra(kFileSystemAttribute);
  facts.size = top.Extra(kVolumeSizeAttribute);
  facts.free = top.Extra(kVolumeFreeAttribute);
  facts.folder = top.Extra(kVolumeFolderAttribute);
  return facts;
}

MediumState MediumStateOf(const CatalogRecord& top) {
  MediumState state;
  const VolumeFacts facts = RecordedVolumeFacts(top);
  if (facts.id.empty() && facts.label.empty()) return state;
  state.folder = MountedFolderOf(facts);
  state.kind = state.folder.empty() ? MediumState::Kind::kAbsent : MediumState::Kind::kConnected;
  return state;
}

namespace {

// The top record from the first `limit` bytes of the open file `fd`; false when they do not hold
// the whole start tag of the top record.
bool TopFromHead(int fd, std::size_t limit, const std::string& path, CatalogRecord* top) {
  std::string head(limit, '\0');
  std::size_t got = 0;
  while (got < head.size()) {
    const ssize_t n = ::pread(fd, head.data() + got, head.size() - got, static_cast<off_t>(got));
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  head.resize(got);
  const bool whole_file = got < limit;
  std::string_view text(head);
  std::size_t at = text.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0;
  // The root element, then its first child: the top record.
  const std::size_t root = NextElement(text, at);
  if (root == std::string_view::npos) return whole_file;
  const std::size_t root_end = TagEnd(text, root);
  if (root_end == std::string_view::npos) return whole_file;
  if (text[root_end - 2] == '/') return true;
  std::size_t name_end = root + 1;
  while (name_end < root_end && text[name_end] != ' ' && text[name_end] != '>' &&
         text[name_end] != '\t' && text[name_end] != '\n' && text[name_end] != '\r') {
    ++name_end;
  }
  const std::string_view root_name = text.substr(root + 1, name_end - root - 1);
  const std::size_t first = NextElement(text, root_end);
  if (first == std::string_view::npos) return whole_file;
  if (text[first + 1] == '/') return true;
  const std::size_t first_end = TagEnd(text, first);
  if (first_end == std::string_view::npos) return whole_file;
  // The head cut after the top record's start tag, closed so that it reads as a whole catalog.
  std::string cut(text.substr(0, first_end));
  if (cut[cut.size() - 2] != '/') cut.insert(cut.size() - 1, 1, '/');
  cut += "</";
  cut += root_name;
  cut += '>';
  CatalogTree tree;
  if (ReadCatalogText(cut, DisplayNameOf(path), &tree) && tree.Top()) {
    *top = tree.Top()->Record();
  }
  return true;
}

}  // namespace

CatalogRecord ReadCatalogTop(const std::string& path) {
  CatalogRecord top;
  // O_NONBLOCK: a FIFO or device put where a catalog was expected must not stop the caller
  // (the library window reads the head of every catalog it lists); only regular files are read.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return top;
  if (struct stat info; ::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return top;
  }
  if (!TopFromHead(fd, kFirstHeadBytes, path, &top)) TopFromHead(fd, kHeadBytes, path, &top);
  ::close(fd);
  return top;
}

std::vector<std::string> CatalogPathsOf(const CatalogTree& listing) {
  std::vector<std::string> paths;
  std::vector<const CatalogTree::Node*> stack{listing.Root()};
  while (!stack.empty()) {
    const CatalogTree::Node* node = stack.back();
    stack.pop_back();
    for (auto it = node->children.rbegin(); it != node->children.rend(); ++it) {
      stack.push_back(*it);
    }
    if (node->IsFile()) paths.emplace_back(node->Field(kFullPath));
  }
  return paths;
}

std::vector<CatalogMedium> ReadMediumStates(const std::vector<std::string>& paths,
                                            std::stop_token stop) {
  std::vector<CatalogMedium> media;
  for (const std::string& path : paths) {
    if (stop.stop_requested()) break;
    const CatalogRecord top = ReadCatalogTop(path);
    MediumState state = MediumStateOf(top);
    if (state.kind == MediumState::Kind::kUnknown) continue;
    media.push_back({path, std::move(state), std::string(top.Extra(kScanDateAttribute))});
  }
  return media;
}

std::vector<CatalogTree::Node*> ApplyMediumStates(CatalogTree* listing,
                                                  const std::vector<CatalogMedium>& media) {
  std::unordered_map<std::string_view, const CatalogMedium*> by_path;
  for (const CatalogMedium& medium : media) by_path.emplace(medium.path, &medium);
  std::vector<CatalogTree::Node*> marked;
  std::vector<CatalogTree::Node*> stack{listing->Root()};
  while (!stack.empty()) {
    CatalogTree::Node* node = stack.back();
    stack.pop_back();
    for (CatalogTree::Node* child : node->children) stack.push_back(child);
    if (!node->IsFile()) continue;
    const std::string path(node->Field(kFullPath));
    const auto found = by_path.find(path);
    if (found == by_path.end()) continue;
    const CatalogMedium& medium = *found->second;
    const bool connected = medium.state.kind == MediumState::Kind::kConnected;
    node->SetExtra(kMediumAttribute, connected ? "connected" : "absent");
    node->SetExtra(kMediumFolderAttribute, medium.state.folder);
    node->SetExtra(kLastSeenAttribute, connected ? std::string_view() : medium.last_seen);
    marked.push_back(node);
  }
  return marked;
}

void AddMediumStates(CatalogTree* listing) {
  ApplyMediumStates(listing, ReadMediumStates(CatalogPathsOf(*listing)));
}

std::vector<std::pair<std::string, std::string>> MediumDetails(const CatalogRecord& top) {
  std::vector<std::pair<std::string, std::string>> rows;
  for (std::string_view name : {kVolumeLabelAttribute, kVolumeIdAttribute, kFileSystemAttribute,
                                kVolumeSizeAttribute, kVolumeFreeAttribute, kScanDateAttribute}) {
    const std::string_view value = top.Extra(name);
    if (!value.empty()) rows.emplace_back(name, value);
  }
  const MediumState state = MediumStateOf(top);
  if (state.kind == MediumState::Kind::kConnected) {
    rows.emplace_back(kMediumAttribute, "Connected at " + state.folder);
  } else if (state.kind == MediumState::Kind::kAbsent) {
    const std::string_view seen = top.Extra(kScanDateAttribute);
    rows.emplace_back(kMediumAttribute, seen.empty()
                                            ? std::string("Not connected")
                                            : "Not connected, last seen " + std::string(seen));
  }
  return rows;
}

}  // namespace lumivor
