#include "catalog/attribute_columns.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace lumivor {

const AttributeColumn* FindAttributeColumn(std::string_view name) {
  for (const AttributeColumn& column : kAttributeColumns) {
    if (column.name == name) return &column;
  }
  return nullptr;
}

bool IsColumnName(std::string_view name) {
  return IsFieldName(name) || FindAttributeColumn(name) != nullptr;
}

std::string AttributeDisplayText(std::string_view name, std::string_view value) {
  std::string shown;
  if (name == "Duration") {
    shown = ClockText(value);
  } else if (name == "VolumeSize" || name == "VolumeFree") {
    shown = ReadableByteCount(value);
  }
  return shown.empty() ? std::string(value) : shown;
}

std::string ClockText(std::string_view duration) {
  double seconds = 0;
  const auto [end, error] =
      std::from_chars(duration.data(), duration.data() + duration.size(), seconds);
  if (error != std::errc() || end != duration.data() + duration.size() || !(seconds >= 0) ||
      seconds > 1e9) {
    return {};
  }
  const auto total = static_cast<long long>(std::llround(seconds));
  const long long hours = total / 3600, minutes = total / 60 % 60, rest = total % 60;
  auto two = [](long long value) {
    return std::string(1, static_cast<char>('0' + value / 10)) +
           static_cast<char>('0' + value % 10);
  };
  if (hours > 0) return std::to_string(hours) + ":" + two(minutes) + ":" + two(rest);
  return std::to_string(minutes) + ":" + two(rest);
}

std::string ReadableByteCount(std::string_view bytes) {
  double value = 0;
  const auto [end, error] = std::from_chars(bytes.data(), bytes.data() + bytes.size(), value);
  if (bytes.empty() || error != std::errc() || end != bytes.data() + bytes.size() ||
      !(value >= 0) || value > 1e30) {
    return {};
  }
  if (value < 1024) return std::to_string(static_cast<long long>(value)) + " bytes";
  static constexpr const char* kUnits[] = {"KB", "MB", "GB", "TB", "PB", "EB"};
  int unit = -1;
  do {
    value /= 1024;
    ++unit;
  } while (value >= 1024 && unit < 5);
  char text[48];
  // The C library's "%.1f" is locale-dependent; the text is built from the tenths instead.
  const auto tenths = static_cast<long long>(std::llround(value * 10));
  std::snprintf(text, sizeof text, "%lld.%lld %s", tenths / 10, tenths % 10, kUnits[unit]);
  return text;
}

}  // namespace lumivor
