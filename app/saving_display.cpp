#include "app/saving_display.hpp"

#include <fmt/format.h>

#include <algorithm>

namespace tolvar {

void SavingDisplayObserver::EntryStarted(std::string_view hostFolder, std::string_view name,
                                         std::uint64_t number, std::uint64_t total) {
  display_.SetPath(hostFolder);
  display_.SetFileName(name);
  display_.SetCount(fmt::format("{} of {}", number, total));
}

void SavingDisplayObserver::EntryReported(const ReportEntry& entry) {
  if (entry.sha256.empty()) return;
  written.Add(entry.path, entry.inode, {entry.sha256, entry.md5});
}

std::string DigestSummaryText(const WrittenFiles& written, bool reportWritten) {
  if (written.count == 0 || written.listed.empty()) return {};
  if (written.count == 1) {
    const FileDigests& one = written.listed.front().digests;
    return fmt::format("SHA-256: {}\nMD5: {}", one.sha256, one.md5);
  }
  if (reportWritten) {
    return fmt::format("The SHA-256 and MD5 of the {} files written are in the report.",
                       written.count);
  }
  return fmt::format("The SHA-256 and MD5 of the {} files written are in the details.",
                     written.count);
}

std::string DigestListText(const WrittenFiles& written) {
  std::string text;
  for (const WrittenFileDigests& file : written.listed) {
    text += fmt::format("{}\n  SHA-256: {}\n  MD5: {}\n", file.path, file.digests.sha256,
                        file.digests.md5);
  }
  if (written.listed.size() < written.count) {
    text += fmt::format("... and {} more files: see the report.\n",
                        written.count - written.listed.size());
  }
  return text;
}

}  // namespace tolvar
