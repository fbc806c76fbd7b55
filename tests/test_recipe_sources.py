"""Recipes as programs really hold them: loaded from JSON, built at run time, with keys of other types.

Keys written as literals are the interpreter's interned strs; a recipe read from a file is not,
and neither is one whose keys were put together at run time. Both must pack and unpack exactly
like the literal recipe, and fail with exactly its errors.
"""
import json
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tessel
from recipes import item
from test_pack import PACKED, random_items
from test_pack import REFUSED as PACK_REFUSED
from test_unpack import REFUSED as UNPACK_REFUSED
from test_unpack import UNPACKED

pack = tessel.pack_parameters
unpack = tessel.unpack_parameters


def outcome(call, *args):
    """What a call gives: ("ok", the result's repr) or (exception type, message). The repr tells
    -0.0 from 0.0 and shows a NaN equal to itself."""
    try:
        return "ok", repr(call(*args))
    except BaseException as e:  # noqa: BLE001 - PanicException derives from BaseException
        return type(e), str(e)


def through_json(recipe):
    """The recipe as a program reads it back from a JSON file."""
    return json.loads(json.dumps(recipe))


def json_safe(recipe):
    """Whether the recipe survives JSON unchanged (no bytes or tuples, only str keys)."""
    try:
        return through_json(recipe) == recipe
    except (TypeError, ValueError):
        return False


def fresh(text):
    """The same text in a str object of its own, as "".join makes it at run time."""
    return "".join(list(text + "\0"))[:-1]


class Key(str):
    """A key of a str subclass that keeps str's equality."""

    __hash__ = str.__hash__


class CaseFoldedKey(str):
    """A key that equals any str of the same letters in another case, as a config reader might
    make: the plain dict lookup honours its equality."""

    def __hash__(self):
        return hash(self.lower())

    def __eq__(self, other):
        return isinstance(other, str) and self.lower() == other.lower()


KEY_FORMS = {
    "built at run time": fresh,
    "str subclass": Key,
    "case-folded subclass": lambda k: CaseFoldedKey(k.upper()),
}


def rekeyed(recipe, make_key):
    """Every item's str keys made by `make_key`; values and items that are not dicts stay."""
    return [{make_key(k) if type(k) is str else k: v for k, v in it.items()} if type(it) is dict else it
            for it in recipe]


FOREIGN = {0: "zero", b"name": "bytes", 1.5: None, ("bits",): 99}


def with_foreign_keys(recipe, after=False):
    """Every item with keys that are not str beside its own, in front of them or after them:
    they are not item keys, so they are ignored."""
    return [({**it, **FOREIGN} if after else {**FOREIGN, **it}) if type(it) is dict else it for it in recipe]


PACK_CASES = [(c[0], c[1]) for c in PACKED] + [(c[0], c[1]) for c in PACK_REFUSED]
UNPACK_CASES = [(c[0], bytes.fromhex(c[1]), c[2], c[3]) for c in UNPACKED + UNPACK_REFUSED]


def test_json_keys_are_not_the_interned_ones():
    # The premise of the JSON tests below: the keys that json.loads makes are strs of their own.
    loaded = through_json([item("a", "unsigned", 8, value=1)])
    assert [sys.intern(k) is k for k in loaded[0]] == [False] * 6


def variants(recipe):
    """The recipe as JSON gives it back (where it can be written as JSON), with its keys made in
    each other way, and with keys beside its own that are not str."""
    forms = {name: rekeyed(recipe, make) for name, make in KEY_FORMS.items()}
    forms["keys that are not str, first"] = with_foreign_keys(recipe)
    forms["keys that are not str, last"] = with_foreign_keys(recipe, after=True)
    if json_safe(recipe):
        forms["from JSON"] = through_json(recipe)
    return forms


@pytest.mark.parametrize("name, recipe", PACK_CASES, ids=[c[0] for c in PACK_CASES])
def test_pack_alike(name, recipe):
    expected = outcome(pack, recipe)
    assert {form: outcome(pack, other) for form, other in variants(recipe).items()} == \
        dict.fromkeys(variants(recipe), expected)


