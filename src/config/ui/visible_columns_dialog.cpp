#include "config/ui/visible_columns_dialog.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

#include "config/config.h"
#include "core/errors.h"

namespace lumivor {

VisibleColumnsDialog::VisibleColumnsDialog(Configuration& config, Prompts& prompts, QWidget* parent)
    : QDialog(parent), config_(config), prompts_(prompts) {
  setWindowTitle(QStringLiteral("Config visible columns"));
  auto* caption_label = new QLabel(QStringLiteral("Config visible columns:"), this);
  column_list = new QListWidget(this);
  column_list->setFrameShape(QFrame::Panel);
  column_list->setFrameShadow(QFrame::Sunken);
  caption_label->setBuddy(column_list);
  ok_button = new QPushButton(QStringLiteral("&OK"), this);
  cancel_button = new QPushButton(QStringLiteral("&Cancel"), this);
  ok_button->setDefault(true);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(ok_button);
  buttons->addWidget(cancel_button);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(caption_label);
  layout->addWidget(column_list, 1);
  layout->addLayout(buttons);
  resize(217, 280);

  const ColumnSettings nodes = config_.Root().nodes();
  for (int i = 0; i < nodes.Count(); ++i) {
    const ColumnSetting row = nodes.Node(i);
    auto* item = new QListWidgetItem(QString::fromStdString(row.Name()), column_list);
    item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
    item->setCheckState(row.Visible() ? Qt::Checked : Qt::Unchecked);
  }
  if (column_list->count() > 0) column_list->setCurrentRow(0);

  connect(ok_button, &QPushButton::clicked, this, &VisibleColumnsDialog::OnOkClicked);
  connect(cancel_button, &QPushButton::clicked, this, &QDialog::reject);
}

void VisibleColumnsDialog::OnOkClicked() {
  ColumnSettings nodes = config_.Root().nodes();
  for (int i = 0; i < nodes.Count() && i < column_list->count(); ++i) {
    nodes.Node(i).SetVisible(column_list->item(i)->checkState() == Qt::Checked);
  }
  try {
    config_.Save();
  } catch (const LumivorError& error) {
    prompts_.ShowMessage("Error", error.what(), MessageIcon::kError);
    return;
  }
  accept();
}

}  // namespace lumivor
