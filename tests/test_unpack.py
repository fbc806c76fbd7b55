"""unpack_parameters: byte-addressed reading, decode-side names, failures and their order."""
import math
import os
import struct
import subprocess
import sys

import pytest
from hypothesis import given
from hypothesis import strategies as st

import tessel
from recipes import TEXT_CODECS, HookedDict, item, panic_type, separator_variants, spellings, without

unpack = tessel.unpack_parameters


WIDE = "01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10 11"

UNPACKED = [
    ("typical request", "FF FE 03", 0,
     [item("temp", "twos_complement", 16), item("mode", "unsigned", 8)], {"temp": -2, "mode": 3}),
    ("empty recipe", "AB CD", 12345, [], {}),
    ("empty recipe, empty packet", "", 0, [], {}),
    ("12 bits big", "AB CD", 0, [item("v", "unsigned", 12)], {"v": 0xBCD}),
    ("12 bits little", "AB CD", 0, [item("v", "unsigned", 12, order="little")], {"v": 0xDAB}),
    ("base offset 4 drops the low bits", "AB CD", 4, [item("v", "unsigned", 8)], {"v": 0xAB}),
    ("two nibbles read the same byte", "AB", 0, [item("a", "unsigned", 4), item("b", "unsigned", 4)],
     {"a": 0xB, "b": 0xB}),
    ("12 bits after packing", "AB C0", 0, [item("u", "unsigned", 12)], {"u": 0xBC0}),
    ("16 bits after packing", "0A BC", 0, [item("u", "unsigned", 16)], {"u": 2748}),
    ("offset plus base, then running", "00 01 02 03 04 05", 8,
     [item("a", "unsigned", 8, at=16), item("b", "unsigned", 8)], {"a": 3, "b": 4}),
    ("reverse 8", "01", 0, [item("v", "unsigned", 8, reverse=True)], {"v": 128}),
    ("reverse 12", "AB CD", 0, [item("v", "unsigned", 12, reverse=True)], {"v": 0xB3D}),
    ("reverse 12 little", "AB CD", 0, [item("v", "unsigned", 12, order="little", reverse=True)],
     {"v": int(format(0xDAB, "012b")[::-1], 2)}),
    ("zero width unsigned", "AB", 0, [item("z", "unsigned", 0)], {"z": 0}),
    ("zero width utf8", "AB", 0, [item("s", "utf8", 0)], {"s": ""}),
    ("zero width at the end", "AB CD", 0, [item("z", "unsigned", 0, at=16)], {"z": 0}),
    ("twos 8", "FF", 0, [item("v", "twos_complement", 8)], {"v": -1}),
    ("twos 64", "FF" * 8, 0, [item("v", "twos_complement", 64)], {"v": -1}),
    ("twos 12 of two bytes", "0F FF", 0, [item("v", "TwosComplement", 12)], {"v": -1}),
    ("ones negative zero", "FF", 0, [item("v", "ones_complement", 8)], {"v": 0}),
    ("ones minus one", "FE", 0, [item("v", "onescomplement", 8)], {"v": -1}),
    ("ones 64", "80 00 00 00 00 00 00 00", 0, [item("v", "ones_complement", 64)], {"v": -(2**63 - 1)}),
    ("sign-magnitude", "81", 0, [item("v", "sign_magnitude", 8)], {"v": -1}),
    ("sign-magnitude negative zero", "80", 0, [item("v", "signmagnitude", 8)], {"v": 0}),
    ("unsigned 64", "FF" * 8, 0, [item("v", "unsigned", 64)], {"v": 2**64 - 1}),
    ("unsigned 72 reads the first eight bytes", "01 02 03 04 05 06 07 08 09", 0,
     [item("v", "unsigned", 72)], {"v": 0x0102030405060708}),
    ("unsigned 72 little", "01 02 03 04 05 06 07 08 09", 0,
     [item("v", "unsigned", 72, order="little")], {"v": 0x0908070605040302}),
    ("packed bcd", "12 34", 0, [item("v", "packed_bcd", 16)], {"v": 1234}),
    ("packed bcd signed", "12 3D", 0, [item("v", "packed-bcd-signed", 16)], {"v": -123}),
    ("zoned", "F1 F2 D3", 0, [item("v", "bcd-signed", 24)], {"v": -123}),
    ("unpacked bcd", "01 02 03", 0, [item("v", "bcd", 24)], {"v": 123}),
    ("f16", "3C 00", 0, [item("f", "ieee754_f16", 16)], {"f": 1.0}),
    ("f16 of the low 16 bits", "12 3C 00", 0, [item("f", "IEEE754-F16", 24)], {"f": 1.0}),
    ("f32 big", "3F 80 00 00", 0, [item("f", "ieee754_f32", 32)], {"f": 1.0}),
    ("f32 little", "00 00 80 3F", 0, [item("f", "ieee754_f32", 32, order="little")], {"f": 1.0}),
    ("f64", "3F F0 00 00 00 00 00 00", 0, [item("f", "ieee754-f64", 64)], {"f": 1.0}),
    ("f128 of 64 bits reads zero", "3F F0 00 00 00 00 00 00", 0, [item("f", "ieee754_f128", 64)], {"f": 0.0}),
    ("f128 of 0 bits reads zero", "", 0, [item("f", "ieee754_f128", 0)], {"f": 0.0}),
    ("utf8", "48 69", 0, [item("s", "utf8", 16)], {"s": "Hi"}),
    ("utf8 little reverses the bytes", "69 48", 0, [item("s", "utf8", 16, order="little")], {"s": "Hi"}),
    ("utf8 reverse_bits has no effect", "48 69", 0, [item("s", "UTF-8", 16, reverse=True)], {"s": "Hi"}),
    ("utf16 mark", "FF FE 41 00", 0, [item("s", "utf16", 32)], {"s": "A"}),
    ("utf16 no mark", "00 41", 0, [item("s", "utf-16", 16)], {"s": "A"}),
    ("utf16le", "41 00", 0, [item("s", "utf16le", 16)], {"s": "A"}),
    ("utf16be", "00 41", 0, [item("s", "utf-16be", 16)], {"s": "A"}),
    ("utf32", "00 00 00 41", 0, [item("s", "utf32", 32)], {"s": "A"}),
    ("utf32le", "41 00 00 00", 0, [item("s", "utf-32le", 32)], {"s": "A"}),
    ("utf32be", "00 00 00 41", 0, [item("s", "utf32be", 32)], {"s": "A"}),
    ("us-ascii", "41 42", 0, [item("s", "us-ascii", 16)], {"s": "AB"}),
    ("latin1 (decode side only)", "E9", 0, [item("s", "latin1", 8)], {"s": "é"}),
    ("iso-8859-1", "E9", 0, [item("s", "iso_8859_1", 8)], {"s": "é"}),
    ("windows-1252", "80", 0, [item("s", "windows-1252", 8)], {"s": "€"}),
    ("text field of 12 bits reads two bytes", "48 69", 0, [item("s", "utf8", 12)], {"s": "Hi"}),
    ("same name twice keeps the first position and the last value", "01 02 03", 0,
     [item("a", "unsigned", 8), item("b", "unsigned", 8), item("a", "unsigned", 8)], {"a": 3, "b": 2}),
    ("value key is ignored", "07", 0, [item("v", "unsigned", 8, value="ignored")], {"v": 7}),
    # wider than 64 bits: the first eight bytes, mirrored over the whole width, bits 64 and up dropped
    ("reverse 65", WIDE, 0, [item("v", "unsigned", 65, reverse=True)], {"v": 0x21C0C14041808100}),
    ("reverse 72", WIDE, 0, [item("v", "unsigned", 72, reverse=True)], {"v": 0xE060A020C0408000}),
    ("reverse 72 little", WIDE, 0, [item("v", "unsigned", 72, order="little", reverse=True)],
     {"v": 0xC020A060E0109000}),
    ("reverse 100", WIDE, 0, [item("v", "unsigned", 100, reverse=True)], {"v": 0x0C04080000000000}),
    ("reverse 128 leaves nothing", WIDE, 0, [item("v", "unsigned", 128, reverse=True)], {"v": 0}),
    ("reverse 136 leaves nothing", WIDE, 0, [item("v", "unsigned", 136, reverse=True)], {"v": 0}),
    ("twos 72 reversed", WIDE, 0, [item("v", "twos_complement", 72, reverse=True)], {"v": 0xE060A020C0408000 - 2**64}),
    ("sign-magnitude 72 reversed: the sign is bit 63", WIDE, 0, [item("v", "sign_magnitude", 72, reverse=True)],
     {"v": -0x6060A020C0408000}),
]


