// unpack_parameters: named values read out of a packet, whole bytes at a time.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>

#include "codec_error.hpp"
#include "python/convert.hpp"
#include "python/py_ref.hpp"

namespace tessel::decoder {

// The recipe-decoding core. Returns a new dict from each item's name to its decoded value. A
// field reaching past the end of the packet is an internal fault (Panic), reported as
// PanicException with the range message.
[[nodiscard]] Result<python::PyRef> process_recipe(std::span<const std::uint8_t> packet, std::uint32_t offset_bits,
                                                   const python::RecipeItems& recipe);

}  // namespace tessel::decoder
