"""tessel_archive.xtce: XTCE definitions read into columns, exactly.

Small definitions written here check each supported element and each refusal; generated ones are
packed bit for bit with pack_parameters and read back; the four real files decode completely, to
values worked out by hand from their hex dumps.
"""
import hashlib
import importlib.util
import os
import pathlib
import struct
import subprocess
import sys
import warnings

import pytest

np = pytest.importorskip("numpy", reason="tessel_archive needs numpy")
from hypothesis import given, settings, strategies as st  # noqa: E402

import tessel  # noqa: E402
import tessel_archive as ta  # noqa: E402
from tessel_archive import xtce  # noqa: E402

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import xtce_expected  # noqa: E402

TELEMETRY = pathlib.Path(__file__).resolve().parents[2] / "shared" / "telemetry"
needs_telemetry = pytest.mark.skipif(not TELEMETRY.is_dir(), reason=f"no real packet files: {TELEMETRY} is absent "
                                     "(another project's test data, kept outside the repository)")
# The reader matches local names, whatever namespace a definition declares: XTCE 1.1's, or a
# mission's own (CTIM's is not the standard one).
XTCE11 = "http://www.omg.org/space/xtce"
MISSION = "http://example.org/mission/telemetry/xtce"
HEADER = [("VERSION", 3), ("TYPE", 1), ("SEC_HDR_FLG", 1), ("PKT_APID", 11), ("SEQ_FLGS", 2), ("SRC_SEQ_CTR", 14),
          ("PKT_LEN", 16)]


def integer(bits, encoding="unsigned", order="", extra=""):
    order = f' byteOrder="{order}"' if order else ""
    return f'<IntegerParameterType name="{{n}}"><IntegerDataEncoding sizeInBits="{bits}" encoding="{encoding}"{order}>{extra}</IntegerDataEncoding></IntegerParameterType>'


def floating(bits, encoding="IEEE754_1985", order=""):
    order = f' byteOrder="{order}"' if order else ""
    return f'<FloatParameterType name="{{n}}"><FloatDataEncoding sizeInBits="{bits}" encoding="{encoding}"{order}/></FloatParameterType>'


def string(bits, charset="UTF-8"):
    return (f'<StringParameterType name="{{n}}"><StringDataEncoding encoding="{charset}"><SizeInBits><Fixed>'
            f'<FixedValue>{bits}</FixedValue></Fixed></SizeInBits></StringDataEncoding></StringParameterType>')


def document(fields, *, restriction='<Comparison parameterRef="PKT_APID" value="1" useCalibratedValue="false"/>',
             namespace=MISSION, containers="", entries=None, prefix="xtce:"):
    """A definition: the CCSDS header in an abstract container, then container Body of `fields`
    ((name, type XML) pairs) for the packets its restriction picks."""
    types = [(n, integer(b)) for n, b in HEADER] + list(fields)
    p = prefix
    type_set = "".join(t.format(n=f"{n}_T").replace("<", f"<{p}").replace(f"<{p}/", f"</{p}") for n, t in types)
    parameters = "".join(f'<{p}Parameter name="{n}" parameterTypeRef="{n}_T"/>' for n, _ in types)
    header = "".join(f'<{p}ParameterRefEntry parameterRef="{n}"/>' for n, _ in HEADER)
    body = entries if entries is not None else "".join(f'<ParameterRefEntry parameterRef="{n}"/>' for n, _ in fields)
    body, restriction, containers = (x.replace("<", f"<{p}").replace(f"<{p}/", f"</{p}")
                                     for x in (body, restriction, containers))
    ns = f' xmlns:{p[:-1]}="{namespace}"' if p else (f' xmlns="{namespace}"' if namespace else "")
    return (f'<?xml version="1.0" encoding="UTF-8"?><{p}SpaceSystem{ns} name="t"><{p}TelemetryMetaData>'
            f'<{p}ParameterTypeSet>{type_set}</{p}ParameterTypeSet><{p}ParameterSet>{parameters}</{p}ParameterSet>'
            f'<{p}ContainerSet><{p}SequenceContainer name="Header" abstract="true"><{p}EntryList>{header}'
            f'</{p}EntryList></{p}SequenceContainer><{p}SequenceContainer name="Body"><{p}EntryList>{body}'
            f'</{p}EntryList><{p}BaseContainer containerRef="Header"><{p}RestrictionCriteria>{restriction}'
            f'</{p}RestrictionCriteria></{p}BaseContainer></{p}SequenceContainer>{containers}'
            f'</{p}ContainerSet></{p}TelemetryMetaData></{p}SpaceSystem>').encode()


