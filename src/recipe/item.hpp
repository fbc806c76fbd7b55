// Reading recipe items: the dict check, the key readers, and encoding-name matching.
//
// Shared by the packer and the unpacker. An item's dict is read once: one walk over its entries
// picks out the keys of the item format (the dict's own storage, as a plain dict lookup sees it,
// so a subclass's __getitem__ and __missing__ are never consulted). The values are held for the
// call, so neither Python code run by a value conversion nor another thread can pull them away.
// Every reader returns a CodecError in the recipe's terms: a missing key is a KeyError, a failed
// conversion is the interpreter's own exception.
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "codec_error.hpp"
#include "python/py_ref.hpp"

namespace tessel::recipe {

using python::PyRef;

enum class Key : std::uint8_t { name, encoding, bits, byte_order, reverse_bits, offset_bits, value };
inline constexpr std::size_t kKeyCount = 7;

// Interns the key names; called while the module is built, under its lock and before any
// function exists, so every call reads the finished table.
bool intern_keys() noexcept;

// The interned key object (the module holds it for the life of the process).
[[nodiscard]] PyObject* key_object(Key key) noexcept;

// The values of an item's keys, null where a key is absent.
struct RawItem {
  std::array<PyRef, kKeyCount> values;
  // An exact dict whose keys are all exact str: read without running any code of the caller's.
  bool plain = false;
  [[nodiscard]] PyObject* get(Key key) const noexcept { return values[static_cast<std::size_t>(key)].get(); }
};

// Whether reading `item` can be compiled into a layout: a plain dict whose layout keys hold an
// exact str (name, encoding, byte_order), an exact int (bits, and offset_bits when present) and a
// bool (reverse_bits). Converting such values runs no code of the caller's, and nothing but a
// change to the dict itself can change what they read as.
[[nodiscard]] bool fixed_layout(const RawItem& item) noexcept;

// Reads an item: "'{type}' object cannot be cast as 'dict'" unless it is a dict or a dict subclass.
// The dict is read in one go under its lock, so the values are one state of it even while another
// thread changes it. `out` must be empty: dropping a value it held could run a finalizer while
// the dict's entries are borrowed.
[[nodiscard]] Result<void> read_item(PyObject* item, RawItem& out) noexcept;

// Reads a plain item (see RawItem::plain) for compiling: false, `out` untouched, for anything else,
// without running any code of the caller's.
[[nodiscard]] bool read_plain_item(PyObject* item, RawItem& out) noexcept;

// A str value: the object and its UTF-8 text (owned by the object, which RawItem holds).
struct Text {
  PyObject* object;
  std::string_view utf8;
};

[[nodiscard]] Result<Text> text(const RawItem& item, Key key) noexcept;
[[nodiscard]] Result<std::uint32_t> bits(const RawItem& item) noexcept;

// The keys every item has: name, encoding, bits, byte_order, reverse_bits, checked in that
// order (the first missing or unconvertible one is reported). The packer has read `bits` in
// its sizing pass already and passes no `bits` to fill.
struct Fields {
  Text name;
  Text encoding;
  Text byte_order;
  bool reverse_bits;
};
[[nodiscard]] Result<void> read_fields_checked(const RawItem& item, Fields& out, std::uint32_t* bits) noexcept;

// The usual item holds ASCII texts and a bool: read those in place; anything else takes the
// checks one by one.
[[nodiscard, gnu::always_inline]] inline Result<void> read_fields(const RawItem& item, Fields& out,
                                                              std::uint32_t* bits = nullptr) noexcept {
  PyObject* name = item.get(Key::name);
  PyObject* encoding = item.get(Key::encoding);
  PyObject* byte_order = item.get(Key::byte_order);
  PyObject* reverse = item.get(Key::reverse_bits);
  const auto ascii = [](PyObject* o) { return o != nullptr && PyUnicode_Check(o) && PyUnicode_IS_COMPACT_ASCII(o); };
  if (!ascii(name) || !ascii(encoding) || !ascii(byte_order) || (reverse != Py_True && reverse != Py_False)) {
    return read_fields_checked(item, out, bits);
  }
  if (bits != nullptr) {
    auto width = recipe::bits(item);
    if (!width) return Unexpected(std::move(width.error()));
    *bits = *width;
  }
  const auto view = [](PyObject* o) {
    return std::string_view(static_cast<const char*>(PyUnicode_DATA(o)), static_cast<std::size_t>(PyUnicode_GET_LENGTH(o)));
  };
  out.name = {name, view(name)};
  out.encoding = {encoding, view(encoding)};
  out.byte_order = {byte_order, view(byte_order)};
  out.reverse_bits = reverse == Py_True;
  return {};
}
[[nodiscard]] Result<bool> reverse_bits(const RawItem& item) noexcept;
// Absent: `present` false. Present with any value (None included): converted as a bit count.
[[nodiscard]] Result<void> read_offset_bits(const RawItem& item, bool& present, std::uint32_t& offset) noexcept;
// The value object, for presence; its conversion waits until the encoding family is known.
[[nodiscard]] Unexpected missing_value(std::string_view item_name) noexcept;
[[nodiscard]] inline Result<void> read_value(const RawItem& item, std::string_view item_name, PyObject*& out) noexcept {
  out = item.get(Key::value);
  if (out == nullptr) return missing_value(item_name);
  return {};
}

// The name column of a table of {name, ...} rows, as match_name takes it.
template <class Row, std::size_t N>
constexpr std::array<std::string_view, N> name_column(const Row (&rows)[N]) {
  std::array<std::string_view, N> names{};
  for (std::size_t i = 0; i < N; ++i) names[i] = rows[i].name;
  return names;
}

// Encoding and byte-order names match after the lower-casing of str.lower(), compared byte for
// byte, never trimmed. Returns the index of the matching name in `names`, or -1.
[[nodiscard]] Result<int> match_name(const Text& text, const std::string_view* names, std::size_t count) noexcept;

// Remembers the last few name objects matched in a call, so a recipe that names its encodings
// with the same str objects (literals, usually) matches each name once. Holds the objects, so
// their addresses cannot be reused for other strs during the call.
class NameCache {
 public:
  [[nodiscard]] Result<int> match(const Text& text, const std::string_view* names, std::size_t count) noexcept {
    for (const Entry& entry : entries_) {
      if (entry.object.get() == text.object) return entry.index;  // str is immutable, subclasses too
    }
    return match_and_remember(text, names, count);
  }

 private:
  [[nodiscard]] Result<int> match_and_remember(const Text& text, const std::string_view* names,
                                               std::size_t count) noexcept;
  struct Entry {
    PyRef object;
    int index = -1;
  };
  std::array<Entry, 8> entries_;
  std::size_t next_ = 0;
};

enum class ByteOrder : std::uint8_t { big, little };
// "big" or "little", else "Invalid byte_order '{byte_order}': must be 'big' or 'little'".
[[nodiscard]] Result<ByteOrder> parse_byte_order(const Text& text, NameCache& cache) noexcept;

// "Unsupported encoding type: {encoding}", quoting the caller's own text.
[[nodiscard]] Unexpected unsupported_encoding(const Text& encoding) noexcept;

}  // namespace tessel::recipe
