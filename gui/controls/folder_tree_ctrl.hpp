#pragma once

#include <QIcon>
#include <QTreeView>

#include "gui/controls/folder_tree_model.hpp"

namespace tolvar::gui {

// The left-pane tree over a FolderTreeModel: one root, items with an image
// and a selected image from a list of five 16 by 16 icons, and a sunken
// edge. A click on an item's icon, label or the space right of it reports
// the item; a click on empty space selects and reports the root. Moving to
// an item with the keyboard reports it the same way, so the tree works
// without a mouse, and so does selecting an item through the accessibility
// interface, so that assistive tools can choose one.
class CFolderTreeCtrl : public QTreeView {
  Q_OBJECT

 public:
  static constexpr int kImageCount = FolderTreeModel::kImageCount;
  using ImageList = FolderTreeModel::ImageList;

  explicit CFolderTreeCtrl(const ImageList& images, QWidget* parent = nullptr);

  [[nodiscard]] FolderTreeModel& Model() const { return *model_; }
  // Replaces the tree's content with one root item.
  QModelIndex CreateRoot(const QString& text, int image, ViewItem item = kNoViewItem);
  [[nodiscard]] QModelIndex Root() const { return model_->Root(); }
  // Appends a child after the existing children of `parent`.
  QModelIndex AddItem(const QModelIndex& parent, const QString& text, int image, int selectedImage,
                      ViewItem item = kNoViewItem);
  // The item of the current row; kNoViewItem without one.
  [[nodiscard]] ViewItem CurrentItem() const { return model_->ItemOf(currentIndex()); }
  [[nodiscard]] QIcon Image(int index) const { return model_->Image(index); }
  // Makes `index` the current item without reporting it.
  void SelectQuietly(const QModelIndex& index);

 signals:
  void ItemClicked(const QModelIndex& index);

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void currentChanged(const QModelIndex& current, const QModelIndex& previous) override;
  // A selection made from outside the tree's own clicks and keys (an
  // assistive tool's) becomes the current item and is reported.
  void selectionChanged(const QItemSelection& selected, const QItemSelection& deselected) override;

 private:
  void TakeOutsideSelection();

  FolderTreeModel* model_;
  // Set while the tree selects on its own account: nothing is reported then.
  bool selectingItself_ = false;
};

}  // namespace tolvar::gui
