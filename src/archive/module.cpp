// tessel_archive._native: the columnar decoder and the space packet index, for the Python front
// in tessel_archive/__init__.py, which checks and converts the arguments and makes the arrays.
//
//   unpack_columns(data, recipe, starts, lengths, offset_bits, threads, header_lengths)
//       -> [(name, dtype, bytearray of the column | list of str), ...] in dict order
//   space_packets(data, record_header_bytes) -> (index bytearrays..., cut-off tail or None)
//
// `data`, `starts` and `lengths` are buffers: the packets' bytes, and one int64 each a packet;
// with `header_lengths` true, `lengths` holds instead the uint16 data length field of each
// packet's primary header, as space_packets gives it (decode's own index, without a second int64
// array a packet).
// The recipe is read by the same code as unpack_parameters' and fails as it does; a packet that
// unpack_parameters would refuse is a ValueError naming it.
#include <Python.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <system_error>
#include <vector>

#include "archive/columns.hpp"
#include "archive/space_packets.hpp"
#include "decoder/recipe_unpacker.hpp"
#include "python/binder.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/py_ref.hpp"
#include "recipe/item.hpp"

namespace tessel::archive {

namespace {

using python::PyRef;

// A buffer held for the call: a bytearray cannot be resized nor an mmap closed meanwhile.
class Buffer {
 public:
  Buffer() = default;
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  ~Buffer() {
    if (held_) PyBuffer_Release(&view_);
  }
  bool get(PyObject* object, const char* what) noexcept {
    if (PyObject_GetBuffer(object, &view_, PyBUF_C_CONTIGUOUS) < 0) {
      PyErr_Format(PyExc_TypeError, "%s must be a contiguous buffer, not '%s'", what, Py_TYPE(object)->tp_name);
      return false;
    }
    held_ = true;
    return true;
  }
  [[nodiscard]] const std::uint8_t* data() const noexcept { return static_cast<const std::uint8_t*>(view_.buf); }
  [[nodiscard]] std::size_t size() const noexcept { return static_cast<std::size_t>(view_.len); }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// The message unpack_parameters' exception carries for `error`, as the recipe functions wrap it:
// "{type}: {message}". Null with an exception set when that fails.
PyRef recipe_message(const CodecError& error) noexcept {
  python::raise_recipe_error(error);
  PyRef raised = PyRef::steal(PyErr_GetRaisedException());
  if (!raised) return {};
  if (PyErr_GivenExceptionMatches(raised.get(), PyExc_MemoryError)) {
    PyErr_SetRaisedException(raised.release());
    return {};
  }
  return PyRef::steal(PyObject_Str(raised.get()));
}

PyObject* packet_error(const Packets& packets, std::size_t packet, PyObject* message) noexcept {
  PyErr_Format(PyExc_ValueError, "packet %zu at byte %lld: %U", packet,
               static_cast<long long>(packets.starts[packet]), message);
  return nullptr;
}

PyObject* raise_failure(const Packets& packets, const Failure& failure) noexcept {
  PyRef message = failure.error ? recipe_message(*failure.error)
                                : PyRef::steal(PyUnicode_FromStringAndSize(failure.range.data(),
                                                                           static_cast<Py_ssize_t>(failure.range.size())));
  if (!message) return nullptr;
  return packet_error(packets, failure.packet, message.get());
}

// The text of one field in every packet before `limit` (and in packet `limit` when `through`),
// into `column` when it is kept. Returns false with an exception set on a failure of another kind
// than the field's own; a field's own failure goes into `failure` when it comes first.
bool decode_text(const Field& field, std::size_t index, const Packets& packets, std::size_t limit, bool through,
                 PyObject* column, std::optional<Failure>& failure) {
  const std::uint64_t first = field.start >> 3;
  std::vector<std::uint8_t> reversed;
  const std::size_t end = std::min(packets.count, through ? limit + 1 : limit);
  for (std::size_t i = 0; i < end; ++i) {
    auto decoded = decoder::decode_field(field.decoding, packets.data + packets.starts[i] + first, field.bits,
                                         field.little, field.reverse, reversed);
    if (!decoded) {
      if (decoded.error().kind() != ErrorKind::value_error) {
        python::raise_recipe_error(decoded.error());  // no memory, or the interpreter's own failure
        return false;
      }
      Failure own{i, index, {}, std::move(decoded.error())};
      if (!failure || before(own, *failure)) failure = std::move(own);
      return true;
    }
    if (column != nullptr) PyList_SetItem(column, static_cast<Py_ssize_t>(i), decoded->release());
  }
  return true;
}

PyObject* unpack_columns(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 7) {
    PyErr_SetString(PyExc_TypeError, "unpack_columns takes 7 arguments");
    return nullptr;
  }
  Buffer data, starts, lengths;
  if (!data.get(args[0], "data") || !starts.get(args[2], "starts") || !lengths.get(args[3], "lengths")) return nullptr;
  std::uint32_t offset_bits = 0;
  if (!python::to_bit_count(args[4], offset_bits)) return nullptr;
  const long threads = PyLong_AsLong(args[5]);
  if (threads < 1) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "threads must be at least 1");
    return nullptr;
  }
  const int header_lengths = PyObject_IsTrue(args[6]);
  if (header_lengths < 0) return nullptr;
  const std::size_t count = starts.size() / sizeof(std::int64_t);
  const std::size_t length_size = header_lengths ? sizeof(std::uint16_t) : sizeof(std::int64_t);
  if (lengths.size() != count * length_size || starts.size() % sizeof(std::int64_t) != 0) {
    PyErr_SetString(PyExc_ValueError, header_lengths ? "starts and lengths must be int64 and uint16 buffers of one length"
                                                     : "starts and lengths must be int64 buffers of one length");
    return nullptr;
  }
  const auto* starts_at = reinterpret_cast<const std::int64_t*>(starts.data());
  Packets packets = header_lengths
                        ? Packets{data.data(), starts_at, nullptr, count, reinterpret_cast<const std::uint16_t*>(lengths.data())}
                        : Packets{data.data(), starts_at, reinterpret_cast<const std::int64_t*>(lengths.data()), count};
  // Packets inside the data, checked before anything is read (the front names the culprit first);
  // one loop for each kind of lengths.
  const auto inside = [&](auto length_of) {
    for (std::size_t i = 0; i < count; ++i) {
      const std::int64_t start = packets.starts[i], length = length_of(i);
      if (start < 0 || length < 0 || static_cast<std::uint64_t>(start) > data.size() ||
          static_cast<std::uint64_t>(length) > data.size() - static_cast<std::uint64_t>(start)) {
        PyErr_Format(PyExc_ValueError, "packet %zu (start %lld, length %lld) lies outside data (%zu bytes)", i,
                     static_cast<long long>(start), static_cast<long long>(length), data.size());
        return false;
      }
    }
    return true;
  };
  if (!(header_lengths ? inside([&](std::size_t i) { return std::int64_t{packets.data_lengths[i]} + 7; })
                       : inside([&](std::size_t i) { return packets.lengths[i]; }))) {
    return nullptr;
  }

