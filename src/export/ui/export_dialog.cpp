#include "export/ui/export_dialog.h"

#include <QButtonGroup>
#include <QFont>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>
#include <functional>

#include "config/config.h"
#include "core/errors.h"
#include "export/export_request.h"
#include "library/ui/library_panel.h"

namespace lumivor {

namespace {

std::string Utf8(const QString& text) { return text.toUtf8().toStdString(); }

// A 32 by 32 picture of a format: a sheet of paper with a coloured band and a short label.
QPixmap FormatPicture(const QColor& colour, const QString& label,
                      const std::function<void(QPainter&)>& body) {
  QPixmap pixmap(32, 32);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QPen(QColor(120, 120, 120), 1));
  p.setBrush(Qt::white);
  p.drawRoundedRect(QRectF(5.5, 1.5, 21, 29), 2, 2);
  body(p);
  p.setPen(Qt::NoPen);
  p.setBrush(colour);
  p.drawRoundedRect(QRectF(1, 18, 30, 11), 2, 2);
  QFont font = p.font();
  font.setPixelSize(8);
  font.setBold(true);
  p.setFont(font);
  p.setPen(Qt::white);
  p.drawText(QRectF(1, 18, 30, 11), Qt::AlignCenter, label);
  return pixmap;
}

void Lines(QPainter& p) {
  p.setPen(QPen(QColor(170, 170, 170), 1.2));
  for (int y = 6; y <= 15; y += 3) p.drawLine(QPointF(9, y), QPointF(23, y));
}

void Grid(QPainter& p) {
  p.setPen(QPen(QColor(90, 160, 90), 1));
  for (int y = 5; y <= 16; y += 4) p.drawLine(QPointF(8, y), QPointF(24, y));
  for (int x = 8; x <= 24; x += 8) p.drawLine(QPointF(x, 5), QPointF(x, 16));
}

QLabel* PictureLabel(const QPixmap& pixmap, QWidget* parent) {
  auto* label = new QLabel(parent);
  label->setPixmap(pixmap);
  label->setFixedSize(34, 34);
  return label;
}

}  // namespace

ExportDialog::ExportDialog(Configuration& config, Prompts& prompts, Progress& progress,
                           const QString& library_root, const CatalogTree& screen,
                           const QString& preset_catalog_path, QWidget* parent)
    : QDialog(parent),
      config_(config),
      prompts_(prompts),
      progress_(progress),
      screen_(screen),
      preset_catalog_path_(preset_catalog_path) {
  setWindowTitle(QStringLiteral("Export Catalog"));
  // Bold group captions; an explicit normal weight keeps the controls inside them plain.
  QFont bold = font();
  bold.setBold(true);
  QFont plain = font();
  plain.setBold(false);
  QGroupBox* source_box = CreateSourceBox(library_root, bold, plain);
  QGroupBox* column_box = CreateColumnBox(bold, plain);
  QGroupBox* format_box = CreateFormatBox(bold, plain);
  ok_button = new QPushButton(QStringLiteral("&OK"), this);
  cancel_button = new QPushButton(QStringLiteral("&Cancel"), this);
  ok_button->setDefault(true);
  auto* bottom = new QHBoxLayout;
  bottom->addStretch(1);
  bottom->addWidget(ok_button);
  bottom->addWidget(cancel_button);

  auto* right = new QVBoxLayout;
  right->addWidget(column_box, 1);
  right->addWidget(format_box);
  auto* panes = new QHBoxLayout;
  panes->addWidget(source_box, 1);
  panes->addLayout(right, 1);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(panes, 1);
  layout->addLayout(bottom);
  resize(560, 460);

  connect(screen_radio, &QRadioButton::toggled, this, &ExportDialog::OnSourceClicked);
  connect(library_panel, &LibraryPanel::FocusChanged, this, &ExportDialog::UpdateOkButton);
  connect(ok_button, &QPushButton::clicked, this, &ExportDialog::OnOkClicked);
  connect(cancel_button, &QPushButton::clicked, this, &QDialog::reject);

  // On show: the columns with their export ticks, the library, the preset or the screen.
  const ColumnSettings nodes = config_.Root().nodes();
  for (int i = 0; i < nodes.Count(); ++i) {
    const ColumnSetting row = nodes.Node(i);
    auto* item = new QListWidgetItem(QString::fromStdString(row.Name()), column_list);
    item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
    item->setCheckState(row.DefaultExport() ? Qt::Checked : Qt::Unchecked);
  }
  library_panel->RefreshLibrary();
  if (!preset_catalog_path_.isEmpty()) {
    library_panel->SelectNodeByPath(preset_catalog_path_);
  } else {
    screen_radio->setChecked(true);
  }
  OnSourceClicked();
}

