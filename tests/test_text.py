"""Text codecs: UTF-8/16/32, US-ASCII, ISO-8859-1 and windows-1252, both ways."""
import random

import pytest
from hypothesis import given
from hypothesis import strategies as st

import tessel

UTF_FORMS = ["utf8", "utf16", "utf16le", "utf16be", "utf32", "utf32le", "utf32be"]
# Each UTF form as CPython writes it; the forms with a mark write it big-endian.
PY_FORM = {"utf8": (b"", "utf-8"), "utf16": (b"\xfe\xff", "utf-16-be"), "utf16le": (b"", "utf-16-le"),
           "utf16be": (b"", "utf-16-be"), "utf32": (b"\x00\x00\xfe\xff", "utf-32-be"),
           "utf32le": (b"", "utf-32-le"), "utf32be": (b"", "utf-32-be")}
ALL_ENCODERS = [f"encode_{n}" for n in UTF_FORMS + ["us_ascii", "iso_8859_1", "windows_1252"]]
ALL_DECODERS = [f"decode_{n}" for n in UTF_FORMS + ["us_ascii", "iso_8859_1", "windows_1252"]]
CP1252_KEPT_C1 = [0x81, 0x8D, 0x8F, 0x90, 0x9D]  # no character in cp1252.py; their own C1 control here


def call(name, arg):
    return getattr(tessel, name)(arg)


def same_str(result, expected):
    # Equality and hash both look at the storage width, isascii() at the ASCII flag: together
    # they catch a result stored wider than its text needs.
    assert type(result) is str
    assert result == expected
    assert hash(result) == hash(expected)
    assert result.isascii() == expected.isascii()


def refused(name, arg, message, kind=ValueError):
    # A plain try: the exhaustive tests below call this a million times.
    try:
        call(name, arg)
    except kind as e:
        assert type(e) is kind
        assert str(e) == message
    else:
        raise AssertionError(f"{name}({arg!r}) did not raise")


# (function, text, bytes)
ENCODED = [
    ("encode_utf16", "", "FE FF"),
    ("encode_utf16", "A", "FE FF 00 41"),
    ("encode_utf16le", "A", "41 00"),
    ("encode_utf16be", "\U0001F600", "D8 3D DE 00"),
    ("encode_utf16le", "\U0010FFFF", "FF DB FF DF"),
    ("encode_utf16", "\ufeff", "FE FF FE FF"),
    ("encode_utf32", "", "00 00 FE FF"),
    ("encode_utf32", "A", "00 00 FE FF 00 00 00 41"),
    ("encode_utf32le", "\U0001F600", "00 F6 01 00"),
    ("encode_utf32be", "é", "00 00 00 E9"),
    ("encode_utf8", "", ""),
    ("encode_utf8", "A\x00B", "41 00 42"),
    ("encode_utf8", "\ufeff", "EF BB BF"),
    ("encode_utf8", "\U0010FFFF", "F4 8F BF BF"),
    ("encode_us_ascii", "\x00\x7f", "00 7F"),
    ("encode_iso_8859_1", "café", "63 61 66 E9"),
    ("encode_iso_8859_1", "\x00ÿ", "00 FF"),
    ("encode_windows_1252", "€", "80"),
    ("encode_windows_1252", "\u0081", "81"),
    ("encode_windows_1252", "\x00é™", "00 E9 99"),
    ("encode_utf16be", "\x00", "00 00"),
    ("encode_utf32le", "\x00", "00 00 00 00"),
]


@pytest.mark.parametrize("name, text, hexed", ENCODED)
def test_encode(name, text, hexed):
    result = call(name, text)
    assert type(result) is bytes
    assert result == bytes.fromhex(hexed)


