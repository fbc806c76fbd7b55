"""Bit-exact binary fields for telemetry and telecommand, and back.

Integer fields (two's complement, ones' complement, sign-magnitude), decimal fields (packed BCD
with a sign nibble, unpacked BCD and zoned decimal), IEEE 754 binary16/32/64 (and binary128
decoding), ten text encodings, and recipes: ``pack_parameters`` lays named fields into a
bit-addressed packet and ``unpack_parameters`` reads them back into a dict.

Every failure is an exception with an exact message. One of them is not an ``Exception``:
``unpack_parameters`` raises ``PanicException``, a subclass of ``BaseException``, for a field
that reaches past the end of the packet. The type is created on first use and is not an
attribute of the module, so it has no name here; catch it as ``BaseException``.
"""

# Type information for the tessel extension module, shipped as a stub-only package beside it
# (a single-module extension cannot carry inline annotations).
#
# How the types follow the module's argument conversions:
# - Integer arguments (value, bits, offset_bits) go through __index__: SupportsIndex, so bool,
#   numpy integers and other index types pass; the ranges are checked when the call runs.
# - Float arguments go through the interpreter's float conversion, which takes __float__ and
#   __index__ but never str: SupportsFloat | SupportsIndex.
# - Byte-string arguments (bytes, packet_bytes) take bytes and its subclasses only; bytearray and
#   memoryview are refused when the call runs, so they are refused here too (mypy before 2.0
#   needs --strict-bytes for that; pyright refuses them by default).
# - signed takes a bool only (int 0 and 1 are refused). numpy's boolean scalar is accepted when
#   the call runs as well, but naming it would tie these stubs to numpy: pass bool(flag).
# - The formats that are named but not built always raise NotImplementedError: NoReturn.
#
# Recipe items. Encoding names and byte orders match after str.lower(), so "UTF-8", "BIG" and
# "Little" are as good as "utf-8" and "big", and real recipes often take their names from data
# (a str, not a literal). A Literal would refuse those valid calls, and a union of a Literal with
# str is just str, so byte_order is str, and so is the encoding of PackItem and UnpackItem.
# PackItem takes a value of any family; the pairing of encoding and value is checked when the call
# runs. A single item type also keeps items mutable through a list[PackItem] (a value updated each
# cycle), which a union of item types would refuse. The family items (IntegerPackItem,
# FloatPackItem, BinaryPackItem, TextPackItem) pair the lower-case encoding names with the value
# each family takes, for callers who want the pairing checked: an item annotated with one of
# them gets its name and value checked, and pack_parameters takes them as well as PackItem.
#
# bits and offset_bits are int in the items: the module takes any __index__ object there too,
# but recipe code reads them back (sums of widths, packet sizes), and an item key has a single
# type for reading and writing. UnpackItem's keys are read-only, which lets a list of pack items,
# values included, serve unpack_parameters as well, as long as both sides know its encoding
# names: the float names differ ("ieee754" with bits 32 packs, "ieee754_f32" unpacks), and a str
# encoding cannot tell them apart.
#
# The recipe functions take any sequence of string-keyed mappings as well: a recipe written as a
# list of dict literals and kept in a variable, as the README and the reference write one, is a
# list[dict[str, object]] to a type checker, and one loaded from JSON is Any. Both pass without
# an annotation or a cast. Annotating the items with the item types is what gets their keys and
# values checked.
#
# The item types exist for type checkers only (@type_check_only): the module has no such
# attributes, so `from tessel import PackItem` fails when it runs. Import them under
# `typing.TYPE_CHECKING`, and name them in annotations, which run-time Python does not evaluate
# inside functions or under `from __future__ import annotations`:
#
#     from __future__ import annotations
#     from typing import TYPE_CHECKING
#     if TYPE_CHECKING:
#         from tessel import PackItem
#     recipe: list[PackItem] = [...]

from collections.abc import Mapping, Sequence
from typing import (
    Any,
    Literal,
    NoReturn,
    NotRequired,
    ReadOnly,
    SupportsFloat,
    SupportsIndex,
    TypeAlias,
    TypedDict,
    type_check_only,
)

__all__ = [
    "unpack_parameters",
    "pack_parameters",
    "decode_ones_complement",
    "decode_twos_complement",
    "decode_sign_magnitude",
    "decode_unpacked_bcd",
    "decode_packed_bcd",
    "decode_ieee754_f16",
    "decode_ieee754_f32",
    "decode_ieee754_f64",
    "decode_ieee754_f128",
    "decode_ieee754_1985_f32",
    "decode_ieee754_1985_f64",
    "decode_ieee754_1985_f80",
    "decode_mil_std_1750a_f32",
    "decode_mil_std_1750a_f48",
    "decode_dec_f32",
    "decode_dec_f64",
    "decode_ibm_f32",
    "decode_ibm_f64",
    "decode_ti_f32",
    "decode_ti_f40",
    "decode_us_ascii",
    "decode_iso_8859_1",
    "decode_windows_1252",
    "decode_utf8",
    "decode_utf16",
    "decode_utf16le",
    "decode_utf16be",
    "decode_utf32",
    "decode_utf32le",
    "decode_utf32be",
    "encode_ones_complement",
    "encode_twos_complement",
    "encode_sign_magnitude",
    "encode_unpacked_bcd",
    "encode_packed_bcd",
    "encode_ieee754_f16",
    "encode_ieee754_f32",
    "encode_ieee754_f64",
    "encode_ieee754_f128",
    "encode_ieee754_1985_f32",
    "encode_ieee754_1985_f64",
    "encode_ieee754_1985_f80",
    "encode_mil_std_1750a_f32",
    "encode_mil_std_1750a_f48",
    "encode_dec_f32",
    "encode_dec_f64",
    "encode_ibm_f32",
    "encode_ibm_f64",
    "encode_ti_f32",
    "encode_ti_f40",
    "encode_us_ascii",
    "encode_iso_8859_1",
    "encode_windows_1252",
    "encode_utf8",
    "encode_utf16",
    "encode_utf16le",
    "encode_utf16be",
    "encode_utf32",
    "encode_utf32le",
    "encode_utf32be",
]

