#include "gui/controls/folder_tree_model.hpp"

#include <QBrush>

namespace tolvar::gui {

namespace {
constexpr std::int32_t kRowUnknown = -1;
}  // namespace

FolderTreeModel::FolderTreeModel(const ImageList& images, QObject* parent)
    : QAbstractItemModel(parent), images_(images) {}

QModelIndex FolderTreeModel::CreateRoot(ViewItem item, const QString& text, int image) {
  beginResetModel();
  nodes_.clear();
  nodeOfItem_.clear();
  folders_ = {};
  folderRows_.clear();
  current_ = ~quintptr{0};
  Node root;
  root.item = item;
  root.text = text;
  root.image = image;
  root.selectedImage = image;
  nodes_.push_back(std::move(root));
  nodeOfItem_.emplace(item, 0);
  endResetModel();
  return Root();
}

QModelIndex FolderTreeModel::Root() const {
  return nodes_.empty() ? QModelIndex() : createIndex(0, 0, quintptr{0});
}

QModelIndex FolderTreeModel::AddItem(const QModelIndex& parent, ViewItem item, const QString& text,
                                     int image, int selectedImage) {
  if (!parent.isValid() || parent.model() != this || IsFolder(parent.internalId())) return {};
  const auto parentNode = static_cast<int>(parent.internalId());
  // Appended items come before the folders below the root.
  const auto row = static_cast<int>(nodes_[static_cast<std::size_t>(parentNode)].children.size());
  beginInsertRows(parent, row, row);
  const auto node = static_cast<int>(nodes_.size());
  Node added;
  added.item = item;
  added.parent = parentNode;
  added.row = row;
  added.text = text;
  added.image = image;
  added.selectedImage = selectedImage;
  nodes_.push_back(std::move(added));
  nodes_[static_cast<std::size_t>(parentNode)].children.push_back(node);
  nodeOfItem_.emplace(item, node);
  endInsertRows();
  return createIndex(row, 0, static_cast<quintptr>(node));
}

std::span<const std::uint32_t> FolderTreeModel::TopFolders() const {
  if (folders_.tree == nullptr) return {};
  return folders_.tree->ChildFolders(kRootFolderInode);
}

std::span<const std::uint32_t> FolderTreeModel::ChildFolders(std::uint32_t index) const {
  if (folders_.tree == nullptr) return {};
  if (index == kNoFolderIndex) return TopFolders();
  return folders_.tree->ChildFolders(folders_.tree->Folders()[index].inode);
}

void FolderTreeModel::SetFolders(FolderTreeSource folders) {
  const QModelIndex root = Root();
  const auto shown = static_cast<int>(TopFolders().size());
  const int first = nodes_.empty() ? 0 : static_cast<int>(nodes_[0].children.size());
  if (shown > 0) beginRemoveRows(root, first, first + shown - 1);
  folders_ = {};
  folderRows_.clear();
  if (IsFolder(current_)) current_ = ~quintptr{0};
  if (shown > 0) endRemoveRows();
  if (!root.isValid() || folders.tree == nullptr) return;
  const auto count = static_cast<int>(folders.tree->ChildFolders(kRootFolderInode).size());
  if (count > 0) beginInsertRows(root, first, first + count - 1);
  folders_ = std::move(folders);
  folderRows_.assign(folders_.tree->Folders().size(), kRowUnknown);
  if (count > 0) endInsertRows();
}

int FolderTreeModel::FolderRow(std::uint32_t folder) const {
  if (folderRows_[folder] == kRowUnknown) {
    const FolderNode& record = folders_.tree->Folders()[folder];
    const auto siblings = folders_.tree->ChildFolders(record.parent);
    for (std::size_t row = 0; row < siblings.size(); ++row) {
      folderRows_[siblings[row]] = static_cast<std::int32_t>(row);
    }
  }
  const int offset = folders_.tree->Folders()[folder].parent == kRootFolderInode
                         ? static_cast<int>(nodes_[0].children.size())
                         : 0;
  return folderRows_[folder] + offset;
}

QModelIndex FolderTreeModel::FolderIndex(std::uint32_t folder) const {
  return createIndex(FolderRow(folder), 0, kFolderTag | folder);
}

QModelIndex FolderTreeModel::IndexOf(ViewItem item) const {
  if (const auto node = nodeOfItem_.find(item); node != nodeOfItem_.end()) {
    const Node& found = nodes_[static_cast<std::size_t>(node->second)];
    return createIndex(found.row, 0, static_cast<quintptr>(node->second));
  }
  if (folders_.tree == nullptr || !folders_.folderOfItem) return {};
  const std::optional<std::uint32_t> folder = folders_.folderOfItem(item);
  if (!folder || *folder >= folders_.tree->Folders().size()) return {};
  return FolderIndex(*folder);
}

ViewItem FolderTreeModel::ItemOf(const QModelIndex& index) const {
  if (!index.isValid() || index.model() != this) return kNoViewItem;
  const quintptr id = index.internalId();
  if (!IsFolder(id)) return nodes_[id].item;
  const std::uint32_t folder = FolderOf(id);
  return folder < folders_.folderItems.size() ? folders_.folderItems[folder] : kNoViewItem;
}

QModelIndex FolderTreeModel::index(int row, int column, const QModelIndex& parent) const {
  if (row < 0 || column != 0) return {};
  if (!parent.isValid()) return row == 0 && !nodes_.empty() ? Root() : QModelIndex();
  const quintptr id = parent.internalId();
  std::uint32_t parentFolder = kNoFolderIndex;
  auto at = static_cast<std::size_t>(row);
  if (IsFolder(id)) {
    parentFolder = FolderOf(id);
  } else {
    const Node& node = nodes_[id];
    if (at < node.children.size()) {
      return createIndex(row, 0, static_cast<quintptr>(node.children[at]));
    }
    if (id != 0) return {};
    at -= node.children.size();
  }
  const auto children = ChildFolders(parentFolder);
  if (at >= children.size()) return {};
  return createIndex(row, 0, kFolderTag | children[at]);
}

QModelIndex FolderTreeModel::parent(const QModelIndex& child) const {
  if (!child.isValid()) return {};
  const quintptr id = child.internalId();
  if (!IsFolder(id)) {
    const int parentNode = nodes_[id].parent;
    if (parentNode < 0) return {};
    const Node& node = nodes_[static_cast<std::size_t>(parentNode)];
    return createIndex(node.row, 0, static_cast<quintptr>(parentNode));
  }
  const std::uint32_t parentInode = folders_.tree->Folders()[FolderOf(id)].parent;
  if (parentInode == kRootFolderInode) return Root();
  const FolderNode* parentFolder = folders_.tree->FindFolder(parentInode);
  if (parentFolder == nullptr) return Root();
  return FolderIndex(static_cast<std::uint32_t>(parentFolder - folders_.tree->Folders().data()));
}

int FolderTreeModel::rowCount(const QModelIndex& parent) const {
  if (!parent.isValid()) return nodes_.empty() ? 0 : 1;
  const quintptr id = parent.internalId();
  if (IsFolder(id)) return static_cast<int>(ChildFolders(FolderOf(id)).size());
  const auto appended = static_cast<int>(nodes_[id].children.size());
  return id == 0 ? appended + static_cast<int>(TopFolders().size()) : appended;
}

int FolderTreeModel::columnCount(const QModelIndex&) const { return 1; }

bool FolderTreeModel::hasChildren(const QModelIndex& parent) const { return rowCount(parent) > 0; }

QVariant FolderTreeModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid()) return {};
  const quintptr id = index.internalId();
  const bool current = id == current_;
  if (IsFolder(id)) {
    const FolderNode& folder = folders_.tree->Folders()[FolderOf(id)];
    switch (role) {
      case Qt::DisplayRole:
      case Qt::EditRole:
      case Qt::AccessibleTextRole:
        return QString::fromUtf8(folder.name.data(), static_cast<qsizetype>(folder.name.size()));
      case Qt::DecorationRole:
        return Image(current ? static_cast<int>(TreeImage::kFolderSelected)
                             : static_cast<int>(TreeImage::kFolder));
      default:
        return {};
    }
  }
  const Node& node = nodes_[id];
  switch (role) {
    case Qt::DisplayRole:
    case Qt::EditRole:
    case Qt::AccessibleTextRole:
      return node.text;
    case Qt::DecorationRole:
      return Image(current ? node.selectedImage : node.image);
    case Qt::ToolTipRole:
      return node.toolTip.isEmpty() ? QVariant() : QVariant(node.toolTip);
    case Qt::ForegroundRole:
      return node.foreground;
    default:
      return {};
  }
}

