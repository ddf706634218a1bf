#include "gui/dialogs/saving_dialog.hpp"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QPointer>
#include <QVBoxLayout>

#include "gui/controls/message_box.hpp"

namespace tolvar::gui {

// Posts each call to the dialog's thread; the dialog joins the worker before
// it goes, so `dialog_` outlives every call made on the worker.
class SavingDialog::Display final : public SavingDisplay {
 public:
  explicit Display(SavingDialog* dialog) : dialog_(dialog) {}
  void SetPath(std::string_view path) override { Post(dialog_->path_, path); }
  void SetFileName(std::string_view name) override { Post(dialog_->name_, name); }
  void SetCount(std::string_view count) override { Post(dialog_->count_, count); }
  void SetProgress(int position) override {
    QPointer<CTextProgressCtrl> bar = dialog_->progress_;
    QMetaObject::invokeMethod(
        dialog_, [bar, position] { if (bar) bar->setValue(position); }, Qt::QueuedConnection);
  }

 private:
  void Post(QLabel* label, std::string_view text) {
    QPointer<QLabel> target = label;
    QMetaObject::invokeMethod(
        dialog_,
        [target, shown = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()))] {
          if (target) target->setText(shown);
        },
        Qt::QueuedConnection);
  }
  SavingDialog* dialog_;
};

SavingDialog::SavingDialog(SaveControl& control, QWidget* parent)
    : DialogFrame(Text(kSavingTitle), 328, 166, false, parent),
      control_(control),
      path_(Register(new QLabel(this), 1069, QStringLiteral("Path"))),
      name_(Register(new QLabel(this), 1012, QStringLiteral("File Name"))),
      count_(Register(new QLabel(this), 1070, QStringLiteral("Total Files"))),
      progress_(Register(new CTextProgressCtrl(this), 1008, QStringLiteral("Progress"))),
      display_(std::make_unique<Display>(this)) {
  for (QLabel* field : {path_, name_, count_}) {
    field->setTextFormat(Qt::PlainText);
    field->setMinimumWidth(DialogUnitsToPixels(font(), 240, 0).width());
    field->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  }
  progress_->setRange(0, 100);
  progress_->setValue(0);

  auto* grid = new QGridLayout;
  grid->setColumnStretch(1, 1);
  grid->addWidget(Register(new QLabel(QStringLiteral("Path"), this), 1095, {}), 0, 0);
  grid->addWidget(path_, 0, 1);
  grid->addWidget(Register(new QLabel(QStringLiteral("File Name"), this), 1071, {}), 1, 0);
  grid->addWidget(name_, 1, 1);
  grid->addWidget(Register(new QLabel(QStringLiteral("Total Files"), this), 1096, {}), 2, 0);
  grid->addWidget(count_, 2, 1);

  auto* stop = Register(new QPushButton(Text(kStopSavingText), this), 1, {});
  auto* skip = Register(new QPushButton(Text(kSkipFileText), this), 1049, {});
  auto* hidden = Register(new QPushButton(this), 2, QStringLiteral("Close"));
  hidden->hide();
  stop->setDefault(true);
  // Neither button closes the dialog: each sets its request and nothing more.
  connect(stop, &QPushButton::clicked, this, [this] { control_.PressStopSaving(); });
  connect(skip, &QPushButton::clicked, this, [this] { control_.PressSkipFile(); });

  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(stop);
  buttons->addWidget(skip);
  buttons->addStretch();

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(18, 16, 18, 12);
  layout->addLayout(grid);
  layout->addSpacing(8);
  layout->addWidget(progress_);
  layout->addStretch();
  layout->addLayout(buttons);

  // The close request is tested on every repaint; the timer repaints, and
  // tests the request itself for a dialog that is not on screen.
  repaint_.setInterval(50);
  connect(&repaint_, &QTimer::timeout, this, [this] {
    update();
    CheckCloseRequest();
  });
}

SavingDialog::~SavingDialog() {
  // A run never outlives its dialog.
  control_.PressStopSaving();
  worker_.Join();
}

void SavingDialog::Start(RunBody run) {
  control_.StartRun();
  control_.closeSavingRequested.store(0, std::memory_order_relaxed);
  worker_.Start([this, run = std::move(run)] {
    outcome_ = run(control_, *display_);
    // The run sets the flag itself; setting it again covers a body that
    // ended without reaching it, so the dialog can always close.
    control_.closeSavingRequested.store(1, std::memory_order_release);
  });
  repaint_.start();
}

void SavingDialog::paintEvent(QPaintEvent* event) {
  DialogFrame::paintEvent(event);
  CheckCloseRequest();
}

void SavingDialog::CheckCloseRequest() {
  if (!control_.TakeCloseRequest()) return;
  repaint_.stop();
  worker_.Join();
  QMetaObject::invokeMethod(this, [this] { done(QDialog::Accepted); }, Qt::QueuedConnection);
}

QString SavingDialog::FieldText(int id) const {
  auto* label = qobject_cast<QLabel*>(Control(id));
  return label != nullptr ? label->text() : QString();
}

SavingOutcome SavingDialog::Run(QWidget* parent, SaveControl& control, RunBody run) {
  SavingDialog dialog(control, parent);
  dialog.Start(std::move(run));
  dialog.exec();
  return dialog.Outcome();
}

QString SavingSummaryText(const SavingOutcome& outcome) {
  if (!outcome.started) {
    return QStringLiteral("Nothing was saved: %1").arg(QString::fromStdString(outcome.problem));
  }
  QString text = outcome.stoppedByUser ? QStringLiteral("Saving stopped. Saved: ")
                                       : QStringLiteral("Saving finished. Saved: ");
  text += QString::fromStdString(outcome.summaryLine);
  if (!outcome.problem.empty()) text += QStringLiteral("\n") + QString::fromStdString(outcome.problem);
  const std::string digests = DigestSummaryText(outcome.written, !outcome.reportPath.empty());
  if (!digests.empty()) text += QStringLiteral("\n") + QString::fromStdString(digests);
  return text;
}

void ShowSavingSummary(QWidget* parent, const SavingOutcome& outcome,
                       const std::function<void(const QString& path)>& openReport) {
  auto box = MakeMessageBox(parent, SavingSummaryText(outcome),
                            outcome.started && outcome.problem.empty() ? QMessageBox::Information
                                                                       : QMessageBox::Warning,
                            QMessageBox::Ok);
  // A list of thousands of files stays readable and quick to lay out.
  constexpr std::size_t kDigestsListed = 500;
  if (outcome.written.size() > 1) {
    box->setDetailedText(QString::fromStdString(DigestListText(outcome.written, kDigestsListed)));
  }
  QPushButton* report = nullptr;
  if (!outcome.reportPath.empty()) {
    report = box->addButton(QStringLiteral("Open &Report"), QMessageBox::ActionRole);
    report->setAccessibleName(QStringLiteral("Open Report"));
  }
  box->exec();
  if (report != nullptr && box->clickedButton() == report && openReport) {
    openReport(QString::fromStdString(outcome.reportPath));
  }
}

}  // namespace tolvar::gui