# What the interpreter's float conversion takes: float, int, and objects with __float__ or
# __index__ (Fraction, Decimal, numpy scalars); never str.
_FloatLike: TypeAlias = SupportsFloat | SupportsIndex
# The binary family's value: bytes and bytearray are copied, any other sequence is read item by
# item, each an integer 0 to 255 (memoryview, array.array, list, tuple, range); never str.
_ByteList: TypeAlias = bytes | bytearray | memoryview | Sequence[SupportsIndex]

# Encoding names of pack_parameters, in lower case, by the kind of value they take (65 in all).
_IntegerEncoding: TypeAlias = Literal[
    "unsigned",
    "twos_complement", "twos-complement", "twoscomplement",
    "ones_complement", "ones-complement", "onescomplement",
    "sign_magnitude", "sign-magnitude", "signmagnitude",
    "bcd",
    "bcd_signed", "bcd-signed", "bcdsigned",
    "packed_bcd", "packed-bcd", "packedbcd",
    "packed_bcd_signed", "packed-bcd-signed", "packedbcdsigned",
]
# The float families choose their format by `bits`: "ieee754" takes 16, 32 or 64 (128 is named
# but not built); the others are named but not built at any width.
_FloatEncoding: TypeAlias = Literal[
    "ieee754", "ieee_754", "ieee-754",
    "ieee754_1985", "ieee754-1985", "ieee_754_1985", "ieee_754-1985",
    "mil_std_1750a", "mil-std-1750a", "mil_std-1750a",
    "ti",
    "dec",
    "ibm",
]
_TextEncoding: TypeAlias = Literal[
    "utf8", "utf_8", "utf-8",
    "utf16", "utf_16", "utf-16",
    "utf16le", "utf-16le", "utf_16_le",
    "utf16be", "utf-16be", "utf_16_be",
    "utf32", "utf_32", "utf-32",
    "utf32le", "utf-32le", "utf_32_le",
    "utf32be", "utf-32be", "utf_32_be",
    "usascii", "us_ascii", "us-ascii",
    "iso_8859_1", "iso-8859-1", "iso8859_1", "iso8859-1",
    "windows1252", "windows_1252", "windows-1252",
]

@type_check_only
class _PackLayout(TypedDict):
    # Where and how a field lies; the encoding and the value come with each family.
    name: str
    bits: int
    byte_order: str
    reverse_bits: bool
    offset_bits: NotRequired[int]

@type_check_only
class PackItem(_PackLayout):
    """One item of the recipe that pack_parameters takes: any encoding name, any kind of value."""

    encoding: str
    value: _FloatLike | str | _ByteList

@type_check_only
class IntegerPackItem(_PackLayout):
    """A recipe item of an integer or decimal encoding: ``value`` is an integer."""

    encoding: _IntegerEncoding
    value: SupportsIndex

@type_check_only
class FloatPackItem(_PackLayout):
    """A recipe item of a float encoding, its format chosen by ``bits``: ``value`` is a float."""

    encoding: _FloatEncoding
    value: _FloatLike

@type_check_only
class BinaryPackItem(_PackLayout):
    """A recipe item of the "binary" encoding: ``value`` is bytes or a sequence of byte values."""

    encoding: Literal["binary"]
    value: _ByteList

@type_check_only
class TextPackItem(_PackLayout):
    """A recipe item of a text encoding: ``value`` is a str."""

    encoding: _TextEncoding
    value: str

_AnyPackItem: TypeAlias = PackItem | IntegerPackItem | FloatPackItem | BinaryPackItem | TextPackItem

@type_check_only
class UnpackItem(TypedDict):
    """One item of the recipe that unpack_parameters takes; ``value`` is allowed and ignored.

    A list of pack items fits here too, but the encoding names differ between the two sides:
    the float encodings carry their width when unpacking ("ieee754_f32", not "ieee754").
    """

    name: ReadOnly[str]
    encoding: ReadOnly[str]
    bits: ReadOnly[int]
    byte_order: ReadOnly[str]
    reverse_bits: ReadOnly[bool]
    offset_bits: NotRequired[ReadOnly[int]]
    value: NotRequired[ReadOnly[object]]

# A value in the dict that unpack_parameters returns is int for the integer and decimal
# encodings, float for the IEEE 754 ones and str for the text ones: which one, only the item's
# encoding says, when the call runs. Any, as struct.unpack's values are, so that code which knows
# its recipe (`values["mode"] >> 4`, `hex(values["id"])`) needs no cast or isinstance test.

# Recipes

def unpack_parameters(
    packet_bytes: bytes, offset_bits: SupportsIndex, recipe: Sequence[UnpackItem | Mapping[str, object]]
) -> dict[str, Any]:
    """Read the fields that a recipe describes out of a packet.

    Each item gives ``name``, ``encoding``, ``bits``, ``byte_order`` ("big" or "little") and
    ``reverse_bits``, and may give ``offset_bits``: the field's start relative to the call's
    ``offset_bits``. Without it a field starts where the previous one ended (the first at the
    call's ``offset_bits``). Names of encodings and byte orders match after str.lower().
    Other keys, ``value`` included, are ignored.

    Unpacking reads whole bytes: a field is taken from the byte that holds its first bit, and its
    value is the low ``bits`` bits of the bytes it spans (reversed first for "little", mirrored
    with ``reverse_bits``), so it inverts ``pack_parameters`` exactly for fields that start on a
    byte boundary and whose width is a multiple of 8. Numbers read at most the first 8 bytes.

    Encoding names: "unsigned", "twos_complement", "ones_complement", "sign_magnitude" (and the
    forms without "_"), "bcd", "bcd_signed", "packed_bcd", "packed_bcd_signed" (and "-" forms),
    "ieee754_f16", "ieee754_f32", "ieee754_f64", "ieee754_f128" (and "-" forms; an
    "ieee754_f128" field of up to 64 bits gives 0.0), the unbuilt float formats with their
    widths ("ti_f32", "mil_std_1750a_f48", ...), and the text encodings "utf8", "utf16",
    "utf16le", "utf16be", "utf32", "utf32le", "utf32be", "us_ascii", "latin1", "iso_8859_1",
    "windows_1252" (and "-" forms).

    Args:
        packet_bytes: The packet: bytes or a bytes subclass.
        offset_bits: The base bit offset, 0 to 2**32 - 1.
        recipe: A sequence of item dicts, not a str; an empty one gives an empty dict.

    Returns:
        A new dict from each item's name to its value, in recipe order: int for the integer and
        decimal encodings, float for the IEEE 754 ones, str for the text ones. A name given twice
        keeps its first place and its last value.

    Raises:
        TypeError: ``packet_bytes`` is not bytes ("argument 'packet_bytes': 'bytearray' object
            cannot be cast as 'bytes'"), ``offset_bits`` is not an integer, or ``recipe`` is a str
            ("argument 'recipe': Can't extract `str` to `Vec`") or not a sequence.
        OverflowError: ``offset_bits`` is negative or above 2**32 - 1.
        ValueError: an item fails, with the inner exception's type name in front: an item that
            is not a dict ("TypeError: 'list' object cannot be cast as 'dict'"), a missing key
            (KeyError: "Recipe missing required field: 'bits'"), a key of the wrong type, an
            unknown byte order ("ValueError: Invalid byte_order 'x': must be 'big' or 'little'")
            or encoding ("ValueError: Unsupported encoding type: x"), field bytes that the
            decoding rejects, an "ieee754_f128" field above 64 bits, or an unbuilt format
            ("NotImplementedError: TI f32 format not yet implemented").
        PanicException: a field reaches past the end of the packet ("range end index 3 out of
            range for slice of length 2"). It derives from BaseException, not Exception, and is
            not a module attribute: only ``except BaseException`` catches it.
    """

