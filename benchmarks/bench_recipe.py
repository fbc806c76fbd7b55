"""Recipe packing and unpacking against bitstruct and plain Python on the same layout.

The target baseline is `bitstruct.c.pack` / `bitstruct.c.unpack` (format parsed per call); the
compiled bitstruct form, which parses its format once, is shown beside it.
"""
import os
import random
import sys

sys.path.insert(0, os.path.dirname(__file__))
from _timing import compare  # noqa: E402

import bitstruct.c as bitstruct  # noqa: E402

import tessel  # noqa: E402


def layout(count, seed):
    """`count` integer fields, unsigned and two's complement, some byte-aligned and some not."""
    rng = random.Random(seed)
    fields = []
    for i in range(count):
        bits = rng.choice([3, 5, 8, 12, 16, 16, 24, 32])
        signed = rng.random() < 0.4
        value = rng.randrange(-(1 << (bits - 1)), 1 << (bits - 1)) if signed else rng.randrange(1 << bits)
        fields.append((f"p{i}", "twos_complement" if signed else "unsigned", bits, value))
    return fields


def recipe(fields):
    return [{"name": n, "encoding": e, "bits": b, "byte_order": "big", "reverse_bits": False, "value": v}
            for n, e, b, v in fields]


def bitstruct_format(fields):
    return "".join(("s" if e == "twos_complement" else "u") + str(b) for _, e, b, _ in fields)


def plain_python_pack(fields):
    def pack(values):
        acc, total = 0, 0
        for (_, _, bits, _), value in zip(fields, values):
            acc = (acc << bits) | (value & ((1 << bits) - 1))
            total += bits
        pad = -total % 8
        return (acc << pad).to_bytes((total + pad) // 8, "big")
    return pack


def main():
    print(f"{'case (tessel vs baseline)':<52} {'tessel':>12} {'baseline':>12}")
    for count in (16, 64):
        fields = layout(count, seed=count)
        items = recipe(fields)
        values = [v for *_, v in fields]
        compiled = bitstruct.compile(bitstruct_format(fields))
        python_pack = plain_python_pack(fields)
        packet = tessel.pack_parameters(items)
        assert packet == compiled.pack(*values) == python_pack(values)
        fmt = bitstruct_format(fields)
        compare(f"pack_parameters, {count} items vs bitstruct.c.pack",
                lambda: tessel.pack_parameters(items), lambda: bitstruct.pack(fmt, *values))
        compare(f"pack_parameters, {count} items vs compiled bitstruct.c",
                lambda: tessel.pack_parameters(items), lambda: compiled.pack(*values))
        compare(f"pack_parameters, {count} items vs plain Python",
                lambda: tessel.pack_parameters(items), lambda: python_pack(values))
        if hasattr(tessel, "unpack_parameters"):
            names = [n for n, *_ in fields]

            compare(f"unpack_parameters, {count} items vs bitstruct.c.unpack + dict",
                    lambda: tessel.unpack_parameters(packet, 0, items),
                    lambda: dict(zip(names, bitstruct.unpack(fmt, packet))))
            compare(f"unpack_parameters, {count} items vs compiled bitstruct.c + dict",
                    lambda: tessel.unpack_parameters(packet, 0, items),
                    lambda: dict(zip(names, compiled.unpack(packet))))


if __name__ == "__main__":
    main()
