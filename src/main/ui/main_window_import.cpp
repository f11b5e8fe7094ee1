// The Import command of the main window.

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
      {
        ProgressShown shown(work.progress, true);
        work.progress.SetWaitText("Importing..");
        ImportControl control;
        control.stop = work.stop;
        try {
          outcome = ImportListing(request, control);
        } catch (const ImportCancelled&) {
          cancelled = true;
        }
      }
      // The first catalog the listing gave is the one shown.
      if (!cancelled && !outcome.catalogs.empty()) {
        tree = LoadCatalog(outcome.catalogs.front(), work.progress);
      }
    });
    if (cancelled || outcome.catalogs.empty()) return;
    ShowOpenedCatalog(std::move(tree), outcome.catalogs.front());
    RefreshLibrary(outcome.catalogs.front());
    ResortCatalog();
    UpdateStatusBar();
  });
}

}  // namespace lumivor
