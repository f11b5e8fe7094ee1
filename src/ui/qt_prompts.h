#pragma once

#include <QString>
#include <string>
#include <string_view>

#include "core/prompts.h"

class QWidget;

namespace lumivor {

// Turns a filter of the form "Caption|*.EXT[;*.EXT2][|Caption2|...]" into Qt's form,
// "Caption (*.ext *.EXT)": each pattern is offered in lower and upper case, since a pattern
// matches one letter case only here and "*.XML" alone would hide music.xml.
[[nodiscard]] QString QtFileFilter(std::string_view filter);

// The folder a file dialog starts in: the one the user last chose a file or folder in during
// this run, else the home folder.
[[nodiscard]] QString StartFolder();
// Remembers the folder of `path` (or `path` itself when it is a folder) as the start of the next
// file dialog.
void RememberFolder(const QString& path);

// The user's answers through Qt's file dialogs and message boxes, parented to one window.
class QtPrompts final : public Prompts {
 public:
  explicit QtPrompts(QWidget* parent) : parent_(parent) {}

  std::string ChooseOpenFile(std::string_view default_ext, std::string_view filter,
                             std::string_view initial_name) override;
  std::string ChooseSaveFile(std::string_view default_ext, std::string_view filter,
                             std::string_view initial_name) override;
  void ShowMessage(std::string_view caption, std::string_view text, MessageIcon icon) override;
  bool AskYesNo(std::string_view caption, std::string_view text, MessageIcon icon) override;
  std::string ChooseFolder(std::string_view caption, std::string_view initial) override;

 private:
  std::string ChooseFile(bool save, std::string_view default_ext, std::string_view filter,
                         std::string_view initial_name);
  QWidget* parent_;
};

}  // namespace lumivor
