// The desktop application: the main window over the configuration and library of the data
// directory (beside the executable when it is writable).
#include <QApplication>
#include <QMessageBox>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <string>

#include "config/app_paths.h"
#include "main/ui/tfm_main.h"

namespace {

// The directory of the configuration and the library: LUMIVOR_DATA_DIR when it names one
// (created when missing), otherwise beside the executable or in the user's data directory.
std::string DataDirectory() {
  const char* chosen = std::getenv("LUMIVOR_DATA_DIR");
  if (chosen == nullptr || chosen[0] == '\0') return lumivor::DefaultDataDirectory();
  std::error_code ignored;
  std::filesystem::path path = std::filesystem::absolute(chosen, ignored).lexically_normal();
  std::filesystem::create_directories(path, ignored);
  std::string text = path.string();
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  return text;
}

// The last line of defence: an error that escapes an event handler ends that handler and is
// shown, never dropped. Commands catch their own errors first (TFMMain::RunCommand).
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
  LumivorApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Lumivor"));
  QApplication::setWindowIcon(QIcon(QStringLiteral(":/lumivor.svg")));

  lumivor::TFMMain main_window(DataDirectory());
  main_window.InitMainWindow();
  main_window.show();
  return QApplication::exec();
}
