#pragma once

#include <cstddef>
#include <memory>
#include <stop_token>
#include <string>
#include <string_view>

#include "catalog/catalog_tree.h"
#include "catalog/xml_document.h"
#include "core/input_file.h"
#include "core/needle.h"
#include "core/progress.h"
#include "core/record_sink.h"

namespace lumivor {

// The one way catalogs are read. A catalog file is read once, from the start, and its records go
// to a sink in document order with their fields as every part of the program sees them: elements
// of any name below the root are records; the eleven field attributes fill the fields and every
// other attribute is a further attribute, in the order written (of two attributes of one name
// the first counts); top-level records default to FileType "directory" and FullPath = FileName;
// every CatalogName is the catalog's display name.
//
// A fast reader handles what catalog files hold (an optional UTF-8 byte-order mark and
// declaration, one root element, nested elements with attributes, white space between them). For
// anything else (comments, CDATA, a document type, another encoding, text content, a file that
// is not well-formed) the sink is told to Restart and the document route, pugixml, reads the same
// bytes again from memory: it reads every well-formed file and words the errors of the others.
//
// Given a needle (the search's longest literal run), the reader first reads a file through as a
// plain text search would and passes over a complete file in which no record can hold it without
// parsing it. In the others, records whose start tag cannot hold it come with may_match false:
// read from files, without their attributes being parsed (attribute values hold no '<', so such
// a tag is passed over up to the next one), so that a search costs little more than the bytes a
// plain text search reads.

// The state a fast read ends in.
enum class FastReadStatus {
  kDone,         // the whole text was a catalog and every record went to the sink
  kUnsupported,  // the text needs the document route (the sink may have had some records)
  kStopped,      // the sink asked to stop
};

// Runs the fast reader over the complete text `text`, emitting to `sink` (Finish is not called).
// With a non-empty `needle`, records whose start tag holds neither it nor a character reference
// that could hide one of its characters arrive with may_match false.
FastReadStatus ReadCatalogRecords(std::string_view text, std::string_view catalog_name,
                                  RecordSink& sink, const Needle* needle = nullptr);

// Emits the records of a parsed catalog document (the document route); false when the sink
// asked to stop.
bool EmitDocument(const XmlDocument& document, std::string_view catalog_name, RecordSink& sink);

// Emits the records of `tree` in pre-order; false when the sink asked to stop.
bool EmitTree(const CatalogTree& tree, RecordSink& sink);

// How reading one catalog file ended.
enum class CatalogReadStatus {
  kDone,        // every record went to the sink, which was told to Finish
  kStopped,     // the sink asked to stop
  kPassedOver,  // with a needle: the complete file cannot hold it and was not parsed
  kMissing,     // no file at the path
  kUnreadable,  // the file cannot be read or is not a well-formed catalog
};

// What a read may do beyond handing on every record.
struct CatalogReadOptions {
  // The needle prefilter (see above); null or empty for none. Only regular files are prefiltered,
  // so a sink must take records with may_match true as well.
  const Needle* needle = nullptr;
  // A file whose first bytes cannot start an XML document (a picture, music) is unreadable at
  // once, however large, instead of going to the document route whole.
  bool xml_only = false;
  // The CatalogName every record gets; null: the catalog's display name (DisplayNameOf).
  const std::string* catalog_name = nullptr;
  // A stop requested through it ends the read as a sink's stop does (kStopped).
  std::stop_token stop;
};

// Reads catalog files into sinks, one after another, keeping its buffers between them.
class CatalogFileReader {
 public:
  CatalogFileReader();
  ~CatalogFileReader();
  CatalogFileReader(const CatalogFileReader&) = delete;
  CatalogFileReader& operator=(const CatalogFileReader&) = delete;

  // Reads the catalog at `path` into `sink`. "-" reads the standard input; every path is opened
  // by the rule of OpenRegularFile (a regular file or a pipe handed over open; never waiting on a
  // FIFO). Memory stays bounded by a window of the file on the fast route. A sink that had records
  // before the reader turned to the document route is told to Restart; after kMissing or
  // kUnreadable what it had is no result.
  CatalogReadStatus Read(const std::string& path, RecordSink& sink,
                         const CatalogReadOptions& options = {});

  // After kMissing or kUnreadable: "PATH: REASON" (with line and column for a file that is not
  // well-formed).
  [[nodiscard]] const std::string& Error() const { return error_; }
  // The stamp of the file the last Read opened (zero when it opened none).
  [[nodiscard]] const FileStamp& Stamp() const { return stamp_; }

 private:
  CatalogReadStatus ReadWindowed(int fd, bool regular, std::size_t size_hint,
                                 const std::string& path, std::string_view catalog_name,
                                 const CatalogReadOptions& options, RecordSink& sink);
  // Reads the file through in windows, as a plain text search would: kPassedOver when it is a
  // complete document in which no record can hold the needle, kDone when it must be parsed.
  CatalogReadStatus LookForNeedle(int fd, const std::string& path,
                                  const CatalogReadOptions& options);
  CatalogReadStatus Fail(const std::string& path, const std::string& reason,
                         CatalogReadStatus status = CatalogReadStatus::kUnreadable);

  std::unique_ptr<char[]> look_window_;  // LookForNeedle's window, kept between files
  std::size_t look_capacity_ = 0;
  std::string error_;
  FileStamp stamp_;
};

// Reads the catalog at `path` into `sink` (CatalogFileReader::Read) and calls Finish at its end,
// showing "Loading info..". Raises LumivorError naming the path and the reason. Returns false
// when the sink asked to stop or a stop was requested through `stop`.
bool ReadCatalogFile(const std::string& path, RecordSink& sink, Progress& progress = NoProgress(),
                     std::stop_token stop = {});
// A sink that builds a tree (the catalog on screen, a loaded catalog).
class TreeSink final : public RecordSink {
 public:
  explicit TreeSink(CatalogTree* tree) : tree_(tree) { tree_->Clear(); }
  bool Add(const RecordView& record) override;
  void Restart() override;

 private:
  CatalogTree* tree_;
  std::vector<CatalogTree::Node*> open_;  // the last node of each depth
};

// The fast reader into a tree, for comparing the two routes: true when it read the whole text;
// false, with `tree` cleared, when the text needs the document route.
bool ReadCatalogText(std::string_view text, std::string_view catalog_name, CatalogTree* tree);

// Skips a UTF-8 byte-order mark and a plain XML declaration (version, an encoding that is
// UTF-8, standalone; blanks between them). Returns the position after them, or nullptr when the
// text may be in another encoding or the declaration is anything else: the document route then
// decides. Text without a declaration is returned as it is (past the mark).
[[nodiscard]] const char* SkipCatalogProlog(const char* begin, const char* end);

// Decodes a raw attribute value as XML readers do: the five named entities and numeric
// references to characters XML allows, TAB, LF and CR as blanks (CR LF as one). False for
// anything else (another reference, "<", a NUL byte); `out` is then unspecified.
bool DecodeAttributeText(std::string_view raw, std::string* out);

// Decodes the reference that starts at raw[at] ("&"): one of the five named entities or a
// numeric reference to a character XML allows. Appends the character to `out` (when not null)
// and returns the reference's length; 0 for anything else.
std::size_t DecodeReference(std::string_view raw, std::size_t at, std::string* out);

}  // namespace lumivor
