#pragma once

#include <string>

namespace lumivor {

// The directory that holds the configuration file and the catalog library: the directory of the
// running executable when it is writable, otherwise $XDG_DATA_HOME/lumivor (by default
// ~/.local/share/lumivor), which is created on first use. Computed once per process, so the
// answer stays the same for the whole run whatever the working directory does. No trailing "/".
[[nodiscard]] std::string DefaultDataDirectory();

// The directory of the configuration file and the catalog library for this run, the same for the
// desktop application and lumivor-cli: $LUMIVOR_DATA_DIR when it is set and not empty (made
// absolute, created when missing, no trailing "/"), otherwise DefaultDataDirectory().
[[nodiscard]] std::string DataDirectory();

// The directory of the running executable (from /proc/self/exe), without a trailing "/"; empty
// when the system cannot tell.
[[nodiscard]] std::string ExecutableDirectory();

}  // namespace lumivor
