"""Recipes called again: a recipe seen before answers exactly as a copy of it that no call has seen.

pack_parameters and unpack_parameters keep compiled layouts of the recipes they are given, keyed
on the identity of the recipe and of its item dicts, and the interpreter tells them (through a
dict watcher) when an item changes or goes. So every test here calls a recipe, changes it in place
or drops it, calls again, and compares the answer with that of a copy.

Two copies serve as the reference. copy.deepcopy gives a recipe of new objects, which no layout
can be kept for, unless a layout outlived the recipe whose freed addresses the copy now occupies.
A mirror of a list subclass and dict subclasses is never given a layout at all (only exact lists,
tuples and dicts are), so it answers as the first call on any recipe does; the deep copy is held
to it as well.
"""
import copy
import gc
import os
import random
import struct
import subprocess
import sys
import textwrap
import threading
import time
import weakref

import pytest
from hypothesis import settings
from hypothesis import strategies as st
from hypothesis.stateful import (RuleBasedStateMachine, initialize, invariant, precondition, rule,
                                 run_state_machine_as_test)

import tessel
from native_memory import counters, growth
from recipes import item, panic_type

pack = tessel.pack_parameters
unpack = tessel.unpack_parameters


PANIC = panic_type()
assert PANIC.__name__ == "PanicException"


class Recipe(list):
    """A recipe of a list subclass: never given a layout."""


class Item(dict):
    """An item of a dict subclass: never given a layout, and read like a dict."""


class Key(str):
    """An item key of a str subclass that keeps str's equality."""

    __hash__ = str.__hash__


class Text(str):
    """A layout value of a str subclass."""


class Int(int):
    """A layout value of an int subclass."""


