// Text to bytes: UTF-8, UTF-16, UTF-32, US-ASCII, ISO-8859-1 and windows-1252.
//
// The text is the interpreter's compact str, read in place one, two or four bytes per code point.
// Each encoder sizes its output exactly, asks the sink for it once and writes it in one go.
//
// A str can hold surrogate code points, which none of these encodings carries. The interpreter's
// own UTF-8 conversion of the argument refuses them, and in the module's model that conversion
// runs before any codec, so an encoder that meets a surrogate reports lone_surrogate, and that
// report wins over the encoder's own refusals wherever the surrogate stands in the text.
#include <cstring>
#include <span>
#include <string_view>

#include "encoder/encoder.hpp"
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

template <class Unit>
[[nodiscard]] bool has_surrogate(std::span<const Unit> units) noexcept {
  if constexpr (sizeof(Unit) == 1) {
    return false;
  } else {
    bool found = false;  // no early exit: the loop stays a vector reduction
    for (const Unit c : units) found |= unicode::is_surrogate(c);
    return found;
  }
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
  if (has_surrogate(units.subspan(at))) return lone_surrogate();
  const char32_t c = units[at];
  std::uint8_t utf8[4];
  const std::uint8_t* end = unicode::put_utf8(utf8, c);
  const std::string_view character(reinterpret_cast<const char*>(utf8), static_cast<std::size_t>(end - utf8));
  return value_error("Character '", character, "' (U+", std::string_view(unicode::Hex(c, 4)), ") is not valid ",
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

template <class Unit>
Result<void> encode_utf8_units(std::span<const Unit> units, ByteSink& out) noexcept {
  // One byte per code point, plus one from U+0080, U+0800 and U+10000 on.
  std::size_t size = units.size();
  bool surrogate = false;
  for (const Unit c : units) {
    size += static_cast<std::size_t>(c >= 0x80);
    if constexpr (sizeof(Unit) > 1) {
      size += static_cast<std::size_t>(c >= 0x800);
      surrogate |= unicode::is_surrogate(c);
    }
    if constexpr (sizeof(Unit) > 2) size += static_cast<std::size_t>(c >= 0x10000);
  }
  if (surrogate) return lone_surrogate();
  std::uint8_t* dst = out.allocate(size);
  if (dst == nullptr) return raised();
  for (const Unit c : units) {
    if (c < 0x80) {
      *dst++ = static_cast<std::uint8_t>(c);
    } else {
      dst = unicode::put_utf8(dst, c);
    }
  }
  return {};
}

// ---------------------------------------------------------------------------------------------
// UTF-16 and UTF-32. The forms with a byte-order mark write U+FEFF big-endian, then the text
// exactly as the big-endian form does.

template <ByteOrder Order, bool Mark, class Unit>
Result<void> encode_utf16_units(std::span<const Unit> units, ByteSink& out) noexcept {
  constexpr std::size_t kMark = Mark ? 2 : 0;
  const std::size_t n = units.size();
  std::size_t pairs = 0;  // astral code points take a surrogate pair
  if constexpr (sizeof(Unit) == 4) {
    bool surrogate = false;
    for (const Unit c : units) {
      pairs += static_cast<std::size_t>(c > 0xFFFF);
      surrogate |= unicode::is_surrogate(c);
    }
    if (surrogate) return lone_surrogate();
  }
  std::uint8_t* dst = out.allocate(kMark + 2 * (n + pairs));
  if (dst == nullptr) return raised();
  if constexpr (Mark) unicode::store16<Order>(dst, 0xFEFF);
  dst += kMark;
  if (pairs == 0) {
    // One unit per code point: a straight, vectorisable copy. Two-byte text is checked for
    // surrogates on the way, and the bytes written are dropped if it holds one.
    bool surrogate = false;
    for (std::size_t i = 0; i < n; ++i) {
      if constexpr (sizeof(Unit) == 2) surrogate |= unicode::is_surrogate(units[i]);
      unicode::store16<Order>(dst + 2 * i, static_cast<std::uint16_t>(units[i]));
    }
    if (surrogate) return lone_surrogate();
    return {};
  }
  for (const Unit c : units) {
    if (c > 0xFFFF) {
      unicode::store16<Order>(dst, unicode::high_surrogate(c));
      unicode::store16<Order>(dst + 2, unicode::low_surrogate(c));
      dst += 4;
    } else {
      unicode::store16<Order>(dst, static_cast<std::uint16_t>(c));
      dst += 2;
    }
  }
  return {};
}

template <ByteOrder Order, bool Mark, class Unit>
Result<void> encode_utf32_units(std::span<const Unit> units, ByteSink& out) noexcept {
  constexpr std::size_t kMark = Mark ? 4 : 0;
  std::uint8_t* dst = out.allocate(kMark + 4 * units.size());
  if (dst == nullptr) return raised();
  if constexpr (Mark) unicode::store32<Order>(dst, 0xFEFF);
  dst += kMark;
  bool surrogate = false;  // checked on the way; the bytes written are dropped if it holds one
  for (std::size_t i = 0; i < units.size(); ++i) {
    surrogate |= unicode::is_surrogate(units[i]);
    unicode::store32<Order>(dst + 4 * i, units[i]);
  }
  if (surrogate) return lone_surrogate();
  return {};
}

// ---------------------------------------------------------------------------------------------
// windows-1252: the whole text or nothing.

template <class Unit>
[[gnu::cold, gnu::noinline]] Unexpected refuse_windows_1252(std::span<const Unit> units, std::size_t at) noexcept {
  if (has_surrogate(units.subspan(at))) return lone_surrogate();
  return value_error("Failed to encode to Windows-1252");
}

template <class Unit>
Result<void> encode_windows_1252_units(std::span<const Unit> units, ByteSink& out) noexcept {
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
