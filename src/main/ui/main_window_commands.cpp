// The commands of the main window that run through a dialog: New Catalog, Catalog Library, Search,
// Export and the visible columns.

#include <QApplication>
#include <QCheckBox>
#include <QFileInfo>
#include <QLineEdit>
#include <QStatusBar>

#include "config/config.h"
#include "config/ui/visible_columns_dialog.h"
#include "copies/catalog_hashes.h"
#include "export/ui/export_dialog.h"
#include "index/index_follower.h"
#include "index/indexed_search.h"
#include "library/ui/library_panel.h"
#include "library/ui/library_window.h"
#include "library/ui/new_catalog_dialog.h"
#include "main/ui/catalog_model.h"
#include "main/ui/main_window.h"
#include "scan/scanner.h"
#include "scan/volumes.h"
#include "search/search.h"
#include "search/ui/search_dialog.h"
#include "stores/open_library.h"
#include "update/catalog_update.h"

namespace lumivor {

namespace {
std::string Utf8(const QString& text) { return text.toUtf8().toStdString(); }
}  // namespace

void MainWindow::OnNewCatalogClicked() {
  RunCommand([this] {
    NewCatalogDialog dialog(UserPrompts(), QString::fromStdString(library_location_), this);
    ScanPreferences remembered = Config().Root().scan();
    dialog.SetDeepOptions({remembered.archives(), remembered.metadata()});
    // Counting the notes of a catalog about to be replaced reads the whole file: off this thread.
    dialog.count_descriptions = [this](const std::string& path) {
      std::size_t count = 0;
      RunInBackground([&](WorkContext& work) { count = CountDescriptions(path, work.progress); },
                      QStringLiteral("Reading ") + QString::fromStdString(DisplayNameOf(path)));
      return count;
    };
    dialog.SetContentHashes(ContentHashes());
    if (dialog.exec() != QDialog::Accepted) return;
    const DeepScanOptions deep = dialog.DeepOptions();
    const bool hashes = dialog.ContentHashes();
    if (!dialog.OnlyFolders()) SetContentHashes(hashes);
    if (!dialog.OnlyFolders()) {
      remembered.SetArchives(deep.archives);
      remembered.SetMetadata(deep.metadata);
    }
    const QString source = dialog.SourcePath();
    // The folder may have gone (a medium taken out) while the dialog was open.
    if (source.trimmed().isEmpty() || !QFileInfo(source).isDir()) return;
    // The user chose to keep the old catalog's descriptions: it is updated from the folder.
    if (dialog.UpdatesExisting()) {
      UpdateCatalog(Utf8(dialog.CatalogFile()), Utf8(source));
      return;
    }
    // The scan builds a tree of its own: the catalog on screen stays until it has succeeded.
    CatalogTree tree;
    ScanReport report;
    HashReport hash_report;
    std::string root_name;
    const std::string folder = Utf8(source), filter = Utf8(dialog.GetExtFilter()),
                      catalog = Utf8(dialog.CatalogFile());
    const bool only_folders = dialog.OnlyFolders();
    RunInBackground(
        [&](WorkContext& work) {
          root_name = ScanFolder(&tree, folder, only_folders, filter, catalog, work.progress,
                                 &work.scan_listener, &report, deep, work.stop);
          if (hashes && !report.cancelled) {
            const ProgressShown shown(work.progress, true);
            hash_report = HashCatalogFiles(tree, folder, {}, work.stop, work.progress);
            if (hash_report.cancelled) report.cancelled = true;
          }
        },
        QStringLiteral("Cataloguing ") + source);
    // A cancelled scan writes nothing and leaves the catalog on screen as it was.
    if (report.cancelled) return;
    StoreScannedCatalog(std::move(tree), catalog, root_name, dialog.Plan());
    ShowScanNotes(report, deep, hash_report);
  });
  RunCommand([this] { ResortCatalog(); });
}

void MainWindow::StoreScannedCatalog(CatalogTree&& tree, const std::string& catalog,
                                     const std::string& root_name, const NewCatalogPlan& plan) {
  const bool server = IsServerCatalog(catalog);
  if (server) {
    // Into a server library in one transaction, before the window shows it.
    RunInBackground(
        [&](WorkContext&) { OpenLibrary(library_location_)->SaveNewCatalog(plan, tree); });
  }
  SetScanRootName(root_name);
  SetCurrentCatalogFile(catalog);
  SetCatalogTree(std::move(tree));
  try {
    if (!server) SaveCurrentCatalog();
  } catch (...) {
    // A catalog that could not be written is none: nothing stays on screen whose every edit
    // would try the same save again.
    ClearCatalog();
    SetCurrentCatalogFile({});
    UpdateStatusBar();
    throw;
  }
  RefreshLibrary(CurrentCatalogFile());
  UpdateStatusBar();
}

void MainWindow::ShowScanNotes(const ScanReport& report, const DeepScanOptions& deep,
                               const HashReport& hash_report) {
  if (report.unreadable_folders > 0) {
    UserPrompts().ShowMessage("Warning", UnreadableFoldersText(report.unreadable_folders),
                              MessageIcon::kWarning);
  }
  if (const std::string note = DeepScanNote(deep, report.deep); !note.empty()) {
    UserPrompts().ShowMessage("Done", note, MessageIcon::kNone);
  }
  if (hash_report.unreadable > 0) {
    UserPrompts().ShowMessage("Warning", UnhashedFilesText(hash_report.unreadable),
                              MessageIcon::kWarning);
  }
}

namespace {

// Tells the library's index of the library window's changes as work of their own, on the worker
// thread with Cancel. Busy with other work, it tells nothing: the index then finds the change by
// the stamps it compares before the next search.
class IndexOnWorker final : public LibraryChanges {
 public:
  explicit IndexOnWorker(BackgroundWork* work) : work_(work) {}
  void Written(const std::string& path) override {
    Run([&](IndexFollower& index) { index.Written(path); });
  }
  void Removed(const std::string& path) override {
    Run([&](IndexFollower& index) { index.Removed(path); });
  }
  void Moved(const std::string& from, const std::string& to) override {
    Run([&](IndexFollower& index) { index.Moved(from, to); });
  }

