#include "library/ui/library_icons.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <functional>

namespace lumivor {

namespace {

// Draws `paint` on a 16-unit canvas at 16, 32 and 48 pixels.
QIcon Painted(const std::function<void(QPainter&)>& paint) {
  QIcon icon;
  for (int size : {16, 32, 48}) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / 16.0, size / 16.0);
    paint(painter);
    painter.end();
    icon.addPixmap(pixmap);
  }
  return icon;
}

void DrawFolder(QPainter& p, const QColor& back, const QColor& front) {
  p.setPen(QPen(back.darker(150), 0.8));
  p.setBrush(back);
  QPainterPath tab;
  tab.moveTo(1.5, 3.5);
  tab.lineTo(6, 3.5);
  tab.lineTo(7.5, 5);
  tab.lineTo(14.5, 5);
  tab.lineTo(14.5, 13.5);
  tab.lineTo(1.5, 13.5);
  tab.closeSubpath();
  p.drawPath(tab);
  p.setBrush(front);
  p.drawRoundedRect(QRectF(1.5, 6.5, 13, 7), 0.8, 0.8);
}

void DrawDisc(QPainter& p, const QRectF& box) {
  QRadialGradient shine(box.center(), box.width() / 2);
  shine.setColorAt(0.0, QColor(250, 250, 255));
  shine.setColorAt(0.45, QColor(190, 205, 235));
  shine.setColorAt(0.7, QColor(230, 200, 240));
  shine.setColorAt(1.0, QColor(170, 190, 220));
  p.setPen(QPen(QColor(90, 100, 130), 0.8));
  p.setBrush(shine);
  p.drawEllipse(box);
  const QPointF c = box.center();
  const double hub = box.width() * 0.16;
  p.setBrush(QColor(255, 255, 255));
  p.drawEllipse(c, hub, hub);
}

}  // namespace

QIcon GroupIcon() {
  return Painted([](QPainter& p) {
    DrawFolder(p, QColor(70, 120, 210), QColor(110, 160, 240));
    DrawDisc(p, QRectF(7.5, 7.5, 7, 7));
  });
}

QIcon FolderIcon() {
  return Painted([](QPainter& p) { DrawFolder(p, QColor(225, 175, 60), QColor(250, 210, 100)); });
}

QIcon CatalogIcon() {
  return Painted([](QPainter& p) { DrawDisc(p, QRectF(1.5, 1.5, 13, 13)); });
}

QIcon ConnectedIcon(const QIcon& base) {
  return Painted([base](QPainter& p) {
    base.paint(&p, QRect(0, 0, 16, 16));
    p.setPen(QPen(QColor(0x1b, 0x5e, 0x20), 0.8));
    p.setBrush(QColor(0x43, 0xa0, 0x47));
    p.drawEllipse(QRectF(10, 10, 5.5, 5.5));
  });
}

QIcon AbsentIcon(const QIcon& base) {
  return Painted([base](QPainter& p) {
    p.setOpacity(0.35);
    base.paint(&p, QRect(0, 0, 16, 16));
  });
}

}  // namespace lumivor
