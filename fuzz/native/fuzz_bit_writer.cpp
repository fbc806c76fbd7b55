// The packer's bit placement against a model that sets one packet bit at a time.
//
// The packer's field writer (`write_numeric`, and `Packet`, which writes words and byte strings
// at any bit position with shifts and masks) comes from src/encoder/field_writer.hpp, the header
// the packer includes. The model follows the packet layout rules directly: packet bit p
// is bit 7 - p % 8 of byte p / 8; a field's bytes are cut to their last `bits` bits, or padded
// with zero bits when they hold fewer; bits past the packet's end are skipped; every bit of the
// field is written, zero bits included, and nothing else changes.
//
// Input: one byte for the packet's size (0 to 47 bytes), then operations until the input ends,
// each a selector byte and its operands. The bit helpers of bits.hpp are checked on the way.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "bits.hpp"
#include "codec_error.hpp"
#include "harness.hpp"
#include "writer_under_test.hpp"

namespace writer = fuzz::writer;

namespace {

using tessel::str_cat;

struct Model {
  std::vector<std::uint8_t> bytes;

  [[nodiscard]] std::uint64_t size_bits() const { return 8 * static_cast<std::uint64_t>(bytes.size()); }

  void set(std::uint64_t p, bool bit) {
    if (p >= size_bits()) return;  // past the packet's end: skipped
    const auto weight = static_cast<std::uint8_t>(0x80 >> (p % 8));
    bytes[p / 8] = static_cast<std::uint8_t>(bit ? bytes[p / 8] | weight : bytes[p / 8] & ~weight);
  }

  // A field of `bits` bits from a byte string of its own: the string's last `bits` bits, or all
  // of them followed by zero bits.
  void place(std::uint64_t position, const std::vector<std::uint8_t>& field, std::uint64_t bits) {
    const std::uint64_t length = 8 * static_cast<std::uint64_t>(field.size());
    const std::uint64_t start = length >= bits ? length - bits : 0;
    for (std::uint64_t i = 0; i < bits && position + i < size_bits(); ++i) {
      const std::uint64_t s = start + i;
      const bool bit = s < length && ((field[s / 8] >> (7 - s % 8)) & 1) != 0;
      set(position + i, bit);
    }
  }
};

std::uint64_t mirror(std::uint64_t pattern, std::uint32_t bits) {
  std::uint64_t out = 0;
  for (std::uint32_t i = 0; i < bits && i < 64; ++i) {
    if (((pattern >> i) & 1) == 0) continue;
    const std::uint64_t to = std::uint64_t{bits} - 1 - i;
    if (to < 64) out |= std::uint64_t{1} << to;
  }
  return out;
}

class Harness {
 public:
  Harness(fuzz::Input& in, std::size_t size)
      : in_(in), storage_(new std::uint8_t[size]), size_(size) {
    // Start from bytes the fuzzer chose, so cleared bits are seen to be cleared.
    model_.bytes.resize(size);
    for (std::size_t i = 0; i < size; ++i) model_.bytes[i] = storage_[i] = in.byte();
  }

  std::uint64_t position() {
    const std::uint8_t pick = in_.byte();
    if (pick < 0xF0) return pick % (8 * size_ + 24);
    return in_.take<std::uint32_t>();  // anywhere a 32-bit position can lie
  }

  // A numeric field as the packer writes it: the field writer, byte order, then the word.
  void numeric_field() {
    const auto pattern = in_.take<std::uint64_t>();
    const std::uint32_t bits = in_.byte() % 73;
    const std::uint8_t flags = in_.byte();
    const bool reverse = (flags & 1) != 0;
    const bool little = (flags & 2) != 0;
    const std::uint64_t at = position();
    const auto what = [&] { return str_cat("numeric field 0x", tessel::Hex{pattern, 16}, " bits ", bits, " reverse ", reverse,
                                     " little ", little, " at ", at, " in ", size_, " bytes"); };

    auto placed = writer::place_numeric(storage_.get(), size_, at, pattern, bits, reverse, little);
    if (bits > 64) {
      FUZZ_CHECK(!placed && placed.error().kind() == tessel::ErrorKind::value_error &&
                     placed.error().message() == str_cat("Cannot encode ", bits, " bits from a 64-bit value"),
                 what());
      compare(what);  // nothing written
      return;
    }
    FUZZ_CHECK(placed.has_value(), what());

    // The model: mirror, whole bytes most significant first, byte order, placement.
    const std::uint64_t value = reverse ? mirror(pattern, bits) : pattern;
    const std::size_t n = (bits + 7) / 8;
    std::vector<std::uint8_t> bytes(n);
    for (std::size_t j = 0; j < n; ++j) bytes[j] = static_cast<std::uint8_t>(value >> (8 * (n - 1 - j)));
    if (little) std::reverse(bytes.begin(), bytes.end());
    model_.place(at, bytes, bits);
    compare(what);
  }

