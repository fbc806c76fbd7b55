// The one failure value of every codec, and the result type that carries it.
//
// A codec returns either its result or a CodecError: an exception kind plus the exact message
// text. The message is built only on the failure path, out of line. Nothing here touches the
// interpreter; src/module turns a CodecError into a Python exception at the function boundary.
#pragma once

#include <charconv>
#include <concepts>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#if __has_include(<expected>)
#include <expected>
#endif

namespace tessel {

enum class ErrorKind : std::uint8_t {
  value_error,      // ValueError
  key_error,        // KeyError
  not_implemented,  // NotImplementedError
  type_error,       // TypeError
  raised,           // the interpreter raised during a conversion; its exception is pending
  no_memory,        // building the message itself failed: MemoryError
  lone_surrogate,   // text held a lone surrogate; the interpreter's UTF-8 conversion reports it
};

class CodecError {
 public:
  CodecError(ErrorKind kind, std::string message) noexcept
      : message_(std::move(message)), kind_(kind) {}
  explicit CodecError(ErrorKind kind) noexcept : kind_(kind) {}

  [[nodiscard]] ErrorKind kind() const noexcept { return kind_; }
  [[nodiscard]] const std::string& message() const noexcept { return message_; }

 private:
  std::string message_;
  ErrorKind kind_;
};

#if defined(__cpp_lib_expected) && __cpp_lib_expected >= 202202L

template <class T>
using Result = std::expected<T, CodecError>;
using Unexpected = std::unexpected<CodecError>;

#else

// A small stand-in for std::expected with the members the codecs use.
class Unexpected {
 public:
  explicit Unexpected(CodecError error) noexcept : error_(std::move(error)) {}
  CodecError& error() & noexcept { return error_; }
  CodecError&& error() && noexcept { return std::move(error_); }

 private:
  CodecError error_;
};

template <class T>
class Result {
 public:
  Result(T value) noexcept : ok_(true), value_(std::move(value)) {}  // NOLINT: implicit like expected
  Result(Unexpected failure) noexcept : ok_(false), error_(std::move(failure).error()) {}
  Result(Result&& other) noexcept : ok_(other.ok_) {
    if (ok_) new (&value_) T(std::move(other.value_));
    else new (&error_) CodecError(std::move(other.error_));
  }
  Result& operator=(Result&&) = delete;
  ~Result() {
    if (ok_) value_.~T();
    else error_.~CodecError();
  }
  [[nodiscard]] bool has_value() const noexcept { return ok_; }
  explicit operator bool() const noexcept { return ok_; }
  T& operator*() noexcept { return value_; }
  const T& operator*() const noexcept { return value_; }
  T* operator->() noexcept { return &value_; }
  T& value() noexcept { return value_; }
  CodecError& error() noexcept { return error_; }
  const CodecError& error() const noexcept { return error_; }

 private:
  bool ok_;
  union {
    T value_;
    CodecError error_;
  };
};

template <>
class Result<void> {
 public:
  Result() noexcept = default;
  Result(Unexpected failure) noexcept : ok_(false), error_(std::move(failure).error()) {}
  [[nodiscard]] bool has_value() const noexcept { return ok_; }
  explicit operator bool() const noexcept { return ok_; }
  CodecError& error() noexcept { return error_; }
  const CodecError& error() const noexcept { return error_; }

 private:
  bool ok_ = true;
  CodecError error_{ErrorKind::value_error};
};

#endif

// An unsigned number in upper-case hexadecimal, zero-padded to at least `width` digits.
struct Hex {
  std::uint64_t value;
  int width;
};

// Message building: decimal integers, Hex numbers and text pieces, concatenated.
namespace detail {
inline void append_piece(std::string& out, Hex hex) {
  char digits[16];
  int count = 0;
  std::uint64_t rest = hex.value;
  do {
    digits[count++] = "0123456789ABCDEF"[rest & 0xF];
    rest >>= 4;
  } while (rest != 0);
  for (int pad = count; pad < hex.width; ++pad) out.push_back('0');
  while (count > 0) out.push_back(digits[--count]);
}
inline void append_piece(std::string& out, std::string_view text) { out.append(text); }
inline void append_piece(std::string& out, char c) { out.push_back(c); }
template <std::integral I>
  requires(!std::same_as<I, char> && !std::same_as<I, bool>)
void append_piece(std::string& out, I number) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, number).ptr;
  out.append(digits, end);
}
}  // namespace detail

template <class... Pieces>
[[nodiscard]] std::string str_cat(const Pieces&... pieces) {
  std::string out;
  (detail::append_piece(out, pieces), ...);
  return out;
}

// Failure constructors. They never throw: if the message cannot be allocated the failure becomes
// a memory error, so the codecs can stay noexcept.
template <class... Pieces>
[[nodiscard, gnu::cold, gnu::noinline]] Unexpected fail(ErrorKind kind, const Pieces&... pieces) noexcept {
  try {
    return Unexpected(CodecError(kind, str_cat(pieces...)));
  } catch (...) {
    return Unexpected(CodecError(ErrorKind::no_memory));
  }
}

template <class... Pieces>
[[nodiscard]] Unexpected value_error(const Pieces&... pieces) noexcept {
  return fail(ErrorKind::value_error, pieces...);
}

template <class... Pieces>
[[nodiscard]] Unexpected key_error(const Pieces&... pieces) noexcept {
  return fail(ErrorKind::key_error, pieces...);
}

template <class... Pieces>
[[nodiscard]] Unexpected not_implemented(const Pieces&... pieces) noexcept {
  return fail(ErrorKind::not_implemented, pieces...);
}

template <class... Pieces>
[[nodiscard]] Unexpected type_error(const Pieces&... pieces) noexcept {
  return fail(ErrorKind::type_error, pieces...);
}

// The interpreter already holds the exception (a failed value conversion).
[[nodiscard]] inline Unexpected raised() noexcept { return Unexpected(CodecError(ErrorKind::raised)); }

}  // namespace tessel
