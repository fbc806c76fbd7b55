"""IEEE 754 binary16/32/64/128 and the float formats that are named but not built."""
import math
import struct
import sys
from fractions import Fraction

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import tessel
from tessel import (decode_ieee754_f16, decode_ieee754_f32, decode_ieee754_f64, decode_ieee754_f128,
                    encode_ieee754_f16, encode_ieee754_f32, encode_ieee754_f64)


def f64(bits):
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


def bits64(x):
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def f32(bits):
    return struct.unpack("<f", struct.pack("<I", bits))[0]


ENCODED = [
    (encode_ieee754_f16, 1.0, 0x3C00),
    (encode_ieee754_f16, 65504.0, 0x7BFF),
    (encode_ieee754_f16, 65519.99, 0x7BFF),
    (encode_ieee754_f16, 65520.0, 0x7C00),        # rounds up into infinity
    (encode_ieee754_f16, 1e6, 0x7C00),
    (encode_ieee754_f16, -1e6, 0xFC00),
    (encode_ieee754_f16, -0.0, 0x8000),
    (encode_ieee754_f16, 2.0**-24, 1),
    (encode_ieee754_f16, 2.0**-25, 0),            # a tie between 0 and the smallest subnormal: even
    (encode_ieee754_f16, 2.0**-25 * 1.5, 1),
    (encode_ieee754_f16, 3 * 2.0**-25, 2),         # a tie between 1 and 2 subnormal units: even
    (encode_ieee754_f16, 2.0**-14, 0x0400),
    (encode_ieee754_f16, 2.0**-14 - 2.0**-24, 0x03FF),
    (encode_ieee754_f16, 1e-8, 0),
    (encode_ieee754_f16, -1e-8, 0x8000),
    (encode_ieee754_f16, 0.1, 0x2E66),
    (encode_ieee754_f16, f64(0x7FF8000000000000), 0x7E00),
    (encode_ieee754_f16, f64(0xFFF8000000000000), 0xFE00),
    (encode_ieee754_f16, math.inf, 0x7C00),
    (encode_ieee754_f16, 1 + 2.0**-11 + 2.0**-40, 0x3C00),  # rounded twice, through binary32
    (encode_ieee754_f16, 1 + 2.0**-11 + 2.0**-20, 0x3C01),
    (encode_ieee754_f16, 1 + 3 * 2.0**-11, 0x3C02),     # tie, odd below: rounds up to even
    (encode_ieee754_f32, 1.0, 0x3F800000),
    (encode_ieee754_f32, 1e39, 0x7F800000),
    (encode_ieee754_f32, -1e39, 0xFF800000),
    (encode_ieee754_f32, 1 + 2.0**-24, 0x3F800000),     # tie: even
    (encode_ieee754_f32, 1 + 3 * 2.0**-24, 0x3F800002),
    (encode_ieee754_f32, f32(0x7F7FFFFF), 0x7F7FFFFF),
    (encode_ieee754_f32, f32(0x7F7FFFFF) + 2.0**103, 0x7F800000),  # half an ulp above the largest
    (encode_ieee754_f32, f32(0x7F7FFFFF) + 2.0**102, 0x7F7FFFFF),
    (encode_ieee754_f32, 2.0**-149, 1),
    (encode_ieee754_f32, 2.0**-150, 0),
    (encode_ieee754_f32, f64(0x7FF0000000000001), 0x7FC00000),   # signalling NaN comes out quiet
    (encode_ieee754_f32, f64(0xFFF4000000000000), 0xFFE00000),   # sign and top payload bits kept
    (encode_ieee754_f32, 1, 0x3F800000),
    (encode_ieee754_f64, 1.0, 0x3FF0000000000000),
    (encode_ieee754_f64, -0.0, 0x8000000000000000),
    (encode_ieee754_f64, f64(0x7FF0000000000001), 0x7FF0000000000001),
    (encode_ieee754_f64, 2**53 + 1, 0x4340000000000000),   # int converted by the interpreter
]


@pytest.mark.parametrize("encode, value, pattern", ENCODED)
def test_encode(encode, value, pattern):
    assert encode(value) == pattern


