#pragma once

#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "app/feedback.hpp"

namespace tolvar {

// A Feedback that records every call in order and keeps the panel's current
// state, for tests. Answers to AskYesNo are queued in advance (default No).
class RecordingFeedback final : public Feedback {
 public:
  struct Event {
    std::string call;  // "ShowMessage", "AskYesNo", "SetPanelMode", "SetRowValue", ...
    std::string text;  // message, label=value, status text, mode number, ...
    int number = 0;    // message kind, progress position, shown flag
  };

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

  void QueueAnswer(Answer answer);

  // Snapshot accessors; safe to call while a worker is still reporting.
  [[nodiscard]] std::vector<Event> Events() const;
  [[nodiscard]] std::vector<Event> EventsOf(std::string_view call) const;
  [[nodiscard]] std::vector<std::string> Messages() const;
  [[nodiscard]] std::string RowValue(std::string_view label) const;  // "" when absent
  [[nodiscard]] std::vector<std::string> RowLabels() const;          // in panel order
  [[nodiscard]] std::string StatusText() const;
  [[nodiscard]] int Progress() const;
  [[nodiscard]] std::string QuickHelp() const;
  [[nodiscard]] PanelMode Mode() const;

 private:
  void Record(Event event);

  mutable std::mutex mutex_;
  std::vector<Event> events_;
  std::deque<Answer> answers_;
  std::vector<PanelRow> rows_;
  std::string status_;
  int progress_ = 0;
  std::string quickHelp_;
  PanelMode mode_ = PanelMode::kCleared;
};

}  // namespace tolvar
