// Bringing a catalog up to date from the windows: Update Catalog from the library tree's menu
// and the library window, the summary, the view afterwards (missing entries greyed), Remove
// Missing Entries, a medium that is not where it was, and the medium's facts and state shown for
// a catalog of the library.
#include <fcntl.h>
#include <sys/stat.h>
#include <QApplication>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QTreeView>
#include <filesystem>
#include <functional>
#include <memory>

#include "catalog/catalog_file.h"
#include "library/ui/library_panel.h"
#include "library/ui/library_window.h"
#include "main/ui/catalog_model.h"
#include "main/ui/detail_model.h"
#include "main/ui/main_window.h"
#include "main/ui/update_summary_dialog.h"
#include "scan/catalog_medium.h"
#include "scan/scanner.h"
#include "scan/volumes.h"
#include "ui/progress_window.h"
#include "update/catalog_update.h"
#ifndef LUMIVOR_CLI_PATH
#define LUMIVOR_CLI_PATH ""
#endif
#include "modal_driver.h"
#include "support/fake_volumes.h"
#include "support/scripted_prompts.h"
#include "test_util.h"

using namespace lumivor;
namespace fs = std::filesystem;

namespace {

void MakeFile(const std::string& path, std::size_t size, int stamp) {
  testing::WriteFile(path, std::string(size, 'x'));
  const timespec times[2] = {{1600000000 + stamp * 60, 0}, {1600000000 + stamp * 60, 0}};
  ::utimensat(AT_FDCWD, path.c_str(), times, 0);
}

// A medium with two files and a folder, catalogued into the library with descriptions typed.
struct Fixture {
  testing::TempDir dir;
  std::string medium = dir / "medium";
  std::string catalog = dir / "CatalogLibrary/Document/Papers.xml";
  ScriptedPrompts prompts;
  std::unique_ptr<MainWindow> window;

  // Questions go to `answering` when given, else to the scripted prompts.
  explicit Fixture(Prompts* answering = nullptr) {
    MakeFile(medium + "/letter.txt", 10, 1);
    MakeFile(medium + "/old.txt", 20, 2);
    MakeFile(medium + "/tax/2024.pdf", 30, 3);
    CatalogTree tree;
    ScanFolder(&tree, medium, false, "", catalog);
    tree.ForEachPreOrder([](const CatalogTree::Node* node, int) {
      auto* record = const_cast<CatalogTree::Node*>(node);
      if (record->Field(kFileName) == "letter.txt") record->SetField(kDescription, "to Anna");
      if (record->Field(kFileName) == "old.txt") record->SetField(kDescription, "draft");
    });
    fs::create_directories(dir / "CatalogLibrary/Document");
    WriteCatalogFile(tree, catalog, NoProgress());
    window = std::make_unique<MainWindow>(dir.Path(), answering ? answering : &prompts);
    window->InitMainWindow();
    window->show();
    (void)QTest::qWaitForWindowExposed(window.get());
  }

  void ClickLibrary(const std::string& path) {
    LibraryPanel* tree = window->library_panel();
    QVERIFY(tree->SelectNodeByPath(QString::fromStdString(path)));
    QTreeView* view = tree->TreeView();
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {},
                      view->visualRect(view->currentIndex()).center());
  }

  // The view's index of the entry named `name` below the top record.
  QModelIndex Entry(const QString& name) const {
    const CatalogModel* model = window->catalog_model();
    const QModelIndex top = model->index(0, 0);
    for (int row = 0; row < model->rowCount(top); ++row) {
      if (model->index(row, 0, top).data().toString() == name) return model->index(row, 0, top);
    }
    return {};
  }

  QString Detail(const QString& key) const {
    for (const auto& row : window->detail_model()->Rows()) {
      if (row.key == key) return row.value;
    }
    return QStringLiteral("<none>");
  }
};

// Triggers the action named `name` of the next pop-up menu once it shows.
void ChooseFromNextMenu(const QString& name, bool* shown) {
  auto* poll = new QTimer;
  poll->setInterval(20);
  QObject::connect(poll, &QTimer::timeout, [poll, name, shown] {
    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    if (menu == nullptr) return;
    *shown = true;
    for (QAction* action : menu->actions()) {
      if (action->objectName() == name) menu->setActiveAction(action);
    }
    QTest::keyClick(menu, Qt::Key_Return);
    poll->deleteLater();
  });
  poll->start();
}