# (function, bytes, text): the byte-order-mark rules among them
DECODED = [
    ("decode_utf16", "FF FE 41 00", "A"),
    ("decode_utf16", "FE FF 00 41", "A"),
    ("decode_utf16", "00 41", "A"),
    ("decode_utf16", "FE FF", ""),
    ("decode_utf16", "FF FE", ""),
    ("decode_utf16", "FE FF FE FF", "\ufeff"),            # only one mark is removed
    ("decode_utf16", "FF FE FF FE", "\ufeff"),
    ("decode_utf16le", "FF FE 41 00", "\ufeffA"),
    ("decode_utf16be", "FE FF 00 41", "\ufeffA"),
    ("decode_utf16be", "FF FE", "\ufffe"),                # a mark in the wrong order
    ("decode_utf16le", "", ""),
    ("decode_utf16le", "3D D8 00 DE", "\U0001F600"),
    ("decode_utf32", "FF FE 00 00 41 00 00 00", "A"),
    ("decode_utf32", "00 00 FE FF 00 00 00 41", "A"),
    ("decode_utf32", "00 00 00 41", "A"),
    ("decode_utf32", "FF FE 00 00", ""),
    ("decode_utf32le", "FF FE 00 00", "\ufeff"),
    ("decode_utf32be", "", ""),
    ("decode_utf32be", "00 10 FF FF", "\U0010FFFF"),
    ("decode_utf8", "EF BB BF 41", "\ufeffA"),
    ("decode_utf8", "41 00 42", "A\x00B"),
    ("decode_utf8", "F4 8F BF BF", "\U0010FFFF"),
    ("decode_us_ascii", "00", "\x00"),
    ("decode_us_ascii", "", ""),
    ("decode_iso_8859_1", "00 E9 FF", "\x00éÿ"),
    ("decode_windows_1252", "80", "€"),
    ("decode_windows_1252", "81", "\x81"),
    ("decode_windows_1252", "EF BB BF 41", "A"),
    ("decode_windows_1252", "EF BB BF F0 9F 98 80", "\U0001F600"),
    ("decode_windows_1252", "EF BB BF", ""),
    ("decode_windows_1252", "FF FE 41 00", "A"),
    ("decode_windows_1252", "FE FF 00 41 D8 3D DE 00", "A\U0001F600"),
    ("decode_windows_1252", "EF BB 41", "ï»A"),           # not a whole mark: windows-1252
    ("decode_windows_1252", "FF", "ÿ"),
    ("decode_windows_1252", "41 FF FE", "Aÿþ"),             # a mark only counts at the start
]


@pytest.mark.parametrize("name, hexed, text", DECODED)
def test_decode(name, hexed, text):
    same_str(call(name, bytes.fromhex(hexed)), text)


LONE = "Invalid UTF-16 sequence: invalid utf-16: lone surrogate found"
EVEN = "UTF-16 requires an even number of bytes"
EVEN_MARK = "UTF-16 requires an even number of bytes with at least 2 bytes"
FOURS = "UTF-32 requires a multiple of 4 bytes"
FOURS_MARK = "UTF-32 requires a multiple of 4 bytes with at least 4 bytes"
CP_DECODE = "Failed to decode Windows-1252 bytes"
CP_ENCODE = "Failed to encode to Windows-1252"

