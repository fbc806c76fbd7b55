// The packer's field writer, reached through plain functions. Their translation unit
// (writer_under_test.cpp) includes the writer's header, src/encoder/field_writer.hpp, as the
// packer does, and is instrumented like the codecs; the harness that calls these is not.
#pragma once

#include <cstddef>
#include <cstdint>

#include "codec_error.hpp"

namespace fuzz::writer {

// A numeric field as the packer places it: the field writer (width check, mirroring, whole
// bytes), the byte order, then the word written at packet bit `position`.
[[nodiscard]] tessel::Result<void> place_numeric(std::uint8_t* packet, std::size_t size, std::uint64_t position,
                                                 std::uint64_t pattern, std::uint32_t bits, bool reverse,
                                                 bool little) noexcept;

// The packet writer's own operations on a packet of `size` bytes.
void write_word(std::uint8_t* packet, std::size_t size, std::uint64_t position, std::uint64_t value,
                std::uint32_t bits) noexcept;
void write_bits(std::uint8_t* packet, std::size_t size, std::uint64_t position, const std::uint8_t* source,
                std::size_t source_size, std::uint64_t from, std::uint64_t bits) noexcept;
[[nodiscard]] std::uint64_t room(std::size_t size, std::uint64_t position, std::uint64_t bits) noexcept;
void zero(std::uint8_t* packet, std::size_t size, std::uint64_t position, std::uint64_t bits) noexcept;

}  // namespace fuzz::writer
