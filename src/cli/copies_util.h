#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "copies/copy_finder.h"
#include "copies/library_content.h"
#include "core/progress.h"

namespace lumivor::cli {

// One JSON object on one line, built key by key.
class JsonLine {
 public:
  JsonLine& Add(std::string_view key, std::string_view value);
  JsonLine& Add(std::string_view key, const char* value) {
    return Add(key, std::string_view(value));
  }
  JsonLine& Add(std::string_view key, std::uint64_t value);
  JsonLine& Add(std::string_view key, bool value);
  JsonLine& Add(std::string_view key, const std::vector<std::string>& values);
  // Adds `object` (another line's text, without its newline) under `key`.
  JsonLine& AddObject(std::string_view key, const std::string& object);
  // The object with its closing brace and a newline.
  [[nodiscard]] std::string Text() const { return text_ + "}\n"; }
  // The object with its closing brace, no newline.
  [[nodiscard]] std::string Object() const { return text_ + "}"; }

 private:
  void Key(std::string_view key);
  std::string text_ = "{";
};

// The `--by` value: "hash" or "name-size".
[[nodiscard]] bool ParseCopyKey(const std::string& text, CopyKey* by);

}  // namespace lumivor::cli
