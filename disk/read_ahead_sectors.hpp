#pragma once

// Reads served from windows read ahead in one request each: one read of a
// few hundred KiB costs little more than one of 512 bytes. A window is read
// whole or not at all, so a window never holds anything a plain read would
// not give; when a window does not read, the request goes to the layer
// below as it was, and later requests inside that window do too, so that a
// bad area is not asked for again and again in large pieces.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "disk/sector_source.hpp"

namespace tolvar {

struct ReadAheadShape {
  std::uint32_t windowSectors = 32;
  std::size_t windowsKept = 1;  // the least recently used one is read over
};

class ReadAheadSectors final : public SectorSourceLayer {
 public:
  ReadAheadSectors(SectorSource& lower, ReadAheadShape shape);
  ReadAheadSectors(const ReadAheadSectors&) = delete;
  ReadAheadSectors& operator=(const ReadAheadSectors&) = delete;

  // Reads ahead only inside [first, end) (everywhere until aimed), windows
  // placed on whole multiples of the window length from `first` so that
  // requests a little out of order land in a window already read. Forgets
  // what was read.
  void Aim(std::uint64_t first, std::uint64_t end);
  // Drops every window (another volume, or another drive).
  void Forget();

  // The bytes of `count` sectors from `first` as a window holds them,
  // reading the window when needed; valid until the next call. Empty when
  // no window serves them: outside the aim, longer than a window, past
  // ReadAheadEnd(), or inside a window that did not read.
  [[nodiscard]] std::span<const std::byte> Held(std::uint64_t first, std::uint64_t count);

  [[nodiscard]] SectorReadResult Read(std::uint64_t first, std::span<std::byte> out) override;

  // Windows read whole so far, and requests served from one.
  [[nodiscard]] std::uint64_t WindowsRead() const { return windowsRead_; }
  [[nodiscard]] std::uint64_t Hits() const { return hits_; }

 private:
  struct Window {
    std::vector<std::byte> storage;  // a page more than the window, for alignment
    std::span<std::byte> bytes;
    std::uint64_t first = 0;
    std::uint64_t count = 0;
    std::uint64_t lastUse = 0;
  };
  [[nodiscard]] Window* Holding(std::uint64_t first, std::uint64_t count);
  [[nodiscard]] std::span<const std::byte> Slice(Window& window, std::uint64_t first,
                                                 std::uint64_t count);

  ReadAheadShape shape_;
  std::uint64_t aimFirst_ = 0;
  std::uint64_t aimEnd_ = ~std::uint64_t{0};
  std::vector<Window> windows_;
  std::uint64_t uses_ = 0;
  std::uint64_t failedFirst_ = 0;  // the last window that did not read
  std::uint64_t failedEnd_ = 0;
  std::uint64_t windowsRead_ = 0;
  std::uint64_t hits_ = 0;
};

}  // namespace tolvar
