#include <Python.h>

#include "python/convert.hpp"

#include <cstring>
#include <limits>

#include "bits.hpp"
#include "python/critical_section.hpp"
#include "python/errors.hpp"

namespace tessel::python {

bool to_i64(PyObject* object, std::int64_t& out) noexcept {
  if (Py_ssize_t compact = 0; compact_value(object, compact)) {
    out = compact;
    return true;
  }
  const long long value = PyLong_AsLongLong(object);  // takes __index__ itself
  if (value == -1 && PyErr_Occurred()) return false;
  out = value;
  return true;
}

bool to_u64(PyObject* object, std::uint64_t& out) noexcept {
  if (Py_ssize_t compact = 0; compact_value(object, compact) && compact >= 0) {
    out = static_cast<std::uint64_t>(compact);
    return true;
  }
  if (PyLong_Check(object)) {
    const unsigned long long value = PyLong_AsUnsignedLongLong(object);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = value;
    return true;
  }
  PyRef index = PyRef::steal(PyNumber_Index(object));
  if (!index) return false;
  const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = value;
  return true;
}

bool to_u128(PyObject* object, u128& out) noexcept {
  PyRef index = PyRef::steal(PyNumber_Index(object));
  if (!index) return false;
  unsigned char buffer[16];
  const Py_ssize_t needed =
      PyLong_AsNativeBytes(index.get(), buffer, sizeof buffer,
                           Py_ASNATIVEBYTES_NATIVE_ENDIAN | Py_ASNATIVEBYTES_UNSIGNED_BUFFER |
                               Py_ASNATIVEBYTES_REJECT_NEGATIVE);
  if (needed < 0) return false;
  if (needed > static_cast<Py_ssize_t>(sizeof buffer)) {
    PyErr_SetString(PyExc_OverflowError, "Python int larger than 128 bits");
    return false;
  }
  std::memcpy(&out, buffer, sizeof buffer);
  return true;
}

bool to_bit_count(PyObject* object, std::uint32_t& out) noexcept {
  std::uint64_t wide = 0;
  if (!to_u64(object, wide)) return false;
  if (wide > std::numeric_limits<std::uint32_t>::max()) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return false;
  }
  out = static_cast<std::uint32_t>(wide);
  return true;
}

namespace {
// The numeric library's boolean scalar: a type named bool_ or bool in the module numpy.
bool is_numpy_bool(PyTypeObject* type) noexcept {
  PyRef module = PyRef::steal(PyType_GetModuleName(type));
  if (!module) {
    PyErr_Clear();
    return false;
  }
  if (!PyUnicode_Check(module.get()) || PyUnicode_CompareWithASCIIString(module.get(), "numpy") != 0) return false;
  PyRef name = PyRef::steal(PyType_GetName(type));
  if (!name) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
         PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0;
}
}  // namespace

bool to_flag(PyObject* object, bool& out) noexcept {
  if (object == Py_True || object == Py_False) {
    out = object == Py_True;
    return true;
  }
  PyTypeObject* type = Py_TYPE(object);
  if (!is_numpy_bool(type)) {
    raise_cast_error(object, "bool");
    return false;
  }
  if (type->tp_as_number == nullptr || type->tp_as_number->nb_bool == nullptr) {
    PyErr_Format(PyExc_TypeError, "object of type '%S' does not define a '__bool__' conversion",
                 reinterpret_cast<PyObject*>(type));
    return false;
  }
  const int truth = type->tp_as_number->nb_bool(object);
  if (truth < 0) return false;
  out = truth != 0;
  return true;
}

bool to_float64(PyObject* object, double& out) noexcept {
  if (PyFloat_CheckExact(object)) {
    out = PyFloat_AS_DOUBLE(object);
    return true;
  }
  const double value = PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred()) return false;
  out = value;
  return true;
}

bool to_float32(PyObject* object, float& out) noexcept {
  double wide = 0.0;
  if (!to_float64(object, wide)) return false;
  out = narrow_to_binary32(wide);
  return true;
}

bool to_text(PyObject* object, TextView& out) noexcept {
  if (!PyUnicode_Check(object)) {
    raise_cast_error(object, "str");
    return false;
  }
  out.data = PyUnicode_DATA(object);
  out.length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(object));
  out.width = static_cast<std::uint8_t>(PyUnicode_KIND(object));
  out.ascii = PyUnicode_IS_ASCII(object) != 0;
  return true;
}

