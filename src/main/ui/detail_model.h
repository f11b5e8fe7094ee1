#pragma once

#include <QAbstractTableModel>
#include <QString>
#include <vector>

namespace lumivor {

// The rows of the file detail pane: one key/value pair per column setting, for one record, and
// below them one row per further attribute (the tags) of the record.
// Only the Value of FileName and Description can be edited, and only while the pane shows an
// item of the catalog view (not a library record).
class DetailModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  struct Row {
    QString key, value;
    bool tag = false;  // a further attribute of the record (a tag): never editable
  };

  explicit DetailModel(QObject* parent = nullptr) : QAbstractTableModel(parent) {}

  // Replaces every row (a model reset); `shows_item` tells whether they belong to an item of
  // the catalog view.
  void SetRows(std::vector<Row> rows, bool shows_item);
  // Sets whether the rows belong to an item of the catalog view (decides editing and hints).
  void SetShowsItem(bool shows_item);
  [[nodiscard]] const std::vector<Row>& Rows() const { return rows_; }
  // Sets the value of `row` as typed, without asking anybody.
  void SetValue(int row, const QString& value);

  // True when the cell may be edited: the pane shows an item, the column is Value and the key is
  // FileName or Description.
  [[nodiscard]] bool IsEditableCell(int row, int column) const;
  // The hint of a cell: the key for column 0; the value, with an F2 note for editable cells.
  [[nodiscard]] QString HintFor(int row, int column) const;

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;
  bool setData(const QModelIndex& index, const QVariant& value, int role) override;

 signals:
  // The user committed `text` in the Value of `row` (nothing is stored yet).
  void ValueCommitted(int row, const QString& key, const QString& text);

 private:
  [[nodiscard]] bool KeyIsEditable(int row) const;
  std::vector<Row> rows_;
  bool shows_item_ = false;
};

}  // namespace lumivor
