// The integer, decimal and IEEE 754 codecs against plain reference models.
//
// Input: one selector byte, then the operation's operands (64-bit values, widths, flags).
// Each operation checks the codec's outcome (pattern or value, error kind and exact message)
// against a model written from the field rules with 128-bit arithmetic, decimal digit strings
// and a table of every binary16 value; successful encodings are decoded again and must give
// the value back.
#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <string>

#include "bits.hpp"
#include "decoder/decoder.hpp"
#include "encoder/encoder.hpp"
#include "harness.hpp"

namespace {

namespace enc = tessel::encoder;
namespace dec = tessel::decoder;
using i128 = __int128;
using tessel::ErrorKind;
using tessel::Result;
using tessel::str_cat;
using tessel::u128;

// The model's outcome: a pattern or value, or a value error with its message.
template <class T>
struct Expect {
  bool ok;
  T value;
  std::string message;
};

template <class T>
Expect<T> ok(T value) {
  return {true, value, {}};
}

template <class T>
Expect<T> error(std::string message) {
  return {false, T{}, std::move(message)};
}

// `operands` names the call, built only when a check fails.
template <class T, class U, class Operands>
void compare(const char* what, const Result<T>& got, const Expect<U>& want, const Operands& operands) {
  if (want.ok) {
    FUZZ_CHECK(got.has_value(), what, operands(), " failed: ", got.has_value() ? "" : fuzz::describe(got.error()));
    FUZZ_CHECK(static_cast<U>(*got) == want.value, what, operands(), " gave ", *got, ", expected ", want.value);
  } else {
    FUZZ_CHECK(!got.has_value(), what, operands(), " gave ", got.has_value() ? *got : T{}, ", expected '", want.message,
               "'");
    FUZZ_CHECK(got.error().kind() == ErrorKind::value_error && got.error().message() == want.message, what, operands(),
               " gave ", fuzz::describe(got.error()), ", expected '", want.message, "'");
  }
}

std::uint32_t width(fuzz::Input& in) {
  // Mostly the widths that matter (0 to 79), sometimes any 32-bit width.
  const std::uint8_t pick = in.byte();
  if (pick < 0xF0) return pick % 80;
  return in.take<std::uint32_t>();
}

std::uint64_t mask(std::uint32_t bits) { return bits >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << bits) - 1; }

std::string decimal(i128 v) {
  if (v == 0) return "0";
  const bool negative = v < 0;
  u128 m = negative ? static_cast<u128>(-v) : static_cast<u128>(v);
  std::string digits;
  while (m != 0) {
    digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(m % 10)));
    m /= 10;
  }
  return negative ? "-" + digits : digits;
}

// ---------------------------------------------------------------------------------------------
// Integers

void twos_complement(fuzz::Input& in) {
  const auto v = in.take<std::int64_t>();
  const std::uint32_t bits = width(in);
  const auto operands = [&] { return str_cat("(", v, ", ", bits, ")"); };
  Expect<std::uint64_t> want;
  if (bits > 64) {
    want = error<std::uint64_t>("bits must be <= 64 for two's complement encoding");
  } else {
    // A width of 0 holds only 0.
    const i128 max = bits == 0 ? 0 : (i128{1} << (bits - 1)) - 1;
    const i128 min = bits == 0 ? 0 : -(i128{1} << (bits - 1));
    if (v < min || v > max) {
      want = error<std::uint64_t>(str_cat("Value ", v, " out of range for ", bits, " bits (range: ", decimal(min), " to ",
                                          decimal(max), ")"));
    } else {
      want = ok<std::uint64_t>(static_cast<std::uint64_t>(v) & mask(bits));
    }
  }
  const auto got = enc::encode_twos_complement(v, bits);
  compare("encode_twos_complement", got, want, operands);
  if (got) FUZZ_CHECK(dec::decode_twos_complement(*got, bits) == v, "two's complement round trip ", operands());
}

