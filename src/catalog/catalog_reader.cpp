#include "catalog/catalog_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <new>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "catalog/catalog_file.h"
#include "catalog/fields.h"
#include "core/errors.h"

namespace lumivor {

namespace {

// Character classes for the reader's inner loops.
enum : unsigned char { kSpaceClass = 1, kNameStartClass = 2, kNameClass = 4 };
constexpr std::array<unsigned char, 256> kClasses = [] {
  std::array<unsigned char, 256> classes{};
  for (int c = 0; c < 256; ++c) {
    const bool start =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':' || c >= 0x80;
    if (start) classes[c] |= kNameStartClass | kNameClass;
    if ((c >= '0' && c <= '9') || c == '-' || c == '.') classes[c] |= kNameClass;
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r') classes[c] |= kSpaceClass;
  }
  return classes;
}();

bool IsSpace(char c) { return kClasses[static_cast<unsigned char>(c)] & kSpaceClass; }

bool IsNameStart(unsigned char c) { return kClasses[c] & kNameStartClass; }

bool IsNameChar(unsigned char c) { return kClasses[c] & kNameClass; }

bool IsXmlChar(std::uint32_t code) {
  return code == 0x9 || code == 0xA || code == 0xD || (code >= 0x20 && code <= 0xD7FF) ||
         (code >= 0xE000 && code <= 0xFFFD) || (code >= 0x10000 && code <= 0x10FFFF);
}

void AppendUtf8(std::uint32_t code, std::string* out) {
  if (code < 0x80) {
    out->push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (code >> 6)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (code >> 12)));
    out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (code >> 18)));
    out->push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

// The first byte in [p, end) that ends or interrupts an attribute value written in `quote`: the
// quote, '&', '<' or a control character (tab, line break, NUL); `end` when there is none.
const char* FindValueStop(const char* p, const char* end, char quote) {
#if defined(__SSE2__)
  const __m128i q = _mm_set1_epi8(quote), amp = _mm_set1_epi8('&'), lt = _mm_set1_epi8('<');
  const __m128i control = _mm_set1_epi8(0x1F);
  for (; end - p >= 16; p += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i hit = _mm_or_si128(
        _mm_or_si128(_mm_cmpeq_epi8(v, q), _mm_cmpeq_epi8(v, amp)),
        _mm_or_si128(_mm_cmpeq_epi8(v, lt), _mm_cmpeq_epi8(_mm_min_epu8(v, control), v)));
    const unsigned bits = static_cast<unsigned>(_mm_movemask_epi8(hit));
    if (bits) return p + __builtin_ctz(bits);
  }
#endif
  for (; p < end; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c == static_cast<unsigned char>(quote) || c == '&' || c == '<' || c < 0x20) return p;
  }
  return end;
}

// What a step of the fast reader ended in.
enum class Step { kDone, kUnsupported, kStopped, kNeedMore };

// The fast reader. It is fed the text in windows: every unit (a tag, the prolog) is parsed only
// once it lies whole in the window; a unit cut by the window's end is parsed again, from its
// start, once more text has come. Values are never decoded in place, so a window can be parsed
// twice and the text stays as read. With a needle it is fed the whole text at once.
// True when the bytes from `p` to `end` hold any below 0x20 or from 0x80 on: only then can a
// value of the tag they hold need cleaning (references are checked as they are decoded).
bool MayNeedCleaning(const char* p, const char* end) {
#if defined(__SSE2__)
  const __m128i limit = _mm_set1_epi8(0x20);
  for (; end - p >= 16; p += 16) {
    // Signed: bytes from 0x80 on are below 0x20 too.
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    if (_mm_movemask_epi8(_mm_cmplt_epi8(bytes, limit)) != 0) return true;
  }
#endif
  for (; p < end; ++p) {
    if (static_cast<signed char>(*p) < 0x20) return true;
  }
  return false;
}

// Cleans every value of `view` as SanitizeText does (invalid UTF-8 and control characters
// become U+FFFD), so that whoever reads a catalog (the tree, show, search, the index, the
// exports) meets one text. Cleaned values are kept in `storage`, from `*used` on.
void CleanValues(RecordView* view, std::deque<std::string>* storage, std::size_t* used) {
  const auto clean = [&](std::string_view* value) {
    if (*used == storage->size()) storage->emplace_back();
    std::string& slot = (*storage)[*used];
    if (SanitizeText(*value, &slot)) {
      *value = slot;
      ++*used;
    }
  };
  for (std::string_view& field : view->fields) clean(&field);
  for (auto& extra : view->extras) clean(&extra.value);
}

class FastReader {
 public:
  FastReader(std::string_view catalog_name, RecordSink& sink, const Needle* needle = nullptr)
      : catalog_name_(catalog_name),
        sink_(sink),
        needle_(needle && !needle->Empty() ? needle : nullptr) {
    // The name comes from the file's name, which no tag's check covers.
    if (SanitizeText(catalog_name_, &clean_catalog_name_)) catalog_name_ = clean_catalog_name_;
  }