@pytest.mark.parametrize("packet, base, recipe, expected", [c[1:] for c in UNPACKED], ids=[c[0] for c in UNPACKED])
def test_unpack(packet, base, recipe, expected):
    got = unpack(bytes.fromhex(packet), base, recipe)
    assert list(got.items()) == list(expected.items())
    assert [type(v) for v in got.values()] == [type(v) for v in expected.values()]


def test_float_results_keep_their_bits():
    got = unpack(bytes.fromhex("7E 00 FF C0 00 01 80 00"), 0,
                 [item("h", "ieee754_f16", 16), item("s", "ieee754_f32", 32), item("z", "ieee754_f16", 16)])
    assert math.isnan(got["h"]) and math.isnan(got["s"])
    assert struct.pack(">d", got["s"]) == bytes.fromhex("FF F8 00 00 20 00 00 00")
    assert struct.pack(">d", got["z"]) == struct.pack(">d", -0.0)


def test_packing_and_unpacking_differ_for_unaligned_fields():
    # Unpacking reads whole bytes: a 12-bit field packed at bit 0 does not come back.
    recipe = [item("u", "unsigned", 12, value=2748)]
    packet = tessel.pack_parameters(recipe)
    assert packet == bytes.fromhex("AB C0")
    assert unpack(packet, 0, recipe) == {"u": 0xBC0}
    recipe = [item("u", "unsigned", 16, value=2748)]
    assert unpack(tessel.pack_parameters(recipe), 0, recipe) == {"u": 2748}


