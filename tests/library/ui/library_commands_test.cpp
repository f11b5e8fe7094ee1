// The main window's New Catalog, Catalog Library and visible-columns commands, driven through
// their real dialogs.

#include <unistd.h>

#include <QHeaderView>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QTreeView>
#include <filesystem>
#include <memory>

#include "config/ui/visible_columns_dialog.h"
#include "core/prompts.h"
#include "export/ui/export_dialog.h"
#include "library/ui/library_panel.h"
#include "library/ui/library_window.h"
#include "library/ui/new_catalog_dialog.h"
#include "main/ui/catalog_model.h"
#include "main/ui/detail_model.h"
#include "main/ui/main_window.h"
#include "ui/progress_window.h"
#ifndef LUMIVOR_CLI_PATH
#define LUMIVOR_CLI_PATH ""
#endif
#include "modal_driver.h"
#include "support/scripted_prompts.h"
#include "test_util.h"

using lumivor::LibraryWindow;
using lumivor::NewCatalogDialog;
using lumivor::VisibleColumnsDialog;
using lumivor::testing::ModalDriver;
using lumivor::testing::ReadFile;
using lumivor::testing::TempDir;
using lumivor::testing::WriteFile;
namespace fs = std::filesystem;

namespace {

QString Q(const std::string& text) { return QString::fromStdString(text); }

struct Fixture {
  TempDir dir;
  std::string data = dir / "data";
  std::string library = data + "/CatalogLibrary";
  std::string source = dir / "Src";
  lumivor::ScriptedPrompts prompts;
  ModalDriver driver;
  std::unique_ptr<lumivor::MainWindow> window;

  Fixture() {
    WriteFile(source + "/a.txt", "aaaa");
    WriteFile(source + "/b.TXT", "bb");
    WriteFile(source + "/c.doc", "c");
    WriteFile(source + "/sub/d.txt", "d");
    fs::create_directories(source + "/empty");
    fs::create_directories(data);
    window = std::make_unique<lumivor::MainWindow>(data, &prompts);
    window->InitMainWindow();
    window->show();
    (void)QTest::qWaitForWindowExposed(window.get());
  }

  // Presses toolbar button `i` and waits until every queued dialog step has run.
  bool Press(int i) {
    window->ToolButton(i)->click();
    return QTest::qWaitFor([this] { return driver.Done(); }, 5000);
  }
};

void Settle() {
  for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
}

}  // namespace

class LibraryCommandsTest : public QObject {
  Q_OBJECT

 private slots:
  void NewCatalogScansSavesAndSelectsTheCatalog() {
    Fixture f;
    f.driver.When<NewCatalogDialog>([&](NewCatalogDialog* dialog) {
      dialog->browse_folder = [&](const QString&) { return Q(f.source); };
      dialog->browse_button->click();
      dialog->advanced_button->click();
      dialog->library_panel->SelectNodeByPath(Q(f.library + "/Mp3"));
      dialog->filter_radio->setChecked(true);
      dialog->extension_edit->setText("txt");
      dialog->add_button->click();
      dialog->name_edit->setText("Disc");
      dialog->ok_button->click();
    });
    QVERIFY(f.Press(0));
    const std::string catalog = f.library + "/Mp3/Disc.xml";
    QVERIFY(fs::exists(catalog));
    QCOMPARE(f.window->CurrentCatalogFile(), catalog);
    QCOMPARE(f.window->library_panel()->SelectedPath(), Q(catalog));
    const std::string text = ReadFile(catalog);
    for (const char* kept : {"a.txt", "b.TXT", "d.txt", "CatalogName=\"Disc\""}) {
      QVERIFY2(text.find(kept) != std::string::npos, kept);
    }
    QVERIFY(text.find("c.doc") == std::string::npos);
    QVERIFY(text.find("empty") == std::string::npos);  // pruned in the filtered scope
    QCOMPARE(f.window->CatalogSize(), std::size_t(5));
    QVERIFY(f.prompts.shown.empty());
  }

