"""Typed uses of tessel, checked by mypy --strict and pyright (tools/check-types).

Each call the stubs must accept pins its result with assert_type. Each call they must refuse
carries an ignore that names the error, once for mypy and once for pyright; both tools fail on an
ignore that suppresses nothing, so a stub that stops refusing such a call fails the check.
test_typed_uses.py runs the same calls against the module: the accepted ones must work and give
results of the type the stubs name, and the refused ones must fail there too, except the few
that the stubs refuse on purpose although the module takes them (STRICTER).
"""

from __future__ import annotations

import array
import json
from collections.abc import Callable
from decimal import Decimal
from fractions import Fraction
from typing import Any, NoReturn, assert_type

import numpy as np

import tessel
import tessel_archive
from tessel_archive import xtce


class Index:
    """An integer that is not an int: the module reads it through __index__."""

    def __index__(self) -> int:
        return 5


class Text(str):
    pass


class Packet(bytes):
    pass


# (the type the stubs name, the result): test_typed_uses.py checks each result's type.
Results = list[tuple[type, object]]


def integers() -> Results:
    return [
        (int, assert_type(tessel.encode_twos_complement(-5, 12), int)),
        (int, assert_type(tessel.encode_ones_complement(value=-1, bits=8), int)),
        (int, assert_type(tessel.encode_sign_magnitude(Index(), Index()), int)),
        (int, assert_type(tessel.encode_twos_complement(True, 8), int)),
        (int, assert_type(tessel.decode_twos_complement(0xFFB, 12), int)),
        (int, assert_type(tessel.decode_ones_complement(0xFE, bits=8), int)),
        (int, assert_type(tessel.decode_sign_magnitude(value=0x85, bits=Index()), int)),
    ]


def decimals() -> Results:
    return [
        (int, assert_type(tessel.encode_packed_bcd(1234, 16), int)),
        (int, assert_type(tessel.encode_packed_bcd(-123, 16, True), int)),
        (int, assert_type(tessel.encode_unpacked_bcd(value=123, bits=24, signed=False), int)),
        (int, assert_type(tessel.decode_packed_bcd(0x123D, 16, signed=True), int)),
        (int, assert_type(tessel.decode_unpacked_bcd(Index(), 8), int)),
    ]


def floats() -> Results:
    return [
        (int, assert_type(tessel.encode_ieee754_f16(1.0), int)),
        (int, assert_type(tessel.encode_ieee754_f32(1), int)),
        (int, assert_type(tessel.encode_ieee754_f32(Fraction(1, 2)), int)),
        (int, assert_type(tessel.encode_ieee754_f64(Decimal("1.5")), int)),
        (int, assert_type(tessel.encode_ieee754_f64(value=Index()), int)),
        (float, assert_type(tessel.decode_ieee754_f16(0x3C00), float)),
        (float, assert_type(tessel.decode_ieee754_f32(value=0x3F800000), float)),
        (float, assert_type(tessel.decode_ieee754_f64(0x3FF0000000000000), float)),
        (float, assert_type(tessel.decode_ieee754_f128(0x3FFF << 112), float)),
        (float, assert_type(tessel.decode_ieee754_f128(Index()), float)),
    ]


def texts() -> Results:
    return [
        (bytes, assert_type(tessel.encode_utf8("é"), bytes)),
        (bytes, assert_type(tessel.encode_utf16(text=Text("A")), bytes)),
        (bytes, assert_type(tessel.encode_windows_1252("€"), bytes)),
        (str, assert_type(tessel.decode_utf8(b"\xc3\xa9"), str)),
        (str, assert_type(tessel.decode_utf16le(bytes=Packet(b"A\x00")), str)),
        (str, assert_type(tessel.decode_us_ascii(b"A"), str)),
    ]


def int_items(*items: tessel.IntegerPackItem) -> list[tessel.IntegerPackItem]:
    return list(items)


def text_items(*items: tessel.TextPackItem) -> list[tessel.TextPackItem]:
    return list(items)


def pack_items(*items: tessel.PackItem) -> list[tessel.PackItem]:
    return list(items)


def unpack_items(*items: tessel.UnpackItem) -> list[tessel.UnpackItem]:
    return list(items)


