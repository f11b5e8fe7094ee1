#pragma once

#include <cstddef>
#include <functional>
#include <stop_token>
#include <string>
#include <string_view>

#include "core/record_sink.h"

namespace lumivor {

// Writes records as catalog text, as they arrive: the UTF-8 declaration, the root `fileinfo` with
// its `generated` attribute, then one `file` element per record nested by depth, with an
// attribute for every non-empty field in field order followed by the further attributes in their
// order. Every value passes SanitizeText, so the text is well-formed UTF-8 XML whatever the
// source held. A depth deeper than one below the previous record counts as one below it.
//
// The text goes to `write` in pieces of about 64 KiB; memory does not grow with the catalog.
// Finish() writes the end (or the empty catalog when no record came) and the last piece.
class CatalogWriter final : public RecordSink {
 public:
  explicit CatalogWriter(std::function<void(std::string_view)> write);

  // A writer of one part of a catalog text, for catalogs written in parts on several threads: it
  // writes its records as the whole writer would, but nothing before the first record's tag and
  // nothing after the last record's attributes (that tag stays open). AppendJoint gives what goes
  // between two parts.
  struct Part {};
  CatalogWriter(std::function<void(std::string_view)> write, Part);
  // A writer of one part that appends its whole text to `*text` as it is made, in one piece, and
  // never calls a write function: the parts of a large catalog are made in buffers that are used
  // again for later parts, so no piece is copied twice and no fresh memory is touched per part.
  CatalogWriter(std::string* text, Part);
  // Not copied: the text it formats into may be its own.
  CatalogWriter(const CatalogWriter&) = delete;
  CatalogWriter& operator=(const CatalogWriter&) = delete;

  bool Add(const RecordView& record) override;
  // Writes the end of the catalog, or of a part the last piece of its text.
  void Finish() override;

  // The depth of the first and of the last record added; -1 when none was.
  [[nodiscard]] int FirstDepth() const { return first_depth_; }
  [[nodiscard]] int LastDepth() const { return depth_; }
  // Appends to `out` what goes between a record of depth `before` and the next of depth `after`:
  // with `before` -1 the declaration and the root (the text starts), with `after` -1 the end of
  // the catalog (the text ends).
  static void AppendJoint(std::string* out, int before, int after);

 private:
  void Start();
  void AppendAttribute(std::string_view name, std::string_view value);
  // Appends the element of `record` when none of its values needs mending or escaping (the
  // usual case, done in one pass); false, with nothing appended, otherwise.
  bool AppendPlainElement(const RecordView& record);
  void FlushIfFull();

  std::function<void(std::string_view)> write_;  // empty for a part made into a caller's text
  std::string own_text_;
  std::string* text_ = &own_text_;  // where records are formatted: own_text_ or the caller's
  std::string clean_;               // a value made safe by SanitizeText
  bool started_ = false;
  bool part_ = false;  // writes a part: see Part
  int depth_ = -1;     // depth of the last record, whose start tag is still open; -1: none yet
  int first_depth_ = -1;
};

// Writes a catalog text made in `count` parts on up to `threads` threads: `make(i, writer)` adds
// the records of part i, in pre-order, to a writer of parts (see CatalogWriter::Part), and the
// texts go to `write` in the parts' order, joined as one writer joins records, so the text is
// the one a single writer would have made of all the records. At most `threads` parts wait to be
// written at a time, so memory stays bounded. Returns false when a stop was requested through
// `stop` (the text is then incomplete); an exception raised by `make` is raised here once the
// other threads stopped. With `threads` below 2, or when no thread can be started, every part is
// made on this thread.
bool WriteCatalogParts(std::size_t count, std::size_t threads,
                       const std::function<void(std::size_t, CatalogWriter&)>& make,
                       const std::function<void(std::string_view)>& write,
                       std::stop_token stop = {});

}  // namespace lumivor
