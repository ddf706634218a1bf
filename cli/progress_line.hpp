#pragma once

#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>

namespace tolvar::cli {

// The command line's progress: a one-line bar on stderr with a position and
// a status text, drawn only when `bar` is set (stderr is a terminal and
// --quiet was not given). End it before saying anything on stderr.
class ProgressLine {
 public:
  ProgressLine(std::FILE* err, bool bar);
  ~ProgressLine();
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  void Show(bool shown);
  void SetProgress(int position);  // 0 to 100
  void SetStatus(std::string_view text);
  // Removes the bar's line, if one is drawn.
  void End();

 private:
  void Redraw(bool force);

  std::FILE* err_;
  bool bar_;
  bool drawn_ = false;
  bool shown_ = false;
  int position_ = 0;
  int drawnPosition_ = -1;
  std::string status_;
  std::chrono::steady_clock::time_point lastDraw_{};
};

}  // namespace tolvar::cli