# (function, argument, message): every refusal is a ValueError
REFUSED = [
    ("encode_us_ascii", "café", "Character 'é' (U+00E9) is not valid US-ASCII"),
    ("encode_us_ascii", "a€", "Character '€' (U+20AC) is not valid US-ASCII"),
    ("encode_us_ascii", "\U0001F600", "Character '\U0001F600' (U+1F600) is not valid US-ASCII"),
    ("encode_us_ascii", "\x80", "Character '\x80' (U+0080) is not valid US-ASCII"),
    ("encode_iso_8859_1", "€", "Character '€' (U+20AC) is not valid ISO-8859-1"),
    ("encode_iso_8859_1", "ÿĀ", "Character 'Ā' (U+0100) is not valid ISO-8859-1"),
    ("encode_iso_8859_1", "a\U0010FFFF", "Character '\U0010FFFF' (U+10FFFF) is not valid ISO-8859-1"),
    ("encode_windows_1252", "\u0080", CP_ENCODE),
    ("encode_windows_1252", "\u0151", CP_ENCODE),
    ("encode_windows_1252", "é€\U0001F600", CP_ENCODE),
    ("encode_windows_1252", "abc\x9e", CP_ENCODE),
    ("decode_utf16", b"", EVEN_MARK),
    ("decode_utf16", b"A", EVEN_MARK),
    ("decode_utf16", b"\xfe\xff\x00", EVEN_MARK),
    ("decode_utf16be", b"\x00", EVEN),
    ("decode_utf16le", b"\x41\x00\x42", EVEN),
    ("decode_utf16le", b"\x00\xd8", LONE),                  # high surrogate at the end
    ("decode_utf16le", b"\x00\xdc\x00\xd8", LONE),          # low before high
    ("decode_utf16be", b"\xd8\x00\xd8\x00\xdc\x00", LONE),  # high followed by high
    ("decode_utf16be", b"\xd8\x00\x00\x41", LONE),
    ("decode_utf16", b"\xff\xfe\x00\xdc", LONE),
    ("decode_utf32", b"\x00\x00\x41", FOURS_MARK),
    ("decode_utf32", b"", FOURS_MARK),
    ("decode_utf32be", b"\x00\x00\x41", FOURS),
    ("decode_utf32le", b"\x41\x00\x00\x00\x00", FOURS),
    ("decode_utf32be", b"\x00\x00\xd8\x00", "Invalid UTF-32 codepoint: 0x0000D800"),
    ("decode_utf32le", b"\x00\x00\x11\x00", "Invalid UTF-32 codepoint: 0x00110000"),
    ("decode_utf32be", b"\xff\xfe\x00\x00", "Invalid UTF-32 codepoint: 0xFFFE0000"),
    ("decode_utf32le", b"\xff\xdf\x00\x00", "Invalid UTF-32 codepoint: 0x0000DFFF"),
    ("decode_utf32be", bytes.fromhex("00000041 00110000 0000D800"), "Invalid UTF-32 codepoint: 0x00110000"),
    ("decode_utf32be", bytes.fromhex("00000041 0000DC00 FFFFFFFF"), "Invalid UTF-32 codepoint: 0x0000DC00"),
    ("decode_utf32", bytes.fromhex("0000FEFF 0000D800"), "Invalid UTF-32 codepoint: 0x0000D800"),
    ("decode_us_ascii", b"\x41\xff\x80", "Invalid US-ASCII byte: 0xFF (must be <= 0x7F)"),
    ("decode_us_ascii", b"\x80", "Invalid US-ASCII byte: 0x80 (must be <= 0x7F)"),
    ("decode_us_ascii", b"a" * 40 + b"\xc3", "Invalid US-ASCII byte: 0xC3 (must be <= 0x7F)"),
    ("decode_windows_1252", b"\xfe\xff\x00", CP_DECODE),               # odd UTF-16 tail
    ("decode_windows_1252", b"\xef\xbb\xbf\xff", CP_DECODE),
    ("decode_windows_1252", b"\xef\xbb\xbf\xe2\x82", CP_DECODE),       # incomplete UTF-8
    ("decode_windows_1252", b"\xff\xfe\x00\xd8", CP_DECODE),           # lone surrogate
    ("decode_windows_1252", b"\xfe\xff\xdc\x00\x00\x41", CP_DECODE),
]


@pytest.mark.parametrize("name, arg, message", REFUSED)
def test_refused(name, arg, message):
    refused(name, arg, message)


# ---------------------------------------------------------------------------------------------
# UTF-8 decoding errors against a small independent validator

# Well-formed UTF-8 byte sequences, as the Unicode Standard tables them: lead range, then the
# range of each following byte.
WELL_FORMED = [
    [(0x00, 0x7F)],
    [(0xC2, 0xDF), (0x80, 0xBF)],
    [(0xE0, 0xE0), (0xA0, 0xBF), (0x80, 0xBF)],
    [(0xE1, 0xEC), (0x80, 0xBF), (0x80, 0xBF)],
    [(0xED, 0xED), (0x80, 0x9F), (0x80, 0xBF)],
    [(0xEE, 0xEF), (0x80, 0xBF), (0x80, 0xBF)],
    [(0xF0, 0xF0), (0x90, 0xBF), (0x80, 0xBF), (0x80, 0xBF)],
    [(0xF1, 0xF3), (0x80, 0xBF), (0x80, 0xBF), (0x80, 0xBF)],
    [(0xF4, 0xF4), (0x80, 0x8F), (0x80, 0xBF), (0x80, 0xBF)],
]


