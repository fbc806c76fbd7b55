// windows-1252 as the WHATWG Encoding Standard indexes it, for the encoder and the decoder.
//
// Bytes 00..7F and A0..FF stand for the code points of the same value. Bytes 80..9F go through
// the index below (pointer = byte - 0x80). Unlike the vendor's own table, the index gives every
// byte a code point: the five bytes the vendor left undefined keep the C1 control of the same
// value. Everything else is derived from this one table.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "lanes.hpp"

namespace tessel::windows_1252 {

inline constexpr std::array<char16_t, 32> c1_to_ucs = {
    0x20AC,  // 80 EURO SIGN
    0x0081,  // 81 <control>, kept
    0x201A,  // 82 SINGLE LOW-9 QUOTATION MARK
    0x0192,  // 83 LATIN SMALL LETTER F WITH HOOK
    0x201E,  // 84 DOUBLE LOW-9 QUOTATION MARK
    0x2026,  // 85 HORIZONTAL ELLIPSIS
    0x2020,  // 86 DAGGER
    0x2021,  // 87 DOUBLE DAGGER
    0x02C6,  // 88 MODIFIER LETTER CIRCUMFLEX ACCENT
    0x2030,  // 89 PER MILLE SIGN
    0x0160,  // 8A LATIN CAPITAL LETTER S WITH CARON
    0x2039,  // 8B SINGLE LEFT-POINTING ANGLE QUOTATION MARK
    0x0152,  // 8C LATIN CAPITAL LIGATURE OE
    0x008D,  // 8D <control>, kept
    0x017D,  // 8E LATIN CAPITAL LETTER Z WITH CARON
    0x008F,  // 8F <control>, kept
    0x0090,  // 90 <control>, kept
    0x2018,  // 91 LEFT SINGLE QUOTATION MARK
    0x2019,  // 92 RIGHT SINGLE QUOTATION MARK
    0x201C,  // 93 LEFT DOUBLE QUOTATION MARK
    0x201D,  // 94 RIGHT DOUBLE QUOTATION MARK
    0x2022,  // 95 BULLET
    0x2013,  // 96 EN DASH
    0x2014,  // 97 EM DASH
    0x02DC,  // 98 SMALL TILDE
    0x2122,  // 99 TRADE MARK SIGN
    0x0161,  // 9A LATIN SMALL LETTER S WITH CARON
    0x203A,  // 9B SINGLE RIGHT-POINTING ANGLE QUOTATION MARK
    0x0153,  // 9C LATIN SMALL LIGATURE OE
    0x009D,  // 9D <control>, kept
    0x017E,  // 9E LATIN SMALL LETTER Z WITH CARON
    0x0178,  // 9F LATIN CAPITAL LETTER Y WITH DIAERESIS
};

// The C1 bytes whose index row is their own C1 control.
inline constexpr std::array<std::uint8_t, 5> kept_c1 = [] {
  std::array<std::uint8_t, 5> kept{};
  std::size_t count = 0;
  for (std::size_t pointer = 0; pointer < c1_to_ucs.size(); ++pointer) {
    if (c1_to_ucs[pointer] == 0x80 + pointer) kept[count++] = static_cast<std::uint8_t>(0x80 + pointer);
  }
  return kept;
}();

// A byte that stands for the code point of its own value: all but the 27 of 80..9F that the
// index sends above U+00FF. Text made only of these is the same in windows-1252 and ISO-8859-1.
// Comparisons only, so that loops over it run in vector lanes.
template <std::size_t... I>
[[nodiscard]] constexpr bool is_identity(std::uint8_t b, std::index_sequence<I...>) noexcept {
  return (static_cast<std::uint8_t>(b - 0x80) >= 0x20) | ((b == kept_c1[I]) | ...);
}

[[nodiscard]] constexpr bool is_identity(std::uint8_t b) noexcept {
  return is_identity(b, std::make_index_sequence<kept_c1.size()>{});
}

// Whether every byte stands for the code point of its own value, sixteen bytes at a time.
template <std::size_t... I>
[[nodiscard]] bool all_identity(const std::uint8_t* p, std::size_t n, std::index_sequence<I...>) noexcept {
  lanes::u8x16 refused{};
  bool refused_tail = false;
  lanes::for_blocks<16>(
      n,
      [&](std::size_t i) {
        const auto v = lanes::load<lanes::u8x16>(p + i);
        const auto c1 = lanes::as_lanes<lanes::u8x16>(static_cast<lanes::u8x16>(v - 0x80) < 0x20);
        const auto kept = lanes::as_lanes<lanes::u8x16>(((v == kept_c1[I]) | ...));
        refused |= c1 & ~kept;
      },
      [&](std::size_t i) { refused_tail = refused_tail || !is_identity(p[i]); });
  return !refused_tail && lanes::fold_or(refused) == 0;
}

[[nodiscard]] inline bool all_identity(const std::uint8_t* p, std::size_t n) noexcept {
  return all_identity(p, n, std::make_index_sequence<kept_c1.size()>{});
}

// Byte to code point, for all 256 bytes.
inline constexpr std::array<char16_t, 256> to_ucs = [] {
  std::array<char16_t, 256> table{};
  for (std::size_t b = 0; b < table.size(); ++b) {
    table[b] = b >= 0x80 && b < 0xA0 ? c1_to_ucs[b - 0x80] : static_cast<char16_t>(b);
  }
  return table;
}();

// Code point to byte, as pages of 256 code points: `page_of[c >> 8]` names the page that holds
// U+xx00..U+xxFF (0: none), and a page maps the low eight bits to the byte, 0 meaning no pointer.
// U+0000 never needs the table: code points below U+0080 are their own byte.
[[nodiscard]] constexpr std::size_t page_count() noexcept {
  std::array<bool, 256> seen{};
  std::size_t count = 0;
  for (std::size_t b = 0x80; b < to_ucs.size(); ++b) {
    if (!seen[to_ucs[b] >> 8]) ++count;
    seen[to_ucs[b] >> 8] = true;
  }
  return count;
}

struct EncodeIndex {
  std::array<std::uint8_t, 256> page_of{};
  std::array<std::array<std::uint8_t, 256>, page_count() + 1> pages{};  // pages[0]: no pointers
};

inline constexpr EncodeIndex from_ucs = [] {
  EncodeIndex index{};
  std::uint8_t used = 1;
  for (std::size_t b = 0x80; b < to_ucs.size(); ++b) {
    const char16_t c = to_ucs[b];
    std::uint8_t& page = index.page_of[c >> 8];
    if (page == 0) page = used++;
    index.pages[page][c & 0xFF] = static_cast<std::uint8_t>(b);
  }
  return index;
}();
static_assert(page_count() == 5);  // U+00xx, U+01xx, U+02xx, U+20xx, U+21xx

// The byte for code point `c`, or -1 when the index has no pointer for it.
[[nodiscard]] constexpr int to_byte(char32_t c) noexcept {
  if (c < 0x80) return static_cast<int>(c);
  if (c > 0xFFFF) return -1;
  const std::uint8_t byte = from_ucs.pages[from_ucs.page_of[c >> 8]][c & 0xFF];
  return byte == 0 ? -1 : byte;
}

static_assert(to_ucs[0x80] == 0x20AC && to_ucs[0x81] == 0x0081 && to_ucs[0x9F] == 0x0178 && to_ucs[0xE9] == 0xE9);
static_assert(to_byte(0x20AC) == 0x80 && to_byte(0x2122) == 0x99 && to_byte(0x0081) == 0x81);
static_assert(to_byte(0x0080) == -1 && to_byte(0x0151) == -1 && to_byte(0x00FF) == 0xFF && to_byte(0) == 0);
static_assert(kept_c1 == std::array<std::uint8_t, 5>{0x81, 0x8D, 0x8F, 0x90, 0x9D});
static_assert(is_identity(0x9D) && !is_identity(0x9E) && is_identity(0xA0) && !is_identity(0x80));

}  // namespace tessel::windows_1252