bool to_utf8(PyObject* object, std::string_view& out) noexcept {
  if (!PyUnicode_Check(object)) {
    raise_cast_error(object, "str");
    return false;
  }
  if (PyUnicode_IS_COMPACT_ASCII(object)) {  // ASCII is its own UTF-8
    out = std::string_view(static_cast<const char*>(PyUnicode_DATA(object)),
                           static_cast<std::size_t>(PyUnicode_GET_LENGTH(object)));
    return true;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(object, &size);
  if (data == nullptr) return false;
  out = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

bool to_byte_string(PyObject* object, std::span<const std::uint8_t>& out) noexcept {
  if (!PyBytes_Check(object)) {
    raise_cast_error(object, "bytes");
    return false;
  }
  out = std::span(reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(object)),
                  static_cast<std::size_t>(PyBytes_GET_SIZE(object)));
  return true;
}

namespace {
// Refusals shared by the recipe argument and the binary family's byte list.
bool sequence_or_refuse(PyObject* object) noexcept {
  if (PyUnicode_Check(object)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(object)) {
    raise_cast_error(object, "Sequence");
    return false;
  }
  return true;
}
}  // namespace

namespace {
// Iterating a list or tuple yields its items in order: take them directly, each held for the call.
void hold_items(PyObject* sequence, std::vector<PyRef>& out) {
  const Py_ssize_t size = PySequence_Fast_GET_SIZE(sequence);
  PyObject** items = PySequence_Fast_ITEMS(sequence);
  out.reserve(static_cast<std::size_t>(size));
  for (Py_ssize_t i = 0; i < size; ++i) out.push_back(PyRef::borrow(items[i]));
}
}  // namespace

void RecipeItems::hold() const {
  if (held_) return;
#ifdef Py_GIL_DISABLED
  if (list_) {
    // Another thread may resize the list: its items are taken in one go, under its lock.
    const CriticalSection section(source_);
    hold_items(source_, items_);
    held_ = true;
    return;
  }
#endif
  hold_items(source_, items_);
  held_ = true;
}

bool to_recipe(PyObject* object, RecipeItems& out) {
  if (PyTuple_CheckExact(object)) {
    out.source_ = object;  // its items cannot change
    out.held_ = false;
    return true;
  }
  if (PyList_CheckExact(object)) {
    out.source_ = object;
    out.held_ = false;
    out.list_ = true;
    return true;
  }
  if (!sequence_or_refuse(object)) return false;
  // The length is only a hint: a failing or absurd __len__ must not refuse a sequence that iterates.
  Py_ssize_t hint = PyObject_LengthHint(object, 0);
  if (hint < 0) {
    PyErr_Clear();
    hint = 0;
  }
  out.items_.reserve(static_cast<std::size_t>(hint < 4096 ? hint : 4096));
  PyRef iterator = PyRef::steal(PyObject_GetIter(object));
  if (!iterator) return false;
  while (PyObject* item = PyIter_Next(iterator.get())) out.items_.push_back(PyRef::steal(item));
  return !PyErr_Occurred();
}

bool to_byte_list(PyObject* object, std::vector<std::uint8_t>& out) {
  if (PyBytes_Check(object)) {
    const auto* data = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(object));
    out.assign(data, data + PyBytes_GET_SIZE(object));
    return true;
  }
  if (PyByteArray_Check(object)) {
    // Copied under the bytearray's lock, which its own resizing takes on interpreters whose
    // bytearray is safe without the GIL.
    const CriticalSection section(object);
    const auto* data = reinterpret_cast<const std::uint8_t*>(PyByteArray_AS_STRING(object));
    out.assign(data, data + PyByteArray_GET_SIZE(object));
    return true;
  }
  if (!sequence_or_refuse(object)) return false;
  PyRef iterator = PyRef::steal(PyObject_GetIter(object));
  if (!iterator) return false;
  while (PyObject* raw = PyIter_Next(iterator.get())) {
    PyRef item = PyRef::steal(raw);
    const long value = PyLong_AsLong(item.get());
    if (value == -1 && PyErr_Occurred()) return false;
    if (value < 0 || value > 255) {
      PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
      return false;
    }
    out.push_back(static_cast<std::uint8_t>(value));
  }
  return !PyErr_Occurred();
}

}  // namespace tessel::python