def test_result_keys_are_exact_str():
    class Name(str):
        pass

    got = unpack(b"\x07", 0, [item(Name("v"), "unsigned", 8)])
    assert [type(k) for k in got] == [str] and got == {"v": 7}


def test_dict_subclass_hooks_are_not_consulted():
    assert unpack(b"\x07", 0, [HookedDict(item("v", "unsigned", 8))]) == {"v": 7}


# ---- names ---------------------------------------------------------------------------------------

DECODE_NAMES = {
    "unsigned": ("05", 8, 5),
    "twos_complement": ("FF", 8, -1), "twoscomplement": ("FF", 8, -1),
    "ones_complement": ("FE", 8, -1), "onescomplement": ("FE", 8, -1),
    "sign_magnitude": ("81", 8, -1), "signmagnitude": ("81", 8, -1),
    "bcd": ("01 02", 16, 12), "bcd_signed": ("F1 D2", 16, -12), "bcd-signed": ("F1 D2", 16, -12),
    "packed_bcd": ("00 12", 16, 12), "packed-bcd": ("00 12", 16, 12),
    "packed_bcd_signed": ("01 2D", 16, -12), "packed-bcd-signed": ("01 2D", 16, -12),
    "ieee754_f16": ("3C 00", 16, 1.0), "ieee754-f16": ("3C 00", 16, 1.0),
    "ieee754_f32": ("3F 80 00 00", 32, 1.0), "ieee754-f32": ("3F 80 00 00", 32, 1.0),
    "ieee754_f64": ("3F F0 00 00 00 00 00 00", 64, 1.0), "ieee754-f64": ("3F F0 00 00 00 00 00 00", 64, 1.0),
    "ieee754_f128": ("3F F0", 16, 0.0), "ieee754-f128": ("3F F0", 16, 0.0),
    "utf8": ("48 69", 16, "Hi"), "utf-8": ("48 69", 16, "Hi"),
    "utf16": ("00 48", 16, "H"), "utf-16": ("00 48", 16, "H"),
    "utf16le": ("48 00", 16, "H"), "utf-16le": ("48 00", 16, "H"),
    "utf16be": ("00 48", 16, "H"), "utf-16be": ("00 48", 16, "H"),
    "utf32": ("00 00 00 48", 32, "H"), "utf-32": ("00 00 00 48", 32, "H"),
    "utf32le": ("48 00 00 00", 32, "H"), "utf-32le": ("48 00 00 00", 32, "H"),
    "utf32be": ("00 00 00 48", 32, "H"), "utf-32be": ("00 00 00 48", 32, "H"),
    "us_ascii": ("48", 8, "H"), "us-ascii": ("48", 8, "H"),
    "latin1": ("E9", 8, "é"), "iso_8859_1": ("E9", 8, "é"), "iso-8859-1": ("E9", 8, "é"),
    "windows_1252": ("80", 8, "€"), "windows-1252": ("80", 8, "€"),
}
UNBUILT_DECODE_NAMES = {
    "ieee754_1985_f32": "IEEE 754-1985 f32", "ieee754-1985-f32": "IEEE 754-1985 f32",
    "ieee754_1985_f64": "IEEE 754-1985 f64", "ieee754-1985-f64": "IEEE 754-1985 f64",
    "ieee754_1985_f80": "IEEE 754-1985 f80", "ieee754-1985-f80": "IEEE 754-1985 f80",
    "mil_std_1750a_f32": "MIL-STD-1750A f32", "mil-std-1750a-f32": "MIL-STD-1750A f32",
    "mil_std_1750a_f48": "MIL-STD-1750A f48", "mil-std-1750a-f48": "MIL-STD-1750A f48",
    "ti_f32": "TI f32", "ti-f32": "TI f32", "ti_f40": "TI f40", "ti-f40": "TI f40",
    "dec_f32": "DEC f32", "dec-f32": "DEC f32", "dec_f64": "DEC f64", "dec-f64": "DEC f64",
    "ibm_f32": "IBM f32", "ibm-f32": "IBM f32", "ibm_f64": "IBM f64", "ibm-f64": "IBM f64",
}
ENCODE_SIDE_ONLY = [
    "binary", "twos-complement", "ones-complement", "sign-magnitude", "bcdsigned", "packedbcd", "packedbcdsigned",
    "utf_8", "utf_16", "utf_32", "utf_16_le", "utf_16_be", "utf_32_le", "utf_32_be", "usascii", "iso8859_1",
    "iso8859-1", "windows1252", "ieee754", "ieee_754", "ieee-754", "ieee754_1985", "ieee754-1985",
    "ieee_754_1985", "ieee_754-1985", "mil_std_1750a", "mil-std-1750a", "mil_std-1750a", "ti", "dec", "ibm",
]


