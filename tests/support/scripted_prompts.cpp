#include "support/scripted_prompts.h"

namespace lumivor {

std::string ScriptedPrompts::ChooseOpenFile(std::string_view, std::string_view, std::string_view) {
  if (file_answers.empty()) return {};
  std::string answer = file_answers.front();
  file_answers.pop_front();
  return answer;
}

std::string ScriptedPrompts::ChooseSaveFile(std::string_view a, std::string_view b,
                                            std::string_view c) {
  return ChooseOpenFile(a, b, c);
}

std::string ScriptedPrompts::ChooseFolder(std::string_view caption, std::string_view) {
  shown.push_back({std::string(caption), {}, MessageIcon::kNone, true});
  return ChooseOpenFile({}, {}, {});
}

void ScriptedPrompts::ShowMessage(std::string_view caption, std::string_view text,
                                  MessageIcon icon) {
  shown.push_back({std::string(caption), std::string(text), icon, false});
}

bool ScriptedPrompts::AskYesNo(std::string_view caption, std::string_view text, MessageIcon icon) {
  shown.push_back({std::string(caption), std::string(text), icon, true});
  if (yes_no_answers.empty()) return false;
  const bool answer = yes_no_answers.front();
  yes_no_answers.pop_front();
  return answer;
}

}  // namespace lumivor
