// IEEE 754 patterns widened exactly to binary64, and the float formats not built yet.
#include <bit>

#include "decoder/decoder.hpp"

namespace tessel::decoder {

namespace {

// binary32 bits to binary64, exactly. NaNs are built by hand so that every platform gives the
// same quiet NaN with the payload kept.
double widen_binary32(std::uint32_t single) noexcept {
  if ((single & 0x7F800000u) == 0x7F800000u && (single & 0x007FFFFFu) != 0) {
    const std::uint64_t sign = static_cast<std::uint64_t>(single >> 31) << 63;
    const std::uint64_t payload = static_cast<std::uint64_t>(single & 0x007FFFFFu) << 29;
    return std::bit_cast<double>(sign | 0x7FF8000000000000u | payload);
  }
  return static_cast<double>(std::bit_cast<float>(single));
}

}  // namespace

double decode_ieee754_f16(std::uint64_t pattern) noexcept {
  const auto half = static_cast<std::uint32_t>(pattern & 0xFFFF);
  const std::uint32_t sign = (half & 0x8000) << 16;
  std::uint32_t exponent = (half >> 10) & 0x1F;
  std::uint32_t fraction = half & 0x3FF;
  std::uint32_t single;
  if (exponent == 0 && fraction == 0) {
    single = sign;
  } else if (exponent == 31) {
    single = sign | 0x7F800000 | (fraction != 0 ? 0x00400000 | (fraction << 13) : 0);
  } else if (exponent == 0) {
    // Subnormal: normalise, one exponent step per shift, until the hidden bit appears.
    exponent = 113;
    while ((fraction & 0x400) == 0) {
      fraction <<= 1;
      --exponent;
    }
    single = sign | (exponent << 23) | ((fraction & 0x3FF) << 13);
  } else {
    single = sign | ((exponent + 112) << 23) | (fraction << 13);
  }
  return widen_binary32(single);
}

double decode_ieee754_f32(std::uint64_t pattern) noexcept {
  return widen_binary32(static_cast<std::uint32_t>(pattern));
}

double decode_ieee754_f64(std::uint64_t pattern) noexcept { return std::bit_cast<double>(pattern); }

double decode_ieee754_f128(u128 pattern) noexcept {
  const std::uint64_t sign = static_cast<std::uint64_t>(pattern >> 127) << 63;
  const auto exponent = static_cast<std::uint32_t>(pattern >> 112) & 0x7FFF;
  const u128 fraction = pattern & ((u128{1} << 112) - 1);
  if (exponent == 0) return std::bit_cast<double>(sign);  // zeros; subnormals are not converted
  if (exponent == 0x7FFF) {
    return fraction != 0 ? std::bit_cast<double>(std::uint64_t{0x7FF8000000000000u})  // positive quiet NaN
                         : std::bit_cast<double>(sign | 0x7FF0000000000000u);
  }
  if (exponent > 0x43FE) return std::bit_cast<double>(sign | 0x7FF0000000000000u);
  if (exponent < 0x3C01) return std::bit_cast<double>(sign);
  // The top 52 fraction bits; the 60 below them are dropped (truncation toward zero).
  const auto kept = static_cast<std::uint64_t>(fraction >> 60);
  const std::uint64_t biased = exponent - 0x3C00;  // rebias 16383 -> 1023
  return std::bit_cast<double>(sign | (biased << 52) | kept);
}

Result<double> decode_ieee754_1985_f32(std::uint64_t) noexcept {
  return not_implemented("IEEE 754-1985 f32 format not yet implemented");
}
Result<double> decode_ieee754_1985_f64(std::uint64_t) noexcept {
  return not_implemented("IEEE 754-1985 f64 format not yet implemented");
}
Result<double> decode_ieee754_1985_f80(std::uint64_t) noexcept {
  return not_implemented("IEEE 754-1985 f80 format not yet implemented");
}
Result<double> decode_mil_std_1750a_f32(std::uint64_t) noexcept {
  return not_implemented("MIL-STD-1750A f32 format not yet implemented");
}
Result<double> decode_mil_std_1750a_f48(std::uint64_t) noexcept {
  return not_implemented("MIL-STD-1750A f48 format not yet implemented");
}
Result<double> decode_dec_f32(std::uint64_t) noexcept { return not_implemented("DEC f32 format not yet implemented"); }
Result<double> decode_dec_f64(std::uint64_t) noexcept { return not_implemented("DEC f64 format not yet implemented"); }
Result<double> decode_ibm_f32(std::uint64_t) noexcept { return not_implemented("IBM f32 format not yet implemented"); }
Result<double> decode_ibm_f64(std::uint64_t) noexcept { return not_implemented("IBM f64 format not yet implemented"); }
Result<double> decode_ti_f32(std::uint64_t) noexcept { return not_implemented("TI f32 format not yet implemented"); }
Result<double> decode_ti_f40(std::uint64_t) noexcept { return not_implemented("TI f40 format not yet implemented"); }

}  // namespace tessel::decoder
