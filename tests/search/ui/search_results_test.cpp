// Search results in the main window: rows that appear while the search runs and end in the
// search's own order, the detail pane rows that say where a result is kept, and "Open Catalog",
// which shows the result's catalog with its record selected.

#include <QAbstractItemModel>
#include <QApplication>
#include <QMenu>
#include <QStatusBar>
#include <QTest>
#include <QTimer>
#include <QTreeView>
#include <memory>

#include "catalog/fields.h"
#include "core/prompts.h"
#include "index/indexed_search.h"
#include "library/ui/library_panel.h"
#include "main/ui/catalog_model.h"
#include "main/ui/detail_model.h"
#include "main/ui/main_window.h"
#include "search/result_edit.h"
#include "search/search.h"
#ifndef LUMIVOR_CLI_PATH
#define LUMIVOR_CLI_PATH ""
#endif
#include "support/scripted_prompts.h"
#include "test_util.h"

using lumivor::testing::TempDir;
using lumivor::testing::WriteFile;

namespace {

// A catalog of the disk `top`: folders "f0".."f{folders-1}", each holding `per_folder` files
// "song <folder>-<n>.mp3" and one "notes.txt".
std::string Catalog(const std::string& top, int folders, int per_folder) {
  std::string text =
      "<fileinfo><file FileName=\"" + top + "\" FullPath=\"" + top + "\" FileType=\"directory\">";
  for (int f = 0; f < folders; ++f) {
    const std::string folder = top + "/f" + std::to_string(f);
    text += "<file FileName=\"f" + std::to_string(f) + "\" FullPath=\"" + folder +
            "\" FileType=\"directory\">";
    for (int n = 0; n < per_folder; ++n) {
      const std::string name = "song " + std::to_string(f) + "-" + std::to_string(n) + ".mp3";
      text += "<file FileName=\"" + name + "\" FullPath=\"" + folder + "/" + name +
              "\" FileType=\"file\"/>";
    }
    text +=
        "<file FileName=\"notes.txt\" FullPath=\"" + folder + "/notes.txt\" FileType=\"file\"/>";
    text += "</file>";
  }
  return text + "</file></fileinfo>";
}

struct Fixture {
  TempDir dir;
  std::string data = dir / "data";
  std::string library = data + "/CatalogLibrary";
  lumivor::ScriptedPrompts prompts;
  std::unique_ptr<lumivor::MainWindow> window;

  Fixture() {
    ::setenv("LUMIVOR_CACHE_DIR", (dir / "cache").c_str(), 1);
    WriteFile(library + "/Mp3/Music.xml", Catalog("Music", 20, 40));
    WriteFile(library + "/DVD/Films.xml", Catalog("Films", 10, 40));
    WriteFile(library + "/Top.xml", Catalog("Top", 1, 3));
    window = std::make_unique<lumivor::MainWindow>(data, &prompts);
    window->InitMainWindow();
    window->resize(900, 500);
    window->show();
    (void)QTest::qWaitForWindowExposed(window.get());
  }

  [[nodiscard]] lumivor::SearchCriteria Songs() const {
    lumivor::SearchCriteria criteria;
    criteria.name = "song";
    criteria.scope_path = library;
    criteria.scope_is_directory = true;
    return criteria;
  }

  [[nodiscard]] const std::vector<lumivor::CatalogTree::Node*>& Rows() const {
    return window->catalog_model()->Tree().Root()->children;
  }

  [[nodiscard]] QString Detail(const QString& key) const {
    for (const lumivor::DetailModel::Row& row : window->detail_model()->Rows()) {
      if (row.key == key) return row.value;
    }
    return QStringLiteral("(none)");
  }

  void Select(const lumivor::CatalogTree::Node* node) const {
    window->catalog_view()->selectionModel()->setCurrentIndex(
        window->catalog_model()->IndexOf(node),
        QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
  }

  // Right-clicks the row of `node` and picks "Open Catalog"; false when the menu did not offer it.
  bool OpenCatalogOf(const lumivor::CatalogTree::Node* node) const {
    QTreeView* view = window->catalog_view();
    const QModelIndex index = window->catalog_model()->IndexOf(node);
    view->scrollTo(index);
    bool offered = false;
    auto* picker = new QTimer(window.get());
    picker->setInterval(10);
    QObject::connect(picker, &QTimer::timeout, [picker, &offered] {
      auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
      if (menu == nullptr) return;
      picker->stop();
      picker->deleteLater();
      auto* open = menu->findChild<QAction*>(QStringLiteral("OpenCatalog"));
      offered = open != nullptr && open->isEnabled();
      if (offered) menu->setActiveAction(open);
      QTest::keyClick(menu, offered ? Qt::Key_Return : Qt::Key_Escape);
    });
    picker->start();
    emit view->customContextMenuRequested(view->visualRect(index).center());
    return offered;
  }
};

}  // namespace

class SearchResultsTest : public QObject {
  Q_OBJECT

