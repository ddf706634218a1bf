#pragma once

#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "app/saving_display.hpp"
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
  std::vector<WrittenFileDigests> written;  // every file written, with its digests
};

// "Saving the data please wait": the path, name and count of the entry being
// written and the progress. "&Stop Saving" and "S&kip File" only set their
// request flags; the dialog closes when the run sets closeSavingRequested,
// after its worker has ended.
class SavingDialog : public DialogFrame {
  Q_OBJECT

 public:
  using RunBody = std::function<SavingOutcome(SaveControl& control, SavingDisplay& display)>;

  SavingDialog(SaveControl& control, QWidget* parent = nullptr);
  ~SavingDialog() override;

  // Clears the stop and skip requests and starts `run` on the worker. The
  // run must set closeSavingRequested as its last act (RunSaving does).
  void Start(RunBody run);
  [[nodiscard]] const SavingOutcome& Outcome() const { return outcome_; }
  [[nodiscard]] QString FieldText(int id) const;

  // Start, then run the dialog modally until the run has ended.
  [[nodiscard]] static SavingOutcome Run(QWidget* parent, SaveControl& control, RunBody run);

  void reject() override {}  // Escape does nothing; there is no close box

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  class Display;
  void CheckCloseRequest();

  SaveControl& control_;
  QLabel* path_;
  QLabel* name_;
  QLabel* count_;
  CTextProgressCtrl* progress_;
  QTimer repaint_;
  std::unique_ptr<Display> display_;
  SavingWorker worker_;
  SavingOutcome outcome_;
};

// The end of a run: its summary, with a button that opens the report when
// one was written and the files' digests as details. `openReport` opens a
// path with the desktop.
void ShowSavingSummary(QWidget* parent, const SavingOutcome& outcome,
                       const std::function<void(const QString& path)>& openReport);
[[nodiscard]] QString SavingSummaryText(const SavingOutcome& outcome);

}  // namespace tolvar::gui
