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

// The recipe argument: every item of the sequence, in order, held for the call.
using RecipeItems = std::vector<PyRef>;

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
