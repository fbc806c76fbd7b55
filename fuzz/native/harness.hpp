// Shared pieces of the native fuzz harnesses: reading the fuzzer's bytes, failing loudly, and
// output sinks that give the codecs exactly the storage they ask for (so AddressSanitizer sees
// every byte written past it) and remember what they were asked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "codec_error.hpp"
#include "text_view.hpp"

namespace fuzz {

// A broken expectation: print it and abort, which libFuzzer reports as a crash with the input.
[[noreturn]] inline void fail(const std::string& what) {
  std::fprintf(stderr, "\n*** fuzz check failed: %s\n", what.c_str());
  std::fflush(stderr);
  std::abort();
}

#define FUZZ_CHECK(condition, ...)                                                        \
  do {                                                                                     \
    if (!(condition)) ::fuzz::fail(::tessel::str_cat(#condition, " -- ", __VA_ARGS__)); \
  } while (0)

// The fuzzer's bytes, taken from the front; past the end every read gives zeros.
class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) noexcept : data_(data), size_(size) {}

  [[nodiscard]] std::size_t left() const noexcept { return size_ - at_; }

  std::uint8_t byte() noexcept { return at_ < size_ ? data_[at_++] : 0; }

  bool flag() noexcept { return (byte() & 1) != 0; }

  template <class T>
  T take() noexcept {
    T value{};
    unsigned char raw[sizeof(T)] = {};
    for (auto& b : raw) b = byte();
    std::memcpy(&value, raw, sizeof value);
    return value;
  }

  // The rest of the input.
  std::vector<std::uint8_t> rest() {
    std::vector<std::uint8_t> out(data_ + at_, data_ + size_);
    at_ = size_;
    return out;
  }

  // Up to `limit` bytes, the count taken from the input first.
  std::vector<std::uint8_t> bytes(std::size_t limit) {
    std::size_t count = byte();
    if (count > limit) count = limit;
    if (count > left()) count = left();
    std::vector<std::uint8_t> out(data_ + at_, data_ + at_ + count);
    at_ += count;
    return out;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

// Storage for an encoder. Each allocation is a heap block of exactly the size asked for, filled
// with a marker so bytes the encoder promised but never wrote show up in the comparison. It can
// be told to refuse, as the interpreter does when memory runs out.
class Bytes final : public tessel::ByteSink {
 public:
  explicit Bytes(bool refuse = false, bool refuse_shrink = false) noexcept
      : refuse_(refuse), refuse_shrink_(refuse_shrink) {}

  std::uint8_t* allocate(std::size_t size) noexcept override {
    ++allocations_;
    if (refuse_) return nullptr;
    if (size > (std::size_t{1} << 28)) fail(tessel::str_cat("encoder asked for ", size, " bytes"));
    data_.reset(new std::uint8_t[size]);
    std::memset(data_.get(), 0xA5, size);
    capacity_ = size;
    size_ = size;
    return data_.get();
  }

  bool shrink(std::size_t size) noexcept override {
    if (data_ == nullptr) fail("shrink before allocate");
    if (size > size_) fail(tessel::str_cat("shrink grows the output from ", size_, " to ", size));
    ++shrinks_;
    if (refuse_shrink_) return false;
    size_ = size;
    return true;
  }

  [[nodiscard]] std::string_view view() const noexcept {
    return {reinterpret_cast<const char*>(data_.get()), data_ ? size_ : 0};
  }
  [[nodiscard]] int allocations() const noexcept { return allocations_; }
  [[nodiscard]] int shrinks() const noexcept { return shrinks_; }

 private:
  std::unique_ptr<std::uint8_t[]> data_;
  std::size_t capacity_ = 0;
  std::size_t size_ = 0;
  int allocations_ = 0;
  int shrinks_ = 0;
  bool refuse_;
  bool refuse_shrink_;
};

// The storage class of a code point, as the interpreter's compact str picks it.
[[nodiscard]] constexpr char32_t storage_class(char32_t c) noexcept {
  return c < 0x80 ? 0x7F : c < 0x100 ? 0xFF : c < 0x10000 ? 0xFFFF : 0x10FFFF;
}

// Storage for a decoder, with the interpreter's rules: the width follows from `max_char`
// (1, 2 or 4 bytes a code point), and the str is valid only if its largest code point falls in
// the class that `max_char` names (a str stored wider than its text needs compares unequal to
// the same text stored narrowly).
class Text final : public tessel::TextSink {
 public:
  explicit Text(bool refuse = false) noexcept : refuse_(refuse) {}

  void* allocate(std::size_t length, char32_t max_char, std::uint8_t& width) noexcept override {
    ++allocations_;
    if (refuse_) return nullptr;
    if (max_char > 0x10FFFF) fail(tessel::str_cat("max_char ", static_cast<std::uint32_t>(max_char), " beyond U+10FFFF"));
    if (length > (std::size_t{1} << 26)) fail(tessel::str_cat("decoder asked for ", length, " code points"));
    width = max_char < 0x100 ? 1 : max_char < 0x10000 ? 2 : 4;
    width_ = width;
    length_ = length;
    max_char_ = max_char;
    // A code point the decoder never writes reads as this marker, which no decoder yields.
    data_.reset(new std::uint8_t[length * width]);
    std::memset(data_.get(), 0xFF, length * width);
    return data_.get();
  }

  [[nodiscard]] int allocations() const noexcept { return allocations_; }

  // The code points written, checked against the sink's contract. Empty if never allocated.
  [[nodiscard]] std::u32string take_checked() const {
    std::u32string out;
    if (allocations_ == 0) return out;
    char32_t largest = 0;
    for (std::size_t i = 0; i < length_; ++i) {
      char32_t c = 0;
      switch (width_) {
        case 1: c = data_[i]; break;
        case 2: {
          std::uint16_t u;
          std::memcpy(&u, data_.get() + 2 * i, 2);
          c = u;
          break;
        }
        default: {
          std::uint32_t u;
          std::memcpy(&u, data_.get() + 4 * i, 4);
          c = u;
          break;
        }
      }
      if (c > max_char_) fail(tessel::str_cat("code point ", static_cast<std::uint32_t>(c), " at ", i,
                                              " above the class asked for, ", static_cast<std::uint32_t>(max_char_)));
      if (c > largest) largest = c;
      out.push_back(c);
    }
    if (length_ != 0 && storage_class(largest) != max_char_) {
      fail(tessel::str_cat("str of class ", static_cast<std::uint32_t>(max_char_), " holds at most U+",
                           tessel::Hex{largest, 4}, ": not the interpreter's canonical form"));
    }
    return out;
  }

 private:
  std::unique_ptr<std::uint8_t[]> data_;
  std::size_t length_ = 0;
  char32_t max_char_ = 0;
  std::uint8_t width_ = 1;
  int allocations_ = 0;
  bool refuse_;
};

// A codec's outcome as text, for comparisons: "ok", or the error kind and message.
[[nodiscard]] inline std::string describe(const tessel::CodecError& error) {
  return tessel::str_cat("error kind ", static_cast<int>(error.kind()), ": ", error.message());
}

[[nodiscard]] inline std::string hex_bytes(std::string_view bytes) {
  std::string out;
  for (unsigned char b : bytes) out += tessel::str_cat(tessel::Hex{b, 2}, ' ');
  return out;
}

[[nodiscard]] inline std::string code_points(const std::u32string& text) {
  std::string out;
  for (char32_t c : text) out += tessel::str_cat("U+", tessel::Hex{static_cast<std::uint32_t>(c), 4}, ' ');
  return out;
}

}  // namespace fuzz
