#pragma once

#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "core/prompts.h"

namespace lumivor {

// Prompts answered from a script: each question takes the next queued answer, and every
// message and question is recorded.
class ScriptedPrompts final : public Prompts {
 public:
  struct Shown {
    std::string caption, text;
    MessageIcon icon;
    bool question;
  };

  std::string ChooseOpenFile(std::string_view, std::string_view, std::string_view) override;
  std::string ChooseSaveFile(std::string_view, std::string_view, std::string_view) override;
  void ShowMessage(std::string_view caption, std::string_view text, MessageIcon icon) override;
  bool AskYesNo(std::string_view caption, std::string_view text, MessageIcon icon) override;
  std::string ChooseFolder(std::string_view caption, std::string_view initial) override;

  std::deque<std::string> file_answers;  // for the file and folder dialogs; empty queue: cancel
  std::deque<bool> yes_no_answers;       // empty queue: No
  std::vector<Shown> shown;              // every message and question, in order
};

}  // namespace lumivor