ROW_OF_LEAD = {lead: row for row in WELL_FORMED for lead in range(row[0][0], row[0][1] + 1)}


def utf8_problem(data):
    """The message for the first ill-formed sequence of `data`, or None."""
    i = 0
    while i < len(data):
        row = ROW_OF_LEAD.get(data[i])
        if row is None:
            return f"Invalid UTF-8 bytes: invalid utf-8 sequence of 1 bytes from index {i}"
        k = 1
        while k < len(row) and i + k < len(data) and row[k][0] <= data[i + k] <= row[k][1]:
            k += 1
        if k == len(row):
            i += k
        elif i + k == len(data):
            return f"Invalid UTF-8 bytes: incomplete utf-8 byte sequence from index {i}"
        else:
            return f"Invalid UTF-8 bytes: invalid utf-8 sequence of {k} bytes from index {i}"
    return None


def check_utf8(data):
    problem = utf8_problem(data)
    if problem is None:
        same_str(tessel.decode_utf8(data), data.decode("utf-8"))
    else:
        refused("decode_utf8", data, problem)
        try:
            data.decode("utf-8")
        except UnicodeDecodeError as e:  # CPython's strict decoder agrees on where
            assert f"from index {e.start}" in problem
        else:
            raise AssertionError(f"CPython decodes {data!r}")


@pytest.mark.parametrize("prefix", [b"", b"abc", b"\xc3\xa9" * 20])
def test_utf8_every_one_and_two_byte_sequence(prefix):
    for first in range(256):
        check_utf8(prefix + bytes([first]))
        for second in range(256):
            check_utf8(prefix + bytes([first, second]))


# Three- and four-byte sequences: every lead with every second byte, and each range edge after.
EDGES = [0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xF5, 0xFF]


@pytest.mark.parametrize("lead", range(0xE0, 0xF8))
def test_utf8_three_and_four_byte_sequences(lead):
    for second in range(0x70, 0xD0):
        for third in EDGES:
            check_utf8(bytes([lead, second, third]))
            check_utf8(bytes([lead, second, third]) + b"z")
            for fourth in EDGES:
                check_utf8(bytes([0x61, lead, second, third, fourth]))


@given(st.binary(max_size=40))
def test_utf8_random_bytes(data):
    check_utf8(data)


@given(st.lists(st.sampled_from([b"a", b"\xc3\xa9", b"\xe2\x82\xac", b"\xf0\x9f\x98\x80", b"\x80", b"\xed\xa0\x80",
                                 b"\xf4\x90\x80\x80", b"\xe2\x82", b"\xc0\xaf", b"\x00"]), max_size=30))
def test_utf8_mixed_sequences(parts):
    check_utf8(b"".join(parts))


# ---------------------------------------------------------------------------------------------
# Round trips

SPECIAL = ["\x00", "\x7f", "\x80", "\xff", "\u0100", "\u07ff", "\u0800", "\ud7ff", "\ue000", "\ufeff", "\ufffe",
           "\uffff", "\U00010000", "\U0001F600", "\U0010FFFF"]
texts = st.text(st.one_of(st.characters(codec="utf-8"), st.sampled_from(SPECIAL)))


@pytest.mark.parametrize("form", UTF_FORMS)
@given(text=texts)
def test_utf_round_trip(form, text):
    mark, codec = PY_FORM[form]
    encoded = call(f"encode_{form}", text)
    assert encoded == mark + text.encode(codec)
    same_str(call(f"decode_{form}", encoded), text)


@pytest.mark.parametrize("form", ["utf16le", "utf16be", "utf32le", "utf32be"])
@given(data=st.binary(max_size=24))
def test_utf16_utf32_random_bytes_agree_with_cpython(form, data):
    codec = PY_FORM[form][1]
    try:
        expected = data.decode(codec)
    except UnicodeDecodeError:
        with pytest.raises(ValueError):
            call(f"decode_{form}", data)
    else:
        same_str(call(f"decode_{form}", data), expected)