def untyped_recipes() -> Results:
    # Recipes as the README and the reference write them, with no annotation: a list of dict
    # literals in a variable, and a recipe read from JSON.
    recipe = [
        {"name": "temp", "encoding": "twos_complement", "bits": 16, "byte_order": "big",
         "reverse_bits": False, "value": -2},
        {"name": "mode", "encoding": "unsigned", "bits": 8, "byte_order": "big",
         "reverse_bits": False, "value": 3},
    ]
    packet = tessel.pack_parameters(recipe)
    recipe[0]["value"] = -3
    loaded = json.loads('[{"name": "n", "encoding": "unsigned", "bits": 8, "byte_order": "big",'
                        ' "reverse_bits": false, "value": 7}]')
    items = tuple(dict(item, offset_bits=8) for item in loaded)
    return [
        (bytes, assert_type(packet, bytes)),
        (dict, assert_type(tessel.unpack_parameters(packet, 0, recipe), "dict[str, Any]")),
        (bytes, assert_type(tessel.pack_parameters(loaded), bytes)),
        (dict, assert_type(tessel.unpack_parameters(b"\x07", 0, loaded), "dict[str, Any]")),
        (bytes, assert_type(tessel.pack_parameters(items), bytes)),
    ]


def recipes() -> Results:
    encoding: str = "twos_complement"  # an encoding name taken from data
    recipe: list[tessel.PackItem] = [
        {"name": "temp", "encoding": encoding, "bits": 16, "byte_order": "big", "reverse_bits": False, "value": -2},
        {"name": "mode", "encoding": "unsigned", "bits": 8, "byte_order": "BIG", "reverse_bits": False, "value": 3},
        {"name": "id", "encoding": "UTF-8", "bits": 16, "byte_order": "big", "reverse_bits": False, "value": "AB",
         "offset_bits": 56},
    ]
    recipe[0]["value"] = -3  # a value updated for the next packet
    assert_type(recipe[1]["bits"], int)
    packet = assert_type(tessel.pack_parameters(recipe), bytes)

    binary: list[tessel.BinaryPackItem] = [
        {"name": "raw", "encoding": "binary", "bits": 16, "byte_order": "big", "reverse_bits": False, "value": raw}
        for raw in (b"\x01", bytearray(b"\x01"), memoryview(b"\x01"), [1, 2], (1,), array.array("B", [1]))
    ]
    # A recipe whose encoding names both sides know serves both: unpack_parameters ignores values.
    values = assert_type(tessel.unpack_parameters(packet, 0, recipe), "dict[str, Any]")
    # A value is what its item's encoding makes it; code that knows its recipe uses it as such.
    assert_type(values["temp"], Any)
    assert values["temp"] + 1 == -2
    unpack_only: list[tessel.UnpackItem] = [
        {"name": "word", "encoding": "Unsigned", "bits": 16, "byte_order": "big", "reverse_bits": True},
        {"name": "tail", "encoding": "utf8", "bits": 8, "byte_order": "big", "reverse_bits": False, "offset_bits": 0},
    ]
    gains: list[tessel.FloatPackItem] = [
        {"name": "gain", "encoding": "ieee754", "bits": 32, "byte_order": "little", "reverse_bits": False, "value": 1.5},
        {"name": "trim", "encoding": "ieee_754", "bits": 16, "byte_order": "big", "reverse_bits": False, "value": 1},
    ]
    counters = int_items({"name": "n", "encoding": "packed_bcd", "bits": 8, "byte_order": "big",
                          "reverse_bits": False, "value": 42})
    return [
        (bytes, packet),
        (bytes, assert_type(tessel.pack_parameters(binary), bytes)),
        (bytes, assert_type(tessel.pack_parameters(gains), bytes)),
        (bytes, assert_type(tessel.pack_parameters(recipe=()), bytes)),
        (bytes, assert_type(tessel.pack_parameters(counters), bytes)),
        (dict, values),
        (dict, assert_type(tessel.unpack_parameters(b"\x12\x34", Index(), unpack_only), "dict[str, Any]")),
        (dict, assert_type(tessel.unpack_parameters(packet_bytes=b"\x42", offset_bits=0, recipe=counters),
                           "dict[str, Any]")),
    ]


ACCEPTED: list[Callable[[], Results]] = [integers, decimals, floats, texts, recipes, untyped_recipes]


