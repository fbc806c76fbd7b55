#include <Python.h>

#include "recipe/item.hpp"

#include <cstring>

#include "python/convert.hpp"
#include "python/critical_section.hpp"
#include "python/errors.hpp"

namespace tessel::recipe {

namespace {

constexpr std::array<std::string_view, kKeyCount> kKeyNames = {"name", "encoding", "bits", "byte_order",
                                                               "reverse_bits", "offset_bits", "value"};
std::array<PyObject*, kKeyCount> interned_keys = {};  // kept for the life of the process

std::size_t slot(Key key) noexcept { return static_cast<std::size_t>(key); }

// The item-format key that `key` (an exact str) spells by its text, or -1.
int key_index_by_text(PyObject* key) noexcept {
  if (!PyUnicode_IS_ASCII(key)) return -1;
  const std::string_view text(static_cast<const char*>(PyUnicode_DATA(key)),
                              static_cast<std::size_t>(PyUnicode_GET_LENGTH(key)));
  for (std::size_t i = 0; i < kKeyCount; ++i) {
    if (kKeyNames[i] == text) return static_cast<int>(i);
  }
  return -1;
}

// The general path: one dict lookup per key, for dicts whose keys are not all exact str (a
// str subclass may define its own equality, which only the lookup itself honours). A lookup can
// run Python code, and each one locks the dict on its own, so another thread could change the
// item between two of them. The lookups therefore go to a private copy, taken in one go under
// the dict's lock with the hashes the dict stored. A subclass that iterates its own way would be
// copied through its own hooks, which the item format never consults: it is looked up in place.
Result<void> look_up_each(PyObject* dict, RawItem& out) noexcept {
  PyRef copy;
  if (Py_TYPE(dict)->tp_iter == PyDict_Type.tp_iter) {
    copy = PyRef::steal(PyDict_Copy(dict));
    if (!copy) return raised();
  }
  PyObject* source = copy ? copy.get() : dict;
  for (std::size_t i = 0; i < kKeyCount; ++i) {
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(source, interned_keys[i], &found) < 0) return raised();
    out.values[i] = PyRef::steal(found);
  }
  return {};
}

// The usual path: one walk over the entries, which reads the dict's own storage and runs no
// Python code, called under the dict's lock. Keys written as literals are the interned objects,
// and items usually list them in the format's order, so the search for each key starts after the
// last one found. Fills `out` and returns true, or returns false, `out` untouched, when a key is
// not an exact str and only a lookup can tell whether it equals one of the format's keys.
[[gnu::always_inline]] inline bool walk(PyObject* dict, RawItem& out) noexcept {
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* found = nullptr;
  std::array<PyObject*, kKeyCount> borrowed = {};
  std::size_t next = 0;
  while (PyDict_Next(dict, &position, &key, &found)) {
    std::size_t index = kKeyCount;
    for (std::size_t i = next; i < kKeyCount; ++i) {
      if (interned_keys[i] == key) {
        index = i;
        break;
      }
    }
    if (index == kKeyCount) {
      for (std::size_t i = 0; i < next; ++i) {
        if (interned_keys[i] == key) index = i;
      }
    }
    if (index == kKeyCount) {
      // Not an interned key: a str spelling one, another str, or something a str subclass's own
      // equality might match, which only the dict lookup itself honours.
      if (!PyUnicode_CheckExact(key)) return false;
      const int by_text = key_index_by_text(key);
      if (by_text < 0) continue;
      index = static_cast<std::size_t>(by_text);
    }
    borrowed[index] = found;
    next = index + 1;
  }
  // Held before the lock is let go: another thread may then replace a value and drop the last
  // reference to the old one.
  for (std::size_t i = 0; i < kKeyCount; ++i) {
    if (borrowed[i] != nullptr) out.values[i] = PyRef::borrow(borrowed[i]);
  }
  return true;
}

Unexpected missing(Key key) noexcept {
  return key_error("Recipe missing required field: '", kKeyNames[slot(key)], "'");
}

constexpr char ascii_lower(char c) noexcept { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

bool ascii_lower_equal(std::string_view text, std::string_view lower) noexcept {
  if (text.size() != lower.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (ascii_lower(text[i]) != lower[i]) return false;
  }
  return true;
}

}  // namespace

PyObject* key_object(Key key) noexcept { return interned_keys[slot(key)]; }

bool fixed_layout(const RawItem& item) noexcept {
  if (!item.plain) return false;
  const auto exact_str = [&](Key key) {
    PyObject* value = item.get(key);
    return value != nullptr && PyUnicode_CheckExact(value);
  };
  PyObject* bits = item.get(Key::bits);
  PyObject* offset = item.get(Key::offset_bits);
  PyObject* reverse = item.get(Key::reverse_bits);
  return exact_str(Key::name) && exact_str(Key::encoding) && exact_str(Key::byte_order) && bits != nullptr &&
         PyLong_CheckExact(bits) && (offset == nullptr || PyLong_CheckExact(offset)) &&
         (reverse == Py_True || reverse == Py_False);
}

bool intern_keys() noexcept {
  for (std::size_t i = 0; i < kKeyCount; ++i) {
    if (interned_keys[i] == nullptr) {
      interned_keys[i] = PyUnicode_InternFromString(kKeyNames[i].data());  // literals: NUL-terminated
    }
    if (interned_keys[i] == nullptr) return false;
  }
  return true;
}

Result<void> read_item(PyObject* item, RawItem& out) noexcept {
  if (!PyDict_Check(item)) {
    python::raise_cast_error(item, "dict");
    return raised();
  }
  // One state of the item: its entries are read and their values held under the dict's lock, so
  // a change another thread makes meanwhile is seen wholly or not at all.
  bool whole = false;
  {
    const python::CriticalSection section(item);
    whole = walk(item, out);
  }
  out.plain = whole && PyDict_CheckExact(item);
  return whole ? Result<void>{} : look_up_each(item, out);
}

bool read_plain_item(PyObject* item, RawItem& out) noexcept {
  if (!PyDict_CheckExact(item)) return false;
  bool whole = false;
  {
    const python::CriticalSection section(item);
    whole = walk(item, out);
  }
  out.plain = whole;
  return whole;
}

Result<Text> text(const RawItem& item, Key key) noexcept {
  PyObject* object = item.get(key);
  if (object == nullptr) return missing(key);
  Text result{object, {}};
  if (!python::to_utf8(object, result.utf8)) return raised();
  return result;
}

Result<void> read_fields_checked(const RawItem& item, Fields& out, std::uint32_t* width) noexcept {
  auto name = text(item, Key::name);
  if (!name) return Unexpected(std::move(name.error()));
  auto encoding = text(item, Key::encoding);
  if (!encoding) return Unexpected(std::move(encoding.error()));
  if (width != nullptr) {
    auto count = bits(item);
    if (!count) return Unexpected(std::move(count.error()));
    *width = *count;
  }
  auto byte_order = text(item, Key::byte_order);
  if (!byte_order) return Unexpected(std::move(byte_order.error()));
  auto flag = reverse_bits(item);
  if (!flag) return Unexpected(std::move(flag.error()));
  out = Fields{*name, *encoding, *byte_order, *flag};
  return {};
}

Result<std::uint32_t> bits(const RawItem& item) noexcept {
  PyObject* object = item.get(Key::bits);
  if (object == nullptr) return missing(Key::bits);
  std::uint32_t count = 0;
  if (!python::to_bit_count(object, count)) return raised();
  return count;
}

Result<bool> reverse_bits(const RawItem& item) noexcept {
  PyObject* object = item.get(Key::reverse_bits);
  if (object == nullptr) return missing(Key::reverse_bits);
  bool flag = false;
  if (!python::to_flag(object, flag)) return raised();
  return flag;
}

Result<void> read_offset_bits(const RawItem& item, bool& present, std::uint32_t& offset) noexcept {
  PyObject* object = item.get(Key::offset_bits);
  present = object != nullptr;
  if (present && !python::to_bit_count(object, offset)) return raised();
  return {};
}

Unexpected missing_value(std::string_view item_name) noexcept {
  return key_error("Recipe item '", item_name, "' missing required field: 'value'");
}

Result<int> match_name(const Text& text, const std::string_view* names, std::size_t count) noexcept {
  if (PyUnicode_IS_ASCII(text.object)) {
    for (std::size_t i = 0; i < count; ++i) {
      if (ascii_lower_equal(text.utf8, names[i])) return static_cast<int>(i);
    }
    return -1;
  }
  // Beyond ASCII, lower-casing is the interpreter's own full mapping (U+212A KELVIN SIGN lowers
  // to 'k'); str.lower is called unbound so a subclass cannot change it.
  PyRef lowered =
      PyRef::steal(PyObject_CallMethod(reinterpret_cast<PyObject*>(&PyUnicode_Type), "lower", "O", text.object));
  if (!lowered) return raised();
  std::string_view utf8;
  if (!python::to_utf8(lowered.get(), utf8)) return raised();
  for (std::size_t i = 0; i < count; ++i) {
    if (utf8 == names[i]) return static_cast<int>(i);
  }
  return -1;
}

Result<int> NameCache::match_and_remember(const Text& text, const std::string_view* names,
                                          std::size_t count) noexcept {
  auto found = match_name(text, names, count);
  if (found) {
    Entry& entry = entries_[next_];
    entry.object = PyRef::borrow(text.object);
    entry.index = *found;
    next_ = (next_ + 1) % entries_.size();
  }
  return found;
}

Result<ByteOrder> parse_byte_order(const Text& text, NameCache& cache) noexcept {
  static constexpr std::string_view kOrders[] = {"big", "little"};
  auto found = cache.match(text, kOrders, 2);
  if (!found) return Unexpected(std::move(found.error()));
  if (*found < 0) return value_error("Invalid byte_order '", text.utf8, "': must be 'big' or 'little'");
  return *found == 0 ? ByteOrder::big : ByteOrder::little;
}

Unexpected unsupported_encoding(const Text& encoding) noexcept {
  return value_error("Unsupported encoding type: ", encoding.utf8);
}

}  // namespace tessel::recipe
