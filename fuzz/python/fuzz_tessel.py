"""Coverage-guided fuzzing of tessel's Python surface (atheris).

From the fuzzer's bytes, each input runs one scenario:

- a call of any of the 62 functions with arguments of every kind, well-formed and hostile, by
  position or keyword, with binding mistakes now and then; only the function's documented
  exception types may come out, and a result has the documented type;
- a round trip that must hold (integers in range, packed and unpacked decimal, binary16/32/64,
  every text codec on text it accepts, byte-aligned recipes of whole-byte widths);
- a recipe packed or unpacked, then changed in place and used again: each call must give what
  a fresh deep copy of the recipe gives (this guards any caching of recipes between calls);
- for every call, the arguments' reference counts are the same afterwards, and a sample of
  inputs repeats its call and watches the sanitizer's count of allocated bytes for growth.

Run by fuzz/run with the extension built with clang (-fsanitize=fuzzer-no-link,address,undefined)
and atheris' asan_with_fuzzer.so preloaded. Leak detection is the harness's own (reference
counts and allocated bytes); LeakSanitizer stays off, since the interpreter keeps memory until
exit.

Reproduce a crash: fuzz/run python-repro FILE.
"""
import copy
import ctypes
import gc
import math
import os
import re
import struct
import sys
import traceback
import warnings

import atheris
import numpy
import tessel

warnings.simplefilter("ignore")

# libFuzzer closes the target's stderr (-close_fd_mask=2) so the packets that read past their end
# do not flood the log with fault reports; a failed check still reaches the terminal through this.
_REPORT = os.fdopen(os.dup(2), "w", buffering=1)

try:
    _allocated_bytes = ctypes.CDLL(None).__sanitizer_get_current_allocated_bytes
    _allocated_bytes.restype = ctypes.c_size_t
except AttributeError:  # not under a sanitizer: the memory check is skipped
    _allocated_bytes = None

PANIC = None  # PanicException, once the first one is seen


class Hostile(Exception):
    """Raised by the hostile objects' own methods; it must come out unchanged or wrapped."""


# ---- hostile and odd argument objects -------------------------------------------------------

class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return f"Index({self.value!r})"


class LyingIndex:
    """A different answer on every call."""

    def __init__(self, values):
        self.values = list(values) or [0]
        self.calls = 0

    def __index__(self):
        self.calls += 1
        return self.values[self.calls % len(self.values)]


class RaisingIndex:
    def __index__(self):
        raise Hostile("__index__")

    def __float__(self):
        raise Hostile("__float__")


class BadIndex:
    def __index__(self):
        return 1.5


class Float:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class MutatingIndex:
    """Empties the recipe and its items while the call converts it."""

    def __init__(self, recipe, value):
        self.recipe = recipe
        self.value = value

    def __index__(self):
        for entry in list(self.recipe):
            if isinstance(entry, dict):
                entry.clear()
        if isinstance(self.recipe, list):
            self.recipe.clear()
            self.recipe.extend([{"junk": object()}] * 3)
        return self.value

    __float__ = lambda self: float(self.value)  # noqa: E731


class SelfEmptying:
    """A bit count that empties its own item while converted: the call then holds the only
    references to that item's values, and releases them whenever it is done with them."""

    def __init__(self, item, value):
        self.item = item
        self.value = value

    def __index__(self):
        self.item.clear()
        return self.value


class ReleaseEmpties(str):
    """A name whose release empties every item of its recipe (see SelfEmptying)."""

    targets = ()

    def __del__(self):
        for entry in list(self.targets):
            if isinstance(entry, dict):
                entry.clear()


class ReleasingValue:
    """A number whose release empties the items it names."""

    def __init__(self, value, targets):
        self.value = value
        self.targets = targets

    def __index__(self):
        return self.value

    def __float__(self):
        return float(self.value)

    def __del__(self):
        for entry in list(self.targets):
            if isinstance(entry, dict):
                entry.clear()


MUTATORS = (MutatingIndex, SelfEmptying, ReleaseEmpties, ReleasingValue)


class IntSub(int):
    pass


class FloatSub(float):
    pass


class StrSub(str):
    pass


class BytesSub(bytes):
    pass


class LyingStr(str):
    """Equal to everything, hashing like its text: a dict key that matches any lookup."""

    def __eq__(self, other):
        return True

    __hash__ = str.__hash__


class RaisingStr(str):
    def __eq__(self, other):
        raise Hostile("__eq__")

    __hash__ = str.__hash__


class RaisingHash:
    def __hash__(self):
        raise Hostile("__hash__")


class HookedDict(dict):
    """Its own lookup hooks must never be consulted."""

    def __getitem__(self, key):
        raise Hostile("__getitem__")

    def __missing__(self, key):
        return 8


class Sequence:
    """A sequence whose length lies and whose iteration may fail part way."""

    def __init__(self, items, length, fail_at):
        self.items = items
        self.length = length
        self.fail_at = fail_at

    def __len__(self):
        if self.length < 0:
            raise Hostile("__len__")
        return self.length

    def __getitem__(self, i):
        if i == self.fail_at:
            raise Hostile("__getitem__")
        return self.items[i]


KEYS = ["name", "encoding", "bits", "byte_order", "reverse_bits", "offset_bits", "value"]

