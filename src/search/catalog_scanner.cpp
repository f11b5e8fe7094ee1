#include "search/catalog_scanner.h"

#include "core/catalog_reader.h"

#include <cstring>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace lumivor {

namespace {

constexpr bool IsAsciiLetter(unsigned char c) { return (c | 0x20) >= 'a' && (c | 0x20) <= 'z'; }

// Characters that never stand in a catalog file as themselves in every case: those that have an
// entity, blanks (tabs and line breaks are read as blanks) and control characters.
bool IsLiteralOnly(unsigned char c) {
  return c > ' ' && c != '&' && c != '<' && c != '>' && c != '"' && c != '\'';
}

// Character classes for the scanner's inner loops. The zero byte is in no class, so the zero
// padding after a text ends every run.
enum : unsigned char { kBlankClass = 1, kNameStartClass = 2, kNameClass = 4 };
constexpr std::array<unsigned char, 256> kClasses = [] {
  std::array<unsigned char, 256> classes{};
  for (int c = 0; c < 256; ++c) {
    const bool start =
        IsAsciiLetter(static_cast<unsigned char>(c)) || c == '_' || c == ':' || c >= 0x80;
    if (start) classes[c] |= kNameStartClass | kNameClass;
    if ((c >= '0' && c <= '9') || c == '-' || c == '.') classes[c] |= kNameClass;
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r') classes[c] |= kBlankClass;
  }
  return classes;
}();

bool IsBlank(char c) { return kClasses[static_cast<unsigned char>(c)] & kBlankClass; }

bool IsNameStart(unsigned char c) { return kClasses[c] & kNameStartClass; }

bool IsNameChar(unsigned char c) { return kClasses[c] & kNameClass; }

#if defined(__SSE2__)
unsigned CountTrailingZeros(unsigned bits) { return static_cast<unsigned>(__builtin_ctz(bits)); }
#endif

// The first byte from `p` on that ends or interrupts an attribute value written in `quote`:
// the quote, '&', '<' or a control character (NUL included, so the zero padding stops it).
const char* FindValueStop(const char* p, char quote) {
#if defined(__SSE2__)
  const __m128i q = _mm_set1_epi8(quote), amp = _mm_set1_epi8('&'), lt = _mm_set1_epi8('<');
  const __m128i control = _mm_set1_epi8(0x1F);
  for (;; p += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i hit = _mm_or_si128(
        _mm_or_si128(_mm_cmpeq_epi8(v, q), _mm_cmpeq_epi8(v, amp)),
        _mm_or_si128(_mm_cmpeq_epi8(v, lt), _mm_cmpeq_epi8(_mm_min_epu8(v, control), v)));
    const unsigned bits = static_cast<unsigned>(_mm_movemask_epi8(hit));
    if (bits) return p + CountTrailingZeros(bits);
  }
#else
  for (;; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c == static_cast<unsigned char>(quote) || c == '&' || c == '<' || c < 0x20) return p;
  }
#endif
}

// The field number of an attribute name, or -1.
int FieldOfName(std::string_view name) { return lumivor::FieldIndexOrNone(name); }

// A character reference that only stands for a tab or a line break, as the catalog writer emits
// for those characters in descriptions: it can hide no literal character of a needle.
bool IsLineBreakReference(const char* p, const char* end) {
  const std::string_view rest(p, static_cast<std::size_t>(std::min<std::ptrdiff_t>(end - p, 5)));
  return rest.substr(0, 4) == "&#9;" || rest == "&#10;" || rest == "&#13;";
}

// The scanner proper: a cursor over the text with the parsing steps of one catalog.
class Scanner {
 public:
  Scanner(const char* begin, const char* end, const Needle* needle)
      : p_(begin), end_(end), needle_(needle && !needle->Empty() ? needle : nullptr) {
    if (needle_) next_hit_ = needle_->Find(begin, end);
  }

