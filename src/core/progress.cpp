#include "core/progress.h"

namespace lumivor {

Progress& NoProgress() {
  static NullProgress progress;
  return progress;
}

void RecordingProgress::ShowWait(bool show, bool can_cancel) {
  if (show) {
    if (!visible) cancelled = false;
    visible = true;
    cancellable = can_cancel;
    events.push_back({Event::kShow, can_cancel ? "cancellable" : ""});
  } else if (visible) {
    visible = false;
    events.push_back({Event::kHide, ""});
  }
}

void RecordingProgress::SetWaitText(std::string_view new_text) {
  text = new_text;
  events.push_back({Event::kText, text});
}

bool RecordingProgress::WaitCancelled() {
  ++polls;
  if (cancel_after >= 0 && polls > cancel_after) cancelled = true;
  return cancelled;
}

std::vector<std::string> RecordingProgress::Texts() const {
  std::vector<std::string> texts;
  for (const auto& e : events) {
    if (e.kind == Event::kText) texts.push_back(e.text);
  }
  return texts;
}

}  // namespace lumivor
