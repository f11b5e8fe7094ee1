#pragma once

#include <string>
#include <string_view>

namespace lumivor {

// Path texts, "/"-separated, shared by the library, the index and the search.

// `path` ending with exactly one more "/" unless it already ends with one.
[[nodiscard]] std::string WithTrailingBackslash(std::string_view path);
// `path` without its last character when that is "/" ("/" itself stays "/").
[[nodiscard]] std::string WithoutTrailingBackslash(std::string_view path);
// `directory` and `name` joined with one "/".
[[nodiscard]] std::string JoinPath(std::string_view directory, std::string_view name);
// The last component of `path` (which has no trailing "/").
[[nodiscard]] std::string_view BaseName(std::string_view path);
// The directory part of `path` (which has no trailing "/"): "." when there is none, "/" for an
// item directly in "/".
[[nodiscard]] std::string ParentOf(std::string_view path);

}  // namespace lumivor
