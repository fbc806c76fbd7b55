// The one owner of interpreter references.
//
// A new reference goes into a PyRef on the line that creates it; borrowed references stay raw
// and never outlive the call. Raw reference counting lives in this file only.
#pragma once

#include <Python.h>

#include <utility>

namespace tessel::python {

class PyRef {
 public:
  PyRef() noexcept = default;
  [[nodiscard]] static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
  [[nodiscard]] static PyRef borrow(PyObject* object) noexcept {
    Py_XINCREF(object);
    return PyRef(object);
  }

  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    PyRef old(std::exchange(object_, std::exchange(other.object_, nullptr)));
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(object_); }

  [[nodiscard]] PyObject* get() const noexcept { return object_; }
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  explicit operator bool() const noexcept { return object_ != nullptr; }

 private:
  explicit PyRef(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

// A new reference to a borrowed object, for returning it.
[[nodiscard]] inline PyObject* new_ref(PyObject* object) noexcept {
  Py_INCREF(object);
  return object;
}

}  // namespace tessel::python
