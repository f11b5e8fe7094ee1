#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace lumivor {

// The progress window as the core sees it. Long operations show it, put one line of text in it
// and, when they can be cancelled, ask it between their steps whether the user pressed Cancel.
//
// There is no nesting: every ShowWait(false) hides the window, also when an enclosing operation
// still runs. The line keeps its last text while hidden.
class Progress {
 public:
  virtual ~Progress() = default;
  // Shows (visible true) or hides the window; the Cancel button shows exactly when `cancellable`.
  // Showing it from hidden clears the cancelled flag.
  virtual void ShowWait(bool visible, bool cancellable = false) = 0;
  // Puts `text` into the progress line.
  virtual void SetWaitText(std::string_view text) = 0;
  // Lets the user's pending input be handled, then tells whether Cancel was pressed since the
  // window was last shown.
  [[nodiscard]] virtual bool WaitCancelled() = 0;
};

// A progress that shows nothing and is never cancelled.
class NullProgress final : public Progress {
 public:
  void ShowWait(bool, bool) override {}
  void SetWaitText(std::string_view) override {}
  bool WaitCancelled() override { return false; }
};

// The shared null progress.
Progress& NoProgress();

// A progress that records what it was told, for tests. It reports cancelled once `cancel_after`
// polls have been made (never when negative).
class RecordingProgress final : public Progress {
 public:
  struct Event {
    enum Kind { kShow, kHide, kText } kind;
    std::string text;  // kText: the text; kShow: "cancellable" or ""
  };

  void ShowWait(bool visible, bool cancellable) override;
  void SetWaitText(std::string_view text) override;
  bool WaitCancelled() override;

  std::vector<Event> events;
  bool visible = false;
  bool cancellable = false;
  bool cancelled = false;
  std::string text = "...";
  int polls = 0;
  int cancel_after = -1;

  // The texts set, in order.
  [[nodiscard]] std::vector<std::string> Texts() const;
};

}  // namespace lumivor
