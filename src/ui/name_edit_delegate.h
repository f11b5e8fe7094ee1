#pragma once

#include <QStyledItemDelegate>
#include <functional>

namespace lumivor {

// The in-place name editor of a library tree: it hands the committed text and a cancel to its
// owner instead of writing into the model, because a group or catalog takes a new name only once
// the disk has it.
class NameEditDelegate : public QStyledItemDelegate {
  Q_OBJECT

 public:
  explicit NameEditDelegate(QObject* parent = nullptr);

  // Called with the edited index and the text when the user commits an edit.
  std::function<void(const QModelIndex& index, const QString& text)> committed;
  // Called when the user leaves the editor without committing (Escape).
  std::function<void()> cancelled;

  QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                        const QModelIndex& index) const override;
  void setModelData(QWidget* editor, QAbstractItemModel* model,
                    const QModelIndex& index) const override;
};

}  // namespace lumivor