void ones_complement(fuzz::Input& in) {
  const auto v = in.take<std::int64_t>();
  const std::uint32_t bits = width(in);
  const auto operands = [&] { return str_cat("(", v, ", ", bits, ")"); };
  Expect<std::uint64_t> want;
  const i128 limit = bits == 0 || bits > 64 ? 0 : (i128{1} << (bits - 1)) - 1;
  const i128 m = v < 0 ? -i128{v} : i128{v};
  if (bits > 64) {
    want = error<std::uint64_t>("bits must be <= 64 for ones' complement encoding");
  } else if (v >= 0 && m > limit) {
    want = error<std::uint64_t>(str_cat("Value ", v, " is too large for ", bits, " bits"));
  } else if (v < 0 && m > limit) {
    want = error<std::uint64_t>(str_cat("Value ", v, " is too large (magnitude) for ", bits, " bits"));
  } else {
    want = ok<std::uint64_t>(v >= 0 ? static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>((i128{1} << bits) - 1 - m));
  }
  const auto got = enc::encode_ones_complement(v, bits);
  compare("encode_ones_complement", got, want, operands);
  if (got) {
    FUZZ_CHECK(*got != mask(bits) || bits == 0, "ones' complement wrote negative zero ", operands());
    FUZZ_CHECK(dec::decode_ones_complement(*got, bits) == v, "ones' complement round trip ", operands());
  }
}

void sign_magnitude(fuzz::Input& in) {
  const auto v = in.take<std::int64_t>();
  const std::uint32_t bits = width(in);
  const auto operands = [&] { return str_cat("(", v, ", ", bits, ")"); };
  Expect<std::uint64_t> want;
  const u128 m = v < 0 ? static_cast<u128>(-i128{v}) : static_cast<u128>(v);
  if (bits < 2 || bits > 64) {
    want = error<std::uint64_t>("bits must be between 2 and 64 for sign-magnitude encoding");
  } else if (m >= (u128{1} << (bits - 1))) {
    want = error<std::uint64_t>(str_cat("Magnitude of ", v, " is too large for ", bits, " bits"));
  } else {
    want = ok<std::uint64_t>(static_cast<std::uint64_t>(m) | (v < 0 ? std::uint64_t{1} << (bits - 1) : 0));
  }
  const auto got = enc::encode_sign_magnitude(v, bits);
  compare("encode_sign_magnitude", got, want, operands);
  if (got) FUZZ_CHECK(dec::decode_sign_magnitude(*got, bits) == v, "sign-magnitude round trip ", operands());
}

void unsigned_field(fuzz::Input& in) {
  const auto v = in.take<std::uint64_t>();
  const std::uint32_t bits = width(in);
  const bool fits = bits >= 64 || (u128{v} >> bits) == 0;
  const auto want = fits ? ok<std::uint64_t>(v) : error<std::uint64_t>(str_cat("Value ", v, " is too large for ", bits, " bits"));
  compare("encode_unsigned", enc::encode_unsigned(v, bits), want, [&] { return str_cat("(", v, ", ", bits, ")"); });
}

// The integer decoders read only the low `bits` bits (all 64 from 64 on); a width of 0 reads 0.
void integer_decoders(fuzz::Input& in) {
  const auto pattern = in.take<std::uint64_t>();
  const std::uint32_t bits = width(in);
  const auto operands = [&] { return str_cat("(", pattern, ", ", bits, ")"); };
  const std::uint32_t w = bits > 64 ? 64 : bits;
  const std::uint64_t field = pattern & mask(w);
  const bool negative = w != 0 && ((field >> (w - 1)) & 1) != 0;
  const i128 full = i128{1} << w;
  const i128 twos = w == 0 ? 0 : negative ? i128{field} - full : i128{field};
  const i128 ones = w == 0 ? 0 : negative ? -((full - 1) - i128{field}) : i128{field};
  const i128 magnitude = w == 0 ? 0 : i128{field & mask(w - 1)};
  const i128 sm = negative ? -magnitude : magnitude;
  FUZZ_CHECK(dec::decode_twos_complement(pattern, bits) == twos, "decode_twos_complement", operands());
  FUZZ_CHECK(dec::decode_ones_complement(pattern, bits) == ones, "decode_ones_complement", operands());
  FUZZ_CHECK(dec::decode_sign_magnitude(pattern, bits) == sm, "decode_sign_magnitude", operands());
}

// ---------------------------------------------------------------------------------------------
// Decimals, modelled on digit strings

std::string digits_of(std::int64_t v) {
  std::string d = decimal(v);
  if (d[0] == '-') d.erase(0, 1);
  return d == "0" ? "" : d;  // zero needs no digit position
}

