"""Side-by-side timing helpers shared by the benchmark scripts."""
import timeit


def best_per_call(fn, repeat=7, min_time=0.05):
    """Best time per call of `fn` (no arguments), in seconds."""
    timer = timeit.Timer(fn)
    number, _ = timer.autorange()
    number = max(number, int(number * min_time / 0.2) or 1)
    return min(timer.repeat(repeat=repeat, number=number)) / number


def compare(label, ours, baseline, width=52):
    """Time two callables side by side and print both and their ratio."""
    t_ours = best_per_call(ours)
    t_base = best_per_call(baseline)
    print(f"{label:<{width}} {t_ours * 1e9:9.1f} ns {t_base * 1e9:9.1f} ns   ratio {t_ours / t_base:5.2f}")
    return t_ours / t_base


def interleaved(ours, baseline, rounds=7, round_time=0.02):
    """Best time per call of each of two callables, measured in alternating rounds.

    Both run the same number of calls per round, calibrated once on the slower of the two, so
    drift and noise from other work on the machine hit both alike.
    """
    number = max(timeit.Timer(ours).autorange()[0], timeit.Timer(baseline).autorange()[0])
    number = max(1, int(number * round_time / 0.2))
    t_ours = t_base = float("inf")
    for _ in range(rounds):
        t_ours = min(t_ours, timeit.Timer(ours).timeit(number) / number)
        t_base = min(t_base, timeit.Timer(baseline).timeit(number) / number)
    return t_ours, t_base
