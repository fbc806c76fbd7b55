"""A mission's XTCE telemetry definition in, columns out: every packet of a stream decoded exactly
into one table of columns per concrete container.

    definition = tessel_archive.xtce.load("mission.xml")
    tables = definition.decode("packets.bin")
    tables["JPSS_ATT_EPHEM"]["ADGPSPOSX"]     # a numpy array, a packet of that container each

What is read, element by element, and what is refused is in docs/xtce.md. Anything this reader
does not support raises NotImplementedError naming the element and the parameter or container,
when the definition is loaded, never a wrong value.

Fields are read at their bit positions, most significant bit first, from the first bit of the
packet. Fields on whole bytes go straight through the columnar decoder (tessel_archive's
unpack_columns); a field that starts or ends inside a byte is read as the whole bytes that hold it
by the same pass and shifted and masked in numpy, so every value is exact. Packets whose layout
depends on their own values (a container chosen by a field, a size taken from a field) are grouped
by the layout they turn out to have; each group is one native pass.
"""

from __future__ import annotations

# The package's own helpers, and the decoder's view of its Definition, are used across this module.
# pyright: reportPrivateUsage=false

import dataclasses
import mmap
import os
import threading
import xml.parsers.expat
from collections.abc import Iterator, Mapping, Sequence
from typing import Any, Union
from xml.etree import ElementTree

import numpy as np

from . import Buffer, _index_stream, _threads, _unpack, _warn_cut

__all__ = ["Definition", "Tables", "load"]

# No field of a space packet can be longer than the longest packet: 65536 + 6 bytes.
MAX_FIELD_BITS = 8 * (65536 + 6)
# Derived columns beside a parameter's own; XTCE names cannot hold a dot, so these never collide.
CALIBRATED, LABEL = ".calibrated", ".label"

_INTEGER_ENCODINGS = ("unsigned", "twosComplement", "onesComplement", "signMagnitude", "BCD", "packedBCD")
# Encodings the columnar decoder reads exactly on whole bytes, by the name it knows them.
_NATIVE_INTEGERS = {"unsigned": "unsigned", "twosComplement": "twos_complement", "onesComplement": "ones_complement",
                    "signMagnitude": "sign_magnitude", "BCD": "bcd", "packedBCD": "packed_bcd"}
_FLOAT_ENCODINGS = ("IEEE754", "IEEE754_1985")
_NAMED_FLOATS = ("MILSTD_1750A", "DEC", "IBM", "TI")
# XTCE character sets and the columnar decoder's text encodings.
_TEXT = {"US-ASCII": "us_ascii", "ISO-8859-1": "latin1", "WINDOWS-1252": "windows_1252", "UTF-8": "utf8",
         "UTF-16": "utf16", "UTF-16LE": "utf16le", "UTF-16BE": "utf16be", "UTF-32": "utf32",
         "UTF-32LE": "utf32le", "UTF-32BE": "utf32be"}
_OPERATORS = {"==": np.equal, "!=": np.not_equal, "<": np.less, "<=": np.less_equal, ">": np.greater,
              ">=": np.greater_equal, "eq": np.equal, "neq": np.not_equal, "lt": np.less, "leq": np.less_equal,
              "gt": np.greater, "geq": np.greater_equal}
_LSB_FIRST = "leastSignificantByteFirst"
# The primary header's fields by (bit position, bits), which the packet index has split already.
_HEADER_FIELDS = {(0, 3): "version", (3, 1): "type", (4, 1): "secondary_header", (5, 11): "apid",
                  (16, 2): "sequence_flags", (18, 14): "sequence_count", (32, 16): "data_length"}
_INDEX_NAMES = tuple(_HEADER_FIELDS.values())


# ---- reading the document ---------------------------------------------------------------------

def _refuse_dtd(*_: object) -> None:
    raise ValueError("the document has a document type declaration (DTD); XTCE needs none, and entity "
                     "declarations and external entities are refused")


def _parse(data: bytes, where: str) -> ElementTree.Element:
    """The document's root element, namespaces dropped (XTCE 1.1 and 1.2 differ in theirs).

    A first pass with expat refuses any DTD, so no entity is ever declared, expanded or fetched;
    the tree is then built by ElementTree's own expat, which knows no entity beyond XML's five.
    """
    guard = xml.parsers.expat.ParserCreate()
    for handler in ("StartDoctypeDeclHandler", "EntityDeclHandler", "ExternalEntityRefHandler"):
        setattr(guard, handler, _refuse_dtd)
    guard.SetParamEntityParsing(xml.parsers.expat.XML_PARAM_ENTITY_PARSING_NEVER)
    try:
        guard.Parse(data, True)
        root = ElementTree.fromstring(data)
    except (xml.parsers.expat.ExpatError, ElementTree.ParseError) as error:
        raise ValueError(f"{where}: not well-formed XML: {error}") from None
    except ValueError as error:
        raise ValueError(f"{where}: {error}") from None
    for element in root.iter():   # (the tree holds no comments or processing instructions)
        element.tag = element.tag.rpartition("}")[2]
    return root


def _child(element: ElementTree.Element, *path: str) -> ElementTree.Element | None:
    for name in path:
        found = element.find(name)
        if found is None:
            return None
        element = found
    return element


def _fixed_value(element: ElementTree.Element) -> str | None:
    """The FixedValue under a size element, in the 1.1 (SizeInBits/FixedValue) or 1.2
    (SizeInBits/Fixed/FixedValue) spelling."""
    found = element.find("FixedValue")
    if found is None:
        found = _child(element, "Fixed", "FixedValue")
    return None if found is None or found.text is None else found.text.strip()


def _int(text: str | None, what: str) -> int:
    try:
        return int(str(text).strip(), 0)
    except ValueError:
        raise ValueError(f"{what}: {text!r} is not an integer") from None


def _float(text: str | None, what: str) -> float:
    try:
        return float(str(text).strip())
    except ValueError:
        raise ValueError(f"{what}: {text!r} is not a number") from None


# ---- the model --------------------------------------------------------------------------------

