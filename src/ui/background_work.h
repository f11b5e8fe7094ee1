#pragma once

#include <QObject>
#include <QPointer>
#include <cstdint>
#include <functional>
#include <memory>
#include <stop_token>
#include <string>

#include "core/progress.h"
#include "core/prompts.h"
#include "scan/scanner.h"

class QWidget;

namespace lumivor {

class ProgressWindow;

// Actions the work hands to the window's thread, for results it shows while the work goes on.
class Deliveries {
 public:
  virtual ~Deliveries() = default;
  // Queues `action` to run on the window's thread soon, after every action queued before it, and
  // returns at once (the work never waits for the window). Every queued action has run when
  // BackgroundWork::Run() returns, so an action may refer to what lives as long as that call.
  // Actions must not throw.
  virtual void Deliver(std::function<void()> action) = 0;
};

// What work running off the window's thread is handed: a progress, prompts, a scan listener,
// deliveries, each safe to call from that thread, and the stop token of the work.
//
// Cancel in the progress window requests a stop of `stop`, and it stays requested for the rest
// of the work (showing the window again does not clear it), so every step of the work sees it.
// Texts and the window's state are painted by the window's thread a few dozen times a second,
// whatever the rate at which the work reports them. The scan listener shows the folder being read
// and the entries recorded so far. Questions are put on the window's thread, and the work waits
// for the answer.
struct WorkContext {
  Progress& progress;
  Prompts& prompts;
  ScanListener& scan_listener;
  Deliveries& deliveries;
  std::stop_token stop;
};

// Runs long work (scan, load, save, search, export, index) on a worker thread while the window's
// thread keeps handling events: windows repaint and move, the progress window animates, and its
// Cancel reaches the work. Only one piece of work runs at a time.
//
// Run() returns once the work has ended, so callers read as if the work ran in place; the window's
// thread runs a local event loop meanwhile. While work runs, `on_busy(true)` has disabled the
// caller's commands and the modal dialog that started the work (if any) is disabled too; both are
// enabled again before Run() returns. Work that ends within QuietMs() shows nothing at all.
// Deliveries run as they come, also during QuietMs(), when the window's thread handles no input
// but paints what they changed.
//
// The work must not touch widgets, nor data the window may change meanwhile; what it needs from
// widgets is read before Run().
class BackgroundWork : public QObject {
  Q_OBJECT

 public:
  using Work = std::function<void(WorkContext&)>;

  // Work reports through `form` and asks through `prompts` (both used on the window's thread
  // only); `prompts` must outlive this object.
  BackgroundWork(ProgressWindow* form, Prompts& prompts, QObject* parent = nullptr);
  ~BackgroundWork() override;

  // Called on the window's thread with true as work starts and false once it has ended.
  std::function<void(bool busy)> on_busy;

  // Runs `work` on a worker thread and returns when it has ended, raising on this thread what the
  // work raised. Returns false at once, without running it, while other work is running.
  bool Run(const Work& work);
  // True while work runs.
  [[nodiscard]] bool Running() const { return running_; }
  // Asks the running work to stop, as the progress window's Cancel does.
  void Cancel();

  // How long work may take before the progress window appears (for tests: 0 shows it at once).
  [[nodiscard]] int QuietMs() const { return quiet_ms_; }
  void SetQuietMs(int ms) { quiet_ms_ = ms; }

  // The interval at which the progress window follows the work.
  static constexpr int kPollMs = 30;

 signals:
  // Emitted on the window's thread once the worker thread runs (before any of the work's
  // progress is shown).
  void Started();

 private:
  class TaskState;
  class WorkerPrompts;

  void Poll();
  void ApplyState();
  // Runs the queued deliveries; false when there were none.
  bool RunDeliveries();

  QPointer<ProgressWindow> form_;
  Prompts& prompts_;
  std::unique_ptr<TaskState> state_;
  std::unique_ptr<WorkerPrompts> worker_prompts_;
  bool running_ = false;
  bool applying_ = false;
  bool delivering_ = false;
  bool shown_ = false;  // the progress window was shown for the current work
  std::uint64_t applied_version_ = 0;
  std::string shown_text_;
  int quiet_ms_ = 120;
  std::function<void()> quit_loop_;
};

}  // namespace lumivor
