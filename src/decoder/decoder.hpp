// Scalar decoders: field patterns to engineering values and bytes to text.
//
// Each decoder is a pure function. Numeric decoders take the field's bits right-aligned in a
// 64-bit pattern.
#pragma once

#include <cstdint>
#include <span>

#include "bits.hpp"
#include "codec_error.hpp"
#include "text_view.hpp"

namespace tessel::decoder {

// Integers. Only the low `bits` bits of the pattern are read (all 64 for widths of 64 and more),
// so a width of 0 reads as 0. These cannot fail.
[[nodiscard]] std::int64_t decode_twos_complement(std::uint64_t pattern, std::uint32_t bits) noexcept;
[[nodiscard]] std::int64_t decode_ones_complement(std::uint64_t pattern, std::uint32_t bits) noexcept;
[[nodiscard]] std::int64_t decode_sign_magnitude(std::uint64_t pattern, std::uint32_t bits) noexcept;

// Decimals. Widths below one digit position decode to 0. Digit positions above bit 63 read as
// zero, so an enormous width costs no more than 64 bits.
[[nodiscard]] Result<std::int64_t> decode_packed_bcd(std::uint64_t pattern, std::uint32_t bits, bool is_signed) noexcept;
[[nodiscard]] Result<std::int64_t> decode_unpacked_bcd(std::uint64_t pattern, std::uint32_t bits, bool is_signed) noexcept;

// IEEE 754, widened exactly to binary64. Bits above the format's width are ignored.
[[nodiscard]] double decode_ieee754_f16(std::uint64_t pattern) noexcept;
[[nodiscard]] double decode_ieee754_f32(std::uint64_t pattern) noexcept;
[[nodiscard]] double decode_ieee754_f64(std::uint64_t pattern) noexcept;
// binary128, truncated toward zero to binary64; no subnormal inputs or results.
[[nodiscard]] double decode_ieee754_f128(u128 pattern) noexcept;

// Float formats that are named but not built: each always fails with its fixed message.
[[nodiscard]] Result<double> decode_ieee754_1985_f32(std::uint64_t pattern) noexcept;
[[nodiscard]] Result<double> decode_ieee754_1985_f64(std::uint64_t pattern) noexcept;
[[nodiscard]] Result<double> decode_ieee754_1985_f80(std::uint64_t pattern) noexcept;
[[nodiscard]] Result<double> decode_mil_std_1750a_f32(std::uint64_t pattern) noexcept;
[[nodiscard]] Result<double> decode_mil_std_1750a_f48(std::uint64_t pattern) noexcept;
[[nodiscard]] Result<double> decode_dec_f32(std::uint64_t pattern) noexcept;
[[nodiscard]] Result<double> decode_dec_f64(std::uint64_t pattern) noexcept;
[[nodiscard]] Result<double> decode_ibm_f32(std::uint64_t pattern) noexcept;
[[nodiscard]] Result<double> decode_ibm_f64(std::uint64_t pattern) noexcept;
[[nodiscard]] Result<double> decode_ti_f32(std::uint64_t pattern) noexcept;
[[nodiscard]] Result<double> decode_ti_f40(std::uint64_t pattern) noexcept;

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
