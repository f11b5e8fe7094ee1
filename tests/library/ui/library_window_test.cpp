// The library window: button states, the new-group state machine, renames, deletion, drag
// targets and moves, open and export.

#include <sys/stat.h>
#include <unistd.h>
#include <QAbstractItemModelTester>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QTest>
#include <QTreeView>
#include <filesystem>
#include <memory>

#include "core/prompts.h"
#include "library/library_storage.h"
#include "library/ui/library_panel.h"
#include "library/ui/library_window.h"
#ifndef LUMIVOR_CLI_PATH
#define LUMIVOR_CLI_PATH ""
#endif
#include "support/scripted_prompts.h"
#include "test_util.h"

using lumivor::LibraryTreeModel;
using lumivor::LibraryWindow;
using lumivor::ScriptedPrompts;
using lumivor::testing::TempDir;
using lumivor::testing::WriteFile;
namespace fs = std::filesystem;

namespace {

QString Q(const std::string& text) { return QString::fromStdString(text); }

void Settle() {
  for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
}

// A library: Mp3 (Photos.xml, Old/), DVD (Film.xml), and Music.xml in the root.
struct Fixture {
  TempDir dir;
  std::string root = dir / "CatalogLibrary";
  ScriptedPrompts prompts;
  std::unique_ptr<LibraryWindow> window;
  std::unique_ptr<QAbstractItemModelTester> tester;

  Fixture() {
    WriteFile(root + "/Mp3/Photos.xml", "<fileinfo/>");
    fs::create_directories(root + "/Mp3/Old");
    WriteFile(root + "/DVD/Film.xml", "<fileinfo/>");
    WriteFile(root + "/Music.xml", "<fileinfo/>");
    window = std::make_unique<LibraryWindow>(prompts, Q(root));
    // Every insertion, removal, rename and refresh below runs under the model checker.
    tester = std::make_unique<QAbstractItemModelTester>(
        window->library_panel->Model(), QAbstractItemModelTester::FailureReportingMode::QtTest);
    window->show();
    (void)QTest::qWaitForWindowExposed(window.get());
  }

  QTreeView* View() const { return window->library_panel->TreeView(); }
  LibraryTreeModel* Model() const { return window->library_panel->Model(); }
  bool Select(const std::string& path) const {
    return window->library_panel->SelectNodeByPath(Q(path));
  }
  QLineEdit* Editor() const {
    for (QLineEdit* edit : View()->viewport()->findChildren<QLineEdit*>()) {
      if (edit->isVisible()) return edit;
    }
    return nullptr;
  }
  // Types `text` into the open editor (if given) and presses `key`.
  bool Finish(Qt::Key key, const QString* text = nullptr) const {
    QLineEdit* editor = Editor();
    if (editor == nullptr) return false;
    if (text != nullptr) editor->setText(*text);
    QTest::keyClick(editor, key);
    Settle();
    return true;
  }
  bool Enter(const QString& text) const { return Finish(Qt::Key_Return, &text); }
  QStringList TopNames() const {
    QStringList names;
    const QModelIndex top = Model()->index(0, 0);
    for (int row = 0; row < Model()->rowCount(top); ++row) {
      names << Model()->index(row, 0, top).data().toString();
    }
    names.sort();
    return names;
  }
  // The names below the root in the order shown.
  QStringList TopOrder() const {
    QStringList names;
    const QModelIndex top = Model()->index(0, 0);
    for (int row = 0; row < Model()->rowCount(top); ++row) {
      names << Model()->index(row, 0, top).data().toString();
    }
    return names;
  }
};

}  // namespace

class LibraryWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void ButtonsFollowTheSelection() {
    Fixture f;
    QCOMPARE(f.window->windowTitle(), QString("Catalog Library "));
    QCOMPARE(f.Model()->headerData(0, Qt::Horizontal).toString(),
             QString("Name  (Press F2 to edit)"));
    QVERIFY(!f.window->open_button->isEnabled());
    QVERIFY(!f.window->export_button->isEnabled());
    QVERIFY(!f.window->delete_button->isEnabled());
    QVERIFY(f.Select(f.root + "/Mp3"));
    QVERIFY(!f.window->open_button->isEnabled());
    QVERIFY(!f.window->export_button->isEnabled());
    QVERIFY(f.window->delete_button->isEnabled());
    QVERIFY(f.Select(f.root + "/Mp3/Photos.xml"));
    QVERIFY(f.window->open_button->isEnabled() && f.window->export_button->isEnabled());
    QVERIFY(f.window->delete_button->isEnabled());
    QVERIFY(f.window->new_catalog_button->isEnabled() && f.window->edit_button->isEnabled());
  }

  void NewGroupTakesTheProposedNameOnEnter() {
    Fixture f;
    QVERIFY(f.Select(f.root + "/Mp3"));  // new groups go into the root whatever is selected
    f.window->new_catalog_button->click();
    QVERIFY(f.window->NewGroupPending());
    QVERIFY(!fs::exists(f.root + "/NewGroup"));  // nothing on disk until the name is committed
    QVERIFY(f.Finish(Qt::Key_Return));
    QVERIFY(fs::is_directory(f.root + "/NewGroup"));
    QVERIFY(!f.window->NewGroupPending());
    QCOMPARE(f.TopNames(), QStringList({"DVD", "Mp3", "Music", "NewGroup"}));

    // Again: the name exists, so the editor re-opens without a message.
    f.window->new_catalog_button->click();
    QVERIFY(f.Finish(Qt::Key_Return));
    QVERIFY(f.prompts.shown.empty());
    QVERIFY(f.window->NewGroupPending());
    QVERIFY(f.Editor() != nullptr);
    // Escape discards the node and leaves the disk alone.
    QVERIFY(f.Finish(Qt::Key_Escape));
    QVERIFY(!f.window->NewGroupPending());
    QCOMPARE(f.TopNames(), QStringList({"DVD", "Mp3", "Music", "NewGroup"}));
  }

  void NewGroupRefusesClashesAndInvalidNames() {
    Fixture f;
    f.window->new_catalog_button->click();
    QVERIFY(f.Enter("Mp3"));
    QCOMPARE(f.prompts.shown.size(), std::size_t(1));
    QCOMPARE(f.prompts.shown[0].text, std::string("A file with the name already exists!"));
    QCOMPARE(f.prompts.shown[0].caption, std::string("Warning"));
    QVERIFY(f.window->NewGroupPending());
    QVERIFY(f.Editor() != nullptr);              // re-opened on the new node
    QVERIFY(!fs::exists(f.root + "/NewGroup"));  // the clash did not create the proposed name
    for (const char* bad : {"..", ".hidden", "a/b", ""}) {
      QVERIFY(f.Enter(bad));
      QCOMPARE(f.prompts.shown.back().text, std::string(lumivor::LibraryNameRefusal(bad)));
      QVERIFY(f.prompts.shown.back().text.size() > lumivor::kInvalidName.size());
      QVERIFY(f.window->NewGroupPending());
    }
    QVERIFY(f.Enter("Books"));
    QVERIFY(fs::is_directory(f.root + "/Books"));
    QVERIFY(!f.window->NewGroupPending());
    QVERIFY(f.Select(f.root + "/Books"));  // the node carries the new path
  }

  void NewGroupIsCreatedWhenTheFocusMovesAway() {
    Fixture f;
    f.window->new_catalog_button->click();
    QVERIFY(f.Editor() != nullptr);
    f.Editor()->setText("Later");
    QVERIFY(f.Select(f.root + "/DVD"));  // focus leaves the editor and the node
    Settle();
    QVERIFY(fs::is_directory(f.root + "/Later"));
    QVERIFY(!f.window->NewGroupPending());
    QCOMPARE(f.window->library_panel->SelectedPath(), Q(f.root + "/DVD"));
  }

  void ListsStayInOrderAfterANewGroupOrARenameGroupsFirst() {
    Fixture f;
    QCOMPARE(f.TopOrder(), QStringList({"DVD", "Mp3", "Music"}));
    f.window->new_catalog_button->click();
    QVERIFY(f.Enter("Aaa"));
    QTRY_COMPARE(f.TopOrder(), QStringList({"Aaa", "DVD", "Mp3", "Music"}));
    QVERIFY(f.Select(f.root + "/DVD"));
    f.window->edit_button->click();
    QVERIFY(f.Enter("Zed"));
    QTRY_COMPARE(f.TopOrder(), QStringList({"Aaa", "Mp3", "Zed", "Music"}));
    // A catalog renamed before the groups alphabetically still comes after them.
    QVERIFY(f.Select(f.root + "/Music.xml"));
    f.window->edit_button->click();
    QVERIFY(f.Enter("0-first"));
    QTRY_COMPARE(f.TopOrder(), QStringList({"Aaa", "Mp3", "Zed", "0-first"}));
  }

  void RenamesCatalogsAndGroupsOnDisk() {
    Fixture f;
    QVERIFY(f.Select(f.root + "/Mp3/Photos.xml"));
    QTest::keyClick(f.View(), Qt::Key_F2);
    QVERIFY(f.Enter("Music"));  // Music.xml exists in the root, not in Mp3
    QVERIFY(fs::exists(f.root + "/Mp3/Music.xml"));
    QVERIFY(!fs::exists(f.root + "/Mp3/Photos.xml"));
    QVERIFY(f.prompts.shown.empty());

    WriteFile(f.root + "/Mp3/Pictures.xml", "<fileinfo/>");
    f.window->edit_button->click();
    QVERIFY(f.Enter("Pictures"));  // clash
    QCOMPARE(f.prompts.shown.back().text, std::string("A file with the name already exists!"));
    QVERIFY(fs::exists(f.root + "/Mp3/Music.xml"));
    QVERIFY(f.Finish(Qt::Key_Escape));
    f.window->edit_button->click();
    QVERIFY(f.Enter(".hidden"));
    QCOMPARE(f.prompts.shown.back().text,
             std::string("Invalid name. A name cannot begin with a \".\"."));
    QVERIFY(f.Finish(Qt::Key_Escape));

    // A change of letter case alone is a rename (this file system tells the names apart).
    f.window->edit_button->click();
    QVERIFY(f.Enter("music"));
    QVERIFY(fs::exists(f.root + "/Mp3/music.xml"));
    QVERIFY(!fs::exists(f.root + "/Mp3/Music.xml"));

    // A renamed group: the nodes below it address the new directory.
    QVERIFY(f.Select(f.root + "/Mp3"));
    f.window->edit_button->click();
    QVERIFY(f.Enter("Audio"));
    QVERIFY(fs::is_directory(f.root + "/Audio/Old"));
    QVERIFY(f.Select(f.root + "/Audio/music.xml"));
    f.window->open_button->click();
    QCOMPARE(f.window->SelectedCatalog(), Q(f.root + "/Audio/music.xml"));
    QCOMPARE(f.window->result(), int(QDialog::Accepted));
  }

  void RenameFailuresAreReportedAndTheTreeKeepsTheDiskState() {
    Fixture f;
    QVERIFY(f.Select(f.root + "/DVD"));
    f.window->edit_button->click();
    QVERIFY(f.Enter(QString(300, 'x')));  // longer than a file name may be: refused first
    QCOMPARE(f.prompts.shown.back().caption, std::string("Warning"));
    QCOMPARE(f.prompts.shown.back().text,
             std::string("Invalid name. The name is too long for the file system."));
    QVERIFY(f.Finish(Qt::Key_Escape));
    QCOMPARE(f.window->library_panel->SelectedPath(), Q(f.root + "/DVD"));
    QVERIFY(f.TopNames().contains("DVD"));
    // A group that another program removed meanwhile: the rename fails and is reported.
    fs::remove_all(f.root + "/DVD");
    f.window->edit_button->click();
    QVERIFY(f.Enter("Discs"));
    QCOMPARE(f.prompts.shown.back().caption, std::string("Error"));
    QVERIFY(!f.TopNames().contains("Discs"));
    QVERIFY(!fs::exists(f.root + "/Discs"));
  }

  void FailuresOnDiskAreReportedAndTheTreeShowsTheDisk() {
    Fixture f;
    // A group whose directory cannot be made (its library folder went away meanwhile):
    // reported, and no node is left for it.
    const std::string moved_root = f.root + ".away";
    fs::rename(f.root, moved_root);
    f.window->new_catalog_button->click();
    QVERIFY(f.Enter("Fresh"));
    fs::rename(moved_root, f.root);
    QCOMPARE(f.prompts.shown.back().caption, std::string("Error"));
    QVERIFY(!f.window->NewGroupPending());
    QVERIFY(!fs::exists(f.root + "/Fresh"));

    // A catalog that went away meanwhile: the failed deletion is reported and the tree is
    // listed afresh.
    QVERIFY(f.Select(f.root + "/DVD/Film.xml"));
    fs::remove(f.root + "/DVD/Film.xml");
    f.prompts.yes_no_answers = {true};
    f.window->delete_button->click();
    QCOMPARE(f.prompts.shown.back().caption, std::string("Error"));
    QCOMPARE(f.window->library_panel->SelectedPath(), Q(f.root + "/DVD"));  // its group
    QVERIFY(!f.Select(f.root + "/DVD/Film.xml"));
  }

  void TheRootCannotBeRenamedDraggedOrDeleted() {
    Fixture f;
    QCOMPARE(f.window->library_panel->SelectedPath(), Q(f.root));
    QTest::keyClick(f.View(), Qt::Key_F2);
    QVERIFY(f.Editor() == nullptr);
    f.window->delete_button->click();  // disabled
    const QModelIndex top = f.Model()->index(0, 0);
    QVERIFY(!(f.Model()->flags(top) & Qt::ItemIsDragEnabled));
    QVERIFY(f.prompts.shown.empty());
  }

  void DragTargetsAndMoves() {
    Fixture f;
    LibraryTreeModel* model = f.Model();
    const auto index_of = [&](const std::string& path) {
      return model->IndexOf(model->FindByPath(Q(path)));
    };
    const auto can_drop = [&](const std::string& dragged, const std::string& target) {
      if (!f.Select(dragged)) return false;
      std::unique_ptr<QMimeData> data(model->mimeData({index_of(dragged)}));
      return model->canDropMimeData(data.get(), Qt::MoveAction, -1, -1, index_of(target));
    };
    QVERIFY(!can_drop(f.root + "/Mp3", f.root + "/Mp3/Old"));  // into its own group
    QVERIFY(!can_drop(f.root + "/Mp3", f.root + "/Mp3"));
    QVERIFY(!can_drop(f.root + "/Music.xml", f.root + "/DVD/Film.xml"));  // onto a catalog
    QVERIFY(!can_drop(f.root + "/Music.xml", f.root));                    // already there
    QVERIFY(can_drop(f.root + "/Music.xml", f.root + "/Mp3/Old"));
    QVERIFY(can_drop(f.root + "/Mp3/Old", f.root));
    QVERIFY(can_drop(f.root + "/DVD", f.root + "/Mp3"));

    // A drop moves once the drag is over, then the tree is listed afresh.
    QVERIFY(f.Select(f.root + "/DVD/Film.xml"));
    std::unique_ptr<QMimeData> data(model->mimeData({index_of(f.root + "/DVD/Film.xml")}));
    model->dropMimeData(data.get(), Qt::MoveAction, -1, -1, index_of(f.root + "/Mp3"));
    QVERIFY(fs::exists(f.root + "/DVD/Film.xml"));
    Settle();
    QVERIFY(fs::exists(f.root + "/Mp3/Film.xml"));
    QVERIFY(!fs::exists(f.root + "/DVD/Film.xml"));
    QVERIFY(f.Select(f.root + "/Mp3/Film.xml"));

    // Onto an item of the same name: asked first, No keeps both.
    WriteFile(f.root + "/DVD/Film.xml", "new");
    f.prompts.yes_no_answers = {false};
    QVERIFY(!f.window->MoveItem(Q(f.root + "/DVD/Film.xml"), Q(f.root + "/Mp3")));
    QVERIFY(f.prompts.shown.back().question);
    QCOMPARE(lumivor::testing::ReadFile(f.root + "/Mp3/Film.xml"), std::string("<fileinfo/>"));
    f.prompts.yes_no_answers = {true};
    QVERIFY(f.window->MoveItem(Q(f.root + "/DVD/Film.xml"), Q(f.root + "/Mp3")));
    QCOMPARE(lumivor::testing::ReadFile(f.root + "/Mp3/Film.xml"), std::string("new"));

    // No drag while a new group waits for its name.
    f.window->new_catalog_button->click();
    QVERIFY(!(model->flags(index_of(f.root + "/Mp3")) & Qt::ItemIsDragEnabled));
  }

  void DeleteAsksAndRemovesGroupsWithReadOnlyFiles() {
    Fixture f;
    WriteFile(f.root + "/Mp3/Old/locked.xml", "x");
    fs::permissions(f.root + "/Mp3/Old/locked.xml", fs::perms::owner_read);
    fs::permissions(f.root + "/Mp3/Photos.xml", fs::perms::owner_read);
    QVERIFY(f.Select(f.root + "/Mp3"));
    f.prompts.yes_no_answers = {false};
    f.window->delete_button->click();
    QCOMPARE(f.prompts.shown.back().text,
             std::string("Are you sure to delete the item and all its children?"));
    QVERIFY(f.prompts.shown.back().icon == lumivor::MessageIcon::kQuestion);
    QVERIFY(fs::exists(f.root + "/Mp3"));
    f.prompts.yes_no_answers = {true};
    f.window->delete_button->click();
    QVERIFY(!fs::exists(f.root + "/Mp3"));
    QCOMPARE(f.TopNames(), QStringList({"DVD", "Music"}));
    QCOMPARE(f.prompts.shown.size(), std::size_t(2));  // asked twice, nothing else

    QVERIFY(f.Select(f.root + "/Music.xml"));
    f.prompts.yes_no_answers = {true};
    f.window->delete_button->click();
    QVERIFY(!fs::exists(f.root + "/Music.xml"));
    QCOMPARE(f.TopNames(), QStringList({"DVD"}));
  }

  void OpenAndExportActOnCatalogsOnly() {
    Fixture f;
    QStringList exported;
    f.window->export_catalog = [&](const QString& path) { exported << path; };
    QVERIFY(f.Select(f.root + "/DVD"));
    f.window->OnOpenClicked();
    f.window->OnExportClicked();
    QVERIFY(f.window->isVisible());
    QVERIFY(exported.isEmpty());
    QVERIFY(f.Select(f.root + "/DVD/Film.xml"));
    f.window->export_button->click();
    QCOMPARE(exported, QStringList({Q(f.root + "/DVD/Film.xml")}));
    QVERIFY(f.window->isVisible());  // export keeps the window open
    f.window->close_button->click();
    QCOMPARE(f.window->result(), int(QDialog::Rejected));
    QVERIFY(f.window->SelectedCatalog().isEmpty());
  }

  // A FIFO in the library is no catalog: the window neither lists nor opens it. Opening one
  // would wait for a writer forever, so a watchdog ends the test should the window hang.
  void AFifoInTheLibraryNeitherFreezesNorLists() {
    TempDir dir;
    const std::string root = dir / "CatalogLibrary";
    WriteFile(root + "/Mp3/Photos.xml", "<fileinfo/>");
    QCOMPARE(::mkfifo((root + "/Mp3/pipe.xml").c_str(), 0600), 0);
    QCOMPARE(::mkfifo((root + "/waiting.xml").c_str(), 0600), 0);
    ScriptedPrompts prompts;
    ::alarm(20);
    LibraryWindow window(prompts, Q(root));
    window.show();
    (void)QTest::qWaitForWindowExposed(&window);
    window.library_panel->RefreshLibrary();
    Settle();
    ::alarm(0);
    QVERIFY(window.library_panel->SelectNodeByPath(Q(root + "/Mp3/Photos.xml")));
    QVERIFY(!window.library_panel->SelectNodeByPath(Q(root + "/Mp3/pipe.xml")));
    QVERIFY(!window.library_panel->SelectNodeByPath(Q(root + "/waiting.xml")));
  }
};

QTEST_MAIN(LibraryWindowTest)
#include "library_window_test.moc"