  // The recipe, read as unpack_parameters reads it.
  python::RecipeItems recipe;
  if (!python::to_recipe(args[1], recipe)) {
    python::prefix_type_error(python::ParamName::recipe);
    return nullptr;
  }
  auto planned = decoder::plan_recipe(offset_bits, recipe);
  if (!planned) return python::raise_recipe_error(planned.error());
  std::vector<decoder::FieldPlan>& plans = *planned;

  // A name given twice keeps its first place and its last value: the dict keeps each name where
  // it first came, with the index of its last field, whose column is the one kept.
  PyRef last = PyRef::steal(PyDict_New());
  if (!last) return nullptr;
  for (std::size_t k = 0; k < plans.size(); ++k) {
    PyRef position = PyRef::steal(PyLong_FromSize_t(k));
    if (!position || PyDict_SetItem(last.get(), plans[k].name.get(), position.get()) < 0) return nullptr;
  }
  std::vector<bool> kept(plans.size(), false);
  std::vector<std::size_t> places;  // the kept fields, in the dict's order
  {
    Py_ssize_t at = 0;
    PyObject *name = nullptr, *position = nullptr;
    while (PyDict_Next(last.get(), &at, &name, &position)) {
      const std::size_t k = PyLong_AsSize_t(position);
      kept[k] = true;
      places.push_back(k);
    }
  }

  std::vector<Field> fields(plans.size());
  std::vector<PyRef> columns(plans.size());
  for (std::size_t k = 0; k < plans.size(); ++k) {
    const decoder::FieldPlan& plan = plans[k];
    Field& field = fields[k];
    field = Field{plan.decoding, plan.bits, static_cast<std::uint32_t>((std::uint64_t{plan.bits} + 7) / 8),
                  plan.start, plan.little, plan.reverse, store_for(plan.decoding, plan.bits), nullptr};
    if (!kept[k]) continue;
    if (field.store == Store::text) {
      columns[k] = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(count)));
      if (!columns[k]) return nullptr;
      for (std::size_t i = 0; i < count; ++i) {
        PyList_SET_ITEM(columns[k].get(), static_cast<Py_ssize_t>(i), PyRef::borrow(Py_None).release());
      }
    } else {
      columns[k] = PyRef::steal(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(count * store_size(field.store))));
      if (!columns[k]) return nullptr;
      field.column = PyByteArray_AS_STRING(columns[k].get());
    }
  }

  // Numbers without the GIL; then text, which makes str objects, with it.
  std::optional<Failure> failure;
  bool started = true;
  Py_BEGIN_ALLOW_THREADS
  try {
    failure = decode_numbers_parallel(fields, packets, static_cast<unsigned>(threads));
  } catch (const std::system_error&) {
    started = false;
  }
  Py_END_ALLOW_THREADS
  if (!started) {
    PyErr_SetString(PyExc_RuntimeError, "could not start the decoding threads");
    return nullptr;
  }
  for (std::size_t k = 0; k < fields.size(); ++k) {
    if (fields[k].store != Store::text) continue;
    // Only the packets before a failure found so far can hold an earlier one.
    const std::size_t limit = failure ? failure->packet : count;
    const bool through = failure && k < failure->field;
    if (!decode_text(fields[k], k, packets, limit, through, kept[k] ? columns[k].get() : nullptr, failure)) return nullptr;
  }
  if (failure) return raise_failure(packets, *failure);

  PyRef result = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(places.size())));
  if (!result) return nullptr;
  for (std::size_t j = 0; j < places.size(); ++j) {
    const std::size_t k = places[j];
    PyObject* entry = Py_BuildValue("(OsO)", plans[k].name.get(), store_dtype(fields[k].store), columns[k].get());
    if (entry == nullptr) return nullptr;
    PyList_SET_ITEM(result.get(), static_cast<Py_ssize_t>(j), entry);
  }
  return result.release();
}

