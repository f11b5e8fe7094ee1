#pragma once

#include <stop_token>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "catalog/catalog_tree.h"
#include "scan/deep_scan.h"

#include "catalog/catalog_record.h"
#include "scan/volumes.h"

namespace lumivor {

// The further attributes of a catalog's top record that describe the medium it was made from.
inline constexpr std::string_view kVolumeLabelAttribute = "VolumeLabel";
inline constexpr std::string_view kVolumeIdAttribute = "VolumeId";
inline constexpr std::string_view kFileSystemAttribute = "FileSystem";
inline constexpr std::string_view kVolumeSizeAttribute = "VolumeSize";  // bytes
inline constexpr std::string_view kVolumeFreeAttribute = "VolumeFree";  // bytes
inline constexpr std::string_view kScanDateAttribute = "ScanDate";      // "YYYY-MM-DD HH:MM:SS"
// The scanned folder's path within its volume ("/" for the whole volume), so that the folder is
// found again when the volume is mounted elsewhere.
inline constexpr std::string_view kVolumeFolderAttribute = "VolumeFolder";
// How the catalog was scoped, so that an update scans the same way: "Only Folders", or
// "Filter " and the extension filter (such as \.TXT\.DOC\). Absent for all files.
inline constexpr std::string_view kScanScopeAttribute = "ScanScope";
// What a deep scan looked into: "archives", "tags" or "archives tags". Absent for a plain scan.
inline constexpr std::string_view kDeepScanAttribute = "DeepScan";

// The local time now as "YYYY-MM-DD HH:MM:SS".
[[nodiscard]] std::string ScanDateNow();

// Records on `top` the facts of the volume holding the folder `path`, the scan date and how the
// scan was made (`only_folders`, `ext_filter`, `deep`); empty values are not written.
void RecordScanFacts(CatalogRecord* top, std::string_view path, std::string_view scan_date,
                     bool only_folders, std::string_view ext_filter, const DeepScanOptions& deep);
// The deep-scan options recorded on `top`.
[[nodiscard]] DeepScanOptions RecordedDeepScan(const CatalogRecord& top);

// The volume facts recorded on `top` (empty texts where none were recorded).
[[nodiscard]] VolumeFacts RecordedVolumeFacts(const CatalogRecord& top);

// Whether the medium of a catalog is connected now.
struct MediumState {
  enum class Kind {
    kUnknown,    // the catalog records neither VolumeId nor VolumeLabel
    kConnected,  // `folder` is where the catalog's folder is now
    kAbsent,     // no volume of that id (or label) is mounted
  };
  Kind kind = Kind::kUnknown;
  std::string folder;
};

// The medium state of the catalog whose top record is `top`, from the mount table alone: the
// media are not touched.
[[nodiscard]] MediumState MediumStateOf(const CatalogRecord& top);

// The further attributes a library listing gives a catalog whose medium state is known:
// "connected" or "absent", and where a connected medium's folder is.
inline constexpr std::string_view kMediumAttribute = "Medium";
inline constexpr std::string_view kMediumFolderAttribute = "MediumFolder";

// For a catalog whose medium is not connected: when the medium was last seen, that is the scan
// date the catalog records (the last scan or update read it).
inline constexpr std::string_view kLastSeenAttribute = "LastSeen";

// The medium state of one catalog file of a library.
struct CatalogMedium {
  std::string path;       // the catalog file
  MediumState state;      // from the head of the file and the mount table
  std::string last_seen;  // the recorded ScanDate; empty when there is none
};

// The catalog files (FileType "file") of the library listing `listing`, in pre-order.
[[nodiscard]] std::vector<std::string> CatalogPathsOf(const CatalogTree& listing);

// The medium states of the catalog files at `paths`, read from the head of each file and the
// mount table (one file at a time: this is meant for a worker thread, as a library of many
// catalogs takes a while). Stops at the next file once `stop` is requested and returns what it
// has; catalogs that do not say which volume they came from are left out.
[[nodiscard]] std::vector<CatalogMedium> ReadMediumStates(const std::vector<std::string>& paths,
                                                          std::stop_token stop = {});

// Marks every node of `listing` whose FullPath is the path of one of `media` with
// kMediumAttribute ("connected" or "absent"), kMediumFolderAttribute (where a connected medium's
// folder is) and, for an absent medium, kLastSeenAttribute. Returns the nodes marked.
std::vector<CatalogTree::Node*> ApplyMediumStates(CatalogTree* listing,
                                                  const std::vector<CatalogMedium>& media);

// Marks every catalog (FileType "file") of the library listing `listing` with its medium state:
// ApplyMediumStates of ReadMediumStates of CatalogPathsOf, all at once.
void AddMediumStates(CatalogTree* listing);

// The rows the detail pane shows for a catalog whose top record is `top`: the recorded volume
// facts by attribute name (empty values left out), then "Medium" with "Connected at FOLDER",
// "Not connected, last seen SCANDATE" ("Not connected" without a scan date) or nothing when the
// catalog does not say which volume it came from.
[[nodiscard]] std::vector<std::pair<std::string, std::string>> MediumDetails(
    const CatalogRecord& top);

// The top record of the catalog file at `path`, read from the head of the file only, so that
// asking for every catalog of a library stays cheap; an empty record when the file cannot be
// read or holds no record.
[[nodiscard]] CatalogRecord ReadCatalogTop(const std::string& path);

}  // namespace lumivor