@given(st.text(st.characters(max_codepoint=0xFF)))
def test_latin1_round_trip(text):
    assert tessel.encode_iso_8859_1(text) == text.encode("latin-1")
    same_str(tessel.decode_iso_8859_1(text.encode("latin-1")), text)


@given(st.text(st.characters(max_codepoint=0x7F)))
def test_ascii_round_trip(text):
    assert tessel.encode_us_ascii(text) == text.encode("ascii")
    same_str(tessel.decode_us_ascii(text.encode("ascii")), text)


FILLERS = ["a", "é", "€", "\U0001F600", "\x00"]


@pytest.mark.parametrize("filler", FILLERS)
@pytest.mark.parametrize("odd", ["é", "ÿ", "€", "\u0800", "\uffff", "\U0001F600", "\x00"])
def test_every_position_in_short_texts(filler, odd):
    # One odd character at each position of texts up to 70 long: the block and tail paths.
    for length in range(1, 71):
        for at in range(length):
            text = filler * at + odd + filler * (length - at - 1)
            for form in UTF_FORMS:
                mark, codec = PY_FORM[form]
                encoded = call(f"encode_{form}", text)
                assert encoded == mark + text.encode(codec)
                same_str(call(f"decode_{form}", encoded), text)


@pytest.mark.parametrize("length, at", [(length, at) for length in [1, 7, 8, 9, 31, 32, 33, 63, 64, 65, 100]
                                        for at in [0, 6, 7, 8, 31, 32, 63, 64, 99] if at < length])
def test_first_problem_is_reported_where_it_is(length, at):
    data = b"a" * at + b"\xff" + b"b" * (length - at - 1)
    refused("decode_us_ascii", data, "Invalid US-ASCII byte: 0xFF (must be <= 0x7F)")
    refused("decode_utf8", data, f"Invalid UTF-8 bytes: invalid utf-8 sequence of 1 bytes from index {at}")
    refused("encode_us_ascii", "a" * at + "é" + "b" * (length - at - 1),
            "Character 'é' (U+00E9) is not valid US-ASCII")


# ---------------------------------------------------------------------------------------------
# Long texts: thousands of characters of each storage class, across the sizes at which the
# scans work in blocks (a Latin-1 text counts its two-byte UTF-8 characters 192 at a time).

LENGTHS = [191, 192, 193, 255, 256, 257, 383, 384, 385, 4096, 5003]
CP1252_BYTES = [b for b in range(256) if b not in CP1252_KEPT_C1]
CP1252_TEXT = "".join(bytes([b]).decode("cp1252") for b in CP1252_BYTES)
ALPHABETS = {
    "ascii": "".join(map(chr, range(0x80))),
    "latin1": "".join(map(chr, range(0x100))),
    "latin1, all above ASCII": "".join(map(chr, range(0x80, 0x100))),
    "windows-1252": CP1252_TEXT,
    "bmp": "".join(chr(c) for c in [*range(0x20, 0x180), *range(0x370, 0x3FF), *range(0x4E00, 0x4E80), 0xFEFF,
                                    0xFFFD, 0xFFFF, 0xD7FF, 0xE000]),
    "astral": "".join(chr(c) for c in [0x41, 0xE9, 0x20AC, 0x10000, 0x1F600, 0x1F9FF, 0x10FFFF]),
}


def long_texts(alphabet):
    """Random texts of each length from the alphabet; none starts as a byte-order mark reads in
    windows-1252 ("ï»¿", "þÿ", "ÿþ")."""
    rng = random.Random(alphabet)
    first = [c for c in ALPHABETS[alphabet] if c not in "\xef\xfe\xff"]
    return [rng.choice(first) + "".join(rng.choice(ALPHABETS[alphabet]) for _ in range(length - 1))
            for length in LENGTHS]


