// Unicode forms shared by the text encoders and decoders: scalar values and surrogates, the
// storage classes of the interpreter's compact strings, the UTF-8 sequence rules, and 16- and
// 32-bit code units in a stated byte order.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace tessel::unicode {

inline constexpr char32_t kMaxCodePoint = 0x10FFFF;

// Surrogate code points (U+D800..U+DFFF) are not scalar values: UTF-16 spends them in pairs for
// the astral planes, UTF-8 and UTF-32 never carry them.
[[nodiscard]] constexpr bool is_surrogate(std::uint32_t c) noexcept { return (c & 0xFFFFF800u) == 0xD800u; }
[[nodiscard]] constexpr bool is_high_surrogate(std::uint32_t u) noexcept { return (u & 0xFFFFFC00u) == 0xD800u; }
[[nodiscard]] constexpr bool is_low_surrogate(std::uint32_t u) noexcept { return (u & 0xFFFFFC00u) == 0xDC00u; }
[[nodiscard]] constexpr char32_t from_surrogates(std::uint32_t high, std::uint32_t low) noexcept {
  return 0x10000 + ((high - 0xD800u) << 10) + (low - 0xDC00u);
}
[[nodiscard]] constexpr std::uint16_t high_surrogate(char32_t c) noexcept {
  return static_cast<std::uint16_t>(0xD7C0u + (c >> 10));  // 0xD800 + ((c - 0x10000) >> 10)
}
[[nodiscard]] constexpr std::uint16_t low_surrogate(char32_t c) noexcept {
  return static_cast<std::uint16_t>(0xDC00u + (c & 0x3FFu));
}
static_assert(high_surrogate(0x1F600) == 0xD83D && low_surrogate(0x1F600) == 0xDE00);
static_assert(from_surrogates(0xD83D, 0xDE00) == 0x1F600);
static_assert(from_surrogates(0xDBFF, 0xDFFF) == kMaxCodePoint);

// The interpreter stores a str one, two or four bytes per code point, by its largest code point,
// and the narrowest class that holds the text is the only valid one (a wider copy of the same
// text compares unequal). A decoder names the class by its largest member.
inline constexpr char32_t kAsciiMax = 0x7F;
inline constexpr char32_t kLatin1Max = 0xFF;
inline constexpr char32_t kBmpMax = 0xFFFF;

// The class of a text from the OR of all its code points: the class limits are powers of two,
// so the OR falls in the same class as the largest code point, and an OR is cheaper to gather.
[[nodiscard]] constexpr char32_t storage_class(std::uint32_t all) noexcept {
  return all <= kAsciiMax ? kAsciiMax : all <= kLatin1Max ? kLatin1Max : all <= kBmpMax ? kBmpMax : kMaxCodePoint;
}
static_assert(storage_class(0x41 | 0x3F) == kAsciiMax && storage_class(0x80) == kLatin1Max);
static_assert(storage_class(0x10FFFF | 0x0F0000) == kMaxCodePoint);

// A value whose range the optimizer may no longer see. Loops over randomly mixed text select
// between forms without a branch; given a 0-or-1 value, compilers like to split such a loop
// into two branches again, which mispredict on that same mix.
template <class T>
[[nodiscard]] inline T opaque(T value) noexcept {
  asm("" : "+r"(value));
  return value;
}

// ---------------------------------------------------------------------------------------------
// UTF-8 in the strict sense: shortest form only, no surrogates, nothing above U+10FFFF.

[[nodiscard]] constexpr bool is_continuation(std::uint8_t b) noexcept { return (b & 0xC0) == 0x80; }

// The length a lead byte announces; 0 for a byte that starts no sequence: a continuation byte
// (80..BF), an overlong two-byte lead (C0, C1) or a lead beyond U+10FFFF (F5..FF).
[[nodiscard]] constexpr std::size_t utf8_sequence_length(std::uint8_t lead) noexcept {
  if (lead < 0x80) return 1;
  if (lead < 0xC2) return 0;
  if (lead < 0xE0) return 2;
  if (lead < 0xF0) return 3;
  if (lead < 0xF5) return 4;
  return 0;
}

