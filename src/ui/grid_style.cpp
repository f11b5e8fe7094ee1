#include "ui/grid_style.h"

#include <QGuiApplication>
#include <QPainter>
#include <algorithm>

namespace lumivor {

bool IsDarkPalette(const QPalette& palette) {
  return palette.color(QPalette::Base).lightness() < palette.color(QPalette::Text).lightness();
}

QColor Themed(const QColor& light, const QPalette& palette) {
  if (!IsDarkPalette(palette)) return light;
  // The tint's distance from white becomes its distance above the palette's base, so paler
  // roles stay nearer the base and stronger ones stand out more, as they do in the light look.
  const int base = palette.color(QPalette::Base).lightness();
  const int lightness = std::clamp(base + (255 - light.lightness()) / 2 + 12, 0, 110);
  return QColor::fromHsl(light.hslHue(), std::min(light.hslSaturation(), 120), lightness);
}

QColor Themed(const QColor& light) { return Themed(light, QGuiApplication::palette()); }

QColor LinkColour(const QPalette& palette) {
  return IsDarkPalette(palette) ? palette.color(QPalette::Link) : QColor(0, 0, 255);
}

void GridDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                         const QModelIndex& index) const {
  QStyledItemDelegate::paint(painter, option, index);
  painter->save();
  painter->setPen(Themed(kGridColour, option.palette));
  painter->drawLine(option.rect.bottomLeft(), option.rect.bottomRight());
  painter->drawLine(option.rect.topRight(), option.rect.bottomRight());
  painter->restore();
}

QString GridHeaderStyle() {
  const QPalette palette = QGuiApplication::palette();
  const QColor background = Themed(kHeaderBackground, palette);
  const QColor border = IsDarkPalette(palette) ? background.lighter(140) : background.darker(130);
  return QStringLiteral(
             "QHeaderView::section { background-color: %1; color: %3; padding: 1px 4px;"
             " border: none; border-right: 1px solid %2; border-bottom: 1px solid %2; }")
      .arg(background.name(), border.name(),
           IsDarkPalette(palette) ? palette.color(QPalette::Text).name() : QStringLiteral("black"));
}

}  // namespace lumivor