def archive_uses() -> Results:
    # tessel_archive's inline types: columns are numpy arrays, an archive maps APIDs to tables.
    recipe = [{"name": "v", "encoding": "unsigned", "bits": 8, "byte_order": "big", "reverse_bits": False}]
    columns = assert_type(tessel_archive.unpack_columns(b"\x01\x02", recipe, [0, 1], [1, 1], threads=1),
                          dict[str, np.ndarray[Any, Any]])
    index = assert_type(tessel_archive.space_packets(bytearray(), record_header_bytes=4), dict[str, np.ndarray[Any, Any]])
    archive = assert_type(tessel_archive.decode(memoryview(b""), {11: recipe}), tessel_archive.Archive)
    table = assert_type(archive[11], dict[str, np.ndarray[Any, Any]])
    undecoded = assert_type(archive.undecoded, dict[int, int])
    # XTCE: a definition in, one table a container out.
    definition = assert_type(xtce.load(XTCE_DOCUMENT), xtce.Definition)
    tables = assert_type(definition.decode(b"", record_header_bytes=0, threads=1), xtce.Tables)
    reasons = assert_type(tables.undecoded, dict[str, int])
    names = assert_type(definition.containers, list[str])
    return [(dict, columns), (dict, index), (tessel_archive.Archive, archive), (dict, table), (dict, undecoded),
            (xtce.Definition, definition), (xtce.Tables, tables), (dict, reasons), (list, names)]


XTCE_DOCUMENT = (b'<SpaceSystem name="s"><TelemetryMetaData><ParameterTypeSet/><ParameterSet/><ContainerSet/>'
                 b'</TelemetryMetaData></SpaceSystem>')


ARCHIVE_REFUSED: list[tuple[Callable[[], object], type[BaseException]]] = [
    (lambda: tessel_archive.decode(b"", {11: "recipe"}), TypeError),  # type: ignore[dict-item]  # pyright: ignore[reportArgumentType]
    (lambda: tessel_archive.unpack_columns(b"", [], [], [], threads="2"), TypeError),  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
    (lambda: tessel_archive.space_packets(b"", record_header_bytes=None), TypeError),  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
    (lambda: xtce.load(3), TypeError),  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
]

# The formats that are named but not built: every call raises NotImplementedError.
UNBUILT: list[Callable[[], NoReturn]] = [
    lambda: tessel.decode_ieee754_1985_f32(0),
    lambda: tessel.decode_ieee754_1985_f64(0),
    lambda: tessel.decode_ieee754_1985_f80(0),
    lambda: tessel.decode_mil_std_1750a_f32(0),
    lambda: tessel.decode_mil_std_1750a_f48(_value=0),
    lambda: tessel.decode_dec_f32(0),
    lambda: tessel.decode_dec_f64(0),
    lambda: tessel.decode_ibm_f32(0),
    lambda: tessel.decode_ibm_f64(0),
    lambda: tessel.decode_ti_f32(Index()),
    lambda: tessel.decode_ti_f40(0),
    lambda: tessel.encode_ieee754_f128(1.0),
    lambda: tessel.encode_ieee754_1985_f32(1.0),
    lambda: tessel.encode_ieee754_1985_f64(1.0),
    lambda: tessel.encode_ieee754_1985_f80(1.0),
    lambda: tessel.encode_mil_std_1750a_f32(1),
    lambda: tessel.encode_mil_std_1750a_f48(_value=1.0),
    lambda: tessel.encode_dec_f32(1.0),
    lambda: tessel.encode_dec_f64(1.0),
    lambda: tessel.encode_ibm_f32(1.0),
    lambda: tessel.encode_ibm_f64(1.0),
    lambda: tessel.encode_ti_f32(1.0),
    lambda: tessel.encode_ti_f40(1.0),
]