  // Parses [begin, end); `eof` when no text follows. Sets `consumed` to the bytes handled whole.
  // `pass_unhit_tags`: tags that cannot hold the needle may be passed over unparsed (PassOver);
  // only for text free of NUL bytes.
  Step Feed(const char* begin, const char* end, bool eof, std::size_t* consumed,
            bool pass_unhit_tags = false) {
    p_ = begin;
    end_ = end;
    // Positions found in an earlier window are found again in this one.
    next_hit_ = nullptr;
    next_reference_ = nullptr;
    pass_unhit_tags_ = needle_ && pass_unhit_tags;
    const char* unit = p_;
    for (;;) {
      unit = p_;
      truncated_ = false;
      const Step step = Unit(eof);
      if (step == Step::kNeedMore || (step == Step::kUnsupported && truncated_ && !eof)) {
        *consumed = static_cast<std::size_t>(unit - begin);
        return Step::kNeedMore;
      }
      if (step != Step::kDone) {
        *consumed = static_cast<std::size_t>(p_ - begin);
        return step;
      }
      if (state_ == State::kFinished) {
        *consumed = static_cast<std::size_t>(p_ - begin);
        return Step::kDone;
      }
    }
  }

 private:
  enum class State { kProlog, kRoot, kBody, kEpilog, kFinished };

  // One unit; kDone when it was handled and the reader may go on.
  Step Unit(bool eof) {
    switch (state_) {
      case State::kProlog: {
        // The prolog is short: wait for a window that surely holds it.
        if (!eof && end_ - p_ < 4096) return Step::kNeedMore;
        const char* body = SkipCatalogProlog(p_, end_);
        if (!body) return Step::kUnsupported;
        p_ = body;
        state_ = State::kRoot;
        return Step::kDone;
      }
      case State::kRoot: {
        SkipSpace();
        std::string_view name;
        bool empty;
        if (!StartTag(&name, &empty, false)) return Step::kUnsupported;
        if (empty) {
          state_ = State::kEpilog;
        } else {
          PushOpen(name);
          state_ = State::kBody;
        }
        return Step::kDone;
      }
      case State::kBody: {
        SkipSpace();
        if (!More()) return eof ? Step::kUnsupported : Step::kNeedMore;
        if (*p_ != '<') return SkipText();
        if (p_ + 1 >= end_) return eof ? Step::kUnsupported : Step::kNeedMore;
        if (p_[1] == '/') return EndTag();
        if (p_[1] == '!' || p_[1] == '?') return SkipMarkup();
        if (pass_unhit_tags_) {
          const Step passed = PassOver();
          if (passed != Step::kNeedMore) return passed;
        }
        const char* tag_start = p_;
        std::string_view name;
        bool empty;
        if (!StartTag(&name, &empty, true)) return Step::kUnsupported;
        const bool wanted = !needle_ || has_reference_ || HitWithin(tag_start, p_);
        if (!DecodeValues(wanted)) return Step::kUnsupported;
        if (MayNeedCleaning(tag_start, p_)) CleanValues(&view_, &decoded_, &decoded_used_);
        if (!Emit(wanted)) return Step::kStopped;
        if (!empty) PushOpen(name);
        return Step::kDone;
      }
      case State::kEpilog:
        SkipSpace();
        if (p_ + 1 < end_ && p_[0] == '<' && (p_[1] == '!' || p_[1] == '?')) return SkipMarkup();
        if (p_ < end_) return Step::kUnsupported;  // anything else after the root
        if (!eof) return Step::kNeedMore;
        state_ = State::kFinished;
        return Step::kDone;
      case State::kFinished:
        return Step::kDone;
    }
    return Step::kUnsupported;
  }

  bool More() {
    if (p_ < end_) return true;
    truncated_ = true;
    return false;
  }

  void SkipSpace() {
    while (p_ < end_ && IsSpace(*p_)) ++p_;
  }

  // Text between elements: the records do not hold it, so it is passed over as the document
  // route passes over it. A NUL byte (which that route takes for the end) is left to it.
  Step SkipText() {
    const char* next =
        static_cast<const char*>(std::memchr(p_, '<', static_cast<std::size_t>(end_ - p_)));
    const char* stop = next ? next : end_;
    if (std::memchr(p_, '\0', static_cast<std::size_t>(stop - p_))) return Step::kUnsupported;
    if (!next) {
      truncated_ = true;
      return Step::kUnsupported;
    }
    p_ = next;
    return Step::kDone;
  }

  // Skips to the end of a construct that ends with `terminator`; kNeedMore-worthy when cut.
  Step SkipTo(std::string_view terminator) {
    const void* found =
        ::memmem(p_, static_cast<std::size_t>(end_ - p_), terminator.data(), terminator.size());
    if (!found) {
      truncated_ = true;
      return Step::kUnsupported;
    }
    const char* after = static_cast<const char*>(found) + terminator.size();
    if (std::memchr(p_, '\0', static_cast<std::size_t>(after - p_))) return Step::kUnsupported;
    p_ = after;
    return Step::kDone;
  }

  // A comment, a CDATA section or a processing instruction between elements: none of them holds
  // a record. A document type, or an instruction named like the declaration, goes to the
  // document route, which judges it.
  Step SkipMarkup() {
    const std::string_view rest(p_, static_cast<std::size_t>(end_ - p_));
    if (rest.size() < 9) {
      truncated_ = true;
      return Step::kUnsupported;
    }
    if (rest.substr(0, 4) == "<!--") {
      p_ += 4;
      return SkipTo("-->");
    }
    if (rest.substr(0, 9) == "<![CDATA[" && state_ == State::kBody) {
      p_ += 9;
      return SkipTo("]]>");
    }
    if (rest[1] == '?' && IsNameStart(static_cast<unsigned char>(rest[2])) &&
        !((rest[2] | 0x20) == 'x' && (rest[3] | 0x20) == 'm' && (rest[4] | 0x20) == 'l')) {
      p_ += 2;
      return SkipTo("?>");
    }
    return Step::kUnsupported;
  }

