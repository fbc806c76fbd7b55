// The recipe packer.
//
// Two passes. The sizing pass reads only `bits` and `offset_bits` of every item and fixes the
// packet length. The item pass reads each item whole, encodes its value with the family's
// scalar encoder, puts the field bytes in byte order and writes the field's bits at its
// position: written, not combined, so a later overlapping field wins, zero bits included.
#include <Python.h>

#include "encoder/recipe_packer.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "bits.hpp"
#include "encoder/encoder.hpp"
#include "encoder/field_writer.hpp"
#include "panic.hpp"
#include "recipe/cache.hpp"
#include "recipe/item.hpp"

namespace tessel::encoder {

namespace {

using python::PyRef;
using recipe::ByteOrder;
using recipe::Key;

// ---------------------------------------------------------------------------------------------
// Encoding families of the encode side.

enum class Family : std::uint8_t {
  unsigned_int, twos_complement, ones_complement, sign_magnitude,
  bcd, bcd_signed, packed_bcd, packed_bcd_signed,
  ieee754, ieee754_1985, mil_std_1750a, ti, dec, ibm,
  binary,
  utf8, utf16, utf16le, utf16be, utf32, utf32le, utf32be, us_ascii, iso_8859_1, windows_1252,
};

struct FamilyName {
  std::string_view name;
  Family family;
};

// Every accepted name, lower case. The alias sets follow no rule ("utf_16le" and "latin1" are
// not here, "mil_std-1750a" is); this list is the whole truth.
constexpr FamilyName kFamilyNames[] = {
    {"unsigned", Family::unsigned_int},
    {"twos_complement", Family::twos_complement}, {"twos-complement", Family::twos_complement},
    {"twoscomplement", Family::twos_complement},
    {"ones_complement", Family::ones_complement}, {"ones-complement", Family::ones_complement},
    {"onescomplement", Family::ones_complement},
    {"sign_magnitude", Family::sign_magnitude}, {"sign-magnitude", Family::sign_magnitude},
    {"signmagnitude", Family::sign_magnitude},
    {"bcd", Family::bcd},
    {"bcd_signed", Family::bcd_signed}, {"bcd-signed", Family::bcd_signed}, {"bcdsigned", Family::bcd_signed},
    {"packed_bcd", Family::packed_bcd}, {"packed-bcd", Family::packed_bcd}, {"packedbcd", Family::packed_bcd},
    {"packed_bcd_signed", Family::packed_bcd_signed}, {"packed-bcd-signed", Family::packed_bcd_signed},
    {"packedbcdsigned", Family::packed_bcd_signed},
    {"ieee754", Family::ieee754}, {"ieee_754", Family::ieee754}, {"ieee-754", Family::ieee754},
    {"ieee754_1985", Family::ieee754_1985}, {"ieee754-1985", Family::ieee754_1985},
    {"ieee_754_1985", Family::ieee754_1985}, {"ieee_754-1985", Family::ieee754_1985},
    {"mil_std_1750a", Family::mil_std_1750a}, {"mil-std-1750a", Family::mil_std_1750a},
    {"mil_std-1750a", Family::mil_std_1750a},
    {"ti", Family::ti},
    {"dec", Family::dec},
    {"ibm", Family::ibm},
    {"binary", Family::binary},
    {"utf8", Family::utf8}, {"utf_8", Family::utf8}, {"utf-8", Family::utf8},
    {"utf16", Family::utf16}, {"utf_16", Family::utf16}, {"utf-16", Family::utf16},
    {"utf16le", Family::utf16le}, {"utf-16le", Family::utf16le}, {"utf_16_le", Family::utf16le},
    {"utf16be", Family::utf16be}, {"utf-16be", Family::utf16be}, {"utf_16_be", Family::utf16be},
    {"utf32", Family::utf32}, {"utf_32", Family::utf32}, {"utf-32", Family::utf32},
    {"utf32le", Family::utf32le}, {"utf-32le", Family::utf32le}, {"utf_32_le", Family::utf32le},
    {"utf32be", Family::utf32be}, {"utf-32be", Family::utf32be}, {"utf_32_be", Family::utf32be},
    {"usascii", Family::us_ascii}, {"us_ascii", Family::us_ascii}, {"us-ascii", Family::us_ascii},
    {"iso_8859_1", Family::iso_8859_1}, {"iso-8859-1", Family::iso_8859_1}, {"iso8859_1", Family::iso_8859_1},
    {"iso8859-1", Family::iso_8859_1},
    {"windows1252", Family::windows_1252}, {"windows_1252", Family::windows_1252},
    {"windows-1252", Family::windows_1252},
};
static_assert(std::size(kFamilyNames) == 65);

constexpr auto kNames = recipe::name_column(kFamilyNames);

// ---------------------------------------------------------------------------------------------
// Float families: the width is checked before the value is looked at.

using UnbuiltEncoder32 = Result<std::uint64_t> (*)(float) noexcept;
using UnbuiltEncoder64 = Result<std::uint64_t> (*)(double) noexcept;

struct UnbuiltWidth {
  std::uint32_t bits;
  UnbuiltEncoder32 narrow;  // the 32-bit variants round the value to binary32 first
  UnbuiltEncoder64 wide;
};

struct UnbuiltFloatFamily {
  Family family;
  const char* refusal;  // "Unsupported ... bit width: " then the width and this family's list
  const char* supported;
  std::array<UnbuiltWidth, 3> widths;
};

constexpr UnbuiltFloatFamily kUnbuiltFloats[] = {
    {Family::ieee754_1985, "Unsupported IEEE 754-1985 bit width: ", " (supported: 32, 64, 80)",
     {{{32, encode_ieee754_1985_f32, nullptr}, {64, nullptr, encode_ieee754_1985_f64},
       {80, nullptr, encode_ieee754_1985_f80}}}},
    {Family::mil_std_1750a, "Unsupported MIL-STD-1750A bit width: ", " (supported: 32, 48)",
     {{{32, encode_mil_std_1750a_f32, nullptr}, {48, nullptr, encode_mil_std_1750a_f48}, {}}}},
    {Family::ti, "Unsupported TI float bit width: ", " (supported: 32, 40)",
     {{{32, encode_ti_f32, nullptr}, {40, nullptr, encode_ti_f40}, {}}}},
    {Family::dec, "Unsupported DEC float bit width: ", " (supported: 32, 64)",
     {{{32, encode_dec_f32, nullptr}, {64, nullptr, encode_dec_f64}, {}}}},
    {Family::ibm, "Unsupported IBM float bit width: ", " (supported: 32, 64)",
     {{{32, encode_ibm_f32, nullptr}, {64, nullptr, encode_ibm_f64}, {}}}},
};

// ---------------------------------------------------------------------------------------------
// Field bytes.



// Text and binary fields: a byte string of their own.
struct ByteField {
  std::unique_ptr<std::uint8_t[]> data;
  std::size_t size = 0;
};

class FieldSink final : public ByteSink {
 public:
  explicit FieldSink(ByteField& field) noexcept : field_(field) {}
  std::uint8_t* allocate(std::size_t size) noexcept override {
    field_.data.reset(new (std::nothrow) std::uint8_t[size == 0 ? 1 : size]);
    if (!field_.data) {
      PyErr_NoMemory();
      return nullptr;
    }
    field_.size = size;
    return field_.data.get();
  }
  bool shrink(std::size_t size) noexcept override {
    field_.size = size;
    return true;
  }

