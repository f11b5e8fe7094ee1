#pragma once

#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>
#include <string>

#include "core/progress.h"

class QLabel;
class QPushButton;

namespace lumivor {

// A small looping picture of a magnifier sweeping over a folder, painted by hand so it looks the
// same on every desktop. It advances with the wall clock, so a busy thread that repaints now and
// then still sees it move.
class WaitAnimation : public QWidget {
  Q_OBJECT

 public:
  explicit WaitAnimation(QWidget* parent = nullptr);
  // The number of frames of one loop.
  static constexpr int kFrameCount = 30;
  // The frame shown now (0..kFrameCount-1).
  [[nodiscard]] int Frame() const;
  QSize sizeHint() const override { return {80, 50}; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QElapsedTimer clock_;
};

// The progress window: a child window of the main window, framed, centred over it and following
// it when it moves, titled with the work it shows, with a fixed request for patience, one
// progress line, an animation and, for cancellable operations, a Cancel button (or Escape).
//
// Tuned for callers that report progress per record: SetWaitText stores the text and repaints
// at most a few times per kRepaintMs, so a million calls cost a few milliseconds while a text
// that comes alone is painted at once. A text held back is painted by a later call, by a short
// timer once the event loop runs again, or at the next show.
class ProgressWindow : public QWidget, public Progress {
  Q_OBJECT

 public:
  // A hidden progress window centred over `main_window` whenever it is shown.
  explicit ProgressWindow(QWidget* main_window);

  // Texts are painted at most kPaintsPerInterval times per kRepaintMs.
  static constexpr int kRepaintMs = 30;
  static constexpr int kPaintsPerInterval = 3;

  // Shows (visible true) or hides the window; the Cancel button shows exactly when
  // `cancellable`. Showing it from hidden clears Cancelled().
  void ShowWait(bool visible, bool cancellable = false) override;
  void SetWaitText(std::string_view text) override;
  // True when Cancel was pressed since the window was last shown (the work hears of it through
  // CancelPressed).
  [[nodiscard]] bool Cancelled() const { return cancelled_; }

  // The text shown in the progress line (after any pending text was painted).
  [[nodiscard]] QString WaitText();
  // True while the Cancel button is offered.
  [[nodiscard]] bool CancelShown() const;
  // How often the window was repainted because of SetWaitText (for tests of the throttle).
  [[nodiscard]] int TextRepaints() const { return text_repaints_; }
  // The Cancel button, for tests that press it.
  [[nodiscard]] QPushButton* CancelButton() const { return cancel_button_; }

  inline static const char* const kPatienceText =
      "This will take a few minutes.Please be patient...";

  // The window's title: what the work it shows is doing ("Lumivor" when empty).
  void SetWorkTitle(const QString& title);

 signals:
  // The Cancel button was pressed.
  void CancelPressed();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void paintEvent(QPaintEvent* event) override;

 private:
  void OnCancelClicked();
  void FlushText();
  void CentreOverMainWindow();
  void PaintNow();
  // Shows `text` in the progress line, elided in the middle when it is wider than the line.
  void SetLineText(const QString& text);

  QWidget* main_window_;
  WaitAnimation* animation_;
  QLabel* title_label_;
  QLabel* text_label_;
  QPushButton* cancel_button_;
  std::string pending_text_;
  QString line_text_ = QStringLiteral("...");  // the whole text of the progress line
  bool text_pending_ = false;
  bool cancelled_ = false;
  int text_repaints_ = 0;
  QElapsedTimer since_window_;  // start of the current repaint interval
  int paints_in_window_ = 0;
  QTimer flush_timer_;
};

}  // namespace lumivor
