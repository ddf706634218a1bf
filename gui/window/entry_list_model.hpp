#pragma once

// The browse list's model: the rows of the open folder as the controller
// made them, one record each, with their texts, colours, icons and sort keys
// served on demand; and the proxy that sorts them on a header click.

#include <QAbstractTableModel>
#include <QIcon>
#include <QSortFilterProxyModel>
#include <QStyledItemDelegate>
#include <functional>
#include <span>
#include <vector>

#include "app/wizard_view.hpp"

namespace tolvar::gui {

class EntryListModel final : public QAbstractTableModel {
  Q_OBJECT

 public:
  // The row record behind an index, whatever column it is in.
  static constexpr int kEntryRole = Qt::UserRole + 10;
  // The value a column sorts by: text for names and types, numbers for the
  // rest (sizes, keys, timestamps).
  static constexpr int kSortRole = Qt::UserRole + 11;

  enum Column { kName = 0, kType, kSize, kDate, kTime, kKey };

  using IconSource = std::function<QIcon(const ListRow& row)>;
  explicit EntryListModel(IconSource icons, QObject* parent = nullptr);

  void SetColumns(std::span<const ListColumn> columns);
  void Clear();
  void Append(std::span<const ListRow> rows);
  // Renames the row's entry as shown.
  void SetName(int row, const std::string& name);

  [[nodiscard]] const ListRow* Entry(int row) const;
  [[nodiscard]] int EntryCount() const { return static_cast<int>(rows_.size()); }

  [[nodiscard]] int rowCount(const QModelIndex& parent = {}) const override;
  [[nodiscard]] int columnCount(const QModelIndex& parent = {}) const override;
  [[nodiscard]] QVariant data(const QModelIndex& index, int role) const override;
  [[nodiscard]] QVariant headerData(int section, Qt::Orientation orientation,
                                    int role) const override;
  [[nodiscard]] Qt::ItemFlags flags(const QModelIndex& index) const override;
  bool setData(const QModelIndex& index, const QVariant& value, int role) override;

 private:
  [[nodiscard]] QString Text(const ListRow& row, int column) const;

  IconSource icons_;
  std::vector<ListColumn> columns_;
  std::vector<ListRow> rows_;
};

// Sorts by kSortRole: names in natural order (file2 before file10), numbers
// as numbers, dates by the timestamp. Column -1 is the disk's own order.
class EntrySortProxy final : public QSortFilterProxyModel {
  Q_OBJECT

 public:
  explicit EntrySortProxy(QObject* parent = nullptr);

 protected:
  [[nodiscard]] bool lessThan(const QModelIndex& left, const QModelIndex& right) const override;
};

// Natural order of names: letters without regard to case, runs of digits
// as numbers (file2 before file10). Negative, zero or positive.
[[nodiscard]] int NaturalCompare(const QString& a, const QString& b);

}  // namespace tolvar::gui

namespace tolvar::gui {

// Draws the list's cells, with grid lines in the Details view, and shows a cell's whole text as a
// tooltip only where the cell cuts it short.
class EntryItemDelegate : public QStyledItemDelegate {
  Q_OBJECT

 public:
  using QStyledItemDelegate::QStyledItemDelegate;

  void paint(QPainter* painter, const QStyleOptionViewItem& option,
             const QModelIndex& index) const override;
  bool helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                 const QModelIndex& index) override;

  // Whether `index`'s text fits the room the view gives it.
  [[nodiscard]] static bool TextFits(const QAbstractItemView& view, const QModelIndex& index);
};

}  // namespace tolvar::gui