@dataclasses.dataclass(frozen=True)
class _Type:
    """How a parameter's value is laid out and what it means."""
    name: str
    kind: str                                   # integer, float, string, binary, enumerated, boolean
    bits: int                                   # fixed size; 0 when `dynamic` gives it
    encoding: str = "unsigned"                  # integer encoding, float encoding or text encoding
    little: bool = False                        # least significant byte first
    reversed: bool = False                      # least significant bit first
    calibrated_size: bool = False               # `dynamic` names the size parameter's calibrated value
    dynamic: tuple[str, int, int] | None = None  # (parameter, slope, intercept): the size in bits
    calibrator: tuple[Any, ...] | None = None    # ("polynomial", terms) or ("spline", order, raw, calibrated, extrapolate)
    labels: tuple[tuple[int, int, str], ...] = ()  # (value, max value, label) of an enumeration
    true_false: tuple[str, str] = ("True", "False")


@dataclasses.dataclass(frozen=True)
class _Entry:
    parameter: str
    type: _Type
    location: tuple[str, int] | None            # (reference, bits) of a LocationInContainerInBits


@dataclasses.dataclass(frozen=True)
class _Container:
    name: str
    abstract: bool
    base: str | None
    restriction: tuple[Any, ...] | None
    entries: tuple[_Entry, ...]                 # the whole chain's, root first, references expanded
    own: int                                    # where this container's own entries begin


def _type(element: ElementTree.Element, parameter: str) -> _Type:
    """The model of a parameter type, refusing what this reader cannot decode exactly."""
    tag, name = element.tag, element.get("name", "")
    where = f"parameter {parameter!r} (type {name!r})"
    kind = {"IntegerParameterType": "integer", "FloatParameterType": "float", "StringParameterType": "string",
            "BinaryParameterType": "binary", "EnumeratedParameterType": "enumerated",
            "BooleanParameterType": "boolean"}.get(tag)
    if kind is None:
        raise NotImplementedError(f"{tag}: {where} is of a type this reader does not decode")
    if kind in ("integer", "enumerated", "boolean") or (kind == "float" and element.find("FloatDataEncoding") is None):
        encoding_element = element.find("IntegerDataEncoding")
        if encoding_element is None and kind == "float":
            raise NotImplementedError(f"{tag} without FloatDataEncoding or IntegerDataEncoding: {where}")
        if encoding_element is None:
            raise NotImplementedError(f"{tag} without IntegerDataEncoding: {where}")
        encoding = encoding_element.get("encoding", "unsigned")
        # "signed" is no XTCE encoding, but definitions written by hand use it for two's complement
        encoding = "twosComplement" if encoding == "signed" else encoding
        if encoding not in _INTEGER_ENCODINGS:
            raise NotImplementedError(f"IntegerDataEncoding encoding {encoding!r}: {where}")
        bits = _int(encoding_element.get("sizeInBits", "8"), where)
        if not 1 <= bits <= 64:
            raise NotImplementedError(f"IntegerDataEncoding of {bits} bits: {where} (1 to 64 are read)")
        if encoding == "BCD" and bits % 8 or encoding == "packedBCD" and bits % 4:
            raise ValueError(f"{where}: {encoding} of {bits} bits is not whole digits")
        base = "integer" if kind == "float" else kind
        return _Type(name, base, bits, encoding, *_orders(encoding_element, bits, where),
                     calibrator=_calibrator(encoding_element, where), labels=_labels(element, where),
                     true_false=(element.get("oneStringValue", "True"), element.get("zeroStringValue", "False")))
    if kind == "float":
        encoding_element = element.find("FloatDataEncoding")
        assert encoding_element is not None
        encoding = encoding_element.get("encoding", "IEEE754_1985")
        bits = _int(encoding_element.get("sizeInBits", "32"), where)
        if encoding in _NAMED_FLOATS or encoding not in _FLOAT_ENCODINGS:
            raise NotImplementedError(f"FloatDataEncoding encoding {encoding!r}: {where}")
        if bits not in (16, 32, 64):
            raise NotImplementedError(f"FloatDataEncoding {encoding} of {bits} bits: {where} (16, 32 and 64 are read)")
        return _Type(name, "float", bits, encoding, *_orders(encoding_element, bits, where),
                     calibrator=_calibrator(encoding_element, where))
    if kind == "string":
        encoding_element = element.find("StringDataEncoding")
        if encoding_element is None:
            raise NotImplementedError(f"StringParameterType without StringDataEncoding: {where}")
        charset = encoding_element.get("encoding", "UTF-8")
        if charset.upper() not in _TEXT:
            raise NotImplementedError(f"StringDataEncoding encoding {charset!r}: {where}")
        size = encoding_element.find("SizeInBits")
        fixed = None if size is None else _fixed_value(size)
        if fixed is None:
            what = "no SizeInBits" if size is None else f"SizeInBits with {size[0].tag if len(size) else 'nothing'}"
            raise NotImplementedError(f"StringDataEncoding with {what}: {where} (fixed sizes are read)")
        bits = _size(fixed, where)
        if bits % 8:
            raise ValueError(f"{where}: a string of {bits} bits is not whole bytes")
        return _Type(name, "string", bits, _TEXT[charset.upper()])
    # binary
    encoding_element = element.find("BinaryDataEncoding")
    size = None if encoding_element is None else encoding_element.find("SizeInBits")
    if size is None:
        raise NotImplementedError(f"BinaryParameterType without BinaryDataEncoding/SizeInBits: {where}")
    fixed = _fixed_value(size)
    if fixed is not None:
        return _Type(name, "binary", _size(fixed, where))
    dynamic = size.find("DynamicValue")
    reference = None if dynamic is None else dynamic.find("ParameterInstanceRef")
    calibrated = reference is not None and reference.get("useCalibratedValue", "true") == "true"
    if dynamic is None or reference is None:
        raise NotImplementedError(f"BinaryDataEncoding SizeInBits with {size[0].tag if len(size) else 'nothing'}: "
                                  f"{where} (a fixed size or a DynamicValue of a parameter is read)")
    adjustment = dynamic.find("LinearAdjustment")
    slope = intercept = 0
    slope = 1
    if adjustment is not None:
        slope_text, intercept_text = adjustment.get("slope", "1"), adjustment.get("intercept", "0")
        slope_value, intercept_value = _float(slope_text, where), _float(intercept_text, where)
        if not (slope_value.is_integer() and intercept_value.is_integer()):
            raise NotImplementedError(f"LinearAdjustment with a fractional slope or intercept: {where}")
        slope, intercept = int(slope_value), int(intercept_value)
    return _Type(name, "binary", 0, dynamic=(reference.get("parameterRef", ""), slope, intercept),
                 calibrated_size=calibrated)


