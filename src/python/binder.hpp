// The argument layer: one parameter table per function, one binder, one adapter template.
//
// A function row names the function, its codec and its parameter names; the parameter kinds
// follow from the codec's own C++ signature (int64_t is a signed int64, uint32_t a bit count,
// bool the `signed` flag, TextView a str, ...). The adapter binds the vectorcall arguments,
// converts them in parameter order, calls the codec once and converts its result, or raises its
// CodecError. Rows with a recipe parameter raise through the recipe re-raise instead.
#pragma once

#include <Python.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <tuple>
#include <type_traits>
#include <utility>

#include "bits.hpp"
#include "codec_error.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/py_ref.hpp"
#include "text_view.hpp"

namespace tessel::python {

enum class ParamName : std::uint8_t {
  value,
  bits,
  signed_,
  text,
  bytes,
  recipe,
  packet_bytes,
  offset_bits,
  unused_value,  // `_value`: accepted, converted and ignored
};
inline constexpr std::size_t kParamNameCount = 9;
[[nodiscard]] const char* param_name(ParamName name) noexcept;

struct Signature {
  const char* function;
  const ParamName* names;
  std::uint8_t count;
  std::uint8_t required;  // the leading parameters; the rest default to False
};

// Interns the parameter names once; called while the module is built, under its lock and before
// any function exists, so every call reads the finished table.
bool intern_param_names() noexcept;

// Fills `slots` (signature.count entries) with borrowed references, null for an optional
// parameter that was not given. Returns false with a TypeError set.
bool bind(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** slots) noexcept;

// Replaces a pending TypeError with "argument '{name}': {message}", keeping its cause.
void prefix_type_error(ParamName name) noexcept;

// ---------------------------------------------------------------------------------------------
// Output storage handed to codecs that write bytes or text.

class BytesOut final : public ByteSink {
 public:
  std::uint8_t* allocate(std::size_t size) noexcept override;
  bool shrink(std::size_t size) noexcept override;
  [[nodiscard]] PyObject* take() noexcept;

 private:
  PyRef bytes_;
};

class StrOut final : public TextSink {
 public:
  void* allocate(std::size_t length, char32_t max_char, std::uint8_t& width) noexcept override;
  [[nodiscard]] PyObject* take() noexcept;

 private:
  PyRef str_;
};

// ---------------------------------------------------------------------------------------------
// Argument kinds, by the codec's parameter type.

template <class T>
struct Arg;

template <>
struct Arg<std::int64_t> {
  static bool convert(PyObject* o, std::int64_t& v) noexcept { return to_i64(o, v); }
};
template <>
struct Arg<std::uint64_t> {
  static bool convert(PyObject* o, std::uint64_t& v) noexcept { return to_u64(o, v); }
};
template <>
struct Arg<u128> {
  static bool convert(PyObject* o, u128& v) noexcept { return to_u128(o, v); }
};
template <>
struct Arg<std::uint32_t> {
  static bool convert(PyObject* o, std::uint32_t& v) noexcept { return to_bit_count(o, v); }
};
template <>
struct Arg<bool> {
  static bool convert(PyObject* o, bool& v) noexcept { return to_flag(o, v); }
};
template <>
struct Arg<float> {
  static bool convert(PyObject* o, float& v) noexcept { return to_float32(o, v); }
};
template <>
struct Arg<double> {
  static bool convert(PyObject* o, double& v) noexcept { return to_float64(o, v); }
};
template <>
struct Arg<TextView> {
  static bool convert(PyObject* o, TextView& v) noexcept { return to_text(o, v); }
};
template <>
struct Arg<std::span<const std::uint8_t>> {
  static bool convert(PyObject* o, std::span<const std::uint8_t>& v) noexcept { return to_byte_string(o, v); }
};
template <>
struct Arg<RecipeItems> {
  static bool convert(PyObject* o, RecipeItems& v) { return to_recipe(o, v); }
};

// Results.
inline PyObject* to_python(std::uint64_t v) noexcept { return from_u64(v); }
inline PyObject* to_python(std::int64_t v) noexcept { return from_i64(v); }
inline PyObject* to_python(double v) noexcept { return from_double(v); }
inline PyObject* to_python(PyRef& v) noexcept { return v.release(); }

template <class T>
struct IsResult : std::false_type {};
template <class T>
struct IsResult<Result<T>> : std::true_type {};

template <class F>
struct FnTraits;
template <class R, class... A>
struct FnTraits<R (*)(A...) noexcept> {
  using result = R;
  using params = std::tuple<A...>;
};
template <class R, class... A>
struct FnTraits<R (*)(A...)> {
  using result = R;
  using params = std::tuple<A...>;
};

template <std::size_t N>
struct FixedName {
  char text[N];
  constexpr FixedName(const char (&name)[N]) { std::copy_n(name, N, text); }  // NOLINT: literal type
};

template <FixedName Name, auto Codec, ParamName... Names>
class Binding {
  using Params = typename FnTraits<decltype(Codec)>::params;
  static constexpr std::size_t kArity = std::tuple_size_v<Params>;
  static constexpr std::size_t kInputs = sizeof...(Names);

