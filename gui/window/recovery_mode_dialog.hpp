#pragma once

#include <QDialog>
#include <optional>

#include "base/settings.hpp"

class QRadioButton;

namespace tolvar::gui {

// Asks how to mount the chosen volume: Normal (selected at every opening) or
// Extensive.
class CRecoveryModeDialog : public QDialog {
  Q_OBJECT

 public:
  explicit CRecoveryModeDialog(QWidget* parent = nullptr);

  // Selects Normal again; call before each opening.
  void Reset();
  [[nodiscard]] RecoveryMode ChosenMode() const;
  [[nodiscard]] QRadioButton* NormalButton() const { return normal_; }
  [[nodiscard]] QRadioButton* ExtensiveButton() const { return extensive_; }

  // Shows the dialog modally; nothing on Cancel.
  [[nodiscard]] std::optional<RecoveryMode> Ask();

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QRadioButton* normal_;
  QRadioButton* extensive_;
};

}  // namespace tolvar::gui
