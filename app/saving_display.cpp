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
  written.push_back({entry.path, entry.inode, {entry.sha256, entry.md5}});
}

std::string DigestSummaryText(const std::vector<WrittenFileDigests>& written, bool reportWritten) {
  if (written.empty()) return {};
  if (written.size() == 1) {
    const FileDigests& one = written.front().digests;
    return fmt::format("SHA-256: {}\nMD5: {}", one.sha256, one.md5);
  }
  if (reportWritten) {
    return fmt::format("The SHA-256 and MD5 of the {} files written are in the report.",
                       written.size());
  }
  return fmt::format("The SHA-256 and MD5 of the {} files written are in the details.",
                     written.size());
}

std::string DigestListText(const std::vector<WrittenFileDigests>& written, std::size_t limit) {
  std::string text;
  const std::size_t shown = std::min(limit, written.size());
  for (std::size_t i = 0; i < shown; ++i) {
    const WrittenFileDigests& file = written[i];
    text += fmt::format("{}\n  SHA-256: {}\n  MD5: {}\n", file.path, file.digests.sha256,
                        file.digests.md5);
  }
  if (shown < written.size()) {
    text += fmt::format("... and {} more files: see the report.\n", written.size() - shown);
  }
  return text;
}

}  // namespace tolvar
