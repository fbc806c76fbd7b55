"""tessel_archive: the columnar decoder against unpack_parameters, packet by packet; the space
packet index; the everyday decode on the real files; resources and threads."""
import math
import mmap
import os
import pathlib
import subprocess
import sys
import threading
import warnings

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tessel
import tessel_archive as ta
from native_memory import growth
from recipes import item, panic_type

PANIC = panic_type()
TELEMETRY = pathlib.Path(__file__).resolve().parents[2] / "shared" / "telemetry"
needs_telemetry = pytest.mark.skipif(not TELEMETRY.is_dir(), reason=f"the real packet files are not at {TELEMETRY}")

NUMBER_DECODINGS = ["unsigned", "twos_complement", "ones_complement", "sign_magnitude", "bcd", "bcd_signed",
                    "packed_bcd", "packed_bcd_signed"]
FLOAT_DECODINGS = {"ieee754_f16": 16, "ieee754_f32": 32, "ieee754_f64": 64, "ieee754_f128": 64}
TEXT_DECODINGS = ["utf8", "utf16", "utf16le", "utf16be", "utf32", "utf32le", "utf32be", "us_ascii", "latin1",
                  "windows_1252"]


def reference(packets, offset_bits, recipe):
    """unpack_parameters packet by packet: the columns, or the ValueError unpack_columns must raise."""
    rows = []
    for i, (start, packet) in enumerate(packets):
        try:
            rows.append(tessel.unpack_parameters(packet, offset_bits, recipe))
        except (ValueError, PANIC) as error:
            return f"packet {i} at byte {start}: {error}"
    return rows


def same(value, expected):
    if isinstance(expected, float):
        return float(value) == expected or (math.isnan(expected) and math.isnan(float(value)))
    return type(value) is type(expected) and value == expected if isinstance(expected, str) else int(value) == expected


def laid_out(packets, gap):
    """The packets back to back in one buffer, `gap` bytes before each: (data, starts, lengths)."""
    data, starts = bytearray(), []
    for packet in packets:
        data += b"\xa5" * gap
        starts.append(len(data))
        data += packet
    return bytes(data), starts, [len(p) for p in packets]


@st.composite
def fields(draw, index):
    family = draw(st.sampled_from(["number", "float", "text"]))
    name = draw(st.sampled_from([f"f{index}", "dup"]))  # a name given twice keeps its first place, last value
    order = draw(st.sampled_from(["big", "little"]))
    at = draw(st.none() | st.integers(0, 40))
    if family == "number":
        encoding = draw(st.sampled_from(NUMBER_DECODINGS))
        bits = draw(st.integers(0, 72))
        return item(name, encoding, bits, order=order, reverse=draw(st.booleans()), at=at)
    if family == "float":
        encoding = draw(st.sampled_from(sorted(FLOAT_DECODINGS)))
        return item(name, encoding, FLOAT_DECODINGS[encoding], order=order, reverse=draw(st.booleans()), at=at)
    return item(name, draw(st.sampled_from(TEXT_DECODINGS)), 8 * draw(st.integers(0, 6)), order=order, at=at)


# Packet bytes: mostly digits and ASCII, so that decimal and text fields decode as often as they fail.
packet_bytes = st.binary(max_size=24) | st.lists(st.sampled_from([0x00, 0x01, 0x09, 0x12, 0x41, 0x7A, 0xF1, 0xC3]),
                                                  max_size=24).map(bytes)