def known(name):
    # The name is looked up before the decoding runs: any other outcome means it is known.
    try:
        unpack(bytes(16), 0, [item("x", name, 128)])
    except ValueError as e:
        return str(e) != f"ValueError: Unsupported encoding type: {name}"
    return True


def test_the_module_knows_exactly_the_65_names():
    table = {*DECODE_NAMES, *UNBUILT_DECODE_NAMES}
    candidates = separator_variants(table | set(ENCODE_SIDE_ONLY))
    assert len(table) == 65 and table <= candidates and len(candidates) > 500
    assert {name for name in candidates if known(name)} == table



@pytest.mark.parametrize("name", sorted(DECODE_NAMES))
def test_decode_names_in_any_case(name):
    packet, bits, value = DECODE_NAMES[name]
    for spelled in spellings(name):
        got = unpack(bytes.fromhex(packet), 0, [item("x", spelled, bits)])
        assert got == {"x": value} and type(got["x"]) is type(value)


@pytest.mark.parametrize("name", sorted(UNBUILT_DECODE_NAMES))
def test_unbuilt_decode_names(name):
    for spelled in spellings(name):
        for bits in (0, 32, 40):
            with pytest.raises(ValueError) as info:
                unpack(bytes(8), 0, [item("x", spelled, bits)])
            assert str(info.value) == f"NotImplementedError: {UNBUILT_DECODE_NAMES[name]} format not yet implemented"


@pytest.mark.parametrize("name", ENCODE_SIDE_ONLY + ["latin-1", " utf8", "utf8 ", "ieee754_f32 ", "u\u0308nsigned"])
def test_names_not_on_the_decode_side(name):
    with pytest.raises(ValueError) as info:
        unpack(bytes(8), 0, [item("x", name, 8)])
    assert str(info.value) == f"ValueError: Unsupported encoding type: {name}"