// The byte after a lead is a continuation byte, in a narrower range after four leads: E0 (no
// overlong three-byte form), ED (no surrogate), F0 (no overlong four-byte form) and F4 (nothing
// above U+10FFFF).
[[nodiscard]] constexpr bool utf8_second_byte_ok(std::uint8_t lead, std::uint8_t second) noexcept {
  switch (lead) {
    case 0xE0: return second >= 0xA0 && second <= 0xBF;
    case 0xED: return second >= 0x80 && second <= 0x9F;
    case 0xF0: return second >= 0x90 && second <= 0xBF;
    case 0xF4: return second >= 0x80 && second <= 0x8F;
    default: return is_continuation(second);
  }
}
static_assert(!utf8_second_byte_ok(0xE0, 0x9F) && utf8_second_byte_ok(0xE0, 0xA0));
static_assert(!utf8_second_byte_ok(0xED, 0xA0) && utf8_second_byte_ok(0xF4, 0x8F));

// Writes the UTF-8 form of scalar value `c` at `out`; returns the byte after it.
constexpr std::uint8_t* put_utf8(std::uint8_t* out, char32_t c) noexcept {
  if (c < 0x80) {
    *out++ = static_cast<std::uint8_t>(c);
  } else if (c < 0x800) {
    *out++ = static_cast<std::uint8_t>(0xC0 | (c >> 6));
    *out++ = static_cast<std::uint8_t>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    *out++ = static_cast<std::uint8_t>(0xE0 | (c >> 12));
    *out++ = static_cast<std::uint8_t>(0x80 | ((c >> 6) & 0x3F));
    *out++ = static_cast<std::uint8_t>(0x80 | (c & 0x3F));
  } else {
    *out++ = static_cast<std::uint8_t>(0xF0 | (c >> 18));
    *out++ = static_cast<std::uint8_t>(0x80 | ((c >> 12) & 0x3F));
    *out++ = static_cast<std::uint8_t>(0x80 | ((c >> 6) & 0x3F));
    *out++ = static_cast<std::uint8_t>(0x80 | (c & 0x3F));
  }
  return out;
}

// ---------------------------------------------------------------------------------------------
// 16- and 32-bit code units in a stated byte order, at any alignment.

enum class ByteOrder : std::uint8_t { big, little };

template <ByteOrder Order>
inline constexpr bool kNative = (Order == ByteOrder::little) == (std::endian::native == std::endian::little);

// The bytes of a 16-, 32- or 64-bit unit in the other order.
template <class Raw>
[[nodiscard]] constexpr Raw swap_bytes(Raw v) noexcept {
  if constexpr (sizeof(Raw) == 2) {
    return static_cast<Raw>(__builtin_bswap16(v));
  } else if constexpr (sizeof(Raw) == 4) {
    return static_cast<Raw>(__builtin_bswap32(v));
  } else {
    static_assert(sizeof(Raw) == 8);
    return static_cast<Raw>(__builtin_bswap64(v));
  }
}

// The unit of type Raw that holds code point `c` in `Order`, and back: the value of a unit in
// `Order` that is known to fit in Char. Swapping the bytes of a value known to be narrower than
// its unit is a shift, and shifts vectorize where a whole byte swap may not.
template <ByteOrder Order, class Raw, class Char>
[[nodiscard]] constexpr Raw to_order(Char c) noexcept {
  static_assert(sizeof(Char) <= sizeof(Raw));
  const auto v = static_cast<Raw>(c);
  if constexpr (kNative<Order>) {
    return v;
  } else if constexpr (sizeof(Char) == 1) {
    return static_cast<Raw>(v << (8 * (sizeof(Raw) - 1)));
  } else if constexpr (sizeof(Char) == 2 && sizeof(Raw) == 4) {
    return ((v & 0xFF) << 24) | ((v & 0xFF00) << 8);
  } else {
    return swap_bytes(v);
  }
}

template <ByteOrder Order, class Char, class Raw>
[[nodiscard]] constexpr Char from_order(Raw raw) noexcept {
  static_assert(sizeof(Char) <= sizeof(Raw));
  if constexpr (kNative<Order>) {
    return static_cast<Char>(raw);
  } else if constexpr (sizeof(Char) == 1) {
    return static_cast<Char>(raw >> (8 * (sizeof(Raw) - 1)));
  } else if constexpr (sizeof(Char) == 2 && sizeof(Raw) == 4) {
    return static_cast<Char>(((raw >> 24) & 0xFF) | ((raw >> 8) & 0xFF00));
  } else {
    return static_cast<Char>(swap_bytes(raw));
  }
}

