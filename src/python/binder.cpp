#include <Python.h>

#include "python/binder.hpp"

#include <cstdio>
#include <cstring>

namespace tessel::python {

namespace {

constexpr const char* kNames[kParamNameCount] = {
    "value", "bits", "signed", "text", "bytes", "recipe", "packet_bytes", "offset_bits", "_value",
};

// Interned once per process; keyword names usually are the same objects.
PyObject* interned[kParamNameCount] = {};

std::size_t index_of(ParamName name) noexcept { return static_cast<std::size_t>(name); }

// The parameter that `keyword` names, or -1.
int find_keyword(const Signature& signature, PyObject* keyword) noexcept {
  for (int i = 0; i < signature.count; ++i) {
    if (interned[index_of(signature.names[i])] == keyword) return i;
  }
  // Keywords that were not interned (built at run time, e.g. f(**json.loads(...))) compare by value.
  for (int i = 0; i < signature.count; ++i) {
    const char* name = kNames[index_of(signature.names[i])];
    if (PyUnicode_EqualToUTF8AndSize(keyword, name, static_cast<Py_ssize_t>(std::strlen(name)))) return i;
  }
  return -1;
}

void raise_too_many(const Signature& signature, Py_ssize_t given) noexcept {
  const char* was = given == 1 ? "was" : "were";
  if (signature.required == signature.count) {
    PyErr_Format(PyExc_TypeError, "%s() takes %d positional arguments but %zd %s given", signature.function,
                 static_cast<int>(signature.count), given, was);
  } else {
    PyErr_Format(PyExc_TypeError, "%s() takes from %d to %d positional arguments but %zd %s given",
                 signature.function, static_cast<int>(signature.required), static_cast<int>(signature.count), given,
                 was);
  }
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
void raise_missing(const Signature& signature, const int* missing, int count) noexcept {
  char list[256] = {};
  std::size_t used = 0;
  for (int i = 0; i < count; ++i) {
    const char* separator = i == 0 ? "" : count == 2 ? " and " : i == count - 1 ? ", and " : ", ";
    const int written = std::snprintf(list + used, sizeof list - used, "%s'%s'", separator,
                                      kNames[index_of(signature.names[missing[i]])]);
    if (written < 0) break;
    used = std::min(sizeof list - 1, used + static_cast<std::size_t>(written));
  }
  PyErr_Format(PyExc_TypeError, "%s() missing %d required positional argument%s: %s", signature.function, count,
               count == 1 ? "" : "s", list);
}

}  // namespace

const char* param_name(ParamName name) noexcept { return kNames[index_of(name)]; }

bool intern_param_names() noexcept {
  for (std::size_t i = 0; i < kParamNameCount; ++i) {
    if (interned[i] != nullptr) continue;
    interned[i] = PyUnicode_InternFromString(kNames[i]);  // kept for the life of the process
    if (interned[i] == nullptr) return false;
  }
  return true;
}

bool bind(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** slots) noexcept {
  const int count = signature.count;
  if (nargs > count) {
    raise_too_many(signature, nargs);
    return false;
  }
  for (int i = 0; i < count; ++i) slots[i] = i < nargs ? args[i] : nullptr;

  if (kwnames != nullptr) {
    const Py_ssize_t keywords = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < keywords; ++k) {
      PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
      const int index = find_keyword(signature, keyword);
      if (index < 0) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", signature.function, keyword);
        return false;
      }
      if (slots[index] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", signature.function,
                     kNames[index_of(signature.names[index])]);
        return false;
      }
      slots[index] = args[nargs + k];
    }
  }

  int missing[8];
  int missing_count = 0;
  for (int i = 0; i < signature.required; ++i) {
    if (slots[i] == nullptr) missing[missing_count++] = i;
  }
  if (missing_count > 0) {
    raise_missing(signature, missing, missing_count);
    return false;
  }
  return true;
}

void prefix_type_error(ParamName name) noexcept {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyRef replaced = PyRef::steal(PyErr_GetRaisedException());
  PyRef text = PyRef::steal(PyObject_Str(replaced.get()));
  if (!text) {
    PyErr_Clear();
    text = PyRef::steal(PyUnicode_FromString("<exception str() failed>"));
    if (!text) return;
  }
  PyRef message = PyRef::steal(PyUnicode_FromFormat("argument '%s': %U", param_name(name), text.get()));
  if (!message) return;
  PyRef fresh = PyRef::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (!fresh) return;
  if (PyObject* cause = PyException_GetCause(replaced.get())) PyException_SetCause(fresh.get(), cause);
  PyErr_SetRaisedException(fresh.release());
}

std::uint8_t* BytesOut::allocate(std::size_t size) noexcept {
  if (size > static_cast<std::size_t>(PY_SSIZE_T_MAX)) {
    PyErr_NoMemory();
    return nullptr;
  }
  bytes_ = PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
  return bytes_ ? reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes_.get())) : nullptr;
}

bool BytesOut::shrink(std::size_t size) noexcept {
  PyObject* bytes = bytes_.release();
  if (_PyBytes_Resize(&bytes, static_cast<Py_ssize_t>(size)) < 0) return false;  // frees on failure
  bytes_ = PyRef::steal(bytes);
  return true;
}

PyObject* BytesOut::take() noexcept {
  // A codec that wrote nothing still returns bytes: the shared empty object.
  return bytes_ ? bytes_.release() : PyBytes_FromStringAndSize(nullptr, 0);
}

void* StrOut::allocate(std::size_t length, char32_t max_char, std::uint8_t& width) noexcept {
  if (length > static_cast<std::size_t>(PY_SSIZE_T_MAX)) {
    PyErr_NoMemory();
    return nullptr;
  }
  str_ = PyRef::steal(PyUnicode_New(static_cast<Py_ssize_t>(length), static_cast<Py_UCS4>(max_char)));
  if (!str_) return nullptr;
  width = static_cast<std::uint8_t>(PyUnicode_KIND(str_.get()));
  return PyUnicode_DATA(str_.get());
}

PyObject* StrOut::take() noexcept { return str_ ? str_.release() : PyUnicode_New(0, 0); }

}  // namespace tessel::python
