// Two's complement, ones' complement, sign-magnitude and plain unsigned fields.
#include "bits.hpp"
#include "encoder/encoder.hpp"

namespace tessel::encoder {

Result<std::uint64_t> encode_twos_complement(std::int64_t value, std::uint32_t bits) noexcept {
  if (bits > 64) return value_error("bits must be <= 64 for two's complement encoding");
  const auto pattern = static_cast<std::uint64_t>(value);
  if (bits == 64) return pattern;
  // A zero-width field holds only 0: range 0 to 0, so no value is silently lost.
  const std::int64_t max = bits == 0 ? 0 : (std::int64_t{1} << (bits - 1)) - 1;
  const std::int64_t min = bits == 0 ? 0 : -max - 1;
  if (value < min || value > max) {
    return value_error("Value ", value, " out of range for ", bits, " bits (range: ", min, " to ", max, ")");
  }
  return pattern & low_mask(bits);
}

Result<std::uint64_t> encode_ones_complement(std::int64_t value, std::uint32_t bits) noexcept {
  if (bits > 64) return value_error("bits must be <= 64 for ones' complement encoding");
  // Largest magnitude that fits, 2^(bits-1) - 1; a zero-width field holds only 0.
  const std::uint64_t limit = bits == 0 ? 0 : low_mask(bits - 1);
  if (value >= 0) {
    if (static_cast<std::uint64_t>(value) > limit) {
      return value_error("Value ", value, " is too large for ", bits, " bits");
    }
    return static_cast<std::uint64_t>(value);
  }
  const std::uint64_t m = magnitude(value);
  if (m > limit) return value_error("Value ", value, " is too large (magnitude) for ", bits, " bits");
  // Never the negative-zero pattern: m is at least 1 here.
  return ~m & low_mask(bits);
}

Result<std::uint64_t> encode_sign_magnitude(std::int64_t value, std::uint32_t bits) noexcept {
  if (bits < 2 || bits > 64) return value_error("bits must be between 2 and 64 for sign-magnitude encoding");
  const std::uint64_t m = magnitude(value);
  if ((m >> (bits - 1)) != 0) return value_error("Magnitude of ", value, " is too large for ", bits, " bits");
  return value < 0 ? m | (std::uint64_t{1} << (bits - 1)) : m;
}

Result<std::uint64_t> encode_unsigned(std::uint64_t value, std::uint32_t bits) noexcept {
  if (bits < 64 && (value >> bits) != 0) return value_error("Value ", value, " is too large for ", bits, " bits");
  return value;
}

}  // namespace tessel::encoder