DECODED = [
    (decode_ieee754_f16, 0x3C00, 1.0),
    (decode_ieee754_f16, 0x13C00, 1.0),
    (decode_ieee754_f16, 0xFC00, -math.inf),
    (decode_ieee754_f16, 0x7C00, math.inf),
    (decode_ieee754_f16, 1, 5.960464477539063e-08),
    (decode_ieee754_f16, 0x8001, -5.960464477539063e-08),
    (decode_ieee754_f16, 0x03FF, 6.097555160522461e-05),
    (decode_ieee754_f16, 0x7BFF, 65504.0),
    (decode_ieee754_f16, 0x8000, -0.0),
    (decode_ieee754_f32, 0x13F800000, 1.0),
    (decode_ieee754_f32, 0x00000001, 2.0**-149),
    (decode_ieee754_f32, 0xFF800000, -math.inf),
    (decode_ieee754_f64, 0x3FF0000000000000, 1.0),
    (decode_ieee754_f64, 0x8000000000000000, -0.0),
    (decode_ieee754_f128, 0x3FFF << 112, 1.0),
    (decode_ieee754_f128, (0x3FFF << 112) + 1, 1.0),
    (decode_ieee754_f128, (0x3FFF << 112) + 2**60, 1 + 2.0**-52),
    (decode_ieee754_f128, (0x3FFF << 112) + 2**60 - 1, 1.0),   # truncated, never rounded
    (decode_ieee754_f128, (0xBFFF << 112) + 2**112 - 1, -(2 - 2.0**-52)),
    (decode_ieee754_f128, 2**127, -0.0),
    (decode_ieee754_f128, 1, 0.0),                               # subnormal: zero
    (decode_ieee754_f128, 2**127 + 1, -0.0),
    (decode_ieee754_f128, 0xFFFF << 112, -math.inf),
    (decode_ieee754_f128, 0x7FFF << 112, math.inf),
    (decode_ieee754_f128, 0x3C00 << 112, 0.0),
    (decode_ieee754_f128, 0xBC00 << 112, -0.0),
    (decode_ieee754_f128, 0x3C01 << 112, 2.0**-1022),
    (decode_ieee754_f128, 0x43FE << 112, 2.0**1023),
    (decode_ieee754_f128, 0x43FF << 112, math.inf),
    (decode_ieee754_f128, 0xC3FF << 112, -math.inf),
]


@pytest.mark.parametrize("decode, pattern, value", DECODED)
def test_decode(decode, pattern, value):
    got = decode(pattern)
    assert type(got) is float and bits64(got) == bits64(value)


@pytest.mark.parametrize("pattern", [(0xFFFF << 112) + 1, (0x7FFF << 112) + 2**111, 2**128 - 1])
def test_f128_nan_is_the_positive_quiet_nan(pattern):
    assert bits64(decode_ieee754_f128(pattern)) == 0x7FF8000000000000


# binary16 -> binary32 -> binary64, with NaNs quiet and their ten fraction bits on top.
def f16_model(h):
    sign, exponent, fraction = h >> 15, (h >> 10) & 0x1F, h & 0x3FF
    if exponent == 31 and fraction:
        return (sign << 63) | 0x7FF8000000000000 | (fraction << 42)
    return bits64(struct.unpack("<e", struct.pack("<H", h))[0])


def test_f16_decode_all_patterns():
    wrong = [h for h in range(65536) if bits64(decode_ieee754_f16(h)) != f16_model(h)]
    assert wrong == []


def test_f16_decode_ignores_high_bits():
    for high in (1 << 16, 0xFFFF << 16, 2**64 - 2**16):
        assert bits64(decode_ieee754_f16(high | 0x3555)) == f16_model(0x3555)


def numpy_f16(singles):
    with np.errstate(all="ignore"):
        return np.array(singles, dtype=np.uint32).view(np.float32).astype(np.float16).view(np.uint16)


def f16_nan_model(single):
    return ((single >> 16) & 0x8000) | 0x7E00 | ((single & 0x7FFFFF) >> 13)