def pack_parameters(recipe: Sequence[_AnyPackItem | Mapping[str, object]]) -> bytes:
    """Lay the fields of a recipe into a bit-addressed packet.

    Each item gives ``name``, ``encoding``, ``bits``, ``byte_order`` ("big" or "little"),
    ``reverse_bits`` and ``value``, and may give ``offset_bits``, the absolute bit position of
    the field; without it the field follows the previous item. Packet bit 0 is the most
    significant bit of byte 0. A field takes the last ``bits`` bits of its encoded bytes (zero
    bits after them when they are shorter); a later field that overlaps an earlier one wins. The
    packet's length is the furthest end of any field, rounded up to whole bytes, and bytes that
    no field reaches stay zero. Names of encodings and byte orders match after str.lower().

    Encoding names and their values (the family item types list every name):
    integers ("unsigned", "twos_complement", "ones_complement", "sign_magnitude") and decimals
    ("bcd", "bcd_signed", "packed_bcd", "packed_bcd_signed") take an int, at most 64 bits;
    "ieee754" takes a float at 16, 32 or 64 bits; "binary" takes bytes, a bytearray or a sequence
    of ints 0 to 255, fitted to ``bits`` (zero bytes in front when shorter); the text encodings
    ("utf8", "utf16", "utf16le", "utf16be", "utf32", "utf32le", "utf32be", "us_ascii",
    "iso_8859_1", "windows_1252") take a str.

    Args:
        recipe: A sequence of item dicts (a list or tuple), not a str; an empty one gives b"".

    Returns:
        The packet, a new bytes object.

    Raises:
        TypeError: ``recipe`` is a str ("argument 'recipe': Can't extract `str` to `Vec`") or
            not a sequence ("argument 'recipe': 'dict' object cannot be cast as 'Sequence'").
        ValueError: an item fails, with the inner exception's type name in front; nothing is
            packed. An item that is not a dict ("TypeError: 'list' object cannot be cast as
            'dict'"), a missing key (KeyError: "Recipe missing required field: 'bits'"), a
            key or value of the wrong type or range ("TypeError: ...", "OverflowError: ..."), an
            unknown encoding ("ValueError: Unsupported encoding type: x") or byte order, a value
            that its encoding refuses ("ValueError: Value 256 is too large for 8 bits"), a width
            that the family refuses ("ValueError: Cannot encode 65 bits from a 64-bit value"), or
            an unbuilt float format ("NotImplementedError: TI f32 encoding not yet implemented").
    """

# Integer fields

def decode_ones_complement(value: SupportsIndex, bits: SupportsIndex) -> int:
    """Decode a ones' complement field.

    Args:
        value: The field pattern, 0 to 2**64 - 1; bits above the width are ignored.
        bits: The width; 64 and above read all 64 bits, 0 gives 0.

    Returns:
        The signed value: 0xFE in 8 bits gives -1, and negative zero (all ones) gives 0.

    Raises:
        OverflowError: ``value`` is negative or above 2**64 - 1, or ``bits`` is negative or above
            2**32 - 1.
        TypeError: an argument is not an integer ("argument 'value': ...").
    """

def decode_twos_complement(value: SupportsIndex, bits: SupportsIndex) -> int:
    """Decode a two's complement field.

    Args:
        value: The field pattern, 0 to 2**64 - 1; bits above the width are ignored.
        bits: The width; 64 and above read all 64 bits, 0 gives 0.

    Returns:
        The signed value: 0x80 in 8 bits gives -128, 0xFF gives -1.

    Raises:
        OverflowError: ``value`` is negative or above 2**64 - 1, or ``bits`` is negative or above
            2**32 - 1.
        TypeError: an argument is not an integer ("argument 'value': ...").
    """

def decode_sign_magnitude(value: SupportsIndex, bits: SupportsIndex) -> int:
    """Decode a sign-magnitude field: the top bit is the sign, the bits below it the magnitude.

    Args:
        value: The field pattern, 0 to 2**64 - 1; bits above the width are ignored.
        bits: The width; 64 and above read all 64 bits, 0 and 1 give 0.

    Returns:
        The signed value: 0x85 in 8 bits gives -5, and negative zero (0x80) gives 0.

    Raises:
        OverflowError: ``value`` is negative or above 2**64 - 1, or ``bits`` is negative or above
            2**32 - 1.
        TypeError: an argument is not an integer ("argument 'value': ...").
    """

# Decimal fields

