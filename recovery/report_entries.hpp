#pragma once

// The entries of a recovery report, in the order they were recorded. A run
// over a million files must not hold a million entries in memory: once a
// few MiB of them are gathered they are packed into an unnamed temporary
// file on the host and read back, one at a time and in order, when the
// report is written. Where no temporary file can be had they stay in memory.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <vector>

#include "recovery/report_entry.hpp"

namespace tolvar {

class ReportEntries {
 public:
  // Bytes of packed entries kept in memory before they go to the file.
  static constexpr std::size_t kDefaultMemoryBytes = std::size_t{4} << 20;

  explicit ReportEntries(std::size_t memoryBytes = kDefaultMemoryBytes);
  ~ReportEntries();
  ReportEntries(ReportEntries&& other) noexcept;
  ReportEntries& operator=(ReportEntries&& other) noexcept;
  ReportEntries(const ReportEntries& other);
  ReportEntries& operator=(const ReportEntries& other);

  void push_back(const ReportEntry& entry);
  [[nodiscard]] std::size_t size() const { return offsets_.size(); }
  [[nodiscard]] bool empty() const { return offsets_.empty(); }
  void clear();
  // A copy of entry `index`.
  [[nodiscard]] ReportEntry operator[](std::size_t index) const { return At(index, nullptr); }
  // Changes an entry already recorded (a folder found moved after its files
  // were written, say).
  void Amend(std::size_t index, const std::function<void(ReportEntry&)>& change);
  // Whether entries are kept in a file (for tests).
  [[nodiscard]] bool Spilled() const { return spilledBytes_ != 0; }

 private:
  // Bytes of the file read at once, and where they start.
  struct ReadWindow {
    std::uint64_t start = 0;
    std::vector<std::byte> bytes;
  };

 public:
  // Reads the entries front to back through a window of its own, so that a
  // spilled list costs one read per window, not one per entry.
  class Iterator {
   public:
    using iterator_category = std::input_iterator_tag;
    using value_type = ReportEntry;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = ReportEntry;

    Iterator() = default;
    [[nodiscard]] ReportEntry operator*() const { return owner_->At(index_, window_.get()); }
    Iterator& operator++() {
      ++index_;
      return *this;
    }
    void operator++(int) { ++index_; }
    [[nodiscard]] bool operator==(const Iterator& other) const { return index_ == other.index_; }

   private:
    friend class ReportEntries;
    Iterator(const ReportEntries* owner, std::size_t index)
        : owner_(owner),
          index_(index),
          window_(index < owner->size() ? std::make_shared<ReadWindow>() : nullptr) {}
    const ReportEntries* owner_ = nullptr;
    std::size_t index_ = 0;
    std::shared_ptr<ReadWindow> window_;
  };
  [[nodiscard]] Iterator begin() const { return {this, 0}; }
  [[nodiscard]] Iterator end() const { return {this, size()}; }

 private:
  // Entry `index`, read through `window` when it is in the file.
  [[nodiscard]] ReportEntry At(std::size_t index, ReadWindow* window) const;
  [[nodiscard]] std::uint64_t EndOf(std::size_t index) const;
  void Spill();

  std::size_t memoryBytes_;
  std::vector<std::uint64_t> offsets_;  // where each entry's bytes start
  std::vector<std::byte> tail_;         // the bytes not yet in the file
  std::uint64_t spilledBytes_ = 0;      // the bytes in the file
  int fd_ = -1;
  bool spillFailed_ = false;
  std::map<std::size_t, ReportEntry> amended_;
};

}  // namespace tolvar