ENCODE_NAMES = [
    "unsigned", "twos_complement", "twos-complement", "twoscomplement", "ones_complement", "ones-complement",
    "onescomplement", "sign_magnitude", "sign-magnitude", "signmagnitude", "bcd", "bcd_signed", "bcd-signed",
    "bcdsigned", "packed_bcd", "packed-bcd", "packedbcd", "packed_bcd_signed", "packed-bcd-signed",
    "packedbcdsigned", "ieee754", "ieee_754", "ieee-754", "ieee754_1985", "ieee754-1985", "ieee_754_1985",
    "ieee_754-1985", "mil_std_1750a", "mil-std-1750a", "mil_std-1750a", "ti", "dec", "ibm", "binary", "utf8",
    "utf_8", "utf-8", "utf16", "utf_16", "utf-16", "utf16le", "utf-16le", "utf_16_le", "utf16be", "utf-16be",
    "utf_16_be", "utf32", "utf_32", "utf-32", "utf32le", "utf-32le", "utf_32_le", "utf32be", "utf-32be",
    "utf_32_be", "usascii", "us_ascii", "us-ascii", "iso_8859_1", "iso-8859-1", "iso8859_1", "iso8859-1",
    "windows1252", "windows_1252", "windows-1252",
]
DECODE_NAMES = [
    "unsigned", "twos_complement", "twoscomplement", "ones_complement", "onescomplement", "sign_magnitude",
    "signmagnitude", "bcd", "bcd_signed", "bcd-signed", "packed_bcd", "packed-bcd", "packed_bcd_signed",
    "packed-bcd-signed", "ieee754_f16", "ieee754-f16", "ieee754_f32", "ieee754-f32", "ieee754_f64",
    "ieee754-f64", "ieee754_f128", "ieee754-f128", "ieee754_1985_f32", "ieee754-1985-f32", "ieee754_1985_f64",
    "ieee754-1985-f64", "ieee754_1985_f80", "ieee754-1985-f80", "mil_std_1750a_f32", "mil-std-1750a-f32",
    "mil_std_1750a_f48", "mil-std-1750a-f48", "ti_f32", "ti-f32", "ti_f40", "ti-f40", "dec_f32", "dec-f32",
    "dec_f64", "dec-f64", "ibm_f32", "ibm-f32", "ibm_f64", "ibm-f64", "utf8", "utf-8", "utf16", "utf-16",
    "utf16le", "utf-16le", "utf16be", "utf-16be", "utf32", "utf-32", "utf32le", "utf-32le", "utf32be",
    "utf-32be", "us_ascii", "us-ascii", "latin1", "iso_8859_1", "iso-8859-1", "windows_1252", "windows-1252",
]
ODD_NAMES = ["", " utf8", "UTF-8", "Utf_8", "IEEE-754", "ieee-754-1985", "latin1", "\u212aibm", "BIG", "Little",
             "network", "big ", "\u0130", "utf\x00", "ti\u0301"]
WIDTHS = [0, 1, 2, 3, 4, 7, 8, 9, 12, 15, 16, 17, 24, 31, 32, 33, 40, 48, 56, 63, 64, 65, 72, 80, 96, 112, 127,
          128, 129, 255, 256, 1000, 2**31, 2**32 - 8, 2**32 - 7, 2**32 - 1, 2**32, 2**33, 2**64, -1]

# ---- the function table: parameters and the exceptions each may raise ------------------------

SIGNED, UNSIGNED, U128, BITS, FLAG, F32, F64, TEXT, BYTES, RECIPE = range(10)
CONVERSION = (TypeError, OverflowError, Hostile)

FUNCTIONS = {}


def _row(name, params, allowed, result):
    FUNCTIONS[name] = (getattr(tessel, name), params, allowed, result)


for _n in ("ones_complement", "twos_complement", "sign_magnitude"):
    _row(f"decode_{_n}", [("value", UNSIGNED), ("bits", BITS)], CONVERSION, int)
    _row(f"encode_{_n}", [("value", SIGNED), ("bits", BITS)], CONVERSION + (ValueError,), int)
for _n in ("unpacked_bcd", "packed_bcd"):
    _row(f"decode_{_n}", [("value", UNSIGNED), ("bits", BITS), ("signed", FLAG)], CONVERSION + (ValueError,), int)
    _row(f"encode_{_n}", [("value", SIGNED), ("bits", BITS), ("signed", FLAG)], CONVERSION + (ValueError,), int)
for _n in ("f16", "f32", "f64"):
    _row(f"decode_ieee754_{_n}", [("value", UNSIGNED)], CONVERSION, float)
_row("decode_ieee754_f128", [("value", U128)], CONVERSION + (ValueError,), float)
_row("encode_ieee754_f16", [("value", F32)], CONVERSION, int)
_row("encode_ieee754_f32", [("value", F32)], CONVERSION, int)
_row("encode_ieee754_f64", [("value", F64)], CONVERSION, int)
for _n in ("ieee754_1985_f32", "ieee754_1985_f64", "ieee754_1985_f80", "mil_std_1750a_f32", "mil_std_1750a_f48",
           "dec_f32", "dec_f64", "ibm_f32", "ibm_f64", "ti_f32", "ti_f40"):
    _row(f"decode_{_n}", [("_value", UNSIGNED)], CONVERSION + (NotImplementedError,), None)
    _row(f"encode_{_n}", [("_value", F32 if _n.endswith("32") else F64)], CONVERSION + (NotImplementedError,), None)
_row("encode_ieee754_f128", [("_value", F64)], CONVERSION + (NotImplementedError,), None)
TEXT_CODECS = ["us_ascii", "iso_8859_1", "windows_1252", "utf8", "utf16", "utf16le", "utf16be", "utf32", "utf32le",
               "utf32be"]
for _n in TEXT_CODECS:
    _row(f"decode_{_n}", [("bytes", BYTES)], (TypeError,) if _n == "iso_8859_1" else (TypeError, ValueError), str)
    charset = _n in ("us_ascii", "iso_8859_1", "windows_1252")
    _row(f"encode_{_n}", [("text", TEXT)], (TypeError, UnicodeEncodeError) + ((ValueError,) if charset else ()), bytes)
