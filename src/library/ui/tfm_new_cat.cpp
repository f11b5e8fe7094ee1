#include "library/ui/tfm_new_cat.h"

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

#include "core/scanner.h"
#include "core/volumes.h"
#include "library/library_storage.h"
#include "library/ui/frm_cat_tree.h"

namespace lumivor {

namespace {

std::string Utf8(const QString& text) { return text.toUtf8().toStdString(); }

QString ToQString(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

TFMNewCat::TFMNewCat(Prompts& prompts, const QString& library_root, QWidget* parent)
    : QDialog(parent), prompts_(prompts), library_root_(library_root) {
  setWindowTitle(QStringLiteral("Create a new Catalog"));
  browse_folder = [this](const QString& start) {
    return QFileDialog::getExistingDirectory(this, QString(), start, QFileDialog::ShowDirsOnly);
  };

  // Top: source and name.
  auto* panel1 = new QGroupBox(this);
  panel1->setMinimumWidth(520);
  auto* top = new QGridLayout(panel1);
  EdFileName = new QLineEdit(panel1);
  EdFileName->setToolTip(QStringLiteral("Catalog Dialog"));
  EdFileName->setPlaceholderText(QStringLiteral("Folder or drive to catalog"));
  SpeedButton1 = new QPushButton(QStringLiteral("Open &Dialog"), panel1);
  EdName = new QLineEdit(QStringLiteral("Input catalog name here."), panel1);
  EdName->setToolTip(QStringLiteral("Input catalog name here."));
  auto* label4 = new QLabel(QStringLiteral("Catalog Name"), panel1);
  label4->setBuddy(EdName);
  top->addWidget(EdFileName, 0, 0);
  top->addWidget(SpeedButton1, 0, 1);
  top->addWidget(EdName, 1, 0);
  top->addWidget(label4, 1, 1);

  // The advanced panel: group tree on the left, scope on the right.
  Panel2 = new QWidget(this);
  Panel2->setObjectName(QStringLiteral("Panel2"));
  auto* advanced_rows = new QVBoxLayout(Panel2);
  advanced_rows->setContentsMargins(0, 0, 0, 0);
  auto* advanced = new QHBoxLayout;
  advanced_rows->addLayout(advanced, 1);
  auto* panel4 = new QGroupBox(Panel2);
  auto* left = new QVBoxLayout(panel4);
  left->addWidget(new QLabel(QStringLiteral("Select a catalog group  :"), panel4));
  FrmCatTree = new TFrmCatTree(panel4);
  FrmCatTree->SetLibraryRoot(library_root_);
  FrmCatTree->SetGroupsOnly(true);
  FrmCatTree->SetUseFolderIcon(true);
  FrmCatTree->SetColumnWidths(130, 100, 60);
  left->addWidget(FrmCatTree);

  auto* panel3 = new QGroupBox(Panel2);
  auto* right = new QVBoxLayout(panel3);
  rbFolder = new QRadioButton(QStringLiteral("Only Folders"), panel3);
  RBFile = new QRadioButton(QStringLiteral("All Files"), panel3);
  rbFilter = new QRadioButton(QStringLiteral("Filter Files"), panel3);
  RBFile->setChecked(true);
  right->setSpacing(2);
  right->addWidget(rbFolder);
  right->addWidget(RBFile);
  right->addWidget(rbFilter);
  auto* pl_file = new QWidget(panel3);
  auto* filter = new QGridLayout(pl_file);
  filter->setContentsMargins(0, 0, 0, 0);
  filter->setVerticalSpacing(3);
  Label3 = new QLabel(QStringLiteral("File Ext   =  "), pl_file);
  EdExt = new QLineEdit(pl_file);
  Label3->setBuddy(EdExt);
  BtnAdd = new QPushButton(QStringLiteral("Add to list =>"), pl_file);
  BtnDel = new QPushButton(QStringLiteral("Delete from list <="), pl_file);
  Label5 = new QLabel(QStringLiteral("Ext filter list:"), pl_file);
  LBExt = new QListWidget(pl_file);
  LBExt->setSelectionMode(QAbstractItemView::ExtendedSelection);
  QPalette list_palette = LBExt->palette();
  list_palette.setColor(QPalette::Base, QColor(239, 243, 255));
  LBExt->setPalette(list_palette);
  auto* memo1 = new QLabel(QStringLiteral("Ext filter list can be \nused to filter the files \n"
                                          "that to be cataloged."),
                           pl_file);
  memo1->setAlignment(Qt::AlignCenter);
  memo1->setAutoFillBackground(true);
  QPalette memo_palette = memo1->palette();
  memo_palette.setColor(QPalette::Window, memo_palette.color(QPalette::ToolTipBase));
  memo_palette.setColor(QPalette::WindowText, memo_palette.color(QPalette::ToolTipText));
  memo1->setPalette(memo_palette);
  memo1->setFrameShape(QFrame::StyledPanel);
  memo1->setMinimumHeight(memo1->fontMetrics().lineSpacing() * 3 + 6);
  LBExt->setMinimumHeight(LBExt->fontMetrics().lineSpacing() * 3 + 6);
  filter->addWidget(Label3, 0, 0);
  filter->addWidget(EdExt, 0, 1);
  filter->addWidget(BtnAdd, 1, 0, 1, 2);
  filter->addWidget(BtnDel, 2, 0, 1, 2);
  filter->addWidget(Label5, 3, 0, 1, 2);
  filter->addWidget(LBExt, 4, 0, 1, 2);
  filter->addWidget(memo1, 5, 0, 1, 2);
  right->addWidget(pl_file, 1);
  advanced->addWidget(panel4, 3);
  advanced->addWidget(panel3, 2);
  // Below both: what the scan looks into beyond the folder tree.
  auto* deep = new QHBoxLayout;
  CBArchives = new QCheckBox(QStringLiteral("Look inside archives"), Panel2);
  CBMetadata = new QCheckBox(QStringLiteral("Read music, photo and video tags"), Panel2);
  CBArchives->setToolTip(
      QStringLiteral("List the files inside zip, 7z, rar, tar, iso and cpio "
                     "archives, without extracting them"));
  CBMetadata->setToolTip(
      QStringLiteral("Titles, artists and durations of music, the size, date "
                     "and camera of photos, the length and size of videos"));
  deep->addWidget(CBArchives);
  deep->addWidget(CBMetadata);
  deep->addStretch(1);
  advanced_rows->addLayout(deep);

  // Bottom right buttons.
  SpeedButton4 = new QPushButton(QStringLiteral("&Advanced"), this);
  BtnOk = new QPushButton(QStringLiteral("&OK"), this);
  SpeedButton3 = new QPushButton(QStringLiteral("&Cancel"), this);
  for (QPushButton* button : {SpeedButton1, SpeedButton4, BtnOk, SpeedButton3, BtnAdd, BtnDel}) {
    button->setAutoDefault(false);
  }
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(SpeedButton4);
  buttons->addWidget(BtnOk);
  buttons->addWidget(SpeedButton3);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(panel1);
  layout->addWidget(Panel2, 1);
  layout->addLayout(buttons);
  layout->setSizeConstraint(QLayout::SetFixedSize);
  Panel2->setFixedSize(520, 330 + CBArchives->sizeHint().height() + 6);

  connect(SpeedButton1, &QPushButton::clicked, this, &TFMNewCat::SpeedButton1Click);
  connect(SpeedButton4, &QPushButton::clicked, this, &TFMNewCat::SpeedButton4Click);
  connect(BtnAdd, &QPushButton::clicked, this, &TFMNewCat::BtnAddClick);
  connect(BtnDel, &QPushButton::clicked, this, &TFMNewCat::BtnDelClick);
  connect(BtnOk, &QPushButton::clicked, this, &TFMNewCat::BtnOkClick);
  connect(SpeedButton3, &QPushButton::clicked, this, &QDialog::reject);
  for (QRadioButton* button : {rbFolder, RBFile, rbFilter}) {
    connect(button, &QRadioButton::toggled, this, &TFMNewCat::RBFileClick);
  }
  connect(EdExt, &QLineEdit::textChanged, this,
          [this](const QString& text) { BtnAdd->setEnabled(!text.isEmpty()); });
  connect(LBExt, &QListWidget::currentRowChanged, this,
          [this](int row) { BtnDel->setEnabled(row >= 0); });
  EdExt->installEventFilter(this);

  // The state at show: root group selected, OK disabled until the browser was used, compact.
  FrmCatTree->RefreshLibrary();
  BtnOk->setEnabled(false);
  BtnAdd->setEnabled(false);
  BtnDel->setEnabled(false);
  RBFileClick();
  Panel2->hide();
  EdFileName->setFocus();
}

void TFMNewCat::SpeedButton1Click() {
  if (!QFileInfo(source_path_).isDir()) source_path_.clear();
  const QString chosen = browse_folder ? browse_folder(source_path_) : QString();
  if (!chosen.isEmpty()) source_path_ = chosen;
  EdFileName->setText(source_path_);
  EdName->setText(source_path_.isEmpty() ? QString()
                                         : ToQString(DisplayNameOf(Utf8(source_path_))));
  BtnOk->setEnabled(true);
}

void TFMNewCat::SpeedButton4Click() {
  // The bottom edge stays put: growing moves the window up, shrinking moves it down.
  const QRect before = geometry();
  const bool show_panel = Panel2->isHidden();
  Panel2->setVisible(show_panel);
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

void TFMNewCat::RBFileClick() {
  CBArchives->setEnabled(!rbFolder->isChecked());
  CBMetadata->setEnabled(!rbFolder->isChecked());
  const bool filter = rbFilter->isChecked();
  for (QWidget* control :
       std::initializer_list<QWidget*>{EdExt, BtnAdd, BtnDel, LBExt, Label3, Label5}) {
    control->setEnabled(filter);
  }
  if (filter) {
    BtnAdd->setEnabled(!EdExt->text().isEmpty());
    BtnDel->setEnabled(LBExt->currentRow() >= 0);
  }
}

void TFMNewCat::BtnAddClick() {
  // "h", ".h", "*.h" and "*.H" all name the extension h, listed as "*.h".
  const std::string extension = NormalizeExtension(Utf8(EdExt->text()));
  if (extension.empty()) {
    if (!EdExt->text().trimmed().isEmpty()) {
      prompts_.ShowMessage(kWarningCaption, kInvalidExtension, MessageIcon::kWarning);
    }
    EdExt->setFocus();
    return;
  }
  const QString entry = QStringLiteral("*.") + ToQString(extension);
  EdExt->clear();
  for (int row = 0; row < LBExt->count(); ++row) {
    if (LBExt->item(row)->text() == entry) return;
  }
  LBExt->addItem(entry);
}

void TFMNewCat::BtnDelClick() {
  const QList<QListWidgetItem*> selected = LBExt->selectedItems();
  for (QListWidgetItem* item : selected) delete LBExt->takeItem(LBExt->row(item));
  BtnDel->setEnabled(rbFilter->isChecked() && LBExt->currentRow() >= 0);
}

QString TFMNewCat::GetExtFilter() const {
  if (!rbFilter->isChecked()) return {};
  std::vector<std::string> entries;
  entries.reserve(static_cast<std::size_t>(LBExt->count()));
  for (int row = 0; row < LBExt->count(); ++row) entries.push_back(Utf8(LBExt->item(row)->text()));
  return ToQString(ExtFilterOf(entries));
}

DeepScanOptions TFMNewCat::DeepOptions() const {
  if (rbFolder->isChecked()) return {};
  return {CBArchives->isChecked(), CBMetadata->isChecked()};
}

void TFMNewCat::SetDeepOptions(const DeepScanOptions& options) {
  CBArchives->setChecked(options.archives);
  CBMetadata->setChecked(options.metadata);
}

void TFMNewCat::BtnOkClick() {
  if (EdFileName->text().isEmpty()) {
    prompts_.ShowMessage(kWarningCaption, "Please select the dialog to catalog first.",
                         MessageIcon::kWarning);
    EdName->setFocus();
    return;
  }
  const QString name = EdName->text();
  if (name.isEmpty()) {
    prompts_.ShowMessage(kWarningCaption, "Please input the catalog name.", MessageIcon::kWarning);
    EdName->setFocus();
    return;
  }
  // Checked before the scan, so that a name the file system refuses costs no scan.
  if (const std::string_view refusal = CheckNewCatalogName(Utf8(name)); !refusal.empty()) {
    prompts_.ShowMessage(kWarningCaption, refusal, MessageIcon::kWarning);
    EdName->setFocus();
    return;
  }
  QString group = FrmCatTree->SelectedPath();
  if (group.isEmpty()) group = library_root_;
  const QString file = ToQString(CatalogFilePath(Utf8(group), Utf8(name)));
  if (QFileInfo::exists(file) &&
      !prompts_.AskYesNo(kWarningCaption, kOverwriteQuestion, MessageIcon::kWarning)) {
    return;
  }
  catalog_file_ = file;
  only_folders_ = rbFolder->isChecked();
  accept();
}

bool TFMNewCat::eventFilter(QObject* watched, QEvent* event) {
  if (watched == EdExt && event->type() == QEvent::KeyPress) {
    const int key = static_cast<QKeyEvent*>(event)->key();
    if (key == Qt::Key_Return || key == Qt::Key_Enter) {
      BtnAddClick();  // also when the button is disabled, as with an empty box
      return true;
    }
  }
  return QDialog::eventFilter(watched, event);
}

}  // namespace lumivor
