"""The cookbook in examples/: packet files decoded by tessel_archive into Parquet tables, one file
and many files through Dask (local threads and a local cluster), over files packed here and over
real flight packets.

The generated packets are first checked against an independent byte layout (struct, int.to_bytes,
str.encode), so the decoded tables can then be compared with the values that were packed.
"""
import struct
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import tessel
import tessel_archive

ROOT = Path(__file__).resolve().parents[1]
EXAMPLES = ROOT / "examples"
TELEMETRY = ROOT.parent / "shared" / "telemetry"
sys.path.insert(0, str(EXAMPLES))

import ccsds_decode as decode  # noqa: E402
import ccsds_generate as generate  # noqa: E402
import ccsds_parallel as parallel  # noqa: E402
import jpss1  # noqa: E402

RECIPES = generate.SAMPLE_RECIPES
IDLE = generate.IDLE_APID
TEXT_CODECS = {"us_ascii": "ascii", "utf8": "utf-8", "utf16be": "utf-16-be", "windows_1252": "cp1252"}
FLOAT_FORMATS = {"ieee754_f16": ">e", "ieee754_f32": ">f", "ieee754_f64": ">d"}


@pytest.fixture(scope="module")
def sample(tmp_path_factory):
    """A 300-packet file of three APIDs and idle packets, its recipes as JSON, and the packed rows."""
    folder = tmp_path_factory.mktemp("sample")
    path = folder / "sample.bin"
    rows = generate.write_packet_file(path, 300, seed=7)
    generate.write_recipes(folder / "recipes.json")
    return path, folder / "recipes.json", rows


@pytest.fixture
def pq():
    return pytest.importorskip("pyarrow.parquet", reason="Parquet tables need pyarrow (the cookbook extra)")


def rows_of(rows, apid):
    return [row for row in rows if row["apid"] == apid]


# ---- the packed file, checked without tessel -----------------------------------------------

def expected_field(item, value):
    """The field's bytes in the packet, from the stdlib and the field formats' definitions."""
    encoding, bits = item["encoding"], item["bits"]
    n = bits // 8
    if encoding == "unsigned":
        raw = value.to_bytes(n, "big")
    elif encoding == "twos_complement":
        raw = value.to_bytes(n, "big", signed=True)
    elif encoding == "ones_complement":
        raw = (value if value >= 0 else (1 << bits) - 1 + value).to_bytes(n, "big")
    elif encoding == "sign_magnitude":
        raw = (abs(value) | (value < 0) << (bits - 1)).to_bytes(n, "big")
    elif encoding == "packed_bcd":
        raw = bytes.fromhex(f"{value:0{2 * n}d}")
    elif encoding == "packed_bcd_signed":        # sign nibble C or D after the digits
        raw = bytes.fromhex(f"{abs(value):0{2 * n - 1}d}" + "cd"[value < 0])
    elif encoding == "bcd":
        raw = bytes(int(d) for d in f"{value:0{n}d}")
    elif encoding == "bcd_signed":               # EBCDIC zoned digits, the sign zone on the last
        digits = [int(d) for d in f"{abs(value):0{n}d}"]
        raw = bytes([0xF0 | d for d in digits[:-1]] + [(0xD0 if value < 0 else 0xC0) | digits[-1]])
    elif encoding in FLOAT_FORMATS:
        raw = struct.pack(FLOAT_FORMATS[encoding], value)
    else:
        raw = value.encode(TEXT_CODECS[encoding])
    assert len(raw) == n, (item, value)
    if item["reverse_bits"]:
        raw = int(format(int.from_bytes(raw, "big"), f"0{bits}b")[::-1], 2).to_bytes(n, "big")
    return raw[::-1] if item["byte_order"] == "little" else raw