def decode_unpacked_bcd(value: SupportsIndex, bits: SupportsIndex, signed: bool = False) -> int:
    """Decode an unpacked BCD field (one digit per byte) or, with ``signed``, zoned decimal.

    Byte 0 (the low byte) holds the least significant digit. Unsigned, every byte is 0x00-0x09.
    Signed, byte 0 carries the sign in its zone: 0xC0-0xC9, 0xF0-0xF9 and 0x30-0x39 are
    positive, 0xD0-0xD9 negative; the other bytes are EBCDIC (0xF0-0xF9) or ASCII (0x30-0x39)
    digits.

    Args:
        value: The field pattern, 0 to 2**64 - 1.
        bits: The width; floor(bits / 8) bytes are read, and below 8 the result is 0.
        signed: Read the zoned decimal form (a bool; 0 and 1 are refused).

    Returns:
        The value: 0xF1F2D3 in 24 bits, signed, gives -123.

    Raises:
        ValueError: "Invalid BCD digit: 51 (must be 0-9)"; "Invalid zoned decimal signed byte:
            0xB3 (expected 0x30-0x39, 0xC0-0xC9, 0xD0-0xD9, or 0xF0-0xF9)"; "Invalid zoned
            decimal byte: 0xC2 (expected ASCII 0x30-0x39 or EBCDIC 0xF0-0xF9)".
        OverflowError: ``value`` is negative or above 2**64 - 1, or ``bits`` is negative or above
            2**32 - 1.
        TypeError: ``value`` or ``bits`` is not an integer, or ``signed`` is not a bool
            ("argument 'signed': 'int' object cannot be cast as 'bool'").
    """

def decode_packed_bcd(value: SupportsIndex, bits: SupportsIndex, signed: bool = False) -> int:
    """Decode a packed BCD field: one digit per nibble, with ``signed`` a sign nibble at the end.

    Nibble 0 (the low nibble) holds the sign when ``signed``: 0xB and 0xD are negative, 0xA,
    0xC, 0xE and 0xF positive. The digits follow, least significant first.

    Args:
        value: The field pattern, 0 to 2**64 - 1.
        bits: The width; floor(bits / 4) nibbles are read, and below 4 the result is 0.
        signed: Read a sign nibble (a bool; 0 and 1 are refused).

    Returns:
        The value: 0x123D in 16 bits, signed, gives -123.

    Raises:
        ValueError: "Invalid BCD sign nibble: expected 0xA-0xF for signed packed BCD"; "Invalid
            BCD digit: 10 (must be 0-9)".
        OverflowError: ``value`` is negative or above 2**64 - 1, or ``bits`` is negative or above
            2**32 - 1.
        TypeError: ``value`` or ``bits`` is not an integer, or ``signed`` is not a bool
            ("argument 'signed': 'int' object cannot be cast as 'bool'").
    """

# IEEE 754 floats

def decode_ieee754_f16(value: SupportsIndex) -> float:
    """Decode an IEEE 754 binary16 pattern, exactly.

    Args:
        value: 0 to 2**64 - 1; only the low 16 bits are read (0x3C00 gives 1.0).

    Returns:
        The value as a float; a NaN stays a NaN, quiet.

    Raises:
        OverflowError: ``value`` is negative or above 2**64 - 1.
        TypeError: ``value`` is not an integer ("argument 'value': ...").
    """

def decode_ieee754_f32(value: SupportsIndex) -> float:
    """Decode an IEEE 754 binary32 pattern, exactly.

    Args:
        value: 0 to 2**64 - 1; only the low 32 bits are read (0x3F800000 gives 1.0).

    Returns:
        The value as a float; a signalling NaN comes out quiet, its payload kept.

    Raises:
        OverflowError: ``value`` is negative or above 2**64 - 1.
        TypeError: ``value`` is not an integer ("argument 'value': ...").
    """

def decode_ieee754_f64(value: SupportsIndex) -> float:
    """Decode an IEEE 754 binary64 pattern.

    Args:
        value: 0 to 2**64 - 1 (0x3FF0000000000000 gives 1.0).

    Returns:
        The float with that bit pattern.

    Raises:
        OverflowError: ``value`` is negative or above 2**64 - 1.
        TypeError: ``value`` is not an integer ("argument 'value': ...").
    """

def decode_ieee754_f128(value: SupportsIndex) -> float:
    """Decode an IEEE 754 binary128 pattern, truncating it to a float.

    The fraction is cut to its top 52 bits, never rounded. Exponents beyond the float range give
    an infinity, those below it (binary128 subnormals included) a zero of the sign; every NaN
    gives the positive quiet NaN.

    Args:
        value: 0 to 2**128 - 1 (0x3FFF << 112 gives 1.0).

    Returns:
        The value as a float.

    Raises:
        ValueError: ``value`` is negative.
        OverflowError: ``value`` is 2**128 or more ("Python int larger than 128 bits").
        TypeError: ``value`` is not an integer ("argument 'value': ...").
    """

def decode_ieee754_1985_f32(_value: SupportsIndex) -> NoReturn:
    """IEEE 754-1985 32-bit decoding: named, not built yet; every call fails.

    Raises:
        NotImplementedError: "IEEE 754-1985 f32 format not yet implemented".
        OverflowError: ``_value`` is negative or above 2**64 - 1 (checked first).
        TypeError: ``_value`` is not an integer (checked first).
    """

def decode_ieee754_1985_f64(_value: SupportsIndex) -> NoReturn:
    """IEEE 754-1985 64-bit decoding: named, not built yet; every call fails.

    Raises:
        NotImplementedError: "IEEE 754-1985 f64 format not yet implemented".
        OverflowError: ``_value`` is negative or above 2**64 - 1 (checked first).
        TypeError: ``_value`` is not an integer (checked first).
    """

def decode_ieee754_1985_f80(_value: SupportsIndex) -> NoReturn:
    """IEEE 754-1985 80-bit decoding: named, not built yet; every call fails.

    Raises:
        NotImplementedError: "IEEE 754-1985 f80 format not yet implemented".
        OverflowError: ``_value`` is negative or above 2**64 - 1 (checked first).
        TypeError: ``_value`` is not an integer (checked first).
    """

def decode_mil_std_1750a_f32(_value: SupportsIndex) -> NoReturn:
    """MIL-STD-1750A 32-bit decoding: named, not built yet; every call fails.

    Raises:
        NotImplementedError: "MIL-STD-1750A f32 format not yet implemented".
        OverflowError: ``_value`` is negative or above 2**64 - 1 (checked first).
        TypeError: ``_value`` is not an integer (checked first).
    """

def decode_mil_std_1750a_f48(_value: SupportsIndex) -> NoReturn:
    """MIL-STD-1750A 48-bit decoding: named, not built yet; every call fails.

    Raises:
        NotImplementedError: "MIL-STD-1750A f48 format not yet implemented".
        OverflowError: ``_value`` is negative or above 2**64 - 1 (checked first).
        TypeError: ``_value`` is not an integer (checked first).
    """

