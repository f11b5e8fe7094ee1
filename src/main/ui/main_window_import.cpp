// The Import command of the main window.

#include <stop_token>

#include "catalog/catalog_file.h"
#include "import/ui/import_dialog.h"
#include "main/ui/main_window.h"

namespace lumivor {

void MainWindow::OnImportClicked() {
  RunCommand([this] {
    ImportDialog dialog(UserPrompts(), QString::fromStdString(LibraryPath()), this);
    if (dialog.exec() != QDialog::Accepted) return;
    const ImportRequest request = dialog.Request();
    ImportOutcome outcome;
    bool cancelled = false;
    CatalogTree tree;
    RunInBackground([&](WorkContext& work) {
      work.progress.ShowWait(true, true);
      work.progress.SetWaitText("Importing..");
      std::stop_source stop;
      ImportControl control;
      control.stop = stop.get_token();
      control.progress = [&](std::size_t) {
        if (work.progress.WaitCancelled()) stop.request_stop();
      };
      try {
        outcome = ImportListing(request, control);
      } catch (const ImportCancelled&) {
        cancelled = true;
      }
      // The first catalog the listing gave is the one shown.
      if (!cancelled && !outcome.catalogs.empty()) {
        tree = LoadCatalog(outcome.catalogs.front(), work.progress);
      }
      work.progress.ShowWait(false);
    });
    if (cancelled || outcome.catalogs.empty()) return;
    ShowOpenedCatalog(std::move(tree), outcome.catalogs.front());
    RefreshLibrary(outcome.catalogs.front());
    ResortCatalog();
    UpdateStatusBar();
  });
}

}  // namespace lumivor
