// The Qt prompts answered through their real dialogs and message boxes.
#include <QDir>
#include <QFileDialog>
#include <QMessageBox>
#include <QTest>

#include "core/prompts.h"
#include "modal_driver.h"
#include "ui/qt_prompts.h"
#ifndef LUMIVOR_CLI_PATH
#define LUMIVOR_CLI_PATH ""
#endif
#include "test_util.h"

using namespace lumivor;

class QtPromptsTest : public QObject {
  Q_OBJECT

 private slots:
  void MessagesCarryCaptionTextAndIcon() {
    QWidget parent;
    QtPrompts prompts(&parent);
    testing::ModalDriver driver;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QString caption;
    driver.When<QMessageBox>([&](QMessageBox* box) {
      icon = box->icon();
      caption = box->windowTitle();
      box->button(QMessageBox::Ok)->click();
    });
    prompts.ShowMessage("Error", "/lib/x.xml: bad", MessageIcon::kError);
    QCOMPARE(icon, QMessageBox::Critical);
    QCOMPARE(caption, QStringLiteral("Error"));
    QVERIFY(driver.Done());
  }

  void QuestionsAnswerYesOrNo() {
    QWidget parent;
    QtPrompts prompts(&parent);
    testing::ModalDriver driver;
    QMessageBox::StandardButton default_button = QMessageBox::NoButton;
    driver.When<QMessageBox>([&](QMessageBox* box) {
      default_button = box->standardButton(box->defaultButton());
      box->button(QMessageBox::Yes)->click();
    });
    driver.When<QMessageBox>([](QMessageBox* box) { box->button(QMessageBox::No)->click(); });
    QVERIFY(prompts.AskYesNo("Warning", "overwrite?", MessageIcon::kQuestion));
    QCOMPARE(default_button, QMessageBox::No);  // Enter alone never replaces a file
    QVERIFY(!prompts.AskYesNo("Warning", "overwrite?", MessageIcon::kQuestion));
  }

  void MessageBoxesAreDialogsWideEnoughForTheirCaption() {
    QWidget parent;
    QtPrompts prompts(&parent);
    testing::ModalDriver driver;
    Qt::WindowFlags flags;
    int width = 0, caption_width = 0;
    const QString caption = QStringLiteral("Catalog with a rather long caption here");
    driver.When<QMessageBox>([&](QMessageBox* box) {
      flags = box->windowFlags();
      width = box->width();
      caption_width = box->fontMetrics().horizontalAdvance(box->windowTitle());
      box->button(QMessageBox::Ok)->click();
    });
    prompts.ShowMessage(caption.toStdString(), "Done", MessageIcon::kNone);
    QVERIFY(driver.Done());
    QVERIFY(!(flags & Qt::WindowMinimizeButtonHint));
    QVERIFY(!(flags & Qt::WindowMaximizeButtonHint));
    QVERIFY(flags & Qt::WindowCloseButtonHint);
    QVERIFY2(width > caption_width + 100, qPrintable(QString::number(width)));
    // Questions too.
    driver.When<QMessageBox>([&](QMessageBox* box) {
      flags = box->windowFlags();
      box->button(QMessageBox::No)->click();
    });
    QVERIFY(!prompts.AskYesNo("Warning", "overwrite?", MessageIcon::kQuestion));
    QVERIFY(!(flags & Qt::WindowMaximizeButtonHint));
  }

  void FileDialogsStartAtHomeThenWhereTheUserWent() {
    QWidget parent;
    QtPrompts prompts(&parent);
    testing::ModalDriver driver;
    testing::TempDir dir;
    QStringList started;
    driver.When<QFileDialog>([&](QFileDialog* dialog) {
      started << dialog->directory().absolutePath();
      dialog->reject();
    });
    driver.ChooseFile(QString::fromStdString(dir / "x.csv"));
    driver.When<QFileDialog>([&](QFileDialog* dialog) {
      started << dialog->directory().absolutePath();
      started << dialog->selectedFiles().value(0);
      dialog->reject();
    });
    // Nothing remembered yet in this process: home.
    QCOMPARE(prompts.ChooseSaveFile(".csv", "CSV File|*.csv", ""), std::string());
    QCOMPARE(prompts.ChooseSaveFile(".csv", "CSV File|*.csv", ""), dir / "x.csv");
    QCOMPARE(prompts.ChooseSaveFile(".csv", "CSV File|*.csv", "Music"), std::string());
    QVERIFY(driver.Done());
    QCOMPARE(started.value(0), QDir::homePath());
    QCOMPARE(started.value(1), QString::fromStdString(dir.Path()));
    // The suggested name stands in the folder the dialog starts in.
    QCOMPARE(started.value(2), QString::fromStdString(dir / "Music.csv"));
    // A remembered folder that is gone falls back to home.
    RememberFolder(QString::fromStdString(dir / "gone/"));
    QCOMPARE(StartFolder(), QDir::homePath());
  }

  void FileDialogsAreSetUpForTheCallersChecks() {
    QWidget parent;
    QtPrompts prompts(&parent);
    testing::ModalDriver driver;
    struct Seen {
      QString filter, suffix;
      QFileDialog::AcceptMode mode;
      QFileDialog::FileMode file_mode;
      bool confirms;
    };
    std::vector<Seen> seen;
    for (int i = 0; i < 2; ++i) {
      driver.When<QFileDialog>([&](QFileDialog* dialog) {
        seen.push_back({dialog->nameFilters().join(";;"), dialog->defaultSuffix(),
                        dialog->acceptMode(), dialog->fileMode(),
                        !dialog->testOption(QFileDialog::DontConfirmOverwrite)});
        dialog->reject();
      });
    }
    // Cancelling gives the empty path.
    QCOMPARE(prompts.ChooseSaveFile(".xml", "XML File|*.XML", "Music"), std::string());
    QCOMPARE(prompts.ChooseOpenFile(".htm", "HTML File|*.htm", ""), std::string());
    QVERIFY(driver.Done());
    QCOMPARE(seen.size(), std::size_t{2});
    QCOMPARE(seen[0].filter, QStringLiteral("XML File (*.xml *.XML)"));
    QCOMPARE(seen[0].suffix, QStringLiteral("xml"));
    QCOMPARE(seen[0].mode, QFileDialog::AcceptSave);
    // The overwrite question is AskSaveFileName's, asked once, with our wording.
    QVERIFY(!seen[0].confirms);
    QCOMPARE(seen[1].filter, QStringLiteral("HTML File (*.htm *.HTM)"));
    QCOMPARE(seen[1].mode, QFileDialog::AcceptOpen);
    // A name that does not exist gets through to AskOpenFileName's own message.
    QCOMPARE(seen[1].file_mode, QFileDialog::AnyFile);
  }
};

QTEST_MAIN(QtPromptsTest)
#include "qt_prompts_test.moc"
