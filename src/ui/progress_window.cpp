#include "ui/progress_window.h"

#include <QApplication>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QScreen>
#include <QtMath>
#include <algorithm>

namespace lumivor {

namespace {
constexpr int kFrameMs = 60;  // one animation frame
}  // namespace

WaitAnimation::WaitAnimation(QWidget* parent) : QWidget(parent) {
  setFixedSize(80, 50);
  clock_.start();
  auto* timer = new QTimer(this);
  timer->setInterval(kFrameMs);
  connect(timer, &QTimer::timeout, this, qOverload<>(&QWidget::update));
  timer->start();
}

int WaitAnimation::Frame() const {
  return static_cast<int>((clock_.elapsed() / kFrameMs) % kFrameCount);
}

void WaitAnimation::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  // A folder on the left half.
  const QColor folder_back(0xd9, 0xa4, 0x41), folder_front(0xf2, 0xc2, 0x5c);
  painter.setPen(QPen(folder_back.darker(130), 1));
  painter.setBrush(folder_back);
  QPainterPath tab;
  tab.addRoundedRect(QRectF(6, 12, 16, 8), 2, 2);
  painter.drawPath(tab);
  painter.drawRoundedRect(QRectF(6, 16, 40, 28), 3, 3);
  painter.setBrush(folder_front);
  painter.drawRoundedRect(QRectF(8, 22, 40, 22), 3, 3);
  // Sheets leaving the folder one after the other.
  const int frame = Frame();
  const double phase = frame / static_cast<double>(kFrameCount);
  for (int sheet = 0; sheet < 2; ++sheet) {
    const double t = std::fmod(phase + sheet * 0.5, 1.0);
    const double x = 24 + t * 30, y = 20 - std::sin(t * M_PI) * 12;
    painter.setPen(QPen(QColor(0x80, 0x80, 0x80), 1));
    painter.setBrush(QColor(255, 255, 255, static_cast<int>(255 * (1.0 - t * 0.6))));
    painter.drawRect(QRectF(x, y, 10, 13));
  }
  // A magnifier circling on the right.
  const double angle = phase * 2 * M_PI;
  const QPointF centre(62 + std::cos(angle) * 6, 24 + std::sin(angle) * 6);
  painter.setPen(QPen(QColor(0x40, 0x40, 0x40), 3, Qt::SolidLine, Qt::RoundCap));
  painter.drawLine(centre + QPointF(6, 6), centre + QPointF(13, 13));
  painter.setPen(QPen(QColor(0x30, 0x50, 0x90), 2));
  painter.setBrush(QColor(0xc8, 0xe0, 0xff, 170));
  painter.drawEllipse(centre, 8, 8);
}

ProgressWindow::ProgressWindow(QWidget* main_window)
    : QWidget(main_window, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint),
      main_window_(main_window) {
  // A child window of the main window with a frame and a title, kept above it by the window
  // manager; it follows the main window when that moves (see eventFilter).
  setWindowTitle(QStringLiteral("Lumivor"));
  if (main_window_ != nullptr) main_window_->installEventFilter(this);
  setAutoFillBackground(true);
  // Showing the window must not take the focus: an editor open in the main window would take
  // that as the end of its edit.
  setAttribute(Qt::WA_ShowWithoutActivating);
  animation_ = new WaitAnimation(this);
  animation_->move(8, 8);
  title_label_ = new QLabel(kPatienceText, this);
  // The desktop's font may be wider than the design's: the window grows to show the whole text.
  const int text_width = title_label_->fontMetrics().horizontalAdvance(kPatienceText) + 4;
  const int width = std::max(376, 103 + text_width + 8);
  setFixedSize(width, 84);
  title_label_->setGeometry(103, 8, text_width, 18);
  text_label_ = new QLabel("...", this);
  text_label_->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
  text_label_->setGeometry(96, 30, width - 96 - 6, 18);
  cancel_button_ = new QPushButton("Cancel", this);
  cancel_button_->setGeometry(96 + (width - 96 - 97) / 2, 54, 97, 25);
  cancel_button_->hide();
  connect(cancel_button_, &QPushButton::clicked, this, &ProgressWindow::OnCancelClicked);
  flush_timer_.setSingleShot(true);
  flush_timer_.setInterval(kRepaintMs);
  connect(&flush_timer_, &QTimer::timeout, this, &ProgressWindow::FlushText);
  since_window_.start();
}

