#include "core/ui/grid_style.h"

#include <QPainter>

namespace lumivor {

void GridDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                         const QModelIndex& index) const {
  QStyledItemDelegate::paint(painter, option, index);
  painter->save();
  painter->setPen(kGridColour);
  painter->drawLine(option.rect.bottomLeft(), option.rect.bottomRight());
  painter->drawLine(option.rect.topRight(), option.rect.bottomRight());
  painter->restore();
}

QString GridHeaderStyle() {
  return QStringLiteral(
             "QHeaderView::section { background-color: %1; color: black; padding: 1px 4px;"
             " border: none; border-right: 1px solid %2; border-bottom: 1px solid %2; }")
      .arg(kHeaderBackground.name(), kHeaderBackground.darker(130).name());
}

}  // namespace lumivor
