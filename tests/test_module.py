"""The module as the interpreter sees it: function table, signatures, import behaviour."""
import importlib
import inspect
import subprocess
import sys
import textwrap

import pytest

import tessel

# All 62 functions in registration order, with their text signatures.
FUNCTIONS = [
    ("unpack_parameters", "(packet_bytes, offset_bits, recipe)"),
    ("pack_parameters", "(recipe)"),
    ("decode_ones_complement", "(value, bits)"),
    ("decode_twos_complement", "(value, bits)"),
    ("decode_sign_magnitude", "(value, bits)"),
    ("decode_unpacked_bcd", "(value, bits, signed=False)"),
    ("decode_packed_bcd", "(value, bits, signed=False)"),
    ("decode_ieee754_f16", "(value)"),
    ("decode_ieee754_f32", "(value)"),
    ("decode_ieee754_f64", "(value)"),
    ("decode_ieee754_f128", "(value)"),
    ("decode_ieee754_1985_f32", "(_value)"),
    ("decode_ieee754_1985_f64", "(_value)"),
    ("decode_ieee754_1985_f80", "(_value)"),
    ("decode_mil_std_1750a_f32", "(_value)"),
    ("decode_mil_std_1750a_f48", "(_value)"),
    ("decode_dec_f32", "(_value)"),
    ("decode_dec_f64", "(_value)"),
    ("decode_ibm_f32", "(_value)"),
    ("decode_ibm_f64", "(_value)"),
    ("decode_ti_f32", "(_value)"),
    ("decode_ti_f40", "(_value)"),
    *[(f"decode_{name}", "(bytes)") for name in ["us_ascii", "iso_8859_1", "windows_1252", "utf8", "utf16",
                                                  "utf16le", "utf16be", "utf32", "utf32le", "utf32be"]],
    ("encode_ones_complement", "(value, bits)"),
    ("encode_twos_complement", "(value, bits)"),
    ("encode_sign_magnitude", "(value, bits)"),
    ("encode_unpacked_bcd", "(value, bits, signed=False)"),
    ("encode_packed_bcd", "(value, bits, signed=False)"),
    ("encode_ieee754_f16", "(value)"),
    ("encode_ieee754_f32", "(value)"),
    ("encode_ieee754_f64", "(value)"),
    ("encode_ieee754_f128", "(_value)"),
    ("encode_ieee754_1985_f32", "(_value)"),
    ("encode_ieee754_1985_f64", "(_value)"),
    ("encode_ieee754_1985_f80", "(_value)"),
    ("encode_mil_std_1750a_f32", "(_value)"),
    ("encode_mil_std_1750a_f48", "(_value)"),
    ("encode_dec_f32", "(_value)"),
    ("encode_dec_f64", "(_value)"),
    ("encode_ibm_f32", "(_value)"),
    ("encode_ibm_f64", "(_value)"),
    ("encode_ti_f32", "(_value)"),
    ("encode_ti_f40", "(_value)"),
    *[(f"encode_{name}", "(text)") for name in ["us_ascii", "iso_8859_1", "windows_1252", "utf8", "utf16",
                                                 "utf16le", "utf16be", "utf32", "utf32le", "utf32be"]],
]
NAMES = [name for name, _ in FUNCTIONS]


def test_all_lists_functions_in_registration_order():
    assert tessel.__all__ == NAMES


def test_nothing_else_is_public():
    assert sorted(n for n in dir(tessel) if not n.startswith("_")) == sorted(NAMES)


def test_module_docstring_is_empty_string():
    assert tessel.__doc__ == ""


@pytest.mark.parametrize("name, signature", FUNCTIONS)
def test_function_object(name, signature):
    fn = getattr(tessel, name)
    assert fn.__text_signature__ == signature
    assert fn.__doc__ is None
    assert fn.__name__ == name
    assert fn.__module__ == "tessel"
    assert fn.__self__ is tessel
    assert str(inspect.signature(fn)) == signature


def test_reimport_returns_the_same_object():
    saved = sys.modules.pop("tessel")
    try:
        again = importlib.import_module("tessel")
    finally:
        sys.modules["tessel"] = saved
    assert again is saved


def test_reimport_keeps_attributes_as_they_are_now():
    saved = sys.modules.pop("tessel")
    saved.extra_marker = 1
    try:
        assert importlib.import_module("tessel").extra_marker == 1
    finally:
        del saved.extra_marker
        sys.modules["tessel"] = saved


def _run(code):
    env_path = [p for p in sys.path if p]
    prelude = f"import sys; sys.path[:0] = {env_path!r}\n"
    return subprocess.run([sys.executable, "-c", prelude + textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=60)


def test_second_interpreter_is_refused():
    # A legacy-config subinterpreter lets single-phase modules initialise, so the module's own
    # first-interpreter check is what refuses it; the main interpreter's module keeps working.
    result = _run("""
        import tessel
        import _interpreters
        interp = _interpreters.create(_interpreters.new_config("legacy"))
        failure = _interpreters.exec(interp, "import tessel")
        print(failure.type.__name__)
        print(failure.msg)
        _interpreters.destroy(interp)
        print(tessel.encode_twos_complement(-1, 8))
    """)
    assert result.returncode == 0, result.stderr
    kind, message, value = result.stdout.splitlines()
    assert kind == "ImportError"
    assert "subinterpreters" in message
    assert value == "255"


def test_isolated_interpreter_is_refused():
    result = _run("""
        import tessel
        import _interpreters
        interp = _interpreters.create()
        failure = _interpreters.exec(interp, "import tessel")
        print(failure.type.__name__)
        _interpreters.destroy(interp)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ImportError"


def test_subinterpreter_importing_first_does_not_take_the_module():
    # The interpreter loads a single-phase module in the main interpreter before a subinterpreter
    # gets it, so the main interpreter owns the module even when a subinterpreter asks first.
    result = _run("""
        import _interpreters
        interp = _interpreters.create(_interpreters.new_config("legacy"))
        failure = _interpreters.exec(interp, "import tessel")
        print(failure.type.__name__)
        import tessel
        print(tessel.encode_twos_complement(-2, 8))
        _interpreters.destroy(interp)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["ImportError", "254"]