  void NewCatalogWhoseSaveFailsLeavesNoCatalogOnScreen() {
    Fixture f;
    // A folder where the catalog file belongs: the scan runs, the save cannot replace it.
    fs::create_directories(f.library + "/Mp3/Disc.xml");
    f.prompts.yes_no_answers = {true};
    f.driver.When<NewCatalogDialog>([&](NewCatalogDialog* dialog) {
      dialog->browse_folder = [&](const QString&) { return Q(f.source); };
      dialog->browse_button->click();
      dialog->advanced_button->click();
      dialog->library_panel->SelectNodeByPath(Q(f.library + "/Mp3"));
      dialog->name_edit->setText("Disc");
      dialog->ok_button->click();
    });
    QVERIFY(f.Press(0));
    QCOMPARE(f.prompts.shown.back().caption, std::string("Error"));
    QCOMPARE(f.prompts.shown.back().text,
             "Cannot write " + f.library + "/Mp3/Disc.xml: Is a directory");
    // Nothing stays that looks like a catalog, and no edit tries the failed save again.
    QCOMPARE(f.window->CatalogSize(), std::size_t(0));
    QVERIFY(f.window->CurrentCatalogFile().empty());
    QVERIFY(fs::is_directory(f.library + "/Mp3/Disc.xml"));
  }

  void NewCatalogCancelledOrWithAVanishedSourceDoesNothing() {
    Fixture f;
    f.driver.When<NewCatalogDialog>(
        [](NewCatalogDialog* dialog) { dialog->cancel_button->click(); });
    QVERIFY(f.Press(0));
    QVERIFY(f.window->CurrentCatalogFile().empty());
    QCOMPARE(f.window->library_panel()->SelectedPath(), Q(f.library));

    f.driver.When<NewCatalogDialog>([&](NewCatalogDialog* dialog) {
      dialog->browse_folder = [&](const QString&) { return Q(f.source); };
      dialog->browse_button->click();
      fs::remove_all(f.source);  // the medium was taken out
      dialog->ok_button->click();
      // The dialog says so and stays open for another choice.
      QVERIFY(dialog->isVisible());
      dialog->cancel_button->click();
    });
    QVERIFY(f.Press(0));
    QVERIFY(!fs::exists(f.library + "/Src.xml"));
    QVERIFY(f.window->CurrentCatalogFile().empty());
    QCOMPARE(f.prompts.shown.size(), std::size_t{1});
    QCOMPARE(f.prompts.shown[0].text, f.source + ": no such folder.");
  }

