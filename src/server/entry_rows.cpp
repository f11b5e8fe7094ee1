#include "server/entry_rows.h"

#include <charconv>

#include "catalog/fields.h"

namespace lumivor {

using pg::AppendCopyArray;
using pg::AppendCopyNull;
using pg::AppendCopyText;
using pg::ParseTextArray;

namespace {

// The numeric fields, in the order of their columns.
constexpr std::array<int, 4> kNumberFields = {kFileSize, kFileTime, kFileNameLength,
                                              kPathNameLength};

bool IsLeap(std::int64_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysIn(std::int64_t year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeap(year) ? 29 : kDays[month - 1];
}

// Days from 1970-01-01 to the civil date (proleptic Gregorian), and back.
std::int64_t DaysFromCivil(std::int64_t y, int m, int d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yoe = y - era * 400;
  const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(std::int64_t z, std::int64_t* y, int* m, int* d) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const std::int64_t doe = z - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  *d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  *m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  *y = yoe + era * 400 + (*m <= 2);
}

bool Digits(std::string_view text, std::size_t at, std::size_t count, int* value) {
  int v = 0;
  for (std::size_t i = at; i < at + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    v = v * 10 + (text[i] - '0');
  }
  *value = v;
  return true;
}

void AppendNumber(std::string& out, std::int64_t value) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  out.append(digits, end);
}

void AppendField(std::string& out, std::string_view value) {
  out += '\t';
  if (value.data() == nullptr) {
    AppendCopyNull(out);
  } else {
    AppendCopyText(out, value);
  }
}

}  // namespace

std::optional<std::int64_t> FileTimeNumber(std::string_view text) {
  if (text.size() != 10 && text.size() != 19) return std::nullopt;
  int year, month, day, hour = 0, minute = 0, second = 0;
  if (!Digits(text, 0, 4, &year) || text[4] != '-' || !Digits(text, 5, 2, &month) ||
      text[7] != '-' || !Digits(text, 8, 2, &day)) {
    return std::nullopt;
  }
  if (text.size() == 19) {
    if (text[10] != ' ' || !Digits(text, 11, 2, &hour) || text[13] != ':' ||
        !Digits(text, 14, 2, &minute) || text[16] != ':' || !Digits(text, 17, 2, &second)) {
      return std::nullopt;
    }
    // Midnight is written as the date alone.
    if (hour == 0 && minute == 0 && second == 0) return std::nullopt;
  }
  if (month < 1 || month > 12 || day < 1 || day > DaysIn(year, month) || hour > 23 || minute > 59 ||
      second > 59) {
    return std::nullopt;
  }
  return DaysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
}

std::string FileTimeText(std::int64_t number) {
  std::int64_t days = number / 86400;
  std::int64_t seconds = number % 86400;
  if (seconds < 0) {
    seconds += 86400;
    --days;
  }
  std::int64_t year;
  int month, day;
  CivilFromDays(days, &year, &month, &day);
  char text[32];
  const int hour = static_cast<int>(seconds / 3600);
  const int minute = static_cast<int>(seconds / 60 % 60);
  const int second = static_cast<int>(seconds % 60);
  const int length =
      seconds == 0
          ? std::snprintf(text, sizeof text, "%04d-%02d-%02d", static_cast<int>(year), month, day)
          : std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d",
                          static_cast<int>(year), month, day, hour, minute, second);
  return std::string(text, static_cast<std::size_t>(length));
}

