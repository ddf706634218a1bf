#include "disk/read_ahead_sectors.hpp"

#include <algorithm>
#include <cstring>

namespace tolvar {

namespace {

// The kernel copies into page-aligned memory fastest.
constexpr std::size_t kAlignment = 4096;

}  // namespace

ReadAheadSectors::ReadAheadSectors(SectorSource& lower, ReadAheadShape shape)
    : SectorSourceLayer(lower), shape_(shape) {
  shape_.windowSectors = std::max<std::uint32_t>(shape_.windowSectors, 1);
  windows_.resize(std::max<std::size_t>(shape_.windowsKept, 1));
}

void ReadAheadSectors::Aim(std::uint64_t first, std::uint64_t end) {
  aimFirst_ = first;
  aimEnd_ = std::max(first, end);
  Forget();
}

void ReadAheadSectors::Forget() {
  for (Window& window : windows_) window.count = 0;
  failedFirst_ = failedEnd_ = 0;
}

ReadAheadSectors::Window* ReadAheadSectors::Holding(std::uint64_t first, std::uint64_t count) {
  for (Window& window : windows_) {
    if (first >= window.first && first - window.first < window.count &&
        window.count - (first - window.first) >= count) {
      return &window;
    }
  }
  return nullptr;
}

std::span<const std::byte> ReadAheadSectors::Slice(Window& window, std::uint64_t first,
                                                   std::uint64_t count) {
  window.lastUse = ++uses_;
  return std::span<const std::byte>(window.bytes)
      .subspan((first - window.first) * kSectorSize, count * kSectorSize);
}

std::span<const std::byte> ReadAheadSectors::Held(std::uint64_t first, std::uint64_t count) {
  if (count == 0 || count > shape_.windowSectors) return {};
  if (Window* window = Holding(first, count)) {
    ++hits_;
    return Slice(*window, first, count);
  }
  const std::uint64_t end = std::min(aimEnd_, lower_.ReadAheadEnd());
  if (first < aimFirst_ || first >= end || end - first < count) return {};
  if (first >= failedFirst_ && first < failedEnd_) return {};
  std::uint64_t start = first - (first - aimFirst_) % shape_.windowSectors;
  // A request across the aligned window's end starts a window of its own.
  if (first + count > start + shape_.windowSectors) start = first;
  const std::uint64_t length = std::min<std::uint64_t>(shape_.windowSectors, end - start);

  Window& window =
      *std::min_element(windows_.begin(), windows_.end(),
                        [](const Window& a, const Window& b) { return a.lastUse < b.lastUse; });
  if (window.storage.empty()) {
    window.storage.resize(std::size_t{shape_.windowSectors} * kSectorSize + kAlignment);
    const auto address = reinterpret_cast<std::uintptr_t>(window.storage.data());
    const std::size_t skip = (kAlignment - address % kAlignment) % kAlignment;
    window.bytes = std::span<std::byte>(window.storage)
                       .subspan(skip, std::size_t{shape_.windowSectors} * kSectorSize);
  }
  window.count = 0;
  if (!lower_.Read(start, window.bytes.first(length * kSectorSize))) {
    failedFirst_ = start;
    failedEnd_ = start + length;
    return {};
  }
  ++windowsRead_;
  window.first = start;
  window.count = length;
  return Slice(window, first, count);
}

SectorReadResult ReadAheadSectors::Read(std::uint64_t first, std::span<std::byte> out) {
  const std::span<const std::byte> held = Held(first, out.size() / kSectorSize);
  if (held.empty()) return lower_.Read(first, out);
  std::memcpy(out.data(), held.data(), held.size());
  return {};
}

}  // namespace tolvar
