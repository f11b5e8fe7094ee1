#include "config/ui/tfm_config.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

#include "config/config.h"
#include "core/errors.h"

namespace lumivor {

TFMConfig::TFMConfig(TConfig& config, Prompts& prompts, QWidget* parent)
    : QDialog(parent), config_(config), prompts_(prompts) {
  setWindowTitle(QStringLiteral("Config visible columns"));
  auto* label1 = new QLabel(QStringLiteral("Config visible columns:"), this);
  clbList = new QListWidget(this);
  clbList->setFrameShape(QFrame::Panel);
  clbList->setFrameShadow(QFrame::Sunken);
  label1->setBuddy(clbList);
  BitBtn1 = new QPushButton(QStringLiteral("&OK"), this);
  BitBtn2 = new QPushButton(QStringLiteral("&Cancel"), this);
  BitBtn1->setDefault(true);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(BitBtn1);
  buttons->addWidget(BitBtn2);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(label1);
  layout->addWidget(clbList, 1);
  layout->addLayout(buttons);
  resize(217, 280);

  const TXMLNodesType nodes = config_.Root().nodes();
  for (int i = 0; i < nodes.Count(); ++i) {
    const TXMLNodeType row = nodes.Node(i);
    auto* item = new QListWidgetItem(QString::fromStdString(row.Name()), clbList);
    item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
    item->setCheckState(row.Visible() ? Qt::Checked : Qt::Unchecked);
  }
  if (clbList->count() > 0) clbList->setCurrentRow(0);

  connect(BitBtn1, &QPushButton::clicked, this, &TFMConfig::BitBtn1Click);
  connect(BitBtn2, &QPushButton::clicked, this, &QDialog::reject);
}

void TFMConfig::BitBtn1Click() {
  TXMLNodesType nodes = config_.Root().nodes();
  for (int i = 0; i < nodes.Count() && i < clbList->count(); ++i) {
    nodes.Node(i).SetVisible(clbList->item(i)->checkState() == Qt::Checked);
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
