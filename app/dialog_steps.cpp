#include "app/dialog_steps.hpp"

#include <fmt/format.h>

namespace tolvar {

void SavingFeedback::EntryStarted(std::string_view hostFolder, std::string_view name,
                                  std::uint64_t number, std::uint64_t total) {
  feedback_.SetRowValue(kPathLabel, hostFolder);
  feedback_.SetRowValue(kFileNameLabel, name);
  feedback_.SetRowValue(kTotalFilesLabel, fmt::format("{} of {}", number, total));
}

void SavingFeedback::Progress(int position) { feedback_.SetProgress(position); }

void SavingFeedback::Failed(const Error& error) {
  feedback_.ShowMessage(error.message, MessageKind::kError);
}

void RestoreFeedback::FileStarted(std::string_view relativePath) {
  feedback_.SetStatusText(fmt::format("Restoring {}", relativePath));
}

void ShowRestoreOutcome(Feedback& feedback, const RestoreReport& report) {
  if (!report.summary.stopMessage.empty()) {
    feedback.ShowMessage(report.summary.stopMessage, MessageKind::kError);
  }
  feedback.SetStatusText(RestoreSummaryLine(report.summary));
}

RestoreStart StartRestoreDialog(Feedback& feedback, RestoreState& state) {
  if (feedback.AskYesNo(kRestoreQuestion, MessageKind::kQuestion) == Answer::kNo) {
    state.restoreDeclined.store(1, std::memory_order_relaxed);
    return RestoreStart::kDeclined;
  }
  return RestoreStart::kStartWorker;
}

}  // namespace tolvar
