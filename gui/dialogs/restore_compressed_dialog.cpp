#include "gui/dialogs/restore_compressed_dialog.hpp"

#include <QHBoxLayout>
#include <QPointer>
#include <QVBoxLayout>

namespace tolvar::gui {

RestoreCompressedDialog::RestoreCompressedDialog(QWidget* parent)
    : DialogFrame(Text(kRestoreTitle), 243, 83, false,
                  parent),
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

RestoreCompressedDialog::~RestoreCompressedDialog() {
  stop_.store(true);
  if (worker_.joinable()) worker_.join();
}

bool RestoreCompressedDialog::Begin(RunBody run) {
  if (Messages().Ask(kRestoreQuestion, MessageKind::kQuestion) != Answer::kYes) return false;
  QPointer<RestoreCompressedDialog> self = this;
  auto status = [self](std::string_view text) {
    QMetaObject::invokeMethod(
        self.data(),
        [self, shown = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()))] {
          if (self) self->status_->setText(shown);
        },
        Qt::QueuedConnection);
  };
  worker_ = std::jthread([this, self, status, run = std::move(run)] {
    std::string summary;
    try {
      summary = run(status, stop_);
    } catch (...) {
      // Nothing may keep "Finish" disabled; the failure is the summary.
      summary = "The restore ended with an unexpected failure.";
    }
    QMetaObject::invokeMethod(
        self.data(),
        [self, shown = QString::fromStdString(summary)] {
          if (!self) return;
          self->status_->setText(shown);
          self->finished_ = true;
          self->finish_->setEnabled(true);
          self->finish_->setFocus();
        },
        Qt::QueuedConnection);
  });
  return true;
}

void RestoreCompressedDialog::Run(QWidget* parent, RunBody run, MessageAnswerer answerer) {
  RestoreCompressedDialog dialog(parent);
  dialog.SetMessageAnswerer(std::move(answerer));
  if (!dialog.Begin(std::move(run))) return;
  dialog.exec();
}

}  // namespace tolvar::gui