void packed_bcd_encode(fuzz::Input& in) {
  const auto v = in.take<std::int64_t>();
  const std::uint32_t bits = width(in);
  const bool is_signed = in.flag();
  const auto operands = [&] { return str_cat("(", v, ", ", bits, ", ", is_signed, ")"); };
  Expect<std::uint64_t> want;
  const std::string digits = digits_of(v);
  const std::uint32_t positions = bits / 4 - (is_signed ? 1 : 0);
  if (bits < 4) {
    want = error<std::uint64_t>("bits must be >= 4 for packed BCD");
  } else if (bits > 64) {
    want = error<std::uint64_t>("bits must be <= 64 for packed BCD");
  } else if (v < 0 && !is_signed) {
    want = error<std::uint64_t>("Cannot encode negative value in unsigned BCD");
  } else if (digits.size() > positions) {
    want = error<std::uint64_t>(str_cat("Value ", v, " has too many digits for ", positions, " BCD digits"));
  } else {
    std::uint64_t pattern = 0;
    for (char d : digits) pattern = pattern << 4 | static_cast<std::uint64_t>(d - '0');
    if (is_signed) pattern = pattern << 4 | (v < 0 ? 0xD : 0xC);
    want = ok<std::uint64_t>(pattern);
  }
  const auto got = enc::encode_packed_bcd(v, bits, is_signed);
  compare("encode_packed_bcd", got, want, operands);
  if (got) {
    const auto back = dec::decode_packed_bcd(*got, bits, is_signed);
    FUZZ_CHECK(back && *back == v, "packed BCD round trip ", operands());
  }
}

void unpacked_bcd_encode(fuzz::Input& in) {
  const auto v = in.take<std::int64_t>();
  const std::uint32_t bits = width(in);
  const bool is_signed = in.flag();
  const auto operands = [&] { return str_cat("(", v, ", ", bits, ", ", is_signed, ")"); };
  Expect<std::uint64_t> want;
  const std::string digits = digits_of(v);
  const std::uint32_t positions = bits / 8;
  if (bits < 8) {
    want = error<std::uint64_t>("bits must be >= 8 for unpacked BCD");
  } else if (bits > 64) {
    want = error<std::uint64_t>("bits must be <= 64 for unpacked BCD");
  } else if (digits.size() > positions) {
    want = error<std::uint64_t>(str_cat("Value ", v, " has too many digits for ", positions, " BCD digits"));
  } else {
    std::string padded = std::string(positions - digits.size(), '0') + digits;
    std::uint64_t pattern = 0;
    for (std::size_t i = 0; i < padded.size(); ++i) {
      std::uint64_t byte = static_cast<std::uint64_t>(padded[i] - '0');
      if (is_signed) byte |= i + 1 == padded.size() ? (v < 0 ? 0xD0 : 0xC0) : 0xF0;
      pattern = pattern << 8 | byte;
    }
    want = ok<std::uint64_t>(pattern);
  }
  const auto got = enc::encode_unpacked_bcd(v, bits, is_signed);
  compare("encode_unpacked_bcd", got, want, operands);
  if (got) {
    // The unsigned form keeps only the magnitude.
    const auto back = dec::decode_unpacked_bcd(*got, bits, is_signed);
    const i128 expected = is_signed || v >= 0 ? i128{v} : -i128{v};
    FUZZ_CHECK(back && *back == expected, "unpacked BCD round trip ", operands());
  }
}

void packed_bcd_decode(fuzz::Input& in) {
  const auto pattern = in.take<std::uint64_t>();
  const std::uint32_t bits = width(in);
  const bool is_signed = in.flag();
  const auto operands = [&] { return str_cat("(", pattern, ", ", bits, ", ", is_signed, ")"); };
  // Nibble i of the field; nibbles past the 64-bit pattern read as 0.
  const auto nibble = [&](std::uint64_t i) { return i < 16 ? (pattern >> (4 * i)) & 0xF : 0; };
  Expect<std::int64_t> want = ok<std::int64_t>(0);
  if (bits >= 4) {
    const std::uint64_t count = bits / 4;
    bool negative = false;
    std::uint64_t first = 0;
    if (is_signed) {
      if (nibble(0) < 0xA) want = error<std::int64_t>("Invalid BCD sign nibble: expected 0xA-0xF for signed packed BCD");
      negative = nibble(0) == 0xB || nibble(0) == 0xD;
      first = 1;
    }
    i128 value = 0;
    for (std::uint64_t i = first; want.ok && i < std::min<std::uint64_t>(count, 16); ++i) {
      if (nibble(i) > 9) want = error<std::int64_t>(str_cat("Invalid BCD digit: ", nibble(i), " (must be 0-9)"));
    }
    for (std::uint64_t i = std::min<std::uint64_t>(count, 16); i-- > first;) value = value * 10 + nibble(i);
    if (want.ok) want = ok<std::int64_t>(static_cast<std::int64_t>(negative ? -value : value));
  }
  compare("decode_packed_bcd", dec::decode_packed_bcd(pattern, bits, is_signed), want, operands);
}

