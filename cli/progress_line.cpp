#include "cli/progress_line.hpp"

#include <fmt/format.h>

#include <algorithm>

#include "cli/terminal_text.hpp"

namespace tolvar::cli {

namespace {

constexpr int kBarWidth = 30;
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);

}  // namespace

ProgressLine::ProgressLine(std::FILE* err, bool bar) : err_(err), bar_(bar) {}

ProgressLine::~ProgressLine() { End(); }

void ProgressLine::Show(bool shown) {
  shown_ = shown;
  if (shown) {
    Redraw(true);
  } else {
    End();
  }
}

void ProgressLine::SetProgress(int position) {
  position_ = std::clamp(position, 0, 100);
  Redraw(false);
}

void ProgressLine::SetStatus(std::string_view text) {
  status_ = std::string(text);
  Redraw(false);
}

void ProgressLine::End() {
  if (!drawn_) return;
  fmt::print(err_, "\r\x1b[K");
  std::fflush(err_);
  drawn_ = false;
  drawnPosition_ = -1;
}

void ProgressLine::Redraw(bool force) {
  if (!bar_ || !shown_) return;
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
