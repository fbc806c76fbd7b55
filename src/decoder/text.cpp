// Bytes to text: UTF-8, UTF-16, UTF-32, US-ASCII, ISO-8859-1 and windows-1252.
//
// The result is the interpreter's compact str, whose length and storage class (ASCII, Latin-1,
// BMP, astral) must be known before it exists. So each decoder first takes a census of its input
// (a tight loop that compilers turn into vector code), asks the sink for exactly that str, and then
// decodes straight into it, checking as it goes. On malformed input the half-written str is
// dropped with the failure.
//
// The census trusts nothing: it only bounds what a well-formed input would give, and the checking
// pass never writes more code points than the census counted, nor a code point outside its class.
#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <span>
#include <string_view>
#include <type_traits>

#include "decoder/decoder.hpp"
#include "lanes.hpp"
#include "unicode.hpp"
#include "windows_1252.hpp"

namespace tessel::decoder {

namespace {

using unicode::ByteOrder;
using Bytes = std::span<const std::uint8_t>;

// The result: `length` code points, none above `max_char`, written by `fill` into the units of
// the width the sink picked.
template <class Fill>
Result<void> emit(TextSink& out, std::size_t length, char32_t max_char, Fill&& fill) noexcept {
  std::uint8_t width = 0;
  void* data = out.allocate(length, max_char, width);
  if (data == nullptr) return raised();
  switch (width) {
    case 1: return fill(static_cast<std::uint8_t*>(data));
    case 2: return fill(static_cast<std::uint16_t*>(data));
    default: return fill(static_cast<std::uint32_t*>(data));
  }
}

// Bytes that are their own code points (ASCII, ISO-8859-1), into units of any width.
template <class Char>
void widen(const std::uint8_t* src, std::size_t n, Char* dst) noexcept {
  if constexpr (sizeof(Char) == 1) {
    if (n != 0) std::memcpy(dst, src, n);
  } else {
    for (std::size_t i = 0; i < n; ++i) dst[i] = src[i];
  }
}

inline constexpr std::uint64_t kHighBits = 0x8080808080808080u;

[[nodiscard]] inline std::uint64_t load64(const std::uint8_t* p) noexcept {
  std::uint64_t word;
  std::memcpy(&word, p, sizeof word);
  return word;
}

// The length of the leading run of bytes below 0x80. Text is mostly ASCII: 64 bytes at a time.
std::size_t ascii_prefix(const std::uint8_t* p, std::size_t n) noexcept {
  using Words = lanes::Vec<std::uint64_t, 2>;
  std::size_t i = 0;
  for (; n - i >= 64; i += 64) {
    const Words any = lanes::load<Words>(p + i) | lanes::load<Words>(p + i + 16) | lanes::load<Words>(p + i + 32) |
                      lanes::load<Words>(p + i + 48);
    if (((any[0] | any[1]) & kHighBits) != 0) break;
  }
  for (; n - i >= 8; i += 8) {
    if ((load64(p + i) & kHighBits) != 0) break;
  }
  while (i < n && p[i] < 0x80) ++i;
  return i;
}

Result<void> decode_latin1_bytes(Bytes bytes, TextSink& out, std::size_t ascii) noexcept {
  const char32_t max_char = ascii == bytes.size() ? unicode::kAsciiMax : unicode::kLatin1Max;
  return emit(out, bytes.size(), max_char, [&](auto* dst) -> Result<void> {
    widen(bytes.data(), bytes.size(), dst);
    return {};
  });
}

// ---------------------------------------------------------------------------------------------
// UTF-8

// Census of UTF-8 bytes: a well-formed input has one code point per byte that is not a
// continuation byte, and its largest lead byte names its storage class.
struct Utf8Census {
  std::size_t continuation = 0;
  std::uint8_t max_byte = 0;
};

Utf8Census utf8_census(const std::uint8_t* p, std::size_t n) noexcept {
  Utf8Census census;
  std::uint8_t max_byte = 0;
  // Byte-wide counters keep the loop in byte lanes; they are emptied every 240 bytes, a whole
  // number of vector blocks below 256.
  for (std::size_t start = 0; start < n; start += 240) {
    const std::size_t end = std::min(n, start + 240);
    std::uint8_t continuation = 0;
    for (std::size_t i = start; i < end; ++i) {
      continuation = static_cast<std::uint8_t>(continuation + ((p[i] & 0xC0) == 0x80));
      max_byte = std::max(max_byte, p[i]);
    }
    census.continuation += continuation;
  }
  census.max_byte = max_byte;
  return census;
}

[[nodiscard]] constexpr char32_t utf8_class(std::uint8_t max_byte) noexcept {
  if (max_byte < 0x80) return unicode::kAsciiMax;
  if (max_byte < 0xC4) return unicode::kLatin1Max;  // leads C2, C3: U+0080..U+00FF
  if (max_byte < 0xF0) return unicode::kBmpMax;
  return unicode::kMaxCodePoint;
}

// Decodes strict UTF-8 into `dst` up to the first ill-formed sequence; returns the number of
// bytes decoded, all of them when the input is well-formed.
//
// The census sized the storage by the largest lead byte, so text stored a byte per code point
// holds no lead above C3, and text stored two bytes holds none from F0: each width compiles only
// the sequences its text can hold, and any other lead ends the loop as ill-formed. Kept out of
// line: inlined into the width dispatch, the loop shares registers with its caller and slows.
template <class Char>
[[gnu::noinline]] std::size_t utf8_decode(const std::uint8_t* src, std::size_t n, Char* dst) noexcept {
  using unicode::is_continuation;
  std::size_t i = 0;
  while (i < n) {
    const std::uint8_t b0 = src[i];
    if (b0 < 0x80) {
      if (n - i >= 8) {
        // Eight at a time while they last, copied from the word already read: a copy from the
        // input itself would be eight loads and stores, since the two might overlap.
        const std::uint64_t word = load64(src + i);
        if ((word & kHighBits) == 0) {
          std::uint8_t ascii[8];
          std::memcpy(ascii, &word, 8);
          for (std::size_t k = 0; k < 8; ++k) dst[k] = ascii[k];
          dst += 8;
          i += 8;
          continue;
        }
      }
      *dst++ = b0;
      ++i;
      continue;
    }
    if (b0 < 0xE0) {
      if (b0 < 0xC2 || n - i < 2 || !is_continuation(src[i + 1])) break;
      *dst++ = static_cast<Char>(((b0 & 0x1Fu) << 6) | (src[i + 1] & 0x3Fu));
      i += 2;
      continue;
    }
    if constexpr (sizeof(Char) == 1) break;
    // The continuation bytes are tested together; the narrower second-byte ranges of four leads
    // are rare and come after.
    if (b0 < 0xF0) {
      if constexpr (sizeof(Char) >= 2) {
        // A run of three-byte sequences (CJK text is little else): four at a time while the next
        // lead is one too, each sequence read as a word and decoded in its lane. Overlong forms
        // (below U+0800) and surrogates (U+D800..U+DFFF) are the values whose top five bits
        // are 0 or 1B. A block that holds anything else is left to the steps below.
        if (n - i >= 13 && (src[i + 3] & 0xF0) == 0xE0) {
          const std::size_t start = i;
          do {
            using unicode::load32;
            const lanes::u32x4 x = {load32<ByteOrder::little>(src + i), load32<ByteOrder::little>(src + i + 3),
                                    load32<ByteOrder::little>(src + i + 6), load32<ByteOrder::little>(src + i + 9)};
            const lanes::u32x4 c = ((x & 0x0Fu) << 12) | ((x >> 2) & 0x0FC0u) | ((x >> 16) & 0x3Fu);
            const lanes::u32x4 top = c >> 11;
            const auto form = lanes::as_lanes<lanes::u32x4>((x & 0x00C0C0F0u) == 0x008080E0u);
            const auto refused = lanes::as_lanes<lanes::u32x4>((top == 0u) | (top == 0x1Bu));
            if (!lanes::all_set(form & ~refused)) break;
            if constexpr (sizeof(Char) == 2) {
              const lanes::u32x4 units = lanes::narrow_16(c);
              std::memcpy(dst, &units, 4 * sizeof(Char));
            } else {
              lanes::store(dst, c);
            }
            dst += 4;
            i += 12;
          } while (n - i >= 13);
          if (i != start) continue;
        }
      }
      if (n - i < 3) break;
      const std::uint32_t b1 = src[i + 1];
      const std::uint32_t b2 = src[i + 2];
      if (((b1 & 0xC0) | (b2 & 0xC0) << 8) != 0x8080) break;
      if (b0 == 0xE0 || b0 == 0xED) {
        if (!unicode::utf8_second_byte_ok(b0, static_cast<std::uint8_t>(b1))) break;
      }
      *dst++ = static_cast<Char>(((b0 & 0x0Fu) << 12) | ((b1 & 0x3Fu) << 6) | (b2 & 0x3Fu));
      i += 3;
      continue;
    }
    if constexpr (sizeof(Char) == 2) break;
    if (b0 > 0xF4 || n - i < 4) break;
    const std::uint32_t b1 = src[i + 1];
    const std::uint32_t b2 = src[i + 2];
    const std::uint32_t b3 = src[i + 3];
    if (((b1 & 0xC0) | (b2 & 0xC0) << 8 | (b3 & 0xC0) << 16) != 0x808080) break;
    if (b0 == 0xF0 || b0 == 0xF4) {
      if (!unicode::utf8_second_byte_ok(b0, static_cast<std::uint8_t>(b1))) break;
    }
    *dst++ = static_cast<Char>(((b0 & 0x07u) << 18) | ((b1 & 0x3Fu) << 12) | ((b2 & 0x3Fu) << 6) | (b3 & 0x3Fu));
    i += 4;
  }
  return i;
}

// What is wrong with the ill-formed sequence at `at`: the input ends inside a sequence that was
// well-formed so far, or the sequence breaks after its maximal well-formed prefix (at least the
// lead byte).
[[gnu::cold, gnu::noinline]] Unexpected refuse_utf8(Bytes bytes, std::size_t at) noexcept {
  const std::uint8_t* p = bytes.data() + at;
  const std::size_t left = bytes.size() - at;
  const std::size_t need = unicode::utf8_sequence_length(p[0]);
  std::size_t valid = 1;
  while (valid < need && valid < left &&
         (valid == 1 ? unicode::utf8_second_byte_ok(p[0], p[1]) : unicode::is_continuation(p[valid]))) {
    ++valid;
  }
  if (valid < need && valid == left) {
    return value_error("Invalid UTF-8 bytes: incomplete utf-8 byte sequence from index ", at);
  }
  return value_error("Invalid UTF-8 bytes: invalid utf-8 sequence of ", valid, " bytes from index ", at);
}

// ---------------------------------------------------------------------------------------------
// UTF-16 and UTF-32 code units

// Census of 16- or 32-bit units in `Order`: the OR of all of them (in host order), for the
// storage class, and whether any is a surrogate. Both commute with a byte swap, so the units are
// taken as they lie, against swapped masks, and only the OR is swapped.
struct UnitCensus {
  std::uint32_t all = 0;
  bool surrogate = false;
};

template <class Unit, ByteOrder Order>
UnitCensus unit_census(const std::uint8_t* src, std::size_t units) noexcept {
  using Lanes = lanes::Vec<Unit, 16 / sizeof(Unit)>;
  constexpr Unit kMask = unicode::to_order<Order, Unit>(static_cast<Unit>(~0x7FFu));
  constexpr Unit kSurrogate = unicode::to_order<Order, Unit>(Unit{0xD800});
  Lanes all_lanes{};
  Lanes surrogate_lanes{};
  Unit all = 0;
  Unit surrogate = 0;
  lanes::for_blocks<16 / sizeof(Unit)>(
      units,
      [&](std::size_t i) {
        const auto v = lanes::load<Lanes>(src + sizeof(Unit) * i);
        all_lanes |= v;
        surrogate_lanes |= lanes::as_lanes<Lanes>((v & kMask) == kSurrogate);
      },
      [&](std::size_t i) {
        const auto u = unicode::load_raw<Unit>(src + sizeof(Unit) * i);
        all |= u;
        surrogate |= static_cast<Unit>((u & kMask) == kSurrogate);
      });
  all = unicode::from_order<Order, Unit>(static_cast<Unit>(all | lanes::fold_or(all_lanes)));
  return {all, (surrogate | lanes::fold_or(surrogate_lanes)) != 0};
}

// 16- or 32-bit units in `Order`, each one code point, into the result's units.
template <class Unit, ByteOrder Order, class Char>
void copy_units(const std::uint8_t* src, std::size_t units, Char* dst) noexcept {
  if constexpr (sizeof(Char) == sizeof(Unit) && unicode::kNative<Order>) {
    if (units != 0) std::memcpy(dst, src, sizeof(Unit) * units);
  } else if constexpr (sizeof(Char) == 4 && sizeof(Unit) == 4) {
    // A whole 32-bit swap: lanes, since the loop vectorizer gives up on it.
    lanes::for_blocks<4>(
        units, [&](std::size_t i) { lanes::store(dst + i, lanes::in_order<Order>(lanes::load<lanes::u32x4>(src + 4 * i))); },
        [&](std::size_t i) { dst[i] = unicode::load32<Order>(src + 4 * i); });
  } else {
    using Fit = std::conditional_t<(sizeof(Char) < sizeof(Unit)), Char, Unit>;
    for (std::size_t i = 0; i < units; ++i) {
      dst[i] = unicode::from_order<Order, Fit>(unicode::load_raw<Unit>(src + sizeof(Unit) * i));
    }
  }
}

// ---------------------------------------------------------------------------------------------
// UTF-16

Unexpected lone_utf16_surrogate() noexcept {
  return value_error("Invalid UTF-16 sequence: invalid utf-16: lone surrogate found");
}

struct UnitPairs {
  bool paired = false;    // every surrogate is half of a high-low pair
  std::size_t count = 0;  // the pairs, when they are
};

// Whether the 16-bit units in `Order` pair their surrogates, and how many pairs they make. Each
// unit is tested against the one after it, in lanes, with masks swapped to the units' order.
template <ByteOrder Order>
UnitPairs pair_surrogates(const std::uint8_t* src, std::size_t units) noexcept {
  constexpr std::uint16_t kMask = unicode::to_order<Order, std::uint16_t>(std::uint16_t{0xFC00});
  constexpr std::uint16_t kHigh = unicode::to_order<Order, std::uint16_t>(std::uint16_t{0xD800});
  constexpr std::uint16_t kLow = unicode::to_order<Order, std::uint16_t>(std::uint16_t{0xDC00});
  const auto unit = [&](std::size_t i) { return unicode::load_raw<std::uint16_t>(src + 2 * i); };
  if (units == 0) return {true, 0};
  lanes::u16x8 mismatch{};
  std::size_t count = 0;
  std::size_t i = 0;
  // Lane counters count down by one per pair (a comparison is -1); emptied before they wrap.
  while (units - i >= 9) {
    const std::size_t end = std::min(units - 8, i + 8 * 0xFFF0);
    lanes::u16x8 highs{};
    for (; i < end; i += 8) {
      const auto v = lanes::load<lanes::u16x8>(src + 2 * i);
      const auto next = lanes::load<lanes::u16x8>(src + 2 * i + 2);
      const auto high = lanes::as_lanes<lanes::u16x8>((v & kMask) == kHigh);
      mismatch |= high ^ lanes::as_lanes<lanes::u16x8>((next & kMask) == kLow);
      highs -= high;
    }
    for (std::size_t k = 0; k < 8; ++k) count += highs[k];
  }
  std::uint16_t odd = lanes::fold_or(mismatch);
  for (; i + 1 < units; ++i) {
    const bool high = (unit(i) & kMask) == kHigh;
    odd |= static_cast<std::uint16_t>(high != ((unit(i + 1) & kMask) == kLow));
    count += high;
  }
  odd |= static_cast<std::uint16_t>((unit(0) & kMask) == kLow || (unit(units - 1) & kMask) == kHigh);
  return {odd == 0, count};
}

// Decodes 16-bit units in `Order` whose surrogates are known to pair. Eight units at a time in
// lanes, each beside the unit after it: a high surrogate and the next unit make a code point, any
// other unit is its own, and a low surrogate (already taken with its high one) writes a lane that
// the next overwrites.
inline constexpr std::uint32_t kPairBias = (0xD800u << 10) + 0xDC00u - 0x10000u;
static_assert((0xDBFFu << 10) + 0xDFFFu - kPairBias == unicode::from_surrogates(0xDBFF, 0xDFFF));

template <ByteOrder Order, class Char>
void decode_paired(const std::uint8_t* src, std::size_t units, Char* dst) noexcept {
  const auto unit = [&](std::size_t i) { return unicode::load16<Order>(src + 2 * i); };
  std::size_t i = 0;
  if constexpr (sizeof(Char) == 4) {
    for (; units - i >= 9; i += 8) {
      const auto v = lanes::in_order<Order>(lanes::load<lanes::u16x8>(src + 2 * i));
      const auto next = lanes::in_order<Order>(lanes::load<lanes::u16x8>(src + 2 * i + 2));
      for (std::size_t half = 0; half < 2; ++half) {
        const lanes::u32x4 u = half == 0 ? lanes::widen_low(v) : lanes::widen_high(v);
        const lanes::u32x4 n = half == 0 ? lanes::widen_low(next) : lanes::widen_high(next);
        const auto high = lanes::as_lanes<lanes::u32x4>((u & 0xFC00u) == 0xD800u);
        const auto low = lanes::as_lanes<lanes::u32x4>((u & 0xFC00u) == 0xDC00u);
        const lanes::u32x4 pair = (u << 10) + n - kPairBias;  // unicode::from_surrogates, lane-wise
        const lanes::u32x4 points = (pair & high) | (u & ~high);
        const lanes::u32x4 steps = 1u + low;  // 0 for a low surrogate, else 1
        for (std::size_t k = 0; k < 4; ++k) {
          dst[0] = points[k];
          dst += steps[k];
        }
      }
    }
  }
  while (i < units) {
    const std::uint16_t u = unit(i);
    if (unicode::is_high_surrogate(u)) {
      *dst++ = static_cast<Char>(unicode::from_surrogates(u, unit(i + 1)));
      i += 2;
    } else if (unicode::is_low_surrogate(u)) {
      ++i;  // the second half of a pair the lanes took
    } else {
      *dst++ = static_cast<Char>(u);
      ++i;
    }
  }
}

template <ByteOrder Order>
Result<void> utf16_to_text(Bytes bytes, TextSink& out) noexcept {
  using unicode::load16;
  if (bytes.size() % 2 != 0) return value_error("UTF-16 requires an even number of bytes");
  const std::uint8_t* src = bytes.data();
  const std::size_t units = bytes.size() / 2;

  const UnitCensus census = unit_census<std::uint16_t, Order>(src, units);
  if (!census.surrogate) {
    return emit(out, units, unicode::storage_class(census.all), [&](auto* dst) -> Result<void> {
      copy_units<std::uint16_t, Order>(src, units, dst);
      return {};
    });
  }

  // Well-formed text pairs every high surrogate with a low one, and each pair is one astral
  // code point: the units are paired exactly when each one is a high surrogate just where the
  // next is a low one, and the text neither starts with a low surrogate nor ends with a high
  // one. One pass checks that and counts the pairs, the code points being the units less them.
  const UnitPairs pairs = pair_surrogates<Order>(src, units);
  if (!pairs.paired) return lone_utf16_surrogate();
  return emit(out, units - pairs.count, unicode::kMaxCodePoint, [&](auto* dst) -> Result<void> {
    decode_paired<Order>(src, units, dst);
    return {};
  });
}

// ---------------------------------------------------------------------------------------------
// UTF-32

template <ByteOrder Order>
Result<void> utf32_to_text(Bytes bytes, TextSink& out) noexcept {
  using unicode::load32;
  if (bytes.size() % 4 != 0) return value_error("UTF-32 requires a multiple of 4 bytes");
  const std::uint8_t* src = bytes.data();
  const std::size_t units = bytes.size() / 4;

  // No unit lies above U+10FFFF unless the OR of all of them does, so only then, or when one is
  // a surrogate, are they looked at one by one.
  const UnitCensus census = unit_census<std::uint32_t, Order>(src, units);
  if (census.surrogate || census.all > unicode::kMaxCodePoint) {
    for (std::size_t i = 0; i < units; ++i) {
      const std::uint32_t u = load32<Order>(src + 4 * i);
      if (u > unicode::kMaxCodePoint || unicode::is_surrogate(u)) {
        return value_error("Invalid UTF-32 codepoint: 0x", Hex{u, 8});
      }
    }
  }
  return emit(out, units, unicode::storage_class(census.all), [&](auto* dst) -> Result<void> {
    copy_units<std::uint32_t, Order>(src, units, dst);
    return {};
  });
}

// ---------------------------------------------------------------------------------------------
// windows-1252

// After a UTF-8 or UTF-16 mark, malformed input fails the whole call with one message.
Result<void> as_windows_1252(Result<void> result) noexcept {
  if (!result && result.error().kind() == ErrorKind::value_error) {
    return value_error("Failed to decode Windows-1252 bytes");
  }
  return result;
}

bool starts_with(Bytes bytes, std::initializer_list<std::uint8_t> mark) noexcept {
  return bytes.size() >= mark.size() && std::equal(mark.begin(), mark.end(), bytes.begin());
}

}  // namespace

Result<void> decode_utf8(Bytes bytes, TextSink& out) noexcept {
  const std::uint8_t* src = bytes.data();
  const std::size_t n = bytes.size();
  const std::size_t ascii = ascii_prefix(src, n);
  if (ascii == n) return decode_latin1_bytes(bytes, out, ascii);

  const Utf8Census census = utf8_census(src + ascii, n - ascii);
  return emit(out, n - census.continuation, utf8_class(census.max_byte), [&](auto* dst) -> Result<void> {
    widen(src, ascii, dst);
    const std::size_t decoded = ascii + utf8_decode(src + ascii, n - ascii, dst + ascii);
    if (decoded != n) return refuse_utf8(bytes, decoded);
    return {};
  });
}

Result<void> decode_utf16le(Bytes bytes, TextSink& out) noexcept {
  return utf16_to_text<ByteOrder::little>(bytes, out);
}

Result<void> decode_utf16be(Bytes bytes, TextSink& out) noexcept { return utf16_to_text<ByteOrder::big>(bytes, out); }

Result<void> decode_utf16(Bytes bytes, TextSink& out) noexcept {
  if (bytes.size() < 2 || bytes.size() % 2 != 0) {
    return value_error("UTF-16 requires an even number of bytes with at least 2 bytes");
  }
  if (starts_with(bytes, {0xFF, 0xFE})) return utf16_to_text<ByteOrder::little>(bytes.subspan(2), out);
  if (starts_with(bytes, {0xFE, 0xFF})) return utf16_to_text<ByteOrder::big>(bytes.subspan(2), out);
  return utf16_to_text<ByteOrder::big>(bytes, out);
}

Result<void> decode_utf32le(Bytes bytes, TextSink& out) noexcept {
  return utf32_to_text<ByteOrder::little>(bytes, out);
}

Result<void> decode_utf32be(Bytes bytes, TextSink& out) noexcept { return utf32_to_text<ByteOrder::big>(bytes, out); }

Result<void> decode_utf32(Bytes bytes, TextSink& out) noexcept {
  if (bytes.size() < 4 || bytes.size() % 4 != 0) {
    return value_error("UTF-32 requires a multiple of 4 bytes with at least 4 bytes");
  }
  if (starts_with(bytes, {0xFF, 0xFE, 0x00, 0x00})) return utf32_to_text<ByteOrder::little>(bytes.subspan(4), out);
  if (starts_with(bytes, {0x00, 0x00, 0xFE, 0xFF})) return utf32_to_text<ByteOrder::big>(bytes.subspan(4), out);
  return utf32_to_text<ByteOrder::big>(bytes, out);
}

Result<void> decode_us_ascii(Bytes bytes, TextSink& out) noexcept {
  const std::size_t ascii = ascii_prefix(bytes.data(), bytes.size());
  if (ascii != bytes.size()) {
    return value_error("Invalid US-ASCII byte: 0x", Hex{bytes[ascii], 2},
                       " (must be <= 0x7F)");
  }
  return decode_latin1_bytes(bytes, out, ascii);
}

Result<void> decode_iso_8859_1(Bytes bytes, TextSink& out) noexcept {
  return decode_latin1_bytes(bytes, out, ascii_prefix(bytes.data(), bytes.size()));
}

Result<void> decode_windows_1252(Bytes bytes, TextSink& out) noexcept {
  // The WHATWG decode algorithm sniffs a byte-order mark before the fallback encoding.
  if (starts_with(bytes, {0xEF, 0xBB, 0xBF})) return as_windows_1252(decode_utf8(bytes.subspan(3), out));
  if (starts_with(bytes, {0xFE, 0xFF})) return as_windows_1252(utf16_to_text<ByteOrder::big>(bytes.subspan(2), out));
  if (starts_with(bytes, {0xFF, 0xFE})) {
    return as_windows_1252(utf16_to_text<ByteOrder::little>(bytes.subspan(2), out));
  }

  // Every byte has a code point. Unless a byte maps above U+00FF the text reads as ISO-8859-1.
  const std::size_t ascii = ascii_prefix(bytes.data(), bytes.size());
  if (windows_1252::all_identity(bytes.data() + ascii, bytes.size() - ascii)) {
    return decode_latin1_bytes(bytes, out, ascii);
  }
  return emit(out, bytes.size(), unicode::kBmpMax, [&](auto* dst) -> Result<void> {
    using Char = std::remove_pointer_t<decltype(dst)>;
    for (std::size_t i = 0; i < bytes.size(); ++i) dst[i] = static_cast<Char>(windows_1252::to_ucs[bytes[i]]);
    return {};
  });
}

}  // namespace tessel::decoder
