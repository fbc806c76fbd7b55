"""The reference pages under docs/: every example runs, and the tables and rules they state hold."""
import __future__
import ast
import doctest
import pathlib
import re

import pytest
from hypothesis import given
from hypothesis import strategies as st

import tessel

DOCS = pathlib.Path(__file__).resolve().parent.parent / "docs"
PAGES = sorted(DOCS.glob("*.md"))

# A fenced Python block, from the line after its opening fence to its closing fence.
FENCE = re.compile(r"^```python\n(.*?)^```[ \t]*$", re.S | re.M)

# `...` in an expected output stands for the interpreter's own wording of a message.
FLAGS = doctest.ELLIPSIS


def examples(page):
    """The page's doctest blocks as (first line number, text)."""
    text = page.read_text(encoding="utf-8")
    return [(text.count("\n", 0, m.start(1)) + 1, m.group(1)) for m in FENCE.finditer(text) if ">>>" in m.group(1)]


def plain_blocks():
    """The Python blocks without prompts, whole programs, of README.md and the pages, as ids and text."""
    pages = [DOCS.parent / "README.md", *PAGES]
    return [pytest.param(m.group(1), id=f"{page.relative_to(DOCS.parent)}:{page.read_text(encoding='utf-8').count(chr(10), 0, m.start(1)) + 1}")
            for page in pages for m in FENCE.finditer(page.read_text(encoding="utf-8")) if ">>>" not in m.group(1)]


# A statement of a plain block that shows a failure names it in its comment: `call()  # ValueError: ...`.
RAISES = re.compile(r"#\s*(\w+(?:Error|Exception)): (.*)$")


TELEMETRY = DOCS.parent.parent / "shared" / "telemetry"


@pytest.mark.parametrize("block", plain_blocks())
def test_plain_examples_run(block, monkeypatch):
    # Statement by statement in one namespace, from the project root as the paths in them are;
    # one whose comment names an exception must raise it with that message, and every other one
    # must not raise.
    if "../shared/telemetry/" in block and not TELEMETRY.is_dir():
        pytest.skip(f"the example reads a real packet file, and {TELEMETRY} is absent")
    monkeypatch.chdir(DOCS.parent)
    namespace = {"__name__": "example"}
    lines = block.splitlines()
    flags = 0  # a __future__ import holds for the statements after it, as in a module
    for statement in ast.parse(block).body:
        if isinstance(statement, ast.ImportFrom) and statement.module == "__future__":
            flags |= sum(getattr(__future__, alias.name).compiler_flag for alias in statement.names)
        shown = RAISES.search(lines[statement.end_lineno - 1])
        code = compile(ast.Module([statement], []), "<example>", "exec", flags=flags, dont_inherit=True)
        if shown is None:
            exec(code, namespace)
            continue
        with pytest.raises(BaseException) as caught:
            exec(code, namespace)
        assert (type(caught.value).__name__, str(caught.value)) == shown.groups()


def example_sources():
    parser = doctest.DocTestParser()
    return [ex.source for page in PAGES for _, block in examples(page) for ex in parser.get_examples(block)]


def test_the_pages_exist_and_hold_examples():
    assert {p.name for p in PAGES} >= {"README.md", "functions.md", "recipes.md", "exceptions.md"}
    for page in PAGES:
        assert examples(page), f"{page.name} has no >>> examples"


@pytest.mark.parametrize("page", PAGES, ids=lambda p: p.name)
def test_examples(page):
    # The blocks of one page share a namespace, in page order, as a reader would run them.
    parser = doctest.DocTestParser()
    runner = doctest.DocTestRunner(optionflags=FLAGS)
    report = []
    globs = {"tessel": tessel}
    for lineno, block in examples(page):
        test = parser.get_doctest(block, globs, f"{page.name}:{lineno}", str(page), lineno - 1)
        runner.run(test, out=report.append, clear_globs=False)
        globs = test.globs  # a DocTest runs in a copy of the namespace it is given
    assert runner.tries > 0
    assert runner.failures == 0, "".join(report)


def test_every_function_is_documented_with_its_signature():
    text = (DOCS / "functions.md").read_text(encoding="utf-8")
    missing = [name for name in tessel.__all__
               if f"`{name}{getattr(tessel, name).__text_signature__}`" not in text]
    assert missing == []


def test_every_function_is_called_in_an_example():
    sources = "\n".join(example_sources())
    unused = [name for name in tessel.__all__ if not re.search(rf"\b{name}\b", sources)]
    assert unused == []


def anchor(heading):
    """The anchor that a Markdown renderer gives a heading."""
    return re.sub(r"[^\w\- ]", "", heading.strip().lower()).replace(" ", "-")


def test_links_between_the_pages_resolve():
    anchors = {page.name: {anchor(h) for h in re.findall(r"^#+ (.*)$", page.read_text(encoding="utf-8"), re.M)}
               for page in PAGES}
    broken = []
    for page in PAGES:
        for target, fragment in re.findall(r"\]\(([\w.]*\.md)?(?:#([\w-]+))?\)", page.read_text(encoding="utf-8")):
            name = target or page.name
            if name not in anchors or (fragment and fragment not in anchors[name]):
                broken.append(f"{page.name}: {target}#{fragment}")
    assert broken == []


