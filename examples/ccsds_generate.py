"""Write a file of CCSDS space packets with pack_parameters: the sample mission of the cookbook.

    python examples/ccsds_generate.py PACKETS [--count 300] [--seed 0] [--recipes-out RECIPES.json]

Three APIDs of telemetry (housekeeping, attitude, events) with random values, and an idle packet
(APID 2047, no recipe) every IDLE_EVERY packets. The recipes file it writes is the one that
examples/ccsds_decode.py reads back.

Packing is bit-exact, so the primary header's 3-, 1-, 1-, 11-, 2- and 14-bit fields are packed
as they are; the data fields are whole bytes at byte boundaries, which the unpacker reads exactly.
"""
import argparse
import json
import random
import struct
import sys

import tessel

IDLE_APID = 0x7FF
IDLE_EVERY = 10


def field(name, encoding, bits, byte_order="big", reverse_bits=False, **more):
    return {"name": name, "encoding": encoding, "bits": bits, "byte_order": byte_order,
            "reverse_bits": reverse_bits, **more}


# Recipes of the data fields as the decoder reads them, by APID; positions count from the end of
# the primary header.
SAMPLE_RECIPES = {
    0x010: [   # housekeeping
        field("coarse_time", "unsigned", 32),
        field("fine_time", "unsigned", 16),
        field("board_temp", "twos_complement", 16),
        field("bus_voltage", "ieee754_f32", 32),
        field("heater_current", "ieee754_f16", 16),
        field("mode", "us_ascii", 64),
        field("boot_count", "packed_bcd", 16),
        field("rtc_ticks", "unsigned", 32, byte_order="little"),
    ],
    0x0A5: [   # attitude
        field("coarse_time", "unsigned", 32),
        field("fine_time", "unsigned", 16),
        field("q1", "ieee754_f64", 64),
        field("q2", "ieee754_f64", 64),
        field("q3", "ieee754_f64", 64),
        field("q4", "ieee754_f64", 64),
        field("wheel_speed", "sign_magnitude", 16),
        field("wheel_torque", "ones_complement", 16),
        field("sun_sensor", "twos_complement", 24, byte_order="little"),
        field("status_bits", "unsigned", 8, reverse_bits=True),
    ],
    0x3C2: [   # events
        field("coarse_time", "unsigned", 32),
        field("event_id", "unsigned", 8),
        # one spare byte after event_id
        field("orbit", "packed_bcd_signed", 24, offset_bits=48),
        field("counter", "bcd_signed", 32),
        field("station", "bcd", 16),
        field("message", "utf16be", 96),
        field("operator", "windows_1252", 40),
        field("note", "utf8", 64),
    ],
}

# The packer names float formats by width in `bits`; the unpacker by name.
_PACK_NAMES = {"ieee754_f16": "ieee754", "ieee754_f32": "ieee754", "ieee754_f64": "ieee754"}
_LETTERS = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 _-"


