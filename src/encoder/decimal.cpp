// Packed BCD and unpacked BCD / zoned decimal fields.
#include "bits.hpp"
#include "encoder/encoder.hpp"

namespace tessel::encoder {

namespace {

constexpr std::uint64_t kPackedPlus = 0xC;   // sign nibble written for zero and positive values
constexpr std::uint64_t kPackedMinus = 0xD;  // sign nibble written for negative values
constexpr std::uint64_t kZonePlus = 0xC0;    // zone of the least significant digit, zero or positive
constexpr std::uint64_t kZoneMinus = 0xD0;   // zone of the least significant digit, negative
constexpr std::uint64_t kZoneDigit = 0xF0;   // EBCDIC digit zone of every other byte

}  // namespace

Result<std::uint64_t> encode_packed_bcd(std::int64_t value, std::uint32_t bits, bool is_signed) noexcept {
  if (bits < 4) return value_error("bits must be >= 4 for packed BCD");
  if (bits > 64) return value_error("bits must be <= 64 for packed BCD");
  if (value < 0 && !is_signed) return value_error("Cannot encode negative value in unsigned BCD");
  const std::uint32_t first = is_signed ? 1 : 0;  // nibble of the least significant digit
  const std::uint32_t digits = bits / 4 - first;
  std::uint64_t rest = magnitude(value);
  std::uint64_t pattern = 0;
  for (std::uint32_t i = 0; i < digits; ++i) {
    pattern |= (rest % 10) << (4 * (first + i));
    rest /= 10;
  }
  if (rest != 0) return value_error("Value ", value, " has too many digits for ", digits, " BCD digits");
  if (is_signed) pattern |= value < 0 ? kPackedMinus : kPackedPlus;
  return pattern;
}

Result<std::uint64_t> encode_unpacked_bcd(std::int64_t value, std::uint32_t bits, bool is_signed) noexcept {
  if (bits < 8) return value_error("bits must be >= 8 for unpacked BCD");
  if (bits > 64) return value_error("bits must be <= 64 for unpacked BCD");
  // The unsigned form keeps only the magnitude: a negative value loses its sign, by design.
  const std::uint32_t digits = bits / 8;
  std::uint64_t rest = magnitude(value);
  std::uint64_t pattern = 0;
  for (std::uint32_t i = 0; i < digits; ++i) {
    std::uint64_t byte = rest % 10;
    if (is_signed) byte |= i == 0 ? (value < 0 ? kZoneMinus : kZonePlus) : kZoneDigit;
    pattern |= byte << (8 * i);
    rest /= 10;
  }
  if (rest != 0) return value_error("Value ", value, " has too many digits for ", digits, " BCD digits");
  return pattern;
}

}  // namespace tessel::encoder
