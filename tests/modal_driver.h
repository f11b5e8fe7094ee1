#pragma once

#include <QApplication>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QWidget>
#include <deque>
#include <functional>

namespace lumivor::testing {

// Answers modal windows as they come up, in the order the steps were queued, so that a test can
// press a button whose command runs a dialog with exec(). Each step waits for a modal window of
// its type (and condition) and then acts on it once the current event is done. A modal window
// that no step takes within 15 seconds is closed, so a test fails rather than hangs.
class ModalDriver : public QObject {
 public:
  ModalDriver() {
    timer_.setInterval(30);
    connect(&timer_, &QTimer::timeout, this, [this] {
      QWidget* modal = QApplication::activeModalWidget();
      if (modal == nullptr || !modal->isVisible()) {
        idle_.restart();
        return;
      }
      if (!steps_.empty() && steps_.front()(modal)) {
        steps_.pop_front();
        idle_.restart();
      } else if (idle_.elapsed() > kPatienceMs) {
        // Nothing handles this window: close it so that the test fails instead of hanging.
        qWarning("ModalDriver: closing unexpected %s", modal->metaObject()->className());
        modal->close();
        idle_.restart();
      }
    });
    timer_.start();
    idle_.start();
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

  // Queues choosing `path` in the next file dialog. The dialog fills its name box while it lists
  // its folder, so the choice is typed and confirmed again until the dialog has closed.
  void ChooseFile(const QString& path) {
    When<QFileDialog>([path](QFileDialog* dialog) {
      auto* retry = new QTimer(dialog);
      retry->setInterval(100);
      const auto choose = [path, dialog] {
        if (!dialog->isVisible()) return;
        if (dialog->fileMode() == QFileDialog::Directory) {
          // A folder browser answers with the folder it shows when nothing is typed.
          dialog->setDirectory(path);
          dialog->selectFile(QString());
        } else {
          dialog->setDirectory(QFileInfo(path).absolutePath());
          if (auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))) {
            name->setText(QFileInfo(path).fileName());
          } else {
            dialog->selectFile(path);
          }
        }
        static_cast<QDialog*>(dialog)->accept();  // QFileDialog::accept checks the choice
      };
      QObject::connect(retry, &QTimer::timeout, dialog, choose);
      retry->start();
      choose();
    });
  }

  // True when every queued step has run.
  [[nodiscard]] bool Done() const { return steps_.empty(); }

 private:
  static constexpr qint64 kPatienceMs = 15000;
  QTimer timer_;
  QElapsedTimer idle_;
  std::deque<std::function<bool(QWidget*)>> steps_;
};

}  // namespace lumivor::testing
