#pragma once

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/temp_dir.hpp"

namespace tolvar::testing {

struct RunResult {
  int status = -1;
  std::string out;
  std::string err;

  [[nodiscard]] std::vector<std::string> ErrLines() const {
    std::vector<std::string> lines;
    std::istringstream in(err);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
};

// The built `tolvar`, found through the build folder the test runner names.
inline std::filesystem::path TolvarPath() {
  const char* build = std::getenv("TOLVAR_BUILD_DIR");
  if (build == nullptr) throw std::runtime_error("TOLVAR_BUILD_DIR is not set");
  return std::filesystem::path(build) / "cli" / "tolvar";
}

inline std::string ShellQuote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

inline std::string Slurp(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Runs tolvar with `args`, stdin closed, stdout and stderr captured (so
// stderr is never a terminal here). With `limitSeconds`, under a hard limit
// of its own, so that a command that hangs fails its case instead of
// stalling the suite.
inline RunResult RunTolvar(const std::vector<std::string>& args, int limitSeconds = 0) {
  TempDir capture;
  std::string command = ShellQuote(TolvarPath().string());
  if (limitSeconds > 0) command = "timeout -k 5 " + std::to_string(limitSeconds) + " " + command;
  for (const auto& arg : args) command += " " + ShellQuote(arg);
  command += " </dev/null >" + ShellQuote((capture / "out").string()) + " 2>" +
             ShellQuote((capture / "err").string());
  const int raw = std::system(command.c_str());
  RunResult result;
  result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  result.out = Slurp(capture / "out");
  result.err = Slurp(capture / "err");
  return result;
}

}  // namespace tolvar::testing