 private:
  ByteField& field_;
};

using TextEncoder = Result<void> (*)(TextView, ByteSink&) noexcept;

TextEncoder text_encoder(Family family) noexcept {
  switch (family) {
    case Family::utf8: return encode_utf8;
    case Family::utf16: return encode_utf16;
    case Family::utf16le: return encode_utf16le;
    case Family::utf16be: return encode_utf16be;
    case Family::utf32: return encode_utf32;
    case Family::utf32le: return encode_utf32le;
    case Family::utf32be: return encode_utf32be;
    case Family::us_ascii: return encode_us_ascii;
    case Family::iso_8859_1: return encode_iso_8859_1;
    case Family::windows_1252: return encode_windows_1252;
    default: return nullptr;
  }
}

Result<std::uint64_t> convert_signed(PyObject* value, Result<std::uint64_t> (*encode)(std::int64_t, std::uint32_t) noexcept,
                                     std::uint32_t bits) noexcept {
  std::int64_t number = 0;
  if (!python::to_i64(value, number)) return raised();
  return encode(number, bits);
}

Result<std::uint64_t> convert_decimal(PyObject* value, Result<std::uint64_t> (*encode)(std::int64_t, std::uint32_t, bool) noexcept,
                                      std::uint32_t bits, bool is_signed) noexcept {
  std::int64_t number = 0;
  if (!python::to_i64(value, number)) return raised();
  return encode(number, bits, is_signed);
}

Result<std::uint64_t> encode_ieee754_field(PyObject* value, std::uint32_t bits) noexcept {
  if (bits != 16 && bits != 32 && bits != 64 && bits != 128) {
    return value_error("Unsupported IEEE 754 bit width: ", bits, " (supported: 16, 32, 64, 128)");
  }
  double wide = 0.0;
  if (!python::to_float64(value, wide)) return raised();
  switch (bits) {
    case 16: return encode_ieee754_f16(narrow_to_binary32(wide));
    case 32: return encode_ieee754_f32(narrow_to_binary32(wide));
    case 64: return encode_ieee754_f64(wide);
    default: return encode_ieee754_f128(wide);
  }
}

Result<std::uint64_t> encode_unbuilt_float_field(const UnbuiltFloatFamily& family, PyObject* value,
                                                 std::uint32_t bits) noexcept {
  for (const UnbuiltWidth& width : family.widths) {
    if (width.bits != bits || (width.narrow == nullptr && width.wide == nullptr)) continue;
    double wide = 0.0;
    if (!python::to_float64(value, wide)) return raised();
    return width.narrow != nullptr ? width.narrow(narrow_to_binary32(wide)) : width.wide(wide);
  }
  return value_error(family.refusal, bits, family.supported);
}

// The numeric families' pattern, before the field writer.
[[gnu::always_inline]] inline Result<std::uint64_t> numeric_pattern(Family family, PyObject* value,
                                                                     std::uint32_t bits) {
  switch (family) {
    case Family::unsigned_int: {
      std::uint64_t number = 0;
      if (!python::to_u64(value, number)) return raised();
      return encode_unsigned(number, bits);
    }
    case Family::twos_complement: return convert_signed(value, encode_twos_complement, bits);
    case Family::ones_complement: return convert_signed(value, encode_ones_complement, bits);
    case Family::sign_magnitude: return convert_signed(value, encode_sign_magnitude, bits);
    case Family::bcd: return convert_decimal(value, encode_unpacked_bcd, bits, false);
    case Family::bcd_signed: return convert_decimal(value, encode_unpacked_bcd, bits, true);
    case Family::packed_bcd: return convert_decimal(value, encode_packed_bcd, bits, false);
    case Family::packed_bcd_signed: return convert_decimal(value, encode_packed_bcd, bits, true);
    case Family::ieee754: return encode_ieee754_field(value, bits);
    default:
      for (const UnbuiltFloatFamily& unbuilt : kUnbuiltFloats) {
        if (unbuilt.family == family) return encode_unbuilt_float_field(unbuilt, value, bits);
      }
      throw Panic("numeric field of a family without a numeric encoder");
  }
}



// The binary family: the value's last bytes fitted to `bits`, mirrored when reversing.
Result<ByteField> write_binary(PyObject* value, std::uint32_t bits, bool reverse) {
  std::vector<std::uint8_t> given;
  if (!python::to_byte_list(value, given)) return raised();
  ByteField field;
  if (bits == 0) return field;
  const std::size_t size = (static_cast<std::size_t>(bits) + 7) / 8;
  field.data = std::make_unique<std::uint8_t[]>(size);  // zeroed: a short value is padded in front
  field.size = size;
  const std::size_t take = given.size() < size ? given.size() : size;
  if (take > 0) std::memcpy(field.data.get() + size - take, given.data() + given.size() - take, take);
  const std::uint32_t spare = static_cast<std::uint32_t>(8 * size - bits);  // bits in front of the field
  field.data[0] = static_cast<std::uint8_t>(field.data[0] & (0xFFu >> spare));
  if (reverse) {
    // Mirroring the last `bits` bits is reversing the whole string (the spare bits in front are
    // zero) and moving it back by `spare` bits.
    std::uint8_t* data = field.data.get();
    for (std::size_t i = 0, j = size - 1; i < j; ++i, --j) std::swap(data[i], data[j]);
    for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<std::uint8_t>(reverse_low_bits(data[i], 8));
    if (spare != 0) {
      for (std::size_t i = size; i-- > 0;) {
        const unsigned carried = i > 0 ? data[i - 1] << (8 - spare) : 0;
        data[i] = static_cast<std::uint8_t>((data[i] >> spare) | carried);
      }
    }
  }
  return field;
}

Result<ByteField> write_text(Family family, PyObject* value) {
  TextView text;
  if (!python::to_text(value, text)) return raised();
  ByteField field;
  FieldSink sink(field);
  auto encoded = text_encoder(family)(text, sink);
  if (!encoded) {
    if (encoded.error().kind() == ErrorKind::lone_surrogate) {
      // The interpreter's own UTF-8 conversion refuses the surrogate, as for any str argument.
      if (PyUnicode_AsUTF8AndSize(value, nullptr) == nullptr) return raised();
      throw Panic("text encoder reported a surrogate the text does not hold");
    }
    return Unexpected(std::move(encoded.error()));
  }
  return field;
}

// ---------------------------------------------------------------------------------------------
// Placement: the field writer (encoder/field_writer.hpp) writes bits with shifts and masks on
// whole bytes.

constexpr std::uint64_t kLastPosition = 0xFFFFFFFFu;

Unexpected beyond_last_position(std::uint64_t start, std::uint32_t bits) noexcept {
  return value_error("Field at bit ", start, " with ", bits, " bits ends beyond bit ", kLastPosition,
                     ", the largest packet position");
}

// One item as the sizing pass read it: its keys' values, its width and its offset.
struct Plan {
  recipe::RawItem raw;
  std::uint32_t bits = 0;
  std::uint32_t offset = 0;
  bool has_offset = false;
};

// The sizing pass. It converts only `bits` and `offset_bits`, so a bad width or offset anywhere
// in the recipe is reported before any other problem. Returns the furthest end of any field.
Result<std::uint64_t> plan_items(const python::RecipeItems& recipe, std::vector<Plan>& plans) {
  plans.resize(recipe.size());
  std::uint64_t end = 0;
  for (std::size_t i = 0; i < recipe.size(); ++i) {
    Plan& plan = plans[i];
    auto read = recipe::read_item(recipe[i].get(), plan.raw);
    if (!read) return Unexpected(std::move(read.error()));
    auto bits = recipe::bits(plan.raw);
    if (!bits) return Unexpected(std::move(bits.error()));
    plan.bits = *bits;
    auto offset = recipe::read_offset_bits(plan.raw, plan.has_offset, plan.offset);
    if (!offset) return Unexpected(std::move(offset.error()));
    // A field without an offset starts at the furthest end so far, for sizing.
    const std::uint64_t start = plan.has_offset ? plan.offset : end;
    if (start + plan.bits > kLastPosition) return beyond_last_position(start, plan.bits);
    if (start + plan.bits > end) end = start + plan.bits;
  }
  return end;
}

// Names resolved once per distinct str object in a call.
struct Names {
  recipe::NameCache encoding;
  recipe::NameCache byte_order;
};

bool is_text(Family family) noexcept { return text_encoder(family) != nullptr; }

// Encodes `value` as a field of `family` and writes it at `position`. The value is converted
// first; the byte order, asked of `order_of`, only then. Inlined into the uncached item pass, which
// runs it once per item; the compiled path calls it out of line (`place`) for its rarer fields.
template <class OrderOf>
[[gnu::always_inline]] inline Result<void> place_inline(Family family, PyObject* value, std::uint32_t bits,
                                                        bool reverse, std::uint64_t position, Packet& packet,
                                                        OrderOf order_of) {
  if (family == Family::binary || is_text(family)) {
    auto field = family == Family::binary ? write_binary(value, bits, reverse) : write_text(family, value);
    if (!field) return Unexpected(std::move(field.error()));
    auto order = order_of();
    if (!order) return Unexpected(std::move(order.error()));
    std::uint8_t* data = field->data.get();
    if (*order == ByteOrder::little) std::reverse(data, data + field->size);
    // The field takes the last `bits` bits of its bytes, or all of them followed by zeros.
    const std::uint64_t length = 8 * static_cast<std::uint64_t>(field->size);
    packet.write_bits(position, data, field->size, length > bits ? length - bits : 0, bits);
    return {};
  }

  auto pattern = numeric_pattern(family, value, bits);
  if (!pattern) return Unexpected(std::move(pattern.error()));
  auto field = write_numeric(*pattern, bits, reverse);
  if (!field) return Unexpected(std::move(field.error()));
  auto order = order_of();
  if (!order) return Unexpected(std::move(order.error()));
  std::uint64_t word = field->pattern;
  if (*order == ByteOrder::little && bits > 0) {
    const std::uint32_t bytes = (bits + 7) / 8;
    word = __builtin_bswap64(word) >> (64 - 8 * bytes);
  }
  packet.write_word(position, word & low_mask(bits), bits);
  return {};
}

template <class OrderOf>
Result<void> place(Family family, PyObject* value, std::uint32_t bits, bool reverse, std::uint64_t position,
                   Packet& packet, OrderOf order_of) {
  return place_inline(family, value, bits, reverse, position, packet, order_of);
}

// The item pass for one item, placed at `position` (the end of the previous item, or its own
// offset). Reads in order: name, encoding, byte_order, reverse_bits, then the value's presence;
// the value is converted once the family is known, and the byte order is checked after that.
[[gnu::always_inline]] inline Result<std::uint64_t> pack_item(const Plan& plan, std::uint64_t position,
                                                              Packet& packet, Names& names) {
  const recipe::RawItem& raw = plan.raw;
  const std::uint32_t bits = plan.bits;
  recipe::Fields fields;
  auto read = recipe::read_fields(raw, fields);
  if (!read) return Unexpected(std::move(read.error()));
  PyObject* value = nullptr;
  auto present = recipe::read_value(raw, fields.name.utf8, value);
  if (!present) return Unexpected(std::move(present.error()));
  // The item pass starts a field no later than the sizing pass did, so it lies inside the packet.
  if (plan.has_offset) position = plan.offset;

  auto index = names.encoding.match(fields.encoding, kNames.data(), kNames.size());
  if (!index) return Unexpected(std::move(index.error()));
  if (*index < 0) return recipe::unsupported_encoding(fields.encoding);
  const Family family = kFamilyNames[static_cast<std::size_t>(*index)].family;
  auto placed = place_inline(family, value, bits, fields.reverse_bits, position, packet,
                             [&] { return recipe::parse_byte_order(fields.byte_order, names.byte_order); });
  if (!placed) return Unexpected(std::move(placed.error()));
  return position + bits;
}

// A new packet of `size` bytes, zeroed, and its bytes.
Result<PyRef> new_packet(std::uint64_t size, std::uint8_t*& data) noexcept {
  PyRef bytes = PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
  if (!bytes) return raised();
  data = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes.get()));
  std::memset(data, 0, size);
  return bytes;
}

