#include "library/ui/library_panel.h"

#include <QCoreApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QVBoxLayout>
#include <algorithm>

#include "core/errors.h"
#include "library/library_storage.h"
#include "library/ui/library_icons.h"
#include "scan/catalog_medium.h"
#include "server/pg_connection.h"
#include "server/server_library.h"
#include "ui/grid_style.h"

namespace lumivor {

LibraryPanel::LibraryPanel(QWidget* parent) : QWidget(parent) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  view_ = new QTreeView(this);
  view_->setObjectName(QStringLiteral("VTLib"));
  model_ = new LibraryTreeModel(this);
  model_->SetIcons(GroupIcon(), CatalogIcon());
  view_->setModel(model_);
  view_->setItemDelegate(new GridDelegate(view_));
  view_->setSelectionMode(QAbstractItemView::SingleSelection);
  view_->setSelectionBehavior(QAbstractItemView::SelectRows);
  view_->setRootIsDecorated(true);
  view_->setExpandsOnDoubleClick(true);
  view_->setUniformRowHeights(true);
  view_->setMouseTracking(true);  // hot tracking
  view_->setAllColumnsShowFocus(true);
  view_->setEditTriggers(QAbstractItemView::EditKeyPressed);
  view_->setSortingEnabled(false);  // the header click rule below sorts

  QHeaderView* header = view_->header();
  header->setSectionsClickable(true);
  header->setSectionsMovable(true);
  header->setSortIndicatorShown(false);
  header->setStretchLastSection(false);
  header->setMinimumHeight(17);
  connect(header, &QHeaderView::sectionClicked, this, &LibraryPanel::HeaderClicked);
  SetColumnWidths(170, 100, 80);
  SetPlainColours(false);

  layout->addWidget(view_);

  connect(view_, &QTreeView::clicked, this, &LibraryPanel::EmitActivated);
  connect(view_->selectionModel(), &QItemSelectionModel::currentChanged, this,
          [this](const QModelIndex& current, const QModelIndex&) {
            emit FocusChanged(model_->NodeOf(current));
          });
  view_->installEventFilter(this);
  view_->viewport()->installEventFilter(this);
}

LibraryPanel::~LibraryPanel() { StopMediumCheck(); }

void LibraryPanel::SetLibraryRoot(const QString& root) { root_ = root; }

void LibraryPanel::StopMediumCheck() {
  if (!medium_check_.joinable()) return;
  medium_check_.request_stop();
  medium_check_.join();
}

void LibraryPanel::Resort() {
  if (sorted_) {
    model_->sort(view_->header()->sortIndicatorSection(), sort_order_);
  } else {
    model_->sort(LibraryTreeModel::kNameColumn, Qt::AscendingOrder);
  }
}

void LibraryPanel::WaitForMediumStates() {
  if (medium_check_.joinable()) medium_check_.join();
  // The answer was posted to this object; take it now.
  QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
}

void LibraryPanel::SetGroupsOnly(bool groups_only) { groups_only_ = groups_only; }

