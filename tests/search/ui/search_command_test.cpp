// The main window's Search command: scopes, results in the view, the closing message with the
// number of unreadable catalogs, and the progress window's Cancel button during a long search.

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <memory>

#include "catalog/fields.h"
#include "core/prompts.h"
#include "index/indexed_search.h"
#include "library/ui/library_panel.h"
#include "main/ui/catalog_model.h"
#include "main/ui/main_window.h"
#include "search/ui/search_dialog.h"
#include "ui/progress_window.h"
#ifndef LUMIVOR_CLI_PATH
#define LUMIVOR_CLI_PATH ""
#endif
#include "modal_driver.h"
#include "support/scripted_prompts.h"
#include "test_util.h"

using lumivor::SearchDialog;
using lumivor::testing::ModalDriver;
using lumivor::testing::TempDir;
using lumivor::testing::WriteFile;

namespace {

QString Q(const std::string& text) { return QString::fromStdString(text); }

std::string Catalog(const std::string& top, const std::vector<std::string>& names) {
  std::string text =
      "<fileinfo><file FileName=\"" + top + "\" FullPath=\"" + top + "\" FileType=\"directory\">";
  for (const std::string& name : names) {
    text +=
        "<file FileName=\"" + name + "\" FullPath=\"" + top + "/" + name + "\" FileType=\"file\"/>";
  }
  return text + "</file></fileinfo>";
}

struct Fixture {
  TempDir dir;
  std::string data = dir / "data";
  std::string library = data + "/CatalogLibrary";
  lumivor::ScriptedPrompts prompts;
  ModalDriver driver;
  std::unique_ptr<lumivor::MainWindow> window;

  Fixture() {
    // The library's search index goes to this test's own directory.
    ::setenv("LUMIVOR_CACHE_DIR", (dir / "cache").c_str(), 1);
    WriteFile(library + "/Mp3/Music.xml", Catalog("Music", {"My Song.mp3", "SONGS.txt", "x"}));
    WriteFile(library + "/Mp3/broken.xml", "<fileinfo><file");
    WriteFile(library + "/DVD/Film.xml", Catalog("Film", {"song.avi"}));
    WriteFile(library + "/Top.xml", Catalog("Top", {"song.ogg"}));
    window = std::make_unique<lumivor::MainWindow>(data, &prompts);
    window->InitMainWindow();
    window->show();
    (void)QTest::qWaitForWindowExposed(window.get());
  }

  // Searches `scope` for names holding `name`; false when the dialog steps did not all run.
  bool Search(const std::string& scope, const QString& name) {
    driver.When<SearchDialog>([scope, name](SearchDialog* dialog) {
      dialog->library_panel->SelectNodeByPath(Q(scope));
      dialog->name_edit->setText(name);
      dialog->ok_button->click();
    });
    window->ToolButton(2)->click();
    return QTest::qWaitFor([this] { return driver.Done(); }, 5000);
  }

  QStringList ResultNames(int field = lumivor::kFileName) const {
    QStringList names;
    const QAbstractItemModel* model = window->catalog_view()->model();
    for (int row = 0; row < model->rowCount(); ++row) {
      names << model->index(row, field).data().toString();
    }
    names.sort();
    return names;
  }
};

}  // namespace

class SearchCommandTest : public QObject {
  Q_OBJECT

 private slots:
  void TheWholeLibraryAGroupOrOneCatalog() {
    Fixture f;
    QVERIFY(f.Search(f.library, "song"));
    QCOMPARE(f.ResultNames(), QStringList({"My Song.mp3", "SONGS.txt", "song.avi", "song.ogg"}));
    QVERIFY(f.window->CurrentCatalogFile().empty());
    // The status line tells what is on screen, not the catalog opened before.
    QVERIFY2(f.window->StatusText().startsWith("4 results in "),
             qPrintable(f.window->StatusText()));
    QCOMPARE(f.prompts.shown.size(), std::size_t(1));
    QCOMPARE(f.prompts.shown[0].caption, std::string("Done"));
    QCOMPARE(f.prompts.shown[0].text,
             std::string("Search Finished\n\n1 file was skipped because it is not a readable "
                         "catalog."));

    QVERIFY(f.Search(f.library + "/DVD", "song"));
    QCOMPARE(f.ResultNames(), QStringList({"song.avi"}));
    QCOMPARE(f.ResultNames(lumivor::kCatalogName), QStringList({"Film"}));
    QCOMPARE(f.prompts.shown.back().text, std::string("Search Finished"));

    QVERIFY(f.Search(f.library + "/Mp3/Music.xml", "song"));
    QCOMPARE(f.ResultNames(), QStringList({"My Song.mp3", "SONGS.txt"}));
  }