def _orders(encoding: ElementTree.Element, bits: int, where: str) -> tuple[bool, bool]:
    """(least significant byte first, least significant bit first) of a number's encoding."""
    byte_order = encoding.get("byteOrder", "mostSignificantByteFirst")
    bit_order = encoding.get("bitOrder", "mostSignificantBitFirst")
    if byte_order not in ("mostSignificantByteFirst", _LSB_FIRST):
        raise NotImplementedError(f"byteOrder {byte_order!r}: {where}")
    if bit_order not in ("mostSignificantBitFirst", "leastSignificantBitFirst"):
        raise NotImplementedError(f"bitOrder {bit_order!r}: {where}")
    little, reversed_ = byte_order == _LSB_FIRST, bit_order == "leastSignificantBitFirst"
    if little and bits % 8:
        raise NotImplementedError(f"byteOrder {_LSB_FIRST} of {bits} bits, not whole bytes: {where}")
    if little and reversed_:
        raise NotImplementedError(f"byteOrder {_LSB_FIRST} with bitOrder leastSignificantBitFirst: {where}")
    return little, reversed_


def _reverse(raw: np.ndarray[Any, Any], bits: int) -> np.ndarray[Any, Any]:
    """Each value's low `bits` bits in the opposite order."""
    out = np.zeros_like(raw)
    for i in range(bits):
        out |= ((raw >> np.uint64(i)) & np.uint64(1)) << np.uint64(bits - 1 - i)
    return out


def _size(text: str, where: str) -> int:
    bits = _int(text, where)
    if not 0 <= bits <= MAX_FIELD_BITS:
        raise ValueError(f"{where}: a size of {bits} bits; no space packet holds more than {MAX_FIELD_BITS}")
    return bits


def _calibrator(encoding: ElementTree.Element, where: str) -> tuple[Any, ...] | None:
    if encoding.find("ContextCalibratorList") is not None:
        raise NotImplementedError(f"ContextCalibratorList: {where}")
    default = encoding.find("DefaultCalibrator")
    if default is None:
        return None
    if len(default) != 1:
        raise ValueError(f"{where}: DefaultCalibrator holds {len(default)} calibrators, not one")
    calibrator = default[0]
    if calibrator.tag == "PolynomialCalibrator":
        terms = tuple((_float(t.get("coefficient"), where), _int(t.get("exponent"), where))
                      for t in calibrator.iterfind("Term"))
        if any(exponent < 0 for _, exponent in terms):
            raise ValueError(f"{where}: a polynomial term with a negative exponent")
        return ("polynomial", terms)
    if calibrator.tag == "SplineCalibrator":
        order = _int(calibrator.get("order", "0"), where)
        if order not in (0, 1):
            raise NotImplementedError(f"SplineCalibrator of order {order}: {where} (orders 0 and 1 are read)")
        points = sorted((_float(p.get("raw"), where), _float(p.get("calibrated"), where))
                        for p in calibrator.iterfind("SplinePoint"))
        if len(points) < 2:
            raise ValueError(f"{where}: a SplineCalibrator needs two points at least")
        return ("spline", order, tuple(p[0] for p in points), tuple(p[1] for p in points),
                calibrator.get("extrapolate", "false") == "true")
    raise NotImplementedError(f"{calibrator.tag}: {where}")


def _labels(element: ElementTree.Element, where: str) -> tuple[tuple[int, int, str], ...]:
    labels: list[tuple[int, int, str]] = []
    for enumeration in element.iterfind("EnumerationList/Enumeration"):
        value = _int(enumeration.get("value"), where)
        labels.append((value, _int(enumeration.get("maxValue", str(value)), where), enumeration.get("label", "")))
    return tuple(labels)


def _restriction(criteria: ElementTree.Element, where: str) -> tuple[Any, ...]:
    """A restriction as a tree of ("cmp", parameter, operator, value, calibrated), ("and", ...) and
    ("or", ...)."""
    if len(criteria) != 1:
        raise ValueError(f"{where}: RestrictionCriteria holds {len(criteria)} elements, not one")
    return _criterion(criteria[0], where)


def _comparison(element: ElementTree.Element, where: str) -> tuple[Any, ...]:
    operator = element.get("comparisonOperator", "==")
    if operator not in _OPERATORS:
        raise ValueError(f"{where}: comparison operator {operator!r}")
    return ("cmp", element.get("parameterRef", ""), operator, element.get("value", ""),
            element.get("useCalibratedValue", "true") == "true")


def _criterion(element: ElementTree.Element, where: str) -> tuple[Any, ...]:
    tag = element.tag
    if tag == "Comparison":
        return _comparison(element, where)
    if tag == "ComparisonList":
        return ("and", *(_comparison(c, where) for c in element.iterfind("Comparison")))
    if tag == "BooleanExpression":
        if len(element) != 1:
            raise ValueError(f"{where}: BooleanExpression holds {len(element)} elements, not one")
        return _criterion(element[0], where)
    if tag in ("ANDedConditions", "ORedConditions"):
        return ("and" if tag == "ANDedConditions" else "or", *(_criterion(c, where) for c in element))
    if tag == "Condition":
        reference = element.find("ParameterInstanceRef")
        operator = element.find("ComparisonOperator")
        value = element.find("Value")
        if reference is None or operator is None or value is None:
            raise NotImplementedError(f"Condition without ParameterInstanceRef, ComparisonOperator and Value: {where}")
        op = (operator.text or "").strip()
        if op not in _OPERATORS:
            raise ValueError(f"{where}: comparison operator {op!r}")
        return ("cmp", reference.get("parameterRef", ""), op, (value.text or "").strip(),
                reference.get("useCalibratedValue", "true") == "true")
    raise NotImplementedError(f"{tag} in RestrictionCriteria: {where}")


def _parameters_of(criterion: tuple[Any, ...]) -> Iterator[str]:
    if criterion[0] == "cmp":
        yield criterion[1]
    else:
        for part in criterion[1:]:
            yield from _parameters_of(part)


