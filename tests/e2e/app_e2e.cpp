// End to end: the real main window and its real dialogs on the X11 platform (run under xvfb-run).
// Starting on a fresh directory it catalogues a fixture folder, edits a description, searches,
// exports CSV, quits through "E&xit" and checks the files left on disk.

#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QTreeView>
#include <deque>
#include <filesystem>
#include <functional>

#include "catalog/fields.h"
#include "export/ui/export_dialog.h"
#include "library/ui/new_catalog_dialog.h"
#include "main/ui/catalog_model.h"
#include "main/ui/main_window.h"
#include "search/ui/search_dialog.h"
#ifndef LUMIVOR_CLI_PATH
#define LUMIVOR_CLI_PATH ""
#endif
#include "modal_driver.h"
#include "test_util.h"

using lumivor::testing::ModalDriver;
using lumivor::testing::ReadFile;
using lumivor::testing::TempDir;
using lumivor::testing::WriteFile;
namespace fs = std::filesystem;

namespace {

QString Q(const std::string& text) { return QString::fromStdString(text); }

QLineEdit* OpenEditor(QTreeView* view) {
  for (QLineEdit* edit : view->viewport()->findChildren<QLineEdit*>()) {
    if (edit->isVisible()) return edit;
  }
  return nullptr;
}

}  // namespace

class AppEndToEnd : public QObject {
  Q_OBJECT

 private slots:
  void CatalogueEditSearchExportAndQuit() {
    QCOMPARE(QGuiApplication::platformName(), QString("xcb"));
    TempDir temp;
    const std::string data = temp / "data";
    const std::string fixture = temp / "Fixture";
    WriteFile(fixture + "/Music/song one.mp3", std::string(3000, 'm'));
    WriteFile(fixture + "/Music/Other tune.ogg", std::string(1000, 'o'));
    WriteFile(fixture + "/Docs/readme.txt", "hello");
    fs::create_directories(data);
    const std::string library = data + "/CatalogLibrary";
    const std::string catalog = library + "/Fixture.xml";
    const std::string export_path = temp / "export.csv";

    ModalDriver driver;
    auto* window = new lumivor::MainWindow(data);
    window->setAttribute(Qt::WA_DeleteOnClose);
    QPointer<lumivor::MainWindow> main = window;
    main->show();
    QVERIFY(QTest::qWaitForWindowExposed(main));
    QVERIFY(fs::is_directory(library + "/Mp3"));  // a fresh start made the default groups

    // New Catalog: the real folder browser, then the name.
    driver.When<lumivor::NewCatalogDialog>([&](lumivor::NewCatalogDialog* dialog) {
      driver.ChooseFile(Q(fixture));
      driver.When<lumivor::NewCatalogDialog>(
          [](lumivor::NewCatalogDialog* again) {
            again->name_edit->setText("Fixture");
            again->ok_button->click();
          },
          [](lumivor::NewCatalogDialog* again) { return again->ok_button->isEnabled(); });
      dialog->browse_button->click();
    });
    main->ToolButton(0)->click();
    QTRY_VERIFY_WITH_TIMEOUT(driver.Done(), 10000);
    QVERIFY(fs::exists(catalog));
    QCOMPARE(main->CurrentCatalogFile(), catalog);
    QCOMPARE(main->CatalogSize(), std::size_t(6));  // the folder, 2 sub-folders, 3 files

    // Edit the description of the top record in place.
    QTreeView* vt = main->catalog_view();
    const QModelIndex top = vt->model()->index(0, lumivor::kDescription);
    vt->setCurrentIndex(top);
    vt->edit(top);
    QLineEdit* editor = OpenEditor(vt);
    QVERIFY(editor != nullptr);
    editor->setText("the fixture disc");
    QTest::keyClick(editor, Qt::Key_Return);
    QTRY_VERIFY(ReadFile(catalog).find("Description=\"the fixture disc\"") != std::string::npos);

    // Search the whole library for "song".
    QStringList messages;
    driver.When<lumivor::SearchDialog>([](lumivor::SearchDialog* dialog) {
      dialog->name_edit->setText("song");
      dialog->ok_button->click();
    });
    driver.Acknowledge("Search Finished", &messages);
    main->ToolButton(2)->click();
    QTRY_VERIFY_WITH_TIMEOUT(driver.Done(), 10000);
    QCOMPARE(messages, QStringList({"Done|Search Finished"}));
    QCOMPARE(main->CatalogSize(), std::size_t(1));
    QVERIFY(main->CurrentCatalogFile().empty());

    // Export the results on screen as CSV.
    driver.When<lumivor::ExportDialog>([&](lumivor::ExportDialog* dialog) {
      QVERIFY(dialog->screen_radio->isChecked());
      dialog->csv_radio->setChecked(true);
      driver.ChooseFile(Q(export_path));
      driver.Acknowledge("Export Finished", &messages);
      dialog->ok_button->click();
    });
    main->ToolButton(3)->click();
    QTRY_VERIFY_WITH_TIMEOUT(driver.Done(), 10000);
    const std::string csv = ReadFile(export_path);
    QVERIFY2(csv.find("song one.mp3") != std::string::npos, csv.c_str());
    QVERIFY(csv.find("readme") == std::string::npos);
    QVERIFY(csv.find("FileName,") == 0);

    // Quit through the toolbar.
    QToolButton* exit = main->ToolButton(5);
    QCOMPARE(exit->text(), QString("E&xit"));
    exit->click();
    QTRY_VERIFY(main.isNull() || !main->isVisible());
    const std::string config = ReadFile(data + "/LumivorConfig.xml");
    QVERIFY(config.find("<config") == 0);
    QVERIFY(config.find("Name=\"Description\"") != std::string::npos);
    QVERIFY(ReadFile(catalog).find("song one.mp3") != std::string::npos);
    if (!main.isNull()) delete main.data();
  }
};

QTEST_MAIN(AppEndToEnd)
#include "app_e2e.moc"
