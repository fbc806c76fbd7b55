"""Throughput of the packet-file cookbook (examples/): packets and fields per second, one core and
every core, for the tests' 300-packet file and a 100,000-packet one, with a plain-Python decoder of
the same packets timed in the same run as the baseline.

    .venv/bin/python benchmarks/bench_cookbook.py [--packets 100000] [--repeat 3]

Fields are the cells of the table: the 7 primary-header fields and the fields of the data field;
packets count every packet of the file, idle packets (no recipe, skipped) included.
One core decodes the file in this process; every core decodes the same packets cut into one file
per core, with ccsds_parallel.decode_files_pool, on a pool started for the call (its start-up
included) and on a pool already running.
"""
import argparse
import os
import struct
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "examples"))
import ccsds_decode as decode  # noqa: E402
import ccsds_generate as generate  # noqa: E402
import ccsds_parallel as parallel  # noqa: E402

import tessel  # noqa: E402

RECIPES = generate.SAMPLE_RECIPES

# ---- the baseline: the same packets split with struct and decoded in plain Python ------------

_STRUCT = {"unsigned": "", "twos_complement": "", "ieee754_f16": "e", "ieee754_f32": "f", "ieee754_f64": "d"}
_TEXT = {"us_ascii": "ascii", "utf8": "utf-8", "utf16be": "utf-16-be", "windows_1252": "cp1252"}


def _python_field(item):
    """A function from the field's bytes to its value, by the field format's definition."""
    encoding, bits = item["encoding"], item["bits"]
    order = item["byte_order"]
    if encoding in ("ieee754_f16", "ieee754_f32", "ieee754_f64"):
        unpack = struct.Struct((">" if order == "big" else "<") + _STRUCT[encoding]).unpack
        return lambda raw: unpack(raw)[0]
    if encoding in _TEXT:
        codec = _TEXT[encoding]
        return (lambda raw: raw.decode(codec)) if order == "big" else (lambda raw: raw[::-1].decode(codec))

    def number(raw):
        value = int.from_bytes(raw, order)
        if item["reverse_bits"]:
            value = int(format(value, f"0{bits}b")[::-1], 2)
        return value

    top = 1 << (bits - 1)
    if encoding == "unsigned":
        return number
    if encoding == "twos_complement":
        return lambda raw: int.from_bytes(raw, order, signed=True)
    if encoding == "ones_complement":
        return lambda raw: (v - (top << 1) + 1) if (v := number(raw)) & top else v
    if encoding == "sign_magnitude":
        return lambda raw: -(v & (top - 1)) if (v := number(raw)) & top else v
    if encoding == "packed_bcd":
        return lambda raw: int(raw.hex())
    if encoding == "packed_bcd_signed":
        return lambda raw: -int(h[:-1]) if (h := raw.hex())[-1] in "bd" else int(h[:-1])
    if encoding == "bcd":
        return lambda raw: int("".join(map(str, raw)))
    if encoding == "bcd_signed":
        return lambda raw: (-1 if raw[-1] >> 4 == 0xD else 1) * int("".join(str(b & 15) for b in raw))
    raise ValueError(encoding)