def decode_dec_f32(_value: SupportsIndex) -> NoReturn:
    """DEC 32-bit decoding: named, not built yet; every call fails.

    Raises:
        NotImplementedError: "DEC f32 format not yet implemented".
        OverflowError: ``_value`` is negative or above 2**64 - 1 (checked first).
        TypeError: ``_value`` is not an integer (checked first).
    """

def decode_dec_f64(_value: SupportsIndex) -> NoReturn:
    """DEC 64-bit decoding: named, not built yet; every call fails.

    Raises:
        NotImplementedError: "DEC f64 format not yet implemented".
        OverflowError: ``_value`` is negative or above 2**64 - 1 (checked first).
        TypeError: ``_value`` is not an integer (checked first).
    """

def decode_ibm_f32(_value: SupportsIndex) -> NoReturn:
    """IBM 32-bit decoding: named, not built yet; every call fails.

    Raises:
        NotImplementedError: "IBM f32 format not yet implemented".
        OverflowError: ``_value`` is negative or above 2**64 - 1 (checked first).
        TypeError: ``_value`` is not an integer (checked first).
    """

def decode_ibm_f64(_value: SupportsIndex) -> NoReturn:
    """IBM 64-bit decoding: named, not built yet; every call fails.

    Raises:
        NotImplementedError: "IBM f64 format not yet implemented".
        OverflowError: ``_value`` is negative or above 2**64 - 1 (checked first).
        TypeError: ``_value`` is not an integer (checked first).
    """

def decode_ti_f32(_value: SupportsIndex) -> NoReturn:
    """TI 32-bit decoding: named, not built yet; every call fails.

    Raises:
        NotImplementedError: "TI f32 format not yet implemented".
        OverflowError: ``_value`` is negative or above 2**64 - 1 (checked first).
        TypeError: ``_value`` is not an integer (checked first).
    """

def decode_ti_f40(_value: SupportsIndex) -> NoReturn:
    """TI 40-bit decoding: named, not built yet; every call fails.

    Raises:
        NotImplementedError: "TI f40 format not yet implemented".
        OverflowError: ``_value`` is negative or above 2**64 - 1 (checked first).
        TypeError: ``_value`` is not an integer (checked first).
    """

# Text

def decode_us_ascii(bytes: bytes) -> str:
    """Decode US-ASCII: every byte must be 0x00-0x7F.

    Args:
        bytes: The encoded text: bytes or a bytes subclass.

    Returns:
        The text, one character per byte.

    Raises:
        ValueError: "Invalid US-ASCII byte: 0x80 (must be <= 0x7F)", naming the first bad byte.
        TypeError: ``bytes`` is not bytes ("argument 'bytes': 'bytearray' object cannot be cast
            as 'bytes'").
    """

def decode_iso_8859_1(bytes: bytes) -> str:
    """Decode ISO-8859-1: each byte is the character with that code point (U+0000-U+00FF).

    Args:
        bytes: The encoded text: bytes or a bytes subclass.

    Returns:
        The text, one character per byte; this decoding never fails.

    Raises:
        TypeError: ``bytes`` is not bytes ("argument 'bytes': 'bytearray' object cannot be cast
            as 'bytes'").
    """

def decode_windows_1252(bytes: bytes) -> str:
    """Decode Windows-1252 as a browser does, with byte-order-mark sniffing.

    A leading EF BB BF is dropped and the rest decoded as UTF-8; FF FE or FE FF is dropped and
    the rest decoded as UTF-16LE or UTF-16BE. Otherwise every byte maps through the
    windows-1252 index (0x80 is "€"; 0x81, 0x8D, 0x8F, 0x90, 0x9D are the C1 controls).

    Args:
        bytes: The encoded text: bytes or a bytes subclass.

    Returns:
        The text; no replacement character is ever substituted.

    Raises:
        ValueError: "Failed to decode Windows-1252 bytes": malformed input after a UTF-8 or
            UTF-16 byte-order mark.
        TypeError: ``bytes`` is not bytes ("argument 'bytes': 'bytearray' object cannot be cast
            as 'bytes'").
    """

def decode_utf8(bytes: bytes) -> str:
    """Decode strict UTF-8 (no overlong forms, surrogates or code points above U+10FFFF).

    A leading byte-order mark is kept as U+FEFF.

    Args:
        bytes: The encoded text: bytes or a bytes subclass.

    Returns:
        The text.

    Raises:
        ValueError: "Invalid UTF-8 bytes: invalid utf-8 sequence of 1 bytes from index 0" or
            "Invalid UTF-8 bytes: incomplete utf-8 byte sequence from index 1", for the first
            ill-formed sequence.
        TypeError: ``bytes`` is not bytes ("argument 'bytes': 'bytearray' object cannot be cast
            as 'bytes'").
    """

def decode_utf16(bytes: bytes) -> str:
    """Decode UTF-16 by its byte-order mark: FE FF big-endian, FF FE little-endian, else big.

    One mark is removed; exactly FE FF or FF FE gives "".

    Args:
        bytes: The encoded text, an even number of at least 2 bytes: bytes or a bytes subclass.

    Returns:
        The text; surrogate pairs become one character.

    Raises:
        ValueError: "UTF-16 requires an even number of bytes with at least 2 bytes"; "Invalid
            UTF-16 sequence: invalid utf-16: lone surrogate found".
        TypeError: ``bytes`` is not bytes ("argument 'bytes': 'bytearray' object cannot be cast
            as 'bytes'").
    """

def decode_utf16le(bytes: bytes) -> str:
    """Decode UTF-16, little-endian; a byte-order mark is read as the character U+FEFF.

    Args:
        bytes: The encoded text, an even number of bytes: bytes or a bytes subclass.

    Returns:
        The text; surrogate pairs become one character, and b"" gives "".

    Raises:
        ValueError: "UTF-16 requires an even number of bytes"; "Invalid UTF-16 sequence: invalid
            utf-16: lone surrogate found".
        TypeError: ``bytes`` is not bytes ("argument 'bytes': 'bytearray' object cannot be cast
            as 'bytes'").
    """

