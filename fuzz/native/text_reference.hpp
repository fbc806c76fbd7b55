// Plain reference text codecs for the harnesses: one code point at a time, written from the
// encoding rules and the exact messages, sharing no code with the codecs they check. Slow and
// obvious on purpose.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "codec_error.hpp"

namespace fuzz::reference {

using tessel::Hex;
using tessel::str_cat;

enum class Outcome : std::uint8_t { ok, value_error, lone_surrogate };

struct Decoded {
  Outcome outcome = Outcome::ok;
  std::u32string text;
  std::string message;
};

struct Encoded {
  Outcome outcome = Outcome::ok;
  std::string bytes;
  std::string message;
};

inline Decoded refuse(std::string message) { return {Outcome::value_error, {}, std::move(message)}; }

using Bytes = std::basic_string_view<std::uint8_t>;

// ---------------------------------------------------------------------------------------------
// UTF-8: the well-formed byte sequences of the Unicode Standard (its table 3-7), written out as
// ranges, one row per lead byte range.

struct Utf8Row {
  std::uint8_t lead_low, lead_high;
  int length;
  std::uint8_t second_low, second_high;
};

inline constexpr Utf8Row kUtf8Rows[] = {
    {0xC2, 0xDF, 2, 0x80, 0xBF}, {0xE0, 0xE0, 3, 0xA0, 0xBF}, {0xE1, 0xEC, 3, 0x80, 0xBF},
    {0xED, 0xED, 3, 0x80, 0x9F}, {0xEE, 0xEF, 3, 0x80, 0xBF}, {0xF0, 0xF0, 4, 0x90, 0xBF},
    {0xF1, 0xF3, 4, 0x80, 0xBF}, {0xF4, 0xF4, 4, 0x80, 0x8F},
};

inline Decoded utf8(Bytes in) {
  Decoded out;
  std::size_t i = 0;
  while (i < in.size()) {
    const std::uint8_t lead = in[i];
    if (lead < 0x80) {
      out.text.push_back(lead);
      ++i;
      continue;
    }
    const Utf8Row* row = nullptr;
    for (const Utf8Row& candidate : kUtf8Rows) {
      if (lead >= candidate.lead_low && lead <= candidate.lead_high) row = &candidate;
    }
    if (row == nullptr) return refuse(str_cat("Invalid UTF-8 bytes: invalid utf-8 sequence of 1 bytes from index ", i));
    char32_t c = lead & (row->length == 2 ? 0x1F : row->length == 3 ? 0x0F : 0x07);
    for (int k = 1; k < row->length; ++k) {
      if (i + k >= in.size()) return refuse(str_cat("Invalid UTF-8 bytes: incomplete utf-8 byte sequence from index ", i));
      const std::uint8_t b = in[i + k];
      const std::uint8_t low = k == 1 ? row->second_low : 0x80;
      const std::uint8_t high = k == 1 ? row->second_high : 0xBF;
      if (b < low || b > high) {
        return refuse(str_cat("Invalid UTF-8 bytes: invalid utf-8 sequence of ", k, " bytes from index ", i));
      }
      c = (c << 6) | (b & 0x3F);
    }
    out.text.push_back(c);
    i += row->length;
  }
  return out;
}

// ---------------------------------------------------------------------------------------------
// UTF-16 and UTF-32 with a fixed byte order.

inline std::uint32_t unit(Bytes in, std::size_t at, std::size_t size, bool little) {
  std::uint32_t u = 0;
  for (std::size_t k = 0; k < size; ++k) {
    const std::uint32_t b = in[at + (little ? size - 1 - k : k)];
    u = (u << 8) | b;
  }
  return u;
}

inline Decoded utf16(Bytes in, bool little) {
  if (in.size() % 2 != 0) return refuse("UTF-16 requires an even number of bytes");
  Decoded out;
  const std::size_t n = in.size() / 2;
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint32_t u = unit(in, 2 * i, 2, little);
    if (u < 0xD800 || u > 0xDFFF) {
      out.text.push_back(u);
      continue;
    }
    if (u <= 0xDBFF && i + 1 < n) {
      const std::uint32_t next = unit(in, 2 * i + 2, 2, little);
      if (next >= 0xDC00 && next <= 0xDFFF) {
        out.text.push_back(0x10000 + ((u - 0xD800) << 10) + (next - 0xDC00));
        ++i;
        continue;
      }
    }
    return refuse("Invalid UTF-16 sequence: invalid utf-16: lone surrogate found");
  }
  return out;
}

inline Decoded utf16_marked(Bytes in) {
  if (in.size() < 2 || in.size() % 2 != 0) return refuse("UTF-16 requires an even number of bytes with at least 2 bytes");
  if (in[0] == 0xFF && in[1] == 0xFE) return utf16(in.substr(2), true);
  if (in[0] == 0xFE && in[1] == 0xFF) return utf16(in.substr(2), false);
  return utf16(in, false);
}

inline Decoded utf32(Bytes in, bool little) {
  if (in.size() % 4 != 0) return refuse("UTF-32 requires a multiple of 4 bytes");
  Decoded out;
  for (std::size_t i = 0; i < in.size(); i += 4) {
    const std::uint32_t u = unit(in, i, 4, little);
    if (u > 0x10FFFF || (u >= 0xD800 && u <= 0xDFFF)) return refuse(str_cat("Invalid UTF-32 codepoint: 0x", Hex{u, 8}));
    out.text.push_back(u);
  }
  return out;
}

