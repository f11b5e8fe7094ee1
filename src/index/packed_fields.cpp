#include "index/packed_fields.h"

namespace lumivor {

namespace {

// The packed fields, in the order of their two-bit codes in the two header bytes.
constexpr int kPackedFields[] = {kFullPath,       kFileSize,       kFileTime,      kFileType,
                                 kFileNameLength, kPathNameLength, kSizePercentage};
// Codes: nothing, the text as it stands, and two compact forms whose meaning is the field's own.
enum Code : unsigned { kEmpty = 0, kLiteral = 1, kFormA = 2, kFormB = 3 };

void AppendVarint(std::string* out, std::uint64_t value) {
  while (value >= 0x80) {
    out->push_back(static_cast<char>((value & 0x7F) | 0x80));
    value >>= 7;
  }
  out->push_back(static_cast<char>(value));
}

bool ReadVarint(std::string_view data, std::size_t* at, std::uint64_t* value) {
  *value = 0;
  for (int shift = 0; *at < data.size() && shift < 64; shift += 7) {
    const auto byte = static_cast<unsigned char>(data[(*at)++]);
    *value |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
    if (!(byte & 0x80)) return true;
  }
  return false;
}

bool AllDigits(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// A decimal number without sign or leading zeros ("0" itself allowed), small enough to pack.
std::optional<std::uint64_t> CanonicalNumber(std::string_view text) {
  if (!AllDigits(text) || text.size() > 18 || (text.size() > 1 && text[0] == '0')) {
    return std::nullopt;
  }
  std::uint64_t value = 0;
  for (char c : text) value = value * 10 + static_cast<std::uint64_t>(c - '0');
  return value;
}

int Number(std::string_view text) {
  int value = 0;
  for (char c : text) value = value * 10 + (c - '0');
  return value;
}

// Writes `value` with at least `width` digits, zeros in front; the end of what was written.
char* PutNumber(char* p, std::uint64_t value, int width) {
  char digits[20];
  int count = 0;
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (count < width) digits[count++] = '0';
  while (count > 0) *p++ = digits[--count];
  return p;
}

// The text of a packed time, as "%04llu-%02llu-%02llu %02llu:%02llu:%02llu" would write it
// (written by hand: a search writes thousands of them).
std::string TimeText(std::uint64_t value, bool date_only) {
  std::uint64_t seconds = 0, minutes = 0, hours = 0;
  if (!date_only) {
    seconds = value % 60;
    value /= 60;
    minutes = value % 60;
    value /= 60;
    hours = value % 24;
    value /= 24;
  }
  const std::uint64_t day = value % 31 + 1;
  value /= 31;
  const std::uint64_t month = value % 12 + 1;
  const std::uint64_t year = value / 12;
  char text[48];
  char* p = PutNumber(text, year, 4);
  *p++ = '-';
  p = PutNumber(p, month, 2);
  *p++ = '-';
  p = PutNumber(p, day, 2);
  if (!date_only) {
    *p++ = ' ';
    p = PutNumber(p, hours, 2);
    *p++ = ':';
    p = PutNumber(p, minutes, 2);
    *p++ = ':';
    p = PutNumber(p, seconds, 2);
  }
  return std::string(text, p);
}

// "YYYY-MM-DD HH:MM:SS" or "YYYY-MM-DD" as a number that TimeText turns back into the same text.
std::optional<std::uint64_t> PackedTime(std::string_view text, bool* date_only) {
  *date_only = text.size() == 10;
  if (text.size() != 10 && text.size() != 19) return std::nullopt;
  if (!AllDigits(text.substr(0, 4)) || text[4] != '-' || !AllDigits(text.substr(5, 2)) ||
      text[7] != '-' || !AllDigits(text.substr(8, 2))) {
    return std::nullopt;
  }
  const int month = Number(text.substr(5, 2)), day = Number(text.substr(8, 2));
  if (month < 1 || month > 12 || day < 1 || day > 31) return std::nullopt;
  std::uint64_t value =
      (static_cast<std::uint64_t>(Number(text.substr(0, 4))) * 12 + (month - 1)) * 31 + (day - 1);
  if (!*date_only) {
    if (text[10] != ' ' || !AllDigits(text.substr(11, 2)) || text[13] != ':' ||
        !AllDigits(text.substr(14, 2)) || text[16] != ':' || !AllDigits(text.substr(17, 2))) {
      return std::nullopt;
    }
    const int hours = Number(text.substr(11, 2)), minutes = Number(text.substr(14, 2)),
              seconds = Number(text.substr(17, 2));
    if (hours > 23 || minutes > 59 || seconds > 59) return std::nullopt;
    value = ((value * 24 + hours) * 60 + minutes) * 60 + seconds;
  }
  if (TimeText(value, *date_only) != text) return std::nullopt;
  return value;
}

std::string PercentageText(std::uint64_t hundredths) {
  char text[32];
  char* p = PutNumber(text, hundredths / 100, 1);
  *p++ = '.';
  p = PutNumber(p, hundredths % 100, 2);
  return std::string(text, p);
}

// "N.DD" as hundredths, when PercentageText gives the same text back.
std::optional<std::uint64_t> PackedPercentage(std::string_view text) {
  const std::size_t dot = text.find('.');
  if (dot == std::string_view::npos || text.size() - dot != 3) return std::nullopt;
  const auto whole = CanonicalNumber(text.substr(0, dot));
  if (!whole || *whole > 1'000'000'000'000ull || !AllDigits(text.substr(dot + 1))) {
    return std::nullopt;
  }
  const std::uint64_t value =
      *whole * 100 + static_cast<std::uint64_t>(Number(text.substr(dot + 1)));
  if (PercentageText(value) != text) return std::nullopt;
  return value;
}

}  // namespace

void PackEntryFields(const FieldValues& fields, std::string_view parent_full_path,
                     std::int64_t parent_distance, std::string* out) {
  out->assign(2, '\0');
  auto value = [&](int field) { return fields[field].value_or(std::string_view()); };
  const std::string_view name = value(kFileName);
  for (int slot = 0; slot < 7; ++slot) {
    const int field = kPackedFields[slot];
    const std::string_view text = value(field);
    unsigned code = kLiteral;
    if (text.empty()) {
      code = kEmpty;
    } else if (field == kFullPath) {
      if (text == name) {
        code = kFormA;
      } else if (parent_distance > 0) {
        std::size_t keep = 0;
        while (keep < text.size() && keep < parent_full_path.size() &&
               text[keep] == parent_full_path[keep]) {
          ++keep;
        }
        const std::string_view tail = text.substr(keep);
        // Worth it only when a good part of the path is shared.
        if (keep >= 8) {
          code = kFormB;
          AppendVarint(out, static_cast<std::uint64_t>(parent_distance));
          AppendVarint(out, keep);
          if (tail.size() == name.size() + 1 && tail[0] == '/' && tail.substr(1) == name) {
            AppendVarint(out, 0);
          } else {
            AppendVarint(out, tail.size() + 1);
            out->append(tail);
          }
        }
      }
    } else if (field == kFileSize) {
      if (const auto number = CanonicalNumber(text)) {
        code = kFormA;
        AppendVarint(out, *number);
      }
    } else if (field == kFileTime) {
      bool date_only = false;
      if (const auto time = PackedTime(text, &date_only)) {
        code = date_only ? kFormB : kFormA;
        AppendVarint(out, *time);
      }
    } else if (field == kFileType) {
      if (text == kDirectoryType) code = kFormA;
      if (text == kFileTypeText) code = kFormB;
    } else if (field == kFileNameLength || field == kPathNameLength) {
      const std::string_view counted = field == kFileNameLength ? name : value(kFullPath);
      if (text == std::to_string(CodePointCount(counted))) code = kFormA;
    } else if (field == kSizePercentage) {
      if (const auto hundredths = PackedPercentage(text)) {
        code = kFormA;
        AppendVarint(out, *hundredths);
      } else if (const auto whole = CanonicalNumber(text)) {
        code = kFormB;
        AppendVarint(out, *whole);
      }
    }
    if (code == kLiteral) {
      AppendVarint(out, text.size());
      out->append(text);
    }
    (*out)[slot / 4] = static_cast<char>(static_cast<unsigned char>((*out)[slot / 4]) |
                                         (code << ((slot % 4) * 2)));
  }
}

namespace {

// Reads a parent link at `*at` (after the header): distance, kept bytes, tail.
bool ReadParentLink(std::string_view data, std::size_t* at, std::string_view file_name,
                    ParentLink* link) {
  std::uint64_t distance = 0, keep = 0, tail = 0;
  if (!ReadVarint(data, at, &distance) || distance == 0 || !ReadVarint(data, at, &keep) ||
      !ReadVarint(data, at, &tail)) {
    return false;
  }
  link->distance = static_cast<std::int64_t>(distance);
  link->keep = static_cast<std::size_t>(keep);
  if (tail == 0) {
    link->tail.assign(1, '/');
    link->tail.append(file_name);
  } else {
    if (tail - 1 > data.size() - *at) return false;
    link->tail.assign(data.substr(*at, tail - 1));
    *at += tail - 1;
  }
  return true;
}

}  // namespace

void PackExtras(const ExtraViews& extras, std::string* out) {
  out->clear();
  for (const ExtraAttribute& extra : extras) {
    if (extra.value.empty()) continue;
    AppendVarint(out, extra.name.size());
    out->append(extra.name);
    AppendVarint(out, extra.value.size());
    out->append(extra.value);
  }
}

bool UnpackExtras(std::string_view data, ExtraViews* out) {
  out->clear();
  std::size_t at = 0;
  auto text = [&](std::string_view* piece) {
    std::uint64_t size = 0;
    if (!ReadVarint(data, &at, &size) || size > data.size() - at) return false;
    *piece = data.substr(at, size);
    at += size;
    return true;
  };
  while (at < data.size()) {
    ExtraAttribute extra;
    if (!text(&extra.name) || !text(&extra.value)) return false;
    out->push_back(extra);
  }
  return true;
}

std::string ExtrasText(std::string_view data) {
  ExtraViews extras;
  std::string text;
  if (!UnpackExtras(data, &extras)) return text;
  for (const ExtraAttribute& extra : extras) {
    if (!text.empty()) text += '\n';
    text.append(extra.value);
  }
  return text;
}

std::optional<ParentLink> ParentLinkOf(std::string_view data, std::string_view file_name) {
  // FullPath is the first packed field: its code is the lowest two bits, its link comes first.
  if (data.size() < 2 || (static_cast<unsigned char>(data[0]) & 3) != kFormB) return std::nullopt;
  std::size_t at = 2;
  ParentLink link;
  if (!ReadParentLink(data, &at, file_name, &link)) return std::nullopt;
  return link;
}

std::optional<std::string_view> WholeFullPathOf(std::string_view data, std::string_view file_name) {
  if (data.size() < 2) return std::nullopt;
  switch (static_cast<unsigned char>(data[0]) & 3) {
    case kEmpty:
      return std::string_view();
    case kFormA:
      return file_name;
    case kLiteral: {
      std::size_t at = 2;
      std::uint64_t size = 0;
      if (!ReadVarint(data, &at, &size) || size > data.size() - at) return std::nullopt;
      return data.substr(at, size);
    }
    default:
      return std::nullopt;
  }
}

bool UnpackEntryFields(
    std::string_view data, std::string_view file_name,
    const std::function<std::optional<std::string_view>(std::int64_t distance)>& parent_full_path,
    std::array<std::string, kFieldCount>* out) {
  if (data.size() < 2) return false;
  std::size_t at = 2;
  for (int slot = 0; slot < 7; ++slot) {
    const int field = kPackedFields[slot];
    const unsigned code = (static_cast<unsigned char>(data[slot / 4]) >> ((slot % 4) * 2)) & 3;
    std::string& text = (*out)[field];
    text.clear();
    if (code == kEmpty) continue;
    std::uint64_t number = 0;
    if (code == kLiteral) {
      if (!ReadVarint(data, &at, &number) || number > data.size() - at) return false;
      text.assign(data.substr(at, number));
      at += number;
      continue;
    }
    switch (field) {
      case kFileType:
        text = code == kFormA ? kDirectoryType : kFileTypeText;
        continue;
      case kFileNameLength:
        text = std::to_string(CodePointCount(file_name));
        continue;
      case kPathNameLength:
        text = std::to_string(CodePointCount((*out)[kFullPath]));
        continue;
      case kFullPath:
        if (code == kFormA) {
          text = file_name;
          continue;
        }
        break;
      default:
        break;
    }
    if (field == kFullPath) {
      ParentLink link;
      if (!ReadParentLink(data, &at, file_name, &link)) return false;
      const std::optional<std::string_view> parent = parent_full_path(link.distance);
      if (!parent || link.keep > parent->size()) return false;
      text.assign(parent->substr(0, link.keep));
      text += link.tail;
      continue;
    }
    if (!ReadVarint(data, &at, &number)) return false;
    if (field == kFileSize) {
      text = std::to_string(number);
    } else if (field == kFileTime) {
      text = TimeText(number, code == kFormB);
    } else if (field == kSizePercentage) {
      text = code == kFormA ? PercentageText(number) : std::to_string(number);
    } else {
      return false;
    }
  }
  return at == data.size();
}

}  // namespace lumivor
