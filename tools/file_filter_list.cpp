#include "tools/file_filter_list.hpp"

#include <algorithm>
#include <cstring>

#include "tools/name_pattern.hpp"

namespace tolvar {

std::string_view FilterRefusalMessage(FilterRefusal refusal) {
  switch (refusal) {
    case FilterRefusal::kNone:
      return {};
    case FilterRefusal::kListFull:
      return "      You cannot add more Filters     ";
    case FilterRefusal::kTooLong:
      return "      Filter too long     ";
    case FilterRefusal::kBlank:
      return "      You can not add a blank entry.     ";
    case FilterRefusal::kDuplicate:
      return "      Filter already exists in the list     ";
  }
  return {};
}

FilterRefusal FileFilterList::CheckNewPattern(std::span<const std::string> listed,
                                              std::string_view text) {
  if (listed.size() >= static_cast<std::size_t>(kMaxPatterns)) return FilterRefusal::kListFull;
  if (text.size() > kMaxPatternLength) return FilterRefusal::kTooLong;
  if (text.empty()) return FilterRefusal::kBlank;
  if (std::ranges::find(listed, text) != listed.end()) return FilterRefusal::kDuplicate;
  return FilterRefusal::kNone;
}

void FileFilterList::Store(std::span<const std::string> patterns) {
  const std::size_t kept = std::min(patterns.size(), static_cast<std::size_t>(kMaxPatterns));
  for (std::size_t slot = 0; slot < kept; ++slot) {
    auto& entry = entries_[slot];
    entry.fill('\0');
    const std::size_t length = std::min(patterns[slot].size(), kMaxPatternLength);
    std::memcpy(entry.data(), patterns[slot].data(), length);
  }
  count_ = static_cast<std::int32_t>(kept);
}

std::string_view FileFilterList::Pattern(std::size_t slot) const {
  if (count_ <= 0 || slot >= static_cast<std::size_t>(count_) || slot >= kSlotCount) return {};
  const auto& entry = entries_[slot];
  // Every slot ends in a zero byte: Store never fills the last one.
  return {entry.data(), ::strnlen(entry.data(), kSlotBytes)};
}

std::vector<std::string> FileFilterList::Patterns() const {
  std::vector<std::string> patterns;
  for (std::size_t slot = 0; slot < static_cast<std::size_t>(std::max(count_, 0)); ++slot) {
    patterns.emplace_back(Pattern(slot));
  }
  return patterns;
}

bool FileFilterList::Passes(std::string_view fileName) const {
  if (count_ <= 0) return true;
  const std::string name = UpperCaseName(fileName);
  const std::size_t used = std::min(static_cast<std::size_t>(count_), kSlotCount);
  for (std::size_t slot = 0; slot < used; ++slot) {
    if (MatchNamePattern(name, UpperCaseName(Pattern(slot)))) return true;
  }
  return false;
}

}  // namespace tolvar