void unpacked_bcd_decode(fuzz::Input& in) {
  const auto pattern = in.take<std::uint64_t>();
  const std::uint32_t bits = width(in);
  const bool is_signed = in.flag();
  const auto operands = [&] { return str_cat("(", pattern, ", ", bits, ", ", is_signed, ")"); };
  const auto byte = [&](std::uint64_t i) { return i < 8 ? (pattern >> (8 * i)) & 0xFF : 0; };
  Expect<std::int64_t> want = ok<std::int64_t>(0);
  if (bits >= 8) {
    const std::uint64_t count = bits / 8;
    bool negative = false;
    i128 value = 0;
    // Past the pattern's eight bytes an unsigned field reads 0x00 digits, and a signed one fails
    // on the first of them.
    const std::uint64_t end = is_signed ? count : std::min<std::uint64_t>(count, 8);
    for (std::uint64_t i = 0; i < end && want.ok; ++i) {
      const std::uint64_t b = byte(i);
      std::uint64_t digit = 0;
      if (!is_signed) {
        if (b > 9) want = error<std::int64_t>(str_cat("Invalid BCD digit: ", b, " (must be 0-9)"));
        digit = b;
      } else if (i == 0) {
        if (b >= 0xC0 && b <= 0xC9) {
          digit = b - 0xC0;
        } else if (b >= 0xD0 && b <= 0xD9) {
          digit = b - 0xD0;
          negative = true;
        } else if (b >= 0xF0 && b <= 0xF9) {
          digit = b - 0xF0;
        } else if (b >= 0x30 && b <= 0x39) {
          digit = b - 0x30;
        } else {
          want = error<std::int64_t>(str_cat("Invalid zoned decimal signed byte: 0x", tessel::Hex{b, 2},
                                             " (expected 0x30-0x39, 0xC0-0xC9, 0xD0-0xD9, or 0xF0-0xF9)"));
        }
      } else {
        if (b >= 0x30 && b <= 0x39) {
          digit = b - 0x30;
        } else if (b >= 0xF0 && b <= 0xF9) {
          digit = b - 0xF0;
        } else {
          want = error<std::int64_t>(str_cat("Invalid zoned decimal byte: 0x", tessel::Hex{b, 2},
                                             " (expected ASCII 0x30-0x39 or EBCDIC 0xF0-0xF9)"));
        }
      }
      if (i < 8) value += i128{static_cast<std::int64_t>(digit)} * [&] {
        i128 p = 1;
        for (std::uint64_t k = 0; k < i; ++k) p *= 10;
        return p;
      }();
    }
    if (want.ok) want = ok<std::int64_t>(static_cast<std::int64_t>(negative ? -value : value));
  }
  compare("decode_unpacked_bcd", dec::decode_unpacked_bcd(pattern, bits, is_signed), want, operands);
}

// ---------------------------------------------------------------------------------------------
// IEEE 754

// Every finite non-negative binary16 value in pattern order (which is value order), and
// infinity as the value 65536 it stands for when rounding.
const std::array<double, 0x7C01>& halves() {
  static const std::array<double, 0x7C01> table = [] {
    std::array<double, 0x7C01> t{};
    for (std::uint32_t h = 0; h <= 0x7C00; ++h) {
      const std::uint32_t e = h >> 10;
      const std::uint32_t f = h & 0x3FF;
      t[h] = e == 0 ? std::ldexp(static_cast<double>(f), -24) : std::ldexp(static_cast<double>(1024 + f), static_cast<int>(e) - 25);
    }
    return t;
  }();
  return table;
}

