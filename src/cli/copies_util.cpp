#include "cli/copies_util.h"

#include "cli/commands.h"

namespace lumivor::cli {

void JsonLine::Key(std::string_view key) {
  if (text_.size() > 1) text_ += ',';
  AppendJsonString(text_, key);
  text_ += ':';
}

JsonLine& JsonLine::Add(std::string_view key, std::string_view value) {
  Key(key);
  AppendJsonString(text_, value);
  return *this;
}

JsonLine& JsonLine::Add(std::string_view key, std::uint64_t value) {
  Key(key);
  text_ += std::to_string(value);
  return *this;
}

JsonLine& JsonLine::Add(std::string_view key, bool value) {
  Key(key);
  text_ += value ? "true" : "false";
  return *this;
}

JsonLine& JsonLine::Add(std::string_view key, const std::vector<std::string>& values) {
  Key(key);
  text_ += '[';
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i > 0) text_ += ',';
    AppendJsonString(text_, values[i]);
  }
  text_ += ']';
  return *this;
}

JsonLine& JsonLine::AddObject(std::string_view key, const std::string& object) {
  Key(key);
  text_ += object;
  return *this;
}

bool ParseCopyKey(const std::string& text, CopyKey* by) {
  if (text == "hash") {
    *by = CopyKey::kHash;
  } else if (text == "name-size") {
    *by = CopyKey::kNameSize;
  } else {
    return false;
  }
  return true;
}

}  // namespace lumivor::cli
