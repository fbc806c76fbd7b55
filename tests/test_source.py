"""Build facts about the sources: pure codecs, C++20, and reference counting in one place."""
import pathlib
import re
import shutil
import subprocess
import sysconfig

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
SRC = ROOT / "src"
PURE = sorted([*SRC.glob("encoder/*.cpp"), *SRC.glob("decoder/*.cpp")])
PURE = [p for p in PURE if not p.name.startswith("recipe_")]
NATIVE = sorted(SRC.rglob("*.cpp"))

needs_compiler = pytest.mark.skipif(shutil.which("g++") is None, reason="no g++ on PATH")


@needs_compiler
@pytest.mark.parametrize("source", PURE, ids=lambda p: str(p.relative_to(SRC)))
def test_scalar_codecs_compile_as_cxx20_without_python(source):
    # No Python include directory: a codec that reached for the interpreter would not compile.
    result = subprocess.run(["g++", "-std=c++20", "-fsyntax-only", "-Wall", "-Wextra", "-Werror",
                             f"-I{SRC}", str(source)], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr


@needs_compiler
@pytest.mark.parametrize("source", [p for p in NATIVE if p not in PURE], ids=lambda p: str(p.relative_to(SRC)))
def test_module_sources_compile_as_cxx20(source):
    include = sysconfig.get_paths()["include"]
    result = subprocess.run(["g++", "-std=c++20", "-fsyntax-only", "-Wall", "-Wextra", "-Werror",
                             f"-I{SRC}", f"-I{include}", str(source)], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr


def test_reference_counting_only_in_py_ref():
    raw = re.compile(r"\bPy_(X?INCREF|X?DECREF|NewRef|XNewRef|CLEAR|SETREF)\b")
    offenders = [f"{path.relative_to(ROOT)}:{n}"
                 for path in SRC.rglob("*.[ch]pp") if path.name != "py_ref.hpp"
                 for n, line in enumerate(path.read_text().splitlines(), 1) if raw.search(line)]
    assert offenders == []
