#pragma once

// Drives the wizard window the way a user does: clicks on tree items and
// buttons, then lets the event loop run until the workers are done.

#include <QAbstractButton>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTest>
#include <functional>

#include "gui/controls/folder_tree_ctrl.hpp"
#include "gui/window/recovery_wizard_dlg.hpp"

namespace tolvar::gui::testing {

// Runs the event loop until `done` holds or a minute has passed.
inline bool WaitFor(const std::function<bool()>& done, int timeoutMs = 60000) {
  QDeadlineTimer deadline(timeoutMs);
  while (!done()) {
    if (deadline.hasExpired()) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QTest::qWait(5);
  }
  return true;
}

// The wizard is on `step` with no worker running and every queued call run.
inline bool WaitForStep(CRecoveryWizardDlg& window, WizardStep step) {
  const bool reached = WaitFor([&] {
    return window.Controller().GetSession().state.step == step &&
           !window.Controller().WorkerRunning();
  });
  QCoreApplication::processEvents();
  return reached;
}

// The first item whose text starts with `text`, anywhere in the tree.
inline QModelIndex FindItem(CFolderTreeCtrl* tree, const QString& text) {
  if (tree == nullptr || !tree->Root().isValid()) return {};
  if (tree->Root().data().toString().startsWith(text)) return tree->Root();
  const auto found = tree->model()->match(tree->model()->index(0, 0, tree->Root()), Qt::DisplayRole,
                                          text, 1, Qt::MatchStartsWith | Qt::MatchRecursive);
  return found.isEmpty() ? QModelIndex() : found.first();
}

// The item at `row` below the root.
inline QModelIndex TopItem(CFolderTreeCtrl* tree, int row) {
  return tree->model()->index(row, 0, tree->Root());
}

inline int ChildCount(const QModelIndex& item) {
  return item.isValid() ? item.model()->rowCount(item) : 0;
}

inline QStringList ChildTexts(const QModelIndex& item) {
  QStringList texts;
  for (int row = 0; row < ChildCount(item); ++row) {
    texts << item.model()->index(row, 0, item).data().toString();
  }
  return texts;
}

// Clicks the item's label, as a user would.
inline void ClickItem(CFolderTreeCtrl* tree, const QModelIndex& item) {
  tree->scrollTo(item);
  const QRect rect = tree->visualRect(item);
  QTest::mouseClick(tree->viewport(), Qt::LeftButton, {},
                    QPoint(rect.left() + 8, rect.center().y()));
}

inline void Click(QWidget* button) {
  QTest::mouseClick(button, Qt::LeftButton, {}, button->rect().center());
}

}  // namespace tolvar::gui::testing
