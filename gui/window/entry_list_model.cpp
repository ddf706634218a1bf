#include "gui/window/entry_list_model.hpp"

#include <QAbstractItemView>
#include <QHelpEvent>
#include <QListView>
#include <QPainter>
#include <QToolTip>
#include <QTreeView>

#include "app/commands.hpp"

namespace tolvar::gui {

namespace {

QString ToQt(const std::string& text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

EntryListModel::EntryListModel(IconSource icons, QObject* parent)
    : QAbstractTableModel(parent), icons_(std::move(icons)) {}

void EntryListModel::SetColumns(std::span<const ListColumn> columns) {
  beginResetModel();
  columns_.assign(columns.begin(), columns.end());
  rows_.clear();
  endResetModel();
}

void EntryListModel::Clear() {
  if (rows_.empty()) return;
  beginResetModel();
  rows_.clear();
  rows_.shrink_to_fit();
  endResetModel();
}

void EntryListModel::Append(std::span<const ListRow> rows) {
  if (rows.empty()) return;
  const int first = static_cast<int>(rows_.size());
  beginInsertRows({}, first, first + static_cast<int>(rows.size()) - 1);
  rows_.insert(rows_.end(), rows.begin(), rows.end());
  endInsertRows();
}

void EntryListModel::SetName(int row, const std::string& name) {
  if (row < 0 || row >= EntryCount()) return;
  rows_[static_cast<std::size_t>(row)].name = name;
  emit dataChanged(index(row, kName), index(row, kName));
}

const ListRow* EntryListModel::Entry(int row) const {
  if (row < 0 || row >= EntryCount()) return nullptr;
  return &rows_[static_cast<std::size_t>(row)];
}

int EntryListModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : EntryCount();
}

int EntryListModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(columns_.size());
}

QString EntryListModel::Text(const ListRow& row, int column) const {
  switch (column) {
    case kName:
      return ToQt(row.name);
    case kType:
      return ToQt(row.type);
    case kSize:
      return ToQt(row.size);
    case kDate:
      return ToQt(row.date);
    case kTime:
      return ToQt(row.time);
    case kKey:
      return ToQt(row.sector);
    default:
      return {};
  }
}

QVariant EntryListModel::data(const QModelIndex& index, int role) const {
  const ListRow* row = index.isValid() ? Entry(index.row()) : nullptr;
  if (row == nullptr) return {};
  const int column = index.column();
  switch (role) {
    case Qt::DisplayRole:
    case Qt::EditRole:
    case Qt::AccessibleTextRole:
      return Text(*row, column);
    case Qt::ToolTipRole:
      // The whole name; the delegate shows it only where the cell elides it.
      return column == kName ? Text(*row, column) : QVariant();
    case Qt::DecorationRole:
      return column == kName && icons_ ? QVariant(icons_(*row)) : QVariant();
    case Qt::ForegroundRole: {
      // Deleted entries grey, compressed ones red; selected rows take the
      // palette's highlight colours instead.
      const auto colour = commands::EntryColourFor(row->type);
      if (colour == commands::EntryColour::kBlack) return {};
      return QColor::fromRgb(commands::Rgb(colour));
    }
    case Qt::TextAlignmentRole: {
      const auto at = static_cast<std::size_t>(column);
      const bool right = at < columns_.size() && columns_[at].rightAligned;
      return QVariant::fromValue(Qt::Alignment(right ? Qt::AlignRight | Qt::AlignVCenter
                                                     : Qt::AlignLeft | Qt::AlignVCenter));
    }
    case kSortRole:
      switch (column) {
        case kSize:
          return QVariant::fromValue<qulonglong>(row->sizeValue);
        case kDate:
        case kTime:
          return QVariant::fromValue<qulonglong>(row->timestamp);
        case kKey:
          return QVariant::fromValue<qulonglong>(row->key);
        default:
          return Text(*row, column);
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

bool EntryListModel::setData(const QModelIndex& index, const QVariant& value, int role) {
  if (!index.isValid() || index.column() != kName || role != Qt::EditRole) return false;
  SetName(index.row(), value.toString().toStdString());
  return true;
}

EntrySortProxy::EntrySortProxy(QObject* parent) : QSortFilterProxyModel(parent) {
  setSortRole(EntryListModel::kSortRole);
  setDynamicSortFilter(false);
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

bool EntrySortProxy::lessThan(const QModelIndex& left, const QModelIndex& right) const {
  const QVariant a = left.data(sortRole());
  const QVariant b = right.data(sortRole());
  if (a.typeId() == QMetaType::QString) {
    const int order = NaturalCompare(a.toString(), b.toString());
    if (order != 0) return order < 0;
  } else if (a.toULongLong() != b.toULongLong()) {
    return a.toULongLong() < b.toULongLong();
  }
  // Ties keep the disk's order.
  return left.row() < right.row();
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
