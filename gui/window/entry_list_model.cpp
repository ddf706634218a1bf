#include "gui/window/entry_list_model.hpp"

#include <QAbstractItemView>
#include <QHelpEvent>
#include <QListView>
#include <QPainter>
#include <QToolTip>
#include <QTreeView>
#include <algorithm>

#include "app/commands.hpp"

namespace tolvar::gui {

namespace {

QString ToQt(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

EntryListModel::EntryListModel(IconSource icons, QObject* parent)
    : QAbstractTableModel(parent), icons_(std::move(icons)) {}

void EntryListModel::SetColumns(std::span<const ListColumn> columns) {
  beginResetModel();
  columns_.assign(columns.begin(), columns.end());
  listing_ = {};
  order_ = {};
  sortColumn_ = -1;
  endResetModel();
}

void EntryListModel::Clear() { SetListing({}); }

void EntryListModel::SetListing(FolderListing listing) {
  beginResetModel();
  listing_ = std::move(listing);
  order_ = {};
  sortColumn_ = -1;
  endResetModel();
}

void EntryListModel::NameChanged(int row) {
  if (row < 0 || row >= EntryCount()) return;
  emit dataChanged(index(row, kName), index(row, kName));
}

std::size_t EntryListModel::ListingRow(int row) const {
  const auto at = static_cast<std::size_t>(row);
  return order_.empty() ? at : order_[at];
}

std::optional<ListRow> EntryListModel::Entry(int row) const {
  if (row < 0 || row >= EntryCount()) return std::nullopt;
  return listing_.Row(ListingRow(row));
}

int EntryListModel::RowOfKey(std::uint64_t key, bool folder) const {
  const std::optional<std::size_t> found = listing_.RowOfKey(key, folder);
  if (!found) return -1;
  if (order_.empty()) return static_cast<int>(*found);
  const auto shown = std::find(order_.begin(), order_.end(), static_cast<std::uint32_t>(*found));
  return static_cast<int>(shown - order_.begin());
}

int EntryListModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : EntryCount();
}

int EntryListModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(columns_.size());
}

QString EntryListModel::Text(std::size_t listingRow, int column) const {
  if (column < kName || column > kKey) return {};
  return ToQt(listing_.Text(listingRow, static_cast<ListField>(column)));
}

QVariant EntryListModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= EntryCount()) return {};
  const std::size_t row = ListingRow(index.row());
  const int column = index.column();
  switch (role) {
    case Qt::DisplayRole:
    case Qt::EditRole:
    case Qt::AccessibleTextRole:
      return Text(row, column);
    case Qt::ToolTipRole:
      // The whole name; the delegate shows it only where the cell elides it.
      return column == kName ? Text(row, column) : QVariant();
    case Qt::DecorationRole:
      if (column != kName || !icons_) return {};
      return icons_(listing_.IsFolder(row), ToQt(listing_.Name(row)));
    case Qt::ForegroundRole: {
      // Deleted entries grey, compressed ones red; selected rows take the
      // palette's highlight colours instead.
      const auto colour = commands::EntryColourFor(listing_.TypeText(row));
      if (colour == commands::EntryColour::kBlack) return {};
      return QColor::fromRgb(commands::Rgb(colour));
    }
    case Qt::TextAlignmentRole: {
      const auto at = static_cast<std::size_t>(column);
      const bool right = at < columns_.size() && columns_[at].rightAligned;
      return QVariant::fromValue(Qt::Alignment(right ? Qt::AlignRight | Qt::AlignVCenter
                                                     : Qt::AlignLeft | Qt::AlignVCenter));
    }
    default:
      return {};
  }
}