_row("pack_parameters", [("recipe", RECIPE)], (TypeError, ValueError, Hostile), bytes)
_row("unpack_parameters", [("packet_bytes", BYTES), ("offset_bits", BITS), ("recipe", RECIPE)],
     (TypeError, OverflowError, ValueError, Hostile), dict)
assert sorted(FUNCTIONS) == sorted(tessel.__all__), set(FUNCTIONS) ^ set(tessel.__all__)
NAMES = sorted(FUNCTIONS)

RECIPE_MESSAGE = re.compile(r"[A-Za-z_][\w.]*: ", re.S)
PANIC_MESSAGE = re.compile(r"range (start|end) index \d+ out of range for slice of length \d+")


class Failure(AssertionError):
    pass


def check(condition, *what):
    if not condition:
        raise Failure(" ".join(str(w) for w in what))


# ---- argument makers -------------------------------------------------------------------------

def some_int(fdp):
    pick = fdp.ConsumeIntInRange(0, 9)
    if pick == 0:
        return fdp.ConsumeIntInRange(-2**63, 2**64)
    if pick == 1:
        return fdp.ConsumeInt(fdp.ConsumeIntInRange(1, 20))  # any size, any sign
    if pick == 2:
        return fdp.PickValueInList([0, 1, -1, 2**31, 2**32 - 1, 2**32, 2**63 - 1, 2**63, -2**63, -2**63 - 1,
                                    2**64 - 1, 2**64, 2**127, 2**128 - 1, 2**128, -2**128])
    if pick == 3:
        return fdp.PickValueInList(WIDTHS)
    return fdp.ConsumeIntInRange(-300, 300)


def some_float(fdp):
    pick = fdp.ConsumeIntInRange(0, 5)
    if pick == 0:
        return struct.unpack("<d", fdp.ConsumeBytes(8).ljust(8, b"\0"))[0]
    if pick == 1:
        return fdp.PickValueInList([math.nan, -math.nan, math.inf, -math.inf, 0.0, -0.0, 65504.0, 65520.0,
                                    1 + 2**-11 + 2**-40, 5e-324, 1e39, 3.4028235e38, 2.0**-24, 2.0**-25])
    if pick == 2:
        return struct.unpack("<f", fdp.ConsumeBytes(4).ljust(4, b"\0"))[0]
    return fdp.ConsumeRegularFloat()


def some_text(fdp, limit=40):
    pick = fdp.ConsumeIntInRange(0, 4)
    n = fdp.ConsumeIntInRange(0, limit)
    if pick == 0:
        return fdp.ConsumeUnicode(n)  # may hold lone surrogates
    if pick == 1:
        return fdp.ConsumeUnicodeNoSurrogates(n)
    if pick == 2:
        return "".join(chr(fdp.ConsumeIntInRange(0, 0x10FFFF)) for _ in range(n % 8))
    if pick == 3:
        return fdp.ConsumeBytes(n).decode("latin-1")
    return "".join(fdp.PickValueInList(["a", "\u00e9", "\u20ac", "\U0001F600", "\ud800", "\udc00", "\x81", "\ufeff",
                                        "\u0000", "\u00ef\u00bb\u00bf", "\u00fe\u00ff"]) for _ in range(n % 6))


def argument(fdp, kind, recipe_hint=None):
    """An argument for a parameter of `kind`: usually of its kind, often not."""
    if fdp.ConsumeProbability() < 0.15:
        return hostile(fdp, recipe_hint)
    if kind in (SIGNED, UNSIGNED, U128, BITS):
        pick = fdp.ConsumeIntInRange(0, 9)
        v = some_int(fdp)
        if pick == 0:
            return Index(v)
        if pick == 1:
            return IntSub(v)
        if pick == 2:
            return bool(v & 1)
        return v
    if kind == FLAG:
        return fdp.PickValueInList([True, False, numpy.bool_(True), numpy.bool_(False), 0, 1, None, "True"])
    if kind in (F32, F64):
        pick = fdp.ConsumeIntInRange(0, 7)
        if pick == 0:
            return some_int(fdp)
        if pick == 1:
            return Float(some_float(fdp))
        if pick == 2:
            return FloatSub(some_float(fdp))
        return some_float(fdp)
    if kind == TEXT:
        t = some_text(fdp)
        return StrSub(t) if fdp.ConsumeProbability() < 0.1 else t
    if kind == BYTES:
        b = fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 64))
        pick = fdp.ConsumeIntInRange(0, 9)
        if pick == 0:
            return bytearray(b)
        if pick == 1:
            return memoryview(b)
        if pick == 2:
            return BytesSub(b)
        return b
    if kind == RECIPE:
        return recipe(fdp, packing=fdp.ConsumeBool())[0]
    raise AssertionError(kind)


