#include "support/recording_progress.h"

namespace lumivor {

void RecordingProgress::ShowWait(bool show, bool can_cancel) {
  if (show) {
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
  if (stop_after_texts >= 0 && texts >= stop_after_texts) stop.request_stop();
  ++texts;
}

std::vector<std::string> RecordingProgress::Texts() const {
  std::vector<std::string> all;
  for (const auto& e : events) {
    if (e.kind == Event::kText) all.push_back(e.text);
  }
  return all;
}

}  // namespace lumivor

#include "support/recording_progress.h"