QVariant EntryListModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || section < 0 ||
      static_cast<std::size_t>(section) >= columns_.size()) {
    return {};
  }
  const ListColumn& column = columns_[static_cast<std::size_t>(section)];
  if (role == Qt::DisplayRole) return ToQt(column.title);
  // A first click on a header sorts ascending, whatever the style prefers.
  if (role == Qt::InitialSortOrderRole) return static_cast<int>(Qt::AscendingOrder);
  if (role == Qt::TextAlignmentRole) {
    return QVariant::fromValue(Qt::Alignment(column.rightAligned
                                                 ? Qt::AlignRight | Qt::AlignVCenter
                                                 : Qt::AlignLeft | Qt::AlignVCenter));
  }
  return {};
}

Qt::ItemFlags EntryListModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  Qt::ItemFlags result = Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
  if (index.column() == kName) result |= Qt::ItemIsEditable;
  return result;
}

std::vector<std::uint32_t> EntryListModel::SortedOrder(int column, bool descending) const {
  const std::size_t count = listing_.Count();
  std::vector<std::uint32_t> order(count);
  for (std::size_t row = 0; row < count; ++row) order[row] = static_cast<std::uint32_t>(row);
  // Stable either way: ties keep the disk's order.
  const auto sortBy = [&](auto less) {
    std::stable_sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
      return descending ? less(b, a) : less(a, b);
    });
  };
  if (column == kName || column == kType) {
    // Each row's key made once; comparing keys is a plain comparison.
    std::vector<QString> keys(count);
    for (std::size_t row = 0; row < count; ++row) keys[row] = NaturalSortKey(Text(row, column));
    sortBy([&](std::uint32_t a, std::uint32_t b) { return keys[a] < keys[b]; });
    return order;
  }
  std::vector<std::uint64_t> values(count);
  for (std::size_t row = 0; row < count; ++row) {
    switch (column) {
      case kSize:
        values[row] = listing_.SizeValue(row);
        break;
      case kDate:
      case kTime:
        values[row] = listing_.Timestamp(row);
        break;
      default:
        values[row] = listing_.Key(row);
        break;
    }
  }
  sortBy([&](std::uint32_t a, std::uint32_t b) { return values[a] < values[b]; });
  return order;
}

void EntryListModel::sort(int column, Qt::SortOrder order) {
  if (column >= static_cast<int>(columns_.size())) return;
  if (column < 0 && sortColumn_ < 0) return;
  emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
  std::vector<std::uint32_t> shown;
  if (column >= 0) shown = SortedOrder(column, order == Qt::DescendingOrder);
  // Where each listing row goes, to carry the selection and the current row.
  const std::size_t count = listing_.Count();
  std::vector<int> newRowOf(count);
  for (std::size_t row = 0; row < count; ++row) {
    newRowOf[shown.empty() ? row : shown[row]] = static_cast<int>(row);
  }
  const QModelIndexList from = persistentIndexList();
  QModelIndexList to;
  to.reserve(from.size());
  for (const QModelIndex& old : from) {
    to.append(old.isValid() ? index(newRowOf[ListingRow(old.row())], old.column()) : old);
  }
  order_ = std::move(shown);
  sortColumn_ = column < 0 ? -1 : column;
  changePersistentIndexList(from, to);
  emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

int NaturalCompare(const QString& a, const QString& b) {
  qsizetype i = 0;
  qsizetype j = 0;
  while (i < a.size() && j < b.size()) {
    if (a[i].isDigit() && b[j].isDigit()) {
      // Runs of digits compare as numbers: without leading zeros, the
      // longer run is the larger number, equal lengths compare digit-wise.
      qsizetype endA = i;
      qsizetype endB = j;
      while (endA < a.size() && a[endA].isDigit()) ++endA;
      while (endB < b.size() && b[endB].isDigit()) ++endB;
      qsizetype startA = i;
      qsizetype startB = j;
      while (startA + 1 < endA && a[startA] == QLatin1Char('0')) ++startA;
      while (startB + 1 < endB && b[startB] == QLatin1Char('0')) ++startB;
      if (endA - startA != endB - startB) return endA - startA < endB - startB ? -1 : 1;
      const int digits = QStringView(a)
                             .mid(startA, endA - startA)
                             .compare(QStringView(b).mid(startB, endB - startB));
      if (digits != 0) return digits < 0 ? -1 : 1;
      i = endA;
      j = endB;
      continue;
    }
    const QChar left = a[i].toCaseFolded();
    const QChar right = b[j].toCaseFolded();
    if (left != right) return left < right ? -1 : 1;
    ++i;
    ++j;
  }
  if (i < a.size()) return 1;
  if (j < b.size()) return -1;
  return 0;
}

QString NaturalSortKey(const QString& name) {
  const QString folded = name.toCaseFolded();
  QString key;
  key.reserve(folded.size() + 8);
  for (qsizetype i = 0; i < folded.size();) {
    if (!folded[i].isDigit()) {
      key.append(folded[i++]);
      continue;
    }
    // A run of digits: '0' (no other character sorts between the digits),
    // then the length of the number without leading zeros, then its digits,
    // so longer numbers sort after shorter ones.
    qsizetype end = i;
    while (end < folded.size() && folded[end].isDigit()) ++end;
    qsizetype start = i;
    while (start + 1 < end && folded[start] == QLatin1Char('0')) ++start;
    key.append(QLatin1Char('0'));
    key.append(QChar(static_cast<char16_t>(end - start)));
    key.append(QStringView(folded).mid(start, end - start));
    i = end;
  }
  return key;
}

}  // namespace tolvar::gui