def hostile(fdp, recipe_hint=None):
    pick = fdp.ConsumeIntInRange(0, 17)
    if pick == 0:
        return None
    if pick == 1:
        return RaisingIndex()
    if pick == 2:
        return BadIndex()
    if pick == 3:
        return LyingIndex([some_int(fdp) for _ in range(3)])
    if pick == 4:
        return Float(fdp.PickValueInList([math.nan, "x", 1, None]))
    if pick == 5:
        return some_text(fdp, 8)
    if pick == 6:
        return fdp.ConsumeBytes(4)
    if pick == 7:
        return [some_int(fdp) for _ in range(fdp.ConsumeIntInRange(0, 4))]
    if pick == 8:
        return bytearray(fdp.ConsumeBytes(4))
    if pick == 9:
        return memoryview(fdp.ConsumeBytes(4))
    if pick == 10:
        return numpy.bool_(fdp.ConsumeBool())
    if pick == 11:
        return MutatingIndex(recipe_hint if recipe_hint is not None else [], fdp.ConsumeIntInRange(0, 300))
    if pick == 12:
        return {"name": "x"}
    if pick == 13:
        return object()
    if pick == 14:
        return RaisingHash()
    if pick == 15:
        return some_float(fdp)
    if pick == 16:
        return numpy.int64(fdp.ConsumeIntInRange(-5, 300))
    return StrSub(some_text(fdp, 8))


# ---- recipes ---------------------------------------------------------------------------------

def name_text(fdp, names):
    pick = fdp.ConsumeIntInRange(0, 11)
    if pick == 0:
        return fdp.PickValueInList(ODD_NAMES)
    if pick == 1:
        return fdp.PickValueInList(names).upper()
    if pick == 2:
        return StrSub(fdp.PickValueInList(names))
    if pick == 3:
        # The same text in a new str object, not the interned literal.
        return "".join(list(fdp.PickValueInList(names)))
    return fdp.PickValueInList(names)


def value_for(fdp, encoding, bits, rec):
    enc = encoding.lower() if isinstance(encoding, str) else ""
    pick = fdp.ConsumeIntInRange(0, 9)
    if pick == 0:
        return hostile(fdp, rec)
    if enc == "binary":
        b = fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 12))
        return fdp.PickValueInList([b, bytearray(b), list(b), tuple(b), memoryview(b), [300, -1], "ab", BytesSub(b)])
    if enc.startswith(("utf", "us", "iso", "windows")):
        return some_text(fdp, 12)
    if enc.startswith(("ieee", "mil", "ti", "dec", "ibm")):
        return some_float(fdp) if pick < 8 else Float(some_float(fdp))
    if isinstance(bits, int) and 0 < bits <= 64 and pick < 7:
        return fdp.ConsumeIntInRange(-(1 << (bits - 1)), (1 << bits) - 1)
    return some_int(fdp) if pick < 9 else Index(some_int(fdp))


def recipe_item(fdp, packing, rec):
    names = ENCODE_NAMES if packing else DECODE_NAMES
    if fdp.ConsumeProbability() < 0.04:
        return fdp.PickValueInList([[], "item", 5, None, (("name", "x"),)])
    cls = dict
    pick = fdp.ConsumeIntInRange(0, 29)
    if pick == 0:
        cls = HookedDict
    encoding = name_text(fdp, names) if fdp.ConsumeProbability() > 0.03 else hostile(fdp, rec)
    bits = fdp.PickValueInList(WIDTHS[:24]) if fdp.ConsumeProbability() < 0.8 else (
        fdp.PickValueInList(WIDTHS) if fdp.ConsumeBool() else hostile(fdp, rec))
    item = cls()
    # Key order varies: readers must not depend on it.
    keys = list(KEYS)
    if fdp.ConsumeProbability() < 0.2:
        keys = keys[::-1]
    for key in keys:
        if fdp.ConsumeProbability() < 0.03:
            continue  # missing key
        if key == "name":
            v = fdp.PickValueInList(["a", "b", "temp", "", "\u00e9", "dup"]) if fdp.ConsumeProbability() > 0.05 else \
                hostile(fdp, rec)
            if rec is not None and fdp.ConsumeProbability() < 0.1:
                v = ReleaseEmpties(fdp.PickValueInList(["a", "b", "c"]))
                v.targets = rec
        elif key == "encoding":
            v = encoding
        elif key == "bits":
            v = bits
            if fdp.ConsumeProbability() < 0.08:
                v = SelfEmptying(item, fdp.ConsumeIntInRange(0, 24))
        elif key == "byte_order":
            v = name_text(fdp, ["big", "little"]) if fdp.ConsumeProbability() > 0.05 else hostile(fdp, rec)
        elif key == "reverse_bits":
            v = fdp.ConsumeBool() if fdp.ConsumeProbability() > 0.05 else hostile(fdp, rec)
        elif key == "offset_bits":
            if fdp.ConsumeProbability() < 0.75:
                continue
            v = fdp.ConsumeIntInRange(0, 200) if fdp.ConsumeProbability() < 0.8 else (
                fdp.PickValueInList(WIDTHS) if fdp.ConsumeBool() else hostile(fdp, rec))
        else:
            if not packing and fdp.ConsumeBool():
                continue
            v = value_for(fdp, encoding, bits, rec)
        # Keys: usually the interned literal, sometimes an equal str of another kind.
        k = key
        kp = fdp.ConsumeIntInRange(0, 39)
        if kp == 0:
            k = StrSub(key)
        elif kp == 1:
            k = "".join(list(key))
        elif kp == 2:
            k = LyingStr(key)
        elif kp == 3:
            k = RaisingStr(key)
        dict.__setitem__(item, k, v)
    if fdp.ConsumeProbability() < 0.05:
        dict.__setitem__(item, fdp.PickValueInList([7, "extra", ("t",), 2.5, "Bits"]), object())
    return item


