#include "main/ui/about_dialog.h"

#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

#include "main/ui/main_window.h"
#include "ui/grid_style.h"

namespace lumivor {

namespace {

QString FromUtf8(std::string_view text) {
  return QString::fromUtf8(text.data(), qsizetype(text.size()));
}

QLabel* LinkLabel(const QString& target, const QString& text, QWidget* parent) {
  auto* label = new QLabel(QStringLiteral("<a href=\"%1\" style=\"color:%3\">%2</a>")
                               .arg(target, text, LinkColour(parent->palette()).name()),
                           parent);
  label->setTextFormat(Qt::RichText);
  label->setCursor(Qt::PointingHandCursor);
  label->setTextInteractionFlags(Qt::LinksAccessibleByMouse);
  QObject::connect(label, &QLabel::linkActivated,
                   [](const QString& link) { QDesktopServices::openUrl(QUrl(link)); });
  return label;
}

}  // namespace

AboutDialog::AboutDialog(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("About Lumivor"));
  QFont dialog_font = font();
  dialog_font.setPointSize(std::max(dialog_font.pointSize(), 10));
  setFont(dialog_font);

  auto* layout = new QVBoxLayout(this);
  title_ = new QLabel(FromUtf8(kProductTitle), this);
  QFont bold = title_->font();
  bold.setBold(true);
  bold.setPointSize(bold.pointSize() + 2);
  title_->setFont(bold);
  title_->setAlignment(Qt::AlignCenter);
  layout->addWidget(title_);
  auto* rights = new QLabel(QStringLiteral("Copyright (C) Orvane. All rights reserved."), this);
  rights->setAlignment(Qt::AlignCenter);
  layout->addWidget(rights);

  auto* links = new QFormLayout();
  web_ = LinkLabel(FromUtf8(kWebAddress), FromUtf8(kWebAddress), this);
  mail_ =
      LinkLabel(QStringLiteral("mailto:") + FromUtf8(kSupportMail), FromUtf8(kSupportMail), this);
  links->addRow(QStringLiteral("Web: "), web_);
  links->addRow(QStringLiteral("Email: "), mail_);
  layout->addLayout(links);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  layout->addWidget(buttons);

  // A fixed-size box, at least as large as it was designed.
  layout->setSizeConstraint(QLayout::SetFixedSize);
  setMinimumSize(292, 152);
}

}  // namespace lumivor
