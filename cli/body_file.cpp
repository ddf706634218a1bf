#include "cli/body_file.hpp"

#include <fmt/format.h>

#include "cli/terminal_text.hpp"
#include "fs/format.hpp"

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
  char type = '-';
  switch (static_cast<ModeType>(ModeTypeBits(mode))) {
    case ModeType::kRegular:
      type = 'r';
      break;
    case ModeType::kDirectory:
      type = 'd';
      break;
    case ModeType::kPipe:
      type = 'p';
      break;
    case ModeType::kCharDevice:
      type = 'c';
      break;
    case ModeType::kBlockDevice:
      type = 'b';
      break;
    case ModeType::kSymlink:
      type = 'l';
      break;
    case ModeType::kSocket:
      type = 's';
      break;
  }
  // ModeText gives the type letter and nine permission places.
  return fmt::format("{}/{}{}", type, type, ModeText(mode).substr(1));
}

std::string BodyFileLine(const BodyFileEntry& entry) {
  const InodeFacts& f = entry.facts;
  return fmt::format("0|{}|{}|{}|{}|{}|{}|{}|{}|{}|0\n", entry.path, entry.inode,
                     BodyFileMode(f.mode), f.uid, f.gid, entry.size, f.atime, f.mtime, f.ctime);
}

}  // namespace tolvar::cli