  void ARegularExpressionAndTheIndexNote() {
    Fixture f;
    f.driver.When<SearchDialog>([&f](SearchDialog* dialog) {
      dialog->library_panel->SelectNodeByPath(Q(f.library));
      dialog->name_edit->setText("^song\\.");
      dialog->regex_check->setChecked(true);
      dialog->ok_button->click();
    });
    f.window->ToolButton(2)->click();
    QVERIFY(QTest::qWaitFor([&] { return f.driver.Done(); }, 5000));
    QCOMPARE(f.ResultNames(), QStringList({"song.avi", "song.ogg"}));
    // The first search made the index, and said so beside its count.
    QCOMPARE(f.window->statusBar()->currentMessage(),
             QString("2 results in 2 catalogs. The search index was made afresh."));
    QVERIFY(f.Search(f.library, "song"));
    QCOMPARE(f.window->statusBar()->currentMessage(), QString());
  }

  void CancelledDialogLeavesTheView() {
    Fixture f;
    QVERIFY(f.Search(f.library, "song"));
    const std::size_t shown = f.prompts.shown.size();
    f.driver.When<SearchDialog>([](SearchDialog* dialog) { dialog->cancel_button->click(); });
    f.window->ToolButton(2)->click();
    QVERIFY(QTest::qWaitFor([&] { return f.driver.Done(); }, 5000));
    QCOMPARE(f.ResultNames().size(), 4);
    QCOMPARE(f.prompts.shown.size(), shown);
  }

  void CancelStaysOfferedAcrossCatalogLoads() {
    Fixture f;
    // Enough results that the search cannot end between two presses of the timer, however fast
    // the machine.
    std::vector<std::string> names{"other"};
    for (int n = 0; n < 20; ++n) names.push_back("song " + std::to_string(n));
    for (int i = 0; i < 2500; ++i) {
      WriteFile(f.library + "/Many/c" + std::to_string(i) + ".xml",
                Catalog("c" + std::to_string(i), names));
    }
    // The index is up to date, so the search spends its time among the results.
    (void)lumivor::UpdateLibraryIndex(f.library, false, lumivor::NoProgress());
    lumivor::ProgressWindow* wait = f.window->progress_window();
    f.window->Work().SetQuietMs(0);  // the window from the start, however fast the search
    // Pressed while an entry of a loaded catalog is being tested, after the first polls.
    int polls = 0;
    bool pressed = false, commands_disabled = false;
    QTimer presser;
    presser.setInterval(1);
    QObject::connect(&presser, &QTimer::timeout, [&] {
      if (!wait->isVisible() || !wait->CancelShown()) return;
      if (++polls >= 2 && !pressed && wait->WaitText().startsWith("song")) {
        pressed = true;
        // Nothing else can start while the search runs.
        commands_disabled = f.window->Work().Running() && !f.window->library_panel()->isEnabled();
        for (int i = 0; i < 6; ++i) commands_disabled &= !f.window->ToolButton(i)->isEnabled();
        wait->CancelButton()->click();
      }
    });
    presser.start();
    QVERIFY(f.Search(f.library + "/Many", "song"));
    presser.stop();
    QVERIFY2(pressed, "Cancel was not offered while catalogs were searched");
    QVERIFY(commands_disabled);
    for (int i = 0; i < 6; ++i) QVERIFY(f.window->ToolButton(i)->isEnabled());
    const int results = f.ResultNames().size();
    QVERIFY2(results > 0 && results < 50000, QByteArray::number(results));
    // The user is told the search was cancelled and what it had found; the status line too.
    QCOMPARE(f.prompts.shown.back().text, "Search cancelled\n\n" + std::to_string(results) +
                                              " results were found before the cancel.");
    QVERIFY2(f.window->StatusText().endsWith(" (search cancelled)"),
             qPrintable(f.window->StatusText()));
    QVERIFY(!wait->isVisible());
  }
};

QTEST_MAIN(SearchCommandTest)
#include "search_command_test.moc"