  void PushOpen(std::string_view name) {
    if (depth_ == open_.size()) open_.emplace_back();
    open_[depth_++].assign(name);
  }

  Step EndTag() {
    p_ += 2;
    std::string_view name;
    if (!Name(&name)) return Step::kUnsupported;
    if (name != open_[depth_ - 1]) return Step::kUnsupported;
    SkipSpace();
    if (!More() || *p_ != '>') return Step::kUnsupported;
    ++p_;
    if (--depth_ == 0) state_ = State::kEpilog;
    return Step::kDone;
  }

  bool Name(std::string_view* name) {
    const char* start = p_;
    if (!More() || !IsNameStart(static_cast<unsigned char>(*p_))) return false;
    ++p_;
    while (p_ < end_ && IsNameChar(static_cast<unsigned char>(*p_))) ++p_;
    if (p_ >= end_) truncated_ = true;
    *name = {start, static_cast<std::size_t>(p_ - start)};
    return true;
  }

  // "<name attr="value" ...>" or ".../>". With `record` the raw attribute values fill the
  // record's view; DecodeValues decodes them afterwards.
  bool StartTag(std::string_view* name, bool* empty, bool record) {
    if (!More() || *p_ != '<') return false;
    ++p_;
    if (!Name(name)) return false;
    if (record) {
      view_.fields = FieldViews{};
      view_.extras.clear();
      coded_fields_ = 0;
      coded_extras_.clear();
      has_reference_ = false;
    }
    for (;;) {
      const bool spaced = p_ < end_ && IsSpace(*p_);
      SkipSpace();
      if (!More()) return false;
      if (*p_ == '>') {
        ++p_;
        *empty = false;
        return true;
      }
      if (*p_ == '/') {
        if (p_ + 1 >= end_) {
          truncated_ = true;
          return false;
        }
        if (p_[1] != '>') return false;
        p_ += 2;
        *empty = true;
        return true;
      }
      if (!spaced) return false;
      std::string_view attribute;
      if (!Name(&attribute)) return false;
      SkipSpace();
      if (!More() || *p_ != '=') return false;
      ++p_;
      SkipSpace();
      std::string_view value;
      bool plain;
      if (!Value(&value, &plain)) return false;
      if (!record) continue;
      const int index = FieldIndexOrNone(attribute);
      if (index >= 0) {
        // A present attribute with an empty value still counts as present; the first counts.
        if (view_.fields[index].data() == nullptr) {
          view_.fields[index] = value.empty() ? std::string_view("", 0) : value;
          if (!plain) coded_fields_ |= 1U << index;
        }
      } else {
        view_.extras.push_back({attribute, value});
        coded_extras_.push_back(!plain);
      }
    }
  }

  // A quoted attribute value as written (a view of the text); `plain` when it needs no decoding.
  bool Value(std::string_view* value, bool* plain) {
    if (!More() || (*p_ != '"' && *p_ != '\'')) return false;
    const char quote = *p_++;
    const char* start = p_;
    *plain = true;
    for (;;) {
      const char* stop = FindValueStop(p_, end_, quote);
      p_ = stop;
      if (!More()) return false;
      const char c = *stop;
      if (c == quote) break;
      if (c == '<' || c == '\0') return false;
      *plain = false;  // a reference, or a blank the document route turns into a space
      if (c == '&' && needle_ && stop + 1 < end_ && stop[1] == '#' &&
          !IsLineBreakReference(stop, end_)) {
        has_reference_ = true;
      }
      ++p_;
    }
    *value = std::string_view(start, static_cast<std::size_t>(p_ - start));
    ++p_;
    return true;
  }

  // Hands on the record whose start tag begins at p_ by its depth alone, without reading its
  // attributes, when the tag holds neither the needle nor a reference that could hide one of its
  // characters: most records of a search. Attribute values hold no '<', so the tag ends at the
  // last '>' before the next '<', and it is an empty-element tag when a '/' comes before that
  // '>'. kNeedMore when the tag has to be parsed (it may match, or is followed by text or by
  // nothing). Damage inside a passed tag goes unnoticed, as in a file passed over whole.
  Step PassOver() {
    const char* next =
        static_cast<const char*>(std::memchr(p_ + 1, '<', static_cast<std::size_t>(end_ - p_ - 1)));
    if (!next) return Step::kNeedMore;
    if (!next_hit_ || next_hit_ < p_) next_hit_ = needle_->Find(p_, end_);
    if (next_hit_ < next) return Step::kNeedMore;
    if (!next_reference_ || next_reference_ < p_) next_reference_ = FindHidingReference(p_);
    if (next_reference_ < next) return Step::kNeedMore;
    const char* last = next - 1;
    while (last > p_ && IsSpace(*last)) --last;
    if (*last != '>' || last - p_ < 2) return Step::kNeedMore;
    const char* name_end = p_ + 1;
    if (!IsNameStart(static_cast<unsigned char>(*name_end))) return Step::kNeedMore;
    while (IsNameChar(static_cast<unsigned char>(*name_end))) ++name_end;
    const bool empty = last[-1] == '/';
    if (name_end > (empty ? last - 1 : last) ||
        (name_end < last && !IsSpace(*name_end) && name_end != (empty ? last - 1 : last))) {
      return Step::kNeedMore;
    }
    view_.fields = FieldViews{};
    view_.extras.clear();
    if (!Emit(false)) return Step::kStopped;
    if (!empty) PushOpen(std::string_view(p_ + 1, static_cast<std::size_t>(name_end - p_ - 1)));
    p_ = last + 1;
    return Step::kDone;
  }

