#include "copies/ui/copies_window.h"

#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace lumivor {

namespace {

// Where a copy's row keeps its catalog file and FullPath.
constexpr int kCatalogRole = Qt::UserRole + 1;
constexpr int kPathRole = Qt::UserRole + 2;
// The number a numeric column sorts by.
constexpr int kNumberRole = Qt::UserRole + 3;

QString FromUtf8(const std::string& text) { return QString::fromStdString(text); }

// A row that sorts its numeric columns by value.
class Row final : public QTreeWidgetItem {
 public:
  using QTreeWidgetItem::QTreeWidgetItem;
  bool operator<(const QTreeWidgetItem& other) const override {
    const int column = treeWidget() ? treeWidget()->sortColumn() : 0;
    const QVariant mine = data(column, kNumberRole), theirs = other.data(column, kNumberRole);
    if (mine.isValid() && theirs.isValid()) return mine.toULongLong() < theirs.toULongLong();
    return QTreeWidgetItem::operator<(other);
  }
};

void SetNumber(QTreeWidgetItem* item, int column, std::uint64_t value) {
  item->setText(column, QLocale().toString(static_cast<qulonglong>(value)));
  item->setData(column, kNumberRole, static_cast<qulonglong>(value));
  item->setTextAlignment(column, Qt::AlignRight | Qt::AlignVCenter);
}

}  // namespace

CopiesWindow::CopiesWindow(const QString& title, QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("CopiesWindow"));
  setWindowTitle(title);
  tree_ = new QTreeWidget(this);
  tree_->setObjectName(QStringLiteral("CopiesTree"));
  tree_->setHeaderLabels({QStringLiteral("Name"), QStringLiteral("Catalog"), QStringLiteral("Size"),
                          QStringLiteral("Copies"), QStringLiteral("Wasted")});
  tree_->setSortingEnabled(true);
  tree_->sortByColumn(kWastedColumn, Qt::DescendingOrder);
  tree_->header()->setSectionResizeMode(kNameColumn, QHeaderView::Stretch);
  tree_->setUniformRowHeights(true);
  summary_ = new QLabel(this);
  summary_->setObjectName(QStringLiteral("CopiesSummary"));
  open_button_ = new QPushButton(QStringLiteral("Open Catalog"), this);
  open_button_->setObjectName(QStringLiteral("OpenCatalog"));
  open_button_->setToolTip(QStringLiteral("Show the catalog of this copy, with the copy selected"));
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
  buttons->addButton(open_button_, QDialogButtonBox::ActionRole);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(tree_, 1);
  layout->addWidget(summary_);
  layout->addWidget(buttons);
  resize(820, 480);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  connect(open_button_, &QPushButton::clicked, this, &CopiesWindow::OpenCurrent);
  connect(tree_, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item) {
    if (item->parent()) OpenCurrent();
  });
  connect(tree_, &QTreeWidget::currentItemChanged, this, &CopiesWindow::UpdateButtons);
  UpdateButtons();
}

void CopiesWindow::AddGroup(const DuplicateGroup& group, const std::vector<std::string>& catalogs,
                            const std::vector<std::string>& labels) {
  if (group.copies.empty()) return;
  auto* head = new Row;
  const std::string& first = group.copies.front().path;
  head->setText(kNameColumn, FromUtf8(first.substr(first.rfind('/') + 1)));
  head->setToolTip(kNameColumn, FromUtf8(group.key));
  SetNumber(head, kSizeColumn, group.size);
  SetNumber(head, kCopiesColumn, group.copies.size());
  SetNumber(head, kWastedColumn, group.copies.size() > 1 ? group.Wasted() : 0);
  for (const DuplicateGroup::Copy& copy : group.copies) {
    auto* row = new Row(head);
    row->setText(kNameColumn, FromUtf8(copy.path));
    row->setText(kCatalogColumn, FromUtf8(labels[copy.catalog]));
    row->setData(kNameColumn, kCatalogRole, FromUtf8(catalogs[copy.catalog]));
    row->setData(kNameColumn, kPathRole, FromUtf8(copy.path));
    if (!copy.links.empty()) {
      QStringList links;
      for (const std::string& link : copy.links) links << FromUtf8(link);
      row->setToolTip(kNameColumn,
                      QStringLiteral("Also linked as ") + links.join(QStringLiteral(", ")));
    }
  }
  tree_->addTopLevelItem(head);
  head->setExpanded(true);
}

void CopiesWindow::SetSummary(const QString& text) { summary_->setText(text); }

void CopiesWindow::UpdateButtons() {
  QTreeWidgetItem* item = tree_->currentItem();
  open_button_->setEnabled(item != nullptr && item->parent() != nullptr);
}

void CopiesWindow::OpenCurrent() {
  QTreeWidgetItem* item = tree_->currentItem();
  if (item == nullptr || item->parent() == nullptr || !open_copy) return;
  open_copy(item->data(kNameColumn, kCatalogRole).toString().toStdString(),
            item->data(kNameColumn, kPathRole).toString().toStdString());
}

}  // namespace lumivor