BOUNDARY_SINGLES = sorted({
    b | s
    for s in (0, 0x80000000)
    for b in [0, 1, 0x7FFFFF, 0x800000, 0x33000000, 0x33000001, 0x337FFFFF, 0x33800000, 0x33C00000,
              0x387FC000, 0x387FE000, 0x38800000, 0x477FE000, 0x477FEFFF, 0x477FF000, 0x47800000,
              0x3F801000, 0x3F802000, 0x3F803000, 0x3F801001, 0x7F7FFFFF, 0x7F800000]
})


@pytest.mark.parametrize("single", BOUNDARY_SINGLES, ids=hex)
def test_f16_encode_boundaries_match_numpy(single):
    assert encode_ieee754_f16(f32(single)) == int(numpy_f16([single])[0])


@given(st.lists(st.integers(0, 2**32 - 1), min_size=1, max_size=200))
def test_f16_encode_matches_numpy(singles):
    expected = numpy_f16(singles)
    for single, want in zip(singles, expected):
        is_nan = (single & 0x7F800000) == 0x7F800000 and single & 0x7FFFFF
        got = encode_ieee754_f16(f32(single) if not is_nan else f64(
            ((single >> 31) << 63) | 0x7FF0000000000000 | ((single & 0x7FFFFF) << 29)))
        assert got == (f16_nan_model(single) if is_nan else int(want))


def test_f16_encoder_rounds_twice_through_binary32():
    value = 1 + 2.0**-11 + 2.0**-40
    # a single rounding from binary64 would give 0x3C01; the encoder's answer is 0x3C00
    assert int(np.float16(value).view(np.uint16)) == 0x3C01
    assert encode_ieee754_f16(value) == 0x3C00


@pytest.mark.parametrize("payload", [0x200, 0x3FF, 0x001, 0x155])
def test_f16_nan_payload_round_trip(payload):
    for sign in (0, 0x8000):
        h = sign | 0x7C00 | 0x200 | payload  # quiet NaNs come back unchanged
        assert encode_ieee754_f16(decode_ieee754_f16(h)) == h


@given(st.integers(0, 2**64 - 1))
def test_f64_round_trip(pattern):
    assert encode_ieee754_f64(decode_ieee754_f64(pattern)) == pattern


@given(st.one_of(st.integers(0, 2**32 - 1),
                 st.sampled_from([0, 0x80000000, 0x7F800000, 0xFF800000, 0x7F800001, 0x7FC00000, 0xFFFFFFFF])))
def test_f32_round_trip(pattern):
    is_nan = (pattern & 0x7F800000) == 0x7F800000 and pattern & 0x7FFFFF
    # a signalling NaN comes back quiet, with its payload
    assert encode_ieee754_f32(decode_ieee754_f32(pattern)) == (pattern | 0x400000 if is_nan else pattern)


@given(st.floats(allow_nan=False, allow_infinity=True, width=64))
def test_f32_narrowing_matches_numpy(value):
    with np.errstate(all="ignore"):
        assert encode_ieee754_f32(value) == int(np.float32(value).view(np.uint32))


def f128_model(pattern):
    """binary128 to binary64 from the exact value of the pattern: cut toward zero to 53 bits, with
    no binary64 subnormals (a magnitude below 2**-1022 reads as zero) and infinity from 2**1024 on."""
    negative = bool(pattern >> 127)
    exponent, fraction = (pattern >> 112) & 0x7FFF, pattern & (2**112 - 1)
    if exponent == 0x7FFF:
        return math.nan if fraction else -math.inf if negative else math.inf
    if exponent == 0:  # binary128 subnormals are not converted
        return -0.0 if negative else 0.0
    exact = Fraction(2**112 + fraction, 2**112) * Fraction(2) ** (exponent - 16383)
    if exact >= 2**1024:
        magnitude = math.inf
    elif exact < Fraction(2) ** -1022:
        magnitude = 0.0
    else:
        try:
            magnitude = float(exact)  # the nearest double, which may lie above
        except OverflowError:
            magnitude = sys.float_info.max
        if Fraction(magnitude) > exact:
            magnitude = math.nextafter(magnitude, 0.0)
    return -magnitude if negative else magnitude


