"""The module as the interpreter sees it: function table, signatures, import behaviour."""
import importlib
import inspect
import os
import subprocess
import sys
import sysconfig
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


MODULE_DIR = os.path.dirname(os.path.abspath(tessel.__file__))
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
# tessel's own refusal, and the interpreter's refusal of a single-phase module in a subinterpreter
# that checks for multi-phase modules (every isolated one, and every one of a free-threaded build).
OURS = "tessel does not support subinterpreters: it is already in use by another interpreter of this process"
THEIRS = "module tessel does not support loading in subinterpreters"


def _run(code):
    """Runs `code` in a new process whose main interpreter imports the build under test; there
    `import_in(interp)` imports tessel in a subinterpreter, from the same file, and returns the
    failure (or None)."""
    prelude = textwrap.dedent(f"""
        import sys, _interpreters
        sys.path.insert(0, {MODULE_DIR!r})

        def import_in(interp):
            return _interpreters.exec(interp, (
                "import sys, importlib.util\\n"
                "sys.path.insert(0, {MODULE_DIR!r})\\n"
                "assert importlib.util.find_spec('tessel').origin == {tessel.__file__!r}\\n"
                "import tessel\\n"))
    """)
    return subprocess.run([sys.executable, "-c", prelude + textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=60)


def test_second_interpreter_is_refused():
    # A legacy subinterpreter of a GIL build lets single-phase modules initialise, so tessel's own
    # first-interpreter check is what refuses it; the main interpreter's module keeps working.
    result = _run("""
        import tessel
        interp = _interpreters.create(_interpreters.new_config("legacy"))
        failure = import_in(interp)
        print(failure.type.__name__)
        print(failure.msg)
        _interpreters.destroy(interp)
        print(tessel.encode_twos_complement(-1, 8))
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["ImportError", THEIRS if FREE_THREADED else OURS, "255"]


def test_a_refused_isolated_interpreter_leaves_the_module_to_the_main_interpreter():
    # The interpreter refuses a single-phase module in an isolated subinterpreter itself. That
    # refusal must not make the isolated interpreter the module's owner: the main interpreter
    # imports it afterwards, and a later legacy subinterpreter meets tessel's own refusal.
    result = _run("""
        isolated = _interpreters.create()
        failure = import_in(isolated)
        print(failure.type.__name__)
        print(failure.msg)
        import tessel
        print(tessel.encode_twos_complement(-2, 8))
        legacy = _interpreters.create(_interpreters.new_config("legacy"))
        print(import_in(legacy).msg)
        print(import_in(isolated).msg)
        _interpreters.destroy(legacy)
        _interpreters.destroy(isolated)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["ImportError", THEIRS, "254", THEIRS if FREE_THREADED else OURS, THEIRS]


def test_subinterpreter_importing_first_does_not_take_the_module():
    # The interpreter loads a single-phase module in the main interpreter before a subinterpreter
    # gets it, so the main interpreter owns the module even when a subinterpreter asks first.
    result = _run("""
        interp = _interpreters.create(_interpreters.new_config("legacy"))
        failure = import_in(interp)
        print(failure.type.__name__)
        print(failure.msg)
        import tessel
        print(tessel.encode_twos_complement(-2, 8))
        _interpreters.destroy(interp)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["ImportError", THEIRS if FREE_THREADED else OURS, "254"]
