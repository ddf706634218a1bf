#pragma once

// The saving and restore dialogs' halves: the texts the engine's saving run
// and restore events turn into, and the restore question.

#include <atomic>
#include <cstdint>
#include <expected>

#include "app/feedback.hpp"
#include "base/error.hpp"
#include "recovery/restore.hpp"
#include "recovery/saving_run.hpp"

namespace tolvar {

// The saving dialog's fields: "Path", "File Name", "Total Files" ("n of m"),
// the progress, and a message for a failure that ends the run.
class SavingFeedback final : public SavingObserver {
 public:
  explicit SavingFeedback(Feedback& feedback) : feedback_(feedback) {}
  void EntryStarted(std::string_view hostFolder, std::string_view name, std::uint64_t number,
                    std::uint64_t total) override;
  void Progress(int position) override;
  void Failed(const Error& error) override;

 private:
  Feedback& feedback_;
};

// The restore dialog's status line: "Restoring <path>" per file.
class RestoreFeedback final : public RestoreObserver {
 public:
  explicit RestoreFeedback(Feedback& feedback) : feedback_(feedback) {}
  void FileStarted(std::string_view relativePath) override;

 private:
  Feedback& feedback_;
};

// The end of a restore: a host failure that ended it as a message, then the
// summary line as the status.
void ShowRestoreOutcome(Feedback& feedback, const RestoreReport& report);

// The restore dialog's rules. `restoreDeclined` records a No; a later Yes
// still starts the work.
struct RestoreState {
  std::atomic<std::int32_t> restoreDeclined{0};
};

enum class RestoreStart { kDeclined, kStartWorker };

// Asks the question; No sets restoreDeclined and the dialog closes.
[[nodiscard]] RestoreStart StartRestoreDialog(Feedback& feedback, RestoreState& state);

}  // namespace tolvar