# Exponents and fractions at the edges of the binary64 range and of its 52 fraction bits.
f128_patterns = st.builds(
    lambda sign, exponent, fraction: sign << 127 | exponent << 112 | fraction,
    st.integers(0, 1),
    st.one_of(st.integers(0, 0x7FFF), st.sampled_from([0, 1, 0x3BCC, 0x3C00, 0x3C01, 0x3C02, 0x3FFF, 0x43FE, 0x43FF,
                                                        0x7FFE, 0x7FFF])),
    st.one_of(st.integers(0, 2**112 - 1), st.sampled_from([0, 1, 2**60 - 1, 2**60, 2**60 + 1, 2**112 - 2**60,
                                                           2**112 - 1])))


@given(st.one_of(st.integers(0, 2**128 - 1), f128_patterns))
def test_f128_decode_matches_the_model(pattern):
    got, want = decode_ieee754_f128(pattern), f128_model(pattern)
    assert bits64(got) == (0x7FF8000000000000 if math.isnan(want) else bits64(want))


NOT_IMPLEMENTED = [
    ("decode_ieee754_1985_f32", "IEEE 754-1985 f32 format not yet implemented"),
    ("decode_ieee754_1985_f64", "IEEE 754-1985 f64 format not yet implemented"),
    ("decode_ieee754_1985_f80", "IEEE 754-1985 f80 format not yet implemented"),
    ("decode_mil_std_1750a_f32", "MIL-STD-1750A f32 format not yet implemented"),
    ("decode_mil_std_1750a_f48", "MIL-STD-1750A f48 format not yet implemented"),
    ("decode_dec_f32", "DEC f32 format not yet implemented"),
    ("decode_dec_f64", "DEC f64 format not yet implemented"),
    ("decode_ibm_f32", "IBM f32 format not yet implemented"),
    ("decode_ibm_f64", "IBM f64 format not yet implemented"),
    ("decode_ti_f32", "TI f32 format not yet implemented"),
    ("decode_ti_f40", "TI f40 format not yet implemented"),
    ("encode_ieee754_f128", "IEEE 754 f128 encoding not yet implemented"),
    ("encode_ieee754_1985_f32", "IEEE 754-1985 f32 encoding not yet implemented"),
    ("encode_ieee754_1985_f64", "IEEE 754-1985 f64 encoding not yet implemented"),
    ("encode_ieee754_1985_f80", "IEEE 754-1985 f80 encoding not yet implemented"),
    ("encode_mil_std_1750a_f32", "MIL-STD-1750A f32 encoding not yet implemented"),
    ("encode_mil_std_1750a_f48", "MIL-STD-1750A f48 encoding not yet implemented"),
    ("encode_dec_f32", "DEC f32 encoding not yet implemented"),
    ("encode_dec_f64", "DEC f64 encoding not yet implemented"),
    ("encode_ibm_f32", "IBM f32 encoding not yet implemented"),
    ("encode_ibm_f64", "IBM f64 encoding not yet implemented"),
    ("encode_ti_f32", "TI f32 encoding not yet implemented"),
    ("encode_ti_f40", "TI f40 encoding not yet implemented"),
]


@pytest.mark.parametrize("name, message", NOT_IMPLEMENTED)
def test_not_implemented(name, message):
    fn = getattr(tessel, name)
    argument = 0 if name.startswith("decode_") else 1.0
    for call in (lambda: fn(argument), lambda: fn(_value=argument)):
        with pytest.raises(NotImplementedError) as info:
            call()
        assert type(info.value) is NotImplementedError and str(info.value) == message


@pytest.mark.parametrize("name, message", NOT_IMPLEMENTED)
def test_not_implemented_converts_its_argument_first(name, message):
    fn = getattr(tessel, name)
    with pytest.raises(TypeError) as info:
        fn("x")
    assert str(info.value).startswith("argument '_value': ")
    if name.startswith("decode_"):
        with pytest.raises(OverflowError):
            fn(-1)
    else:
        with pytest.raises(OverflowError):
            fn(10**400)
    with pytest.raises(TypeError, match="unexpected keyword argument 'value'"):
        fn(value=0)