// The uncached path: the sizing pass over every item, then the item pass.
Result<PyRef> pack_each(const python::RecipeItems& recipe) {
  std::vector<Plan> plans;
  auto total = plan_items(recipe, plans);
  if (!total) return Unexpected(std::move(total.error()));
  const std::uint64_t size = (*total + 7) / 8;
  std::uint8_t* data = nullptr;
  auto bytes = new_packet(size, data);
  if (!bytes) return bytes;
  Packet packet(data, size);
  Names names;
  std::uint64_t position = 0;
  for (const Plan& plan : plans) {
    auto end = pack_item(plan, position, packet, names);
    if (!end) return Unexpected(std::move(end.error()));
    position = *end;
  }
  return bytes;
}

// ---------------------------------------------------------------------------------------------
// Compiled layouts: everything but the values read once, kept while the recipe stays as it was.

struct CompiledField {
  Family family;
  std::uint32_t bits;
  std::uint64_t position;
  bool reverse;
  ByteOrder order;
  bool whole_bytes;  // starts on a byte and fills whole bytes, 8 to 64 bits
  // Where the item's `value` entry sits in its dict (a PyDict_Next position), and its key: the
  // dict's keys cannot change while the layout lives, so the value is read there, without a lookup.
  Py_ssize_t value_position;
  PyObject* value_key;
};

