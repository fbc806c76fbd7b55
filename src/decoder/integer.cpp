// Two's complement, ones' complement and sign-magnitude fields back to signed values.
#include "bits.hpp"
#include "decoder/decoder.hpp"

namespace tessel::decoder {

namespace {
// Bits above the field are not part of it. Widths above 64 read the whole 64-bit pattern.
constexpr std::uint32_t effective_width(std::uint32_t bits) noexcept { return bits > 64 ? 64 : bits; }
}  // namespace

std::int64_t decode_twos_complement(std::uint64_t pattern, std::uint32_t bits) noexcept {
  const std::uint32_t width = effective_width(bits);
  if (width == 0) return 0;
  const std::uint64_t field = pattern & low_mask(width);
  const std::uint64_t sign = std::uint64_t{1} << (width - 1);
  // Sign extension: (field ^ sign) - sign, in wrapping arithmetic.
  return static_cast<std::int64_t>((field ^ sign) - sign);
}

std::int64_t decode_ones_complement(std::uint64_t pattern, std::uint32_t bits) noexcept {
  const std::uint32_t width = effective_width(bits);
  if (width == 0) return 0;
  const std::uint64_t field = pattern & low_mask(width);
  if ((field >> (width - 1)) == 0) return static_cast<std::int64_t>(field);
  // Negative: minus the complement of the field; the all-ones pattern (negative zero) gives 0.
  return -static_cast<std::int64_t>(~field & low_mask(width));
}

std::int64_t decode_sign_magnitude(std::uint64_t pattern, std::uint32_t bits) noexcept {
  const std::uint32_t width = effective_width(bits);
  if (width == 0) return 0;
  const std::uint64_t magnitude = pattern & low_mask(width - 1);
  const bool negative = ((pattern >> (width - 1)) & 1) != 0;
  // magnitude < 2^63, so the negation cannot overflow; negative zero decodes to 0.
  return negative ? -static_cast<std::int64_t>(magnitude) : static_cast<std::int64_t>(magnitude);
}

}  // namespace tessel::decoder