@pytest.mark.parametrize("name, packet, base, recipe", UNPACK_CASES, ids=[c[0] for c in UNPACK_CASES])
def test_unpack_alike(name, packet, base, recipe):
    expected = outcome(unpack, packet, base, recipe)
    assert {form: outcome(unpack, packet, base, other) for form, other in variants(recipe).items()} == \
        dict.fromkeys(variants(recipe), expected)


def test_most_worked_examples_are_checked_through_json():
    # Only the items with bytes, tuples or objects of the tests' own classes cannot be JSON.
    assert sum(json_safe(c[1]) for c in PACK_CASES) > 0.8 * len(PACK_CASES)
    assert sum(json_safe(c[3]) for c in UNPACK_CASES) > 0.9 * len(UNPACK_CASES)


MISSING = "KeyError: \"Recipe missing required field: '{}'\""


class RaisingEquality(str):
    """A key whose comparison with an equal-hashed key raises."""

    __hash__ = str.__hash__

    def __eq__(self, other):
        raise ZeroDivisionError("no comparing today")


class EqualToNothing(str):
    __hash__ = str.__hash__

    def __eq__(self, other):
        return False


ODD_KEYS = [
    # bytes spell no key: the item lacks the key they spell
    ("bytes key for name", {b"name": "u"}, "name", MISSING.format("name")),
    ("bytes key for bits", {b"bits": 8}, "bits", MISSING.format("bits")),
    # a str subclass that equals nothing is not the key it spells
    ("subclass equal to nothing", {EqualToNothing("bits"): 8}, "bits", MISSING.format("bits")),
    # the interpreter's own exception from comparing keys is the item's failure
    ("comparison raises", {RaisingEquality("encoding"): "unsigned"}, "encoding",
     "ZeroDivisionError: no comparing today"),
    # a key that differs only in case is another key
    ("exact str in another case", {"Bits": 8}, "bits", MISSING.format("bits")),
    ("non-ASCII str", {"b\u00efts": 8}, "bits", MISSING.format("bits")),
]


@pytest.mark.parametrize("label, replacement, replaced, message", ODD_KEYS, ids=[c[0] for c in ODD_KEYS])
def test_odd_keys_in_place_of_an_item_key(label, replacement, replaced, message):
    packing = item("u", "unsigned", 8, value=7)
    del packing[replaced]
    packing.update(replacement)
    unpacking = {k: v for k, v in packing.items() if k != "value"}
    for call, args in [(pack, ([packing],)), (unpack, (b"\x07", 0, [unpacking]))]:
        with pytest.raises(ValueError) as info:
            call(*args)
        assert str(info.value) == message
        assert info.value.__cause__ is None and info.value.__context__ is None


def test_an_item_with_both_a_str_and_an_odd_key():
    # An exact str key still wins when an equal subclass key is also present.
    recipe = [{**item("u", "unsigned", 8, value=7), EqualToNothing("bits"): 16, b"value": 9}]
    assert pack(recipe) == b"\x07"
    assert unpack(b"\x07\x09", 0, recipe) == {"u": 7}


def test_a_recipe_mixing_key_forms_item_by_item():
    items = [item("a", "twos_complement", 16, value=-2), item("b", "unsigned", 8, value=3),
             item("c", "utf8", 16, value="Hi"), item("d", "ieee754", 32, value=1.0)]
    literal = pack(items)
    mixed = [items[0], rekeyed([items[1]], Key)[0], through_json([items[2]])[0], with_foreign_keys([items[3]])[0]]
    assert pack(mixed) == literal == bytes.fromhex("FF FE 03 48 69 3F 80 00 00")
    decode = [dict(it, encoding="ieee754_f32") if it["encoding"] == "ieee754" else it for it in items]
    mixed_decode = [decode[0], through_json([decode[1]])[0], rekeyed([decode[2]], fresh)[0],
                    rekeyed([decode[3]], CaseFoldedKey)[0]]
    assert unpack(literal, 0, mixed_decode) == unpack(literal, 0, decode) == {"a": -2, "b": 3, "c": "Hi", "d": 1.0}


