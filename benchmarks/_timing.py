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
