#pragma once

#include <functional>
#include <string>

namespace lumivor::testing {

// Runs `body` in a forked child process and returns the text it returned. For what must not touch
// the test process: resource limits, dropped privileges, a mount namespace of its own. The child
// ends with _exit, so nothing of the test's state is torn down twice.
std::string RunInChild(const std::function<std::string()>& body);

}  // namespace lumivor::testing
