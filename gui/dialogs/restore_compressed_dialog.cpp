#include "gui/dialogs/restore_compressed_dialog.hpp"

#include <QHBoxLayout>
#include <QVBoxLayout>

namespace tolvar::gui {

RestoreCompressedDialog::RestoreCompressedDialog(QWidget* parent)
    : DialogFrame(Text(kRestoreTitle), 243, 83, false, parent),
      status_(Register(new QLabel(this), 1073, QStringLiteral("Status"))),
      finish_(Register(new QPushButton(Text(kFinishText), this), 1, {})) {
  status_->setWordWrap(true);
  status_->setTextFormat(Qt::PlainText);
  status_->setFixedSize(DialogUnitsToPixels(font(), 218, 45));
  status_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  finish_->setDefault(true);
  finish_->setEnabled(false);
  connect(finish_, &QPushButton::clicked, this, &QDialog::accept);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(14, 10, 14, 10);
  layout->addWidget(status_);
  auto* row = new QHBoxLayout;
  row->addStretch();
  row->addWidget(finish_);
  layout->addLayout(row);
}

void RestoreCompressedDialog::SetStatus(const QString& text) { status_->setText(text); }

void RestoreCompressedDialog::Finish(const QString& summary) {
  status_->setText(summary);
  finish_->setEnabled(true);
  finish_->setFocus();
}

}  // namespace tolvar::gui
