// The recipe unpacker.
//
// Unpacking reads whole bytes: a field is cut from the byte that holds its start bit (the low
// three bits of the start are dropped) and its value is formed from the least significant
// `bits` bits of the bytes it spans. It inverts packing only for fields that start on a byte
// boundary and whose width is a multiple of 8; callers rely on exactly this reading.
#include <Python.h>

#include "decoder/recipe_unpacker.hpp"

#include <array>
#include <bit>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "bits.hpp"
#include "decoder/decoder.hpp"
#include "decoder/field_decoding.hpp"
#include "python/binder.hpp"
#include "panic.hpp"
#include "recipe/cache.hpp"
#include "recipe/item.hpp"

namespace tessel::decoder {

namespace {

using python::PyRef;
using recipe::ByteOrder;
using recipe::Key;

constexpr auto kNames = recipe::name_column(kDecodingNames);

Unexpected wide_f128() noexcept {
  return value_error("IEEE 754 f128 requires special handling for >64 bits (not yet implemented in process_recipe)");
}

// The value of a number decoding, from the raw number after bit handling.
[[gnu::always_inline]] inline Result<PyRef> decode_number(Decoding decoding, std::uint64_t raw,
                                                           std::uint32_t bits) noexcept {
  const auto from_i64 = [](Result<std::int64_t> value) -> Result<PyRef> {
    if (!value) return Unexpected(std::move(value.error()));
    return PyRef::steal(python::from_i64(*value));
  };
  switch (decoding) {
    case Decoding::unsigned_int: return PyRef::steal(python::from_u64(raw));
    case Decoding::twos_complement: return PyRef::steal(python::from_i64(decode_twos_complement(raw, bits)));
    case Decoding::ones_complement: return PyRef::steal(python::from_i64(decode_ones_complement(raw, bits)));
    case Decoding::sign_magnitude: return PyRef::steal(python::from_i64(decode_sign_magnitude(raw, bits)));
    case Decoding::bcd: return from_i64(decode_unpacked_bcd(raw, bits, false));
    case Decoding::bcd_signed: return from_i64(decode_unpacked_bcd(raw, bits, true));
    case Decoding::packed_bcd: return from_i64(decode_packed_bcd(raw, bits, false));
    case Decoding::packed_bcd_signed: return from_i64(decode_packed_bcd(raw, bits, true));
    case Decoding::ieee754_f16: return PyRef::steal(python::from_double(decode_ieee754_f16(raw)));
    case Decoding::ieee754_f32: return PyRef::steal(python::from_double(decode_ieee754_f32(raw)));
    case Decoding::ieee754_f64: return PyRef::steal(python::from_double(decode_ieee754_f64(raw)));
    case Decoding::ieee754_f128:
      // A binary128 field of 64 bits or fewer reads as 0.0, whatever the packet holds.
      if (bits > 64) return wide_f128();
      return PyRef::steal(python::from_double(0.0));
    default: {
      auto unbuilt = unbuilt_decoder(decoding)(raw);
      if (!unbuilt) return Unexpected(std::move(unbuilt.error()));
      return PyRef::steal(python::from_double(*unbuilt));
    }
  }
}

constexpr std::uint64_t kLastPosition = 0xFFFFFFFFu;

// Positions are 32-bit: a start past the last one is refused, never wrapped around.
Result<void> check_start(std::string_view name, std::uint64_t start) noexcept {
  if (start <= kLastPosition) return {};
  return value_error("Field '", name, "' would start at bit ", start, ", beyond bit ", kLastPosition,
                     ", the largest packet position");
}

// The bytes of a field of `bits` bits starting at bit `start`: from the byte that holds the start.
[[gnu::always_inline]] inline const std::uint8_t* field_bytes(std::span<const std::uint8_t> packet,
                                                             std::uint64_t start, std::uint32_t bits) {
  const std::uint64_t length = packet.size();
  const std::uint64_t first = start / 8;  // the low three bits of the start are dropped
  const std::uint64_t end = first + (std::uint64_t{bits} + 7) / 8;
  if (end > length) {
    // Reading past the end of the packet is an internal fault, by design of the interface.
    if (first > length) {
      throw Panic(str_cat("range start index ", first, " out of range for slice of length ", length));
    }
    throw Panic(str_cat("range end index ", end, " out of range for slice of length ", length));
  }
  return packet.data() + first;
}

// A field's value from its bytes, once its decoding and byte order are known. Inlined into the
// uncached pass, which runs it for every item; the compiled path calls it out of line
// (`decode_field`) for text only.
[[gnu::always_inline]] inline Result<PyRef> decode_field_inline(Decoding decoding, const std::uint8_t* span,
                                                                std::uint32_t bits, bool little, bool reverse,
                                                                std::vector<std::uint8_t>& reversed) {
  const std::uint64_t count = (std::uint64_t{bits} + 7) / 8;
  if (const TextDecoder decode = text_decoder(decoding)) {
    // Text decodings read the field bytes in byte order; bit handling does not apply.
    std::span<const std::uint8_t> bytes(span, count);
    if (little) {
      reversed.assign(std::make_reverse_iterator(span + count), std::make_reverse_iterator(span));
      bytes = reversed;
    }
    python::StrOut out;
    auto decoded = decode(bytes, out);
    if (!decoded) return Unexpected(std::move(decoded.error()));
    PyRef value = PyRef::steal(out.take());
    if (!value) return raised();
    return value;
  }
  std::uint64_t raw_number = load_number(span, static_cast<std::uint32_t>(count), little);
  raw_number = reverse ? reverse_low_bits(raw_number, bits) : raw_number & low_mask(bits);
  auto decoded = decode_number(decoding, raw_number, bits);
  if (!decoded) return Unexpected(std::move(decoded.error()));
  if (!*decoded) return raised();
  return decoded;
}

}  // namespace

// Kept out of line: inlined into the compiled path, it slows that path's number fields.
[[gnu::noinline]] Result<PyRef> decode_field(Decoding decoding, const std::uint8_t* span, std::uint32_t bits,
                                             bool little, bool reverse, std::vector<std::uint8_t>& reversed) {
  return decode_field_inline(decoding, span, bits, little, reverse, reversed);
}

namespace {

// ---------------------------------------------------------------------------------------------
// Compiled layouts: every item's reading done once, kept while the recipe stays as it was.

struct CompiledField {
  PyObject* name;  // an exact str, held by the layout's key template
  std::string_view name_utf8;
  Decoding decoding;
  std::uint32_t bits;
  std::uint32_t offset;
  std::uint32_t count;  // whole bytes read
  std::uint64_t mask;   // the low `bits` bits of a number
  bool has_offset;
  bool little;
  bool reverse;
  bool text;
};

class UnpackLayout final : public recipe::Layout {
 public:
  std::vector<CompiledField> fields;
  std::vector<PyRef> names;  // the fields' names, held
  // The first result this layout gave, kept for its keys: in the order the uncached path inserts
  // them, with their hashes. Later results start as a copy of it, every value then replaced, so
  // their keys are never inserted (nor their tables grown) one by one.
  PyRef keys;
};

// Compiles a recipe whose items are all plain and whose reading succeeds; null otherwise, with
// no exception left set: such a recipe is read by the uncached path, which reports its failure in
// its own order. Runs no code of the caller's.
std::shared_ptr<UnpackLayout> compile(const python::RecipeItems& recipe) {
  auto layout = std::make_shared<UnpackLayout>();
  layout->fields.reserve(recipe.size());
  layout->names.reserve(recipe.size());
  recipe::NameCache encodings;
  recipe::NameCache byte_orders;
  const auto refuse = [] {
    PyErr_Clear();
    return nullptr;
  };
  for (const PyRef& item : recipe) {
    recipe::RawItem raw;
    if (!recipe::read_plain_item(item.get(), raw) || !recipe::fixed_layout(raw)) return refuse();
    recipe::Fields fields;
    std::uint32_t bits = 0;
    bool has_offset = false;
    std::uint32_t offset = 0;
    if (!recipe::read_fields(raw, fields, &bits) || !recipe::read_offset_bits(raw, has_offset, offset)) return refuse();
    auto order = recipe::parse_byte_order(fields.byte_order, byte_orders);
    if (!order) return refuse();
    auto index = encodings.match(fields.encoding, kNames.data(), kNames.size());
    if (!index || *index < 0) return refuse();
    const Decoding decoding = kDecodingNames[static_cast<std::size_t>(*index)].decoding;
    if (decoding == Decoding::ieee754_f128 && bits > 64) return refuse();
    layout->names.push_back(PyRef::borrow(fields.name.object));  // and with it its UTF-8 text
    const auto count = static_cast<std::uint32_t>((std::uint64_t{bits} + 7) / 8);
    layout->fields.push_back(CompiledField{fields.name.object, fields.name.utf8, decoding, bits, offset, count,
                                           low_mask(bits), has_offset, *order == ByteOrder::little,
                                           fields.reverse_bits, text_decoder(decoding) != nullptr});
  }
  return layout;
}

#ifdef Py_GIL_DISABLED
// A thread's own keys for a layout: a tuple of a template dict (every name, in the layout's key
// order, to None) and then one str for each field, all made by this thread. A free-threaded
// build counts references to an object its own thread made without atomics, so results copied
// from this template, and keyed by these names, take no reference counting that another thread
// sharing the recipe also does. Null with an exception set when it cannot be made.
PyRef thread_keys(const UnpackLayout& layout) {
  const std::size_t count = layout.fields.size();
  PyRef keys = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(count + 1)));
  PyRef keyed = PyRef::steal(PyDict_New());
  if (!keys || !keyed) return {};
  for (std::size_t i = 0; i < count; ++i) {
    const std::string_view name = layout.fields[i].name_utf8;
    PyRef key = PyRef::steal(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
    if (!key || PyDict_SetItem(keyed.get(), key.get(), Py_None) < 0) return {};
    PyTuple_SET_ITEM(keys.get(), static_cast<Py_ssize_t>(i + 1), key.release());
  }
  PyTuple_SET_ITEM(keys.get(), 0, keyed.release());
  return keys;
}
#endif

// With kThreadKeys, `keys` is a thread's own (thread_keys); without, the layout's keys serve.
template <bool kThreadKeys>
Result<PyRef> unpack_compiled(const UnpackLayout& layout, std::span<const std::uint8_t> packet,
                              std::uint32_t offset_bits, PyObject* keys) {
  PyObject* templated = kThreadKeys ? PyTuple_GET_ITEM(keys, 0) : layout.keys.get();
  PyRef result = PyRef::steal(templated != nullptr ? PyDict_Copy(templated) : PyDict_New());
  if (!result) return raised();
  [[maybe_unused]] std::size_t index = 0;
  const std::uint64_t length = packet.size();
  std::uint64_t running = offset_bits;
  std::vector<std::uint8_t> reversed;
  for (const CompiledField& field : layout.fields) {
    const std::uint64_t start = field.has_offset ? std::uint64_t{field.offset} + offset_bits : running;
    if (start > kLastPosition || (start >> 3) + field.count > length) [[unlikely]] {
      auto placed = check_start(field.name_utf8, start);
      if (!placed) return Unexpected(std::move(placed.error()));
      static_cast<void>(field_bytes(packet, start, field.bits));  // throws the range fault
    }
    const std::uint8_t* span = packet.data() + (start >> 3);
    PyRef value;
    if (!field.text) {
      // Numbers: the raw number as decode_field forms it, the usual decodings without a detour.
      std::uint64_t raw = load_number(span, field.count, field.little);
      raw = field.reverse ? reverse_low_bits(raw, field.bits) : raw & field.mask;
      switch (field.decoding) {
        case Decoding::unsigned_int: value = PyRef::steal(python::from_u64(raw)); break;
        case Decoding::twos_complement:
          value = PyRef::steal(python::from_i64(decode_twos_complement(raw, field.bits)));
          break;
        case Decoding::ieee754_f32: value = PyRef::steal(python::from_double(decode_ieee754_f32(raw))); break;
        case Decoding::ieee754_f64: value = PyRef::steal(python::from_double(decode_ieee754_f64(raw))); break;
        default: {
          auto decoded = decode_number(field.decoding, raw, field.bits);
          if (!decoded) return Unexpected(std::move(decoded.error()));
          value = std::move(*decoded);
        }
      }
      if (!value) return raised();
    } else {
      auto decoded = decode_field(field.decoding, span, field.bits, field.little, field.reverse, reversed);
      if (!decoded) return Unexpected(std::move(decoded.error()));
      value = std::move(*decoded);
    }
    PyObject* key = field.name;
    if constexpr (kThreadKeys) key = PyTuple_GET_ITEM(keys, static_cast<Py_ssize_t>(++index));
    if (PyDict_SetItem(result.get(), key, value.get()) < 0) return raised();
    running = start + field.bits;
  }
  return result;
}

// An item's keys, placed and matched, in the item format's order: name, encoding, bits, byte order
// and bit reversal present and of their types, the offset, the start position, then `reach`
// (where the packet's bounds are checked), the byte order's name and the encoding's.
struct PlacedItem {
  recipe::Fields fields;
  std::uint32_t bits;
  std::uint64_t start;
  bool little;
  Decoding decoding;
};

template <class Reach>
[[gnu::always_inline]] inline Result<PlacedItem> read_placed(const recipe::RawItem& raw, std::uint32_t offset_bits,
                                                             std::uint64_t running, recipe::NameCache& encodings,
                                                             recipe::NameCache& byte_orders, Reach&& reach) {
  PlacedItem out{};
  auto checked = recipe::read_fields(raw, out.fields, &out.bits);
  if (!checked) return Unexpected(std::move(checked.error()));
  bool has_offset = false;
  std::uint32_t offset = 0;
  auto offset_read = recipe::read_offset_bits(raw, has_offset, offset);
  if (!offset_read) return Unexpected(std::move(offset_read.error()));
  out.start = has_offset ? std::uint64_t{offset} + offset_bits : running;
  auto placed = check_start(out.fields.name.utf8, out.start);
  if (!placed) return Unexpected(std::move(placed.error()));
  reach(out.start, out.bits);
  auto order = recipe::parse_byte_order(out.fields.byte_order, byte_orders);
  if (!order) return Unexpected(std::move(order.error()));
  out.little = *order == ByteOrder::little;
  auto index = encodings.match(out.fields.encoding, kNames.data(), kNames.size());
  if (!index) return Unexpected(std::move(index.error()));
  if (*index < 0) return recipe::unsupported_encoding(out.fields.encoding);
  out.decoding = kDecodingNames[static_cast<std::size_t>(*index)].decoding;
  return out;
}

// A dict key for the item's name: exact str, a str subclass name stored as the plain text it spells.
PyRef name_key(const recipe::Text& name) noexcept {
  return PyUnicode_CheckExact(name.object)
             ? PyRef::borrow(name.object)
             : PyRef::steal(PyUnicode_FromStringAndSize(name.utf8.data(), static_cast<Py_ssize_t>(name.utf8.size())));
}

// The uncached path: each item read as the call reaches it, checks in the item format's order.
Result<PyRef> unpack_each(std::span<const std::uint8_t> packet, std::uint32_t offset_bits,
                          const python::RecipeItems& recipe) {
  PyRef result = PyRef::steal(PyDict_New());
  if (!result) return raised();
  recipe::NameCache encodings;
  recipe::NameCache byte_orders;
  std::uint64_t running = offset_bits;  // where an item without an offset starts
  std::vector<std::uint8_t> reversed;   // a little-endian text field's bytes

  // The item being decoded. Its values are let go only once the next item's are all held: a
  // release can run a __del__ that changes a later item, which is then read as it stood when this
  // call reached it, as the packer reads every item before it lets any go.
  recipe::RawItem raw;
  for (const PyRef& item : recipe) {
    {
      recipe::RawItem next;
      auto read = recipe::read_item(item.get(), next);
      if (!read) return Unexpected(std::move(read.error()));
      raw = std::move(next);
    }
    const std::uint8_t* span = nullptr;
    auto read = read_placed(raw, offset_bits, running, encodings, byte_orders,
                            [&](std::uint64_t start, std::uint32_t bits) { span = field_bytes(packet, start, bits); });
    if (!read) return Unexpected(std::move(read.error()));
    const auto& [fields, bits, start, little, decoding] = *read;
    auto value = decode_field_inline(decoding, span, bits, little, fields.reverse_bits, reversed);
    if (!value) return Unexpected(std::move(value.error()));

    PyRef key = name_key(fields.name);
    if (!key || PyDict_SetItem(result.get(), key.get(), value->get()) < 0) return raised();
    running = start + bits;
  }
  return result;
}

}  // namespace

