// pack_parameters: a recipe of items with values, laid into one bit-addressed packet.
#pragma once

#include <Python.h>

#include "codec_error.hpp"
#include "python/convert.hpp"
#include "python/py_ref.hpp"

namespace tessel::encoder {

// The packet as a new bytes object. Packet bit p lies in byte p / 8 with weight 2^(7 - p % 8).
[[nodiscard]] Result<python::PyRef> pack_parameters(const python::RecipeItems& recipe);

}  // namespace tessel::encoder
