#pragma once

// Loads eight messages' blocks as sixteen vectors of words (word w of every
// lane in vector w) and runs them through the rounds; shared by the AVX2 and
// AVX-512 builds of the kernel, which differ only in `Ops`.

#include <immintrin.h>

#include "recovery/md5_rounds.hpp"

namespace tolvar::md5 {

// Rows are lanes, columns words: afterwards rows are words, columns lanes.
inline void Transpose8(__m256i (&r)[8]) {
  const __m256i t0 = _mm256_unpacklo_epi32(r[0], r[1]), t1 = _mm256_unpackhi_epi32(r[0], r[1]);
  const __m256i t2 = _mm256_unpacklo_epi32(r[2], r[3]), t3 = _mm256_unpackhi_epi32(r[2], r[3]);
  const __m256i t4 = _mm256_unpacklo_epi32(r[4], r[5]), t5 = _mm256_unpackhi_epi32(r[4], r[5]);
  const __m256i t6 = _mm256_unpacklo_epi32(r[6], r[7]), t7 = _mm256_unpackhi_epi32(r[6], r[7]);
  const __m256i u0 = _mm256_unpacklo_epi64(t0, t2), u1 = _mm256_unpackhi_epi64(t0, t2);
  const __m256i u2 = _mm256_unpacklo_epi64(t1, t3), u3 = _mm256_unpackhi_epi64(t1, t3);
  const __m256i u4 = _mm256_unpacklo_epi64(t4, t6), u5 = _mm256_unpackhi_epi64(t4, t6);
  const __m256i u6 = _mm256_unpacklo_epi64(t5, t7), u7 = _mm256_unpackhi_epi64(t5, t7);
  r[0] = _mm256_permute2x128_si256(u0, u4, 0x20);
  r[1] = _mm256_permute2x128_si256(u1, u5, 0x20);
  r[2] = _mm256_permute2x128_si256(u2, u6, 0x20);
  r[3] = _mm256_permute2x128_si256(u3, u7, 0x20);
  r[4] = _mm256_permute2x128_si256(u0, u4, 0x31);
  r[5] = _mm256_permute2x128_si256(u1, u5, 0x31);
  r[6] = _mm256_permute2x128_si256(u2, u6, 0x31);
  r[7] = _mm256_permute2x128_si256(u3, u7, 0x31);
}

template <class Ops>
inline void CompressLanes(std::uint32_t (&state)[4][kLanes],
                          const unsigned char* const (&blocks)[kLanes], unsigned count) {
  __m256i h[4];
  for (int w = 0; w < 4; ++w) h[w] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(state[w]));
  for (unsigned n = 0; n < count; ++n) {
    __m256i low[8], high[8];
    for (int lane = 0; lane < kLanes; ++lane) {
      const unsigned char* block = blocks[lane] + static_cast<unsigned long>(n) * 64;
      low[lane] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block));
      high[lane] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block + 32));
    }
    Transpose8(low);
    Transpose8(high);
    __m256i words[16];
    for (int w = 0; w < 8; ++w) {
      words[w] = low[w];
      words[w + 8] = high[w];
    }
    CompressBlock<Ops>(h, words);
  }
  for (int w = 0; w < 4; ++w) _mm256_storeu_si256(reinterpret_cast<__m256i*>(state[w]), h[w]);
}

}  // namespace tolvar::md5