# Calls that the stubs refuse and the module refuses as well, with the exception it raises.
REFUSED: list[tuple[Callable[[], object], type[BaseException]]] = [
    (lambda: tessel.decode_utf8(bytearray(b"A")), TypeError),  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
    (lambda: tessel.decode_utf8(memoryview(b"A")), TypeError),  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
    (lambda: tessel.decode_windows_1252([65]), TypeError),  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
    (lambda: tessel.unpack_parameters(bytearray(b"A"), 0, []), TypeError),  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
    (lambda: tessel.encode_utf8(b"A"), TypeError),  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
    (lambda: tessel.encode_twos_complement(1.0, 8), TypeError),  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
    (lambda: tessel.encode_twos_complement(1, "8"), TypeError),  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
    (lambda: tessel.decode_ieee754_f128(1.0), TypeError),  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
    (lambda: tessel.decode_ti_f32(1.0), TypeError),  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
    (lambda: tessel.encode_ieee754_f32("1"), TypeError),  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
    (lambda: tessel.encode_ti_f32("1"), TypeError),  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
    (lambda: tessel.encode_packed_bcd(5, 8, 1), TypeError),  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
    (lambda: tessel.decode_packed_bcd(5, 8, signed=None), TypeError),  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
    (lambda: tessel.encode_utf8(), TypeError),  # type: ignore[call-arg]  # pyright: ignore[reportCallIssue, reportUnknownLambdaType]
    (lambda: tessel.encode_utf8("A", "B"), TypeError),  # type: ignore[call-arg]  # pyright: ignore[reportCallIssue, reportUnknownLambdaType]
    (lambda: tessel.encode_utf8(txt="A"), TypeError),  # type: ignore[call-arg]  # pyright: ignore[reportCallIssue, reportUnknownLambdaType]
    (lambda: tessel.pack_parameters("recipe"), TypeError),  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
    (lambda: tessel.pack_parameters({}), TypeError),  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
    (lambda: tessel.unpack_parameters(b"", "0", []), TypeError),  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
    (lambda: tessel.unpack_parameters(b"", 0, "recipe"), TypeError),  # type: ignore[arg-type]  # pyright: ignore[reportArgumentType]
    # Items, annotated with the item types (an unannotated dict literal is a dict[str, object],
    # which the recipe functions take): the recipe functions raise every item's failure as ValueError.
    (lambda: tessel.pack_parameters([["name", "encoding"]]), ValueError),  # type: ignore[list-item]  # pyright: ignore[reportArgumentType]
    (lambda: tessel.pack_parameters(pack_items({"name": "a", "encoding": "unsigned", "byte_order": "big", "reverse_bits": False, "value": 1})), ValueError),  # type: ignore[typeddict-item]  # pyright: ignore[reportArgumentType]
    (lambda: tessel.pack_parameters(pack_items({"name": "a", "encoding": "unsigned", "bits": "8", "byte_order": "big", "reverse_bits": False, "value": 1})), ValueError),  # type: ignore[typeddict-item]  # pyright: ignore[reportArgumentType]
    (lambda: tessel.pack_parameters(pack_items({"name": "a", "encoding": "unsigned", "bits": 8, "byte_order": "big", "reverse_bits": 0, "value": 1})), ValueError),  # type: ignore[typeddict-item]  # pyright: ignore[reportArgumentType]
    (lambda: tessel.pack_parameters(pack_items({"name": "a", "encoding": "unsigned", "bits": 8, "byte_order": "big", "reverse_bits": False, "value": None})), ValueError),  # type: ignore[typeddict-item]  # pyright: ignore[reportArgumentType]
    (lambda: tessel.pack_parameters(pack_items({"name": "a", "encoding": "unsigned", "bits": 8, "byte_order": "big", "reverse_bits": False, "value": 1, "offset_bits": None})), ValueError),  # type: ignore[typeddict-item]  # pyright: ignore[reportArgumentType]
    (lambda: tessel.pack_parameters(text_items({"name": "t", "encoding": "utf8", "bits": 8, "byte_order": "big", "reverse_bits": False, "value": 5})), ValueError),  # type: ignore[typeddict-item]  # pyright: ignore[reportArgumentType]
    (lambda: tessel.pack_parameters(int_items({"name": "n", "encoding": "utf8", "bits": 8, "byte_order": "big", "reverse_bits": False, "value": 5})), ValueError),  # type: ignore[typeddict-item]  # pyright: ignore[reportArgumentType]
    (lambda: tessel.unpack_parameters(b"\x00", 0, unpack_items({"encoding": "unsigned", "bits": 8, "byte_order": "big", "reverse_bits": False})), ValueError),  # type: ignore[typeddict-item]  # pyright: ignore[reportArgumentType]
]

# Calls that the stubs refuse on purpose although the module takes them.
STRICTER: list[Callable[[], bytes]] = [
    # A family item type lists the lower-case names; other spellings need PackItem.
    lambda: tessel.pack_parameters(text_items({"name": "t", "encoding": "UTF-8", "bits": 8, "byte_order": "big", "reverse_bits": False, "value": "A"})),  # type: ignore[typeddict-item]  # pyright: ignore[reportArgumentType]
    # An annotated item refuses keys the module ignores, so a misspelt optional key cannot pass unseen.
    lambda: tessel.pack_parameters(pack_items({"name": "a", "encoding": "unsigned", "bits": 8, "byte_order": "big", "reverse_bits": False, "value": 1, "ofset_bits": 8})),  # type: ignore[typeddict-unknown-key]  # pyright: ignore[reportArgumentType]
    # Annotated items' widths and offsets are int, since recipe code reads them back.
    lambda: tessel.pack_parameters(pack_items({"name": "a", "encoding": "unsigned", "bits": Index(), "byte_order": "big", "reverse_bits": False, "value": 1})),  # type: ignore[typeddict-item]  # pyright: ignore[reportArgumentType]
]