 private slots:
  void ResultsAppearWhileTheSearchRunsInTheirFinalOrder() {
    Fixture f;
    (void)lumivor::UpdateLibraryIndex(f.library, false, lumivor::NoProgress());
    // Each batch of rows as it came, and whether the search was still running then.
    std::vector<int> batches;
    bool all_while_running = true;
    QObject::connect(f.window->catalog_model(), &QAbstractItemModel::rowsInserted,
                     [&](const QModelIndex& parent, int first, int last) {
                       if (parent.isValid()) return;
                       batches.push_back(last - first + 1);
                       all_while_running &= f.window->Work().Running();
                     });
    f.window->RunSearch(f.Songs());
    const lumivor::SearchOutcome files = lumivor::SearchLibrary(f.Songs(), lumivor::NoProgress());
    QCOMPARE(files.sources.size(), std::size_t(20 * 40 + 10 * 40 + 3));
    // The first hundred came on their own, before the rest was found.
    QVERIFY2(batches.size() >= 2, QByteArray::number(int(batches.size())));
    QCOMPARE(batches.front(), 100);
    QVERIFY(all_while_running);
    // In the end exactly what reading the files gives, in the same order, each with its source.
    QCOMPARE(f.Rows().size(), files.sources.size());
    for (std::size_t i = 0; i < f.Rows().size(); ++i) {
      const lumivor::ResultSource* source = f.window->SourceOf(f.Rows()[i]);
      QVERIFY(source != nullptr);
      QCOMPARE(source->catalog_path, files.sources[i].catalog_path);
      QCOMPARE(source->ordinal, files.sources[i].ordinal);
      QCOMPARE(f.Rows()[i]->Record(), files.results.Root()->children[i]->Record());
    }
    QCOMPARE(f.window->StatusText(), QStringLiteral("1203 results in 3 catalogs"));
    QCOMPARE(f.prompts.shown.back().text, std::string("Search Finished"));

    // A second search replaces the rows; one that finds nothing leaves none.
    lumivor::SearchCriteria notes = f.Songs();
    notes.name = "notes";
    f.window->RunSearch(notes);
    QCOMPARE(f.Rows().size(), std::size_t(31));
    notes.name = "nothing like it";
    f.window->RunSearch(notes);
    QVERIFY(f.Rows().empty());
    QCOMPARE(f.window->StatusText(), QStringLiteral("0 results in 0 catalogs"));
  }

  void TheDetailPaneSaysWhereAResultIsKept() {
    Fixture f;
    f.window->RunSearch(f.Songs());
    QVERIFY(!f.Rows().empty());
    f.Select(f.Rows().back());
    QCOMPARE(f.Detail("FileName"), QStringLiteral("song 0-2.mp3"));
    QCOMPARE(f.Detail("CatalogName"), QStringLiteral("Top"));
    QCOMPARE(f.Detail("CatalogGroup"), QStringLiteral("CatalogLibrary"));
    QCOMPARE(f.Detail("CatalogFile"), QString::fromStdString(f.library + "/Top.xml"));
    f.Select(f.Rows().front());
    QCOMPARE(f.Detail("CatalogGroup"), QStringLiteral("CatalogLibrary/DVD"));
    QCOMPARE(f.Detail("CatalogFile"), QString::fromStdString(f.library + "/DVD/Films.xml"));
    // An opened catalog's own records say nothing of the sort.
    f.window->OpenCatalog(f.library + "/Top.xml");
    f.Select(f.Rows().front());
    QCOMPARE(f.Detail("CatalogFile"), QStringLiteral("(none)"));
  }

  void OpenCatalogShowsTheResultsRecordSelected() {
    Fixture f;
    f.window->RunSearch(f.Songs());
    // A record deep in the catalog, far down the view.
    const lumivor::CatalogTree::Node* result = nullptr;
    for (const lumivor::CatalogTree::Node* row : f.Rows()) {
      if (row->Field(lumivor::kFileName) == "song 18-33.mp3") result = row;
    }
    QVERIFY(result != nullptr);
    const std::string full_path(result->Field(lumivor::kFullPath));
    const std::string catalog = f.library + "/Mp3/Music.xml";
    QVERIFY(f.OpenCatalogOf(result));
    QVERIFY(!f.window->ShowsResults());
    QCOMPARE(f.window->CurrentCatalogFile(), catalog);
    QCOMPARE(f.window->library_panel()->SelectedPath(), QString::fromStdString(catalog));
    const lumivor::CatalogTree::Node* selected = f.window->FocusedItem();
    QVERIFY(selected != nullptr);
    QCOMPARE(std::string(selected->Field(lumivor::kFullPath)), full_path);
    QVERIFY(f.window->catalog_view()->selectionModel()->isRowSelected(
        f.window->catalog_model()->IndexOf(selected).row(),
        f.window->catalog_model()->IndexOf(selected).parent()));
    // Scrolled to: its row lies within the view.
    const QRect shown =
        f.window->catalog_view()->visualRect(f.window->catalog_model()->IndexOf(selected));
    QVERIFY(f.window->catalog_view()->viewport()->rect().intersects(shown));
    QCOMPARE(f.Detail("FileName"), QStringLiteral("song 18-33.mp3"));

    // The catalog lost the record since the search: it opens with nothing selected, and says why.
    f.window->RunSearch(f.Songs());
    const lumivor::CatalogTree::Node* top = nullptr;
    for (const lumivor::CatalogTree::Node* row : f.Rows()) {
      if (row->Field(lumivor::kCatalogName) == "Top") top = row;
    }
    QVERIFY(top != nullptr);
    WriteFile(f.library + "/Top.xml", Catalog("Top", 1, 0));
    QVERIFY(f.OpenCatalogOf(top));
    QCOMPARE(f.window->CurrentCatalogFile(), f.library + "/Top.xml");
    QVERIFY(f.window->FocusedItem() == nullptr);
    QCOMPARE(f.window->statusBar()->currentMessage(),
             QString::fromStdString(std::string(lumivor::kResultMoved)));
  }
};

QTEST_MAIN(SearchResultsTest)
#include "search_results_test.moc"