  ScanStatus Run(const ScanVisitor& visit) {
    SkipBlanks();
    if (p_ >= end_ || *p_ != '<') return ScanStatus::kUnsupported;
    ++p_;
    std::string_view root_name;
    bool root_closed = false;
    if (!StartTag(&root_name, &root_closed, nullptr)) return ScanStatus::kUnsupported;
    std::vector<std::string_view> open;
    if (!root_closed) open.push_back(root_name);
    ScannedElement element;
    while (!open.empty()) {
      // Text between tags is skipped, as the catalog reader ignores it.
      const void* lt = std::memchr(p_, '<', static_cast<std::size_t>(end_ - p_));
      if (!lt) return ScanStatus::kUnsupported;
      // A zero byte ends the text for the XML reader, which then finds the document cut off.
      if (lt != p_ &&
          std::memchr(p_, '\0', static_cast<std::size_t>(static_cast<const char*>(lt) - p_))) {
        return ScanStatus::kUnsupported;
      }
      p_ = static_cast<const char*>(lt) + 1;
      if (p_ >= end_) return ScanStatus::kUnsupported;
      if (*p_ == '/') {
        ++p_;
        const std::string_view name = Name();
        if (name != open.back()) return ScanStatus::kUnsupported;
        SkipBlanks();
        if (p_ >= end_ || *p_ != '>') return ScanStatus::kUnsupported;
        ++p_;
        open.pop_back();
        continue;
      }
      const char* tag_start = p_ - 1;
      // A fresh element that keeps the storage of its list of further attributes.
      std::vector<ScannedElement::Extra> extras = std::move(element.extras);
      extras.clear();
      element = ScannedElement();
      element.extras = std::move(extras);
      std::string_view name;
      bool closed = false;
      if (!StartTag(&name, &closed, &element)) return ScanStatus::kUnsupported;
      element.depth = static_cast<int>(open.size());
      element.may_match = !needle_ || element.may_match || HitWithin(tag_start, p_);
      if (!visit(element)) return ScanStatus::kStopped;
      if (!closed) open.push_back(name);
    }
    SkipBlanks();
    return p_ == end_ ? ScanStatus::kDone : ScanStatus::kUnsupported;
  }

 private:
  void SkipBlanks() {
    while (IsBlank(*p_)) ++p_;  // the padding stops it
  }

  // A name at the cursor; empty when there is none.
  std::string_view Name() {
    const char* start = p_;
    if (p_ >= end_ || !IsNameStart(static_cast<unsigned char>(*p_))) return {};
    ++p_;
    while (IsNameChar(static_cast<unsigned char>(*p_))) ++p_;  // the padding stops it
    return {start, static_cast<std::size_t>(p_ - start)};
  }

  // The rest of a start tag after "<": name, attributes, ">" or "/>". Fills `element` with the
  // field attributes when given; `element->may_match` tells whether a character reference occurs.
  bool StartTag(std::string_view* name, bool* closed, ScannedElement* element) {
    *name = Name();
    if (name->empty()) return false;
    bool has_reference = false;
    for (;;) {
      const char* before_blanks = p_;
      SkipBlanks();
      if (p_ >= end_) return false;
      if (*p_ == '>') {
        ++p_;
        *closed = false;
        break;
      }
      if (*p_ == '/') {
        if (p_ + 1 >= end_ || p_[1] != '>') return false;
        p_ += 2;
        *closed = true;
        break;
      }
      if (p_ == before_blanks) return false;  // attributes need blanks between them
      const std::string_view attribute = Name();
      if (attribute.empty()) return false;
      SkipBlanks();
      if (p_ >= end_ || *p_ != '=') return false;
      ++p_;
      SkipBlanks();
      if (p_ >= end_ || (*p_ != '"' && *p_ != '\'')) return false;
      const char quote = *p_++;
      const char* value_start = p_;
      bool plain = true;
      for (;;) {
        const char* stop = FindValueStop(p_, quote);
        if (stop >= end_ || *stop == '<' || *stop == '\0') return false;
        if (*stop == quote) {
          p_ = stop + 1;
          break;
        }
        plain = false;
        if (*stop == '&' && stop + 1 < end_ && stop[1] == '#' &&
            !IsLineBreakReference(stop, end_)) {
          has_reference = true;
        }
        p_ = stop + 1;
      }
      if (!element) continue;
      const int field = FieldOfName(attribute);
      const std::string_view raw(value_start, static_cast<std::size_t>(p_ - 1 - value_start));
      if (field < 0) {
        element->extras.push_back({attribute, raw, plain});
      } else if (!element->present[field]) {
        element->present[field] = true;
        element->plain[field] = plain;
        element->raw[field] = raw;
      }
    }
    if (element) element->may_match = has_reference;
    return true;
  }

