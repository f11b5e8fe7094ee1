#pragma once

#include <QDialog>
#include <QString>
#include <functional>
#include <string>
#include <vector>

#include "copies/copy_finder.h"

class QLabel;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace lumivor {

// The copies of files across the library: one row per group of equal content (its name, size,
// number of copies and the space the extra copies take), with its copies below (path and
// catalog). Groups sort by any column; they arrive sorted by wasted space, most first. A copy can
// be shown in its catalog (Open Catalog, or a double click).
class CopiesWindow : public QDialog {
  Q_OBJECT

 public:
  explicit CopiesWindow(const QString& title, QWidget* parent = nullptr);

  // Adds `group`; `catalogs[copy.catalog]` is the catalog file of each copy, shown by `labels`.
  void AddGroup(const DuplicateGroup& group, const std::vector<std::string>& catalogs,
                const std::vector<std::string>& labels);
  // The line below the tree (counts, a note, "Cancelled.").
  void SetSummary(const QString& text);

  // Shows a copy in its catalog: the catalog file and the copy's FullPath.
  std::function<void(const std::string& catalog, const std::string& path)> open_copy;

  // Columns of the tree.
  enum Column { kNameColumn, kCatalogColumn, kSizeColumn, kCopiesColumn, kWastedColumn };

  [[nodiscard]] QTreeWidget* Tree() const { return tree_; }
  [[nodiscard]] QPushButton* OpenButton() const { return open_button_; }

 private:
  void OpenCurrent();
  void UpdateButtons();

  QTreeWidget* tree_ = nullptr;
  QLabel* summary_ = nullptr;
  QPushButton* open_button_ = nullptr;
};

}  // namespace lumivor