// The binary16 pattern nearest to a binary32 value, ties to even, by search in the table.
std::uint16_t model_f16(float value) {
  const auto single = std::bit_cast<std::uint32_t>(value);
  const std::uint16_t sign = static_cast<std::uint16_t>((single >> 16) & 0x8000);
  if (std::isnan(value)) {
    const std::uint32_t fraction = single & 0x7FFFFF;
    return static_cast<std::uint16_t>(sign | 0x7C00 | 0x200 | (fraction >> 13));
  }
  const double x = std::fabs(static_cast<double>(value));
  const auto& t = halves();
  if (x >= t[0x7C00]) return static_cast<std::uint16_t>(sign | 0x7C00);
  const auto above = static_cast<std::uint32_t>(std::upper_bound(t.begin(), t.end(), x) - t.begin());
  const std::uint32_t below = above - 1;  // t[below] <= x < t[above]
  const double down = x - t[below];
  const double up = t[above] - x;
  const std::uint32_t nearest = down < up ? below : up < down ? above : (below % 2 == 0 ? below : above);
  return static_cast<std::uint16_t>(sign | nearest);
}

double model_decode_f16(std::uint16_t h) {
  const std::uint64_t sign = static_cast<std::uint64_t>(h >> 15) << 63;
  const std::uint32_t e = (h >> 10) & 0x1F;
  const std::uint32_t f = h & 0x3FF;
  if (e == 31 && f != 0) return std::bit_cast<double>(sign | 0x7FF8000000000000u | (std::uint64_t{f} << 42));
  const double magnitude = e == 31 ? INFINITY : halves()[h & 0x7FFF];
  return std::bit_cast<double>(sign | std::bit_cast<std::uint64_t>(magnitude));
}

double model_decode_f32(std::uint32_t s) {
  if ((s & 0x7F800000) == 0x7F800000 && (s & 0x7FFFFF) != 0) {
    return std::bit_cast<double>((std::uint64_t{s >> 31} << 63) | 0x7FF8000000000000u | (std::uint64_t{s & 0x7FFFFF} << 29));
  }
  return static_cast<double>(std::bit_cast<float>(s));
}

std::uint64_t bits_of(double d) { return std::bit_cast<std::uint64_t>(d); }

void ieee_f16(fuzz::Input& in) {
  const auto single = in.take<std::uint32_t>();
  const float value = std::bit_cast<float>(single);
  const std::uint64_t got = enc::encode_ieee754_f16(value);
  const std::uint16_t want = model_f16(value);
  FUZZ_CHECK(got == want, "encode_ieee754_f16(0x", tessel::Hex{single, 8}, ") gave 0x", tessel::Hex{got, 4},
             ", expected 0x", tessel::Hex{want, 4});
  // Exactly representable values come back exactly.
  if (!std::isnan(value) && static_cast<double>(value) == model_decode_f16(want)) {
    FUZZ_CHECK(bits_of(dec::decode_ieee754_f16(got)) == bits_of(static_cast<double>(value)), "binary16 round trip 0x",
               tessel::Hex{single, 8});
  }
}

void ieee_decoders(fuzz::Input& in) {
  const auto pattern = in.take<std::uint64_t>();
  const auto h = static_cast<std::uint16_t>(pattern);
  FUZZ_CHECK(bits_of(dec::decode_ieee754_f16(pattern)) == bits_of(model_decode_f16(h)), "decode_ieee754_f16(0x",
             tessel::Hex{pattern, 16}, ")");
  const auto s = static_cast<std::uint32_t>(pattern);
  FUZZ_CHECK(bits_of(dec::decode_ieee754_f32(pattern)) == bits_of(model_decode_f32(s)), "decode_ieee754_f32(0x",
             tessel::Hex{pattern, 16}, ")");
  FUZZ_CHECK(bits_of(dec::decode_ieee754_f64(pattern)) == pattern, "decode_ieee754_f64(0x", tessel::Hex{pattern, 16}, ")");
  FUZZ_CHECK(enc::encode_ieee754_f64(std::bit_cast<double>(pattern)) == pattern, "encode_ieee754_f64(0x",
             tessel::Hex{pattern, 16}, ")");
  // Back through the encoders: the same pattern, a NaN quieted.
  const bool nan16 = (h & 0x7C00) == 0x7C00 && (h & 0x3FF) != 0;
  const std::uint64_t again16 = enc::encode_ieee754_f16(tessel::narrow_to_binary32(dec::decode_ieee754_f16(pattern)));
  FUZZ_CHECK(again16 == (nan16 ? h | 0x200u : h), "binary16 decode-encode 0x", tessel::Hex{h, 4}, " gave 0x",
             tessel::Hex{again16, 4});
  const bool nan32 = (s & 0x7F800000) == 0x7F800000 && (s & 0x7FFFFF) != 0;
  const std::uint64_t again32 = enc::encode_ieee754_f32(tessel::narrow_to_binary32(dec::decode_ieee754_f32(pattern)));
  FUZZ_CHECK(again32 == (nan32 ? s | 0x400000u : s), "binary32 decode-encode 0x", tessel::Hex{s, 8});
}

