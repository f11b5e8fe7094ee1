#include "core/needle.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace lumivor {

namespace {

constexpr bool IsAsciiLetter(unsigned char c) { return (c | 0x20) >= 'a' && (c | 0x20) <= 'z'; }

// Characters that stand in a catalog file as themselves in every case: not those that have an
// entity, blanks (tabs and line breaks are read as blanks) or control characters.
bool IsLiteralOnly(unsigned char c) {
  return c > ' ' && c != '&' && c != '<' && c != '>' && c != '"' && c != '\'';
}

// How often each byte occurs in catalog text, on a scale of 0 (never) to 255 (the most common),
// measured over a scanned system folder: attribute names, digits of sizes and times, quotes and
// the letters of file names. Bytes of UTF-8 sequences get a middle score.
constexpr unsigned char kByteScores[256] = {
    0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,
    0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   240, 0,   250, 0,   0,   0,
    18,  0,   37,  37,  0,   137, 27,  224, 222, 236, 235, 225, 226, 212, 213, 209, 211, 201, 207,
    203, 212, 18,  202, 238, 202, 18,  109, 170, 147, 203, 159, 200, 233, 154, 145, 162, 120, 138,
    213, 165, 224, 152, 219, 148, 156, 213, 213, 143, 140, 136, 143, 123, 102, 27,  18,  0,   0,
    218, 0,   244, 210, 229, 218, 255, 218, 233, 230, 246, 173, 199, 246, 233, 231, 230, 225, 163,
    231, 231, 240, 228, 191, 178, 206, 219, 216, 0,   0,   0,   18,  0,   165, 165, 165, 165, 165,
    165, 165, 165, 165, 165, 165, 165, 165, 165, 165, 165, 165, 165, 165, 165, 165, 165, 165, 165,
    165, 165, 165, 165, 165, 165, 165, 165, 165, 165, 165, 165, 165, 165, 165, 165, 165, 165, 165,
    165, 165, 165, 165, 165, 165, 165, 165, 165, 165, 165, 165, 165, 165, 165, 165, 165, 165, 165,
    165, 165, 165, 165, 165, 165, 165, 165, 165, 165, 165, 165, 165, 165, 165, 165, 165, 165, 165,
    165, 165, 165, 165, 165, 165, 165, 165, 165, 165, 165, 165, 165, 165, 165, 165, 165, 165, 165,
    165, 165, 165, 165, 165, 165, 165, 165, 165, 165, 165, 165, 165, 165, 165, 165, 165, 165, 165,
    165, 165, 165, 165, 165, 165, 165, 165, 165,
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
  // The SIMD search compares every candidate start at two of the needle's bytes: the two that
  // catalog text holds least often, so that few candidates need the whole comparison.
  auto score = [&](std::size_t i) {
    const unsigned char c = static_cast<unsigned char>(bytes_[i]);
    return masks_[i] ? std::max(kByteScores[c], kByteScores[c & ~0x20U]) : kByteScores[c];
  };
  for (std::size_t i = 1; i < bytes_.size(); ++i) {
    if (score(i) < score(rare_)) rare_ = i;
  }
  other_ = rare_ == 0 && bytes_.size() > 1 ? 1 : 0;
  for (std::size_t i = 0; i < bytes_.size(); ++i) {
    if (i != rare_ && score(i) < score(other_)) other_ = i;
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
  const char* p = begin;
#if defined(__SSE2__)
  // Blocks of 16 candidate starts, compared at the needle's two rarest bytes; the blocks stop
  // where a load could pass `end`, and the bytes left are tried one by one.
  const __m128i first = _mm_set1_epi8(bytes_[rare_]), first_mask = _mm_set1_epi8(masks_[rare_]);
  const __m128i last = _mm_set1_epi8(bytes_[other_]), last_mask = _mm_set1_epi8(masks_[other_]);
  for (; end - p >= static_cast<std::ptrdiff_t>(m + 15); p += 16) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + rare_));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + other_));
    const __m128i hit = _mm_and_si128(_mm_cmpeq_epi8(_mm_or_si128(a, first_mask), first),
                                      _mm_cmpeq_epi8(_mm_or_si128(b, last_mask), last));
    unsigned bits = static_cast<unsigned>(_mm_movemask_epi8(hit));
    while (bits) {
      const char* q = p + __builtin_ctz(bits);
      if (MatchesAt(q)) return q;
      bits &= bits - 1;
    }
  }
#endif
  for (; p <= last_start; ++p) {
    if (MatchesAt(p)) return p;
  }
  return end;
}

std::string_view LongestLiteralRun(std::string_view criterion) {
  // U+FFFD stands for whatever bytes the reader replaced: the file may not hold it.
  constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
  std::string_view best;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= criterion.size(); ++i) {
    const bool replacement = criterion.substr(i, kReplacement.size()) == kReplacement;
    if (i == criterion.size() || replacement ||
        !IsLiteralOnly(static_cast<unsigned char>(criterion[i]))) {
      if (i - start > best.size()) best = criterion.substr(start, i - start);
      if (replacement) i += kReplacement.size() - 1;
      start = i + 1;
    }
  }
  return best;
}

bool IsLineBreakReference(const char* p, const char* end) {
  const std::string_view rest(p, static_cast<std::size_t>(std::min<std::ptrdiff_t>(end - p, 5)));
  return rest.substr(0, 4) == "&#9;" || rest == "&#10;" || rest == "&#13;";
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

}  // namespace lumivor
