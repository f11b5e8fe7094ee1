#pragma once

#include <QDialog>
#include <QString>

class QLabel;
class QTreeWidget;

namespace lumivor {

// A list of differences as they are found: what differs (the first column names it: "only in
// A", "changed", "damaged", ...), the path, the path on the other side for a move, and the
// details. Used by Compare With... and Verify.
class DifferencesWindow : public QDialog {
  Q_OBJECT

 public:
  DifferencesWindow(const QString& title, const QString& caption, QWidget* parent = nullptr);

  enum Column { kDifferenceColumn, kPathColumn, kOtherColumn, kDetailColumn };

  // Appends one difference.
  void AddDifference(const QString& difference, const QString& path, const QString& other,
                     const QString& detail);
  // The line below the list (the counts, "Cancelled.").
  void SetSummary(const QString& text);

  [[nodiscard]] QTreeWidget* List() const { return list_; }
  [[nodiscard]] QString Summary() const;

 private:
  QTreeWidget* list_ = nullptr;
  QLabel* summary_ = nullptr;
};

}  // namespace lumivor
