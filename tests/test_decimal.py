"""Packed BCD and unpacked BCD / zoned decimal fields."""
import pytest
from hypothesis import given
from hypothesis import strategies as st

from tessel import decode_packed_bcd, decode_unpacked_bcd, encode_packed_bcd, encode_unpacked_bcd

MIN64, MAX64 = -2**63, 2**63 - 1

# (function, value, bits, signed, pattern)
ENCODED = [
    (encode_packed_bcd, 1234, 16, False, 0x1234),
    (encode_packed_bcd, 123, 16, True, 0x123C),
    (encode_packed_bcd, -123, 16, True, 0x123D),
    (encode_packed_bcd, 0, 4, True, 0xC),
    (encode_packed_bcd, 0, 4, False, 0x0),
    (encode_packed_bcd, 7, 10, False, 0x07),
    (encode_packed_bcd, 9, 4, False, 0x9),
    (encode_packed_bcd, 9999999999999999, 64, False, 0x9999999999999999),
    (encode_packed_bcd, -999999999999999, 64, True, 0x999999999999999D),
    (encode_packed_bcd, 0, 64, True, 0xC),
    (encode_unpacked_bcd, 123, 24, False, 0x010203),
    (encode_unpacked_bcd, -123, 24, False, 0x010203),
    (encode_unpacked_bcd, 123, 24, True, 0xF1F2C3),
    (encode_unpacked_bcd, -123, 24, True, 0xF1F2D3),
    (encode_unpacked_bcd, 0, 8, True, 0xC0),
    (encode_unpacked_bcd, -7, 8, True, 0xD7),
    (encode_unpacked_bcd, 5, 15, False, 0x05),
    (encode_unpacked_bcd, 12345678, 64, True, 0xF1F2F3F4F5F6F7C8),
    (encode_unpacked_bcd, 0, 32, True, 0xF0F0F0C0),
]


@pytest.mark.parametrize("encode, value, bits, signed, pattern", ENCODED)
def test_encode(encode, value, bits, signed, pattern):
    assert encode(value, bits, signed) == pattern


REFUSED = [
    (encode_packed_bcd, 1234, 16, True, "Value 1234 has too many digits for 3 BCD digits"),
    (encode_packed_bcd, -1, 8, False, "Cannot encode negative value in unsigned BCD"),
    (encode_packed_bcd, 5, 3, False, "bits must be >= 4 for packed BCD"),
    (encode_packed_bcd, 1, 4, True, "Value 1 has too many digits for 0 BCD digits"),
    (encode_packed_bcd, MIN64, 64, True, "Value -9223372036854775808 has too many digits for 15 BCD digits"),
    (encode_packed_bcd, MAX64, 64, False, "Value 9223372036854775807 has too many digits for 16 BCD digits"),
    # order: width, then sign, then digit count
    (encode_packed_bcd, -10**9, 3, False, "bits must be >= 4 for packed BCD"),
    (encode_packed_bcd, -10**9, 8, False, "Cannot encode negative value in unsigned BCD"),
    # a 64-bit pattern holds 16 nibbles: wider fields are refused, never wrapped into the low digits
    (encode_packed_bcd, 1, 68, False, "bits must be <= 64 for packed BCD"),
    (encode_packed_bcd, -1, 2**32 - 1, False, "bits must be <= 64 for packed BCD"),
    (encode_unpacked_bcd, 1234, 24, False, "Value 1234 has too many digits for 3 BCD digits"),
    (encode_unpacked_bcd, 1234, 24, True, "Value 1234 has too many digits for 3 BCD digits"),
    (encode_unpacked_bcd, -1234, 24, True, "Value -1234 has too many digits for 3 BCD digits"),
    (encode_unpacked_bcd, 1, 7, False, "bits must be >= 8 for unpacked BCD"),
    (encode_unpacked_bcd, 1, 72, True, "bits must be <= 64 for unpacked BCD"),
    (encode_unpacked_bcd, MIN64, 64, True, "Value -9223372036854775808 has too many digits for 8 BCD digits"),
]


@pytest.mark.parametrize("encode, value, bits, signed, message", REFUSED)
def test_encode_refused(encode, value, bits, signed, message):
    with pytest.raises(ValueError) as info:
        encode(value, bits, signed)
    assert type(info.value) is ValueError and str(info.value) == message


