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
