// The columnar decoder (src/archive/columns.cpp) against a per-packet reading of the same layout.
//
// The input gives a layout of up to 8 fields (any number or float decoding, text, widths 0 to 72,
// any start bit, either byte order, bit reversal, some fields not kept) and up to 64 packets of
// random lengths over one buffer. The reference reads each packet whole, field after field, as
// unpack_parameters does: the bounds from the byte that holds the start, the low `bits` bits of
// the whole bytes, the scalar decoders. The columns must hold exactly its values, and the first
// failure (packet, field, message) must be its first failure; on 1, 2 and 3 threads alike.
#include <cmath>
#include <cstring>
#include <optional>
#include <variant>
#include <vector>

#include "archive/columns.hpp"
#include "bits.hpp"
#include "decoder/decoder.hpp"
#include "decoder/field_decoding.hpp"
#include "harness.hpp"

namespace {

using tessel::archive::Failure;
using tessel::archive::Field;
using tessel::archive::Packets;
using tessel::archive::Store;
using tessel::decoder::Decoding;

constexpr Decoding kDecodings[] = {
    Decoding::unsigned_int, Decoding::twos_complement, Decoding::ones_complement, Decoding::sign_magnitude,
    Decoding::bcd,          Decoding::bcd_signed,      Decoding::packed_bcd,      Decoding::packed_bcd_signed,
    Decoding::ieee754_f16,  Decoding::ieee754_f32,     Decoding::ieee754_f64,     Decoding::ieee754_f128,
    Decoding::utf8,
};

using Value = std::variant<std::int64_t, std::uint64_t, double>;

// One field of one packet, read on its own: its value, or its failure's message.
std::variant<Value, std::string> read_one(const Field& f, const std::uint8_t* packet, std::uint64_t length) {
  const std::uint64_t first = f.start / 8;
  if (first + f.count > length) return tessel::archive::range_message(first, f.count, length);
  if (f.store == Store::text) return Value{std::int64_t{0}};
  // The first eight bytes, in byte order, big-endian.
  std::uint64_t raw = 0;
  const std::uint32_t used = f.count < 8 ? f.count : 8;
  for (std::uint32_t i = 0; i < used; ++i) raw = raw << 8 | (f.little ? packet[first + f.count - 1 - i] : packet[first + i]);
  raw = f.reverse ? tessel::reverse_low_bits(raw, f.bits) : raw & tessel::low_mask(f.bits);
  namespace d = tessel::decoder;
  const auto decimal = [](tessel::Result<std::int64_t> r) -> std::variant<Value, std::string> {
    if (!r) return r.error().message();
    return Value{*r};
  };
  switch (f.decoding) {
    case Decoding::unsigned_int: return Value{raw};
    case Decoding::twos_complement: return Value{d::decode_twos_complement(raw, f.bits)};
    case Decoding::ones_complement: return Value{d::decode_ones_complement(raw, f.bits)};
    case Decoding::sign_magnitude: return Value{d::decode_sign_magnitude(raw, f.bits)};
    case Decoding::bcd: return decimal(d::decode_unpacked_bcd(raw, f.bits, false));
    case Decoding::bcd_signed: return decimal(d::decode_unpacked_bcd(raw, f.bits, true));
    case Decoding::packed_bcd: return decimal(d::decode_packed_bcd(raw, f.bits, false));
    case Decoding::packed_bcd_signed: return decimal(d::decode_packed_bcd(raw, f.bits, true));
    case Decoding::ieee754_f16: return Value{d::decode_ieee754_f16(raw)};
    case Decoding::ieee754_f32: return Value{d::decode_ieee754_f32(raw)};
    case Decoding::ieee754_f64: return Value{d::decode_ieee754_f64(raw)};
    default: return Value{0.0};
  }
}

// The column's element `i` as the reference value's type.
Value stored(const Field& f, std::size_t i) {
  const auto* p = static_cast<const std::uint8_t*>(f.column) + i * tessel::archive::store_size(f.store);
  const auto get = [p]<class T>(T) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
  };
  switch (f.store) {
    case Store::u8: return Value{std::uint64_t{get(std::uint8_t{})}};
    case Store::u16: return Value{std::uint64_t{get(std::uint16_t{})}};
    case Store::u32: return Value{std::uint64_t{get(std::uint32_t{})}};
    case Store::u64: return Value{get(std::uint64_t{})};
    case Store::i8: return Value{std::int64_t{get(std::int8_t{})}};
    case Store::i16: return Value{std::int64_t{get(std::int16_t{})}};
    case Store::i32: return Value{std::int64_t{get(std::int32_t{})}};
    case Store::i64: return Value{get(std::int64_t{})};
    case Store::f32: return Value{double{get(float{})}};
    case Store::f64: return Value{get(double{})};
    case Store::text: return Value{std::int64_t{0}};
  }
  return Value{std::int64_t{0}};
}

