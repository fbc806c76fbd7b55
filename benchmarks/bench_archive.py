"""tessel_archive on real packet files, side by side with its baselines in one run.

    .venv/bin/python benchmarks/bench_archive.py [--copies 40]

- JPSS-1 (7,200 packets, the 7 header fields and 20 data fields each) from bytes to numpy
  columns, the index included: tessel_archive.decode on one thread against ccsdspy's
  FixedLength(...).load on the same bytes (target: at most 0.2x), and against a loop of
  tessel.unpack_parameters building the same numpy columns (target: at most 0.03x).
- Byte-aligned numeric fields, per value on one thread (target: at most 3 ns): unpack_columns
  alone over JPSS-1's data fields.
- CTIM (1,499 packets of 9 APIDs, bit fields among them), per value.
- Two threads against one, over JPSS-1 repeated --copies times (target: at least 1.7x on a quiet
  2-core machine; the load average is printed beside it).
- Peak memory of decoding JPSS-1 repeated, in a fresh process: what the decode adds over the
  input and the columns (target: at most 10%).

Needs ../shared/telemetry (the real files) and, for the ccsdspy baseline, ccsdspy (bench extra).
"""
import argparse
import io
import os
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "examples"))
from _timing import best_per_call, interleaved  # noqa: E402
import jpss1  # noqa: E402

import tessel  # noqa: E402
import tessel_archive as ta  # noqa: E402

TELEMETRY = Path(__file__).resolve().parents[2] / "shared" / "telemetry"
JPSS = TELEMETRY / "J01_G011_LZ_2021-04-09T00-00-00Z_V01.DAT1"
CTIM = TELEMETRY / "ccsds_2021_155_14_39_51"


def load():
    return f"load average {' '.join(f'{x:.2f}' for x in os.getloadavg())}"


def ccsdspy_packet(recipe):
    import ccsdspy
    from ccsdspy import PacketField

    fields = []
    for item in recipe:
        kind = "float" if item["encoding"].startswith("ieee754") else "uint"
        fields.append(PacketField(name=item["name"], data_type=kind, bit_length=item["bits"]))
    return ccsdspy.FixedLength(fields)


def per_packet_columns(data, recipe):
    """The same columns from a loop of unpack_parameters: split on the header, unpack, stack."""
    index = ta.space_packets(data)
    rows = [tessel.unpack_parameters(data[s:s + n], 48, recipe) for s, n in zip(index["start"].tolist(),
                                                                                 index["length"].tolist())]
    return {item["name"]: np.array([row[item["name"]] for row in rows]) for item in recipe}


def main(argv=None):
    sys.stdout.reconfigure(line_buffering=True)
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--copies", type=int, default=40, help="JPSS-1 repeated this often for the thread and memory runs")
    args = parser.parse_args(argv)
    if not TELEMETRY.is_dir():
        print(f"bench_archive: the real packet files are not at {TELEMETRY}; nothing to measure")
        return 0
    jpss = JPSS.read_bytes()
    jpss_recipes = jpss1.RECIPES
    recipe = jpss_recipes[11]
    values = 7200 * (7 + len(recipe))
    print(load())

    ours = lambda: ta.decode(jpss, jpss_recipes, threads=1)  # noqa: E731
    try:
        packet = ccsdspy_packet(recipe)
        baseline = lambda: packet.load(io.BytesIO(jpss))  # noqa: E731
        import logging
        logging.getLogger("ccsdspy").setLevel(logging.WARNING)
        t_ours, t_base = interleaved(ours, baseline)
        print(f"JPSS-1 file to columns, one thread    tessel_archive {t_ours * 1e3:7.3f} ms   "
              f"ccsdspy {t_base * 1e3:7.3f} ms   ratio {t_ours / t_base:5.3f} (target <= 0.2)")
    except ImportError:
        print("JPSS-1 against ccsdspy: ccsdspy is not installed (the bench extra)")
    t_ours, t_loop = interleaved(ours, lambda: per_packet_columns(jpss, recipe), rounds=3)
    print(f"JPSS-1 against unpack_parameters loop  tessel_archive {t_ours * 1e3:7.3f} ms   "
          f"loop {t_loop * 1e3:7.3f} ms   ratio {t_ours / t_loop:5.3f} (target <= 0.03)")
    print(f"JPSS-1 whole decode per value          {t_ours / values * 1e9:6.2f} ns ({values} values)")

    index = ta.space_packets(jpss)
    starts, lengths = index["start"], index["length"]
    t_cols = best_per_call(lambda: ta.unpack_columns(jpss, recipe, starts, lengths, 48, threads=1))
    print(f"byte-aligned numeric fields, one thread {t_cols / (7200 * len(recipe)) * 1e9:6.2f} ns a value (target <= 3)")

    measure_ctim(CTIM.read_bytes())
    measure_threads_and_memory(jpss, recipe, args.copies)
    return 0


def measure_ctim(ctim):
    """CTIM through its XTCE: 9 APIDs, fields at any bit, read as the bytes that hold them."""
    from tessel_archive import xtce

    definition = xtce.load(TELEMETRY / "ctim_xtce_v1.xml")
    tables = definition.decode(ctim, threads=1)
    values = sum(len(t) * len(next(iter(t.values()))) for t in tables.values())
    t_ctim = best_per_call(lambda: definition.decode(ctim, threads=1))
    print(f"CTIM through its XTCE ({tables.packets} packets, {len(tables)} containers, bit fields)  "
          f"{t_ctim * 1e3:7.3f} ms, {t_ctim / values * 1e9:6.2f} ns a value ({values} values)")


def measure_threads_and_memory(jpss, recipe, copies):
    big = jpss * copies
    big_index = ta.space_packets(big)
    s, n = big_index["start"], big_index["length"]
    one = lambda: ta.unpack_columns(big, recipe, s, n, 48, threads=1)  # noqa: E731
    two = lambda: ta.unpack_columns(big, recipe, s, n, 48, threads=2)  # noqa: E731
    before = load()
    t_one, t_two = interleaved(one, two, rounds=5)
    print(f"{len(s)} packets, two threads over one   {t_one / t_two:5.2f}x (target >= 1.7)   "
          f"[{before}; after: {load()}]")

    code = (f"import resource, sys; sys.path[:0] = {sys.path[:3]!r}\n"
            "import numpy, tessel_archive as ta\n"
            f"sys.path.insert(0, {str(Path(__file__).resolve().parents[1] / 'examples')!r})\n"
            "from jpss1 import RECIPES as recipes\n"
            f"data = open({str(JPSS)!r}, 'rb').read() * {copies}\n"
            # The peak resident size is reset (Linux's clear_refs 5) once the input is loaded, so
            # the peak after the decode is the input, the columns and whatever the decode held.
            "def status(key):\n"
            "    return next(int(l.split()[1]) for l in open('/proc/self/status') if l.startswith(key)) * 1024\n"
            "open('/proc/self/clear_refs', 'w').write('5')\n"
            "base = status('VmRSS:')\n"
            "archive = ta.decode(data, recipes, threads=2)\n"
            "peak = status('VmHWM:')\n"
            "columns = sum(a.nbytes for t in archive.values() for a in t.values())\n"
            "print(peak - base, columns, len(data))\n")
    grown, columns, size = map(int, subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                                                   check=True).stdout.split())
    extra = grown - columns
    print(f"peak memory: the input ({size / 2**20:.1f} MiB), the columns and index ({columns / 2**20:.1f} MiB) "
          f"and {extra / 2**20:.1f} MiB more, {extra / (size + columns):+.1%} of the two (target <= +10%)")


if __name__ == "__main__":
    sys.exit(main())
