#include "gui/window/recovery_mode_dialog.hpp"

#include <QDialogButtonBox>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QSvgRenderer>
#include <QVBoxLayout>

namespace tolvar::gui {

namespace {
constexpr const char* kModeCaption = "Select Mode Of Recovery";
constexpr const char* kModeMessage =
    "Please select the mode of recovery. \r\n\r\nSelect Extensive search for serious damages or "
    "when Normal search fails to recover all of your required data.";
}  // namespace

CRecoveryModeDialog::CRecoveryModeDialog(QWidget* parent)
    : QDialog(parent),
      normal_(new QRadioButton(QStringLiteral("Normal Search ( Recommended )"), this)),
      extensive_(new QRadioButton(QStringLiteral("Extensive Search"), this)) {
  setWindowTitle(QString::fromLatin1(kModeCaption));
  QString message = QString::fromLatin1(kModeMessage);
  message.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  auto* text = new QLabel(message, this);
  text->setWordWrap(true);
  text->setTextFormat(Qt::PlainText);
  text->setMinimumWidth(fontMetrics().averageCharWidth() * 52);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(24, 16, 16, 12);
  layout->addWidget(text);
  layout->addSpacing(8);
  layout->addWidget(normal_);
  layout->addWidget(extensive_);
  layout->addSpacing(8);
  layout->addWidget(buttons);
  setSizeGripEnabled(false);
  layout->setSizeConstraint(QLayout::SetFixedSize);
  Reset();
}

void CRecoveryModeDialog::Reset() {
  normal_->setChecked(true);
  normal_->setFocus();
}

RecoveryMode CRecoveryModeDialog::ChosenMode() const {
  return normal_->isChecked() ? RecoveryMode::kNormal : RecoveryMode::kExtensive;
}

std::optional<RecoveryMode> CRecoveryModeDialog::Ask() {
  Reset();
  if (exec() != QDialog::Accepted) return std::nullopt;
  return ChosenMode();
}

void CRecoveryModeDialog::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  QSvgRenderer background(QStringLiteral(":/tolvar/mode-background.svg"));
  background.render(&painter, QRectF(rect()));
}

}  // namespace tolvar::gui
