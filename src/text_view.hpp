// Borrowed views of text and output sinks for the text codecs.
//
// Text arrives in the interpreter's own compact form: one, two or four bytes per code point.
// Codecs read it in place and write their output straight into storage the caller provides,
// so a call copies its data once.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tessel {

struct TextView {
  const void* data = nullptr;
  std::size_t length = 0;  // in code points
  std::uint8_t width = 1;  // bytes per code point: 1 (U+0000..U+00FF), 2 or 4
  bool ascii = false;      // every code point below U+0080 (and width 1)
};

// Storage for an encoder's bytes.
class ByteSink {
 public:
  // Room for exactly `size` bytes; null when it cannot be had (the failure is recorded by the sink).
  virtual std::uint8_t* allocate(std::size_t size) noexcept = 0;
  // Give up all but the first `size` bytes of the last allocation; false on failure.
  virtual bool shrink(std::size_t size) noexcept = 0;

 protected:
  ~ByteSink() = default;
};

// Storage for a decoder's text: `length` code points, none above `max_char`. The sink picks the
// width (1, 2 or 4 bytes per code point) and reports it; null when the storage cannot be had.
class TextSink {
 public:
  virtual void* allocate(std::size_t length, char32_t max_char, std::uint8_t& width) noexcept = 0;

 protected:
  ~TextSink() = default;
};

}  // namespace tessel
