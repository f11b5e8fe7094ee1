#pragma once

#include <string_view>

namespace lumivor {

// The progress window as the core sees it: display only. Long operations show it through a
// ProgressShown for as long as they run and put one line of text in it. Cancel does not pass
// through here: operations that can be cancelled take a std::stop_token.
class Progress {
 public:
  virtual ~Progress() = default;
  // Puts `text` into the progress line.
  virtual void SetWaitText(std::string_view text) = 0;

 protected:
  // Shows (visible true) or hides the window; the Cancel button shows exactly when
  // `cancellable`. Only ProgressShown calls it, so that nested operations never hide the window
  // of the operation around them.
  virtual void ShowWait(bool visible, bool cancellable) = 0;

 private:
  friend class ProgressShown;
  int shown_depth_ = 0;  // ProgressShown guards alive on this progress
  bool shown_cancellable_ = false;
};

// Keeps the progress window shown while it lives. The outermost guard shows the window and hides
// it again when it ends, also by an exception; a nested guard only adds the Cancel button while
// it lives when the outer one had none. Guards on one progress nest strictly (as scopes do) and
// belong to the thread that reports to it.
class [[nodiscard]] ProgressShown {
 public:
  explicit ProgressShown(Progress& progress, bool cancellable = false);
  ~ProgressShown();
  ProgressShown(const ProgressShown&) = delete;
  ProgressShown& operator=(const ProgressShown&) = delete;

 private:
  Progress& progress_;
  bool outer_cancellable_;
};

// A progress that shows nothing.
class NullProgress final : public Progress {
 public:
  void SetWaitText(std::string_view) override {}

 protected:
  void ShowWait(bool, bool) override {}
};

// The shared null progress.
Progress& NoProgress();

}  // namespace lumivor
