"""Threads: calls running at once, and recipes that other threads change while they are read.

With the GIL these check that concurrent calls keep their results apart and that a recipe changed
between calls is read whole. On a free-threaded interpreter the module runs without the GIL, and
they are the race tests: a torn read of a list or a dict shows up as a crash, a sanitizer report,
or a result that no state of the recipe could give.
"""
import os
import random
import re
import struct
import subprocess
import sys
import sysconfig
import textwrap
import threading
import time

import pytest

import tessel
from recipes import HookedDict, item

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
# Resizing a bytearray while another thread reads it is unsafe in 3.13t itself, pure Python
# included; later free-threaded interpreters lock it.
BYTEARRAY_SAFE = not FREE_THREADED or sys.version_info >= (3, 14)
# Seconds per stress test; raise it for a longer run by hand.
SECONDS = float(os.environ.get("TESSEL_THREAD_SECONDS", "2"))


@pytest.fixture(autouse=True)
def frequent_switches():
    # With the GIL, threads take turns between bytecodes; switching often interleaves more calls.
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    yield
    sys.setswitchinterval(interval)


def run_together(*targets):
    """Runs every target on its own thread, all released at once; re-raises the first failure."""
    barrier = threading.Barrier(len(targets))
    failures = []

    def run(target):
        try:
            barrier.wait()
            target()
        except BaseException as e:  # noqa: BLE001 - re-raised below
            failures.append(e)

    threads = [threading.Thread(target=run, args=(target,)) for target in targets]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    if failures:
        raise failures[0]


