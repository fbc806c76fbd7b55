// Packed BCD and unpacked BCD / zoned decimal fields back to signed values.
#include "decoder/decoder.hpp"

namespace tessel::decoder {

namespace {

// Digit position `i` of the pattern; positions beyond the 64-bit pattern read as zero.
constexpr std::uint64_t nibble(std::uint64_t pattern, std::uint32_t i) noexcept {
  return i < 16 ? (pattern >> (4 * i)) & 0xF : 0;
}
constexpr std::uint64_t byte_at(std::uint64_t pattern, std::uint32_t i) noexcept {
  return i < 8 ? (pattern >> (8 * i)) & 0xFF : 0;
}

// Digits stored least significant first, combined most significant first. At most 16 digits
// are non-zero, so the sum stays far below 2^63.
std::int64_t combine(const std::uint8_t* digits, std::uint32_t count, bool negative) noexcept {
  std::int64_t value = 0;
  for (std::uint32_t i = count; i-- > 0;) value = value * 10 + digits[i];
  return negative ? -value : value;
}

}  // namespace

Result<std::int64_t> decode_packed_bcd(std::uint64_t pattern, std::uint32_t bits, bool is_signed) noexcept {
  if (bits < 4) return 0;
  std::uint32_t first = 0;
  bool negative = false;
  if (is_signed) {
    const std::uint64_t sign = nibble(pattern, 0);
    if (sign < 0xA) return value_error("Invalid BCD sign nibble: expected 0xA-0xF for signed packed BCD");
    negative = sign == 0xB || sign == 0xD;
    first = 1;
  }
  // Nibbles beyond the pattern are zero digits and add nothing: stop at the pattern's end.
  const std::uint32_t end = bits / 4 < 16 ? bits / 4 : 16;
  std::uint8_t digits[16] = {};
  for (std::uint32_t i = first; i < end; ++i) {
    const std::uint64_t digit = nibble(pattern, i);
    if (digit > 9) return value_error("Invalid BCD digit: ", digit, " (must be 0-9)");
    digits[i - first] = static_cast<std::uint8_t>(digit);
  }
  return combine(digits, end - first, negative);
}

Result<std::int64_t> decode_unpacked_bcd(std::uint64_t pattern, std::uint32_t bits, bool is_signed) noexcept {
  if (bits < 8) return 0;
  const std::uint32_t count = bits / 8;
  const std::uint32_t end = count < 8 ? count : 8;
  std::uint8_t digits[8] = {};
  bool negative = false;
  if (!is_signed) {
    for (std::uint32_t i = 0; i < end; ++i) {
      const std::uint64_t byte = byte_at(pattern, i);
      if (byte > 9) return value_error("Invalid BCD digit: ", byte, " (must be 0-9)");
      digits[i] = static_cast<std::uint8_t>(byte);
    }
    return combine(digits, end, false);  // bytes beyond the pattern are 0x00, the digit 0
  }
  // Zoned decimal: the sign rides in the zone of the least significant digit.
  const std::uint64_t low = byte_at(pattern, 0);
  const std::uint64_t zone = low & 0xF0;
  if ((low & 0x0F) > 9 || (zone != 0xC0 && zone != 0xD0 && zone != 0xF0 && zone != 0x30)) {
    return value_error("Invalid zoned decimal signed byte: 0x", Hex{low, 2},
                       " (expected 0x30-0x39, 0xC0-0xC9, 0xD0-0xD9, or 0xF0-0xF9)");
  }
  negative = zone == 0xD0;
  digits[0] = static_cast<std::uint8_t>(low & 0x0F);
  // ASCII and EBCDIC digits may be mixed. Bytes beyond the pattern read as 0x00 and are refused.
  for (std::uint32_t i = 1; i < count; ++i) {
    const std::uint64_t byte = byte_at(pattern, i);
    if ((byte & 0x0F) > 9 || ((byte & 0xF0) != 0x30 && (byte & 0xF0) != 0xF0)) {
      return value_error("Invalid zoned decimal byte: 0x", Hex{byte, 2},
                         " (expected ASCII 0x30-0x39 or EBCDIC 0xF0-0xF9)");
    }
    digits[i] = static_cast<std::uint8_t>(byte & 0x0F);
  }
  return combine(digits, end, negative);
}

}  // namespace tessel::decoder
