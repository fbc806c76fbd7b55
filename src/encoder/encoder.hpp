// Scalar encoders: engineering values to field patterns and text to bytes.
//
// Each encoder is a pure function. A numeric encoder returns the field's bits right-aligned in a
// 64-bit pattern (bit 0 is the field's least significant bit) or a CodecError.
#pragma once

#include <cstdint>

#include "codec_error.hpp"
#include "text_view.hpp"

namespace tessel::encoder {

// Integers. Widths are field widths in bits.
[[nodiscard]] Result<std::uint64_t> encode_twos_complement(std::int64_t value, std::uint32_t bits) noexcept;
[[nodiscard]] Result<std::uint64_t> encode_ones_complement(std::int64_t value, std::uint32_t bits) noexcept;
[[nodiscard]] Result<std::uint64_t> encode_sign_magnitude(std::int64_t value, std::uint32_t bits) noexcept;
// The recipe's plain unsigned field: the value itself, if it fits below 2^bits.
[[nodiscard]] Result<std::uint64_t> encode_unsigned(std::uint64_t value, std::uint32_t bits) noexcept;

// Decimals. Packed BCD: one digit per nibble, signed form with a sign nibble (0xC, 0xD) in
// nibble 0. Unpacked BCD: one digit per byte, signed form as zoned decimal (EBCDIC zones, sign
// in the zone of byte 0). Widths above 64 bits are refused: the pattern cannot hold their digits.
[[nodiscard]] Result<std::uint64_t> encode_packed_bcd(std::int64_t value, std::uint32_t bits, bool is_signed) noexcept;
[[nodiscard]] Result<std::uint64_t> encode_unpacked_bcd(std::int64_t value, std::uint32_t bits, bool is_signed) noexcept;

// IEEE 754. The binary16 and binary32 encoders take a value already rounded to binary32.
[[nodiscard]] std::uint64_t encode_ieee754_f16(float value) noexcept;
[[nodiscard]] std::uint64_t encode_ieee754_f32(float value) noexcept;
[[nodiscard]] std::uint64_t encode_ieee754_f64(double value) noexcept;

// Float formats that are named but not built: each always fails with its fixed message.
[[nodiscard]] Result<std::uint64_t> encode_ieee754_f128(double value) noexcept;
[[nodiscard]] Result<std::uint64_t> encode_ieee754_1985_f32(float value) noexcept;
[[nodiscard]] Result<std::uint64_t> encode_ieee754_1985_f64(double value) noexcept;
[[nodiscard]] Result<std::uint64_t> encode_ieee754_1985_f80(double value) noexcept;
[[nodiscard]] Result<std::uint64_t> encode_mil_std_1750a_f32(float value) noexcept;
[[nodiscard]] Result<std::uint64_t> encode_mil_std_1750a_f48(double value) noexcept;
[[nodiscard]] Result<std::uint64_t> encode_dec_f32(float value) noexcept;
[[nodiscard]] Result<std::uint64_t> encode_dec_f64(double value) noexcept;
[[nodiscard]] Result<std::uint64_t> encode_ibm_f32(float value) noexcept;
[[nodiscard]] Result<std::uint64_t> encode_ibm_f64(double value) noexcept;
[[nodiscard]] Result<std::uint64_t> encode_ti_f32(float value) noexcept;
[[nodiscard]] Result<std::uint64_t> encode_ti_f40(double value) noexcept;

// Text. The bytes of the whole text go to `out`, or nothing does. Only US-ASCII, ISO-8859-1 and
// windows-1252 refuse characters; every encoder reports a surrogate code point in the text as
// ErrorKind::lone_surrogate, ahead of its own refusals. UTF-16 and UTF-32 write a big-endian
// byte-order mark, the BE and LE forms none.
[[nodiscard]] Result<void> encode_us_ascii(TextView text, ByteSink& out) noexcept;
[[nodiscard]] Result<void> encode_iso_8859_1(TextView text, ByteSink& out) noexcept;
[[nodiscard]] Result<void> encode_windows_1252(TextView text, ByteSink& out) noexcept;
[[nodiscard]] Result<void> encode_utf8(TextView text, ByteSink& out) noexcept;
[[nodiscard]] Result<void> encode_utf16(TextView text, ByteSink& out) noexcept;
[[nodiscard]] Result<void> encode_utf16le(TextView text, ByteSink& out) noexcept;
[[nodiscard]] Result<void> encode_utf16be(TextView text, ByteSink& out) noexcept;
[[nodiscard]] Result<void> encode_utf32(TextView text, ByteSink& out) noexcept;
[[nodiscard]] Result<void> encode_utf32le(TextView text, ByteSink& out) noexcept;
[[nodiscard]] Result<void> encode_utf32be(TextView text, ByteSink& out) noexcept;

}  // namespace tessel::encoder
