# Two commands set up a fresh machine:
#   make demo   builds tessel into .venv and runs a short example
#   make test   builds tessel into .venv and runs the whole test suite
# Both find a CPython 3.13+ (tools/find-python), create .venv and install what they need from PyPI.

VENV        := .venv
PYTHON      := $(VENV)/bin/python
CXX         ?= g++
ASAN_BUILD  := build/asan
# Every extra a developer needs, in the one environment: the suite's, the cookbook's, the
# benchmarks' baselines and the type checkers.
EXTRAS      := test,cookbook,bench,typing

.PHONY: help install demo test test-asan bench clean pythons test-pythons test-tsan bench-threads wheels test-wheels test-cross test-aarch64 test-s390x check-types coverage fuzz

help:
	@echo "make demo       build tessel into .venv and run examples/demo.py"
	@echo "make test       build tessel into .venv and run the test suite"
	@echo "make test-asan  run the test suite against an AddressSanitizer/UBSan build"
	@echo "make bench      run the benchmarks (ratios against baselines measured in the same run)"
	@echo "make test-pythons   the suite and the acceptance cases on CPython $(MATRIX) (one .venvs/NAME each)"
	@echo "make test-py3.14    the same on one of them (test-py3.13, test-py3.15, test-py3.13t, ...)"
	@echo "make test-tsan      the thread tests on a free-threaded 3.13 built with ThreadSanitizer"
	@echo "make bench-threads  free-threaded 3.13t against a GIL build of the same source"
	@echo "make fuzz           every fuzz harness FUZZ_SECONDS (default 10) under ASan+UBSan (fuzz/README.md)"
	@echo "make coverage       line and branch coverage of src/ under the whole suite (gcovr, build/coverage)"
	@echo "make check-types    stubtest, mypy --strict and pyright over the stubs and tests/typing"
	@echo "make wheels         the sdist and from it a manylinux wheel for 3.13, 3.14, 3.15, 3.13t and aarch64 3.13, in dist/"
	@echo "make test-wheels    each wheel installed fresh: the suite on x86-64, the acceptance cases under qemu on aarch64"
	@echo "make test-cross     cross-built for aarch64 and big-endian s390x, run under qemu (test-aarch64, test-s390x)"
	@echo "make pythons        fetch or build the interpreters of the matrix into ~/.cache/tessel/python"

# .venv with CPython 3.13+ (tools/find-python), the build and test dependencies from PyPI, and
# tessel built in build/release with warnings as errors: tools/build-env, which tools/test-on
# uses for the other interpreters too.
install:
	tools/build-env --extras $(EXTRAS) $(VENV) build/release

demo: install
	$(PYTHON) examples/demo.py

test: install
	$(PYTHON) -m pytest

# The extension built with AddressSanitizer and UndefinedBehaviorSanitizer (no recovery), loaded by
# the ordinary interpreter with the sanitizer runtimes preloaded. Leak detection stays off (the
# interpreter keeps memory until exit); leaks of a call are caught by tests/test_resources.py
# through the sanitizer allocator's own counter.
test-asan: install
	$(VENV)/bin/cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DCMAKE_BUILD_TYPE=Debug -DTESSEL_SANITIZE=ON -DTESSEL_WERROR=ON -DPython_EXECUTABLE=$(abspath $(PYTHON))
	$(VENV)/bin/cmake --build $(ASAN_BUILD)
	@rm -f $(ASAN_BUILD)/sanitizer.*
	@# A sanitizer report ends the process inside pytest's capture: it goes to a log, shown on failure.
	env LD_PRELOAD="$$($(CXX) -print-file-name=libasan.so) $$($(CXX) -print-file-name=libubsan.so)" \
	  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_string_checks=1:log_path=$(abspath $(ASAN_BUILD))/sanitizer \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:log_path=$(abspath $(ASAN_BUILD))/sanitizer \
	  PYTHONMALLOC=malloc TESSEL_MODULE_DIR=$(abspath $(ASAN_BUILD)) HYPOTHESIS_PROFILE=sanitizer \
	  $(PYTHON) -m pytest -p no:cacheprovider \
	  || { cat $(ASAN_BUILD)/sanitizer.* 2>/dev/null; exit 1; }
	@if ls $(ASAN_BUILD)/sanitizer.* >/dev/null 2>&1; then cat $(ASAN_BUILD)/sanitizer.*; exit 1; fi

bench: install
	@for script in benchmarks/bench_*.py; do echo "== $$script"; $(PYTHON) $$script || exit 1; done

# The interpreter matrix: tools/get-python fetches Debian's 3.14 and 3.15 and builds the
# free-threaded 3.13t from Debian's CPython source into a per-user cache; tools/test-on builds
# tessel for one of them in its own environment and runs the suite and the acceptance cases.
MATRIX := 3.13 3.14 3.15 3.13t

pythons:
	@for name in $(MATRIX); do tools/get-python $$name || exit 1; done

test-pythons: $(addprefix test-py,$(MATRIX))

test-py%:
	tools/test-on $*

test-tsan:
	tools/test-on 3.13t-tsan

# Free-threaded 3.13t against a default build of the same CPython source, built the same way.
bench-threads:
	tools/test-on --build-only 3.13-gil
	tools/test-on --build-only 3.13t
	.venvs/3.13t/bin/python benchmarks/bench_free_threading.py --gil .venvs/3.13-gil/bin/python --ft .venvs/3.13t/bin/python

# Every fuzz harness, native and Python-surface, for FUZZ_SECONDS (default 10) on its corpus in
# fuzz/corpus, built with clang under ASan+UBSan: fuzz/README.md.
fuzz:
	fuzz/run

# Line and branch coverage of the C++ under the whole suite: a --coverage -O0 build in
# build/coverage, the suite pointed at it, gcovr's table and totals for src/, and the lines never
# run (or with a branch never taken) in the files named by TESSEL_COVERAGE_DETAIL.
coverage: install
	tools/coverage

# The stubs against the module as built, and typed uses checked by mypy and pyright.
check-types: install
	tools/check-types $(PYTHON)

# The distribution: the sdist, and from it a manylinux wheel for each interpreter of the matrix
# on x86-64 and one for 3.13 on aarch64, cross-built (tools/build-wheels); auditwheel repairs
# them, twine and tools/check-wheel check them.
wheels: install
	tools/build-wheels

# Every wheel installed as users install it, each x86-64 one into a fresh environment of its own
# interpreter with the whole suite run against it, the aarch64 one with the acceptance cases
# under qemu (tools/test-wheels).
test-wheels: wheels
	tools/test-wheels

# The module cross-built for aarch64 and for big-endian s390x and run there under qemu user-mode
# emulation: the acceptance cases and the suite (tools/test-cross).
test-cross: test-aarch64 test-s390x

test-aarch64 test-s390x: install
	tools/test-cross $(@:test-%=%)

clean:
	rm -rf build .venvs dist
