#pragma once

#include <stdexcept>
#include <string>

namespace lumivor {

// The error every core operation raises when it cannot do what was asked. Its text is meant for
// the user as it stands: it names the file and the reason.
class LumivorError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The text of errno `error_number` as the system words it.
[[nodiscard]] std::string SystemMessage(int error_number);

}  // namespace lumivor