def _text(rng, encoding, octets):
    """Random text that fills exactly `octets` bytes in its encoding."""
    if encoding == "utf16be":
        return "".join(chr(rng.choice([rng.randrange(0x391, 0x3CA), rng.randrange(0x20, 0x7F)]))
                       for _ in range(octets // 2))
    if encoding == "windows_1252":
        return "".join(rng.choice(_LETTERS + "€ŠšŽžŒœŸ") for _ in range(octets))
    if encoding == "utf8":
        text = []
        while octets:
            wide = octets >= 2 and rng.random() < 0.3
            text.append(chr(rng.randrange(0xC0, 0x250)) if wide else rng.choice(_LETTERS))
            octets -= 2 if wide else 1
        return "".join(text)
    return "".join(rng.choice(_LETTERS) for _ in range(octets))


def random_value(rng, item):
    """A value that the item's field holds exactly, so that unpacking gives it back."""
    encoding, bits = item["encoding"], item["bits"]
    half = 1 << (bits - 1)
    if encoding == "unsigned":
        return rng.randrange(1 << bits)
    if encoding == "twos_complement":
        return rng.randrange(-half, half)
    if encoding in ("ones_complement", "sign_magnitude"):
        return rng.randrange(-half + 1, half)   # no negative zero among Python ints
    if encoding == "bcd":
        return rng.randrange(10 ** (bits // 8))
    if encoding == "bcd_signed":                # zoned: the sign rides on the last digit
        return rng.randrange(1 - 10 ** (bits // 8), 10 ** (bits // 8))
    if encoding == "packed_bcd":
        return rng.randrange(10 ** (bits // 4))
    if encoding == "packed_bcd_signed":         # one nibble is the sign
        return rng.randrange(1 - 10 ** (bits // 4 - 1), 10 ** (bits // 4 - 1))
    if encoding == "ieee754_f16":
        return struct.unpack(">e", struct.pack(">e", rng.uniform(-2000.0, 2000.0)))[0]
    if encoding == "ieee754_f32":
        return struct.unpack(">f", struct.pack(">f", rng.uniform(-40.0, 40.0)))[0]
    if encoding == "ieee754_f64":
        return rng.uniform(-1.0, 1.0)
    return _text(rng, encoding, bits // 8)


def header_recipe(apid, sequence_count, data_bytes, secondary_header=True):
    """The primary header, field by field, as the packer lays it down."""
    return [
        field("version", "unsigned", 3, value=0),
        field("type", "unsigned", 1, value=0),
        field("secondary_header", "unsigned", 1, value=int(secondary_header)),
        field("apid", "unsigned", 11, value=apid),
        field("sequence_flags", "unsigned", 2, value=3),   # unsegmented
        field("sequence_count", "unsigned", 14, value=sequence_count),
        field("data_length", "unsigned", 16, value=data_bytes - 1),
    ]


def data_bytes(recipe):
    end = position = 0
    for item in recipe:
        position = item.get("offset_bits", position) + item["bits"]
        end = max(end, position)
    return (end + 7) // 8


def packet_stream(count, *, seed=0, recipes=None, idle_every=IDLE_EVERY):
    """Yields (packet bytes, row) for `count` packets: the row holds the header and the values packed.

    Rows of idle packets hold the header only. APIDs take turns; sequence counts run per APID.
    """
    recipes = SAMPLE_RECIPES if recipes is None else recipes
    rng = random.Random(seed)
    apids = sorted(recipes)
    sizes = {apid: data_bytes(recipe) for apid, recipe in recipes.items()}
    counts = dict.fromkeys([*apids, IDLE_APID], 0)
    for index in range(count):
        idle = idle_every and index % idle_every == idle_every - 1
        apid = IDLE_APID if idle else apids[index % len(apids)]
        if idle:
            size = rng.randrange(1, 17)
            items = header_recipe(apid, counts[apid], size, secondary_header=False)
            items.append(field("fill", "binary", 8 * size, value=b"\x55" * size))
            values = {}
        else:
            size = sizes[apid]
            items = header_recipe(apid, counts[apid], size)
            values = {}
            for item in recipes[apid]:
                values[item["name"]] = value = random_value(rng, item)
                packed = dict(item, encoding=_PACK_NAMES.get(item["encoding"], item["encoding"]), value=value)
                if "offset_bits" in item:
                    packed["offset_bits"] = 48 + item["offset_bits"]
                items.append(packed)
        row = {item["name"]: item["value"] for item in items[:7]}
        row.update(values)
        counts[apid] = (counts[apid] + 1) & 0x3FFF
        yield tessel.pack_parameters(items), row


def write_packet_file(path, count, *, seed=0, recipes=None, idle_every=IDLE_EVERY):
    """Writes `count` packets to `path` and returns the rows of the packets that have a recipe."""
    rows = []
    with open(path, "wb") as f:
        for packet, row in packet_stream(count, seed=seed, recipes=recipes, idle_every=idle_every):
            f.write(packet)
            if row["apid"] != IDLE_APID:
                rows.append(row)
    return rows


def write_recipes(path, recipes=None):
    recipes = SAMPLE_RECIPES if recipes is None else recipes
    with open(path, "w", encoding="utf-8") as f:
        json.dump({str(apid): recipe for apid, recipe in recipes.items()}, f, indent=1, ensure_ascii=False)


def main(argv=None):
    parser = argparse.ArgumentParser(description="Write a file of sample CCSDS space packets.")
    parser.add_argument("packets", help="file to write")
    parser.add_argument("--count", type=int, default=300, help="number of packets (default 300)")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--recipes-out", metavar="JSON", help="also write the decoding recipes here")
    args = parser.parse_args(argv)
    rows = write_packet_file(args.packets, args.count, seed=args.seed)
    if args.recipes_out:
        write_recipes(args.recipes_out)
    print(f"{args.packets}: {args.count} packets, {len(rows)} with telemetry", file=sys.stderr)


if __name__ == "__main__":
    main()