class PackLayout final : public recipe::Layout {
 public:
  std::vector<CompiledField> fields;
  std::uint64_t size = 0;  // bytes, as the sizing pass fixes it
};

#ifndef Py_GIL_DISABLED
// The PyDict_Next position of the entry of `dict` that holds `value` under the key "value", and
// that key; -1 if there is none.
Py_ssize_t value_entry(PyObject* dict, PyObject* value, PyObject*& key) noexcept {
  Py_ssize_t position = 0;
  Py_ssize_t before = 0;
  PyObject* found = nullptr;
  while (before = position, PyDict_Next(dict, &position, &key, &found)) {
    if (found == value && PyUnicode_CheckExact(key) && PyUnicode_CompareWithASCIIString(key, "value") == 0) {
      return before;
    }
  }
  key = nullptr;
  return -1;
}
#endif

// An item's value, held. Without the GIL a dict is only read under its lock, which the lookup
// takes; with it, the entry the layout remembers is read in place when it still holds the key.
PyRef read_value_at(PyObject* dict, [[maybe_unused]] const CompiledField& field) noexcept {
#ifndef Py_GIL_DISABLED
  Py_ssize_t position = field.value_position;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  if (position >= 0 && PyDict_Next(dict, &position, &key, &value) && key == field.value_key) {
    return PyRef::borrow(value);
  }
#endif
  PyObject* looked_up = nullptr;
  if (PyDict_GetItemRef(dict, recipe::key_object(Key::value), &looked_up) < 0) PyErr_Clear();  // str keys: cannot fail
  return PyRef::steal(looked_up);
}