Qt::ItemFlags FolderTreeModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  return Qt::ItemIsEnabled | Qt::ItemIsSelectable;
}

void FolderTreeModel::SetText(const QModelIndex& index, const QString& text) {
  if (!index.isValid() || index.model() != this) return;
  if (!IsFolder(index.internalId())) nodes_[index.internalId()].text = text;
  emit dataChanged(index, index);
}

void FolderTreeModel::SetToolTip(const QModelIndex& index, const QString& text) {
  if (!index.isValid() || index.model() != this || IsFolder(index.internalId())) return;
  nodes_[index.internalId()].toolTip = text;
  emit dataChanged(index, index, {Qt::ToolTipRole});
}

void FolderTreeModel::SetForeground(const QModelIndex& index, const QBrush& brush) {
  if (!index.isValid() || index.model() != this || IsFolder(index.internalId())) return;
  nodes_[index.internalId()].foreground = brush;
  emit dataChanged(index, index, {Qt::ForegroundRole});
}

void FolderTreeModel::SetCurrent(const QModelIndex& index) {
  const quintptr previous = current_;
  current_ = index.isValid() && index.model() == this ? index.internalId() : ~quintptr{0};
  if (previous == current_) return;
  for (const quintptr id : {previous, current_}) {
    if (id == ~quintptr{0}) continue;
    if (IsFolder(id) ? folders_.tree == nullptr : id >= nodes_.size()) continue;
    const QModelIndex changed =
        IsFolder(id) ? FolderIndex(FolderOf(id)) : createIndex(nodes_[id].row, 0, id);
    emit dataChanged(changed, changed, {Qt::DecorationRole});
  }
}

QIcon FolderTreeModel::Image(int index) const {
  if (index < 0 || index >= kImageCount) return {};
  return images_[static_cast<std::size_t>(index)];
}

}  // namespace tolvar::gui
