"""The stubs against the module: the calls they accept work, the calls they refuse fail.

typed_uses.py is checked by mypy and pyright (tools/check-types); here the same calls run, so
the stubs cannot promise a call, a result type or an encoding name that the module does not have.
"""

import ast
import pathlib

import pytest

import typed_uses

import tessel

STUB = pathlib.Path(__file__).resolve().parents[2] / "tessel-stubs" / "__init__.pyi"


@pytest.mark.parametrize("uses", typed_uses.ACCEPTED, ids=lambda uses: uses.__name__)
def test_accepted_calls_give_the_types_the_stubs_name(uses):
    for kind, result in uses():
        assert type(result) is kind, (kind, result)
        if kind is dict:  # the unpacked values are int, float or str
            assert result and all(type(value) in (int, float, str) for value in result.values()), result


def test_archive_uses_give_the_types_they_name():
    for kind, result in typed_uses.archive_uses():
        assert type(result) is kind, (kind, result)


@pytest.mark.parametrize(("call", "error"), typed_uses.ARCHIVE_REFUSED)
def test_archive_calls_the_types_refuse_fail(call, error):
    with pytest.raises(error):
        call()


@pytest.mark.parametrize("call", typed_uses.UNBUILT)
def test_unbuilt_formats_never_return(call):
    with pytest.raises(NotImplementedError, match=r" not yet implemented$"):
        call()


@pytest.mark.parametrize(("call", "error"), typed_uses.REFUSED)
def test_calls_the_stubs_refuse_fail_in_the_module(call, error):
    with pytest.raises(error) as caught:
        call()
    if error is ValueError:  # an item's own failure, not an unknown encoding
        assert not str(caught.value).startswith("ValueError: Unsupported encoding type")


@pytest.mark.parametrize("call", typed_uses.STRICTER)
def test_calls_only_the_stubs_refuse_work(call):
    assert type(call()) is bytes


def literal_names(alias):
    """The strings of the Literal alias `alias` in the stub."""
    for node in ast.parse(STUB.read_text()).body:
        if isinstance(node, ast.AnnAssign) and getattr(node.target, "id", None) == alias:
            return [element.value for element in node.value.slice.elts]
    raise LookupError(alias)


# Each family of encoding names, with a width and a value of the kind its item type takes.
FAMILIES = [("_IntegerEncoding", 8, 5), ("_FloatEncoding", 32, 1.5), ("_TextEncoding", 8, "A")]


def packs(encoding, bits, value):
    item = {"name": "x", "encoding": encoding, "bits": bits, "byte_order": "big", "reverse_bits": False,
            "value": value}
    try:
        return type(tessel.pack_parameters([item]))
    except ValueError as error:
        return str(error)


def test_the_family_items_name_each_encoding_of_the_packer_once():
    names = [name for alias, _, _ in FAMILIES for name in literal_names(alias)] + ["binary"]
    assert len(names) == len(set(names)) == 65


@pytest.mark.parametrize(("alias", "bits", "value"), FAMILIES, ids=[family[0] for family in FAMILIES])
def test_each_encoding_name_takes_the_value_its_family_item_names(alias, bits, value):
    for name in literal_names(alias):
        outcome = packs(name, bits, value)
        # Float formats that are named but not built refuse every value alike.
        assert outcome is bytes or outcome.startswith("NotImplementedError: "), (name, outcome)
        if outcome is bytes:
            refused = packs(name, bits, b"A" if isinstance(value, str) else "A")
            assert refused.startswith("TypeError: "), (name, refused)
    assert packs("binary", 16, [1, 2]) is bytes