// 1: the source, the screen or a catalog of the library.
QGroupBox* ExportDialog::CreateSourceBox(const QString& library_root, const QFont& bold,
                                         const QFont& plain) {
  auto* source_box = new QGroupBox(QStringLiteral("1,Select Catalog"), this);
  source_box->setFont(bold);
  auto* source = new QVBoxLayout(source_box);
  screen_radio = new QRadioButton(QStringLiteral("Export From Current Screen"), source_box);
  catalog_radio = new QRadioButton(QStringLiteral("Export From Selected Catalog"), source_box);
  library_panel = new LibraryPanel(source_box);
  library_panel->SetLibraryRoot(library_root);
  library_panel->SetUseFolderIcon(true);
  library_panel->SetColumnWidths(130, 100, 70);
  for (QWidget* child :
       std::initializer_list<QWidget*>{screen_radio, catalog_radio, library_panel}) {
    child->setFont(plain);
  }
  catalog_radio->setChecked(true);
  source->addWidget(screen_radio);
  source->addWidget(catalog_radio);
  source->addWidget(library_panel, 1);
  return source_box;
}

// 2: the columns, each with its export tick.
QGroupBox* ExportDialog::CreateColumnBox(const QFont& bold, const QFont& plain) {
  auto* column_box = new QGroupBox(QStringLiteral("2,Select Columns"), this);
  column_box->setFont(bold);
  auto* columns = new QVBoxLayout(column_box);
  column_list = new QListWidget(column_box);
  column_list->setFont(plain);
  column_list->setMinimumHeight(column_list->fontMetrics().height() * 12 + 8);
  columns->addWidget(column_list);
  return column_box;
}

// 3: the format, each with its picture.
QGroupBox* ExportDialog::CreateFormatBox(const QFont& bold, const QFont& plain) {
  auto* format_box = new QGroupBox(QStringLiteral("3,Select Format"), this);
  format_box->setFont(bold);
  auto* formats = new QGridLayout(format_box);
  html_radio = new QRadioButton(QStringLiteral("HTML Format"), format_box);
  xml_radio = new QRadioButton(QStringLiteral("XML Format"), format_box);
  spreadsheet_radio = new QRadioButton(QStringLiteral("Microsoft Excel Format"), format_box);
  csv_radio = new QRadioButton(QStringLiteral("CSV Format"), format_box);
  text_radio = new QRadioButton(QStringLiteral("TEXT Format "), format_box);
  ncdu_radio = new QRadioButton(QStringLiteral("ncdu Format"), format_box);
  separator_edit = new QLineEdit(QStringLiteral(","), format_box);
  separator_edit->setMaximumWidth(40);
  separator_edit->setFont(plain);
  separator_edit->setToolTip(QStringLiteral("Separator"));
  auto* format_group = new QButtonGroup(this);
  const QPixmap pictures[] = {FormatPicture(QColor(220, 100, 40), QStringLiteral("HTML"),
                                            [](QPainter& p) {
                                              p.setPen(QPen(QColor(60, 120, 200), 1.4));
                                              p.setBrush(Qt::NoBrush);
                                              p.drawEllipse(QRectF(10, 3, 12, 12));
                                              p.drawLine(QPointF(10, 9), QPointF(22, 9));
                                              p.drawEllipse(QRectF(13.5, 3, 5, 12));
                                            }),
                              FormatPicture(QColor(130, 80, 170), QStringLiteral("XML"),
                                            [](QPainter& p) {
                                              p.setPen(QPen(QColor(130, 80, 170), 1.6));
                                              p.drawLine(QPointF(13, 5), QPointF(9, 10));
                                              p.drawLine(QPointF(9, 10), QPointF(13, 15));
                                              p.drawLine(QPointF(19, 5), QPointF(23, 10));
                                              p.drawLine(QPointF(23, 10), QPointF(19, 15));
                                            }),
                              FormatPicture(QColor(40, 130, 60), QStringLiteral("XLSX"), Grid),
                              FormatPicture(QColor(40, 110, 180), QStringLiteral("CSV"), Lines),
                              FormatPicture(QColor(110, 110, 110), QStringLiteral("TXT"), Lines),
                              FormatPicture(QColor(60, 60, 60), QStringLiteral("NCDU"), Grid)};
  QRadioButton* buttons[] = {html_radio, xml_radio,  spreadsheet_radio,
                             csv_radio,  text_radio, ncdu_radio};
  for (int i = 0; i < 6; ++i) {
    buttons[i]->setFont(plain);
    format_group->addButton(buttons[i]);
    formats->addWidget(PictureLabel(pictures[i], format_box), i, 0);
    formats->addWidget(buttons[i], i, 1);
  }
  formats->addWidget(separator_edit, 3, 2);
  formats->setColumnStretch(1, 1);
  html_radio->setChecked(true);
  return format_box;
}

