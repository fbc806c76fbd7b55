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

.PHONY: help venv install demo test test-asan bench clean

help:
	@echo "make demo       build tessel into .venv and run examples/demo.py"
	@echo "make test       build tessel into .venv and run the test suite"
	@echo "make test-asan  run the test suite against an AddressSanitizer/UBSan build"
	@echo "make bench      run the benchmarks (ratios against baselines measured in the same run)"

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
	$(PYTHON) -m pip install --quiet --disable-pip-version-check $(PIP_BUILD) ".[test]"

demo: install
	$(PYTHON) examples/demo.py

test: install
	$(PYTHON) -m pytest

# The extension built with AddressSanitizer and UndefinedBehaviorSanitizer (no recovery), loaded by
# the ordinary interpreter with the sanitizer runtimes preloaded. Leak detection stays off: the
# interpreter itself keeps memory until exit.
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

clean:
	rm -rf build
