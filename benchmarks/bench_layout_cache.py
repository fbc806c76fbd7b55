"""Repeated recipe calls: what a layout compiled once per recipe object saves, against the
baselines and targets of the layout-cache work, side by side in one run.

    .venv/bin/python benchmarks/bench_layout_cache.py [--quick] [--baseline-module-dir DIR] [CASE ...]

Cases (CASE selects by name, by letter, or by width, 16 or 64; none means all):

  a  unpack-16, unpack-64   byte-aligned unsigned fields, the same recipe object every call, against
                            `bitstruct.c.unpack` + dict (target 0.5) and a `struct.Struct` compiled once,
                            `unpack_from` + dict (target 1.0, the floor for byte-aligned layouts)
  b  pack-16, pack-64       the same recipe every call against `bitstruct.c.pack` (target 1.0); and,
                            without a target, a new value written into every item before each call
  c  first-16, first-64     a fresh recipe every call (copies made beforehand, each used once) against
                            the same recipe reused; with --baseline-module-dir, against today's build
                            (target: no slower)
  d  json-16, json-64       a recipe from json.loads (keys not interned), reused, against the literal
                            one reused (target: as fast)
  e  jpss1                  the 7200 JPSS-1 packets of ../shared/telemetry: the unpack calls alone
                            against `struct.Struct.unpack_from` over the same packets (target 2.0), and
                            against unpack_from + dict beside it
  f  telemetry              ns per field of unpack_parameters over each packet file of
                            ../shared/telemetry with the XTCE that describes it

Ratios are tessel / baseline, best of many short rounds with the two sides alternating, timed on
the thread's CPU clock (below 1.0 tessel is faster). `--baseline-module-dir DIR` measures each
case first in a child process whose tessel is imported from DIR (another build of the module,
today's) and adds its tessel time and the ratio now / today beside each line; two processes
compare less closely than two sides of one line, so read that column on a quiet machine. A missed
target is reported, never an error: the exit status is 0.
"""
import argparse
import gc
import importlib.machinery
import itertools
import json
import os
import random
import struct
import subprocess
import sys
import time
import timeit
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
TELEMETRY = ROOT.parent / "shared" / "telemetry"
sys.path.insert(0, str(ROOT / "examples"))
import tessel  # noqa: E402

try:
    import bitstruct
    import bitstruct.c as bitstruct_c
except ImportError:
    bitstruct = bitstruct_c = None

# "As fast as" and "no slower than" are met within this much: two timings of the same code on a
# shared machine differ by a few per cent, the more so across two processes.
SAME_SPEED = 1.05

CASES = {
    "unpack-16": "a", "unpack-64": "a", "pack-16": "b", "pack-64": "b", "first-16": "c", "first-64": "c",
    "json-16": "d", "json-64": "d", "jpss1": "e", "telemetry": "f",
}

# ---- rows of the report ---------------------------------------------------------------------


class Target:
    """At most `limit` for the ratio against the line's baseline, or against today's build."""

    def __init__(self, limit, against="baseline"):
        self.limit, self.against = limit, against

    def __str__(self):
        return f"<= {self.limit:.2f}" + (" vs today" if self.against == "today" else "")


class Report:
    def __init__(self, emit_json, today=None):
        self.emit_json = emit_json
        self.today = today          # row id -> tessel seconds measured with today's build
        self.times = {}             # row id -> tessel seconds, for a parent process
        if not emit_json:
            self._header()

    def note(self, case, text):
        if not self.emit_json:
            print(f"{case:<10} {text}")

    def row(self, case, label, ours, baseline=None, target=None):
        """One line: tessel's time, the baseline's, their ratio, the target and whether it is met."""
        key = f"{case}|{label}"
        if ours is not None:
            self.times[key] = ours
        if self.emit_json:
            return
        ratio = ours / baseline if ours is not None and baseline is not None else None
        today = self.today.get(key) if self.today is not None and ours is not None else None
        vs_today = ours / today if today else None
        if target is None:
            met = ""
        else:
            measured = vs_today if target.against == "today" else ratio
            if measured is None:
                needs_today = self.today is None and target.against == "today"
                met = "n/a (needs --baseline-module-dir)" if needs_today else "n/a"
            else:
                met = "met" if measured <= target.limit else "NOT MET"
        line = (f"{case:<10} {label:<60} {_num(ours):>10} {_num(baseline):>10} "
                f"{_ratio(ratio):>6}  {str(target) if target else '':<17} {met:<8}")
        if self.today is not None:
            line += f" {_num(today):>10} {_ratio(vs_today):>6}"
        print(line.rstrip())

    def _header(self):
        line = (f"{'case':<10} {'measurement (tessel vs baseline; times in ns per call)':<60} {'tessel':>10} "
                f"{'baseline':>10} {'ratio':>6}  {'target':<17} {'met':<8}")
        if self.today is not None:
            line += f" {'today':>10} {'now/today':>6}"
        print(line)