void LibraryPanel::RefreshLibrary() {
  StopMediumCheck();
  const std::string root = root_.toStdString();
  CatalogTree listing;
  std::vector<std::string> catalogs;
  listing_error_.clear();
  if (pg::IsServerLocation(root)) {
    // A server library: its listing has the shape of a folder's; its media are not looked at.
    // A server that cannot be reached lists as the library's top alone, and says why.
    try {
      listing = ServerLibrary(root).List(groups_only_);
    } catch (const LumivorError& error) {
      listing_error_ = error.what();
      listing = LibraryTreeOf(
          {{0, pg::RedactedConnInfo(root), std::string(kLibraryRootCaption), {}, 0, true}});
    }
  } else {
    listing = ListLibrary(root, groups_only_);
    if (!groups_only_) catalogs = CatalogPathsOf(listing);
  }
  model_->SetTree(std::move(listing));
  // The listing comes by name; a sort the user chose by clicking the header stays in force.
  if (sorted_) Resort();
  const std::uint64_t listing_number = ++listing_;
  if (!catalogs.empty()) {
    // This object outlives the thread: a new listing and the destructor stop and join it first.
    medium_check_ =
        std::jthread([this, catalogs = std::move(catalogs), listing_number](std::stop_token stop) {
          std::vector<CatalogMedium> media = ReadMediumStates(catalogs, stop);
          if (stop.stop_requested()) return;
          QMetaObject::invokeMethod(
              this,
              [this, media = std::move(media), listing_number] {
                if (listing_number == listing_) model_->SetMediumStates(media);
              },
              Qt::QueuedConnection);
        });
  }
  const QModelIndex top = model_->index(0, 0);
  if (!top.isValid()) {
    emit FocusChanged(nullptr);
    return;
  }
  view_->setFocus();
  view_->selectionModel()->setCurrentIndex(
      top, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
  view_->expand(top);
}

bool LibraryPanel::SelectNodeByPath(const QString& path) {
  LibraryTreeModel::Node* node = model_->FindByPath(path);
  if (node == nullptr) return false;
  const QModelIndex index = model_->IndexOf(node);
  for (QModelIndex up = index.parent(); up.isValid(); up = up.parent()) view_->expand(up);
  view_->setFocus();
  view_->selectionModel()->setCurrentIndex(
      index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
  view_->expand(index);
  view_->scrollTo(index);
  return true;
}

LibraryTreeModel::Node* LibraryPanel::FocusedNode() const {
  return model_->NodeOf(view_->selectionModel()->currentIndex());
}

QString LibraryPanel::SelectedPath() const {
  const LibraryTreeModel::Node* node = FocusedNode();
  if (node == nullptr) return {};
  const std::string path = node->Field(kFullPath);
  return QString::fromUtf8(path.data(), static_cast<qsizetype>(path.size()));
}

bool LibraryPanel::SelectedIsCatalog() const {
  const LibraryTreeModel::Node* node = FocusedNode();
  return node != nullptr && node->Field(kFileType) == kFileTypeText;
}

void LibraryPanel::SetUseFolderIcon(bool folder) {
  use_folder_icon_ = folder;
  model_->SetIcons(folder ? FolderIcon() : GroupIcon(), CatalogIcon());
}

void LibraryPanel::SetPlainColours(bool plain) {
  if (plain) {
    view_->setPalette(QPalette());
    view_->header()->setStyleSheet(QString());
    return;
  }
  QPalette palette = view_->palette();
  palette.setColor(QPalette::Base, Themed(kTreeBackground, palette));
  palette.setColor(QPalette::AlternateBase, Themed(kTreeBackground, palette));
  view_->setPalette(palette);
  view_->header()->setStyleSheet(GridHeaderStyle());
}

void LibraryPanel::SetHint(const QString& hint) {
  view_->setToolTip(hint);
  model_->SetEmptyHint(hint);
}

void LibraryPanel::SetColumnWidths(int name, int time, int size) {
  // A full date and time must fit whatever the desktop's font.
  const QFontMetrics metrics(view_->font());
  time = std::max(time, metrics.horizontalAdvance(QStringLiteral("0000-00-00 00:00:00")) + 14);
  size = std::max(size, metrics.horizontalAdvance(QStringLiteral("0,000.00 KB")) + 14);
  view_->setColumnWidth(LibraryTreeModel::kNameColumn, name);
  view_->setColumnWidth(LibraryTreeModel::kTimeColumn, time);
  view_->setColumnWidth(LibraryTreeModel::kSizeColumn, size);
}

void LibraryPanel::HeaderClicked(int section) {
  // The first click sorts ascending; every later click flips the direction, also when it lands
  // on another column.
  QHeaderView* header = view_->header();
  Qt::SortOrder order = Qt::AscendingOrder;
  if (sorted_) {
    order = sort_order_ == Qt::AscendingOrder ? Qt::DescendingOrder : Qt::AscendingOrder;
  }
  sorted_ = true;
  sort_order_ = order;
  header->setSortIndicatorShown(true);
  header->setSortIndicator(section, order);
  model_->sort(section, order);
}

void LibraryPanel::EmitActivated(const QModelIndex& index) {
  const LibraryTreeModel::Node* node = model_->NodeOf(index);
  if (node == nullptr) return;
  const std::string path = node->Field(kFullPath);
  emit NodeActivated(QString::fromUtf8(path.data(), static_cast<qsizetype>(path.size())),
                     node->Field(kFileType) == kFileTypeText);
}

bool LibraryPanel::eventFilter(QObject* watched, QEvent* event) {
  if (watched == view_->viewport() && event->type() == QEvent::Resize) {
    // The name column takes the room the pane gains, so names are not cut off in a wide pane.
    const int others = view_->columnWidth(LibraryTreeModel::kTimeColumn) +
                       view_->columnWidth(LibraryTreeModel::kSizeColumn);
    const int room = view_->viewport()->width() - others;
    if (room > view_->columnWidth(LibraryTreeModel::kNameColumn)) {
      view_->setColumnWidth(LibraryTreeModel::kNameColumn, room);
    }
  }
  if (watched == view_ && event->type() == QEvent::KeyPress) {
    const int key = static_cast<QKeyEvent*>(event)->key();
    if (key == Qt::Key_Return || key == Qt::Key_Enter) {
      EmitActivated(view_->currentIndex());
      return true;
    }
  }
  return QWidget::eventFilter(watched, event);
}

}  // namespace lumivor
