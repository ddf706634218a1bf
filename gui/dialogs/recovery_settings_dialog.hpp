#pragma once

#include <QComboBox>
#include <QRadioButton>
#include <array>
#include <optional>

#include "gui/dialogs/dialog_frame.hpp"
#include "recovery/settings_rules.hpp"

namespace tolvar::gui {

// "Recovery Settings": sectors per read, retries on a bad sector and the
// handling of duplicate names. The deleted-file group exists but stays
// hidden, so its policy keeps its value. OK stores, Cancel (also Escape and
// the close box) changes nothing.
class RecoverySettingsDialog : public DialogFrame {
  Q_OBJECT

 public:
  RecoverySettingsDialog(const RecoverySettings& current, QWidget* parent = nullptr);

  // The values after OK: the current ones changed by what the dialog shows.
  [[nodiscard]] RecoverySettings Result() const;

  // Runs the dialog modally; nothing on Cancel.
  [[nodiscard]] static std::optional<RecoverySettings> Ask(QWidget* parent,
                                                           const RecoverySettings& current);

 private:
  RecoverySettings current_;
  QComboBox* sectors_;
  QComboBox* retries_;
  std::array<QRadioButton*, 3> duplicateRadios_{};
  std::array<QRadioButton*, 3> deletedRadios_{};
};

}  // namespace tolvar::gui
