// Long work on a worker thread: the progress window follows it, Cancel reaches it, questions are
// asked on the window's thread, and nothing runs twice.

#include <QLocale>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QWidget>
#include <atomic>
#include <chrono>
#include <thread>

#include "core/errors.h"
#include "ui/background_work.h"
#include "ui/progress_window.h"

using namespace lumivor;

namespace {

// Prompts that note the thread each question was asked on.
class ThreadNotingPrompts final : public Prompts {
 public:
  std::string ChooseOpenFile(std::string_view, std::string_view, std::string_view) override {
    Note();
    return "/chosen";
  }
  std::string ChooseSaveFile(std::string_view, std::string_view, std::string_view) override {
    Note();
    return "/saved";
  }
  void ShowMessage(std::string_view, std::string_view text, MessageIcon) override {
    Note();
    messages.emplace_back(text);
  }
  bool AskYesNo(std::string_view, std::string_view, MessageIcon) override {
    Note();
    return true;
  }

  std::vector<QThread*> threads;
  std::vector<std::string> messages;
  bool form_visible_when_asked = false;
  ProgressWindow* form = nullptr;

 private:
  void Note() {
    threads.push_back(QThread::currentThread());
    if (form != nullptr && form->isVisible()) form_visible_when_asked = true;
  }
};

// Waits on the worker until `flag` is set or five seconds have passed.
bool WaitFor(const std::atomic<bool>& flag) {
  for (int i = 0; i < 500 && !flag.load(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return flag.load();
}

struct Fixture {
  QWidget window;
  ProgressWindow* form = new ProgressWindow(&window);
  ThreadNotingPrompts prompts;
  BackgroundWork work{form, prompts};
  std::vector<bool> busy_calls;

  Fixture() {
    prompts.form = form;
    work.on_busy = [this](bool busy) { busy_calls.push_back(busy); };
    window.resize(400, 300);
    window.show();
  }
};

}  // namespace

class BackgroundWorkTest : public QObject {
  Q_OBJECT

 private slots:
  void init() { QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); }

  void WorkRunsOnItsOwnThreadAndItsErrorsComeBack() {
    Fixture f;
    QThread* worker_thread = nullptr;
    QVERIFY(f.work.Run([&](WorkContext&) { worker_thread = QThread::currentThread(); }));
    QVERIFY(worker_thread != nullptr);
    QVERIFY(worker_thread != QThread::currentThread());
    QVERIFY(!f.work.Running());
    // Short work shows nothing and disables nothing.
    QVERIFY(f.busy_calls.empty());
    QVERIFY(!f.form->isVisible());

    try {
      f.work.Run([](WorkContext& context) {
        ProgressShown shown(context.progress);
        throw LumivorError("/x.xml: No such file or directory");
      });
      QFAIL("no error came back");
    } catch (const LumivorError& error) {
      QCOMPARE(std::string(error.what()), std::string("/x.xml: No such file or directory"));
    }
    QVERIFY(!f.work.Running());
    QVERIFY(!f.form->isVisible());
  }

  void TheWindowFollowsTheWorkAndCancelReachesIt() {
    Fixture f;
    f.work.SetQuietMs(0);
    std::atomic<bool> saw_cancel{false};
    int ticks = 0;  // the window's thread handles events meanwhile
    QTimer ticker;
    ticker.setInterval(5);
    QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
    ticker.start();
    bool disabled_when_pressed = false;
    QTimer presser;
    presser.setInterval(5);
    QObject::connect(&presser, &QTimer::timeout, [&] {
      if (f.form->isVisible() && f.form->CancelShown() && f.form->WaitText() == "step two") {
        disabled_when_pressed = f.busy_calls == std::vector<bool>{true};
        f.form->CancelButton()->click();
        presser.stop();
      }
    });
    presser.start();
    QVERIFY(f.work.Run([&](WorkContext& context) {
      {
        ProgressShown shown(context.progress, true);
        context.progress.SetWaitText("step one");
        context.progress.SetWaitText("step two");
        for (int i = 0; i < 500 && !context.stop.stop_requested(); ++i) {
          std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(60));  // winding down
      }
      // The stop holds for the rest of the work: showing the window again does not clear it.
      ProgressShown again(context.progress, true);
      saw_cancel = context.stop.stop_requested();
    }));
    QVERIFY(saw_cancel.load());
    QVERIFY(disabled_when_pressed);
    QVERIFY(ticks > 2);
    QCOMPARE(f.busy_calls, (std::vector<bool>{true, false}));
    QVERIFY(!f.form->isVisible());

    // The next work starts without the old Cancel.
    bool cancelled_at_start = true;
    QVERIFY(f.work.Run(
        [&](WorkContext& context) { cancelled_at_start = context.stop.stop_requested(); }));
    QVERIFY(!cancelled_at_start);
  }

  void TheScanShowsItsFolderAndItsCount() {
    Fixture f;
    f.work.SetQuietMs(0);
    std::atomic<bool> seen{false};
    QTimer watcher;
    watcher.setInterval(5);
    QString text;
    QObject::connect(&watcher, &QTimer::timeout, [&] {
      if (f.form->isVisible() && f.form->WaitText().contains(QStringLiteral("entries"))) {
        text = f.form->WaitText();
        seen = true;
      }
    });
    watcher.start();
    QVERIFY(f.work.Run([&](WorkContext& context) {
      ProgressShown shown(context.progress, true);
      context.progress.SetWaitText("Loading info..");
      context.scan_listener.FolderEntered(12345, "/media/disk/Photos");
      WaitFor(seen);
    }));
    QCOMPARE(text, QStringLiteral("12,345 entries \u00b7 /media/disk/Photos"));
  }

  void QuestionsAreAskedOnTheWindowsThreadWithTheWindowOutOfTheWay() {
    Fixture f;
    f.work.SetQuietMs(0);
    bool yes = false;
    std::string file;
    QVERIFY(f.work.Run([&](WorkContext& context) {
      ProgressShown shown(context.progress);
      // Let the window appear before the question.
      std::this_thread::sleep_for(std::chrono::milliseconds(3 * BackgroundWork::kPollMs));
      yes = context.prompts.AskYesNo("Warning", "Replace?", MessageIcon::kWarning);
      file = context.prompts.ChooseSaveFile(".csv", "CSV|*.csv", "a");
      context.prompts.ShowMessage("Done", "Export Finished", MessageIcon::kNone);
    }));
    QVERIFY(yes);
    QCOMPARE(file, std::string("/saved"));
    QCOMPARE(f.prompts.messages, std::vector<std::string>{"Export Finished"});
    QCOMPARE(f.prompts.threads.size(), std::size_t(3));
    for (QThread* thread : f.prompts.threads) QVERIFY(thread == QThread::currentThread());
    QVERIFY(!f.prompts.form_visible_when_asked);
  }

  void DeliveriesRunOnTheWindowsThreadWhileTheWorkRuns() {
    // Quietly at first (no progress window yet), then with the window shown.
    for (const int quiet_ms : {10000, 0}) {
      Fixture f;
      f.work.SetQuietMs(quiet_ms);
      std::vector<int> order;
      std::vector<QThread*> threads;
      std::atomic<bool> first_ran{false};
      bool ran_while_working = false;
      bool painted_quietly = true;
      QVERIFY(f.work.Run([&](WorkContext& context) {
        for (int i = 0; i < 3; ++i) {
          context.deliveries.Deliver([&, i] {
            order.push_back(i);
            threads.push_back(QThread::currentThread());
            if (quiet_ms > 0) painted_quietly &= f.busy_calls.empty() && !f.form->isVisible();
            first_ran = true;
          });
        }
        // The work waits for the window, which never waits for the work.
        ran_while_working = WaitFor(first_ran);
        // Delivered last: it still runs before Run() returns.
        context.deliveries.Deliver([&] { order.push_back(3); });
      }));
      QVERIFY(ran_while_working);
      QCOMPARE(order, (std::vector<int>{0, 1, 2, 3}));
      for (QThread* thread : threads) QCOMPARE(thread, QThread::currentThread());
      QVERIFY(painted_quietly);
      // The next work starts with nothing queued.
      int later = 0;
      QVERIFY(
          f.work.Run([&](WorkContext& context) { context.deliveries.Deliver([&] { ++later; }); }));
      QCOMPARE(later, 1);
    }
  }

  void WorkIsNeverStartedTwice() {
    Fixture f;
    f.work.SetQuietMs(0);
    std::atomic<bool> release{false};
    int second = -1;
    QTimer::singleShot(20, [&] {
      second = f.work.Run([](WorkContext&) {}) ? 1 : 0;
      release = true;
    });
    QVERIFY(f.work.Run([&](WorkContext&) { WaitFor(release); }));
    QCOMPARE(second, 0);
  }
};

QTEST_MAIN(BackgroundWorkTest)
#include "background_work_test.moc"