class OwnIteration(dict):
    """A dict subclass that iterates its own way, which the item format never consults."""

    def __iter__(self):
        raise AssertionError("iterated through __iter__")

    def keys(self):
        raise AssertionError("read through keys()")

    def items(self):
        raise AssertionError("read through items()")


@pytest.mark.parametrize("make_key", [str, Key], ids=["str keys", "str subclass keys"])
def test_dict_subclass_that_iterates_its_own_way(make_key):
    packing = OwnIteration(rekeyed([item("u", "unsigned", 8, value=7)], make_key)[0])
    unpacking = OwnIteration(rekeyed([item("u", "unsigned", 8)], make_key)[0])
    assert pack([packing]) == b"\x07"
    assert unpack(b"\x07", 0, [unpacking]) == {"u": 7}


def test_keys_compared_while_the_item_changes_see_it_as_it_was():
    # Comparing a str subclass key runs Python code, which may change the item between two key
    # lookups: the lookups go to a copy of the item taken before the first.
    packing = {}
    meddled = []

    class Meddling(str):
        __hash__ = str.__hash__

        def __eq__(self, other):
            if not meddled:  # once: the changes below compare keys too
                meddled.append(other)
                del packing["value"]
                packing["bits"] = 64
            return str.__eq__(self, other)

    packing.update({Meddling(k): v for k, v in item("u", "unsigned", 8, value=7).items()})
    assert pack([packing]) == b"\x07"
    assert meddled and "value" not in packing and packing["bits"] == 64


# ---- random recipes ------------------------------------------------------------------------------

def as_json(recipe):
    """JSON has no bytes: a binary value is written as its list of byte values, which packs alike."""
    return json.loads(json.dumps(recipe, default=list))


DAMAGE = [
    lambda it: None,
    lambda it: it.pop("name"),
    lambda it: it.pop("value"),
    lambda it: it.pop("reverse_bits"),
    lambda it: it.update(bits=it["bits"] + 57),
    lambda it: it.update(encoding=it["encoding"] + "x"),
    lambda it: it.update(byte_order="middle"),
    lambda it: it.update(offset_bits=-1),
    lambda it: it.update(value=None),
]


# The placement itself is checked at length in test_pack and test_unpack: a third of the examples.
fewer = settings(max_examples=max(settings.default.max_examples // 3, 20))


@fewer
@given(st.lists(random_items(), max_size=6), st.lists(st.sampled_from(range(len(DAMAGE))), max_size=6))
def test_random_recipes_pack_alike_from_json(recipe, damage):
    for it, which in zip(recipe, damage):
        DAMAGE[which](it)
    assert outcome(pack, as_json(recipe)) == outcome(pack, recipe)
    assert outcome(pack, rekeyed(recipe, Key)) == outcome(pack, recipe)


DECODINGS = ["unsigned", "twos_complement", "ones_complement", "sign_magnitude", "bcd", "bcd_signed", "packed_bcd",
             "packed_bcd_signed", "ieee754_f16", "ieee754_f32", "ieee754_f64", "ieee754_f128", "ti_f32", "utf8",
             "utf16", "utf16le", "utf32be", "us_ascii", "latin1", "windows_1252", "ieee754"]


@st.composite
def decode_items(draw):
    return item(draw(st.sampled_from(["a", "b", "c"])), draw(st.sampled_from(DECODINGS)), draw(st.integers(0, 80)),
                order=draw(st.sampled_from(["big", "little", "LITTLE", "network"])), reverse=draw(st.booleans()),
                at=draw(st.one_of(st.none(), st.integers(0, 100))))


@fewer
@given(st.binary(max_size=16), st.integers(0, 40), st.lists(decode_items(), max_size=6))
def test_random_recipes_unpack_alike_from_json(packet, base, recipe):
    # Results, codec errors and reads past the end alike.
    expected = outcome(unpack, packet, base, recipe)
    assert outcome(unpack, packet, base, through_json(recipe)) == expected
    assert outcome(unpack, packet, base, with_foreign_keys(recipe)) == expected
