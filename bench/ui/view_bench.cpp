// The catalog view with a large catalog: open it from its file, expand the top node, sort by
// FileSize and scroll from top to bottom, against the core reading the same file in the same run.
//
//   QT_QPA_PLATFORM=offscreen view_bench [--records=1000000]
#include <QApplication>
#include <QHeaderView>
#include <QScrollBar>
#include <QTreeView>
#include <algorithm>
#include <filesystem>

#include "bench_util.h"
#include "catalog/catalog_file.h"
#include "core/prompts.h"
#include "main/ui/catalog_model.h"
#include "main/ui/main_window.h"
#include "support/scripted_prompts.h"

using namespace lumivor;
using namespace lumivor::bench;

namespace {

// Lets the view lay out and paint what changed.
void Settle() {
  for (int i = 0; i < 3; ++i) QApplication::processEvents();
}

// Scrolls `view` a page at a time from top to bottom, painting every page; returns the pages.
int ScrollThrough(QTreeView* view) {
  QScrollBar* bar = view->verticalScrollBar();
  bar->setValue(0);
  int pages = 0;
  while (true) {
    view->viewport()->repaint();
    ++pages;
    if (bar->value() >= bar->maximum()) break;
    bar->setValue(bar->value() + std::max(1, bar->pageStep()));
  }
  return pages;
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);
  const std::size_t records = IntOption(argc, argv, "records", 1'000'000);

  TempDir dir;
  const std::string group = dir.Path() + "/CatalogLibrary/Bench";
  std::filesystem::create_directories(group);
  const std::string path = group + "/Backup.xml";
  WriteCatalogFile(SyntheticCatalog(records, "Backup"), path, NoProgress());

  // The baseline: the core reads the same file into a tree of its own (best of two runs).
  double core_seconds = 1e9;
  std::size_t core_bytes = 0;
  for (int run = 0; run < 2; ++run) {
    const std::size_t before = HeapInUse();
    Stopwatch clock;
    CatalogTree tree = LoadCatalog(path);
    core_seconds = std::min(core_seconds, clock.Seconds());
    core_bytes = HeapInUse() - before;
  }

  ScriptedPrompts prompts;
  MainWindow window(dir.Path(), &prompts);
  window.InitMainWindow();
  window.show();
  Settle();
  QTreeView* view = window.catalog_view();

  const std::size_t before_open = HeapInUse();
  Stopwatch open_clock;
  window.OpenCatalog(path);  // reads the file and expands the top node
  Settle();
  const double open_seconds = open_clock.Seconds();

  Stopwatch sort_clock;
  window.OnHeaderClicked(kFileSize);
  Settle();
  const double sort_seconds = sort_clock.Seconds();

  Stopwatch scroll_clock;
  const int pages = ScrollThrough(view);
  const double scroll_seconds = scroll_clock.Seconds();
  const std::size_t view_bytes = HeapInUse() - before_open;

  Report("entries", static_cast<double>(window.CatalogSize()));
  Report("open_seconds", open_seconds);
  Report("core_load_seconds", core_seconds);
  Report("open_ratio", open_seconds / core_seconds);
  Report("sort_seconds", sort_seconds);
  Report("scroll_pages", pages);
  Report("scroll_seconds", scroll_seconds);
  Report("core_bytes", static_cast<double>(core_bytes));
  Report("view_bytes", static_cast<double>(view_bytes));
  Report("memory_ratio", static_cast<double>(view_bytes) / static_cast<double>(core_bytes));

  // The same sort carried into every folder at once, as a save or an export of the view takes it.
  Stopwatch full_clock;
  window.OnHeaderClicked(kFileSize);
  const CatalogTree& sorted = window.CatalogTreeShown();
  Settle();
  Report("full_sort_seconds", full_clock.Seconds());
  Report("sorted_entries", static_cast<double>(sorted.Size()));

  // Deeper: every folder opened, then 300 stops spread from top to bottom, painting each; the
  // folders come into order as they come into sight.
  Stopwatch expand_clock;
  view->expandAll();
  Settle();
  Report("expand_all_seconds", expand_clock.Seconds());
  Stopwatch deep_clock;
  QScrollBar* bar = view->verticalScrollBar();
  for (int stop = 0; stop <= 300; ++stop) {
    bar->setValue(static_cast<int>(static_cast<long long>(bar->maximum()) * stop / 300));
    view->viewport()->repaint();
  }
  Report("deep_scroll_rows", bar->maximum() + bar->pageStep());
  Report("deep_scroll_seconds", deep_clock.Seconds());

  window.hide();
  return 0;
}
