#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "disk/block_device_source.hpp"

namespace tolvar::gui::testing {

// A drive that can hold a reader at one sector until the test lets it go.
class GatedSource final : public BlockDeviceSource {
 public:
  explicit GatedSource(std::unique_ptr<BlockDeviceSource> inner) : inner_(std::move(inner)) {}

  DeviceDescription Describe() const override { return inner_->Describe(); }
  std::uint64_t LengthBytes() const override { return inner_->LengthBytes(); }
  std::expected<void, Error> ReadAt(std::uint64_t offset, std::span<std::byte> out) override {
    {
      std::unique_lock lock(mutex_);
      const std::uint64_t gate = gateSector_.load();
      ++reads_;
      highestSector_ = std::max(highestSector_, (offset + out.size() + 511) / 512);
      const bool atSector = gate != 0 && offset <= gate * 512 && gate * 512 < offset + out.size();
      if (atSector || (holdAtRead_ != 0 && reads_ == holdAtRead_)) {
        holdAtRead_ = 0;
        gateSector_ = kReleasedOnly;
        held_ = true;
        changed_.notify_all();
        changed_.wait(lock, [this] { return gateSector_.load() == 0; });
      }
    }
    return inner_->ReadAt(offset, out);
  }

  // Holds the read that covers `sector`.
  void HoldAt(std::uint64_t sector) {
    const std::lock_guard lock(mutex_);
    held_ = false;
    gateSector_ = sector;
  }
  // Holds the `count`-th read from now.
  void HoldAtRead(std::uint64_t count) {
    const std::lock_guard lock(mutex_);
    held_ = false;
    holdAtRead_ = reads_ + count;
  }
  // The sector after the last one any read reached.
  std::uint64_t SectorsReached() {
    const std::lock_guard lock(mutex_);
    return highestSector_;
  }
  // Reads made so far.
  std::uint64_t Reads() {
    const std::lock_guard lock(mutex_);
    return reads_;
  }
  bool Held() {
    const std::lock_guard lock(mutex_);
    return held_;
  }
  void Release() {
    const std::lock_guard lock(mutex_);
    gateSector_ = 0;
    changed_.notify_all();
  }

 private:
  std::unique_ptr<BlockDeviceSource> inner_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::atomic<std::uint64_t> gateSector_{0};
  bool held_ = false;
  std::uint64_t reads_ = 0;
  std::uint64_t highestSector_ = 0;
  std::uint64_t holdAtRead_ = 0;
  // While a read is held the gate stays closed at a sector no read covers.
  static constexpr std::uint64_t kReleasedOnly = ~std::uint64_t{0} / 1024;
};

}  // namespace tolvar::gui::testing