PyObject* space_packets(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2) {
    PyErr_SetString(PyExc_TypeError, "space_packets takes 2 arguments");
    return nullptr;
  }
  Buffer data;
  if (!data.get(args[0], "data")) return nullptr;
  const Py_ssize_t record = PyLong_AsSsize_t(args[1]);
  if (record < 0) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "record_header_bytes must not be negative");
    return nullptr;
  }
  const std::span<const std::uint8_t> bytes(data.data(), data.size());
  PacketScan scan;
  Py_BEGIN_ALLOW_THREADS
  scan = scan_packets(bytes, static_cast<std::size_t>(record), nullptr);
  Py_END_ALLOW_THREADS
  if (scan.garbage) {
    PyErr_Format(PyExc_ValueError, "no space packet header at byte %zu: version %u, where a space packet has 0",
                 scan.garbage_offset, scan.garbage_version);
    return nullptr;
  }
  // The columns, filled by a second walk over the same bytes, held meanwhile.
  const auto column = [&](std::size_t element) {
    return PyRef::steal(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(scan.count * element)));
  };
  PyRef arrays[] = {column(8), column(8), column(1), column(1), column(1), column(2), column(1), column(2), column(2)};
  for (const PyRef& array : arrays) {
    if (!array) return nullptr;
  }
  const auto at = [&](std::size_t i) { return PyByteArray_AS_STRING(arrays[i].get()); };
  const PacketColumns columns{reinterpret_cast<std::int64_t*>(at(0)), reinterpret_cast<std::int64_t*>(at(1)),
                              reinterpret_cast<std::uint8_t*>(at(2)),  reinterpret_cast<std::uint8_t*>(at(3)),
                              reinterpret_cast<std::uint8_t*>(at(4)),  reinterpret_cast<std::uint16_t*>(at(5)),
                              reinterpret_cast<std::uint8_t*>(at(6)),  reinterpret_cast<std::uint16_t*>(at(7)),
                              reinterpret_cast<std::uint16_t*>(at(8))};
  Py_BEGIN_ALLOW_THREADS
  static_cast<void>(scan_packets(bytes, static_cast<std::size_t>(record), &columns));
  Py_END_ALLOW_THREADS
  PyRef cut = scan.cut ? PyRef::steal(Py_BuildValue("(nn)", static_cast<Py_ssize_t>(scan.cut_offset),
                                                    static_cast<Py_ssize_t>(scan.cut_missing)))
                       : PyRef::borrow(Py_None);
  if (!cut) return nullptr;
  return Py_BuildValue("(OOOOOOOOOO)", arrays[0].get(), arrays[1].get(), arrays[2].get(), arrays[3].get(),
                       arrays[4].get(), arrays[5].get(), arrays[6].get(), arrays[7].get(), arrays[8].get(), cut.get());
}

PyMethodDef methods[] = {
    {"unpack_columns", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(
                           +[](PyObject* m, PyObject* const* a, Py_ssize_t n) {
                             return python::guard([&] { return unpack_columns(m, a, n); });
                           })),
     METH_FASTCALL, nullptr},
    {"space_packets", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(
                          +[](PyObject* m, PyObject* const* a, Py_ssize_t n) {
                            return python::guard([&] { return space_packets(m, a, n); });
                          })),
     METH_FASTCALL, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "tessel_archive._native", "", 0, methods, nullptr, nullptr, nullptr, nullptr,
};

PyObject* init() {
  static constinit PyMutex build_lock{};
  static constinit std::atomic<bool> interned{false};
  {
    PyMutex_Lock(&build_lock);
    const bool ok = interned.load() || (python::intern_param_names() && recipe::intern_keys());
    if (ok) interned.store(true);
    PyMutex_Unlock(&build_lock);
    if (!ok) return nullptr;
  }
  PyRef module = PyRef::steal(PyModule_Create(&module_def));
  if (!module) return nullptr;
#ifdef Py_GIL_DISABLED
  // The decoder keeps no shared state, and reads the caller's recipe under its items' locks.
  if (PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_NOT_USED) < 0) return nullptr;
#endif
  return module.release();
}

}  // namespace

}  // namespace tessel::archive

PyMODINIT_FUNC PyInit__native(void) {
  return tessel::python::guard([] { return tessel::archive::init(); });
}
