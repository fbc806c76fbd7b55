// The packer's field writer (src/encoder/field_writer.hpp, the header the packer includes) behind
// the plain functions of writer_under_test.hpp.
#include "writer_under_test.hpp"

#include <cstring>

#include "bits.hpp"

#include "encoder/field_writer.hpp"

namespace fuzz::writer {

using tessel::encoder::Packet;

tessel::Result<void> place_numeric(std::uint8_t* packet, std::size_t size, std::uint64_t position,
                                   std::uint64_t pattern, std::uint32_t bits, bool reverse, bool little) noexcept {
  auto field = tessel::encoder::write_numeric(pattern, bits, reverse);
  if (!field) return tessel::Unexpected(std::move(field.error()));
  // The packer's own steps after the field writer, as it takes them.
  std::uint64_t word = field->pattern;
  if (little && bits > 0) {
    const std::uint32_t bytes = (bits + 7) / 8;
    word = __builtin_bswap64(word) >> (64 - 8 * bytes);
  }
  Packet(packet, size).write_word(position, word & tessel::low_mask(bits), bits);
  return {};
}

void write_word(std::uint8_t* packet, std::size_t size, std::uint64_t position, std::uint64_t value,
                std::uint32_t bits) noexcept {
  Packet(packet, size).write_word(position, value, bits);
}

void write_bits(std::uint8_t* packet, std::size_t size, std::uint64_t position, const std::uint8_t* source,
                std::size_t source_size, std::uint64_t from, std::uint64_t bits) noexcept {
  Packet(packet, size).write_bits(position, source, source_size, from, bits);
}

std::uint64_t room(std::size_t size, std::uint64_t position, std::uint64_t bits) noexcept {
  return Packet(nullptr, size).room(position, bits);
}

void zero(std::uint8_t* packet, std::size_t size, std::uint64_t position, std::uint64_t bits) noexcept {
  Packet(packet, size).zero(position, bits);
}

}  // namespace fuzz::writer