class Definition:
    """A loaded XTCE definition: its concrete containers and how packets reach them.

    ``decode`` turns a packet stream into one table of columns per concrete container. A
    Definition is immutable and may be shared by threads.
    """

    def __init__(self, root: ElementTree.Element, where: str) -> None:
        telemetry = root.find(".//TelemetryMetaData")
        if telemetry is None:
            raise ValueError(f"{where}: no TelemetryMetaData")
        self.where = where
        type_elements: dict[str, ElementTree.Element] = {}
        for element in telemetry.iterfind("ParameterTypeSet/*"):
            type_elements[element.get("name", "")] = element
        parameter_types: dict[str, str] = {}
        for declared in telemetry.iterfind("ParameterSet/Parameter"):
            parameter_types[declared.get("name", "")] = declared.get("parameterTypeRef", "")
        elements = {c.get("name", ""): c for c in telemetry.iterfind("ContainerSet/SequenceContainer")}
        types: dict[str, _Type] = {}
        by_type: dict[str, _Type] = {}   # thousands of parameters share a dozen types

        def type_of(parameter: str, container: str) -> _Type:
            if parameter not in types:
                if parameter not in parameter_types:
                    raise ValueError(f"container {container!r}: parameter {parameter!r} is not defined")
                reference = parameter_types[parameter]
                if reference not in by_type:
                    if reference not in type_elements:
                        raise ValueError(f"parameter {parameter!r}: parameter type {reference!r} is not defined")
                    by_type[reference] = _type(type_elements[reference], parameter)
                types[parameter] = by_type[reference]
            return types[parameter]

        def own_entries(name: str, trail: tuple[str, ...], root: bool = False) -> list[_Entry]:
            if name in trail:
                raise ValueError(f"container {name!r} contains itself: {' -> '.join((*trail, name))}")
            element = elements[name]
            entries: list[_Entry] = []
            entry_list = element.find("EntryList")
            for entry in () if entry_list is None else entry_list:
                for unsupported in ("IncludeCondition", "RepeatEntry", "TimeAssociation"):
                    if entry.find(unsupported) is not None:
                        raise NotImplementedError(f"{entry.tag} with {unsupported}: container {name!r}")
                location = entry.find("LocationInContainerInBits")
                place = None
                if location is not None:
                    reference = location.get("referenceLocation", "previousEntry")
                    offset = _fixed_value(location)
                    if reference not in ("previousEntry", "containerStart") or offset is None:
                        raise NotImplementedError(f"LocationInContainerInBits {reference} without a fixed value: "
                                                  f"container {name!r}")
                    if reference == "containerStart" and not (root and not trail):
                        # only a root container starts where the packet starts
                        raise NotImplementedError(f"LocationInContainerInBits from containerStart in a container "
                                                  f"that does not start the packet: container {name!r}")
                    place = (reference, _int(offset, f"container {name!r}"))
                if entry.tag == "ParameterRefEntry":
                    parameter = entry.get("parameterRef", "")
                    entries.append(_Entry(parameter, type_of(parameter, name), place))
                elif entry.tag == "ContainerRefEntry":
                    target = entry.get("containerRef", "")
                    if target not in elements:
                        raise ValueError(f"container {name!r}: container {target!r} is not defined")
                    if place is not None:
                        raise NotImplementedError(f"ContainerRefEntry with LocationInContainerInBits: container {name!r}")
                    entries.extend(own_entries(target, (*trail, name)))
                else:
                    raise NotImplementedError(f"{entry.tag}: container {name!r}")
            return entries

        self._containers: dict[str, _Container] = {}
        for name, element in elements.items():
            chain, restriction, base_name = [name], None, None
            base = element.find("BaseContainer")
            if base is not None:
                base_name = base.get("containerRef", "")
                criteria = base.find("RestrictionCriteria")
                restriction = None if criteria is None else _restriction(criteria, f"container {name!r}")
            link = base
            while link is not None:
                target = link.get("containerRef", "")
                if target not in elements:
                    raise ValueError(f"container {chain[0]!r}: base container {target!r} is not defined")
                if target in chain:   # chain runs root first: the trail from `name` is its reverse
                    raise ValueError(f"container {name!r} inherits from itself: "
                                     f"{' -> '.join([*reversed(chain), target])}")
                chain.insert(0, target)
                link = elements[target].find("BaseContainer")
            entries: list[_Entry] = []
            for link_name in chain[:-1]:
                entries.extend(own_entries(link_name, (), root=link_name == chain[0]))
            own = len(entries)
            entries.extend(own_entries(name, (), root=len(chain) == 1))
            self._containers[name] = _Container(name, element.get("abstract", "false") == "true", base_name,
                                                restriction, tuple(entries), own)
        # Restrictions and dynamic sizes name parameters that come before them in the chain.
        for container in self._containers.values():
            base_parameters = {e.parameter for e in container.entries[:container.own]}
            if container.restriction is not None:
                for parameter in _parameters_of(container.restriction):
                    if parameter not in base_parameters:
                        raise NotImplementedError(
                            f"RestrictionCriteria on {parameter!r}, which its base containers do not hold: "
                            f"container {container.name!r}")
            seen: set[str] = set()
            for entry in container.entries:
                if entry.type.dynamic is not None and entry.type.dynamic[0] not in seen:
                    raise ValueError(f"container {container.name!r}: the size of {entry.parameter!r} comes from "
                                     f"{entry.type.dynamic[0]!r}, which does not come before it")
                if entry.type.dynamic is not None:
                    size_type = types[entry.type.dynamic[0]]
                    if size_type.kind != "integer":
                        raise NotImplementedError(f"DynamicValue of a {size_type.kind} parameter: "
                                                  f"parameter {entry.parameter!r}")
                    if size_type.calibrator is not None and entry.type.calibrated_size:
                        raise NotImplementedError(f"DynamicValue of the calibrated value of {entry.type.dynamic[0]!r}: "
                                                  f"parameter {entry.parameter!r}")
                seen.add(entry.parameter)
        # Native passes by container and layout, laid out once and kept (a dict: threads may race
        # to lay out the same one, and either result is the same).
        self._plans: dict[tuple[Any, ...], Any] = {}
        self._children: dict[str | None, list[str]] = {}
        for container in self._containers.values():
            self._children.setdefault(container.base, []).append(container.name)

    @property
    def containers(self) -> list[str]:
        """The concrete containers, in the definition's order: the tables ``decode`` makes."""
        return [c.name for c in self._containers.values() if not c.abstract]

    def columns(self, container: str) -> list[str]:
        """The columns of a container's table, in order."""
        names: dict[str, None] = {}
        for entry in self._containers[container].entries:
            names[entry.parameter] = None
            if entry.type.kind == "enumerated":
                names[entry.parameter + LABEL] = None
            if entry.type.calibrator is not None:
                names[entry.parameter + CALIBRATED] = None
        return list(names)

    def decode(self, source: Buffer | str | os.PathLike[str], *, record_header_bytes: int = 0,
               threads: int | None = None) -> Tables:
        """Decode a stream of CCSDS space packets (a path, read through mmap, or bytes) into one
        table per concrete container, its packets in stream order.

        ``record_header_bytes`` are skipped before every packet. A cut-off last packet is left out
        with a TruncatedPacketWarning. Packets that reach no concrete container, or are shorter
        than the container they reach, are counted in ``Tables.undecoded`` by reason.
        """
        count_threads = _threads(threads)
        if isinstance(source, (str, os.PathLike)):
            with open(source, "rb") as file:
                if os.fstat(file.fileno()).st_size == 0:
                    return _Decoder(self, b"", record_header_bytes, count_threads).run()
                with mmap.mmap(file.fileno(), 0, access=mmap.ACCESS_READ) as mapped:
                    return _Decoder(self, mapped, record_header_bytes, count_threads).run()
        return _Decoder(self, source, record_header_bytes, count_threads).run()


