#include "gui/controls/folder_tree_ctrl.hpp"

#include <QHeaderView>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QScopedValueRollback>

namespace tolvar::gui {

CFolderTreeCtrl::CFolderTreeCtrl(const ImageList& images, QWidget* parent)
    : QTreeView(parent), model_(new FolderTreeModel(images, this)) {
  setModel(model_);
  header()->hide();
  setRootIsDecorated(true);
  setIconSize(QSize(16, 16));
  setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
  setSelectionMode(QAbstractItemView::SingleSelection);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setUniformRowHeights(true);
}

QModelIndex CFolderTreeCtrl::CreateRoot(const QString& text, int image, ViewItem item) {
  return model_->CreateRoot(item, text, image);
}

QModelIndex CFolderTreeCtrl::AddItem(const QModelIndex& parent, const QString& text, int image,
                                     int selectedImage, ViewItem item) {
  return model_->AddItem(parent, item, text, image, selectedImage);
}

void CFolderTreeCtrl::currentChanged(const QModelIndex& current, const QModelIndex& previous) {
  QTreeView::currentChanged(current, previous);
  model_->SetCurrent(current);
}

void CFolderTreeCtrl::SelectQuietly(const QModelIndex& index) {
  const QScopedValueRollback quiet(selectingItself_, true);
  setCurrentIndex(index);
}

void CFolderTreeCtrl::selectionChanged(const QItemSelection& selected,
                                       const QItemSelection& deselected) {
  QTreeView::selectionChanged(selected, deselected);
  if (selectingItself_ || selected.indexes().isEmpty()) return;
  // The tree's own moves (rows removed, a model reset) select through
  // setCurrentIndex, which makes the row current right after this; only a
  // selection that is still not the current row once they are done came
  // from outside.
  QMetaObject::invokeMethod(this, &CFolderTreeCtrl::TakeOutsideSelection, Qt::QueuedConnection);
}

void CFolderTreeCtrl::TakeOutsideSelection() {
  const QModelIndexList rows = selectionModel()->selectedIndexes();
  if (rows.isEmpty() || rows.front() == currentIndex()) return;
  const QModelIndex item = rows.front();
  SelectQuietly(item);
  emit ItemClicked(item);
}

void CFolderTreeCtrl::mousePressEvent(QMouseEvent* event) {
  const QScopedValueRollback quiet(selectingItself_, true);
  const QModelIndex item = indexAt(event->position().toPoint());
  if (!item.isValid()) {
    if (const QModelIndex root = Root(); root.isValid()) {
      setCurrentIndex(root);
      emit ItemClicked(root);
    }
    QTreeView::mousePressEvent(event);
    return;
  }
  // The indentation left of the item holds the expand button: that click only
  // expands or collapses.
  const bool onItem = event->position().x() >= visualRect(item).left();
  QTreeView::mousePressEvent(event);
  if (onItem && event->button() == Qt::LeftButton) emit ItemClicked(item);
}

void CFolderTreeCtrl::keyPressEvent(QKeyEvent* event) {
  const QScopedValueRollback quiet(selectingItself_, true);
  const QModelIndex before = currentIndex();
  QTreeView::keyPressEvent(event);
  const QModelIndex after = currentIndex();
  if (after.isValid() && after != before) emit ItemClicked(after);
}

}  // namespace tolvar::gui