// Whether a field of `family` and `bits` can fail whatever its value: such a recipe is left to
// the uncached path, which reports the failure in its own order.
bool fails_whatever_the_value(Family family, std::uint32_t bits) noexcept {
  if (family == Family::binary || is_text(family)) return false;
  if (family == Family::ieee754) return bits != 16 && bits != 32 && bits != 64 && bits != 128;
  for (const UnbuiltFloatFamily& unbuilt : kUnbuiltFloats) {
    if (unbuilt.family == family) return true;  // refused for its width, or not built
  }
  return bits > 64;
}

// Compiles a recipe whose items are all plain and whose reading succeeds whatever the values
// hold; null otherwise, with no exception left set. Runs no code of the caller's.
std::shared_ptr<const PackLayout> compile(const python::RecipeItems& recipe) {
  auto layout = std::make_shared<PackLayout>();
  layout->fields.reserve(recipe.size());
  Names names;
  const auto refuse = [] {
    PyErr_Clear();
    return nullptr;
  };
  std::uint64_t end = 0;       // the sizing pass's furthest end
  std::uint64_t position = 0;  // the item pass's position
  for (const PyRef& item : recipe) {
    recipe::RawItem raw;
    if (!recipe::read_plain_item(item.get(), raw) || !recipe::fixed_layout(raw)) return refuse();
    std::uint32_t bits = 0;
    bool has_offset = false;
    std::uint32_t offset = 0;
    recipe::Fields fields;
    PyObject* value = nullptr;
    if (!recipe::read_fields(raw, fields, &bits) || !recipe::read_offset_bits(raw, has_offset, offset) ||
        !recipe::read_value(raw, fields.name.utf8, value)) {
      return refuse();
    }
    const std::uint64_t start = has_offset ? offset : end;
    if (start + bits > kLastPosition) return refuse();
    if (start + bits > end) end = start + bits;
    if (has_offset) position = offset;

    auto index = names.encoding.match(fields.encoding, kNames.data(), kNames.size());
    if (!index || *index < 0) return refuse();
    const Family family = kFamilyNames[static_cast<std::size_t>(*index)].family;
    if (fails_whatever_the_value(family, bits)) return refuse();
    auto order = recipe::parse_byte_order(fields.byte_order, names.byte_order);
    if (!order) return refuse();
    const bool whole_bytes = position % 8 == 0 && bits % 8 == 0 && bits >= 8 && bits <= 64;
    PyObject* value_key = nullptr;
#ifdef Py_GIL_DISABLED
    const Py_ssize_t value_position = -1;  // read by lookup, under the dict's lock
#else
    const Py_ssize_t value_position = value_entry(item.get(), value, value_key);
#endif
    layout->fields.push_back(CompiledField{family, bits, position, fields.reverse_bits, *order, whole_bytes,
                                           value_position, value_key});
    position += bits;
  }
  layout->size = (end + 7) / 8;
  return layout;
}

