#include "core/catalog_reader.h"

#include <cstdint>
#include <cstring>
#include <vector>

namespace lumivor {

namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool IsNameStart(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':' || c >= 0x80;
}

bool IsNameChar(unsigned char c) {
  return IsNameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.';
}

// The field index of an attribute name, or -1.
int FieldOf(std::string_view name) {
  if (name.size() < 7) return -1;
  for (int i = 0; i < kFieldCount; ++i) {
    if (FieldNames[i].size() == name.size() && FieldNames[i][0] == name[0] &&
        FieldNames[i][4] == name[4] && FieldNames[i] == name) {
      return i;
    }
  }
  return -1;
}

// Appends the UTF-8 form of `code` at `out`; false for a code point XML does not allow.
bool PutUtf8(std::uint32_t code, char*& out) {
  const bool allowed = code == 0x9 || code == 0xA || code == 0xD ||
                       (code >= 0x20 && code <= 0xD7FF) || (code >= 0xE000 && code <= 0xFFFD) ||
                       (code >= 0x10000 && code <= 0x10FFFF);
  if (!allowed) return false;
  if (code < 0x80) {
    *out++ = static_cast<char>(code);
  } else if (code < 0x800) {
    *out++ = static_cast<char>(0xC0 | (code >> 6));
    *out++ = static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    *out++ = static_cast<char>(0xE0 | (code >> 12));
    *out++ = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    *out++ = static_cast<char>(0x80 | (code & 0x3F));
  } else {
    *out++ = static_cast<char>(0xF0 | (code >> 18));
    *out++ = static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    *out++ = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    *out++ = static_cast<char>(0x80 | (code & 0x3F));
  }
  return true;
}

class Reader {
 public:
  Reader(char* text, std::size_t size) : p_(text), end_(text + size) {}

  bool Read(std::string_view catalog_name, CatalogTree* tree) {
    if (end_ - p_ >= 3 && std::memcmp(p_, "\xEF\xBB\xBF", 3) == 0) p_ += 3;
    if (!SkipDeclaration()) return false;
    SkipSpace();
    // The root element: its name and attributes do not matter, but it must be well-formed.
    std::string_view root_name;
    bool root_empty;
    if (!StartTag(&root_name, nullptr, &root_empty)) return false;
    if (!root_empty) {
      struct Open {
        std::string_view name;
        CatalogTree::Node* node;
      };
      std::vector<Open> open;
      open.push_back({root_name, nullptr});
      while (!open.empty()) {
        SkipSpace();
        if (p_ >= end_ || *p_ != '<') return false;  // text content or an early end
        if (p_[1] == '/') {
          p_ += 2;
          std::string_view name;
          if (!Name(&name) || name != open.back().name) return false;
          SkipSpace();
          if (p_ >= end_ || *p_ != '>') return false;
          ++p_;
          open.pop_back();
          continue;
        }
        std::string_view name;
        FieldViews fields{};
        bool empty;
        if (!StartTag(&name, &fields, &empty)) return false;
        CatalogTree::Node* parent = open.back().node;
        if (!parent) {
          if (fields[kFileType].data() == nullptr) fields[kFileType] = kDirectoryType;
          if (fields[kFullPath].empty()) fields[kFullPath] = fields[kFileName];
        }
        fields[kCatalogName] = catalog_name;
        CatalogTree::Node* node = tree->AddChild(parent, fields);
        if (!empty) open.push_back({name, node});
      }
    }
    SkipSpace();
    return p_ == end_;
  }

 private:
  void SkipSpace() {
    while (p_ < end_ && IsSpace(*p_)) ++p_;
  }