def cpython_encode(form, text):
    """CPython's bytes for the text, or the message tessel gives for its first unencodable character."""
    if form in PY_FORM:
        mark, codec = PY_FORM[form]
        return mark + text.encode(codec)
    codec, limit, name = {"us_ascii": ("ascii", 0x7F, "US-ASCII"), "iso_8859_1": ("latin-1", 0xFF, "ISO-8859-1"),
                          "windows_1252": ("cp1252", None, None)}[form]
    try:
        return text.encode(codec)
    except UnicodeEncodeError as e:
        if limit is None:
            return CP_ENCODE
        c = text[e.start]
        return f"Character '{c}' (U+{ord(c):04X}) is not valid {name}"


@pytest.mark.parametrize("form", UTF_FORMS + ["us_ascii", "iso_8859_1", "windows_1252"])
@pytest.mark.parametrize("alphabet", sorted(ALPHABETS))
def test_long_texts_both_ways(alphabet, form):
    for text in long_texts(alphabet):
        expected = cpython_encode(form, text)
        if isinstance(expected, str):
            refused(f"encode_{form}", text, expected)
            continue
        encoded = call(f"encode_{form}", text)
        assert encoded == expected, (alphabet, form, len(text))
        same_str(call(f"decode_{form}", encoded), text)


def test_long_texts_cover_every_outcome():
    # Each alphabet is encodable by the UTF forms and refused by at least one single-byte form.
    for alphabet in ALPHABETS:
        text = long_texts(alphabet)[-1]
        outcomes = {form: isinstance(cpython_encode(form, text), bytes) for form in ["us_ascii", "iso_8859_1",
                                                                                     "windows_1252"]}
        assert any(outcomes.values()) == (alphabet != "bmp" and alphabet != "astral")
        assert all(outcomes.values()) == (alphabet == "ascii")


# Runs of one script: the bulk loops take blocks of one sequence length (CJK four three-byte
# sequences at a time), so a run behind 0, 1 or 3 ASCII characters starts each block at every
# alignment, and a run's end falls at every place in a block.
SCRIPTS = {"latin1": (0xC0, 0x100), "greek": (0x391, 0x3CA), "cjk": (0x4E00, 0x9FFF),
           "hangul": (0xAC00, 0xD7A4), "private use": (0xE000, 0xF900), "astral": (0x1F300, 0x1F650)}


@pytest.mark.parametrize("lead", [0, 1, 3])
@pytest.mark.parametrize("script", sorted(SCRIPTS))
def test_runs_of_one_script_every_form(script, lead):
    rng = random.Random(script)
    low, high = SCRIPTS[script]
    for length in [*range(1, 41), 63, 64, 65, 191, 192, 193, 4095, 4096, 4099]:
        text = "a" * lead + "".join(chr(rng.randrange(low, high)) for _ in range(length))
        for form in UTF_FORMS + ["iso_8859_1", "windows_1252"]:
            expected = cpython_encode(form, text)
            if isinstance(expected, str):
                refused(f"encode_{form}", text, expected)
                continue
            encoded = call(f"encode_{form}", text)
            assert encoded == expected, (script, lead, length, form)
            same_str(call(f"decode_{form}", encoded), text)


@pytest.mark.parametrize("alphabet", ["latin1, all above ASCII", "bmp", "astral"])
def test_long_utf8_errors_count_from_the_start(alphabet):
    for text in long_texts(alphabet):
        good = text.encode("utf-8")
        for bad in [b"\xff", b"\xe2\x82", b"\xed\xa0\x80"]:
            with pytest.raises(UnicodeDecodeError) as info:
                (good + bad).decode("utf-8")
            kind = "incomplete utf-8 byte sequence" if bad == b"\xe2\x82" else "invalid utf-8 sequence of 1 bytes"
            refused("decode_utf8", good + bad, f"Invalid UTF-8 bytes: {kind} from index {info.value.start}")
            assert info.value.start == len(good)


@pytest.mark.parametrize("form, field", [("utf8", "utf8"), ("utf16le", "utf16le"), ("utf32", "utf32"),
                                         ("iso_8859_1", "latin1"), ("windows_1252", "windows_1252")])