static_assert(to_order<ByteOrder::big, std::uint32_t>(std::uint8_t{0x41}) == (kNative<ByteOrder::big> ? 0x41u : 0x41000000u));
static_assert(from_order<ByteOrder::big, std::uint16_t>(to_order<ByteOrder::big, std::uint32_t>(std::uint16_t{0x20AC})) == 0x20AC);
static_assert(from_order<ByteOrder::little, std::uint8_t>(to_order<ByteOrder::little, std::uint16_t>(std::uint8_t{0xE9})) == 0xE9);
static_assert(to_order<ByteOrder::big, std::uint64_t>(std::uint64_t{0x0102030405060708}) ==
              (kNative<ByteOrder::big> ? 0x0102030405060708u : 0x0807060504030201u));
static_assert(from_order<ByteOrder::little, std::uint32_t>(to_order<ByteOrder::little, std::uint64_t>(0x10FFFFu)) == 0x10FFFF);

template <class Raw>
[[nodiscard]] inline Raw load_raw(const std::uint8_t* p) noexcept {
  Raw raw;
  std::memcpy(&raw, p, sizeof raw);
  return raw;
}

template <class Raw>
inline void store_raw(std::uint8_t* p, Raw raw) noexcept {
  std::memcpy(p, &raw, sizeof raw);
}

template <ByteOrder Order>
[[nodiscard]] inline std::uint16_t load16(const std::uint8_t* p) noexcept {
  std::uint16_t u;
  std::memcpy(&u, p, sizeof u);
  if constexpr (!kNative<Order>) u = swap_bytes(u);
  return u;
}

template <ByteOrder Order>
[[nodiscard]] inline std::uint32_t load32(const std::uint8_t* p) noexcept {
  std::uint32_t u;
  std::memcpy(&u, p, sizeof u);
  if constexpr (!kNative<Order>) u = swap_bytes(u);
  return u;
}

template <ByteOrder Order>
inline void store16(std::uint8_t* p, std::uint16_t u) noexcept {
  if constexpr (!kNative<Order>) u = swap_bytes(u);
  std::memcpy(p, &u, sizeof u);
}

template <ByteOrder Order>
inline void store32(std::uint8_t* p, std::uint32_t u) noexcept {
  if constexpr (!kNative<Order>) u = swap_bytes(u);
  std::memcpy(p, &u, sizeof u);
}

// ---------------------------------------------------------------------------------------------
// Whole-text scans. Flags and partial counts are kept as wide as the units and combined without an
// early exit, which is what lets compilers run these loops in vector lanes.

// 1 for a surrogate code point, else 0, in the unit's own width.
template <class Unit>
[[nodiscard]] constexpr Unit surrogate_bit(Unit c) noexcept {
  if constexpr (sizeof(Unit) == 1) {
    return 0;
  } else {
    return static_cast<Unit>(static_cast<Unit>(c & static_cast<Unit>(~0x7FFu)) == 0xD800);
  }
}

// Whether any of the code points is a surrogate.
template <class Unit>
[[nodiscard]] bool any_surrogate(const Unit* units, std::size_t n) noexcept {
  Unit found = 0;
  for (std::size_t i = 0; i < n; ++i) found |= surrogate_bit(units[i]);
  return found != 0;
}

// The sum of `count(i)` for i below n, each count 0 or 1, gathered in partial sums of type
// Partial that are emptied before they could overflow.
template <class Partial, class Count>
[[nodiscard]] std::size_t count_where(std::size_t n, Count count) noexcept {
  // A whole number of vector blocks, so no chunk ends in a scalar remainder.
  constexpr std::size_t kChunk = static_cast<Partial>(~Partial{0}) & ~std::size_t{63};
  std::size_t total = 0;
  for (std::size_t start = 0; start < n; start += kChunk) {
    const std::size_t end = n - start < kChunk ? n : start + kChunk;
    Partial partial = 0;
    for (std::size_t i = start; i < end; ++i) partial = static_cast<Partial>(partial + count(i));
    total += partial;
  }
  return total;
}

}  // namespace tessel::unicode
