#include "main/ui/tfm_update_summary.h"

#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace lumivor {

TFMUpdateSummary::TFMUpdateSummary(const QString& catalog_name, const UpdateSummary& summary,
                                   QWidget* parent)
    : QDialog(parent) {
  setWindowTitle(QStringLiteral("Update Finished"));
  LbCounts = new QLabel(this);
  LbCounts->setObjectName(QStringLiteral("LbCounts"));
  LbCounts->setText(QStringLiteral("%1 is up to date.\nAdded: %2   Removed: %3   Moved: %4   "
                                   "Changed: %5   Kept as missing: %6")
                        .arg(catalog_name)
                        .arg(summary.added.size())
                        .arg(summary.removed.size())
                        .arg(summary.moved.size())
                        .arg(summary.changed.size())
                        .arg(summary.missing.size()));
  MmList = new QPlainTextEdit(this);
  MmList->setObjectName(QStringLiteral("MmList"));
  MmList->setReadOnly(true);
  MmList->setLineWrapMode(QPlainTextEdit::NoWrap);
  QStringList lines;
  for (const std::string& line : summary.Lines()) lines << QString::fromStdString(line);
  MmList->setPlainText(lines.isEmpty() ? QStringLiteral("Nothing changed.") : lines.join('\n'));
  BtnOk = new QPushButton(QStringLiteral("OK"), this);
  BtnOk->setDefault(true);
  connect(BtnOk, &QPushButton::clicked, this, &QDialog::accept);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(BtnOk);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(LbCounts);
  layout->addWidget(MmList, 1);
  layout->addLayout(buttons);
  resize(560, 360);
}

}  // namespace lumivor
