// The packer's field writer: a numeric field's bytes, and the packet it lays bits into. Plain
// C++ over bytes and words, shared by the packer and the bit-writer fuzz harness.
//
// Packet bit 0 is the most significant bit of byte 0; a field is written, not combined, so a later
// overlapping field wins, zero bits included.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "bits.hpp"
#include "codec_error.hpp"

namespace tessel::encoder {

// A numeric field: its pattern, big-endian, in the low bytes of one word. No heap.
struct NumericField {
  std::uint64_t pattern;
};

// The field writer: a pattern of `bits` bits (mirrored when reversing) as whole bytes, most
// significant first, held right-aligned in one word.
inline Result<NumericField> write_numeric(std::uint64_t pattern, std::uint32_t bits, bool reverse) noexcept {
  if (bits > 64) return value_error("Cannot encode ", bits, " bits from a 64-bit value");
  if (reverse) pattern = reverse_low_bits(pattern, bits);
  const std::uint32_t bytes = (bits + 7) / 8;
  return NumericField{pattern & low_mask(8 * bytes)};
}

class Packet {
 public:
  Packet(std::uint8_t* data, std::uint64_t size) noexcept : data_(data), bits_(size * 8) {}

  // Packet bits from `position` on that a field of `bits` bits may write. The sizing pass leaves
  // room for every field; this bound keeps every write inside the packet all the same.
  [[nodiscard]] std::uint64_t room(std::uint64_t position, std::uint64_t bits) const noexcept {
    if (position >= bits_) return 0;
    return bits < bits_ - position ? bits : bits_ - position;
  }

  // Writes the low `bits` bits of `value` (bits <= 64) at packet bit `position`.
  void write_word(std::uint64_t position, std::uint64_t value, std::uint32_t bits) noexcept {
    const auto kept = static_cast<std::uint32_t>(room(position, bits));
    if (kept == 0) return;
    value = (value >> (bits - kept)) & low_mask(kept);  // the field's first bits
    std::uint8_t* first = data_ + position / 8;
    const std::uint32_t lead = static_cast<std::uint32_t>(position % 8);
    if (lead + kept <= 64 && position / 8 + 8 <= bits_ / 8) {
      // One big-endian word covers the field: read, splice, write back.
      std::uint64_t word = load_big64(first);
      const std::uint32_t shift = 64 - lead - kept;
      const std::uint64_t mask = low_mask(kept) << shift;
      word = (word & ~mask) | (value << shift);
      store_big64(first, word);
      return;
    }
    // Near the end of the packet, or a field spilling into a ninth byte: byte by byte.
    const std::uint32_t span = (lead + kept + 7) / 8;
    const std::uint32_t tail = 8 * span - lead - kept;  // bits after the field in its last byte
    u128 window = 0;
    for (std::uint32_t i = 0; i < span; ++i) window = window << 8 | first[i];
    const u128 mask = ((u128{1} << kept) - 1) << tail;
    window = (window & ~mask) | (u128{value} << tail);
    for (std::uint32_t i = span; i-- > 0;) {
      first[i] = static_cast<std::uint8_t>(window);
      window >>= 8;
    }
  }

  // Writes `bits` bits at `position` from `source` starting at its bit `from`; source bits past
  // its end are written as zeros.
  void write_bits(std::uint64_t position, const std::uint8_t* source, std::size_t source_size, std::uint64_t from,
                  std::uint64_t bits) noexcept {
    bits = room(position, bits);
    const std::uint64_t available = 8 * static_cast<std::uint64_t>(source_size) > from
                                        ? 8 * static_cast<std::uint64_t>(source_size) - from
                                        : 0;
    const std::uint64_t copied = bits < available ? bits : available;
    for (std::uint64_t done = 0; done < copied;) {
      const auto chunk = static_cast<std::uint32_t>(copied - done < 56 ? copied - done : 56);
      write_word(position + done, read_bits(source, source_size, from + done, chunk), chunk);
      done += chunk;
    }
    zero(position + copied, bits - copied);
  }

  void zero(std::uint64_t position, std::uint64_t bits) noexcept {
    while (bits > 0 && position % 8 != 0) {
      const auto chunk = static_cast<std::uint32_t>(bits < 8 - position % 8 ? bits : 8 - position % 8);
      write_word(position, 0, chunk);
      position += chunk;
      bits -= chunk;
    }
    if (bits >= 8) {
      std::memset(data_ + position / 8, 0, bits / 8);
      position += bits / 8 * 8;
      bits %= 8;
    }
    if (bits > 0) write_word(position, 0, static_cast<std::uint32_t>(bits));
  }

 private:
  // `count` (<= 56) bits of `source` from bit `from`, right-aligned.
  static std::uint64_t read_bits(const std::uint8_t* source, std::size_t size, std::uint64_t from,
                                 std::uint32_t count) noexcept {
    const std::uint64_t first = from / 8;
    const std::uint32_t lead = static_cast<std::uint32_t>(from % 8);
    const std::uint32_t span = (lead + count + 7) / 8;  // at most 8 bytes
    std::uint64_t window = 0;
    for (std::uint32_t i = 0; i < span; ++i) window = window << 8 | (first + i < size ? source[first + i] : 0);
    return (window >> (8 * span - lead - count)) & low_mask(count);
  }

  std::uint8_t* data_;
  std::uint64_t bits_;
};

}  // namespace tessel::encoder
