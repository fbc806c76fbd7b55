// unpack_parameters: named values read out of a packet, whole bytes at a time.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>
#include <vector>

#include "codec_error.hpp"
#include "decoder/field_decoding.hpp"
#include "python/convert.hpp"
#include "python/py_ref.hpp"

namespace tessel::decoder {

// The recipe-decoding core. Returns a new dict from each item's name to its decoded value. A
// field reaching past the end of the packet is an internal fault (Panic), reported as
// PanicException with the range message.
[[nodiscard]] Result<python::PyRef> process_recipe(std::span<const std::uint8_t> packet, std::uint32_t offset_bits,
                                                   const python::RecipeItems& recipe);

// A field's value from its whole bytes (`span`, from the byte that holds its start), as
// unpack_parameters decodes it; `reversed` is scratch room for a little-endian text field.
[[nodiscard]] Result<python::PyRef> decode_field(Decoding decoding, const std::uint8_t* span, std::uint32_t bits,
                                                 bool little, bool reverse, std::vector<std::uint8_t>& reversed);

// A field of a recipe as unpack_parameters reads it out of a packet long enough for it.
struct FieldPlan {
  python::PyRef name;  // the key unpack_parameters gives its value
  Decoding decoding;
  std::uint32_t bits;
  std::uint64_t start;  // packet bit, the call's base offset included
  bool little;
  bool reverse;
};

// Every item of `recipe` read as unpack_parameters reads it, for packets long enough for all of
// its fields: the fields' plans, or the error unpack_parameters raises for this recipe whatever a
// packet holds (an item that is not a dict, a missing or ill-typed key, an unknown encoding or
// byte order, a start beyond the last position, an f128 field above 64 bits, a named but unbuilt
// float format), in the order it meets them.
[[nodiscard]] Result<std::vector<FieldPlan>> plan_recipe(std::uint32_t offset_bits, const python::RecipeItems& recipe);

}  // namespace tessel::decoder
