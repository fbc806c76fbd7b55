// Scalar encoders: engineering values to field patterns and text to bytes.
//
// Each encoder is a pure function. A numeric encoder returns the field's bits right-aligned in a
// 64-bit pattern (bit 0 is the field's least significant bit) or a CodecError.
#pragma once

#include <cstdint>

#include "codec_error.hpp"

namespace tessel::encoder {

// Integers. Widths are field widths in bits.
[[nodiscard]] Result<std::uint64_t> encode_twos_complement(std::int64_t value, std::uint32_t bits) noexcept;
[[nodiscard]] Result<std::uint64_t> encode_ones_complement(std::int64_t value, std::uint32_t bits) noexcept;
[[nodiscard]] Result<std::uint64_t> encode_sign_magnitude(std::int64_t value, std::uint32_t bits) noexcept;
// The recipe's plain unsigned field: the value itself, if it fits below 2^bits.
[[nodiscard]] Result<std::uint64_t> encode_unsigned(std::uint64_t value, std::uint32_t bits) noexcept;

}  // namespace tessel::encoder
