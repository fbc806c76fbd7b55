#include "archive/columns.hpp"

#include <algorithm>
#include <bit>
#include <thread>
#include <utility>

#include "bits.hpp"
#include "decoder/decoder.hpp"

namespace tessel::archive {

using decoder::Decoding;

namespace {

// The narrowest unsigned and signed stores of a range of widths.
Store unsigned_store(std::uint32_t bits) noexcept {
  return bits <= 8 ? Store::u8 : bits <= 16 ? Store::u16 : bits <= 32 ? Store::u32 : Store::u64;
}
Store signed_store(std::uint32_t bits) noexcept {
  return bits <= 8 ? Store::i8 : bits <= 16 ? Store::i16 : bits <= 32 ? Store::i32 : Store::i64;
}
// Decimal digits: up to 2 fit 8 bits (99), 4 fit 16 (9999) and 9 fit 32 (999,999,999), signed or not.
Store digits_store(std::uint32_t digits, bool is_signed) noexcept {
  const std::uint32_t bits = digits <= 2 ? 8 : digits <= 4 ? 16 : digits <= 9 ? 32 : 64;
  return is_signed ? signed_store(bits) : unsigned_store(bits);
}

}  // namespace

Store store_for(Decoding decoding, std::uint32_t bits) noexcept {
  const std::uint32_t width = bits > 64 ? 64 : bits;  // numbers read at most 64 bits
  switch (decoding) {
    case Decoding::unsigned_int: return unsigned_store(width);
    case Decoding::twos_complement:
    case Decoding::ones_complement:
    case Decoding::sign_magnitude: return signed_store(width);
    // Unpacked BCD and zoned decimal: a digit a byte, at most 8.
    case Decoding::bcd: return digits_store(std::min(bits / 8, 8u), false);
    case Decoding::bcd_signed: return digits_store(std::min(bits / 8, 8u), true);
    // Packed BCD: a digit a nibble, at most 16; the signed form spends the low nibble on the sign.
    case Decoding::packed_bcd: return digits_store(std::min(bits / 4, 16u), false);
    case Decoding::packed_bcd_signed: return digits_store(bits < 4 ? 0 : std::min(bits / 4, 16u) - 1, true);
    // Every binary16 and binary32 value is a binary32 value.
    case Decoding::ieee754_f16:
    case Decoding::ieee754_f32: return Store::f32;
    case Decoding::ieee754_f64:
    case Decoding::ieee754_f128: return Store::f64;
    default: return decoder::text_decoder(decoding) != nullptr ? Store::text : Store::f64;
  }
}

std::size_t store_size(Store store) noexcept {
  switch (store) {
    case Store::u8:
    case Store::i8: return 1;
    case Store::u16:
    case Store::i16: return 2;
    case Store::u32:
    case Store::i32:
    case Store::f32: return 4;
    case Store::text: return 0;
    default: return 8;
  }
}

const char* store_dtype(Store store) noexcept {
  static constexpr const char* kNames[] = {"uint8", "uint16", "uint32", "uint64", "int8", "int16",
                                           "int32", "int64", "float32", "float64", "object"};
  return kNames[static_cast<std::size_t>(store)];
}

bool before(const Failure& a, const Failure& b) noexcept {
  return a.packet != b.packet ? a.packet < b.packet : a.field < b.field;
}

std::string range_message(std::uint64_t first, std::uint32_t count, std::uint64_t length) {
  if (first > length) return str_cat("range start index ", first, " out of range for slice of length ", length);
  return str_cat("range end index ", first + count, " out of range for slice of length ", length);
}

namespace {

// A field's raw number from its bytes, as decoder::load_number forms it; the usual widths with
// their byte order fixed at compile time.
template <std::uint32_t Count, bool Little>
struct FixedLoad {
  [[gnu::always_inline]] std::uint64_t operator()(const std::uint8_t* span, std::uint32_t, bool) const noexcept {
    return decoder::load_number(span, Count, Little);
  }
};
struct AnyLoad {
  [[gnu::always_inline]] std::uint64_t operator()(const std::uint8_t* span, std::uint32_t count,
                                                  bool little) const noexcept {
    return decoder::load_number(span, count, little);
  }
};

// One field down a run of packets: `decode(raw)` gives the value or the error. Returns the first
// packet that fails, its failure filled in.
template <class T, bool Reverse, class Load, class Decode>
std::optional<Failure> fill_loaded(const Field& field, std::size_t index, const Packets& packets, std::size_t begin,
                                   std::size_t end, Decode decode, bool checked) noexcept {
  T* out = static_cast<T*>(field.column);
  const std::uint64_t first = field.start >> 3;
  const std::uint64_t mask = low_mask(field.bits);
  const Load load;
  for (std::size_t i = begin; i < end; ++i) {
    if (!checked && first + field.count > packets.length(i)) [[unlikely]] {
      return Failure{i, index, range_message(first, field.count, packets.length(i)), std::nullopt};
    }
    if constexpr (!std::is_void_v<T>) {
      const std::uint8_t* span = packets.data + packets.starts[i] + first;
      std::uint64_t raw = load(span, field.count, field.little);
      raw = Reverse ? reverse_low_bits(raw, field.bits) : raw & mask;
      auto value = decode(raw);
      if constexpr (requires { value.has_value(); }) {
        if (!value) [[unlikely]] return Failure{i, index, {}, std::move(value.error())};
        if (out != nullptr) out[i] = static_cast<T>(*value);
      } else {
        if (out != nullptr) out[i] = static_cast<T>(value);
      }
    }
  }
  return std::nullopt;
}

template <class T, class Decode>
std::optional<Failure> fill(const Field& field, std::size_t index, const Packets& packets, std::size_t begin,
                            std::size_t end, Decode decode, bool checked) noexcept {
  if (field.reverse) return fill_loaded<T, true, AnyLoad>(field, index, packets, begin, end, decode, checked);
  const auto fixed = [&]<std::uint32_t Count>() {
    return field.little ? fill_loaded<T, false, FixedLoad<Count, true>>(field, index, packets, begin, end, decode, checked)
                        : fill_loaded<T, false, FixedLoad<Count, false>>(field, index, packets, begin, end, decode, checked);
  };
  switch (field.count) {
    case 1: return fill_loaded<T, false, FixedLoad<1, false>>(field, index, packets, begin, end, decode, checked);
    case 2: return fixed.template operator()<2>();
    case 4: return fixed.template operator()<4>();
    case 8: return fixed.template operator()<8>();
    default: return fill_loaded<T, false, AnyLoad>(field, index, packets, begin, end, decode, checked);
  }
}

template <class T>
std::optional<Failure> fill_field(const Field& field, std::size_t index, const Packets& packets, std::size_t begin,
                                  std::size_t end, bool checked) noexcept {
  const std::uint32_t bits = field.bits;
  const auto run = [&](auto decode) { return fill<T>(field, index, packets, begin, end, decode, checked); };
  switch (field.decoding) {
    case Decoding::unsigned_int: return run([](std::uint64_t raw) { return raw; });
    case Decoding::twos_complement: return run([bits](std::uint64_t raw) { return decoder::decode_twos_complement(raw, bits); });
    case Decoding::ones_complement: return run([bits](std::uint64_t raw) { return decoder::decode_ones_complement(raw, bits); });
    case Decoding::sign_magnitude: return run([bits](std::uint64_t raw) { return decoder::decode_sign_magnitude(raw, bits); });
    case Decoding::bcd: return run([bits](std::uint64_t raw) { return decoder::decode_unpacked_bcd(raw, bits, false); });
    case Decoding::bcd_signed: return run([bits](std::uint64_t raw) { return decoder::decode_unpacked_bcd(raw, bits, true); });
    case Decoding::packed_bcd: return run([bits](std::uint64_t raw) { return decoder::decode_packed_bcd(raw, bits, false); });
    case Decoding::packed_bcd_signed: return run([bits](std::uint64_t raw) { return decoder::decode_packed_bcd(raw, bits, true); });
    case Decoding::ieee754_f16: return run([](std::uint64_t raw) { return decoder::decode_ieee754_f16(raw); });
    case Decoding::ieee754_f32:
      // Into a binary32 column the pattern goes as it is, but for a NaN's quiet bit: the float
      // that decode_ieee754_f32's exact widening narrows back to.
      return run([](std::uint64_t raw) {
        auto single = static_cast<std::uint32_t>(raw);
        if ((single & 0x7F800000u) == 0x7F800000u && (single & 0x007FFFFFu) != 0) single |= 0x00400000u;
        return std::bit_cast<float>(single);
      });
    case Decoding::ieee754_f64: return run([](std::uint64_t raw) { return decoder::decode_ieee754_f64(raw); });
    // A binary128 field of 64 bits or fewer reads as 0.0 (wider ones are refused with the recipe).
    default: return run([](std::uint64_t) { return 0.0; });
  }
}

std::optional<Failure> decode_field(const Field& field, std::size_t index, const Packets& packets, std::size_t begin,
                                    std::size_t end, bool checked) noexcept {
  switch (field.store) {
    case Store::u8: return fill_field<std::uint8_t>(field, index, packets, begin, end, checked);
    case Store::u16: return fill_field<std::uint16_t>(field, index, packets, begin, end, checked);
    case Store::u32: return fill_field<std::uint32_t>(field, index, packets, begin, end, checked);
    case Store::u64: return fill_field<std::uint64_t>(field, index, packets, begin, end, checked);
    case Store::i8: return fill_field<std::int8_t>(field, index, packets, begin, end, checked);
    case Store::i16: return fill_field<std::int16_t>(field, index, packets, begin, end, checked);
    case Store::i32: return fill_field<std::int32_t>(field, index, packets, begin, end, checked);
    case Store::i64: return fill_field<std::int64_t>(field, index, packets, begin, end, checked);
    case Store::f32: return fill_field<float>(field, index, packets, begin, end, checked);
    case Store::f64: return fill_field<double>(field, index, packets, begin, end, checked);
    case Store::text: return fill<void>(field, index, packets, begin, end, [](std::uint64_t) { return 0; }, checked);
  }
  return std::nullopt;
}

// Whether packets [begin, end) all have at least `need` bytes. Kept out of line, once a block,
// so that the field loops stay inlined into decode_numbers.
[[gnu::noinline]] bool long_enough(const Packets& packets, std::size_t begin, std::size_t end,
                                   std::uint64_t need) noexcept {
  bool checked = true;
  if (packets.lengths != nullptr) {
    for (std::size_t i = begin; i < end && checked; ++i) checked = static_cast<std::uint64_t>(packets.lengths[i]) >= need;
  } else {
    for (std::size_t i = begin; i < end && checked; ++i) checked = std::uint64_t{packets.data_lengths[i]} + 7 >= need;
  }
  return checked;
}

}  // namespace

std::optional<Failure> decode_numbers(std::span<const Field> fields, const Packets& packets, std::size_t begin,
                                      std::size_t end) noexcept {
  // Field by field down a block of packets, block after block: a column is written in order, each
  // field's loop knows its decoding, and a block's packets stay in the cache for all its fields.
  // The first failure in packet order is the earliest of each field's first one in the first
  // block that fails, and a later field need not look past it.
  constexpr std::size_t kBlock = 256;
  std::uint64_t need = 0;
  for (const Field& field : fields) need = std::max(need, (field.start >> 3) + field.count);
  for (std::size_t block = begin; block < end; block += kBlock) {
    const std::size_t stop = std::min(end, block + kBlock);
    // Packets long enough for every field, the usual case, are checked once rather than by each field.
    const bool checked = long_enough(packets, block, stop, need);
    std::optional<Failure> first;
    for (std::size_t k = 0; k < fields.size(); ++k) {
      const std::size_t last = first ? first->packet + 1 : stop;
      auto failed = decode_field(fields[k], k, packets, block, last, checked);
      if (failed && (!first || before(*failed, *first))) first = std::move(failed);
    }
    if (first) return first;
  }
  return std::nullopt;
}

std::optional<Failure> decode_numbers_parallel(std::span<const Field> fields, const Packets& packets,
                                               unsigned threads, std::size_t least) {
  const std::size_t n = packets.count;
  const std::size_t runs = std::max<std::size_t>(1, std::min<std::size_t>(threads, n / std::max<std::size_t>(least, 1)));
  if (runs == 1) return decode_numbers(fields, packets, 0, n);
  std::vector<std::optional<Failure>> failures(runs);
  std::vector<std::thread> workers;
  workers.reserve(runs - 1);
  const auto bounds = [&](std::size_t r) { return std::pair{n * r / runs, n * (r + 1) / runs}; };
  for (std::size_t r = 1; r < runs; ++r) {
    workers.emplace_back([&, r] {
      const auto [begin, end] = bounds(r);
      failures[r] = decode_numbers(fields, packets, begin, end);
    });
  }
  const auto [begin, end] = bounds(0);
  failures[0] = decode_numbers(fields, packets, begin, end);
  for (std::thread& worker : workers) worker.join();
  for (auto& failure : failures) {
    if (failure) return std::move(failure);  // runs are in packet order
  }
  return std::nullopt;
}

}  // namespace tessel::archive
