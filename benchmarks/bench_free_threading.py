"""Free-threaded CPython against a default (GIL) build of the same version, built the same way.

    python bench_free_threading.py --gil .venvs/3.13-gil/bin/python --ft .venvs/3.13t/bin/python

(`make bench-threads` builds both environments and runs this.) Two questions:

1. What one thread pays for free-threading: each scalar and recipe call is timed on both
   interpreters, in alternating child processes, and the ratio is free-threaded / GIL (target at
   most 1.2).
2. How unpacking and packing scale: on the free-threaded interpreter, the time for one thread to
   make N calls against two threads making N calls each (different packets), with one list or
   tuple recipe shared by both threads and with a recipe of each thread's own, made by that
   thread; the ratio is the throughput of two threads over one (target at least 1.7 on two idle
   cores).
"""
import argparse
import json
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def layout(count):
    """`count` byte-aligned integer fields, as a telemetry decoder would read them."""
    widths = [8, 16, 16, 32, 8, 24, 16, 32]
    return [
        {"name": f"p{i}", "encoding": "unsigned" if i % 3 else "twos_complement", "bits": widths[i % 8],
         "byte_order": "big", "reverse_bits": False, "value": (i * 37) % 100}
        for i in range(count)
    ]


def scalar_cases(tessel):
    """Each case: a statement, its names, and a builtin call of the same shape, whose cost is the
    interpreter's own call overhead on that build."""
    recipe16 = layout(16)
    packet16 = tessel.pack_parameters(recipe16)
    text = "telemetry frame 0042 " * 3
    raw = text.encode()
    t = tessel
    two, one, three = "divmod(-5, 12)", "abs(-5)", "pow(3, 2, 7)"
    return {
        "encode_twos_complement(-5, 12)": ("f(-5, 12)", {"f": t.encode_twos_complement}, two),
        "decode_twos_complement(0xFFB, 12)": ("f(0xFFB, 12)", {"f": t.decode_twos_complement}, two),
        "encode_ieee754_f32(1.5)": ("f(1.5)", {"f": t.encode_ieee754_f32}, one),
        "decode_packed_bcd(0x1234C, 20, True)": ("f(0x1234C, 20, True)", {"f": t.decode_packed_bcd}, three),
        "encode_utf8(63 chars)": ("f(x)", {"f": t.encode_utf8, "x": text}, one),
        "decode_utf8(63 bytes)": ("f(x)", {"f": t.decode_utf8, "x": raw}, one),
        "pack_parameters(16 items)": ("f(r)", {"f": t.pack_parameters, "r": recipe16}, one),
        "unpack_parameters(16 items)": ("f(p, 0, r)", {"f": t.unpack_parameters, "p": packet16, "r": recipe16},
                                        three),
    }


def best(stmt, names, repeat=5):
    import timeit

    timer = timeit.Timer(stmt, globals=names)
    number, _ = timer.autorange()
    return min(timer.repeat(repeat=repeat, number=number)) / number


def child_scalar():
    import tessel

    results = {}
    for label, (stmt, names, builtin) in scalar_cases(tessel).items():
        results[label] = (best(stmt, names), best(builtin, {}))
    print(json.dumps(results))


