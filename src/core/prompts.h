#pragma once

#include <string>
#include <string_view>

namespace lumivor {

// The icon of a message box.
enum class MessageIcon { kNone, kInformation, kWarning, kQuestion, kError };

// The questions and messages that the core's callers put to the user. The desktop app answers
// them with dialogs and message boxes, the command-line tool on the terminal, tests from a script.
class Prompts {
 public:
  virtual ~Prompts() = default;
  // The system's open-file dialog; empty when cancelled. `filter` is "Caption|*.EXT".
  virtual std::string ChooseOpenFile(std::string_view default_ext, std::string_view filter,
                                     std::string_view initial_name) = 0;
  // The system's save-file dialog; empty when cancelled. Asks nothing about existing files.
  virtual std::string ChooseSaveFile(std::string_view default_ext, std::string_view filter,
                                     std::string_view initial_name) = 0;
  // A message with an OK button.
  virtual void ShowMessage(std::string_view caption, std::string_view text, MessageIcon icon) = 0;
  // A question with Yes and No; true for Yes.
  virtual bool AskYesNo(std::string_view caption, std::string_view text, MessageIcon icon) = 0;
  // The system's folder dialog with `caption`, starting at `initial`; empty when cancelled (and
  // from callers that cannot ask).
  virtual std::string ChooseFolder(std::string_view caption, std::string_view initial) {
    (void)caption;
    (void)initial;
    return {};
  }
};

// The open-file question: the chosen path when the file exists; empty when the user cancelled or
// chose a file that does not exist (then "The file does not exist." is shown).
[[nodiscard]] std::string AskOpenFileName(Prompts& prompts, std::string_view default_ext,
                                          std::string_view filter, std::string_view initial_name);

// The save-file question: the chosen path; when a file of that name exists the user is asked
// "Catalog with the same name already exists,overwrite?" and No gives empty. The old file is left
// in place: writers replace it only once the new file is complete.
[[nodiscard]] std::string AskSaveFileName(Prompts& prompts, std::string_view default_ext,
                                          std::string_view filter, std::string_view initial_name);

inline constexpr std::string_view kOverwriteQuestion =
    "Catalog with the same name already exists,overwrite?";
inline constexpr std::string_view kFileDoesNotExist = "The file does not exist.";

}  // namespace lumivor
