// The main window on a server library: connecting, browsing, a description saved at once and a
// conflicting one refused, and a lost server that leaves the window usable.
#include <QLabel>
#include <QStatusBar>
#include <QTest>

#include "catalog/fields.h"
#include "config/config.h"
#include "library/ui/library_panel.h"
#include "main/ui/catalog_model.h"
#include "main/ui/main_window.h"
#include "server/server_library.h"
#include "support/pg_test_server.h"
#ifndef LUMIVOR_CLI_PATH
#define LUMIVOR_CLI_PATH ""
#endif
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

 private:
  testing::PgTestServer server_;
};

QTEST_MAIN(SharedLibraryTest)
#include "shared_library_pg_test.moc"