def python(code):
    """Runs code in a fresh interpreter that finds this tessel, with PYTHON_GIL unset."""
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    prelude = f"import sys; sys.path[:0] = {[p for p in sys.path if p]!r}\n"
    return subprocess.run([sys.executable, "-c", prelude + textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=120, env=env)


# ---- the module without the GIL ---------------------------------------------------------------

@pytest.mark.skipif(not FREE_THREADED, reason="the GIL cannot be disabled on this interpreter")
def test_import_leaves_the_gil_disabled():
    result = python("""
        import sys, warnings
        warnings.simplefilter("error")  # the interpreter warns when a module turns the GIL back on
        import tessel
        print(sys._is_gil_enabled())
        del sys.modules["tessel"]
        import tessel as again
        print(again is tessel, sys._is_gil_enabled())
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["False", "True", "False"]


def test_threads_initialising_at_once_build_one_module():
    # The init entry called straight from several threads at once, outside the import system's
    # own lock: all of them get the one module, built once, and a later import finds it.
    result = python("""
        import ctypes, importlib.util, threading
        init = ctypes.PyDLL(importlib.util.find_spec("tessel").origin).PyInit_tessel
        init.restype = ctypes.py_object
        barrier = threading.Barrier(8)
        built = []

        def run():
            barrier.wait()
            built.append(init())

        threads = [threading.Thread(target=run) for _ in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        import tessel
        print(len(built), len({id(m) for m in built}), built[0] is tessel, len(tessel.__all__))
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["8", "1", "True", "62"]


def test_threads_faulting_first_at_once_raise_one_type():
    # PanicException is created on first use: threads that fault together must still share it.
    result = python("""
        import threading, tessel
        field = {"name": "x", "encoding": "unsigned", "bits": 8, "byte_order": "big", "reverse_bits": False}
        barrier = threading.Barrier(8)
        raised = []

        def fault():
            barrier.wait()
            try:
                tessel.unpack_parameters(b"", 0, [field])
            except BaseException as e:
                raised.append(type(e))

        threads = [threading.Thread(target=fault) for _ in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        kind = raised[0]
        print(len(raised), len(set(raised)), kind.__module__, kind.__name__, kind.__base__.__name__)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["8", "1", "tessel", "PanicException", "BaseException"]
    assert result.stderr.count("range end index 1 out of range for slice of length 0") == 8


# ---- items read by lookups ---------------------------------------------------------------------
#
# An item with a key that is not an exact str is read by dict lookups (only they honour a key's own
# equality), made on a private copy taken under the item's lock, so that another thread cannot
# change the item between two of them. The copy must not go through a subclass's own hooks.

class IteratesItsOwnWay(HookedDict):
    def __iter__(self):
        raise AssertionError("iterated through __iter__")

    def keys(self):
        raise AssertionError("copied through keys()")


class Width(str):
    """A key spelled otherwise that a lookup of "bits" finds: only a lookup honours its equality."""

    def __eq__(self, other):
        return other == "bits" or str.__eq__(self, other)

    def __hash__(self):
        return hash("bits")


@pytest.mark.parametrize("kind", [dict, HookedDict, IteratesItsOwnWay])
def test_items_read_by_lookups_keep_the_item_format(kind):
    fields = kind(item("v", "unsigned", 8, value=7, at=8))
    fields[7] = "not a field"
    assert tessel.pack_parameters([fields]) == b"\x00\x07"
    assert tessel.unpack_parameters(b"\x00\x07", 0, [fields]) == {"v": 7}
    del fields["bits"]
    fields[Width("width")] = 16
    assert tessel.pack_parameters([fields]) == b"\x00\x00\x07"
    assert tessel.unpack_parameters(b"\x00\x01\x02", 0, [fields]) == {"v": 0x102}


# ---- every function from many threads ---------------------------------------------------------

TEXTS = ["", "abc", "caf\u00e9", "\u20ac\u00e9" * 20, "\u4e2d\U0001F600x" * 7, "a\ud800", "\x80"]
BYTE_STRINGS = [b"", b"abc", "caf\u00e9".encode(), "\u20ac\U0001F600".encode("utf-16"),
                "\u4e2d\U0001F600".encode("utf-32"), bytes(range(256)), b"\xc3\x28", b"\x00\xd8", b"\x00\x00\x11\x00"]


PACK_RECIPES = [
    [item("t", "twos_complement", 16, value=-2), item("m", "unsigned", 8, value=3)],
    [item("s", "utf16", 48, value="H\u00e9"), item("r", "binary", 12, reverse=True, value=[1, 2]),
     item("v", "ieee754", 32, at=64, value=3.3), item("p", "packed_bcd_signed", 16, order="little", value=-12)],
    [item("x", "foo", 8, value=1)],
    [{}],
    [item("x", "unsigned", 8, value="a")],
    [item("x", "us_ascii", 8, value="\ud800")],
]
UNPACK_RECIPES = [
    [item("t", "twos_complement", 16), item("m", "unsigned", 8, reverse=True)],
    [item("s", "utf16le", 32, order="little"), item("v", "ieee754_f32", 32, at=40),
     item("h", "ieee754_f16", 16), item("b", "bcd_signed", 16)],
    [item("x", "ti_f32", 32)],
    [item("x", "bar", 8)],
    [item("x", "unsigned", 8, at=4000)],  # past the end: PanicException
]


def arguments(name):
    """Argument tuples for one function: its success paths and its refusals."""
    kind = name.split("_", 1)[1]
    params = getattr(tessel, name).__text_signature__
    if params == "(_value)":
        return [(1.5,), (0,)] if name.startswith("encode") else [(0,), (1.5,)]
    if name == "pack_parameters":
        return [(recipe,) for recipe in PACK_RECIPES] + [("abc",)]
    if name == "unpack_parameters":
        packet = bytes(range(7, 40))
        return [(packet, offset, recipe) for offset in (0, 3) for recipe in UNPACK_RECIPES]
    if kind in ("ones_complement", "twos_complement", "sign_magnitude"):
        values = (0, 5, -5, 127, -128, 200, -2**40, 2**63 - 1) if name.startswith("encode") else (0, 5, 0x80, 0xFFF,
                                                                                                  2**64 - 1, -1)
        return [(v, bits) for v in values for bits in (1, 8, 12, 64, 65)]
    if kind in ("unpacked_bcd", "packed_bcd"):
        values = (0, 42, -42, 12345) if name.startswith("encode") else (0x42, 0x123D, 0xF1F2, 0xF1F2B3, 0x1A)
        return [(v, bits, signed) for v in values for bits in (8, 16, 24, 64) for signed in (False, True, 1)]
    if kind in ("ieee754_f16", "ieee754_f32", "ieee754_f64"):
        if name.startswith("encode"):
            return [(x,) for x in (0.0, -0.0, 1.5, 0.1, 65504.0, 1e300, float("inf"), float("nan"), 3, "1")]
        return [(p,) for p in (0, 0x3C00, 0x7C00, 0x7E01, 0x3F800000, 0x7FF8000000000001, 2**64 - 1)]
    if kind == "ieee754_f128":
        return [(p,) for p in (0, 0x3FFF << 112, (0x7FFF << 112) | 1, 2**128 - 1, 2**128, -1)]
    if name.startswith("encode"):
        return [(text,) for text in TEXTS] + [(b"abc",)]
    return [(data,) for data in BYTE_STRINGS] + [(bytearray(b"abc"),)]


def same(result):
    """A comparable form of a result: floats by their bits, so NaN and -0.0 compare exactly."""
    if type(result) is float:
        return struct.pack("<d", result)
    if type(result) is dict:
        return [(key, same(value)) for key, value in result.items()]
    return type(result), result


def outcome(fn, args, kwargs):
    try:
        return same(fn(*args, **kwargs))
    except BaseException as e:  # noqa: BLE001 - PanicException is part of the outcome
        return type(e), str(e)


def all_calls():
    """(function, args, kwargs) for every function, by position and, for every third, by keyword."""
    calls = []
    for name in tessel.__all__:
        fn = getattr(tessel, name)
        names = [p.split("=")[0] for p in fn.__text_signature__.strip("()").split(", ")]
        for n, args in enumerate(arguments(name)):
            calls.append((fn, args, {}))
            if n % 3 == 0:
                calls.append((fn, (), dict(zip(names, args))))
    return calls


def test_threads_calling_every_function_get_the_single_threaded_answers():
    calls = all_calls()
    assert {fn.__name__ for fn, _, _ in calls} == set(tessel.__all__)
    expected = [outcome(*call) for call in calls]
    raised = {answer[0].__name__ for answer in expected
              if type(answer) is tuple and isinstance(answer[0], type) and issubclass(answer[0], BaseException)}
    assert raised == {"ValueError", "TypeError", "OverflowError", "NotImplementedError", "UnicodeEncodeError",
                      "PanicException"}
    deadline = time.monotonic() + SECONDS
    rounds = []

    def caller(seed):
        def work():
            order = list(range(len(calls)))
            random.Random(seed).shuffle(order)
            done = 0
            while time.monotonic() < deadline or done == 0:
                for i in order:
                    got = outcome(*calls[i])
                    assert got == expected[i], (calls[i][0].__name__, calls[i][1], calls[i][2])
                done += 1
            rounds.append(done)
        return work

    run_together(*[caller(seed) for seed in range(8)])
    assert len(rounds) == 8


# ---- recipes changed by other threads while they are read -------------------------------------
#
# Every item of the shared recipe is one of two forms at any moment, and a thread that owns it
# switches it between them in ways that pass only through states the checks below accept: form
# "a" is a one-byte number, form "b" four bytes of text. A reader that took one key from one form
# and another from the other (a torn read) yields a result that neither form gives.

SLOTS = 8


def form_a(i):
    return item(f"a{i}", "unsigned", 8, value=0xA0 + i)


def form_b(i):
    # A new str object each time: a reader that kept a borrowed value would read freed memory.
    return item(f"b{i}", "utf8", 32, value="".join(["w", "x", "y", chr(0x30 + i)]))


MISSING = re.compile(r"""KeyError: "Recipe (missing required field: '(name|encoding|bits|byte_order|reverse_bits)'"""
                     r"""|item '[ab][0-7]' missing required field: 'value')"$""")


def packed_fields(packet):
    """The items a packet holds, as ("a" | "b", slot), or None if no run of the forms gives it."""
    fields, at = [], 0
    while at < len(packet):
        if 0xA0 <= packet[at] < 0xA0 + SLOTS:
            fields.append(("a", packet[at] - 0xA0))
            at += 1
        elif packet[at:at + 3] == b"wxy" and len(packet) >= at + 4 and 0x30 <= packet[at + 3] < 0x30 + SLOTS:
            fields.append(("b", packet[at + 3] - 0x30))
            at += 4
        else:
            return None
    return fields


def unpacked_fields_are_whole(values):
    for name, value in values.items():
        if re.fullmatch(r"a[0-7]", name):
            ok = type(value) is int and 0 <= value < 256
        else:
            ok = re.fullmatch(r"b[0-7]", name) is not None and type(value) is str and len(value) == 4
        if not ok:
            return False
    return True


def test_recipes_changed_while_other_threads_pack_and_unpack_them():
    slots = [form_a(i) if i % 2 else form_b(i) for i in range(SLOTS)]
    recipe = list(slots)
    packet = b"wxy0" * 64  # ASCII: every field reads as a number or as valid UTF-8
    stop = threading.Event()
    seen = {"packed": 0, "unpacked": 0, "refused": 0}
    changes = {"items": 0, "list": 0, "bytes": 0}

    def change_items(owned):
        def work():
            rng = random.Random(owned[0])
            form = {i: "a" if i % 2 else "b" for i in owned}
            while not stop.is_set():
                i = rng.choice(owned)
                fields = slots[i]
                other = "b" if form[i] == "a" else "a"
                step = rng.randrange(5)
                if step == 0:  # switch form in one update
                    fields.update(form_a(i) if other == "a" else form_b(i))
                    form[i] = other
                elif step == 1:  # emptied and refilled, possibly in the other form
                    fields.clear()
                    if rng.random() < 0.5:
                        form[i] = other
                    fields.update(form_a(i) if form[i] == "a" else form_b(i))
                elif step == 2:  # the value replaced, or taken away and put back
                    if rng.random() < 0.5:
                        del fields["value"]
                    fields["value"] = (form_a if form[i] == "a" else form_b)(i)["value"]
                elif step == 3:  # grown past a resize of the dict's table, then shrunk again
                    for k in range(24):
                        fields[f"extra{k}"] = k
                    for k in range(24):
                        del fields[f"extra{k}"]
                else:  # with a key that is not a str, read by lookups, the form switched
                    fields[7] = None
                    fields.update(form_a(i) if other == "a" else form_b(i))
                    form[i] = other
                    del fields[7]
                changes["items"] += 1
        return work

    def change_list():
        rng = random.Random(99)
        while not stop.is_set():
            step = rng.randrange(4)
            if step == 0:
                recipe.append(rng.choice(slots))
                recipe.insert(0, rng.choice(slots))
                recipe.pop()
                del recipe[0]
            elif step == 1:
                recipe[:] = rng.sample(slots, SLOTS)
            elif step == 2:
                recipe.clear()
                recipe.extend(rng.sample(slots, rng.randrange(SLOTS + 1)))
            else:
                recipe.reverse()
            changes["list"] += 1

    def pack():
        while not stop.is_set():
            try:
                fields = packed_fields(tessel.pack_parameters(recipe))
                assert fields is not None, "a packet that no state of the recipe gives"
                seen["packed"] += 1
            except ValueError as e:
                assert MISSING.match(str(e)), str(e)
                seen["refused"] += 1

    def unpack():
        while not stop.is_set():
            try:
                values = tessel.unpack_parameters(packet, 0, recipe)
                assert unpacked_fields_are_whole(values), values
                seen["unpacked"] += 1
            except ValueError as e:
                assert MISSING.match(str(e)), str(e)
                seen["refused"] += 1

    shared = bytearray(b"\xcc" * 8)
    binary = [item("c", "binary", 16, value=shared)]

    def resize_bytes():
        while not stop.is_set():
            shared.extend(b"\xcc" * 64)
            del shared[1:]
            shared.clear()
            shared.extend(b"\xcc\xcc")
            changes["bytes"] += 1

    def pack_bytes():
        while not stop.is_set():
            assert tessel.pack_parameters(binary) in (b"\xcc\xcc", b"\x00\xcc", b"\x00\x00")

    def timer():
        time.sleep(SECONDS)
        stop.set()

    def until_stopped(work):
        def run():
            try:
                work()
            finally:
                stop.set()  # a failing thread ends the others early
        return run

    workers = [change_items(list(range(0, SLOTS, 2))), change_items(list(range(1, SLOTS, 2))), change_list,
               pack, pack, pack, unpack, unpack, unpack]
    if BYTEARRAY_SAFE:
        workers += [resize_bytes, pack_bytes]
    run_together(timer, *[until_stopped(work) for work in workers])
    assert seen["packed"] > 0 and seen["unpacked"] > 0
    assert changes["items"] > 0 and changes["list"] > 0 and (changes["bytes"] > 0 or not BYTEARRAY_SAFE)