  // The first character reference at or after `from` that is no line-break reference, or end_.
  const char* FindHidingReference(const char* from) const {
    static const Needle kReference("&#", false);
    for (;;) {
      const char* found = kReference.Find(from, end_);
      if (found == end_ || !IsLineBreakReference(found, end_)) return found;
      from = found + 2;
    }
  }

  // True when the needle occurs in [start, stop); moves the next occurrence past `stop`.
  bool HitWithin(const char* start, const char* stop) {
    if (!next_hit_ || next_hit_ < start) next_hit_ = needle_->Find(start, end_);
    if (next_hit_ >= stop) return false;
    next_hit_ = needle_->Find(stop, end_);
    return true;
  }

  // Decodes the values of the tag just read that need it into storage of the reader's own; of a
  // record that is not `wanted`, only FileName is kept. False when a value holds something the
  // document route reads in another way.
  bool DecodeValues(bool wanted) {
    decoded_used_ = 0;
    if (!wanted) {
      const std::string_view name = view_.fields[kFileName];
      view_.fields = FieldViews{};
      view_.fields[kFileName] = name;
      coded_fields_ &= 1U << kFileName;
      view_.extras.clear();
      coded_extras_.clear();
    }
    for (int i = 0; coded_fields_ >> i; ++i) {
      if ((coded_fields_ >> i & 1U) && !Decode(&view_.fields[i])) return false;
    }
    for (std::size_t i = 0; i < coded_extras_.size(); ++i) {
      if (coded_extras_[i] && !Decode(&view_.extras[i].value)) return false;
    }
    return true;
  }

  bool Decode(std::string_view* value) {
    if (decoded_used_ == decoded_.size()) decoded_.emplace_back();
    std::string& out = decoded_[decoded_used_++];
    if (!DecodeAttributeText(*value, &out)) return false;
    *value = out;
    return true;
  }

  bool Emit(bool wanted) {
    const int depth = static_cast<int>(depth_) - 1;
    FieldViews& fields = view_.fields;
    if (wanted) {
      if (depth == 0) {
        if (fields[kFileType].data() == nullptr) fields[kFileType] = kDirectoryType;
        if (fields[kFullPath].empty()) fields[kFullPath] = fields[kFileName];
      }
      fields[kCatalogName] = catalog_name_;
    }
    view_.depth = depth;
    view_.may_match = wanted;
    return sink_.Add(view_);
  }

  std::string_view catalog_name_;
  std::string clean_catalog_name_;
  RecordSink& sink_;
  const Needle* needle_;
  const char* next_hit_ = nullptr;  // the next occurrence of the needle (with a needle)
  bool pass_unhit_tags_ = false;
  const char* next_reference_ = nullptr;  // the next reference that may hide a character
  State state_ = State::kProlog;
  const char* p_ = nullptr;
  const char* end_ = nullptr;
  bool truncated_ = false;
  std::vector<std::string> open_;  // names of the open elements; [0] is the root
  std::size_t depth_ = 0;          // open elements
  RecordView view_;
  std::uint32_t coded_fields_ = 0;   // bit i: field i of the current tag needs decoding
  std::vector<bool> coded_extras_;   // the same for each further attribute
  bool has_reference_ = false;       // the current tag holds a reference that may hide a character
  std::deque<std::string> decoded_;  // decoded values of the current tag (stable addresses)
  std::size_t decoded_used_ = 0;
};

// The present field attributes of `element` over `fields`, every other attribute into `extras`.
void ReadElement(const pugi::xml_node& element, FieldViews* fields, ExtraViews* extras) {
  extras->clear();
  std::array<bool, kFieldCount> seen{};
  for (pugi::xml_attribute a = element.first_attribute(); a; a = a.next_attribute()) {
    const int index = FieldIndexOrNone(a.name());
    if (index >= 0) {
      if (!seen[index]) (*fields)[index] = a.value();
      seen[index] = true;
    } else {
      extras->push_back({a.name(), a.value()});
    }
  }
}

// Reads from `fd` until `size` bytes came or the input ended: the bytes read, or -1 with errno.
ssize_t ReadFully(int fd, char* buffer, std::size_t size) {
  std::size_t total = 0;
  while (total < size) {
    const ssize_t n = ::read(fd, buffer + total, size - total);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    total += static_cast<std::size_t>(n);
  }
  return static_cast<ssize_t>(total);
}

