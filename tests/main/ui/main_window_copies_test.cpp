// Copies from the main window: Find Duplicates with Open Catalog, Where Else? on an entry,
// Compare With... and Verify on a catalog of the library, each in a window of its own.
#include <fcntl.h>
#include <sys/stat.h>

#include <QAction>
#include <QMenuBar>
#include <QPushButton>
#include <QTest>
#include <QTreeView>
#include <QTreeWidget>
#include <filesystem>
#include <memory>

#include "catalog/catalog_file.h"
#include "catalog/fields.h"
#include "copies/catalog_hashes.h"
#include "copies/ui/copies_window.h"
#include "copies/ui/differences_window.h"
#include "main/ui/catalog_model.h"
#include "main/ui/main_window.h"
#include "scan/scanner.h"
#ifndef LUMIVOR_CLI_PATH
#define LUMIVOR_CLI_PATH ""
#endif
#include "support/scripted_prompts.h"
#include "test_util.h"

using namespace lumivor;
namespace fs = std::filesystem;

namespace {

// A library of two catalogs with content hashes: a photo on both media (under other names), and
// a file of each alone.
struct Fixture {
  testing::TempDir dir;
  std::string one = dir / "one", two = dir / "two";
  std::string one_catalog = dir / "CatalogLibrary/Document/One.xml";
  std::string two_catalog = dir / "CatalogLibrary/Document/Two.xml";
  ScriptedPrompts prompts;
  std::unique_ptr<MainWindow> window;

  Fixture() {
    testing::WriteFile(one + "/photo.jpg", std::string(4000, 'p'));
    testing::WriteFile(one + "/letter.txt", "dear");
    testing::WriteFile(two + "/backup/img_0001.jpg", std::string(4000, 'p'));
    testing::WriteFile(two + "/alone.txt", "alone");
    fs::create_directories(dir / "CatalogLibrary/Document");
    Catalogue(one, one_catalog);
    Catalogue(two, two_catalog);
    window = std::make_unique<MainWindow>(dir.Path(), &prompts);
    window->InitMainWindow();
    window->show();
    (void)QTest::qWaitForWindowExposed(window.get());
  }

  static void Catalogue(const std::string& folder, const std::string& catalog) {
    CatalogTree tree;
    ScanFolder(&tree, folder, false, "", catalog);
    (void)HashCatalogFiles(tree, folder, {}, {}, NoProgress());
    WriteCatalogFile(tree, catalog, NoProgress());
  }

  template <typename T>
  T* Shown() const {
    const auto windows = window->findChildren<T*>();
    return windows.isEmpty() ? nullptr : windows.back();
  }
};

QAction* MenuAction(MainWindow* window, const QString& name) {
  return window->menuBar()->findChild<QAction*>(name);
}

}  // namespace

class MainWindowCopiesTest : public QObject {
  Q_OBJECT

 private slots:
  void FindDuplicatesShowsTheGroupAndOpensACopyInItsCatalog() {
    Fixture f;
    QAction* find = MenuAction(f.window.get(), QStringLiteral("ActFindDuplicates"));
    QVERIFY(find != nullptr);
    find->trigger();
    CopiesWindow* copies = f.Shown<CopiesWindow>();
    QVERIFY(copies != nullptr);
    QTreeWidget* tree = copies->Tree();
    QCOMPARE(tree->topLevelItemCount(), 1);
    QTreeWidgetItem* group = tree->topLevelItem(0);
    QCOMPARE(group->childCount(), 2);
    QCOMPARE(group->text(CopiesWindow::kWastedColumn), QStringLiteral("4,000"));
    QStringList paths;
    for (int i = 0; i < group->childCount(); ++i) paths << group->child(i)->text(0);
    paths.sort();
    QCOMPARE(paths, (QStringList{QString::fromStdString(f.one + "/photo.jpg"),
                                 QString::fromStdString(f.two + "/backup/img_0001.jpg")}));

    // Open Catalog shows the copy's catalog with the copy selected.
    QTreeWidgetItem* second =
        group->child(0)->text(0).contains("img_0001") ? group->child(0) : group->child(1);
    tree->setCurrentItem(second);
    QVERIFY(copies->OpenButton()->isEnabled());
    copies->OpenButton()->click();
    QCOMPARE(f.window->CurrentCatalogFile(), f.two_catalog);
    const CatalogTree::Node* selected =
        CatalogModel::NodeOf(f.window->catalog_view()->currentIndex());
    QVERIFY(selected != nullptr);
    QCOMPARE(selected->Field(kFullPath), f.two + "/backup/img_0001.jpg");

    // Where Else? on that entry lists the same two copies.
    f.window->OnWhereElseClicked(selected);
    CopiesWindow* where = f.Shown<CopiesWindow>();
    QVERIFY(where != copies);
    QCOMPARE(where->Tree()->topLevelItemCount(), 1);
    QCOMPARE(where->Tree()->topLevelItem(0)->childCount(), 2);
  }

  void CompareWithListsEachDifferenceWithItsKind() {
    Fixture f;
    f.prompts.file_answers.push_back(f.two_catalog);
    f.window->CompareCatalogWith(f.one_catalog);
    DifferencesWindow* differences = f.Shown<DifferencesWindow>();
    QVERIFY(differences != nullptr);
    QStringList rows;
    for (int i = 0; i < differences->List()->topLevelItemCount(); ++i) {
      const QTreeWidgetItem* item = differences->List()->topLevelItem(i);
      rows << item->text(0) + ' ' + item->text(1) + ' ' + item->text(2);
    }
    QCOMPARE(rows, (QStringList{QStringLiteral("moved photo.jpg backup/img_0001.jpg"),
                                QStringLiteral("only in A letter.txt "),
                                QStringLiteral("only in B alone.txt ")}));
    QCOMPARE(differences->Summary(), QStringLiteral("only_a=1 only_b=1 changed=0 moved=1 same=0"));
  }

  void VerifyFindsADamagedAndAMissingFile() {
    Fixture f;
    struct stat info;
    QCOMPARE(::stat((f.one + "/photo.jpg").c_str(), &info), 0);
    testing::WriteFile(f.one + "/photo.jpg", std::string(3999, 'p') + "q");
    const timespec times[2] = {info.st_mtim, info.st_mtim};
    QCOMPARE(::utimensat(AT_FDCWD, (f.one + "/photo.jpg").c_str(), times, 0), 0);
    fs::remove(f.one + "/letter.txt");
    f.window->VerifyCatalog(f.one_catalog);
    DifferencesWindow* findings = f.Shown<DifferencesWindow>();
    QVERIFY(findings != nullptr);
    QCOMPARE(findings->List()->topLevelItemCount(), 2);
    QCOMPARE(findings->Summary(),
             QStringLiteral("checked=2 ok=0 damaged=1 changed=0 missing=1 unhashed=0"));
  }
};

QTEST_MAIN(MainWindowCopiesTest)
#include "main_window_copies_test.moc"