def _num(seconds):
    return "-" if seconds is None else f"{seconds * 1e9:.1f}"


def _ratio(ratio):
    return "-" if ratio is None else f"{ratio:.2f}"


# ---- timing ---------------------------------------------------------------------------------

class Timing:
    """Best of many short rounds, on this thread's CPU clock.

    On a shared machine the wall clock counts the time other processes hold the core (two of
    them on two cores doubled every wall-clock time here); the thread's CPU time does not, and a
    short round has the better chance of running through with its caches intact.
    """

    def __init__(self, quick):
        self.rounds = 3 if quick else 41
        self.round_time = 0.002
        self.max_batch = 2000

    def pair(self, ours, baseline):
        """Best seconds per call of two callables without arguments, in alternating rounds of the
        same number of calls (_timing.interleaved, on the CPU clock)."""
        timers = [timeit.Timer(fn, timer=time.thread_time) for fn in (ours, baseline)]
        number = max(timer.autorange()[0] for timer in timers)
        number = max(1, int(number * self.round_time / 0.2))
        best = [float("inf"), float("inf")]
        for _ in range(self.rounds):
            for k, timer in enumerate(timers):
                best[k] = min(best[k], timer.timeit(number) / number)
        return best[0], best[1]

    def batches(self, ours, make_ours, baseline, make_baseline):
        """Best seconds per call of `ours(x)` over a batch from `make_ours(n)` and of `baseline(y)`
        over one from `make_baseline(n)`, in alternating rounds. Each round gets batches built
        afresh, outside the timing: a batch of copies is used once."""
        probe = 16
        per_call = max(_run(ours, make_ours(probe)), _run(baseline, make_baseline(probe))) / probe
        n = max(probe, min(self.max_batch, int(self.round_time / max(per_call, 1e-9))))
        t_ours = t_base = float("inf")
        for _ in range(self.rounds):
            t_ours = min(t_ours, _run(ours, make_ours(n)) / n)
            t_base = min(t_base, _run(baseline, make_baseline(n)) / n)
        return t_ours, t_base

    def total(self, fn, work):
        """Seconds for `fn(x)` over every element of `work`: the work cut into chunks of about
        one round each, and the best round of each chunk summed."""
        whole = _run(fn, work)
        chunks = max(1, min(len(work), round(whole / self.round_time)))
        size = -(-len(work) // chunks)
        return sum(min(_run(fn, work[k:k + size]) for _ in range(self.rounds))
                   for k in range(0, len(work), size))


def _run(fn, batch):
    """Seconds for fn over every element of the batch, the collector off as timeit has it."""
    enabled = gc.isenabled()
    gc.disable()
    try:
        start = time.thread_time()
        for x in batch:
            fn(x)
        return time.thread_time() - start
    finally:
        if enabled:
            gc.enable()


# ---- byte-aligned layouts -------------------------------------------------------------------

WIDTHS = {8: "B", 16: "H", 32: "I", 64: "Q"}


def aligned_layout(count, seed):
    """`count` byte-aligned unsigned fields: (name, bits, value), most significant byte first."""
    rng = random.Random(seed)
    fields = []
    for i in range(count):
        bits = rng.choice([8, 16, 16, 32, 32, 64])
        fields.append((f"p{i}", bits, rng.randrange(1 << bits)))
    return fields


def recipe(fields, values=True):
    return [{"name": n, "encoding": "unsigned", "bits": b, "byte_order": "big", "reverse_bits": False,
             **({"value": v} if values else {})} for n, b, v in fields]


def bitstruct_format(fields):
    return "".join(f"u{b}" for _, b, _ in fields)


def struct_format(fields):
    return ">" + "".join(WIDTHS[b] for _, b, _ in fields)


def need_bitstruct(report, case):
    if bitstruct_c is None:
        report.note(case, "skipped: bitstruct is not installed (the bench extra: pip install bitstruct)")
        return False
    return True


def case_unpack(report, timing, case, count):
    if not need_bitstruct(report, case):
        return
    fields = aligned_layout(count, seed=count)
    items = recipe(fields, values=False)
    names = [n for n, _, _ in fields]
    fmt = bitstruct_format(fields)
    compiled = struct.Struct(struct_format(fields))
    packet = tessel.pack_parameters(recipe(fields))
    # The three decode the same values, or the comparison is not of the same work.
    expected = dict(zip(names, (v for _, _, v in fields)))
    if not (tessel.unpack_parameters(packet, 0, items) == dict(zip(names, bitstruct_c.unpack(fmt, packet)))
            == dict(zip(names, compiled.unpack_from(packet))) == expected):
        raise AssertionError(f"{case}: tessel, bitstruct and struct disagree on the layout")
    unpack, bs_unpack, unpack_from = tessel.unpack_parameters, bitstruct_c.unpack, compiled.unpack_from

    ours, base = timing.pair(lambda: unpack(packet, 0, items), lambda: dict(zip(names, bs_unpack(fmt, packet))))
    report.row(case, f"unpack {count} fields, same recipe, vs bitstruct.c.unpack + dict", ours, base,
               Target(0.5))
    ours, base = timing.pair(lambda: unpack(packet, 0, items), lambda: dict(zip(names, unpack_from(packet))))
    report.row(case, f"unpack {count} fields, same recipe, vs Struct.unpack_from + dict", ours, base,
               Target(1.0))


def case_pack(report, timing, case, count):
    if not need_bitstruct(report, case):
        return
    fields = aligned_layout(count, seed=count)
    items = recipe(fields)
    values = [v for _, _, v in fields]
    fmt = bitstruct_format(fields)
    if tessel.pack_parameters(items) != bitstruct_c.pack(fmt, *values):
        raise AssertionError(f"{case}: tessel and bitstruct pack the layout differently")
    pack, bs_pack = tessel.pack_parameters, bitstruct_c.pack

    ours, base = timing.pair(lambda: pack(items), lambda: bs_pack(fmt, *values))
    report.row(case, f"pack {count} fields, same recipe, vs bitstruct.c.pack", ours, base, Target(1.0))

    # A new value in every item before each call, as a sender filling the same recipe each cycle;
    # both sides make the same writes, and the writes alone show how the time splits.
    rng = random.Random(count)
    value_sets = [[rng.randrange(1 << b) for _, b, _ in fields] for _ in range(2)]
    pairs = [list(zip(items, vs)) for vs in value_sets]
    cycle_ours, cycle_base, cycle_writes = (itertools.cycle(range(2)) for _ in range(3))

    def write(k):
        for item, value in pairs[k]:
            item["value"] = value
        return value_sets[k]

    def ours_fn():
        write(next(cycle_ours))
        return pack(items)

    def base_fn():
        return bs_pack(fmt, *write(next(cycle_base)))

    ours, base = timing.pair(ours_fn, base_fn)
    report.row(case, f"pack {count} fields, new value in every item first", ours, base)
    writes, _ = timing.pair(lambda: write(next(cycle_writes)), base_fn)
    report.row(case, f"  of which the {count} value writes alone", None, writes)
    for item, value in zip(items, values):
        item["value"] = value


def fresh_copies(items):
    """A maker of batches of deep copies of the recipe, each a new list of new dicts.

    copy.deepcopy shares str, int and bool values, so a new list of new dicts is the same deep
    copy, built twenty times faster (the batches are built every round)."""
    return lambda n: [[dict(item) for item in items] for _ in range(n)]


def case_first(report, timing, case, count):
    fields = aligned_layout(count, seed=count)
    items = recipe(fields)
    readers = recipe(fields, values=False)
    packet = tessel.pack_parameters(items)
    pack, unpack = tessel.pack_parameters, tessel.unpack_parameters

    def unpack_with(r):
        return unpack(packet, 0, r)

    ours, base = timing.batches(pack, fresh_copies(items), pack, lambda n: [items] * n)
    report.row(case, f"pack {count} fields, fresh recipe each call, vs same recipe", ours, base,
               Target(SAME_SPEED, "today"))
    ours, base = timing.batches(unpack_with, fresh_copies(readers), unpack_with, lambda n: [readers] * n)
    report.row(case, f"unpack {count} fields, fresh recipe each call, vs same recipe", ours, base,
               Target(SAME_SPEED, "today"))


def case_json(report, timing, case, count):
    fields = aligned_layout(count, seed=count)
    items, readers = recipe(fields), recipe(fields, values=False)
    # Keys from json.loads are new str objects, not the interned literals of the recipe above.
    loaded_items, loaded_readers = json.loads(json.dumps(items)), json.loads(json.dumps(readers))
    assert loaded_items == items and loaded_items[0]["name"] is not items[0]["name"]
    packet = tessel.pack_parameters(items)
    pack, unpack = tessel.pack_parameters, tessel.unpack_parameters

    ours, base = timing.pair(lambda: pack(loaded_items), lambda: pack(items))
    report.row(case, f"pack {count} fields, JSON recipe reused, vs literal reused", ours, base,
               Target(SAME_SPEED))
    ours, base = timing.pair(lambda: unpack(packet, 0, loaded_readers), lambda: unpack(packet, 0, readers))
    report.row(case, f"unpack {count} fields, JSON recipe reused, vs literal reused", ours, base,
               Target(SAME_SPEED))


# ---- real packets ---------------------------------------------------------------------------

JPSS1 = TELEMETRY / "J01_G011_LZ_2021-04-09T00-00-00Z_V01.DAT1"
# The JPSS-1 data field as struct lays it out: three segmented times, the spacecraft id, position,
# velocity and the attitude quaternion (examples/jpss1.py).
JPSS1_STRUCT = ">HIH B HIH 3f 3f HIH 4f"


def split_packets(path):
    """Whole packets of a CCSDS stream, with their APIDs, by tessel_archive's packet index."""
    import tessel_archive

    data = Path(path).read_bytes()
    index = tessel_archive.space_packets(data)
    return [(apid, data[s:s + n]) for apid, s, n in
            zip(index["apid"].tolist(), index["start"].tolist(), index["length"].tolist())]


def case_jpss1(report, timing, case):
    if not JPSS1.is_file():
        report.note(case, f"skipped: no JPSS-1 packets at {JPSS1}")
        return
    import jpss1

    packets = [packet for apid, packet in split_packets(JPSS1) if apid == jpss1.APID]
    items, start = jpss1.RECIPE, 48
    names = [item["name"] for item in items]
    layout = struct.Struct(JPSS1_STRUCT)
    unpack, unpack_from = tessel.unpack_parameters, layout.unpack_from
    offset = start // 8
    for packet in (packets[0], packets[-1]):
        if unpack(packet, start, items) != dict(zip(names, unpack_from(packet, offset))):
            raise AssertionError(f"{case}: tessel and struct read a JPSS-1 packet differently")

    def ours(packet):
        return unpack(packet, start, items)

    def alone(packet):
        return unpack_from(packet, offset)

    def with_dict(packet):
        return dict(zip(names, unpack_from(packet, offset)))

    # Every packet has the same layout, so each round takes the next run of packets of the file.
    position = itertools.count()

    def next_packets(n):
        first = next(position) * n % len(packets)
        return (packets + packets)[first:first + n]

    report.note(case, f"{len(packets)} packets of {JPSS1.name}, {len(items)} fields each; times per packet; "
                      "the target is against unpack_from alone")
    t_ours, t_base = timing.batches(ours, next_packets, alone, next_packets)
    report.row(case, "JPSS-1 unpack calls vs Struct.unpack_from alone", t_ours, t_base, Target(2.0))
    t_ours, t_base = timing.batches(ours, next_packets, with_dict, next_packets)
    report.row(case, "JPSS-1 unpack calls vs Struct.unpack_from + dict", t_ours, t_base)


# Each packet file with the XTCE that describes it, the mission's short name, and the bytes of
# record header before each packet (../shared/telemetry/README.md).
TELEMETRY_FILES = [
    ("J01_G011_LZ_2021-04-09T00-00-00Z_V01.DAT1", "jpss1_geolocation_xtce_v1.xml", "JPSS-1", 0),
    ("ccsds_2021_155_14_39_51", "ctim_xtce_v1.xml", "CTIM", 0),
    ("sciData_2023_052_14_45_05", "idex_combined_science_definition.xml", "IDEX", 0),
    ("sciData_2022_130_17_41_53.spl", "idex_combined_science_definition.xml", "SUDA", 4),
]


def recipes_at_bit_positions(path):
    """Recipes by APID from an XTCE file, every field at its own bit position.

    The unpacker reads whole bytes, so a field that does not span whole bytes of the data field
    comes back as the unpacker reads it; the cost of reading a field does not depend on that. The
    layouts come from tessel_archive.xtce's reading of the definition. An APID gets a recipe only
    when exactly one concrete container claims it, on the APID alone, with no size taken from a
    field. Returns the recipes and, by container, why one was left out.
    """
    from tessel_archive import xtce

    definition = xtce.load(path)
    claims, left_out = {}, {}   # claims: APID -> [(container, recipe or None)]
    for container in definition._containers.values():
        if container.abstract:
            continue
        chain, restrictions, name = container, [], container.name
        while chain is not None:
            if chain.restriction is not None:
                restrictions += [chain.restriction] if chain.restriction[0] == "cmp" else list(chain.restriction[1:])
            chain = definition._containers.get(chain.base) if chain.base else None
        apids = [int(c[3]) for c in restrictions if c[0] == "cmp" and c[1].endswith("APID") and c[2] == "=="]
        others = [c for c in restrictions if not (c[0] == "cmp" and (c[1].endswith("APID") or c[1] in ("VERSION", "TYPE")))]
        if len(apids) != 1:
            left_out[name] = "no single APID restriction"
            continue
        claims.setdefault(apids[0], []).append((name, None))
        if others:
            left_out[name] = "chosen by a field as well as the APID"
            continue
        items, position = [], 0
        for entry in container.entries:
            kind = entry.type
            if kind.dynamic is not None or kind.kind == "binary":
                left_out[name] = "a field of no fixed size"
                break
            if position >= 48:
                encoding = (f"ieee754_f{kind.bits}" if kind.kind == "float" else kind.encoding if kind.kind == "string"
                            else xtce._NATIVE_INTEGERS[kind.encoding])
                items.append({"name": entry.parameter, "encoding": encoding, "bits": kind.bits,
                              "byte_order": "little" if kind.little else "big", "reverse_bits": False,
                              "offset_bits": position - 48})
            position += kind.bits
        else:
            claims[apids[0]][-1] = (name, items)
    recipes = {}
    for apid, entries in claims.items():
        if len(entries) == 1 and entries[0][1] is not None:
            recipes[apid] = entries[0][1]
        elif len(entries) > 1:   # told apart by packet content: no one recipe for the APID
            for name, _ in entries:
                left_out.setdefault(name, f"APID {apid} has {len(entries)} containers")
    return recipes, left_out


def packet_bytes(items):
    """The shortest packet, primary header included, that holds every field of a data-field recipe."""
    position = end = 0
    for item in items:
        position = item.get("offset_bits", position)
        # the unpacker reads the bytes from the one holding the field's first bit
        end = max(end, position // 8 + (item["bits"] + 7) // 8)
        position += item["bits"]
    return 6 + end


def case_telemetry(report, timing, case):
    if not TELEMETRY.is_dir():
        report.note(case, f"skipped: no real packet files at {TELEMETRY}")
        return
    for packets_name, xtce_name, mission, record_header in TELEMETRY_FILES:
        packets_path, xtce_path = TELEMETRY / packets_name, TELEMETRY / xtce_name
        if not (packets_path.is_file() and xtce_path.is_file()):
            report.note(case, f"{mission}: skipped, {packets_name} or its XTCE {xtce_name} is missing")
            continue
        if record_header:
            report.note(case, f"{mission}: skipped, {packets_name} has a {record_header}-byte record header "
                              "before each packet, which the cookbook's splitter does not read")
            continue
        recipes, left_out = recipes_at_bit_positions(xtce_path)
        how = "every field at its own bit offset, read as whole bytes"
        work, short, no_recipe = [], 0, 0
        for apid, packet in split_packets(packets_path):
            items = recipes.get(apid)
            if items is None:
                no_recipe += 1
            elif len(packet) < packet_bytes(items):   # shorter than its container: would read past the end
                short += 1
            else:
                work.append((packet, items))
        fields = sum(len(items) for _, items in work)
        if not fields:
            reasons = sorted(set(left_out.values()))
            report.note(case, f"{mission}: skipped, no packet of {packets_name} has a recipe from {xtce_name} "
                              f"({len(left_out)} containers left out: {'; '.join(reasons)})")
            continue
        unpack = tessel.unpack_parameters

        def run(job):
            return unpack(job[0], 48, job[1])

        report.note(case, f"{mission}: {packets_name}, {len(work)} packets, {fields} fields, {how}; "
                          f"left out: {no_recipe} packets without a recipe, {short} shorter than theirs")
        report.row(case, f"{mission}: unpack_parameters, ns per field", timing.total(run, work) / fields)


# ---- the run --------------------------------------------------------------------------------

def run_cases(selected, report, timing):
    for name in selected:
        group = CASES[name]
        if group == "a":
            case_unpack(report, timing, name, int(name[-2:]))
        elif group == "b":
            case_pack(report, timing, name, int(name[-2:]))
        elif group == "c":
            case_first(report, timing, name, int(name[-2:]))
        elif group == "d":
            case_json(report, timing, name, int(name[-2:]))
        elif group == "e":
            case_jpss1(report, timing, name)
        else:
            case_telemetry(report, timing, name)


def select(filters):
    if not filters:
        return list(CASES)
    chosen = [name for name, group in CASES.items()
              if any(f in (name, group) or name.endswith("-" + f) for f in filters)]
    return chosen


def child(module_dir, *args):
    """Runs python with tessel imported from module_dir: its standard output."""
    env = dict(os.environ, PYTHONPATH=str(module_dir))
    result = subprocess.run([sys.executable, *args], env=env, capture_output=True, text=True)
    if result.returncode != 0:
        sys.exit(f"bench_layout_cache.py: the run with {module_dir} failed:\n{result.stderr}")
    return result.stdout


def today_module(module_dir):
    """The path of the tessel that a child with PYTHONPATH=module_dir imports, checked to be there."""
    if not any((module_dir / f"tessel{suffix}").is_file() for suffix in importlib.machinery.EXTENSION_SUFFIXES):
        sys.exit(f"bench_layout_cache.py: --baseline-module-dir {module_dir}: no tessel extension module in it")
    module = child(module_dir, "-c", "import tessel; print(tessel.__file__)").strip()
    if Path(module).resolve().parent != module_dir.resolve():
        sys.exit(f"bench_layout_cache.py: --baseline-module-dir {module_dir}: the child imported {module}")
    return module


def today_times(module_dir, quick, case):
    """The tessel times of one case measured with the build in module_dir, in a child process."""
    output = child(module_dir, __file__, "--emit-json", *(["--quick"] if quick else []), case)
    return json.loads(output)["rows"]


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("cases", nargs="*", metavar="CASE",
                        help="case names (" + ", ".join(CASES) + "), letters a to f, or 16 / 64")
    parser.add_argument("--quick", action="store_true", help="few short rounds: a smoke run, not a measurement")
    parser.add_argument("--baseline-module-dir", metavar="DIR", type=Path,
                        help="a second build of the module (today's): its times are measured in a child "
                             "process with PYTHONPATH=DIR and shown beside")
    parser.add_argument("--emit-json", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    selected = select(args.cases)
    if not selected:
        parser.error(f"no case matches {' '.join(args.cases)}; cases are {', '.join(CASES)}, a to f, 16, 64")
    timing = Timing(args.quick)

    if args.emit_json:
        report = Report(emit_json=True)
        run_cases(selected, report, timing)
        print(json.dumps({"module": tessel.__file__, "rows": report.times}))
        return

    print(f"tessel: {tessel.__file__}")
    if args.baseline_module_dir is not None:
        print(f"today:  {today_module(args.baseline_module_dir)} (each case measured in a child process "
              "just before this one)")
    print(f"python {sys.version.split()[0]}, bitstruct {bitstruct.__version__ if bitstruct else 'not installed'}"
          f"{', quick run: smoke only, not a measurement' if args.quick else ''}")
    print()
    # Case by case, today's build and then this one, so that the machine's drift over the run
    # falls on both alike.
    report = Report(emit_json=False, today=None if args.baseline_module_dir is None else {})
    for name in selected:
        if args.baseline_module_dir is not None:
            report.today.update(today_times(args.baseline_module_dir, args.quick, name))
        run_cases([name], report, timing)


if __name__ == "__main__":
    main()
