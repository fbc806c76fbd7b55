"""Faults found while fuzzing the module (fuzz/), one regression test each.

fuzz-1: unpack_parameters read every item into one holder of key values. Reading the next item
took its values as borrowed references and only then replaced the previous item's values one by
one; releasing one of those could run a __del__ that emptied the item being read, and the values
not yet taken were freed under the reader (a use after free: a crash, or another object read as
the item's encoding or name).
"""
import gc
import sys

import pytest

import tessel

GIL = getattr(sys, "_is_gil_enabled", lambda: True)()


def outcome(function, *args):
    try:
        return function(*args)
    except ValueError as e:
        return str(e)


def assert_read_as_it_stood(got, expected):
    if GIL:
        assert got == expected
    else:
        # Without the GIL a cleared dict may let its values go later (the interpreter defers
        # freeing what other threads might still read), so a finalizer can run before the item it
        # empties is read: then that item is read emptied. Either way nothing freed is read.
        assert got == expected or got.startswith('KeyError: "Recipe missing required field: ')


def fresh(text):
    """A str object of its own: not interned, not shared with any literal."""
    return "".join(list(text + "\0"))[:-1]


class EmptiesItself:
    """A bit count that empties its own item while it is converted, so that afterwards only the
    unpacker holds that item's values."""

    def __init__(self, item, bits=8):
        self.item = item
        self.bits = bits

    def __index__(self):
        self.item.clear()
        return self.bits


def released_empties(victim, delete=None):
    """A str subclass whose release empties `victim` (or deletes one key) and then allocates
    many small strs, which take the freed storage of the victim's values."""
    junk = []

    class Name(str):
        def __del__(self):
            if delete is None:
                victim.clear()
            else:
                del victim[delete]
            junk.extend(fresh(str(i) * (i % 9 + 1)) for i in range(400))

    return Name


def victim_item(name="b", key_type=str):
    item = {key_type(k): v for k, v in (("name", fresh(name)), ("encoding", fresh("unsigned")),
                                        ("byte_order", fresh("big")), ("reverse_bits", False))}
    item[key_type("bits")] = 8
    return item


class Key(str):
    """An item key that is an equal str of another type: items with such keys are read by
    looking each key up."""

    __hash__ = str.__hash__


@pytest.mark.parametrize(
    "victim_keys, delete",
    [
        (str, None),         # the usual path: the item's entries walked once
        (Key, None),         # the general path: one lookup per key
        (str, "encoding"),   # one key deleted rather than all
        (str, "byte_order"),
    ],
    ids=["walk-clear", "lookup-clear", "walk-del-encoding", "walk-del-byte_order"],
)
def test_fuzz_1_unpack_previous_item_released_after_next_item_is_held(victim_keys, delete):
    victim = victim_item(key_type=victim_keys)
    name = released_empties(victim, delete)
    first = {"name": name("a"), "encoding": "unsigned", "byte_order": "big", "reverse_bits": False}
    first["bits"] = EmptiesItself(first)
    recipe = [first, victim]
    del first, name
    # Each item is read as it stood when the unpacker reached it: emptying it afterwards, from a
    # value's __del__, changes nothing for this call.
    assert_read_as_it_stood(outcome(tessel.unpack_parameters, b"\x01\x02", 0, recipe), {"a": 1, "b": 2})
    gc.collect()
    assert recipe[1] == ({} if delete is None else {k: v for k, v in victim_item().items() if k != delete})


def test_fuzz_1_long_recipe_each_item_empties_the_next():
    # Every item but the last hands the unpacker the last reference to a name whose release
    # empties the following item, many times over in one call.
    count = 50
    recipe = [victim_item(name=f"f{i}") for i in range(count)]
    for i in range(count - 1):
        item = recipe[i]
        item["name"] = released_empties(recipe[i + 1])(fresh(f"f{i}"))
        item["bits"] = EmptiesItself(item)
    packet = bytes(range(count))
    assert_read_as_it_stood(outcome(tessel.unpack_parameters, packet, 0, recipe), {f"f{i}": i for i in range(count)})


def test_fuzz_1_pack_items_emptied_by_an_earlier_items_release():
    # The packer holds every item's values from its first pass on; a release that empties a
    # later item must not change what that item packs.
    victim = victim_item()
    victim["value"] = 2
    name = released_empties(victim)
    first = {"name": name("a"), "encoding": "unsigned", "byte_order": "big", "reverse_bits": False, "value": 1}
    first["bits"] = EmptiesItself(first)
    recipe = [first, victim]
    del first, name
    assert tessel.pack_parameters(recipe) == b"\x01\x02"
