#pragma once

#include <QColor>
#include <QString>
#include <QStyledItemDelegate>

namespace lumivor {

// The look shared by the program's tree-grids: the pale blue background, the blue header and
// thin grid lines between the cells.
inline const QColor kTreeBackground(239, 243, 255);
inline const QColor kHeaderBackground(123, 170, 255);
inline const QColor kGridColour(205, 212, 235);

// Paints a cell as usual, then its right and bottom grid lines.
class GridDelegate : public QStyledItemDelegate {
  Q_OBJECT

 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  void paint(QPainter* painter, const QStyleOptionViewItem& option,
             const QModelIndex& index) const override;
};

// The style sheet of the blue header of a tree-grid.
[[nodiscard]] QString GridHeaderStyle();

}  // namespace lumivor
