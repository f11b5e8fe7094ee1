#include "copies/ui/differences_window.h"

#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace lumivor {

DifferencesWindow::DifferencesWindow(const QString& title, const QString& caption, QWidget* parent)
    : QDialog(parent) {
  setObjectName(QStringLiteral("DifferencesWindow"));
  setWindowTitle(title);
  auto* heading = new QLabel(caption, this);
  heading->setWordWrap(true);
  list_ = new QTreeWidget(this);
  list_->setObjectName(QStringLiteral("DifferencesList"));
  list_->setRootIsDecorated(false);
  list_->setUniformRowHeights(true);
  list_->setHeaderLabels({QStringLiteral("Difference"), QStringLiteral("Path"),
                          QStringLiteral("Moved to"), QStringLiteral("Details")});
  list_->setSortingEnabled(true);
  list_->sortByColumn(-1, Qt::AscendingOrder);  // in the order found until the user sorts
  list_->header()->setSectionResizeMode(kPathColumn, QHeaderView::Stretch);
  summary_ = new QLabel(this);
  summary_->setObjectName(QStringLiteral("DifferencesSummary"));
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(heading);
  layout->addWidget(list_, 1);
  layout->addWidget(summary_);
  layout->addWidget(buttons);
  resize(860, 480);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

void DifferencesWindow::AddDifference(const QString& difference, const QString& path,
                                      const QString& other, const QString& detail) {
  auto* item = new QTreeWidgetItem(list_);
  item->setText(kDifferenceColumn, difference);
  item->setText(kPathColumn, path);
  item->setText(kOtherColumn, other);
  item->setText(kDetailColumn, detail);
}

void DifferencesWindow::SetSummary(const QString& text) { summary_->setText(text); }

QString DifferencesWindow::Summary() const { return summary_->text(); }

}  // namespace lumivor
