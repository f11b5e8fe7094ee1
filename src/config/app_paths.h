#pragma once

#include <string>
#include <vector>

namespace lumivor {

// The directory that holds the configuration file and the catalog library: the directory of the
// running executable when the program runs from its own build tree (RunsFromBuildTree), otherwise
// $XDG_DATA_HOME/lumivor (by default ~/.local/share/lumivor), which is created on first use. An
// installed program never writes beside itself, even into a prefix it could write to. Computed
// once per process, so the answer stays the same for the whole run whatever the working directory
// does. No trailing "/".
[[nodiscard]] std::string DefaultDataDirectory();

// True when `executable_directory` lies in the build tree `build_directory` (equal to it or below
// it) and that tree still holds the build system's cache (CMakeCache.txt), that is, when the
// program runs where it was built rather than from an installed copy. False for an empty argument.
[[nodiscard]] bool RunsFromBuildTree(const std::string& executable_directory,
                                     const std::string& build_directory);

// The README that the Help command shows: the one of the sources for a program run from its build
// tree, else share/doc/lumivor/README.md of the installation the program lies in. Empty when there
// is none; `looked_in` (optional) receives every place that was tried, in order.
[[nodiscard]] std::string FindHelpFile(std::vector<std::string>* looked_in = nullptr);

// $XDG_DATA_HOME/lumivor, or ~/.local/share/lumivor when the variable is unset, empty or not an
// absolute path (such values are to be ignored). Not created here.
[[nodiscard]] std::string UserDataDirectory();

// The directory of the configuration file and the catalog library for this run, the same for the
// desktop application and lumivor-cli: $LUMIVOR_DATA_DIR when it is set and not empty (made
// absolute, created when missing, no trailing "/"), otherwise DefaultDataDirectory().
[[nodiscard]] std::string DataDirectory();

// The directory of the running executable (from /proc/self/exe), without a trailing "/"; empty
// when the system cannot tell.
[[nodiscard]] std::string ExecutableDirectory();

}  // namespace lumivor
