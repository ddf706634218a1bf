#pragma once

// The 64 steps of MD5's compression function, written once over a type of
// "words" that may be one 32-bit word or a vector of them (one message per
// lane). Free of the standard library: the vector kernels that include it
// are built for other instruction sets, and must not lend the rest of the
// program an inline function compiled for those.

#include <cstdint>

namespace tolvar::md5 {

inline constexpr std::uint32_t kInitialState[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};

inline constexpr std::uint32_t kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};

inline constexpr int kShift[16] = {7, 12, 17, 22, 5, 9, 14, 20, 4, 11, 16, 23, 6, 10, 15, 21};

// The message word step `i` adds.
constexpr int WordOf(int i) {
  switch (i / 16) {
    case 0:
      return i;
    case 1:
      return (5 * i + 1) % 16;
    case 2:
      return (3 * i + 5) % 16;
    default:
      return (7 * i) % 16;
  }
}

// `Ops` gives the word type V and Add, Splat, Rotl<bits>, Mix<round>(b, c, d).
template <class Ops, int I>
inline void Step(typename Ops::V& a, typename Ops::V b, typename Ops::V c, typename Ops::V d,
                 const typename Ops::V* words) {
  using V = typename Ops::V;
  const V sum = Ops::Add(Ops::Add(a, Ops::template Mix<I / 16>(b, c, d)),
                         Ops::Add(Ops::Splat(kSine[I]), words[WordOf(I)]));
  a = Ops::Add(b, Ops::template Rotl<kShift[(I / 16) * 4 + I % 4]>(sum));
}

template <class Ops, int I>
inline void Steps(typename Ops::V& a, typename Ops::V& b, typename Ops::V& c, typename Ops::V& d,
                  const typename Ops::V* words) {
  if constexpr (I < 64) {
    // The four words take turns being the one a step changes.
    if constexpr (I % 4 == 0) Step<Ops, I>(a, b, c, d, words);
    if constexpr (I % 4 == 1) Step<Ops, I>(d, a, b, c, words);
    if constexpr (I % 4 == 2) Step<Ops, I>(c, d, a, b, words);
    if constexpr (I % 4 == 3) Step<Ops, I>(b, c, d, a, words);
    Steps<Ops, I + 1>(a, b, c, d, words);
  }
}

// One 64-byte block, as sixteen words, into `state`.
template <class Ops>
inline void CompressBlock(typename Ops::V (&state)[4], const typename Ops::V (&words)[16]) {
  typename Ops::V a = state[0], b = state[1], c = state[2], d = state[3];
  Steps<Ops, 0>(a, b, c, d, words);
  state[0] = Ops::Add(state[0], a);
  state[1] = Ops::Add(state[1], b);
  state[2] = Ops::Add(state[2], c);
  state[3] = Ops::Add(state[3], d);
}

inline constexpr int kLanes = 8;

// `count` blocks of each of eight messages: lane l reads its blocks from
// blocks[l] on; state[w][l] is word w of lane l's state. Built only where
// the processor family has the instructions; ask before calling.
void CompressLanesAvx2(std::uint32_t (&state)[4][kLanes],
                       const unsigned char* const (&blocks)[kLanes], unsigned count);
void CompressLanesAvx512(std::uint32_t (&state)[4][kLanes],
                         const unsigned char* const (&blocks)[kLanes], unsigned count);

}  // namespace tolvar::md5