  void NewCatalogCancelledMidScanLeavesTheCatalogOnScreenAndItsFile() {
    Fixture f;
    const std::string catalog = f.library + "/Mp3/Disc.xml";
    const std::string old_text =
        "<fileinfo><file FileName=\"Old\" FullPath=\"Old\" FileType=\"directory\">"
        "<file FileName=\"a.avi\" FullPath=\"Old/a.avi\" FileType=\"file\"/></file></fileinfo>";
    WriteFile(catalog, old_text);
    f.window->OpenCatalog(catalog);
    QCOMPARE(f.window->CatalogSize(), std::size_t(2));
    // Enough folders that the scan is still running when Cancel is pressed, in memory when the
    // system offers it (thousands of folders are slow to make and remove on some disks).
    const std::string base = fs::is_directory("/dev/shm") ? "/dev/shm" : f.dir.Path();
    struct Removed {
      std::string path;
      ~Removed() { fs::remove_all(path); }
    } source{base + "/lumivor-scan-" + std::to_string(::getpid())};
    for (int i = 0; i < 300; ++i) {
      for (int j = 0; j < 40; ++j) {
        fs::create_directories(source.path + "/d" + std::to_string(i) + "/e" + std::to_string(j));
      }
    }
    f.window->Work().SetQuietMs(0);
    lumivor::ProgressWindow* wait = f.window->progress_window();
    bool pressed = false, commands_disabled = false, started_twice = false;
    QString text_when_pressed;
    QTimer presser;
    presser.setInterval(2);
    QObject::connect(&presser, &QTimer::timeout, [&] {
      if (pressed || !wait->isVisible() || !wait->CancelShown()) return;
      if (!wait->WaitText().contains("entries")) return;
      pressed = true;
      text_when_pressed = wait->WaitText();
      commands_disabled = f.window->library_panel()->isEnabled() == false;
      for (int i = 0; i < 6; ++i) commands_disabled &= !f.window->ToolButton(i)->isEnabled();
      // A second command cannot start: its button is disabled and the runner refuses.
      f.window->ToolButton(0)->click();
      started_twice = f.window->Work().Run([](lumivor::WorkContext&) {});
      wait->CancelButton()->click();
    });
    presser.start();
    f.prompts.yes_no_answers = {true};  // replace Disc.xml
    f.driver.When<NewCatalogDialog>([&](NewCatalogDialog* dialog) {
      dialog->browse_folder = [&](const QString&) { return Q(source.path); };
      dialog->browse_button->click();
      dialog->advanced_button->click();
      dialog->library_panel->SelectNodeByPath(Q(f.library + "/Mp3"));
      dialog->name_edit->setText("Disc");
      dialog->ok_button->click();
    });
    QVERIFY(f.Press(0));
    presser.stop();
    QVERIFY2(pressed, "the scan showed no folder to cancel at");
    QVERIFY(text_when_pressed.contains(Q(source.path)));
    QVERIFY(commands_disabled);
    QVERIFY(!started_twice);
    // Nothing written, nothing replaced on screen, and the commands are back.
    QCOMPARE(ReadFile(catalog), old_text);
    QCOMPARE(f.window->CurrentCatalogFile(), catalog);
    QCOMPARE(f.window->CatalogSize(), std::size_t(2));
    QCOMPARE(f.window->catalog_view()->model()->index(0, 0).data().toString(),
             QStringLiteral("Old"));
    for (int i = 0; i < 6; ++i) QVERIFY(f.window->ToolButton(i)->isEnabled());
    QVERIFY(f.window->library_panel()->isEnabled());
    QVERIFY(!wait->isVisible());
    QCOMPARE(f.prompts.shown.size(), std::size_t(1));  // the overwrite question, no message
    QVERIFY(f.prompts.shown[0].question);
  }

  void CatalogLibraryOpensTheChosenCatalog() {
    Fixture f;
    const std::string catalog = f.library + "/DVD/Film.xml";
    WriteFile(catalog,
              "<fileinfo><file FileName=\"Film\" FullPath=\"Film\" FileType=\"directory\">"
              "<file FileName=\"z.avi\" FullPath=\"Film/z.avi\" FileType=\"file\"/>"
              "<file FileName=\"a.avi\" FullPath=\"Film/a.avi\" FileType=\"file\"/></file>"
              "</fileinfo>");
    // An item of another catalog is in the detail pane before.
    lumivor::CatalogTree shown;
    shown.AddChild(nullptr)->SetField(lumivor::kFileName, "old");
    f.window->SetCatalogTree(std::move(shown));
    f.window->catalog_view()->setCurrentIndex(f.window->catalog_model()->index(0, 0));
    QVERIFY(f.window->DetailShowsItem());
    f.driver.When<LibraryWindow>([&](LibraryWindow* window) {
      window->library_panel->SelectNodeByPath(Q(catalog));
      window->open_button->click();
    });
    QVERIFY(f.Press(1));
    QCOMPARE(f.window->CurrentCatalogFile(), catalog);
    QCOMPARE(f.window->CatalogSize(), std::size_t(3));
    QCOMPARE(f.window->library_panel()->SelectedPath(), Q(catalog));
    // Sorted as a catalog opened from the main tree, and nothing of the old one in the pane.
    const QModelIndex top = f.window->catalog_model()->index(0, 0);
    QCOMPARE(f.window->catalog_model()->index(0, 0, top).data().toString(), QString("a.avi"));
    QCOMPARE(f.window->catalog_model()->index(1, 0, top).data().toString(), QString("z.avi"));
    QVERIFY(!f.window->DetailShowsItem());
    for (const auto& row : f.window->detail_model()->Rows()) QVERIFY(row.value != QString("old"));
  }

