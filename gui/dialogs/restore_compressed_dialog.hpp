#pragma once

#include <QLabel>
#include <QPushButton>

#include "gui/dialogs/dialog_frame.hpp"

namespace tolvar::gui {

// "Restoring Compressed Files, Please wait.": a view of the controller's
// restore run. "Finish" is enabled when the run has ended, whatever
// happened, and is the only way to close it.
class RestoreCompressedDialog : public DialogFrame {
  Q_OBJECT

 public:
  explicit RestoreCompressedDialog(QWidget* parent = nullptr);

  void SetStatus(const QString& text);
  // The run has ended: `summary` as the status and "Finish" enabled.
  void Finish(const QString& summary);
  [[nodiscard]] bool Finished() const { return finish_->isEnabled(); }
  [[nodiscard]] QString Status() const { return status_->text(); }
  [[nodiscard]] QPushButton* FinishButton() const { return finish_; }

  void reject() override {}  // Escape does nothing

 private:
  QLabel* status_;
  QPushButton* finish_;
};

}  // namespace tolvar::gui
