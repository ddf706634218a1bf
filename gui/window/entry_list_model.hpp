#pragma once

// The browse list's model over one folder of the engine's file tree: the
// rows are read from the listing as the views draw them (texts, colours,
// icons), nothing per row is copied. A header click sorts by keeping a
// permutation of the listing's rows; column -1 is the disk's own order.

#include <QAbstractTableModel>
#include <QIcon>
#include <QStyledItemDelegate>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "app/browse_view.hpp"
#include "app/wizard_view.hpp"

namespace tolvar::gui {

class EntryListModel final : public QAbstractTableModel {
  Q_OBJECT

 public:
  enum Column { kName = 0, kType, kSize, kDate, kTime, kKey };

  // The icon of a row from whether it is a folder and its name.
  using IconSource = std::function<QIcon(bool isFolder, QStringView name)>;
  explicit EntryListModel(IconSource icons, QObject* parent = nullptr);

  void SetColumns(std::span<const ListColumn> columns);
  void Clear();
  // The rows of a folder, in the disk's order.
  void SetListing(FolderListing listing);
  // The row's name changed in the file tree: redraw it.
  void NameChanged(int row);

  // Every text and value of the row shown at `row`.
  [[nodiscard]] std::optional<ListRow> Entry(int row) const;
  [[nodiscard]] int EntryCount() const { return static_cast<int>(listing_.Count()); }
  // The row that shows the entry with `key`, or -1.
  [[nodiscard]] int RowOfKey(std::uint64_t key, bool folder) const;
  // The sorting column, -1 for the disk's order.
  [[nodiscard]] int SortColumn() const { return sortColumn_; }

  [[nodiscard]] int rowCount(const QModelIndex& parent = {}) const override;
  [[nodiscard]] int columnCount(const QModelIndex& parent = {}) const override;
  [[nodiscard]] QVariant data(const QModelIndex& index, int role) const override;
  [[nodiscard]] QVariant headerData(int section, Qt::Orientation orientation,
                                    int role) const override;
  [[nodiscard]] Qt::ItemFlags flags(const QModelIndex& index) const override;
  // Names in natural order (file2 before file10), types as text, sizes and
  // keys as numbers, dates and times by the timestamp; ties keep the disk's
  // order. Column -1 returns to the disk's order.
  void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;

 private:
  // The listing's row shown at `row`.
  [[nodiscard]] std::size_t ListingRow(int row) const;
  [[nodiscard]] QString Text(std::size_t listingRow, int column) const;
  // The disk's order of the rows sorted by `column`.
  [[nodiscard]] std::vector<std::uint32_t> SortedOrder(int column, bool descending) const;

  IconSource icons_;
  std::vector<ListColumn> columns_;
  FolderListing listing_;
  std::vector<std::uint32_t> order_;  // listing rows in shown order; empty: the disk's order
  int sortColumn_ = -1;
};

// Natural order of names: letters without regard to case, runs of digits
// as numbers (file2 before file10). Negative, zero or positive.
[[nodiscard]] int NaturalCompare(const QString& a, const QString& b);
// A key whose plain order is the natural order of the names (equal keys for
// names NaturalCompare calls equal), for sorting many names.
[[nodiscard]] QString NaturalSortKey(const QString& name);

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
