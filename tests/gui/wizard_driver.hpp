#pragma once

// Drives the wizard window the way a user does: clicks on tree items and
// buttons, then lets the event loop run until the workers are done.

#include <QAbstractButton>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTest>
#include <QTreeWidgetItem>
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

inline QTreeWidgetItem* FindItem(CFolderTreeCtrl* tree, const QString& text) {
  if (tree == nullptr) return nullptr;
  const auto found = tree->findItems(text, Qt::MatchStartsWith | Qt::MatchRecursive);
  return found.isEmpty() ? nullptr : found.first();
}

// Clicks the item's label, as a user would.
inline void ClickItem(CFolderTreeCtrl* tree, QTreeWidgetItem* item) {
  tree->scrollToItem(item);
  const QRect rect = tree->visualItemRect(item);
  QTest::mouseClick(tree->viewport(), Qt::LeftButton, {},
                    QPoint(rect.left() + 8, rect.center().y()));
}

inline void Click(QWidget* button) {
  QTest::mouseClick(button, Qt::LeftButton, {}, button->rect().center());
}

}  // namespace tolvar::gui::testing
