"""Throughput of the packet-file cookbook (examples/): packets and fields per second from a packet
file to Parquet tables, for the tests' 300-packet file and a 100,000-packet one, with a plain-Python
decoder of the same packets (rows of dicts to Parquet) timed in the same run as the baseline.

    .venv/bin/python benchmarks/bench_cookbook.py [--packets 100000] [--repeat 3]

Fields are the cells of the table: the 7 primary-header fields and the fields of the data field;
packets count every packet of the file, idle packets (no recipe, skipped) included.
Many files: the same packets cut into one file per core, written by ccsds_parallel.write_parquet
(a dask.dataframe per APID, one partition per file) on local threads and on one.
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
import tessel_archive  # noqa: E402

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
    """A plain-Python decoder of the same file: struct for the header, the decoders above for the
    data field, one dict a packet."""
    header = struct.Struct(">HHH").unpack
    with open(path, "rb") as f:
        read = f.read
        while len(head := read(6)) == 6:
            packet_id, sequence, length = header(head)
            packet = head + read(length + 1)
            decoder = decoders.get(packet_id & 0x7FF)
            if decoder is None:
                continue
            row = {"version": packet_id >> 13, "type": packet_id >> 12 & 1, "secondary_header": packet_id >> 11 & 1,
                   "apid": packet_id & 0x7FF, "sequence_flags": sequence >> 14,
                   "sequence_count": sequence & 0x3FFF, "data_length": length}
            row.update(decoder(packet))
            yield row


def python_parquet(path, decoders, folder):
    """The baseline's rows into a Parquet table per APID."""
    import pyarrow as pa
    import pyarrow.parquet as pq

    tables = {}
    for row in python_rows(path, decoders):
        tables.setdefault(row["apid"], []).append(row)
    for apid, rows in tables.items():
        pq.write_table(pa.Table.from_pylist(rows), Path(folder, f"apid_{apid:04d}.parquet"))


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
    line = f"  {label:<52} {packets / seconds:>9,.0f} packets/s {fields / seconds:>11,.0f} fields/s"
    if cpu and seconds.cpu:
        line += f"   per CPU second: {packets / seconds.cpu:>9,.0f} packets {fields / seconds.cpu:>11,.0f} fields"
    print(line)


def split_into(path, parts, folder):
    """The file's packets cut into `parts` files of consecutive packets."""
    data = Path(path).read_bytes()
    index = tessel_archive.space_packets(data)
    starts, ends = index["start"], index["start"] + index["length"]
    size = -(-len(starts) // parts)
    paths = []
    for k in range(parts):
        chunk = slice(k * size, min((k + 1) * size, len(starts)))
        paths.append(Path(folder, f"part{k}.bin"))
        paths[-1].write_bytes(data[starts[chunk][0]:ends[chunk][-1]])
    return paths


def run(count, folder, repeat, cores):
    import pyarrow.parquet as pq

    path = Path(folder, f"packets{count}.bin")
    rows = generate.write_packet_file(path, count, seed=7)
    decoders = {apid: python_decoder(recipe) for apid, recipe in RECIPES.items()}
    assert list(python_rows(path, decoders)) == rows
    fields = sum(len(row) for row in rows)
    print(f"{count:,} packets ({len(rows):,} with telemetry, {fields:,} fields), {path.stat().st_size:,} bytes")

    ours, theirs = Path(folder, f"ours{count}"), Path(folder, f"theirs{count}")
    ours.mkdir()
    theirs.mkdir()
    decode.decode_file(path, RECIPES, ours, progress=False)
    python_parquet(path, decoders, theirs)
    for apid in RECIPES:
        name = f"apid_{apid:04d}.parquet"
        assert pq.read_table(ours / name).to_pylist() == pq.read_table(theirs / name).to_pylist()

    one = best(lambda: decode.decode_file(path, RECIPES, ours, progress=False), repeat)
    plain = best(lambda: python_parquet(path, decoders, theirs), repeat)
    report("one file to Parquet (ccsds_decode, tessel_archive)", one, count, fields)
    report("one file to Parquet (struct + plain Python rows)", plain, count, fields)
    print(f"  {'':<52} tessel / baseline ratio {one / plain:5.3f} (wall), {one.cpu / plain.cpu:5.3f} (CPU)")

    try:
        import dask.dataframe  # noqa: F401
    except ImportError:
        print("  many files: dask[dataframe] is not installed")
        return
    parts = Path(folder, f"parts{count}")
    parts.mkdir()
    paths = split_into(path, cores, parts)
    out = Path(folder, f"out{count}")
    out.mkdir()
    every = best(lambda: parallel.write_parquet(paths, RECIPES, out, scheduler="threads"), repeat)
    single = best(lambda: parallel.write_parquet(paths, RECIPES, out, scheduler="sync"), repeat)
    report(f"{cores} files, dask.dataframe on {cores} threads", every, count, fields, cpu=False)
    report(f"{cores} files, dask.dataframe, one thread", single, count, fields, cpu=False)
    print(f"  {'':<52} speed-up of the threads over one: {single / every:5.2f}")


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