  void CatalogLibraryExportsTheFocusedCatalog() {
    Fixture f;
    const std::string catalog = f.library + "/DVD/Film.xml";
    WriteFile(catalog,
              "<fileinfo><file FileName=\"Film\" FullPath=\"Film\" FileType=\"directory\"/>"
              "</fileinfo>");
    QString preset;
    bool screen = true;
    f.driver.When<LibraryWindow>([&](LibraryWindow* window) {
      f.driver.When<lumivor::ExportDialog>([&](lumivor::ExportDialog* dialog) {
        preset = dialog->library_panel->SelectedPath();
        screen = dialog->screen_radio->isChecked();
        dialog->cancel_button->click();
      });
      window->library_panel->SelectNodeByPath(Q(catalog));
      window->export_button->click();  // returns when the export dialog has closed
      window->close_button->click();
    });
    QVERIFY(f.Press(1));
    QCOMPARE(preset, Q(catalog));
    QVERIFY(!screen);
  }

  void CatalogLibraryChangesShowInTheMainTree() {
    Fixture f;
    f.driver.When<LibraryWindow>([&](LibraryWindow* window) {
      window->library_panel->SelectNodeByPath(Q(f.library + "/Mp3"));
      window->edit_button->click();
      QTreeView* view = window->library_panel->TreeView();
      for (QLineEdit* editor : view->viewport()->findChildren<QLineEdit*>()) {
        if (!editor->isVisible()) continue;
        editor->setText("Audio");
        QTest::keyClick(editor, Qt::Key_Return);
      }
      Settle();
      window->close_button->click();
    });
    QVERIFY(f.Press(1));
    QVERIFY(fs::is_directory(f.library + "/Audio"));
    QVERIFY(f.window->library_panel()->SelectNodeByPath(Q(f.library + "/Audio")));
    QVERIFY(!f.window->library_panel()->SelectNodeByPath(Q(f.library + "/Mp3")));
    QVERIFY(f.window->CurrentCatalogFile().empty());
  }

  void HeaderRightClickChoosesTheVisibleColumns() {
    Fixture f;
    QHeaderView* header = f.window->catalog_view()->header();
    QVERIFY(!header->isSectionHidden(0));
    f.driver.When<VisibleColumnsDialog>([](VisibleColumnsDialog* dialog) {
      dialog->column_list->item(0)->setCheckState(Qt::Unchecked);
      dialog->ok_button->click();
    });
    emit header->customContextMenuRequested(QPoint(5, 5));
    QVERIFY(QTest::qWaitFor([&] { return f.driver.Done(); }, 5000));
    QVERIFY(header->isSectionHidden(0));
    QVERIFY(ReadFile(f.data + "/LumivorConfig.xml").find("Name=\"FileName\" Visible=\"False\"") !=
            std::string::npos);

    // Cancel leaves view and file alone.
    const std::string before = ReadFile(f.data + "/LumivorConfig.xml");
    f.driver.When<VisibleColumnsDialog>([](VisibleColumnsDialog* dialog) {
      dialog->column_list->item(1)->setCheckState(Qt::Unchecked);
      dialog->cancel_button->click();
    });
    f.window->OnVisibleColumnsClicked();
    QVERIFY(f.driver.Done());
    QVERIFY(!header->isSectionHidden(1));
    QCOMPARE(ReadFile(f.data + "/LumivorConfig.xml"), before);
  }
};

QTEST_MAIN(LibraryCommandsTest)
#include "library_commands_test.moc"
