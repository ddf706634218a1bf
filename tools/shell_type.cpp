#include "tools/shell_type.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <string>
#include <utility>

namespace tolvar {
namespace {

// Extensions in lower case, without the dot, sorted for binary search.
constexpr auto kTypes = std::to_array<std::pair<std::string_view, std::string_view>>({
    {"a", "Library Archive"},
    {"arj", "ARJ Archive"},
    {"asm", "Assembler Source File"},
    {"awk", "Awk Script"},
    {"bak", "Backup File"},
    {"bat", "Batch File"},
    {"bmp", "Bitmap Image"},
    {"c", "C Source File"},
    {"cc", "C++ Source File"},
    {"cfg", "Configuration File"},
    {"conf", "Configuration File"},
    {"cpio", "CPIO Archive"},
    {"cpp", "C++ Source File"},
    {"csv", "CSV File"},
    {"dat", "Data File"},
    {"db", "Database File"},
    {"dbf", "Database File"},
    {"dll", "Application Extension"},
    {"doc", "Word Processor Document"},
    {"exe", "Application"},
    {"gif", "GIF Image"},
    {"gz", "GZ Archive"},
    {"h", "C Header File"},
    {"hpp", "C++ Header File"},
    {"htm", "HTML Document"},
    {"html", "HTML Document"},
    {"ini", "Configuration Settings"},
    {"jpeg", "JPEG Image"},
    {"jpg", "JPEG Image"},
    {"log", "Text Document"},
    {"mk", "Makefile"},
    {"o", "Object File"},
    {"pdf", "PDF Document"},
    {"pl", "Perl Script"},
    {"png", "PNG Image"},
    {"ps", "PostScript Document"},
    {"py", "Python Script"},
    {"rtf", "Rich Text Document"},
    {"sh", "Shell Script"},
    {"so", "Shared Library"},
    {"sql", "SQL Script"},
    {"tar", "TAR Archive"},
    {"tgz", "TGZ Archive"},
    {"tif", "TIFF Image"},
    {"tiff", "TIFF Image"},
    {"tmp", "Temporary File"},
    {"txt", "Text Document"},
    {"wav", "Wave Sound"},
    {"xls", "Spreadsheet"},
    {"xml", "XML Document"},
    {"z", "Compressed File"},
    {"zip", "ZIP Archive"},
});

std::string LowerAscii(std::string_view text) {
  std::string lower(text);
  for (char& ch : lower) {
    if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
  }
  return lower;
}

}  // namespace

std::string_view ShellTypeName(std::string_view name, bool isFolder) {
  if (isFolder) return "Folder";
  const std::size_t dot = name.rfind('.');
  // No dot, a leading dot only (".profile") or a trailing dot: no extension.
  if (dot == std::string_view::npos || dot == 0 || dot + 1 == name.size()) {
    return kUnknownShellTypeName;
  }
  const std::string extension = LowerAscii(name.substr(dot + 1));
  const auto* found =
      std::lower_bound(kTypes.begin(), kTypes.end(), std::string_view(extension),
                       [](const auto& entry, std::string_view key) { return entry.first < key; });
  if (found != kTypes.end() && found->first == extension) return found->second;
  return kUnknownShellTypeName;
}

}  // namespace tolvar
