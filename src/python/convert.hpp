// Conversions between Python objects and the codecs' plain values.
//
// Each `to_*` reads one object and returns false with the interpreter's exception set. These
// messages carry no "argument '...'" prefix: the binder adds it for module arguments, while the
// recipe codec uses the conversions as they are for the values it reads out of recipe items.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "bits.hpp"
#include "python/py_ref.hpp"
#include "text_view.hpp"

namespace tessel::python {

// The recipe argument: its items, in order, and the caller's list or tuple itself when it is
// exactly one of those (borrowed: it is an argument of the call), which is what a compiled layout
// is looked up by.
//
// Any other sequence is iterated and its items held at once. A list or tuple is read in place
// until hold() is called: a call served by a compiled layout only compares the items with the
// layout's and reads values out of them before any Python code can run, so it need not hold them.
// Without the GIL another thread may change a list at any moment: a list is then read in place
// only under its lock (ListLock), and hold() takes its items under that lock too; the packer reads
// values after the lock is let go through the dicts its lookup compared (recipe::Found::items).
// Holding them would cost two atomic reference count changes an item and a call when threads
// share the recipe.
class RecipeItems {
 public:
  [[nodiscard]] PyObject* source() const noexcept { return source_; }
  [[nodiscard]] std::size_t size() const noexcept {
    return held_ ? items_.size() : static_cast<std::size_t>(PySequence_Fast_GET_SIZE(source_));
  }
  // Item `i`, borrowed: held, or read in place (then valid only until Python code runs).
  [[nodiscard]] PyObject* item(std::size_t i) const noexcept {
    return held_ ? items_[i].get() : PySequence_Fast_ITEMS(source_)[i];
  }
  // Holds every item for the rest of the call; any path that may run Python code while it reads
  // the items calls this first. May throw std::bad_alloc.
  void hold() const;
  // Whether this is an exact list read in place, which a free-threaded build reads under its lock.
  [[nodiscard]] bool list_in_place() const noexcept { return list_ && !held_; }

  // The held items (after hold()).
  [[nodiscard]] const PyRef& operator[](std::size_t i) const noexcept { return items_[i]; }
  [[nodiscard]] auto begin() const noexcept { return items_.begin(); }
  [[nodiscard]] auto end() const noexcept { return items_.end(); }

 private:
  friend bool to_recipe(PyObject* object, RecipeItems& out);
  PyObject* source_ = nullptr;
  mutable std::vector<PyRef> items_;
  mutable bool held_ = true;
  bool list_ = false;
};

// Holds an exact list read in place still for a scope, on free-threaded builds: its size and its
// items, read by pointer, stay what they were. Nothing inside may block or run Python code (a
// critical section is suspended when its thread blocks). Empty otherwise.
class ListLock {
 public:
  explicit ListLock([[maybe_unused]] const RecipeItems& recipe) noexcept {
#ifdef Py_GIL_DISABLED
    if (recipe.list_in_place()) {
      PyCriticalSection_Begin(&section_, recipe.source());
      active_ = true;
    }
#endif
  }
  ~ListLock() {
#ifdef Py_GIL_DISABLED
    if (active_) PyCriticalSection_End(&section_);
#endif
  }
  ListLock(const ListLock&) = delete;
  ListLock& operator=(const ListLock&) = delete;

#ifdef Py_GIL_DISABLED
 private:
  PyCriticalSection section_{};
  bool active_ = false;
#endif
};

// Small exact ints (a few machine words' worth) are read in place, without a call.
inline bool compact_value(PyObject* object, Py_ssize_t& value) noexcept {
  if (!PyLong_CheckExact(object) || !PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(object))) return false;
  value = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(object));
  return true;
}

bool to_i64(PyObject* object, std::int64_t& out) noexcept;
bool to_u64(PyObject* object, std::uint64_t& out) noexcept;
bool to_u128(PyObject* object, u128& out) noexcept;
bool to_bit_count(PyObject* object, std::uint32_t& out) noexcept;
bool to_flag(PyObject* object, bool& out) noexcept;
bool to_float64(PyObject* object, double& out) noexcept;
bool to_float32(PyObject* object, float& out) noexcept;
// The str in the interpreter's compact form, read in place.
bool to_text(PyObject* object, TextView& out) noexcept;
// The UTF-8 form of a str, cached by the interpreter in the object.
bool to_utf8(PyObject* object, std::string_view& out) noexcept;
bool to_byte_string(PyObject* object, std::span<const std::uint8_t>& out) noexcept;
// May throw std::bad_alloc (the fault guard turns it into MemoryError).
bool to_recipe(PyObject* object, RecipeItems& out);
bool to_byte_list(PyObject* object, std::vector<std::uint8_t>& out);

// Results.
inline PyObject* from_u64(std::uint64_t value) noexcept { return PyLong_FromUnsignedLongLong(value); }
inline PyObject* from_i64(std::int64_t value) noexcept { return PyLong_FromLongLong(value); }
inline PyObject* from_double(double value) noexcept { return PyFloat_FromDouble(value); }

}  // namespace tessel::python
