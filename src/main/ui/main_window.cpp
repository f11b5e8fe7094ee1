#include "main/ui/main_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QIcon>
#include <QLabel>
#include <QLocale>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QScrollArea>
#include <QSplitter>
#include <QStatusBar>
#include <QToolButton>
#include <QTreeView>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>

#include "catalog/attribute_columns.h"
#include "catalog/catalog_edit.h"
#include "catalog/catalog_file.h"
#include "catalog/tree_order.h"
#include "config/app_paths.h"
#include "config/config.h"
#include "core/errors.h"
#include "index/index_follower.h"
#include "library/library_storage.h"
#include "library/ui/library_panel.h"
#include "library/ui/library_tree_model.h"
#include "main/ui/about_dialog.h"
#include "main/ui/catalog_model.h"
#include "main/ui/detail_model.h"
#include "scan/volumes.h"
#include "ui/grid_style.h"
#include "ui/name_edit_delegate.h"
#include "ui/progress_window.h"
#include "ui/qt_prompts.h"

// The pictures live in the static Qt library, whose resource object nothing else refers to.
static void InitLumivorResources() { Q_INIT_RESOURCE(lumivor); }

namespace lumivor {

namespace {

const QColor kSplitterColour(254, 243, 255);

QString FromUtf8(std::string_view text) {
  return QString::fromUtf8(text.data(), qsizetype(text.size()));
}

Qt::Alignment AlignmentOf(const std::string& align) {
  if (align == "right") return Qt::AlignRight;
  if (align == "center") return Qt::AlignHCenter;
  return Qt::AlignLeft;
}

void SetUpGridView(QTreeView* view) {
  view->setItemDelegate(new GridDelegate(view));
  view->setSelectionMode(QAbstractItemView::SingleSelection);
  view->setSelectionBehavior(QAbstractItemView::SelectRows);
  view->setAllColumnsShowFocus(true);
  view->setUniformRowHeights(true);
  view->setMouseTracking(true);  // hot tracking
  view->setEditTriggers(QAbstractItemView::EditKeyPressed | QAbstractItemView::SelectedClicked);
  // The selection keeps its highlight when the view loses the focus.
  QPalette palette = view->palette();
  palette.setColor(QPalette::Inactive, QPalette::Highlight,
                   palette.color(QPalette::Active, QPalette::Highlight));
  palette.setColor(QPalette::Inactive, QPalette::HighlightedText,
                   palette.color(QPalette::Active, QPalette::HighlightedText));
  view->setPalette(palette);
  QHeaderView* header = view->header();
  header->setStyleSheet(GridHeaderStyle());
  header->setSectionsMovable(true);
  header->setStretchLastSection(false);
  header->setMinimumHeight(17);
}

const char* const kButtonCaptions[6] = {"&New Catalog", "&Catalog Library", "&Search",
                                        "&Export",      "&Options",         "E&xit"};
const char* const kButtonHints[6] = {"Create a new catalog",
                                     "The library of catalogs",
                                     "Search a file in the library",
                                     "Export to a file ",
                                     "",
                                     "Exit"};
const char* const kButtonPictures[6] = {
    ":/toolbar/new_catalog.svg", ":/toolbar/catalog_library.svg", ":/toolbar/search.svg",
    ":/toolbar/export.svg",      ":/toolbar/options.svg",         ":/toolbar/exit.svg"};
const char* const kButtonNames[6] = {"SpeedDemoButton", "VisibilityDemoButton", "AlignDemoButton",
                                     "SpeedButton1",    "SpeedButton2",         "QuitButton"};

}  // namespace

MainWindow::MainWindow(std::string directory, Prompts* prompts, QWidget* parent)
    : QMainWindow(parent), directory_(std::move(directory)) {
  if (prompts == nullptr) {
    own_prompts_ = std::make_unique<QtPrompts>(this);
    prompts = own_prompts_.get();
  }
  prompts_ = prompts;
  open_url = [](const QUrl& url) { return QDesktopServices::openUrl(url); };
  InitLumivorResources();
  setObjectName(QStringLiteral("FMMain"));
  setWindowTitle(QStringLiteral("Lumivor"));
  resize(934, 490);

  auto* central = new QWidget(this);
  auto* layout = new QVBoxLayout(central);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  CreateToolbar(central);
  CreatePanes(central);
  setCentralWidget(central);
  CreateMenus();

  status_label_ = new QLabel(this);
  status_label_->setObjectName(QStringLiteral("SB"));
  status_label_->setMinimumWidth(300);
  statusBar()->addWidget(status_label_, 1);
  library_label_ = new QLabel(this);
  library_label_->setObjectName(QStringLiteral("SBLibrary"));
  statusBar()->addPermanentWidget(library_label_);
  // The number of entries of the catalog on screen, at the right end.
  entry_count_label_ = new QLabel(this);
  entry_count_label_->setObjectName(QStringLiteral("EntryCount"));
  statusBar()->addPermanentWidget(entry_count_label_);

  // File icons come from the desktop's icon theme; a desktop that names none gets a common one.
  if (QIcon::fallbackThemeName().isEmpty()) QIcon::setFallbackThemeName(QStringLiteral("Adwaita"));

  // The progress window comes second, after the main window.
  progress_window_ = new ProgressWindow(this);
  work_ = new BackgroundWork(progress_window_, *prompts_, this);
  work_->on_busy = [this](bool busy) { SetBusy(busy); };
}

MainWindow::~MainWindow() = default;

void MainWindow::CreateToolbar(QWidget* host) {
  auto* scroller = new QScrollArea(host);  // lets the toolbar scroll in a narrow window
  scroller->setObjectName(QStringLiteral("PageScroller1"));
  scroller->setFixedHeight(84);
  scroller->setFrameShape(QFrame::NoFrame);
  scroller->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  scroller->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  auto* panel = new QWidget(scroller);
  panel->setObjectName(QStringLiteral("MainPanel"));
  auto* row = new QHBoxLayout(panel);
  row->setContentsMargins(10, 3, 10, 3);
  row->setSpacing(0);
  QFont bold = font();
  bold.setBold(true);
  for (int i = 0; i < 6; ++i) {
    auto* button = new QToolButton(panel);
    button->setObjectName(kButtonNames[i]);
    button->setText(QString::fromLatin1(kButtonCaptions[i]));
    button->setToolTip(QString::fromLatin1(kButtonHints[i]));
    button->setIcon(QIcon(QString::fromLatin1(kButtonPictures[i])));
    button->setIconSize(QSize(48, 48));
    button->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    button->setAutoRaise(true);  // flat
    button->setFont(bold);
    button->setFixedSize(std::max(90, button->sizeHint().width()), 73);
    row->addWidget(button);
    buttons_[i] = button;
  }
  connect(buttons_[0], &QToolButton::clicked, this, &MainWindow::OnNewCatalogClicked);
  connect(buttons_[1], &QToolButton::clicked, this, &MainWindow::OnLibraryClicked);
  connect(buttons_[2], &QToolButton::clicked, this, &MainWindow::OnSearchClicked);
  connect(buttons_[3], &QToolButton::clicked, this, &MainWindow::OnExportClicked);
  connect(buttons_[4], &QToolButton::clicked, this, &MainWindow::OnOptionsClicked);
  connect(buttons_[5], &QToolButton::clicked, this, &QWidget::close);
  // Alt+letter shortcuts come from the captions; Alt+O opens the menu like a click.

  row->addSpacing(8);
  auto* links = new QVBoxLayout();
  links->setContentsMargins(0, 8, 0, 8);
  auto* web_link = new QLabel(QStringLiteral("<a href=\"%1\" style=\"color:%2\">%1</a>")
                                  .arg(FromUtf8(kWebAddress), LinkColour(palette()).name()),
                              panel);
  web_link->setObjectName(QStringLiteral("Label2"));
  auto* mail_link =
      new QLabel(QStringLiteral("<a href=\"mailto:%1\" style=\"color:%2\">Support:%1</a>")
                     .arg(FromUtf8(kSupportMail), LinkColour(palette()).name()),
                 panel);
  mail_link->setObjectName(QStringLiteral("Label3"));
  for (QLabel* label : {web_link, mail_link}) {
    label->setTextFormat(Qt::RichText);
    label->setCursor(Qt::PointingHandCursor);
    label->setTextInteractionFlags(Qt::LinksAccessibleByMouse);
    links->addWidget(label);
  }
  connect(web_link, &QLabel::linkActivated, this, &MainWindow::OpenWebPage);
  connect(mail_link, &QLabel::linkActivated, this, &MainWindow::OpenSupportMail);
  row->addLayout(links);
  row->addStretch(1);
  panel->adjustSize();
  scroller->setWidget(panel);
  scroller->setWidgetResizable(true);
  panel->setMinimumWidth(panel->sizeHint().width());
  host->layout()->addWidget(scroller);
}

void MainWindow::CreateMenus() {
  options_menu_ = new QMenu(this);
  options_menu_->setObjectName(QStringLiteral("PopupMenu1"));
  options_menu_->setToolTipsVisible(true);
  QAction* config1 = options_menu_->addAction(QStringLiteral("Config Visible Columns"));
  config1->setObjectName(QStringLiteral("Config1"));
  connect(config1, &QAction::triggered, this, &MainWindow::OnVisibleColumnsClicked);
  options_menu_->addSeparator();
  QAction* help1 = options_menu_->addAction(QStringLiteral("Help"));
  help1->setObjectName(QStringLiteral("help1"));
  connect(help1, &QAction::triggered, this, &MainWindow::OnHelpClicked);
  options_menu_->addSeparator();
  QAction* options1 = options_menu_->addAction(QStringLiteral("About Lumivor"));
  options1->setObjectName(QStringLiteral("Options1"));
  options1->setToolTip(QStringLiteral("About of the software"));
  connect(options1, &QAction::triggered, this, &MainWindow::OnAboutClicked);
  QAction* homepage = options_menu_->addAction(QStringLiteral("Goto Homepage"));
  connect(homepage, &QAction::triggered, this, &MainWindow::OpenWebPage);

  CreateMenuBar();
}

void MainWindow::CreatePanes(QWidget* host) {
  library_splitter_ = new QSplitter(Qt::Horizontal, host);
  library_splitter_->setObjectName(QStringLiteral("slleft"));
  library_splitter_->setHandleWidth(6);
  library_splitter_->setChildrenCollapsible(false);
  library_splitter_->setStyleSheet(QStringLiteral("QSplitter::handle { background-color: %1; }")
                                       .arg(Themed(kSplitterColour).name()));

  detail_splitter_ = new QSplitter(Qt::Vertical, library_splitter_);
  detail_splitter_->setObjectName(QStringLiteral("plLeft"));
  detail_splitter_->setHandleWidth(6);
  detail_splitter_->setChildrenCollapsible(false);

  CreateLibraryPanel();
  QWidget* detail_host = CreateDetailPane();
  detail_splitter_->addWidget(library_panel_);
  detail_splitter_->addWidget(detail_host);
  detail_splitter_->setStretchFactor(0, 1);
  detail_splitter_->setStretchFactor(1, 0);
  detail_splitter_->setMinimumWidth(80);

  QWidget* catalog_host = CreateCatalogPane();
  for (QSplitter* splitter : {library_splitter_, detail_splitter_}) {
    connect(splitter, &QSplitter::splitterMoved, this, [this] { keep_pane_proportions_ = false; });
  }
  library_splitter_->addWidget(detail_splitter_);
  library_splitter_->addWidget(catalog_host);
  library_splitter_->setStretchFactor(0, 0);
  library_splitter_->setStretchFactor(1, 1);
  host->layout()->addWidget(library_splitter_);
}

// The library tree, in the upper part of the left pane.
void MainWindow::CreateLibraryPanel() {
  library_panel_ = new LibraryPanel(detail_splitter_);
  library_panel_->setObjectName(QStringLiteral("FrmCatTree"));
  library_panel_->SetPlainColours(true);
  library_panel_->SetHint(QStringLiteral("Catalogs"));
  library_panel_->setMinimumHeight(80);
  connect(library_panel_, &LibraryPanel::NodeActivated, this,
          [this](const QString&, bool) { OnLibraryTreeClicked(); });
  // F2 and Edit > Rename rename a group or catalog here as in the library window.
  LibraryTreeModel* library_model = library_panel_->Model();
  library_model->can_edit = [library_model](const CatalogTree::Node* node, int column) {
    return column == LibraryTreeModel::kNameColumn && library_model->LevelOf(node) >= 1;
  };
  auto* name_delegate = new NameEditDelegate(library_panel_->TreeView());
  name_delegate->committed = [this](const QModelIndex& index, const QString& text) {
    OnLibraryNameCommitted(index, text);
  };
  library_panel_->TreeView()->setItemDelegateForColumn(LibraryTreeModel::kNameColumn,
                                                       name_delegate);
  library_panel_->TreeView()->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(library_panel_->TreeView(), &QWidget::customContextMenuRequested, this,
          &MainWindow::LibraryContextMenu);
}

// The detail pane below it: the focused record's fields and attributes, name and description
// editable.
QWidget* MainWindow::CreateDetailPane() {
  auto* detail_host = new QWidget(detail_splitter_);
  detail_host->setObjectName(QStringLiteral("plHint"));
  detail_host->setMinimumHeight(80);
  detail_host->setAutoFillBackground(true);
  QPalette hint_palette = detail_host->palette();
  hint_palette.setColor(QPalette::Window, Themed(kSplitterColour, hint_palette));
  detail_host->setPalette(hint_palette);
  auto* hint_layout = new QVBoxLayout(detail_host);
  hint_layout->setContentsMargins(0, 0, 0, 0);
  detail_view_ = new QTreeView(detail_host);
  detail_view_->setObjectName(QStringLiteral("VLE"));
  detail_model_ = new DetailModel(detail_view_);
  detail_view_->setModel(detail_model_);
  SetUpGridView(detail_view_);
  detail_view_->setRootIsDecorated(false);
  detail_view_->setItemsExpandable(false);
  detail_view_->setToolTip(QStringLiteral("File Detail"));
  detail_view_->setColumnWidth(0, 170);
  detail_view_->setColumnWidth(1, 103);
  // The values take whatever width the pane has beyond the names.
  detail_view_->header()->setStretchLastSection(true);
  hint_layout->addWidget(detail_view_);
  connect(detail_model_, &DetailModel::ValueCommitted, this, &MainWindow::OnDetailEdited);
  return detail_host;
}

// The catalog view on the right.
QWidget* MainWindow::CreateCatalogPane() {
  auto* catalog_host = new QWidget(library_splitter_);
  catalog_host->setObjectName(QStringLiteral("Panel2"));
  catalog_host->setMinimumWidth(80);
  auto* panel_layout = new QVBoxLayout(catalog_host);
  panel_layout->setContentsMargins(0, 0, 0, 0);
  catalog_view_ = new QTreeView(catalog_host);
  catalog_view_->setObjectName(QStringLiteral("VT"));
  catalog_model_ = new CatalogModel(catalog_view_);
  catalog_view_->setModel(catalog_model_);
  SetUpGridView(catalog_view_);
  catalog_view_->setRootIsDecorated(true);
  catalog_view_->setExpandsOnDoubleClick(true);
  catalog_view_->setSortingEnabled(false);  // OnHeaderClicked sorts by its own rule
  catalog_view_->setToolTip(QStringLiteral("Items"));
  catalog_view_->header()->setSectionsClickable(true);
  catalog_view_->header()->setSortIndicatorShown(false);
  catalog_view_->header()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  panel_layout->addWidget(catalog_view_);
  connect(catalog_view_->header(), &QHeaderView::sectionClicked, this,
          &MainWindow::OnHeaderClicked);
  // A right click on the header chooses the visible columns.
  catalog_view_->header()->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(catalog_view_->header(), &QHeaderView::customContextMenuRequested, this,
          &MainWindow::OnVisibleColumnsClicked);
  connect(catalog_view_->selectionModel(), &QItemSelectionModel::currentChanged, this,
          [this](const QModelIndex& current, const QModelIndex&) { OnCurrentChanged(current); });
  connect(catalog_model_, &CatalogModel::EditCommitted, this, &MainWindow::OnCatalogEdited);
  catalog_view_->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(catalog_view_, &QWidget::customContextMenuRequested, this,
          &MainWindow::ResultContextMenu);
  return catalog_host;
}

Configuration& MainWindow::Config() {
  if (!config_) {
    config_ = std::make_unique<Configuration>(directory_);
    // The tags, volume facts and marks of the records can be columns too, after the fields.
    AddAttributeColumns(*config_);
  }
  return *config_;
}

const std::string& MainWindow::LibraryPath() { return Config().LibraryPath(); }

Progress& MainWindow::WaitProgress() { return *progress_window_; }

void MainWindow::InitMainWindow() {
  if (initialised_) return;
  initialised_ = true;
  RunCommand([this] {
    // The first use of the configuration writes the default file when there is none.
    const std::string& library = LibraryPath();
    if (!Config().LoadWarning().empty()) {
      prompts_->ShowMessage("Warning", Config().LoadWarning(), MessageIcon::kWarning);
    }
    CreateDefaultLibrary(library);
    library_location_ = library;
    library_panel_->SetLibraryRoot(FromUtf8(library));
    library_label_->setText(FromUtf8(library));
    // A server library named in the configuration; when it cannot be reached now the folder is
    // shown, and the message says why.
    if (const std::string shared = Config().SharedLibrary(); !shared.empty()) UseLibrary(shared);
  });
  setWindowTitle(FromUtf8(kProductTitle));
  RestoreLayout();
  BuildColumns();
  RefreshLibrary();
  ShowDetail(nullptr);
  SetDetailShowsItem(false);
  status_label_->clear();
}

void MainWindow::RestoreLayout() {
  const WindowFrameSettings frame = Config().Root().frame();
  // The stored bounds are also the normal bounds under a maximised window, so a desktop that
  // cannot maximise, or a user who restores the window, gets them rather than the design size.
  move(frame.left(), frame.top());
  resize(std::max(frame.width(), 200), std::max(frame.height(), 150));
  if (frame.max()) {
    setWindowState(windowState() | Qt::WindowMaximized);
  } else {
    setWindowState(windowState() & ~(Qt::WindowMaximized | Qt::WindowFullScreen));
  }
  // The panes were saved in a window of this size; they are restored in proportion to the
  // window they come back in, which may be smaller or on a screen of another resolution.
  saved_window_size_ = QSize(frame.width(), frame.height());
  keep_pane_proportions_ = true;
  const LibraryPaneSettings left = frame.plLeft();
  left_width_ = std::max(left.width(), 80);
  library_panel_->SetColumnWidths(left.col1(), left.col2(), left.col3());
  const DetailPaneSettings hint = frame.plHint();
  hint_height_ = std::max(hint.height(), 80);
  detail_view_->setColumnWidth(0, hint.col1());
  detail_view_->setColumnWidth(1, hint.col2());
  panes_applied_ = false;
  if (isVisible()) ApplyPaneSizes();
}

void MainWindow::ApplyPaneSizes() {
  if (centralWidget()->layout()) centralWidget()->layout()->activate();
  int left = left_width_;
  int hint = hint_height_;
  if (saved_window_size_.width() > 0 && saved_window_size_.height() > 0) {
    left = static_cast<int>(static_cast<long long>(left) * width() / saved_window_size_.width());
    hint = static_cast<int>(static_cast<long long>(hint) * height() / saved_window_size_.height());
  }
  const int across = std::max(library_splitter_->width() - library_splitter_->handleWidth(), 160);
  left = std::clamp(left, 80, across - 80);
  library_splitter_->setSizes({left, across - left});
  // The library tree keeps at least half of the left column.
  const int down = std::max(detail_splitter_->height() - detail_splitter_->handleWidth(), 160);
  hint = std::clamp(hint, 80, std::max(80, down / 2));
  detail_splitter_->setSizes({down - hint, hint});
  panes_applied_ = true;
}

void MainWindow::SaveLayout() {
  ConfigRoot root = Config().Root();
  WindowFrameSettings frame = root.frame();
  frame.SetLeft(x());
  frame.SetTop(y());
  frame.SetHeight(height());
  frame.SetWidth(width());
  frame.SetMax(isMaximized());
  LibraryPaneSettings left = frame.plLeft();
  left.SetWidth(panes_applied_ ? library_splitter_->sizes().value(0) : left_width_);
  QTreeView* library = library_panel_->TreeView();
  left.SetCol1(library->columnWidth(0));
  left.SetCol2(library->columnWidth(1));
  left.SetCol3(library->columnWidth(2));
  DetailPaneSettings hint = frame.plHint();
  hint.SetHeight(panes_applied_ ? detail_splitter_->sizes().value(1) : hint_height_);
  hint.SetCol1(detail_view_->columnWidth(0));
  hint.SetCol2(detail_view_->columnWidth(1));
  const ColumnSettings nodes = root.nodes();
  const QHeaderView* header = catalog_view_->header();
  for (int i = 0; i < catalog_model_->columnCount() && i < nodes.Count(); ++i) {
    ColumnSetting node = nodes.Node(i);
    // A hidden section has no width of its own; it keeps the one it had when shown.
    if (!header->isSectionHidden(i)) node.SetWidth(header->sectionSize(i));
    node.SetVisible(!header->isSectionHidden(i));
    node.SetIndex(header->visualIndex(i));
  }
  Config().Save();
}

void MainWindow::BuildColumns() {
  const ColumnSettings nodes = Config().Root().nodes();
  std::vector<CatalogColumn> columns;
  for (int i = 0; i < nodes.Count(); ++i) {
    const ColumnSetting node = nodes.Node(i);
    CatalogColumn column = ColumnNamed(node.Name());
    column.read_only = node.ReadOnly();
    column.align = AlignmentOf(node.Align());
    columns.push_back(std::move(column));
  }
  catalog_model_->SetColumns(std::move(columns));
  QHeaderView* header = catalog_view_->header();
  const int count = catalog_model_->columnCount();
  // Sizes and times must fit whatever the desktop's font, and every column its title (with room
  // for the sort mark); names and paths keep their widths.
  const QFontMetrics metrics(catalog_view_->font());
  const QFontMetrics title_metrics(header->font());
  const int size_width = metrics.horizontalAdvance(QStringLiteral("000,000.00 KB")) + 16;
  const int time_width = metrics.horizontalAdvance(QStringLiteral("0000-00-00 00:00:00")) + 16;
  for (int i = 0; i < count; ++i) {
    header->showSection(i);
    const CatalogColumn& column = catalog_model_->Columns()[static_cast<std::size_t>(i)];
    int width = std::max(nodes.Node(i).Width(), 10);
    if (column.field == kFileSize) width = std::max(width, size_width);
    if (column.field == kFileTime) width = std::max(width, time_width);
    width = std::max(width, title_metrics.horizontalAdvance(FromUtf8(column.name)) + 28);
    header->resizeSection(i, width);
  }
  // Display positions are placed from the leftmost on, so earlier moves stay where they went.
  std::vector<std::pair<int, int>> positions;  // (Index, column)
  for (int i = 0; i < count; ++i) positions.emplace_back(nodes.Node(i).Index(), i);
  std::stable_sort(positions.begin(), positions.end());
  for (const auto& [target, column] : positions) {
    const int to = std::clamp(target, 0, count - 1);
    const int from = header->visualIndex(column);
    if (from != to) header->moveSection(from, to);
  }
  ApplyColumnVisibility();
}

void MainWindow::ApplyColumnVisibility() {
  const ColumnSettings nodes = Config().Root().nodes();
  for (int i = 0; i < catalog_model_->columnCount() && i < nodes.Count(); ++i) {
    catalog_view_->header()->setSectionHidden(i, !nodes.Node(i).Visible());
  }
}

void MainWindow::UpdateStatusBar() {
  status_label_->setText(StatusText());
  entry_count_label_->setText(EntryCountText());
  UpdateWindowTitle();
}

QString MainWindow::EntryCountText() const {
  if (results_shown_ || current_catalog_file_.empty()) return {};
  const std::size_t entries = CatalogSize();
  QLocale grouped;
  grouped.setNumberOptions(grouped.numberOptions() & ~QLocale::OmitGroupSeparator);
  return grouped.toString(static_cast<qulonglong>(entries)) +
         (entries == 1 ? QStringLiteral(" entry") : QStringLiteral(" entries"));
}

QString MainWindow::ScreenName() const {
  if (results_shown_) return QStringLiteral("Search results");
  if (current_catalog_file_.empty()) return {};
  return FromUtf8(DisplayNameOf(current_catalog_file_));
}

void MainWindow::UpdateWindowTitle() {
  UpdateFileCommands();
  QString title = FromUtf8(kProductTitle);
  if (const QString shown = ScreenName(); !shown.isEmpty()) title = shown + " - " + title;
  if (initialised_) setWindowTitle(title);
}

QString MainWindow::StatusText() const {
  if (results_shown_) {
    // The results stand in for a catalog: how many, from how many catalogs, and where the
    // focused one is kept.
    std::string text =
        ResultCountText(result_sources_.size(), result_catalogs_, results_cancelled_);
    if (const CatalogTree::Node* item = FocusedItem()) {
      if (const ResultSource* source = SourceOf(item)) {
        text += " ==> ";
        text += LibraryDisplayPath(source->catalog_path);
      }
      text += " ==> ";
      text += LibraryDisplayPath(item->Field(kFileName));
    }
    return QString::fromStdString(text);
  }
  std::string text(kStatusPrefix);
  const CatalogTree::Node* library = library_panel_->FocusedNode();
  if (library != nullptr) {
    text += LibraryDisplayPath(library->Field(kFullPath));
    if (const CatalogTree::Node* item = FocusedItem()) {
      text += " ==> ";
      text += LibraryDisplayPath(item->Field(kFileName));
    }
  }
  return QString::fromStdString(text);
}

void MainWindow::SetDetailShowsItem(bool shows_item) {
  detail_shows_item_ = shows_item;
  detail_model_->SetShowsItem(shows_item);
}

void MainWindow::SetCatalogTree(CatalogTree&& tree) {
  ForgetResults();
  catalog_model_->AdoptTree(std::move(tree));
  ShowDetail(nullptr);
}

void MainWindow::AppendCatalogTree(CatalogTree&& tree) {
  catalog_model_->AppendTree(std::move(tree));
}

void MainWindow::ClearCatalog() {
  ForgetResults();
  catalog_model_->Clear();
  ShowDetail(nullptr);
}

const CatalogTree& MainWindow::CatalogTreeShown() { return catalog_model_->SortedTree(); }

std::size_t MainWindow::CatalogSize() const { return catalog_model_->Tree().Size(); }

CatalogTree::Node* MainWindow::FocusedItem() const {
  return CatalogModel::NodeOf(catalog_view_->selectionModel()->currentIndex());
}

QToolButton* MainWindow::ToolButton(int i) const { return i >= 0 && i < 6 ? buttons_[i] : nullptr; }

void MainWindow::OpenCatalog(const std::string& path) {
  if (path == current_catalog_file_) return;
  // Read into a tree of its own first: a file that cannot be read, or a load cancelled, leaves
  // the view as it was.
  std::optional<CatalogTree> tree;
  if (IsServerCatalog(path)) {
    tree = LoadServerCatalog(path);
  } else {
    RunInBackground([&](WorkContext& work) { tree = LoadCatalog(path, work.progress, work.stop); },
                    QStringLiteral("Opening ") + FromUtf8(DisplayNameOf(path)));
  }
  if (tree) ShowOpenedCatalog(std::move(*tree), path);
}

void MainWindow::ShowOpenedCatalog(CatalogTree&& tree, const std::string& path) {
  ForgetResults();
  catalog_model_->AdoptTree(std::move(tree));
  current_catalog_file_ = path;
  // Nothing of the previous catalog stays in the detail pane.
  SetDetailShowsItem(false);
  ShowDetail(nullptr);
  const QModelIndex top = catalog_model_->index(0, 0);
  if (top.isValid()) catalog_view_->expand(top);
}

void MainWindow::SaveCurrentCatalog() {
  std::string path = current_catalog_file_;
  if (path.empty()) {
    path = AskSaveFileName(*prompts_, kCatalogExtension, kCatalogFilter, {});
    if (path.empty()) return;
  }
  // The tree is read by the worker; the window changes nothing while it runs.
  const CatalogTree& tree = catalog_model_->Tree();
  bool saved = false;
  RunOnShownTree(
      [&](WorkContext& work) {
        saved = SaveCatalog(tree, path, work.progress, work.stop);
        if (saved) IndexFollower(work.stop).Written(path);
      },
      QStringLiteral("Saving ") + FromUtf8(DisplayNameOf(path)));
  if (!saved) {
    prompts_->ShowMessage("Save", "Cancelled. The catalog file is as it was.", MessageIcon::kNone);
  }
}

void MainWindow::ResortCatalog() {
  catalog_model_->SortTree(sort_field_, sort_ascending_, sort_attribute_);
}

void MainWindow::ApplyEdit(CatalogTree::Node* node, int field, std::string_view text) {
  if (node == nullptr) return;
  if (const ResultSource* source = SourceOf(node)) {
    ApplyResultEdit(node, *source, field, text);
    return;
  }
  if (const std::string_view refusal = EditRefusal(node, field, text); !refusal.empty()) {
    prompts_->ShowMessage(kWarningCaption, refusal, MessageIcon::kWarning);
    return;
  }
  const std::string old_text(node->Field(field));
  catalog_model_->ApplyEdit(node, field, text);
  catalog_view_->viewport()->update();
  if (IsServerCatalog(current_catalog_file_)) {
    RunCommand([&] { SaveServerEdit(node, field, old_text); });
    return;
  }
  RunCommand([this] { SaveCurrentCatalog(); });
}

void MainWindow::ShowDetail(const CatalogTree::Node* node) {
  std::vector<DetailModel::Row> rows;
  if (node != nullptr) {
    const CatalogRecord whole = node->Record();
    const CatalogRecord* record = &whole;
    // The fields in the order the settings list them; the further attributes the record holds
    // follow (the settings' rows for attribute columns would only repeat them, or show nothing).
    const ColumnSettings nodes = Config().Root().nodes();
    for (int i = 0; i < nodes.Count(); ++i) {
      const std::string name = nodes.Node(i).Name();
      if (!IsFieldName(name)) continue;
      rows.push_back({QString::fromStdString(name), FieldText(FieldIndexOf(name), record)});
    }
    for (std::size_t i = 0; i < record->ExtraCount(); ++i) {
      const ExtraAttribute extra = record->ExtraAt(i);
      rows.push_back(
          {FromUtf8(extra.name), FromUtf8(AttributeDisplayText(extra.name, extra.value)), true});
    }
  }
  detail_model_->SetRows(std::move(rows), detail_shows_item_);
}

void MainWindow::RefreshLibrary(const std::string& select_path) {
  library_panel_->RefreshLibrary();
  // A server that could not be reached: one message, and the window stays usable; the next
  // refresh (F5) connects again.
  if (!library_panel_->ListingError().empty()) {
    prompts_->ShowMessage("Error", library_panel_->ListingError(), MessageIcon::kError);
  }
  if (!select_path.empty()) library_panel_->SelectNodeByPath(FromUtf8(select_path));
}

bool MainWindow::RunCommand(const std::function<void()>& command) {
  try {
    command();
    return true;
  } catch (const std::exception& error) {
    QApplication::restoreOverrideCursor();
    prompts_->ShowMessage("Error", error.what(), MessageIcon::kError);
  }
  return false;
}

void MainWindow::RunInBackground(const std::function<void(WorkContext&)>& work,
                                 const QString& title) {
  if (work_->Running()) throw LumivorError("Please wait until the running task has ended.");
  progress_window_->SetWorkTitle(title);
  if (!work_->Run(work)) throw LumivorError("Please wait until the running task has ended.");
}

void MainWindow::RunOnShownTree(const std::function<void(WorkContext&)>& work,
                                const QString& title) {
  const std::vector<CatalogTree::Node*> pending = catalog_model_->HandOutPendingSorts();
  const TreeOrder order = catalog_model_->Order();
  std::size_t sorted = 0;
  // Folders a cancelled (or failed) sort did not reach are sorted again when next needed.
  struct TakeBack {
    CatalogModel* model;
    const std::vector<CatalogTree::Node*>& pending;
    const std::size_t& sorted;
    ~TakeBack() { model->TakeBackUnsorted(std::span(pending).subspan(sorted)); }
  } take_back{catalog_model_, pending, sorted};
  RunInBackground(
      [&](WorkContext& context) {
        sorted = SortFolders(pending, order, context.stop);
        work(context);
      },
      title);
}

void MainWindow::SetBusy(bool busy) {
  for (QToolButton* button : buttons_) button->setEnabled(!busy);
  menuBar()->setEnabled(!busy);
  library_panel_->setEnabled(!busy);
  // The views stay readable, but neither edits nor sorts the tree that the work may be reading.
  catalog_view_->header()->setSectionsClickable(!busy);
  // Nor opens folders: the work may be putting the ones not shown yet in order.
  catalog_view_->setItemsExpandable(!busy);
  if (busy) {
    catalog_edit_triggers_ = static_cast<int>(catalog_view_->editTriggers());
    detail_edit_triggers_ = static_cast<int>(detail_view_->editTriggers());
    catalog_view_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    detail_view_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  } else {
    catalog_view_->setEditTriggers(
        static_cast<QAbstractItemView::EditTriggers>(catalog_edit_triggers_));
    detail_view_->setEditTriggers(
        static_cast<QAbstractItemView::EditTriggers>(detail_edit_triggers_));
  }
}

void MainWindow::OnLibraryTreeClicked() {
  const CatalogTree::Node* library = library_panel_->FocusedNode();
  if (library == nullptr) {
    ClearCatalog();
    current_catalog_file_.clear();
    SetDetailShowsItem(false);
    UpdateStatusBar();
    return;
  }
  const bool opened = RunCommand([&] {
    if (library->Field(kFileType) == kFileTypeText) {
      OpenCatalog(std::string(library->Field(kFullPath)));
    } else {
      ClearCatalog();
      current_catalog_file_.clear();
    }
  });
  if (!opened) return;
  SetDetailShowsItem(false);
  ShowDetail(library);
  if (library->IsFile()) ShowMediumDetail(std::string(library->Field(kFullPath)));
  UpdateStatusBar();
  ResortCatalog();
}

void MainWindow::OnHeaderClicked(int column) {
  if (column < 0 || column >= catalog_model_->columnCount()) return;
  if (sort_column_ < 0) {
    sort_ascending_ = true;
  } else {
    sort_ascending_ = !sort_ascending_;
  }
  sort_column_ = column;
  const CatalogColumn& sorted = catalog_model_->Columns()[static_cast<std::size_t>(column)];
  sort_field_ = std::max(sorted.field, 0);
  sort_attribute_ = sorted.attribute;
  QHeaderView* header = catalog_view_->header();
  header->setSortIndicatorShown(true);
  header->setSortIndicator(column, sort_ascending_ ? Qt::AscendingOrder : Qt::DescendingOrder);
  ResortCatalog();
}

void MainWindow::OnCurrentChanged(const QModelIndex& current) {
  const CatalogTree::Node* node = CatalogModel::NodeOf(current);
  if (node != nullptr) {
    SetDetailShowsItem(true);
    ShowDetail(node);
    ShowResultPlace(node);
  } else {
    ShowDetail(nullptr);
  }
  UpdateStatusBar();
}

void MainWindow::OnCatalogEdited(CatalogTree::Node* node, int field, const std::string& text) {
  // An editor that closes while work runs (its own save, say) has nothing new to store.
  if (work_->Running()) return;
  ApplyEdit(node, field, text);
  if (node != nullptr) {
    ShowDetail(node);
    ShowResultPlace(node);
  }
}

void MainWindow::OnDetailEdited(int row, const QString& key, const QString& text) {
  if (work_->Running()) return;
  CatalogTree::Node* node = FocusedItem();
  const int field = FieldIndexOf(key.toStdString());
  ApplyEdit(node, field, text.toStdString());
  // The row shows what was stored: a refused or failed edit leaves the old text.
  detail_model_->SetValue(row, node != nullptr ? FieldText(field, node) : text);
}

void MainWindow::OnOptionsClicked() {
  QToolButton* button = buttons_[4];
  options_menu_->popup(button->mapToGlobal(QPoint(button->width() / 2, button->height() + 6)));
}

void MainWindow::OnAboutClicked() {
  AboutDialog about(this);
  about.exec();
}

void MainWindow::OpenWebPage() { open_url(QUrl(FromUtf8(kWebAddress))); }

void MainWindow::OnHelpClicked() {
  std::vector<std::string> looked_in;
  const std::string readme = FindHelpFile(&looked_in);
  if (readme.empty()) {
    std::string text = "The help file README.md was not found. It was looked for in:";
    for (const std::string& place : looked_in) text += "\n" + place;
    prompts_->ShowMessage(kWarningCaption, text, MessageIcon::kWarning);
    return;
  }
  if (!open_url(QUrl::fromLocalFile(FromUtf8(readme)))) {
    prompts_->ShowMessage(
        kWarningCaption, "No program is set up to show " + readme + ". Open it with a text editor.",
        MessageIcon::kWarning);
  }
}

void MainWindow::OpenSupportMail() {
  open_url(QUrl(QStringLiteral("mailto:") + FromUtf8(kSupportMail)));
}

void MainWindow::resizeEvent(QResizeEvent* event) {
  QMainWindow::resizeEvent(event);
  // Until the user drags a splitter the panes keep their proportions, also while the window
  // manager is still bringing the window to its restored or maximised size.
  if (panes_applied_ && keep_pane_proportions_) ApplyPaneSizes();
}

void MainWindow::showEvent(QShowEvent* event) {
  InitMainWindow();
  QMainWindow::showEvent(event);
  if (!panes_applied_) ApplyPaneSizes();
}

void MainWindow::closeEvent(QCloseEvent* event) {
  // The window stays until the running work has ended; a close asks it to stop.
  if (work_->Running()) {
    work_->Cancel();
    event->ignore();
    return;
  }
  RunCommand([this] { SaveLayout(); });
  QMainWindow::closeEvent(event);
}

}  // namespace lumivor