// binary64 to binary32: the hardware's rounding for numbers; a NaN keeps its sign and upper 22
// payload bits, quiet.
void narrowing(fuzz::Input& in) {
  const auto wide = in.take<std::uint64_t>();
  const double value = std::bit_cast<double>(wide);
  const auto got = std::bit_cast<std::uint32_t>(tessel::narrow_to_binary32(value));
  std::uint32_t want;
  if (std::isnan(value)) {
    want = static_cast<std::uint32_t>(wide >> 63) << 31 | 0x7FC00000u | static_cast<std::uint32_t>((wide >> 29) & 0x3FFFFF);
  } else {
    want = std::bit_cast<std::uint32_t>(static_cast<float>(value));
    // The nearest binary32: no other candidate is strictly closer.
    const float r = std::bit_cast<float>(want);
    if (std::isfinite(r)) {
      const double err = std::fabs(value - static_cast<double>(r));
      FUZZ_CHECK(err <= std::fabs(value - static_cast<double>(std::nextafter(r, INFINITY))) &&
                     err <= std::fabs(value - static_cast<double>(std::nextafter(r, -INFINITY))),
                 "binary32 rounding of 0x", tessel::Hex{wide, 16});
    }
  }
  FUZZ_CHECK(got == want, "narrow_to_binary32(0x", tessel::Hex{wide, 16}, ") gave 0x", tessel::Hex{got, 8});
}

void ieee_f128(fuzz::Input& in) {
  const auto low = in.take<std::uint64_t>();
  auto high = in.take<std::uint64_t>();
  // Steer the exponent into the interesting ranges now and then.
  const std::uint8_t steer = in.byte();
  if (steer < 0x80) high = (high & 0x8000FFFFFFFFFFFFu) | (std::uint64_t{0x3C00u + steer * 16u} << 48);
  const u128 v = u128{high} << 64 | low;
  const std::uint64_t sign = high >> 63;
  const std::uint32_t e = (high >> 48) & 0x7FFF;
  const bool fraction = (high & 0xFFFFFFFFFFFFu) != 0 || low != 0;
  double want;
  if (e == 0) {
    want = std::bit_cast<double>(sign << 63);
  } else if (e == 0x7FFF) {
    want = fraction ? std::bit_cast<double>(std::uint64_t{0x7FF8000000000000u}) : std::bit_cast<double>(sign << 63 | 0x7FF0000000000000u);
  } else if (static_cast<int>(e) - 16383 > 1023) {
    want = std::bit_cast<double>(sign << 63 | 0x7FF0000000000000u);
  } else if (static_cast<int>(e) - 16383 < -1022) {
    want = std::bit_cast<double>(sign << 63);
  } else {
    const std::uint64_t m = static_cast<std::uint64_t>(v >> 60) & ((std::uint64_t{1} << 52) - 1);
    const double magnitude = std::ldexp(1.0 + std::ldexp(static_cast<double>(m), -52), static_cast<int>(e) - 16383);
    want = sign != 0 ? -magnitude : magnitude;
  }
  const double got = dec::decode_ieee754_f128(v);
  FUZZ_CHECK(bits_of(got) == bits_of(want), "decode_ieee754_f128(0x", tessel::Hex{high, 16}, tessel::Hex{low, 16},
             ") gave 0x", tessel::Hex{bits_of(got), 16}, ", expected 0x", tessel::Hex{bits_of(want), 16});
}

