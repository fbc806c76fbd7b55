// Exception mapping and the fault guard.
//
// This is the one place where a CodecError becomes a Python exception: raised as it is by the
// standalone functions, rewrapped as ValueError by the two recipe functions. The fault guard runs
// around every entry point, PyInit_tessel included, so no C++ exception reaches the interpreter.
#pragma once

#include <Python.h>

#include <exception>
#include <new>
#include <source_location>

#include "codec_error.hpp"
#include "panic.hpp"

namespace tessel::python {

// Raise `error` with its own exception type; `text` is the str argument the codec read, which
// reports a lone surrogate through the interpreter's own UTF-8 conversion. Returns null.
PyObject* raise_codec_error(const CodecError& error, PyObject* text = nullptr) noexcept;

// Raise `error` as ValueError("{type qualname}: {str(exception)}"), dropping the inner exception.
// An out-of-memory failure stays a MemoryError. Returns null.
PyObject* raise_recipe_error(const CodecError& error) noexcept;

// Write the fault report to standard error and raise PanicException. Returns null.
PyObject* raise_panic(const char* message, const std::source_location* where) noexcept;

// Raise TypeError "'{type}' object cannot be cast as '{expected}'" for `object`.
void raise_cast_error(PyObject* object, const char* expected) noexcept;

template <class Body>
PyObject* guard(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const Panic& fault) {
    return raise_panic(fault.what(), &fault.where());
  } catch (const std::exception& fault) {
    return raise_panic(fault.what(), nullptr);
  } catch (...) {
    return raise_panic(nullptr, nullptr);
  }
}

}  // namespace tessel::python