class Tables(Mapping[str, dict[str, "np.ndarray[Any, Any]"]]):
    """The tables of ``Definition.decode``: one dict of columns per concrete container that
    packets reached, in the definition's order."""

    def __init__(self, tables: dict[str, dict[str, np.ndarray[Any, Any]]], numbers: dict[str, np.ndarray[Any, Any]],
                 undecoded: dict[str, int], packets: int, truncated: tuple[int, int] | None) -> None:
        self._tables = tables
        self.numbers = numbers  #: container -> each row's packet number in the stream (int64, ascending)
        self.undecoded = undecoded  #: reason -> packets that reached no table
        self.packets = packets  #: every whole packet of the stream
        self.truncated = truncated  #: (offset, bytes missing) of a cut-off last packet, left out

    def __getitem__(self, container: str) -> dict[str, np.ndarray[Any, Any]]:
        return self._tables[container]

    def __iter__(self) -> Iterator[str]:
        return iter(self._tables)

    def __len__(self) -> int:
        return len(self._tables)

    def rows(self) -> dict[str, int]:
        """Packets per table."""
        return {name: len(next(iter(t.values()))) if t else 0 for name, t in self._tables.items()}

    def __repr__(self) -> str:
        return f"<Tables of {self.packets} packets: {self.rows()}, undecoded {self.undecoded}>"


# ---- decoding ---------------------------------------------------------------------------------

_Columns = dict[str, "np.ndarray[Any, Any]"]


def _unsigned_dtype(bits: int) -> str:
    return "uint8" if bits <= 8 else "uint16" if bits <= 16 else "uint32" if bits <= 32 else "uint64"


def _signed_dtype(bits: int) -> str:
    return "int8" if bits <= 8 else "int16" if bits <= 16 else "int32" if bits <= 32 else "int64"


def _mask(bits: int) -> np.uint64:
    return np.uint64((1 << bits) - 1)