def decode_utf16be(bytes: bytes) -> str:
    """Decode UTF-16, big-endian; a byte-order mark is read as the character U+FEFF.

    Args:
        bytes: The encoded text, an even number of bytes: bytes or a bytes subclass.

    Returns:
        The text; surrogate pairs become one character, and b"" gives "".

    Raises:
        ValueError: "UTF-16 requires an even number of bytes"; "Invalid UTF-16 sequence: invalid
            utf-16: lone surrogate found".
        TypeError: ``bytes`` is not bytes ("argument 'bytes': 'bytearray' object cannot be cast
            as 'bytes'").
    """

def decode_utf32(bytes: bytes) -> str:
    """Decode UTF-32 by its byte-order mark: 00 00 FE FF big-endian, FF FE 00 00 little, else big.

    Args:
        bytes: The encoded text, a multiple of 4 and at least 4 bytes: bytes or a bytes subclass.

    Returns:
        The text, without the mark.

    Raises:
        ValueError: "UTF-32 requires a multiple of 4 bytes with at least 4 bytes"; "Invalid
            UTF-32 codepoint: 0x0000D800" for a surrogate or a value above 0x10FFFF.
        TypeError: ``bytes`` is not bytes ("argument 'bytes': 'bytearray' object cannot be cast
            as 'bytes'").
    """

def decode_utf32le(bytes: bytes) -> str:
    """Decode UTF-32, little-endian; a byte-order mark is read as the character U+FEFF.

    Args:
        bytes: The encoded text, a multiple of 4 bytes: bytes or a bytes subclass.

    Returns:
        The text; b"" gives "".

    Raises:
        ValueError: "UTF-32 requires a multiple of 4 bytes"; "Invalid UTF-32 codepoint:
            0x00110000" for a surrogate or a value above 0x10FFFF.
        TypeError: ``bytes`` is not bytes ("argument 'bytes': 'bytearray' object cannot be cast
            as 'bytes'").
    """

def decode_utf32be(bytes: bytes) -> str:
    """Decode UTF-32, big-endian; a byte-order mark is read as the character U+FEFF.

    Args:
        bytes: The encoded text, a multiple of 4 bytes: bytes or a bytes subclass.

    Returns:
        The text; b"" gives "".

    Raises:
        ValueError: "UTF-32 requires a multiple of 4 bytes"; "Invalid UTF-32 codepoint:
            0x0000D800" for a surrogate or a value above 0x10FFFF.
        TypeError: ``bytes`` is not bytes ("argument 'bytes': 'bytearray' object cannot be cast
            as 'bytes'").
    """

# Integer fields

def encode_ones_complement(value: SupportsIndex, bits: SupportsIndex) -> int:
    """Encode a value as a ones' complement field; zero is always all zeros.

    Args:
        value: -(2**(bits-1) - 1) to 2**(bits-1) - 1 (a width of 0 holds only 0).
        bits: The width, 0 to 64.

    Returns:
        The field pattern, 0 to 2**bits - 1: -1 in 8 bits gives 254.

    Raises:
        ValueError: "bits must be <= 64 for ones' complement encoding"; "Value 128 is too large
            for 8 bits"; "Value -128 is too large (magnitude) for 8 bits".
        OverflowError: ``value`` is outside the signed 64-bit range, or ``bits`` is negative or
            above 2**32 - 1.
        TypeError: an argument is not an integer ("argument 'value': ...").
    """

def encode_twos_complement(value: SupportsIndex, bits: SupportsIndex) -> int:
    """Encode a value as a two's complement field.

    Args:
        value: -2**(bits-1) to 2**(bits-1) - 1 (a width of 0 holds only 0).
        bits: The width, 0 to 64.

    Returns:
        The field pattern, 0 to 2**bits - 1: -5 in 12 bits gives 4091 (0xFFB).

    Raises:
        ValueError: "bits must be <= 64 for two's complement encoding"; "Value 128 out of range
            for 8 bits (range: -128 to 127)".
        OverflowError: ``value`` is outside the signed 64-bit range, or ``bits`` is negative or
            above 2**32 - 1.
        TypeError: an argument is not an integer ("argument 'value': ...").
    """

def encode_sign_magnitude(value: SupportsIndex, bits: SupportsIndex) -> int:
    """Encode a value as a sign-magnitude field; zero is never written as negative zero.

    Args:
        value: -(2**(bits-1) - 1) to 2**(bits-1) - 1.
        bits: The width, 2 to 64.

    Returns:
        The field pattern, 0 to 2**bits - 1: -5 in 8 bits gives 133 (0x85).

    Raises:
        ValueError: "bits must be between 2 and 64 for sign-magnitude encoding"; "Magnitude of
            -128 is too large for 8 bits".
        OverflowError: ``value`` is outside the signed 64-bit range, or ``bits`` is negative or
            above 2**32 - 1.
        TypeError: an argument is not an integer ("argument 'value': ...").
    """

# Decimal fields

def encode_unpacked_bcd(value: SupportsIndex, bits: SupportsIndex, signed: bool = False) -> int:
    """Encode a value as unpacked BCD (one digit per byte) or, with ``signed``, zoned decimal.

    Byte 0 (the low byte) holds the least significant digit and the field always holds
    floor(bits / 8) digits, leading zeros included. Unsigned, each byte is 0x00-0x09 and a
    negative value loses its sign. Signed, the low byte takes the sign zone (0xC0-0xC9 for zero
    or positive, 0xD0-0xD9 for negative) and the other bytes are EBCDIC digits (0xF0-0xF9).

    Args:
        value: A signed value with at most floor(bits / 8) digits.
        bits: The width, 8 to 64.
        signed: Write the zoned decimal form (a bool; 0 and 1 are refused).

    Returns:
        The field pattern: 123 in 24 bits gives 0x010203, signed 0xF1F2C3.

    Raises:
        ValueError: "bits must be >= 8 for unpacked BCD"; "bits must be <= 64 for unpacked
            BCD"; "Value 1234 has too many digits for 3 BCD digits".
        OverflowError: ``value`` is outside the signed 64-bit range, or ``bits`` is negative or
            above 2**32 - 1.
        TypeError: ``value`` or ``bits`` is not an integer, or ``signed`` is not a bool
            ("argument 'signed': 'int' object cannot be cast as 'bool'").
    """