  template <std::size_t I>
  using Input = std::remove_cvref_t<std::tuple_element_t<I, Params>>;

  static constexpr bool kHasOutput = kArity == kInputs + 1;
  static_assert(kHasOutput || kArity == kInputs, "one name per codec input");

  template <std::size_t... I>
  static constexpr std::size_t count_required(std::index_sequence<I...>) {
    return ((std::is_same_v<Input<I>, bool> ? 0 : 1) + ... + 0);
  }
  template <std::size_t... I>
  static constexpr bool is_recipe(std::index_sequence<I...>) {
    return (std::is_same_v<Input<I>, RecipeItems> || ...);
  }
  template <std::size_t... I>
  static constexpr std::size_t text_index(std::index_sequence<I...>) {
    std::size_t index = kInputs;
    ((std::is_same_v<Input<I>, TextView> ? (index = I) : 0), ...);
    return index;
  }

  static constexpr auto kIndices = std::make_index_sequence<kInputs>{};
  static constexpr bool kRecipe = is_recipe(kIndices);
  static constexpr std::size_t kTextIndex = text_index(kIndices);
  static constexpr ParamName kNames[] = {Names...};

  template <std::size_t I, class T>
  static bool convert(PyObject* object, T& value) {
    if (object == nullptr) return true;  // an optional flag left out: False
    if (Arg<T>::convert(object, value)) return true;
    prefix_type_error(kNames[I]);
    return false;
  }

  static PyObject* raise(const CodecError& error, PyObject* const* slots) noexcept {
    if constexpr (kRecipe) {
      return raise_recipe_error(error);
    } else if constexpr (kTextIndex < kInputs) {
      return raise_codec_error(error, slots[kTextIndex]);
    } else {
      return raise_codec_error(error);
    }
  }

  template <class R>
  static PyObject* finish(R& result, PyObject* const* slots) noexcept {
    if constexpr (IsResult<R>::value) {
      if (!result) return raise(result.error(), slots);
      return to_python(*result);
    } else {
      return to_python(result);
    }
  }

  template <std::size_t... I>
  static PyObject* invoke(PyObject* const* slots, std::index_sequence<I...>) {
    std::tuple<Input<I>...> values{};
    if (!(convert<I>(slots[I], std::get<I>(values)) && ...)) return nullptr;
    if constexpr (kHasOutput) {
      using Out = std::conditional_t<std::is_same_v<std::tuple_element_t<kInputs, Params>, ByteSink&>, BytesOut, StrOut>;
      Out out;
      auto result = Codec(std::get<I>(values)..., out);
      if (!result) return raise(result.error(), slots);  // a Result<void>: the sink holds the value
      return out.take();
    } else {
      auto result = Codec(std::get<I>(values)...);
      return finish(result, slots);
    }
  }

 public:
  static constexpr Signature signature{Name.text, kNames, static_cast<std::uint8_t>(kInputs),
                                       static_cast<std::uint8_t>(count_required(kIndices))};

  static PyObject* entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guard([&]() -> PyObject* {
      if (kwnames == nullptr && nargs == static_cast<Py_ssize_t>(kInputs)) {
        return invoke(args, kIndices);  // every argument by position: nothing to bind
      }
      PyObject* slots[kInputs];
      if (!bind(signature, args, nargs, kwnames, slots)) return nullptr;
      return invoke(slots, kIndices);
    });
  }
};

struct FunctionRow {
  const Signature* signature;
  PyCFunctionFastWithKeywords entry;
};

template <FixedName Name, auto Codec, ParamName... Names>
constexpr FunctionRow row() {
  using B = Binding<Name, Codec, Names...>;
  return {&B::signature, &B::entry};
}

}  // namespace tessel::python