def recipe(fdp, packing):
    """A recipe, and whether it may be hostile (not comparable across copies)."""
    rec = []
    count = fdp.ConsumeIntInRange(0, 6)
    if fdp.ConsumeProbability() < 0.02:
        count = fdp.ConsumeIntInRange(100, 400)  # hundreds of items
    for _ in range(count):
        rec.append(recipe_item(fdp, packing, rec))
    pick = fdp.ConsumeIntInRange(0, 19)
    if pick == 0:
        return tuple(rec), rec
    if pick == 1:
        return Sequence(rec, fdp.ConsumeIntInRange(-1, 2 * len(rec) + 1), fdp.ConsumeIntInRange(0, 2 * len(rec) + 1)), rec
    if pick == 2:
        return fdp.PickValueInList(["recipe", {"name": "x"}, 5, None, (i for i in rec), b"ab"]), rec
    return rec, rec


def largest(o):
    """The largest integer a bit-count object can convert to, or None if it cannot convert."""
    if isinstance(o, (Index, Float)):
        return largest(o.value)
    if isinstance(o, LyingIndex):
        return max((v for v in o.values if isinstance(v, int)), default=None)
    if isinstance(o, (MutatingIndex, SelfEmptying)):
        return o.value
    if isinstance(o, (int, numpy.integer)):
        return int(o)
    return None


def raw_get(item, key):
    """`item[key]` as a lookup by text, never running a key's own __eq__ or __hash__; or None."""
    for k, v in dict.items(item):
        if isinstance(k, str) and str.__eq__(k, key):
            return v, True
    return None, False


def packet_extent(recipe_object):
    """An upper bound of the packet length the sizing pass would find, in bits. Callers skip
    packing where it would build a packet of megabytes: correct, but slow under the sanitizers."""
    items = recipe_object.items if isinstance(recipe_object, Sequence) else recipe_object
    if not isinstance(items, (list, tuple)):
        return 0
    end = 0
    for it in items:
        if not isinstance(it, dict):
            return end
        bits = largest(raw_get(it, "bits")[0])
        offset_value, has_offset = raw_get(it, "offset_bits")
        offset = largest(offset_value) if has_offset else end
        if bits is None or offset is None or bits < 0 or offset < 0:
            return end  # the sizing pass stops here
        end = max(end, offset + bits, end + bits)
    return end


# ---- calling and checking --------------------------------------------------------------------

def objects_of(args, kwargs):
    """The objects a call was given, and the objects inside recipe items, for reference counts."""
    out = []
    seen = set()

    def add(o, depth=0):
        if id(o) in seen or depth > 3:
            return
        seen.add(id(o))
        out.append(o)
        if isinstance(o, (list, tuple)) and len(o) < 50:
            for x in o:
                add(x, depth + 1)
        elif isinstance(o, dict):
            for k, v in dict.items(o):
                add(k, depth + 1)
                if type(k) is str and k == "name" and type(v) is str:
                    # An item's name keys unpack_parameters' results; a compiled layout holds it
                    # for as long as the layout lives, which is not a leak of the call's.
                    continue
                add(v, depth + 1)
        elif isinstance(o, Sequence):
            add(o.items, depth + 1)

    for a in list(args) + list(kwargs.values()):
        add(a)
    return out


def refcounts(objs):
    return [sys.getrefcount(o) for o in objs]


def call(name, args, kwargs):
    """Calls `name`; returns ("ok", result) or ("raised", exception). Checks the exception's type
    and the result's type against the function's contract."""
    global PANIC
    function, params, allowed, result_type = FUNCTIONS[name]
    try:
        result = function(*args, **kwargs)
    except BaseException as e:  # noqa: B036: PanicException is a BaseException on purpose
        kind = type(e)
        if kind.__name__ == "PanicException":
            check(name == "unpack_parameters", name, "raised PanicException:", e)
            check(not issubclass(kind, Exception), "PanicException must not derive from Exception")
            check(PANIC_MESSAGE.fullmatch(str(e)), "panic text:", repr(str(e)))
            PANIC = kind
            return "raised", e
        if kind in (KeyboardInterrupt, SystemExit, MemoryError, SystemError, RecursionError):
            raise Failure(f"{name}{tuple(args)!r:.300} {kwargs!r:.200} raised {kind.__name__}: {e}") from e
        check(isinstance(e, allowed), name, "raised", kind.__name__, repr(e)[:300], "args", repr(args)[:300])
        if isinstance(e, ValueError) and kind is not ValueError:
            # Only a str argument's own UTF-8 conversion raises a subclass (UnicodeEncodeError).
            check(kind is UnicodeEncodeError and any(k == TEXT for _, k in params), name, "raised", kind.__name__)
        if name in ("pack_parameters", "unpack_parameters") and kind is ValueError:
            check(RECIPE_MESSAGE.match(str(e)), name, "ValueError without the type prefix:", repr(str(e))[:200])
            check(e.__cause__ is None and e.__context__ is None, name, "kept the inner exception")
        if kind is TypeError:
            check(str(e) != "", name, "TypeError without a message")
        return "raised", e
    check(result_type is not None, name, "returned instead of raising NotImplementedError")
    check(type(result) is result_type, name, "returned", type(result).__name__)
    if result_type is int and name.startswith("encode_"):
        check(0 <= result < 2**64, name, "pattern out of range", result)
    if result_type is int and name.startswith("decode_"):
        check(-2**63 <= result < 2**63, name, "value out of range", result)
    return "ok", result


def checked_call(name, args, kwargs):
    """`call`, plus: the arguments' reference counts are unchanged by the call."""
    objs = objects_of(args, kwargs)
    if any(isinstance(o, MUTATORS) for o in objs):
        # The call empties recipe items, so counts change by design; and the release of a value
        # in mid-call must stay possible, so this frame holds none of them.
        del objs
        return call(name, args, kwargs)
    before = refcounts(objs)
    outcome = call(name, args, kwargs)
    after = refcounts(objs)
    if before != after:
        # Drop the result or the exception and its traceback, which may hold an argument; what it
        # said is kept for the caller.
        outcome = ("seen", outcome_key(outcome))
        after = refcounts(objs)
    if before != after:
        gc.collect(0)  # and any reference cycle the call's exceptions made
        after = refcounts(objs)
    if before != after:
        gc.collect()
        after = refcounts(objs)
        changed = [(type(o).__name__, b, a) for o, b, a in zip(objs, before, after) if a != b]
        check(not changed, name, "changed reference counts:", changed)
    return outcome


