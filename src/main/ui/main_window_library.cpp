// The main window's library: a folder, or a server library shared with others.
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>

#include "catalog/catalog_edit.h"
#include "catalog/catalog_reader.h"
#include "catalog/fields.h"
#include "config/config.h"
#include "core/errors.h"
#include "library/ui/library_panel.h"
#include "main/ui/catalog_model.h"
#include "main/ui/main_window.h"
#include "server/pg_connection.h"
#include "server/server_library.h"

namespace lumivor {

namespace {

QString FromUtf8(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

bool MainWindow::IsServerCatalog(const std::string& path) const {
  if (!pg::IsServerLocation(library_location_)) return false;
  const std::string prefix = pg::RedactedConnInfo(library_location_) + "/";
  return path.size() > prefix.size() && path.compare(0, prefix.size(), prefix) == 0;
}

void MainWindow::UseLibrary(const std::string& location) {
  if (pg::IsServerLocation(location)) {
    // Connecting makes or upgrades the tables, and tells at once when the server refuses.
    RunInBackground([&](WorkContext&) { ServerLibrary check(location); });
  }
  library_location_ = location;
  library_panel_->SetLibraryRoot(FromUtf8(location));
  library_label_->setText(FromUtf8(pg::IsServerLocation(location)
                                       ? "Shared library: " + pg::RedactedConnInfo(location)
                                       : location));
  ClearCatalog();
  current_catalog_file_.clear();
  RefreshLibrary();
  UpdateStatusBar();
}

void MainWindow::OnConnectLibraryClicked() {
  const QString shared = FromUtf8(Config().SharedLibrary());
  bool ok = false;
  const QString text = QInputDialog::getText(
      this, QStringLiteral("Connect to Shared Library"),
      QStringLiteral("PostgreSQL connection (postgresql://user@host/database or service=name);\n"
                     "leave it empty to use the library folder again:"),
      QLineEdit::Normal, shared, &ok);
  if (!ok) return;
  const std::string location = text.trimmed().toUtf8().toStdString();
  RunCommand([&] {
    UseLibrary(location.empty() ? LibraryPath() : location);
    // Kept without its password: libpq finds that in ~/.pgpass, the service file or PGPASSWORD.
    Config().SetSharedLibrary(location.empty() ? std::string() : pg::RedactedConnInfo(location));
    Config().Save();
  });
}

CatalogTree MainWindow::LoadServerCatalog(const std::string& path) {
  const std::string name = path.substr(pg::RedactedConnInfo(library_location_).size() + 1);
  CatalogTree tree;
  std::string snapshot;
  RunInBackground([&](WorkContext&) {
    ServerLibrary library(library_location_);
    TreeSink sink(&tree);
    library.ReadCatalog(library.FindCatalog(name), sink, &snapshot);
  });
  server_read_snapshot_ = snapshot;
  return tree;
}

void MainWindow::SaveServerEdit(CatalogTree::Node* node, int field, const std::string& old_text) {
  const std::string name =
      current_catalog_file_.substr(pg::RedactedConnInfo(library_location_).size() + 1);
  const std::string text(node->Field(field));
  if (field != kDescription) {
    // A rename changes the paths below it: the catalog is written whole, in one transaction,
    // keeping the descriptions others set since it was opened.
    const CatalogTree& tree = catalog_model_->Tree();
    RunOnShownTree([&](WorkContext&) {
      ServerLibrary library(library_location_);
      library.ReplaceCatalog(
          name,
          [&](RecordSink& sink) {
            tree.ForEachRecord([&](const CatalogTree::Node*, const RecordView& record) {
              return sink.Add(record);
            });
          },
          server_read_snapshot_);
    });
    return;
  }
  const std::string current = DescribeOnServer(name, node->Field(kFullPath), text, old_text);
  if (current == text) return;
  catalog_model_->ApplyEdit(node, kDescription, current);
  ShowDetail(node);
}

std::string MainWindow::DescribeOnServer(const std::string& name, const std::string& entry,
                                         const std::string& text, const std::string& old_text) {
  DescribeOutcome outcome;
  RunInBackground([&](WorkContext&) {
    outcome = ServerLibrary(library_location_).Describe(name, entry, text, old_text);
  });
  if (outcome.status == DescribeOutcome::Status::kSaved) return text;
  // Someone else changed this description meanwhile: nothing is overwritten silently.
  const bool keep_mine = prompts_->AskYesNo(
      "Warning", ConflictText(outcome.current) + "\n\nReplace it with your text?",
      MessageIcon::kQuestion);
  if (keep_mine) {
    RunInBackground([&](WorkContext&) {
      outcome = ServerLibrary(library_location_).Describe(name, entry, text, outcome.current);
    });
    if (outcome.status == DescribeOutcome::Status::kSaved) return text;
    prompts_->ShowMessage("Warning", ConflictText(outcome.current), MessageIcon::kWarning);
  }
  return outcome.current;
}

void MainWindow::ApplyServerResultEdit(CatalogTree::Node* node, const ResultSource& source,
                                       int field, std::string_view text) {
  const std::string name =
      source.catalog_path.substr(pg::RedactedConnInfo(library_location_).size() + 1);
  if (const std::string_view refusal = EditRefusal(node, field, text); !refusal.empty()) {
    prompts_->ShowMessage(kWarningCaption, refusal, MessageIcon::kWarning);
    return;
  }
  if (field == kDescription) {
    // One row changes, with the same conflict rule as in the catalog view.
    const std::string current = DescribeOnServer(name, node->Field(kFullPath), std::string(text),
                                                 std::string(node->Field(kDescription)));
    CatalogRecord record = node->Record();
    record.SetField(kDescription, current);
    catalog_model_->ReplaceRecord(node, record);
    return;
  }
  // A rename changes the paths below it: the catalog is written whole, in one transaction.
  EditedCatalog edited;
  const CatalogRecord shown = node->Record();
  RunInBackground([&](WorkContext&) {
    edited = ServerLibrary(library_location_).EditResult(name, source, shown, field, text);
  });
  if (!edited.refusal.empty()) {
    prompts_->ShowMessage(kWarningCaption, edited.refusal, MessageIcon::kWarning);
    return;
  }
  RefreshResultsOf(source.catalog_path, edited);
}

}  // namespace lumivor
