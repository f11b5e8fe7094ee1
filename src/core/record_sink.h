#pragma once

#include "catalog/catalog_record.h"

namespace lumivor {

// One record as a producer hands it on: its depth (0 for a top-level record), the eleven fields
// and the further attributes. A field the record lacks is a view with no data (data() is null);
// a field present with an empty value is an empty view with data. The views are valid only during
// the call that receives them.
struct RecordView {
  int depth = 0;
  FieldViews fields{};
  ExtraViews extras;
  // False when the catalog reader was given a needle and this record's text cannot hold it: the
  // record still comes, in its place, but only its depth is sure to be filled.
  bool may_match = true;
};

// Where producers (the folder walker, the catalog reader) put their records, in pre-order: a
// record comes before its descendants, and a record of depth d + 1 belongs to the last record of
// depth d before it. The tree in memory, the catalog writer, each exporter and the search matcher
// are sinks.
class RecordSink {
 public:
  virtual ~RecordSink() = default;
  // Takes one record; false asks the producer to stop (a cancel, or enough found).
  virtual bool Add(const RecordView& record) = 0;
  // Called once after the last record when the producer ran to its end.
  virtual void Finish() {}
  // Forget every record received so far: the producer starts again from its first record (the
  // catalog reader does this when it hands a file over to its fallback route).
  virtual void Restart() {}
};

}  // namespace lumivor
