"""The benchmark scripts run and report their lines; their timings are never checked here."""
import importlib.util
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import tessel

LAYOUT_CACHE = Path(__file__).resolve().parents[1] / "benchmarks" / "bench_layout_cache.py"

needs_bitstruct = pytest.mark.skipif(importlib.util.find_spec("bitstruct") is None,
                                     reason="the recipe benchmarks compare with bitstruct (the bench extra)")

# A report line: case, measurement, tessel and baseline times, ratio, target, met or not.
RATIO_LINE = (r"^unpack-16 +unpack 16 fields, same recipe, vs {baseline}"
              r" +\d+\.\d +\d+\.\d +\d+\.\d\d +<= {target} +(met|NOT MET)")


def run_quick(*args):
    # The child must import the tessel under test (TESSEL_MODULE_DIR puts it on sys.path).
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    return subprocess.run([sys.executable, str(LAYOUT_CACHE), "--quick", *args], capture_output=True, text=True,
                          timeout=600, env=env)


@needs_bitstruct
def test_layout_cache_smoke_run_of_the_16_field_unpack_case():
    result = run_quick("unpack-16")
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == f"tessel: {tessel.__file__}"
    report = [line for line in lines if re.match(r"^[a-z]", line) and not line.startswith(("tessel:", "python "))]
    assert report[0].startswith("case ") and len(report) == 3, result.stdout
    assert re.match(RATIO_LINE.format(baseline=re.escape("bitstruct.c.unpack + dict"), target=r"0\.50") + "$",
                    report[1]), report[1]
    assert re.match(RATIO_LINE.format(baseline=re.escape("Struct.unpack_from + dict"), target=r"1\.00") + "$",
                    report[2]), report[2]


@needs_bitstruct
def test_layout_cache_puts_another_builds_times_beside():
    # The build under test stands in for today's: the child must import it from the folder given.
    result = run_quick("--baseline-module-dir", os.path.dirname(tessel.__file__), "unpack-16")
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines()[1].startswith(f"today:  {tessel.__file__} ")
    line = next(line for line in result.stdout.splitlines() if "bitstruct.c.unpack + dict" in line)
    assert re.match(RATIO_LINE.format(baseline=re.escape("bitstruct.c.unpack + dict"), target=r"0\.50")
                    + r" +\d+\.\d +\d+\.\d\d$", line), line


@pytest.mark.parametrize("args, message", [
    (["unpack-32"], "no case matches unpack-32"),
    (["--baseline-module-dir", "/nonexistent/tessel-build", "unpack-16"],
     "--baseline-module-dir /nonexistent/tessel-build: no tessel extension module in it"),
])
def test_layout_cache_refuses_what_it_cannot_run(args, message):
    result = run_quick(*args)
    assert result.returncode != 0 and message in result.stderr, result.stderr
