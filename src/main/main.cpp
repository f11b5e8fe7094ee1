// The desktop application: the main window over the configuration and library of the data
// directory (beside the executable when it is writable).
#include <QApplication>
#include <QMessageBox>
#include <exception>
#include <string>

#include "config/app_paths.h"
#include "main/ui/main_window.h"
#include "scan/local_time_converter.h"

namespace {

// The last line of defence: an error that escapes an event handler ends that handler and is
// shown, never dropped. Commands catch their own errors first (MainWindow::RunCommand).
class LumivorApplication : public QApplication {
 public:
  using QApplication::QApplication;

  bool notify(QObject* receiver, QEvent* event) override {
    try {
      return QApplication::notify(receiver, event);
    } catch (const std::exception& error) {
      QMessageBox::critical(activeWindow(), QStringLiteral("Error"),
                            QString::fromUtf8(error.what()));
    } catch (...) {
      QMessageBox::critical(activeWindow(), QStringLiteral("Error"),
                            QStringLiteral("An unexpected error occurred."));
    }
    return false;
  }
};

}  // namespace

int main(int argc, char** argv) {
  lumivor::PinLocalTimeZone();
  LumivorApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Lumivor"));
  QApplication::setWindowIcon(QIcon(QStringLiteral(":/lumivor.svg")));

  lumivor::MainWindow main_window(lumivor::DataDirectory());
  main_window.InitMainWindow();
  main_window.show();
  return QApplication::exec();
}
