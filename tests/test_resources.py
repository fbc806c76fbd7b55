"""References and memory: repeated calls leave nothing behind (threads: test_threads.py).

Memory is counted on both sides of the module: the interpreter's blocks and the C heap's bytes
(native_memory.py), so a buffer that the C++ code forgets to free fails these tests as surely as
an object whose reference is never released.
"""
import ctypes
import sys

import pytest

import tessel
from native_memory import HEAP_COUNTER, growth
from recipes import item


RECIPE = [item("temp", "twos_complement", 16, value=-2), item("mode", "unsigned", 8, value=3),
          item("label", "utf16", 48, value="H\u00e9"), item("raw", "binary", 12, reverse=True, value=[1, 2]),
          item("volts", "ieee754", 32, at=64, value=3.3)]
# The same layout with decode-side names (the unpacker has no "binary" and names float widths).
UNPACK_RECIPE = [dict(it, encoding={"binary": "unsigned", "ieee754": "ieee754_f32"}.get(it["encoding"], it["encoding"]))
                 for it in RECIPE]

# (function, arguments) on the success path and on every kind of failure path.
CALLS = [
    (tessel.encode_twos_complement, (-5, 12)),
    (tessel.encode_twos_complement, (128, 8)),            # codec error
    (tessel.encode_twos_complement, (2**70, 8)),          # conversion OverflowError
    (tessel.encode_twos_complement, ("x", 8)),            # prefixed TypeError
    (tessel.encode_twos_complement, (1,)),                # binding error
    (tessel.encode_ones_complement, (-5, 12)),
    (tessel.encode_ones_complement, (-2**63, 64)),
    (tessel.encode_sign_magnitude, (-5, 12)),
    (tessel.encode_sign_magnitude, (0, 1)),
    (tessel.decode_twos_complement, (0xFFF, 12)),
    (tessel.decode_ones_complement, (0xFFF, 12)),
    (tessel.decode_sign_magnitude, (2**64 - 1, 64)),
    (tessel.decode_sign_magnitude, (-1, 64)),
    (tessel.encode_packed_bcd, (-123, 16, True)),
    (tessel.encode_packed_bcd, (-123, 16, 1)),               # flag refused
    (tessel.encode_unpacked_bcd, (1234, 24, True)),
    (tessel.decode_packed_bcd, (0x123D, 16, True)),
    (tessel.decode_packed_bcd, (0x1A, 8, False)),
    (tessel.decode_unpacked_bcd, (0xF1F2B3, 24, True)),     # hex message
    (tessel.encode_ieee754_f16, (0.1,)),
    (tessel.encode_ieee754_f32, (10**400,)),
    (tessel.encode_ieee754_f64, ("1",)),
    (tessel.decode_ieee754_f32, (0x3F800000,)),
    (tessel.decode_ieee754_f128, (0x3FFF << 112,)),
    (tessel.decode_ieee754_f128, (2**128,)),
    (tessel.decode_ieee754_f128, (-1,)),
    (tessel.encode_ti_f40, (1.0,)),
    (tessel.decode_ibm_f64, (0,)),
    # text: every family on its fast and slow paths, and each kind of refusal
    (tessel.encode_utf8, ("caf\u00e9 \u20ac \U0001F600" * 20,)),
    (tessel.encode_utf8, ("a" * 100,)),
    (tessel.encode_utf8, ("a\ud800",)),                     # the interpreter's UnicodeEncodeError
    (tessel.encode_utf8, (5,)),                              # prefixed TypeError
    (tessel.encode_utf16, ("\U0001F600x" * 30,)),
    (tessel.encode_utf16le, ("\u20ac\ud800",)),
    (tessel.encode_utf32be, ("\U0001F600" * 30,)),
    (tessel.encode_us_ascii, ("caf\u00e9",)),                # codec error
    (tessel.encode_us_ascii, ("\u00e9\udc00",)),
    (tessel.encode_iso_8859_1, ("\u00e9" * 50,)),
    (tessel.encode_windows_1252, ("\u20ac\u00e9" * 30,)),
    (tessel.encode_windows_1252, ("\u0080",)),
    (tessel.decode_utf8, (("caf\u00e9 \U0001F600" * 20).encode(),)),
    (tessel.decode_utf8, (b"abc\xe2\x82",)),
    (tessel.decode_utf8, (bytearray(b"a"),)),                # byte-string refusal
    (tessel.decode_utf16, (b"\xff\xfe" + "\U0001F600x".encode("utf-16-le") * 30,)),
    (tessel.decode_utf16be, (b"\xd8\x00",)),
    (tessel.decode_utf16le, (b"\x00",)),
    (tessel.decode_utf32, (b"\x00\x00\xfe\xff" + "\u4e2d".encode("utf-32-be") * 30,)),
    (tessel.decode_utf32le, (b"\x00\x00\x11\x00",)),
    (tessel.decode_us_ascii, (b"a" * 100,)),
    (tessel.decode_us_ascii, (b"a\xff",)),
    (tessel.decode_iso_8859_1, (bytes(range(256)),)),
    (tessel.decode_windows_1252, (bytes(range(256)),)),
    (tessel.decode_windows_1252, (b"\xef\xbb\xbf\xff",)),
    # recipes: success, each kind of re-raised failure, and an argument refusal
    (tessel.pack_parameters, (RECIPE,)),
    (tessel.pack_parameters, (tuple(RECIPE),)),
    (tessel.pack_parameters, (RECIPE + [item("x", "foo", 8, value=1)],)),        # ValueError re-raise
    (tessel.pack_parameters, (RECIPE + [{}],)),                                   # KeyError re-raise
    (tessel.pack_parameters, (RECIPE + [item("x", "unsigned", 8, value="a")],)),  # conversion re-raise
    (tessel.pack_parameters, (RECIPE + [item("x", "us_ascii", 8, value="\ud800")],)),
    (tessel.pack_parameters, ("abc",)),
    (tessel.unpack_parameters, (bytes(range(20)), 0, UNPACK_RECIPE)),
    (tessel.unpack_parameters, (bytes(range(20)), 0, UNPACK_RECIPE + [item("x", "foo", 8)])),
    (tessel.unpack_parameters, (bytes(range(20)), 0, UNPACK_RECIPE + [item("x", "ti_f32", 32)])),
    (tessel.unpack_parameters, (b"\xc3\x28", 0, [item("s", "utf8", 16)])),                     # codec error
    (tessel.unpack_parameters, (bytearray(2), 0, [])),
]