Result<std::vector<FieldPlan>> plan_recipe(std::uint32_t offset_bits, const python::RecipeItems& recipe) {
  recipe.hold();
  std::vector<FieldPlan> plans;
  plans.reserve(recipe.size());
  recipe::NameCache encodings;
  recipe::NameCache byte_orders;
  std::uint64_t running = offset_bits;
  recipe::RawItem raw;  // let go only once the next item is held, as unpack_each does
  for (const PyRef& item : recipe) {
    {
      recipe::RawItem next;
      auto read = recipe::read_item(item.get(), next);
      if (!read) return Unexpected(std::move(read.error()));
      raw = std::move(next);
    }
    auto read = read_placed(raw, offset_bits, running, encodings, byte_orders, [](std::uint64_t, std::uint32_t) {});
    if (!read) return Unexpected(std::move(read.error()));
    const auto& [fields, bits, start, little, decoding] = *read;
    // What the decoding refuses whatever the field's bytes.
    if (decoding == Decoding::ieee754_f128 && bits > 64) return wide_f128();
    if (const UnbuiltDecoder unbuilt = unbuilt_decoder(decoding)) {
      auto refused = unbuilt(0);
      if (!refused) return Unexpected(std::move(refused.error()));
    }
    PyRef key = name_key(fields.name);
    if (!key) return raised();
    plans.push_back(FieldPlan{std::move(key), decoding, bits, start, little, fields.reverse_bits});
    running = start + bits;
  }
  return plans;
}