  // An optional "<?xml ...?>" whose encoding, if named, is UTF-8.
  bool SkipDeclaration() {
    if (end_ - p_ < 5 || std::memcmp(p_, "<?xml", 5) != 0 || !IsSpace(p_[5])) return true;
    char* close = static_cast<char*>(std::memchr(p_, '>', static_cast<std::size_t>(end_ - p_)));
    if (!close || close[-1] != '?') return false;
    const std::string_view declaration(p_, static_cast<std::size_t>(close - p_));
    const auto at = declaration.find("encoding");
    if (at != std::string_view::npos) {
      std::string_view rest = declaration.substr(at + 8);
      while (!rest.empty() && (IsSpace(rest.front()) || rest.front() == '=')) rest.remove_prefix(1);
      if (rest.size() < 6) return false;
      const char quote = rest.front();
      rest.remove_prefix(1);
      const auto end_quote = rest.find(quote);
      if (end_quote == std::string_view::npos) return false;
      std::string_view encoding = rest.substr(0, end_quote);
      if (encoding.size() != 5) return false;
      const char* utf8 = "utf-8";
      for (int i = 0; i < 5; ++i) {
        char c = encoding[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
        if (c != utf8[i]) return false;
      }
    }
    p_ = close + 1;
    return true;
  }

  bool Name(std::string_view* name) {
    char* start = p_;
    if (p_ >= end_ || !IsNameStart(static_cast<unsigned char>(*p_))) return false;
    ++p_;
    while (p_ < end_ && IsNameChar(static_cast<unsigned char>(*p_))) ++p_;
    *name = {start, static_cast<std::size_t>(p_ - start)};
    return true;
  }

  // "<name attr="value" ...>" or ".../>"; fills `fields` with the field attributes when given.
  bool StartTag(std::string_view* name, FieldViews* fields, bool* empty) {
    if (p_ >= end_ || *p_ != '<') return false;
    ++p_;
    if (!Name(name)) return false;
    for (;;) {
      const bool spaced = p_ < end_ && IsSpace(*p_);
      SkipSpace();
      if (p_ >= end_) return false;
      if (*p_ == '>') {
        ++p_;
        *empty = false;
        return true;
      }
      if (*p_ == '/') {
        if (p_ + 1 >= end_ || p_[1] != '>') return false;
        p_ += 2;
        *empty = true;
        return true;
      }
      if (!spaced) return false;
      std::string_view attribute;
      if (!Name(&attribute)) return false;
      SkipSpace();
      if (p_ >= end_ || *p_ != '=') return false;
      ++p_;
      SkipSpace();
      std::string_view value;
      if (!Value(&value)) return false;
      if (fields) {
        const int index = FieldOf(attribute);
        if (index >= 0) {
          // A present attribute with an empty value still counts as present.
          (*fields)[index] = value.empty() ? std::string_view("", 0) : value;
        }
      }
    }
  }

  // A quoted attribute value, decoded in place: entities resolved, white space normalised to
  // blanks as XML readers do.
  bool Value(std::string_view* value) {
    if (p_ >= end_ || (*p_ != '"' && *p_ != '\'')) return false;
    const char quote = *p_++;
    char* start = p_;
    char* out = p_;
    for (;;) {
      if (p_ >= end_) return false;
      const char c = *p_;
      if (c == quote) {
        ++p_;
        break;
      }
      if (c == '<') return false;
      if (c == '&') {
        if (!Entity(out)) return false;
        continue;
      }
      if (c == '\r') {
        *out++ = ' ';
        ++p_;
        if (p_ < end_ && *p_ == '\n') ++p_;
        continue;
      }
      *out++ = (c == '\n' || c == '\t') ? ' ' : c;
      ++p_;
    }
    *value = {start, static_cast<std::size_t>(out - start)};
    return true;
  }

  bool Entity(char*& out) {
    char* semicolon = static_cast<char*>(
        std::memchr(p_, ';', static_cast<std::size_t>(std::min<std::ptrdiff_t>(end_ - p_, 12))));
    if (!semicolon) return false;
    const std::string_view name(p_ + 1, static_cast<std::size_t>(semicolon - p_ - 1));
    if (name == "amp") {
      *out++ = '&';
    } else if (name == "lt") {
      *out++ = '<';
    } else if (name == "gt") {
      *out++ = '>';
    } else if (name == "quot") {
      *out++ = '"';
    } else if (name == "apos") {
      *out++ = '\'';
    } else if (name.size() >= 2 && name[0] == '#') {
      std::uint32_t code = 0;
      const bool hex = name[1] == 'x';
      const std::string_view digits = name.substr(hex ? 2 : 1);
      if (digits.empty() || digits.size() > 8) return false;
      for (char d : digits) {
        int v;
        if (d >= '0' && d <= '9') {
          v = d - '0';
        } else if (hex && d >= 'a' && d <= 'f') {
          v = d - 'a' + 10;
        } else if (hex && d >= 'A' && d <= 'F') {
          v = d - 'A' + 10;
        } else {
          return false;
        }
        code = code * (hex ? 16 : 10) + static_cast<std::uint32_t>(v);
      }
      if (!PutUtf8(code, out)) return false;
    } else {
      return false;
    }
    p_ = semicolon + 1;
    return true;
  }

  char* p_;
  char* end_;
};

}  // namespace

bool ReadCatalogText(char* text, std::size_t size, std::string_view catalog_name,
                     CatalogTree* tree) {
  tree->Clear();
  Reader reader(text, size);
  if (reader.Read(catalog_name, tree)) return true;
  tree->Clear();
  return false;
}

}  // namespace lumivor
