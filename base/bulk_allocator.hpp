#pragma once

// An allocator for the few vectors that grow to millions of records (a
// mount's file and folder lists). Large blocks are mapped directly and marked
// for huge pages, so that filling them costs one page fault per 2 MiB instead
// of one per 4 KiB; small ones come from the ordinary heap. Both throw
// std::bad_alloc when memory runs out, as std::allocator does.

#include <sys/mman.h>

#include <cstddef>
#include <new>

namespace tolvar {

template <typename T>
class BulkAllocator {
 public:
  using value_type = T;

  BulkAllocator() noexcept = default;
  template <typename U>
  explicit BulkAllocator(const BulkAllocator<U>& /*other*/) noexcept {}

  [[nodiscard]] T* allocate(std::size_t count) {
    if (count > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
    const std::size_t bytes = count * sizeof(T);
    if (bytes < kMappedBytes) return static_cast<T*>(::operator new(bytes, std::align_val_t{alignof(T)}));
    void* block = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED) throw std::bad_alloc();
    (void)::madvise(block, bytes, MADV_HUGEPAGE);  // a hint; ordinary pages where refused
    return static_cast<T*>(block);
  }

  void deallocate(T* block, std::size_t count) noexcept {
    const std::size_t bytes = count * sizeof(T);
    if (bytes < kMappedBytes) {
      ::operator delete(block, std::align_val_t{alignof(T)});
      return;
    }
    (void)::munmap(block, bytes);
  }

  template <typename U>
  friend bool operator==(const BulkAllocator&, const BulkAllocator<U>&) noexcept {
    return true;
  }

 private:
  static constexpr std::size_t kMappedBytes = std::size_t{4} << 20;
};

}  // namespace tolvar