def encode_packed_bcd(value: SupportsIndex, bits: SupportsIndex, signed: bool = False) -> int:
    """Encode a value as packed BCD: one digit per nibble, with ``signed`` a sign nibble at the end.

    The field always holds floor(bits / 4) nibbles, leading zeros included; with ``signed`` the
    low nibble is the sign (0xC for zero or positive, 0xD for negative).

    Args:
        value: A value with at most floor(bits / 4) digits, one fewer with ``signed``; negative
            only with ``signed``.
        bits: The width, 4 to 64.
        signed: Write a sign nibble (a bool; 0 and 1 are refused).

    Returns:
        The field pattern: 1234 in 16 bits gives 0x1234; -123 in 16 bits, signed, gives 0x123D.

    Raises:
        ValueError: "bits must be >= 4 for packed BCD"; "bits must be <= 64 for packed BCD";
            "Cannot encode negative value in unsigned BCD"; "Value 1234 has too many digits for 3
            BCD digits".
        OverflowError: ``value`` is outside the signed 64-bit range, or ``bits`` is negative or
            above 2**32 - 1.
        TypeError: ``value`` or ``bits`` is not an integer, or ``signed`` is not a bool
            ("argument 'signed': 'int' object cannot be cast as 'bool'").
    """

# IEEE 754 floats

def encode_ieee754_f16(value: _FloatLike) -> int:
    """Encode a value as an IEEE 754 binary16 pattern.

    The value is rounded to binary32 first and then to binary16, each to nearest with ties to
    even, so a value can be rounded twice: 1 + 2**-11 + 2**-40 gives 0x3C00 (1.0). Values beyond
    the range give an infinity (65520.0 gives 0x7C00), tiny ones a zero of their sign.

    Args:
        value: A float, or anything with __float__ or __index__ (an int is fine); not a str.

    Returns:
        The pattern, 0 to 65535: 1.0 gives 15360 (0x3C00).

    Raises:
        TypeError: ``value`` is not a number ("argument 'value': must be real number, not str").
        OverflowError: ``value`` is an int too large for a float.
    """

def encode_ieee754_f32(value: _FloatLike) -> int:
    """Encode a value as an IEEE 754 binary32 pattern, rounded to nearest with ties to even.

    Values beyond the binary32 range give an infinity (1e39 gives 0x7F800000).

    Args:
        value: A float, or anything with __float__ or __index__ (an int is fine); not a str.

    Returns:
        The pattern, 0 to 2**32 - 1: 1.0 gives 1065353216 (0x3F800000).

    Raises:
        TypeError: ``value`` is not a number ("argument 'value': must be real number, not str").
        OverflowError: ``value`` is an int too large for a float.
    """

def encode_ieee754_f64(value: _FloatLike) -> int:
    """Encode a value as an IEEE 754 binary64 pattern: the float's own bits.

    Args:
        value: A float, or anything with __float__ or __index__ (an int is fine); not a str.

    Returns:
        The pattern, 0 to 2**64 - 1: 1.0 gives 4607182418800017408 (0x3FF0000000000000).

    Raises:
        TypeError: ``value`` is not a number ("argument 'value': must be real number, not str").
        OverflowError: ``value`` is an int too large for a float.
    """

def encode_ieee754_f128(_value: _FloatLike) -> NoReturn:
    """IEEE 754 binary128 encoding: named, not built yet; every call fails.

    Raises:
        NotImplementedError: "IEEE 754 f128 encoding not yet implemented".
        TypeError: ``_value`` is not a number (checked first).
        OverflowError: ``_value`` is an int too large for a float (checked first).
    """

def encode_ieee754_1985_f32(_value: _FloatLike) -> NoReturn:
    """IEEE 754-1985 32-bit encoding: named, not built yet; every call fails.

    Raises:
        NotImplementedError: "IEEE 754-1985 f32 encoding not yet implemented".
        TypeError: ``_value`` is not a number (checked first).
        OverflowError: ``_value`` is an int too large for a float (checked first).
    """

def encode_ieee754_1985_f64(_value: _FloatLike) -> NoReturn:
    """IEEE 754-1985 64-bit encoding: named, not built yet; every call fails.

    Raises:
        NotImplementedError: "IEEE 754-1985 f64 encoding not yet implemented".
        TypeError: ``_value`` is not a number (checked first).
        OverflowError: ``_value`` is an int too large for a float (checked first).
    """

def encode_ieee754_1985_f80(_value: _FloatLike) -> NoReturn:
    """IEEE 754-1985 80-bit encoding: named, not built yet; every call fails.

    Raises:
        NotImplementedError: "IEEE 754-1985 f80 encoding not yet implemented".
        TypeError: ``_value`` is not a number (checked first).
        OverflowError: ``_value`` is an int too large for a float (checked first).
    """

def encode_mil_std_1750a_f32(_value: _FloatLike) -> NoReturn:
    """MIL-STD-1750A 32-bit encoding: named, not built yet; every call fails.

    Raises:
        NotImplementedError: "MIL-STD-1750A f32 encoding not yet implemented".
        TypeError: ``_value`` is not a number (checked first).
        OverflowError: ``_value`` is an int too large for a float (checked first).
    """

def encode_mil_std_1750a_f48(_value: _FloatLike) -> NoReturn:
    """MIL-STD-1750A 48-bit encoding: named, not built yet; every call fails.

    Raises:
        NotImplementedError: "MIL-STD-1750A f48 encoding not yet implemented".
        TypeError: ``_value`` is not a number (checked first).
        OverflowError: ``_value`` is an int too large for a float (checked first).
    """

def encode_dec_f32(_value: _FloatLike) -> NoReturn:
    """DEC 32-bit encoding: named, not built yet; every call fails.

    Raises:
        NotImplementedError: "DEC f32 encoding not yet implemented".
        TypeError: ``_value`` is not a number (checked first).
        OverflowError: ``_value`` is an int too large for a float (checked first).
    """

def encode_dec_f64(_value: _FloatLike) -> NoReturn:
    """DEC 64-bit encoding: named, not built yet; every call fails.

    Raises:
        NotImplementedError: "DEC f64 encoding not yet implemented".
        TypeError: ``_value`` is not a number (checked first).
        OverflowError: ``_value`` is an int too large for a float (checked first).
    """

