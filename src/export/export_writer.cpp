#include <string>
#include <utility>

#include "catalog/fields.h"
#include "export/exporters.h"

namespace lumivor {

ExportWriter::ExportWriter(const std::string& path, std::stop_token stop)
    : file_(path), stop_(std::move(stop)) {}

ExportWriter::~ExportWriter() = default;

bool ExportWriter::Add(const RecordView& record) {
  if (finished_ || cancelled_ || refused_) return false;
  if (skip_ > 0) {
    --skip_;
    return true;
  }
  if (++polls_ % kCancelPollRecords == 0 && stop_.stop_requested()) {
    cancelled_ = true;
    return false;
  }
  if (!Write(record)) {
    refused_ = true;
    return false;
  }
  // A long export says how far it has come.
  if (++written_ % kCancelPollRecords == 0 && progress_ != nullptr) {
    progress_->SetWaitText(std::string(kExportToFile) + " " + std::to_string(written_) +
                           " entries written");
  }
  return true;
}

void ExportWriter::Finish() {
  if (finished_ || cancelled_ || refused_) return;
  End();
  file_.Commit();
  finished_ = true;
}

void ExportWriter::Restart() { skip_ = written_; }

std::string_view ExportWriter::Value(const RecordView& record, int index) {
  const std::string_view value = record.fields[static_cast<std::size_t>(index)];
  return SanitizeText(value, &clean_) ? std::string_view(clean_) : value;
}

std::string_view ExportWriter::ExtraValue(const RecordView& record, std::string_view name) {
  for (const ExtraAttribute& extra : record.extras) {
    if (extra.name == name) {
      return SanitizeText(extra.value, &clean_) ? std::string_view(clean_) : extra.value;
    }
  }
  return {};
}

}  // namespace lumivor