// The formats named but not built: every call fails with its own message, whatever the value.
void unbuilt(fuzz::Input& in) {
  const auto raw = in.take<std::uint64_t>();
  const double d = std::bit_cast<double>(raw);
  const float f = std::bit_cast<float>(static_cast<std::uint32_t>(raw));
  const auto expect = [](const char* name, const auto& result, const char* message) {
    FUZZ_CHECK(!result.has_value() && result.error().kind() == ErrorKind::not_implemented &&
                   result.error().message() == message,
               name);
  };
  switch (in.byte() % 23) {
    case 0: return expect("f128", enc::encode_ieee754_f128(d), "IEEE 754 f128 encoding not yet implemented");
    case 1: return expect("1985 f32", enc::encode_ieee754_1985_f32(f), "IEEE 754-1985 f32 encoding not yet implemented");
    case 2: return expect("1985 f64", enc::encode_ieee754_1985_f64(d), "IEEE 754-1985 f64 encoding not yet implemented");
    case 3: return expect("1985 f80", enc::encode_ieee754_1985_f80(d), "IEEE 754-1985 f80 encoding not yet implemented");
    case 4: return expect("1750a f32", enc::encode_mil_std_1750a_f32(f), "MIL-STD-1750A f32 encoding not yet implemented");
    case 5: return expect("1750a f48", enc::encode_mil_std_1750a_f48(d), "MIL-STD-1750A f48 encoding not yet implemented");
    case 6: return expect("dec f32", enc::encode_dec_f32(f), "DEC f32 encoding not yet implemented");
    case 7: return expect("dec f64", enc::encode_dec_f64(d), "DEC f64 encoding not yet implemented");
    case 8: return expect("ibm f32", enc::encode_ibm_f32(f), "IBM f32 encoding not yet implemented");
    case 9: return expect("ibm f64", enc::encode_ibm_f64(d), "IBM f64 encoding not yet implemented");
    case 10: return expect("ti f32", enc::encode_ti_f32(f), "TI f32 encoding not yet implemented");
    case 11: return expect("ti f40", enc::encode_ti_f40(d), "TI f40 encoding not yet implemented");
    case 12: return expect("d 1985 f32", dec::decode_ieee754_1985_f32(raw), "IEEE 754-1985 f32 format not yet implemented");
    case 13: return expect("d 1985 f64", dec::decode_ieee754_1985_f64(raw), "IEEE 754-1985 f64 format not yet implemented");
    case 14: return expect("d 1985 f80", dec::decode_ieee754_1985_f80(raw), "IEEE 754-1985 f80 format not yet implemented");
    case 15: return expect("d 1750a f32", dec::decode_mil_std_1750a_f32(raw), "MIL-STD-1750A f32 format not yet implemented");
    case 16: return expect("d 1750a f48", dec::decode_mil_std_1750a_f48(raw), "MIL-STD-1750A f48 format not yet implemented");
    case 17: return expect("d dec f32", dec::decode_dec_f32(raw), "DEC f32 format not yet implemented");
    case 18: return expect("d dec f64", dec::decode_dec_f64(raw), "DEC f64 format not yet implemented");
    case 19: return expect("d ibm f32", dec::decode_ibm_f32(raw), "IBM f32 format not yet implemented");
    case 20: return expect("d ibm f64", dec::decode_ibm_f64(raw), "IBM f64 format not yet implemented");
    case 21: return expect("d ti f32", dec::decode_ti_f32(raw), "TI f32 format not yet implemented");
    default: return expect("d ti f40", dec::decode_ti_f40(raw), "TI f40 format not yet implemented");
  }
}

using Operation = void (*)(fuzz::Input&);
constexpr Operation kOperations[] = {
    twos_complement, ones_complement,   sign_magnitude,      unsigned_field, integer_decoders,
    packed_bcd_encode, unpacked_bcd_encode, packed_bcd_decode, unpacked_bcd_decode, ieee_f16,
    ieee_decoders,   narrowing,         ieee_f128,           unbuilt,
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input input(data, size);
  // Several operations per input, so one input can reach a sequence of cases.
  while (input.left() > 0) kOperations[input.byte() % std::size(kOperations)](input);
  return 0;
}
