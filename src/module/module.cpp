// The module frame: PyInit_tessel, the function table and the once-only module object.
//
// Single-phase initialisation on purpose: the module is built once, by the first import in the
// first interpreter that imports it, cached, and handed to every later import. Another
// interpreter of the same process is refused.
#include <Python.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <string>

#include "decoder/decoder.hpp"
#include "decoder/recipe_unpacker.hpp"
#include "encoder/encoder.hpp"
#include "encoder/recipe_packer.hpp"
#include "python/binder.hpp"
#include "python/critical_section.hpp"
#include "python/errors.hpp"
#include "python/py_ref.hpp"
#include "recipe/cache.hpp"
#include "recipe/item.hpp"

namespace tessel::module {

using namespace tessel::python;  // the binding layer below this root

namespace {

using N = ParamName;
namespace dec = tessel::decoder;
namespace enc = tessel::encoder;

// The published functions, in registration order: this order is the order of __all__.
constexpr FunctionRow kFunctions[] = {
    row<"unpack_parameters", dec::process_recipe, N::packet_bytes, N::offset_bits, N::recipe>(),
    row<"pack_parameters", enc::pack_parameters, N::recipe>(),
    row<"decode_ones_complement", dec::decode_ones_complement, N::value, N::bits>(),
    row<"decode_twos_complement", dec::decode_twos_complement, N::value, N::bits>(),
    row<"decode_sign_magnitude", dec::decode_sign_magnitude, N::value, N::bits>(),
    row<"decode_unpacked_bcd", dec::decode_unpacked_bcd, N::value, N::bits, N::signed_>(),
    row<"decode_packed_bcd", dec::decode_packed_bcd, N::value, N::bits, N::signed_>(),
    row<"decode_ieee754_f16", dec::decode_ieee754_f16, N::value>(),
    row<"decode_ieee754_f32", dec::decode_ieee754_f32, N::value>(),
    row<"decode_ieee754_f64", dec::decode_ieee754_f64, N::value>(),
    row<"decode_ieee754_f128", dec::decode_ieee754_f128, N::value>(),
    row<"decode_ieee754_1985_f32", dec::decode_ieee754_1985_f32, N::unused_value>(),
    row<"decode_ieee754_1985_f64", dec::decode_ieee754_1985_f64, N::unused_value>(),
    row<"decode_ieee754_1985_f80", dec::decode_ieee754_1985_f80, N::unused_value>(),
    row<"decode_mil_std_1750a_f32", dec::decode_mil_std_1750a_f32, N::unused_value>(),
    row<"decode_mil_std_1750a_f48", dec::decode_mil_std_1750a_f48, N::unused_value>(),
    row<"decode_dec_f32", dec::decode_dec_f32, N::unused_value>(),
    row<"decode_dec_f64", dec::decode_dec_f64, N::unused_value>(),
    row<"decode_ibm_f32", dec::decode_ibm_f32, N::unused_value>(),
    row<"decode_ibm_f64", dec::decode_ibm_f64, N::unused_value>(),
    row<"decode_ti_f32", dec::decode_ti_f32, N::unused_value>(),
    row<"decode_ti_f40", dec::decode_ti_f40, N::unused_value>(),
    row<"decode_us_ascii", dec::decode_us_ascii, N::bytes>(),
    row<"decode_iso_8859_1", dec::decode_iso_8859_1, N::bytes>(),
    row<"decode_windows_1252", dec::decode_windows_1252, N::bytes>(),
    row<"decode_utf8", dec::decode_utf8, N::bytes>(),
    row<"decode_utf16", dec::decode_utf16, N::bytes>(),
    row<"decode_utf16le", dec::decode_utf16le, N::bytes>(),
    row<"decode_utf16be", dec::decode_utf16be, N::bytes>(),
    row<"decode_utf32", dec::decode_utf32, N::bytes>(),
    row<"decode_utf32le", dec::decode_utf32le, N::bytes>(),
    row<"decode_utf32be", dec::decode_utf32be, N::bytes>(),
    row<"encode_ones_complement", enc::encode_ones_complement, N::value, N::bits>(),
    row<"encode_twos_complement", enc::encode_twos_complement, N::value, N::bits>(),
    row<"encode_sign_magnitude", enc::encode_sign_magnitude, N::value, N::bits>(),
    row<"encode_unpacked_bcd", enc::encode_unpacked_bcd, N::value, N::bits, N::signed_>(),
    row<"encode_packed_bcd", enc::encode_packed_bcd, N::value, N::bits, N::signed_>(),
    row<"encode_ieee754_f16", enc::encode_ieee754_f16, N::value>(),
    row<"encode_ieee754_f32", enc::encode_ieee754_f32, N::value>(),
    row<"encode_ieee754_f64", enc::encode_ieee754_f64, N::value>(),
    row<"encode_ieee754_f128", enc::encode_ieee754_f128, N::unused_value>(),
    row<"encode_ieee754_1985_f32", enc::encode_ieee754_1985_f32, N::unused_value>(),
    row<"encode_ieee754_1985_f64", enc::encode_ieee754_1985_f64, N::unused_value>(),
    row<"encode_ieee754_1985_f80", enc::encode_ieee754_1985_f80, N::unused_value>(),
    row<"encode_mil_std_1750a_f32", enc::encode_mil_std_1750a_f32, N::unused_value>(),
    row<"encode_mil_std_1750a_f48", enc::encode_mil_std_1750a_f48, N::unused_value>(),
    row<"encode_dec_f32", enc::encode_dec_f32, N::unused_value>(),
    row<"encode_dec_f64", enc::encode_dec_f64, N::unused_value>(),
    row<"encode_ibm_f32", enc::encode_ibm_f32, N::unused_value>(),
    row<"encode_ibm_f64", enc::encode_ibm_f64, N::unused_value>(),
    row<"encode_ti_f32", enc::encode_ti_f32, N::unused_value>(),
    row<"encode_ti_f40", enc::encode_ti_f40, N::unused_value>(),
    row<"encode_us_ascii", enc::encode_us_ascii, N::text>(),
    row<"encode_iso_8859_1", enc::encode_iso_8859_1, N::text>(),
    row<"encode_windows_1252", enc::encode_windows_1252, N::text>(),
    row<"encode_utf8", enc::encode_utf8, N::text>(),
    row<"encode_utf16", enc::encode_utf16, N::text>(),
    row<"encode_utf16le", enc::encode_utf16le, N::text>(),
    row<"encode_utf16be", enc::encode_utf16be, N::text>(),
    row<"encode_utf32", enc::encode_utf32, N::text>(),
    row<"encode_utf32le", enc::encode_utf32le, N::text>(),
    row<"encode_utf32be", enc::encode_utf32be, N::text>(),
};
constexpr std::size_t kFunctionCount = std::size(kFunctions);

// "name(a, b, signed=False)\n--\n\n": the docstring is the text signature and nothing else.
std::string text_signature(const Signature& signature) {
  std::string doc = signature.function;
  doc += '(';
  for (int i = 0; i < signature.count; ++i) {
    if (i > 0) doc += ", ";
    doc += param_name(signature.names[i]);
    if (i >= signature.required) doc += "=False";
  }
  doc += ")\n--\n\n";
  return doc;
}

struct MethodTable {
  std::array<std::string, kFunctionCount> docs;
  std::array<PyMethodDef, kFunctionCount> defs;
};

// Built once; the interpreter keeps pointers into it for the life of the process. A guarded static
// is safe here: its initialiser builds strings only and never calls into the interpreter, so a
// thread blocked on the guard holds up nothing the initialising thread needs.
const MethodTable& method_table() {
  static const MethodTable table = [] {
    MethodTable t{};
    for (std::size_t i = 0; i < kFunctionCount; ++i) {
      t.docs[i] = text_signature(*kFunctions[i].signature);
      t.defs[i] = PyMethodDef{kFunctions[i].signature->function,
                              reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(kFunctions[i].entry)),
                              METH_FASTCALL | METH_KEYWORDS, nullptr};
    }
    for (std::size_t i = 0; i < kFunctionCount; ++i) t.defs[i].ml_doc = t.docs[i].c_str();
    return t;
  }();
  return table;
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "tessel",
    "",       // an empty docstring, not an absent one
    0,        // no per-module state
    nullptr,  // functions are added by add_functions, which also builds __all__
    nullptr, nullptr, nullptr, nullptr,
};

// Adds each function in table order: create it bound to the module, append its __name__ to
// __all__, set the attribute. The first failure stops it.
bool add_functions(PyObject* module) {
  const MethodTable& table = method_table();
  PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
  if (!module_name) return false;
  for (const PyMethodDef& def : table.defs) {
    PyRef function =
        PyRef::steal(PyCMethod_New(const_cast<PyMethodDef*>(&def), module, module_name.get(), nullptr));
    if (!function) return false;
    PyRef name = PyRef::steal(PyObject_GetAttrString(function.get(), "__name__"));
    if (!name) return false;
    if (!PyUnicode_Check(name.get())) {
      PyErr_SetString(PyExc_TypeError, "function __name__ must be a str");
      return false;
    }
    PyObject* all = nullptr;
    if (PyObject_GetOptionalAttrString(module, "__all__", &all) < 0) return false;
    PyRef all_list = PyRef::steal(all);
    if (!all_list) {
      all_list = PyRef::steal(PyList_New(0));
      if (!all_list || PyObject_SetAttrString(module, "__all__", all_list.get()) < 0) return false;
    }
    if (PyList_Check(all_list.get()) ? PyList_Append(all_list.get(), name.get()) < 0
                                     : (PyErr_SetString(PyExc_TypeError, "__all__ must be a list"), true)) {
      return false;
    }
    if (PyObject_SetAttr(module, name.get(), function.get()) < 0) return false;
  }
  return true;
}

PyObject* init() {
  // The module serves exactly one interpreter per process: the first that imports it.
  static std::atomic<std::int64_t> owner{-1};
  const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (current < 0) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    return nullptr;
  }
  std::int64_t expected = -1;
  if (!owner.compare_exchange_strong(expected, current) && expected != current) {
    PyErr_SetString(PyExc_ImportError,
                    "tessel does not support subinterpreters: it is already in use by another interpreter "
                    "of this process");
    return nullptr;
  }

