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

  void SetPanelMode(PanelMode mode, std::uint32_t rangeEnd = 0) {
    SetPanelMode(DescribePanelMode(mode, rangeEnd));
  }
};

}  // namespace tolvar
