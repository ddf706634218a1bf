#pragma once

#include <QLabel>
#include <QPushButton>
#include <atomic>
#include <functional>
#include <string>
#include <string_view>
#include <thread>

#include "gui/dialogs/dialog_frame.hpp"

namespace tolvar::gui {

// "Restoring Compressed Files, Please wait.": asks first, then runs the
// restore on a worker and shows its status. "Finish" is enabled when the
// worker has ended, whatever happened, and is the only way to close it.
class RestoreCompressedDialog : public DialogFrame {
  Q_OBJECT

 public:
  // The restore work: reports its status through `status` (any thread) and
  // returns the summary to show at its end. `stop` is set when the dialog
  // goes away before the work ends.
  using RunBody = std::function<std::string(const std::function<void(std::string_view)>& status,
                                            const std::atomic<bool>& stop)>;

  explicit RestoreCompressedDialog(QWidget* parent = nullptr);
  ~RestoreCompressedDialog() override;

  // Asks the question; false after No (the dialog is not to be shown).
  [[nodiscard]] bool Begin(RunBody run);
  [[nodiscard]] bool Finished() const { return finished_; }
  [[nodiscard]] QString Status() const { return status_->text(); }
  [[nodiscard]] QPushButton* FinishButton() const { return finish_; }

  // The whole command: the question, then the dialog until "Finish".
  static void Run(QWidget* parent, RunBody run, MessageAnswerer answerer = {});

  void reject() override {}  // Escape does nothing

 private:
  QLabel* status_;
  QPushButton* finish_;
  std::atomic<bool> stop_{false};
  bool finished_ = false;
  std::jthread worker_;
};

}  // namespace tolvar::gui
