// The columnar decoder: one recipe's fields read out of many packets into typed columns.
//
// Plain C++ over plain buffers, no interpreter: the numeric columns are filled without the GIL,
// on as many threads as asked. A field is read as unpack_parameters reads it (the whole-byte rule,
// the same decoders), so column k at row i is the value unpack_parameters gives field k of
// packet i. Text fields are only checked for their bounds here; their values are Python objects,
// made by the caller with the GIL held (decode_text).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "codec_error.hpp"
#include "decoder/field_decoding.hpp"

namespace tessel::archive {

// A column's element type: the narrowest that holds every value its field can decode to.
enum class Store : std::uint8_t { u8, u16, u32, u64, i8, i16, i32, i64, f32, f64, text };

[[nodiscard]] Store store_for(decoder::Decoding decoding, std::uint32_t bits) noexcept;
[[nodiscard]] std::size_t store_size(Store store) noexcept;  // bytes an element; 0 for text
[[nodiscard]] const char* store_dtype(Store store) noexcept;  // numpy's name: "uint8", ..., "object"

struct Field {
  decoder::Decoding decoding;
  std::uint32_t bits;
  std::uint32_t count;  // whole bytes read, from the byte that holds the start
  std::uint64_t start;  // packet bit
  bool little;
  bool reverse;
  Store store;
  void* column;  // `store` elements, one a packet; null for a field whose value is not kept
};

struct Packets {
  const std::uint8_t* data;
  const std::int64_t* starts;
  const std::int64_t* lengths;  // null when `data_lengths` gives them
  std::size_t count;
  // Instead of `lengths`, the primary headers' data length fields (the data field's bytes minus
  // one), which the index keeps anyway: a whole packet is 7 bytes longer. The caller spares the
  // memory of a second int64 array a packet.
  const std::uint16_t* data_lengths = nullptr;

  [[nodiscard]] std::uint64_t length(std::size_t i) const noexcept {
    return lengths != nullptr ? static_cast<std::uint64_t>(lengths[i]) : std::uint64_t{data_lengths[i]} + 7;
  }
};

// The first field that fails, in packet order and then field order.
struct Failure {
  std::size_t packet;
  std::size_t field;
  // A read past the end of the packet: its range message, as unpack_parameters raises it.
  std::string range;
  // Otherwise the decoding's error.
  std::optional<CodecError> error;
};

[[nodiscard]] bool before(const Failure& a, const Failure& b) noexcept;

// Fills the numeric columns of packets [begin, end) and checks every field's bounds; stops at the
// first failure, which it returns.
[[nodiscard]] std::optional<Failure> decode_numbers(std::span<const Field> fields, const Packets& packets,
                                                    std::size_t begin, std::size_t end) noexcept;

// decode_numbers over all packets on up to `threads` threads (at least 1), each a run of at least
// `least` packets; the same columns and the same failure on any number of threads.
[[nodiscard]] std::optional<Failure> decode_numbers_parallel(std::span<const Field> fields, const Packets& packets,
                                                             unsigned threads, std::size_t least = 1024);

// The range message of a field of `count` bytes from byte `first` of a packet of `length` bytes.
[[nodiscard]] std::string range_message(std::uint64_t first, std::uint32_t count, std::uint64_t length);

}  // namespace tessel::archive
