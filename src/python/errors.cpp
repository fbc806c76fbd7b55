#include <Python.h>

#include "python/errors.hpp"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "python/py_ref.hpp"

namespace tessel::python {

namespace {

constexpr const char* kNoFaultText = "tessel native code faulted without a message";
constexpr const char* kNoneSet = "attempted to fetch exception but none was set";

PyObject* exception_type(ErrorKind kind) noexcept {
  switch (kind) {
    case ErrorKind::key_error: return PyExc_KeyError;
    case ErrorKind::not_implemented: return PyExc_NotImplementedError;
    case ErrorKind::type_error: return PyExc_TypeError;
    default: return PyExc_ValueError;
  }
}

// Codec messages are UTF-8; a foreign byte never stops the exception from being raised.
PyRef message_object(const std::string& message) noexcept {
  return PyRef::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
}

void write_report(const char* message, const std::source_location* where) noexcept {
  if (where != nullptr) {
    std::fprintf(stderr, "tessel: internal fault in %s at %s:%u: %s\n", where->function_name(), where->file_name(),
                 static_cast<unsigned>(where->line()), message);
  } else {
    std::fprintf(stderr, "tessel: internal fault in native code: %s\n", message);
  }
  std::fflush(stderr);
}

// PanicException: created once, on first use, and kept for the life of the process. Threads that
// fault at once may each create one; the first to publish wins and the others drop theirs, so all
// of them raise the same type. Not a guarded static: creating a type calls into the interpreter,
// and a thread blocked on a C++ guard would keep the GIL (or hold up a stop-the-world pause) that
// the creating thread may need.
PyObject* panic_exception_type() {
  static constinit std::atomic<PyObject*> published{nullptr};
  if (PyObject* type = published.load(std::memory_order_acquire)) return type;
  PyRef created = PyRef::steal(PyErr_NewExceptionWithDoc(
      "tessel.PanicException",
      "Raised when tessel's native code faults: an internal invariant broke, or a recipe read past\n"
      "the end of its packet. It derives from BaseException, not Exception, so like SystemExit it\n"
      "usually propagates to the top and ends the interpreter.",
      PyExc_BaseException, nullptr));
  if (!created) throw Panic("Failed to initialize new exception type.");
  PyObject* first = nullptr;
  if (published.compare_exchange_strong(first, created.get(), std::memory_order_acq_rel, std::memory_order_acquire)) {
    return created.release();
  }
  return first;
}

}  // namespace

PyObject* raise_codec_error(const CodecError& error, PyObject* text) noexcept {
  switch (error.kind()) {
    case ErrorKind::raised:
      if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, kNoneSet);
      return nullptr;
    case ErrorKind::no_memory:
      return PyErr_NoMemory();
    case ErrorKind::lone_surrogate:
      // The interpreter's UTF-8 conversion refuses the surrogate with its own UnicodeEncodeError.
      if (text == nullptr || PyUnicode_AsUTF8AndSize(text, nullptr) != nullptr) {
        PyErr_SetString(PyExc_SystemError, "text codec reported a surrogate the text does not hold");
      }
      return nullptr;
    default:
      break;
  }
  PyRef message = message_object(error.message());
  if (message) PyErr_SetObject(exception_type(error.kind()), message.get());
  return nullptr;
}

PyObject* raise_recipe_error(const CodecError& error) noexcept {
  PyRef inner;
  switch (error.kind()) {
    case ErrorKind::no_memory:
      return PyErr_NoMemory();
    case ErrorKind::raised:
    case ErrorKind::lone_surrogate:
      inner = PyRef::steal(PyErr_GetRaisedException());
      if (!inner) inner = PyRef::steal(PyObject_CallFunction(PyExc_SystemError, "s", kNoneSet));
      break;
    default: {
      PyRef message = message_object(error.message());
      if (!message) return nullptr;
      inner = PyRef::steal(PyObject_CallOneArg(exception_type(error.kind()), message.get()));
      break;
    }
  }
  if (!inner) return nullptr;
  if (PyErr_GivenExceptionMatches(inner.get(), PyExc_MemoryError)) {
    PyErr_SetRaisedException(inner.release());
    return nullptr;
  }
  PyRef qualname = PyRef::steal(PyType_GetQualName(Py_TYPE(inner.get())));
  if (!qualname) return nullptr;
  PyRef text = PyRef::steal(PyObject_Str(inner.get()));
  if (!text) {
    PyErr_Clear();
    text = PyRef::steal(PyUnicode_FromString("<exception str() failed>"));
    if (!text) return nullptr;
  }
  inner = PyRef();  // dropped: neither cause nor context of the new error
  PyErr_Format(PyExc_ValueError, "%U: %U", qualname.get(), text.get());
  return nullptr;
}

PyObject* raise_panic(const char* message, const std::source_location* where) noexcept {
  const char* text = message != nullptr && *message != '\0' ? message : kNoFaultText;
  try {
    write_report(text, where);
    PyObject* type = panic_exception_type();
    PyRef value = PyRef::steal(PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(std::strlen(text)), "replace"));
    if (value) PyErr_SetObject(type, value.get());
    return nullptr;
  } catch (const Panic& second) {
    write_report(second.what(), &second.where());
  } catch (...) {
  }
  // A fault while reporting a fault cannot reach the caller.
  std::fputs("uncaught panic at ffi boundary\n", stderr);
  std::fflush(stderr);
  std::abort();
}

void raise_cast_error(PyObject* object, const char* expected) noexcept {
  PyRef name = PyRef::steal(PyType_GetQualName(Py_TYPE(object)));
  if (!name) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "'<failed to extract type name>' object cannot be cast as '%s'", expected);
    return;
  }
  PyErr_Format(PyExc_TypeError, "'%U' object cannot be cast as '%s'", name.get(), expected);
}

}  // namespace tessel::python
