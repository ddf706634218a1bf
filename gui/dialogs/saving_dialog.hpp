#pragma once

#include <QLabel>
#include <QPushButton>
#include <expected>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "app/engine_runs.hpp"
#include "app/saving_display.hpp"
#include "app/wizard_view.hpp"
#include "gui/controls/text_progress_ctrl.hpp"
#include "gui/dialogs/dialog_frame.hpp"
#include "recovery/saving_run.hpp"

namespace tolvar::gui {

// What became of a run, for the summary shown after the dialog closes.
struct SavingOutcome {
  bool started = false;     // false: the destination could not be used
  std::string problem;      // why not, or a host failure that ended the run
  std::string summaryLine;  // files, folders, bytes, damaged files, unreadable sectors
  bool stoppedByUser = false;
  std::string reportPath;                   // the readable report, empty when none was written
  WrittenFiles written;  // the count and the first files written, with their digests
};

// "Saving the data please wait": a view of the controller's saving run,
// showing the path, name and count of the entry being written and the
// progress. "&Stop Saving" and "S&kip File" only report their press; the
// dialog closes when the run has ended (Finish), never by a key.
class SavingDialog : public DialogFrame {
  Q_OBJECT

 public:
  explicit SavingDialog(QWidget* parent = nullptr);

  void Show(const SavingSnapshot& snapshot);
  // The run has ended: the dialog closes, accepted.
  void Finish();
  [[nodiscard]] QString FieldText(int id) const;

  void reject() override {}  // Escape does nothing; there is no close box

 signals:
  void StopPressed();
  void SkipPressed();

 private:
  QLabel* path_;
  QLabel* name_;
  QLabel* count_;
  CTextProgressCtrl* progress_;
};

// What a finished run comes to for the summary: the outcome, and the files
// it wrote (paths below the destination) for the copies opened.
[[nodiscard]] SavingOutcome OutcomeOf(const engine::SavingRun& run, const std::string& destination,
                                      bool reportWanted,
                                      std::vector<std::string>* written = nullptr);

// The end of a run: its summary, with a button that opens the report when
// one was written and the files' digests as details. `openReport` opens a
// path with the desktop.
void ShowSavingSummary(QWidget* parent, const SavingOutcome& outcome,
                       const std::function<void(const QString& path)>& openReport);
[[nodiscard]] QString SavingSummaryText(const SavingOutcome& outcome);

}  // namespace tolvar::gui