// The name of the root element whose start tag opens `text` (blanks aside); empty when the text
// does not start with a start tag.
std::string_view RootNameAtStart(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && static_cast<unsigned char>(text[i]) <= ' ') ++i;
  if (i == text.size() || text[i] != '<') return {};
  const std::size_t start = ++i;
  while (i < text.size() && static_cast<unsigned char>(text[i]) > ' ' && text[i] != '>' &&
         text[i] != '/') {
    ++i;
  }
  return text.substr(start, i - start);
}

// True when `tail`, the end of a text, ends with the end tag of `root` (blanks aside).
bool EndsWithRootEnd(std::string_view tail, std::string_view root) {
  while (!tail.empty() && static_cast<unsigned char>(tail.back()) <= ' ') tail.remove_suffix(1);
  const std::size_t last = tail.rfind('<');
  if (last == std::string_view::npos || tail.back() != '>') return false;
  std::string_view end_tag = tail.substr(last, tail.size() - 1 - last);  // "</root" and blanks
  while (!end_tag.empty() && static_cast<unsigned char>(end_tag.back()) <= ' ') {
    end_tag.remove_suffix(1);
  }
  return end_tag.size() == root.size() + 2 && end_tag[1] == '/' && end_tag.substr(2) == root;
}

// True when the text has the shape of a complete document: it starts with the root's start tag
// and ends with the root's end tag (or is the root's empty-element tag), blanks aside, and holds
// no zero byte (the mark of blocks lost in a crash). Only such files are passed over unparsed
// when they cannot hold the needle; anything else is parsed, so that empty, cut-off, zeroed and
// foreign files are reported as unreadable.
bool LooksComplete(const char* begin, const char* end) {
  const std::string_view text(begin, static_cast<std::size_t>(end - begin));
  if (text.find('\0') != std::string_view::npos) return false;
  const std::string_view root = RootNameAtStart(text);
  if (root.empty()) return false;
  std::string_view trimmed = text;
  while (!trimmed.empty() && static_cast<unsigned char>(trimmed.back()) <= ' ') {
    trimmed.remove_suffix(1);
  }
  // The root's empty-element tag is the whole text.
  if (trimmed.rfind('<') == text.find('<')) return trimmed.ends_with("/>");
  return EndsWithRootEnd(trimmed, root);
}

// The bytes looked at to tell whether a file can be XML at all.
constexpr std::size_t kHeadSize = 64;

// True when the first bytes of a file can start an XML document: "<" after an optional UTF-8
// byte-order mark and blanks, or the zero bytes of UTF-16 and UTF-32. Anything else (pictures,
// music, text) is no catalog and is not read any further, however large it is.
bool StartsLikeXml(const char* head, std::size_t size) {
  for (std::size_t i = 0; i < std::min<std::size_t>(size, 4); ++i) {
    if (head[i] == '\0') return true;
  }
  std::size_t i = 0;
  if (size >= 3 && std::memcmp(head, "\xEF\xBB\xBF", 3) == 0) i = 3;
  if (size >= 2 &&
      (std::memcmp(head, "\xFE\xFF", 2) == 0 || std::memcmp(head, "\xFF\xFE", 2) == 0)) {
    return true;
  }
  while (i < size && IsSpace(head[i])) ++i;
  if (i == size) return size == kHeadSize;  // blanks only so far: the rest decides
  return head[i] == '<';
}

constexpr std::string_view kNotXmlReason = "not an XML document";

// The document route over the complete text: false with `*error` set when it is not well-formed.
CatalogReadStatus ReadDocument(std::string_view text, std::string_view catalog_name,
                               RecordSink& sink, std::string* error) {
  XmlDocument document;
  const pugi::xml_parse_result result =
      document.load_buffer(text.data(), text.size(), kXmlParseOptions, EncodingOfText(text));
  if (!result) {
    *error = XmlParseErrorText(result, text);
    return CatalogReadStatus::kUnreadable;
  }
  if (!EmitDocument(document, catalog_name, sink)) return CatalogReadStatus::kStopped;
  sink.Finish();
  return CatalogReadStatus::kDone;
}

// Closes a descriptor at the end of its scope.
struct Descriptor {
  int fd;
  ~Descriptor() { ::close(fd); }
};

// The window of text the fast reader sees at once; it grows for a unit larger than itself.
constexpr std::size_t kWindow = std::size_t(1) << 20;
// The window of a search, which passes over most of the text: small enough for the cache.
constexpr std::size_t kLookWindow = std::size_t(1) << 18;

}  // namespace

std::size_t DecodeReference(std::string_view raw, std::size_t at, std::string* out) {
  const std::size_t semicolon = raw.find(';', at);
  if (semicolon == std::string_view::npos || semicolon - at > 12) return 0;
  const std::string_view name = raw.substr(at + 1, semicolon - at - 1);
  char named = 0;
  if (name == "amp") {
    named = '&';
  } else if (name == "lt") {
    named = '<';
  } else if (name == "gt") {
    named = '>';
  } else if (name == "quot") {
    named = '"';
  } else if (name == "apos") {
    named = '\'';
  }
  if (named) {
    if (out) out->push_back(named);
    return semicolon - at + 1;
  }
  if (name.size() < 2 || name[0] != '#') return 0;
  std::uint32_t code = 0;
  const bool hex = name[1] == 'x';
  const std::string_view digits = name.substr(hex ? 2 : 1);
  if (digits.empty() || digits.size() > 8) return 0;
  for (char d : digits) {
    int v;
    if (d >= '0' && d <= '9') {
      v = d - '0';
    } else if (hex && d >= 'a' && d <= 'f') {
      v = d - 'a' + 10;
    } else if (hex && d >= 'A' && d <= 'F') {
      v = d - 'A' + 10;
    } else {
      return 0;
    }
    code = code * (hex ? 16 : 10) + static_cast<std::uint32_t>(v);
  }
  if (!IsXmlChar(code)) return 0;
  if (out) AppendUtf8(code, out);
  return semicolon - at + 1;
}