def test_names_accepted_on_the_encode_side_only_do_pack():
    for name in ENCODE_SIDE_ONLY:
        value = b"\x01" if name == "binary" else "A" if "utf" in name or "ascii" in name or "8859" in name \
            or "1252" in name else 1.0 if name.startswith(("ieee754", "ieee_754", "ieee-754")) and "1985" not in name \
            else 1
        bits = 32 if isinstance(value, float) else 8 if not any(s in name for s in ("16", "32")) else 64
        try:
            tessel.pack_parameters([item("x", name, bits, value=value)])
        except ValueError as e:  # the unbuilt float families: a width or not-implemented refusal
            assert "Unsupported encoding type" not in str(e)


def test_lower_casing_is_the_full_unicode_mapping():
    assert unpack(b"\x12", 0, [item("x", "PAC\u212aED_BCD", 8)]) == {"x": 12}


# ---- failures ------------------------------------------------------------------------------------

MISSING = "KeyError: \"Recipe missing required field: '{}'\""

REFUSED = [
    ("item is a list", "AB CD", 0, [[1, 2]], "TypeError: 'list' object cannot be cast as 'dict'"),
    ("missing name", "AB", 0, [without(item("v", "unsigned", 8), "name")], MISSING.format("name")),
    ("missing encoding", "AB", 0, [without(item("v", "unsigned", 8), "encoding")], MISSING.format("encoding")),
    ("missing bits", "AB", 0, [without(item("v", "unsigned", 8), "bits")], MISSING.format("bits")),
    ("missing byte_order", "AB", 0, [without(item("v", "unsigned", 8), "byte_order")],
     MISSING.format("byte_order")),
    ("missing reverse_bits", "AB", 0, [without(item("v", "unsigned", 8), "reverse_bits")],
     MISSING.format("reverse_bits")),
    # keys are read in order: name, encoding, bits, byte_order, reverse_bits, offset_bits
    ("name before bits", "AB", 0, [without(item("v", "unsigned", 8), "name", "bits")], MISSING.format("name")),
    ("bits before byte_order", "AB", 0, [without(item("v", "unsigned", 8), "bits", "byte_order")],
     MISSING.format("bits")),
    ("bad bits before bad byte order", "AB", 0, [item("v", "unsigned", "8", order=5)],
     "TypeError: 'str' object cannot be interpreted as an integer"),
    ("bad byte order type before reverse", "AB", 0, [item("v", "unsigned", 8, order=5, reverse=1)],
     "TypeError: 'int' object cannot be cast as 'str'"),
    ("reverse before offset", "AB", 0, [item("v", "unsigned", 8, reverse=1, offset_bits="x")],
     "TypeError: 'int' object cannot be cast as 'bool'"),
    ("offset None", "AB", 0, [item("v", "unsigned", 8, offset_bits=None)],
     "TypeError: 'NoneType' object cannot be interpreted as an integer"),
    ("bits 2**32", "AB", 0, [item("v", "unsigned", 2**32)],
     "OverflowError: out of range integral type conversion attempted"),
    ("byte order before encoding", "AB CD", 0, [item("f", "foo", 8, order="network")],
     "ValueError: Invalid byte_order 'network': must be 'big' or 'little'"),
    ("leading blank byte order", "12 34", 0, [item("v", "unsigned", 16, order=" big")],
     "ValueError: Invalid byte_order ' big': must be 'big' or 'little'"),
    ("trailing blank byte order", "12 34", 0, [item("v", "unsigned", 16, order="big ")],
     "ValueError: Invalid byte_order 'big ': must be 'big' or 'little'"),
    ("encode-side name", "3F 80 00 00", 0, [item("f", "ieee754", 32)],
     "ValueError: Unsupported encoding type: ieee754"),
    ("f128 above 64 bits", "3F FF" + " 00" * 14, 0, [item("f", "ieee754_f128", 128)],
     "ValueError: IEEE 754 f128 requires special handling for >64 bits (not yet implemented in process_recipe)"),
    ("ti", "00 00 00 00", 0, [item("t", "ti_f32", 32)], "NotImplementedError: TI f32 format not yet implemented"),
    ("utf16 of one byte", "41", 0, [item("s", "utf16", 8)],
     "ValueError: UTF-16 requires an even number of bytes with at least 2 bytes"),
    ("utf16 of zero bytes", "AB", 0, [item("s", "utf16", 0)],
     "ValueError: UTF-16 requires an even number of bytes with at least 2 bytes"),
    ("utf8 invalid", "C3 28", 0, [item("s", "utf8", 16)],
     "ValueError: Invalid UTF-8 bytes: invalid utf-8 sequence of 1 bytes from index 0"),
    ("bad packed digit", "1A", 0, [item("v", "packed_bcd", 8)], "ValueError: Invalid BCD digit: 10 (must be 0-9)"),
    ("zoned beyond the pattern", "F1" * 9, 0, [item("v", "bcd_signed", 72)],
     "ValueError: Invalid zoned decimal byte: 0x00 (expected ASCII 0x30-0x39 or EBCDIC 0xF0-0xF9)"),
    ("first failing item wins; earlier values are dropped", "01 02", 0,
     [item("a", "unsigned", 8), item("b", "foo", 8), item("c", "bar", 8)],
     "ValueError: Unsupported encoding type: foo"),
    ("surrogate in name", "AB", 0, [item("\ud800", "unsigned", 8)],
     "UnicodeEncodeError: 'utf-8' codec can't encode character '\\ud800' in position 0: surrogates not allowed"),
    ("surrogate in encoding", "AB", 0, [item("v", "utf\udfff8", 8)],
     "UnicodeEncodeError: 'utf-8' codec can't encode character '\\udfff' in position 3: surrogates not allowed"),
    ("surrogate in byte_order", "AB", 0, [item("v", "unsigned", 8, order="big\ud800")],
     "UnicodeEncodeError: 'utf-8' codec can't encode character '\\ud800' in position 3: surrogates not allowed"),
    ("a start past the last position is refused", "AB", 2**32 - 8,
     [item("a", "unsigned", 0, at=8)],
     "ValueError: Field 'a' would start at bit 4294967296, beyond bit 4294967295, the largest packet position"),
]


