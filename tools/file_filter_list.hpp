#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tolvar {

// Why a new filter pattern was refused, in the order the checks are made.
enum class FilterRefusal { kNone, kListFull, kTooLong, kBlank, kDuplicate };

// The message shown for a refusal (with the blanks that belong to it); empty
// for kNone.
[[nodiscard]] std::string_view FilterRefusalMessage(FilterRefusal refusal);

// The file filters of the browse list: up to 99 patterns of at most 19
// characters, kept as typed in 100 fixed slots. A file is listed when the
// list is empty or when its name matches at least one pattern; letter case
// never decides.
class FileFilterList {
 public:
  static constexpr std::size_t kSlotCount = 100;
  static constexpr std::size_t kSlotBytes = 20;
  static constexpr std::int32_t kMaxPatterns = 99;
  static constexpr std::size_t kMaxPatternLength = kSlotBytes - 1;

  // Whether `text` may join the patterns `listed` (compared exactly, case
  // counts): the list must hold fewer than 99, the text must be shorter than
  // 20 characters, not empty and not listed yet.
  [[nodiscard]] static FilterRefusal CheckNewPattern(std::span<const std::string> listed,
                                                     std::string_view text);

  // Replaces the patterns with `patterns`, slot 0 first. Patterns beyond the
  // 99th are dropped and each is cut to 19 characters, so the slots always
  // hold what the filter test uses.
  void Store(std::span<const std::string> patterns);
  // Forgets the patterns (the count returns to 0; the slots keep their bytes).
  void Reset() { count_ = 0; }

  [[nodiscard]] std::int32_t Count() const { return count_; }
  [[nodiscard]] std::string_view Pattern(std::size_t slot) const;  // empty past the count
  [[nodiscard]] std::vector<std::string> Patterns() const;

  // The filter test of the browse list for one file name.
  [[nodiscard]] bool Passes(std::string_view fileName) const;

 private:
  std::int32_t count_ = 0;
  std::array<std::array<char, kSlotBytes>, kSlotCount> entries_{};
};

}  // namespace tolvar
