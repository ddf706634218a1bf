#pragma once

#include <cstdint>
#include <string_view>

#include "app/wizard_texts.hpp"

namespace tolvar {

// What the wizard steps say to the window. Front ends implement it; workers
// call it from their own thread and implementations keep the calls in order.
class Feedback {
 public:
  virtual ~Feedback() = default;

  virtual void ShowMessage(std::string_view text, MessageKind kind) = 0;
  [[nodiscard]] virtual Answer AskYesNo(std::string_view text, MessageKind kind) = 0;
  virtual void SetPanelMode(const PanelLayout& layout) = 0;
  virtual void SetRowValue(std::string_view label, std::string_view value) = 0;
  virtual void SetStatusText(std::string_view text) = 0;
  virtual void ShowStatus(bool shown) = 0;
  virtual void SetProgress(int position) = 0;  // 0 to 100
  virtual void ShowProgress(bool shown) = 0;
  virtual void SetQuickHelp(std::string_view text) = 0;

  void SetPanelMode(int mode, std::uint32_t rangeEnd = 0) {
    SetPanelMode(DescribePanelMode(mode, rangeEnd));
  }
};

// Ignores everything and answers No; for callers that want no feedback.
class SilentFeedback final : public Feedback {
 public:
  void ShowMessage(std::string_view, MessageKind) override {}
  Answer AskYesNo(std::string_view, MessageKind) override { return Answer::kNo; }
  void SetPanelMode(const PanelLayout&) override {}
  void SetRowValue(std::string_view, std::string_view) override {}
  void SetStatusText(std::string_view) override {}
  void ShowStatus(bool) override {}
  void SetProgress(int) override {}
  void ShowProgress(bool) override {}
  void SetQuickHelp(std::string_view) override {}
  using Feedback::SetPanelMode;
};

}  // namespace tolvar