@pytest.mark.parametrize("packet, base, recipe, message", [c[1:] for c in REFUSED], ids=[c[0] for c in REFUSED])
def test_unpack_refused(packet, base, recipe, message):
    with pytest.raises(ValueError) as info:
        unpack(bytes.fromhex(packet), base, recipe)
    assert type(info.value) is ValueError
    assert str(info.value) == message
    assert info.value.__cause__ is None and info.value.__context__ is None


class OutOfMemory(MemoryError):
    pass


@pytest.mark.parametrize("key", ["bits", "offset_bits"])
@pytest.mark.parametrize("kind", [MemoryError, OutOfMemory])
def test_memory_error_from_a_conversion_passes_unchanged(key, kind):
    raised = kind("no room")

    class Exhausting:
        def __index__(self):
            raise raised

    with pytest.raises(kind) as info:
        unpack(b"\x07", 0, [dict(item("v", "unsigned", 8), **{key: Exhausting()})])
    assert info.value is raised


def test_a_failing_len_is_only_a_hint():
    recipe = [item("temp", "twos_complement", 16), item("mode", "unsigned", 8)]

    class Recipe:
        def __len__(self):
            raise ZeroDivisionError("no length")

        def __getitem__(self, i):
            return recipe[i]

    assert unpack(bytes.fromhex("FF FE 03"), 0, Recipe()) == {"temp": -2, "mode": 3}


def test_running_position_past_the_last_position_is_refused():
    # The last byte of a 512 MiB packet holds bits 2^32 - 8 to 2^32 - 1; the next field would
    # start at 2^32, which a 32-bit position cannot hold.
    packet = bytes(2**29 - 1) + b"\x5a"
    assert unpack(packet, 0, [item("a", "unsigned", 8, at=2**32 - 8)]) == {"a": 0x5A}
    with pytest.raises(ValueError) as info:
        unpack(packet, 0, [item("a", "unsigned", 8, at=2**32 - 8), item("b", "unsigned", 0)])
    assert str(info.value) == ("ValueError: Field 'b' would start at bit 4294967296, beyond bit 4294967295, "
                               "the largest packet position")


