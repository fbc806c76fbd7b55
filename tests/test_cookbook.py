"""The cookbook in examples/: packet files split, decoded and written as tables, on one core, on
every core and on a Dask cluster, over a file packed here and over real flight packets.

The generated packets are first checked against an independent byte layout (struct, int.to_bytes,
str.encode), so the decoded tables can then be compared with the values that were packed.
"""
import csv
import datetime
import io
import math
import pickle
import struct
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import tessel

ROOT = Path(__file__).resolve().parents[1]
EXAMPLES = ROOT / "examples"
TELEMETRY = ROOT.parent / "shared" / "telemetry"
sys.path.insert(0, str(EXAMPLES))

import ccsds_decode as decode  # noqa: E402
import ccsds_generate as generate  # noqa: E402
import ccsds_parallel as parallel  # noqa: E402
import jpss1  # noqa: E402
import xtce_recipes  # noqa: E402

RECIPES = generate.SAMPLE_RECIPES
COLUMNS = decode.RecipeTable(RECIPES).columns
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


def has_pyarrow():
    try:
        import pyarrow.parquet  # noqa: F401
    except ImportError:
        return False
    return True


def csv_rows(path):
    with open(path, newline="", encoding="utf-8") as f:
        reader = csv.DictReader(f)
        return reader.fieldnames, list(reader)


def as_csv(rows):
    return [{column: str(row.get(column, "")) for column in COLUMNS} for row in rows]


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
            assert packet_id == (row["version"] << 13 | row["type"] << 12 | row["sec_hdr_flag"] << 11 | row["apid"])
            assert sequence == row["seq_flags"] << 14 | row["seq_count"]
            assert length == row["packet_length"]
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
        assert row["seq_count"] == counts.get(row["apid"], 0)
        counts[row["apid"]] = row["seq_count"] + 1
    assert sorted(counts) == sorted(RECIPES)


# ---- one file on one core -------------------------------------------------------------------

def test_rows_give_back_every_packed_value(sample):
    path, _, rows = sample
    decoded, stats = decode.read_rows(path, RECIPES)
    assert decoded == rows
    assert (stats.packets, stats.rows, dict(stats.skipped)) == (300, 270, {IDLE: 30})
    assert stats.fields == sum(7 + len(RECIPES[row["apid"]]) for row in rows)
    assert stats.bytes == path.stat().st_size


def test_csv_table_holds_the_packed_values(sample, tmp_path):
    path, _, rows = sample
    stats = decode.decode_file(path, RECIPES, csv_path=tmp_path / "t.csv")
    columns, table = csv_rows(tmp_path / "t.csv")
    assert tuple(columns) == COLUMNS
    assert table == as_csv(rows)
    assert stats.rows == len(rows)
    assert [p.name for p in tmp_path.iterdir()] == ["t.csv"]


def test_parquet_table_holds_the_packed_values(sample, tmp_path):
    pq = pytest.importorskip("pyarrow.parquet", reason="Parquet tables need pyarrow (the cookbook extra)")
    path, _, rows = sample
    decode.decode_file(path, RECIPES, csv_path=tmp_path / "t.csv", parquet_path=tmp_path / "t.parquet")
    table = pq.read_table(tmp_path / "t.parquet")
    assert table.column_names == list(COLUMNS)
    assert table.to_pylist() == [{column: row.get(column) for column in COLUMNS} for row in rows]
    types = {name: str(table.schema.field(name).type) for name in
             ("apid", "coarse_time", "board_temp", "bus_voltage", "heater_current", "q1", "orbit", "message")}
    assert types == {"apid": "uint16", "coarse_time": "uint64", "board_temp": "int64", "bus_voltage": "float",
                     "heater_current": "float", "q1": "double", "orbit": "int64", "message": "string"}
    assert csv_rows(tmp_path / "t.csv")[1] == as_csv(rows)


