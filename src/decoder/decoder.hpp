// Scalar decoders: field patterns to engineering values and bytes to text.
//
// Each decoder is a pure function. Numeric decoders take the field's bits right-aligned in a
// 64-bit pattern.
#pragma once

#include <cstdint>
#include <span>

#include "codec_error.hpp"
#include "text_view.hpp"

namespace tessel::decoder {

// Integers. Only the low `bits` bits of the pattern are read (all 64 for widths of 64 and more),
// so a width of 0 reads as 0. These cannot fail.
[[nodiscard]] std::int64_t decode_twos_complement(std::uint64_t pattern, std::uint32_t bits) noexcept;
[[nodiscard]] std::int64_t decode_ones_complement(std::uint64_t pattern, std::uint32_t bits) noexcept;
[[nodiscard]] std::int64_t decode_sign_magnitude(std::uint64_t pattern, std::uint32_t bits) noexcept;

// Text. The whole input becomes one str in `out`, or the call fails and nothing is kept. Only
// ISO-8859-1 cannot fail. UTF-16 and UTF-32 remove one leading byte-order mark and read the rest
// in the order it names (big-endian without one); the BE and LE forms and UTF-8 keep a mark as
// U+FEFF. windows-1252 first sniffs a UTF-8 or UTF-16 mark.
[[nodiscard]] Result<void> decode_us_ascii(std::span<const std::uint8_t> bytes, TextSink& out) noexcept;
[[nodiscard]] Result<void> decode_iso_8859_1(std::span<const std::uint8_t> bytes, TextSink& out) noexcept;
[[nodiscard]] Result<void> decode_windows_1252(std::span<const std::uint8_t> bytes, TextSink& out) noexcept;
[[nodiscard]] Result<void> decode_utf8(std::span<const std::uint8_t> bytes, TextSink& out) noexcept;
[[nodiscard]] Result<void> decode_utf16(std::span<const std::uint8_t> bytes, TextSink& out) noexcept;
[[nodiscard]] Result<void> decode_utf16le(std::span<const std::uint8_t> bytes, TextSink& out) noexcept;
[[nodiscard]] Result<void> decode_utf16be(std::span<const std::uint8_t> bytes, TextSink& out) noexcept;
[[nodiscard]] Result<void> decode_utf32(std::span<const std::uint8_t> bytes, TextSink& out) noexcept;
[[nodiscard]] Result<void> decode_utf32le(std::span<const std::uint8_t> bytes, TextSink& out) noexcept;
[[nodiscard]] Result<void> decode_utf32be(std::span<const std::uint8_t> bytes, TextSink& out) noexcept;

}  // namespace tessel::decoder
