#pragma once

#include <QDialog>

class QLabel;

namespace lumivor {

// The about box: product title, rights line, and links to the maker's web page and support mail.
class AboutDialog : public QDialog {
  Q_OBJECT

 public:
  explicit AboutDialog(QWidget* parent = nullptr);

  // The bold title label ("Orvane Lumivor 3.5.4").
  [[nodiscard]] QLabel* Title() const { return title_; }
  // The link to the web page and the link to the support mail.
  [[nodiscard]] QLabel* WebLink() const { return web_; }
  [[nodiscard]] QLabel* MailLink() const { return mail_; }

 private:
  QLabel* title_;
  QLabel* web_;
  QLabel* mail_;
};

}  // namespace lumivor