@settings(max_examples=400, deadline=None)
@given(st.data())
def test_columns_are_unpack_parameters_packet_by_packet(data):
    recipe = [data.draw(fields(i)) for i in range(data.draw(st.integers(0, 6)))]
    offset_bits = data.draw(st.sampled_from([0, 3, 8, 16]))
    # Most packets long enough for the whole recipe, so that values are compared as often as failures.
    need, running = 0, offset_bits
    for it in recipe:
        start = offset_bits + it["offset_bits"] if "offset_bits" in it else running
        need, running = max(need, start // 8 + (it["bits"] + 7) // 8), start + it["bits"]
    long_enough = st.binary(min_size=need, max_size=need + 3) | st.lists(
        st.sampled_from([0x00, 0x05, 0x39, 0x41, 0x80, 0xF7, 0xFF]), min_size=need, max_size=need + 3).map(bytes)
    packets = data.draw(st.lists(st.one_of(long_enough, long_enough, long_enough, packet_bytes), max_size=12))
    gap = data.draw(st.sampled_from([0, 1, 5]))
    buffer, starts, lengths = laid_out(packets, gap)
    kind = data.draw(st.sampled_from(["bytes", "bytearray", "memoryview", "numpy", "mmap"]))
    if kind == "mmap":
        source = mmap.mmap(-1, max(len(buffer), 1))
        source[:len(buffer)] = buffer
    else:
        source = {"bytes": bytes, "bytearray": bytearray, "memoryview": memoryview,
                  "numpy": lambda b: np.frombuffer(b, dtype=np.uint8)}[kind](buffer)
    expected = reference(list(zip(starts, packets)), offset_bits, recipe) if packets else []
    outcomes = []
    for threads in (1, 2, None):
        try:
            outcomes.append(ta.unpack_columns(source, recipe, starts, lengths, offset_bits, threads=threads))
        except ValueError as error:
            outcomes.append(str(error))
    if isinstance(expected, str):
        assert outcomes == [expected] * 3
        return
    first = outcomes[0]
    assert not isinstance(first, str), first
    for other in outcomes[1:]:  # byte-identical columns on any number of threads
        assert list(other) == list(first)
        assert all(other[k].dtype == first[k].dtype and np.array_equal(other[k], first[k], equal_nan=first[k].dtype.kind == "f")
                   for k in first)
    names = list(dict.fromkeys(it["name"] for it in recipe))
    assert list(first) == names
    for k in names:
        assert len(first[k]) == len(packets)
        for row, value in zip(expected, first[k]):
            assert same(value, row[k]), (k, value, row[k])


@pytest.mark.parametrize("encoding, bits, dtype", [
    ("unsigned", 0, "uint8"), ("unsigned", 8, "uint8"), ("unsigned", 9, "uint16"), ("unsigned", 32, "uint32"),
    ("unsigned", 33, "uint64"), ("unsigned", 72, "uint64"),
    ("twos_complement", 1, "int8"), ("twos_complement", 16, "int16"), ("ones_complement", 17, "int32"),
    ("sign_magnitude", 64, "int64"),
    ("bcd", 16, "uint8"), ("bcd", 32, "uint16"), ("bcd", 64, "uint32"), ("bcd_signed", 24, "int16"),
    ("bcd_signed", 64, "int32"),
    ("packed_bcd", 8, "uint8"), ("packed_bcd", 16, "uint16"), ("packed_bcd", 36, "uint32"), ("packed_bcd", 40, "uint64"),
    ("packed_bcd_signed", 12, "int8"), ("packed_bcd_signed", 20, "int16"), ("packed_bcd_signed", 40, "int32"),
    ("packed_bcd_signed", 44, "int64"),
    ("ieee754_f16", 16, "float32"), ("ieee754_f32", 32, "float32"), ("ieee754_f64", 64, "float64"),
    ("ieee754_f128", 64, "float64"), ("utf8", 16, "object"), ("windows_1252", 8, "object"),
])
def test_each_column_has_the_narrowest_dtype_that_holds_its_field(encoding, bits, dtype):
    # The extremes of the field's range fit: all ones (the largest unsigned, -1 and so on) and the
    # largest digits, wherever the field can hold them.
    count = (bits + 7) // 8
    packets = [b"\xff" * count, b"\x99" * count, b"\x00" * count, b"\x7f" + b"\xff" * (count - 1) if count else b""]
    if encoding == "bcd":
        packets = [b"\x09" * count]
    if encoding == "bcd_signed":  # zoned: the sign in the low byte's zone
        packets = [bytes([0xF9] * (count - 1) + [0xD9]) if count else b""]
    if encoding.startswith("packed"):
        packets = [b"\x99" * count] if encoding == "packed_bcd" else [b"\x99" * (count - 1) + b"\x9d"]
    if encoding in TEXT_DECODINGS:
        packets = [b"A" * count]
    recipe = [item("v", encoding, bits)]
    data, starts, lengths = laid_out(packets, 0)
    column = ta.unpack_columns(data, recipe, starts, lengths)["v"]
    assert column.dtype == np.dtype(dtype)
    for packet, value in zip(packets, column):
        assert same(value, tessel.unpack_parameters(packet, 0, recipe)["v"])


@pytest.mark.parametrize("recipe", [
    "recipe", {}, [["name"]], [{}], [item("a", "unsigned", 8), {"name": "b"}],
    [item("a", "nope", 8)], [item("a", "unsigned", 8, order="middle")], [item("a", "unsigned", "8")],
    [item("a", "unsigned", 8, at=2**32)], [item("a", "ieee754_f128", 128)], [item("a", "ti_f32", 32)],
    [item("a", "unsigned", 8, reverse=1)], [item(5, "unsigned", 8)],
], ids=repr)
def test_a_recipe_unpack_parameters_refuses_fails_alike_before_any_packet(recipe):
    with pytest.raises(BaseException) as expected:
        tessel.unpack_parameters(b"\x00" * 64, 0, recipe)
    # One short packet: the recipe's own failure comes first all the same.
    with pytest.raises(type(expected.value)) as got:
        ta.unpack_columns(b"\x00", recipe, [0], [1])
    assert str(got.value) == str(expected.value)


@pytest.mark.parametrize("starts, lengths, error, message", [
    ([0], [0, 1], ValueError, "starts and lengths differ in length (1 and 2)"),
    ([-1], [1], ValueError, "starts[0] is negative (-1)"),
    ([0, 0], [1, -2], ValueError, "lengths[1] is negative (-2)"),
    ([3], [2], ValueError, "packet 0 (start 3, length 2) lies outside data (4 bytes)"),
    ([0.0], [1], TypeError, "starts must hold integers, not float64"),
    ([0], [True], TypeError, "lengths must hold integers, not bool"),
    ([[0]], [[1]], ValueError, "starts must be one-dimensional, not 2-D"),
    (np.array([2**63], dtype=np.uint64), [1], ValueError, "starts[0] is 9223372036854775808, beyond any buffer"),
])
def test_starts_and_lengths_are_checked_and_named(starts, lengths, error, message):
    with pytest.raises(error) as info:
        ta.unpack_columns(b"\x00" * 4, [item("a", "unsigned", 8)], starts, lengths)
    assert str(info.value) == message


@pytest.mark.parametrize("data, error, message", [
    ("text", TypeError, "data must be a bytes-like buffer, not str"),
    (np.zeros(4, dtype=np.uint16), TypeError, "data as a numpy array must be 1-D uint8, not 1-D uint16"),
    (np.zeros((2, 2), dtype=np.uint8), TypeError, "data as a numpy array must be 1-D uint8, not 2-D uint8"),
    (np.zeros(8, dtype=np.uint8)[::2], ValueError, "data must be contiguous"),
    (memoryview(b"\x00" * 8).cast("I"), TypeError, "data must be a buffer of bytes, not of 'I' items in shape (2,)"),
])
def test_data_must_be_a_contiguous_byte_buffer(data, error, message):
    with pytest.raises(error) as info:
        ta.unpack_columns(data, [], [], [])
    assert str(info.value) == message


def test_a_short_packet_is_a_value_error_naming_it_and_nothing_is_written_to_stderr(capfd):
    recipe = [item("a", "unsigned", 8), item("b", "unsigned", 16)]
    data, starts, lengths = laid_out([b"\x01\x02\x03", b"\x04\x05\x06", b"\x07\x08"], 2)
    with pytest.raises(ValueError) as info:
        ta.unpack_columns(data, recipe, starts, lengths)
    assert str(info.value) == "packet 2 at byte 12: range end index 3 out of range for slice of length 2"
    assert capfd.readouterr().err == ""
    # Packets picked out of a stream are named by their numbers there.
    with pytest.raises(ValueError, match=r"^packet 41 at byte 12: range end index 3 out of range"):
        ta.unpack_columns(data, recipe, starts, lengths, numbers=[7, 8, 41])
    with pytest.raises(ValueError, match=r"^numbers and starts differ in length \(2 and 3\)$"):
        ta.unpack_columns(data, recipe, starts, lengths, numbers=[7, 8])


def test_the_first_failure_in_packet_order_wins_whatever_its_kind():
    # Packet 1 fails on its text (field 0) before packet 2's short read and packet 1's digits.
    recipe = [item("t", "us_ascii", 8), item("d", "bcd", 8)]
    data, starts, lengths = laid_out([b"A\x01", b"\xff\x0a", b"B"], 0)
    with pytest.raises(ValueError) as info:
        ta.unpack_columns(data, recipe, starts, lengths, threads=2)
    assert str(info.value) == "packet 1 at byte 2: ValueError: Invalid US-ASCII byte: 0xFF (must be <= 0x7F)"


def test_numeric_columns_fill_while_other_threads_run():
    # The GIL is let go for the numeric pass: a thread of the caller's gets to run meanwhile.
    packets = [bytes(range(i % 200, i % 200 + 16)) for i in range(200_000)]
    data, starts, lengths = laid_out(packets, 0)
    recipe = [item(f"v{k}", "unsigned", 16, at=8 * k) for k in range(8)]
    ticks = []
    stop = threading.Event()

    def tick():
        while not stop.is_set():
            ticks.append(1)

    ticker = threading.Thread(target=tick)
    ticker.start()
    try:
        before = len(ticks)
        columns = ta.unpack_columns(data, recipe, starts, lengths, threads=1)
        during = len(ticks) - before
    finally:
        stop.set()
        ticker.join()
    assert columns["v0"][199] == int.from_bytes(packets[199][:2], "big")
    assert during > 0


def test_threads_sharing_one_recipe_get_the_single_threaded_columns():
    recipe = [item("a", "unsigned", 12, at=4), item("b", "twos_complement", 16, order="little"),
              item("t", "utf8", 16), item("c", "ieee754_f32", 32, at=0)]
    packets = [bytes((i * 7 + k) % 0x7F for k in range(8)) for i in range(5000)]
    data, starts, lengths = laid_out(packets, 1)
    expected = ta.unpack_columns(data, recipe, starts, lengths, threads=1)
    results, errors = [], []

    def work():
        try:
            for _ in range(5):
                results.append(ta.unpack_columns(data, recipe, starts, lengths, threads=2))
        except BaseException as error:  # noqa: BLE001 - reported below
            errors.append(error)

    workers = [threading.Thread(target=work) for _ in range(4)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    assert errors == []
    assert len(results) == 20
    for got in results:
        assert all(np.array_equal(got[k], expected[k], equal_nan=expected[k].dtype.kind == "f") for k in expected)


def test_repeated_calls_leave_nothing_behind():
    recipe = [item("a", "unsigned", 16), item("t", "latin1", 16), item("bad", "bcd", 8, at=0)]
    data, starts, lengths = laid_out([b"\x01\x02\x41\x42"] * 50, 0)
    short = laid_out([b"\x05"] * 3, 0)
    names = [sys.getrefcount(it["name"]) for it in recipe]

    def work(times):
        for _ in range(times):
            ta.unpack_columns(data, recipe[:2], starts, lengths)
            with pytest.raises(ValueError):
                ta.unpack_columns(*short[:1], recipe, *short[1:])
            ta.space_packets(b"\x08\x0b\xc0\x00\x00\x00\x00" * 3)

    blocks, heap = growth(work, 2000, (200, 64 * 1024))
    assert blocks < 200 and heap < 64 * 1024, (blocks, heap)
    assert [sys.getrefcount(it["name"]) for it in recipe] == names


# ---------------------------------------------------------------------------------------------
# The space packet index.

def header(apid, count, data_length, version=0, type_=0, secondary=1, flags=3):
    return bytes([version << 5 | type_ << 4 | secondary << 3 | apid >> 8, apid & 0xFF, flags << 6 | count >> 8,
                  count & 0xFF, data_length >> 8, data_length & 0xFF])


def test_space_packets_splits_the_primary_header():
    stream = header(0x7FF, 0x3FFF, 0, type_=1, secondary=0, flags=1) + b"\x11" + header(5, 1, 2) + b"abc"
    index = ta.space_packets(stream)
    assert {k: v.tolist() for k, v in index.items()} == {
        "start": [0, 7], "length": [7, 9], "version": [0, 0], "type": [1, 0], "secondary_header": [0, 1],
        "apid": [0x7FF, 5], "sequence_flags": [1, 3], "sequence_count": [0x3FFF, 1], "data_length": [0, 2]}
    assert index["apid"].dtype == np.uint16 and index["start"].dtype == np.int64


# A header cut short lacks the rest of its header bytes (the packet's length is not known yet).
@pytest.mark.parametrize("cut, record, offset, missing", [(1, 0, 14, 1), (7, 0, 14, 4), (2, 3, 23, 2), (11, 3, 20, 8)])
def test_a_cut_off_last_packet_is_left_out_with_a_warning(cut, record, offset, missing):
    stream = (b"R" * record + header(1, 0, 0) + b"x") * 2
    stream += b"R" * record + header(1, 1, 2) + b"abc"
    stream = stream[:-cut]
    with pytest.warns(ta.TruncatedPacketWarning) as caught:
        index = ta.space_packets(stream, record_header_bytes=record)
    assert len(index["start"]) == 2
    assert str(caught[0].message) == (f"the stream ends inside the packet at byte {offset}: {missing} bytes missing; "
                                      "it is left out")
    assert issubclass(ta.TruncatedPacketWarning, UserWarning)


def test_a_header_no_space_packet_has_is_a_value_error_naming_its_offset():
    with pytest.raises(ValueError) as info:
        ta.space_packets(header(1, 0, 0) + b"x" + b"\xe0" + b"\x00" * 9)
    assert str(info.value) == "no space packet header at byte 7: version 7, where a space packet has 0"


@needs_telemetry
@pytest.mark.parametrize("name, record, packets, apids", [
    ("J01_G011_LZ_2021-04-09T00-00-00Z_V01.DAT1", 0, 7200, {11: 7200}),
    ("ccsds_2021_155_14_39_51", 0, 1499, {1: 104, 20: 6, 32: 104, 33: 1, 34: 1, 39: 1, 41: 1147, 42: 72, 47: 63}),
    ("sciData_2023_052_14_45_05", 0, 78, {1424: 78}),
    ("sciData_2022_130_17_41_53.spl", 4, 13, {1425: 13}),
])
def test_the_real_files_index_whole(name, record, packets, apids):
    data = (TELEMETRY / name).read_bytes()
    with warnings.catch_warnings():
        warnings.simplefilter("error", ta.TruncatedPacketWarning)
        index = ta.space_packets(data, record_header_bytes=record)
    assert len(index["start"]) == packets
    assert dict(zip(*(a.tolist() for a in np.unique(index["apid"], return_counts=True)))) == apids
    # Back to back behind their record headers, to the last byte.
    ends = index["start"] + index["length"]
    assert index["start"][0] == record and np.array_equal(index["start"][1:], ends[:-1] + record)
    assert ends[-1] == len(data)
    assert np.array_equal(index["length"], index["data_length"].astype(np.int64) + 7)
    if record:
        # SUDA's record headers: the bytes before each packet are the same 4 bytes of framing.
        framing = {data[s - record:s] for s in index["start"].tolist()}
        assert len(framing) <= packets


@needs_telemetry
def test_jpss1_decodes_to_its_hand_worked_values():
    path = TELEMETRY / "J01_G011_LZ_2021-04-09T00-00-00Z_V01.DAT1"
    raw = path.read_bytes()
    # The data field of APID 11: day, milliseconds and microseconds of the day (CCSDS day
    # segmented time), then the attitude and ephemeris words.
    recipe = [item("DOY", "unsigned", 16), item("MSEC", "unsigned", 32), item("USEC", "unsigned", 16),
              item("ADAESCID", "unsigned", 8), item("ADAET1DAY", "unsigned", 16),
              item("ADGPSPOSX", "ieee754_f32", 32, at=136), item("ADGPSPOSY", "ieee754_f32", 32),
              item("ADGPSPOSZ", "ieee754_f32", 32)]
    archive = ta.decode(path, {11: recipe, 99: [item("z", "unsigned", 8)]})
    table = archive[11]
    assert archive.packets == 7200 and archive.undecoded == {} and archive.truncated is None
    assert len(archive[99]["z"]) == 0 and archive[99]["z"].dtype == np.uint8
    assert list(table)[:7] == list(ta.HEADER_COLUMNS)
    # Packet 0 from the hex dump: 08 0b ca 2e 00 40 | 5a 45 | 00 00 00 07 | 00 89 | 9f | 5a ...
    assert raw[:16].hex() == "080bca2e00405a450000000700899f5a"
    assert (table["apid"][0], table["sequence_flags"][0], table["sequence_count"][0]) == (11, 3, 0x0A2E)
    assert (table["DOY"][0], table["MSEC"][0], table["USEC"][0], table["ADAESCID"][0]) == (0x5A45, 7, 0x89, 0x9F)
    assert table["ADAET1DAY"][0] == int.from_bytes(raw[15:17], "big")
    # Every packet: values read straight off the bytes.
    starts = np.arange(7200) * 71
    assert np.array_equal(table["MSEC"], [int.from_bytes(raw[s + 8:s + 12], "big") for s in starts])
    assert np.array_equal(table["ADGPSPOSX"], np.frombuffer(b"".join(raw[s + 23:s + 27] for s in starts), dtype=">f4"))
    # The GPS position, in metres: an orbit some 830 km above the Earth's 6371 km.
    radius = np.sqrt(sum(table[f"ADGPSPOS{axis}"].astype(np.float64) ** 2 for axis in "XYZ"))
    assert table["ADGPSPOSX"].dtype == np.float32 and np.all((7.1e6 < radius) & (radius < 7.3e6)), radius.min()
    # Sequence counts step by one, modulo 2^14.
    assert set(np.diff(table["sequence_count"].astype(np.int64)) % (1 << 14)) == {1}


@needs_telemetry
def test_suda_decodes_behind_its_record_headers():
    archive = ta.decode(TELEMETRY / "sciData_2022_130_17_41_53.spl", {1425: [item("word", "unsigned", 32)]},
                        record_header_bytes=4)
    data = (TELEMETRY / "sciData_2022_130_17_41_53.spl").read_bytes()
    index = ta.space_packets(data, record_header_bytes=4)
    assert archive.packets == 13
    assert archive[1425]["word"].tolist() == [int.from_bytes(data[s + 6:s + 10], "big") for s in index["start"].tolist()]


def test_decode_counts_the_apids_without_a_recipe_and_keeps_header_names_apart():
    stream = header(1, 0, 1) + b"\x01\x02" + header(2, 0, 0) + b"\x03" + header(2, 1, 0) + b"\x04"
    archive = ta.decode(stream, {1: [item("v", "unsigned", 16)]})
    assert archive[1]["v"].tolist() == [0x0102] and archive.undecoded == {2: 2} and archive.packets == 3
    with pytest.raises(ValueError, match="APID 1: the recipe's field 'apid' would replace the primary header's column"):
        ta.decode(stream, {1: [item("apid", "unsigned", 8)]})
    with pytest.raises(ValueError, match="an APID is an int from 0 to 2047, not 2048"):
        ta.decode(stream, {2048: []})
    # A packet's failure names it by its place in the stream, not among its APID's packets.
    with pytest.raises(ValueError, match=r"^packet 1 at byte 8: range end index 8 out of range"):
        ta.decode(stream, {2: [item("v", "unsigned", 8), item("w", "unsigned", 8)]})


def test_importing_without_numpy_says_what_to_install():
    code = "import sys; sys.modules['numpy'] = None\nimport tessel_archive"
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60,
                            env=dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p)))
    assert result.returncode != 0
    assert result.stderr.strip().splitlines()[-1] == (
        "ImportError: tessel_archive needs numpy: install it with pip install 'tessel[archive]' (or pip install numpy)")
