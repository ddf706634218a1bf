#pragma once

// The left pane's tree as a model: one root, items the window appends (the
// drives, the volumes), and below the root the folders of a finished file
// tree, read from the tree as the view asks for them. Nothing per folder is
// copied but, once asked for, each folder's row among its siblings.

#include <QAbstractItemModel>
#include <QIcon>
#include <QVariant>
#include <array>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "app/browse_view.hpp"

namespace tolvar::gui {

class FolderTreeModel final : public QAbstractItemModel {
  Q_OBJECT

 public:
  static constexpr int kImageCount = 5;
  using ImageList = std::array<QIcon, kImageCount>;

  explicit FolderTreeModel(const ImageList& images, QObject* parent = nullptr);

  // Replaces the content with one root item.
  QModelIndex CreateRoot(ViewItem item, const QString& text, int image);
  [[nodiscard]] QModelIndex Root() const;
  // Appends an item after the other items of `parent` (the root or an item
  // appended before); an invalid parent gives an invalid index.
  QModelIndex AddItem(const QModelIndex& parent, ViewItem item, const QString& text, int image,
                      int selectedImage);
  // The folders below the root, read from `folders`; an empty source takes
  // them away. The source must stay unchanged until the next call.
  void SetFolders(FolderTreeSource folders);

  [[nodiscard]] QModelIndex IndexOf(ViewItem item) const;
  [[nodiscard]] ViewItem ItemOf(const QModelIndex& index) const;
  // An appended item's text; a folder's text is its name in the file tree,
  // so for a folder this only redraws it.
  void SetText(const QModelIndex& index, const QString& text);
  void SetToolTip(const QModelIndex& index, const QString& text);
  void SetForeground(const QModelIndex& index, const QBrush& brush);
  // The current item is drawn with its selected image.
  void SetCurrent(const QModelIndex& index);
  [[nodiscard]] QIcon Image(int index) const;

  [[nodiscard]] QModelIndex index(int row, int column,
                                  const QModelIndex& parent = {}) const override;
  [[nodiscard]] QModelIndex parent(const QModelIndex& child) const override;
  [[nodiscard]] int rowCount(const QModelIndex& parent = {}) const override;
  [[nodiscard]] int columnCount(const QModelIndex& parent = {}) const override;
  [[nodiscard]] bool hasChildren(const QModelIndex& parent = {}) const override;
  [[nodiscard]] QVariant data(const QModelIndex& index, int role) const override;
  [[nodiscard]] Qt::ItemFlags flags(const QModelIndex& index) const override;

 private:
  // An appended item (node 0 is the root).
  struct Node {
    ViewItem item = kNoViewItem;
    int parent = -1;
    int row = 0;
    std::vector<int> children;
    QString text;
    int image = 0;
    int selectedImage = 0;
    QString toolTip;
    QVariant foreground;
  };
  // Internal ids: a node's number, or a folder's record index with this tag.
  static constexpr quintptr kFolderTag = quintptr{1} << 40;

  [[nodiscard]] static bool IsFolder(quintptr id) { return (id & kFolderTag) != 0; }
  [[nodiscard]] static std::uint32_t FolderOf(quintptr id) {
    return static_cast<std::uint32_t>(id & ~kFolderTag);
  }
  [[nodiscard]] std::span<const std::uint32_t> TopFolders() const;
  // The folders below folder `index`, or below the root for kNoFolderIndex.
  [[nodiscard]] std::span<const std::uint32_t> ChildFolders(std::uint32_t index) const;
  [[nodiscard]] QModelIndex FolderIndex(std::uint32_t folder) const;
  [[nodiscard]] int FolderRow(std::uint32_t folder) const;

  ImageList images_;
  std::vector<Node> nodes_;
  std::unordered_map<ViewItem, int> nodeOfItem_;
  FolderTreeSource folders_;
  // Each folder's row among its siblings, filled for a whole family the
  // first time one of them is asked for.
  mutable std::vector<std::int32_t> folderRows_;
  quintptr current_ = ~quintptr{0};
};

}  // namespace tolvar::gui