namespace tolvar::gui {

void EntryItemDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                              const QModelIndex& index) const {
  QStyledItemDelegate::paint(painter, option, index);
  if (qobject_cast<const QTreeView*>(option.widget) == nullptr) return;
  painter->save();
  painter->setPen(option.palette.color(QPalette::Midlight));
  painter->drawLine(option.rect.topRight(), option.rect.bottomRight());
  painter->drawLine(option.rect.bottomLeft(), option.rect.bottomRight());
  painter->restore();
}

bool EntryItemDelegate::TextFits(const QAbstractItemView& view, const QModelIndex& index) {
  const QRect cell = view.visualRect(index);
  if (cell.isEmpty()) return true;
  QStyleOptionViewItem option;
  option.initFrom(&view);
  option.rect = cell;
  option.font = view.font();
  option.decorationSize = view.iconSize();
  option.features |= QStyleOptionViewItem::HasDisplay;
  if (index.data(Qt::DecorationRole).isValid()) {
    option.features |= QStyleOptionViewItem::HasDecoration;
  }
  if (const auto* list = qobject_cast<const QListView*>(&view);
      list != nullptr && list->viewMode() == QListView::IconMode) {
    option.decorationPosition = QStyleOptionViewItem::Top;
    option.displayAlignment = Qt::AlignHCenter | Qt::AlignTop;
    option.features |= QStyleOptionViewItem::WrapText;
  }
  option.text = index.data(Qt::DisplayRole).toString();
  const QStyle* style = view.style();
  const QRect textRect = style->subElementRect(QStyle::SE_ItemViewItemText, &option, &view);
  const int margin = style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, &view) + 1;
  const QFontMetrics metrics(option.font);
  if (option.features & QStyleOptionViewItem::WrapText) {
    const QRect needed = metrics.boundingRect(QRect(0, 0, textRect.width() - 2 * margin, 100000),
                                              Qt::TextWrapAnywhere, option.text);
    return needed.height() <= textRect.height() && needed.width() <= textRect.width();
  }
  return metrics.horizontalAdvance(option.text) + 2 * margin <= textRect.width();
}

bool EntryItemDelegate::helpEvent(QHelpEvent* event, QAbstractItemView* view,
                                  const QStyleOptionViewItem& option, const QModelIndex& index) {
  if (event->type() == QEvent::ToolTip && view != nullptr && index.isValid()) {
    if (index.data(Qt::ToolTipRole).isNull() || TextFits(*view, index)) {
      QToolTip::hideText();
      event->accept();
      return true;
    }
  }
  return QStyledItemDelegate::helpEvent(event, view, option, index);
}

}  // namespace tolvar::gui