PANICS = [
    ("ends past the packet", "AB CD", 0, [item("f", "unsigned", 24)],
     "range end index 3 out of range for slice of length 2"),
    ("starts past the packet", "AB CD", 0, [item("f", "unsigned", 8, at=40)],
     "range start index 5 out of range for slice of length 2"),
    ("zero width past the end", "AB CD", 0, [item("z", "unsigned", 0, at=24)],
     "range start index 3 out of range for slice of length 2"),
    ("before the encoding is examined", "AB CD", 0, [item("f", "foo", 24)],
     "range end index 3 out of range for slice of length 2"),
    ("before the byte order is examined", "AB CD", 0, [item("f", "foo", 24, order="network")],
     "range end index 3 out of range for slice of length 2"),
    ("an enormous width", "AB", 0, [item("f", "unsigned", 2**32 - 1)],
     "range end index 536870912 out of range for slice of length 1"),
    ("an enormous start", "AB", 2**32 - 1, [item("f", "unsigned", 1)],
     "range start index 536870911 out of range for slice of length 1"),
    ("empty packet", "", 0, [item("f", "utf8", 8)], "range end index 1 out of range for slice of length 0"),
]


@pytest.mark.parametrize("packet, base, recipe, message", [c[1:] for c in PANICS], ids=[c[0] for c in PANICS])
def test_reads_past_the_end_are_panics(packet, base, recipe, message, capfd):
    with pytest.raises(BaseException) as info:
        unpack(bytes.fromhex(packet), base, recipe)
    assert type(info.value).__name__ == "PanicException"
    assert not isinstance(info.value, Exception)
    assert str(info.value) == message
    report = capfd.readouterr().err
    assert message in report and "recipe_unpacker.cpp:" in report


def test_panic_exception_type_is_created_once_and_documented():
    kind = panic_type()
    assert kind is panic_type()
    assert issubclass(kind, BaseException) and not issubclass(kind, Exception)
    assert kind.__qualname__ == "PanicException" and kind.__doc__
    assert not hasattr(tessel, "PanicException")


ARGUMENTS = [
    ((bytearray(b"\xab"), 0, [[1]]), TypeError, "argument 'packet_bytes': 'bytearray' object cannot be cast as 'bytes'"),
    ((memoryview(b"\xab"), 0, []), TypeError, "argument 'packet_bytes': 'memoryview' object cannot be cast as 'bytes'"),
    ((b"\xab", 2**32, []), OverflowError, "out of range integral type conversion attempted"),
    ((b"\xab", -1, []), OverflowError, None),
    ((b"\xab", 1.0, []), TypeError, "argument 'offset_bits': 'float' object cannot be interpreted as an integer"),
    ((b"\xab", 0, "abc"), TypeError, "argument 'recipe': Can't extract `str` to `Vec`"),
    ((b"\xab", 0, 5), TypeError, "argument 'recipe': 'int' object cannot be cast as 'Sequence'"),
    ((b"\xab", 0, {"name": "x"}), TypeError, "argument 'recipe': 'dict' object cannot be cast as 'Sequence'"),
    ((), TypeError, "unpack_parameters() missing 3 required positional arguments: "
                    "'packet_bytes', 'offset_bits', and 'recipe'"),
    ((b"",), TypeError, "unpack_parameters() missing 2 required positional arguments: 'offset_bits' and 'recipe'"),
    ((b"", 0, [], 1), TypeError, "unpack_parameters() takes 3 positional arguments but 4 were given"),
]


@pytest.mark.parametrize("args, kind, message", ARGUMENTS)
def test_argument_refusals_are_not_rewrapped(args, kind, message):
    with pytest.raises(kind) as info:
        unpack(*args)
    assert type(info.value) is kind
    if message is not None:
        assert str(info.value) == message


def test_keywords_and_bytes_subclass():
    class Packet(bytes):
        pass

    assert unpack(recipe=[item("v", "unsigned", 8)], offset_bits=0, packet_bytes=Packet(b"\x07")) == {"v": 7}


# ---- round trips -------------------------------------------------------------------------------

