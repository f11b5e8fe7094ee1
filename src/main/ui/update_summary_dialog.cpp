#include "main/ui/update_summary_dialog.h"

#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace lumivor {

UpdateSummaryDialog::UpdateSummaryDialog(const QString& catalog_name, const UpdateSummary& summary,
                                         QWidget* parent)
    : QDialog(parent) {
  setWindowTitle(QStringLiteral("Update Finished"));
  counts_label = new QLabel(this);
  counts_label->setObjectName(QStringLiteral("LbCounts"));
  counts_label->setText(QStringLiteral("%1 is up to date.\nAdded: %2   Removed: %3   Moved: %4   "
                                       "Changed: %5   Kept as missing: %6")
                            .arg(catalog_name)
                            .arg(summary.added.size())
                            .arg(summary.removed.size())
                            .arg(summary.moved.size())
                            .arg(summary.changed.size())
                            .arg(summary.missing.size()));
  change_list = new QPlainTextEdit(this);
  change_list->setObjectName(QStringLiteral("MmList"));
  change_list->setReadOnly(true);
  change_list->setLineWrapMode(QPlainTextEdit::NoWrap);
  QStringList lines;
  for (const std::string& line : summary.Lines()) lines << QString::fromStdString(line);
  change_list->setPlainText(lines.isEmpty() ? QStringLiteral("Nothing changed.")
                                            : lines.join('\n'));
  ok_button = new QPushButton(QStringLiteral("OK"), this);
  ok_button->setDefault(true);
  connect(ok_button, &QPushButton::clicked, this, &QDialog::accept);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(ok_button);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(counts_label);
  layout->addWidget(change_list, 1);
  layout->addLayout(buttons);
  resize(560, 360);
}

}  // namespace lumivor
