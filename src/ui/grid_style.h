#pragma once

#include <QColor>
#include <QPalette>
#include <QString>
#include <QStyledItemDelegate>

namespace lumivor {

// The look shared by the program's tree-grids: the pale blue background, the blue header and
// thin grid lines between the cells.
inline const QColor kTreeBackground(239, 243, 255);
inline const QColor kHeaderBackground(123, 170, 255);
inline const QColor kGridColour(205, 212, 235);

// True when `palette` shows dark windows with light text (a dark desktop theme).
[[nodiscard]] bool IsDarkPalette(const QPalette& palette);
// `light` (one of the program's pale tints, meant for black text) as it should show under
// `palette`: itself under a light palette; under a dark one a dark tint of the same hue, dark
// enough for the palette's light text to stay readable on it.
[[nodiscard]] QColor Themed(const QColor& light, const QPalette& palette);
// The same under the application's palette.
[[nodiscard]] QColor Themed(const QColor& light);
// The colour of links: blue under a light palette, the palette's own link colour under a dark one.
[[nodiscard]] QColor LinkColour(const QPalette& palette);

// Paints a cell as usual, then its right and bottom grid lines.
class GridDelegate : public QStyledItemDelegate {
  Q_OBJECT

 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  void paint(QPainter* painter, const QStyleOptionViewItem& option,
             const QModelIndex& index) const override;
};

// The style sheet of the blue header of a tree-grid (a dark blue one under a dark palette).
[[nodiscard]] QString GridHeaderStyle();

}  // namespace lumivor
