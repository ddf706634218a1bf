#pragma once

// Owning handles for the image libraries' objects. Each is released exactly
// once, also after a failed open: the libraries allocate on initialise and
// keep partial state after an open that fails half way, so a handle must be
// closed and freed whatever the open returned. Errors are never requested
// from the libraries (nullptr), so no error object needs freeing.

#include <libbfio.h>
#include <libewf.h>
#include <libqcow.h>
#include <libvhdi.h>
#include <libvmdk.h>

#include <utility>

namespace tolvar::image_detail {

// `Releaser` closes (when the type has a close) and frees one object; it is
// called only on a non-null pointer.
template <typename T, typename Releaser>
class LibraryHandle {
 public:
  LibraryHandle() = default;
  explicit LibraryHandle(T* owned) : handle_(owned) {}
  ~LibraryHandle() { Reset(); }
  LibraryHandle(LibraryHandle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  LibraryHandle& operator=(LibraryHandle&& other) noexcept {
    if (this != &other) {
      Reset();
      handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
  }
  LibraryHandle(const LibraryHandle&) = delete;
  LibraryHandle& operator=(const LibraryHandle&) = delete;

  [[nodiscard]] T* Get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }
  // For the libraries' initialise calls, which want a pointer to a null
  // pointer: whatever was held is released first.
  [[nodiscard]] T** Out() {
    Reset();
    return &handle_;
  }
  // Hands the object over (to a library call that takes ownership).
  [[nodiscard]] T* Release() { return std::exchange(handle_, nullptr); }
  void Reset() {
    if (handle_ != nullptr) {
      T* owned = std::exchange(handle_, nullptr);
      Releaser{}(owned);
    }
  }

 private:
  T* handle_ = nullptr;
};

// Closing a handle that never opened fails harmlessly inside the library.
struct ReleaseQcowFile {
  void operator()(libqcow_file_t* file) const {
    libqcow_file_close(file, nullptr);
    libqcow_file_free(&file, nullptr);
  }
};
struct ReleaseVhdiFile {
  void operator()(libvhdi_file_t* file) const {
    libvhdi_file_close(file, nullptr);
    libvhdi_file_free(&file, nullptr);
  }
};
struct ReleaseVmdkHandle {
  void operator()(libvmdk_handle_t* handle) const {
    libvmdk_handle_close(handle, nullptr);
    libvmdk_handle_free(&handle, nullptr);
  }
};
struct ReleaseVmdkExtentDescriptor {
  void operator()(libvmdk_extent_descriptor_t* extent) const {
    libvmdk_extent_descriptor_free(&extent, nullptr);
  }
};
struct ReleaseEwfHandle {
  void operator()(libewf_handle_t* handle) const {
    libewf_handle_close(handle, nullptr);
    libewf_handle_free(&handle, nullptr);
  }
};
struct ReleaseBfioHandle {
  void operator()(libbfio_handle_t* handle) const { libbfio_handle_free(&handle, nullptr); }
};
struct ReleaseBfioPool {
  void operator()(libbfio_pool_t* pool) const { libbfio_pool_free(&pool, nullptr); }
};

using QcowFile = LibraryHandle<libqcow_file_t, ReleaseQcowFile>;
using VhdiFile = LibraryHandle<libvhdi_file_t, ReleaseVhdiFile>;
using VmdkHandle = LibraryHandle<libvmdk_handle_t, ReleaseVmdkHandle>;
using VmdkExtentDescriptor =
    LibraryHandle<libvmdk_extent_descriptor_t, ReleaseVmdkExtentDescriptor>;
using EwfHandle = LibraryHandle<libewf_handle_t, ReleaseEwfHandle>;
using BfioHandle = LibraryHandle<libbfio_handle_t, ReleaseBfioHandle>;
using BfioPool = LibraryHandle<libbfio_pool_t, ReleaseBfioPool>;

}  // namespace tolvar::image_detail
