#include "import/ui/import_dialog.h"

#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "core/errors.h"
#include "import/byte_source.h"
#include "library/library_storage.h"

namespace lumivor {

namespace {

std::string Utf8(const QString& text) { return text.toUtf8().toStdString(); }

}  // namespace

ImportDialog::ImportDialog(Prompts& prompts, const QString& library_root, QWidget* parent)
    : QDialog(parent), prompts_(prompts), library_root_(library_root) {
  setWindowTitle(QStringLiteral("Import"));
  file_edit = new QLineEdit(this);
  file_edit->setObjectName(QStringLiteral("FileEdit"));
  file_edit->setMinimumWidth(320);
  browse_button = new QPushButton(QStringLiteral("..."), this);
  format_combo = new QComboBox(this);
  for (const std::string_view name : kListingFormatNames) {
    format_combo->addItem(QString::fromUtf8(name.data(), static_cast<int>(name.size())));
  }
  name_edit = new QLineEdit(this);
  group_combo = new QComboBox(this);
  group_combo->setEditable(true);
  group_combo->addItem(QString());
  const QStringList groups =
      QDir(library_root).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
  for (const QString& group : groups) group_combo->addItem(group);
  ok_button = new QPushButton(QStringLiteral("&OK"), this);
  cancel_button = new QPushButton(QStringLiteral("&Cancel"), this);
  ok_button->setDefault(true);

  auto* file_row = new QHBoxLayout;
  file_row->addWidget(file_edit, 1);
  file_row->addWidget(browse_button);
  auto* form = new QFormLayout;
  form->addRow(QStringLiteral("File:"), file_row);
  form->addRow(QStringLiteral("Format:"), format_combo);
  form->addRow(QStringLiteral("Name:"), name_edit);
  form->addRow(QStringLiteral("Group:"), group_combo);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(ok_button);
  buttons->addWidget(cancel_button);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addLayout(buttons);

  connect(browse_button, &QPushButton::clicked, this, &ImportDialog::Browse);
  connect(file_edit, &QLineEdit::editingFinished, this,
          [this] { SetSourcePath(file_edit->text()); });
  connect(ok_button, &QPushButton::clicked, this, &ImportDialog::Accept);
  connect(cancel_button, &QPushButton::clicked, this, &QDialog::reject);
}

void ImportDialog::Browse() {
  const std::string chosen = prompts_.ChooseOpenFile("", "All Files|*", Utf8(file_edit->text()));
  if (!chosen.empty()) SetSourcePath(QString::fromStdString(chosen));
}

void ImportDialog::SetSourcePath(const QString& path) {
  file_edit->setText(path);
  // The first kilobytes tell the format; a file that cannot be read says so on OK.
  try {
    ByteSource source(Utf8(path));
    if (const auto format = DetectListingFormat(source.Head(64 * 1024))) {
      format_combo->setCurrentIndex(static_cast<int>(*format));
    }
  } catch (const LumivorError&) {
  }
  if (name_edit->text().isEmpty()) {
    // The file's name up to its first ".", as catalogs are shown.
    name_edit->setText(QFileInfo(path).fileName().section(QLatin1Char('.'), 0, 0));
  }
}

QString ImportDialog::Folder() const {
  const QString group = group_combo->currentText();
  return group.isEmpty() ? library_root_ : library_root_ + QLatin1Char('/') + group;
}

ImportRequest ImportDialog::Request() const {
  ImportRequest request;
  request.source = Utf8(file_edit->text());
  request.format = static_cast<ListingFormat>(format_combo->currentIndex());
  request.folder = Utf8(Folder());
  request.name = Utf8(name_edit->text());
  request.force = true;  // the question was asked on OK
  return request;
}

void ImportDialog::Accept() {
  if (file_edit->text().isEmpty() || !QFileInfo(file_edit->text()).isFile()) {
    prompts_.ShowMessage("Warning", "The file does not exist.", MessageIcon::kWarning);
    return;
  }
  const std::string name = Utf8(name_edit->text());
  if (const std::string_view refusal = CheckNewCatalogName(name); !refusal.empty()) {
    prompts_.ShowMessage("Warning", refusal, MessageIcon::kWarning);
    return;
  }
  const QString group = group_combo->currentText();
  if (!group.isEmpty() && !IsValidLibraryName(Utf8(group))) {
    prompts_.ShowMessage("Warning", "Invalid group.", MessageIcon::kWarning);
    return;
  }
  if (!group.isEmpty() && !QDir(Folder()).exists() && !QDir(library_root_).mkdir(group)) {
    prompts_.ShowMessage("Warning", Utf8(Folder()) + ": the group cannot be made",
                         MessageIcon::kWarning);
    return;
  }
  if (QFileInfo::exists(QString::fromStdString(CatalogFilePath(Utf8(Folder()), name))) &&
      !prompts_.AskYesNo("Warning", "Catalog with the same name already exists,overwrite?",
                         MessageIcon::kQuestion)) {
    return;
  }
  accept();
}

}  // namespace lumivor
