"""pack_parameters: recipe items, encoding names, placement, byte order and failures."""
import operator
import os
import resource
import struct
import subprocess
import sys
import sysconfig

import pytest
from hypothesis import given
from hypothesis import strategies as st

import tessel
from conftest import SANITIZED
from recipes import (TEXT_CODECS, HookedDict, binary_field_bytes, item, model_pack, numeric_field_bytes,
                     separator_variants, spellings, without)

pack = tessel.pack_parameters


class Int(int):
    pass


class Float(float):
    pass


class Index:
    """Only __index__: the slow path of the integer conversions."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def interpreters_refusal(convert, value):
    """The interpreter's own message for a conversion it refuses, which varies between versions."""
    try:
        convert(value)
    except Exception as e:  # noqa: BLE001 - any refusal is the expectation
        return f"{type(e).__qualname__}: {e}"
    raise AssertionError(f"{value!r} converts")


class Floaty:
    """Only __float__: the slow path of the float conversion."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


# ---- worked examples --------------------------------------------------------------------------

PACKED = [
    ("typical request", [item("temp", "twos_complement", 16, value=-2), item("mode", "unsigned", 8, value=3)],
     "FF FE 03"),
    ("worked example", [item("A", "unsigned", 3, value=5), item("B", "unsigned", 12, value=2748),
                        item("C", "unsigned", 4, reverse=True, at=20, value=3)], "B5 78 0C"),
    ("little 16", [item("u", "unsigned", 16, order="little", value=4660)], "34 12"),
    ("little 12 takes bits from the reversed bytes", [item("u", "unsigned", 12, order="little", value=2748)],
     "C0 A0"),
    ("offset 4 big", [item("u", "unsigned", 16, at=4, value=4660)], "01 23 40"),
    ("offset 4 little", [item("u", "unsigned", 16, order="little", at=4, value=4660)], "03 41 20"),
    ("short text fills the front", [item("s", "utf8", 32, value="AB")], "41 42 00 00"),
    ("long text keeps its end", [item("s", "utf8", 8, value="AB")], "42"),
    ("text little", [item("s", "utf8", 16, order="little", value="AB")], "42 41"),
    ("text keeps its last 12 bits", [item("s", "utf8", 12, value="ABC")], "24 30"),
    ("binary padded in front", [item("b", "binary", 16, value=b"\x01")], "00 01"),
    ("binary 12", [item("b", "binary", 12, value=bytes.fromhex("AB CD"))], "BC D0"),
    ("binary 12 reversed", [item("b", "binary", 12, reverse=True, value=bytes.fromhex("AB CD"))], "B3 D0"),
    ("binary from bytearray", [item("b", "binary", 16, value=bytearray(b"\x12\x34"))], "12 34"),
    ("binary from a list", [item("b", "binary", 24, value=[1, 2, 3])], "01 02 03"),
    ("binary from a tuple, long", [item("b", "binary", 8, value=(1, 2, 3))], "03"),
    ("binary little", [item("b", "binary", 16, order="little", value=b"\x12\x34")], "34 12"),
    ("binary 0 bits", [item("b", "binary", 0, value=b"\xff")], ""),
    ("empty recipe", [], ""),
    ("zero width at 100 still sizes the packet", [item("u", "unsigned", 0, at=100, value=0)], "00" * 13),
    ("offset back then follow", [item("A", "unsigned", 8, at=16, value=1), item("B", "unsigned", 8, at=0, value=2),
                                 item("C", "unsigned", 8, value=3)], "02 03 01 00"),
    ("overlap: later wins, zeros too", [item("a", "unsigned", 8, at=0, value=0xFF),
                                        item("b", "unsigned", 8, at=4, value=0x0F)], "F0 F0"),
    ("gap stays zero", [item("a", "unsigned", 4, at=0, value=0xF), item("b", "unsigned", 4, at=12, value=0xF)],
     "F0 0F"),
    ("reverse on text has no effect", [item("s", "utf8", 16, reverse=True, value="AB")], "41 42"),
    ("reverse unsigned 4", [item("u", "unsigned", 4, reverse=True, value=1)], "80"),
    ("unsigned 12 at 0", [item("u", "unsigned", 12, value=2748)], "AB C0"),
    ("unsigned 16 at 0", [item("u", "unsigned", 16, value=2748)], "0A BC"),
    ("unsigned 64", [item("u", "unsigned", 64, value=2**64 - 1)], "FF" * 8),
    ("unsigned 64 little reversed", [item("u", "unsigned", 64, order="little", reverse=True, value=1)],
     "00 00 00 00 00 00 00 80"),
    ("twos 64 at bit 3", [item("t", "twos_complement", 64, at=3, value=-1)], "1F FF FF FF FF FF FF FF E0"),
    ("ones", [item("o", "ones_complement", 8, value=-1)], "FE"),
    ("sign-magnitude", [item("s", "sign_magnitude", 8, value=-5)], "85"),
    ("packed bcd signed", [item("p", "packed_bcd_signed", 16, value=-123)], "12 3D"),
    ("packed bcd", [item("p", "packed_bcd", 16, value=1234)], "12 34"),
    ("zoned decimal", [item("z", "bcd_signed", 24, value=-123)], "F1 F2 D3"),
    ("unpacked bcd", [item("z", "bcd", 24, value=123)], "01 02 03"),
    ("ieee754 16", [item("f", "ieee754", 16, value=1.0)], "3C 00"),
    ("ieee754 16 rounds twice", [item("f", "ieee754", 16, value=1 + 2.0**-11 + 2.0**-40)], "3C 00"),
    ("ieee754 32", [item("f", "IEEE-754", 32, value=1.0)], "3F 80 00 00"),
    ("ieee754 32 from int", [item("f", "ieee754", 32, value=1)], "3F 80 00 00"),
    ("ieee754 64 little", [item("f", "ieee_754", 64, order="little", value=1.0)], "00 00 00 00 00 00 F0 3F"),
    ("bool value is an int", [item("u", "unsigned", 8, value=True)], "01"),
    # zero-width numeric fields in little-endian order write nothing, wherever they lie
    ("zero-width little fields", [item("a", "unsigned", 8, value=0xAB), item("z", "unsigned", 0, order="little", value=0),
                                  item("t", "twos_complement", 0, order="little", value=0),
                                  item("b", "unsigned", 8, order="little", value=0xCD)], "AB CD"),
    ("zero-width little field inside a byte", [item("a", "unsigned", 16, value=0xFFFF),
                                               item("z", "unsigned", 0, order="little", at=4, value=0)], "FF FF"),
    # -1 is the conversions' failure sentinel: a real -1 on every slow path
    ("twos -1 from an int subclass", [item("v", "twos_complement", 8, value=Int(-1))], "FF"),
    ("twos -1 from __index__", [item("v", "twos_complement", 8, value=Index(-1))], "FF"),
    ("ones -1 from __index__", [item("v", "ones_complement", 8, value=Index(-1))], "FE"),
    ("sign-magnitude -1 from an int subclass", [item("v", "sign_magnitude", 8, value=Int(-1))], "81"),
    ("zoned -1 from __index__", [item("v", "bcd_signed", 16, value=Index(-1))], "F0 D1"),
    ("unpacked bcd drops the sign of -1", [item("v", "bcd", 8, value=Index(-1))], "01"),
    ("packed bcd signed -1 from an int subclass", [item("v", "packed_bcd_signed", 8, value=Int(-1))], "1D"),
    ("ieee754 -1.0 from a float subclass", [item("f", "ieee754", 32, value=Float(-1.0))], "BF 80 00 00"),
    ("ieee754 -1.0 from __float__", [item("f", "ieee754", 64, value=Floaty(-1.0))], "BF F0 00 00 00 00 00 00"),
    ("ieee754 -1 from __index__", [item("f", "ieee754", 16, value=Index(-1))], "BC 00"),
    ("unsigned 2**64-1 from __index__", [item("u", "unsigned", 64, value=Index(2**64 - 1))], "FF" * 8),
    ("unsigned 2**64-1 from an int subclass", [item("u", "unsigned", 64, value=Int(2**64 - 1))], "FF" * 8),
]


@pytest.mark.parametrize("recipe, expected", [c[1:] for c in PACKED], ids=[c[0] for c in PACKED])
def test_pack(recipe, expected):
    assert pack(recipe) == bytes.fromhex(expected)


def test_recipe_may_be_any_sequence():
    recipe = [item("temp", "twos_complement", 16, value=-2), item("mode", "unsigned", 8, value=3)]

    class Recipe:
        def __len__(self):
            return 2

        def __getitem__(self, i):
            return recipe[i]

    assert pack(tuple(recipe)) == pack(recipe) == pack(Recipe()) == bytes.fromhex("FF FE 03")


def test_dict_subclass_hooks_are_not_consulted():
    assert pack([HookedDict(item("u", "unsigned", 8, value=7))]) == b"\x07"
    with pytest.raises(ValueError, match="missing required field: 'bits'"):
        pack([HookedDict(without(item("u", "unsigned", 8, value=7), "bits"))])


def test_keys_not_in_the_item_format_are_ignored():
    assert pack([item("u", "unsigned", 8, value=7, signed=True, comment="x")]) == b"\x07"


# ---- encoding names ---------------------------------------------------------------------------

NUMERIC_NAMES = {
    "unsigned": (8, 5, "05"),
    "twos_complement": (8, -1, "FF"), "twos-complement": (8, -1, "FF"), "twoscomplement": (8, -1, "FF"),
    "ones_complement": (8, -1, "FE"), "ones-complement": (8, -1, "FE"), "onescomplement": (8, -1, "FE"),
    "sign_magnitude": (8, -1, "81"), "sign-magnitude": (8, -1, "81"), "signmagnitude": (8, -1, "81"),
    "bcd": (16, 12, "01 02"),
    "bcd_signed": (16, 12, "F1 C2"), "bcd-signed": (16, 12, "F1 C2"), "bcdsigned": (16, 12, "F1 C2"),
    "packed_bcd": (16, 12, "00 12"), "packed-bcd": (16, 12, "00 12"), "packedbcd": (16, 12, "00 12"),
    "packed_bcd_signed": (16, -12, "01 2D"), "packed-bcd-signed": (16, -12, "01 2D"),
    "packedbcdsigned": (16, -12, "01 2D"),
    "ieee754": (32, 1.0, "3F 80 00 00"), "ieee_754": (32, 1.0, "3F 80 00 00"), "ieee-754": (32, 1.0, "3F 80 00 00"),
}
UNBUILT_NAMES = {
    "ieee754_1985": "IEEE 754-1985 f32", "ieee754-1985": "IEEE 754-1985 f32",
    "ieee_754_1985": "IEEE 754-1985 f32", "ieee_754-1985": "IEEE 754-1985 f32",
    "mil_std_1750a": "MIL-STD-1750A f32", "mil-std-1750a": "MIL-STD-1750A f32",
    "mil_std-1750a": "MIL-STD-1750A f32",
    "ti": "TI f32", "dec": "DEC f32", "ibm": "IBM f32",
}
# Decode-side names, widths included, which the packer must not know.
DECODE_ONLY_NAMES = ["latin1", "ieee754_f16", "ieee754_f32", "ieee754_f64", "ieee754_f128", "ieee754_1985_f80",
                     "mil_std_1750a_f48", "ti_f40", "dec_f64", "ibm_f32"]
TEXT_NAMES = {
    "utf8": "utf8", "utf_8": "utf8", "utf-8": "utf8",
    "utf16": "utf16", "utf_16": "utf16", "utf-16": "utf16",
    "utf16le": "utf16le", "utf-16le": "utf16le", "utf_16_le": "utf16le",
    "utf16be": "utf16be", "utf-16be": "utf16be", "utf_16_be": "utf16be",
    "utf32": "utf32", "utf_32": "utf32", "utf-32": "utf32",
    "utf32le": "utf32le", "utf-32le": "utf32le", "utf_32_le": "utf32le",
    "utf32be": "utf32be", "utf-32be": "utf32be", "utf_32_be": "utf32be",
    "usascii": "us_ascii", "us_ascii": "us_ascii", "us-ascii": "us_ascii",
    "iso_8859_1": "iso_8859_1", "iso-8859-1": "iso_8859_1", "iso8859_1": "iso_8859_1", "iso8859-1": "iso_8859_1",
    "windows1252": "windows_1252", "windows_1252": "windows_1252", "windows-1252": "windows_1252",
}


TABLE = {*NUMERIC_NAMES, *UNBUILT_NAMES, *TEXT_NAMES, "binary"}


def accepted(name):
    # The name is resolved before the value is converted: any other outcome means it is known.
    try:
        pack([item("x", name, 32, value=None)])
    except ValueError as e:
        return str(e) != f"ValueError: Unsupported encoding type: {name}"
    return True


def test_the_module_accepts_exactly_the_65_names():
    candidates = separator_variants(TABLE | set(DECODE_ONLY_NAMES))
    assert len(TABLE) == 65 and TABLE <= candidates and len(candidates) > 500
    assert {name for name in candidates if accepted(name)} == TABLE



@pytest.mark.parametrize("name", sorted(NUMERIC_NAMES))
def test_numeric_names_in_any_case(name):
    bits, value, expected = NUMERIC_NAMES[name]
    for spelled in spellings(name):
        assert pack([item("x", spelled, bits, value=value)]) == bytes.fromhex(expected)


@pytest.mark.parametrize("name", sorted(UNBUILT_NAMES))
def test_unbuilt_float_names_in_any_case(name):
    for spelled in spellings(name):
        with pytest.raises(ValueError) as info:
            pack([item("x", spelled, 32, value=1.5)])
        assert str(info.value) == f"NotImplementedError: {UNBUILT_NAMES[name]} encoding not yet implemented"


@pytest.mark.parametrize("name", sorted(TEXT_NAMES))
def test_text_names_in_any_case(name):
    text = "Hi" if TEXT_NAMES[name] == "us_ascii" else "Hé"
    field = TEXT_CODECS.get(TEXT_NAMES[name], lambda s: s.encode("cp1252"))(text)
    for spelled in spellings(name):
        assert pack([item("x", spelled, 8 * len(field), value=text)]) == field


@pytest.mark.parametrize("name", ["binary", "BINARY", "Binary"])
def test_binary_name(name):
    assert pack([item("x", name, 8, value=b"\x7f")]) == b"\x7f"


@pytest.mark.parametrize("name", [
    "ieee-754-1985", "utf_16le", "utf-16-le", "latin1", "milstd1750a", " utf-8", "utf-8 ", "utf 8", "",
    "ieee754_f32", "unsigned\0", "u\u0308nsigned",
])
def test_names_outside_the_table_are_refused_as_written(name):
    with pytest.raises(ValueError) as info:
        pack([item("x", name, 8, value=1)])
    assert str(info.value) == f"ValueError: Unsupported encoding type: {name}"


def test_lower_casing_is_the_full_unicode_mapping():
    # U+212A KELVIN SIGN lowers to 'k', U+0130 to 'i' with a combining dot
    assert pack([item("x", "PAC\u212aED_BCD", 8, value=12)]) == b"\x12"
    with pytest.raises(ValueError, match="Unsupported encoding type: B\u0130NARY$"):
        pack([item("x", "B\u0130NARY", 8, value=b"\0")])


@pytest.mark.parametrize("order, expected", [("big", "12 34"), ("BIG", "12 34"), ("Big", "12 34"),
                                             ("little", "34 12"), ("LITTLE", "34 12"), ("Little", "34 12")])
def test_byte_orders(order, expected):
    assert pack([item("u", "unsigned", 16, order=order, value=0x1234)]) == bytes.fromhex(expected)


@pytest.mark.parametrize("order", ["network", " big", "big ", "b", "", "bigendian", "\u0130"])
def test_byte_orders_refused_as_written(order):
    with pytest.raises(ValueError) as info:
        pack([item("u", "unsigned", 16, order=order, value=0x1234)])
    assert str(info.value) == f"ValueError: Invalid byte_order '{order}': must be 'big' or 'little'"


# ---- failures: messages and the order in which they are found --------------------------------

MISSING = "KeyError: \"Recipe missing required field: '{}'\""

REFUSED = [
    ("empty item", [{}], MISSING.format("bits")),
    ("item is a list", [[1, 2]], "TypeError: 'list' object cannot be cast as 'dict'"),
    ("item is None", [None], "TypeError: 'NoneType' object cannot be cast as 'dict'"),
    ("missing name", [without(item("a", "unsigned", 8, value=1), "name")], MISSING.format("name")),
    ("missing encoding", [without(item("a", "unsigned", 8, value=1), "encoding")], MISSING.format("encoding")),
    ("missing byte_order", [without(item("a", "unsigned", 8, value=1), "byte_order")],
     MISSING.format("byte_order")),
    ("missing reverse_bits on text", [without(item("s", "utf8", 16, value="AB"), "reverse_bits")],
     MISSING.format("reverse_bits")),
    ("missing value", [item("speed", "unsigned", 8)],
     "KeyError: \"Recipe item 'speed' missing required field: 'value'\""),
    ("missing value named with both quotes", [item("it's \"x\"", "unsigned", 8)],
     "KeyError: " + repr("Recipe item 'it's \"x\"' missing required field: 'value'")),
    ("sizing pass reads bits of every item first",
     [without(item("a", "unsigned", 8, value=1), "name"), item("b", "unsigned", 8, value=2),
      without(item("c", "unsigned", 8, value=3), "bits")], MISSING.format("bits")),
    ("sizing pass reads offset_bits too",
     [without(item("a", "unsigned", 8, value=1), "name"), item("b", "unsigned", 8, value=2, offset_bits="x")],
     "TypeError: 'str' object cannot be interpreted as an integer"),
    ("missing value before unsupported encoding", [item("x", "foo", 8)],
     "KeyError: \"Recipe item 'x' missing required field: 'value'\""),
    ("value conversion before byte order", [item("x", "unsigned", 8, order="network", value="abc")],
     "TypeError: 'str' object cannot be interpreted as an integer"),
    ("encoder refusal before byte order", [item("x", "unsigned", 8, order="network", value=256)],
     "ValueError: Value 256 is too large for 8 bits"),
    ("byte order after a good value", [item("x", "unsigned", 8, order="network", value=1)],
     "ValueError: Invalid byte_order 'network': must be 'big' or 'little'"),
    ("byte order of a text field, after its value", [item("s", "utf8", 16, order="Network", value="AB")],
     "ValueError: Invalid byte_order 'Network': must be 'big' or 'little'"),
    ("byte order of a binary field, after its value", [item("b", "binary", 16, order="", value=b"AB")],
     "ValueError: Invalid byte_order '': must be 'big' or 'little'"),
    ("text value before byte order", [item("s", "utf8", 16, order="network", value=b"AB")],
     "TypeError: 'bytes' object cannot be cast as 'str'"),
    ("name must be a str", [item(5, "unsigned", 8, value=1)], "TypeError: 'int' object cannot be cast as 'str'"),
    ("encoding must be a str", [item("a", b"unsigned", 8, value=1)],
     "TypeError: 'bytes' object cannot be cast as 'str'"),
    ("byte_order must be a str", [item("a", "unsigned", 8, order=None, value=1)],
     "TypeError: 'NoneType' object cannot be cast as 'str'"),
    ("reverse_bits 1", [item("u", "unsigned", 8, reverse=1, value=1)],
     "TypeError: 'int' object cannot be cast as 'bool'"),
    ("reverse_bits 0", [item("u", "unsigned", 8, reverse=0, value=1)],
     "TypeError: 'int' object cannot be cast as 'bool'"),
    ("bits 8.0", [item("u", "unsigned", 8.0, value=1)], "TypeError: 'float' object cannot be interpreted as an integer"),
    ("bits 2**32", [item("u", "unsigned", 2**32, value=1)],
     "OverflowError: out of range integral type conversion attempted"),
    ("offset None is present", [item("u", "unsigned", 8, value=1, offset_bits=None)],
     "TypeError: 'NoneType' object cannot be interpreted as an integer"),
    ("offset 2**32", [item("u", "unsigned", 8, value=1, offset_bits=2**32)],
     "OverflowError: out of range integral type conversion attempted"),
    ("unsigned negative", [item("u", "unsigned", 8, value=-1)],
     "OverflowError: can't convert negative int to unsigned"),
    ("unsigned too large", [item("u", "unsigned", 8, value=256)], "ValueError: Value 256 is too large for 8 bits"),
    ("unsigned 1 in 0 bits", [item("u", "unsigned", 0, value=1)], "ValueError: Value 1 is too large for 0 bits"),
    ("unsigned 65 bits", [item("u", "unsigned", 65, value=1)],
     "ValueError: Cannot encode 65 bits from a 64-bit value"),
    ("twos 65 bits", [item("t", "twos_complement", 65, value=1)],
     "ValueError: bits must be <= 64 for two's complement encoding"),
    ("twos out of range", [item("t", "twos_complement", 8, value=128)],
     "ValueError: Value 128 out of range for 8 bits (range: -128 to 127)"),
    ("packed bcd 72 bits", [item("p", "packed_bcd", 72, value=1)], "ValueError: bits must be <= 64 for packed BCD"),
    ("ieee width 48", [item("f", "ieee754", 48, value=1.0)],
     "ValueError: Unsupported IEEE 754 bit width: 48 (supported: 16, 32, 64, 128)"),
    ("ieee width 48 before the value", [item("f", "ieee754", 48, value="x")],
     "ValueError: Unsupported IEEE 754 bit width: 48 (supported: 16, 32, 64, 128)"),
    ("ieee 128", [item("f", "ieee754", 128, value=1.0)],
     "NotImplementedError: IEEE 754 f128 encoding not yet implemented"),
    ("ieee 128 converts first", [item("f", "ieee754", 128, value="x")],
     "TypeError: must be real number, not str"),
    ("ieee1985 width 16", [item("f", "ieee754-1985", 16, value=1.0)],
     "ValueError: Unsupported IEEE 754-1985 bit width: 16 (supported: 32, 64, 80)"),
    ("ieee1985 80", [item("f", "ieee_754-1985", 80, value=1.0)],
     "NotImplementedError: IEEE 754-1985 f80 encoding not yet implemented"),
    ("mil-std width", [item("f", "mil_std_1750a", 64, value=1.0)],
     "ValueError: Unsupported MIL-STD-1750A bit width: 64 (supported: 32, 48)"),
    ("mil-std 48", [item("f", "mil-std-1750a", 48, value=1.0)],
     "NotImplementedError: MIL-STD-1750A f48 encoding not yet implemented"),
    ("ti width before value", [item("t", "ti", 24, value="x")],
     "ValueError: Unsupported TI float bit width: 24 (supported: 32, 40)"),
    ("ti str value", [item("t", "ti", 32, value="x")], "TypeError: must be real number, not str"),
    ("ti 32", [item("t", "ti", 32, value=1.5)], "NotImplementedError: TI f32 encoding not yet implemented"),
    ("ti 40", [item("t", "ti", 40, value=1.5)], "NotImplementedError: TI f40 encoding not yet implemented"),
    ("dec width", [item("d", "dec", 40, value=1.5)],
     "ValueError: Unsupported DEC float bit width: 40 (supported: 32, 64)"),
    ("dec 64", [item("d", "dec", 64, value=1.5)], "NotImplementedError: DEC f64 encoding not yet implemented"),
    ("ibm width", [item("i", "ibm", 16, value=1.5)],
     "ValueError: Unsupported IBM float bit width: 16 (supported: 32, 64)"),
    ("ibm 64", [item("i", "ibm", 64, value=1.5)], "NotImplementedError: IBM f64 encoding not yet implemented"),
    ("32-bit unbuilt narrows first", [item("i", "ibm", 32, value=10**400)],
     "OverflowError: int too large to convert to float"),
    # the width tables of the unbuilt families have empty rows: width 0 must not match one
    ("ti width 0", [item("t", "ti", 0, value=1.5)], "ValueError: Unsupported TI float bit width: 0 (supported: 32, 40)"),
    ("dec width 0", [item("d", "dec", 0, value=1.5)],
     "ValueError: Unsupported DEC float bit width: 0 (supported: 32, 64)"),
    ("ibm width 0", [item("i", "ibm", 0, value=1.5)],
     "ValueError: Unsupported IBM float bit width: 0 (supported: 32, 64)"),
    ("mil-std width 0", [item("m", "mil_std_1750a", 0, value=1.5)],
     "ValueError: Unsupported MIL-STD-1750A bit width: 0 (supported: 32, 48)"),
    ("ieee1985 width 0", [item("f", "ieee754_1985", 0, value=1.5)],
     "ValueError: Unsupported IEEE 754-1985 bit width: 0 (supported: 32, 64, 80)"),
    # the signed and decimal families convert to a signed 64-bit value first
    ("twos from str", [item("t", "twos_complement", 8, value="1")],
     "TypeError: 'str' object cannot be interpreted as an integer"),
    ("ones 2**63", [item("o", "ones_complement", 64, value=2**63)], "OverflowError: int too big to convert"),
    ("sign-magnitude below -2**63", [item("s", "sign_magnitude", 64, value=-2**63 - 1)],
     "OverflowError: int too big to convert"),
    ("sign-magnitude from float", [item("s", "sign_magnitude", 8, value=1.0)],
     "TypeError: 'float' object cannot be interpreted as an integer"),
    ("bcd from None", [item("z", "bcd", 16, value=None)],
     "TypeError: 'NoneType' object cannot be interpreted as an integer"),
    ("bcd signed 2**63", [item("z", "bcd_signed", 64, value=2**63)], "OverflowError: int too big to convert"),
    ("packed bcd from float", [item("p", "packed_bcd", 16, value=12.0)],
     "TypeError: 'float' object cannot be interpreted as an integer"),
    ("packed bcd signed from str", [item("p", "packed_bcd_signed", 16, value="-12")],
     "TypeError: 'str' object cannot be interpreted as an integer"),
    ("packed bcd signed below -2**63", [item("p", "packed_bcd_signed", 64, value=Index(-2**63 - 1))],
     "OverflowError: int too big to convert"),
    ("signed family, __index__ returning a str", [item("t", "twos_complement", 8, value=Index("x"))],
     interpreters_refusal(operator.index, Index("x"))),
    ("unsigned, __index__ negative", [item("u", "unsigned", 8, value=Index(-1))],
     "OverflowError: can't convert negative int to unsigned"),
    ("unsigned, __index__ 2**64", [item("u", "unsigned", 64, value=Index(2**64))],
     "OverflowError: int too big to convert"),
    # texts of the item are put in UTF-8 by the interpreter, which refuses a lone surrogate
    ("surrogate in name", [item("\ud800", "unsigned", 8, value=1)],
     "UnicodeEncodeError: 'utf-8' codec can't encode character '\\ud800' in position 0: surrogates not allowed"),
    ("surrogate in encoding", [item("u", "utf\udfff8", 8, value=1)],
     "UnicodeEncodeError: 'utf-8' codec can't encode character '\\udfff' in position 3: surrogates not allowed"),
    ("surrogate in byte_order", [item("u", "unsigned", 8, order="big\ud800", value=1)],
     "UnicodeEncodeError: 'utf-8' codec can't encode character '\\ud800' in position 3: surrogates not allowed"),
    ("surrogate in name before a missing value", [item("\U0001F600\udc00", "unsigned", 8)],
     "UnicodeEncodeError: 'utf-8' codec can't encode character '\\udc00' in position 1: surrogates not allowed"),
    ("binary from str", [item("b", "binary", 8, value="ab")], "TypeError: Can't extract `str` to `Vec`"),
    ("binary from int", [item("b", "binary", 8, value=5)], "TypeError: 'int' object cannot be cast as 'Sequence'"),
    ("binary byte above 255", [item("b", "binary", 8, value=[256])],
     "OverflowError: out of range integral type conversion attempted"),
    ("binary byte below 0", [item("b", "binary", 8, value=[-1])],
     "OverflowError: out of range integral type conversion attempted"),
    ("binary item not an int", [item("b", "binary", 8, value=[1.0])],
     "TypeError: 'float' object cannot be interpreted as an integer"),
    ("text from bytes", [item("s", "utf8", 8, value=b"A")], "TypeError: 'bytes' object cannot be cast as 'str'"),
    ("text not encodable", [item("s", "us_ascii", 8, value="é")],
     "ValueError: Character 'é' (U+00E9) is not valid US-ASCII"),
    ("first failing item wins", [item("a", "unsigned", 8, value=300), item("b", "foo", 8, value=1)],
     "ValueError: Value 300 is too large for 8 bits"),
    ("offsets beyond the last position", [item("u", "unsigned", 8, at=2**32 - 4, value=1)],
     "ValueError: Field at bit 4294967292 with 8 bits ends beyond bit 4294967295, the largest packet position"),
    ("running position beyond the last position",
     [item("a", "unsigned", 0, at=2**32 - 1, value=0), item("b", "unsigned", 8, value=1)],
     "ValueError: Field at bit 4294967295 with 8 bits ends beyond bit 4294967295, the largest packet position"),
]


@pytest.mark.parametrize("recipe, message", [c[1:] for c in REFUSED], ids=[c[0] for c in REFUSED])
def test_pack_refused(recipe, message):
    with pytest.raises(ValueError) as info:
        pack(recipe)
    assert type(info.value) is ValueError
    assert str(info.value) == message
    assert info.value.__cause__ is None and info.value.__context__ is None


def test_surrogate_in_text_is_the_interpreters_error():
    with pytest.raises(ValueError) as info:
        pack([item("s", "us_ascii", 16, order="network", value="é\ud800")])
    assert str(info.value).startswith("UnicodeEncodeError: 'utf-8' codec can't encode character '\\ud800'")


def test_argument_refusals_keep_their_type():
    for value, message in [("abc", "argument 'recipe': Can't extract `str` to `Vec`"),
                           (5, "argument 'recipe': 'int' object cannot be cast as 'Sequence'"),
                           ({"name": "x"}, "argument 'recipe': 'dict' object cannot be cast as 'Sequence'"),
                           (b"ab", "argument 'recipe': 'int' object cannot be cast as 'dict'")]:
        kind = ValueError if isinstance(value, bytes) else TypeError
        with pytest.raises(kind) as info:
            pack(value)
        assert str(info.value) == (message if kind is TypeError else "TypeError: 'int' object cannot be cast as 'dict'")


def test_error_raised_while_iterating_passes_unchanged():
    def items():
        yield item("u", "unsigned", 8, value=1)
        raise ZeroDivisionError("while iterating")

    class Recipe:
        def __len__(self):
            return 2

        def __getitem__(self, i):
            if i == 1:
                raise ZeroDivisionError("while iterating")
            return item("u", "unsigned", 8, value=1)

    with pytest.raises(ZeroDivisionError, match="while iterating"):
        pack(Recipe())


class Sneaky(Exception):
    def __str__(self):
        raise RuntimeError("no str")


def test_str_failure_of_the_inner_exception():
    class Value:
        def __index__(self):
            raise Sneaky()

    with pytest.raises(ValueError) as info:
        pack([item("u", "unsigned", 8, value=Value())])
    assert str(info.value) == "Sneaky: <exception str() failed>"


class OutOfMemory(MemoryError):
    pass


@pytest.mark.parametrize("key", ["value", "bits", "offset_bits"])
@pytest.mark.parametrize("kind", [MemoryError, OutOfMemory])
def test_memory_error_from_a_conversion_passes_unchanged(key, kind):
    # Every other failure of the core becomes a ValueError; a MemoryError stays what it is, the
    # very object the interpreter raised.
    raised = kind("no room")

    class Exhausting:
        def __index__(self):
            raise raised

    with pytest.raises(kind) as info:
        pack([dict(item("u", "unsigned", 8, value=1), **{key: Exhausting()})])
    assert info.value is raised


def test_a_failing_len_is_only_a_hint():
    recipe = [item("temp", "twos_complement", 16, value=-2), item("mode", "unsigned", 8, value=3)]

    class Recipe:
        def __init__(self, length):
            self.length = length

        def __len__(self):
            return self.length()

        def __getitem__(self, i):
            return recipe[i]

    def refuse():
        raise ZeroDivisionError("no length")

    for length in [refuse, lambda: 2**40, lambda: 0, lambda: -1]:
        assert pack(Recipe(length)) == bytes.fromhex("FF FE 03")


# The free-threaded build's allocator reserves its arenas at start-up and serves the packet from
# them, whatever the limit.
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


@pytest.mark.skipif(SANITIZED, reason="the sanitizer's shadow memory needs more address space than the limit")
@pytest.mark.parametrize("limit, item_text", [
    # a packet of 2^32 - 1 bits is 512 MiB: it fits under 1 GiB, its field bytes do not as well
    (1 << 30, "'encoding': 'binary', 'bits': 2**32 - 1, 'value': b'x'"),
    # a zero-width field at the last position needs the same packet and no field bytes
    pytest.param(1 << 28, "'encoding': 'unsigned', 'bits': 0, 'offset_bits': 2**32 - 1, 'value': 0",
                 marks=pytest.mark.skipif(FREE_THREADED, reason="the packet comes from memory reserved earlier")),
], ids=["field bytes", "packet"])
def test_memory_error_is_not_rewrapped(limit, item_text):
    code = (
        "import mmap, resource, sys, tessel\n"
        f"resource.setrlimit(resource.RLIMIT_AS, ({limit}, {limit}))\n"
        "try:\n"
        f"    mmap.mmap(-1, {limit})\n"
        "except OSError:\n"
        "    pass\n"
        "else:\n"
        "    sys.exit('unenforced')\n"
        "try:\n"
        f"    tessel.pack_parameters([{{'name': 'x', 'byte_order': 'big', 'reverse_bits': False, {item_text}}}])\n"
        "except MemoryError as e:\n"
        "    print(type(e).__name__, e.__cause__, e.__context__)\n"
    )
    if resource.getrlimit(resource.RLIMIT_AS)[1] != resource.RLIM_INFINITY:
        pytest.skip("address space already limited")
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120,
                            env=dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p)))
    if result.stderr.strip() == "unenforced":
        pytest.skip("this host does not enforce an address-space limit (qemu user-mode emulation ignores it)")
    assert result.stdout.strip() == "MemoryError None None", result.stderr


def test_recipe_changed_by_a_value_conversion_is_packed_as_it_was():
    # Each item's keys are read once, before any value is converted: Python code run by a
    # conversion cannot move a field outside the packet the sizing pass measured.
    recipe = [item("a", "unsigned", 8, value=1), item("b", "unsigned", 8, value=2)]

    class Grow:
        def __index__(self):
            recipe[1]["bits"] = 64
            recipe[1]["value"] = 2**64 - 1
            del recipe[1]["byte_order"]
            return 1

    recipe[0]["value"] = Grow()
    assert pack(recipe) == b"\x01\x02"
    assert "byte_order" not in recipe[1]


# ---- random recipes against the placement model -----------------------------------------------

# Field patterns written from the formats' definitions, not from tessel's encoders.
def zoned(value, bits):
    digits = str(abs(value)).zfill(bits // 8)
    zones = [0xF0] * (len(digits) - 1) + [0xD0 if value < 0 else 0xC0]
    return int.from_bytes(bytes(z | int(d) for z, d in zip(zones, digits)), "big")


ENCODERS = {
    "unsigned": lambda v, b: v,
    "twos_complement": lambda v, b: v % 2**b,
    "ones_complement": lambda v, b: v if v >= 0 else 2**b - 1 + v,
    "sign_magnitude": lambda v, b: v if v >= 0 else 2**(b - 1) - v,
    "packed_bcd": lambda v, b: int(str(v).zfill(b // 4), 16),
    "bcd_signed": zoned,
}


@st.composite
def numeric_items(draw):
    family = draw(st.sampled_from(sorted(ENCODERS) + ["ieee754"]))
    if family == "ieee754":
        bits = draw(st.sampled_from([16, 32, 64]))
        value = draw(st.floats(width=32 if bits < 64 else 64, allow_nan=False))
    elif family == "unsigned":
        bits = draw(st.integers(0, 64))
        value = draw(st.integers(0, 2**bits - 1))
    elif family in ("twos_complement", "ones_complement", "sign_magnitude"):
        bits = draw(st.integers(2, 64))
        half = 2**(bits - 1)
        value = draw(st.integers(-half + 1, half - 1))
    elif family == "packed_bcd":
        bits = draw(st.integers(4, 64))
        value = draw(st.integers(0, min(10**(bits // 4) - 1, 2**63 - 1)))
    else:
        bits = draw(st.integers(8, 64))
        value = draw(st.integers(-(10**(bits // 8) - 1), 10**(bits // 8) - 1))
    return family, bits, value


@st.composite
def random_items(draw):
    kind = draw(st.sampled_from(["numeric", "numeric", "binary", "text"]))
    if kind == "numeric":
        family, bits, value = draw(numeric_items())
    elif kind == "binary":
        family, bits = "binary", draw(st.integers(0, 80))
        value = draw(st.binary(max_size=12))
    else:
        family = draw(st.sampled_from(sorted(TEXT_CODECS)))
        bits = draw(st.integers(0, 96))
        alphabet = st.characters(max_codepoint=0x7F if family == "us_ascii" else
                                 0xFF if family == "iso_8859_1" else 0x10FFFF, exclude_categories=["Cs"])
        value = draw(st.text(alphabet, max_size=6))
    at = draw(st.one_of(st.none(), st.integers(0, 120)))
    return item(draw(st.sampled_from(["a", "b", "c"])), draw(st.sampled_from([family, family.upper()])), bits,
                order=draw(st.sampled_from(["big", "little", "Little"])), reverse=draw(st.booleans()), at=at,
                value=value)


def field_bytes(it):
    family, bits, value, reverse = it["encoding"].lower(), it["bits"], it["value"], it["reverse_bits"]
    if family == "binary":
        return binary_field_bytes(value, bits, reverse)
    if family in TEXT_CODECS:
        return TEXT_CODECS[family](value)
    if family == "ieee754":
        fmt = {16: ">e", 32: ">f", 64: ">d"}[bits]
        if bits == 16:  # binary16 is rounded through binary32
            value = struct.unpack(">f", struct.pack(">f", value))[0]
        try:
            pattern = int.from_bytes(struct.pack(fmt, value), "big")
        except OverflowError:  # rounds beyond the largest binary16: infinity of the sign
            pattern = 0xFC00 if value < 0 else 0x7C00
        return numeric_field_bytes(pattern, bits, reverse)
    return numeric_field_bytes(ENCODERS[family](value, bits), bits, reverse)


@given(st.lists(random_items(), max_size=8))
def test_random_recipes_match_the_placement_model(recipe):
    assert pack(recipe) == model_pack(recipe, field_bytes)


@given(st.integers(0, 2**64 - 1), st.integers(1, 64), st.integers(0, 40), st.booleans(), st.booleans())
def test_single_numeric_field_bits(value, bits, at, little, reverse):
    value &= (1 << bits) - 1
    recipe = [item("u", "unsigned", bits, order="little" if little else "big", reverse=reverse, at=at, value=value)]
    assert pack(recipe) == model_pack(recipe, field_bytes)