def call_many(fn, args, kwargs, times):
    for _ in range(times):
        try:
            fn(*args, **kwargs)
        except Exception:
            pass
        except BaseException as e:  # a read past the end of a packet
            assert type(e).__name__ == "PanicException"


# Growth allowed over the 20000 calls of a window: a few blocks of free lists and caches that
# settle late. One leaked block or heap chunk in every few hundred calls exceeds it.
TIMES = 20000
BOUNDS = (32, 4096)  # interpreter blocks, heap bytes


def assert_no_growth(name, work, times=TIMES):
    blocks, heap = growth(work, times, BOUNDS)
    assert blocks < BOUNDS[0] and heap < BOUNDS[1], f"{name}: {blocks} blocks, {heap} heap bytes after {times} calls"


@pytest.mark.parametrize("fn, args", CALLS)
def test_no_memory_growth(fn, args):
    assert_no_growth(fn.__name__, lambda times: call_many(fn, args, {}, times))


# Keywords take one binding path for every function: each signature once, on success and on the
# binding refusals (a missing argument, an argument twice, an unknown keyword).
KEYWORD_CALLS = [
    (tessel.encode_twos_complement, (), {"value": -5, "bits": 12}),
    (tessel.encode_twos_complement, (), {"bits": 12}),
    (tessel.encode_twos_complement, (-5,), {"value": -5, "bits": 12}),
    (tessel.encode_twos_complement, (), {"value": -5, "bits": 12, "width": 3}),
    (tessel.encode_packed_bcd, (), {"value": -123, "bits": 16, "signed": True}),
    (tessel.decode_unpacked_bcd, (), {"value": 0xF1F2B3, "bits": 24, "signed": True}),
    (tessel.encode_ieee754_f16, (), {"value": 0.1}),
    (tessel.encode_ti_f40, (), {"_value": 1.0}),
    (tessel.encode_utf16, (), {"text": "\U0001F600x" * 30}),
    (tessel.decode_utf8, (), {"bytes": ("caf\u00e9 \U0001F600" * 20).encode()}),
    (tessel.pack_parameters, (), {"recipe": RECIPE}),
    (tessel.unpack_parameters, (), {"packet_bytes": bytes(range(20)), "offset_bits": 0, "recipe": UNPACK_RECIPE}),
    (tessel.unpack_parameters, (bytes(range(20)),), {"recipe": UNPACK_RECIPE}),
]