bool DecodeAttributeText(std::string_view raw, std::string* out) {
  out->clear();
  out->reserve(raw.size());
  for (std::size_t i = 0; i < raw.size(); ++i) {
    const char c = raw[i];
    if (c == '\r') {
      out->push_back(' ');
      if (i + 1 < raw.size() && raw[i + 1] == '\n') ++i;
    } else if (c == '\n' || c == '\t') {
      out->push_back(' ');
    } else if (c == '&') {
      const std::size_t length = DecodeReference(raw, i, out);
      if (length == 0) return false;
      i += length - 1;
    } else if (c == '<' || c == '\0') {
      return false;
    } else {
      out->push_back(c);
    }
  }
  return true;
}

const char* SkipCatalogProlog(const char* begin, const char* end) {
  const char* p = begin;
  if (end - p >= 3 && std::memcmp(p, "\xEF\xBB\xBF", 3) == 0) p += 3;
  // Zero bytes near the start mean UTF-16 or UTF-32.
  for (const char* q = p; q < end && q < p + 4; ++q) {
    if (*q == '\0') return nullptr;
  }
  if (end - p < 5 || std::memcmp(p, "<?xml", 5) != 0) return p;
  if (end - p < 6 || !IsSpace(p[5])) return nullptr;  // "<?xml-..." is the document route's
  p += 5;
  // version="1.x", then optionally encoding and standalone, in that order, each after a blank.
  static constexpr std::string_view kNames[] = {"version", "encoding", "standalone"};
  std::size_t next = 0;
  for (;;) {
    const bool spaced = p < end && IsSpace(*p);
    while (p < end && IsSpace(*p)) ++p;
    if (end - p >= 2 && p[0] == '?' && p[1] == '>') return next > 0 ? p + 2 : nullptr;
    if (!spaced) return nullptr;
    const char* name_start = p;
    while (p < end && IsNameChar(static_cast<unsigned char>(*p))) ++p;
    const std::string_view name(name_start, static_cast<std::size_t>(p - name_start));
    while (next < 3 && kNames[next] != name) {
      if (next == 0) return nullptr;  // version comes first
      ++next;
    }
    if (next == 3) return nullptr;
    ++next;
    while (p < end && IsSpace(*p)) ++p;
    if (p >= end || *p != '=') return nullptr;
    ++p;
    while (p < end && IsSpace(*p)) ++p;
    if (p >= end || (*p != '"' && *p != '\'')) return nullptr;
    const char quote = *p++;
    const char* value_start = p;
    while (p < end && *p != quote && *p != '<' && *p != '&' && *p != '?' && *p != '\0') ++p;
    if (p >= end || *p != quote) return nullptr;
    std::string value(value_start, p);
    ++p;
    if (name == "version") {
      if (value.size() < 3 || value.compare(0, 2, "1.") != 0) return nullptr;
      for (std::size_t i = 2; i < value.size(); ++i) {
        if (value[i] < '0' || value[i] > '9') return nullptr;
      }
    } else if (name == "encoding") {
      for (char& c : value) c = static_cast<char>(c | 0x20);
      if (value != "utf-8" && value != "utf8") return nullptr;
    } else if (value != "yes" && value != "no") {
      return nullptr;
    }
  }
}

FastReadStatus ReadCatalogRecords(std::string_view text, std::string_view catalog_name,
                                  RecordSink& sink, const Needle* needle) {
  FastReader reader(catalog_name, sink, needle);
  std::size_t consumed = 0;
  switch (reader.Feed(text.data(), text.data() + text.size(), true, &consumed)) {
    case Step::kDone:
      return FastReadStatus::kDone;
    case Step::kStopped:
      return FastReadStatus::kStopped;
    default:
      return FastReadStatus::kUnsupported;
  }
}

bool EmitDocument(const XmlDocument& document, std::string_view catalog_name, RecordSink& sink) {
  struct Frame {
    pugi::xml_node element;  // next child to look at
    int depth;
  };
  std::vector<Frame> stack;
  const pugi::xml_node root = document.document_element();
  if (root) stack.push_back({root.first_child(), 0});
  RecordView view;
  std::deque<std::string> cleaned;
  while (!stack.empty()) {
    Frame& frame = stack.back();
    while (frame.element && frame.element.type() != pugi::node_element) {
      frame.element = frame.element.next_sibling();
    }
    if (!frame.element) {
      stack.pop_back();
      continue;
    }
    const pugi::xml_node element = frame.element;
    frame.element = element.next_sibling();
    const int depth = frame.depth;
    view.depth = depth;
    view.fields = FieldViews{};
    if (depth == 0) view.fields[kFileType] = kDirectoryType;
    ReadElement(element, &view.fields, &view.extras);
    if (depth == 0 && view.fields[kFullPath].empty())
      view.fields[kFullPath] = view.fields[kFileName];
    view.fields[kCatalogName] = catalog_name;
    std::size_t cleaned_used = 0;
    CleanValues(&view, &cleaned, &cleaned_used);
    if (!sink.Add(view)) return false;
    if (element.first_child()) stack.push_back({element.first_child(), depth + 1});
  }
  return true;
}

