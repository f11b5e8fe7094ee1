// The main window on a server library: connecting, browsing, a description saved at once and a
// conflicting one refused, and a lost server that leaves the window usable; the library window's
// changes and the search on the server.
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTest>
#include <QTreeView>

#include "catalog/catalog_file.h"
#include "catalog/fields.h"
#include "config/config.h"
#include "library/ui/library_panel.h"
#include "library/ui/library_window.h"
#include "library/ui/new_catalog_dialog.h"
#include "main/ui/catalog_model.h"
#include "main/ui/main_window.h"
#include "main/ui/update_summary_dialog.h"
#include "scan/scanner.h"
#include "search/search.h"
#include "server/server_library.h"
#include "support/pg_test_server.h"
#ifndef LUMIVOR_CLI_PATH
#define LUMIVOR_CLI_PATH ""
#endif
#include "modal_driver.h"
#include "support/scripted_prompts.h"
#include "test_util.h"

using namespace lumivor;

namespace {

// The description of the record at `path` in the server catalog Disks/Data.
std::string ServerDescription(const std::string& uri, const std::string& path) {
  struct Find final : RecordSink {
    bool Add(const RecordView& record) override {
      if (record.fields[kFullPath] == path) found = std::string(record.fields[kDescription]);
      return true;
    }
    std::string path, found;
  } find;
  find.path = path;
  ServerLibrary(uri).ReadCatalog("Disks/Data", find);
  return find.found;
}

// Types `text` into the open name editor of `window` and presses Return.
bool EnterName(LibraryWindow& window, const QString& text) {
  QTreeView* view = window.library_panel->TreeView();
  for (QLineEdit* edit : view->viewport()->findChildren<QLineEdit*>()) {
    if (!edit->isVisible()) continue;
    edit->setText(text);
    QTest::keyClick(edit, Qt::Key_Return);
    for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
    return true;
  }
  return false;
}

std::int64_t Count(const std::string& uri, const std::string& sql) {
  return ServerLibrary(uri).Connection().Exec(sql).Int(0, 0);
}

}  // namespace

class SharedLibraryTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() { QVERIFY2(server_.Start(), server_.Error().c_str()); }

  void BrowsesEditsAndSurvivesALostServer() {
    const std::string uri = server_.CreateDatabase("window");
    testing::TempDir dir;
    testing::WriteFile(
        dir / "lib/Disks/Data.xml",
        "<?xml version=\"1.0\"?><fileinfo generated=\"x\"><file FileName=\"/d\" FullPath=\"/d\" "
        "FileType=\"directory\"><file FileName=\"a.txt\" FullPath=\"/d/a.txt\" FileType=\"file\" "
        "Description=\"old\"/></file></fileinfo>");
    ServerLibrary(uri).Push(dir / "lib", NoProgress());

    ScriptedPrompts prompts;
    MainWindow window(dir / "app", &prompts);
    window.InitMainWindow();
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    window.UseLibrary(uri);
    const std::string shown = pg::RedactedConnInfo(uri);
    QCOMPARE(window.findChild<QLabel*>("SBLibrary")->text(),
             QString::fromStdString("Shared library: " + shown));

    // The catalog opens from the library tree, and an edit goes to the server at once.
    QVERIFY(window.library_panel()->SelectNodeByPath(
        QString::fromStdString(shown + "/Disks/Data.xml")));
    window.OnLibraryTreeClicked();
    QCOMPARE(window.CurrentCatalogFile(), shown + "/Disks/Data.xml");
    CatalogModel* model = window.catalog_model();
    const QModelIndex file = model->index(0, 0, model->index(0, 0));
    CatalogTree::Node* node = model->NodeOf(file);
    QVERIFY(node != nullptr);
    window.ApplyEdit(node, kDescription, "mine");
    QCOMPARE(ServerDescription(uri, "/d/a.txt"), std::string("mine"));

    // Someone else changes it; this window's next edit is refused and shows their text, which
    // stays when the user keeps it (No).
    QVERIFY(ServerLibrary(uri).Describe("Disks/Data", "/d/a.txt", "theirs", {}).status ==
            DescribeOutcome::Status::kSaved);
    prompts.shown.clear();
    window.ApplyEdit(node, kDescription, "again");
    QCOMPARE(ServerDescription(uri, "/d/a.txt"), std::string("theirs"));
    QCOMPARE(std::string(node->Field(kDescription)), std::string("theirs"));
    QCOMPARE(prompts.shown.size(), std::size_t{1});
    QVERIFY(prompts.shown[0].text.find("theirs") != std::string::npos);

    // The server stops: one message, the window stays; it lists again once the server is back.
    QVERIFY(server_.Stop());
    prompts.shown.clear();
    window.OnRefreshClicked();
    QCOMPARE(prompts.shown.size(), std::size_t{1});
    QVERIFY(window.isVisible());
    QVERIFY(server_.Restart());
    prompts.shown.clear();
    window.OnRefreshClicked();
    QVERIFY(prompts.shown.empty());
    QVERIFY(window.library_panel()->SelectNodeByPath(
        QString::fromStdString(shown + "/Disks/Data.xml")));
  }

  void LibraryWindowAndSearchWorkOnTheServer() {
    const std::string uri = server_.CreateDatabase("library_window");
    testing::TempDir dir;
    testing::WriteFile(
        dir / "lib/Disks/Data.xml",
        "<?xml version=\"1.0\"?><fileinfo generated=\"x\"><file FileName=\"/d\" FullPath=\"/d\" "
        "FileType=\"directory\"><file FileName=\"a.txt\" FullPath=\"/d/a.txt\" FileType=\"file\" "
        "FileExt=\"txt\"/></file></fileinfo>");
    testing::WriteFile(dir / "lib/Music.xml",
                       "<?xml version=\"1.0\"?><fileinfo generated=\"x\"><file FileName=\"/m\" "
                       "FullPath=\"/m\" FileType=\"directory\"/></fileinfo>");
    ServerLibrary(uri).Push(dir / "lib", NoProgress());
    const std::string shown = pg::RedactedConnInfo(uri);
    const auto at = [&](const std::string& item) { return QString::fromStdString(shown + item); };

    ScriptedPrompts prompts;
    LibraryWindow window(prompts, QString::fromStdString(uri));
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    // A catalog and a group renamed in place, on the server.
    QVERIFY(window.library_panel->SelectNodeByPath(at("/Disks/Data.xml")));
    window.edit_button->click();
    QVERIFY(EnterName(window, "Stuff"));
    QCOMPARE(ServerLibrary(uri).FindCatalog("Disks/Stuff").file_name, std::string("Stuff.xml"));
    QVERIFY(window.library_panel->SelectNodeByPath(at("/Disks")));
    window.edit_button->click();
    QVERIFY(EnterName(window, "Drives"));
    QCOMPARE(ServerLibrary(uri).FindCatalog("Drives/Stuff").group, std::string("Drives"));
    // A new group, a move to the top, and deletions.
    window.new_catalog_button->click();
    QVERIFY(EnterName(window, "Fresh"));
    QCOMPARE(Count(uri, "SELECT count(*) FROM library_groups WHERE path = 'Fresh'"), 1);
    QVERIFY(window.MoveItem(at("/Drives/Stuff.xml"), at("/Fresh")));
    QCOMPARE(ServerLibrary(uri).FindCatalog("Fresh/Stuff").group, std::string("Fresh"));
    QVERIFY(window.library_panel->SelectNodeByPath(at("/Fresh/Stuff.xml")));
    prompts.yes_no_answers.push_back(true);
    window.delete_button->click();
    QCOMPARE(Count(uri, "SELECT count(*) FROM catalogs"), 1);
    QCOMPARE(Count(uri, "SELECT count(*) FROM entries"), 1);  // Music's
    QVERIFY(window.library_panel->SelectNodeByPath(at("/Drives")));
    prompts.yes_no_answers.push_back(true);
    window.delete_button->click();
    QCOMPARE(Count(uri, "SELECT count(*) FROM library_groups WHERE path = 'Drives'"), 0);
    QVERIFY(!window.library_panel->SelectNodeByPath(at("/Drives")));

    // The main window searches the server library.
    ServerLibrary(uri).Push(dir / "lib", NoProgress());
    MainWindow main(dir / "app", &prompts);
    main.InitMainWindow();
    main.UseLibrary(uri);
    SearchCriteria criteria;
    criteria.name = "a.t";
    criteria.scope_path = shown + "/Disks";
    criteria.scope_is_directory = true;
    prompts.shown.clear();
    main.RunSearch(criteria);
    CatalogModel* model = main.catalog_model();
    QCOMPARE(model->rowCount(model->index(-1, -1)), 1);
    QVERIFY(prompts.shown.size() == 1 && prompts.shown[0].caption == "Done");

    // A result's description is saved on the server at once; one someone else changed meanwhile
    // is refused with their text, which the row then shows.
    CatalogTree::Node* result = model->NodeOf(model->index(0, 0));
    QVERIFY(result != nullptr);
    prompts.shown.clear();
    main.ApplyEdit(result, kDescription, "from a result");
    QCOMPARE(ServerDescription(uri, "/d/a.txt"), std::string("from a result"));
    QCOMPARE(std::string(result->Field(kDescription)), std::string("from a result"));
    QVERIFY(prompts.shown.empty());
    QVERIFY(ServerLibrary(uri).Describe("Disks/Data", "/d/a.txt", "theirs", {}).status ==
            DescribeOutcome::Status::kSaved);
    prompts.yes_no_answers.push_back(false);
    main.ApplyEdit(result, kDescription, "stale");
    QCOMPARE(ServerDescription(uri, "/d/a.txt"), std::string("theirs"));
    QCOMPARE(std::string(result->Field(kDescription)), std::string("theirs"));
    QCOMPARE(prompts.shown.size(), std::size_t{1});
    QVERIFY(prompts.shown[0].text.find("theirs") != std::string::npos);
    // A rename writes the catalog back whole, keeping the description.
    main.ApplyEdit(result, kFileName, "b.txt");
    QCOMPARE(std::string(result->Field(kFullPath)), std::string("/d/b.txt"));
    QCOMPARE(ServerDescription(uri, "/d/b.txt"), std::string("theirs"));
  }

  void AServerCatalogIsUpdatedFromItsMedium() {
    const std::string uri = server_.CreateDatabase("update");
    testing::TempDir dir;
    const std::string medium = dir / "medium";
    testing::WriteFile(medium + "/a.txt", "aaaa");
    CatalogTree tree;
    ScanFolder(&tree, medium, false, "", dir / "lib/Disks/Data.xml");
    tree.ForEachPreOrder([](const CatalogTree::Node* node, int) {
      if (node->Field(kFileName) == "a.txt") {
        const_cast<CatalogTree::Node*>(node)->SetField(kDescription, "kept");
      }
    });
    std::filesystem::create_directories(dir / "lib/Disks");
    WriteCatalogFile(tree, dir / "lib/Disks/Data.xml", NoProgress());
    ServerLibrary(uri).Push(dir / "lib", NoProgress());
    testing::WriteFile(medium + "/b.txt", "bb");

    ScriptedPrompts prompts;
    MainWindow window(dir / "app", &prompts);
    window.InitMainWindow();
    window.UseLibrary(uri);
    const std::string catalog = pg::RedactedConnInfo(uri) + "/Disks/Data.xml";
    testing::ModalDriver driver;
    driver.When<UpdateSummaryDialog>([](UpdateSummaryDialog* summary) { summary->accept(); });
    QVERIFY(window.UpdateCatalog(catalog));
    QTRY_VERIFY(driver.Done());
    // The new file is in the catalog on the server, and the description stayed.
    QCOMPARE(ServerDescription(uri, medium + "/a.txt"), std::string("kept"));
    QCOMPARE(Count(uri, "SELECT count(*) FROM entries WHERE file_name = 'b.txt'"), 1);

    // A file gone from the medium stays, marked missing, for its description; removing the
    // missing entries takes it out of the catalog on the server.
    std::filesystem::remove(medium + "/a.txt");
    testing::ModalDriver again;
    again.When<UpdateSummaryDialog>([](UpdateSummaryDialog* summary) { summary->accept(); });
    QVERIFY(window.UpdateCatalog(catalog));
    QTRY_VERIFY(again.Done());
    QCOMPARE(Count(uri, "SELECT count(*) FROM entries WHERE file_name = 'a.txt'"), 1);
    prompts.yes_no_answers.push_back(true);
    QVERIFY(window.RemoveMissing(catalog));
    QCOMPARE(Count(uri, "SELECT count(*) FROM entries WHERE file_name = 'a.txt'"), 0);
    QCOMPARE(Count(uri, "SELECT count(*) FROM entries WHERE file_name = 'b.txt'"), 1);
  }

  void NewCatalogIsPlannedOnTheServer() {
    const std::string uri = server_.CreateDatabase("new_catalog");
    testing::TempDir dir;
    testing::WriteFile(dir / "lib/Disks/Data.xml",
                       "<?xml version=\"1.0\"?><fileinfo generated=\"x\"><file FileName=\"/d\" "
                       "FullPath=\"/d\" FileType=\"directory\"/></fileinfo>");
    ServerLibrary(uri).Push(dir / "lib", NoProgress());
    const std::string shown = pg::RedactedConnInfo(uri);

    ScriptedPrompts prompts;
    NewCatalogDialog dialog(prompts, QString::fromStdString(uri));
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QTest::keyClicks(dialog.folder_edit, QString::fromStdString(dir.Path()));
    QVERIFY(dialog.ok_button->isEnabled());
    QVERIFY(dialog.library_panel->SelectNodeByPath(QString::fromStdString(shown + "/Disks")));
    // A catalog of that name on the server: replacing it is asked, and No keeps the dialog.
    dialog.name_edit->setText(QStringLiteral("Data"));
    dialog.ok_button->click();
    QCOMPARE(prompts.shown.size(), std::size_t{1});
    QVERIFY(prompts.shown[0].question);
    QCOMPARE(dialog.result(), int(QDialog::Rejected));
    dialog.name_edit->setText(QStringLiteral("New"));
    dialog.ok_button->click();
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QCOMPARE(dialog.Plan().group, std::string("Disks"));
    QCOMPARE(dialog.Plan().name, std::string("New"));
    QCOMPARE(dialog.CatalogFile(), QString::fromStdString(shown + "/Disks/New.xml"));
  }

 private:
  testing::PgTestServer server_;
};

QTEST_MAIN(SharedLibraryTest)
#include "shared_library_pg_test.moc"
