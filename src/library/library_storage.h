#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "catalog/catalog_edit.h"  // kInvalidName: the same refusal for every name
#include "catalog/catalog_tree.h"
#include "core/path_text.h"
#include "core/prompts.h"

namespace lumivor {

// The catalog library on disk: a directory tree in which every directory below the root is a
// group and every file a catalog (normally "<name>.xml"). There is no index; every listing reads
// the tree afresh.

// The FileName of the listing's root node, whatever the root directory is called.
inline constexpr std::string_view kLibraryRootCaption = "CatalogLibrary";
// The groups a new library starts with, in the order they are created.
inline constexpr std::array<std::string_view, 5> kDefaultGroups = {"Mp3", "DVD", "Movie", "Book",
                                                                   "Document"};
// The name a new group is proposed under.
inline constexpr std::string_view kNewGroupName = "NewGroup";

// Refusals of a typed name (caption "Warning", exclamation icon) and the move question.
inline constexpr std::string_view kNameExists = "A file with the name already exists!";
inline constexpr std::string_view kReplaceItemQuestion =
    "An item with the same name already exists in the target group. Replace it?";
inline constexpr std::string_view kWarningCaption = "Warning";
inline constexpr std::string_view kCatalogNameTooLong =
    "The catalog name is too long: its file name (with \".xml\") may have at most 255 bytes.";
// The longest name a catalog can have: with ".xml" it makes a file name of 255 bytes.
inline constexpr std::size_t kMaxCatalogNameBytes = 251;

// The listing of the library at `root` (empty: GetConfig().LibraryPath()). The top node is the
// root (FileName "CatalogLibrary", FullPath `root`, FileType "directory"); below it one node per
// group (FileType "directory", FileName the directory name) and per catalog (FileType "file",
// FileName and CatalogName the file name cut before its first "."), with FullPath, FileSize
// (groups and root: the sum below them) and FileTime. SizePercentage is "100" for the root and
// every other node's share of the total ("0.00"), or empty when the total is 0. With
// `groups_only` only directories are listed. A missing root lists as the root node alone with
// FileSize "0"; unreadable groups list as empty groups. Each folder lists its groups first, then
// its catalogs, each by name (ASCII letters folded), whatever order the file system keeps.
// Catalogs are what EnumerateLibrary takes as catalogs: a FIFO or device is never listed.
[[nodiscard]] CatalogTree ListLibrary(const std::string& root, bool groups_only);

// One node of a library listing before the tree is made: every kind of library (a folder, a
// server) lists its groups and catalogs as these, and LibraryTreeOf makes the same tree of them.
struct ListedItem {
  std::size_t parent;  // index of the group holding it; the first item is the root (parent 0)
  std::string path;    // FullPath
  std::string name;    // as shown: a catalog's name is cut before its first "."
  std::string time;    // FileTime text
  std::uint64_t size;  // a catalog's size; groups get the sum of what they hold
  bool directory;
};

// The listing tree of `items` (the root first, every item after its parent), as ListLibrary
// describes it: sizes summed into groups, size shares, each folder's groups first, then its
// catalogs, each by name.
[[nodiscard]] CatalogTree LibraryTreeOf(std::vector<ListedItem> items);

// Raises LumivorError "PATH: REASON" when the directory `path` (a library or one of its groups)
// is missing, is no directory or cannot be listed, so that a listing or a search of it would
// find nothing for a reason the user is not told.
void CheckReadableDirectory(const std::string& path);

// Creates `root` with the default groups when `root` does not exist; does nothing when it does.
// Failures are ignored (the next listing shows what is there).
void CreateDefaultLibrary(const std::string& root);

// Deletes the directory `path` with everything in it. Only a directory strictly inside
// `library_root` is deleted: never the root itself, "/", or anything on another file system
// (a mount point inside the tree). Symbolic links are removed, never followed. Read-only
// directories are made writable before they are emptied. Raises LumivorError naming the path and
// the system's message at the first failure; what was deleted before stays deleted.
void DeleteDirectoryTree(const std::string& path, const std::string& library_root);

// The outcome of a move: `success` true when the item now lies in the target group. `message` is
// empty on success and when the user declined to replace an item; otherwise the reason for the
// user (on success it can carry a warning, for instance an original that could not be removed
// after copying).
struct MoveResult {
  bool success = false;
  std::string message;
};

// The drop rule of the library window's drag and drop: true when the item at `item_path` (a group
// or catalog below the library root) may be dropped on the group at `target_group`, which must be
// a group (`target_is_group`): not the item itself, nothing below it, nor the group it already
// lies in. MoveLibraryItem checks the same again when the move runs.
[[nodiscard]] bool CanDropLibraryItem(std::string_view item_path, std::string_view target_group,
                                      bool target_is_group);

// Moves the file or directory `source` into the directory `target_group` under its own name;
// both lie inside `library_root`, and a missing target directory is created. Renames within a file
// system and copies, then removes, across file systems. An item of the same name in the target is
// replaced only after `prompts` answered kReplaceItemQuestion with Yes; on No nothing moves.
// A group cannot move into itself or one of its own groups.
[[nodiscard]] MoveResult MoveLibraryItem(const std::string& source, const std::string& target_group,
                                         const std::string& library_root, Prompts& prompts);

// How a library path is shown: from the first "CatalogLibrary" on, without the extension of the
// last component (".xml"); a path without "CatalogLibrary" is returned unchanged.
[[nodiscard]] std::string LibraryDisplayPath(std::string_view path);

// The group of the catalog file at `catalog_path` as shown: the display path of the directory it
// lies in ("CatalogLibrary/Mp3"; "CatalogLibrary" for a catalog at the top of the library).
[[nodiscard]] std::string CatalogGroupDisplayPath(std::string_view catalog_path);

// Why `name` cannot name a group or catalog (one of the kInvalidName texts); empty when it can.
// A name is not empty, does not start with "." (which would hide the item, and give a catalog an
// empty name, since it is shown cut before its first "."), holds no "/" or NUL and has at most
// `max_bytes` bytes. Names are otherwise taken as typed (not trimmed).
[[nodiscard]] std::string_view LibraryNameRefusal(std::string_view name,
                                                  std::size_t max_bytes = kMaxNameBytes);
// True when LibraryNameRefusal has nothing against `name`.
[[nodiscard]] bool IsValidLibraryName(std::string_view name);

// The refusal for naming a new catalog `name`, checked before anything is scanned: the
// LibraryNameRefusal for a name it refuses, kCatalogNameTooLong for a name of more than
// kMaxCatalogNameBytes bytes (in UTF-8); empty when acceptable.
[[nodiscard]] std::string_view CheckNewCatalogName(std::string_view name);

// The path of a group named `name` directly in `parent_directory` (a new group: the library
// root; a renamed group: its parent directory): `parent_directory` + "/" + `name`.
[[nodiscard]] std::string GroupPath(std::string_view parent_directory, std::string_view name);
// The catalog file of a catalog named `name` in `group_directory`: group + "/" + name + ".xml".
[[nodiscard]] std::string CatalogFilePath(std::string_view group_directory, std::string_view name);
// The path a group at `group_path` gets when renamed to `name` (same parent directory).
[[nodiscard]] std::string RenamedGroupPath(std::string_view group_path, std::string_view name);
// The path a catalog file at `catalog_path` gets when renamed to `name` (same directory, ".xml").
[[nodiscard]] std::string RenamedCatalogPath(std::string_view catalog_path, std::string_view name);

// The clash test: true when anything (file, directory or link) exists at `path`, so that a new
// or renamed group or catalog there would replace or collide with it.
[[nodiscard]] bool LibraryPathClashes(const std::string& path);

// The refusal for giving the name `name` to an item that would then lie at `resulting_path`:
// the LibraryNameRefusal of an invalid name (kInvalidNameTooLong when the file name at
// `resulting_path` would be too long), kNameExists when the path clashes, empty when acceptable.
// A rename to the unchanged name is no change; callers test for that first.
[[nodiscard]] std::string_view CheckLibraryName(std::string_view name,
                                                const std::string& resulting_path);

// The outcome of a library change that the user named: `refusal` is kInvalidName or kNameExists
// when nothing was changed for that reason, empty when the change was made; `path` is where the
// item lies afterwards (also when refused: where it would have been).
struct LibraryChange {
  std::string_view refusal;
  std::string path;
};

// Creates a group named `name` in the directory `parent_directory` (the library root or a group),
// after checking the name with CheckLibraryName. Raises LumivorError with the system's message
// when the directory cannot be created.
[[nodiscard]] LibraryChange CreateLibraryGroup(std::string_view parent_directory,
                                               std::string_view name);

// Renames the group or catalog file at `path` to `name` in its own directory (a catalog keeps the
// ".xml" ending), after checking the name with CheckLibraryName. A name equal to the current one
// is refused as kNameExists, so callers test for "no change" first. Raises LumivorError with the
// system's message when the rename fails.
[[nodiscard]] LibraryChange RenameLibraryItem(const std::string& path, std::string_view name,
                                              bool catalog);

// Deletes the catalog file or group at `path`, which must lie strictly inside `library_root`; a
// group goes with everything in it (DeleteDirectoryTree). Raises LumivorError naming the path and
// the system's message at the first failure.
void DeleteLibraryItem(const std::string& path, const std::string& library_root);

}  // namespace lumivor
