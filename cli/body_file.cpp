#include "cli/body_file.hpp"

#include <fmt/format.h>

#include "cli/terminal_text.hpp"

namespace tolvar::cli {

std::string BodyFileName(std::string_view raw) {
  const std::string safe = TerminalSafe(raw);
  std::string name;
  name.reserve(safe.size());
  for (const char c : safe) {
    if (c == '|') {
      name += "\\x7C";
    } else if (c == '/') {
      name += "\\x2F";
    } else {
      name += c;
    }
  }
  return name;
}

std::string BodyFileMode(std::uint16_t mode) {
  // The report's mode text gives the type letter and nine permission places;
  // the body file writes a regular file as 'r' and an unknown type as '-'.
  const std::string text = ModeText(mode);
  char type = text.front();
  if (type == '-') {
    type = 'r';
  } else if (type == '?') {
    type = '-';
  }
  return fmt::format("{}/{}{}", type, type, text.substr(1));
}

std::string BodyFileLine(const BodyFileEntry& entry) {
  const InodeFacts& f = entry.facts;
  return fmt::format("0|{}|{}|{}|{}|{}|{}|{}|{}|{}|0\n", entry.path, entry.inode,
                     BodyFileMode(f.mode), f.uid, f.gid, entry.size, f.atime, f.mtime, f.ctime);
}

}  // namespace tolvar::cli
