// Built with -mavx512f -mavx512vl; called only where the processor has them.
// Eight lanes as with AVX2, but each round function is one instruction and
// each rotation another, which shortens the chain every step waits on.
#include "recovery/md5_lanes_x86.hpp"

namespace tolvar::md5 {
namespace {

struct Avx512 {
  using V = __m256i;
  static V Add(V x, V y) { return _mm256_add_epi32(x, y); }
  static V Splat(std::uint32_t x) { return _mm256_set1_epi32(static_cast<int>(x)); }
  template <int Bits>
  static V Rotl(V x) {
    return _mm256_rol_epi32(x, Bits);
  }
  // Truth tables over (b, c, d) = (0xF0, 0xCC, 0xAA).
  template <int Round>
  static V Mix(V b, V c, V d) {
    if constexpr (Round == 0) return _mm256_ternarylogic_epi32(b, c, d, 0xCA);
    if constexpr (Round == 1) return _mm256_ternarylogic_epi32(b, c, d, 0xE4);
    if constexpr (Round == 2) return _mm256_ternarylogic_epi32(b, c, d, 0x96);
    if constexpr (Round == 3) return _mm256_ternarylogic_epi32(b, c, d, 0x39);
  }
};

}  // namespace

void CompressLanesAvx512(std::uint32_t (&state)[4][kLanes],
                         const unsigned char* const (&blocks)[kLanes], unsigned count) {
  CompressLanes<Avx512>(state, blocks, count);
}

}  // namespace tolvar::md5