  // True when the needle occurs in [start, stop); moves the next occurrence past `stop`.
  bool HitWithin(const char* start, const char* stop) {
    if (next_hit_ < start) next_hit_ = needle_->Find(start, end_);
    if (next_hit_ >= stop) return false;
    next_hit_ = needle_->Find(stop, end_);
    return true;
  }

  const char* p_;
  const char* end_;
  const Needle* needle_;
  const char* next_hit_ = nullptr;
};

}  // namespace

Needle::Needle(std::string_view text, bool fold_case) : bytes_(text), masks_(text.size(), '\0') {
  for (std::size_t i = 0; i < bytes_.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(bytes_[i]);
    if (fold_case && IsAsciiLetter(c)) {
      bytes_[i] = static_cast<char>(c | 0x20);
      masks_[i] = 0x20;
    }
  }
}

bool Needle::MatchesAt(const char* p) const {
  for (std::size_t i = 0; i < bytes_.size(); ++i) {
    if ((p[i] | masks_[i]) != bytes_[i]) return false;
  }
  return true;
}

const char* Needle::Find(const char* begin, const char* end) const {
  const std::size_t m = bytes_.size();
  if (m == 0) return begin;
  if (end - begin < static_cast<std::ptrdiff_t>(m)) return end;
  const char* last_start = end - m;
#if defined(__SSE2__)
  const __m128i first = _mm_set1_epi8(bytes_[0]), first_mask = _mm_set1_epi8(masks_[0]);
  const __m128i last = _mm_set1_epi8(bytes_[m - 1]), last_mask = _mm_set1_epi8(masks_[m - 1]);
  for (const char* p = begin; p <= last_start; p += 16) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + m - 1));
    const __m128i hit = _mm_and_si128(_mm_cmpeq_epi8(_mm_or_si128(a, first_mask), first),
                                      _mm_cmpeq_epi8(_mm_or_si128(b, last_mask), last));
    unsigned bits = static_cast<unsigned>(_mm_movemask_epi8(hit));
    while (bits) {
      const char* q = p + CountTrailingZeros(bits);
      if (q > last_start) return end;
      if (MatchesAt(q)) return q;
      bits &= bits - 1;
    }
  }
  return end;
#else
  for (const char* p = begin; p <= last_start; ++p) {
    if (MatchesAt(p)) return p;
  }
  return end;
#endif
}

std::string_view LongestLiteralRun(std::string_view criterion) {
  std::string_view best;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= criterion.size(); ++i) {
    if (i == criterion.size() || !IsLiteralOnly(static_cast<unsigned char>(criterion[i]))) {
      if (i - start > best.size()) best = criterion.substr(start, i - start);
      start = i + 1;
    }
  }
  return best;
}

bool TextMayContain(const char* begin, const char* end, const Needle& needle) {
  if (needle.Empty() || needle.Find(begin, end) != end) return true;
  for (const char* p = begin; p < end;) {
    const void* amp = std::memchr(p, '&', static_cast<std::size_t>(end - p));
    if (!amp) break;
    p = static_cast<const char*>(amp);
    if (p + 1 < end && p[1] == '#' && !IsLineBreakReference(p, end)) return true;
    ++p;
  }
  return false;
}

const char* ScanProlog(const char* begin, const char* end) { return SkipCatalogProlog(begin, end); }

ScanStatus ScanCatalogText(const char* begin, const char* end, const Needle* needle,
                           const ScanVisitor& visit) {
  return Scanner(begin, end, needle).Run(visit);
}

bool DecodeAttributeValue(std::string_view raw, std::string* out) {
  return DecodeAttributeText(raw, out);
}

}  // namespace lumivor