// Packs with a compiled layout the `count` items item(i) gives. Every item's value is taken first,
// as the sizing pass takes every item before any value is converted; done_reading() is called
// once they are, before anything is let go. An item that lost its value since (only another
// thread can do that between the lookup and here) sends the call to the uncached path, which
// reports it: `fallback` is set and nothing is returned.
template <class Item, class Done, class Current>
Result<PyRef> pack_compiled(const PackLayout& layout, std::size_t count, Item item, Done done_reading,
                            bool& fallback, Current still_current) {
  std::array<PyRef, 32> few;  // the usual recipe's values, without a heap block
  std::vector<PyRef> many(count > few.size() ? count : 0);
  PyRef* const values = count > few.size() ? many.data() : few.data();
  bool all = true;
  for (std::size_t i = 0; i < count && all; ++i) {
    values[i] = read_value_at(item(i), layout.fields[i]);
    all = static_cast<bool>(values[i]);
  }
  done_reading();
  if (!all) {
    fallback = true;
    return PyRef();
  }
  // Values of an item changed since the layout was read belong to another state of the recipe.
  if (!still_current()) {
    fallback = true;
    return PyRef();
  }
  std::uint8_t* data = nullptr;
  auto bytes = new_packet(layout.size, data);
  if (!bytes) return bytes;
  Packet packet(data, layout.size);
  // From here on value conversions run Python code, which may change the recipe: only the values
  // taken above and the layout are read.
  for (std::size_t i = 0; i < count; ++i) {
    const CompiledField& field = layout.fields[i];
    PyObject* value = values[i].get();
    Py_ssize_t small = 0;
    if (field.family == Family::unsigned_int && field.whole_bytes && python::compact_value(value, small) &&
        small >= 0 && (field.bits == 64 || static_cast<std::uint64_t>(small) >> field.bits == 0)) {
      // The usual field: a small int in range, on whole bytes. What place() writes, stored directly.
      std::uint64_t word = static_cast<std::uint64_t>(small);
      if (field.reverse) word = reverse_low_bits(word, field.bits);
      if (field.order == ByteOrder::little) word = __builtin_bswap64(word) >> (64 - field.bits);
      std::uint8_t stored[8];
      store_big64(stored, word << (64 - field.bits));
      std::memcpy(data + field.position / 8, stored, field.bits / 8);
      continue;
    }
    auto placed = place(field.family, value, field.bits, field.reverse, field.position, packet,
                        [&]() -> Result<ByteOrder> { return field.order; });
    if (!placed) return Unexpected(std::move(placed.error()));
  }
  return bytes;
}

