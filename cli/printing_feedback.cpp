#include "cli/printing_feedback.hpp"

#include <fmt/format.h>

#include <algorithm>

#include "cli/terminal_text.hpp"

namespace tolvar::cli {

namespace {

constexpr int kBarWidth = 30;
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);

// The message's lines without their CR LF breaks; each made safe on its own.
std::vector<std::string> MessageLines(std::string_view text) {
  std::vector<std::string> lines;
  while (true) {
    const auto cut = text.find('\n');
    std::string_view line = text.substr(0, cut);
    if (line.ends_with('\r')) line.remove_suffix(1);
    lines.push_back(TerminalSafe(line));
    if (cut == std::string_view::npos) break;
    text.remove_prefix(cut + 1);
  }
  return lines;
}

}  // namespace

PrintingFeedback::PrintingFeedback(std::FILE* err, bool progressBar)
    : err_(err), progressBar_(progressBar) {}

PrintingFeedback::~PrintingFeedback() { EndProgressLine(); }

void PrintingFeedback::ShowMessage(std::string_view text, MessageKind) {
  EndProgressLine();
  for (const auto& line : MessageLines(text)) fmt::print(err_, "{}\n", line);
  std::fflush(err_);
}

Answer PrintingFeedback::AskYesNo(std::string_view text, MessageKind kind) {
  ShowMessage(text, kind);
  return Answer::kNo;
}

void PrintingFeedback::SetPanelMode(const PanelLayout& layout) {
  if (layout.clearsFirst) {
    rows_.clear();
    status_.clear();
  }
  if (!layout.rows.empty()) rows_ = layout.rows;
  if (layout.statusShown) status_ = layout.statusText;
  Redraw(true);
}

void PrintingFeedback::SetRowValue(std::string_view label, std::string_view value) {
  auto it = std::find_if(rows_.begin(), rows_.end(),
                         [&](const PanelRow& row) { return row.label == label; });
  if (it != rows_.end()) {
    it->value = std::string(value);
  } else {
    rows_.push_back({std::string(label), std::string(value)});
  }
}

void PrintingFeedback::SetStatusText(std::string_view text) {
  status_ = std::string(text);
  Redraw(false);
}

void PrintingFeedback::ShowStatus(bool) {}

void PrintingFeedback::SetProgress(int position) {
  position_ = std::clamp(position, 0, 100);
  Redraw(false);
}

void PrintingFeedback::ShowProgress(bool shown) {
  progressShown_ = shown;
  if (shown) {
    Redraw(true);
  } else {
    EndProgressLine();
  }
}

void PrintingFeedback::SetQuickHelp(std::string_view) {}

void PrintingFeedback::EndProgressLine() {
  if (!drawn_) return;
  fmt::print(err_, "\r\x1b[K");
  std::fflush(err_);
  drawn_ = false;
  drawnPosition_ = -1;
}

void PrintingFeedback::Redraw(bool force) {
  if (!progressBar_ || !progressShown_) return;
  const auto now = std::chrono::steady_clock::now();
  // The bar follows the position at once; the status text at most ten times
  // a second, since it changes with every run.
  if (!force && position_ == drawnPosition_ && now - lastDraw_ < kRedrawInterval) return;
  const int filled = position_ * kBarWidth / 100;
  fmt::print(err_, "\r[{}{}] {:3}% {}\x1b[K", std::string(static_cast<std::size_t>(filled), '#'),
             std::string(static_cast<std::size_t>(kBarWidth - filled), '-'), position_,
             TerminalSafe(status_));
  std::fflush(err_);
  drawn_ = true;
  drawnPosition_ = position_;
  lastDraw_ = now;
}

}  // namespace tolvar::cli