def child_scaling(count):
    import threading
    import time

    import tessel

    def work(call, args, barrier):
        barrier.wait()
        for _ in range(count):
            call(*args)

    def run(kind, threads, recipe_of):
        """Seconds for `threads` threads each making `count` calls; recipe_of(k) gives thread k's
        recipe (the same object for all, or one each, made by the thread that runs it)."""
        barrier = threading.Barrier(threads + 1)

        def thread_main(k):
            recipe = recipe_of(k)
            if kind == "unpack":
                packet = tessel.pack_parameters([dict(item, value=(item["value"] + k) % 100) for item in recipe])
                work(tessel.unpack_parameters, (packet, 0, recipe), barrier)
            else:
                work(tessel.pack_parameters, (recipe,), barrier)

        workers = [threading.Thread(target=thread_main, args=(k,)) for k in range(threads)]
        for w in workers:
            w.start()
        barrier.wait()
        start = time.perf_counter()
        for w in workers:
            w.join()
        return time.perf_counter() - start

    shared_list, shared_tuple = layout(64), tuple(layout(64))
    cases = {"shared list": lambda k: shared_list, "shared tuple": lambda k: shared_tuple,
             "own": lambda k: layout(64)}
    results = {}
    for kind in ("unpack", "pack"):
        for name, recipe_of in cases.items():
            one = min(run(kind, 1, recipe_of) for _ in range(5))
            two = min(run(kind, 2, recipe_of) for _ in range(5))
            results[f"{kind} {name}"] = ((2 * count / two) / (count / one), one / count)
    print(json.dumps(results))


def run_child(python, *args):
    out = subprocess.run([python, __file__, *args], check=True, capture_output=True, text=True,
                         env={k: v for k, v in os.environ.items() if k != "PYTHON_GIL"})
    return json.loads(out.stdout)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--gil", help="python of a default build with tessel installed")
    parser.add_argument("--ft", help="python of the free-threaded build of the same version")
    parser.add_argument("--rounds", type=int, default=3, help="alternating child runs per interpreter")
    parser.add_argument("--packets", type=int, default=20000, help="packets per thread in the scaling run")
    parser.add_argument("--child", choices=["scalar", "scaling"], help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child == "scalar":
        return child_scalar()
    if args.child == "scaling":
        return child_scaling(args.packets)
    if not (args.gil and args.ft):
        parser.error("--gil and --ft are both needed")

    for label, python in (("GIL", args.gil), ("free-threaded", args.ft)):
        version = subprocess.run([python, "-c", "import sys, sysconfig; print(sys.version.split()[0], "
                                  "'free-threaded' if sysconfig.get_config_var('Py_GIL_DISABLED') else 'GIL')"],
                                 check=True, capture_output=True, text=True).stdout.strip()
        print(f"{label:>14}: {python} ({version})")

    gil, ft = {}, {}
    for _ in range(args.rounds):  # alternate, so drift on the machine hits both alike
        for best_of, python in ((gil, args.gil), (ft, args.ft)):
            for label, (call, builtin) in run_child(python, "--child", "scalar").items():
                old = best_of.get(label, (float("inf"), float("inf")))
                best_of[label] = (min(old[0], call), min(old[1], builtin))
    print("\none thread, per call (the builtin beside it shows the interpreter's own call overhead)")
    print(f"{'':<38} {'GIL':>9} {'free-thr.':>9} {'ratio':>6}  (target <= 1.20)   builtin ratio")
    worst = 0.0
    for label in gil:
        (g, gb), (f, fb) = gil[label], ft[label]
        worst = max(worst, f / g)
        print(f"{label:<38} {g * 1e9:6.1f} ns {f * 1e9:6.1f} ns {f / g:6.2f}  {'':18} {fb / gb:6.2f}")
    print(f"highest ratio {worst:.2f}")

    scaling = run_child(args.ft, "--child", "scaling", "--packets", str(args.packets))
    print(f"\ntwo threads calling with different packets (64 fields), throughput over one thread "
          f"(target >= 1.70; {os.cpu_count()} cores; load average {' '.join(f'{x:.2f}' for x in os.getloadavg())})")
    labels = {"shared list": "one list recipe shared by both threads", "shared tuple": "one tuple recipe shared",
              "own": "each thread its own recipe"}
    for key, (ratio, per_call) in scaling.items():
        kind, case = key.split(" ", 1)
        print(f"{kind:<7} {labels[case]:<40} {ratio:5.2f}x   (one thread {per_call * 1e6:5.2f} us a call)")


if __name__ == "__main__":
    main()