def packet(apid, count, items):
    """A space packet of `items` (pack_parameters items after the header), packed bit for bit."""
    size = max((i["offset_bits"] + i["bits"] for i in items), default=48)
    data_bytes = max(1, (size + 7) // 8 - 6)
    header = [dict(name=n, encoding="unsigned", bits=b, value=v) for (n, b), v in
              zip(HEADER, (0, 0, 1, apid, 3, count, data_bytes - 1))]
    at = 0
    for item in header:
        item["offset_bits"], at = at, at + item["bits"]
    everything = [dict(i, byte_order=i.get("byte_order", "big"), reverse_bits=False) for i in header + items]
    raw = tessel.pack_parameters(everything)
    return raw + bytes(6 + data_bytes - len(raw))


def item(name, encoding, bits, value, at, order="big"):
    return {"name": name, "encoding": encoding, "bits": bits, "value": value, "offset_bits": at, "byte_order": order}


# ---- one element at a time --------------------------------------------------------------------

# (type XML, packer encoding, bits, value packed, column dtype, value read back); fields start at
# bit 51 of the packet, three bits into a byte, so every one starts or ends inside a byte.
FIELDS = [
    (integer(5), "unsigned", 5, 21, "uint8", 21),
    (integer(13, "twosComplement"), "twos_complement", 13, -4000, "int16", -4000),
    (integer(64, "twosComplement"), "twos_complement", 64, -(1 << 63), "int64", -(1 << 63)),
    (integer(64), "unsigned", 64, (1 << 64) - 1, "uint64", (1 << 64) - 1),
    (integer(9, "onesComplement"), "ones_complement", 9, -200, "int16", -200),
    (integer(7, "signMagnitude"), "sign_magnitude", 7, -63, "int8", -63),
    (integer(16, "signed"), "twos_complement", 16, -2, "int16", -2),
    (integer(12, "packedBCD"), "packed_bcd", 12, 987, "uint16", 987),
    (integer(16, "BCD"), "bcd", 16, 42, "uint8", 42),
    (integer(24, "unsigned", "leastSignificantByteFirst"), "unsigned", 24, 0x123456, "uint32", 0x123456),
    (floating(16), "ieee754", 16, -1.5, "float32", -1.5),
    (floating(32, "IEEE754"), "ieee754", 32, 3.25, "float32", 3.25),
    (floating(64), "ieee754", 64, -1e300, "float64", -1e300),
    (floating(32, "IEEE754", "leastSignificantByteFirst"), "ieee754", 32, 0.1, "float32", np.float32(0.1)),
    # least significant bit first: 0b0010011 laid down is 0b1100100 read
    (integer(7).replace('encoding="unsigned"', 'encoding="unsigned" bitOrder="leastSignificantBitFirst"'),
     "unsigned", 7, 0b0010011, "uint8", 0b1100100),
    (integer(16, "twosComplement").replace('"twosComplement"', '"twosComplement" bitOrder="leastSignificantBitFirst"'),
     "twos_complement", 16, 1, "int16", -(1 << 15)),
]


@pytest.mark.parametrize("aligned", [False, True], ids=["inside a byte", "on whole bytes"])
@pytest.mark.parametrize("xml, encoding, bits, value, dtype, expected", FIELDS)
def test_each_encoding_reads_exactly_at_any_bit(xml, encoding, bits, value, dtype, expected, aligned):
    at = 56 if aligned else 51
    fields = [("PAD", integer(at - 48)), ("X", xml), ("AFTER", integer(5))] if at > 48 else [("X", xml)]
    little = "leastSignificantByteFirst" in xml
    if little and not aligned and bits % 8:
        pytest.skip("byte order of a field that is not whole bytes")
    packed = value
    if little:  # the packer lays the bytes out least significant first for us
        order = "little"
    else:
        order = "big"
    if little and not aligned:
        # least significant byte first at a bit position inside a byte: swap the bytes by hand
        raw = (struct.pack("<f", value) if encoding == "ieee754" else value.to_bytes(bits // 8, "little"))
        encoding, packed, order = "unsigned", int.from_bytes(raw, "big"), "big"
    items = [item("PAD", "unsigned", at - 48, 1, 48), item("X", encoding, bits, packed, at, order),
             item("AFTER", "unsigned", 5, 17, at + bits)]
    tables = xtce.load(document(fields)).decode(packet(1, 0, items) + packet(1, 1, items))
    column = tables["Body"]["X"]
    assert str(column.dtype) == dtype
    assert column.tolist() == [expected, expected]
    assert tables["Body"]["AFTER"].tolist() == [17, 17]


def test_strings_binaries_enumerations_booleans_and_calibrators():
    fields = [
        ("NAME", string(32)),
        ("BLOB", '<BinaryParameterType name="{n}"><BinaryDataEncoding><SizeInBits><FixedValue>12</FixedValue>'
                 '</SizeInBits></BinaryDataEncoding></BinaryParameterType>'),
        ("MODE", '<EnumeratedParameterType name="{n}"><IntegerDataEncoding sizeInBits="4"/><EnumerationList>'
                 '<Enumeration value="1" label="SAFE"/><Enumeration value="2" maxValue="5" label="SCIENCE"/>'
                 '</EnumerationList></EnumeratedParameterType>'),
        ("FLAG", '<BooleanParameterType name="{n}"><IntegerDataEncoding sizeInBits="1"/></BooleanParameterType>'),
        ("TEMP", integer(11, extra='<DefaultCalibrator><PolynomialCalibrator><Term coefficient="-40" exponent="0"/>'
                                   '<Term coefficient="0.5" exponent="1"/></PolynomialCalibrator></DefaultCalibrator>')),
        ("VOLT", integer(8, extra='<DefaultCalibrator><SplineCalibrator order="1"><SplinePoint raw="0" calibrated="0"/>'
                                  '<SplinePoint raw="100" calibrated="5"/></SplineCalibrator></DefaultCalibrator>')),
    ]
    definition = xtce.load(document(fields))
    assert definition.columns("Body")[7:] == ["NAME", "BLOB", "MODE", "MODE.label", "FLAG", "TEMP", "TEMP.calibrated",
                                               "VOLT", "VOLT.calibrated"]
    # the packer takes a 12-bit binary field from the value's last 12 bits
    rows = [("TLM1", b"\x0a\xbc", 1, 1, 100, 50), ("abcd", b"\x00\x01", 4, 0, 0, 150), ("éz", b"\x0f\xff", 9, 1, 2047, 20)]
    stream = b""
    for count, (name, blob, mode, flag, temp, volt) in enumerate(rows):
        stream += packet(1, count, [item("NAME", "utf8", 32, name, 48), item("BLOB", "binary", 12, blob, 80),
                                    item("MODE", "unsigned", 4, mode, 92), item("FLAG", "unsigned", 1, flag, 96),
                                    item("TEMP", "unsigned", 11, temp, 97), item("VOLT", "unsigned", 8, volt, 108)])
    table = definition.decode(stream)["Body"]
    assert table["NAME"].tolist() == ["TLM1", "abcd", "éz\x00"]   # a fixed size keeps its padding
    assert table["BLOB"].tolist() == [b"\xab\xc0", b"\x00\x10", b"\xff\xf0"]   # 12 bits, padded with zero bits
    assert table["MODE.label"].tolist() == ["SAFE", "SCIENCE", None]   # 9 is in no range
    assert table["FLAG"].dtype == bool and table["FLAG"].tolist() == [True, False, True]
    assert table["TEMP.calibrated"].tolist() == [10.0, -40.0, 983.5]
    assert table["VOLT.calibrated"][:1].tolist() == [2.5] and np.isnan(table["VOLT.calibrated"][1])   # beyond the points


DYNAMIC = ('<BinaryParameterType name="{n}"><BinaryDataEncoding><SizeInBits><DynamicValue>'
           '<ParameterInstanceRef parameterRef="COUNT"/><LinearAdjustment slope="8" intercept="-8"/>'
           '</DynamicValue></SizeInBits></BinaryDataEncoding></BinaryParameterType>')


def test_a_size_from_an_earlier_field_and_containers_chosen_by_a_field():
    # DATA takes COUNT - 1 bytes; container Odd, for KIND 1 or at least 7, has END after it.
    fields = [("KIND", integer(8)), ("COUNT", integer(16)), ("DATA", DYNAMIC), ("END", integer(8))]
    extra = ('<SequenceContainer name="Odd"><EntryList><ParameterRefEntry parameterRef="END"/></EntryList>'
             '<BaseContainer containerRef="Body"><RestrictionCriteria><BooleanExpression><ORedConditions>'
             '<Condition><ParameterInstanceRef parameterRef="KIND"/><ComparisonOperator>==</ComparisonOperator>'
             '<Value>1</Value></Condition><Condition><ParameterInstanceRef parameterRef="KIND"/>'
             '<ComparisonOperator>&gt;=</ComparisonOperator><Value>7</Value></Condition></ORedConditions>'
             '</BooleanExpression></RestrictionCriteria></BaseContainer></SequenceContainer>')
    body = "".join(f'<ParameterRefEntry parameterRef="{n}"/>' for n, _ in fields[:3])
    definition = xtce.load(document(fields, containers=extra, entries=body))
    stream = b""
    for count, (kind, blob) in enumerate([(0, b"ab"), (1, b"xyz!"), (7, b""), (2, b"q"), (9, b"0123456789")]):
        data = [item("KIND", "unsigned", 8, kind, 48), item("COUNT", "unsigned", 16, len(blob) + 1, 56)]
        if blob:
            data.append(item("DATA", "binary", 8 * len(blob), blob, 72))
        if kind in (1, 7, 9):
            data.append(item("END", "unsigned", 8, 0xE0 + count, 72 + 8 * len(blob)))
        stream += packet(1, count, data)
    tables = definition.decode(stream)
    assert tables.rows() == {"Body": 2, "Odd": 3}
    assert tables["Body"]["DATA"].tolist() == [b"ab", b"q"] and tables.numbers["Body"].tolist() == [0, 3]
    assert tables["Odd"]["DATA"].tolist() == [b"xyz!", b"", b"0123456789"]
    assert tables["Odd"]["END"].tolist() == [0xE1, 0xE2, 0xE4] and tables.numbers["Odd"].tolist() == [1, 2, 4]


@pytest.mark.parametrize("restriction, kept", [
    ('<Comparison parameterRef="PKT_APID" value="1" useCalibratedValue="false"/>', [1]),
    ('<Comparison parameterRef="PKT_APID" value="2" comparisonOperator="&lt;="/>', [1, 2]),
    ('<Comparison parameterRef="PKT_APID" value="1" comparisonOperator="!="/>', [2, 3]),
    ('<ComparisonList><Comparison parameterRef="PKT_APID" value="1" comparisonOperator="&gt;"/>'
     '<Comparison parameterRef="SRC_SEQ_CTR" value="2"/></ComparisonList>', [3]),
    ('<BooleanExpression><ANDedConditions><Condition><ParameterInstanceRef parameterRef="PKT_APID"/>'
     '<ComparisonOperator>&lt;</ComparisonOperator><Value>3</Value></Condition><ORedConditions><Condition>'
     '<ParameterInstanceRef parameterRef="SRC_SEQ_CTR"/><ComparisonOperator>==</ComparisonOperator><Value>0</Value>'
     '</Condition><Condition><ParameterInstanceRef parameterRef="SRC_SEQ_CTR"/><ComparisonOperator>==</ComparisonOperator>'
     '<Value>1</Value></Condition></ORedConditions></ANDedConditions></BooleanExpression>', [1, 2]),
])
def test_restrictions_pick_the_packets_of_a_container(restriction, kept):
    definition = xtce.load(document([("X", integer(8))], restriction=restriction))
    stream = b"".join(packet(apid, count, [item("X", "unsigned", 8, apid, 48)]) for count, apid in enumerate([1, 2, 3]))
    tables = definition.decode(stream)
    assert tables.get("Body", {"X": np.zeros(0)})["X"].tolist() == kept
    assert tables.undecoded == ({"no container matches": 3 - len(kept)} if len(kept) < 3 else {})


@pytest.mark.parametrize("namespace, prefix", [(MISSION, "xtce:"), (XTCE11, "xtce:"), (MISSION, ""), ("", "")],
                         ids=["a mission's namespace, prefixed", "1.1 prefixed", "a default namespace", "no namespace"])
def test_namespaced_or_not_and_either_version(namespace, prefix):
    definition = xtce.load(document([("X", integer(4)), ("Y", integer(12))], namespace=namespace, prefix=prefix))
    stream = packet(1, 0, [item("X", "unsigned", 4, 9, 48), item("Y", "unsigned", 12, 4000, 52)])
    table = definition.decode(stream)["Body"]
    assert (table["X"].tolist(), table["Y"].tolist(), table["PKT_APID"].tolist()) == ([9], [4000], [1])


def test_locations_short_packets_and_packet_order():
    entries = ('<ParameterRefEntry parameterRef="A"/><ParameterRefEntry parameterRef="B">'
               '<LocationInContainerInBits referenceLocation="previousEntry"><FixedValue>4</FixedValue>'
               '</LocationInContainerInBits></ParameterRefEntry>')
    definition = xtce.load(document([("A", integer(4)), ("B", integer(8))], entries=entries))
    good = packet(1, 0, [item("A", "unsigned", 4, 3, 48), item("B", "unsigned", 8, 0x5A, 56)])
    short = good[:4] + b"\x00\x00" + good[6:7]   # one byte of data: B does not fit
    tables = definition.decode(good + short + good)
    assert tables["Body"]["B"].tolist() == [0x5A, 0x5A] and tables["Body"]["SRC_SEQ_CTR"].tolist() == [0, 0]
    assert tables.undecoded == {"Body: shorter than the container": 1} and tables.packets == 3


# ---- refusals and hostile documents -------------------------------------------------------------

@pytest.mark.parametrize("fields, extra, error, message", [
    ([("F", floating(48, "MILSTD_1750A"))], "", NotImplementedError,
     "FloatDataEncoding encoding 'MILSTD_1750A': parameter 'F' (type 'F_T')"),
    ([("F", floating(128))], "", NotImplementedError,
     "FloatDataEncoding IEEE754_1985 of 128 bits: parameter 'F' (type 'F_T') (16, 32 and 64 are read)"),
    ([("I", integer(65))], "", NotImplementedError,
     "IntegerDataEncoding of 65 bits: parameter 'I' (type 'I_T') (1 to 64 are read)"),
    ([("I", integer(8, "zigzag"))], "", NotImplementedError,
     "IntegerDataEncoding encoding 'zigzag': parameter 'I' (type 'I_T')"),
    ([("S", '<StringParameterType name="{n}"><StringDataEncoding encoding="UTF-8"><SizeInBits><TerminationChar>00'
            '</TerminationChar></SizeInBits></StringDataEncoding></StringParameterType>')], "", NotImplementedError,
     "StringDataEncoding with SizeInBits with TerminationChar: parameter 'S' (type 'S_T') (fixed sizes are read)"),
    ([("S", string(16, "EBCDIC"))], "", NotImplementedError,
     "StringDataEncoding encoding 'EBCDIC': parameter 'S' (type 'S_T')"),
    ([("T", '<AbsoluteTimeParameterType name="{n}"/>')], "", NotImplementedError,
     "AbsoluteTimeParameterType: parameter 'T' (type 'T_T') is of a type this reader does not decode"),
    ([("C", integer(8, extra='<DefaultCalibrator><MathOperationCalibrator/></DefaultCalibrator>'))], "",
     NotImplementedError, "MathOperationCalibrator: parameter 'C' (type 'C_T')"),
    ([("C", integer(8, extra='<ContextCalibratorList/>'))], "", NotImplementedError,
     "ContextCalibratorList: parameter 'C' (type 'C_T')"),
    ([("B", '<BinaryParameterType name="{n}"><BinaryDataEncoding><SizeInBits><FixedValue>99999999</FixedValue>'
            '</SizeInBits></BinaryDataEncoding></BinaryParameterType>')], "", ValueError,
     "parameter 'B' (type 'B_T'): a size of 99999999 bits; no space packet holds more than 524336"),
    ([("S", string(12))], "", ValueError, "parameter 'S' (type 'S_T'): a string of 12 bits is not whole bytes"),
    ([("L", integer(12, "unsigned", "leastSignificantByteFirst"))], "", NotImplementedError,
     "byteOrder leastSignificantByteFirst of 12 bits, not whole bytes: parameter 'L' (type 'L_T')"),
    ([("L", integer(16, "unsigned", "leastSignificantByteFirst").replace("/>", ' bitOrder="leastSignificantBitFirst"/>')
       .replace('"></IntegerDataEncoding>', '" bitOrder="leastSignificantBitFirst"></IntegerDataEncoding>'))], "",
     NotImplementedError, "byteOrder leastSignificantByteFirst with bitOrder leastSignificantBitFirst: "
     "parameter 'L' (type 'L_T')"),
    ([("X", integer(8))], '<SequenceContainer name="Loop"><EntryList><ContainerRefEntry containerRef="Loop"/>'
     '</EntryList></SequenceContainer>', ValueError, "container 'Loop' contains itself: Loop -> Loop"),
    ([("X", integer(8))], '<SequenceContainer name="A"><EntryList/><BaseContainer containerRef="B"/>'
     '</SequenceContainer><SequenceContainer name="B"><EntryList/><BaseContainer containerRef="A"/>'
     '</SequenceContainer>', ValueError, "container 'A' inherits from itself: A -> B -> A"),
    ([("X", integer(8))], '<SequenceContainer name="Z"><EntryList><ParameterRefEntry parameterRef="NOPE"/>'
     '</EntryList></SequenceContainer>', ValueError, "container 'Z': parameter 'NOPE' is not defined"),
    ([("X", integer(8))], '<SequenceContainer name="Z"><EntryList><ContainerRefEntry containerRef="NOPE"/>'
     '</EntryList></SequenceContainer>', ValueError, "container 'Z': container 'NOPE' is not defined"),
    ([("X", integer(8))], '<SequenceContainer name="Z"><EntryList/><BaseContainer containerRef="NOPE"/>'
     '</SequenceContainer>', ValueError, "container 'Z': base container 'NOPE' is not defined"),
    ([("X", integer(8))], '<SequenceContainer name="Z"><EntryList><ParameterRefEntry parameterRef="X">'
     '<RepeatEntry/></ParameterRefEntry></EntryList></SequenceContainer>', NotImplementedError,
     "ParameterRefEntry with RepeatEntry: container 'Z'"),
    ([("X", integer(8))], '<SequenceContainer name="Z"><EntryList><ParameterRefEntry parameterRef="X">'
     '<IncludeCondition/></ParameterRefEntry></EntryList></SequenceContainer>', NotImplementedError,
     "ParameterRefEntry with IncludeCondition: container 'Z'"),
    ([("X", integer(8))], '<SequenceContainer name="Z"><EntryList><ArrayParameterRefEntry parameterRef="X"/>'
     '</EntryList></SequenceContainer>', NotImplementedError, "ArrayParameterRefEntry: container 'Z'"),
    ([("X", integer(8))], '<SequenceContainer name="Z"><EntryList/><BaseContainer containerRef="Body">'
     '<RestrictionCriteria><Comparison parameterRef="LATER" value="1"/></RestrictionCriteria></BaseContainer>'
     '</SequenceContainer>', NotImplementedError,
     "RestrictionCriteria on 'LATER', which its base containers do not hold: container 'Z'"),
    ([("COUNT", integer(8)), ("D", DYNAMIC)], "", None, None),
    ([("D", DYNAMIC), ("COUNT", integer(8))], "", ValueError,
     "container 'Body': the size of 'D' comes from 'COUNT', which does not come before it"),
])
def test_what_is_refused_is_named_at_load(fields, extra, error, message):
    if error is None:   # a size from a field that comes before it: accepted
        xtce.load(document(fields, containers=extra))
        return
    with pytest.raises(error) as caught:
        xtce.load(document(fields, containers=extra))
    assert str(caught.value) == message


@pytest.mark.parametrize("text, message", [
    ('<?xml version="1.0"?><!DOCTYPE x [<!ENTITY a "aaaaaaaaaa"><!ENTITY b "&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;">'
     '<!ENTITY c "&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;">]><SpaceSystem>&c;</SpaceSystem>',
     "XTCE document: the document has a document type declaration (DTD); XTCE needs none, and entity declarations "
     "and external entities are refused"),
    ('<?xml version="1.0"?><!DOCTYPE x [<!ENTITY e SYSTEM "file:///etc/passwd">]><SpaceSystem>&e;</SpaceSystem>',
     "XTCE document: the document has a document type declaration (DTD); XTCE needs none, and entity declarations "
     "and external entities are refused"),
    ("<SpaceSystem>&undefined;</SpaceSystem>", "XTCE document: not well-formed XML: undefined entity: line 1, column 13"),
    ("<SpaceSystem><TelemetryMetaData>", "XTCE document: not well-formed XML: no element found: line 1, column 32"),
    ("<SpaceSystem/>", "XTCE document: no TelemetryMetaData"),
])
def test_hostile_or_broken_documents_fail_clearly(text, message):
    with pytest.raises(ValueError) as caught:
        xtce.load(text.encode())
    assert str(caught.value) == message


def test_a_packet_whose_digits_do_not_decode_names_its_place():
    definition = xtce.load(document([("PAD", integer(4)), ("D", integer(8, "packedBCD"))]))
    good = packet(1, 0, [item("D", "packed_bcd", 8, 42, 52)])
    bad = bytearray(good)
    bad[6] = 0x0A   # the field's first nibble, inside byte 6: A is no digit
    bad[7] = 0x10
    with pytest.raises(ValueError, match=r"^container 'Body': packet 1 at byte 8: 'D': 10 is no decimal digit$"):
        definition.decode(good + bytes(bad))


# ---- generated definitions, packed and read back ---------------------------------------------

KINDS = {
    "unsigned": (lambda b: integer(b), "unsigned", lambda b: st.integers(0, (1 << b) - 1)),
    "twosComplement": (lambda b: integer(b, "twosComplement"), "twos_complement",
                       lambda b: st.integers(-(1 << (b - 1)), (1 << (b - 1)) - 1)),
    "onesComplement": (lambda b: integer(b, "onesComplement"), "ones_complement",
                       lambda b: st.integers(-(1 << (b - 1)) + 1, (1 << (b - 1)) - 1)),
    "signMagnitude": (lambda b: integer(b, "signMagnitude"), "sign_magnitude",
                      lambda b: st.integers(-(1 << (b - 1)) + 1, (1 << (b - 1)) - 1)),
}


@st.composite
def layouts(draw):
    fields, at = [], 48
    for k in range(draw(st.integers(1, 8))):
        kind = draw(st.sampled_from([*KINDS, "float"]))
        gap = draw(st.integers(0, 9))
        if kind == "float":
            bits = draw(st.sampled_from([16, 32, 64]))
            values = draw(st.lists(st.floats(width=bits, allow_nan=False), min_size=1, max_size=4))
            xml, encoding = floating(bits), "ieee754"
        else:
            bits = draw(st.integers(2, 64))
            xml, encoding, strategy = KINDS[kind][0](bits), KINDS[kind][1], KINDS[kind][2](bits)
            values = draw(st.lists(strategy, min_size=1, max_size=4))
        fields.append((f"F{k}", xml, encoding, bits, at + gap, values))
        at += gap + bits
    return fields


@settings(max_examples=60, deadline=None)
@given(layouts(), st.integers(1, 3))
def test_generated_definitions_read_back_what_was_packed(fields, threads):
    xml_fields = []
    for k, (name, xml, _, bits, at, _) in enumerate(fields):
        previous_end = fields[k - 1][4] + fields[k - 1][3] if k else 48
        if at > previous_end:
            xml_fields.append((f"GAP{k}", integer(at - previous_end)))
        xml_fields.append((name, xml))
    definition = xtce.load(document(xml_fields))
    packets = max(len(f[5]) for f in fields)
    stream = b"".join(packet(1, i, [item(name, encoding, bits, values[i % len(values)], at)
                                    for name, _, encoding, bits, at, values in fields]) for i in range(packets))
    table = definition.decode(stream, threads=threads)["Body"]
    for name, _, encoding, bits, _, values in fields:
        expected = [values[i % len(values)] for i in range(packets)]
        got = table[name].tolist()
        if encoding == "ieee754":
            kind = {16: "e", 32: "f", 64: "d"}[bits]
            assert [struct.pack(">" + kind, v) for v in got] == [struct.pack(">" + kind, v) for v in expected], name
        else:
            assert got == expected, name


# ---- the real files ------------------------------------------------------------------------

REAL = [
    ("jpss1_geolocation_xtce_v1.xml", "J01_G011_LZ_2021-04-09T00-00-00Z_V01.DAT1", 0, {"JPSS_ATT_EPHEM": 7200}),
    ("ctim_xtce_v1.xml", "ccsds_2021_155_14_39_51", 0,
     {"APID_1_Packet": 104, "APID_20_Packet": 6, "APID_32_Packet": 104, "APID_33_Packet": 1, "APID_34_Packet": 1,
      "APID_39_Packet": 1, "APID_41_Packet": 1147, "APID_42_Packet": 72, "APID_47_Packet": 63}),
    ("idex_combined_science_definition.xml", "sciData_2023_052_14_45_05", 0, {"Sci0TypeZero": 6, "Sci0TypeNonZero": 72}),
    ("idex_combined_science_definition.xml", "sciData_2022_130_17_41_53.spl", 4,
     {"SciFetchTypeZero": 1, "SciFetchTypeNonZero": 12}),
]


@needs_telemetry
@pytest.mark.parametrize("definition, packets, record, containers", REAL, ids=[r[1] for r in REAL])
def test_every_packet_of_the_real_files_lands_in_its_container(definition, packets, record, containers):
    with warnings.catch_warnings():
        warnings.simplefilter("error", ta.TruncatedPacketWarning)
        tables = xtce.load(TELEMETRY / definition).decode(TELEMETRY / packets, record_header_bytes=record)
    assert tables.rows() == containers and tables.undecoded == {}
    assert tables.packets == sum(containers.values())
    # Every packet in exactly one table, and each row's header is its packet's, as the index splits it.
    numbers = np.concatenate([tables.numbers[name] for name in tables])
    assert np.array_equal(np.sort(numbers), np.arange(tables.packets))
    index = ta.space_packets((TELEMETRY / packets).read_bytes(), record_header_bytes=record)
    for name, table in tables.items():
        rows = tables.numbers[name]
        count = next(c for c in table if c.endswith("SEQ_CTR"))
        assert np.array_equal(table["PKT_APID"], index["apid"][rows])
        assert np.array_equal(table[count], index["sequence_count"][rows])
        assert np.array_equal(table["PKT_LEN"], index["data_length"][rows])


def crc16_ccitt(data):
    crc = 0xFFFF
    for byte in data:
        crc ^= byte << 8
        for _ in range(8):
            crc = (crc << 1 ^ 0x1021 if crc & 0x8000 else crc << 1) & 0xFFFF
    return crc


@needs_telemetry
@pytest.mark.parametrize("name, definition", [("CTIM", "ctim_xtce_v1.xml"),
                                              ("IDEX", "idex_combined_science_definition.xml"),
                                              ("SUDA", "idex_combined_science_definition.xml")])
def test_the_real_files_decode_to_their_hand_worked_values(name, definition):
    expected = getattr(xtce_expected, name)
    path = TELEMETRY / expected["file"]
    tables = xtce.load(TELEMETRY / definition).decode(path, record_header_bytes=expected["record_header_bytes"])
    assert tables.rows() == expected["containers"] and tables.packets == expected["packets"]
    row = {name: dict(zip(tables.numbers[name].tolist(), range(len(tables.numbers[name])))) for name in tables}

    def value(container, packet, column):
        return tables[container][column][row[container][packet]]

    for container, packet, parameter, raw in expected["values"]:
        got = value(container, packet, parameter)
        assert got == raw and type(got.item()) is type(raw), (container, packet, parameter)
    for container, packet, parameter, label in expected["labels"]:
        assert value(container, packet, parameter + xtce.LABEL) == label, (container, packet, parameter)
    for container, packet, parameter, size, head, tail, digest in expected.get("blobs", []):
        blob = value(container, packet, parameter)
        assert (len(blob), blob[:4].hex(), blob[-4:].hex(), hashlib.sha256(blob).hexdigest()) == (size, head, tail, digest)
    data = path.read_bytes()
    index = ta.space_packets(data, record_header_bytes=expected["record_header_bytes"])
    packets = [data[s:s + n] for s, n in zip(index["start"].tolist(), index["length"].tolist())]
    # Sequence counts step by one an APID, but where the hand count found gaps (CTIM's APID 20).
    counts = np.concatenate([t[next(c for c in t if c.endswith("SEQ_CTR"))] for t in tables.values()])
    apids = np.concatenate([t["PKT_APID"] for t in tables.values()])
    order = np.argsort(np.concatenate([tables.numbers[n] for n in tables]))
    counts, apids = counts[order].astype(np.int64), apids[order]
    for apid in np.unique(apids).tolist():
        steps = set((np.diff(counts[apids == apid]) % (1 << 14)).tolist())
        if name == "CTIM" and apid == 20:
            assert counts[apids == 20].tolist() == expected["properties"]["seq_ctr_apid20"]
        else:
            assert steps <= {1}, apid
    if name == "CTIM":
        # The last two bytes of every packet are the sum of the others; where a container ends at its
        # packet's end, its packet_checksum is that word.
        assert all(int.from_bytes(p[-2:], "big") == sum(p[:-2]) & 0xFFFF for p in packets)
        for container in ("APID_32_Packet", "APID_41_Packet", "APID_42_Packet", "APID_47_Packet"):
            sums = [sum(packets[k][:-2]) & 0xFFFF for k in tables.numbers[container].tolist()]
            assert tables[container]["packet_checksum"].tolist() == sums, container
    else:
        # A sync word and a CRC-16/CCITT of the packet close every science packet.
        for container, table in tables.items():
            crc = next(c for c in table if c.startswith("IDX__CRC"))
            sync = next(c for c in table if c.startswith("IDX__SYNC"))
            assert set(table[sync].tolist()) == {0x3333}
            assert table[crc].tolist() == [crc16_ccitt(packets[k][:-2]) for k in tables.numbers[container].tolist()]
        # each blob is what the packet length leaves for it: (8 * PKT_LEN - 328) bits
        for container, table in tables.items():
            blobs = [c for c in table if c.endswith("RAW")]
            for column in blobs:
                assert [len(b) for b in table[column]] == (table["PKT_LEN"].astype(int) - 41).tolist()


@needs_telemetry
def test_a_cut_off_tail_is_left_out_and_reported():
    data = (TELEMETRY / "sciData_2023_052_14_45_05").read_bytes()
    definition = xtce.load(TELEMETRY / "idex_combined_science_definition.xml")
    with pytest.warns(ta.TruncatedPacketWarning, match=r"^the stream ends inside the packet at byte 219272: 100 bytes"):
        tables = definition.decode(data[:-100])
    assert (tables.packets, tables.truncated, tables.rows()) == (77, (219272, 100), {"Sci0TypeZero": 6, "Sci0TypeNonZero": 71})


# ---- the command line ----------------------------------------------------------------------

@needs_telemetry
def test_the_command_line_writes_a_parquet_table_per_container(tmp_path):
    pq = pytest.importorskip("pyarrow.parquet", reason="Parquet output needs pyarrow (the cookbook extra)")
    definition = TELEMETRY / "idex_combined_science_definition.xml"
    run = lambda *args: subprocess.run([sys.executable, "-m", "tessel_archive", str(definition), *map(str, args)],  # noqa: E731
                                       capture_output=True, text=True, timeout=120)
    result = run(TELEMETRY / "sciData_2023_052_14_45_05", TELEMETRY / "sciData_2023_052_14_45_05", "-o", tmp_path / "out")
    assert result.returncode == 0, result.stderr
    assert result.stderr.splitlines() == [
        "156 packets in 2 files, 156 decoded",
        f"  Sci0TypeZero: 12 -> {tmp_path / 'out' / 'Sci0TypeZero.parquet'}",
        f"  Sci0TypeNonZero: 144 -> {tmp_path / 'out' / 'Sci0TypeNonZero.parquet'}"]
    table = pq.read_table(tmp_path / "out" / "Sci0TypeNonZero.parquet")
    assert table.num_rows == 144 and str(table.schema.field("IDX__SCI0RAW").type) == "binary"
    assert str(table.schema.field("IDX__SCI0PACK.label").type) == "string"
    one = run(TELEMETRY / "sciData_2022_130_17_41_53.spl", "--record-header-bytes", "4", "-o", tmp_path / "one.parquet")
    assert one.returncode == 1 and one.stderr == (
        "python -m tessel_archive: the packets fill 2 containers (SciFetchTypeZero, SciFetchTypeNonZero); "
        "give a folder for a Parquet file per container\n")
    assert not list(tmp_path.glob("*.parquet")) and not list(tmp_path.glob(".*"))
    if importlib.util.find_spec("tqdm") is not None:   # a bar when asked for, whatever the input's size
        shown = run(TELEMETRY / "sciData_2022_130_17_41_53.spl", "--record-header-bytes", "4", "--progress",
                    "-o", tmp_path / "bar")
        assert shown.returncode == 0 and "100%" in shown.stderr and "36.8k/36.8k" in shown.stderr, shown.stderr


def test_definitions_load_once_and_are_shared(tmp_path):
    path = tmp_path / "d.xml"
    path.write_bytes(document([("X", integer(8))]))
    first = xtce.load(path)
    assert xtce.load(path) is first and xtce.load(str(path)) is first
    path.write_bytes(document([("X", integer(16))]))
    os.utime(path, ns=(1, 1))
    assert xtce.load(path) is not first
    with pytest.raises(TypeError, match="^an XTCE definition is a path or bytes, not int$"):
        xtce.load(3)  # type: ignore[arg-type]


def test_threads_sharing_one_definition_get_the_same_tables():
    from concurrent.futures import ThreadPoolExecutor

    fields = [("A", integer(7, "signMagnitude")), ("B", floating(32)), ("C", integer(12, "packedBCD"))]
    definition = xtce.load(document(fields))
    stream = b"".join(packet(1, i, [item("A", "sign_magnitude", 7, i % 60 - 30, 48), item("B", "ieee754", 32, i / 8, 55),
                                    item("C", "packed_bcd", 12, i % 1000, 87)]) for i in range(3000))
    expected = definition.decode(stream, threads=1)["Body"]
    with ThreadPoolExecutor(4) as pool:
        results = list(pool.map(lambda threads: definition.decode(stream, threads=threads)["Body"], [1, 2, 3, 4] * 4))
    for table in results:
        assert all(np.array_equal(table[k], expected[k]) for k in expected)
    assert expected["C"].tolist() == [i % 1000 for i in range(3000)]