# (function, pattern, bits, signed, value)
DECODED = [
    (decode_packed_bcd, 0x123D, 16, True, -123),
    (decode_packed_bcd, 0x123B, 16, True, -123),
    (decode_packed_bcd, 0x123F, 16, True, 123),
    (decode_packed_bcd, 0x123A, 16, True, 123),
    (decode_packed_bcd, 0x123C, 16, True, 123),
    (decode_packed_bcd, 0x123E, 16, True, 123),
    (decode_packed_bcd, 0x1234, 16, False, 1234),
    (decode_packed_bcd, 0x7, 3, False, 0),
    (decode_packed_bcd, 0xF, 3, True, 0),
    (decode_packed_bcd, 0xD, 4, True, 0),
    (decode_packed_bcd, 0x9999999999999999, 64, False, 9999999999999999),
    (decode_packed_bcd, 0xAB12, 8, False, 12),       # nibbles above the field are not read
    (decode_packed_bcd, 0x345, 10, False, 45),        # neither are bits above the last whole nibble
    (decode_packed_bcd, 0x1234, 72, False, 1234),     # positions beyond the pattern are leading zeros
    (decode_packed_bcd, 0x1234, 2**32 - 1, False, 1234),
    (decode_unpacked_bcd, 0x313233, 24, True, 123),
    (decode_unpacked_bcd, 0xF1F2D3, 24, True, -123),
    (decode_unpacked_bcd, 0x31F2D3, 24, True, -123),  # ASCII and EBCDIC digits mixed
    (decode_unpacked_bcd, 0xF1F2F3, 24, True, 123),
    (decode_unpacked_bcd, 0xF1F233, 24, True, 123),
    (decode_unpacked_bcd, 0x010203, 24, False, 123),
    (decode_unpacked_bcd, 0x7F, 7, False, 0),
    (decode_unpacked_bcd, 0x7F, 7, True, 0),
    (decode_unpacked_bcd, 0x0102, 72, False, 12),
    (decode_unpacked_bcd, 0x0102, 2**32 - 1, False, 12),
]


@pytest.mark.parametrize("decode, pattern, bits, signed, value", DECODED)
def test_decode(decode, pattern, bits, signed, value):
    assert decode(pattern, bits, signed) == value


SIGNED_BYTE = "Invalid zoned decimal signed byte: 0x{:02X} (expected 0x30-0x39, 0xC0-0xC9, 0xD0-0xD9, or 0xF0-0xF9)"
DIGIT_BYTE = "Invalid zoned decimal byte: 0x{:02X} (expected ASCII 0x30-0x39 or EBCDIC 0xF0-0xF9)"
SIGN_NIBBLE = "Invalid BCD sign nibble: expected 0xA-0xF for signed packed BCD"

DECODE_REFUSED = [
    (decode_packed_bcd, 0x1239, 16, True, SIGN_NIBBLE),
    (decode_packed_bcd, 0xAB0, 12, True, SIGN_NIBBLE),       # the sign is checked before any digit
    (decode_packed_bcd, 0x1A, 8, False, "Invalid BCD digit: 10 (must be 0-9)"),
    (decode_packed_bcd, 0xFB, 8, False, "Invalid BCD digit: 11 (must be 0-9)"),  # lowest bad digit first
    (decode_packed_bcd, 0xF1C, 12, True, "Invalid BCD digit: 15 (must be 0-9)"),
    (decode_unpacked_bcd, 0x313233, 24, False, "Invalid BCD digit: 51 (must be 0-9)"),
    (decode_unpacked_bcd, 0x0A, 8, False, "Invalid BCD digit: 10 (must be 0-9)"),
    (decode_unpacked_bcd, 0xF1F2B3, 24, True, SIGNED_BYTE.format(0xB3)),
    (decode_unpacked_bcd, 0xF1F2CA, 24, True, SIGNED_BYTE.format(0xCA)),
    (decode_unpacked_bcd, 0x0A, 8, True, SIGNED_BYTE.format(0x0A)),
    (decode_unpacked_bcd, 0x05, 8, True, SIGNED_BYTE.format(0x05)),
    (decode_unpacked_bcd, 0xF1C2C3, 24, True, DIGIT_BYTE.format(0xC2)),
    (decode_unpacked_bcd, 0x3AC3, 16, True, DIGIT_BYTE.format(0x3A)),
    (decode_unpacked_bcd, 0x09C3, 16, True, DIGIT_BYTE.format(0x09)),
    # a signed field wider than the pattern: its missing bytes read as 0x00
    (decode_unpacked_bcd, 0xF1F2F3F4F5F6F7C8, 72, True, DIGIT_BYTE.format(0x00)),
    (decode_unpacked_bcd, 0xC1, 2**32 - 1, True, DIGIT_BYTE.format(0x00)),
]