# ---- the encoding-name tables of recipes.md ---------------------------------------------------

def section(heading):
    text = (DOCS / "recipes.md").read_text(encoding="utf-8")
    start = text.index(f"\n### {heading}\n")
    end = text.find("\n#", start + 1)
    return text[start:end]


def names_in_column(section_text, column):
    """Backquoted names in one column of the first Markdown table of `section_text`."""
    lines = section_text.splitlines()
    first = next(i for i, line in enumerate(lines) if line.startswith("|"))
    names = []
    for line in lines[first + 2:]:  # after the header and its rule
        if not line.startswith("|"):
            break
        names += re.findall(r"`([^`]+)`", line.split("|")[1:-1][column])
    return names


ENCODE_NAMES = names_in_column(section("Encoding names for packing"), 1)
DECODE_NAMES = names_in_column(section("Encoding names for unpacking"), 0)
ONLY_ENCODE = names_in_column(section("Names accepted on one side only"), 0)
ONLY_DECODE = names_in_column(section("Names accepted on one side only"), 1)


def pack_error(encoding):
    item = {"name": "x", "encoding": encoding, "bits": 8, "byte_order": "big", "reverse_bits": False, "value": None}
    with pytest.raises(ValueError) as info:  # None is no value of any family
        tessel.pack_parameters([item])
    return str(info.value)


def unpack_outcome(encoding):
    item = {"name": "x", "encoding": encoding, "bits": 8, "byte_order": "big", "reverse_bits": False}
    try:
        tessel.unpack_parameters(b"\x41", 0, [item])
    except ValueError as error:
        return str(error)
    return "decoded"


def test_the_name_tables_have_the_documented_sizes():
    assert len(ENCODE_NAMES) == len(set(ENCODE_NAMES)) == 65
    assert len(DECODE_NAMES) == len(set(DECODE_NAMES)) == 65
    assert sorted(ONLY_ENCODE) == sorted(set(ENCODE_NAMES) - set(DECODE_NAMES))
    assert sorted(ONLY_DECODE) == sorted(set(DECODE_NAMES) - set(ENCODE_NAMES))


@pytest.mark.parametrize("name", ENCODE_NAMES)
def test_packing_accepts_each_listed_name(name):
    assert not pack_error(name).startswith("ValueError: Unsupported encoding type")
    assert not pack_error(name.upper()).startswith("ValueError: Unsupported encoding type")


@pytest.mark.parametrize("name", DECODE_NAMES)
def test_unpacking_accepts_each_listed_name(name):
    assert not unpack_outcome(name).startswith("ValueError: Unsupported encoding type")
    assert not unpack_outcome(name.upper()).startswith("ValueError: Unsupported encoding type")


@pytest.mark.parametrize("name", ONLY_DECODE)
def test_packing_refuses_the_unpack_only_names(name):
    assert pack_error(name) == f"ValueError: Unsupported encoding type: {name}"


@pytest.mark.parametrize("name", ONLY_ENCODE)
def test_unpacking_refuses_the_pack_only_names(name):
    assert unpack_outcome(name) == f"ValueError: Unsupported encoding type: {name}"


# ---- the whole-byte unpacking rule of recipes.md ----------------------------------------------

def unsigned(bits, at, order="big", reverse=False, value=None):
    item = {"name": "v", "encoding": "unsigned", "bits": bits, "byte_order": order, "reverse_bits": reverse,
            "offset_bits": at}
    if value is not None:
        item["value"] = value
    return item


@given(packet=st.binary(min_size=10, max_size=10), start=st.integers(0, 15), bits=st.integers(1, 64))
def test_unpacking_reads_the_bits_that_end_at_the_last_byte_read(packet, start, bits):
    # "read from the bits bits that end at bit E = 8 * (s div 8 + (bits + 7) div 8)"
    end = 8 * (start // 8 + (bits + 7) // 8)
    as_bits = int.from_bytes(packet, "big")
    expected = as_bits >> (8 * len(packet) - end) & ((1 << bits) - 1)
    assert tessel.unpack_parameters(packet, 0, [unsigned(bits, start)]) == {"v": expected}


@given(data=st.data(), bits=st.integers(1, 64), reverse=st.booleans())
def test_a_big_endian_field_that_ends_on_a_byte_boundary_comes_back(data, bits, reverse):
    start = data.draw(st.sampled_from([s for s in range(0, 80 - bits + 1) if (s + bits) % 8 == 0]))
    value = data.draw(st.integers(0, (1 << bits) - 1))
    item = unsigned(bits, start, reverse=reverse, value=value)
    assert tessel.unpack_parameters(tessel.pack_parameters([item]), 0, [item]) == {"v": value}


@given(data=st.data(), nbytes=st.integers(1, 8), reverse=st.booleans())
def test_a_little_endian_whole_byte_field_comes_back(data, nbytes, reverse):
    bits = 8 * nbytes
    start = 8 * data.draw(st.integers(0, 4))
    value = data.draw(st.integers(0, (1 << bits) - 1))
    item = unsigned(bits, start, order="little", reverse=reverse, value=value)
    assert tessel.unpack_parameters(tessel.pack_parameters([item]), 0, [item]) == {"v": value}
