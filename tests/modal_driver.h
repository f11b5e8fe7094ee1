#pragma once

#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QWidget>
#include <deque>
#include <functional>

namespace lumivor::testing {

// Answers modal windows as they come up, in the order the steps were queued, so that a test can
// press a button whose command runs a dialog with exec(). Each step waits for a modal window of
// its type (and condition) and then acts on it once the current event is done.
class ModalDriver : public QObject {
 public:
  ModalDriver() {
    timer_.setInterval(30);
    connect(&timer_, &QTimer::timeout, this, [this] {
      QWidget* modal = QApplication::activeModalWidget();
      if (steps_.empty() || modal == nullptr || !modal->isVisible()) return;
      if (steps_.front()(modal)) steps_.pop_front();
    });
    timer_.start();
  }

  // Queues `action` for the next modal window of type T for which `accept` holds.
  template <typename T>
  void When(std::function<void(T*)> action, std::function<bool(T*)> accept = {}) {
    steps_.push_back([action, accept](QWidget* modal) {
      T* window = qobject_cast<T*>(modal);
      if (window == nullptr || (accept && !accept(window))) return false;
      // Outside the timer's slot: the action may run the next modal window.
      QTimer::singleShot(0, window, [action, window] { action(window); });
      return true;
    });
  }

  // Queues pressing OK on the next message box whose text starts with `text`; records
  // "caption|text" in `seen`.
  void Acknowledge(const QString& text, QStringList* seen = nullptr) {
    When<QMessageBox>(
        [seen](QMessageBox* box) {
          if (seen != nullptr) *seen << box->windowTitle() + "|" + box->text();
          if (QAbstractButton* ok = box->button(QMessageBox::Ok)) {
            ok->click();
          } else {
            box->accept();
          }
        },
        [text](QMessageBox* box) { return box->text().startsWith(text); });
  }

  // Queues choosing `path` in the next file dialog.
  void ChooseFile(const QString& path) {
    When<QFileDialog>([path](QFileDialog* dialog) {
      dialog->selectFile(path);
      static_cast<QDialog*>(dialog)->accept();  // QFileDialog::accept checks the choice
    });
  }

  // True when every queued step has run.
  [[nodiscard]] bool Done() const { return steps_.empty(); }

 private:
  QTimer timer_;
  std::deque<std::function<bool(QWidget*)>> steps_;
};

}  // namespace lumivor::testing