inline Decoded utf32_marked(Bytes in) {
  if (in.size() < 4 || in.size() % 4 != 0) return refuse("UTF-32 requires a multiple of 4 bytes with at least 4 bytes");
  if (in[0] == 0xFF && in[1] == 0xFE && in[2] == 0 && in[3] == 0) return utf32(in.substr(4), true);
  if (in[0] == 0 && in[1] == 0 && in[2] == 0xFE && in[3] == 0xFF) return utf32(in.substr(4), false);
  return utf32(in, false);
}

// ---------------------------------------------------------------------------------------------
// Single-byte charsets.

inline Decoded us_ascii(Bytes in) {
  Decoded out;
  for (std::uint8_t b : in) {
    if (b >= 0x80) return refuse(str_cat("Invalid US-ASCII byte: 0x", Hex{b, 2}, " (must be <= 0x7F)"));
    out.text.push_back(b);
  }
  return out;
}

inline Decoded iso_8859_1(Bytes in) {
  Decoded out;
  for (std::uint8_t b : in) out.text.push_back(b);
  return out;
}

// The WHATWG windows-1252 index for pointers 0 to 31 (bytes 80 to 9F); bytes A0 to FF are their
// own code points.
inline constexpr char32_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

inline char32_t cp1252_to_ucs(std::uint8_t b) { return b >= 0x80 && b < 0xA0 ? kCp1252High[b - 0x80] : b; }

// The byte for a code point, or -1.
inline int ucs_to_cp1252(char32_t c) {
  if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return static_cast<int>(c);
  for (int i = 0; i < 32; ++i) {
    if (kCp1252High[i] == c) return 0x80 + i;
  }
  return -1;
}

// The WHATWG decode: a UTF-8 or UTF-16 byte-order mark wins over the fallback windows-1252.
inline Decoded windows_1252(Bytes in) {
  Decoded sniffed;
  bool marked = true;
  if (in.size() >= 3 && in[0] == 0xEF && in[1] == 0xBB && in[2] == 0xBF) {
    sniffed = utf8(in.substr(3));
  } else if (in.size() >= 2 && in[0] == 0xFE && in[1] == 0xFF) {
    sniffed = utf16(in.substr(2), false);
  } else if (in.size() >= 2 && in[0] == 0xFF && in[1] == 0xFE) {
    sniffed = utf16(in.substr(2), true);
  } else {
    marked = false;
  }
  if (marked) {
    if (sniffed.outcome != Outcome::ok) return refuse("Failed to decode Windows-1252 bytes");
    return sniffed;
  }
  Decoded out;
  for (std::uint8_t b : in) out.text.push_back(cp1252_to_ucs(b));
  return out;
}

// ---------------------------------------------------------------------------------------------
// Encoders, from code points that may include surrogates (a str can hold them; none of these
// encodings can carry one, and that refusal wins over every other).

inline bool holds_surrogate(const std::u32string& text) {
  for (char32_t c : text) {
    if (c >= 0xD800 && c <= 0xDFFF) return true;
  }
  return false;
}

inline void put_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

inline void put_unit(std::string& out, std::uint32_t u, std::size_t size, bool little) {
  for (std::size_t k = 0; k < size; ++k) {
    const std::size_t shift = 8 * (little ? k : size - 1 - k);
    out.push_back(static_cast<char>((u >> shift) & 0xFF));
  }
}

enum class Encoding : std::uint8_t {
  utf8, utf16, utf16le, utf16be, utf32, utf32le, utf32be, us_ascii, iso_8859_1, windows_1252,
};

inline Encoded encode(Encoding encoding, const std::u32string& text) {
  Encoded out;
  if (holds_surrogate(text)) return {Outcome::lone_surrogate, {}, {}};
  const auto refuse_character = [&](char32_t c, const char* charset) {
    std::string character;
    put_utf8(character, c);
    return Encoded{Outcome::value_error, {},
                   str_cat("Character '", character, "' (U+", Hex{static_cast<std::uint32_t>(c), 4}, ") is not valid ",
                           std::string_view(charset))};
  };
  switch (encoding) {
    case Encoding::utf8:
      for (char32_t c : text) put_utf8(out.bytes, c);
      return out;
    case Encoding::utf16:
    case Encoding::utf16le:
    case Encoding::utf16be: {
      const bool little = encoding == Encoding::utf16le;
      if (encoding == Encoding::utf16) put_unit(out.bytes, 0xFEFF, 2, false);
      for (char32_t c : text) {
        if (c < 0x10000) {
          put_unit(out.bytes, c, 2, little);
        } else {
          put_unit(out.bytes, 0xD800 + ((c - 0x10000) >> 10), 2, little);
          put_unit(out.bytes, 0xDC00 + ((c - 0x10000) & 0x3FF), 2, little);
        }
      }
      return out;
    }
    case Encoding::utf32:
    case Encoding::utf32le:
    case Encoding::utf32be: {
      const bool little = encoding == Encoding::utf32le;
      if (encoding == Encoding::utf32) put_unit(out.bytes, 0xFEFF, 4, false);
      for (char32_t c : text) put_unit(out.bytes, c, 4, little);
      return out;
    }
    case Encoding::us_ascii:
      for (char32_t c : text) {
        if (c > 0x7F) return refuse_character(c, "US-ASCII");
        out.bytes.push_back(static_cast<char>(c));
      }
      return out;
    case Encoding::iso_8859_1:
      for (char32_t c : text) {
        if (c > 0xFF) return refuse_character(c, "ISO-8859-1");
        out.bytes.push_back(static_cast<char>(c));
      }
      return out;
    case Encoding::windows_1252:
      for (char32_t c : text) {
        const int b = ucs_to_cp1252(c);
        if (b < 0) return {Outcome::value_error, {}, "Failed to encode to Windows-1252"};
        out.bytes.push_back(static_cast<char>(b));
      }
      return out;
  }
  return out;
}

}  // namespace fuzz::reference