  // A text or binary field: its bytes (reversed for little-endian), cut or padded to `bits`.
  void byte_field() {
    std::vector<std::uint8_t> source = in_.bytes(24);
    const std::uint8_t pick = in_.byte();
    const std::uint64_t bits = pick < 0xF8 ? pick : in_.take<std::uint32_t>() % 100000;
    const bool little = in_.flag();
    const std::uint64_t at = position();
    const auto what = [&] { return str_cat("byte field of ", source.size(), " bytes, bits ", bits, " little ", little, " at ",
                                     at, " in ", size_, " bytes"); };
    if (little) std::reverse(source.begin(), source.end());
    // In a block of its own, exactly its size, so a read past it is seen.
    std::unique_ptr<std::uint8_t[]> exact(new std::uint8_t[source.size()]);
    if (!source.empty()) std::memcpy(exact.get(), source.data(), source.size());
    const std::uint64_t length = 8 * static_cast<std::uint64_t>(source.size());
    writer::write_bits(storage_.get(), size_, at, exact.get(), source.size(), length > bits ? length - bits : 0, bits);
    model_.place(at, source, bits);
    compare(what);
  }

  // The word writer on its own, with junk above the width: only the low `bits` bits count.
  void word() {
    const auto value = in_.take<std::uint64_t>();
    const std::uint32_t bits = in_.byte() % 65;
    const std::uint64_t at = position();
    writer::write_word(storage_.get(), size_, at, value, bits);
    std::vector<std::uint8_t> bytes(8);
    const std::uint64_t field = value & tessel::low_mask(bits);
    for (std::size_t j = 0; j < 8; ++j) bytes[j] = static_cast<std::uint8_t>(field >> (8 * (7 - j)));
    model_.place(at, bytes, bits);
    compare([&] { return str_cat("word 0x", tessel::Hex{value, 16}, " bits ", bits, " at ", at, " in ", size_, " bytes"); });
  }

  // Clearing, as the byte-field writer uses it: only within the room the packet has.
  void zero() {
    const std::uint64_t at = position();
    const std::uint64_t bits = writer::room(size_, at, in_.byte());
    writer::zero(storage_.get(), size_, at, bits);
    model_.place(at, {}, bits);
    compare([&] { return str_cat("zero ", bits, " bits at ", at, " in ", size_, " bytes"); });
  }

  // The helpers of bits.hpp against loops.
  void helpers() {
    const auto pattern = in_.take<std::uint64_t>();
    const std::uint32_t bits = in_.byte() % 140;
    const std::uint64_t mask = bits >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << bits) - 1;
    FUZZ_CHECK(tessel::low_mask(bits) == mask, "low_mask(", bits, ")");
    FUZZ_CHECK(tessel::reverse_low_bits(pattern, bits) == mirror(pattern, bits), "reverse_low_bits(0x",
               tessel::Hex{pattern, 16}, ", ", bits, ") gave 0x", tessel::Hex{tessel::reverse_low_bits(pattern, bits), 16},
               ", expected 0x", tessel::Hex{mirror(pattern, bits), 16});
    if (bits <= 64) {
      FUZZ_CHECK(tessel::reverse_low_bits(tessel::reverse_low_bits(pattern, bits), bits) == (pattern & mask),
                 "reverse_low_bits twice");
    }
    const auto signed_value = static_cast<std::int64_t>(pattern);
    const unsigned __int128 m = signed_value < 0 ? static_cast<unsigned __int128>(-static_cast<__int128>(signed_value))
                                                 : static_cast<unsigned __int128>(signed_value);
    FUZZ_CHECK(tessel::magnitude(signed_value) == m, "magnitude(", signed_value, ")");
  }

  void run() {
    while (in_.left() > 0) {
      switch (in_.byte() % 5) {
        case 0: numeric_field(); break;
        case 1: byte_field(); break;
        case 2: word(); break;
        case 3: zero(); break;
        default: helpers(); break;
      }
    }
  }

 private:
  template <class What>
  void compare(const What& what) {
    if (size_ == 0 || std::memcmp(storage_.get(), model_.bytes.data(), size_) == 0) return;
    fuzz::fail(str_cat(what(), ": packet ",
                       fuzz::hex_bytes({reinterpret_cast<const char*>(storage_.get()), size_}), "; expected ",
                       fuzz::hex_bytes({reinterpret_cast<const char*>(model_.bytes.data()), size_})));
  }

  fuzz::Input& in_;
  std::unique_ptr<std::uint8_t[]> storage_;
  std::size_t size_;
  Model model_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input input(data, size);
  const std::size_t packet_size = input.byte() % 48;
  // Every input reaches the writer, so even the empty one gives libFuzzer coverage to start from.
  FUZZ_CHECK(writer::room(packet_size, 0, 8) == (packet_size == 0 ? 0 : 8), "room at the start");
  Harness harness(input, packet_size);
  harness.run();
  return 0;
}