def outcome_key(outcome):
    state, value = outcome
    if state == "seen":
        return value
    if state == "ok":
        return ("ok", repr(value))
    return ("raised", type(value).__name__, str(value))


def memory_stable(name, args, kwargs):
    """Repeated calls must not grow the heap. Caches and free lists settle within a few calls;
    a leak of even 16 bytes a call grows every batch of 64 calls by a kilobyte."""
    if _allocated_bytes is None:
        return
    for _ in range(16):
        call(name, args, kwargs)
    growths = []
    gc.collect()
    for _ in range(3):
        start = _allocated_bytes()
        for _ in range(64):
            call(name, args, kwargs)
        gc.collect(0)  # the calls' own reference cycles (exceptions and their frames), all young
        growths.append(_allocated_bytes() - start)
        if growths[-1] < 1024:
            return
    raise Failure(f"{name}{tuple(args)!r:.300}: heap grew by {growths} bytes in three batches of 64 calls")


# ---- scenarios -------------------------------------------------------------------------------

def any_call(fdp):
    name = fdp.PickValueInList(NAMES)
    _, params, _, _ = FUNCTIONS[name]
    values = [argument(fdp, kind) for _, kind in params]
    args, kwargs = [], {}
    mode = fdp.ConsumeIntInRange(0, 9)
    if mode <= 5:
        args = values
    elif mode <= 7:
        split = fdp.ConsumeIntInRange(0, len(values))
        args = values[:split]
        kwargs = {p: v for (p, _), v in zip(params[split:], values[split:])}
    elif mode == 8:
        args = values + [None] * fdp.ConsumeIntInRange(0, 2)  # too many
        if fdp.ConsumeBool():
            kwargs = {fdp.PickValueInList([p for p, _ in params] + ["txt", "Value", "recipes"]): 1}
    else:
        args = values[:fdp.ConsumeIntInRange(0, len(values))]  # too few
    if name == "pack_parameters" and packet_extent(values[0]) > 1 << 23:
        return
    outcome = checked_call(name, args, kwargs)
    if _inputs % 256 == 0:  # a sample, independent of the data (the fuzzer would steer toward it)
        memory_stable(name, args, kwargs)
    return outcome