bool EmitTree(const CatalogTree& tree, RecordSink& sink) {
  return tree.ForEachRecord(
      [&](const CatalogTree::Node*, const RecordView& view) { return sink.Add(view); });
}

bool TreeSink::Add(const RecordView& record) {
  const std::size_t depth = static_cast<std::size_t>(std::max(record.depth, 0));
  CatalogTree::Node* parent = nullptr;
  if (depth > 0) parent = open_[std::min(depth, open_.size()) - 1];
  CatalogTree::Node* node = tree_->AddChild(parent, record.fields, record.extras);
  open_.resize(std::min(depth, open_.size()));
  open_.push_back(node);
  return true;
}

void TreeSink::Restart() {
  tree_->Clear();
  open_.clear();
}

bool ReadCatalogText(std::string_view text, std::string_view catalog_name, CatalogTree* tree) {
  TreeSink sink(tree);
  if (ReadCatalogRecords(text, catalog_name, sink) == FastReadStatus::kDone) return true;
  tree->Clear();
  return false;
}

CatalogFileReader::CatalogFileReader() = default;
CatalogFileReader::~CatalogFileReader() = default;

CatalogReadStatus CatalogFileReader::Fail(const std::string& path, const std::string& reason,
                                          CatalogReadStatus status) {
  error_ = path + ": " + reason;
  return status;
}

namespace {

// Hands records on to `sink` and asks the reader to stop once `stop` was requested (looked at
// every few thousand records, so that a large file stops within a moment).
class StoppableSink final : public RecordSink {
 public:
  StoppableSink(RecordSink& sink, const std::stop_token& stop) : sink_(sink), stop_(stop) {}
  bool Add(const RecordView& record) override {
    if (++count_ % kStopPollRecords == 0 && stop_.stop_requested()) return false;
    return sink_.Add(record);
  }
  void Finish() override { sink_.Finish(); }
  void Restart() override { sink_.Restart(); }

 private:
  static constexpr std::size_t kStopPollRecords = 4096;
  RecordSink& sink_;
  const std::stop_token& stop_;
  std::size_t count_ = 0;
};

}  // namespace

CatalogReadStatus CatalogFileReader::Read(const std::string& path, RecordSink& sink,
                                          const CatalogReadOptions& options) {
  error_.clear();
  stamp_ = FileStamp();
  int open_error = 0;
  const int fd = TryOpenRegularFile(path == "-" ? std::string("/dev/stdin") : path, &open_error);
  if (fd < 0) {
    return Fail(
        path, OpenFailureText(open_error),
        open_error == ENOENT ? CatalogReadStatus::kMissing : CatalogReadStatus::kUnreadable);
  }
  const Descriptor closer{fd};
  struct stat st;
  if (::fstat(fd, &st) != 0) return Fail(path, SystemMessage(errno));
  stamp_ = StampOf(st);
  const bool regular = S_ISREG(st.st_mode);
  const std::size_t size_hint =
      regular && st.st_size > 0 ? static_cast<std::size_t>(st.st_size) : 0;
  const std::string display_name = options.catalog_name ? std::string() : BaseNameOf(path);
  const std::string_view catalog_name =
      options.catalog_name ? std::string_view(*options.catalog_name) : display_name;
  StoppableSink stoppable(sink, options.stop);
  RecordSink& target = options.stop.stop_possible() ? stoppable : sink;
  if (regular && options.needle && !options.needle->Empty()) {
    // A file that cannot hold the needle is only read through, as a text search would.
    const CatalogReadStatus looked = LookForNeedle(fd, path, options);
    if (looked != CatalogReadStatus::kDone) return looked;
    if (::lseek(fd, 0, SEEK_SET) != 0) return Fail(path, SystemMessage(errno));
  }
  return ReadWindowed(fd, regular, size_hint, path, catalog_name, options, target);
}

