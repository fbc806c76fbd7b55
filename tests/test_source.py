"""Build facts about the sources: pure codecs, C++20, and reference counting in one place."""
import pathlib
import re
import shutil
import subprocess
import sysconfig

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
SRC = ROOT / "src"
# The codecs and the columnar decoder's core: plain C++ that never sees the interpreter.
PURE = sorted([*SRC.glob("encoder/*.cpp"), *SRC.glob("decoder/*.cpp"), *SRC.glob("archive/*.cpp")])
PURE = [p for p in PURE if not p.name.startswith("recipe_") and p.name != "module.cpp"]
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


@needs_compiler
@pytest.mark.parametrize("source", [p for p in NATIVE if p not in PURE], ids=lambda p: str(p.relative_to(SRC)))
def test_python_h_comes_before_any_other_header(source):
    # Python.h sets feature macros (_POSIX_C_SOURCE, _XOPEN_SOURCE) that the C library reads on its
    # first header, so it must come before any standard header. Interpreters whose values differ
    # from the library's refuse the source only there; this check fails on every interpreter.
    include = sysconfig.get_paths()["include"]
    result = subprocess.run(["g++", "-std=c++20", "-E", "-H", "-o", "/dev/null", f"-I{SRC}", f"-I{include}",
                             str(source)], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    # -H lists every header as it is opened, nested ones with more dots; ours may come first.
    opened = [pathlib.Path(line.lstrip(".").strip()) for line in result.stderr.splitlines() if line.startswith(".")]
    foreign = [path for path in opened if not path.resolve().is_relative_to(SRC)]
    assert foreign and foreign[0].name == "Python.h", foreign[:3]


def test_reference_counting_only_in_py_ref():
    raw = re.compile(r"\bPy_(X?INCREF|X?DECREF|NewRef|XNewRef|CLEAR|SETREF)\b")
    offenders = [f"{path.relative_to(ROOT)}:{n}"
                 for path in SRC.rglob("*.[ch]pp") if path.name != "py_ref.hpp"
                 for n, line in enumerate(path.read_text().splitlines(), 1) if raw.search(line)]
    assert offenders == []


# The rooms of src/, top to bottom: each may include its own headers and those of rooms below it.
# The two extensions' roots (module, archive) and the codec rooms (encoder, decoder) sit side by
# side; the pure headers directly under src/ are the floor.
LAYERS = {"module": 4, "archive": 4, "encoder": 3, "decoder": 3, "recipe": 2, "python": 1, "": 0}


def room(path):
    relative = path.relative_to(SRC)
    return relative.parts[0] if len(relative.parts) > 1 else ""


def test_includes_only_run_down_the_house():
    include = re.compile(r'^#include "([^"]+)"', re.MULTILINE)
    upward = []
    for path in SRC.rglob("*.[ch]pp"):
        source = room(path)
        assert source in LAYERS, f"{path.relative_to(SRC)} is in a room the layering does not know"
        for target in include.findall(path.read_text()):
            target_room = room(SRC / target)
            if target_room != source and LAYERS[target_room] >= LAYERS[source]:
                upward.append(f"{path.relative_to(SRC)} includes {target}")
    assert upward == []
