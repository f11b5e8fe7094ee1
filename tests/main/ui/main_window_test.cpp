// The main window as a user meets it: start-up, layout across starts, opening a catalog from the
// library tree, header sorting, edits saved to the file, the detail pane, the status bar and
// errors.
#include <unistd.h>
#include <QAbstractItemModelTester>
#include <QApplication>
#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QSplitter>
#include <QStatusBar>
#include <QTest>
#include <QToolButton>
#include <QTreeView>
#include <QUrl>
#include <filesystem>
#include <memory>

#include "catalog/attribute_columns.h"
#include "catalog/catalog_edit.h"
#include "catalog/catalog_file.h"
#include "config/config.h"
#include "library/ui/library_panel.h"
#include "main/ui/about_dialog.h"
#include "main/ui/catalog_model.h"
#include "main/ui/detail_model.h"
#include "main/ui/main_window.h"
#include "modal_driver.h"
#include "search/search.h"
#include "ui/progress_window.h"
#ifndef LUMIVOR_CLI_PATH
#define LUMIVOR_CLI_PATH ""
#endif
#include "support/scripted_prompts.h"
#include "test_util.h"

using namespace lumivor;
namespace fs = std::filesystem;

namespace {

CatalogRecord Record(std::string_view name, std::string_view path, std::string_view type,
                     std::string_view size = {}, std::string_view description = {}) {
  FieldViews fields{};
  fields[kFileName] = name;
  fields[kFullPath] = path;
  fields[kFileType] = type;
  fields[kFileSize] = size;
  fields[kDescription] = description;
  return CatalogRecord(fields);
}

// A scanned catalog of /media/Data: a folder, two files and a file inside the folder.
CatalogTree DataCatalog() {
  CatalogTree tree;
  auto* top = tree.AddChild(nullptr, Record("/media/Data", "/media/Data", "directory", "4000"));
  tree.AddChild(top, Record("song.mp3", "/media/Data/song.mp3", "file", "3000", "a song"));
  auto* photos = tree.AddChild(top, Record("Photos", "/media/Data/Photos", "directory", "900"));
  tree.AddChild(top, Record("b.txt", "/media/Data/b.txt", "file", "100"));
  tree.AddChild(photos, Record("p1.jpg", "/media/Data/Photos/p1.jpg", "file", "900"));
  return tree;
}

// A main window over `dir`, started as the program starts it, with its models under test.
struct Started {
  ScriptedPrompts prompts;
  std::unique_ptr<MainWindow> window;
  std::unique_ptr<QAbstractItemModelTester> vt_tester, vle_tester;

  explicit Started(const std::string& dir) {
    window = std::make_unique<MainWindow>(dir, &prompts);
    vt_tester = std::make_unique<QAbstractItemModelTester>(
        window->catalog_model(), QAbstractItemModelTester::FailureReportingMode::QtTest);
    vle_tester = std::make_unique<QAbstractItemModelTester>(
        window->detail_model(), QAbstractItemModelTester::FailureReportingMode::QtTest);
    window->InitMainWindow();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
  }
  ~Started() {
    vt_tester.reset();
    vle_tester.reset();
  }

  // Clicks the library node of `path` as the user does.
  void ClickLibrary(const std::string& path) {
    LibraryPanel* tree = window->library_panel();
    QVERIFY(tree->SelectNodeByPath(QString::fromStdString(path)));
    QTreeView* view = tree->TreeView();
    const QRect rect = view->visualRect(view->currentIndex());
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, rect.center());
  }

  void ClickHeader(int column, Qt::MouseButton button = Qt::LeftButton) {
    QHeaderView* header = window->catalog_view()->header();
    const QPoint at(header->sectionViewportPosition(column) + header->sectionSize(column) / 2,
                    header->height() / 2);
    QTest::mouseClick(header->viewport(), button, {}, at);
  }

  QStringList Names(const QModelIndex& parent = {}) const {
    QStringList names;
    const CatalogModel* model = window->catalog_model();
    for (int row = 0; row < model->rowCount(parent); ++row) {
      names << model->index(row, 0, parent).data().toString();
    }
    return names;
  }

  QModelIndex Top() const { return window->catalog_model()->index(0, 0); }

  QString Detail(const QString& key) const {
    for (const auto& row : window->detail_model()->Rows()) {
      if (row.key == key) return row.value;
    }
    return QStringLiteral("<none>");
  }
};

std::string Text(std::string_view view) { return std::string(view); }

// The in-place editor open in `view`, if any.
QLineEdit* Editor(QTreeView* view) {
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  return view->viewport()->findChild<QLineEdit*>();
}

}  // namespace

class MainWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void init() { QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); }

  void StartUpOnAnEmptyDirectory() {
    testing::TempDir dir;
    {
      Started app(dir.Path());
      for (const char* group : {"Mp3", "DVD", "Movie", "Book", "Document"}) {
        QVERIFY2(fs::is_directory(dir / ("CatalogLibrary/" + std::string(group))), group);
      }
      QCOMPARE(testing::ReadFile(dir / "LumivorConfig.xml"), std::string(DefaultConfigText()));
      QCOMPARE(app.window->windowTitle(), QStringLiteral("Orvane Lumivor 3.5.4"));
      QCOMPARE(app.window->CatalogSize(), std::size_t{0});
      QCOMPARE(app.window->statusBar()->findChild<QLabel*>("SB")->text(), QString());
      QCOMPARE(app.window->detail_model()->rowCount(), 0);
      QVERIFY(!app.window->DetailShowsItem());
      QVERIFY(app.window->CurrentCatalogFile().empty());
      QCOMPARE(app.window->SortField(), 0);
      QVERIFY(app.window->isMaximized());
      // The columns follow the default rows: FileType and the three counts hidden; the further
      // attributes (tags, volume facts, marks) follow, hidden until chosen.
      QHeaderView* header = app.window->catalog_view()->header();
      QCOMPARE(app.window->catalog_model()->columnCount(),
               11 + static_cast<int>(kAttributeColumns.size()));
      for (int hidden : {5, 7, 8, 9}) QVERIFY(header->isSectionHidden(hidden));
      for (int i = 11; i < header->count(); ++i) QVERIFY(header->isSectionHidden(i));
      QCOMPARE(
          app.window->catalog_model()->headerData(11, Qt::Horizontal, Qt::DisplayRole).toString(),
          QStringLiteral("Title"));
      QCOMPARE(header->sectionSize(0), 172);
      QCOMPARE(
          app.window->catalog_model()->headerData(6, Qt::Horizontal, Qt::DisplayRole).toString(),
          QStringLiteral("Description"));
      // The library root is focused and expanded.
      QCOMPARE(app.window->library_panel()->SelectedPath(),
               QString::fromStdString(dir / "CatalogLibrary"));
      QVERIFY(app.prompts.shown.empty());
      app.window->close();
    }
    // A later start with an emptied library creates no groups.
    fs::remove_all(dir / "CatalogLibrary");
    fs::create_directory(dir / "CatalogLibrary");
    Started again(dir.Path());
    QVERIFY(fs::is_empty(dir / "CatalogLibrary"));
  }

  void ADamagedConfigurationIsReportedAndReplaced() {
    testing::TempDir dir;
    testing::WriteFile(dir / "LumivorConfig.xml", "<config><frame max=");
    Started app(dir.Path());
    QCOMPARE(app.prompts.shown.size(), std::size_t{1});
    QCOMPARE(app.prompts.shown[0].caption, std::string("Warning"));
    QCOMPARE(app.prompts.shown[0].icon, MessageIcon::kWarning);
    // The defaults are used.
    QCOMPARE(app.window->catalog_model()->columnCount(),
             11 + static_cast<int>(kAttributeColumns.size()));
    QVERIFY(fs::exists(dir / "CatalogLibrary/Mp3"));
  }

  void ToolbarMenusAndAboutBox() {
    testing::TempDir dir;
    Started app(dir.Path());
    const QStringList captions{"&New Catalog", "&Catalog Library", "&Search",
                               "&Export",      "&Options",         "E&xit"};
    const QStringList hints{"Create a new catalog",
                            "The library of catalogs",
                            "Search a file in the library",
                            "Export to a file ",
                            "",
                            "Exit"};
    for (int i = 0; i < 6; ++i) {
      QToolButton* button = app.window->ToolButton(i);
      QCOMPARE(button->text(), captions[i]);
      QCOMPARE(button->toolTip(), hints[i]);
      QCOMPARE(button->iconSize(), QSize(48, 48));
      QVERIFY2(!button->icon().pixmap(48, 48).isNull(), qPrintable(captions[i]));
      QVERIFY(button->font().bold());
    }
    QStringList items;
    for (QAction* action : app.window->options_menu()->actions()) {
      items << (action->isSeparator() ? QStringLiteral("-") : action->text());
    }
    QCOMPARE(items, (QStringList{"Config Visible Columns", "-", "Help", "-", "About Lumivor",
                                 "Goto Homepage"}));
    QStringList menus;
    for (QAction* action : app.window->menuBar()->actions()) menus << action->text();
    QCOMPARE(menus, (QStringList{"&File", "E&dit", "&View", "&Help"}));

    AboutDialog about(app.window.get());
    QCOMPARE(about.windowTitle(), QStringLiteral("About Lumivor"));
    QCOMPARE(about.Title()->text(), QStringLiteral("Orvane Lumivor 3.5.4"));
    QVERIFY(about.Title()->font().bold());
    QVERIFY(about.WebLink()->text().contains("https://orvane.example/lumivor"));
    QVERIFY(about.MailLink()->text().contains("mailto:support@orvane.example"));

    // Exit closes the window, which writes the layout.
    fs::remove(dir / "LumivorConfig.xml");
    QTest::mouseClick(app.window->ToolButton(5), Qt::LeftButton);
    QVERIFY(!app.window->isVisible());
    QVERIFY(fs::exists(dir / "LumivorConfig.xml"));
  }

  void LayoutIsKeptAcrossStarts() {
    testing::TempDir dir;
    int left_in_small_window = 0;
    {
      Started app(dir.Path());
      QVERIFY(app.window->isMaximized());
      QHeaderView* header = app.window->catalog_view()->header();
      header->moveSection(header->visualIndex(6), 0);  // Description to the front
      header->hideSection(1);                          // FullPath hidden
      header->showSection(9);                          // SizePercentage shown
      header->resizeSection(2, 150);
      app.window->library_splitter()->setSizes({250, 500});
      app.window->detail_splitter()->setSizes({300, 200});
      app.window->library_panel()->TreeView()->setColumnWidth(0, 140);
      app.window->detail_view()->setColumnWidth(0, 90);
      app.window->close();
    }
    {
      Started app(dir.Path());
      QVERIFY(app.window->isMaximized());
      QHeaderView* header = app.window->catalog_view()->header();
      QCOMPARE(header->visualIndex(6), 0);
      QCOMPARE(header->visualIndex(0), 1);
      QVERIFY(header->isSectionHidden(1));
      QVERIFY(!header->isSectionHidden(9));
      QCOMPARE(header->sectionSize(2), 150);
      QCOMPARE(app.window->library_splitter()->sizes().value(0), 250);
      QCOMPARE(app.window->detail_splitter()->sizes().value(1), 200);
      QCOMPARE(app.window->library_panel()->TreeView()->columnWidth(0), 140);
      QCOMPARE(app.window->detail_view()->columnWidth(0), 90);
      // Shown again, a hidden column comes back with the width it had.
      header->showSection(1);
      QCOMPARE(header->sectionSize(1), 173);
      header->hideSection(1);
      app.window->showNormal();
      app.window->setGeometry(60, 70, 700, 450);
      QTRY_COMPARE(app.window->isMaximized(), false);
      // The smaller window keeps the panes' proportions.
      left_in_small_window = app.window->library_splitter()->sizes().value(0);
      QVERIFY(left_in_small_window < 250);
      app.window->close();
    }
    Configuration config(dir.Path());
    QCOMPARE(config.Root().frame().max(), false);
    Started app(dir.Path());
    QVERIFY(!app.window->isMaximized());
    QCOMPARE(app.window->size(), QSize(700, 450));
    QCOMPARE(app.window->x(), config.Root().frame().left());
    QCOMPARE(app.window->y(), config.Root().frame().top());
    QCOMPARE(app.window->library_splitter()->sizes().value(0), left_in_small_window);
    QVERIFY(app.window->catalog_view()->header()->isSectionHidden(1));
  }

  void PanesComeBackInProportionToASmallerWindow() {
    testing::TempDir dir;
    {
      // Saved on a big screen: half the width for the library, half the column for the details.
      Configuration config(dir.Path());
      WindowFrameSettings frame = config.Root().frame();
      frame.SetMax(true);
      frame.SetWidth(3200);
      frame.SetHeight(2400);
      frame.plLeft().SetWidth(1600);
      frame.plHint().SetHeight(1800);
      config.Save();
    }
    Started app(dir.Path());
    QVERIFY(app.window->width() < 3200);
    const int left = app.window->library_splitter()->sizes().value(0);
    QVERIFY2(qAbs(left - app.window->width() / 2) <= 8, qPrintable(QString::number(left)));
    // The library tree keeps at least half of its column, however big the details were.
    const QList<int> column = app.window->detail_splitter()->sizes();
    QVERIFY2(column.value(0) >= column.value(1), qPrintable(QString::number(column.value(0))));
  }

  void OpeningACatalogByAClick() {
    testing::TempDir dir;
    const std::string music = dir / "CatalogLibrary/Mp3/Music.xml";
    Started app(dir.Path());
    WriteCatalogFile(DataCatalog(), music, NoProgress());
    app.window->RefreshLibrary();
    QCOMPARE(app.window->StatusText(), QStringLiteral("Current Catalog: ==> CatalogLibrary"));
    app.ClickLibrary(music);
    QCOMPARE(app.window->CurrentCatalogFile(), music);
    QCOMPARE(app.window->CatalogSize(), std::size_t{5});
    QVERIFY(app.window->catalog_view()->isExpanded(app.Top()));
    // Re-sorted by FileName, directories first.
    QCOMPARE(app.Names(app.Top()), (QStringList{"Photos", "b.txt", "song.mp3"}));
    // The detail pane shows the catalog's own library record, not editable.
    QVERIFY(!app.window->DetailShowsItem());
    QCOMPARE(app.Detail("FileName"), QStringLiteral("Music"));
    QCOMPARE(app.Detail("CatalogName"), QStringLiteral("Music"));
    QCOMPARE(app.window->StatusText(),
             QStringLiteral("Current Catalog: ==> CatalogLibrary/Mp3/Music"));
    // Every record carries the catalog's name.
    QCOMPARE(app.window->catalog_model()->index(0, 10, app.Top()).data().toString(),
             QStringLiteral("Music"));

    // Selecting an item shows it in the detail pane and the status bar.
    const QModelIndex song = app.window->catalog_model()->index(2, 0, app.Top());
    app.window->catalog_view()->setCurrentIndex(song);
    QVERIFY(app.window->DetailShowsItem());
    QCOMPARE(app.Detail("FileName"), QStringLiteral("song.mp3"));
    QCOMPARE(app.Detail("FileSize"), QStringLiteral("2.93 KB"));
    QCOMPARE(app.window->StatusText(),
             QStringLiteral("Current Catalog: ==> CatalogLibrary/Mp3/Music ==> song.mp3"));

    // The open catalog clicked again is not read again, but the pane shows its library record.
    testing::WriteFile(music, "<fileinfo><file FileName=\"changed\"/></fileinfo>");
    app.ClickLibrary(music);
    QCOMPARE(app.window->CatalogSize(), std::size_t{5});
    QVERIFY(!app.window->DetailShowsItem());
    QCOMPARE(app.Detail("FileName"), QStringLiteral("Music"));

    // A group empties the view.
    app.ClickLibrary(dir / "CatalogLibrary/Mp3");
    QCOMPARE(app.window->CatalogSize(), std::size_t{0});
    QVERIFY(app.window->CurrentCatalogFile().empty());
    QCOMPARE(app.Detail("FileName"), QStringLiteral("Mp3"));
    QCOMPARE(app.window->StatusText(), QStringLiteral("Current Catalog: ==> CatalogLibrary/Mp3"));
    QVERIFY(app.prompts.shown.empty());
  }

  void TagsShowInTheDetailPaneAndTheNamesHint() {
    testing::TempDir dir;
    const std::string music = dir / "CatalogLibrary/Mp3/Music.xml";
    Started app(dir.Path());
    CatalogTree tree = DataCatalog();
    CatalogTree::Node* song = tree.Top()->children[0];
    song->SetExtra("Title", "Rock & Roll");
    song->SetExtra("Artist", "The Testers");
    song->SetExtra("Album", "Sine Waves");
    song->SetExtra("Duration", "215.0");
    WriteCatalogFile(tree, music, NoProgress());
    app.window->RefreshLibrary();
    app.ClickLibrary(music);
    const QModelIndex index = app.window->catalog_model()->index(2, 0, app.Top());
    QCOMPARE(index.data().toString(), QStringLiteral("song.mp3"));
    app.window->catalog_view()->setCurrentIndex(index);

    // The tags come after the eleven rows, in their stored order, and cannot be edited.
    const DetailModel* pane = app.window->detail_model();
    QCOMPARE(pane->rowCount(), 15);
    QCOMPARE(pane->Rows()[11].key, QStringLiteral("Title"));
    QCOMPARE(pane->Rows()[11].value, QStringLiteral("Rock & Roll"));
    QCOMPARE(pane->Rows()[14].key, QStringLiteral("Duration"));
    QCOMPARE(app.Detail("Artist"), QStringLiteral("The Testers"));
    QVERIFY(!pane->IsEditableCell(11, 1));
    QVERIFY(!(pane->flags(pane->index(12, 1)) & Qt::ItemIsEditable));

    QCOMPARE(index.data(Qt::ToolTipRole).toString(),
             QStringLiteral("song.mp3 (Press F2 to edit the file's FileName)\n"
                            "The Testers \u2013 Rock & Roll, 3:35"));
    // A record without tags keeps its plain hint and the eleven rows.
    const QModelIndex text = app.window->catalog_model()->index(1, 0, app.Top());
    QCOMPARE(text.data(Qt::ToolTipRole).toString(),
             QStringLiteral("b.txt (Press F2 to edit the file's FileName)"));
    app.window->catalog_view()->setCurrentIndex(text);
    QCOMPARE(pane->rowCount(), 11);
  }

  void HeaderClicksFlipTheDirectionEveryTime() {
    testing::TempDir dir;
    const std::string music = dir / "CatalogLibrary/Mp3/Music.xml";
    Started app(dir.Path());
    WriteCatalogFile(DataCatalog(), music, NoProgress());
    app.window->RefreshLibrary();
    app.ClickLibrary(music);
    app.ClickHeader(kFileName);  // the first click sorts ascending
    QCOMPARE(app.Names(app.Top()), (QStringList{"Photos", "b.txt", "song.mp3"}));
    QCOMPARE(app.window->SortField(), static_cast<int>(kFileName));
    app.ClickHeader(kFileSize);  // another column: the direction flips to descending
    QCOMPARE(app.window->SortField(), static_cast<int>(kFileSize));
    QCOMPARE(app.Names(app.Top()), (QStringList{"Photos", "song.mp3", "b.txt"}));
    QCOMPARE(app.window->catalog_view()->header()->sortIndicatorSection(),
             static_cast<int>(kFileSize));
    QCOMPARE(app.window->catalog_view()->header()->sortIndicatorOrder(), Qt::DescendingOrder);
    app.ClickHeader(kFileSize, Qt::RightButton);  // only the left button sorts
    QCOMPARE(app.Names(app.Top()), (QStringList{"Photos", "song.mp3", "b.txt"}));
    app.ClickHeader(kFileSize);
    QCOMPARE(app.Names(app.Top()), (QStringList{"Photos", "b.txt", "song.mp3"}));
    // The sort state survives a change of catalog: the next open re-sorts by it.
    CatalogTree other;
    auto* top = other.AddChild(nullptr, Record("/x", "/x", "directory"));
    other.AddChild(top, Record("big", "/x/big", "file", "900000"));
    other.AddChild(top, Record("small", "/x/small", "file", "1"));
    other.AddChild(top, Record("dir", "/x/dir", "directory"));
    const std::string second = dir / "CatalogLibrary/DVD/Other.xml";
    WriteCatalogFile(other, second, NoProgress());
    app.window->RefreshLibrary();
    app.ClickLibrary(second);
    QCOMPARE(app.Names(app.Top()), (QStringList{"dir", "small", "big"}));
  }

  void RenamingRebasesPathsAndSavesTheFile() {
    testing::TempDir dir;
    const std::string music = dir / "CatalogLibrary/Mp3/Music.xml";
    Started app(dir.Path());
    WriteCatalogFile(DataCatalog(), music, NoProgress());
    app.window->RefreshLibrary();
    app.ClickLibrary(music);
    // The user presses F2 on the top node's name and types the new one.
    QTreeView* vt = app.window->catalog_view();
    vt->setFocus();
    vt->setCurrentIndex(app.Top());
    QTest::keyClick(vt, Qt::Key_F2);
    QLineEdit* editor = Editor(vt);
    QVERIFY(editor != nullptr);
    editor->setText(QStringLiteral("/media/Archive"));
    QTest::keyClick(editor, Qt::Key_Return);
    QTRY_COMPARE(app.Top().data().toString(), QStringLiteral("/media/Archive"));  // queued commit
    // Memory, view, detail pane and file all carry the new paths.
    QCOMPARE(app.window->catalog_model()->index(0, kFullPath, app.Top()).data().toString(),
             QStringLiteral("/media/Archive/Photos"));
    QCOMPARE(app.Detail("FileName"), QStringLiteral("/media/Archive"));
    QCOMPARE(app.Detail("FileNameLength"), QStringLiteral("14"));
    const CatalogTree saved = LoadCatalog(music);
    QCOMPARE(Text(saved.Top()->Field(kFileName)), std::string("/media/Archive"));
    const auto* photos = saved.Top()->children[0];
    QCOMPARE(Text(photos->Field(kFullPath)), std::string("/media/Archive/Photos"));
    QCOMPARE(Text(photos->children[0]->Field(kFullPath)),
             std::string("/media/Archive/Photos/p1.jpg"));
    QCOMPARE(Text(photos->children[0]->Field(kPathNameLength)), std::string("28"));
    // Saved in the order shown.
    QCOMPARE(Text(saved.Top()->children[2]->Field(kFileName)), std::string("song.mp3"));
    // F2 on a read-only column renames: the editor opens on the item's FileName.
    vt->setCurrentIndex(app.window->catalog_model()->index(0, kFullPath, app.Top()));
    QTest::keyClick(vt, Qt::Key_F2);
    editor = Editor(vt);
    QVERIFY(editor != nullptr);
    QCOMPARE(editor->text(), QStringLiteral("Photos"));
    QTest::keyClick(editor, Qt::Key_Escape);
    QVERIFY(app.prompts.shown.empty());
  }

  void SavesPutFoldersNeverOpenedInTheOrderShown() {
    testing::TempDir dir;
    const std::string path = dir / "CatalogLibrary/Mp3/Deep.xml";
    Started app(dir.Path());
    CatalogTree tree;
    auto* top = tree.AddChild(nullptr, Record("/d", "/d", "directory"));
    auto* inner = tree.AddChild(top, Record("inner", "/d/inner", "directory"));
    tree.AddChild(inner, Record("2.jpg", "/d/inner/2.jpg", "file", "5"));
    tree.AddChild(inner, Record("1.jpg", "/d/inner/1.jpg", "file", "7"));
    WriteCatalogFile(tree, path, NoProgress());
    app.window->RefreshLibrary();
    app.ClickLibrary(path);
    app.ClickHeader(kFileName);
    QVERIFY(!app.window->catalog_view()->isExpanded(
        app.window->catalog_model()->index(0, 0, app.Top())));
    // A rename saves the catalog; the folder nobody opened is put in order on the worker.
    app.window->ApplyEdit(CatalogModel::NodeOf(app.Top()), kFileName, "/e");
    const CatalogTree saved = LoadCatalog(path);
    const auto* saved_inner = saved.Top()->children[0];
    QCOMPARE(Text(saved_inner->children[0]->Field(kFileName)), std::string("1.jpg"));
    QCOMPARE(Text(saved_inner->children[0]->Field(kFullPath)), std::string("/e/inner/1.jpg"));
    // The view shows it in the same order, and can open folders again once the work is done.
    QVERIFY(app.window->catalog_view()->itemsExpandable());
    const QModelIndex inner_index = app.window->catalog_model()->index(0, 0, app.Top());
    QCOMPARE(app.Names(inner_index), (QStringList{"1.jpg", "2.jpg"}));
    QVERIFY(app.prompts.shown.empty());
  }

  void EditsWithoutACatalogFileAskForOneAndFailedSavesAreShown() {
    testing::TempDir dir;
    Started app(dir.Path());
    CatalogTree results;
    auto* hit = results.AddChild(nullptr, Record("x.mp3", "/m/x.mp3", "file"));
    app.window->ClearCatalog();
    app.window->AppendCatalogTree(std::move(results));
    // No current file: the save asks; cancelling saves nothing.
    app.window->ApplyEdit(hit, kDescription, "first");
    QVERIFY(app.prompts.shown.empty());
    const std::string target = dir / "results.xml";
    app.prompts.file_answers.push_back(target);
    app.window->ApplyEdit(hit, kFileName, "y.mp3");
    QCOMPARE(Text(LoadCatalog(target).Top()->Field(kFullPath)), std::string("y.mp3"));
    QCOMPARE(Text(LoadCatalog(target).Top()->Field(kDescription)), std::string("first"));
    // A save that fails is shown as an error, and the old file is still whole.
    const std::string before = testing::ReadFile(target);
    fs::permissions(dir.Path(), fs::perms::owner_read | fs::perms::owner_exec);
    app.window->SetCurrentCatalogFile(target);
    app.window->ApplyEdit(hit, kDescription, "second");
    fs::permissions(dir.Path(), fs::perms::owner_all);
    if (::geteuid() != 0) {
      QCOMPARE(app.prompts.shown.size(), std::size_t{1});
      QCOMPARE(app.prompts.shown[0].caption, std::string("Error"));
      QCOMPARE(app.prompts.shown[0].icon, MessageIcon::kError);
      QVERIFY(app.prompts.shown[0].text.find(target) != std::string::npos);
      QCOMPARE(testing::ReadFile(target), before);
      QVERIFY(!app.window->progress_window()->isVisible());
    }
    QCOMPARE(Text(hit->Field(kDescription)), std::string("second"));
  }

  void DetailPaneEditsOnlyNameAndDescriptionOfItems() {
    testing::TempDir dir;
    const std::string music = dir / "CatalogLibrary/Mp3/Music.xml";
    Started app(dir.Path());
    WriteCatalogFile(DataCatalog(), music, NoProgress());
    app.window->RefreshLibrary();
    app.ClickLibrary(music);
    DetailModel* vle = app.window->detail_model();
    // A library record: nothing editable, hints are the bare values.
    for (int row = 0; row < vle->rowCount(); ++row) {
      QVERIFY(!(vle->index(row, 1).flags() & Qt::ItemIsEditable));
    }
    QCOMPARE(vle->index(0, 1).data(Qt::ToolTipRole).toString(), QStringLiteral("Music"));
    QCOMPARE(vle->index(0, 0).data(Qt::ToolTipRole).toString(), QStringLiteral("FileName"));

    const QModelIndex b_txt = app.window->catalog_model()->index(1, 0, app.Top());
    app.window->catalog_view()->setCurrentIndex(b_txt);
    // One row per column row, hidden ones included, in the configuration's order.
    QCOMPARE(vle->rowCount(), 11);
    QCOMPARE(vle->index(5, 0).data().toString(), QStringLiteral("FileType"));
    QCOMPARE(vle->index(5, 1).data().toString(), QStringLiteral("file"));
    for (int row = 0; row < vle->rowCount(); ++row) {
      const bool name_or_description = row == kFileName || row == kDescription;
      QCOMPARE(bool(vle->index(row, 1).flags() & Qt::ItemIsEditable), name_or_description);
      QVERIFY(!(vle->index(row, 0).flags() & Qt::ItemIsEditable));
    }
    QCOMPARE(vle->index(kDescription, 1).data(Qt::ToolTipRole).toString(),
             QStringLiteral(" (Press F2 to edit the file's Description)"));
    QCOMPARE(vle->index(kFileName, 1).data(Qt::ToolTipRole).toString(),
             QStringLiteral("b.txt (Press F2 to edit the file's FileName)"));
    QCOMPARE(vle->index(kFullPath, 1).data(Qt::ToolTipRole).toString(),
             QStringLiteral("/media/Data/b.txt"));

    // An edit in the pane: saved, shown in the view, the pane's other rows wait for a refill.
    QVERIFY(vle->setData(vle->index(kFileName, 1), QStringLiteral("notes.txt"), Qt::EditRole));
    QCOMPARE(app.Detail("FileName"), QStringLiteral("notes.txt"));
    QCOMPARE(app.Detail("FileNameLength"), QString());  // the catalog held none for b.txt
    QCOMPARE(app.window->catalog_model()->index(1, kFileNameLength, app.Top()).data().toString(),
             QStringLiteral("9"));
    QCOMPARE(Text(LoadCatalog(music).Top()->children[1]->Field(kFullPath)),
             std::string("/media/Data/notes.txt"));
    QVERIFY(!vle->setData(vle->index(kFullPath, 1), QStringLiteral("x"), Qt::EditRole));
    QVERIFY(app.prompts.shown.empty());
  }

  void TheMenuBarCarriesEveryCommandWithItsShortcut() {
    testing::TempDir dir;
    Started app(dir.Path());
    // "item|shortcut" per menu, separators as "-".
    QStringList items;
    for (QAction* menu : app.window->menuBar()->actions()) {
      for (QAction* action : menu->menu()->actions()) {
        items << (action->isSeparator()
                      ? QStringLiteral("-")
                      : action->text() + "|" +
                            action->shortcut().toString(QKeySequence::PortableText));
      }
      items << QStringLiteral("/");
    }
    QCOMPARE(items, (QStringList{"&New Catalog...|Ctrl+N",
                                 "&Update Catalog...|",
                                 "Content &hashes|",
                                 "Import...|",
                                 "&Export...|Ctrl+E",
                                 "-",
                                 "Connect to Shared Library...|",
                                 "-",
                                 "E&xit|Ctrl+Q",
                                 "/",
                                 "&Search...|Ctrl+F",
                                 "Find D&uplicates|",
                                 "-",
                                 "&Rename|F2",
                                 "Edit &Description|",
                                 "/",
                                 "&Catalog Library...|",
                                 "Config Visible C&olumns...|",
                                 "-",
                                 "&Refresh|F5",
                                 "/",
                                 "&Help|F1",
                                 "Goto Home&page|",
                                 "-",
                                 "&About Lumivor|",
                                 "/"}));
    // The toolbar keeps its Alt mnemonics; no menu title takes one of them, nor one another's.
    QString taken;
    for (int i = 0; i < 6; ++i) {
      const QString caption = app.window->ToolButton(i)->text();
      taken += caption.at(caption.indexOf('&') + 1).toUpper();
    }
    QCOMPARE(taken, QStringLiteral("NCSEOX"));
    for (QAction* menu : app.window->menuBar()->actions()) {
      const QString title = menu->text();
      const QChar mnemonic = title.at(title.indexOf('&') + 1).toUpper();
      QVERIFY2(!taken.contains(mnemonic), qPrintable(title));
      taken += mnemonic;
    }
  }

  void F2RenamesAGroupOrCatalogInTheLibraryTree() {
    testing::TempDir dir;
    const std::string music = dir / "CatalogLibrary/Mp3/Music.xml";
    Started app(dir.Path());
    WriteCatalogFile(DataCatalog(), music, NoProgress());
    app.window->RefreshLibrary();
    app.ClickLibrary(music);
    // The status line counts the entries of the catalog on screen.
    QCOMPARE(app.window->EntryCountText(),
             QString::number(app.window->CatalogSize()) + QStringLiteral(" entries"));
    app.window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(app.window.get()));
    QTreeView* library = app.window->library_panel()->TreeView();
    library->setFocus();
    QTest::keyClick(library, Qt::Key_F2);
    QLineEdit* editor = Editor(library);
    QVERIFY(editor != nullptr);
    QCOMPARE(editor->text(), QStringLiteral("Music"));
    editor->selectAll();
    QTest::keyClicks(editor, "Songs");
    QTest::keyClick(editor, Qt::Key_Return);
    QTRY_VERIFY(std::filesystem::exists(dir / "CatalogLibrary/Mp3/Songs.xml"));
    QVERIFY(!std::filesystem::exists(music));
    // The catalog on screen follows its file, and the tree shows the new name selected.
    QCOMPARE(app.window->CurrentCatalogFile(), dir / "CatalogLibrary/Mp3/Songs.xml");
    QTRY_COMPARE(app.window->library_panel()->SelectedPath(),
                 QString::fromStdString(dir / "CatalogLibrary/Mp3/Songs.xml"));

    // A group too; a refused name is told and the editor opens again.
    QVERIFY(app.window->library_panel()->SelectNodeByPath(
        QString::fromStdString(dir / "CatalogLibrary/DVD")));
    library->setFocus();
    app.window->OnRenameClicked();
    editor = Editor(library);
    QVERIFY(editor != nullptr);
    QCOMPARE(editor->text(), QStringLiteral("DVD"));
    editor->selectAll();
    QTest::keyClicks(editor, "Mp3");
    QTest::keyClick(editor, Qt::Key_Return);
    // The editor commits once the key has been handled.
    QTRY_COMPARE(app.prompts.shown.size(), std::size_t{1});
    QCOMPARE(app.prompts.shown.back().text, std::string("A file with the name already exists!"));
    QTRY_VERIFY(Editor(library) != nullptr);
    QVERIFY(std::filesystem::is_directory(dir / "CatalogLibrary/DVD"));
    // The library root keeps its name.
    QTest::keyClick(Editor(library), Qt::Key_Escape);
    QVERIFY(app.window->library_panel()->SelectNodeByPath(
        QString::fromStdString(dir / "CatalogLibrary")));
    library->setFocus();
    app.window->OnRenameClicked();
    QVERIFY(Editor(library) == nullptr);
  }

  void HelpOpensTheReadmeOrSaysWhyNot() {
    testing::TempDir dir;
    Started app(dir.Path());
    QList<QUrl> opened;
    bool can_open = true;
    app.window->open_url = [&](const QUrl& url) {
      opened << url;
      return can_open;
    };
    // The tests run in the build tree: the README of the sources is the help.
    app.window->OnHelpClicked();
    QCOMPARE(opened.size(), 1);
    QVERIFY(opened[0].isLocalFile());
    QCOMPARE(QFileInfo(opened[0].toLocalFile()).fileName(), QStringLiteral("README.md"));
    QVERIFY(QFileInfo(opened[0].toLocalFile()).isFile());
    QVERIFY(app.prompts.shown.empty());
    // A desktop without a viewer for it: the user is told where the file is.
    can_open = false;
    app.window->OnHelpClicked();
    QCOMPARE(app.prompts.shown.size(), std::size_t{1});
    QCOMPARE(app.prompts.shown[0].text, "No program is set up to show " +
                                            opened[0].toLocalFile().toStdString() +
                                            ". Open it with a text editor.");
  }

  void ShortcutsRunTheirCommands() {
    testing::TempDir dir;
    const std::string music = dir / "CatalogLibrary/Mp3/Music.xml";
    Started app(dir.Path());
    WriteCatalogFile(DataCatalog(), music, NoProgress());
    app.window->RefreshLibrary();
    app.ClickLibrary(music);
    app.window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(app.window.get()));
    testing::ModalDriver driver;
    QStringList opened;
    const auto note = [&opened](QDialog* dialog) {
      opened << dialog->windowTitle();
      dialog->reject();
    };
    for (const Qt::Key key : {Qt::Key_N, Qt::Key_F, Qt::Key_E}) {
      driver.When<QDialog>(note);
      // A closed dialog hands the activation back to the main window.
      app.window->activateWindow();
      QVERIFY(QTest::qWaitForWindowActive(app.window.get()));
      QTest::keyClick(app.window->catalog_view(), key, Qt::ControlModifier);
    }
    QVERIFY(driver.Done());
    QCOMPARE(opened, (QStringList{"Create a new Catalog", "File Search", "Export Catalog"}));

    // F2 renames the focused item in place.
    app.window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(app.window.get()));
    QTreeView* vt = app.window->catalog_view();
    vt->setFocus();
    vt->setCurrentIndex(
        app.window->catalog_model()->index(1, kFullPath, app.Top()));  // read-only cell
    QTest::keyClick(vt, Qt::Key_F2);
    QLineEdit* editor = Editor(vt);
    QVERIFY(editor != nullptr);
    QCOMPARE(editor->text(), QStringLiteral("b.txt"));
    QTest::keyClick(editor, Qt::Key_Escape);
    // F2 on an editable cell edits that cell, as the view's own key did.
    vt->setCurrentIndex(app.window->catalog_model()->index(1, kDescription, app.Top()));
    QTest::keyClick(vt, Qt::Key_F2);
    editor = Editor(vt);
    QVERIFY(editor != nullptr);
    editor->setText(QStringLiteral("notes"));
    QTest::keyClick(editor, Qt::Key_Return);
    QTRY_COMPARE(Text(LoadCatalog(music).Top()->children[1]->Field(kDescription)),
                 std::string("notes"));

    // F5 reads the catalog on screen again from its file.
    CatalogTree changed = DataCatalog();
    changed.AddChild(changed.Top(), Record("new.txt", "/media/Data/new.txt", "file"));
    WriteCatalogFile(changed, music, NoProgress());
    QTest::keyClick(vt, Qt::Key_F5);
    QCOMPARE(app.window->CatalogSize(), std::size_t{6});
    QCOMPARE(app.window->CurrentCatalogFile(), music);

    // Ctrl+Q quits.
    QTest::keyClick(vt, Qt::Key_Q, Qt::ControlModifier);
    QVERIFY(!app.window->isVisible());
    QVERIFY(app.prompts.shown.empty());
  }

  void TheTitleNamesWhatIsShown() {
    testing::TempDir dir;
    const std::string music = dir / "CatalogLibrary/Mp3/Music.xml";
    Started app(dir.Path());
    WriteCatalogFile(DataCatalog(), music, NoProgress());
    app.window->RefreshLibrary();
    app.ClickLibrary(music);
    QCOMPARE(app.window->windowTitle(), QStringLiteral("Music - Orvane Lumivor 3.5.4"));
    app.ClickLibrary(dir / "CatalogLibrary/Mp3");
    QCOMPARE(app.window->windowTitle(), QStringLiteral("Orvane Lumivor 3.5.4"));
    SearchOutcome outcome;
    outcome.results.AddChild(nullptr, Record("x", "/x", "file"));
    outcome.sources = {{music, 0}};
    app.window->ShowSearchResults(std::move(outcome));
    QCOMPARE(app.window->windowTitle(), QStringLiteral("Search results - Orvane Lumivor 3.5.4"));
  }

  void EditsOfResultsGoToTheirOwnCatalogs() {
    testing::TempDir dir;
    const std::string music = dir / "CatalogLibrary/Mp3/Music.xml";
    const std::string films = dir / "CatalogLibrary/DVD/Films.xml";
    Started app(dir.Path());
    WriteCatalogFile(DataCatalog(), music, NoProgress());
    CatalogTree film_tree;
    auto* top = film_tree.AddChild(nullptr, Record("/f", "/f", "directory"));
    film_tree.AddChild(top, Record("song.mkv", "/f/song.mkv", "file"));
    WriteCatalogFile(film_tree, films, NoProgress());
    app.window->RefreshLibrary();
    SearchCriteria criteria;
    criteria.name = "o";
    criteria.scope_path = dir / "CatalogLibrary";
    criteria.scope_is_directory = true;
    app.window->ShowSearchResults(SearchLibrary(criteria, NoProgress()));
    // /f, song.mkv from Films; Photos, song.mp3, p1.jpg from Music... in the order found.
    QCOMPARE(app.Names(), (QStringList{"song.mkv", "song.mp3", "Photos"}));
    QCOMPARE(app.window->StatusText(), QStringLiteral("3 results in 2 catalogs"));
    QVERIFY(app.window->CurrentCatalogFile().empty());

    // F2 on a result's Description: written to Music.xml, no file dialog, nothing else changed.
    QTreeView* vt = app.window->catalog_view();
    vt->setFocus();
    vt->setCurrentIndex(app.window->catalog_model()->index(1, kDescription));
    QCOMPARE(app.window->StatusText(),
             QStringLiteral("3 results in 2 catalogs ==> CatalogLibrary/Mp3/Music ==> song.mp3"));
    QTest::keyClick(vt, Qt::Key_F2);
    QLineEdit* editor = Editor(vt);
    QVERIFY(editor != nullptr);
    editor->setText(QStringLiteral("best of"));
    QTest::keyClick(editor, Qt::Key_Return);
    QTRY_COMPARE(app.Detail("Description"), QStringLiteral("best of"));
    const CatalogTree saved = LoadCatalog(music);
    QCOMPARE(Text(saved.Top()->children[0]->Field(kDescription)), std::string("best of"));
    QCOMPARE(saved.Size(), std::size_t{5});
    QVERIFY(app.prompts.shown.empty());
    QVERIFY(!fs::exists(dir / "results.xml"));

    // Renaming a folder result moves the paths below it, in the file and in the other rows.
    app.window->ApplyEdit(CatalogModel::NodeOf(app.window->catalog_model()->index(2, 0)), kFileName,
                          "Pictures");
    QCOMPARE(app.window->catalog_model()->index(2, kFullPath).data().toString(),
             QStringLiteral("/media/Data/Pictures"));
    QCOMPARE(Text(LoadCatalog(music).Top()->children[1]->children[0]->Field(kFullPath)),
             std::string("/media/Data/Pictures/p1.jpg"));
    // The row still names its catalog.
    QCOMPARE(app.window->catalog_model()->index(2, kCatalogName).data().toString(),
             QStringLiteral("Music"));

    // A catalog changed since the search is not written to; the row keeps its text.
    CatalogTree shuffled;
    shuffled.AddChild(nullptr, Record("other", "/other", "directory"));
    WriteCatalogFile(shuffled, films, NoProgress());
    const std::string before = testing::ReadFile(films);
    app.window->ApplyEdit(CatalogModel::NodeOf(app.window->catalog_model()->index(0, 0)),
                          kDescription, "lost?");
    QCOMPARE(app.prompts.shown.size(), std::size_t{1});
    QCOMPARE(app.prompts.shown[0].caption, std::string("Error"));
    QCOMPARE(testing::ReadFile(films), before);
    QCOMPARE(app.window->catalog_model()->index(0, kDescription).data().toString(), QString());
  }

  void InvalidNamesAreRefusedAndTheExtensionFollowsTheName() {
    testing::TempDir dir;
    const std::string music = dir / "CatalogLibrary/Mp3/Music.xml";
    Started app(dir.Path());
    WriteCatalogFile(DataCatalog(), music, NoProgress());
    app.window->RefreshLibrary();
    app.ClickLibrary(music);
    const std::string before = testing::ReadFile(music);
    CatalogTree::Node* song =
        CatalogModel::NodeOf(app.window->catalog_model()->index(2, 0, app.Top()));
    QCOMPARE(Text(song->Field(kFileName)), std::string("song.mp3"));
    for (const std::string& bad :
         std::vector<std::string>{"", ".", "..", "a/b", "ada/", std::string(1000, 'n')}) {
      app.window->ApplyEdit(song, kFileName, bad);
      QCOMPARE(app.prompts.shown.back().text, std::string(EditRefusal(song, kFileName, bad)));
      QVERIFY(app.prompts.shown.back().text.size() > kInvalidName.size());
      QCOMPARE(app.prompts.shown.back().caption, std::string("Warning"));
    }
    QCOMPARE(app.prompts.shown.size(), std::size_t{6});
    QCOMPARE(Text(song->Field(kFileName)), std::string("song.mp3"));
    QCOMPARE(testing::ReadFile(music), before);
    // A renamed file's extension follows its name, so an extension search finds it.
    app.window->ApplyEdit(song, kFileName, "x.txt");
    QCOMPARE(Text(song->Field(kFileExt)), std::string("txt"));
    QCOMPARE(Text(LoadCatalog(music).Top()->children[2]->Field(kFileExt)), std::string("txt"));
  }

  void AMalformedCatalogShowsAnErrorAndChangesNothing() {
    testing::TempDir dir;
    const std::string music = dir / "CatalogLibrary/Mp3/Music.xml";
    const std::string bad = dir / "CatalogLibrary/Mp3/Broken.xml";
    Started app(dir.Path());
    WriteCatalogFile(DataCatalog(), music, NoProgress());
    testing::WriteFile(bad, "<fileinfo><file FileName=\"a\"><file></fileinfo>");
    app.window->RefreshLibrary();
    app.ClickLibrary(music);
    app.window->catalog_view()->setCurrentIndex(
        app.window->catalog_model()->index(1, 0, app.Top()));
    app.ClickLibrary(bad);
    QCOMPARE(app.prompts.shown.size(), std::size_t{1});
    QCOMPARE(app.prompts.shown[0].caption, std::string("Error"));
    QCOMPARE(app.prompts.shown[0].icon, MessageIcon::kError);
    QVERIFY2(app.prompts.shown[0].text.find(bad) != std::string::npos,
             app.prompts.shown[0].text.c_str());
    QCOMPARE(app.window->CurrentCatalogFile(), music);
    QCOMPARE(app.window->CatalogSize(), std::size_t{5});
    QVERIFY(app.window->DetailShowsItem());
    QCOMPARE(app.Detail("FileName"), QStringLiteral("b.txt"));
    QVERIFY(!app.window->progress_window()->isVisible());
  }
};

QTEST_MAIN(MainWindowTest)
#include "main_window_test.moc"
