// Bit-level helpers shared by the encoders, the decoders and the recipe codec.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace tessel {

using u128 = unsigned __int128;

// The low `bits` bits set; all 64 for widths of 64 and more.
[[nodiscard]] constexpr std::uint64_t low_mask(std::uint32_t bits) noexcept {
  return bits >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << bits) - 1;
}

// Mirror image of the low `bits` bits (bit i moves to bit bits-1-i); higher bits are dropped.
// For widths above 64, bit i still moves to bit bits-1-i, and what lands at 64 or above is lost.
[[nodiscard]] constexpr std::uint64_t reverse_low_bits(std::uint64_t pattern, std::uint32_t bits) noexcept {
  if (bits == 0) return 0;
  std::uint64_t v = pattern;
  v = ((v >> 1) & 0x5555555555555555u) | ((v & 0x5555555555555555u) << 1);
  v = ((v >> 2) & 0x3333333333333333u) | ((v & 0x3333333333333333u) << 2);
  v = ((v >> 4) & 0x0F0F0F0F0F0F0F0Fu) | ((v & 0x0F0F0F0F0F0F0F0Fu) << 4);
  v = __builtin_bswap64(v);
  if (bits <= 64) return v >> (64 - bits);
  return bits - 64 >= 64 ? 0 : v << (bits - 64);
}

static_assert(reverse_low_bits(0b0011, 4) == 0b1100);
static_assert(reverse_low_bits(0xABC, 12) == 0x3D5);
static_assert(reverse_low_bits(1, 64) == 0x8000000000000000u);
static_assert(reverse_low_bits(0x100, 72) == 0x8000000000000000u);  // bit 8 of 72 moves to bit 63

// Eight bytes at `p` as one number, the byte at the lowest address most significant, and back.
// Packet bytes are big-endian whatever the host's order; the swap, where the host needs one, is
// chosen at compile time.
[[nodiscard]] inline std::uint64_t load_big64(const std::uint8_t* p) noexcept {
  std::uint64_t word;
  std::memcpy(&word, p, sizeof word);
  if constexpr (std::endian::native == std::endian::little) word = __builtin_bswap64(word);
  return word;
}

inline void store_big64(std::uint8_t* p, std::uint64_t word) noexcept {
  if constexpr (std::endian::native == std::endian::little) word = __builtin_bswap64(word);
  std::memcpy(p, &word, sizeof word);
}

// Magnitude of a signed value as an unsigned number (2^63 for the most negative value).
[[nodiscard]] constexpr std::uint64_t magnitude(std::int64_t value) noexcept {
  const auto pattern = static_cast<std::uint64_t>(value);
  return value < 0 ? ~pattern + 1 : pattern;
}

// binary64 to binary32: round to nearest, ties to even; overflow gives infinity of the sign.
// A NaN keeps its sign and the upper 22 payload bits and comes out quiet, on every platform.
[[nodiscard]] inline float narrow_to_binary32(double value) noexcept {
  const auto wide = std::bit_cast<std::uint64_t>(value);
  if ((wide & 0x7FF0000000000000u) == 0x7FF0000000000000u && (wide & 0x000FFFFFFFFFFFFFu) != 0) {
    const auto sign = static_cast<std::uint32_t>(wide >> 63) << 31;
    const auto payload = static_cast<std::uint32_t>((wide >> 29) & 0x003FFFFFu);
    return std::bit_cast<float>(sign | 0x7FC00000u | payload);
  }
  return static_cast<float>(value);
}

}  // namespace tessel