// Prompts whose folder question runs `on_folder` (on the thread that asks); messages are kept.
class HookedPrompts final : public Prompts {
 public:
  std::string ChooseOpenFile(std::string_view, std::string_view, std::string_view) override {
    return {};
  }
  std::string ChooseSaveFile(std::string_view, std::string_view, std::string_view) override {
    return {};
  }
  void ShowMessage(std::string_view, std::string_view text, MessageIcon) override {
    messages.emplace_back(text);
  }
  bool AskYesNo(std::string_view, std::string_view, MessageIcon) override { return false; }
  std::string ChooseFolder(std::string_view, std::string_view) override { return on_folder(); }

  std::function<std::string()> on_folder;
  std::vector<std::string> messages;
};

}  // namespace

class MainWindowUpdateTest : public QObject {
  Q_OBJECT

 private slots:
  void init() { QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); }

  void UpdateFromTheLibraryMenuKeepsNotesAndGreysMissingEntries() {
    Fixture f;
    f.ClickLibrary(f.catalog);
    QVERIFY(f.Entry("letter.txt").isValid());
    fs::rename(f.medium + "/letter.txt", f.medium + "/tax/letter-to-anna.txt");
    fs::remove(f.medium + "/old.txt");
    MakeFile(f.medium + "/new.txt", 5, 9);

    testing::ModalDriver driver;
    QString counts, list;
    driver.When<UpdateSummaryDialog>([&](UpdateSummaryDialog* summary) {
      counts = summary->counts_label->text();
      list = summary->change_list->toPlainText();
      summary->ok_button->click();
    });
    bool menu_shown = false;
    ChooseFromNextMenu(QStringLiteral("UpdateCatalog"), &menu_shown);
    QTreeView* library = f.window->library_panel()->TreeView();
    QVERIFY(f.window->library_panel()->SelectNodeByPath(QString::fromStdString(f.catalog)));
    emit library->customContextMenuRequested(library->visualRect(library->currentIndex()).center());
    QTRY_VERIFY(driver.Done());
    QVERIFY(menu_shown);
    QVERIFY2(counts.contains(QStringLiteral("Added: 1   Removed: 0   Moved: 1   Changed: 0   "
                                            "Kept as missing: 1")),
             qPrintable(counts));
    QCOMPARE(list, QStringLiteral("added new.txt\nmoved letter.txt -> tax/letter-to-anna.txt\n"
                                  "missing old.txt"));

    // The view shows the catalog as it is now.
    QVERIFY(f.Entry("new.txt").isValid());
    QVERIFY(!f.Entry("letter.txt").isValid());
    const QModelIndex old_entry = f.Entry("old.txt");
    QVERIFY(old_entry.isValid());
    const QColor grey = QGuiApplication::palette().color(QPalette::Disabled, QPalette::Text);
    QCOMPARE(old_entry.data(Qt::ForegroundRole).value<QColor>(), grey);
    QVERIFY(!f.Entry("new.txt").data(Qt::ForegroundRole).isValid());
    QVERIFY(old_entry.data(Qt::ToolTipRole).toString().contains("Not on the medium since"));
    const CatalogTree saved = LoadCatalog(f.catalog);
    bool note_followed = false;
    saved.ForEachPreOrder([&](const CatalogTree::Node* node, int) {
      note_followed |=
          node->Field(kFileName) == "letter-to-anna.txt" && node->Field(kDescription) == "to Anna";
    });
    QVERIFY(note_followed);

    // Remove Missing Entries asks first; No keeps them, Yes drops them from file and view.
    f.prompts.yes_no_answers = {false, true};
    QVERIFY(!f.window->RemoveMissing(f.catalog));
    QVERIFY(f.Entry("old.txt").isValid());
    QVERIFY(f.window->RemoveMissing(f.catalog));
    QVERIFY(!f.Entry("old.txt").isValid());
    QVERIFY(LoadCatalog(f.catalog).Size() == saved.Size() - 1);
    QVERIFY(!f.window->RemoveMissing(f.catalog));  // nothing left to remove
    QCOMPARE(f.prompts.shown.back().text, std::string("Papers has no missing entries."));
  }

  void AMediumNotWhereItWasIsAskedFor() {
    Fixture f;
    const std::string before = testing::ReadFile(f.catalog);
    const std::string moved = f.dir / "elsewhere";
    fs::rename(f.medium, moved);

    // Cancelling the folder question changes nothing.
    QVERIFY(!f.window->UpdateCatalog(f.catalog));
    QCOMPARE(testing::ReadFile(f.catalog), before);
    QVERIFY(f.prompts.shown.back().caption.find("is not connected") != std::string::npos);

    // The folder the user names is scanned, and the paths follow it.
    testing::ModalDriver driver;
    driver.When<UpdateSummaryDialog>([](UpdateSummaryDialog* summary) { summary->accept(); });
    f.prompts.file_answers = {moved};
    QVERIFY(f.window->UpdateCatalog(f.catalog));
    QTRY_VERIFY(driver.Done());
    const CatalogTree updated = LoadCatalog(f.catalog);
    QCOMPARE(std::string(updated.Top()->Field(kFullPath)), moved);
  }

  void TheUpdateRunsOnTheWorkerAndItsCancelLeavesTheCatalog() {
    HookedPrompts prompts;
    Fixture f(&prompts);
    f.window->Work().SetQuietMs(0);
    f.ClickLibrary(f.catalog);
    const std::string before = testing::ReadFile(f.catalog);
    const std::string moved = f.dir / "elsewhere";
    fs::rename(f.medium, moved);
    fs::remove(moved + "/old.txt");

    // The medium is asked for while the update runs on the worker: the question is put on the
    // window's thread, the commands are disabled meanwhile, and Cancel then stops the update.
    bool asked_on_window_thread = false, busy = false;
    prompts.on_folder = [&] {
      asked_on_window_thread = QThread::currentThread() == qApp->thread();
      busy = f.window->Work().Running() && !f.window->menuBar()->isEnabled() &&
             !f.window->library_panel()->isEnabled();
      emit f.window->progress_window()->CancelPressed();
      return moved;
    };
    QVERIFY(!f.window->UpdateCatalog(f.catalog));
    QVERIFY(asked_on_window_thread);
    QVERIFY(busy);
    QCOMPARE(prompts.messages, std::vector<std::string>{"Cancelled. The catalog is as it was."});
    QCOMPARE(testing::ReadFile(f.catalog), before);
    QVERIFY(f.window->menuBar()->isEnabled() && f.window->library_panel()->isEnabled());
    QVERIFY(!f.window->progress_window()->isVisible());
    QVERIFY(f.Entry("old.txt").isValid());

    // Answered and not cancelled, the same update is written.
    prompts.on_folder = [&] { return moved; };
    testing::ModalDriver driver;
    driver.When<UpdateSummaryDialog>([](UpdateSummaryDialog* summary) { summary->accept(); });
    QVERIFY(f.window->UpdateCatalog(f.catalog));
    QTRY_VERIFY(driver.Done());
    QCOMPARE(std::string(LoadCatalog(f.catalog).Top()->Field(kFullPath)), moved);
    QVERIFY(f.Entry("old.txt").data(Qt::ForegroundRole).isValid());  // greyed: kept as missing
  }

  void TheFileMenuUpdatesTheCatalogOnScreen() {
    Fixture f;
    QAction* update = f.window->findChild<QAction*>(QStringLiteral("ActUpdateCatalog"));
    QVERIFY(update != nullptr);
    QMenu* file = f.window->findChild<QMenu*>(QStringLiteral("MenuFile"));
    QStringList names;
    for (QAction* action : file->actions()) {
      if (!action->isSeparator()) names << action->objectName();
    }
    QCOMPARE(names, (QStringList{"ActNewCatalog", "ActUpdateCatalog", "ActContentHashes",
                                 "ActImport", "ActExport", "ActConnectLibrary", "ActExit"}));
    QVERIFY(!update->isEnabled());  // no catalog on screen

    f.ClickLibrary(f.catalog);
    QVERIFY(update->isEnabled());
    fs::remove(f.medium + "/tax/2024.pdf");
    testing::ModalDriver driver;
    QString counts;
    driver.When<UpdateSummaryDialog>([&](UpdateSummaryDialog* summary) {
      counts = summary->counts_label->text();
      summary->accept();
    });
    update->trigger();
    QTRY_VERIFY(driver.Done());
    QVERIFY2(counts.contains(QStringLiteral("Removed: 1")), qPrintable(counts));
    QCOMPARE(f.window->CurrentCatalogFile(), f.catalog);
    QVERIFY(update->isEnabled());

    // A group on screen has no catalog file to update.
    f.ClickLibrary(f.dir / "CatalogLibrary/Document");
    QVERIFY(f.window->CurrentCatalogFile().empty());
    QVERIFY(!update->isEnabled());
  }

  void TheLibraryWindowsUpdateButtonRunsTheCommand() {
    Fixture f;
    ScriptedPrompts prompts;
    LibraryWindow library(prompts, QString::fromStdString(f.dir / "CatalogLibrary"));
    QStringList updated;
    library.update_catalog = [&](const QString& path) { updated << path; };
    QVERIFY(!library.update_button->isEnabled());
    QVERIFY(library.library_panel->SelectNodeByPath(QString::fromStdString(f.catalog)));
    QVERIFY(library.update_button->isEnabled() && library.remove_missing_button->isEnabled());
    library.update_button->click();
    QCOMPARE(updated, QStringList{QString::fromStdString(f.catalog)});
  }

  void TheLibraryShowsWhetherAMediumIsConnectedAndTheDetailPaneItsFacts() {
    Fixture f;
    // Catalogues made from volumes the test controls: one mounted now, one not.
    const std::string usb = f.dir / "usb";
    fs::create_directories(usb + "/music");
    FakeVolumes volumes({{usb, "STICK", "1111-2222", "vfat", "8000000000", "2000000000"}});
    SetVolumes(&volumes);
    const std::string on = f.dir / "CatalogLibrary/Document/Stick.xml";
    const std::string off = f.dir / "CatalogLibrary/Document/Gone.xml";
    CatalogTree tree;
    ScanFolder(&tree, usb, false, "", on);
    WriteCatalogFile(tree, on, NoProgress());
    tree.Top()->SetExtra(kVolumeIdAttribute, "9999-0000");
    WriteCatalogFile(tree, off, NoProgress());
    f.window->RefreshLibrary();
    // The media are found out off the window's thread; the tree shows them once known.
    f.window->library_panel()->WaitForMediumStates();

    LibraryTreeModel* model = f.window->library_panel()->Model();
    const QModelIndex on_index = model->IndexOf(model->FindByPath(QString::fromStdString(on)));
    const QModelIndex off_index = model->IndexOf(model->FindByPath(QString::fromStdString(off)));
    const QModelIndex papers = model->IndexOf(model->FindByPath(QString::fromStdString(f.catalog)));
    QVERIFY(on_index.data(Qt::ToolTipRole)
                .toString()
                .endsWith(QStringLiteral("Medium connected at ") + QString::fromStdString(usb)));
    QVERIFY(off_index.data(Qt::ToolTipRole).toString().contains("Medium not connected"));
    // The three states draw three different pictures.
    const auto picture = [](const QModelIndex& index) {
      return index.data(Qt::DecorationRole).value<QIcon>().pixmap(16).toImage();
    };
    QVERIFY(picture(on_index) != picture(off_index));
    QVERIFY(picture(on_index) != picture(papers));

    f.ClickLibrary(on);
    QCOMPARE(f.Detail("VolumeLabel"), QStringLiteral("STICK"));
    QCOMPARE(f.Detail("VolumeId"), QStringLiteral("1111-2222"));
    QCOMPARE(f.Detail("FileSystem"), QStringLiteral("vfat"));
    QCOMPARE(f.Detail("VolumeSize"), QStringLiteral("7.5 GB"));  // as in the view's column
    QCOMPARE(f.Detail("Medium"), QStringLiteral("Connected at ") + QString::fromStdString(usb));
    QCOMPARE(f.Detail("ScanDate").size(), 19);
    const QString scanned = f.Detail("ScanDate");
    f.ClickLibrary(off);
    QCOMPARE(f.Detail("Medium"), QStringLiteral("Not connected, last seen ") + scanned);
    QVERIFY(off_index.data(Qt::ToolTipRole)
                .toString()
                .endsWith(QStringLiteral("Medium not connected, last seen ") + scanned));
    SetVolumes(nullptr);
  }
};

QTEST_MAIN(MainWindowUpdateTest)
#include "main_window_update_test.moc"
