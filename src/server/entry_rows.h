#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/record_sink.h"
#include "server/pg_connection.h"

namespace lumivor {

// How a record becomes a row of `entries` and back, so that every catalog comes back exactly as
// it went in: the texts of FileSize, FileTime, FileNameLength and PathNameLength are stored as
// numbers when they are the plain form of one (otherwise, and when empty, as written, in `odd`);
// the further attributes keep their order; a field the record lacks is NULL. CatalogName is not
// stored: every record of a catalog carries its catalog's name, as the catalog reader gives it.

// The columns a row is read with, in this order.
inline constexpr std::string_view kEntryColumns =
    "ord, depth, file_name, full_path, file_size, file_time, file_ext, file_type, description,"
    " name_length, path_length, size_share, odd, extras";

// The columns the rows of EntryCopySink fill, in their order.
inline constexpr std::string_view kEntryCopyColumns =
    "catalog_id, ord, parent_ord, depth, file_name, full_path, file_size, file_time,"
    " file_ext, file_type, description, name_length, path_length, size_share, odd, extras";

// The COPY statement the rows of EntryCopySink go to, into `table` (entries or a part of it).
// `freeze` writes the rows frozen, which only a table made in the same transaction allows.
[[nodiscard]] inline std::string EntryCopyStatement(std::string_view table = "entries",
                                                    bool freeze = false) {
  return "COPY " + std::string(table) + " (" + std::string(kEntryCopyColumns) + ") FROM STDIN" +
         (freeze ? " WITH (FREEZE)" : "");
}

// The number a FileTime text stands for (its wall-clock seconds counted as if in UTC), when the
// text is exactly the form FileTime takes ("YYYY-MM-DD HH:MM:SS", or "YYYY-MM-DD" at midnight).
[[nodiscard]] std::optional<std::int64_t> FileTimeNumber(std::string_view text);
// The FileTime text of such a number.
[[nodiscard]] std::string FileTimeText(std::int64_t number);
// The number a decimal text stands for, when it is the plain form of one (no sign, no leading
// zero, at most 18 digits).
[[nodiscard]] std::optional<std::int64_t> PlainNumber(std::string_view text);

// A sink that turns records into rows of COPY's text format for the catalog `catalog_id` and
// hands them to `write` in pieces of about a megabyte.
class EntryCopySink final : public RecordSink {
 public:
  EntryCopySink(std::int64_t catalog_id, std::function<void(std::string_view)> write);
  bool Add(const RecordView& record) override;
  // Hands over what is buffered.
  void Flush();
  [[nodiscard]] std::int64_t Count() const { return count_; }

 private:
  std::string id_text_;
  std::function<void(std::string_view)> write_;
  std::string buffer_;
  std::vector<std::int64_t> open_;  // the ord of the last record of each depth
  std::int64_t count_ = 0;
  std::vector<std::string_view> odd_;
  std::vector<std::string_view> extras_;
};

// Builds the record of a row read with kEntryColumns (from column `first` on). The view it
// returns is valid until the next call and while the row lives.
class EntryRecordBuilder {
 public:
  explicit EntryRecordBuilder(std::string catalog_name) : catalog_name_(std::move(catalog_name)) {}
  const RecordView& Build(const pg::Result& row, int first);
  // The `ord` of the row built last.
  [[nodiscard]] std::int64_t Ordinal() const { return ordinal_; }

 private:
  std::string catalog_name_;
  RecordView view_;
  std::array<std::string, 4> numbers_;
  std::vector<std::string> odd_;
  std::vector<std::string> extras_;
  std::int64_t ordinal_ = 0;
};

}  // namespace lumivor
