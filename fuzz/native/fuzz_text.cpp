// The ten text codecs, both ways, against the plain reference codecs of text_reference.hpp.
//
// Input: one control byte, then the payload.
//   control bits 0-3  the encoding (mod 10)
//   control bit 4     direction: 0 decodes the payload as bytes, 1 encodes it as text
//   control bits 5-6  the text's storage width when encoding (1, 2 or 4 bytes a code point)
//   control bit 7     the output storage is refused (or, for an encoder, its trimming), as when
//                     the interpreter runs out of memory
//
// Checks, for every call: the outcome (result, error kind and exact message) equals the
// reference's; the decoder's str has the interpreter's canonical storage class and no code point
// left unwritten; the encoder's bytes are exactly the reference's; and, on success, the way back
// (decoding what was encoded, encoding what was decoded) gives the input again wherever the
// encoding can round-trip it.
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "decoder/decoder.hpp"
#include "encoder/encoder.hpp"
#include "harness.hpp"
#include "text_reference.hpp"

namespace {

using fuzz::reference::Encoding;
using fuzz::reference::Outcome;
using tessel::ErrorKind;
using tessel::Result;
using tessel::str_cat;
using tessel::TextView;

using Decoder = Result<void> (*)(std::span<const std::uint8_t>, tessel::TextSink&) noexcept;
using Encoder = Result<void> (*)(TextView, tessel::ByteSink&) noexcept;

struct Codec {
  const char* name;
  Encoding encoding;
  Decoder decode;
  Encoder encode;
  fuzz::reference::Decoded (*reference_decode)(fuzz::reference::Bytes);
};

namespace ref = fuzz::reference;

const Codec kCodecs[10] = {
    {"utf8", Encoding::utf8, tessel::decoder::decode_utf8, tessel::encoder::encode_utf8, ref::utf8},
    {"utf16", Encoding::utf16, tessel::decoder::decode_utf16, tessel::encoder::encode_utf16, ref::utf16_marked},
    {"utf16le", Encoding::utf16le, tessel::decoder::decode_utf16le, tessel::encoder::encode_utf16le,
     [](ref::Bytes in) { return ref::utf16(in, true); }},
    {"utf16be", Encoding::utf16be, tessel::decoder::decode_utf16be, tessel::encoder::encode_utf16be,
     [](ref::Bytes in) { return ref::utf16(in, false); }},
    {"utf32", Encoding::utf32, tessel::decoder::decode_utf32, tessel::encoder::encode_utf32, ref::utf32_marked},
    {"utf32le", Encoding::utf32le, tessel::decoder::decode_utf32le, tessel::encoder::encode_utf32le,
     [](ref::Bytes in) { return ref::utf32(in, true); }},
    {"utf32be", Encoding::utf32be, tessel::decoder::decode_utf32be, tessel::encoder::encode_utf32be,
     [](ref::Bytes in) { return ref::utf32(in, false); }},
    {"us_ascii", Encoding::us_ascii, tessel::decoder::decode_us_ascii, tessel::encoder::encode_us_ascii, ref::us_ascii},
    {"iso_8859_1", Encoding::iso_8859_1, tessel::decoder::decode_iso_8859_1, tessel::encoder::encode_iso_8859_1,
     ref::iso_8859_1},
    {"windows_1252", Encoding::windows_1252, tessel::decoder::decode_windows_1252,
     tessel::encoder::encode_windows_1252, ref::windows_1252},
};

// A str as the interpreter stores it: the narrowest of 1, 2 or 4 bytes a code point that holds
// its largest one, in a heap block of exactly that size.
struct Str {
  std::unique_ptr<std::uint8_t[]> storage;
  TextView view;
};

Str make_str(const std::u32string& text) {
  char32_t largest = 0;
  for (char32_t c : text) largest = c > largest ? c : largest;
  Str str;
  const std::uint8_t width = largest < 0x100 ? 1 : largest < 0x10000 ? 2 : 4;
  str.storage.reset(new std::uint8_t[text.size() * width]);
  for (std::size_t i = 0; i < text.size(); ++i) {
    const std::uint32_t c = text[i];
    if (width == 1) str.storage[i] = static_cast<std::uint8_t>(c);
    if (width == 2) {
      const auto u = static_cast<std::uint16_t>(c);
      std::memcpy(str.storage.get() + 2 * i, &u, 2);
    }
    if (width == 4) std::memcpy(str.storage.get() + 4 * i, &c, 4);
  }
  str.view = TextView{str.storage.get(), text.size(), width, largest < 0x80};
  return str;
}

// Code points from the payload, for a str of the given storage width: a byte each for width 1,
// two bytes for width 2, three bytes (modulo 0x110000) for width 4. Surrogates stay in: a str
// may hold them.
std::u32string text_from(const std::vector<std::uint8_t>& payload, int width) {
  std::u32string text;
  const std::size_t step = width == 1 ? 1 : width == 2 ? 2 : 3;
  for (std::size_t i = 0; i + step <= payload.size(); i += step) {
    std::uint32_t c = payload[i];
    if (step >= 2) c |= std::uint32_t{payload[i + 1]} << 8;
    if (step == 3) c = (c | std::uint32_t{payload[i + 2]} << 16) % 0x110000;
    text.push_back(c);
  }
  return text;
}

std::string as_string(const std::vector<std::uint8_t>& bytes) { return {bytes.begin(), bytes.end()}; }

Outcome outcome_of(const tessel::CodecError& error) {
  switch (error.kind()) {
    case ErrorKind::value_error: return Outcome::value_error;
    case ErrorKind::lone_surrogate: return Outcome::lone_surrogate;
    default: fuzz::fail(str_cat("unexpected error kind ", fuzz::describe(error)));
  }
}

// Encodes `text` with the codec under test; checks the outcome against the reference.
std::string encode_checked(const Codec& codec, const std::u32string& text, bool refuse) {
  const Str str = make_str(text);
  const ref::Encoded expected = ref::encode(codec.encoding, text);
  // Refused storage: the allocation itself for text of even length, the trimming after it for
  // text of odd length.
  const bool refuse_allocation = refuse && text.size() % 2 == 0;
  const bool refuse_trimming = refuse && text.size() % 2 == 1;
  fuzz::Bytes sink(refuse_allocation, refuse_trimming);
  auto result = codec.encode(str.view, sink);
  const auto where = [&] { return str_cat(codec.name, " encoder on ", fuzz::code_points(text)); };
  if (!result && result.error().kind() == ErrorKind::raised) {
    FUZZ_CHECK(refuse_allocation ? sink.allocations() == 1 : refuse_trimming && sink.shrinks() == 1, where(),
               " reported a refusal it never met");
    return {};
  }
  if (!result) {
    FUZZ_CHECK(expected.outcome != Outcome::ok, where(), " failed: ", fuzz::describe(result.error()), "; expected ",
               fuzz::hex_bytes(expected.bytes));
    FUZZ_CHECK(outcome_of(result.error()) == expected.outcome && result.error().message() == expected.message, where(),
               " gave ", fuzz::describe(result.error()), "; expected ", expected.message);
    return {};
  }
  FUZZ_CHECK(expected.outcome == Outcome::ok, where(), " succeeded; expected ", expected.message);
  FUZZ_CHECK(sink.allocations() <= 1, where(), " allocated ", sink.allocations(), " times");
  FUZZ_CHECK(sink.view() == expected.bytes, where(), " gave ", fuzz::hex_bytes(sink.view()), "; expected ",
             fuzz::hex_bytes(expected.bytes));
  return std::string(sink.view());
}

// Decodes `bytes` with the codec under test; checks the outcome against the reference.
// Returns whether it succeeded, and the text in `out`.
bool decode_checked(const Codec& codec, const std::string& bytes, bool refuse, std::u32string& out) {
  const std::span<const std::uint8_t> view(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  // The decoders read the input in words and lanes: give them a block of exactly its size.
  std::unique_ptr<std::uint8_t[]> exact(new std::uint8_t[bytes.size()]);
  if (!bytes.empty()) std::memcpy(exact.get(), bytes.data(), bytes.size());
  const std::span<const std::uint8_t> input(exact.get(), view.size());

  const ref::Decoded expected = codec.reference_decode(ref::Bytes(input.data(), input.size()));
  fuzz::Text sink(refuse);
  auto result = codec.decode(input, sink);
  const auto where = [&] { return str_cat(codec.name, " decoder on ", fuzz::hex_bytes(bytes)); };
  if (refuse) {
    FUZZ_CHECK(!result, where(), " succeeded without storage");
    if (result.error().kind() == ErrorKind::raised) {
      FUZZ_CHECK(sink.allocations() == 1, where(), " reported a refusal it never met");
      return false;
    }
  }
  if (!result) {
    FUZZ_CHECK(result.error().kind() == ErrorKind::value_error, where(), " gave ", fuzz::describe(result.error()));
    FUZZ_CHECK(expected.outcome != Outcome::ok, where(), " failed: ", result.error().message(), "; expected ",
               fuzz::code_points(expected.text));
    FUZZ_CHECK(result.error().message() == expected.message, where(), " gave '", result.error().message(),
               "'; expected '", expected.message, "'");
    return false;
  }
  FUZZ_CHECK(expected.outcome == Outcome::ok, where(), " succeeded; expected '", expected.message, "'");
  FUZZ_CHECK(sink.allocations() <= 1, where(), " allocated ", sink.allocations(), " times");
  out = sink.take_checked();
  FUZZ_CHECK(out == expected.text, where(), " gave ", fuzz::code_points(out), "; expected ",
             fuzz::code_points(expected.text));
  return true;
}

bool starts_with(const std::string& s, std::string_view prefix) { return s.compare(0, prefix.size(), prefix) == 0; }

void decode_case(const Codec& codec, const std::string& bytes, bool refuse) {
  std::u32string text;
  if (!decode_checked(codec, bytes, refuse, text)) return;
  // The way back. Marks: UTF-16 and UTF-32 write a big-endian one, so only input with that mark
  // comes back byte for byte; windows-1252 input with a mark was decoded as UTF-8 or UTF-16.
  const std::string again = encode_checked(codec, text, false);
  bool exact = true;
  switch (codec.encoding) {
    case Encoding::utf16: exact = starts_with(bytes, "\xFE\xFF"); break;
    case Encoding::utf32: exact = starts_with(bytes, std::string_view("\x00\x00\xFE\xFF", 4)); break;
    case Encoding::windows_1252:
      exact = !starts_with(bytes, "\xEF\xBB\xBF") && !starts_with(bytes, "\xFE\xFF") && !starts_with(bytes, "\xFF\xFE");
      break;
    default: break;
  }
  if (exact) {
    FUZZ_CHECK(again == bytes, codec.name, ": decoding then encoding ", fuzz::hex_bytes(bytes), " gave ",
               fuzz::hex_bytes(again));
  }
}

void encode_case(const Codec& codec, const std::u32string& text, bool refuse) {
  const std::string bytes = encode_checked(codec, text, refuse);
  const ref::Encoded expected = ref::encode(codec.encoding, text);
  if (refuse || expected.outcome != Outcome::ok) return;
  // windows-1252 text that starts like a UTF-8 or UTF-16 mark decodes through that mark.
  if (codec.encoding == Encoding::windows_1252 &&
      (starts_with(bytes, "\xEF\xBB\xBF") || starts_with(bytes, "\xFE\xFF") || starts_with(bytes, "\xFF\xFE"))) {
    return;
  }
  std::u32string back;
  const bool decoded = decode_checked(codec, bytes, false, back);
  FUZZ_CHECK(decoded && back == text, codec.name, ": encoding then decoding ", fuzz::code_points(text), " gave ",
             fuzz::code_points(back));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input input(data, size);
  const std::uint8_t control = input.byte();
  const Codec& codec = kCodecs[(control & 0x0F) % 10];
  const bool encode = (control & 0x10) != 0;
  const int width = ((control >> 5) & 3) == 0 ? 1 : ((control >> 5) & 3) == 1 ? 2 : 4;
  const bool refuse = (control & 0x80) != 0;
  const std::vector<std::uint8_t> payload = input.rest();
  if (encode) {
    encode_case(codec, text_from(payload, width), refuse);
  } else {
    decode_case(codec, as_string(payload), refuse);
  }
  return 0;
}
