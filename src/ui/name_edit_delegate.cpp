#include "ui/name_edit_delegate.h"

#include <QLineEdit>

namespace lumivor {

NameEditDelegate::NameEditDelegate(QObject* parent) : QStyledItemDelegate(parent) {
  connect(this, &QAbstractItemDelegate::closeEditor, this,
          [this](QWidget*, QAbstractItemDelegate::EndEditHint hint) {
            if (hint == QAbstractItemDelegate::RevertModelCache && cancelled) cancelled();
          });
}

QWidget* NameEditDelegate::createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                                        const QModelIndex& index) const {
  QWidget* editor = QStyledItemDelegate::createEditor(parent, option, index);
  // A framed box on a plain background, so the name being typed stands out on the selection.
  if (auto* line = qobject_cast<QLineEdit*>(editor)) {
    line->setFrame(true);
    line->setAutoFillBackground(true);
  }
  return editor;
}

void NameEditDelegate::setModelData(QWidget* editor, QAbstractItemModel*,
                                    const QModelIndex& index) const {
  auto* line = qobject_cast<QLineEdit*>(editor);
  if (line != nullptr && committed) committed(index, line->text());
}

}  // namespace lumivor