ALIGNED = {
    "unsigned": lambda bits: st.integers(0, 2**bits - 1),
    "twos_complement": lambda bits: st.integers(-2**(bits - 1), 2**(bits - 1) - 1),
    "ones_complement": lambda bits: st.integers(-2**(bits - 1) + 1, 2**(bits - 1) - 1),
    "sign_magnitude": lambda bits: st.integers(-2**(bits - 1) + 1, 2**(bits - 1) - 1),
    "packed_bcd": lambda bits: st.integers(0, min(10**(bits // 4), 2**63) - 1),
    "packed_bcd_signed": lambda bits: st.integers(-(10**(bits // 4 - 1) - 1), 10**(bits // 4 - 1) - 1),
    "bcd_signed": lambda bits: st.integers(-(10**(bits // 8) - 1), 10**(bits // 8) - 1),
}


@st.composite
def aligned_items(draw, index):
    kind = draw(st.sampled_from(sorted(ALIGNED) + ["ieee754", "utf8", "utf16", "utf32le", "iso_8859_1"]))
    order = draw(st.sampled_from(["big", "little"]))
    reverse = draw(st.booleans())
    name = f"p{index}"
    if kind in ALIGNED:
        bits = 8 * draw(st.integers(1, 8))
        return item(name, kind, bits, order=order, reverse=reverse, value=draw(ALIGNED[kind](bits))), kind
    if kind == "ieee754":
        bits = draw(st.sampled_from([16, 32, 64]))
        width = {16: 16, 32: 32, 64: 64}[bits]
        value = draw(st.floats(width=width, allow_nan=False))
        return item(name, "ieee754", bits, order=order, reverse=False, value=value), f"ieee754_f{bits}"
    alphabet = st.characters(max_codepoint=0xFF if kind == "iso_8859_1" else 0x10FFFF, exclude_categories=["Cs"])
    text = draw(st.text(alphabet, min_size=1 if kind == "utf16" else 0, max_size=5))
    return item(name, kind, 8 * len(TEXT_CODECS[kind](text)), order=order, value=text), kind


@given(st.data())
def test_byte_aligned_recipes_round_trip(data):
    count = data.draw(st.integers(0, 8))
    drawn = [data.draw(aligned_items(i)) for i in range(count)]
    recipe = [it for it, _ in drawn]
    packet = tessel.pack_parameters(recipe)
    decode_recipe = [dict(it, encoding=decoding) for it, decoding in drawn]
    got = unpack(packet, 0, decode_recipe)
    assert list(got) == [it["name"] for it in recipe]
    for it in recipe:
        want = it["value"]
        if it["encoding"] == "ieee754" and it["bits"] == 16:
            want = struct.unpack(">e", struct.pack(">e", want))[0] if abs(want) < 65520 else math.copysign(math.inf, want)
        assert got[it["name"]] == want or (isinstance(want, float) and math.isnan(want))


@given(st.binary(min_size=1, max_size=16), st.integers(0, 64), st.integers(0, 64), st.booleans(), st.booleans())
def test_numbers_are_the_low_bits_of_the_whole_bytes(packet, start, bits, little, reverse):
    first, count = start // 8, (bits + 7) // 8
    recipe = [item("v", "unsigned", bits, order="little" if little else "big", reverse=reverse, at=start)]
    if first + count > len(packet):
        with pytest.raises(BaseException) as info:
            unpack(packet, 0, recipe)
        assert type(info.value).__name__ == "PanicException"
        return
    span = packet[first:first + count]
    if little:
        span = span[::-1]
    raw = int.from_bytes(span[:8], "big") if span else 0
    if reverse:
        raw = int(format(raw & ((1 << bits) - 1), f"0{bits}b")[::-1], 2) if bits else 0
    elif bits < 64:
        raw &= (1 << bits) - 1
    assert unpack(packet, 0, recipe) == {"v": raw}


def test_panic_in_a_subprocess_does_not_end_it():
    code = ("import tessel\n"
            "try:\n"
            "    tessel.unpack_parameters(b'', 0, [{'name': 'x', 'encoding': 'unsigned', 'bits': 8,"
            " 'byte_order': 'big', 'reverse_bits': False}])\n"
            "except BaseException as e:\n"
            "    print(type(e).__name__, e)\n")
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60,
                            env=dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p)))
    assert result.stdout.strip() == "PanicException range end index 1 out of range for slice of length 0"
    assert "internal fault" in result.stderr
