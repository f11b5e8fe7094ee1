// The commands of the main window that run through a dialog: New Catalog, Catalog Library, Search,
// Export and the visible columns.

#include <QApplication>
#include <QFileInfo>

#include "config/config.h"
#include "config/ui/tfm_config.h"
#include "core/scanner.h"
#include "library/ui/frm_cat_tree.h"
#include "library/ui/tfm_cat_lib.h"
#include "library/ui/tfm_new_cat.h"
#include "main/ui/tfm_main.h"
#include "search/ui/tfm_search.h"

namespace lumivor {

namespace {
std::string Utf8(const QString& text) { return text.toUtf8().toStdString(); }
}  // namespace

void TFMMain::BtnNewCatClick() {
  RunCommand([this] {
    TFMNewCat dialog(UserPrompts(), QString::fromStdString(LibraryPath()), this);
    if (dialog.exec() != QDialog::Accepted) return;
    const QString source = dialog.SourcePath();
    // The folder may have gone (a medium taken out) while the dialog was open.
    if (source.trimmed().isEmpty() || !QFileInfo(source).isDir()) return;
    SetScanRootName(Utf8(source));
    SetCurrentCatalogFile(Utf8(dialog.CatalogFile()));
    CatalogTree tree;
    SetScanRootName(ScanFolder(&tree, Utf8(source), dialog.OnlyFolders(),
                               Utf8(dialog.GetExtFilter()), CurrentCatalogFile(), WaitProgress()));
    SetCatalogTree(std::move(tree));
    SaveCurrentCatalog();
    RefreshLibrary(CurrentCatalogFile());
    UpdateStatusBar();
  });
  RunCommand([this] { ResortCatalog(); });
}

void TFMMain::BtnCatLibClick() {
  std::string opened;
  RunCommand([this, &opened] {
    TFMCatLib window(UserPrompts(), QString::fromStdString(LibraryPath()), this);
    if (window.exec() != QDialog::Accepted || window.SelectedCatalog().isEmpty()) return;
    opened = Utf8(window.SelectedCatalog());
    OpenCatalog(opened);
  });
  // Renames, moves and deletions show in the main window's tree too.
  RunCommand([this, &opened] {
    RefreshLibrary(opened);
    UpdateStatusBar();
  });
}

void TFMMain::BtnSearchClick() {
  // Wired once the library search is in.
}

void TFMMain::BtnExportClick() {
  // Wired once the exporters are in.
}

void TFMMain::ConfigVisibleColumnsClick() {
  RunCommand([this] {
    TFMConfig dialog(Config(), UserPrompts(), this);
    if (dialog.exec() == QDialog::Accepted) ApplyColumnVisibility();
  });
}

}  // namespace lumivor
