// Fixed-width vector lanes for the bulk loops of the text codecs.
//
// GCC and Clang vector extensions: SSE2 on x86-64, NEON on AArch64, plain scalar code where a
// target has neither, with no intrinsics and no run-time dispatch. The compilers' own loop
// vectorizer gives up on a 32-bit byte swap without SSSE3, on flags kept as bool and on tests
// against a few constants, so the loops that carry most of the text say in lanes what they
// mean. Vectors are 16 bytes wide, one SSE2 or NEON register; a wider vector in a function
// signature would change the calling convention.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "unicode.hpp"

namespace tessel::lanes {

template <class T, std::size_t N>
using Vec [[gnu::vector_size(N * sizeof(T))]] = T;

using u8x16 = Vec<std::uint8_t, 16>;
using u16x8 = Vec<std::uint16_t, 8>;
using u32x4 = Vec<std::uint32_t, 4>;
using u64x2 = Vec<std::uint64_t, 2>;

template <class V>
[[nodiscard]] inline V load(const void* p) noexcept {
  V v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

template <class V>
inline void store(void* p, V v) noexcept {
  std::memcpy(p, &v, sizeof v);
}

// A comparison's signed lanes (0 or all ones) as lanes of `V`.
template <class V, class Mask>
[[nodiscard]] inline V as_lanes(Mask mask) noexcept {
  static_assert(sizeof(V) == sizeof(Mask));
  return reinterpret_cast<V>(mask);
}

// 16- or 32-bit code units between host order and `Order`; the same operation reads and writes.
template <unicode::ByteOrder Order, class V>
[[nodiscard]] inline V in_order(V v) noexcept {
  if constexpr (!unicode::kNative<Order>) {
    if constexpr (sizeof v[0] == 2) {
      v = (v << 8) | (v >> 8);
    } else {
      static_assert(sizeof v[0] == 4);
      v = ((v & 0x00FF00FFu) << 8) | ((v >> 8) & 0x00FF00FFu);
      v = (v << 16) | (v >> 16);
    }
  }
  return v;
}

// Lanes that hold a surrogate code point: all ones, else 0.
template <class V>
[[nodiscard]] inline V surrogate_lanes(V v) noexcept {
  using Unit = std::remove_cvref_t<decltype(v[0])>;
  return as_lanes<V>((v & static_cast<Unit>(~0x7FFu)) == 0xD800);
}

template <class V>
[[nodiscard]] inline auto fold_or(V v) noexcept {
  auto all = v[0];
  for (std::size_t i = 1; i < sizeof v / sizeof v[0]; ++i) all |= v[i];
  return all;
}

// Whether every lane of a comparison's result is all ones.
template <class Mask>
[[nodiscard]] inline bool all_set(Mask mask) noexcept {
  const auto words = as_lanes<u64x2>(mask);
  return (words[0] & words[1]) == ~std::uint64_t{0};
}

inline constexpr bool kLittleHost = std::endian::native == std::endian::little;

// The low 16 bits of each 32-bit lane, in order, as four units in the low half: three
// shuffles SSE2 has (pshuflw, pshufhw, pshufd), where a one-step narrowing would go lane by lane.
// A lane's low half is its first 16-bit unit on a little-endian host, its second on a big one.
[[nodiscard]] inline u32x4 narrow_16(u32x4 v) noexcept {
  const auto units = as_lanes<u16x8>(v);
  constexpr int low = kLittleHost ? 0 : 1, high = 1 - low;
  const auto halves = as_lanes<u32x4>(__builtin_shufflevector(units, units, low, 2 + low, high, 2 + high, 4 + low,
                                                              6 + low, 4 + high, 6 + high));
  return __builtin_shufflevector(halves, halves, 0, 2, 1, 3);
}

// 32-bit lanes ordered so that, seen as 64-bit lanes, each even lane is the low half of its
// pair: as they are on a little-endian host, swapped within each pair on a big-endian one.
[[nodiscard]] inline u32x4 low_first(u32x4 v) noexcept {
  if constexpr (kLittleHost) {
    return v;
  } else {
    return __builtin_shufflevector(v, v, 1, 0, 3, 2);
  }
}

// The low or high four 16-bit lanes, each widened to 32 bits (punpcklwd, punpckhwd with zero).
template <std::size_t First>
[[nodiscard]] inline u32x4 widen_16(u16x8 v) noexcept {
  constexpr std::uint16_t a = kLittleHost ? First : 8, b = kLittleHost ? 8 : First;  // value, then zero
  return as_lanes<u32x4>(__builtin_shufflevector(v, u16x8{}, a, b, a + 1, b + 1, a + 2, b + 2, a + 3, b + 3));
}
[[nodiscard]] inline u32x4 widen_low(u16x8 v) noexcept { return widen_16<0>(v); }
[[nodiscard]] inline u32x4 widen_high(u16x8 v) noexcept { return widen_16<4>(v); }

// `block(i)` for i = 0, N, 2N, ... while N items remain, then `one(i)` for each item left.
template <std::size_t N, class Block, class One>
inline void for_blocks(std::size_t n, Block&& block, One&& one) {
  std::size_t i = 0;
  for (; n - i >= N; i += N) block(i);
  for (; i < n; ++i) one(i);
}

}  // namespace tessel::lanes
