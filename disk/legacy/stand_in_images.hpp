#pragma once

// The image list each stand-in legacy library keeps. The libraries' C call
// contract carries no context, so the list lives in the library itself; the
// loader fills it through attach_images32. Everything here has internal
// linkage so that the two libraries never share their lists.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#define TOLVAR_STAND_IN_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr std::uint64_t kStandInSectorSize = 512;
constexpr std::int32_t kFirstBiosDrive = 0x80;

struct StandInImage {
  int fd = -1;
  std::uint64_t length = 0;  // bytes
};

class StandInImages {
 public:
  StandInImages() = default;
  StandInImages(const StandInImages&) = delete;
  StandInImages& operator=(const StandInImages&) = delete;
  ~StandInImages() { Release(); }

  void Release() {
    for (auto& image : images_) ::close(image.fd);
    images_.clear();
  }

  // Opens every path read-only. Returns 0, or 1 + the index of the first
  // path that could not be opened (nothing stays attached then).
  int Attach(const char* const* paths, unsigned count) {
    Release();
    for (unsigned i = 0; i < count; ++i) {
      StandInImage image;
      if (paths != nullptr && paths[i] != nullptr) {
        image.fd = ::open(paths[i], O_RDONLY | O_CLOEXEC);
      }
      struct stat st {};
      if (image.fd < 0 || ::fstat(image.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (image.fd >= 0) ::close(image.fd);
        Release();
        return static_cast<int>(i) + 1;
      }
      image.length = static_cast<std::uint64_t>(st.st_size);
      images_.push_back(image);
    }
    return 0;
  }

  [[nodiscard]] std::size_t Count() const { return images_.size(); }

  [[nodiscard]] const StandInImage* ForBiosDrive(std::int32_t biosDrive) const {
    if (biosDrive < kFirstBiosDrive) return nullptr;
    const auto index = static_cast<std::size_t>(biosDrive - kFirstBiosDrive);
    return index < images_.size() ? &images_[index] : nullptr;
  }

 private:
  std::vector<StandInImage> images_;
};

StandInImages& Images() {
  static StandInImages images;
  return images;
}

}  // namespace