void ExportDialog::OnSourceClicked() {
  library_panel->setEnabled(catalog_radio->isChecked());
  UpdateOkButton();
}

void ExportDialog::UpdateOkButton() {
  ok_button->setEnabled(screen_radio->isChecked() || library_panel->SelectedIsCatalog());
}

void ExportDialog::OnOkClicked() {
  // The ticks become the export defaults on every OK, before anything else.
  ColumnSettings nodes = config_.Root().nodes();
  for (int i = 0; i < nodes.Count() && i < column_list->count(); ++i) {
    nodes.Node(i).SetDefaultExport(column_list->item(i)->checkState() == Qt::Checked);
  }
  try {
    config_.Save();
  } catch (const LumivorError& error) {
    prompts_.ShowMessage("Error", error.what(), MessageIcon::kError);
  }

  preset_catalog_path_.clear();
  if (catalog_radio->isChecked()) {
    if (!library_panel->SelectedIsCatalog()) return;
    preset_catalog_path_ = library_panel->SelectedPath();
  }
  // An empty view gives no file: an empty export would look like a lost catalog.
  const ExportRequest request = Request(Utf8(preset_catalog_path_));
  if (const std::string_view notice = NothingToExport(request, &screen_); !notice.empty()) {
    prompts_.ShowMessage("Warning", notice, MessageIcon::kWarning);
    return;
  }
  setResult(QDialog::Accepted);
  repaint();
  ExportOutcome outcome = ExportOutcome::kNoFile;
  try {
    // The request holds all the dialog's choices: from here on no widget is read, so the export
    // (its file question included) may run on another thread.
    const auto work = [&](Progress& progress, Prompts& prompts, std::stop_token stop) {
      outcome = lumivor::RunExport(request, &screen_, progress, prompts, std::move(stop));
    };
    if (run_work) {
      run_work(work);
    } else {
      work(progress_, prompts_, {});
    }
  } catch (const LumivorError& error) {
    prompts_.ShowMessage("Error", error.what(), MessageIcon::kError);
    accept();
    return;
  }
  // Only a file written is finished: a cancelled dialog, a declined overwrite, a refused
  // workbook and a cancelled export say nothing more.
  if (outcome == ExportOutcome::kWritten) {
    prompts_.ShowMessage("Done", kExportFinished, MessageIcon::kNone);
  }
  accept();
}

ExportRequest ExportDialog::Request(const std::string& catalog_path) const {
  ExportRequest request;
  const ColumnSettings nodes = config_.Root().nodes();
  for (int i = 0; i < nodes.Count() && i < column_list->count(); ++i) {
    if (column_list->item(i)->checkState() == Qt::Checked) {
      request.columns.push_back(nodes.Node(i).Name());
    }
  }
  request.catalog_path = catalog_path;
  request.screen_name = Utf8(screen_name);
  if (html_radio->isChecked()) {
    request.format = ExportFormat::kHtml;
  } else if (xml_radio->isChecked()) {
    request.format = ExportFormat::kXml;
  } else if (spreadsheet_radio->isChecked()) {
    request.format = ExportFormat::kSpreadsheet;
  } else if (csv_radio->isChecked()) {
    request.format = ExportFormat::kCsv;
    request.separator = Utf8(separator_edit->text());  // empty: ","
  } else if (ncdu_radio->isChecked()) {
    request.format = ExportFormat::kNcdu;
  } else {
    request.format = ExportFormat::kText;
  }
  return request;
}

}  // namespace lumivor
