#pragma once

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "app/state/feedback.hpp"

namespace tolvar::cli {

// The command line's Feedback: messages go to stderr, one line per line of
// the message; the progress position and status line become a one-line
// progress bar on stderr when `progressBar` is set (stderr is a terminal and
// --quiet was not given). Questions are answered No: a command never waits
// for a keyboard.
class PrintingFeedback final : public Feedback {
 public:
  PrintingFeedback(std::FILE* err, bool progressBar);
  ~PrintingFeedback() override;
  PrintingFeedback(const PrintingFeedback&) = delete;
  PrintingFeedback& operator=(const PrintingFeedback&) = delete;

  void ShowMessage(std::string_view text, MessageKind kind) override;
  Answer AskYesNo(std::string_view text, MessageKind kind) override;
  void SetPanelMode(const PanelLayout& layout) override;
  void SetRowValue(std::string_view label, std::string_view value) override;
  void SetStatusText(std::string_view text) override;
  void ShowStatus(bool shown) override;
  void SetProgress(int position) override;
  void ShowProgress(bool shown) override;
  void SetQuickHelp(std::string_view text) override;
  using Feedback::SetPanelMode;

  // Removes the progress bar's line, if one is drawn.
  void EndProgressLine();
  [[nodiscard]] const std::vector<PanelRow>& Rows() const { return rows_; }

 private:
  void Redraw(bool force);

  std::FILE* err_;
  bool progressBar_;
  bool drawn_ = false;
  bool progressShown_ = false;
  int position_ = 0;
  int drawnPosition_ = -1;
  std::string status_;
  std::vector<PanelRow> rows_;
  std::chrono::steady_clock::time_point lastDraw_{};
};

}  // namespace tolvar::cli
