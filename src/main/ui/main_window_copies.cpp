// The main window's commands about copies: Find Duplicates, Where Else?, Compare With... and
// Verify. Each reads on the worker thread, with progress and Cancel, into a window of its own
// that shows the results as they come.

#include <QAction>
#include <QPointer>
#include <QStatusBar>
#include <QTreeView>
#include <optional>

#include "catalog/catalog_file.h"
#include "catalog/fields.h"
#include "copies/catalog_compare.h"
#include "copies/copy_finder.h"
#include "copies/library_content.h"
#include "copies/medium_verify.h"
#include "copies/ui/copies_window.h"
#include "copies/ui/differences_window.h"
#include "core/errors.h"
#include "library/ui/library_panel.h"
#include "main/ui/catalog_model.h"
#include "main/ui/main_window.h"
#include "scan/volumes.h"
#include "ui/background_work.h"
#include "update/catalog_update.h"

namespace lumivor {

namespace {

QString FromUtf8(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// The groups handed to the window at once, so that a large result does not flood the queue.
constexpr std::size_t kGroupsPerDelivery = 200;

QString CountsText(const DuplicateSummary& summary, bool cancelled) {
  QString text = FromUtf8(summary.CountsLine());
  if (summary.unhashed > 0) {
    text += QStringLiteral("; %1 files without a content hash were left out").arg(summary.unhashed);
  }
  if (cancelled) text += QStringLiteral(". Cancelled.");
  return text;
}

}  // namespace

void MainWindow::ShowCopies(const QString& title, const ContentEntry* of_entry) {
  const std::string library = LibraryPath();
  auto* window = new CopiesWindow(title, this);
  window->setAttribute(Qt::WA_DeleteOnClose);
  window->open_copy = [this](const std::string& catalog, const std::string& path) {
    OpenCopy(catalog, path);
  };
  window->show();
  QPointer<CopiesWindow> shown(window);
  const std::optional<ContentEntry> wanted =
      of_entry ? std::optional<ContentEntry>(*of_entry) : std::nullopt;
  std::vector<std::string> catalogs, labels;
  DuplicateSummary summary;
  bool cancelled = false;
  RunInBackground([&](WorkContext& work) {
    const ProgressShown shown_progress(work.progress, true);
    catalogs = CatalogsOfScopes(library, {}, work.progress);
    for (const std::string& catalog : catalogs) labels.push_back(CatalogLabel(library, catalog));
    std::vector<ContentEntry> entries =
        ReadContentEntries(catalogs, {}, work.progress, nullptr, work.stop, &cancelled);
    if (cancelled) return;
    CopyKey by = CopyKey::kHash;
    if (wanted) {
      // The entry's own copies: by content where it has a hash, else by name and size.
      by = CopyKeyOf(*wanted, CopyKey::kHash).empty() ? CopyKey::kNameSize : CopyKey::kHash;
      const std::string key = CopyKeyOf(*wanted, by);
      std::erase_if(entries, [&](const ContentEntry& entry) {
        return entry.size != wanted->size || CopyKeyOf(entry, by) != key;
      });
    }
    std::vector<DuplicateGroup> groups = FindDuplicates(std::move(entries), by, &summary);
    for (std::size_t begin = 0; begin < groups.size(); begin += kGroupsPerDelivery) {
      auto part = std::make_shared<std::vector<DuplicateGroup>>(
          std::make_move_iterator(groups.begin() + static_cast<std::ptrdiff_t>(begin)),
          std::make_move_iterator(
              groups.begin() +
              static_cast<std::ptrdiff_t>(std::min(groups.size(), begin + kGroupsPerDelivery))));
      work.deliveries.Deliver([part, shown, &catalogs, &labels] {
        if (!shown) return;
        for (const DuplicateGroup& group : *part) shown->AddGroup(group, catalogs, labels);
      });
    }
  });
  if (!shown) return;
  if (wanted && summary.groups == 0 && !cancelled) {
    shown->SetSummary(QStringLiteral("No copy of this file was found in the library."));
    return;
  }
  shown->SetSummary(CountsText(summary, cancelled));
}

void MainWindow::SetContentHashes(bool hashes) {
  content_hashes_ = hashes;
  if (content_hashes_action_ != nullptr && content_hashes_action_->isChecked() != hashes) {
    content_hashes_action_->setChecked(hashes);
  }
}

void MainWindow::OnFindDuplicatesClicked() {
  RunCommand([this] { ShowCopies(QStringLiteral("Find Duplicates"), nullptr); });
}

void MainWindow::OnWhereElseClicked(const CatalogTree::Node* node) {
  if (node == nullptr || !node->IsFile()) return;
  ContentEntry entry;
  entry.name = node->Name();
  entry.path = node->Field(kFullPath);
  entry.hash = node->Extra(kHashAttribute);
  const std::string size = node->Field(kFileSize);
  entry.size = std::strtoull(size.c_str(), nullptr, 10);
  RunCommand([&] { ShowCopies(QStringLiteral("Where Else? - ") + FromUtf8(entry.name), &entry); });
}

void MainWindow::CompareCatalogWith(const std::string& path) {
  RunCommand([&] {
    const std::string other = AskOpenFileName(UserPrompts(), kCatalogExtension, kCatalogFilter, {});
    if (other.empty()) return;
    auto* window = new DifferencesWindow(
        QStringLiteral("Compare With..."),
        QStringLiteral("A: %1\nB: %2").arg(FromUtf8(path), FromUtf8(other)), this);
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->show();
    QPointer<DifferencesWindow> shown(window);
    CompareCounts counts;
    RunInBackground(
        [&](WorkContext& work) {
          const ProgressShown shown_progress(work.progress, true);
          const CatalogTree a = LoadCatalog(path, work.progress);
          const CatalogTree b = LoadCatalog(other, work.progress);
          counts = CompareCatalogs(
              a, b,
              [&](const CatalogDifference& d) {
                QString kind;
                switch (d.kind) {
                  case CatalogDifference::Kind::kOnlyA:
                    kind = QStringLiteral("only in A");
                    break;
                  case CatalogDifference::Kind::kOnlyB:
                    kind = QStringLiteral("only in B");
                    break;
                  case CatalogDifference::Kind::kChanged:
                    kind = QStringLiteral("changed");
                    break;
                  case CatalogDifference::Kind::kMoved:
                    kind = QStringLiteral("moved");
                    break;
                  case CatalogDifference::Kind::kSame:
                    kind = QStringLiteral("description");
                    break;
                }
                QString detail;
                if (d.kind == CatalogDifference::Kind::kChanged) {
                  if (d.size_a != d.size_b)
                    detail =
                        QStringLiteral("size %1 -> %2").arg(FromUtf8(d.size_a), FromUtf8(d.size_b));
                  if (d.time_a != d.time_b) {
                    if (!detail.isEmpty()) detail += QStringLiteral(", ");
                    detail +=
                        QStringLiteral("time %1 -> %2").arg(FromUtf8(d.time_a), FromUtf8(d.time_b));
                  }
                  if (detail.isEmpty()) detail = QStringLiteral("content");
                }
                if (d.descriptions_differ) {
                  if (!detail.isEmpty()) detail += QStringLiteral("; ");
                  detail += QStringLiteral("description \"%1\" -> \"%2\"")
                                .arg(FromUtf8(d.description_a), FromUtf8(d.description_b));
                }
                const QString row_path = FromUtf8(d.path), row_other = FromUtf8(d.other_path);
                work.deliveries.Deliver([shown, kind, row_path, row_other, detail] {
                  if (shown) shown->AddDifference(kind, row_path, row_other, detail);
                });
              },
              work.stop);
        },
        QStringLiteral("Comparing ") + FromUtf8(DisplayNameOf(path)));
    if (!shown) return;
    shown->SetSummary(FromUtf8(counts.CountsLine()) +
                      (counts.cancelled ? QStringLiteral(". Cancelled.") : QString()));
  });
}

void MainWindow::VerifyCatalog(const std::string& path) {
  RunCommand([&] {
    auto* window = new DifferencesWindow(QStringLiteral("Verify"),
                                         QStringLiteral("Verify ") + FromUtf8(path), this);
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->show();
    QPointer<DifferencesWindow> shown(window);
    VerifyCounts counts;
    bool no_medium = false;
    RunInBackground(
        [&](WorkContext& work) {
          const ProgressShown shown_progress(work.progress, true);
          const CatalogTree catalog = LoadCatalog(path, work.progress);
          if (!catalog.Top()) throw LumivorError(path + ": The catalog holds no records");
          std::string source = LocateMedium(catalog.Top()->Record());
          if (source.empty()) {
            source = work.prompts.ChooseFolder(
                "The medium of " + DisplayNameOf(path) + " is not connected. Where is it?", {});
          }
          if (source.empty()) {
            no_medium = true;
            return;
          }
          counts = VerifyMedium(
              catalog, source,
              [&](const VerifyFinding& finding) {
                const QString kind = QString::fromLatin1(FindingKindName(finding.kind));
                const QString row_path = FromUtf8(finding.path), detail = FromUtf8(finding.detail);
                work.deliveries.Deliver([shown, kind, row_path, detail] {
                  if (shown) shown->AddDifference(kind, row_path, {}, detail);
                });
              },
              work.stop, work.progress);
        },
        QStringLiteral("Verifying ") + FromUtf8(DisplayNameOf(path)));
    if (!shown) return;
    if (no_medium) {
      shown->SetSummary(QStringLiteral("The medium of this catalog is not connected."));
      return;
    }
    shown->SetSummary(FromUtf8(counts.CountsLine()) +
                      (counts.cancelled ? QStringLiteral(". Cancelled.") : QString()));
  });
}

void MainWindow::OpenCopy(const std::string& catalog, const std::string& full_path) {
  RunCommand([&] {
    CatalogTree tree;
    RunInBackground([&](WorkContext& work) { tree = LoadCatalog(catalog, work.progress); });
    const CatalogTree::Node* target = nullptr;
    tree.ForEachRecord([&](const CatalogTree::Node* node, const RecordView& record) {
      if (record.fields[kFullPath] != full_path) return true;
      target = node;
      return false;
    });
    statusBar()->clearMessage();
    ShowOpenedCatalog(std::move(tree), catalog);
    library_panel_->SelectNodeByPath(QString::fromStdString(catalog));
    ResortCatalog();
    UpdateStatusBar();
    if (target == nullptr) return;
    const QModelIndex index = catalog_model_->IndexOf(target);
    for (QModelIndex up = index.parent(); up.isValid(); up = up.parent()) catalog_view_->expand(up);
    catalog_view_->setFocus();
    catalog_view_->selectionModel()->setCurrentIndex(
        index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    catalog_view_->scrollTo(index, QAbstractItemView::PositionAtCenter);
  });
  activateWindow();
  raise();
}

}  // namespace lumivor
