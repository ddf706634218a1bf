#pragma once

// What the hostile-image suites share: images made by the image tools and
// changed in place, and the tree a recovery leaves.

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>

#include "tests/cli/run_tolvar.hpp"

namespace tolvar::testing {

inline bool Shell(const std::string& command) { return std::system(command.c_str()) == 0; }

// The number of `width` bytes at `at`, little- or big-endian.
inline std::uint64_t GetLe(const std::string& bytes, std::uint64_t at, int width) {
  std::uint64_t value = 0;
  for (int i = width - 1; i >= 0; --i)
    value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
  return value;
}
inline std::uint64_t GetBe(const std::string& bytes, std::uint64_t at, int width) {
  std::uint64_t value = 0;
  for (int i = 0; i < width; ++i) value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
  return value;
}
inline void PutLe(std::string& bytes, std::uint64_t at, int width, std::uint64_t value) {
  for (int i = 0; i < width; ++i) bytes[at + i] = static_cast<char>((value >> (8 * i)) & 0xff);
}

// Replaces the whole content of the file at `path`.
inline void WriteWhole(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// Changes the file at `path` in place; returns `path`.
inline std::filesystem::path Patched(const std::filesystem::path& path,
                                     const std::function<void(std::string& bytes)>& change) {
  std::string bytes = Slurp(path);
  change(bytes);
  WriteWhole(path, bytes);
  return path;
}

// The files a recovery left under `root`, by relative path (folders as
// "folder"), without its reports.
inline std::map<std::string, std::string> RecoveredTree(const std::filesystem::path& root) {
  std::map<std::string, std::string> entries;
  if (!std::filesystem::exists(root)) return entries;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    const std::string relative = std::filesystem::relative(entry.path(), root).string();
    if (relative.starts_with("tolvar-report")) continue;
    entries[relative] = entry.is_directory() ? "folder" : Slurp(entry.path());
  }
  return entries;
}

}  // namespace tolvar::testing
