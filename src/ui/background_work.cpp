#include "ui/background_work.h"

#include <QApplication>
#include <QEventLoop>
#include <QLocale>
#include <QThread>
#include <QTimer>
#include <QWidget>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "ui/progress_window.h"

namespace lumivor {

// The progress, scan listener and deliveries that the work calls from its thread. It only records
// what it is told; the window's thread takes a copy now and then and shows it, and runs what was
// delivered.
class BackgroundWork::TaskState final : public Progress, public ScanListener, public Deliveries {
 public:
  explicit TaskState(BackgroundWork* owner) : owner_(owner) {}

  struct Snapshot {
    bool visible = false;
    bool cancellable = false;
    std::string text;
    bool scanning = false;  // the last news was a folder entered, not a text
    std::size_t records = 0;
    std::string folder;
    std::uint64_t version = 0;
  };

  void Reset() {
    std::lock_guard lock(mutex_);
    snapshot_ = Snapshot();
    deliveries_.clear();
    done_ = false;
    stop_ = std::stop_source();
  }

  void ShowWait(bool visible, bool cancellable) override {
    std::lock_guard lock(mutex_);
    snapshot_.visible = visible;
    if (visible) snapshot_.cancellable = cancellable;
    ++snapshot_.version;
  }

  void SetWaitText(std::string_view text) override {
    std::lock_guard lock(mutex_);
    snapshot_.text.assign(text);
    snapshot_.scanning = false;
    ++snapshot_.version;
  }

  void FolderEntered(std::size_t records, std::string_view folder) override {
    std::lock_guard lock(mutex_);
    snapshot_.records = records;
    snapshot_.folder.assign(folder);
    snapshot_.scanning = true;
    ++snapshot_.version;
  }

  // The stop stays requested for the rest of the work, whatever is shown or hidden meanwhile.
  void Cancel() { stop_.request_stop(); }
  [[nodiscard]] std::stop_token Token() const { return stop_.get_token(); }

  void Deliver(std::function<void()> action) override {
    bool first = false;
    {
      std::lock_guard lock(mutex_);
      first = deliveries_.empty();
      deliveries_.push_back(std::move(action));
    }
    if (!first) return;  // the window's thread has been woken for the queue already
    done_changed_.notify_all();
    QMetaObject::invokeMethod(
        owner_, [owner = owner_] { owner->RunDeliveries(); }, Qt::QueuedConnection);
  }

  [[nodiscard]] std::vector<std::function<void()>> TakeDeliveries() {
    std::lock_guard lock(mutex_);
    return std::exchange(deliveries_, {});
  }

  [[nodiscard]] Snapshot Take() {
    std::lock_guard lock(mutex_);
    return snapshot_;
  }

  void MarkDone() {
    {
      std::lock_guard lock(mutex_);
      done_ = true;
    }
    done_changed_.notify_all();
  }

  [[nodiscard]] bool Done() {
    std::lock_guard lock(mutex_);
    return done_;
  }

  // Waits up to `ms` for the work to end; true when it has.
  bool WaitDone(int ms) {
    std::unique_lock lock(mutex_);
    return done_changed_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return done_; });
  }

  // Waits until `deadline` for the work to end or deliver something.
  void WaitDoneOrDelivery(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock lock(mutex_);
    done_changed_.wait_until(lock, deadline, [this] { return done_ || !deliveries_.empty(); });
  }

 private:
  BackgroundWork* owner_;
  std::mutex mutex_;
  std::vector<std::function<void()>> deliveries_;
  std::condition_variable done_changed_;
  Snapshot snapshot_;
  bool done_ = false;
  std::stop_source stop_;
};

// Prompts for the work's thread: each question is put to the window's prompts on the window's
// thread, and the work waits for the answer. The progress window steps aside meanwhile, so that
// it does not cover the question.
class BackgroundWork::WorkerPrompts final : public Prompts {
 public:
  explicit WorkerPrompts(BackgroundWork* owner) : owner_(owner) {}

  std::string ChooseOpenFile(std::string_view default_ext, std::string_view filter,
                             std::string_view initial_name) override {
    return Ask<std::string>(
        [&] { return owner_->prompts_.ChooseOpenFile(default_ext, filter, initial_name); });
  }
  std::string ChooseSaveFile(std::string_view default_ext, std::string_view filter,
                             std::string_view initial_name) override {
    return Ask<std::string>(
        [&] { return owner_->prompts_.ChooseSaveFile(default_ext, filter, initial_name); });
  }
  void ShowMessage(std::string_view caption, std::string_view text, MessageIcon icon) override {
    Ask<bool>([&] {
      owner_->prompts_.ShowMessage(caption, text, icon);
      return true;
    });
  }
  bool AskYesNo(std::string_view caption, std::string_view text, MessageIcon icon) override {
    return Ask<bool>([&] { return owner_->prompts_.AskYesNo(caption, text, icon); });
  }
  std::string ChooseFolder(std::string_view caption, std::string_view initial) override {
    return Ask<std::string>([&] { return owner_->prompts_.ChooseFolder(caption, initial); });
  }