@pytest.mark.parametrize("decode, pattern, bits, signed, message", DECODE_REFUSED)
def test_decode_refused(decode, pattern, bits, signed, message):
    with pytest.raises(ValueError) as info:
        decode(pattern, bits, signed)
    assert type(info.value) is ValueError and str(info.value) == message


def test_signed_defaults_to_false_and_takes_keywords():
    assert encode_packed_bcd(1234, 16) == encode_packed_bcd(1234, 16, False) == 0x1234
    assert encode_packed_bcd(value=123, bits=16, signed=True) == 0x123C
    assert decode_unpacked_bcd(bits=24, value=0xF1F2D3, signed=True) == -123


# Independent models: digits as decimal strings.
def packed_model(value, bits, signed):
    digits = bits // 4 - signed
    text = str(abs(value)).rjust(digits, "0")
    pattern = int(text, 16) if text else 0
    return (pattern << 4 | (0xD if value < 0 else 0xC)) if signed else pattern


def unpacked_model(value, bits, signed):
    digits = bits // 8
    text = str(abs(value)).rjust(digits, "0")
    out = 0
    for i, ch in enumerate(reversed(text)):
        zone = (0xD0 if value < 0 else 0xC0) if i == 0 else 0xF0
        out |= ((zone if signed else 0) | int(ch)) << (8 * i)
    return out


@st.composite
def fitting(draw, per_digit, low, min_bits):
    bits = draw(st.integers(min_bits, 64))
    signed = draw(st.booleans())
    digits = bits // per_digit - (signed if per_digit == 4 else 0)
    limit = min(10**digits - 1, 2**63 - 1)
    negative_ok = signed or low
    value = draw(st.one_of(st.integers(-limit if negative_ok else 0, limit),
                           st.sampled_from([0, limit, -limit if negative_ok else 0])))
    return value, bits, signed


@given(fitting(per_digit=4, low=False, min_bits=4))
def test_packed_round_trip(case):
    value, bits, signed = case
    pattern = encode_packed_bcd(value, bits, signed)
    assert pattern == packed_model(value, bits, signed)
    assert decode_packed_bcd(pattern, bits, signed) == value


@given(fitting(per_digit=8, low=True, min_bits=8))
def test_unpacked_round_trip(case):
    value, bits, signed = case
    pattern = encode_unpacked_bcd(value, bits, signed)
    assert pattern == unpacked_model(value, bits, signed)
    # the unsigned form keeps the magnitude only
    assert decode_unpacked_bcd(pattern, bits, signed) == (value if signed else abs(value))


@given(st.integers(4, 64), st.booleans(), st.integers(MIN64, MAX64))
def test_packed_digit_count_refusal_matches_the_model(bits, signed, value):
    digits = bits // 4 - signed
    fits = (signed or value >= 0) and abs(value) < 10**digits
    if fits:
        assert encode_packed_bcd(value, bits, signed) == packed_model(value, bits, signed)
    else:
        with pytest.raises(ValueError):
            encode_packed_bcd(value, bits, signed)


@given(st.integers(0, 2**64 - 1), st.integers(0, 80), st.booleans())
def test_packed_decoder_validates_every_nibble(pattern, bits, signed):
    nibbles = [(pattern >> (4 * i)) & 0xF if i < 16 else 0 for i in range(bits // 4)]
    if bits < 4:
        assert decode_packed_bcd(pattern, bits, signed) == 0
        return
    sign, digits = (nibbles[0], nibbles[1:]) if signed else (None, nibbles)
    if sign is not None and sign < 0xA or any(d > 9 for d in digits):
        with pytest.raises(ValueError):
            decode_packed_bcd(pattern, bits, signed)
    else:
        magnitude = int("".join(map(str, reversed(digits))) or "0")
        assert decode_packed_bcd(pattern, bits, signed) == (-magnitude if sign in (0xB, 0xD) else magnitude)
