#pragma once

// Lines of a body file in the format of The Sleuth Kit 3, which its
// `mactime` turns into a timeline:
// MD5|name|inode|mode_as_string|UID|GID|size|atime|mtime|ctime|crtime

#include <cstdint>
#include <string>
#include <string_view>

#include "recovery/report.hpp"

namespace tolvar::cli {

struct BodyFileEntry {
  std::string path;  // from the volume's root, "/" first, names already escaped
  std::uint32_t inode = 0;
  std::uint64_t size = 0;
  InodeFacts facts;
};

// One name of a path as the other commands print names (TerminalSafe), with
// "|" (the field separator) and "/" (the path separator) escaped as \x7C and
// \x2F, which cannot be mistaken for a name's own bytes since a backslash is
// printed as \\.
[[nodiscard]] std::string BodyFileName(std::string_view raw);

// "r/rrw-r--r--": the entry's type as a name and as an inode would give it,
// then the permissions.
[[nodiscard]] std::string BodyFileMode(std::uint16_t mode);

// One line, ending in a newline. The MD5 is "0" (not computed) and so is the
// creation time, which the volume does not store.
[[nodiscard]] std::string BodyFileLine(const BodyFileEntry& entry);

}  // namespace tolvar::cli