  // The once-only module cell, never released. It is published complete, after the functions
  // and the GIL declaration, so a thread that finds it set needs no lock.
  static constinit std::atomic<PyObject*> cached{nullptr};
  if (PyObject* module = cached.load(std::memory_order_acquire)) return new_ref(module);

  // Imports of one name are serialised by the import system, but nothing stops two threads from
  // running this entry at once; they build the module one after the other, and the second finds
  // the first's. The interned names are written under this lock too, before any function exists,
  // so every call (which can only follow the module's publication) reads them complete. Building
  // runs no Python code, so the holder never comes back here to wait for itself.
  static constinit PyMutex build_lock{};
  const MutexLock held(build_lock);
  if (PyObject* module = cached.load(std::memory_order_acquire)) return new_ref(module);

  if (!intern_param_names() || !recipe::intern_keys()) return nullptr;
  recipe::start_layout_cache();
  PyRef module = PyRef::steal(PyModule_Create(&module_def));
  if (!module || !add_functions(module.get())) return nullptr;
#ifdef Py_GIL_DISABLED
  // No function keeps shared mutable state, and each reads a caller's mutable containers under
  // their own locks: the interpreter need not take the GIL back for this module.
  if (PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_NOT_USED) < 0) return nullptr;
#endif
  PyObject* built = module.release();  // the cell's reference, kept for the life of the process
  cached.store(built, std::memory_order_release);
  return new_ref(built);
}

}  // namespace

}  // namespace tessel::module

PyMODINIT_FUNC PyInit_tessel(void) {
  return tessel::python::guard([] { return tessel::module::init(); });
}