void ProgressWindow::ShowWait(bool visible, bool cancellable) {
  if (!visible) {
    if (isVisible()) hide();
    qApp->removeEventFilter(this);
    return;
  }
  if (!isVisible()) cancelled_ = false;
  // Escape is Cancel while Cancel is offered, wherever the keyboard focus is in the program.
  if (cancellable) {
    qApp->installEventFilter(this);
  } else {
    qApp->removeEventFilter(this);
  }
  cancel_button_->setVisible(cancellable);
  if (text_pending_) {
    SetLineText(QString::fromUtf8(pending_text_.data(), qsizetype(pending_text_.size())));
    text_pending_ = false;
  }
  CentreOverMainWindow();
  show();
  CentreOverMainWindow();  // again with the frame the window manager gave it
  if (QGuiApplication::platformName() != QLatin1String("offscreen")) raise();
  // The thread stays busy after this, so the window is mapped and painted here.
  QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
  PaintNow();
}

void ProgressWindow::SetWaitText(std::string_view text) {
  pending_text_.assign(text);
  text_pending_ = true;
  if (since_window_.elapsed() >= kRepaintMs) {
    since_window_.restart();
    paints_in_window_ = 0;
  }
  // A few texts in a row all show (a save says "Saving info..." and then "Gathering info.."
  // before its long write); a flood shows a few per interval.
  if (paints_in_window_ < kPaintsPerInterval) {
    ++paints_in_window_;
    FlushText();
  } else if (!flush_timer_.isActive()) {
    flush_timer_.start();
  }
}

void ProgressWindow::FlushText() {
  if (!text_pending_) return;
  text_pending_ = false;
  SetLineText(QString::fromUtf8(pending_text_.data(), qsizetype(pending_text_.size())));
  ++text_repaints_;
  if (isVisible()) PaintNow();
}

void ProgressWindow::PaintNow() { repaint(); }

void ProgressWindow::SetLineText(const QString& text) {
  line_text_ = text;
  // A long path keeps its start and its end.
  text_label_->setText(
      text_label_->fontMetrics().elidedText(text, Qt::ElideMiddle, text_label_->width()));
  text_label_->setToolTip(text);
}

void ProgressWindow::paintEvent(QPaintEvent* event) {
  QWidget::paintEvent(event);
  // Without a frame of its own the window needs an edge to stand out from the one below.
  QPainter painter(this);
  painter.setPen(palette().color(QPalette::Dark));
  painter.drawRect(rect().adjusted(0, 0, -1, -1));
}

QString ProgressWindow::WaitText() {
  FlushText();
  return line_text_;
}

bool ProgressWindow::CancelShown() const { return !cancel_button_->isHidden(); }

void ProgressWindow::OnCancelClicked() {
  cancelled_ = true;
  emit CancelPressed();
}

void ProgressWindow::SetWorkTitle(const QString& title) {
  setWindowTitle(title.isEmpty() ? QStringLiteral("Lumivor") : title);
}

bool ProgressWindow::eventFilter(QObject* watched, QEvent* event) {
  if (watched == main_window_ && isVisible() &&
      (event->type() == QEvent::Move || event->type() == QEvent::Resize)) {
    CentreOverMainWindow();
  }
  if (event->type() == QEvent::KeyPress && isVisible() && !cancel_button_->isHidden() &&
      static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) {
    cancel_button_->click();
    return true;
  }
  return QWidget::eventFilter(watched, event);
}

void ProgressWindow::CentreOverMainWindow() {
  QRect over;
  if (main_window_ && main_window_->isVisible()) {
    over = main_window_->frameGeometry();
  } else if (QScreen* screen = QGuiApplication::primaryScreen()) {
    over = screen->availableGeometry();
  }
  // move() places the frame: the frame's own size centres it (known once the window was shown).
  const QSize frame = frameGeometry().size();
  if (over.isValid()) move(over.center() - QPoint(frame.width() / 2, frame.height() / 2));
}

}  // namespace lumivor