@pytest.mark.parametrize("fn, args, kwargs", KEYWORD_CALLS)
def test_no_memory_growth_by_keyword(fn, args, kwargs):
    assert_no_growth(fn.__name__, lambda times: call_many(fn, args, kwargs, times))


def test_keyword_calls_cover_every_signature():
    signatures = {fn.__text_signature__ for fn, _, kwargs in KEYWORD_CALLS if kwargs}
    assert signatures == {getattr(tessel, name).__text_signature__ for name in tessel.__all__}


def test_the_counters_see_a_leak_on_either_side():
    # The measure itself: a forgotten object and a forgotten malloc() each fail it.
    assert HEAP_COUNTER is not None
    kept = []
    libc = ctypes.CDLL(None)
    libc.malloc.restype = ctypes.c_void_p
    libc.malloc.argtypes = [ctypes.c_size_t]
    libc.free.argtypes = [ctypes.c_void_p]

    def forget_objects(times):
        kept.extend(object() for _ in range(times))

    def forget_buffers(times):
        kept.extend(libc.malloc(24) for _ in range(times))

    blocks, heap = growth(forget_objects, 5000, BOUNDS)
    assert blocks >= 5000 or heap >= 5000 * 16  # with PYTHONMALLOC=malloc objects come from the heap
    kept.clear()
    try:
        _, heap = growth(forget_buffers, 5000, BOUNDS)
        assert heap >= 5000 * 24
    finally:
        for pointer in kept:
            libc.free(pointer)


@pytest.mark.parametrize("fn, args", CALLS)
def test_argument_references_unchanged(fn, args):
    # Big ints are fresh objects, so their reference counts show any leak or over-release.
    held = [int(str(a)) if type(a) is int else a for a in args]
    counts = [sys.getrefcount(a) for a in held]
    call_many(fn, held, {}, 1000)
    assert [sys.getrefcount(a) for a in held] == counts


def test_reads_past_the_end_leave_nothing_behind(capfd):
    recipe = UNPACK_RECIPE + [item("far", "unsigned", 8, at=800)]
    calls = []

    def work(times):
        call_many(tessel.unpack_parameters, (bytes(20), 0, recipe), {}, times)
        calls.append(times)

    assert_no_growth("unpack_parameters past the end", work, 3000)
    assert capfd.readouterr().err.count("range start index 100") == sum(calls)


def test_recipe_items_and_values_keep_their_references():
    recipe = [dict(it) for it in RECIPE]
    objects = [o for it in recipe for o in it.values()] + recipe
    counts = [sys.getrefcount(o) for o in objects]
    call_many(tessel.pack_parameters, (recipe,), {}, 500)
    call_many(tessel.pack_parameters, (recipe + [item("x", "foo", 8, value=1)],), {}, 500)
    assert [sys.getrefcount(o) for o in objects] == counts


def test_values_let_go_only_once_the_next_item_is_held():
    # A value's finalizer may change a later item. The unpacker lets one item's values go only
    # once it holds every value of the next, so that item is read as it stood when the call
    # reached it (as the packer does), and never while its entries are borrowed (which would read
    # freed memory).
    class Name(str):
        def __del__(self):
            second.clear()

    class Bits:
        def __index__(self):
            first.clear()  # the item's values now live on only in the unpacker's hold
            return 8

    first = item(Name("a"), "unsigned", Bits())
    second = item("b", "unsigned", 8, order="".join(["b", "i", "g"]))  # a new str, freed with the item
    try:
        outcome = tessel.unpack_parameters(b"\x01\x02", 0, [first, second])
    except ValueError as e:
        outcome = str(e)
    if getattr(sys, "_is_gil_enabled", lambda: True)():
        assert outcome == {"a": 1, "b": 2}
    else:
        # Without the GIL a cleared dict may let its values go later (the interpreter defers
        # freeing what other threads might still read), so the finalizer can run before the
        # second item is read: then that item is read emptied. Either way nothing freed is read.
        assert outcome in ({"a": 1, "b": 2}, "KeyError: \"Recipe missing required field: 'name'\"")
    assert second == {}
