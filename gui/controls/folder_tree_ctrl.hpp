#pragma once

#include <QIcon>
#include <QTreeWidget>
#include <array>

namespace tolvar::gui {

// The left-pane tree: one root, items with an image and a selected image from
// a list of five 16 by 16 icons, and a sunken edge. A click on an item's
// icon, label or the space right of it reports the item; a click on empty
// space selects and reports the root. Moving to an item with the keyboard
// reports it the same way, so the tree works without a mouse.
class CFolderTreeCtrl : public QTreeWidget {
  Q_OBJECT

 public:
  static constexpr int kImageCount = 5;
  using ImageList = std::array<QIcon, kImageCount>;

  explicit CFolderTreeCtrl(const ImageList& images, QWidget* parent = nullptr);

  // Replaces the tree's content with one root item.
  QTreeWidgetItem* CreateRoot(const QString& text, int image);
  [[nodiscard]] QTreeWidgetItem* Root() const;
  // Appends a child after the existing children of `parent`.
  QTreeWidgetItem* AddItem(QTreeWidgetItem* parent, const QString& text, int image,
                           int selectedImage);
  [[nodiscard]] QIcon Image(int index) const;

 signals:
  void ItemClicked(QTreeWidgetItem* item);

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void ApplyImages(QTreeWidgetItem* item, bool selected) const;
  void OnCurrentItemChanged(QTreeWidgetItem* current, QTreeWidgetItem* previous);

  ImageList images_;
};

}  // namespace tolvar::gui
