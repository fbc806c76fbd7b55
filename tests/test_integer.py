"""Two's complement, ones' complement and sign-magnitude fields."""
import pytest
from hypothesis import given
from hypothesis import strategies as st

from tessel import (decode_ones_complement, decode_sign_magnitude, decode_twos_complement,
                    encode_ones_complement, encode_sign_magnitude, encode_twos_complement)

MIN64, MAX64, ALL64 = -2**63, 2**63 - 1, 2**64 - 1

# (function, value, bits, pattern)
ENCODED = [
    (encode_twos_complement, -1, 8, 255),
    (encode_twos_complement, -5, 12, 4091),
    (encode_twos_complement, -1, 64, ALL64),
    (encode_twos_complement, -128, 8, 128),
    (encode_twos_complement, 127, 8, 127),
    (encode_twos_complement, 0, 1, 0),
    (encode_twos_complement, -1, 1, 1),
    (encode_twos_complement, MIN64, 64, 2**63),
    (encode_twos_complement, MAX64, 64, MAX64),
    (encode_twos_complement, -2**62, 63, 2**62),
    (encode_twos_complement, 0, 0, 0),
    (encode_ones_complement, -1, 8, 254),
    (encode_ones_complement, -127, 8, 128),
    (encode_ones_complement, 127, 8, 127),
    (encode_ones_complement, 0, 8, 0),
    (encode_ones_complement, -5, 64, 0xFFFFFFFFFFFFFFFA),
    (encode_ones_complement, MAX64, 64, MAX64),
    (encode_ones_complement, MIN64 + 1, 64, 2**63),
    (encode_ones_complement, 0, 1, 0),
    (encode_ones_complement, 0, 0, 0),
    (encode_sign_magnitude, -5, 8, 133),
    (encode_sign_magnitude, -127, 8, 255),
    (encode_sign_magnitude, 127, 8, 127),
    (encode_sign_magnitude, 0, 8, 0),
    (encode_sign_magnitude, -1, 64, 0x8000000000000001),
    (encode_sign_magnitude, MAX64, 64, MAX64),
    (encode_sign_magnitude, MIN64 + 1, 64, ALL64),
    (encode_sign_magnitude, -1, 2, 3),
]


@pytest.mark.parametrize("encode, value, bits, pattern", ENCODED)
def test_encode(encode, value, bits, pattern):
    assert encode(value, bits) == pattern


# (function, value, bits, message)
REFUSED = [
    (encode_twos_complement, 128, 8, "Value 128 out of range for 8 bits (range: -128 to 127)"),
    (encode_twos_complement, -129, 8, "Value -129 out of range for 8 bits (range: -128 to 127)"),
    (encode_twos_complement, 1, 1, "Value 1 out of range for 1 bits (range: -1 to 0)"),
    (encode_twos_complement, 2**62, 63,
     "Value 4611686018427387904 out of range for 63 bits (range: -4611686018427387904 to 4611686018427387903)"),
    (encode_twos_complement, 5, 65, "bits must be <= 64 for two's complement encoding"),
    (encode_twos_complement, 5, 2**32 - 1, "bits must be <= 64 for two's complement encoding"),
    # a zero-width field holds only 0; anything else would be lost
    (encode_twos_complement, 5, 0, "Value 5 out of range for 0 bits (range: 0 to 0)"),
    (encode_twos_complement, -1, 0, "Value -1 out of range for 0 bits (range: 0 to 0)"),
    (encode_ones_complement, -128, 8, "Value -128 is too large (magnitude) for 8 bits"),
    (encode_ones_complement, 128, 8, "Value 128 is too large for 8 bits"),
    (encode_ones_complement, MIN64, 64, "Value -9223372036854775808 is too large (magnitude) for 64 bits"),
    (encode_ones_complement, 1, 1, "Value 1 is too large for 1 bits"),
    (encode_ones_complement, -1, 1, "Value -1 is too large (magnitude) for 1 bits"),
    (encode_ones_complement, 5, 0, "Value 5 is too large for 0 bits"),
    (encode_ones_complement, -5, 0, "Value -5 is too large (magnitude) for 0 bits"),
    (encode_ones_complement, MIN64, 0, "Value -9223372036854775808 is too large (magnitude) for 0 bits"),
    (encode_ones_complement, 1, 65, "bits must be <= 64 for ones' complement encoding"),
    (encode_sign_magnitude, -128, 8, "Magnitude of -128 is too large for 8 bits"),
    (encode_sign_magnitude, 128, 8, "Magnitude of 128 is too large for 8 bits"),
    (encode_sign_magnitude, MIN64, 64, "Magnitude of -9223372036854775808 is too large for 64 bits"),
    (encode_sign_magnitude, 0, 1, "bits must be between 2 and 64 for sign-magnitude encoding"),
    (encode_sign_magnitude, 0, 0, "bits must be between 2 and 64 for sign-magnitude encoding"),
    (encode_sign_magnitude, 0, 65, "bits must be between 2 and 64 for sign-magnitude encoding"),
    # the width check comes before the range check
    (encode_sign_magnitude, 10**6, 1, "bits must be between 2 and 64 for sign-magnitude encoding"),
    (encode_twos_complement, 10**6, 99, "bits must be <= 64 for two's complement encoding"),
]


