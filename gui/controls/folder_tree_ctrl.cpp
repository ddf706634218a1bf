#include "gui/controls/folder_tree_ctrl.hpp"

#include <QHeaderView>
#include <QKeyEvent>
#include <QMouseEvent>

namespace tolvar::gui {

namespace {
constexpr int kImageRole = Qt::UserRole + 100;
constexpr int kSelectedImageRole = Qt::UserRole + 101;
}  // namespace

CFolderTreeCtrl::CFolderTreeCtrl(const ImageList& images, QWidget* parent)
    : QTreeWidget(parent), images_(images) {
  setColumnCount(1);
  header()->hide();
  setRootIsDecorated(true);
  setIconSize(QSize(16, 16));
  setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
  setSelectionMode(QAbstractItemView::SingleSelection);
  setUniformRowHeights(true);
  connect(this, &QTreeWidget::currentItemChanged, this, &CFolderTreeCtrl::OnCurrentItemChanged);
}

QTreeWidgetItem* CFolderTreeCtrl::CreateRoot(const QString& text, int image) {
  clear();
  auto* root = new QTreeWidgetItem(this, QStringList{text});
  root->setData(0, kImageRole, image);
  root->setData(0, kSelectedImageRole, image);
  ApplyImages(root, false);
  return root;
}

QTreeWidgetItem* CFolderTreeCtrl::Root() const { return topLevelItem(0); }

QTreeWidgetItem* CFolderTreeCtrl::AddItem(QTreeWidgetItem* parent, const QString& text, int image,
                                          int selectedImage) {
  auto* item = new QTreeWidgetItem(QStringList{text});
  item->setData(0, kImageRole, image);
  item->setData(0, kSelectedImageRole, selectedImage);
  ApplyImages(item, false);
  if (parent != nullptr) {
    parent->addChild(item);
  } else {
    addTopLevelItem(item);
  }
  return item;
}

QIcon CFolderTreeCtrl::Image(int index) const {
  if (index < 0 || index >= kImageCount) return {};
  return images_[static_cast<std::size_t>(index)];
}

void CFolderTreeCtrl::ApplyImages(QTreeWidgetItem* item, bool selected) const {
  if (item == nullptr) return;
  const int index = item->data(0, selected ? kSelectedImageRole : kImageRole).toInt();
  item->setIcon(0, Image(index));
}

void CFolderTreeCtrl::OnCurrentItemChanged(QTreeWidgetItem* current, QTreeWidgetItem* previous) {
  ApplyImages(previous, false);
  ApplyImages(current, true);
}

void CFolderTreeCtrl::mousePressEvent(QMouseEvent* event) {
  QTreeWidgetItem* item = itemAt(event->position().toPoint());
  if (item == nullptr) {
    if (QTreeWidgetItem* root = Root()) {
      setCurrentItem(root);
      emit ItemClicked(root);
    }
    QTreeWidget::mousePressEvent(event);
    return;
  }
  // The indentation left of the item holds the expand button: that click only
  // expands or collapses.
  const bool onItem = event->position().x() >= visualItemRect(item).left();
  QTreeWidget::mousePressEvent(event);
  if (onItem && event->button() == Qt::LeftButton) emit ItemClicked(item);
}

}  // namespace tolvar::gui

namespace tolvar::gui {

void CFolderTreeCtrl::keyPressEvent(QKeyEvent* event) {
  QTreeWidgetItem* before = currentItem();
  QTreeWidget::keyPressEvent(event);
  QTreeWidgetItem* after = currentItem();
  if (after != nullptr && after != before) emit ItemClicked(after);
}

}  // namespace tolvar::gui