def encode_ibm_f32(_value: _FloatLike) -> NoReturn:
    """IBM 32-bit encoding: named, not built yet; every call fails.

    Raises:
        NotImplementedError: "IBM f32 encoding not yet implemented".
        TypeError: ``_value`` is not a number (checked first).
        OverflowError: ``_value`` is an int too large for a float (checked first).
    """

def encode_ibm_f64(_value: _FloatLike) -> NoReturn:
    """IBM 64-bit encoding: named, not built yet; every call fails.

    Raises:
        NotImplementedError: "IBM f64 encoding not yet implemented".
        TypeError: ``_value`` is not a number (checked first).
        OverflowError: ``_value`` is an int too large for a float (checked first).
    """

def encode_ti_f32(_value: _FloatLike) -> NoReturn:
    """TI 32-bit encoding: named, not built yet; every call fails.

    Raises:
        NotImplementedError: "TI f32 encoding not yet implemented".
        TypeError: ``_value`` is not a number (checked first).
        OverflowError: ``_value`` is an int too large for a float (checked first).
    """

def encode_ti_f40(_value: _FloatLike) -> NoReturn:
    """TI 40-bit encoding: named, not built yet; every call fails.

    Raises:
        NotImplementedError: "TI f40 encoding not yet implemented".
        TypeError: ``_value`` is not a number (checked first).
        OverflowError: ``_value`` is an int too large for a float (checked first).
    """

# Text

def encode_us_ascii(text: str) -> bytes:
    """Encode text as US-ASCII: one byte per character, U+0000-U+007F only.

    Args:
        text: A str (or subclass) without lone surrogates.

    Returns:
        The bytes.

    Raises:
        ValueError: "Character 'é' (U+00E9) is not valid US-ASCII", naming the first character
            above U+007F.
        UnicodeEncodeError: ``text`` holds a lone surrogate.
        TypeError: ``text`` is not a str ("argument 'text': 'bytes' object cannot be cast as
            'str'").
    """

def encode_iso_8859_1(text: str) -> bytes:
    """Encode text as ISO-8859-1: one byte per character, U+0000-U+00FF only.

    Args:
        text: A str (or subclass) without lone surrogates.

    Returns:
        The bytes, each equal to its character's code point.

    Raises:
        ValueError: "Character '€' (U+20AC) is not valid ISO-8859-1", naming the first character
            above U+00FF.
        UnicodeEncodeError: ``text`` holds a lone surrogate.
        TypeError: ``text`` is not a str ("argument 'text': 'bytes' object cannot be cast as
            'str'").
    """

def encode_windows_1252(text: str) -> bytes:
    """Encode text as Windows-1252 by the windows-1252 index ("€" gives 0x80).

    Args:
        text: A str (or subclass) without lone surrogates, every character in the index.

    Returns:
        The bytes, one per character.

    Raises:
        ValueError: "Failed to encode to Windows-1252": a character outside the index (such as
            "ő" or U+0080); nothing is substituted.
        UnicodeEncodeError: ``text`` holds a lone surrogate.
        TypeError: ``text`` is not a str ("argument 'text': 'bytes' object cannot be cast as
            'str'").
    """

def encode_utf8(text: str) -> bytes:
    """Encode text as UTF-8, without a byte-order mark.

    Args:
        text: A str (or subclass) without lone surrogates.

    Returns:
        The bytes.

    Raises:
        UnicodeEncodeError: ``text`` holds a lone surrogate.
        TypeError: ``text`` is not a str ("argument 'text': 'bytes' object cannot be cast as
            'str'").
    """

def encode_utf16(text: str) -> bytes:
    """Encode text as UTF-16: the byte-order mark FE FF, then big-endian units.

    Args:
        text: A str (or subclass) without lone surrogates.

    Returns:
        The bytes; "" gives b"\\xfe\\xff", and characters above U+FFFF become surrogate pairs.

    Raises:
        UnicodeEncodeError: ``text`` holds a lone surrogate.
        TypeError: ``text`` is not a str ("argument 'text': 'bytes' object cannot be cast as
            'str'").
    """

def encode_utf16le(text: str) -> bytes:
    """Encode text as UTF-16, little-endian, without a byte-order mark.

    Args:
        text: A str (or subclass) without lone surrogates.

    Returns:
        The bytes; characters above U+FFFF become surrogate pairs.

    Raises:
        UnicodeEncodeError: ``text`` holds a lone surrogate.
        TypeError: ``text`` is not a str ("argument 'text': 'bytes' object cannot be cast as
            'str'").
    """

def encode_utf16be(text: str) -> bytes:
    """Encode text as UTF-16, big-endian, without a byte-order mark.

    Args:
        text: A str (or subclass) without lone surrogates.

    Returns:
        The bytes; characters above U+FFFF become surrogate pairs.

    Raises:
        UnicodeEncodeError: ``text`` holds a lone surrogate.
        TypeError: ``text`` is not a str ("argument 'text': 'bytes' object cannot be cast as
            'str'").
    """

def encode_utf32(text: str) -> bytes:
    """Encode text as UTF-32: the byte-order mark 00 00 FE FF, then big-endian code points.

    Args:
        text: A str (or subclass) without lone surrogates.

    Returns:
        The bytes; "" gives b"\\x00\\x00\\xfe\\xff".

    Raises:
        UnicodeEncodeError: ``text`` holds a lone surrogate.
        TypeError: ``text`` is not a str ("argument 'text': 'bytes' object cannot be cast as
            'str'").
    """

def encode_utf32le(text: str) -> bytes:
    """Encode text as UTF-32, little-endian, without a byte-order mark.

    Args:
        text: A str (or subclass) without lone surrogates.

    Returns:
        The bytes, four per character.

    Raises:
        UnicodeEncodeError: ``text`` holds a lone surrogate.
        TypeError: ``text`` is not a str ("argument 'text': 'bytes' object cannot be cast as
            'str'").
    """

def encode_utf32be(text: str) -> bytes:
    """Encode text as UTF-32, big-endian, without a byte-order mark.

    Args:
        text: A str (or subclass) without lone surrogates.

    Returns:
        The bytes, four per character.

    Raises:
        UnicodeEncodeError: ``text`` holds a lone surrogate.
        TypeError: ``text`` is not a str ("argument 'text': 'bytes' object cannot be cast as
            'str'").
    """