def round_trips(fdp):
    pick = fdp.ConsumeIntInRange(0, 6)
    if pick == 0:
        enc = fdp.PickValueInList(["twos_complement", "ones_complement", "sign_magnitude"])
        bits = fdp.ConsumeIntInRange(2, 64)
        low = -(1 << (bits - 1)) + (0 if enc == "twos_complement" else 1)
        v = fdp.ConsumeIntInRange(low, (1 << (bits - 1)) - 1)
        p = getattr(tessel, f"encode_{enc}")(v, bits)
        check(getattr(tessel, f"decode_{enc}")(p, bits) == v, enc, v, bits)
    elif pick == 1:
        kind = fdp.PickValueInList(["packed_bcd", "unpacked_bcd"])
        signed = fdp.ConsumeBool()
        bits = fdp.ConsumeIntInRange(8, 64)
        digits = (bits // 4 - signed) if kind == "packed_bcd" else bits // 8
        digits = min(digits, 18)
        top = 10**digits - 1
        v = fdp.ConsumeIntInRange(-top if signed else 0, top)
        p = getattr(tessel, f"encode_{kind}")(v, bits, signed)
        check(getattr(tessel, f"decode_{kind}")(p, bits, signed) == v, kind, v, bits, signed)
    elif pick == 2:
        x = some_float(fdp)
        p64 = tessel.encode_ieee754_f64(x)
        check(p64 == struct.unpack("<Q", struct.pack("<d", x))[0], "binary64 pattern", x)
        back = tessel.decode_ieee754_f64(p64)
        check(struct.pack("<d", back) == struct.pack("<d", x), "binary64 round trip", x)
        if not math.isnan(x) and abs(x) <= 3.4028234663852886e38:
            x32 = struct.unpack("<f", struct.pack("<f", x))[0]
            p32 = tessel.encode_ieee754_f32(x)
            check(p32 == struct.unpack("<I", struct.pack("<f", x))[0], "binary32 pattern", x)
            check(tessel.decode_ieee754_f32(p32) == x32, "binary32 round trip", x)
            # binary16 rounds the binary32 value once more; struct rounds that value once.
            try:
                want16 = struct.unpack("<H", struct.pack("<e", x32))[0]
            except (OverflowError, struct.error):
                want16 = None
            if want16 is not None:
                check(tessel.encode_ieee754_f16(x) == want16, "binary16 pattern", x)
                half = tessel.decode_ieee754_f16(want16)
                check(struct.pack("<e", half) == struct.pack("<H", want16), "binary16 round trip", x)
    elif pick == 3:
        codec = fdp.PickValueInList(TEXT_CODECS)
        text = some_text(fdp)
        try:
            text.encode("utf-8")
        except UnicodeEncodeError:
            return
        try:
            data = getattr(tessel, f"encode_{codec}")(text)
        except ValueError:
            check(codec in ("us_ascii", "iso_8859_1", "windows_1252"), codec, "refused", repr(text))
            return
        oracle = {"utf8": "utf-8", "utf16le": "utf-16-le", "utf16be": "utf-16-be", "utf32le": "utf-32-le",
                  "utf32be": "utf-32-be", "us_ascii": "ascii", "iso_8859_1": "latin-1"}.get(codec)
        if oracle:
            check(data == text.encode(oracle), codec, "differs from the codecs module on", repr(text))
        if codec == "windows_1252" and (data[:3] == b"\xef\xbb\xbf" or data[:2] in (b"\xfe\xff", b"\xff\xfe")):
            return  # a leading byte-order mark decodes as UTF-8 or UTF-16
        check(getattr(tessel, f"decode_{codec}")(data) == text, codec, "round trip", repr(text))
    else:
        aligned_recipe(fdp)


ALIGNED = [  # (encode-side name, decode-side name, widths)
    ("unsigned", "unsigned", None), ("twos_complement", "twos_complement", None),
    ("ones_complement", "ones_complement", None), ("sign_magnitude", "sign_magnitude", None),
    ("bcd", "bcd", None), ("bcd_signed", "bcd_signed", None), ("packed_bcd", "packed_bcd", None),
    ("packed_bcd_signed", "packed_bcd_signed", None), ("ieee754", "ieee754_f16", [16]),
    ("ieee754", "ieee754_f32", [32]), ("ieee754", "ieee754_f64", [64]),
    ("utf8", "utf8", "text"), ("utf16le", "utf16le", "text"), ("utf16be", "utf16be", "text"),
    ("utf32be", "utf32be", "text"), ("utf32le", "utf32le", "text"), ("us_ascii", "us_ascii", "text"),
    ("iso_8859_1", "iso_8859_1", "text"), ("utf16", "utf16", "text"), ("utf32", "utf32", "text"),
]


def aligned_value(fdp, enc, bits):
    if enc == "unsigned":
        return fdp.ConsumeIntInRange(0, (1 << bits) - 1)
    if enc in ("twos_complement", "ones_complement", "sign_magnitude"):
        low = -(1 << (bits - 1)) + (0 if enc == "twos_complement" else 1)
        return fdp.ConsumeIntInRange(low, (1 << (bits - 1)) - 1)
    if enc in ("bcd", "bcd_signed"):
        top = 10 ** (bits // 8) - 1
        return fdp.ConsumeIntInRange(-top if enc == "bcd_signed" else 0, top)
    top = 10 ** min(bits // 4 - (enc == "packed_bcd_signed"), 18) - 1
    return fdp.ConsumeIntInRange(-top if enc == "packed_bcd_signed" else 0, top)


def aligned_recipe(fdp):
    """Byte-aligned fields of whole-byte widths come back exactly as packed."""
    rec, unrec, want = [], [], {}
    position = 0
    for i in range(fdp.ConsumeIntInRange(1, 8)):
        enc, dec, widths = fdp.PickValueInList(ALIGNED)
        order = fdp.PickValueInList(["big", "little"])
        reverse = fdp.ConsumeBool()
        if widths == "text":
            text = some_text(fdp, 10)
            try:
                data = getattr(tessel, f"encode_{enc}")(text)
            except (ValueError, UnicodeEncodeError):
                continue
            bits, value, reverse = 8 * len(data), text, False
        elif widths:
            bits = widths[0]
            value = some_float(fdp)
            if bits == 16:
                value = tessel.decode_ieee754_f16(tessel.encode_ieee754_f16(value))
            elif bits == 32:
                value = tessel.decode_ieee754_f32(tessel.encode_ieee754_f32(value))
        else:
            lowest = {"bcd": 8, "bcd_signed": 8, "packed_bcd": 8, "packed_bcd_signed": 8, "sign_magnitude": 8}
            bits = 8 * fdp.ConsumeIntInRange(lowest.get(enc, 8) // 8, 8)
            value = aligned_value(fdp, enc, bits)
        name = f"f{i}"
        item = {"name": name, "encoding": enc, "bits": bits, "byte_order": order, "reverse_bits": reverse,
                "value": value}
        if fdp.ConsumeBool():
            position += 8 * fdp.ConsumeIntInRange(0, 3)
            item["offset_bits"] = position
        rec.append(item)
        unrec.append(dict(item, encoding=dec))
        want[name] = value
        position += bits
    packet = tessel.pack_parameters(rec)
    got = tessel.unpack_parameters(packet, 0, unrec)
    check(list(got) == list(want), "unpacked names", list(got), list(want))
    for name, value in want.items():
        if isinstance(value, float):
            same = struct.pack("<d", got[name]) == struct.pack("<d", value) or (
                math.isnan(value) and math.isnan(got[name]))
        else:
            same = got[name] == value
        check(same, "aligned round trip of", name, repr(value), "gave", repr(got[name]), "recipe", rec)


def mutate(fdp, rec, packing):
    """Changes the recipe in place, as a caller may between two calls."""
    if not rec:
        rec.append(recipe_item(fdp, packing, rec))
        return
    i = fdp.ConsumeIntInRange(0, len(rec) - 1)
    it = rec[i]
    pick = fdp.ConsumeIntInRange(0, 9)
    if pick == 0 or not isinstance(it, dict):
        rec[i] = recipe_item(fdp, packing, rec)
    elif pick == 1:
        rec.append(copy.copy(it))
    elif pick == 2:
        del rec[i]
    elif pick == 3:
        rec.reverse()
    else:
        key = fdp.PickValueInList(KEYS)
        change = fdp.ConsumeIntInRange(0, 4)
        if change == 0:
            dict.pop(it, key, None)
        elif key == "bits" or key == "offset_bits":
            dict.__setitem__(it, key, fdp.PickValueInList(WIDTHS[:24]))
        elif key == "encoding":
            dict.__setitem__(it, key, name_text(fdp, ENCODE_NAMES if packing else DECODE_NAMES))
        elif key == "byte_order":
            dict.__setitem__(it, key, name_text(fdp, ["big", "little"]))
        elif key == "reverse_bits":
            dict.__setitem__(it, key, not dict.get(it, key, False))
        elif key == "value":
            dict.__setitem__(it, key, value_for(fdp, dict.get(it, "encoding", ""), dict.get(it, "bits", 8), []))
        else:
            dict.__setitem__(it, key, fdp.PickValueInList(["a", "b", "dup", StrSub("a")]))


def plain(o, depth=0):
    """Whether `o` is made of objects whose answers cannot change between calls."""
    if depth > 3:
        return False
    if isinstance(o, (Index, Float)):
        return plain(o.value, depth + 1)
    if isinstance(o, (RaisingIndex, BadIndex)):
        return True
    if isinstance(o, (LyingIndex, LyingStr, RaisingStr, RaisingHash, Sequence) + MUTATORS):
        return False
    if isinstance(o, (list, tuple)):
        return all(plain(x, depth + 1) for x in o)
    if isinstance(o, dict):
        return all(plain(k, depth + 1) and plain(v, depth + 1) for k, v in dict.items(o))
    return not isinstance(o, (memoryview, type(x for x in ())))


def reuse(fdp):
    """A recipe reused across calls and changed in place gives what a fresh copy gives."""
    packing = fdp.ConsumeBool()
    rec = [recipe_item(fdp, packing, None) for _ in range(fdp.ConsumeIntInRange(0, 6))]
    packet = fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 40))
    base = fdp.ConsumeIntInRange(0, 24)
    if not plain(rec):
        return
    for _ in range(fdp.ConsumeIntInRange(1, 4)):
        if packing:
            if packet_extent(rec) > 1 << 23:
                return
            args = lambda r: (r,)  # noqa: E731
            name = "pack_parameters"
        else:
            args = lambda r: (packet, base, r)  # noqa: E731
            name = "unpack_parameters"
        fresh = copy.deepcopy(rec)
        first = outcome_key(checked_call(name, args(rec), {}))
        again = outcome_key(checked_call(name, args(rec), {}))
        other = outcome_key(checked_call(name, args(fresh), {}))
        check(first == again, name, "gave", again, "the second time, first", first, "recipe", rec)
        check(first == other, name, "gave", first, "but a fresh copy gave", other, "recipe", rec)
        mutate(fdp, rec, packing)
        if not plain(rec):
            return


def fresh(text):
    """A str object of its own, freed as soon as its item lets go of it."""
    return "".join(list(text + "\0"))[:-1]


def releases(fdp):
    """Items whose values are released in mid-call, emptying other items: each item must be read
    as it stood when the call reached it, whatever a release does to it afterwards."""
    packing = fdp.ConsumeBool()
    count = fdp.ConsumeIntInRange(1, 6)
    rec = []
    for i in range(count):
        encoding = fdp.PickValueInList(["unsigned", "utf8", "twos_complement", "ieee754" if packing else "ieee754_f32"])
        bits = 32 if encoding.startswith("ieee") else 8 * fdp.ConsumeIntInRange(0, 2)
        item = {"name": fresh(f"f{i}"), "encoding": fresh(encoding), "bits": bits, "byte_order": fresh("big"),
                "reverse_bits": fdp.ConsumeBool()}
        if fdp.ConsumeBool():
            item["offset_bits"] = int(fresh(str(8 * fdp.ConsumeIntInRange(0, 4) + 1000))) - 1000
        item["value"] = fresh("ab") if encoding == "utf8" else float(fdp.ConsumeIntInRange(0, 99)) + 0.5 \
            if encoding.startswith("ieee") else int(fresh(str(fdp.ConsumeIntInRange(0, 100) + 1000))) - 1000
        rec.append(item)
    for item in rec:
        # Which of its values lets go of what, and when.
        targets = [t for t in rec if t is not item and fdp.ConsumeBool()] or rec
        slot = fdp.ConsumeIntInRange(0, 5)
        if slot == 0:
            name = ReleaseEmpties(item["name"])
            name.targets = targets
            item["name"] = name
        elif slot == 1 and item["encoding"] != "utf8":
            item["value"] = ReleasingValue(item["value"] if isinstance(item["value"], int) else 1, targets)
        if fdp.ConsumeBool():
            item["bits"] = SelfEmptying(item, item["bits"])
    packet = fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 48))
    if packing:
        call("pack_parameters", [rec], {})
    else:
        call("unpack_parameters", [packet, fdp.ConsumeIntInRange(0, 16), rec], {})


SCENARIOS = [any_call] * 6 + [round_trips] * 2 + [reuse] * 2 + [releases]


_inputs = 0


def TestOneInput(data):
    # The collector runs only here, between inputs: run inside a call, it could free cycles of
    # earlier inputs that hold an argument, and the argument's count would drop for no fault.
    global _inputs
    _inputs += 1
    if _inputs % 500 == 0:
        gc.collect()
    fdp = atheris.FuzzedDataProvider(data)
    try:
        fdp.PickValueInList(SCENARIOS)(fdp)
    except Failure:
        traceback.print_exc(file=_REPORT)
        raise


def main():
    gc.disable()
    argv = list(sys.argv)
    # libFuzzer starts its merge children with argv[0]; fuzz/run names its wrapper there.
    argv[0] = os.environ.get("FUZZ_ARGV0", argv[0])
    atheris.Setup(argv, TestOneInput)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
