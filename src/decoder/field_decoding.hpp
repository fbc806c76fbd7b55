// The decode side's field decodings: every encoding name unpack_parameters accepts, the codec
// behind each, and a field's raw number as the whole-byte rule reads it. Plain C++, shared by the
// recipe unpacker and the columnar decoder.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

#include "bits.hpp"
#include "decoder/decoder.hpp"

namespace tessel::decoder {

// ---------------------------------------------------------------------------------------------
// Decodings of the decode side. Float formats carry their width in the name here; `bits` only
// says how many bytes are read.

enum class Decoding : std::uint8_t {
  unsigned_int, twos_complement, ones_complement, sign_magnitude,
  bcd, bcd_signed, packed_bcd, packed_bcd_signed,
  ieee754_f16, ieee754_f32, ieee754_f64, ieee754_f128,
  ieee754_1985_f32, ieee754_1985_f64, ieee754_1985_f80, mil_std_1750a_f32, mil_std_1750a_f48,
  ti_f32, ti_f40, dec_f32, dec_f64, ibm_f32, ibm_f64,
  utf8, utf16, utf16le, utf16be, utf32, utf32le, utf32be, us_ascii, iso_8859_1, windows_1252,
};

struct DecodingName {
  std::string_view name;
  Decoding decoding;
};

// Every accepted name, lower case; not the encode side's list ("binary" and "ieee754" are
// not here, "latin1" is).
constexpr DecodingName kDecodingNames[] = {
    {"unsigned", Decoding::unsigned_int},
    {"twos_complement", Decoding::twos_complement}, {"twoscomplement", Decoding::twos_complement},
    {"ones_complement", Decoding::ones_complement}, {"onescomplement", Decoding::ones_complement},
    {"sign_magnitude", Decoding::sign_magnitude}, {"signmagnitude", Decoding::sign_magnitude},
    {"bcd", Decoding::bcd},
    {"bcd_signed", Decoding::bcd_signed}, {"bcd-signed", Decoding::bcd_signed},
    {"packed_bcd", Decoding::packed_bcd}, {"packed-bcd", Decoding::packed_bcd},
    {"packed_bcd_signed", Decoding::packed_bcd_signed}, {"packed-bcd-signed", Decoding::packed_bcd_signed},
    {"ieee754_f16", Decoding::ieee754_f16}, {"ieee754-f16", Decoding::ieee754_f16},
    {"ieee754_f32", Decoding::ieee754_f32}, {"ieee754-f32", Decoding::ieee754_f32},
    {"ieee754_f64", Decoding::ieee754_f64}, {"ieee754-f64", Decoding::ieee754_f64},
    {"ieee754_f128", Decoding::ieee754_f128}, {"ieee754-f128", Decoding::ieee754_f128},
    {"ieee754_1985_f32", Decoding::ieee754_1985_f32}, {"ieee754-1985-f32", Decoding::ieee754_1985_f32},
    {"ieee754_1985_f64", Decoding::ieee754_1985_f64}, {"ieee754-1985-f64", Decoding::ieee754_1985_f64},
    {"ieee754_1985_f80", Decoding::ieee754_1985_f80}, {"ieee754-1985-f80", Decoding::ieee754_1985_f80},
    {"mil_std_1750a_f32", Decoding::mil_std_1750a_f32}, {"mil-std-1750a-f32", Decoding::mil_std_1750a_f32},
    {"mil_std_1750a_f48", Decoding::mil_std_1750a_f48}, {"mil-std-1750a-f48", Decoding::mil_std_1750a_f48},
    {"ti_f32", Decoding::ti_f32}, {"ti-f32", Decoding::ti_f32},
    {"ti_f40", Decoding::ti_f40}, {"ti-f40", Decoding::ti_f40},
    {"dec_f32", Decoding::dec_f32}, {"dec-f32", Decoding::dec_f32},
    {"dec_f64", Decoding::dec_f64}, {"dec-f64", Decoding::dec_f64},
    {"ibm_f32", Decoding::ibm_f32}, {"ibm-f32", Decoding::ibm_f32},
    {"ibm_f64", Decoding::ibm_f64}, {"ibm-f64", Decoding::ibm_f64},
    {"utf8", Decoding::utf8}, {"utf-8", Decoding::utf8},
    {"utf16", Decoding::utf16}, {"utf-16", Decoding::utf16},
    {"utf16le", Decoding::utf16le}, {"utf-16le", Decoding::utf16le},
    {"utf16be", Decoding::utf16be}, {"utf-16be", Decoding::utf16be},
    {"utf32", Decoding::utf32}, {"utf-32", Decoding::utf32},
    {"utf32le", Decoding::utf32le}, {"utf-32le", Decoding::utf32le},
    {"utf32be", Decoding::utf32be}, {"utf-32be", Decoding::utf32be},
    {"us_ascii", Decoding::us_ascii}, {"us-ascii", Decoding::us_ascii},
    {"latin1", Decoding::iso_8859_1}, {"iso_8859_1", Decoding::iso_8859_1}, {"iso-8859-1", Decoding::iso_8859_1},
    {"windows_1252", Decoding::windows_1252}, {"windows-1252", Decoding::windows_1252},
};
static_assert(std::size(kDecodingNames) == 65);

using TextDecoder = Result<void> (*)(std::span<const std::uint8_t>, TextSink&) noexcept;
using UnbuiltDecoder = Result<double> (*)(std::uint64_t) noexcept;

inline TextDecoder text_decoder(Decoding decoding) noexcept {
  switch (decoding) {
    case Decoding::utf8: return decode_utf8;
    case Decoding::utf16: return decode_utf16;
    case Decoding::utf16le: return decode_utf16le;
    case Decoding::utf16be: return decode_utf16be;
    case Decoding::utf32: return decode_utf32;
    case Decoding::utf32le: return decode_utf32le;
    case Decoding::utf32be: return decode_utf32be;
    case Decoding::us_ascii: return decode_us_ascii;
    case Decoding::iso_8859_1: return decode_iso_8859_1;
    case Decoding::windows_1252: return decode_windows_1252;
    default: return nullptr;
  }
}

inline UnbuiltDecoder unbuilt_decoder(Decoding decoding) noexcept {
  switch (decoding) {
    case Decoding::ieee754_1985_f32: return decode_ieee754_1985_f32;
    case Decoding::ieee754_1985_f64: return decode_ieee754_1985_f64;
    case Decoding::ieee754_1985_f80: return decode_ieee754_1985_f80;
    case Decoding::mil_std_1750a_f32: return decode_mil_std_1750a_f32;
    case Decoding::mil_std_1750a_f48: return decode_mil_std_1750a_f48;
    case Decoding::ti_f32: return decode_ti_f32;
    case Decoding::ti_f40: return decode_ti_f40;
    case Decoding::dec_f32: return decode_dec_f32;
    case Decoding::dec_f64: return decode_dec_f64;
    case Decoding::ibm_f32: return decode_ibm_f32;
    case Decoding::ibm_f64: return decode_ibm_f64;
    default: return nullptr;
  }
}

// The raw number of a field of `count` bytes: its first eight bytes in byte order, big-endian,
// whole words loaded at once where the width allows.
inline std::uint64_t load_number(const std::uint8_t* span, std::uint32_t count, bool little) noexcept {
  if (count == 8) {
    std::uint64_t word;
    std::memcpy(&word, span, 8);
    return little == (std::endian::native == std::endian::little) ? word : __builtin_bswap64(word);
  }
  if (count == 1) return span[0];
  if (count == 2) return little ? std::uint64_t{span[1]} << 8 | span[0] : std::uint64_t{span[0]} << 8 | span[1];
  if (count == 4) {
    std::uint32_t word;
    std::memcpy(&word, span, 4);
    return little == (std::endian::native == std::endian::little) ? word : __builtin_bswap32(word);
  }
  const std::uint32_t used = count < 8 ? count : 8;
  std::uint64_t raw = 0;
  for (std::uint32_t i = 0; i < used; ++i) raw = raw << 8 | (little ? span[count - 1 - i] : span[i]);
  return raw;
}

}  // namespace tessel::decoder
