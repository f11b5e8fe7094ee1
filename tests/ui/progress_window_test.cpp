// The progress window and the Qt prompts' filter conversion.
#include <QElapsedTimer>
#include <QLabel>
#include <QPushButton>
#include <QTest>

#include "ui/progress_window.h"
#include "ui/qt_prompts.h"

using namespace lumivor;

class WaitFormTest : public QObject {
  Q_OBJECT

 private slots:
  void ShowingAndHidingHasNoNesting() {
    QWidget main_window;
    ProgressWindow wait(&main_window);
    wait.ShowWait(false);  // never shown: nothing happens
    QVERIFY(!wait.isVisible());
    wait.ShowWait(true);
    wait.ShowWait(true);
    QVERIFY(wait.isVisible());
    wait.ShowWait(false);
    QVERIFY(!wait.isVisible());
    // A framed child window of the main window, titled with its work.
    QVERIFY(!(wait.windowFlags() & Qt::FramelessWindowHint));
    QCOMPARE(wait.windowType(), Qt::Dialog);
    QCOMPARE(wait.parentWidget(), &main_window);
    QCOMPARE(wait.windowTitle(), QStringLiteral("Lumivor"));
    wait.SetWorkTitle(QStringLiteral("Exporting"));
    QCOMPARE(wait.windowTitle(), QStringLiteral("Exporting"));
    QCOMPARE(wait.height(), 84);
    QVERIFY(wait.width() >= 376);
  }

  void CentresOverTheMainWindow() {
    QWidget main_window;
    main_window.setGeometry(100, 120, 600, 400);
    main_window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&main_window));
    ProgressWindow wait(&main_window);
    wait.ShowWait(true);
    const QPoint offset = wait.frameGeometry().center() - main_window.frameGeometry().center();
    QVERIFY(offset.manhattanLength() <= 2);  // halves round
    wait.ShowWait(false);
  }

  void FollowsTheMainWindowWhenItMoves() {
    QWidget main_window;
    main_window.setGeometry(100, 120, 600, 400);
    main_window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&main_window));
    ProgressWindow wait(&main_window);
    wait.ShowWait(true);
    main_window.move(300, 200);
    QTRY_VERIFY(
        (wait.frameGeometry().center() - main_window.frameGeometry().center()).manhattanLength() <=
        2);
    wait.ShowWait(false);
  }

  void EscapeIsCancelWhereCancelIsOffered() {
    QWidget main_window;
    main_window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&main_window));
    ProgressWindow wait(&main_window);
    wait.ShowWait(true, false);
    QTest::keyClick(&main_window, Qt::Key_Escape);
    QVERIFY(!wait.Cancelled());  // nothing to cancel
    wait.ShowWait(true, true);
    QTest::keyClick(&main_window, Qt::Key_Escape);  // the focus is in the main window
    QVERIFY(wait.Cancelled());
    wait.ShowWait(false);
    wait.ShowWait(true, true);
    QTest::keyClick(&wait, Qt::Key_Escape);
    QVERIFY(wait.Cancelled());
    wait.ShowWait(false);
  }

  void CancelButtonAndFlag() {
    QWidget main_window;
    ProgressWindow wait(&main_window);
    wait.ShowWait(true, true);
    QVERIFY(wait.CancelShown());
    QVERIFY(!wait.Cancelled());
    QTest::mouseClick(wait.CancelButton(), Qt::LeftButton);
    QVERIFY(wait.Cancelled());
    wait.ShowWait(true, false);  // shown again while visible: the flag stays, the button goes
    QVERIFY(!wait.CancelShown());
    QVERIFY(wait.Cancelled());
    wait.ShowWait(false);
    wait.ShowWait(true, true);  // shown anew from hidden: the flag is cleared
    QVERIFY(!wait.Cancelled());
    wait.ShowWait(false);
  }

  void TextsThatComeAloneArePaintedAtOnce() {
    QWidget main_window;
    ProgressWindow wait(&main_window);
    wait.ShowWait(true);
    const int before = wait.TextRepaints();
    wait.SetWaitText("Saving info...");
    wait.SetWaitText("Gathering info..");
    // Both reached the window without the event loop running.
    QCOMPARE(wait.TextRepaints(), before + 2);
    wait.ShowWait(false);
  }

  void TextIsKeptAndShownAgain() {
    QWidget main_window;
    ProgressWindow wait(&main_window);
    QCOMPARE(wait.WaitText(), QStringLiteral("..."));
    wait.ShowWait(true);
    wait.SetWaitText("Loading info..");
    QCOMPARE(wait.WaitText(), QStringLiteral("Loading info.."));
    wait.ShowWait(false);
    wait.ShowWait(true);
    QCOMPARE(wait.WaitText(), QStringLiteral("Loading info.."));
    wait.ShowWait(false);
  }

  void AMillionTextsRepaintOnlyNowAndThen() {
    QWidget main_window;
    ProgressWindow wait(&main_window);
    wait.ShowWait(true);
    QElapsedTimer clock;
    clock.start();
    std::string text;
    for (int i = 0; i < 1'000'000; ++i) {
      text = "/media/disk/folder/file" + std::to_string(i);
      wait.SetWaitText(text);
    }
    const qint64 elapsed = clock.elapsed();
    // A few repaints per interval, whatever the number of calls.
    QVERIFY2(wait.TextRepaints() <=
                 (elapsed / ProgressWindow::kRepaintMs + 1) * ProgressWindow::kPaintsPerInterval,
             qPrintable(QString::number(wait.TextRepaints())));
    // The last text is not lost.
    QCOMPARE(wait.WaitText(), QStringLiteral("/media/disk/folder/file999999"));
    // A pending text reaches the window once the event loop runs.
    wait.SetWaitText("after");
    QTRY_COMPARE(wait.findChildren<QLabel*>().size() >= 2, true);
    QTest::qWait(2 * ProgressWindow::kRepaintMs);
    QCOMPARE(wait.WaitText(), QStringLiteral("after"));
    wait.ShowWait(false);
  }

  void AnimationLoops() {
    WaitAnimation animation;
    QCOMPARE(animation.size(), QSize(80, 50));
    const int first = animation.Frame();
    QVERIFY(first >= 0 && first < WaitAnimation::kFrameCount);
    QTRY_VERIFY(animation.Frame() != first);
  }

  void FiltersOfferBothLetterCases() {
    QCOMPARE(QtFileFilter("XML File|*.XML"), QStringLiteral("XML File (*.xml *.XML)"));
    QCOMPARE(QtFileFilter("HTML File|*.htm"), QStringLiteral("HTML File (*.htm *.HTM)"));
    QCOMPARE(QtFileFilter("Text|*.txt;*.CSV|All|*.*"),
             QStringLiteral("Text (*.txt *.TXT *.csv *.CSV);;All (*.*)"));
    QCOMPARE(QtFileFilter(""), QString());
  }
};

QTEST_MAIN(WaitFormTest)
#include "progress_window_test.moc"
