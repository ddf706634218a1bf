#include "gui/dialogs/recovery_settings_dialog.hpp"

#include <QButtonGroup>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "gui/controls/xp_group_box.hpp"

namespace tolvar::gui {

namespace {

QComboBox* MakeList(QWidget* parent, const std::vector<std::string>& items) {
  auto* list = new QComboBox(parent);
  for (const std::string& item : items) list->addItem(QString::fromStdString(item));
  list->setMaxVisibleItems(12);
  return list;
}

}  // namespace

RecoverySettingsDialog::RecoverySettingsDialog(const RecoverySettings& current, QWidget* parent)
    : DialogFrame(Text(kSettingsDialogTitle), 304, 265, true, parent),
      current_(current),
      sectors_(MakeList(this, SectorsPerReadItems())),
      retries_(MakeList(this, RetryItems())) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(16, 12, 16, 12);

  auto* sectorsGroup = Register(
      new CXPGroupBox(QStringLiteral("Sectors to read in single attempt"), this), 1073, {});
  auto* sectorsRow = new QHBoxLayout(sectorsGroup);
  // Each list is labelled by its caption (the relation assistive tools read).
  auto* sectorsLabel = Register(
      new QLabel(QStringLiteral("Sectors to read in single attempt"), sectorsGroup), 1084, {});
  sectorsLabel->setBuddy(sectors_);
  sectorsRow->addWidget(sectorsLabel);
  sectorsRow->addWidget(
      Register(sectors_, 1037, QStringLiteral("Sectors to read in single attempt")));
  layout->addWidget(sectorsGroup);

  auto* duplicateGroup =
      Register(new CXPGroupBox(QStringLiteral("Setting of duplicate file(s)"), this), 1058, {});
  auto* duplicateColumn = new QVBoxLayout(duplicateGroup);
  auto* duplicateButtons = new QButtonGroup(this);
  const DuplicatePolicy duplicates[] = {DuplicatePolicy::kRename, DuplicatePolicy::kOverwrite,
                                        DuplicatePolicy::kSkip};
  for (int i = 0; i < 3; ++i) {
    auto* radio = new QRadioButton(Text(DuplicatePolicyLabel(duplicates[i])), duplicateGroup);
    duplicateRadios_[static_cast<std::size_t>(i)] = Register(radio, 1038 + i, {});
    duplicateButtons->addButton(radio);
    duplicateColumn->addWidget(radio);
  }
  layout->addWidget(duplicateGroup);

  // Present but never shown: nothing in the tree tells a deleted file apart.
  auto* deletedGroup =
      Register(new CXPGroupBox(QStringLiteral("Setting for deleted file(s)"), this), 1059, {});
  auto* deletedColumn = new QVBoxLayout(deletedGroup);
  auto* deletedButtons = new QButtonGroup(this);
  const DeletedPolicy deleted[] = {DeletedPolicy::kInclude, DeletedPolicy::kOnlyDeleted,
                                   DeletedPolicy::kExclude};
  for (int i = 0; i < 3; ++i) {
    auto* radio = new QRadioButton(Text(DeletedPolicyLabel(deleted[i])), deletedGroup);
    deletedRadios_[static_cast<std::size_t>(i)] = Register(radio, 1041 + i, {});
    deletedButtons->addButton(radio);
    deletedColumn->addWidget(radio);
  }
  deletedGroup->hide();

  auto* badGroup =
      Register(new CXPGroupBox(QStringLiteral("Setting for bad sectors"), this), 1060, {});
  auto* badRow = new QHBoxLayout(badGroup);
  auto* retriesLabel = Register(
      new QLabel(QStringLiteral("Number of retries on bad sector(s)"), badGroup), 1085, {});
  retriesLabel->setBuddy(retries_);
  badRow->addWidget(retriesLabel);
  badRow->addWidget(Register(retries_, 1044, QStringLiteral("Number of retries on bad sector(s)")));
  layout->addWidget(badGroup);

  auto* ok = Register(new QPushButton(QStringLiteral("OK"), this), 1, {});
  auto* cancel = Register(new QPushButton(QStringLiteral("Cancel"), this), 2, {});
  ok->setDefault(true);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(ok);
  buttons->addWidget(cancel);
  layout->addLayout(buttons);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);

  const SettingsDialogView start = StartSettingsDialog(current_);
  sectors_->setCurrentIndex(start.sectorsItem);
  retries_->setCurrentIndex(start.retriesItem);
  for (std::size_t i = 0; i < 3; ++i) {
    if (start.duplicateRadios[i]) duplicateRadios_[i]->setChecked(true);
    if (start.deletedRadios[i]) deletedRadios_[i]->setChecked(true);
  }
}

RecoverySettings RecoverySettingsDialog::Result() const {
  SettingsDialogView shown;
  shown.sectorsItem = sectors_->currentIndex();
  shown.retriesItem = retries_->currentIndex();
  for (std::size_t i = 0; i < 3; ++i) {
    shown.duplicateRadios[i] = duplicateRadios_[i]->isChecked();
    shown.deletedRadios[i] = deletedRadios_[i]->isChecked();
  }
  RecoverySettings result = current_;
  ApplySettingsDialogOk(shown, result);
  return result;
}

std::optional<RecoverySettings> RecoverySettingsDialog::Ask(QWidget* parent,
                                                            const RecoverySettings& current) {
  RecoverySettingsDialog dialog(current, parent);
  if (dialog.exec() != QDialog::Accepted) return std::nullopt;
  return dialog.Result();
}

}  // namespace tolvar::gui
