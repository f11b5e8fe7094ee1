#include "catalog/record_blob.h"

#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "catalog/fields.h"

namespace lumivor::record_blob {

namespace {

constexpr std::size_t kHeader = 3;
constexpr unsigned char kHasExtras = 0x40;  // in the third byte, above the kind bits
// Times are held as seconds from here, so the times of today's files take four or five bytes.
constexpr std::int64_t kTimeBase = 1'600'000'000;

// ---- varints -------------------------------------------------------------------------------

std::size_t VarintSize(std::uint64_t value) {
  std::size_t size = 1;
  while (value >= 0x80) {
    value >>= 7;
    ++size;
  }
  return size;
}

char* PutVarint(char* out, std::uint64_t value) {
  while (value >= 0x80) {
    *out++ = static_cast<char>((value & 0x7F) | 0x80);
    value >>= 7;
  }
  *out++ = static_cast<char>(value);
  return out;
}

std::uint64_t GetVarint(const char*& in) {
  std::uint64_t value = 0;
  int shift = 0;
  for (;;) {
    const auto byte = static_cast<unsigned char>(*in++);
    value |= std::uint64_t(byte & 0x7F) << shift;
    if (!(byte & 0x80)) return value;
    shift += 7;
  }
}

std::uint64_t ZigZag(std::int64_t value) {
  return (static_cast<std::uint64_t>(value) << 1) ^ static_cast<std::uint64_t>(value >> 63);
}

std::int64_t UnZigZag(std::uint64_t value) {
  return static_cast<std::int64_t>(value >> 1) ^ -static_cast<std::int64_t>(value & 1);
}

// ---- canonical number texts ----------------------------------------------------------------

// "0" or digits without a leading zero, at most 19 of them (so the value fits).
bool ParseCanonical(std::string_view text, std::uint64_t* value) {
  if (text.empty() || text.size() > 19 || (text.size() > 1 && text[0] == '0')) return false;
  std::uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<std::uint64_t>(c - '0');
  }
  *value = v;
  return true;
}

std::string_view FormatNumber(std::uint64_t value, char* buffer, std::size_t size) {
  const auto result = std::to_chars(buffer, buffer + size, value);
  return {buffer, static_cast<std::size_t>(result.ptr - buffer)};
}

// "I.FF": a canonical whole part and exactly two decimals, held as hundredths.
bool ParseHundredths(std::string_view text, std::uint64_t* value) {
  if (text.size() < 4 || text.size() > 19 || text[text.size() - 3] != '.') return false;
  std::uint64_t whole;
  if (!ParseCanonical(text.substr(0, text.size() - 3), &whole)) return false;
  const char a = text[text.size() - 2], b = text[text.size() - 1];
  if (a < '0' || a > '9' || b < '0' || b > '9') return false;
  *value = whole * 100 + static_cast<std::uint64_t>((a - '0') * 10 + (b - '0'));
  return true;
}

std::string_view FormatHundredths(std::uint64_t value, char* buffer, std::size_t size) {
  const std::string_view whole = FormatNumber(value / 100, buffer, size - 3);
  char* p = buffer + whole.size();
  *p++ = '.';
  *p++ = static_cast<char>('0' + value % 100 / 10);
  *p++ = static_cast<char>('0' + value % 10);
  return {buffer, whole.size() + 3};
}

int Digits(std::string_view text, std::size_t at, std::size_t count) {
  int value = 0;
  for (std::size_t i = at; i < at + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return -1;
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

// Days from 1970-01-01 to a proleptic Gregorian date.
std::int64_t DaysFromCivil(std::int64_t year, int month, int day) {
  year -= month <= 2;
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const std::int64_t yoe = year - era * 400;
  const std::int64_t doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

// A FileTime text with a four-digit year that FormatLocalSeconds writes exactly so.
bool ParseCanonicalTime(std::string_view text, std::int64_t* seconds) {
  if (text.size() != 10 && text.size() != 19) return false;
  if (text[4] != '-' || text[7] != '-') return false;
  const int year = Digits(text, 0, 4), month = Digits(text, 5, 2), day = Digits(text, 8, 2);
  if (year < 0 || month < 1 || month > 12 || day < 1 || day > 31) return false;
  int hour = 0, minute = 0, second = 0;
  if (text.size() == 19) {
    if (text[10] != ' ' || text[13] != ':' || text[16] != ':') return false;
    hour = Digits(text, 11, 2);
    minute = Digits(text, 14, 2);
    second = Digits(text, 17, 2);
    if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59) {
      return false;
    }
  }
  const std::int64_t value =
      DaysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
  // The round trip rules out what does not read back the same (a 31st of February, a time of
  // exactly midnight written out).
  char buffer[40];
  if (FormatLocalSeconds(value, buffer) != text) return false;
  *seconds = value;
  return true;
}

// ---- layout --------------------------------------------------------------------------------

Kind KindIn(const char* blob, int index) {
  const auto* p = reinterpret_cast<const unsigned char*>(blob);
  const unsigned bit = 2u * static_cast<unsigned>(index);
  return static_cast<Kind>((p[bit / 8] >> (bit % 8)) & 3u);
}

// Whether field `index` of kind `kind` carries a varint (a number or a prefix length).
bool HasNumber(int index, Kind kind) {
  switch (index) {
    case kFullPath:
      return kind == kPackedAlt;
    case kFileSize:
    case kFileTime:
    case kPathNameLength:
    case kSizePercentage:
      return true;
    case kFileNameLength:
      return kind == kPackedAlt;
    default:
      return false;
  }
}

// Moves `p` past field `index` of kind `kind`.
void Skip(const char*& p, int index, Kind kind) {
  if (kind == kEmpty) return;
  if (kind == kText) {
    const std::uint64_t length = GetVarint(p);
    p += length;
  } else if (HasNumber(index, kind)) {
    (void)GetVarint(p);
  }
}

// Points at the payload of field `index`.
const char* PayloadOf(const char* blob, int index) {
  const char* p = blob + kHeader;
  for (int i = 0; i < index; ++i) Skip(p, i, KindIn(blob, i));
  return p;
}

// Points past the eleven fields.
const char* ExtrasStart(const char* blob) { return PayloadOf(blob, kFieldCount); }

// The plan for one field while packing.
struct Plan {
  Kind kind = kEmpty;
  std::uint64_t number = 0;
};

Plan PlanField(int index, std::string_view text, const FieldViews& fields, const Context* context) {
  Plan plan;
  if (text.empty()) return plan;
  plan.kind = kText;
  if (!context) return plan;
  std::uint64_t number = 0;
  switch (index) {
    case kFullPath: {
      const std::string_view name = fields[kFileName];
      if (!context->has_parent || name.empty() || text.size() <= name.size()) break;
      const std::size_t cut = text.size() - name.size() - 1;
      if (text[cut] != '/' || text.substr(cut + 1) != name) break;
      const std::string_view head = text.substr(0, cut);
      if (head == context->parent_path) {
        plan.kind = kPacked;
      } else if (context->parent_path.substr(0, head.size()) == head) {
        plan.kind = kPackedAlt;
        plan.number = head.size();
      }
      break;
    }
    case kFileSize:
    case kPathNameLength:
      if (ParseCanonical(text, &number)) {
        plan.kind = kPacked;
        plan.number = number;
      }
      break;
    case kFileTime: {
      std::int64_t seconds;
      if (ParseCanonicalTime(text, &seconds)) {
        plan.kind = kPacked;
        plan.number = ZigZag(seconds - kTimeBase);
      }
      break;
    }
    case kFileExt:
      if (text == ExtensionOf(fields[kFileName])) plan.kind = kPacked;
      break;
    case kFileType:
      if (text == kFileTypeText) {
        plan.kind = kPacked;
      } else if (text == kDirectoryType) {
        plan.kind = kPackedAlt;
      }
      break;
    case kFileNameLength: {
      char buffer[24];
      if (text == FormatNumber(CodePointCount(fields[kFileName]), buffer, sizeof buffer)) {
        plan.kind = kPacked;
      } else if (ParseCanonical(text, &number)) {
        plan.kind = kPackedAlt;
        plan.number = number;
      }
      break;
    }
    case kSizePercentage:
      if (ParseHundredths(text, &number)) {
        plan.kind = kPacked;
        plan.number = number;
      } else if (ParseCanonical(text, &number)) {
        plan.kind = kPackedAlt;
        plan.number = number;
      }
      break;
    case kCatalogName:
      if (!context->catalog_name.empty() && text == context->catalog_name) plan.kind = kPacked;
      break;
    default:
      break;
  }
  return plan;
}

std::string_view ReadText(const char*& p) {
  const std::size_t length = static_cast<std::size_t>(GetVarint(p));
  const std::string_view text(p, length);
  p += length;
  return text;
}

// Field `index` of kind `kind` whose payload starts at `p`; FileName is needed for what derives
// from it.
std::string_view Decode(const char* p, int index, Kind kind, std::string_view name,
                        const Context& context, char* buffer, std::size_t size, std::string* path) {
  if (kind == kEmpty) return {};
  if (kind == kText) return ReadText(p);
  switch (index) {
    case kFullPath: {
      std::string_view head = context.parent_path;
      if (kind == kPackedAlt) {
        head = head.substr(0, std::min<std::size_t>(GetVarint(p), head.size()));
      }
      path->reserve(head.size() + 1 + name.size());
      path->assign(head);
      path->push_back('/');
      path->append(name);
      return *path;
    }
    case kFileSize:
    case kPathNameLength:
      return FormatNumber(GetVarint(p), buffer, size);
    case kFileTime: {
      char(&time)[40] = *reinterpret_cast<char(*)[40]>(buffer);
      return FormatLocalSeconds(UnZigZag(GetVarint(p)) + kTimeBase, time);
    }
    case kFileExt:
      return ExtensionOf(name);
    case kFileType:
      return kind == kPacked ? kFileTypeText : kDirectoryType;
    case kFileNameLength:
      return FormatNumber(kind == kPacked ? CodePointCount(name) : GetVarint(p), buffer, size);
    case kSizePercentage:
      return kind == kPacked ? FormatHundredths(GetVarint(p), buffer, size)
                             : FormatNumber(GetVarint(p), buffer, size);
    case kCatalogName:
      return context.catalog_name;
    default:
      return {};
  }
}

}  // namespace

char* Pack(const FieldViews& fields, const ExtraViews& extras, const Context* context,
           BlobArena* arena) {
  Plan plans[kFieldCount];
  std::size_t total = kHeader;
  bool any = !extras.empty();
  for (int i = 0; i < kFieldCount; ++i) {
    plans[i] = PlanField(i, fields[i], fields, context);
    if (plans[i].kind == kEmpty) continue;
    any = true;
    if (plans[i].kind == kText) {
      total += VarintSize(fields[i].size()) + fields[i].size();
    } else if (HasNumber(i, plans[i].kind)) {
      total += VarintSize(plans[i].number);
    }
  }
  if (!any) return nullptr;
  if (!extras.empty()) {
    total += VarintSize(extras.size());
    for (const ExtraAttribute& extra : extras) {
      total += VarintSize(extra.name.size()) + extra.name.size();
      total += VarintSize(extra.value.size()) + extra.value.size();
    }
  }
  char* blob;
  if (arena) {
    blob = arena->Allocate(total);
  } else {
    blob = static_cast<char*>(std::malloc(total));
    if (!blob) throw std::bad_alloc();
  }
  auto* head = reinterpret_cast<unsigned char*>(blob);
  head[0] = head[1] = head[2] = 0;
  for (int i = 0; i < kFieldCount; ++i) {
    const unsigned bit = 2u * static_cast<unsigned>(i);
    head[bit / 8] = static_cast<unsigned char>(head[bit / 8] | (plans[i].kind << (bit % 8)));
  }
  if (!extras.empty()) head[2] |= kHasExtras;
  char* p = blob + kHeader;
  const auto put_text = [&p](std::string_view text) {
    p = PutVarint(p, text.size());
    if (!text.empty()) std::memcpy(p, text.data(), text.size());
    p += text.size();
  };
  for (int i = 0; i < kFieldCount; ++i) {
    if (plans[i].kind == kText) {
      put_text(fields[i]);
    } else if (plans[i].kind != kEmpty && HasNumber(i, plans[i].kind)) {
      p = PutVarint(p, plans[i].number);
    }
  }
  if (!extras.empty()) {
    p = PutVarint(p, extras.size());
    for (const ExtraAttribute& extra : extras) {
      put_text(extra.name);
      put_text(extra.value);
    }
  }
  return blob;
}

bool IsPackedTime(std::int64_t local_time) {
  // FormatLocalSeconds writes these years with four digits, which ParseCanonicalTime reads back.
  static const std::int64_t first = DaysFromCivil(0, 1, 1) * 86400;
  static const std::int64_t end = DaysFromCivil(10000, 1, 1) * 86400;
  return local_time >= first && local_time < end;
}

char* PackEntry(std::string_view clean_name, bool directory, const std::uint64_t* size,
                const std::int64_t* local_time, BlobArena* arena) {
  // The layout Pack gives these fields: FileName as text, FileSize and FileTime as numbers,
  // FileType as its code; every other field empty, no further attribute.
  const std::uint64_t time_number = local_time ? ZigZag(*local_time - kTimeBase) : 0;
  std::size_t total = kHeader + VarintSize(clean_name.size()) + clean_name.size();
  if (size) total += VarintSize(*size);
  if (local_time) total += VarintSize(time_number);
  char* blob = arena->Allocate(total);
  auto* head = reinterpret_cast<unsigned char*>(blob);
  head[0] = head[1] = head[2] = 0;
  const auto set_kind = [head](int index, Kind kind) {
    const unsigned bit = 2u * static_cast<unsigned>(index);
    head[bit / 8] = static_cast<unsigned char>(head[bit / 8] | (kind << (bit % 8)));
  };
  set_kind(kFileName, kText);
  if (size) set_kind(kFileSize, kPacked);
  if (local_time) set_kind(kFileTime, kPacked);
  set_kind(kFileType, directory ? kPackedAlt : kPacked);
  char* p = PutVarint(blob + kHeader, clean_name.size());
  std::memcpy(p, clean_name.data(), clean_name.size());
  p += clean_name.size();
  if (size) p = PutVarint(p, *size);
  if (local_time) p = PutVarint(p, time_number);
  return blob;
}

namespace {

// Copies the header and the fields of `blob` but field `skip` (whose kind is cleared), and
// appends `extras`; `insert` writes field `skip`'s new payload in its place.
char* Assemble(const char* blob, int skip, Plan plan, std::string_view text,
               const ExtraViews& extras) {
  const char* starts[kFieldCount + 1];
  const char* p = blob ? blob + kHeader : nullptr;
  for (int i = 0; i < kFieldCount; ++i) {
    starts[i] = p;
    if (blob) Skip(p, i, KindIn(blob, i));
  }
  starts[kFieldCount] = p;
  std::size_t total = kHeader;
  bool any = !extras.empty();
  for (int i = 0; i < kFieldCount; ++i) {
    if (i == skip) continue;
    const std::size_t bytes = blob ? static_cast<std::size_t>(starts[i + 1] - starts[i]) : 0;
    total += bytes;
    any = any || (blob && KindIn(blob, i) != kEmpty);
  }
  if (skip >= 0 && plan.kind != kEmpty) {
    any = true;
    if (plan.kind == kText) {
      total += VarintSize(text.size()) + text.size();
    } else if (HasNumber(skip, plan.kind)) {
      total += VarintSize(plan.number);
    }
  }
  if (!any) return nullptr;
  if (!extras.empty()) {
    total += VarintSize(extras.size());
    for (const ExtraAttribute& extra : extras) {
      total += VarintSize(extra.name.size()) + extra.name.size();
      total += VarintSize(extra.value.size()) + extra.value.size();
    }
  }
  char* out = static_cast<char*>(std::malloc(total));
  if (!out) throw std::bad_alloc();
  auto* head = reinterpret_cast<unsigned char*>(out);
  head[0] = head[1] = head[2] = 0;
  char* q = out + kHeader;
  const auto put_text = [&q](std::string_view value) {
    q = PutVarint(q, value.size());
    if (!value.empty()) std::memcpy(q, value.data(), value.size());
    q += value.size();
  };
  for (int i = 0; i < kFieldCount; ++i) {
    const Kind kind = i == skip ? plan.kind : (blob ? KindIn(blob, i) : kEmpty);
    const unsigned bit = 2u * static_cast<unsigned>(i);
    head[bit / 8] = static_cast<unsigned char>(head[bit / 8] | (kind << (bit % 8)));
    if (i == skip) {
      if (kind == kText) {
        put_text(text);
      } else if (kind != kEmpty && HasNumber(i, kind)) {
        q = PutVarint(q, plan.number);
      }
    } else if (blob) {
      const std::size_t bytes = static_cast<std::size_t>(starts[i + 1] - starts[i]);
      if (bytes) std::memcpy(q, starts[i], bytes);
      q += bytes;
    }
  }
  if (!extras.empty()) {
    head[2] |= kHasExtras;
    q = PutVarint(q, extras.size());
    for (const ExtraAttribute& extra : extras) {
      put_text(extra.name);
      put_text(extra.value);
    }
  }
  return out;
}

}  // namespace

char* WithField(const char* blob, int index, std::string_view text, const Context& context) {
  FieldViews fields{};
  fields[kFileName] = StoredText(blob, kFileName);
  fields[index] = text;
  const Plan plan = PlanField(index, text, fields, &context);
  return Assemble(blob, index, plan, text, Extras(blob));
}

bool OverwriteNumber(char* blob, int index, std::string_view text) {
  if (index != kFileSize && index != kFileTime && index != kPathNameLength &&
      index != kSizePercentage) {
    return false;
  }
  const Kind kind = KindOf(blob, index);
  if (kind == kEmpty || kind == kText) return false;
  FieldViews fields{};
  fields[index] = text;
  const Context context;
  const Plan plan = PlanField(index, text, fields, &context);
  if (plan.kind == kEmpty || plan.kind == kText) return false;
  char* p = const_cast<char*>(PayloadOf(blob, index));
  const char* end = p;
  (void)GetVarint(end);
  const std::size_t room = static_cast<std::size_t>(end - p);
  if (VarintSize(plan.number) > room) return false;
  std::uint64_t value = plan.number;
  for (std::size_t i = 0; i + 1 < room; ++i) {
    *p++ = static_cast<char>((value & 0x7F) | 0x80);
    value >>= 7;
  }
  *p = static_cast<char>(value);
  auto* head = reinterpret_cast<unsigned char*>(blob);
  const unsigned bit = 2u * static_cast<unsigned>(index);
  head[bit / 8] =
      static_cast<unsigned char>((head[bit / 8] & ~(3u << (bit % 8))) | (plan.kind << (bit % 8)));
  return true;
}

char* WithExtras(const char* blob, const ExtraViews& extras) {
  return Assemble(blob, -1, Plan{}, {}, extras);
}

std::size_t SizeOf(const char* blob) {
  if (!blob) return 0;
  const char* p = ExtrasStart(blob);
  if (blob[2] & kHasExtras) {
    const std::uint64_t count = GetVarint(p);
    for (std::uint64_t i = 0; i < 2 * count; ++i) (void)ReadText(p);
  }
  return static_cast<std::size_t>(p - blob);
}

Kind KindOf(const char* blob, int index) {
  if (!blob || index < 0 || index >= kFieldCount) return kEmpty;
  return KindIn(blob, index);
}

std::string_view StoredText(const char* blob, int index) {
  if (KindOf(blob, index) != kText) return {};
  const char* p = PayloadOf(blob, index);
  return ReadText(p);
}

FieldViews Unpack(const char* blob, const Context& context, Scratch* scratch) {
  FieldViews views{};
  if (!blob) return views;
  const char* p = blob + kHeader;
  const char* payloads[kFieldCount];
  for (int i = 0; i < kFieldCount; ++i) {
    payloads[i] = p;
    Skip(p, i, KindIn(blob, i));
  }
  const Kind name_kind = KindIn(blob, kFileName);
  if (name_kind == kText) {
    const char* q = payloads[kFileName];
    views[kFileName] = ReadText(q);
  }
  const std::string_view name = views[kFileName];
  char* buffers[kFieldCount] = {};
  std::size_t sizes[kFieldCount] = {};
  buffers[kFileSize] = scratch->size;
  sizes[kFileSize] = sizeof scratch->size;
  buffers[kFileTime] = scratch->time;
  sizes[kFileTime] = sizeof scratch->time;
  buffers[kSizePercentage] = scratch->percentage;
  sizes[kSizePercentage] = sizeof scratch->percentage;
  buffers[kFileNameLength] = scratch->name_length;
  sizes[kFileNameLength] = sizeof scratch->name_length;
  buffers[kPathNameLength] = scratch->path_length;
  sizes[kPathNameLength] = sizeof scratch->path_length;
  for (int i = 1; i < kFieldCount; ++i) {
    views[i] = Decode(payloads[i], i, KindIn(blob, i), name, context, buffers[i], sizes[i],
                      &scratch->path);
  }
  return views;
}

std::string_view UnpackField(const char* blob, int index, const Context& context,
                             std::string* scratch) {
  const Kind kind = KindOf(blob, index);
  if (kind == kEmpty) return {};
  const char* p = PayloadOf(blob, index);
  if (kind == kText) return ReadText(p);
  const std::string_view name = StoredText(blob, kFileName);
  char buffer[40];
  const std::string_view text =
      Decode(p, index, kind, name, context, buffer, sizeof buffer, scratch);
  // Texts made in `buffer` are moved into the scratch before it goes.
  if (!text.empty() && text.data() == buffer) {
    scratch->assign(text);
    return *scratch;
  }
  return text;
}

bool SizeNumber(const char* blob, std::uint64_t* value) {
  const Kind kind = KindOf(blob, kFileSize);
  if (kind == kEmpty || kind == kText) return false;
  const char* p = PayloadOf(blob, kFileSize);
  *value = GetVarint(p);
  return true;
}

PathRule PathRuleOf(const char* blob, std::size_t* prefix) {
  switch (KindOf(blob, kFullPath)) {
    case kPacked:
      return PathRule::kFollowsParent;
    case kPackedAlt: {
      const char* p = PayloadOf(blob, kFullPath);
      *prefix = static_cast<std::size_t>(GetVarint(p));
      return PathRule::kFollowsPrefix;
    }
    default:
      return PathRule::kStored;
  }
}

std::size_t ExtraCount(const char* blob) {
  if (!blob || !(blob[2] & kHasExtras)) return 0;
  const char* p = ExtrasStart(blob);
  return static_cast<std::size_t>(GetVarint(p));
}

ExtraViews Extras(const char* blob) {
  ExtraViews extras;
  if (!blob || !(blob[2] & kHasExtras)) return extras;
  const char* p = ExtrasStart(blob);
  const std::size_t count = static_cast<std::size_t>(GetVarint(p));
  extras.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    const std::string_view name = ReadText(p);
    const std::string_view value = ReadText(p);
    extras.push_back({name, value});
  }
  return extras;
}

}  // namespace lumivor::record_blob
