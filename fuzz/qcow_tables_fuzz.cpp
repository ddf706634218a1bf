// The qcow header and cluster-table check over an arbitrary file.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>

#include "disk/qcow_tables.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tolvar;
  std::uint64_t bytesRead = 0;
  const std::string wrong = CheckQcowTables(
      [&](std::uint64_t offset, std::span<std::byte> out) {
        if (offset > size || out.size() > size - offset) std::abort();  // checked before reading
        if (!out.empty()) std::memcpy(out.data(), data + offset, out.size());
        bytesRead += out.size();
        return true;
      },
      size);
  // Every table is read once: the header twice at most, the L1 table, one
  // cluster per L2 table; nothing lets the check read far more than the file.
  if (bytesRead > 2 * static_cast<std::uint64_t>(size) + 256 + (4ull << 20)) std::abort();
  if (wrong.find('\n') != std::string::npos) std::abort();
  return 0;
}