def test_the_packed_file_has_the_layout_of_its_recipes(sample):
    path, _, rows = sample
    data = path.read_bytes()
    telemetry = iter(rows)
    position = index = 0
    while position < len(data):
        packet_id, sequence, length = struct.unpack_from(">HHH", data, position)
        packet = data[position:position + length + 7]
        position += len(packet)
        assert len(packet) == length + 7
        if index % generate.IDLE_EVERY == generate.IDLE_EVERY - 1:
            assert packet_id == IDLE and sequence >> 14 == 3 and packet[6:] == b"\x55" * (length + 1)
        else:
            row = next(telemetry)
            assert packet_id == (row["version"] << 13 | row["type"] << 12 | row["secondary_header"] << 11
                                 | row["apid"])
            assert sequence == row["sequence_flags"] << 14 | row["sequence_count"]
            assert length == row["data_length"]
            written = bytearray(length + 1)
            at = 0
            for item in RECIPES[row["apid"]]:
                at = item.get("offset_bits", at)
                field = expected_field(item, row[item["name"]])
                written[at // 8:at // 8 + len(field)] = field
                at += item["bits"]
            assert packet[6:] == written, (index, row)
        index += 1
    assert index == 300 and next(telemetry, None) is None


def test_sequence_counts_run_per_apid(sample):
    counts = {}
    for row in sample[2]:
        assert row["sequence_count"] == counts.get(row["apid"], 0)
        counts[row["apid"]] = row["sequence_count"] + 1
    assert sorted(counts) == sorted(RECIPES)


# ---- one file into Parquet tables -----------------------------------------------------------

def read_tables(pq, folder):
    return {int(p.name[5:9]): pq.read_table(p) for p in sorted(Path(folder).glob("apid_*.parquet"))}


def test_tables_give_back_every_packed_value(sample, tmp_path, pq):
    path, _, rows = sample
    summary = decode.decode_file(path, RECIPES, tmp_path)
    assert (summary.packets, summary.rows, summary.undecoded, summary.truncated_at) == (
        300, {16: 90, 165: 90, 962: 90}, {IDLE: 30}, None)
    tables = read_tables(pq, tmp_path)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["apid_0016.parquet", "apid_0165.parquet", "apid_0962.parquet"]
    assert summary.tables == {apid: str(tmp_path / f"apid_{apid:04d}.parquet") for apid in RECIPES}
    for apid, table in tables.items():
        assert table.column_names == [*tessel_archive.HEADER_COLUMNS, *(item["name"] for item in RECIPES[apid])]
        assert table.to_pylist() == rows_of(rows, apid)
    # each column keeps the dtype tessel_archive gives it
    types = {name: str(tables[16].schema.field(name).type) for name in
             ("apid", "sequence_count", "coarse_time", "board_temp", "bus_voltage", "heater_current", "mode")}
    assert types == {"apid": "uint16", "sequence_count": "uint16", "coarse_time": "uint32", "board_temp": "int16",
                     "bus_voltage": "float", "heater_current": "float", "mode": "string"}
    assert (str(tables[165].schema.field("q1").type), str(tables[962].schema.field("orbit").type)) == ("double", "int32")


@pytest.mark.parametrize("batch_packets", [1, 7, 90])
def test_a_table_in_batches_is_the_same_table(sample, tmp_path, pq, batch_packets):
    path, _, rows = sample
    decode.decode_file(path, RECIPES, tmp_path, batch_packets=batch_packets)
    for apid, table in read_tables(pq, tmp_path).items():
        assert table.to_pylist() == rows_of(rows, apid)
        assert pq.ParquetFile(tmp_path / f"apid_{apid:04d}.parquet").num_row_groups == -(-90 // batch_packets)


def test_record_headers_before_every_packet(sample, tmp_path, pq):
    path, _, rows = sample
    data = path.read_bytes()
    index = tessel_archive.space_packets(data)
    with_records = b"".join(b"REC%c" % (i & 0xFF) + data[s:s + n]
                            for i, (s, n) in enumerate(zip(index["start"], index["length"])))
    (tmp_path / "records.bin").write_bytes(with_records)
    out = tmp_path / "out"
    out.mkdir()
    summary = decode.decode_file(tmp_path / "records.bin", RECIPES, out, record_header_bytes=4)
    assert (summary.packets, summary.undecoded) == (300, {IDLE: 30})
    for apid, table in read_tables(pq, out).items():
        assert table.to_pylist() == rows_of(rows, apid)


def test_an_apid_without_packets_gets_an_empty_typed_table(sample, tmp_path, pq):
    path, _, _ = sample
    summary = decode.decode_file(path, {16: RECIPES[16], 300: RECIPES[962]}, tmp_path)
    assert summary.rows == {16: 90, 300: 0}
    assert summary.undecoded == {165: 90, 962: 90, IDLE: 30}
    empty = pq.read_table(tmp_path / "apid_0300.parquet")
    assert empty.num_rows == 0
    assert (str(empty.schema.field("orbit").type), str(empty.schema.field("note").type)) == ("int32", "string")


def item(name, bits=8, **more):
    return {"name": name, "encoding": "unsigned", "bits": bits, "byte_order": "big", "reverse_bits": False, **more}


def run_cli(*args):
    return subprocess.run([sys.executable, str(EXAMPLES / "ccsds_decode.py"), *map(str, args)],
                          capture_output=True, text=True, timeout=120)


def test_the_command_line_writes_the_same_tables(sample, tmp_path, pq):
    path, recipes, rows = sample
    result = run_cli(path, "--recipes", recipes, "-o", tmp_path, "--no-progress")
    assert result.returncode == 0, result.stderr
    assert result.stderr == f"{path}: 270 of 300 packets decoded; no recipe for APID 2047 (30)\n"
    for apid, table in read_tables(pq, tmp_path).items():
        assert table.to_pylist() == rows_of(rows, apid)


@pytest.mark.parametrize("recipes, message", [
    ('{"16": [{"name": "x", "encoding": "no_such", "bits": 8, "byte_order": "big", "reverse_bits": false}]}',
     "{unpack}"),
    ('{"eleven": []}', "{path}: invalid literal for int() with base 0: 'eleven'"),
    ('{"11": [}', "{path}: Expecting value: line 1 column 9 (char 8)"),
    ('[[]]', "{path}: expected an object from APID to recipe"),
])
def test_the_command_line_reports_bad_input_without_a_traceback(sample, tmp_path, pq, recipes, message):
    path, _, _ = sample
    (tmp_path / "bad.json").write_text(recipes)
    out = tmp_path / "out"
    out.mkdir()
    result = run_cli(path, "--recipes", tmp_path / "bad.json", "-o", out)
    if message == "{unpack}":
        with pytest.raises(ValueError) as refused:
            tessel.unpack_parameters(bytes(64), 48, [{"name": "x", "encoding": "no_such", "bits": 8,
                                                      "byte_order": "big", "reverse_bits": False}])
        message = str(refused.value)
    assert (result.returncode, result.stdout) == (1, "")
    assert result.stderr == f"ccsds_decode.py: {message.format(path=tmp_path / 'bad.json')}\n"
    assert list(out.iterdir()) == []


def test_recipes_from_json_take_decimal_and_hex_apids(tmp_path):
    (tmp_path / "r.json").write_text('{"0x10": [{"name": "a"}], "5": []}')
    assert decode.load_recipes(tmp_path / "r.json") == {16: [{"name": "a"}], 5: []}


# ---- progress bar ---------------------------------------------------------------------------

@pytest.mark.parametrize("progress, long_from, shown", [
    (None, 1 << 30, False),   # a short file: no bar unless asked
    (None, 1, True),          # a long one
    (False, 1, False),
    (True, 1 << 30, True),
])
def test_progress_bar_on_long_files(sample, tmp_path, capsys, monkeypatch, pq, progress, long_from, shown):
    pytest.importorskip("tqdm", reason="the progress bar needs tqdm (the cookbook extra)")
    monkeypatch.setattr(decode, "LONG_FILE_BYTES", long_from)
    path, _, rows = sample
    decode.decode_file(path, RECIPES, tmp_path, progress=progress, batch_packets=30)
    err = capsys.readouterr().err
    # the bar counts the bytes of decoded packets: all but the idle ones
    done = sum(int(n) for n, a in zip(*(lambda i: (i["length"], i["apid"]))(
        tessel_archive.space_packets(path.read_bytes()))) if a != IDLE)
    assert (f"{done / 1000:.1f}k/{path.stat().st_size / 1000:.1f}k" in err) == shown, err
    assert read_tables(pq, tmp_path)[16].to_pylist() == rows_of(rows, 16)


def test_without_tqdm_a_long_file_decodes_and_a_bar_asked_for_is_refused(sample, tmp_path, monkeypatch, pq):
    monkeypatch.setitem(sys.modules, "tqdm", None)
    monkeypatch.setattr(decode, "LONG_FILE_BYTES", 1)
    path, _, rows = sample
    decode.decode_file(path, {16: RECIPES[16]}, tmp_path)
    assert read_tables(pq, tmp_path)[16].to_pylist() == rows_of(rows, 16)
    (tmp_path / "apid_0016.parquet").unlink()
    with pytest.raises(ModuleNotFoundError, match=r"^the progress bar needs tqdm \(pip install tqdm\)$"):
        decode.decode_file(path, RECIPES, tmp_path, progress=True)
    assert list(tmp_path.iterdir()) == []


# ---- cut-off streams and failures -----------------------------------------------------------

def first_packets(sample, count):
    data = sample[0].read_bytes()
    ends, position = [], 0
    for _ in range(count):
        position += struct.unpack_from(">H", data, position + 4)[0] + 7
        ends.append(position)
    return data, ends


@pytest.mark.parametrize("cut, kept, missing", [
    (lambda ends: ends[1], 2, None),
    (lambda ends: ends[1] + 3, 2, 3),                              # inside the next header
    (lambda ends: ends[2] - 1, 2, 1),                              # one byte short
    (lambda ends: 0, 0, None),
])
def test_a_stream_cut_inside_a_packet(sample, tmp_path, pq, cut, kept, missing):
    data, ends = first_packets(sample, 3)
    (tmp_path / "cut.bin").write_bytes(data[:cut(ends)])
    out = tmp_path / "out"
    out.mkdir()
    if missing is None:
        summary = decode.decode_file(tmp_path / "cut.bin", RECIPES, out)
    else:
        with pytest.warns(tessel_archive.TruncatedPacketWarning,
                          match=rf"^the stream ends inside the packet at byte {ends[1]}: {missing} bytes missing"):
            summary = decode.decode_file(tmp_path / "cut.bin", RECIPES, out)
    assert (summary.packets, summary.truncated_at) == (kept, None if missing is None else ends[1])
    decoded = [row for table in read_tables(pq, out).values() for row in table.to_pylist()]
    assert sorted(decoded, key=lambda r: r["apid"]) == sorted(sample[2][:kept], key=lambda r: r["apid"])


@pytest.mark.parametrize("damage, error, message", [
    # housekeeping boot count, packed decimal: A is no digit
    (lambda packet: packet[:28] + b"\x00\x1a" + packet[30:], ValueError,
     r"^packet 1 at byte {at}: ValueError: .*digit"),
    # a data length that leaves the recipe short
    (lambda packet: packet[:4] + struct.pack(">H", 19) + packet[6:26], ValueError,
     r"^packet 1 at byte {at}: .*"),
    # a version no space packet has
    (lambda packet: b"\xe0" + packet[1:], ValueError, r"byte {at}"),
])
def test_a_failed_file_leaves_no_table(sample, tmp_path, pq, damage, error, message):
    data, ends = first_packets(sample, 3)
    housekeeping, attitude = data[:ends[0]], data[ends[0]:ends[1]]
    assert struct.unpack_from(">H", housekeeping)[0] & 0x7FF == 16
    # the damaged housekeeping packet second, behind a good packet of another APID
    (tmp_path / "bad.bin").write_bytes(attitude + damage(housekeeping) + data[ends[1]:])
    out = tmp_path / "out"
    out.mkdir()
    with pytest.raises(error, match=message.format(at=len(attitude))):
        decode.decode_file(tmp_path / "bad.bin", RECIPES, out)
    assert list(out.iterdir()) == []


# ---- many files: a dask.dataframe a APID, one partition a file -------------------------------

@pytest.fixture(scope="module")
def files(tmp_path_factory):
    folder = tmp_path_factory.mktemp("files")
    rows = {}
    for seed in (1, 2, 3):
        path = folder / f"pass{seed}.bin"
        rows[str(path)] = generate.write_packet_file(path, 100, seed=seed)
    return rows


def check_datasets(pq, files, rows_written, out_dir):
    assert rows_written == {16: 30 * 3, 165: 30 * 3, 962: 30 * 3}
    for apid in RECIPES:
        parts = sorted(Path(out_dir, f"apid_{apid:04d}").glob("*.parquet"), key=lambda p: int(p.stem.split(".")[-1]))
        assert len(parts) == len(files)
        for part, rows in zip(parts, files.values()):   # one part a file, in the files' order
            assert pq.read_table(part).to_pylist() == rows_of(rows, apid)


def test_dask_dataframes_one_partition_a_file(files, tmp_path, pq):
    pytest.importorskip("dask.dataframe", reason="the Dask recipe needs dask[dataframe] (the cookbook extra)")
    frames = parallel.frames(list(files), RECIPES)
    assert {apid: frame.npartitions for apid, frame in frames.items()} == {16: 3, 165: 3, 962: 3}
    assert list(frames[962].columns) == [*tessel_archive.HEADER_COLUMNS, *(i["name"] for i in RECIPES[962])]
    assert frames[16]["board_temp"].dtype == np.int16
    rows = parallel.write_parquet(list(files), RECIPES, tmp_path, scheduler="threads")
    check_datasets(pq, files, rows, tmp_path)


def test_dask_distributed_local_cluster(files, tmp_path, pq):
    pytest.importorskip("dask.distributed", reason="the cluster recipe needs dask[distributed] (the cookbook extra)")
    rows = parallel.write_parquet_distributed(list(files), RECIPES, tmp_path, n_workers=2, threads_per_worker=1,
                                              processes=True)
    check_datasets(pq, files, rows, tmp_path)


def test_the_work_is_checked_before_any_file_is_read(files, tmp_path):
    pytest.importorskip("dask.dataframe", reason="the Dask recipe needs dask[dataframe] (the cookbook extra)")
    with pytest.raises(NotADirectoryError, match=f"^output folder {tmp_path}/nowhere does not exist$"):
        parallel.write_parquet(list(files), RECIPES, tmp_path / "nowhere")
    bad = [{"name": "a", "encoding": "no_such", "bits": 8, "byte_order": "big", "reverse_bits": False}]
    with pytest.raises(ValueError) as refused:
        tessel.unpack_parameters(bytes(8), 0, bad)
    with pytest.raises(ValueError) as caught:
        parallel.frames(["/no/such/file"], {16: bad})
    assert str(caught.value) == str(refused.value)


# ---- real flight packets --------------------------------------------------------------------

real_data = pytest.mark.skipif(not TELEMETRY.is_dir(), reason=f"no real packet files: {TELEMETRY} is absent "
                               "(another project's test data, kept outside the repository)")
JPSS1 = TELEMETRY / "J01_G011_LZ_2021-04-09T00-00-00Z_V01.DAT1"


def struct_row(packet):
    """A JPSS-1 packet decoded with struct alone, laid out from the XTCE by hand."""
    values = struct.unpack(">HHH HIH B HIH 3f 3f HIH 4f", packet)
    names = ["packet_id", "sequence", "data_length"] + [item["name"] for item in jpss1.RECIPE]
    row = dict(zip(names, values))
    packet_id, sequence = row.pop("packet_id"), row.pop("sequence")
    return {"version": packet_id >> 13, "type": packet_id >> 12 & 1, "secondary_header": packet_id >> 11 & 1,
            "apid": packet_id & 0x7FF, "sequence_flags": sequence >> 14, "sequence_count": sequence & 0x3FFF, **row}


@real_data
def test_jpss1_packets_decode_to_the_values_worked_out_by_hand(tmp_path, pq):
    summary = decode.decode_file(JPSS1, jpss1.RECIPES, tmp_path)
    assert (summary.packets, summary.rows, summary.undecoded) == (7200, {11: 7200}, {})
    rows = pq.read_table(tmp_path / "apid_0011.parquet").to_pylist()
    table = tessel_archive.decode(JPSS1, jpss1.RECIPES)[11]
    first = rows[0]
    # First packet: 080B CA2E 0040 | 5A45 00000007 0089 | 9F | 5A45 0000001E 03AD | 4AC2FF7F ...
    assert {k: first[k] for k in tessel_archive.HEADER_COLUMNS} == {
        "version": 0, "type": 0, "secondary_header": 1, "apid": 11,   # 0x080B = 000 0 1 00000001011
        "sequence_flags": 3, "sequence_count": 2606, "data_length": 64}  # 0xCA2E = 11 00101000101110
    assert (first["DOY"], first["MSEC"], first["USEC"], first["ADAESCID"]) == (23109, 7, 137, 159)
    assert (first["ADAET1DAY"], first["ADAET1MS"], first["ADAET1US"]) == (23109, 30, 941)
    # 0x4AC2FF7F: exponent 0x95 - 127 = 22, significand 0xC2FF7F / 2**23, so 0xC2FF7F / 2
    assert first["ADGPSPOSX"] == 6389695.5
    # 0x4514F876: exponent 0x8A - 127 = 11, so 0x94F876 / 2**12
    assert first["ADGPSVELX"] == 2383.52880859375
    # Ephemeris at 30.941 ms into 2021-04-09, the day the file is named for; attitude 100 ms before.
    times = jpss1.ephemeris_time(table)
    assert times[0] == np.datetime64("2021-04-09T00:00:00.030941")
    assert (first["ADAET2DAY"], first["ADAET2MS"]) == (0x5A44, 0x05265BBA)
    assert jpss1.attitude_time(table)[0] == np.datetime64("2021-04-08T23:59:59.930941")

    data = JPSS1.read_bytes()
    for index in (0, 1, 3600, 7199):
        assert rows[index] == struct_row(data[71 * index:71 * (index + 1)]), index
    assert [r["sequence_count"] for r in rows] == [(2606 + i) % 16384 for i in range(7200)]
    radius, speed = jpss1.radius_km(table), jpss1.speed_km_s(table)
    assert np.all((7100 < radius) & (radius < 7300)) and np.all((7.4 < speed) & (speed < 7.6))
    assert np.allclose(jpss1.quaternion_norm(table), 1.0, rtol=0, atol=1e-5)
    assert np.all(times.astype("datetime64[D]") == np.datetime64("2021-04-09"))


@real_data
def test_jpss1_file_through_the_command_line(tmp_path, pq):
    generate.write_recipes(tmp_path / "jpss1.json", jpss1.RECIPES)
    result = run_cli(JPSS1, "--recipes", tmp_path / "jpss1.json", "-o", tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stderr == f"{JPSS1}: 7200 of 7200 packets decoded\n"
    (tmp_path / "lib").mkdir()
    decode.decode_file(JPSS1, jpss1.RECIPES, tmp_path / "lib")
    assert pq.read_table(tmp_path / "apid_0011.parquet").equals(pq.read_table(tmp_path / "lib" / "apid_0011.parquet"))


@real_data
def test_jpss1_account_on_the_command_line():
    result = subprocess.run([sys.executable, str(EXAMPLES / "jpss1.py"), str(JPSS1)], capture_output=True, text=True,
                            timeout=120)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[1] == "ephemeris from 2021-04-09T00:00:00.030941 to " + str(
        jpss1.ephemeris_time(tessel_archive.decode(JPSS1, jpss1.RECIPES)[11])[-1])
    assert lines[2].startswith("orbit radius 7") and lines[2].endswith(" km/s")
    low, high = map(float, lines[3].removeprefix("attitude quaternion norm ").split(" to "))
    assert 1 - 1e-5 < low <= high < 1 + 1e-5
