// IEEE 754 binary16, binary32 and binary64 patterns, and the float formats not built yet.
#include <bit>

#include "encoder/encoder.hpp"

namespace tessel::encoder {

namespace {

// binary32 to binary16, round to nearest, ties to even. The binary16 encoder narrows binary64
// to binary32 first, so a value can be rounded twice (1 + 2^-11 + 2^-40 gives 1.0); callers
// rely on exactly this result.
std::uint16_t binary32_to_binary16(std::uint32_t single) noexcept {
  const std::uint32_t sign = (single >> 16) & 0x8000;
  const std::uint32_t exponent = (single >> 23) & 0xFF;
  const std::uint32_t fraction = single & 0x7FFFFF;
  std::uint32_t half;
  if (exponent == 255) {
    // Infinity stays infinity; a NaN stays a NaN, quiet, with its top ten fraction bits.
    half = sign | 0x7C00 | (fraction != 0 ? 0x0200 : 0) | (fraction >> 13);
  } else if (exponent > 142) {
    half = sign | 0x7C00;  // beyond the binary16 range
  } else if (exponent >= 113) {
    // Normal range. Round bit is fraction bit 12; sticky bits 0-11 and the kept low bit 13 make
    // it round up. The carry may run into the exponent, up to infinity (65520.0 -> 0x7C00).
    half = sign | (((exponent - 112) << 10) + (fraction >> 13));
    if ((fraction & 0x1000) != 0 && (fraction & 0x2FFF) != 0) half += 1;
  } else if (exponent < 102) {
    half = sign;  // below half the smallest subnormal: a zero of the sign
  } else {
    // Subnormal: shift the significand with its hidden bit; round bit r, sticky below it and
    // the kept low bit above it.
    const std::uint32_t significand = fraction | 0x800000;
    const std::uint32_t round = 125 - exponent;
    std::uint32_t value = significand >> (126 - exponent);
    if (((significand >> round) & 1) != 0 &&
        (((significand >> (round + 1)) & 1) != 0 || (significand & ((1u << round) - 1)) != 0)) {
      value += 1;
    }
    half = sign | value;
  }
  return static_cast<std::uint16_t>(half);
}

}  // namespace

std::uint64_t encode_ieee754_f16(float value) noexcept {
  return binary32_to_binary16(std::bit_cast<std::uint32_t>(value));
}

std::uint64_t encode_ieee754_f32(float value) noexcept { return std::bit_cast<std::uint32_t>(value); }

std::uint64_t encode_ieee754_f64(double value) noexcept { return std::bit_cast<std::uint64_t>(value); }

Result<std::uint64_t> encode_ieee754_f128(double) noexcept {
  return not_implemented("IEEE 754 f128 encoding not yet implemented");
}
Result<std::uint64_t> encode_ieee754_1985_f32(float) noexcept {
  return not_implemented("IEEE 754-1985 f32 encoding not yet implemented");
}
Result<std::uint64_t> encode_ieee754_1985_f64(double) noexcept {
  return not_implemented("IEEE 754-1985 f64 encoding not yet implemented");
}
Result<std::uint64_t> encode_ieee754_1985_f80(double) noexcept {
  return not_implemented("IEEE 754-1985 f80 encoding not yet implemented");
}
Result<std::uint64_t> encode_mil_std_1750a_f32(float) noexcept {
  return not_implemented("MIL-STD-1750A f32 encoding not yet implemented");
}
Result<std::uint64_t> encode_mil_std_1750a_f48(double) noexcept {
  return not_implemented("MIL-STD-1750A f48 encoding not yet implemented");
}
Result<std::uint64_t> encode_dec_f32(float) noexcept { return not_implemented("DEC f32 encoding not yet implemented"); }
Result<std::uint64_t> encode_dec_f64(double) noexcept { return not_implemented("DEC f64 encoding not yet implemented"); }
Result<std::uint64_t> encode_ibm_f32(float) noexcept { return not_implemented("IBM f32 encoding not yet implemented"); }
Result<std::uint64_t> encode_ibm_f64(double) noexcept { return not_implemented("IBM f64 encoding not yet implemented"); }
Result<std::uint64_t> encode_ti_f32(float) noexcept { return not_implemented("TI f32 encoding not yet implemented"); }
Result<std::uint64_t> encode_ti_f40(double) noexcept { return not_implemented("TI f40 encoding not yet implemented"); }

}  // namespace tessel::encoder
