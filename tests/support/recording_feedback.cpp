#include "tests/support/recording_feedback.hpp"

#include <algorithm>

namespace tolvar {

void RecordingFeedback::Record(Event event) { events_.push_back(std::move(event)); }

void RecordingFeedback::ShowMessage(std::string_view text, MessageKind kind) {
  std::lock_guard lock(mutex_);
  Record({"ShowMessage", std::string(text), static_cast<int>(kind)});
}

Answer RecordingFeedback::AskYesNo(std::string_view text, MessageKind kind) {
  std::lock_guard lock(mutex_);
  Record({"AskYesNo", std::string(text), static_cast<int>(kind)});
  if (answers_.empty()) return Answer::kNo;
  Answer answer = answers_.front();
  answers_.pop_front();
  return answer;
}

void RecordingFeedback::SetPanelMode(const PanelLayout& layout) {
  std::lock_guard lock(mutex_);
  Record({"SetPanelMode", std::string(PanelModeName(layout.mode)), 0});
  if (layout.clearsFirst) {
    rows_.clear();
    status_.clear();
  }
  if (!layout.rows.empty()) rows_ = layout.rows;
  if (layout.mode == PanelMode::kDrive) status_.clear();
  if (layout.statusShown) status_ = layout.statusText;
  if (!layout.quickHelp.empty()) quickHelp_ = layout.quickHelp;
  mode_ = layout.mode;
}

void RecordingFeedback::SetRowValue(std::string_view label, std::string_view value) {
  std::lock_guard lock(mutex_);
  Record({"SetRowValue", std::string(label) + "=" + std::string(value), 0});
  auto it =
      std::find_if(rows_.begin(), rows_.end(), [&](const PanelRow& r) { return r.label == label; });
  if (it != rows_.end()) {
    it->value = std::string(value);
  } else {
    rows_.push_back({std::string(label), std::string(value)});
  }
}

void RecordingFeedback::SetStatusText(std::string_view text) {
  std::lock_guard lock(mutex_);
  Record({"SetStatusText", std::string(text), 0});
  status_ = std::string(text);
}

void RecordingFeedback::ShowStatus(bool shown) {
  std::lock_guard lock(mutex_);
  Record({"ShowStatus", "", shown ? 1 : 0});
}

void RecordingFeedback::SetProgress(int position) {
  std::lock_guard lock(mutex_);
  Record({"SetProgress", "", position});
  progress_ = position;
}

void RecordingFeedback::ShowProgress(bool shown) {
  std::lock_guard lock(mutex_);
  Record({"ShowProgress", "", shown ? 1 : 0});
}

void RecordingFeedback::SetQuickHelp(std::string_view text) {
  std::lock_guard lock(mutex_);
  Record({"SetQuickHelp", std::string(text), 0});
  quickHelp_ = std::string(text);
}

void RecordingFeedback::QueueAnswer(Answer answer) {
  std::lock_guard lock(mutex_);
  answers_.push_back(answer);
}

std::vector<RecordingFeedback::Event> RecordingFeedback::Events() const {
  std::lock_guard lock(mutex_);
  return events_;
}

std::vector<RecordingFeedback::Event> RecordingFeedback::EventsOf(std::string_view call) const {
  std::lock_guard lock(mutex_);
  std::vector<Event> out;
  for (const auto& e : events_) {
    if (e.call == call) out.push_back(e);
  }
  return out;
}

std::vector<std::string> RecordingFeedback::Messages() const {
  std::vector<std::string> out;
  for (const auto& e : EventsOf("ShowMessage")) out.push_back(e.text);
  return out;
}

std::string RecordingFeedback::RowValue(std::string_view label) const {
  std::lock_guard lock(mutex_);
  for (const auto& r : rows_) {
    if (r.label == label) return r.value;
  }
  return {};
}

std::vector<std::string> RecordingFeedback::RowLabels() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> out;
  for (const auto& r : rows_) out.push_back(r.label);
  return out;
}

std::string RecordingFeedback::StatusText() const {
  std::lock_guard lock(mutex_);
  return status_;
}

int RecordingFeedback::Progress() const {
  std::lock_guard lock(mutex_);
  return progress_;
}

std::string RecordingFeedback::QuickHelp() const {
  std::lock_guard lock(mutex_);
  return quickHelp_;
}

PanelMode RecordingFeedback::Mode() const {
  std::lock_guard lock(mutex_);
  return mode_;
}

}  // namespace tolvar