def test_the_command_line_writes_the_same_table(sample, tmp_path):
    path, recipes, rows = sample
    result = subprocess.run([sys.executable, str(EXAMPLES / "ccsds_decode.py"), str(path), "--recipes", str(recipes),
                             "-o", str(tmp_path / "cli.csv"), "--no-progress"],
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    fields = sum(7 + len(RECIPES[row["apid"]]) for row in rows)
    assert result.stderr == (f"{path}: 270 of 300 packets decoded, {fields} fields, {path.stat().st_size} bytes; "
                             "no recipe for APID 2047 (30)\n")
    assert csv_rows(tmp_path / "cli.csv")[1] == as_csv(rows)


def test_the_command_line_reports_bad_input_without_a_traceback(sample, tmp_path):
    path, _, _ = sample
    (tmp_path / "bad.json").write_text('{"16": [{"name": "x", "encoding": "unsigned", "bits": 12, '
                                       '"byte_order": "big", "reverse_bits": false}]}')
    result = subprocess.run([sys.executable, str(EXAMPLES / "ccsds_decode.py"), str(path),
                             "--recipes", str(tmp_path / "bad.json")], capture_output=True, text=True, timeout=60)
    assert result.returncode == 1 and result.stdout == ""
    assert result.stderr.startswith(f"ccsds_decode.py: {tmp_path / 'bad.json'}: APID 16: field 'x' takes bits 0 to 11")


# ---- progress bar ---------------------------------------------------------------------------

@pytest.mark.parametrize("progress, long_from, shown", [
    (None, 1 << 30, False),   # a short file: no bar unless asked
    (None, 1, True),          # a long one
    (False, 1, False),
    (True, 1 << 30, True),
])
def test_progress_bar_on_long_files(sample, tmp_path, capsys, monkeypatch, progress, long_from, shown):
    pytest.importorskip("tqdm", reason="the progress bar needs tqdm (the cookbook extra)")
    monkeypatch.setattr(decode, "LONG_FILE_BYTES", long_from)
    path, _, rows = sample
    decode.decode_file(path, RECIPES, csv_path=tmp_path / "t.csv", progress=progress)
    err = capsys.readouterr().err
    size = path.stat().st_size
    assert (f"{size / 1000:.1f}k/{size / 1000:.1f}k" in err and "100%" in err) == shown, err
    assert csv_rows(tmp_path / "t.csv")[1] == as_csv(rows)


def test_without_tqdm_a_long_file_decodes_and_a_bar_asked_for_is_refused(sample, tmp_path, monkeypatch):
    monkeypatch.setitem(sys.modules, "tqdm", None)
    monkeypatch.setattr(decode, "LONG_FILE_BYTES", 1)
    path, _, rows = sample
    decode.decode_file(path, RECIPES, csv_path=tmp_path / "t.csv")
    assert csv_rows(tmp_path / "t.csv")[1] == as_csv(rows)
    with pytest.raises(ModuleNotFoundError, match=r"^the progress bar needs tqdm \(pip install tqdm\)$"):
        decode.decode_file(path, RECIPES, csv_path=tmp_path / "u.csv", progress=True)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["t.csv"]


# ---- splitting and failures -----------------------------------------------------------------

def first_packets(sample, count):
    data = sample[0].read_bytes()
    ends, position = [], 0
    for _ in range(count):
        position += struct.unpack_from(">H", data, position + 4)[0] + 7
        ends.append(position)
    return data, ends


@pytest.mark.parametrize("cut, kept, message", [
    (lambda ends: ends[1], 2, None),
    (lambda ends: ends[1] + 3, 2, "packet at byte {at}: the stream ends after 3 of its 6 header bytes"),
    (lambda ends: ends[1] + 6, 2, "packet at byte {at}: its header gives {size} bytes, the stream ends after 6"),
    (lambda ends: ends[2] - 1, 2, "packet at byte {at}: its header gives {size} bytes, the stream ends after {short}"),
    (lambda ends: 0, 0, None),
])
def test_a_stream_cut_inside_a_packet(sample, cut, kept, message):
    data, ends = first_packets(sample, 3)
    stream = data[:cut(ends)]
    rows = sample[2][:kept]
    stats = decode.DecodeStats()
    assert list(decode.decode_rows(io.BytesIO(stream), RECIPES, stats=stats, allow_truncated=True)) == rows
    assert stats.truncated_at == (None if message is None else ends[1])
    if message is None:
        return
    size = ends[2] - ends[1]
    with pytest.raises(decode.TruncatedPacketError) as caught:
        list(decode.decode_rows(io.BytesIO(stream), RECIPES))
    assert str(caught.value) == message.format(at=ends[1], size=size, short=size - 1)
    assert caught.value.offset == ends[1]
    copy = pickle.loads(pickle.dumps(caught.value))
    assert (type(copy), str(copy), copy.offset) == (decode.TruncatedPacketError, str(caught.value), ends[1])


def test_a_failed_file_leaves_no_table(sample, tmp_path):
    data, ends = first_packets(sample, 2)
    (tmp_path / "cut.bin").write_bytes(data[:ends[1] - 1])
    out = tmp_path / "out"
    out.mkdir()
    with pytest.raises(decode.TruncatedPacketError):
        decode.decode_file(tmp_path / "cut.bin", RECIPES, csv_path=out / "t.csv",
                           parquet_path=out / "t.parquet" if has_pyarrow() else None)
    assert list(out.iterdir()) == []


def test_a_packet_shorter_than_its_recipe_is_a_value_error(sample):
    data, ends = first_packets(sample, 1)
    short = data[:4] + struct.pack(">H", 19) + data[6:26]   # housekeeping packets are 34 bytes
    with pytest.raises(ValueError, match=r"^packet 0 at byte 0 \(APID 16\) has 26 bytes; its recipe needs 34$"):
        list(decode.decode_rows(io.BytesIO(short), RECIPES))


def test_a_field_that_fails_to_decode_names_its_packet(sample):
    data, ends = first_packets(sample, 1)
    bad = bytearray(data[:ends[0]])
    bad[6 + 22:6 + 24] = b"\x00\x1a"   # housekeeping boot count, packed decimal: A is no digit
    with pytest.raises(ValueError) as inner:
        tessel.decode_packed_bcd(0x1A, 16)
    with pytest.raises(ValueError) as caught:
        list(decode.decode_rows(io.BytesIO(data[:ends[0]] + bad), RECIPES))
    assert str(caught.value) == f"packet 1 at byte {ends[0]} (APID 16): ValueError: {inner.value}"


# ---- recipe tables --------------------------------------------------------------------------

def item(name, bits=8, **more):
    return {"name": name, "encoding": "unsigned", "bits": bits, "byte_order": "big", "reverse_bits": False, **more}


@pytest.mark.parametrize("recipes, error, message", [
    ({2048: []}, ValueError, "APID must be an int from 0 to 2047, not 2048"),
    ({"16": []}, ValueError, "APID must be an int from 0 to 2047, not '16'"),
    ({16: "abc"}, TypeError, "APID 16: a recipe is a list of dicts, not str"),
    ({16: [["a"]]}, TypeError, "APID 16, item 0: a recipe item is a dict, not list"),
    ({16: [{"name": "a", "encoding": "unsigned"}]}, ValueError,
     "APID 16, item 0: missing 'bits', 'byte_order', 'reverse_bits'"),
    ({16: [item(7)]}, TypeError, "APID 16, item 0: name must be a str, not int"),
    ({16: [item("a", -8)]}, ValueError, "APID 16, item 0 ('a'): bits must be an int from 0 to 4294967295, not -8"),
    ({16: [item("a", True)]}, ValueError, "APID 16, item 0 ('a'): bits must be an int from 0 to 4294967295, not True"),
    ({16: [item("a", offset_bits=None)]}, ValueError,
     "APID 16, item 0 ('a'): offset_bits must be an int from 0 to 4294967295, not None"),
    ({16: [item("a", 12)]}, ValueError, "APID 16: field 'a' takes bits 0 to 11 of the data field; the unpacker "
     "reads whole bytes, so a field must start on a byte boundary and span whole bytes (read the enclosing "
     "bytes and split them)"),
    ({16: [item("a", 4), item("b", 4)]}, ValueError, "APID 16: field 'a' takes bits 0 to 3"),
    ({16: [item("a"), item("b", offset_bits=20)]}, ValueError, "APID 16: field 'b' takes bits 20 to 27"),
    ({16: [item("a"), item("a")]}, ValueError, "APID 16: column 'a' appears twice in a row"),
    ({16: [item("seq_count", 16)]}, ValueError, "APID 16: column 'seq_count' appears twice in a row"),
])
def test_recipe_tables_refuse_what_would_misread(recipes, error, message):
    with pytest.raises(error) as caught:
        decode.RecipeTable(recipes)
    assert str(caught.value).startswith(message)


@pytest.mark.parametrize("recipe, packet_bytes", [
    ([], 6),
    ([item("a", 0)], 6),
    ([item("a", 16), item("b", 32)], 12),
    ([item("a", offset_bits=64), item("b")], 16),     # b follows a, after the gap
    ([item("a", offset_bits=64), item("b", offset_bits=8)], 15),
    ([item("a", 64), item("b", offset_bits=0)], 14),  # b reads the start again; a sets the length
])
def test_the_shortest_packet_a_recipe_fits(recipe, packet_bytes):
    assert decode.layout(1, recipe).packet_bytes == packet_bytes


def test_a_table_takes_its_own_copy_of_the_recipes():
    recipe = [item("a", 16)]
    table = decode.RecipeTable({3: recipe})
    recipe[0]["bits"] = 12
    recipe.append(item("b"))
    assert table.recipes() == {3: [item("a", 16)]}
    assert table.columns == decode.HEADER_COLUMNS + ("a",)


def test_recipes_from_json_take_decimal_and_hex_apids(tmp_path):
    (tmp_path / "r.json").write_text('{"0x10": [{"name": "a", "encoding": "unsigned", "bits": 8, '
                                     '"byte_order": "big", "reverse_bits": false}], "5": []}')
    assert decode.RecipeTable.from_json(tmp_path / "r.json").recipes() == {5: [], 16: [item("a")]}


@pytest.mark.parametrize("text, error, message", [
    ('{"eleven": []}', ValueError, "invalid literal for int() with base 0: 'eleven'"),
    ('{"11": [}', ValueError, "Expecting value: line 1 column 9 (char 8)"),
    ('[[]]', ValueError, "expected an object from APID to recipe"),
    ('{"11": [7]}', TypeError, "APID 11, item 0: a recipe item is a dict, not int"),
])
def test_a_bad_recipes_file_is_named_in_its_error(tmp_path, text, error, message):
    (tmp_path / "bad.json").write_text(text)
    with pytest.raises(error) as caught:
        decode.RecipeTable.from_json(tmp_path / "bad.json")
    assert str(caught.value) == f"{tmp_path / 'bad.json'}: {message}"


def test_a_column_keeps_one_type_in_parquet():
    pytest.importorskip("pyarrow", reason="Parquet tables need pyarrow (the cookbook extra)")
    recipes = {1: [item("x", 16)], 2: [dict(item("x", 32), encoding="ieee754_f32")]}
    with pytest.raises(ValueError, match=r"^column 'x' is uint64 for one APID and float for APID 2$"):
        decode.arrow_schema(recipes)


# ---- many files: every core, and Dask -------------------------------------------------------

@pytest.fixture(scope="module")
def files(tmp_path_factory):
    folder = tmp_path_factory.mktemp("files")
    rows = {}
    for seed in (1, 2, 3):
        path = folder / f"pass{seed}.bin"
        rows[str(path)] = generate.write_packet_file(path, 100, seed=seed)
    return rows


def check_summaries(files, summaries, out_dir, parquet=False):
    assert [s["path"] for s in summaries] == list(files)
    for summary, (path, rows) in zip(summaries, files.items()):
        assert (summary["packets"], summary["rows"], summary["skipped"]) == (100, 90, {IDLE: 10})
        assert summary["csv"] == str(Path(out_dir, Path(path).name + ".csv"))
        assert csv_rows(summary["csv"])[1] == as_csv(rows)
        if parquet:
            import pyarrow.parquet as pq
            assert pq.read_table(summary["parquet"]).to_pylist() == [{c: r.get(c) for c in COLUMNS} for r in rows]


def test_every_core_with_a_process_pool(files, tmp_path):
    summaries = parallel.decode_files_pool(list(files), RECIPES, tmp_path, processes=2, parquet=has_pyarrow())
    check_summaries(files, summaries, tmp_path, parquet=has_pyarrow())


def test_workers_need_only_the_import_to_run_tessel(files):
    # tessel's functions pickle by name: a worker gets the module's own function back.
    assert pickle.loads(pickle.dumps(tessel.unpack_parameters)) is tessel.unpack_parameters
    path, rows = next(iter(files.items()))
    data = Path(path).read_bytes()
    args, position = [], 0
    while position < len(data):
        end = position + struct.unpack_from(">H", data, position + 4)[0] + 7
        apid = struct.unpack_from(">H", data, position)[0] & 0x7FF
        if apid != IDLE:
            args.append((data[position:end], 48, RECIPES[apid]))
        position = end
    with parallel.new_pool(2) as pool:
        values = pool.starmap(tessel.unpack_parameters, args, chunksize=16)
    assert values == [{k: v for k, v in row.items() if k not in decode.HEADER_COLUMNS} for row in rows]


def test_a_failure_in_a_worker_reaches_the_caller(files, tmp_path):
    path = next(iter(files))
    cut = tmp_path / "cut.bin"
    cut.write_bytes(Path(path).read_bytes()[:-1])
    out = tmp_path / "out"
    out.mkdir()
    with pytest.raises(decode.TruncatedPacketError, match=r"^packet at byte \d+: its header gives"):
        parallel.decode_files_pool([path, cut], RECIPES, out, processes=2)
    assert not (out / "cut.bin.csv").exists()
    summaries = parallel.decode_files_pool([cut], RECIPES, out, processes=1, allow_truncated=True)
    assert summaries[0]["truncated_at"] is not None and summaries[0]["packets"] == 99


@pytest.mark.parametrize("paths, out, error, message", [
    (lambda f, tmp: [*f, tmp / "pass1.bin"], lambda tmp: tmp, ValueError,
     "input files share a name, so their tables would collide: pass1.bin"),
    (lambda f, tmp: list(f), lambda tmp: tmp / "nowhere", NotADirectoryError,
     "output folder {tmp}/nowhere does not exist"),
])
def test_the_work_is_checked_before_any_worker_starts(files, tmp_path, paths, out, error, message):
    with pytest.raises(error) as caught:
        parallel.decode_files_pool(paths(files, tmp_path), RECIPES, out(tmp_path))
    assert str(caught.value) == message.format(tmp=tmp_path)
    with pytest.raises(ValueError, match="^APID 16: column 'a' appears twice"):
        parallel.decode_files_pool(list(files), {16: [item("a"), item("a")]}, tmp_path)


def test_dask_bag_over_the_files(files, tmp_path):
    pytest.importorskip("dask.bag", reason="the Dask recipe needs dask[bag] (the cookbook extra)")
    summaries = parallel.decode_files_dask(list(files), RECIPES, tmp_path, scheduler="threads")
    check_summaries(files, summaries, tmp_path)


def test_dask_distributed_local_cluster(files, tmp_path):
    pytest.importorskip("dask.distributed", reason="the cluster recipe needs dask[distributed] (the cookbook extra)")
    summaries = parallel.decode_files_distributed(list(files), RECIPES, tmp_path, n_workers=2,
                                                  threads_per_worker=1, processes=True)
    check_summaries(files, summaries, tmp_path)


# ---- small XTCE definitions -----------------------------------------------------------------

def xtce(types, entries, *, apid=11, extra_container=""):
    """A definition: the CCSDS header, then `entries` of parameters named after `types`."""
    header = [("VERSION", 3), ("TYPE", 1), ("SEC_HDR_FLG", 1), ("PKT_APID", 11), ("SEQ_FLGS", 2),
              ("SRC_SEQ_CTR", 14), ("PKT_LEN", 16)]
    type_set = "".join(f'<IntegerParameterType name="{n}_T"><IntegerDataEncoding sizeInBits="{b}"/>'
                       f'</IntegerParameterType>' for n, b in header) + "".join(types.values())
    parameters = "".join(f'<Parameter name="{n}" parameterTypeRef="{n}_T"/>' for n, _ in header)
    parameters += "".join(f'<Parameter name="{n}" parameterTypeRef="{n}_T"/>' for n in types)
    return textwrap.dedent(f"""\
        <SpaceSystem xmlns="http://www.omg.org/space/xtce" name="t"><TelemetryMetaData>
        <ParameterTypeSet>{type_set}</ParameterTypeSet><ParameterSet>{parameters}</ParameterSet>
        <ContainerSet>
          <SequenceContainer name="Header" abstract="true"><EntryList>
            {"".join(f'<ParameterRefEntry parameterRef="{n}"/>' for n, _ in header)}</EntryList></SequenceContainer>
          <SequenceContainer name="Body"><EntryList>{entries}</EntryList>
            <BaseContainer containerRef="Header"><RestrictionCriteria><Comparison parameterRef="PKT_APID"
              value="{apid}"/></RestrictionCriteria></BaseContainer></SequenceContainer>{extra_container}
        </ContainerSet></TelemetryMetaData></SpaceSystem>""")


def integer_type(name, bits, encoding="unsigned", order=""):
    order = f' byteOrder="{order}"' if order else ""
    return (f'<IntegerParameterType name="{name}_T"><IntegerDataEncoding sizeInBits="{bits}" '
            f'encoding="{encoding}"{order}/></IntegerParameterType>')


def refs(*names):
    return "".join(f'<ParameterRefEntry parameterRef="{n}"/>' for n in names)


def test_xtce_types_become_recipe_items(tmp_path):
    types = {"A": integer_type("A", 16, "signed", "leastSignificantByteFirst"),
             "B": integer_type("B", 8, "signMagnitude"),
             "C": '<FloatParameterType name="C_T"><FloatDataEncoding sizeInBits="64"/></FloatParameterType>',
             "D": integer_type("D", 24, "packedBCD")}
    (tmp_path / "d.xml").write_text(xtce(types, refs("A", "B", "C", "D")))
    assert xtce_recipes.recipes_from_xtce(tmp_path / "d.xml") == {11: [
        dict(item("A", 16), encoding="twos_complement", byte_order="little"),
        dict(item("B"), encoding="sign_magnitude"),
        dict(item("C", 64), encoding="ieee754_f64"),
        dict(item("D", 24), encoding="packed_bcd")]}


@pytest.mark.parametrize("types, entries, extra, error, message", [
    ({"A": integer_type("A", 12)}, refs("A"), "", NotImplementedError,
     "container 'Body': 'A' takes bits 48 to 59, not whole bytes of the data field"),
    ({"A": integer_type("A", 4), "B": integer_type("B", 8)}, refs("A", "B"), "", NotImplementedError,
     "container 'Body': 'A' takes bits 48 to 51, not whole bytes of the data field"),
    ({"S": '<StringParameterType name="S_T"><StringDataEncoding/></StringParameterType>'}, refs("S"), "",
     NotImplementedError, "parameter type 'S_T': StringParameterType without an integer or float data encoding"),
    ({"F": '<FloatParameterType name="F_T"><FloatDataEncoding sizeInBits="48" encoding="MILSTD_1750A"/>'
           '</FloatParameterType>'}, refs("F"), "", NotImplementedError,
     "parameter type 'F_T': MILSTD_1750A encoding of 48 bits"),
    ({"A": integer_type("A", 8)}, '<ParameterRefEntry parameterRef="A"><RepeatEntry/></ParameterRefEntry>', "",
     NotImplementedError, "container 'Body': ParameterRefEntry with RepeatEntry"),
    ({"A": integer_type("A", 8)}, refs("Z"), "", ValueError, "container 'Body': 'Z' is not defined"),
    ({"A": integer_type("A", 8)}, refs("A"),
     '<SequenceContainer name="Copy"><EntryList/><BaseContainer containerRef="Header"><RestrictionCriteria>'
     '<Comparison parameterRef="PKT_APID" value="11"/></RestrictionCriteria></BaseContainer></SequenceContainer>',
     ValueError, "containers 'Body' and 'Copy' both describe APID 11"),
    ({"A": integer_type("A", 8)}, refs("A"), '<SequenceContainer name="Loose"><EntryList/></SequenceContainer>',
     ValueError, "container 'Loose': no single APID (bits 5 to 15) restriction"),
])
def test_xtce_reader_refuses_what_it_cannot_lay_out(tmp_path, types, entries, extra, error, message):
    (tmp_path / "d.xml").write_text(xtce(types, entries, extra_container=extra))
    with pytest.raises(error) as caught:
        xtce_recipes.recipes_from_xtce(tmp_path / "d.xml")
    assert str(caught.value) == message


# ---- real flight packets --------------------------------------------------------------------

real_data = pytest.mark.skipif(not TELEMETRY.is_dir(), reason=f"no real packet files: {TELEMETRY} is absent "
                               "(another project's test data, kept outside the repository)")
JPSS1 = TELEMETRY / "J01_G011_LZ_2021-04-09T00-00-00Z_V01.DAT1"
JPSS1_XTCE = TELEMETRY / "jpss1_geolocation_xtce_v1.xml"


@real_data
def test_jpss1_recipe_read_from_the_xtce_is_the_hand_written_one():
    assert xtce_recipes.recipes_from_xtce(JPSS1_XTCE) == jpss1.RECIPES


@real_data
def test_a_definition_with_bit_fields_in_the_data_is_refused():
    with pytest.raises(NotImplementedError) as caught:
        xtce_recipes.recipes_from_xtce(TELEMETRY / "ctim_xtce_v1.xml")
    assert str(caught.value) == ("container 'APID_1_Packet': 'REUSABLE_SPARE_1' takes bits 120 to 120, "
                                 "not whole bytes of the data field")


def struct_row(packet):
    """A JPSS-1 packet decoded with struct alone, laid out from the XTCE by hand."""
    values = struct.unpack(">HHH HIH B HIH 3f 3f HIH 4f", packet)
    names = ["packet_id", "sequence", "packet_length"] + [item["name"] for item in jpss1.RECIPE]
    row = dict(zip(names, values))
    packet_id, sequence = row.pop("packet_id"), row.pop("sequence")
    return {"apid": packet_id & 0x7FF, "version": packet_id >> 13, "type": packet_id >> 12 & 1,
            "sec_hdr_flag": packet_id >> 11 & 1, "seq_flags": sequence >> 14, "seq_count": sequence & 0x3FFF, **row}


@real_data
def test_jpss1_packets_decode_to_the_values_worked_out_by_hand(tmp_path):
    stats = decode.decode_file(JPSS1, jpss1.RECIPES, csv_path=tmp_path / "jpss1.csv")
    rows, _ = decode.read_rows(JPSS1, jpss1.RECIPES)
    assert (stats.packets, stats.rows, stats.skipped) == (7200, 7200, {})
    first = rows[0]
    # First packet: 080B CA2E 0040 | 5A45 00000007 0089 | 9F | 5A45 0000001E 03AD | 4AC2FF7F ...
    assert {k: first[k] for k in decode.HEADER_COLUMNS} == {
        "apid": 11, "version": 0, "type": 0, "sec_hdr_flag": 1,   # 0x080B = 000 0 1 00000001011
        "seq_flags": 3, "seq_count": 2606, "packet_length": 64}    # 0xCA2E = 11 00101000101110
    assert (first["DOY"], first["MSEC"], first["USEC"], first["ADAESCID"]) == (23109, 7, 137, 159)
    assert (first["ADAET1DAY"], first["ADAET1MS"], first["ADAET1US"]) == (23109, 30, 941)
    # 0x4AC2FF7F: exponent 0x95 - 127 = 22, significand 0xC2FF7F / 2**23, so 0xC2FF7F / 2
    assert first["ADGPSPOSX"] == 6389695.5
    # 0x4514F876: exponent 0x8A - 127 = 11, so 0x94F876 / 2**12
    assert first["ADGPSVELX"] == 2383.52880859375
    # Ephemeris at 30.941 ms into 2021-04-09, the day the file is named for; attitude 100 ms before.
    assert jpss1.ephemeris_time(first) == datetime.datetime(2021, 4, 9, 0, 0, 0, 30941)
    assert (first["ADAET2DAY"], first["ADAET2MS"]) == (0x5A44, 0x05265BBA)
    assert jpss1.attitude_time(first) == datetime.datetime(2021, 4, 8, 23, 59, 59, 930941)

    data = JPSS1.read_bytes()
    for index in (0, 1, 3600, 7199):
        assert rows[index] == struct_row(data[71 * index:71 * (index + 1)]), index
    assert [r["seq_count"] for r in rows] == [(2606 + i) % 16384 for i in range(7200)]
    for row in rows:
        assert 7100 < jpss1.radius_km(row) < 7300 and 7.4 < jpss1.speed_km_s(row) < 7.6
        assert math.isclose(jpss1.quaternion_norm(row), 1.0, abs_tol=1e-5)
        assert jpss1.ephemeris_time(row).date() == datetime.date(2021, 4, 9)
    assert csv_rows(tmp_path / "jpss1.csv")[1][7199] == {k: str(v) for k, v in rows[7199].items()}


@real_data
def test_jpss1_file_through_the_command_line_with_its_xtce(tmp_path):
    result = subprocess.run([sys.executable, str(EXAMPLES / "ccsds_decode.py"), str(JPSS1), "--xtce", str(JPSS1_XTCE),
                             "-o", str(tmp_path / "cli.csv")], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stderr == f"{JPSS1}: 7200 of 7200 packets decoded, 194400 fields, 511200 bytes\n"
    decode.decode_file(JPSS1, jpss1.RECIPES, csv_path=tmp_path / "lib.csv")
    assert (tmp_path / "cli.csv").read_bytes() == (tmp_path / "lib.csv").read_bytes()