CatalogReadStatus CatalogFileReader::LookForNeedle(int fd, const std::string& path,
                                                   const CatalogReadOptions& options) {
  const Needle& needle = *options.needle;
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  // The last bytes of a window are carried into the next, so that a needle or a reference cut by
  // the window's end is seen whole (and the root's end tag in the last window); a window small
  // enough to stay in the processor's cache.
  const std::size_t carry = std::max<std::size_t>(needle.Size(), 256) - 1;
  const std::size_t capacity = kLookWindow + carry;
  if (look_capacity_ < capacity) {
    look_window_ = std::make_unique_for_overwrite<char[]>(capacity);
    look_capacity_ = capacity;
  }
  char* const window = look_window_.get();
  std::string root;  // the root element's name, from the first window
  std::size_t filled = 0;
  bool first = true;
  for (;;) {
    const ssize_t n = ReadFully(fd, window + filled, capacity - filled);
    if (n < 0) return Fail(path, SystemMessage(errno));
    const char* const fresh = window + filled;
    filled += static_cast<std::size_t>(n);
    const bool eof = filled < capacity;
    const char* const end = window + filled;
    if (first) {
      first = false;
      if (options.xml_only && !StartsLikeXml(window, std::min(filled, kHeadSize))) {
        return Fail(path, std::string(kNotXmlReason));
      }
      const char* body = SkipCatalogProlog(window, end);
      if (!body) return CatalogReadStatus::kDone;  // the document route decides
      if (eof) {
        return LooksComplete(body, end) && !TextMayContain(window, end, needle)
                   ? CatalogReadStatus::kPassedOver
                   : CatalogReadStatus::kDone;
      }
      root = RootNameAtStart(std::string_view(body, static_cast<std::size_t>(end - body)));
      if (root.empty()) return CatalogReadStatus::kDone;
    }
    // A zero byte anywhere means a damaged file: it is parsed, to be reported.
    if (std::memchr(fresh, '\0', static_cast<std::size_t>(end - fresh))) {
      return CatalogReadStatus::kDone;
    }
    if (TextMayContain(window, end, needle)) return CatalogReadStatus::kDone;
    if (eof) {
      return EndsWithRootEnd(std::string_view(window, filled), root)
                 ? CatalogReadStatus::kPassedOver
                 : CatalogReadStatus::kDone;
    }
    std::memmove(window, end - carry, carry);
    filled = carry;
  }
}

CatalogReadStatus CatalogFileReader::ReadWindowed(int fd, bool regular, std::size_t size_hint,
                                                  const std::string& path,
                                                  std::string_view catalog_name,
                                                  const CatalogReadOptions& options,
                                                  RecordSink& sink) {
  const Needle* needle = options.needle && !options.needle->Empty() ? options.needle : nullptr;
  FastReader reader(catalog_name, sink, needle);
  // A stream cannot be read twice: what it gave is kept for the document route.
  std::string kept;
  const std::size_t window_size = needle ? kLookWindow : kWindow;
  std::size_t capacity =
      regular ? std::min(std::max<std::size_t>(size_hint, 4096), window_size) : window_size;
  std::unique_ptr<char[]> window(new char[capacity]);
  std::size_t filled = 0;
  bool eof = false;
  bool first = true;
  bool whole_text_seen = true;  // the window never dropped text (no re-read needed)
  for (;;) {
    if (!eof && filled < capacity) {
      const ssize_t n = ReadFully(fd, window.get() + filled, capacity - filled);
      if (n < 0) return Fail(path, SystemMessage(errno));
      if (!regular) kept.append(window.get() + filled, static_cast<std::size_t>(n));
      filled += static_cast<std::size_t>(n);
      eof = filled < capacity;
    }
    if (first && options.xml_only && !StartsLikeXml(window.get(), std::min(filled, kHeadSize))) {
      return Fail(path, std::string(kNotXmlReason));
    }
    first = false;
    std::size_t consumed = 0;
    // Tags are passed over unparsed only in windows free of zero bytes (see PassOver).
    const bool pass_unhit_tags = needle && !std::memchr(window.get(), '\0', filled);
    const Step step =
        reader.Feed(window.get(), window.get() + filled, eof, &consumed, pass_unhit_tags);
    if (step == Step::kDone) {
      sink.Finish();
      return CatalogReadStatus::kDone;
    }
    if (step == Step::kStopped) return CatalogReadStatus::kStopped;
    if (step == Step::kUnsupported) break;
    // More text is needed: keep the unit that was cut, make room for the rest.
    if (consumed > 0) whole_text_seen = false;
    std::memmove(window.get(), window.get() + consumed, filled - consumed);
    filled -= consumed;
    if (filled == capacity) {
      std::unique_ptr<char[]> bigger(new char[capacity * 2]);
      std::memcpy(bigger.get(), window.get(), filled);
      window = std::move(bigger);
      capacity *= 2;
    }
  }

  // The document route, over the same bytes.
  sink.Restart();
  std::string text;
  if (regular && whole_text_seen && eof) {
    text.assign(window.get(), filled);
  } else if (regular) {
    // The whole file again, from its start.
    if (::lseek(fd, 0, SEEK_SET) != 0) return Fail(path, SystemMessage(errno));
    text.reserve(size_hint);
  } else {
    text = std::move(kept);
  }
  window.reset();
  if (!(regular && whole_text_seen && eof)) {
    char chunk[1 << 16];
    for (;;) {
      const ssize_t n = ReadFully(fd, chunk, sizeof chunk);
      if (n < 0) return Fail(path, SystemMessage(errno));
      if (n == 0) break;
      text.append(chunk, static_cast<std::size_t>(n));
    }
  }
  std::string reason;
  const CatalogReadStatus status = ReadDocument(text, catalog_name, sink, &reason);
  if (status == CatalogReadStatus::kUnreadable) return Fail(path, reason);
  return status;
}

bool ReadCatalogFile(const std::string& path, RecordSink& sink, Progress& progress,
                     std::stop_token stop) {
  ProgressShown shown(progress, stop.stop_possible());
  progress.SetWaitText(kLoadingInfo);
  CatalogFileReader reader;
  CatalogReadOptions options;
  options.stop = std::move(stop);
  switch (reader.Read(path, sink, options)) {
    case CatalogReadStatus::kDone:
      return true;
    case CatalogReadStatus::kStopped:
      return false;
    default:
      throw LumivorError(reader.Error());
  }
}

}  // namespace lumivor