def python_decoder(recipe):
    slots, position = [], 48
    for item in recipe:
        position = 48 + item["offset_bits"] if "offset_bits" in item else position
        slots.append((item["name"], position // 8, position // 8 + item["bits"] // 8, _python_field(item)))
        position += item["bits"]
    return lambda packet: {name: field(packet[a:b]) for name, a, b, field in slots}


def python_rows(path, decoders):
    """The cookbook's decode_rows, with struct for the header and the decoders above for the data."""
    header = struct.Struct(">HHH").unpack
    with open(path, "rb") as f:
        read = f.read
        while len(head := read(6)) == 6:
            packet_id, sequence, length = header(head)
            packet = head + read(length + 1)
            decoder = decoders.get(packet_id & 0x7FF)
            if decoder is None:
                continue
            row = {"apid": packet_id & 0x7FF, "version": packet_id >> 13, "type": packet_id >> 12 & 1,
                   "sec_hdr_flag": packet_id >> 11 & 1, "seq_flags": sequence >> 14,
                   "seq_count": sequence & 0x3FFF, "packet_length": length}
            row.update(decoder(packet))
            yield row


# ---- timing ---------------------------------------------------------------------------------

class Timing(float):
    """Best wall-clock seconds of a run; `cpu` holds this process's CPU seconds of its best run."""
    cpu = None


def best(fn, repeat):
    runs = []
    for _ in range(repeat):
        wall, cpu = time.perf_counter(), time.process_time()
        fn()
        runs.append((time.perf_counter() - wall, time.process_time() - cpu))
    wall, cpu = min(runs)
    timing = Timing(wall)
    timing.cpu = cpu
    return timing


def report(label, seconds, packets, fields, cpu=True):
    """Rates per wall-clock second and, where the work runs in this process, per CPU second of it
    (steadier on a machine shared with other work)."""
    line = f"  {label:<44} {packets / seconds:>9,.0f} packets/s {fields / seconds:>11,.0f} fields/s"
    if cpu and seconds.cpu:
        line += f"   per CPU second: {packets / seconds.cpu:>9,.0f} packets {fields / seconds.cpu:>11,.0f} fields"
    print(line)


def split_into(path, parts, folder):
    """The file's packets cut into `parts` files of consecutive packets."""
    with open(path, "rb") as f:
        packets = [packet for _, packet in decode.iter_packets(f)]
    size = -(-len(packets) // parts)
    paths = []
    for k in range(parts):
        paths.append(Path(folder, f"part{k}.bin"))
        paths[-1].write_bytes(b"".join(packets[k * size:(k + 1) * size]))
    return paths


def run(count, folder, repeat, cores):
    path = Path(folder, f"packets{count}.bin")
    rows = generate.write_packet_file(path, count, seed=7)
    table = decode.RecipeTable(RECIPES)
    decoders = {apid: python_decoder(recipe) for apid, recipe in RECIPES.items()}
    with open(path, "rb") as f:
        got = list(decode.decode_rows(f, table))
    assert got == rows == list(python_rows(path, decoders))
    fields = sum(len(row) for row in rows)
    print(f"{count:,} packets ({len(rows):,} with telemetry, {fields:,} fields), {path.stat().st_size:,} bytes")

    def tessel_rows():
        with open(path, "rb") as f:
            for _ in decode.decode_rows(f, table):
                pass

    def baseline_rows():
        for _ in python_rows(path, decoders):
            pass

    one = best(tessel_rows, repeat)
    plain = best(baseline_rows, repeat)
    report("one core, rows (tessel)", one, count, fields)
    report("one core, rows (struct + plain Python)", plain, count, fields)
    print(f"  {'':<44} tessel / baseline ratio {one / plain:5.2f} (wall), {one.cpu / plain.cpu:5.2f} (CPU)")

    csv_one = best(lambda: decode.decode_file(path, table, csv_path=Path(folder, "one.csv"), progress=False), repeat)
    report("one core, CSV", csv_one, count, fields)
    try:
        import pyarrow  # noqa: F401
        pq_one = best(lambda: decode.decode_file(path, table, parquet_path=Path(folder, "one.parquet"),
                                                 progress=False), repeat)
        report("one core, Parquet", pq_one, count, fields)
    except ImportError:
        print("  one core, Parquet: pyarrow is not installed")

    parts = Path(folder, f"parts{count}")
    parts.mkdir()
    paths = split_into(path, cores, parts)
    out = Path(folder, f"out{count}")
    out.mkdir()
    every = best(lambda: parallel.decode_files_pool(paths, table, out, processes=cores), repeat)
    report(f"{cores} cores, CSV, {cores} files, new pool", every, count, fields, cpu=False)
    with parallel.new_pool(cores) as pool:
        parallel.decode_files_pool(paths, table, out, pool=pool)   # workers import their modules
        warm = best(lambda: parallel.decode_files_pool(paths, table, out, pool=pool), repeat)
    report(f"{cores} cores, CSV, {cores} files, running pool", warm, count, fields, cpu=False)
    print(f"  {'':<44} speed-up over one core, CSV: {csv_one / every:5.2f} (new pool), "
          f"{csv_one / warm:5.2f} (running pool)")

    with open(path, "rb") as f:
        packet = next(decode.iter_packets(f))[1]
    recipe, decoder = table.layouts[16].recipe, decoders[16]
    t_ours = best(lambda: [tessel.unpack_parameters(packet, 48, recipe) for _ in range(10000)], repeat) / 10000
    t_base = best(lambda: [decoder(packet) for _ in range(10000)], repeat) / 10000
    print(f"  one housekeeping data field (8 fields): unpack_parameters {t_ours * 1e9:,.0f} ns, "
          f"plain Python {t_base * 1e9:,.0f} ns, ratio {t_ours / t_base:5.2f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--packets", type=int, default=100_000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--cores", type=int, default=os.cpu_count() or 1)
    args = parser.parse_args()
    load = " ".join(f"{x:.1f}" for x in os.getloadavg()) if hasattr(os, "getloadavg") else "unknown"
    print(f"tessel {tessel.__file__}\n{args.cores} cores (load average {load}), best of {args.repeat}\n")
    with tempfile.TemporaryDirectory() as folder:
        for count in (300, args.packets):
            run(count, folder, args.repeat, args.cores)
            print()


if __name__ == "__main__":
    main()
