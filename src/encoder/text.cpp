// Text to bytes: UTF-8, UTF-16, UTF-32, US-ASCII, ISO-8859-1 and windows-1252.
//
// The text is the interpreter's compact str, read in place one, two or four bytes per code point.
// Each encoder asks the sink for its output once and writes it in one pass: sized exactly where
// that is cheap, else for the worst case and trimmed after.
//
// A str can hold surrogate code points, which none of these encodings carries. The interpreter's
// own UTF-8 conversion of the argument refuses them, and in the module's model that conversion
// runs before any codec, so an encoder that meets a surrogate reports lone_surrogate, and that
// report wins over the encoder's own refusals wherever the surrogate stands in the text.
#include <bit>
#include <cstring>
#include <span>
#include <string_view>

#include "encoder/encoder.hpp"
#include "lanes.hpp"
#include "unicode.hpp"
#include "windows_1252.hpp"

namespace tessel::encoder {

namespace {

using unicode::ByteOrder;

// Calls `encode` with the code points as a span of the str's own storage units.
template <class Encode>
Result<void> visit(TextView text, Encode&& encode) noexcept {
  switch (text.width) {
    case 1: return encode(std::span(static_cast<const std::uint8_t*>(text.data), text.length));
    case 2: return encode(std::span(static_cast<const std::uint16_t*>(text.data), text.length));
    default: return encode(std::span(static_cast<const std::uint32_t*>(text.data), text.length));
  }
}

[[nodiscard]] Unexpected lone_surrogate() noexcept { return Unexpected(CodecError(ErrorKind::lone_surrogate)); }

// A surrogate at or after `at` wins over a refusal there.
template <class Unit>
[[nodiscard]] bool surrogate_from(std::span<const Unit> units, std::size_t at) noexcept {
  return unicode::any_surrogate(units.data() + at, units.size() - at);
}

// Text whose code points are all below U+0100 and stored one byte each: its bytes as they are.
Result<void> copy_bytes(TextView text, ByteSink& out) noexcept {
  std::uint8_t* dst = out.allocate(text.length);
  if (dst == nullptr) return raised();
  if (text.length != 0) std::memcpy(dst, text.data, text.length);
  return {};
}

// The single-byte charsets stop at their first unencodable code point. Code points before it are
// encodable, so not surrogates; a surrogate at or after it still wins.
template <class Unit>
[[gnu::cold, gnu::noinline]] Unexpected refuse_character(std::span<const Unit> units, std::size_t at,
                                                         std::string_view charset) noexcept {
  if (surrogate_from(units, at)) return lone_surrogate();
  const char32_t c = units[at];
  std::uint8_t utf8[4];
  const std::uint8_t* end = unicode::put_utf8(utf8, c);
  const std::string_view character(reinterpret_cast<const char*>(utf8), static_cast<std::size_t>(end - utf8));
  return value_error("Character '", character, "' (U+", Hex{c, 4}, ") is not valid ",
                     charset);
}

// US-ASCII and ISO-8859-1 as one byte per code point, up to `limit`. The fast paths of the
// callers copy text that cannot fail; this loop serves text that holds a code point above the
// limit (and a str stored wider than it needs, which the interpreter does not make).
template <class Unit>
Result<void> encode_up_to(std::span<const Unit> units, char32_t limit, std::string_view charset,
                          ByteSink& out) noexcept {
  for (std::size_t i = 0; i < units.size(); ++i) {
    if (units[i] > limit) return refuse_character(units, i, charset);
  }
  std::uint8_t* dst = out.allocate(units.size());
  if (dst == nullptr) return raised();
  for (std::size_t i = 0; i < units.size(); ++i) dst[i] = static_cast<std::uint8_t>(units[i]);
  return {};
}

// ---------------------------------------------------------------------------------------------
// UTF-8

// The UTF-8 sequence of code point `c` (at or above U+0080) packed into a word, lead byte lowest,
// and its length. The word holds all four payload groups of the longest form, lead group lowest;
// a shorter form is the same word shifted down past its empty groups, with its own marker bits.
struct Utf8Word {
  std::uint32_t bytes;
  std::uint32_t length;
};

[[nodiscard]] inline Utf8Word utf8_word(std::uint32_t c) noexcept {
  struct Form {
    std::uint32_t shift;
    std::uint32_t marker;
  };
  static constexpr Form kForms[5] = {{}, {}, {16, 0x80C0}, {8, 0x8080E0}, {0, 0x808080F0}};
  const std::uint32_t length = unicode::opaque<std::uint32_t>(2 + (c >= 0x800) + (c >= 0x10000));
  const std::uint32_t groups = (c >> 18) | ((c >> 4) & 0x3F00) | ((c << 10) & 0x3F0000) | ((c & 0x3F) << 24);
  return {(groups >> kForms[length].shift) | kForms[length].marker, length};
}

template <class Unit>
Result<void> encode_utf8_units(std::span<const Unit> units, ByteSink& out) noexcept {
  const Unit* src = units.data();
  const std::size_t n = units.size();
  // Latin-1 text is sized exactly: a byte more for each code point from U+0080, counted in byte
  // lanes. Wider text takes its worst case (three bytes a BMP code point, four an astral one)
  // and is trimmed after; a census would cost a quarter of the encoding itself.
  std::size_t capacity = n * (sizeof(Unit) == 1 ? 1 : sizeof(Unit) == 2 ? 3 : 4);
  if constexpr (sizeof(Unit) == 1) {
    capacity += unicode::count_where<std::uint8_t>(n, [&](std::size_t i) { return static_cast<std::uint8_t>(src[i] >> 7); });
  }
  std::uint8_t* const begin = out.allocate(capacity);
  if (begin == nullptr) return raised();
  std::uint8_t* dst = begin;
  bool surrogate = false;
  std::size_t i = 0;
  // A sequence goes out as one 16- or 32-bit store that may spill past its end; the spill lands
  // in the room of the code points still to come, at least one byte each, which overwrite it.
  // So whole stores are safe while four code points remain.
  for (; n - i >= 4; ++i) {
    const std::uint32_t c = src[i];
    if (c < 0x80) {
      *dst++ = static_cast<std::uint8_t>(c);
    } else if constexpr (sizeof(Unit) == 4) {
      // Astral text mixes two-, three- and four-byte sequences at random; one branch-free form
      // for all of them beats a branch per length.
      surrogate |= unicode::is_surrogate(c);
      const Utf8Word word = utf8_word(c);
      unicode::store32<ByteOrder::little>(dst, word.bytes);
      dst += word.length;
    } else if (sizeof(Unit) == 1 || c < 0x800) {
      unicode::store16<ByteOrder::little>(dst, static_cast<std::uint16_t>((0xC0 | c >> 6) | (0x80 | (c & 0x3F)) << 8));
      dst += 2;
    } else if (n - i >= 5 && src[i + 1] >= 0x800) {
      // A run of three-byte code points (CJK text is little else): four at a time, each
      // sequence made in its lane, the four packed into twelve bytes in two 64-bit stores whose
      // spill of two bytes lands in the room of the fifth code point or later. A block that holds
      // a code point below U+0800 or a surrogate is left to the step below.
      const std::size_t start = i;
      do {
        const lanes::u32x4 v = {src[i], src[i + 1], src[i + 2], src[i + 3]};
        const lanes::u32x4 top = v >> 11;
        if (!lanes::all_set(lanes::as_lanes<lanes::u32x4>((top != 0u) & (top != 0x1Bu)))) break;
        const lanes::u32x4 words = (v >> 12) | ((v >> 6) & 0x3Fu) << 8 | (v & 0x3Fu) << 16 | 0x8080E0u;
        // Two lanes of three bytes each into six bytes of a 64-bit word, in little-endian order:
        // the first lane of each pair the word's low half, whatever the host's order.
        const auto pairs = lanes::as_lanes<lanes::u64x2>(lanes::low_first(words));
        const auto packed = (pairs & 0xFFFFFFu) | ((pairs >> 8) & 0xFFFFFF000000u);
        unicode::store_raw(dst, unicode::to_order<ByteOrder::little, std::uint64_t>(packed[0]));
        unicode::store_raw(dst + 6, unicode::to_order<ByteOrder::little, std::uint64_t>(packed[1]));
        dst += 12;
        i += 4;
      } while (n - i >= 5);
      if (i != start) {
        --i;  // the loop steps on by one
        continue;
      }
      surrogate |= unicode::is_surrogate(c);
      unicode::store32<ByteOrder::little>(
          dst, (0xE0 | c >> 12) | (0x80 | ((c >> 6) & 0x3F)) << 8 | (0x80 | (c & 0x3F)) << 16);
      dst += 3;
    } else {
      surrogate |= unicode::is_surrogate(c);
      unicode::store32<ByteOrder::little>(
          dst, (0xE0 | c >> 12) | (0x80 | ((c >> 6) & 0x3F)) << 8 | (0x80 | (c & 0x3F)) << 16);
      dst += 3;
    }
  }
  for (; i < n; ++i) {
    surrogate |= unicode::is_surrogate(src[i]);
    dst = unicode::put_utf8(dst, src[i]);
  }
  if (surrogate) return lone_surrogate();
  const auto size = static_cast<std::size_t>(dst - begin);
  if (size != capacity && !out.shrink(size)) return raised();
  return {};
}

// ---------------------------------------------------------------------------------------------
// UTF-16 and UTF-32. The forms with a byte-order mark write U+FEFF big-endian, then the text
// exactly as the big-endian form does.

template <ByteOrder Order, bool Mark, class Unit>
Result<void> encode_utf16_units(std::span<const Unit> units, ByteSink& out) noexcept {
  constexpr std::size_t kMark = Mark ? 2 : 0;
  const Unit* src = units.data();
  const std::size_t n = units.size();
  // Text stored four bytes a code point is astral; it takes its worst case, a surrogate pair
  // each, and is trimmed after: counting the pairs first would cost a fifth of the encoding.
  const std::size_t capacity = kMark + (sizeof(Unit) == 4 ? 4 : 2) * n;
  std::uint8_t* const begin = out.allocate(capacity);
  if (begin == nullptr) return raised();
  if constexpr (Mark) unicode::store16<Order>(begin, 0xFEFF);
  std::uint8_t* dst = begin + kMark;
  // Checked for surrogates on the way; the bytes written are dropped if the text holds one.
  Unit surrogate = 0;

  if constexpr (sizeof(Unit) < 4) {
    std::size_t i = 0;
    if constexpr (Mark) {
      // The mark leaves the units two bytes off the buffer's alignment: the first few go one by
      // one, so the vector stores after them do not straddle cache lines.
      for (; i < n && reinterpret_cast<std::uintptr_t>(dst + 2 * i) % 16 != 0; ++i) {
        surrogate |= unicode::surrogate_bit(src[i]);
        unicode::store_raw(dst + 2 * i, unicode::to_order<Order, std::uint16_t>(src[i]));
      }
    }
    for (; i < n; ++i) {
      surrogate |= unicode::surrogate_bit(src[i]);
      unicode::store_raw(dst + 2 * i, unicode::to_order<Order, std::uint16_t>(src[i]));
    }
    if (surrogate != 0) return lone_surrogate();
    return {};
  } else {
    // Every code point goes out as a pair of units in one 32-bit store, a BMP code point as its
    // own unit with room to spare, which the next code point overwrites; four bytes a code point
    // is the room it was given, so no store leaves the output. The words and their lengths are
    // made four at a time in lanes, so the random mix of BMP and astral code points costs no
    // branch. In a word the units stand in order, so the word is written in that order too.
    lanes::u32x4 surrogates{};
    std::size_t i = 0;
    for (; n - i >= 4; i += 4) {
      const auto v = lanes::load<lanes::u32x4>(src + i);
      surrogates |= lanes::surrogate_lanes(v);
      const auto astral = lanes::as_lanes<lanes::u32x4>(v > 0xFFFFu);
      const auto high = (v >> 10) + 0xD7C0u;  // unicode::high_surrogate, lane-wise
      const auto low = (v & 0x3FFu) + 0xDC00u;
      // The units stand in the word as they will in memory, the first at the lower address, in
      // host order; each then goes into `Order` as a 16-bit lane, a swap cheaper than a whole
      // 32-bit one.
      const auto pair = lanes::kLittleHost ? high | low << 16 : high << 16 | low;
      const auto alone = lanes::kLittleHost ? v : v << 16;
      const auto host = (pair & astral) | (alone & ~astral);
      const auto words = lanes::as_lanes<lanes::u32x4>(lanes::in_order<Order>(lanes::as_lanes<lanes::u16x8>(host)));
      const auto lengths = 2 + (astral & 2u);
      for (std::size_t k = 0; k < 4; ++k) {
        unicode::store_raw(dst, words[k]);
        dst += lengths[k];
      }
    }
    surrogate |= lanes::fold_or(surrogates);
    for (; i < n; ++i) {
      const std::uint32_t c = src[i];
      surrogate |= unicode::surrogate_bit(c);
      if (c > 0xFFFF) {
        unicode::store16<Order>(dst, unicode::high_surrogate(c));
        unicode::store16<Order>(dst + 2, unicode::low_surrogate(c));
        dst += 4;
      } else {
        unicode::store16<Order>(dst, static_cast<std::uint16_t>(c));
        dst += 2;
      }
    }
    if (surrogate != 0) return lone_surrogate();
    const auto size = static_cast<std::size_t>(dst - begin);
    if (size != capacity && !out.shrink(size)) return raised();
    return {};
  }
}

template <ByteOrder Order, bool Mark, class Unit>
Result<void> encode_utf32_units(std::span<const Unit> units, ByteSink& out) noexcept {
  constexpr std::size_t kMark = Mark ? 4 : 0;
  const Unit* src = units.data();
  const std::size_t n = units.size();
  std::uint8_t* dst = out.allocate(kMark + 4 * n);
  if (dst == nullptr) return raised();
  if constexpr (Mark) unicode::store32<Order>(dst, 0xFEFF);
  dst += kMark;
  // Checked for surrogates on the way; the bytes written are dropped if the text holds one.
  Unit surrogate = 0;
  if constexpr (sizeof(Unit) == 4 && !unicode::kNative<Order>) {
    lanes::u32x4 surrogates{};
    lanes::for_blocks<4>(
        n,
        [&](std::size_t i) {
          const auto block = lanes::load<lanes::u32x4>(src + i);
          surrogates |= lanes::surrogate_lanes(block);
          lanes::store(dst + 4 * i, lanes::in_order<Order>(block));
        },
        [&](std::size_t i) {
          surrogate |= unicode::surrogate_bit(src[i]);
          unicode::store32<Order>(dst + 4 * i, src[i]);
        });
    surrogate |= lanes::fold_or(surrogates);
  } else {
    for (std::size_t i = 0; i < n; ++i) {
      surrogate |= unicode::surrogate_bit(src[i]);
      unicode::store_raw(dst + 4 * i, unicode::to_order<Order, std::uint32_t>(src[i]));
    }
  }
  if (surrogate != 0) return lone_surrogate();
  return {};
}

// ---------------------------------------------------------------------------------------------
// windows-1252: the whole text or nothing.

template <class Unit>
[[gnu::cold, gnu::noinline]] Unexpected refuse_windows_1252(std::span<const Unit> units, std::size_t at) noexcept {
  if (surrogate_from(units, at)) return lone_surrogate();
  return value_error("Failed to encode to Windows-1252");
}

template <class Unit>
Result<void> encode_windows_1252_units(std::span<const Unit> units, ByteSink& out) noexcept {
  if constexpr (sizeof(Unit) == 1) {
    // Code points below U+0100 either are their own pointer or have none: check, then copy.
    if (!windows_1252::all_identity(units.data(), units.size())) return value_error("Failed to encode to Windows-1252");
    std::uint8_t* dst = out.allocate(units.size());
    if (dst == nullptr) return raised();
    if (!units.empty()) std::memcpy(dst, units.data(), units.size());
    return {};
  }
  std::uint8_t* dst = out.allocate(units.size());
  if (dst == nullptr) return raised();
  for (std::size_t i = 0; i < units.size(); ++i) {
    const int byte = windows_1252::to_byte(units[i]);
    if (byte < 0) return refuse_windows_1252(units, i);
    dst[i] = static_cast<std::uint8_t>(byte);
  }
  return {};
}

}  // namespace

Result<void> encode_utf8(TextView text, ByteSink& out) noexcept {
  if (text.ascii) return copy_bytes(text, out);
  return visit(text, [&](auto units) { return encode_utf8_units(units, out); });
}

Result<void> encode_utf16(TextView text, ByteSink& out) noexcept {
  return visit(text, [&](auto units) { return encode_utf16_units<ByteOrder::big, true>(units, out); });
}

Result<void> encode_utf16le(TextView text, ByteSink& out) noexcept {
  return visit(text, [&](auto units) { return encode_utf16_units<ByteOrder::little, false>(units, out); });
}

Result<void> encode_utf16be(TextView text, ByteSink& out) noexcept {
  return visit(text, [&](auto units) { return encode_utf16_units<ByteOrder::big, false>(units, out); });
}

Result<void> encode_utf32(TextView text, ByteSink& out) noexcept {
  return visit(text, [&](auto units) { return encode_utf32_units<ByteOrder::big, true>(units, out); });
}

Result<void> encode_utf32le(TextView text, ByteSink& out) noexcept {
  return visit(text, [&](auto units) { return encode_utf32_units<ByteOrder::little, false>(units, out); });
}

Result<void> encode_utf32be(TextView text, ByteSink& out) noexcept {
  return visit(text, [&](auto units) { return encode_utf32_units<ByteOrder::big, false>(units, out); });
}

Result<void> encode_us_ascii(TextView text, ByteSink& out) noexcept {
  if (text.ascii) return copy_bytes(text, out);
  return visit(text, [&](auto units) { return encode_up_to(units, unicode::kAsciiMax, "US-ASCII", out); });
}

Result<void> encode_iso_8859_1(TextView text, ByteSink& out) noexcept {
  if (text.width == 1) return copy_bytes(text, out);
  return visit(text, [&](auto units) { return encode_up_to(units, unicode::kLatin1Max, "ISO-8859-1", out); });
}

Result<void> encode_windows_1252(TextView text, ByteSink& out) noexcept {
  if (text.ascii) return copy_bytes(text, out);
  return visit(text, [&](auto units) { return encode_windows_1252_units(units, out); });
}

}  // namespace tessel::encoder
