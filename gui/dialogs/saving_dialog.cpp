#include "gui/dialogs/saving_dialog.hpp"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QPointer>
#include <QVBoxLayout>

#include "gui/controls/message_box.hpp"

namespace tolvar::gui {

SavingDialog::SavingDialog(QWidget* parent)
    : DialogFrame(Text(kSavingTitle), 328, 166, false, parent),
      path_(Register(new QLabel(this), 1069, QStringLiteral("Path"))),
      name_(Register(new QLabel(this), 1012, QStringLiteral("File Name"))),
      count_(Register(new QLabel(this), 1070, QStringLiteral("Total Files"))),
      progress_(Register(new CTextProgressCtrl(this), 1008, QStringLiteral("Progress"))) {
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
  connect(stop, &QPushButton::clicked, this, &SavingDialog::StopPressed);
  connect(skip, &QPushButton::clicked, this, &SavingDialog::SkipPressed);

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
}

void SavingDialog::Show(const SavingSnapshot& snapshot) {
  path_->setText(QString::fromStdString(snapshot.path));
  name_->setText(QString::fromStdString(snapshot.fileName));
  count_->setText(QString::fromStdString(snapshot.count));
  progress_->setValue(snapshot.position);
}

void SavingDialog::Finish() { done(QDialog::Accepted); }

QString SavingDialog::FieldText(int id) const {
  auto* label = qobject_cast<QLabel*>(Control(id));
  return label != nullptr ? label->text() : QString();
}

SavingOutcome OutcomeOf(const engine::SavingRun& run, const std::string& destination,
                        bool reportWanted, std::vector<std::string>* written) {
  const std::expected<SavingResult, Error>& result = run.result;
  SavingOutcome outcome;
  if (!result) {
    outcome.problem = result.error().message;
    return outcome;
  }
  outcome.started = true;
  outcome.written.count = run.written.count;
  outcome.written.listed = run.written.listed;  // the packed digests are the session's
  const RunSummary& summary = result->report.summary;
  outcome.summaryLine = SummaryLine(summary);
  outcome.stoppedByUser = summary.stoppedByUser;
  outcome.problem = !summary.stopMessage.empty() ? summary.stopMessage : result->reportProblem;
  if (reportWanted && result->reportProblem.empty()) {
    outcome.reportPath = destination + "/" + std::string(kReportTextName);
  }
  if (written != nullptr) {
    for (const ReportEntry& entry : result->report.entries) {
      if (entry.type == EntryType::kFile &&
          (entry.status == EntryStatus::kComplete || entry.status == EntryStatus::kDamaged)) {
        written->push_back(entry.path);
      }
    }
  }
  return outcome;
}

QString SavingSummaryText(const SavingOutcome& outcome) {
  if (!outcome.started) {
    return QStringLiteral("Nothing was saved: %1").arg(QString::fromStdString(outcome.problem));
  }
  QString text = outcome.stoppedByUser ? QStringLiteral("Saving stopped. Saved: ")
                                       : QStringLiteral("Saving finished. Saved: ");
  text += QString::fromStdString(outcome.summaryLine);
  if (!outcome.problem.empty())
    text += QStringLiteral("\n") + QString::fromStdString(outcome.problem);
  const std::string digests = DigestSummaryText(outcome.written, !outcome.reportPath.empty());
  if (!digests.empty()) text += QStringLiteral("\n") + QString::fromStdString(digests);
  return text;
}

void ShowSavingSummary(QWidget* parent, const SavingOutcome& outcome,
                       const std::function<void(const QString& path)>& openReport) {
  auto box = MakeMessageBox(
      parent, SavingSummaryText(outcome),
      outcome.started && outcome.problem.empty() ? QMessageBox::Information : QMessageBox::Warning,
      QMessageBox::Ok);
  // At most WrittenFiles::kListed files: a list of thousands stays readable
  // and quick to lay out.
  if (outcome.written.count > 1) {
    box->setDetailedText(QString::fromStdString(DigestListText(outcome.written)));
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