@pytest.mark.parametrize("encode, value, bits, message", REFUSED)
def test_encode_refused(encode, value, bits, message):
    with pytest.raises(ValueError) as info:
        encode(value, bits)
    assert type(info.value) is ValueError
    assert str(info.value) == message


# (function, pattern, bits, value)
DECODED = [
    (decode_twos_complement, 0x80, 8, -128),
    (decode_twos_complement, 0x7F, 8, 127),
    (decode_twos_complement, 0xFF, 8, -1),
    (decode_twos_complement, ALL64, 64, -1),
    (decode_twos_complement, 2**63, 64, MIN64),
    (decode_twos_complement, 1, 1, -1),
    (decode_ones_complement, 0xFF, 8, 0),
    (decode_ones_complement, 0xFE, 8, -1),
    (decode_ones_complement, 0x80, 8, -127),
    (decode_ones_complement, ALL64, 64, 0),
    (decode_ones_complement, 2**63, 64, -(2**63 - 1)),
    (decode_ones_complement, 1, 1, 0),
    (decode_sign_magnitude, 0x80, 8, 0),
    (decode_sign_magnitude, 0xFF, 8, -127),
    (decode_sign_magnitude, 0x85, 8, -5),
    (decode_sign_magnitude, ALL64, 64, -MAX64),
    (decode_sign_magnitude, 1, 1, 0),
    # widths above 64 read the whole 64-bit pattern
    (decode_twos_complement, ALL64, 65, -1),
    (decode_ones_complement, ALL64, 2**32 - 1, 0),
    (decode_sign_magnitude, 2**63 + 5, 72, -5),
    # bits above the field are not part of it
    (decode_twos_complement, 0x17F, 8, 127),
    (decode_twos_complement, 0x1FF, 8, -1),
    (decode_ones_complement, 0x17F, 8, 127),
    (decode_ones_complement, 0x1FE, 8, -1),
    (decode_sign_magnitude, 0x185, 8, -5),
    # a zero-width field reads as 0
    (decode_twos_complement, ALL64, 0, 0),
    (decode_ones_complement, 2**63, 0, 0),
    (decode_sign_magnitude, ALL64, 0, 0),
]


@pytest.mark.parametrize("decode, pattern, bits, value", DECODED)
def test_decode(decode, pattern, bits, value):
    assert decode(pattern, bits) == value


# Independent models of each representation, over Python's unbounded integers.
def twos_model(value, bits):
    return value % (1 << bits)


def ones_model(value, bits):
    return value if value >= 0 else (1 << bits) - 1 - (-value)


def sign_model(value, bits):
    return value if value >= 0 else (1 << (bits - 1)) | -value


widths = st.integers(min_value=1, max_value=64)


@st.composite
def width_and_value(draw, lowest, highest, min_width=1):
    bits = draw(st.integers(min_value=min_width, max_value=64))
    lo, hi = lowest(bits), highest(bits)
    value = draw(st.one_of(st.integers(lo, hi), st.sampled_from([lo, hi, 0, max(lo, -1), min(hi, 1)])))
    return bits, value


@given(width_and_value(lambda n: -(1 << (n - 1)), lambda n: (1 << (n - 1)) - 1))
def test_twos_complement_round_trip(case):
    bits, value = case
    pattern = encode_twos_complement(value, bits)
    assert pattern == twos_model(value, bits)
    assert decode_twos_complement(pattern, bits) == value


@given(width_and_value(lambda n: -((1 << (n - 1)) - 1), lambda n: (1 << (n - 1)) - 1))
def test_ones_complement_round_trip(case):
    bits, value = case
    pattern = encode_ones_complement(value, bits)
    assert pattern == ones_model(value, bits)
    assert pattern != (1 << bits) - 1  # never negative zero
    assert decode_ones_complement(pattern, bits) == value


@given(width_and_value(lambda n: -((1 << (n - 1)) - 1), lambda n: (1 << (n - 1)) - 1, min_width=2))
def test_sign_magnitude_round_trip(case):
    bits, value = case
    pattern = encode_sign_magnitude(value, bits)
    assert pattern == sign_model(value, bits)
    assert decode_sign_magnitude(pattern, bits) == value


@given(widths, st.integers(MIN64, MAX64))
def test_encoders_refuse_exactly_the_values_outside_the_range(bits, value):
    half = 1 << (bits - 1)
    for encode, fits in [(encode_twos_complement, -half <= value < half),
                         (encode_ones_complement, -half < value < half),
                         (encode_sign_magnitude, -half < value < half and bits >= 2)]:
        if fits:
            assert 0 <= encode(value, bits) < (1 << bits)
        else:
            with pytest.raises(ValueError):
                encode(value, bits)


@given(widths, st.integers(0, ALL64))
def test_decoders_read_the_low_bits_only(bits, pattern):
    field = pattern & ((1 << bits) - 1)
    sign = field >> (bits - 1)
    magnitude = field & ((1 << (bits - 1)) - 1)
    assert decode_twos_complement(pattern, bits) == field - (sign << bits)
    assert decode_ones_complement(pattern, bits) == (field - (1 << bits) + 1 if sign else field)
    assert decode_sign_magnitude(pattern, bits) == (-magnitude if sign else magnitude)
