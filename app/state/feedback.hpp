#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tolvar {

inline constexpr std::string_view kCaption = "Tolvar for SCO OpenServer";

enum class MessageKind : std::uint16_t { kInformation = 1, kError = 2, kQuestion = 3 };
enum class Answer { kYes, kNo };

// The information panel's layout for one mode: labels (with their trailing
// blanks) and start values, and the status line the mode shows.
struct PanelRow {
  std::string label;
  std::string value;
};
struct PanelLayout {
  int mode = -1;
  bool clearsFirst = true;
  std::vector<PanelRow> rows;  // at most five
  bool statusShown = false;
  std::string statusText;
  std::string quickHelp;  // empty: the mode leaves the quick help alone
};

// Known modes: -1, 0, 1, 2, 6, 7, 44. `rangeEnd` fills mode 1's third row.
// An unknown mode yields the cleared panel.
[[nodiscard]] PanelLayout DescribePanelMode(int mode, std::uint32_t rangeEnd = 0);

// Joins quick-help lines the way the panel shows them: each line preceded by
// CR LF and sixteen blanks.
[[nodiscard]] std::string QuickHelpText(const std::vector<std::string>& lines);

// "<sectors / 2048> MB ( Approx )"
[[nodiscard]] std::string MegabytesText(std::uint32_t sectors);

// How the engine talks to the user. Front ends implement it; workers call it
// from their own thread and implementations keep the calls in order.
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
