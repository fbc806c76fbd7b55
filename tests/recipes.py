"""Recipe helpers and an independent model of packet placement, shared by the recipe tests."""
import itertools
import re
import struct


def item(name, encoding, bits, order="big", reverse=False, at=None, **more):
    """A recipe item; `at` gives offset_bits, `more` adds keys such as value."""
    d = {"name": name, "encoding": encoding, "bits": bits, "byte_order": order, "reverse_bits": reverse}
    if at is not None:
        d["offset_bits"] = at
    d.update(more)
    return d


def panic_type():
    """The type unpack_parameters raises for a read past the end of a packet (not exported)."""
    import tessel

    try:
        tessel.unpack_parameters(b"", 0, [item("f", "unsigned", 8)])
    except BaseException as e:  # noqa: BLE001 - the type is what we are after
        return type(e)


def without(d, *keys):
    return {k: v for k, v in d.items() if k not in keys}


def spellings(name):
    """The name in several letter cases: names match after lower-casing."""
    return sorted({name, name.upper(), name.title(), name.swapcase(), name[:1].upper() + name[1:]})


def separator_variants(names):
    """Every name rewritten with each of "", "_" and "-" between its words and numbers: the near
    misses of a name table."""
    variants = set()
    for name in names:
        parts = re.findall(r"[a-z]+|[0-9]+", name)
        for separators in itertools.product(["", "_", "-"], repeat=len(parts) - 1):
            variants.add(parts[0] + "".join(s + p for s, p in zip(separators, parts[1:])))
    return variants


class HookedDict(dict):
    """A dict subclass whose own lookup hooks must never be consulted by the recipe codec."""

    def __getitem__(self, key):
        raise AssertionError("looked up through __getitem__")

    def __missing__(self, key):
        return 8


# ---- field contents, computed without tessel's field writer --------------------------------

def mirror(pattern, bits):
    return int(format(pattern & ((1 << bits) - 1), f"0{bits}b")[::-1], 2) if bits else 0


def numeric_field_bytes(pattern, bits, reverse):
    """The field writer: the pattern's low bits as whole bytes, most significant first."""
    if reverse:
        pattern = mirror(pattern, bits)
    n = (bits + 7) // 8
    return (pattern & ((1 << (8 * n)) - 1)).to_bytes(n, "big")


def binary_field_bytes(value, bits, reverse):
    if bits == 0:
        return b""
    n = (bits + 7) // 8
    fitted = bytes(value)[-n:].rjust(n, b"\0")
    as_int = int.from_bytes(fitted, "big") & ((1 << bits) - 1)
    if reverse:
        as_int = mirror(as_int, bits)
    return as_int.to_bytes(n, "big")


TEXT_CODECS = {
    "utf8": lambda s: s.encode("utf-8"),
    "utf16": lambda s: b"\xfe\xff" + s.encode("utf-16-be"),
    "utf16le": lambda s: s.encode("utf-16-le"),
    "utf16be": lambda s: s.encode("utf-16-be"),
    "utf32": lambda s: b"\0\0\xfe\xff" + s.encode("utf-32-be"),
    "utf32le": lambda s: s.encode("utf-32-le"),
    "utf32be": lambda s: s.encode("utf-32-be"),
    "us_ascii": lambda s: s.encode("ascii"),
    "iso_8859_1": lambda s: s.encode("latin-1"),
}


def place(packet_bits, position, field, bits):
    """Writes the field's last `bits` bits (or all of them, then zeros) at `position`."""
    length = 8 * len(field)
    source = length - bits if length >= bits else 0
    for i in range(bits):
        k = source + i
        bit = (field[k // 8] >> (7 - k % 8)) & 1 if k < length else 0
        if position + i < len(packet_bits):
            packet_bits[position + i] = bit


def model_pack(recipe, field_bytes):
    """The packet for `recipe`; `field_bytes(item)` gives an item's field bytes in big-endian order."""
    end = 0
    for it in recipe:
        start = it.get("offset_bits", end)
        end = max(end, start + it["bits"])
    packet_bits = [0] * (8 * ((end + 7) // 8))
    position = 0
    for it in recipe:
        position = it.get("offset_bits", position)
        field = field_bytes(it)
        if it["byte_order"].lower() == "little":
            field = field[::-1]
        place(packet_bits, position, field, it["bits"])
        position += it["bits"]
    return bytes(int("".join(map(str, packet_bits[i:i + 8])), 2) for i in range(0, len(packet_bits), 8))


def f32_bits(x):
    return struct.unpack(">I", struct.pack(">f", x))[0]
