// Built with -mavx2; called only where the processor has it.
#include "recovery/md5_lanes_x86.hpp"

namespace tolvar::md5 {
namespace {

struct Avx2 {
  using V = __m256i;
  static V Add(V x, V y) { return _mm256_add_epi32(x, y); }
  static V Splat(std::uint32_t x) { return _mm256_set1_epi32(static_cast<int>(x)); }
  template <int Bits>
  static V Rotl(V x) {
    return _mm256_or_si256(_mm256_slli_epi32(x, Bits), _mm256_srli_epi32(x, 32 - Bits));
  }
  template <int Round>
  static V Mix(V b, V c, V d) {
    if constexpr (Round == 0)
      return _mm256_xor_si256(d, _mm256_and_si256(b, _mm256_xor_si256(c, d)));
    if constexpr (Round == 1)
      return _mm256_xor_si256(c, _mm256_and_si256(d, _mm256_xor_si256(b, c)));
    if constexpr (Round == 2) return _mm256_xor_si256(_mm256_xor_si256(b, c), d);
    if constexpr (Round == 3) {
      const V notD = _mm256_xor_si256(d, _mm256_set1_epi32(-1));
      return _mm256_xor_si256(c, _mm256_or_si256(b, notD));
    }
  }
};

}  // namespace

void CompressLanesAvx2(std::uint32_t (&state)[4][kLanes],
                       const unsigned char* const (&blocks)[kLanes], unsigned count) {
  CompressLanes<Avx2>(state, blocks, count);
}

}  // namespace tolvar::md5