def test_long_texts_through_recipes(form, field):
    alphabet = {"iso_8859_1": "latin1, all above ASCII", "windows_1252": "windows-1252"}.get(form, "astral")
    for text in long_texts(alphabet)[-3:]:
        data = cpython_encode(form, text)
        recipe = [{"name": "t", "encoding": form, "bits": 8 * len(data), "byte_order": "little",
                   "reverse_bits": False, "value": text}]
        packet = tessel.pack_parameters(recipe)
        assert packet == data[::-1]
        decoded = tessel.unpack_parameters(packet, 0, [dict(recipe[0], encoding=field)])
        assert list(decoded) == ["t"]
        same_str(decoded["t"], text)


# ---------------------------------------------------------------------------------------------
# windows-1252

def test_windows_1252_every_byte():
    for byte in range(256):
        data = bytes([byte])
        expected = chr(byte) if byte in CP1252_KEPT_C1 else data.decode("cp1252")
        same_str(tessel.decode_windows_1252(data), expected)
        assert tessel.encode_windows_1252(expected) == data


def test_windows_1252_every_bmp_character():
    table = {chr(b) if b in CP1252_KEPT_C1 else bytes([b]).decode("cp1252"): bytes([b]) for b in range(256)}
    for code in [*range(0x10000), 0x10000, 0x1F600, 0x10FFFF]:
        if 0xD800 <= code <= 0xDFFF:
            continue
        c = chr(code)
        if c in table:
            assert tessel.encode_windows_1252(c) == table[c]
        else:
            refused("encode_windows_1252", c, CP_ENCODE)


@given(st.binary())
def test_windows_1252_decodes_any_bytes_without_a_mark(data):
    data = b"a" + data  # no byte-order mark
    expected = "".join(chr(b) if b in CP1252_KEPT_C1 else bytes([b]).decode("cp1252") for b in data)
    same_str(tessel.decode_windows_1252(data), expected)
    assert tessel.encode_windows_1252(expected) == data


# ---------------------------------------------------------------------------------------------
# Arguments

class StrSubclass(str):
    pass


class BytesSubclass(bytes):
    pass


@pytest.mark.parametrize("name", ALL_ENCODERS)
@pytest.mark.parametrize("arg, type_name", [(5, "int"), (b"abc", "bytes"), (None, "NoneType")])
def test_encoders_take_only_str(name, arg, type_name):
    refused(name, arg, f"argument 'text': '{type_name}' object cannot be cast as 'str'", TypeError)


@pytest.mark.parametrize("name", ALL_DECODERS)
@pytest.mark.parametrize("arg, type_name", [(bytearray(b"A"), "bytearray"), (memoryview(b"A"), "memoryview"),
                                            ("A", "str"), (65, "int")])
def test_decoders_take_only_bytes(name, arg, type_name):
    refused(name, arg, f"argument 'bytes': '{type_name}' object cannot be cast as 'bytes'", TypeError)


@pytest.mark.parametrize("name", ALL_ENCODERS)
def test_encoders_accept_str_subclass(name):
    assert call(name, StrSubclass("Az")) == call(name, "Az")


@pytest.mark.parametrize("name", ALL_DECODERS)
def test_decoders_accept_bytes_subclass(name):
    data = call(name.replace("decode_", "encode_"), "Az")
    same_str(call(name, BytesSubclass(data)), "Az")


@pytest.mark.parametrize("name", ALL_ENCODERS)
@pytest.mark.parametrize("text", ["a\ud800", "\udfff", "é\ud800", "\U0001F600\udc00x", "\ud83d\ude00",
                                  "€" * 40 + "\ud800", "\U0001F600" * 40 + "\udbff"])
def test_surrogates_raise_the_interpreters_error(name, text):
    # The argument conversion runs before the codec: an unencodable character ahead of the
    # surrogate does not turn it into the codec's own refusal.
    with pytest.raises(UnicodeEncodeError) as ours:
        call(name, text)
    with pytest.raises(UnicodeEncodeError) as cpython:
        text.encode("utf-8")
    assert str(ours.value) == str(cpython.value)
    assert not str(ours.value).startswith("argument")