 private:
  template <typename Result, typename Question>
  Result Ask(const Question& question) {
    const auto answer = [&] {
      ProgressWindow* form = owner_->form_;
      const bool covering = form != nullptr && form->isVisible();
      const bool cancellable = covering && form->CancelShown();
      if (covering) form->ShowWait(false);
      Result result = question();
      if (covering) form->ShowWait(true, cancellable);
      return result;
    };
    if (QThread::currentThread() == owner_->thread()) return answer();
    Result result{};
    QMetaObject::invokeMethod(
        owner_, [&] { result = answer(); }, Qt::BlockingQueuedConnection);
    return result;
  }

  BackgroundWork* owner_;
};

BackgroundWork::BackgroundWork(ProgressWindow* form, Prompts& prompts, QObject* parent)
    : QObject(parent),
      form_(form),
      prompts_(prompts),
      state_(std::make_unique<TaskState>(this)),
      worker_prompts_(std::make_unique<WorkerPrompts>(this)) {
  if (form != nullptr) connect(form, &ProgressWindow::CancelPressed, this, &BackgroundWork::Cancel);
}

BackgroundWork::~BackgroundWork() = default;

void BackgroundWork::Cancel() { state_->Cancel(); }

bool BackgroundWork::Run(const Work& work) {
  if (running_) return false;
  running_ = true;
  shown_ = false;
  state_->Reset();
  applied_version_ = 0;
  shown_text_.clear();

  std::exception_ptr error;
  WorkContext context{*state_, *worker_prompts_, *state_, *state_, state_->Token()};
  std::thread worker([&] {
    try {
      work(context);
    } catch (...) {
      error = std::current_exception();
    }
    state_->MarkDone();
    QMetaObject::invokeMethod(this, &BackgroundWork::Poll, Qt::QueuedConnection);
  });
  emit Started();

  // Short work shows nothing and disables nothing, so nothing flickers. What it delivers meanwhile
  // is shown at once: the window paints, but takes no input yet.
  const auto quiet_end = std::chrono::steady_clock::now() + std::chrono::milliseconds(quiet_ms_);
  while (!state_->Done() && std::chrono::steady_clock::now() < quiet_end) {
    state_->WaitDoneOrDelivery(quiet_end);
    if (RunDeliveries()) QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
  }
  bool busy = false;
  QPointer<QWidget> dialog;
  if (!state_->Done()) {
    busy = true;
    // The modal dialog that started the work (an export, say) cannot start it twice either.
    dialog = QApplication::activeModalWidget();
    if (dialog == form_.data()) dialog = nullptr;
    if (dialog) dialog->setEnabled(false);
    if (on_busy) on_busy(true);
    QEventLoop loop;
    quit_loop_ = [&loop] { loop.quit(); };
    QTimer timer;
    timer.setInterval(kPollMs);
    connect(&timer, &QTimer::timeout, this, &BackgroundWork::Poll);
    timer.start();
    ApplyState();
    if (!state_->Done()) loop.exec();
    quit_loop_ = nullptr;
    // The loop also ends when the application quits: the work is asked to stop, and questions it
    // may still be waiting on are answered meanwhile.
    if (!state_->Done()) {
      Cancel();
      while (!state_->WaitDone(10)) QCoreApplication::processEvents();
    }
  }
  worker.join();
  RunDeliveries();

  if (busy) ApplyState();
  if (error && form_) form_->ShowWait(false);
  if (busy) {
    if (on_busy) on_busy(false);
    if (dialog) dialog->setEnabled(true);
  }
  running_ = false;
  if (error) std::rethrow_exception(error);
  return true;
}

bool BackgroundWork::RunDeliveries() {
  // An action that lets events run could come here again; the outer call keeps the order.
  if (delivering_) return false;
  delivering_ = true;
  bool any = false;
  for (;;) {
    const std::vector<std::function<void()>> actions = state_->TakeDeliveries();
    if (actions.empty()) break;
    any = true;
    for (const std::function<void()>& action : actions) action();
  }
  delivering_ = false;
  return any;
}

void BackgroundWork::Poll() {
  if (applying_) return;
  if (state_->Done() && quit_loop_) {
    quit_loop_();
    return;
  }
  ApplyState();
}

void BackgroundWork::ApplyState() {
  if (!form_ || applying_) return;
  const TaskState::Snapshot now = state_->Take();
  if (now.version == applied_version_) return;
  applied_version_ = now.version;
  applying_ = true;
  std::string text = now.text;
  if (now.scanning) {
    // "12,345 entries · /media/disk/Photos": the count first, so that a long path elided in the
    // middle keeps both the count and the folder's own name.
    const QString line =
        QStringLiteral("%1 entries \u00b7 %2")
            .arg(QLocale().toString(static_cast<qulonglong>(now.records)),
                 QString::fromUtf8(now.folder.data(), static_cast<qsizetype>(now.folder.size())));
    text = line.toStdString();
  }
  if (text != shown_text_ && (now.version > 0 && (!now.text.empty() || now.scanning))) {
    shown_text_ = text;
    form_->SetWaitText(text);
  }
  if (now.visible) {
    if (!form_->isVisible() || form_->CancelShown() != now.cancellable) {
      form_->ShowWait(true, now.cancellable);
    }
    shown_ = true;
  } else if (form_->isVisible() && shown_) {
    form_->ShowWait(false);
  }
  applying_ = false;
}

}  // namespace lumivor
