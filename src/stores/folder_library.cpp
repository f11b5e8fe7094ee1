#include "stores/folder_library.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>
#include <vector>

#include "catalog/catalog_edit.h"
#include "catalog/catalog_file.h"
#include "catalog/catalog_reader.h"
#include "catalog/fields.h"
#include "core/errors.h"
#include "core/path_text.h"
#include "search/search.h"

namespace lumivor {

namespace {

bool Exists(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0;
}

bool IsDirectory(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// The first record in pre-order whose FullPath is `path`.
CatalogTree::Node* FindByFullPath(CatalogTree& tree, std::string_view path) {
  std::vector<CatalogTree::Node*> pending(tree.Root()->children.rbegin(),
                                          tree.Root()->children.rend());
  while (!pending.empty()) {
    CatalogTree::Node* node = pending.back();
    pending.pop_back();
    if (node->Field(kFullPath) == path) return node;
    pending.insert(pending.end(), node->children.rbegin(), node->children.rend());
  }
  return nullptr;
}

// Holds an exclusive lock on the catalog file at a path. A save replaces the file by renaming a
// new one over it, so the lock is on the file that is there once it is held: after waiting, the
// path is checked to still name the locked file, and the next one is locked otherwise.
class CatalogLock {
 public:
  explicit CatalogLock(const std::string& path) {
    for (;;) {
      // O_NONBLOCK: opening a FIFO put in the catalog's place must not wait for a writer.
      fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
      if (fd_ < 0) throw LumivorError(path + ": " + SystemMessage(errno));
      struct stat locked;
      if (::fstat(fd_, &locked) != 0 || !S_ISREG(locked.st_mode)) {
        ::close(fd_);
        throw LumivorError(path + ": not a regular file");
      }
      while (::flock(fd_, LOCK_EX) != 0) {
        if (errno != EINTR) {
          const int error = errno;
          ::close(fd_);
          throw LumivorError(path + ": " + SystemMessage(error));
        }
      }
      struct stat now;
      if (::stat(path.c_str(), &now) == 0 && now.st_dev == locked.st_dev &&
          now.st_ino == locked.st_ino) {
        return;
      }
      ::close(fd_);
    }
  }
  ~CatalogLock() { ::close(fd_); }
  CatalogLock(const CatalogLock&) = delete;
  CatalogLock& operator=(const CatalogLock&) = delete;

 private:
  int fd_ = -1;
};

}  // namespace

std::string ConflictText(std::string_view current) {
  return "The description was changed by someone else meanwhile. It now reads: \"" +
         std::string(current) + "\"";
}

DescribeOutcome DescribeInCatalogFile(const std::string& path, std::string_view entry_path,
                                      std::string_view text,
                                      const std::optional<std::string>& expect) {
  // The entry is found, and the text stored, as the catalog reader cleans texts.
  std::string clean_path, clean_text;
  if (SanitizeText(entry_path, &clean_path)) entry_path = clean_path;
  if (SanitizeText(text, &clean_text)) text = clean_text;
  const CatalogLock lock(path);
  CatalogTree tree = LoadCatalog(path);
  CatalogTree::Node* node = FindByFullPath(tree, entry_path);
  if (node == nullptr) {
    throw LumivorError(std::string(entry_path) + ": no such entry in the catalog " + path);
  }
  const std::string current(node->Field(kDescription));
  if (expect && *expect != current) return {DescribeOutcome::Status::kConflict, current};
  if (current == text) return {};
  ApplyEdit(node, kDescription, text);
  SaveCatalog(tree, path, NoProgress());
  return {};
}

FolderLibrary::FolderLibrary(std::string root, FolderSearch search)
    : root_(WithoutTrailingBackslash(root)), search_(std::move(search)) {}

std::string FolderLibrary::GroupDirectory(std::string_view group) const {
  return group.empty() ? root_ : JoinPath(root_, group);
}

std::string FolderLibrary::CatalogFile(std::string_view catalog) const {
  const std::string given(catalog);
  if (!given.empty() && given.front() == '/') return given;
  const std::string in_library = JoinPath(root_, catalog);
  if (given.size() > 4 && given.compare(given.size() - 4, 4, ".xml") == 0 && Exists(in_library)) {
    return in_library;
  }
  if (Exists(in_library + ".xml")) return in_library + ".xml";
  if (Exists(in_library)) return in_library;
  return in_library + ".xml";
}

CatalogTree FolderLibrary::List(bool groups_only) {
  CheckReadableDirectory(root_);
  return ListLibrary(root_, groups_only);
}

NewCatalogPlan FolderLibrary::PlanNewCatalog(std::string_view group, std::string_view name) {
  return lumivor::PlanNewCatalog(root_, group, name);
}

void FolderLibrary::SaveNewCatalog(const NewCatalogPlan& plan, const CatalogTree& tree) {
  MakeMissingGroups(plan);
  SaveCatalog(tree, plan.catalog_file, NoProgress());
}

void FolderLibrary::ReadCatalog(std::string_view catalog, RecordSink& sink) {
  ReadCatalogFile(CatalogFile(catalog), sink);
}

void FolderLibrary::ReplaceCatalog(std::string_view catalog,
                                   const std::function<void(RecordSink&)>& produce) {
  CatalogTree tree;
  TreeSink sink(&tree);
  produce(sink);
  SaveCatalog(tree, CatalogFile(catalog), NoProgress());
}

DescribeOutcome FolderLibrary::Describe(std::string_view catalog, std::string_view entry_path,
                                        std::string_view text,
                                        const std::optional<std::string>& expect) {
  return DescribeInCatalogFile(CatalogFile(catalog), entry_path, text, expect);
}

SearchOutcome FolderLibrary::Search(const SearchCriteria& criteria, std::string_view scope,
                                    Progress& progress, std::stop_token stop) {
  SearchCriteria scoped = criteria;
  scoped.scope_path = GroupDirectory(scope);
  scoped.scope_is_directory = IsDirectory(scoped.scope_path);
  if (!scoped.scope_is_directory) scoped.scope_path = CatalogFile(scope);
  if (search_) return search_(scoped, root_, progress, std::move(stop));
  return SearchLibrary(scoped, progress, std::move(stop));
}

LibraryChange FolderLibrary::CreateGroup(std::string_view parent, std::string_view name) {
  return CreateLibraryGroup(GroupDirectory(parent), name);
}

LibraryChange FolderLibrary::Rename(std::string_view item, std::string_view name, bool catalog) {
  return RenameLibraryItem(catalog ? CatalogFile(item) : GroupDirectory(item), name, catalog);
}

void FolderLibrary::Delete(std::string_view item, bool catalog) {
  DeleteLibraryItem(catalog ? CatalogFile(item) : GroupDirectory(item), root_);
}

MoveResult FolderLibrary::Move(std::string_view item, bool catalog, std::string_view target_group,
                               Prompts& prompts) {
  return MoveLibraryItem(catalog ? CatalogFile(item) : GroupDirectory(item),
                         GroupDirectory(target_group), root_, prompts);
}

}  // namespace lumivor