class Index:
    """A number read through __index__, which runs Python code on every read."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return f"Index({self.value})"


def fresh(text):
    """The same text in a str object of its own (of two or more characters; a single character is
    the interpreter's own), as a program that builds keys at run time has. Made without a list,
    so that the list free list is left as it was."""
    return text[:1] + text[1:]


def mirror(recipe):
    """The recipe rebuilt of a list subclass and dict subclasses, items shared as in the recipe."""
    made = {}

    def copied(it):
        if not isinstance(it, dict):
            return it
        if id(it) not in made:
            made[id(it)] = Item(it)
        return made[id(it)]

    return Recipe(copied(it) for it in recipe)


def comparable(result):
    """A result in a form that compares exactly: floats by their bits (NaN, -0.0), dicts in order."""
    if type(result) is float:
        return "float", struct.pack("<d", result)
    if type(result) is dict:
        return "dict", [(type(k), k, comparable(v)) for k, v in result.items()]
    return type(result), result


def outcome(call, *args):
    try:
        return comparable(call(*args))
    except (Exception, PANIC) as e:
        return type(e), str(e), type(e.__cause__), type(e.__context__)


# A packet that the base recipe below reads whole, ASCII after it so that text fields decode.
PACKET = b"\xff\xfe\x83\x00ok" + bytes(range(0x40, 0x80))
SHORT = b"\xff\xfe"
# (packet, base offset) for the unpack side of each comparison.
READS = [(PACKET, 0), (PACKET, 8)]


def answers(recipe, reads=READS):
    return (outcome(pack, recipe),) + tuple(outcome(unpack, packet, base, recipe) for packet, base in reads)


def assert_answers_as_a_copy(recipe, reads=READS, times=3):
    """Calls the recipe `times` times over (every call after the first may use a kept layout) and
    holds each answer to the copies'; returns the answers."""
    reference = answers(mirror(recipe), reads)
    assert answers(copy.deepcopy(recipe), reads) == reference, "a deep copy answers otherwise than the mirror"
    for n in range(times):
        assert answers(recipe, reads) == reference, f"call {n + 1} on the recipe itself"
    return reference


# ---- each change listed in the cache's contract, one by one ----------------------------------

def base_items():
    # Every str a new object, so that an item changed or dropped frees it: a layout that kept a
    # borrowed pointer past the change would read freed memory.
    return [item(fresh("temp"), fresh("twos_complement"), 16, order=fresh("big"), value=-2),
            item(fresh("mode"), fresh("unsigned"), 8, order=fresh("big"), value=3),
            item(fresh("label"), fresh("utf8"), 16, order=fresh("big"), at=32, value=fresh("ok"))]


def put(i, key, value):
    def step(r):
        r[i][key] = value
    return step


def delete(i, key):
    def step(r):
        del r[i][key]
    return step


def method(i, name, *args, **kwargs):
    def step(r):
        getattr(r[i], name)(*args, **kwargs)
    return step


def respell(i, key, *value):
    """The key taken out and put back as an equal str of its own, with its value or a new one."""
    def step(r):
        old = r[i].pop(key)
        r[i][fresh(key)] = value[0] if value else old
    return step


def in_place_or(i, other):
    def step(r):
        d = r[i]
        d |= other
    return step


def str_subclass_key(i, key, value):
    def step(r):
        del r[i][key]
        r[i][Key(key)] = value
    return step


def clear_and_refill(i, refill):
    def step(r):
        r[i].clear()
        r[i].update(refill())  # an emptied dict takes an exact dict's keys as a clone
    return step


def replaced_then_old_changed():
    kept = []

    def replace(r):
        kept.append(r[1])
        r[1] = dict(r[1])

    def change_old(r):
        kept[0]["bits"] = 16

    return [replace, change_old]


def lst(change):
    """A step on the recipe's sequence of items (a tuple recipe is rebuilt with the change)."""
    change.on_sequence = True
    return change


LAYOUT_KEYS = ["name", "encoding", "bits", "byte_order", "reverse_bits"]

MUTATIONS = [
    # (what changes, steps with calls between them, whether the answers change)
    ("bits set", [put(1, "bits", 16)], True),
    ("bits set to 0", [put(1, "bits", 0)], True),
    ("bits negative", [put(1, "bits", -1)], True),
    ("bits past 32 bits", [put(1, "bits", 2**32)], True),
    ("bits as a float", [put(1, "bits", 8.0)], True),
    ("bits as a str", [put(1, "bits", "8")], True),
    ("bits as a bool", [put(1, "bits", True)], True),
    ("bits of an int subclass", [put(1, "bits", Int(16))], True),
    ("bits read through __index__", [put(1, "bits", Index(16))], True),
    ("encoding set", [put(1, "encoding", "twos_complement")], True),
    ("encoding in another letter case", [put(1, "encoding", "UNSIGNED")], False),
    ("encoding of a str subclass", [put(1, "encoding", Text("twos_complement"))], True),
    ("encoding unknown", [put(1, "encoding", "foo")], True),
    ("encoding for packing only", [put(0, "encoding", "ieee754")], True),
    ("encoding for unpacking only", [put(0, "encoding", "ieee754_f16")], True),
    ("encoding not a str", [put(1, "encoding", 5)], True),
    ("byte_order set", [put(0, "byte_order", "little")], True),
    ("byte_order refused", [put(0, "byte_order", "middle")], True),
    ("reverse_bits set", [put(1, "reverse_bits", True)], True),
    ("reverse_bits as an int", [put(1, "reverse_bits", 1)], True),
    ("offset_bits added", [put(1, "offset_bits", 4)], True),
    ("offset_bits changed", [put(2, "offset_bits", 24)], True),
    ("offset_bits deleted", [delete(2, "offset_bits")], True),
    ("offset_bits None", [put(2, "offset_bits", None)], True),
    ("offset_bits at the last position", [put(2, "offset_bits", 2**32 - 1)], True),
    ("name set", [put(1, "name", "temp")], True),
    ("name not a str", [put(1, "name", 5)], True),
    *[(f"{key} re-spelled", [respell(1, key)], False) for key in LAYOUT_KEYS + ["value"]],
    ("offset_bits re-spelled", [respell(2, "offset_bits")], False),
    ("bits re-spelled with a new value", [respell(1, "bits", 16)], True),
    ("encoding re-spelled with a new value", [respell(1, "encoding", "twos_complement")], True),
    ("bits set through an equal str", [put(1, fresh("bits"), 16)], True),
    ("bits under a str subclass key", [str_subclass_key(1, "bits", 16)], True),
    ("a key that is not a str added", [put(1, 7, "x")], False),
    ("a key that is not a str added, then bits set", [put(1, 7, "x"), put(1, "bits", 16)], True),
    ("a key that is not a str added and removed again",
     [put(1, 7, "x"), put(1, "bits", 16), delete(1, 7), put(1, "bits", 32)], True),
    *[(f"{key} deleted", [delete(1, key)], True) for key in LAYOUT_KEYS + ["value"]],
    ("update", [method(1, "update", {"bits": 16, "encoding": "twos_complement"})], True),
    ("update by keywords", [method(1, "update", bits=4)], True),
    ("update from pairs", [method(1, "update", [("byte_order", "little"), ("bits", 16)])], True),
    ("update of the value alone", [method(1, "update", {"value": 7})], True),
    ("update with what the item holds", [lambda r: r[1].update(dict(r[1]))], False),
    ("|=", [in_place_or(1, {"bits": 16})], True),
    ("dict.__init__ again", [lambda r: dict.__init__(r[1], bits=16)], True),
    ("clear", [method(1, "clear")], True),
    ("clear, then refill", [method(1, "clear"), method(1, "update", item("mode", "unsigned", 16, value=0x1234))],
     True),
    ("clear and refill at once", [clear_and_refill(1, lambda: item(fresh("mode"), "unsigned", 16, value=0x1234))],
     True),
    ("clear and refill as before", [clear_and_refill(1, lambda: item(fresh("mode"), "unsigned", 8, value=3))],
     False),
    ("pop", [method(1, "pop", "bits")], True),
    ("pop of a missing key with a default", [method(1, "pop", "offset_bits", None)], False),
    ("popitem", [method(1, "popitem")], True),
    ("popitem twice", [method(1, "popitem"), method(1, "popitem")], True),
    ("setdefault of a present key", [method(1, "setdefault", "bits", 16)], False),
    ("setdefault of a missing key", [method(1, "setdefault", "offset_bits", 40)], True),
    ("value set", [put(1, "value", 0x84)], True),
    ("value as a str", [put(1, "value", "3")], True),
    ("value as a float", [put(1, "value", 3.5)], True),
    ("value as a bool", [put(1, "value", True)], True),
    ("value too large", [put(1, "value", 256)], True),
    ("value read through __index__", [put(1, "value", Index(9))], True),
    ("value of text as bytes", [put(2, "value", b"ok")], True),
    ("value deleted, then put back", [delete(2, "value"), put(2, "value", "no")], True),
    ("item appended", [lst(lambda r: r.append(item("extra", "unsigned", 8, value=9)))], True),
    ("item inserted", [lst(lambda r: r.insert(0, item("extra", "unsigned", 8, value=9)))], True),
    ("item deleted", [lst(lambda r: r.__delitem__(1))], True),
    ("item removed by list.remove", [lst(lambda r: r.remove(r[1]))], True),
    ("items swapped", [lst(lambda r: r.__setitem__(slice(0, 2), [r[1], r[0]]))], True),
    ("item replaced by a copy", [lst(lambda r: r.__setitem__(1, dict(r[1])))], False),
    ("item replaced by a changed copy", [lst(lambda r: r.__setitem__(1, {**r[1], "bits": 16}))], True),
    ("item replaced by a copy, then the copy changed",
     [lst(lambda r: r.__setitem__(1, dict(r[1]))), put(1, "bits", 16)], True),
    ("item replaced by a copy, then the old item changed", [lst(s) for s in replaced_then_old_changed()], False),
    ("same dict placed twice", [lst(lambda r: r.append(r[1]))], True),
    ("same dict placed twice, then changed", [lst(lambda r: r.append(r[1])), put(1, "bits", 16)], True),
    ("items reversed", [lst(lambda r: r.reverse())], True),
    ("items cleared", [lst(lambda r: r.clear())], True),
    ("items replaced by copies", [lst(lambda r: r.__setitem__(slice(None), [dict(d) for d in r]))], False),
    ("items replaced by changed copies",
     [lst(lambda r: r.__setitem__(slice(None), [dict(d, bits=d["bits"] * 2) for d in r]))], True),
    ("item not a dict", [lst(lambda r: r.__setitem__(1, list(r[1].items())))], True),
    ("item as a dict subclass", [lst(lambda r: r.__setitem__(1, Item(r[1])))], False),
    ("item as a changed dict subclass", [lst(lambda r: r.__setitem__(1, Item(r[1], bits=16)))], True),
    ("item as a dict subclass and back, changed",
     [lst(lambda r: r.__setitem__(1, Item(r[1]))), lst(lambda r: r.__setitem__(1, dict(r[1], bits=16)))], True),
]


def apply(step, recipe):
    """The recipe after the step: changed in place, or for a tuple a new tuple of the changed items."""
    if type(recipe) is tuple and getattr(step, "on_sequence", False):
        items = list(recipe)
        step(items)
        return tuple(items)
    step(recipe)
    return recipe


def run_mutation(kind, steps, changes):
    recipe = kind(base_items())
    first = assert_answers_as_a_copy(recipe)
    moved = False
    for step in steps:
        recipe = apply(step, recipe)
        moved |= assert_answers_as_a_copy(recipe) != first
    # A case whose answers do not move cannot show a layout kept past its change.
    assert moved == changes


@pytest.mark.parametrize("kind", [list, tuple])
@pytest.mark.parametrize("steps, changes", [c[1:] for c in MUTATIONS], ids=[c[0] for c in MUTATIONS])
def test_a_recipe_changed_between_calls(kind, steps, changes):
    run_mutation(kind, steps, changes)


def test_the_base_recipe_reads_back_its_packet():
    # The premise of the table: unchanged, the base recipe packs and reads without a failure.
    recipe = base_items()
    assert pack(recipe) == b"\xff\xfe\x03\x00ok"
    assert unpack(PACKET, 0, recipe) == {"temp": -2, "mode": 0x83, "label": "ok"}
    assert fresh("bits") == "bits" and fresh("bits") is not fresh("bits")


def test_an_item_shared_by_two_recipes_changes_in_both():
    shared = item("mode", "unsigned", 8, value=3)
    first = [item("a", "unsigned", 8, value=1), shared]
    second = (shared, item("b", "unsigned", 8, value=2))
    assert [pack(first), pack(second)] * 2 == [b"\x01\x03", b"\x03\x02"] * 2
    shared["bits"] = 16
    assert [pack(first), pack(second)] == [b"\x01\x00\x03", b"\x00\x03\x02"]
    assert unpack(b"\x01\x02\x03", 0, second) == {"mode": 0x102, "b": 3}


def test_packing_and_unpacking_layouts_are_kept_apart():
    # The same recipe is valid on one side only; alternating calls must not borrow the other
    # side's layout.
    recipe = [item("v", "binary", 16, value=b"ab"), item("f", "ieee754_f32", 32, value=1.0)]
    for _ in range(3):
        assert outcome(pack, recipe) == (ValueError, "ValueError: Unsupported encoding type: ieee754_f32",
                                         type(None), type(None))
        assert outcome(unpack, PACKET, 0, recipe) == (ValueError, "ValueError: Unsupported encoding type: binary",
                                                      type(None), type(None))
    recipe[1]["encoding"] = "ieee754"
    for _ in range(3):
        assert pack(recipe) == b"ab\x3f\x80\x00\x00"
        assert outcome(unpack, PACKET, 0, recipe) == (ValueError, "ValueError: Unsupported encoding type: binary",
                                                      type(None), type(None))
    recipe[0].update(encoding="unsigned", value=0x6162)
    for _ in range(3):
        assert pack(recipe) == b"ab\x3f\x80\x00\x00"
        assert outcome(unpack, PACKET, 0, recipe) == (ValueError, "ValueError: Unsupported encoding type: ieee754",
                                                      type(None), type(None))


KEPT_RECIPE = base_items()


@pytest.mark.parametrize("packet, base, expected", [
    (PACKET, 0, {"temp": -2, "mode": 0x83, "label": "ok"}),
    (SHORT, 0, PANIC),
    (PACKET, 16, {"temp": -32000, "mode": 0x6F, "label": "@A"}),
    (PACKET, 2**32 - 16, PANIC),
    (PACKET, 0, {"temp": -2, "mode": 0x83, "label": "ok"}),
])
def test_a_kept_layout_is_read_at_every_base_and_packet_length(packet, base, expected):
    # One recipe for every row, so every row after the first reads with a layout kept from
    # earlier rows: neither the packet's length nor the base offset may be part of it.
    recipe = KEPT_RECIPE
    for _ in range(2):
        got = outcome(unpack, packet, base, recipe)
        assert got == outcome(unpack, packet, base, mirror(recipe))
        assert got == comparable(expected) if type(expected) is dict else got[0] is expected


def test_unpacking_returns_a_new_dict_every_call():
    recipe = base_items()
    first = unpack(PACKET, 0, recipe)
    first["temp"] = "changed"
    second = unpack(PACKET, 0, recipe)
    assert second is not first and second == {"temp": -2, "mode": 0x83, "label": "ok"}


def test_failures_are_reported_the_same_every_time():
    # A failing recipe keeps no layout; each failure is the one a first call reports, in the
    # order the checks run (every item's bits before any other key of any item).
    recipe = [item("a", "unsigned", 8), item("b", "unsigned", 8, value=1)]
    steps = [
        (None, "KeyError: \"Recipe item 'a' missing required field: 'value'\""),
        (lambda: recipe[1].update(bits=-1), "OverflowError: can't convert negative int to unsigned"),
        (lambda: recipe[1].update(bits=8), "KeyError: \"Recipe item 'a' missing required field: 'value'\""),
        (lambda: recipe[0].update(value=256), "ValueError: Value 256 is too large for 8 bits"),
        (lambda: recipe[0].update(value=255), None),
        (lambda: recipe[1].update(byte_order="middle"),
         "ValueError: Invalid byte_order 'middle': must be 'big' or 'little'"),
        (lambda: recipe[1].update(byte_order="little"), None),
        (lambda: recipe[0].pop("value"), "KeyError: \"Recipe item 'a' missing required field: 'value'\""),
    ]
    for change, message in steps:
        if change:
            change()
        for _ in range(3):
            got = outcome(pack, recipe)
            assert got == outcome(pack, mirror(recipe))
            if message is None:
                assert got == comparable(b"\xff\x01")
            else:
                assert got[:2] == (ValueError, message)


def test_layout_values_that_run_code_are_read_on_every_call():
    # A recipe whose reading runs Python code keeps no layout: that code runs on every call, as
    # many times as on the first.
    reads = []

    class Width:
        def __index__(self):
            reads.append("bits")
            return 8

    class Bits(str):
        """A key spelled otherwise that a lookup of "bits" finds, counting its comparisons."""

        def __eq__(self, other):
            reads.append("key")
            return other == "bits" or str.__eq__(self, other)

        def __hash__(self):
            return hash("bits")

    by_index = [item("a", "unsigned", Width(), value=1)]
    by_key = [{"name": "b", "encoding": "unsigned", Bits("width"): 8, "byte_order": "big", "reverse_bits": False,
               "value": Index(2)}]
    for recipe, kind in [(by_index, "bits"), (by_key, "key")]:
        for call in (lambda: pack(recipe), lambda: unpack(PACKET, 0, recipe)):
            reads.clear()
            call()
            once = len(reads)
            assert once >= 1 and set(reads) == {kind}
            for _ in range(4):
                call()
            assert len(reads) == 5 * once


def test_values_are_converted_on_every_call():
    converted = []

    class Value:
        def __index__(self):
            converted.append(1)
            return 7

    recipe = [item("a", "unsigned", 8, value=Value())]
    for _ in range(5):
        assert pack(recipe) == b"\x07"
    assert len(converted) == 5


@pytest.mark.parametrize("change", ["layout", "item replaced", "item cleared", "items cleared"])
def test_a_recipe_changed_by_a_value_conversion_during_a_call(change):
    # A value conversion runs Python code in the middle of a call, after the recipe's layout was
    # looked up: the change it makes drops that layout (and may free the item) while the call is
    # still using it. The call packs the recipe as it stood, and the next call sees the change.
    def scenario(make_list, make_dict):
        recipe = make_list([make_dict(item("a", "unsigned", 8, value=1)),
                            make_dict(item(fresh("b"), fresh("unsigned"), 8, order=fresh("big"), value=2))])
        warm = [outcome(pack, recipe) for _ in range(3)]

        class Changes:
            def __index__(self):
                if change == "layout":
                    recipe[1]["bits"] = 64
                    recipe[1]["value"] = 2**64 - 1
                    recipe[1].pop("byte_order", None)
                elif change == "item replaced":
                    recipe[1] = make_dict(item("c", "twos_complement", 16, value=-1))
                elif change == "item cleared":
                    recipe[1].clear()
                else:
                    recipe.clear()
                return 1

        recipe[0]["value"] = Changes()
        return warm, outcome(pack, recipe), outcome(pack, recipe), outcome(unpack, PACKET, 0, recipe)

    cached = scenario(list, dict)
    assert cached == scenario(Recipe, Item)
    assert cached[0] == [comparable(b"\x01\x02")] * 3 and cached[1] == comparable(b"\x01\x02")


def test_recipes_rebuilt_at_the_addresses_of_dropped_ones():
    # A recipe dropped and rebuilt at once gets its list and dicts back from the interpreter's
    # free lists, often at the addresses they had: same type, same length, same item identities
    # as far as addresses go, and a different layout.
    dropped = set()
    reused = 0
    for n in range(300):
        recipe = [{"name": fresh("a"), "encoding": fresh(["unsigned", "twos_complement"][n % 2]), "bits": 8 << n % 3,
                   "byte_order": fresh(["big", "little"][n // 2 % 2]), "reverse_bits": n % 5 == 0, "value": 1 + n % 90},
                  {"name": fresh("b"), "encoding": fresh("unsigned"), "bits": 8 + n % 9, "byte_order": fresh("big"),
                   "reverse_bits": False, "value": n % 200}]
        addresses = (id(recipe), id(recipe[0]), id(recipe[1]))
        reused += addresses in dropped
        expected = answers(mirror(recipe))
        for _ in range(2):
            assert answers(recipe) == expected, n
        dropped.add(addresses)
        del recipe
    # Without reuse this test would not test what it is for.
    assert reused > 0


# ---- the stateful test: several recipes, changed in every way, called after every step ----------

FAMILIES = [
    # (name for packing, name for unpacking, widths, values the encoder takes)
    ("unsigned", "unsigned", [1, 3, 8, 12, 16, 64], [0, 1]),
    ("unsigned", "UNSIGNED", [8, 16], [5, 200]),
    ("twos_complement", "twos_complement", [8, 12, 16, 64], [-2, 3, 100]),
    ("ones-complement", "ones_complement", [8, 16], [-5, 7]),
    ("sign_magnitude", "signmagnitude", [8, 32], [-5, 7]),
    ("bcd", "bcd", [16, 24], [0, 7, 42]),
    ("bcd_signed", "bcd-signed", [16, 24], [-7, 42]),
    ("packed_bcd", "packed_bcd", [8, 16], [0, 12, 99]),
    ("packed_bcd_signed", "packed-bcd-signed", [16, 24], [-12, 99]),
    ("ieee754", "ieee754_f16", [16], [1.5, -0.0, 65504.0]),
    ("IEEE754", "ieee754_f32", [32], [1.5, 0.1, float("inf")]),
    ("ieee-754", "ieee754_f64", [64], [1.5, -2.25, float("nan")]),
    ("ti", "ti_f32", [32], [1.5]),
    ("utf8", "utf-8", [0, 16, 24, 32], ["ab", "\u00e9", ""]),
    ("utf16be", "utf16be", [16, 32], ["ab", "\u20ac"]),
    ("us_ascii", "us-ascii", [8, 16], ["ab", "\u00e9"]),
    ("iso_8859_1", "latin1", [8, 16], ["\u00e9a"]),
    ("binary", "unsigned", [8, 12, 16], [b"\x01\x02", [1, 2]]),
]
NAMES = ["a", "b", "temp", "mode"]
ORDERS = ["big", "little", "Big", "LITTLE"]
# Layout values a rule may set, valid and not.
LAYOUT_VALUES = {
    "name": ["a", "b", "temp", "", 5, None],
    "encoding": sorted({f[0] for f in FAMILIES} | {f[1] for f in FAMILIES}) + ["foo", " utf-8", 8, b"utf8"],
    "bits": [0, 1, 8, 12, 16, 32, 64, 65, -1, 2**32, "8", 8.0, True, None],
    "byte_order": ORDERS + ["middle", "", 0],
    "reverse_bits": [False, True, 0, 1, None],
    "offset_bits": [0, 4, 8, 40, 2**32 - 1, 2**32, -1, None],
}
VALUES = [0, 1, 5, -2, 200, 0x1234, 2**64 - 1, 2**70, 1.5, -0.0, float("nan"), "ab", "\u00e9", "\ud800", b"\x01\x02",
          [1, 2, 300], (7,), None, True, Index(3)]
ITEM_KEYS = list(LAYOUT_VALUES) + ["value"]
CHANGES = [(key, value) for key, values in LAYOUT_VALUES.items() for value in values] + \
          [("value", value) for value in VALUES]
# (packet, base offset): long enough for any recipe the machine builds, at several bases; too
# short, so that reads past the end raise PanicException; and at the end of the positions.
CALLS = [(bytes(range(0x30, 0x80)), 0), (b"0123456789" * 8, 5), (bytes(range(0x30, 0x80)), 24), (SHORT, 0),
         (b"0123456789" * 8, 2**32 - 64)]


@st.composite
def items(draw):
    pack_name, unpack_name, widths, values = draw(st.sampled_from(FAMILIES))
    text = st.sampled_from([str, fresh])  # interned literals, and strs of their own
    d = {"name": draw(text)(draw(st.sampled_from(NAMES))),
         "encoding": draw(text)(draw(st.sampled_from([pack_name, unpack_name]))),
         "bits": draw(st.sampled_from(widths) | st.sampled_from(widths) | st.sampled_from(LAYOUT_VALUES["bits"])),
         "byte_order": draw(st.sampled_from(ORDERS) | st.sampled_from(LAYOUT_VALUES["byte_order"])),
         "reverse_bits": draw(st.booleans() | st.sampled_from(LAYOUT_VALUES["reverse_bits"]))}
    if draw(st.integers(0, 3)) == 0:
        d["offset_bits"] = draw(st.sampled_from([0, 8, 12, 40]) | st.sampled_from(LAYOUT_VALUES["offset_bits"]))
    if draw(st.integers(0, 9)):
        d["value"] = draw(st.sampled_from(values) | st.sampled_from(values) | st.sampled_from(VALUES))
    return d


partial_items = st.fixed_dictionaries({}, optional={key: st.sampled_from(values) for key, values in
                                                    [*LAYOUT_VALUES.items(), ("value", VALUES)]})
NOT_DICTS = [5, None, [("name", "x")], "abc"]


def stateful_settings():
    # The project's profile sets the examples (fewer under the sanitizers); a stateful example is
    # a whole run of steps, so it takes a share of them.
    loaded = settings.default
    return settings(loaded, max_examples=min(150, loaded.max_examples), stateful_step_count=30)


class RecipesChangedInPlace(RuleBasedStateMachine):
    """Live recipes, lists and tuples, sharing items between them and within them; every rule
    changes them in place, and after every step each answers as its copies do."""

    def __init__(self):
        super().__init__()
        self.recipes = []
        self.steps = 0

    # -- the live objects

    def dicts(self):
        seen, found = set(), []
        for recipe in self.recipes:
            for it in recipe:
                if isinstance(it, dict) and id(it) not in seen:
                    seen.add(id(it))
                    found.append(it)
        return found

    def some_dict(self, k):
        found = self.dicts()
        return found[k % len(found)] if found else None

    def edit(self, at, change):
        """Changes a recipe's sequence of items: a list in place, a tuple by a new tuple."""
        i = at % len(self.recipes)
        recipe = self.recipes[i]
        if type(recipe) is tuple:
            items_ = list(recipe)
            change(items_)
            self.recipes[i] = tuple(items_)
        else:
            change(recipe)

    def replace_everywhere(self, old, new):
        for i, recipe in enumerate(self.recipes):
            if any(it is old for it in recipe):
                items_ = [new if it is old else it for it in recipe]
                if type(recipe) is tuple:
                    self.recipes[i] = tuple(items_)
                else:
                    recipe[:] = items_

    def build(self, kind, picks):
        existing = self.dicts()
        made = [existing[p % len(existing)] if type(p) is int else p for p in picks if type(p) is not int or existing]
        return kind(made)

    @initialize(kinds=st.lists(st.sampled_from([list, tuple]), min_size=3, max_size=3),
                contents=st.lists(st.lists(items(), min_size=1, max_size=4), min_size=3, max_size=3))
    def start(self, kinds, contents):
        first, second, third = contents
        self.recipes = [kinds[0](first), kinds[1](second + [first[0]]), kinds[2](third + [third[0]])]

    # -- recipes made, dropped and rebuilt

    @precondition(lambda self: len(self.recipes) < 5)
    @rule(kind=st.sampled_from([list, tuple]), picks=st.lists(items() | st.integers(0, 99), min_size=1, max_size=5))
    def new_recipe(self, kind, picks):
        self.recipes.append(self.build(kind, picks))

    @precondition(lambda self: len(self.recipes) > 1)
    @rule(at=st.integers(0, 99))
    def drop_recipe(self, at):
        del self.recipes[at % len(self.recipes)]

    @rule(at=st.integers(0, 99), kind=st.sampled_from([list, tuple]),
          contents=st.lists(items(), min_size=1, max_size=4))
    def drop_and_rebuild(self, at, kind, contents):
        # The items are made before the old recipe goes, as `contents` arrives; to take the freed
        # addresses, the new recipe is made of copies made after it went.
        i = at % len(self.recipes)
        del self.recipes[i]
        self.recipes.insert(i, kind([dict(d) for d in contents]))

    # -- an item's keys

    @rule(k=st.integers(0, 99), change=st.sampled_from(CHANGES))
    def set_key(self, k, change):
        d = self.some_dict(k)
        if d is not None:
            d[change[0]] = change[1]

    @rule(k=st.integers(0, 99), key=st.sampled_from(ITEM_KEYS), how=st.sampled_from([fresh, Key, str]))
    def respell_key(self, k, key, how):
        d = self.some_dict(k)
        if d is not None and key in d:
            value = d.pop(key)
            d[how(key)] = value

    @rule(k=st.integers(0, 99), change=st.sampled_from(CHANGES))
    def set_key_through_an_equal_str(self, k, change):
        d = self.some_dict(k)
        if d is not None:
            d[fresh(change[0])] = change[1]

    @rule(k=st.integers(0, 99), key=st.sampled_from(ITEM_KEYS))
    def delete_key(self, k, key):
        d = self.some_dict(k)
        if d is not None and key in d:
            del d[key]

    @rule(k=st.integers(0, 99), other=partial_items, how=st.sampled_from(["update", "keywords", "pairs", "|=",
                                                                            "__init__"]))
    def update(self, k, other, how):
        d = self.some_dict(k)
        if d is None:
            return
        if how == "update":
            d.update(other)
        elif how == "keywords":
            d.update(**other)
        elif how == "pairs":
            d.update(list(other.items()))
        elif how == "|=":
            d |= other
        else:
            dict.__init__(d, other)

    @rule(k=st.integers(0, 99), refill=st.none() | items())
    def clear(self, k, refill):
        d = self.some_dict(k)
        if d is not None:
            d.clear()
            if refill is not None:
                d.update(refill)

    @rule(k=st.integers(0, 99), key=st.sampled_from(ITEM_KEYS))
    def pop(self, k, key):
        d = self.some_dict(k)
        if d is not None:
            d.pop(key, None)

    @rule(k=st.integers(0, 99))
    def popitem(self, k):
        d = self.some_dict(k)
        if d:
            d.popitem()

    @rule(k=st.integers(0, 99), change=st.sampled_from(CHANGES))
    def setdefault(self, k, change):
        d = self.some_dict(k)
        if d is not None:
            d.setdefault(*change)

    @rule(k=st.integers(0, 99), how=st.sampled_from([Text, Int, Index, "exact"]))
    def layout_value_of_another_type(self, k, how):
        d = self.some_dict(k)
        if d is None:
            return
        if how is Text and type(d.get("encoding")) is str:
            d["encoding"] = Text(d["encoding"])
        elif how in (Int, Index) and type(d.get("bits")) is int:
            d["bits"] = how(d["bits"])
        elif how == "exact":
            if isinstance(d.get("encoding"), Text):
                d["encoding"] = str(d["encoding"])
            if isinstance(d.get("bits"), (Int, Index)):
                d["bits"] = d["bits"].__index__()

    @rule(k=st.integers(0, 99), add=st.booleans())
    def key_that_is_not_a_str(self, k, add):
        d = self.some_dict(k)
        if d is not None:
            if add:
                d[7] = "seven"
            else:
                d.pop(7, None)

    @rule(k=st.integers(0, 99))
    def item_to_a_dict_subclass_or_back(self, k):
        d = self.some_dict(k)
        if d is not None:
            self.replace_everywhere(d, dict(d) if type(d) is Item else Item(d))

    # -- a recipe's sequence of items

    @precondition(lambda self: self.recipes)
    @rule(at=st.integers(0, 99), pick=items() | st.integers(0, 99) | st.sampled_from(NOT_DICTS),
          where=st.integers(0, 99), insert=st.booleans())
    def add_item(self, at, pick, where, insert):
        new = self.some_dict(pick) if type(pick) is int else pick
        if new is None:
            return
        if insert:
            self.edit(at, lambda r: r.insert(where % (len(r) + 1), new))
        else:
            self.edit(at, lambda r: r.append(new))

    @rule(at=st.integers(0, 99), where=st.integers(0, 99), by_value=st.booleans())
    def remove_item(self, at, where, by_value):
        def change(r):
            if r:
                if by_value:
                    r.remove(r[where % len(r)])  # the first item equal to it, maybe another dict
                else:
                    del r[where % len(r)]
        self.edit(at, change)

    @rule(at=st.integers(0, 99), i=st.integers(0, 99), j=st.integers(0, 99))
    def swap_items(self, at, i, j):
        def change(r):
            if r:
                a, b = i % len(r), j % len(r)
                r[a], r[b] = r[b], r[a]
        self.edit(at, change)

    @rule(at=st.integers(0, 99), i=st.integers(0, 99), twice=st.booleans())
    def replace_item_with_a_copy(self, at, i, twice):
        def change(r):
            if r:
                n = i % len(r)
                r[n] = copy.copy(r[n])
                if twice:  # the same dict placed twice
                    r.append(r[n])
        self.edit(at, change)

    # -- the calls

    @rule(at=st.integers(0, 99), call=st.sampled_from(CALLS))
    def call(self, at, call):
        if self.recipes:
            assert_answers_as_a_copy(self.recipes[at % len(self.recipes)], [call])

    @invariant()
    def every_recipe_answers_as_its_copies(self):
        self.steps += 1
        for recipe in self.recipes:
            assert_answers_as_a_copy(recipe, [CALLS[0], CALLS[self.steps % len(CALLS)]], times=2)


def test_recipes_changed_in_place_answer_as_their_copies():
    run_state_machine_as_test(RecipesChangedInPlace, settings=stateful_settings())


# ---- references and memory ---------------------------------------------------------------------

class Tag:
    """An object only the recipe holds: its finalizer tells when the recipe was freed."""


@pytest.mark.parametrize("kind", [list, tuple])
@pytest.mark.parametrize("calls", ["pack", "unpack", "both"])
def test_a_recipe_called_many_times_is_freed_when_dropped(kind, calls):
    names = [fresh("temp"), fresh("mode")]
    baseline = [sys.getrefcount(name) for name in names]
    tags = [Tag(), Tag()]
    freed = [weakref.finalize(tag, lambda: None) for tag in tags]
    recipe = kind([item(names[0], "twos_complement", 16, value=-2, note=tags[0]),
                   item(names[1], "unsigned", 8, value=Index(3), note=tags[1])])
    del tags
    held = [recipe, *recipe]
    counts = [sys.getrefcount(o) for o in held]
    for _ in range(500):
        if calls != "unpack":
            assert pack(recipe) == b"\xff\xfe\x03"
        if calls != "pack":
            assert unpack(PACKET, 0, recipe) == {"temp": -2, "mode": 0x83}
    assert [sys.getrefcount(o) for o in held] == counts
    del held
    enabled = gc.isenabled()
    gc.disable()  # freed by its reference count, not by the collector
    try:
        del recipe
        assert [f.alive for f in freed] == [False, False]
        assert [sys.getrefcount(name) for name in names] == baseline
    finally:
        if enabled:
            gc.enable()


@pytest.mark.parametrize("ends", ["its next call", "its end"])
def test_a_recipe_another_thread_served_is_let_go_at_its_next_call_or_its_end(ends):
    # A worker serves a recipe many times (on free-threaded builds its own table keeps the layout),
    # then the recipe is dropped here: what the worker holds of it goes at its next call, with any
    # recipe, or when the worker ends.
    names = [fresh("temp"), fresh("mode")]
    baseline = [sys.getrefcount(name) for name in names]
    recipe = [item(names[0], "twos_complement", 16, value=-2), item(names[1], "unsigned", 8, value=3)]
    other = [item("z", "unsigned", 8, value=1)]
    served, dropped, done = threading.Event(), threading.Event(), threading.Event()

    def worker():
        for _ in range(300):
            assert unpack(PACKET, 0, recipe) == {"temp": -2, "mode": 0x83}
            assert pack(recipe) == b"\xff\xfe\x03"
        served.set()
        dropped.wait()
        if ends == "its next call":
            assert pack(other) == b"\x01"
            done.set()
            dropped.wait()   # (still set) stays alive while the main thread looks
            gone.wait()

    gone = threading.Event()
    thread = threading.Thread(target=worker)
    thread.start()
    served.wait()
    enabled = gc.isenabled()
    gc.disable()
    try:
        del recipe
        dropped.set()
        if ends == "its next call":
            done.wait()
        else:
            thread.join()
        assert [sys.getrefcount(name) for name in names] == baseline
    finally:
        gone.set()
        thread.join()
        if enabled:
            gc.enable()


# Growth allowed over a window of calls: a few blocks of free lists that settle late.
BOUNDS = (32, 4096)  # interpreter blocks, heap bytes
# A window of 200,000 calls rather than a million: each call builds its recipe, so a window takes
# about a second, and growth() may measure three. A cache that keeps anything of a dropped recipe
# keeps it on every call and overruns the bounds within a few thousand calls; a bounded cache is
# full after the warm-up of a tenth of a window.
FRESH_TIMES = 200_000


def fresh_recipe(n):
    return [{"name": "v", "encoding": "unsigned", "bits": 8 + n % 57, "byte_order": "big", "reverse_bits": False,
             "value": n % 256}, {"name": "w", "encoding": "twos_complement", "bits": 16, "byte_order": "little",
                                 "reverse_bits": n % 2 == 0, "value": -n % 1000}]


@pytest.mark.parametrize("side", ["pack", "unpack"])
def test_a_fresh_recipe_every_call_does_not_grow_memory(side):
    def work(times):
        for n in range(times):
            if side == "pack":
                pack(fresh_recipe(n))
            else:
                unpack(PACKET, 0, fresh_recipe(n))

    blocks, heap = growth(work, FRESH_TIMES, BOUNDS)
    assert blocks < BOUNDS[0] and heap < BOUNDS[1], f"{blocks} blocks, {heap} heap bytes"


def test_many_live_recipes_keep_a_bounded_number_of_layouts():
    # Recipes that stay alive are never dropped by a watcher, so only the cache's own bound keeps
    # their layouts from piling up. The recipes are built first; then a first batch of calls fills
    # any bounded cache, and a second batch, on other recipes, must leave the memory as it found it.
    live = [fresh_recipe(n) for n in range(50_000)]
    enabled = gc.isenabled()
    gc.disable()
    try:
        for recipe in live[:10_000]:
            pack(recipe)
            unpack(PACKET, 0, recipe)
        blocks, heap = counters()
        for recipe in live[10_000:]:
            pack(recipe)
            unpack(PACKET, 0, recipe)
        grown = counters()[0] - blocks, counters()[1] - heap
    finally:
        if enabled:
            gc.enable()
    # 80,000 layouts of even 8 bytes each would be 640 KiB.
    assert grown[0] < 64 and grown[1] < 64 * 1024, f"{grown[0]} blocks, {grown[1]} heap bytes"


def test_watchers_raise_nothing_unraisable():
    # The interpreter reports a failing dict watcher as unraisable and carries on; a cache whose
    # callback failed would be silently wrong ever after.
    reported = []
    hook = sys.unraisablehook
    sys.unraisablehook = reported.append
    try:
        for n in range(50):
            recipe = base_items()
            assert_answers_as_a_copy(recipe, times=2)
            recipe[1]["bits"] = 16
            recipe[0].clear()
            recipe[2].update(bits=8)
            recipe[2] |= {"name": "x"}
            recipe[2].popitem()
            recipe.append(recipe[2])
            assert_answers_as_a_copy(recipe, times=2)
            del recipe
    finally:
        sys.unraisablehook = hook
    assert [r.exc_value for r in reported] == []


# ---- threads -----------------------------------------------------------------------------------
#
# Readers call with shared recipes while other threads change them. An item's keys are set one at
# a time, so while the change runs, each position of a recipe holds an item whose every key has
# one of its possible values (or an emptied item): the set of answers for every combination is
# computed beforehand, and each answer must be one of them. Once the changes stop, every recipe
# must answer as its copies: a layout kept for a state the recipe has left fails that.

SECONDS = float(os.environ.get("TESSEL_THREAD_SECONDS", "2"))
THREAD_ROUNDS = 4
POSITIONS = 3
STATE_KEYS = {"bits": (8, 16), "encoding": ("unsigned", "twos_complement"), "byte_order": ("big", "little")}


def state_values(p):
    return (0x50 + p, 0x1230 + p, -(p + 1), "x")


def position_states(p, with_value):
    states = [{}]
    for bits in STATE_KEYS["bits"]:
        for encoding in STATE_KEYS["encoding"]:
            for order in STATE_KEYS["byte_order"]:
                d = {"name": f"p{p}", "encoding": encoding, "bits": bits, "byte_order": order, "reverse_bits": False}
                states += [dict(d, value=v) for v in state_values(p)] if with_value else [d]
    return states


def every_answer(call):
    """The outcomes of `call` over every combination of the positions' states."""
    found = set()

    def walk(prefix, p):
        if p == POSITIONS:
            found.add(repr(outcome(call, Recipe(Item(d) for d in prefix))))
            return
        for state in position_states(p, call is pack):
            walk(prefix + [state], p + 1)

    walk([], 0)
    return found


THREAD_PACKETS = [b"\x81\x92\xa3\xb4\xc5\xd6", b"\x81\x92\xa3\xb4\xc5"]  # the second too short for 3 x 16 bits


def test_recipes_changed_while_other_threads_call_with_them():
    packed = every_answer(pack)
    unpacked = {packet: every_answer(lambda r, packet=packet: unpack(packet, 0, r)) for packet in THREAD_PACKETS}
    start = [dict(position_states(p, True)[1]) for p in range(POSITIONS)]
    shared = {"list": list(start), "tuple": tuple(start)}
    # A list nobody changes but by swapping an item for an equal copy, so packers are served by its
    # layout while the dicts they read are let go by the list: each copy's tag must be freed once
    # no call reads it any longer.
    steady = [item(f"s{i}", "unsigned", 16, value=0x100 + i, note=Tag()) for i in range(64)]
    steady_packet = b"".join((0x100 + i).to_bytes(2, "big") for i in range(64))
    copies_freed = []
    stop = threading.Event()
    seen = {"pack": 0, "unpack": 0, "changes": 0, "replaced": 0, "steady": 0, "swapped": 0}
    failures = []

    def guarded(work):
        def run():
            try:
                work()
            except BaseException as e:  # noqa: BLE001 - re-raised by the test
                failures.append(e)
                stop.set()
        return run

    def change_keys(owned):
        # Each position has one owner: another thread's key set between this one's clear() and
        # update() would leave an item that no state has.
        rng = random.Random(owned[0])
        while not stop.is_set():
            p = rng.choice(owned)
            d = shared["list"][p] if rng.random() < 0.5 else shared["tuple"][p]
            step = rng.randrange(6)
            if step < 3:  # one key, a width, an encoding or a byte order
                key = list(STATE_KEYS)[step]
                d[key] = rng.choice(STATE_KEYS[key])
            elif step == 3:  # the value, of another type at times
                d["value"] = rng.choice(state_values(p))
            elif step == 4:  # several keys at once
                d.update(bits=rng.choice(STATE_KEYS["bits"]), encoding=rng.choice(STATE_KEYS["encoding"]))
            else:  # emptied and refilled
                d.clear()
                d.update(rng.choice(position_states(p, True)[1:]))
            seen["changes"] += 1

    def replace_items():
        rng = random.Random(7)
        while not stop.is_set():
            step = rng.randrange(3)
            current = shared["list"]
            # A copy of an item caught emptied (between its owner's clear() and update()) is
            # not used: the owner's next key set would make it an item that no state has.
            if step == 0:  # an item replaced by a changed copy
                p = rng.randrange(POSITIONS)
                changed = dict(current[p])
                if changed:
                    changed["bits"] = rng.choice(STATE_KEYS["bits"])
                    current[p] = changed
            elif step == 1:  # the tuple rebuilt from the list's items
                shared["tuple"] = tuple(current)
            else:  # the list dropped and rebuilt from copies
                copies = [dict(d) for d in current]
                if all(copies):
                    shared["list"] = copies
            seen["replaced"] += 1

    def swap_steady():
        rng = random.Random(17)
        while not stop.is_set():
            p = rng.randrange(len(steady))
            tag = Tag()
            copies_freed.append(weakref.finalize(tag, lambda: None))
            steady[p] = dict(steady[p], note=tag)
            seen["swapped"] += 1
            time.sleep(0.0002)  # calls in between are served by the layout

    def call_steady():
        while not stop.is_set():
            assert pack(steady) == steady_packet
            seen["steady"] += 1

    def call_pack():
        rng = random.Random(11)
        while not stop.is_set():
            got = repr(outcome(pack, shared[rng.choice(["list", "tuple"])]))
            assert got in packed, got
            seen["pack"] += 1

    def call_unpack():
        rng = random.Random(13)
        while not stop.is_set():
            packet = THREAD_PACKETS[rng.random() < 0.05]
            got = repr(outcome(unpack, packet, 0, shared[rng.choice(["list", "tuple"])]))
            assert got in unpacked[packet], got
            seen["unpack"] += 1

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        for _ in range(THREAD_ROUNDS):
            stop.clear()
            threads = [threading.Thread(target=guarded(work)) for work in
                       [lambda: change_keys([0, 2]), lambda: change_keys([1]), replace_items,
                        call_pack, call_pack, call_unpack, call_unpack, swap_steady, call_steady, call_steady]]
            for thread in threads:
                thread.start()
            stop.wait(SECONDS / THREAD_ROUNDS)
            stop.set()
            for thread in threads:
                thread.join()
            if failures:
                raise failures[0]
            for recipe in shared.values():
                assert_answers_as_a_copy(recipe, [(packet, 0) for packet in THREAD_PACKETS])
    finally:
        sys.setswitchinterval(interval)
    assert min(seen.values()) > 0, seen
    for _ in range(3):  # served by its layout: a call that lets go of what ended calls kept
        assert pack(steady) == steady_packet
    alive = {id(f.peek()[0]) for f in copies_freed if f.alive}
    assert alive <= {id(d["note"]) for d in steady}, "a copy the list let go of is still alive"


# ---- dict watcher slots ------------------------------------------------------------------------
#
# An interpreter has eight dict watcher slots, some taken by the interpreter itself. tessel takes
# one when it is built; with none free it keeps no layouts and answers all the same.

WATCHER_SLOTS = """
import ctypes
# The callbacks take addresses, not objects: one may run while its dict is being freed.
CALLBACK = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p)
add_watcher = ctypes.pythonapi.PyDict_AddWatcher
add_watcher.argtypes = [CALLBACK]
add_watcher.restype = ctypes.c_int
clear_watcher = ctypes.pythonapi.PyDict_ClearWatcher
clear_watcher.argtypes = [ctypes.c_int]
clear_watcher.restype = ctypes.c_int
watch = ctypes.pythonapi.PyDict_Watch
watch.argtypes = [ctypes.c_int, ctypes.py_object]
watch.restype = ctypes.c_int
ignore = CALLBACK(lambda event, d, key, value: 0)

def take_free_slots():
    taken = []
    while True:
        try:
            taken.append(add_watcher(ignore))
        except RuntimeError as e:
            assert str(e) == "no more dict watcher IDs available", e
            return taken

def free_slots():
    taken = take_free_slots()
    for slot in taken:
        clear_watcher(slot)
    return len(taken)
"""


def python(code):
    """Runs code in a fresh interpreter that finds this tessel and these tests."""
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    prelude = f"import sys; sys.path[:0] = {[p for p in sys.path if p]!r}\n" + WATCHER_SLOTS
    return subprocess.run([sys.executable, "-c", prelude + textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=300, env=env)


def test_with_every_watcher_slot_taken_calls_answer_as_before():
    result = python("""
        taken = take_free_slots()
        assert taken, "no free slot to take"
        import tessel
        import test_layout_cache as t
        for kind in (list, tuple):
            for _, steps, changes in t.MUTATIONS:
                t.run_mutation(kind, steps, changes)
        t.test_recipes_rebuilt_at_the_addresses_of_dropped_ones()
        print(len(taken), tessel.pack_parameters(t.base_items()).hex())
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split()[1] == "fffe03006f6b"


def test_import_takes_one_watcher_slot():
    result = python("""
        before = free_slots()
        import tessel
        print(before, free_slots())
    """)
    assert result.returncode == 0, result.stderr
    before, after = map(int, result.stdout.split())
    assert before - after == 1


def test_a_repeated_import_takes_no_further_slot():
    result = python("""
        import tessel
        after_first = free_slots()
        del sys.modules["tessel"]
        import tessel as again
        print(again is tessel, after_first, free_slots())
    """)
    assert result.returncode == 0, result.stderr
    same, first, second = result.stdout.split()
    assert same == "True" and first == second


def test_other_watchers_of_a_recipe_item_keep_seeing_its_changes():
    # tessel watches the items it keeps layouts for; another watcher of the same dict must still
    # hear of every change, and its presence must not change tessel's answers.
    result = python("""
        events = []
        record = CALLBACK(lambda event, d, key, value: events.append((event, d)) or 0)
        ours = add_watcher(record)
        import tessel
        from recipes import item, panic_type
        d = item("v", "unsigned", 8, value=1)
        watch(ours, d)
        recipe = [d]
        print(tessel.pack_parameters(recipe).hex(), tessel.pack_parameters(recipe).hex())
        d["bits"] = 16
        print(tessel.pack_parameters(recipe).hex(), tessel.unpack_parameters(b"\\x01\\x02", 0, recipe)["v"])
        d.clear()
        address = id(d)
        del recipe, d
        print(sorted({event for event, at in events if at == address}))
    """)
    assert result.returncode == 0, result.stderr
    # Events: 1 modified, 4 cleared, 5 deallocated.
    assert result.stdout.splitlines() == ["01 01", "0001 258", "[1, 4, 5]"]