class _Decoder:
    """One decode of one stream: its index, and the groups of packets as they find their layout."""

    def __init__(self, definition: Definition, data: Buffer, record_header_bytes: int, threads: int) -> None:
        self.definition = definition
        self.data = data
        self.threads = threads
        index, cut = _index_stream(data, record_header_bytes)
        if cut is not None:
            _warn_cut(cut, stacklevel=5)
        self.cut = cut
        self.index = index
        self.starts = index["start"]
        self.lengths = index["length"]
        self.parts: dict[str, list[tuple[np.ndarray[Any, Any], _Columns]]] = {}
        self.undecoded: dict[str, int] = {}

    def run(self) -> Tables:
        every = np.arange(len(self.starts), dtype=np.int64)
        left = every
        for root in self.definition._children.get(None, []):
            if not len(left):
                break
            left = self.walk(root, left)
        if len(left):
            self.count("no container matches", len(left))
        tables: dict[str, _Columns] = {}
        numbers: dict[str, np.ndarray[Any, Any]] = {}
        for name in self.definition.containers:
            parts = self.parts.get(name)
            if not parts:
                continue
            if len(parts) == 1:
                numbers[name], tables[name] = parts[0]
                continue
            packets = np.concatenate([p[0] for p in parts])
            order = np.argsort(packets, kind="stable")
            numbers[name] = packets[order]
            tables[name] = {column: np.concatenate([p[1][column] for p in parts])[order] for column in parts[0][1]}
        return Tables(tables, numbers, dict(sorted(self.undecoded.items())), int(len(self.starts)), self.cut)

    def count(self, reason: str, packets: int) -> None:
        self.undecoded[reason] = self.undecoded.get(reason, 0) + packets

    def walk(self, name: str, group: np.ndarray[Any, Any]) -> np.ndarray[Any, Any]:
        """Packets `group` that reached container `name`: those that match a child go on to it,
        the rest land here if it is concrete. Returns the packets that found no concrete container."""
        container = self.definition._containers[name]
        children = self.definition._children.get(name, [])
        left = group
        for child_name in children:
            if not len(left):
                break
            child = self.definition._containers[child_name]
            if child.restriction is None:
                matched, left = left, left[:0]
            else:
                needed = {p: None for p in _parameters_of(child.restriction)}
                values, fits = self.values(container, left, list(needed))
                mask = self.evaluate(child.restriction, values, container)
                mask &= fits
                matched, left = left[mask], left[~mask]
            if len(matched):
                rest = self.walk(child_name, matched)
                if len(rest):
                    # back to this container's other children and, failing those, this container
                    left = np.sort(np.concatenate([left, rest]))
        if len(left) and not container.abstract:
            self.land(container, left)
            return left[:0]
        return left

    def land(self, container: _Container, group: np.ndarray[Any, Any]) -> None:
        columns, fits = self.values(container, group, None)
        short = int(np.count_nonzero(~fits))
        if short:
            self.count(f"{container.name}: shorter than the container", short)
            columns = {k: v[fits] for k, v in columns.items()}
            group = group[fits]
        if len(group):
            self.parts.setdefault(container.name, []).append((group, columns))

    # -- values of a layout over a group of packets

    def values(self, container: _Container, group: np.ndarray[Any, Any],
               wanted: list[str] | None) -> tuple[_Columns, np.ndarray[Any, Any]]:
        """The columns of `container`'s entries (only those of `wanted`, if given) for packets
        `group`, and which packets are long enough for them. Packets whose sizes differ are split
        by size, each part one native pass, and put back in order."""
        entries = container.entries
        only = None
        if wanted is not None:
            last = max(i for i, e in enumerate(entries) if e.parameter in wanted)
            entries = entries[:last + 1]
            only = set(wanted)
        return self._values(container.name, entries, group, only)

    def _values(self, name: str, entries: Sequence[_Entry], group: np.ndarray[Any, Any],
                only: set[str] | None) -> tuple[_Columns, np.ndarray[Any, Any]]:
        # Fixed positions up to the first entry whose size comes from an earlier value.
        dynamic = next((i for i, e in enumerate(entries) if e.type.dynamic is not None), len(entries))
        if dynamic == len(entries):
            return self.pass_(name, entries, group, only)
        size_of = entries[dynamic].type.dynamic
        assert size_of is not None
        parameter, slope, intercept = size_of
        head, fits = self.pass_(name, entries[:dynamic], group, None if only is None else {*only, parameter})
        sizes = np.where(fits, head[parameter].astype(np.int64) * slope + intercept, -1)
        bad = fits & ((sizes < 0) | (sizes > MAX_FIELD_BITS))
        parts: list[tuple[np.ndarray[Any, Any], _Columns, np.ndarray[Any, Any]]] = []
        for size in np.unique(sizes[fits & ~bad]).tolist():
            chosen = np.flatnonzero(sizes == size)
            sized = dataclasses.replace(entries[dynamic],
                                        type=dataclasses.replace(entries[dynamic].type, bits=int(size), dynamic=None))
            tail, tail_fits = self._values(name, [*entries[:dynamic], sized, *entries[dynamic + 1:]], group[chosen],
                                           only)
            parts.append((chosen, tail, tail_fits))
        # Packets whose size field gives no size they could hold fit nothing after it.
        columns: _Columns = {}
        # the dtypes of a part that was decoded, or of none when no packet gave a size it could hold
        template = parts[0][1] if parts else self.empty(name, entries, only)
        for column, empty in template.items():
            columns[column] = (np.empty(len(group), dtype=object) if empty.dtype == object
                               else np.zeros(len(group), dtype=empty.dtype))
        fits = np.zeros(len(group), dtype=bool)
        for chosen, tail, tail_fits in parts:
            for column, array in tail.items():
                columns[column][chosen] = array
            fits[chosen] = tail_fits
        return columns, fits

    def empty(self, name: str, entries: Sequence[_Entry], only: set[str] | None) -> _Columns:
        """Columns of no packets, of the dtypes the entries decode to."""
        fixed = [dataclasses.replace(e, type=dataclasses.replace(e.type, bits=8, dynamic=None))
                 if e.type.dynamic is not None else e for e in entries]
        return self.pass_(name, fixed, np.zeros(0, dtype=np.int64), only)[0]

    def pass_(self, name: str, entries: Sequence[_Entry], group: np.ndarray[Any, Any],
              only: set[str] | None) -> tuple[_Columns, np.ndarray[Any, Any]]:
        """One native pass: the entries at fixed bit positions (those named in `only`, if given)
        for every packet of `group`, and which packets are long enough."""
        key = (name, only and frozenset(only), tuple(e.type.bits for e in entries))
        laid_out = self.definition._plans.get(key)
        if laid_out is None:
            if len(self.definition._plans) >= 4096:   # sizes taken from packets: as many layouts as sizes
                self.definition._plans.clear()
            laid_out = self.definition._plans[key] = self.plan(name, entries, only)
        recipe, plan, need = laid_out
        fits = self.lengths[group] >= need
        chosen = group if fits.all() else group[fits]
        found = self.native(recipe, chosen, need, name) if recipe else {}
        columns: _Columns = {}
        for entry, position, items in plan:
            if items and items[0] < 0:
                value = self.index[_INDEX_NAMES[-1 - items[0]]][chosen]
                columns[entry.parameter] = value
                if entry.type.calibrator is not None:
                    columns[entry.parameter + CALIBRATED] = calibrate(value, entry.type.calibrator)
                continue
            self.convert(columns, entry, position, [found[str(i)] for i in items], chosen, name)
        if len(chosen) != len(group):
            expanded: _Columns = {}
            for column, array in columns.items():
                full = np.empty(len(group), dtype=object) if array.dtype == object else np.zeros(len(group), dtype=array.dtype)
                full[fits] = array
                expanded[column] = full
            columns = expanded
        return columns, fits

    def plan(self, name: str, entries: Sequence[_Entry],
             only: set[str] | None) -> tuple[list[dict[str, Any]], list[tuple[_Entry, int, list[int]]], int]:
        """The native pass for entries at fixed positions: its recipe, where each entry's value
        comes from, and the bytes a packet needs. The same for every group of the same layout."""
        recipe: list[dict[str, Any]] = []
        reads: dict[tuple[Any, ...], int] = {}
        plan: list[tuple[_Entry, int, list[int]]] = []
        position = 0
        for entry in entries:
            if entry.location is not None:
                reference, offset = entry.location
                position = (0 if reference == "containerStart" else position) + offset
                if position < 0:
                    raise ValueError(f"container {name!r}: {entry.parameter!r} is placed before the packet's start")
            if only is None or entry.parameter in only:
                header = _HEADER_FIELDS.get((position, entry.type.bits))
                if header is not None and entry.type.encoding == "unsigned" and entry.type.kind == "integer":
                    plan.append((entry, position, [-1 - _INDEX_NAMES.index(header)]))   # from the index
                else:
                    plan.append((entry, position, self.items(recipe, reads, entry, position)))
            position += entry.type.bits
        need = (max((p + e.type.bits for e, p, _ in plan), default=0) + 7) // 8
        return recipe, plan, need

    def native(self, recipe: list[dict[str, Any]], chosen: np.ndarray[Any, Any], need: int, name: str) -> _Columns:
        starts = self.starts[chosen]
        lengths = self.lengths[chosen]
        try:
            return _unpack(self.data, recipe, starts, lengths, 0, self.threads, header_lengths=False, numbers=chosen)
        except ValueError as error:
            raise ValueError(f"container {name!r}: {error}") from None

    @staticmethod
    def items(recipe: list[dict[str, Any]], reads: dict[tuple[Any, ...], int], entry: _Entry,
              position: int) -> list[int]:
        """Items of the native pass for one entry: the field itself where the columnar decoder
        reads it exactly, else the whole bytes that hold it (at most 8 a read), read once for all
        the fields they hold."""
        kind, bits, little = entry.type.kind, entry.type.bits, entry.type.little
        order = "little" if little else "big"

        def add(item: dict[str, Any]) -> list[int]:
            item.setdefault("byte_order", "big")
            item.setdefault("reverse_bits", False)
            key = tuple(item.values())
            if key not in reads:
                reads[key] = len(recipe)
                item["name"] = str(len(recipe))
                recipe.append(item)
            return [reads[key]]

        aligned = position % 8 == 0 and bits % 8 == 0 and not entry.type.reversed
        if kind == "binary" or bits == 0:
            return []
        if aligned and kind == "string":
            return add({"encoding": entry.type.encoding, "bits": bits, "offset_bits": position})
        if aligned and kind == "float":
            return add({"encoding": f"ieee754_f{bits}", "bits": bits, "offset_bits": position, "byte_order": order})
        if aligned and entry.type.encoding in _NATIVE_INTEGERS:
            return add({"encoding": _NATIVE_INTEGERS[entry.type.encoding], "bits": bits, "offset_bits": position,
                        "byte_order": order})
        if kind == "string":
            raise NotImplementedError(f"a string that does not start on a byte: parameter {entry.parameter!r}")
        first, last = position // 8, (position + bits - 1) // 8
        spans: list[int] = []
        for at in range(first, last + 1, 8):
            width = min(8, last + 1 - at)
            spans += add({"encoding": "unsigned", "bits": 8 * width, "offset_bits": 8 * at})
        return spans

    def convert(self, columns: _Columns, entry: _Entry, position: int, found: list[np.ndarray[Any, Any]],
                chosen: np.ndarray[Any, Any], name: str) -> None:
        """The entry's columns from what the native pass read for it."""
        kind, bits, encoding = entry.type.kind, entry.type.bits, entry.type.encoding
        parameter = entry.parameter
        if kind == "binary":
            columns[parameter] = self.blobs(chosen, position, bits)
            return
        aligned = position % 8 == 0 and bits % 8 == 0 and not entry.type.reversed
        if kind == "string" or (aligned and (kind == "float" or encoding in _NATIVE_INTEGERS)):
            value = found[0]
            if kind == "float" and bits == 16:
                value = value.astype(np.float32)
        else:
            raw = self.bits(found, position, bits)
            if entry.type.little:
                raw = raw.byteswap() >> np.uint64(64 - bits)
            if entry.type.reversed:
                raw = _reverse(raw, bits)
            value = self.interpret(raw, entry, chosen, name)
        if kind == "boolean":
            value = value != 0
        columns[parameter] = value
        if kind == "enumerated":
            columns[parameter + LABEL] = self.label(value, entry.type.labels)
        if entry.type.calibrator is not None:
            columns[parameter + CALIBRATED] = calibrate(value, entry.type.calibrator)

    @staticmethod
    def bits(found: list[np.ndarray[Any, Any]], position: int, bits: int) -> np.ndarray[Any, Any]:
        """The field's bits as uint64, from the whole bytes that hold it (one read of up to 8 bytes,
        or 8 bytes and the byte after)."""
        first = position // 8
        span = (position + bits - 1) // 8 - first + 1
        offset = position - 8 * first
        head = found[0].astype(np.uint64)
        if span <= 8:
            trailing = 8 * span - offset - bits
            return (head >> np.uint64(trailing)) & _mask(bits)
        tail = found[1].astype(np.uint64)
        trailing = 72 - offset - bits
        return ((head << np.uint64(8 - trailing)) | (tail >> np.uint64(trailing))) & _mask(bits)

    def interpret(self, raw: np.ndarray[Any, Any], entry: _Entry, chosen: np.ndarray[Any, Any],
                  name: str) -> np.ndarray[Any, Any]:
        kind, bits, encoding = entry.type.kind, entry.type.bits, entry.type.encoding
        if kind == "float":
            return raw.astype({16: np.uint16, 32: np.uint32, 64: np.uint64}[bits]).view(
                {16: np.float16, 32: np.float32, 64: np.float64}[bits]).astype(np.float32 if bits < 64 else np.float64)
        top = np.uint64(1 << (bits - 1))
        if encoding == "unsigned":
            return raw.astype(_unsigned_dtype(bits))
        if encoding == "twosComplement":
            signed = (raw ^ top).astype(np.int64) - np.int64(top) if bits < 64 else raw.view(np.int64)
            return signed.astype(_signed_dtype(bits))
        if encoding in ("onesComplement", "signMagnitude"):
            negative = (raw & top) != 0
            magnitude = (~raw & _mask(bits)) if encoding == "onesComplement" else raw & (top - np.uint64(1))
            value = np.where(negative, -magnitude.astype(np.int64), (raw & (top - np.uint64(1))).astype(np.int64))
            return value.astype(_signed_dtype(bits))
        # BCD, a digit a byte, or packed BCD, a digit a nibble
        step = 8 if encoding == "BCD" else 4
        value = np.zeros(len(raw), dtype=np.uint64)
        for shift in range(bits - step, -1, -step):
            digit = (raw >> np.uint64(shift)) & _mask(step)
            bad = digit > 9
            if bad.any():
                at = int(np.argmax(bad))
                raise ValueError(f"container {name!r}: packet {int(chosen[at])} at byte {int(self.starts[chosen[at]])}: "
                                 f"{entry.parameter!r}: {int(digit[at])} is no decimal digit")
            value = value * np.uint64(10) + digit
        return value.astype(_unsigned_dtype(int(10 ** (bits // step) - 1).bit_length()))

    @staticmethod
    def label(value: np.ndarray[Any, Any], labels: tuple[tuple[int, int, str], ...]) -> np.ndarray[Any, Any]:
        """The enumeration's label of each value; None for a value the enumeration does not list."""
        out = np.full(len(value), None, dtype=object)
        wide = value.astype(np.int64) if value.dtype != np.uint64 else value
        for low, high, text in reversed(labels):  # the first listed wins where ranges overlap
            out[(wide >= low) & (wide <= high)] = text
        return out

    def blobs(self, chosen: np.ndarray[Any, Any], position: int, bits: int) -> np.ndarray[Any, Any]:
        """Binary fields as bytes, a packet each (a field that does not start on a byte is shifted
        into whole bytes, its last byte padded with zero bits)."""
        out = np.empty(len(chosen), dtype=object)
        view = memoryview(self.data) if not isinstance(self.data, memoryview) else self.data
        first, offset = position // 8, position % 8
        size = (bits + 7) // 8
        span = (offset + bits + 7) // 8
        for k, start in enumerate(self.starts[chosen].tolist()):
            raw = bytes(view[start + first:start + first + span])
            if offset or bits % 8:
                value = (int.from_bytes(raw, "big") >> (8 * span - offset - bits)) & ((1 << bits) - 1)
                raw = (value << (8 * size - bits)).to_bytes(size, "big")
            out[k] = raw
        return out

    def evaluate(self, criterion: tuple[Any, ...], values: _Columns, container: _Container) -> np.ndarray[Any, Any]:
        if criterion[0] == "and":
            mask = np.ones(len(next(iter(values.values()))) if values else 0, dtype=bool)
            for part in criterion[1:]:
                mask &= self.evaluate(part, values, container)
            return mask
        if criterion[0] == "or":
            mask = np.zeros(len(next(iter(values.values()))) if values else 0, dtype=bool)
            for part in criterion[1:]:
                mask |= self.evaluate(part, values, container)
            return mask
        _, parameter, operator, text, calibrated = criterion
        kind = next(e.type for e in container.entries if e.parameter == parameter)
        column = values[parameter]
        where = f"restriction on {parameter!r} under container {container.name!r}"
        if calibrated and kind.kind == "enumerated":
            labels = values[parameter + LABEL]
            listed = np.asarray(labels != None, dtype=bool)  # noqa: E711 - elementwise, for unlisted values
            return np.asarray(_OPERATORS[operator](labels.astype(str), text), dtype=bool) & listed
        if kind.kind == "boolean":
            truth = {kind.true_false[0]: True, kind.true_false[1]: False, "true": True, "false": False,
                     "1": True, "0": False}
            if text not in truth:
                raise ValueError(f"{where}: {text!r} is no boolean value")
            return np.asarray(_OPERATORS[operator](column, truth[text]), dtype=bool)
        if calibrated and kind.calibrator is not None:
            return np.asarray(_OPERATORS[operator](values[parameter + CALIBRATED], _float(text, where)), dtype=bool)
        if kind.kind == "string":
            return np.asarray(_OPERATORS[operator](column.astype(str), text), dtype=bool)
        number = _float(text, where) if kind.kind == "float" else _int(text, where)
        if kind.kind != "float" and column.dtype.kind == "u" and number < 0:
            column = column.astype(np.int64)
        return np.asarray(_OPERATORS[operator](column, number), dtype=bool)


def calibrate(value: np.ndarray[Any, Any], calibrator: tuple[Any, ...]) -> np.ndarray[Any, Any]:
    """Engineering values (float64) from raw ones."""
    x = value.astype(np.float64)
    if calibrator[0] == "polynomial":
        result = np.zeros(len(x))
        for coefficient, exponent in calibrator[1]:
            result += coefficient * x ** exponent
        return result
    _, order, raw, calibrated, extrapolate = calibrator
    raw_points, calibrated_points = np.asarray(raw), np.asarray(calibrated)
    if order == 0:  # a step: the calibrated value of the point at or below
        at = np.searchsorted(raw_points, x, side="right") - 1
        result = calibrated_points[np.clip(at, 0, len(raw_points) - 1)]
    else:
        result = np.interp(x, raw_points, calibrated_points)
        if extrapolate:
            low = (x < raw_points[0])
            high = (x > raw_points[-1])
            result[low] = calibrated_points[0] + (x[low] - raw_points[0]) * (
                (calibrated_points[1] - calibrated_points[0]) / (raw_points[1] - raw_points[0]))
            result[high] = calibrated_points[-1] + (x[high] - raw_points[-1]) * (
                (calibrated_points[-1] - calibrated_points[-2]) / (raw_points[-1] - raw_points[-2]))
    if not extrapolate:
        result = np.where((x < raw_points[0]) | (x > raw_points[-1]), np.nan, result)
    return np.asarray(result, dtype=np.float64)


# ---- loading, with a cache ------------------------------------------------------------------

_cache: dict[tuple[str, int, int, int], Definition] = {}
_cache_lock = threading.Lock()


def load(source: Union[str, os.PathLike[str], bytes]) -> Definition:
    """Load an XTCE definition from a path or from the document's bytes.

    A path's definition is kept, keyed by the file's identity and modification time, so loading
    the same unchanged file again costs nothing. Missing references, reference cycles and sizes
    no packet holds are a ValueError; a document with a DTD is refused before anything is read
    from it; what this reader does not decode is a NotImplementedError naming it.
    """
    if isinstance(source, (bytes, bytearray, memoryview)):
        return Definition(_parse(bytes(source), "XTCE document"), "XTCE document")
    if not isinstance(source, (str, os.PathLike)):  # pyright: ignore[reportUnnecessaryIsInstance]
        raise TypeError(f"an XTCE definition is a path or bytes, not {type(source).__name__}")
    path = os.fspath(source)
    status = os.stat(path)
    key = (os.path.realpath(path), status.st_ino, status.st_size, status.st_mtime_ns)
    with _cache_lock:
        found = _cache.get(key)
    if found is not None:
        return found
    with open(path, "rb") as file:
        data = file.read()
    definition = Definition(_parse(data, str(path)), str(path))
    with _cache_lock:
        if len(_cache) >= 16:
            _cache.pop(next(iter(_cache)))
        _cache[key] = definition
    return definition
