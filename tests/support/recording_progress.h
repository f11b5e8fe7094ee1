#pragma once

#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "core/progress.h"

namespace lumivor {

// A progress that records what it was shown, for tests. It can also play the user who presses
// Cancel: once `stop_after_texts` texts have been set (never when negative), the next text
// requests a stop of Token().
class RecordingProgress final : public Progress {
 public:
  struct Event {
    enum Kind { kShow, kHide, kText } kind;
    std::string text;  // kText: the text; kShow: "cancellable" or ""
  };

  void SetWaitText(std::string_view text) override;

  // The token that the Cancel played by this progress stops.
  [[nodiscard]] std::stop_token Token() const { return stop.get_token(); }
  // The texts set, in order.
  [[nodiscard]] std::vector<std::string> Texts() const;

  std::vector<Event> events;
  bool visible = false;
  bool cancellable = false;
  std::string text = "...";
  int texts = 0;
  int stop_after_texts = -1;
  std::stop_source stop;

 protected:
  void ShowWait(bool visible, bool cancellable) override;
};

}  // namespace lumivor
