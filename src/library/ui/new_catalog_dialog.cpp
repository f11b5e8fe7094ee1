#include "library/ui/new_catalog_dialog.h"

#include <QCheckBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QVBoxLayout>
#include <algorithm>

#include "core/errors.h"
#include "library/library_storage.h"
#include "library/new_catalog_plan.h"
#include "library/ui/library_panel.h"
#include "scan/scanner.h"
#include "scan/volumes.h"
#include "server/pg_connection.h"
#include "stores/open_library.h"
#include "ui/grid_style.h"
#include "ui/qt_prompts.h"
#include "update/catalog_update.h"

namespace lumivor {

namespace {

std::string Utf8(const QString& text) { return text.toUtf8().toStdString(); }

QString ToQString(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

NewCatalogDialog::NewCatalogDialog(Prompts& prompts, const QString& library_root, QWidget* parent)
    : QDialog(parent), prompts_(prompts), library_root_(library_root) {
  setWindowTitle(QStringLiteral("Create a new Catalog"));
  browse_folder = [this](const QString& start) {
    // Never the program's working folder: the last folder chosen, else the home folder.
    const QString chosen = QFileDialog::getExistingDirectory(
        this, QString(), start.isEmpty() ? StartFolder() : start, QFileDialog::ShowDirsOnly);
    RememberFolder(chosen);
    return chosen;
  };

  auto* source_box = CreateSourceBox();
  CreateAdvancedPanel();
  QHBoxLayout* buttons = CreateButtons();
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(source_box);
  layout->addWidget(advanced_panel, 1);
  layout->addLayout(buttons);
  layout->setSizeConstraint(QLayout::SetFixedSize);
  advanced_panel->setFixedSize(520, 330 + archives_check->sizeHint().height() + 6);

  ConnectControls();

  // The state at show: root group selected, OK disabled until the browser was used, compact.
  library_panel->RefreshLibrary();
  ok_button->setEnabled(false);
  add_button->setEnabled(false);
  delete_button->setEnabled(false);
  OnScopeClicked();
  UpdateGroupLabel();
  advanced_panel->hide();
  folder_edit->setFocus();
}

// The folder to catalog and the catalog's name, with the group it goes to.
QGroupBox* NewCatalogDialog::CreateSourceBox() {
  auto* source_box = new QGroupBox(this);
  source_box->setMinimumWidth(520);
  auto* top = new QGridLayout(source_box);
  folder_edit = new QLineEdit(source_box);
  folder_edit->setToolTip(QStringLiteral("Catalog Dialog"));
  folder_edit->setPlaceholderText(QStringLiteral("Folder or drive to catalog"));
  browse_button = new QPushButton(QStringLiteral("Open &Dialog"), source_box);
  name_edit = new QLineEdit(source_box);
  // The hint is a placeholder: nothing to delete before typing the name.
  name_edit->setPlaceholderText(QStringLiteral("Input catalog name here."));
  name_edit->setToolTip(QStringLiteral("Input catalog name here."));
  auto* name_label = new QLabel(QStringLiteral("Catalog Name"), source_box);
  name_label->setBuddy(name_edit);
  top->addWidget(folder_edit, 0, 0);
  top->addWidget(browse_button, 0, 1);
  top->addWidget(name_edit, 1, 0);
  top->addWidget(name_label, 1, 1);
  // The group the catalog goes to, also while the group tree is hidden.
  group_label = new QLabel(source_box);
  group_label->setObjectName(QStringLiteral("LbGroup"));
  group_label->setTextFormat(Qt::PlainText);
  top->addWidget(group_label, 2, 0, 1, 2);

  return source_box;
}

// The advanced panel: the group tree on the left, the scope on the right, and below both what
// the scan looks into beyond the folder tree.
void NewCatalogDialog::CreateAdvancedPanel() {
  advanced_panel = new QWidget(this);
  advanced_panel->setObjectName(QStringLiteral("Panel2"));
  auto* advanced_rows = new QVBoxLayout(advanced_panel);
  advanced_rows->setContentsMargins(0, 0, 0, 0);
  auto* advanced = new QHBoxLayout;
  advanced_rows->addLayout(advanced, 1);
  advanced->addWidget(CreateGroupBox(), 3);
  advanced->addWidget(CreateScopeBox(), 2);
  // Below both: what the scan looks into beyond the folder tree.
  auto* deep = new QHBoxLayout;
  archives_check = new QCheckBox(QStringLiteral("Look inside archives"), advanced_panel);
  metadata_check =
      new QCheckBox(QStringLiteral("Read music, photo and video tags"), advanced_panel);
  archives_check->setToolTip(
      QStringLiteral("List the files inside zip, 7z, rar, tar, iso and cpio "
                     "archives, without extracting them"));
  metadata_check->setToolTip(
      QStringLiteral("Titles, artists and durations of music, the size, date "
                     "and camera of photos, the length and size of videos"));
  hashes_check = new QCheckBox(QStringLiteral("Content hashes"), advanced_panel);
  hashes_check->setObjectName(QStringLiteral("ContentHashes"));
  hashes_check->setToolTip(
      QStringLiteral("Read every file to store a hash of its content, so that copies across "
                     "the library are found exactly"));
  deep->addWidget(archives_check);
  deep->addWidget(metadata_check);
  deep->addWidget(hashes_check);
  deep->addStretch(1);
  advanced_rows->addLayout(deep);
}

QGroupBox* NewCatalogDialog::CreateGroupBox() {
  auto* group_box = new QGroupBox(advanced_panel);
  auto* left = new QVBoxLayout(group_box);
  left->addWidget(new QLabel(QStringLiteral("Select a catalog group  :"), group_box));
  library_panel = new LibraryPanel(group_box);
  library_panel->SetLibraryRoot(library_root_);
  library_panel->SetGroupsOnly(true);
  library_panel->SetUseFolderIcon(true);
  library_panel->SetColumnWidths(130, 100, 60);
  left->addWidget(library_panel);

  return group_box;
}

// Only folders, all files, or the files of the extensions in the list.
QGroupBox* NewCatalogDialog::CreateScopeBox() {
  auto* scope_box = new QGroupBox(advanced_panel);
  auto* right = new QVBoxLayout(scope_box);
  folders_only_radio = new QRadioButton(QStringLiteral("Only Folders"), scope_box);
  all_files_radio = new QRadioButton(QStringLiteral("All Files"), scope_box);
  filter_radio = new QRadioButton(QStringLiteral("Filter Files"), scope_box);
  all_files_radio->setChecked(true);
  right->setSpacing(2);
  right->addWidget(folders_only_radio);
  right->addWidget(all_files_radio);
  right->addWidget(filter_radio);
  auto* filter_host = new QWidget(scope_box);
  auto* filter = new QGridLayout(filter_host);
  filter->setContentsMargins(0, 0, 0, 0);
  filter->setVerticalSpacing(3);
  extension_label = new QLabel(QStringLiteral("File Ext   =  "), filter_host);
  extension_edit = new QLineEdit(filter_host);
  extension_label->setBuddy(extension_edit);
  add_button = new QPushButton(QStringLiteral("Add to list =>"), filter_host);
  delete_button = new QPushButton(QStringLiteral("Delete from list <="), filter_host);
  extension_list_label = new QLabel(QStringLiteral("Ext filter list:"), filter_host);
  extension_list = new QListWidget(filter_host);
  extension_list->setSelectionMode(QAbstractItemView::ExtendedSelection);
  QPalette list_palette = extension_list->palette();
  list_palette.setColor(QPalette::Base, Themed(QColor(239, 243, 255), list_palette));
  extension_list->setPalette(list_palette);
  auto* hint_label =
      new QLabel(QStringLiteral("Ext filter list can be \nused to filter the files \n"
                                "that to be cataloged."),
                 filter_host);
  hint_label->setAlignment(Qt::AlignCenter);
  hint_label->setAutoFillBackground(true);
  QPalette hint_palette = hint_label->palette();
  hint_palette.setColor(QPalette::Window, hint_palette.color(QPalette::ToolTipBase));
  hint_palette.setColor(QPalette::WindowText, hint_palette.color(QPalette::ToolTipText));
  hint_label->setPalette(hint_palette);
  hint_label->setFrameShape(QFrame::StyledPanel);
  hint_label->setMinimumHeight(hint_label->fontMetrics().lineSpacing() * 3 + 6);
  extension_list->setMinimumHeight(extension_list->fontMetrics().lineSpacing() * 3 + 6);
  filter->addWidget(extension_label, 0, 0);
  filter->addWidget(extension_edit, 0, 1);
  filter->addWidget(add_button, 1, 0, 1, 2);
  filter->addWidget(delete_button, 2, 0, 1, 2);
  filter->addWidget(extension_list_label, 3, 0, 1, 2);
  filter->addWidget(extension_list, 4, 0, 1, 2);
  filter->addWidget(hint_label, 5, 0, 1, 2);
  right->addWidget(filter_host, 1);
  return scope_box;
}

// Advanced, OK and Cancel, bottom right.
QHBoxLayout* NewCatalogDialog::CreateButtons() {
  advanced_button = new QPushButton(QStringLiteral("&Advanced"), this);
  ok_button = new QPushButton(QStringLiteral("&OK"), this);
  cancel_button = new QPushButton(QStringLiteral("&Cancel"), this);
  for (QPushButton* button :
       {browse_button, advanced_button, ok_button, cancel_button, add_button, delete_button}) {
    button->setAutoDefault(false);
  }
  // Enter anywhere in the dialog confirms it, but in the extension box, which adds what it holds.
  ok_button->setDefault(true);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(advanced_button);
  buttons->addWidget(ok_button);
  buttons->addWidget(cancel_button);

  return buttons;
}

void NewCatalogDialog::ConnectControls() {
  connect(browse_button, &QPushButton::clicked, this, &NewCatalogDialog::OnBrowseClicked);
  connect(advanced_button, &QPushButton::clicked, this, &NewCatalogDialog::OnAdvancedClicked);
  connect(add_button, &QPushButton::clicked, this, &NewCatalogDialog::OnAddClicked);
  connect(delete_button, &QPushButton::clicked, this, &NewCatalogDialog::OnDeleteClicked);
  connect(ok_button, &QPushButton::clicked, this, &NewCatalogDialog::OnOkClicked);
  connect(cancel_button, &QPushButton::clicked, this, &QDialog::reject);
  for (QRadioButton* button : {folders_only_radio, all_files_radio, filter_radio}) {
    connect(button, &QRadioButton::toggled, this, &NewCatalogDialog::OnScopeClicked);
  }
  connect(folder_edit, &QLineEdit::textEdited, this, &NewCatalogDialog::OnFolderChanged);
  // A name the user typed is theirs: choosing a folder no longer proposes one.
  connect(name_edit, &QLineEdit::textEdited, this, [this] { name_typed_ = true; });
  connect(library_panel, &LibraryPanel::FocusChanged, this, &NewCatalogDialog::UpdateGroupLabel);
  connect(extension_edit, &QLineEdit::textChanged, this,
          [this](const QString& text) { add_button->setEnabled(!text.isEmpty()); });
  connect(extension_list, &QListWidget::currentRowChanged, this,
          [this](int row) { delete_button->setEnabled(row >= 0); });
  extension_edit->installEventFilter(this);
}

void NewCatalogDialog::OnBrowseClicked() {
  if (!QFileInfo(source_path_).isDir()) source_path_.clear();
  const QString chosen = browse_folder ? browse_folder(source_path_) : QString();
  if (!chosen.isEmpty()) source_path_ = chosen;
  folder_edit->setText(source_path_);
  ProposeName();
  ok_button->setEnabled(true);
}

void NewCatalogDialog::OnFolderChanged(const QString& text) {
  // A typed or pasted path counts as a choice once it names a folder.
  const bool folder = !text.isEmpty() && QFileInfo(text).isDir();
  source_path_ = folder ? text : QString();
  if (folder) ProposeName();
  ok_button->setEnabled(folder);
}

void NewCatalogDialog::ProposeName() {
  if (name_typed_ && !name_edit->text().isEmpty()) return;
  name_typed_ = false;
  name_edit->setText(source_path_.isEmpty() ? QString()
                                            : ToQString(DisplayNameOf(Utf8(source_path_))));
}

QString NewCatalogDialog::TargetGroup() const {
  const QString group = library_panel->SelectedPath();
  return group.isEmpty() ? library_root_ : group;
}

void NewCatalogDialog::UpdateGroupLabel() {
  group_label->setText(QStringLiteral("Group: ") +
                       ToQString(LibraryDisplayPath(Utf8(TargetGroup()))));
}

void NewCatalogDialog::OnAdvancedClicked() {
  // The bottom edge stays put: growing moves the window up, shrinking moves it down.
  const QRect before = geometry();
  const bool show_panel = advanced_panel->isHidden();
  advanced_panel->setVisible(show_panel);
  adjustSize();
  const int delta = geometry().height() - before.height();
  int top = pos().y() - delta;
  // Growing upwards must not push the title bar off the screen.
  if (show_panel && screen() != nullptr) {
    top = std::max(top, screen()->availableGeometry().top());
  }
  if (!show_panel && moved_by_ != 0) top = pos().y() - delta - moved_by_;
  moved_by_ = show_panel ? top - (pos().y() - delta) : 0;
  move(pos().x(), top);
}

void NewCatalogDialog::OnScopeClicked() {
  archives_check->setEnabled(!folders_only_radio->isChecked());
  metadata_check->setEnabled(!folders_only_radio->isChecked());
  hashes_check->setEnabled(!folders_only_radio->isChecked());
  const bool filter = filter_radio->isChecked();
  for (QWidget* control :
       std::initializer_list<QWidget*>{extension_edit, add_button, delete_button, extension_list,
                                       extension_label, extension_list_label}) {
    control->setEnabled(filter);
  }
  if (filter) {
    add_button->setEnabled(!extension_edit->text().isEmpty());
    delete_button->setEnabled(extension_list->currentRow() >= 0);
  }
}

void NewCatalogDialog::OnAddClicked() {
  // "h", ".h", "*.h" and "*.H" all name the extension h, listed as "*.h"; "c, cpp" names two.
  const ExtensionList typed = ParseExtensionList(Utf8(extension_edit->text()));
  if (!typed.refusal.empty()) {
    prompts_.ShowMessage(kWarningCaption, typed.refusal, MessageIcon::kWarning);
    extension_edit->setFocus();
    return;
  }
  if (typed.extensions.empty()) {
    extension_edit->setFocus();
    return;
  }
  extension_edit->clear();
  for (const std::string& extension : typed.extensions) {
    const QString entry = QStringLiteral("*.") + ToQString(extension);
    if (extension_list->findItems(entry, Qt::MatchExactly).isEmpty()) {
      extension_list->addItem(entry);
    }
  }
}

void NewCatalogDialog::OnDeleteClicked() {
  const QList<QListWidgetItem*> selected = extension_list->selectedItems();
  for (QListWidgetItem* item : selected) delete extension_list->takeItem(extension_list->row(item));
  delete_button->setEnabled(filter_radio->isChecked() && extension_list->currentRow() >= 0);
}

QString NewCatalogDialog::GetExtFilter() const {
  if (!filter_radio->isChecked()) return {};
  std::vector<std::string> entries;
  entries.reserve(static_cast<std::size_t>(extension_list->count()));
  for (int row = 0; row < extension_list->count(); ++row)
    entries.push_back(Utf8(extension_list->item(row)->text()));
  return ToQString(ExtFilterOf(entries));
}

DeepScanOptions NewCatalogDialog::DeepOptions() const {
  if (folders_only_radio->isChecked()) return {};
  return {archives_check->isChecked(), metadata_check->isChecked()};
}

bool NewCatalogDialog::ContentHashes() const {
  return !folders_only_radio->isChecked() && hashes_check->isChecked();
}

void NewCatalogDialog::SetContentHashes(bool hashes) { hashes_check->setChecked(hashes); }

void NewCatalogDialog::SetDeepOptions(const DeepScanOptions& options) {
  archives_check->setChecked(options.archives);
  metadata_check->setChecked(options.metadata);
}

void NewCatalogDialog::OnOkClicked() {
  if (folder_edit->text().isEmpty()) {
    prompts_.ShowMessage(kWarningCaption, "Please select the dialog to catalog first.",
                         MessageIcon::kWarning);
    name_edit->setFocus();
    return;
  }
  // What stands in the box is what gets scanned, however it got there.
  if (!QFileInfo(folder_edit->text()).isDir()) {
    prompts_.ShowMessage(kWarningCaption, Utf8(folder_edit->text()) + ": no such folder.",
                         MessageIcon::kWarning);
    folder_edit->setFocus();
    return;
  }
  source_path_ = folder_edit->text();
  const QString name = name_edit->text();
  if (name.isEmpty()) {
    prompts_.ShowMessage(kWarningCaption, "Please input the catalog name.", MessageIcon::kWarning);
    name_edit->setFocus();
    return;
  }
  // The plan every route makes a catalog by, checked before the scan, so that a name the file
  // system refuses costs no scan.
  const std::string root = Utf8(library_root_);
  const std::string target = Utf8(TargetGroup());
  std::string group;
  NewCatalogPlan plan;
  if (pg::IsServerLocation(root)) {
    // A server library plans by the group's path below it; the catalog is shown by where it
    // lies there.
    const std::string shown = pg::RedactedConnInfo(root);
    group = target.size() > shown.size() ? target.substr(shown.size() + 1) : std::string();
    try {
      plan = OpenLibrary(root)->PlanNewCatalog(group, Utf8(name));
    } catch (const LumivorError& error) {
      prompts_.ShowMessage(kWarningCaption, error.what(), MessageIcon::kWarning);
      return;
    }
    plan.catalog_file = shown + "/" + (group.empty() ? "" : group + "/") + Utf8(name) + ".xml";
  } else {
    plan = GroupBelowLibrary(root, target, &group) ? PlanNewCatalog(root, group, Utf8(name))
                                                   : PlanNewCatalog(target, "", Utf8(name));
  }
  if (!plan.refusal.empty()) {
    prompts_.ShowMessage(kWarningCaption, plan.refusal, MessageIcon::kWarning);
    name_edit->setFocus();
    return;
  }
  updates_existing_ = false;
  if (plan.exists && !ConfirmReplace(plan.catalog_file)) return;
  catalog_file_ = ToQString(plan.catalog_file);
  plan_ = std::move(plan);
  only_folders_ = folders_only_radio->isChecked();
  accept();
}

bool NewCatalogDialog::ConfirmReplace(const std::string& catalog_file) {
  // A replace loses every description of the old catalog: the question says how many, and offers
  // the update, which keeps them. A catalog that cannot be counted gets the plain question.
  std::size_t notes = 0;
  try {
    notes = count_descriptions ? count_descriptions(catalog_file) : CountDescriptions(catalog_file);
  } catch (const LumivorError&) {
    notes = 0;
  }
  if (notes == 0)
    return prompts_.AskYesNo(kWarningCaption, kOverwriteQuestion, MessageIcon::kWarning);
  const std::string count = DescriptionCountText(notes);
  if (prompts_.AskYesNo(kWarningCaption,
                        std::string(kOverwriteQuestion) + "\n\nIt holds " + count +
                            ", which a new catalog would lose. Update that catalog from the "
                            "folder instead, keeping them?",
                        MessageIcon::kWarning)) {
    updates_existing_ = true;
    return true;
  }
  return prompts_.AskYesNo(kWarningCaption, "Replace the catalog and lose its " + count + "?",
                           MessageIcon::kWarning);
}

bool NewCatalogDialog::eventFilter(QObject* watched, QEvent* event) {
  if (watched == extension_edit && event->type() == QEvent::KeyPress) {
    const int key = static_cast<QKeyEvent*>(event)->key();
    if (key == Qt::Key_Return || key == Qt::Key_Enter) {
      OnAddClicked();  // also when the button is disabled, as with an empty box
      return true;
    }
  }
  return QDialog::eventFilter(watched, event);
}

}  // namespace lumivor