bool same(const Value& reference, const Value& column) {
  if (const auto* r = std::get_if<double>(&reference)) {
    // Bit for bit (a binary16 or binary32 value comes back whole from its float32 column); any NaN
    // for a NaN.
    const double c = std::get<double>(column);
    return (std::isnan(*r) && std::isnan(c)) || std::memcmp(r, &c, sizeof c) == 0;
  }
  // A decimal decodes to int64 whatever its sign; an unsigned column holds its non-negative values.
  const auto as_wide = [](const Value& v) -> __int128 {
    if (const auto* s = std::get_if<std::int64_t>(&v)) return *s;
    return static_cast<__int128>(std::get<std::uint64_t>(v));
  };
  return as_wide(reference) == as_wide(column);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input in(data, size);
  const std::size_t field_count = in.byte() % 9;
  std::vector<Field> fields(field_count);
  std::vector<bool> kept(field_count);
  for (std::size_t k = 0; k < field_count; ++k) {
    const Decoding decoding = kDecodings[in.byte() % std::size(kDecodings)];
    std::uint32_t bits = in.byte() % 73;
    if (decoding == Decoding::ieee754_f128 && bits > 64) bits = 64;  // wider ones are refused with the recipe
    const std::uint64_t start = in.byte() % 96;
    const std::uint8_t flags = in.byte();
    fields[k] = Field{decoding, bits, (bits + 7) / 8, start, (flags & 1) != 0, (flags & 2) != 0,
                      tessel::archive::store_for(decoding, bits), nullptr};
    kept[k] = (flags & 4) == 0;
  }
  const std::size_t packet_count = in.byte() % 65;
  // Lengths as int64 packet lengths, or as decode passes them: each primary header's data length
  // field, a whole packet being 7 bytes longer.
  const bool header_lengths = (in.byte() & 1) != 0;
  std::vector<std::int64_t> starts(packet_count), lengths(packet_count);
  std::vector<std::uint16_t> data_lengths(packet_count);
  std::vector<std::uint8_t> buffer;
  for (std::size_t i = 0; i < packet_count; ++i) {
    const std::size_t length = header_lengths ? 7 + in.byte() % 17 : in.byte() % 24;
    starts[i] = static_cast<std::int64_t>(buffer.size());
    lengths[i] = static_cast<std::int64_t>(length);
    if (header_lengths) data_lengths[i] = static_cast<std::uint16_t>(length - 7);
    for (std::size_t b = 0; b < length; ++b) buffer.push_back(in.byte());
  }
  const Packets packets = header_lengths
                              ? Packets{buffer.data(), starts.data(), nullptr, packet_count, data_lengths.data()}
                              : Packets{buffer.data(), starts.data(), lengths.data(), packet_count};

  // The reference, row by row: every value, up to the first failure.
  std::optional<std::pair<std::size_t, std::size_t>> first;
  std::string first_message;
  std::vector<std::vector<Value>> expected(field_count);
  for (std::size_t i = 0; i < packet_count && !first; ++i) {
    for (std::size_t k = 0; k < field_count && !first; ++k) {
      auto got = read_one(fields[k], buffer.data() + starts[i], static_cast<std::uint64_t>(lengths[i]));
      if (auto* message = std::get_if<std::string>(&got)) {
        first = {i, k};
        first_message = *message;
      } else {
        expected[k].push_back(std::get<Value>(got));
      }
    }
  }

  for (unsigned threads : {1u, 2u, 3u}) {
    std::vector<std::vector<std::uint8_t>> storage(field_count);
    for (std::size_t k = 0; k < field_count; ++k) {
      storage[k].assign(packet_count * tessel::archive::store_size(fields[k].store), 0xA5);
      fields[k].column = kept[k] && !storage[k].empty() ? storage[k].data() : nullptr;
    }
    // Runs of any length, so that a few packets already spread over the threads.
    std::optional<Failure> failure = tessel::archive::decode_numbers_parallel(fields, packets, threads, 1);
    FUZZ_CHECK(failure.has_value() == first.has_value(), "threads ", threads, ": failure ", failure.has_value(),
               " where the reference has ", first.has_value());
    if (failure) {
      FUZZ_CHECK(failure->packet == first->first && failure->field == first->second, "threads ", threads,
                 ": first failure at packet ", failure->packet, " field ", failure->field, ", the reference's at ",
                 first->first, " field ", first->second);
      const std::string message = failure->error ? failure->error->message() : failure->range;
      FUZZ_CHECK(message == first_message, "message '", message, "', the reference's '", first_message, "'");
      continue;
    }
    for (std::size_t k = 0; k < field_count; ++k) {
      if (fields[k].column == nullptr || fields[k].store == Store::text) continue;
      for (std::size_t i = 0; i < packet_count; ++i) {
        FUZZ_CHECK(same(expected[k][i], stored(fields[k], i)), "threads ", threads, ": packet ", i, " field ", k,
                   " differs from the reference");
      }
    }
  }
  return 0;
}