// A recipe no layout serves: its items held, compiled when it can be and due to be, else read
// item by item.
Result<PyRef> pack_uncached(const python::RecipeItems& recipe) {
  recipe.hold();
  recipe::Compiling compiling(recipe::Use::pack, recipe);
  if (compiling.started()) {
    if (auto layout = compile(recipe)) {
      bool fallback = false;
      auto packed = pack_compiled(
          *layout, recipe.size(), [&](std::size_t i) { return recipe.item(i); }, [] {}, fallback,
          [&] { return compiling.still_current(); });
      // Only a layout that has served a call whole is kept.
      if (packed && !fallback) compiling.publish(std::move(layout));
      if (!fallback) return packed;
    }
  }
  return pack_each(recipe);
}

}  // namespace

Result<PyRef> pack_parameters(const python::RecipeItems& recipe) {
  bool fallback = false;
#ifdef Py_GIL_DISABLED
  // Without the GIL another thread may drop an item of a list while its value is read. The lookup
  // compares the list's items under its lock and keeps the dicts it compared readable until the
  // values are taken (Found::items); failing that, the list is held at once, under its lock, as
  // any recipe the uncached path reads. A tuple's items cannot change.
  if (recipe.list_in_place()) {
    bool found = false;
    {
      auto cached = recipe::find_layout_and_items(recipe::Use::pack, recipe);
      found = static_cast<bool>(cached);
      if (PyObject* const* items = cached.items()) {
        // The list may be resized once its lock is let go: the count is the layout's, which the
        // lookup found equal to the list's.
        const auto& layout = static_cast<const PackLayout&>(cached.layout());
        auto packed = pack_compiled(
            layout, layout.fields.size(), [&](std::size_t i) { return items[i]; }, [&] { cached.end_reading(); },
            fallback, [&] { return cached.still_current(); });
        if (!fallback) return packed;
        fallback = false;
      }
    }
    if (!found) return pack_uncached(recipe);
    recipe.hold();
  }
#endif
  if (const auto cached = recipe::find_layout(recipe::Use::pack, recipe)) {
    // Served in place: the values are taken before any Python code runs.
    auto packed = pack_compiled(
        static_cast<const PackLayout&>(cached.layout()), recipe.size(), [&](std::size_t i) { return recipe.item(i); },
        [] {}, fallback, [&] { return cached.still_current(); });
    if (!fallback) return packed;
    recipe.hold();
    return pack_each(recipe);
  }
  return pack_uncached(recipe);
}

}  // namespace tessel::encoder