 private:
  template <typename Tell>
  void Run(const Tell& tell) {
    work_->Run([&](WorkContext& work) {
      IndexFollower index(work.stop);
      tell(index);
    });
  }

  BackgroundWork* work_;
};

}  // namespace

void MainWindow::TellIndexMoved(const std::string& from, const std::string& to) {
  IndexOnWorker(work_).Moved(from, to);
}

void MainWindow::OnLibraryClicked() {
  std::string opened;
  RunCommand([this, &opened] {
    LibraryWindow window(UserPrompts(), QString::fromStdString(library_location_), this);
    window.export_catalog = [this](const QString& path) {
      RunCommand([this, &path] {
        ExportDialog dialog(Config(), UserPrompts(), WaitProgress(),
                            QString::fromStdString(LibraryPath()), catalog_model_->Tree(), path,
                            this);
        dialog.screen_name = ScreenName();
        dialog.run_work = ScreenExportRunner();
        dialog.exec();
      });
    };
    window.update_catalog = [this](const QString& path) { UpdateCatalog(Utf8(path)); };
    window.remove_missing = [this](const QString& path) { RemoveMissing(Utf8(path)); };
    IndexOnWorker index(work_);
    window.library_changes = &index;
    // Moves across file systems copy, deletions of big groups take a while: off this thread.
    window.run_work = ExportRunner(QStringLiteral("Catalog Library"));
    if (window.exec() != QDialog::Accepted || window.SelectedCatalog().isEmpty()) return;
    opened = Utf8(window.SelectedCatalog());
    OpenCatalog(opened);
    // Sorted as a catalog opened from the main window's tree is.
    ResortCatalog();
  });
  // Renames, moves and deletions show in the main window's tree too.
  RunCommand([this, &opened] {
    RefreshLibrary(opened);
    UpdateStatusBar();
  });
}

void MainWindow::OnSearchClicked() {
  RunCommand([this] {
    SearchCriteria criteria;
    {
      SearchDialog dialog(UserPrompts(), QString::fromStdString(library_location_), this);
      if (dialog.exec() != QDialog::Accepted) return;
      criteria = dialog.Criteria();
    }
    RunSearch(criteria);
  });
}

std::function<void(const ExportDialog::ExportWork&)> MainWindow::ScreenExportRunner() {
  return [this](const ExportDialog::ExportWork& work) {
    RunOnShownTree(
        [&](WorkContext& context) { work(context.progress, context.prompts, context.stop); },
        QStringLiteral("Exporting"));
  };
}

std::function<void(const ExportDialog::ExportWork&)> MainWindow::ExportRunner(
    const QString& title) {
  return [this, title](const ExportDialog::ExportWork& work) {
    RunInBackground(
        [&](WorkContext& context) { work(context.progress, context.prompts, context.stop); },
        title);
  };
}

void MainWindow::OnExportClicked() {
  RunCommand([this] {
    ExportDialog dialog(Config(), UserPrompts(), WaitProgress(),
                        QString::fromStdString(LibraryPath()), catalog_model_->Tree(), QString(),
                        this);
    dialog.screen_name = ScreenName();
    dialog.run_work = ScreenExportRunner();
    dialog.exec();
  });
}

void MainWindow::OnVisibleColumnsClicked() {
  RunCommand([this] {
    VisibleColumnsDialog dialog(Config(), UserPrompts(), this);
    if (dialog.exec() == QDialog::Accepted) ApplyColumnVisibility();
  });
}

}  // namespace lumivor