std::optional<std::int64_t> PlainNumber(std::string_view text) {
  if (text.empty() || text.size() > 18 || (text.size() > 1 && text[0] == '0')) return std::nullopt;
  std::int64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

// --- Writing --------------------------------------------------------------------------------

EntryCopySink::EntryCopySink(std::int64_t catalog_id, std::function<void(std::string_view)> write)
    : id_text_(std::to_string(catalog_id)), write_(std::move(write)) {
  buffer_.reserve(1 << 20);
}

bool EntryCopySink::Add(const RecordView& record) {
  const std::int64_t ord = count_++;
  // A record deeper than one below the last counts as one below it, as the writer nests it.
  std::size_t depth = static_cast<std::size_t>(record.depth < 0 ? 0 : record.depth);
  if (depth > open_.size()) depth = open_.size();
  open_.resize(depth);
  std::string& out = buffer_;
  out += id_text_;
  out += '\t';
  AppendNumber(out, ord);
  out += '\t';
  if (depth == 0) {
    AppendCopyNull(out);
  } else {
    AppendNumber(out, open_.back());
  }
  out += '\t';
  AppendNumber(out, static_cast<std::int64_t>(depth));
  open_.push_back(ord);

  odd_.clear();
  std::array<std::optional<std::int64_t>, 4> numbers;
  for (std::size_t i = 0; i < kNumberFields.size(); ++i) {
    const std::string_view text = record.fields[kNumberFields[i]];
    if (text.data() == nullptr) continue;
    numbers[i] = kNumberFields[i] == kFileTime ? FileTimeNumber(text) : PlainNumber(text);
    if (!numbers[i]) {
      odd_.push_back(FieldNames[kNumberFields[i]]);
      odd_.push_back(text);
    }
  }
  const auto number = [&](std::size_t i) {
    out += '\t';
    if (numbers[i]) {
      AppendNumber(out, *numbers[i]);
    } else {
      AppendCopyNull(out);
    }
  };
  AppendField(out, record.fields[kFileName]);
  AppendField(out, record.fields[kFullPath]);
  number(0);
  number(1);
  AppendField(out, record.fields[kFileExt]);
  AppendField(out, record.fields[kFileType]);
  // An empty description is no description; NULLs keep the description index small.
  const std::string_view description = record.fields[kDescription];
  AppendField(out, description.empty() ? std::string_view() : description);
  number(2);
  number(3);
  AppendField(out, record.fields[kSizePercentage]);
  out += '\t';
  if (odd_.empty()) {
    AppendCopyNull(out);
  } else {
    AppendCopyArray(out, odd_);
  }
  out += '\t';
  if (record.extras.empty()) {
    AppendCopyNull(out);
  } else {
    extras_.clear();
    for (const ExtraAttribute& extra : record.extras) {
      extras_.push_back(extra.name);
      extras_.push_back(extra.value);
    }
    AppendCopyArray(out, extras_);
  }
  out += '\n';
  if (out.size() >= (1 << 20) - 4096) Flush();
  return true;
}

void EntryCopySink::Flush() {
  if (buffer_.empty()) return;
  write_(buffer_);
  buffer_.clear();
}

// --- Reading --------------------------------------------------------------------------------

const RecordView& EntryRecordBuilder::Build(const pg::Result& row, int first) {
  const auto text = [&](int column) -> std::string_view {
    if (row.IsNull(0, first + column)) return {};
    const std::string_view value = row.Text(0, first + column);
    // A present empty value must stay distinguishable from a missing one.
    return value.data() != nullptr ? value : std::string_view("", 0);
  };
  ordinal_ = row.Int(0, first);
  view_.depth = static_cast<int>(row.Int(0, first + 1));
  view_.fields = {};
  view_.fields[kFileName] = text(2);
  view_.fields[kFullPath] = text(3);
  view_.fields[kFileExt] = text(6);
  view_.fields[kFileType] = text(7);
  view_.fields[kDescription] = text(8);
  view_.fields[kSizePercentage] = text(11);
  view_.fields[kCatalogName] = catalog_name_;
  static constexpr std::array<int, 4> kColumns = {4, 5, 9, 10};
  for (std::size_t i = 0; i < kColumns.size(); ++i) {
    if (row.IsNull(0, first + kColumns[i])) continue;
    const std::int64_t value = row.Int(0, first + kColumns[i]);
    numbers_[i] = kNumberFields[i] == kFileTime ? FileTimeText(value) : std::to_string(value);
    view_.fields[kNumberFields[i]] = numbers_[i];
  }
  odd_.clear();
  if (!row.IsNull(0, first + 12)) {
    odd_ = ParseTextArray(row.Text(0, first + 12));
    for (std::size_t i = 0; i + 1 < odd_.size(); i += 2) {
      const int field = FieldIndexOf(odd_[i]);
      if (field >= 0) view_.fields[field] = odd_[i + 1];
    }
  }
  view_.extras.clear();
  if (!row.IsNull(0, first + 13)) {
    extras_ = ParseTextArray(row.Text(0, first + 13));
    for (std::size_t i = 0; i + 1 < extras_.size(); i += 2) {
      view_.extras.push_back({extras_[i], extras_[i + 1]});
    }
  }
  return view_;
}

}  // namespace lumivor
