// Scalar decoders: field patterns to engineering values and bytes to text.
//
// Each decoder is a pure function. Numeric decoders take the field's bits right-aligned in a
// 64-bit pattern.
#pragma once

#include <cstdint>

#include "codec_error.hpp"

namespace tessel::decoder {

// Integers. Only the low `bits` bits of the pattern are read (all 64 for widths of 64 and more),
// so a width of 0 reads as 0. These cannot fail.
[[nodiscard]] std::int64_t decode_twos_complement(std::uint64_t pattern, std::uint32_t bits) noexcept;
[[nodiscard]] std::int64_t decode_ones_complement(std::uint64_t pattern, std::uint32_t bits) noexcept;
[[nodiscard]] std::int64_t decode_sign_magnitude(std::uint64_t pattern, std::uint32_t bits) noexcept;

}  // namespace tessel::decoder
