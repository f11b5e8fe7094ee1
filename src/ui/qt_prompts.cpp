#include "ui/qt_prompts.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontMetrics>
#include <QGridLayout>
#include <QMessageBox>
#include <QSpacerItem>
#include <QStringList>

namespace lumivor {

namespace {

QString FromUtf8(std::string_view text) {
  return QString::fromUtf8(text.data(), qsizetype(text.size()));
}

QMessageBox::Icon BoxIcon(MessageIcon icon) {
  switch (icon) {
    case MessageIcon::kInformation:
      return QMessageBox::Information;
    case MessageIcon::kWarning:
      return QMessageBox::Warning;
    case MessageIcon::kQuestion:
      return QMessageBox::Question;
    case MessageIcon::kError:
      return QMessageBox::Critical;
    case MessageIcon::kNone:
      break;
  }
  return QMessageBox::NoIcon;
}

// The folder the last file dialog was left in; empty until one was.
QString& LastFolder() {
  static QString folder;
  return folder;
}

// A message box is a dialog: no minimise or maximise button, and a width that shows its whole
// caption (a window manager elides what does not fit, and a short text makes a narrow box).
void PrepareMessageBox(QMessageBox& box) {
  box.setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                     Qt::WindowCloseButtonHint);
  QFont title_font = QApplication::font("QMdiSubWindowTitleBar");
  title_font.setBold(true);  // most title bars are bold; err on the wide side
  // Room for the window manager's icon and buttons either side of the caption.
  constexpr int kTitleBarExtras = 140;
  const int width = QFontMetrics(title_font).horizontalAdvance(box.windowTitle()) + kTitleBarExtras;
  if (auto* grid = qobject_cast<QGridLayout*>(box.layout())) {
    grid->addItem(new QSpacerItem(width, 0, QSizePolicy::Minimum, QSizePolicy::Expanding),
                  grid->rowCount(), 0, 1, grid->columnCount());
  }
}

}  // namespace

QString StartFolder() {
  const QString& last = LastFolder();
  if (!last.isEmpty() && QFileInfo(last).isDir()) return last;
  return QDir::homePath();
}

void RememberFolder(const QString& path) {
  if (path.isEmpty()) return;
  const QFileInfo info(path);
  LastFolder() = info.isDir() ? info.absoluteFilePath() : info.absolutePath();
}

QString QtFileFilter(std::string_view filter) {
  const QStringList parts = FromUtf8(filter).split('|');
  QStringList entries;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    QStringList patterns;
    for (const QString& pattern : parts[i + 1].split(';', Qt::SkipEmptyParts)) {
      for (const QString& variant : {pattern.trimmed().toLower(), pattern.trimmed().toUpper()}) {
        if (!variant.isEmpty() && !patterns.contains(variant)) patterns << variant;
      }
    }
    entries << QStringLiteral("%1 (%2)").arg(parts[i].trimmed(), patterns.join(' '));
  }
  return entries.join(";;");
}

std::string QtPrompts::ChooseFile(bool save, std::string_view default_ext, std::string_view filter,
                                  std::string_view initial_name) {
  QFileDialog dialog(parent_);
  dialog.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
  // The callers check existence and ask about overwriting themselves.
  dialog.setFileMode(QFileDialog::AnyFile);
  dialog.setOption(QFileDialog::DontConfirmOverwrite, true);
  QString suffix = FromUtf8(default_ext);
  if (suffix.startsWith('.')) suffix.remove(0, 1);
  dialog.setDefaultSuffix(suffix);
  dialog.setNameFilter(QtFileFilter(filter));
  // The home folder, or the one the user went to last time: never the program's working folder.
  dialog.setDirectory(StartFolder());
  if (!initial_name.empty()) dialog.selectFile(FromUtf8(initial_name));
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
  const QString chosen = dialog.selectedFiles().first();
  RememberFolder(QFileInfo(chosen).absolutePath());
  return chosen.toUtf8().toStdString();
}

std::string QtPrompts::ChooseOpenFile(std::string_view default_ext, std::string_view filter,
                                      std::string_view initial_name) {
  return ChooseFile(false, default_ext, filter, initial_name);
}

std::string QtPrompts::ChooseSaveFile(std::string_view default_ext, std::string_view filter,
                                      std::string_view initial_name) {
  return ChooseFile(true, default_ext, filter, initial_name);
}

void QtPrompts::ShowMessage(std::string_view caption, std::string_view text, MessageIcon icon) {
  QMessageBox box(BoxIcon(icon), FromUtf8(caption), FromUtf8(text), QMessageBox::Ok, parent_);
  PrepareMessageBox(box);
  box.exec();
}

bool QtPrompts::AskYesNo(std::string_view caption, std::string_view text, MessageIcon icon) {
  QMessageBox box(BoxIcon(icon), FromUtf8(caption), FromUtf8(text),
                  QMessageBox::Yes | QMessageBox::No, parent_);
  PrepareMessageBox(box);
  box.setDefaultButton(QMessageBox::No);
  return box.exec() == QMessageBox::Yes;
}

std::string QtPrompts::ChooseFolder(std::string_view caption, std::string_view initial) {
  return QFileDialog::getExistingDirectory(parent_, FromUtf8(caption), FromUtf8(initial))
      .toStdString();
}

}  // namespace lumivor