Result<PyRef> process_recipe(std::span<const std::uint8_t> packet, std::uint32_t offset_bits,
                             const python::RecipeItems& recipe) {
  if (const auto cached = recipe::find_layout(recipe::Use::unpack, recipe)) {
    // Served without holding the items: a compiled layout never reads them.
    const auto& layout = static_cast<const UnpackLayout&>(cached.layout());
#ifdef Py_GIL_DISABLED
    if (cached.local() == nullptr) {
      if (PyRef keys = thread_keys(layout)) {
        cached.keep_local(std::move(keys));
      } else {
        PyErr_Clear();  // the layout's own keys serve, shared
      }
    }
    if (PyObject* keys = cached.local()) return unpack_compiled<true>(layout, packet, offset_bits, keys);
#endif
    return unpack_compiled<false>(layout, packet, offset_bits, nullptr);
  }
  recipe.hold();
  recipe::Compiling compiling(recipe::Use::unpack, recipe);
  if (compiling.started()) {
    if (auto layout = compile(recipe)) {
      auto result = unpack_compiled<false>(*layout, packet, offset_bits, nullptr);
      // Only a layout that has served a call whole is kept, with that call's keys.
      if (result) {
        layout->keys = PyRef::steal(PyDict_Copy(result->get()));
        if (layout->keys) {
          compiling.publish(std::move(layout));
        } else {
          PyErr_Clear();
        }
      }
      return result;
    }
  }
  return unpack_each(packet, offset_bits, recipe);
}

}  // namespace tessel::decoder
