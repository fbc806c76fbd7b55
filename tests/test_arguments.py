"""Argument binding and conversion: every message shape, exactly."""
import operator
import struct

import pytest

import tessel


class Index:
    """An integer-like object: only __index__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class BadIndex:
    def __index__(self):
        raise TypeError("no index today")


class IntSubclass(int):
    pass


# (call, exception type, exact message)
BINDING = [
    (lambda: tessel.encode_twos_complement(5), TypeError,
     "encode_twos_complement() missing 1 required positional argument: 'bits'"),
    (lambda: tessel.encode_twos_complement(), TypeError,
     "encode_twos_complement() missing 2 required positional arguments: 'value' and 'bits'"),
    (lambda: tessel.encode_twos_complement(bits=8), TypeError,
     "encode_twos_complement() missing 1 required positional argument: 'value'"),
    (lambda: tessel.decode_sign_magnitude(1, 2, 3), TypeError,
     "decode_sign_magnitude() takes 2 positional arguments but 3 were given"),
    (lambda: tessel.decode_sign_magnitude(1, 2, 3, 4), TypeError,
     "decode_sign_magnitude() takes 2 positional arguments but 4 were given"),
    (lambda: tessel.encode_ones_complement(1, 8, value=2), TypeError,
     "encode_ones_complement() got multiple values for argument 'value'"),
    (lambda: tessel.encode_ones_complement(1, 8, bits=2), TypeError,
     "encode_ones_complement() got multiple values for argument 'bits'"),
    (lambda: tessel.encode_ones_complement(1, width=8), TypeError,
     "encode_ones_complement() got an unexpected keyword argument 'width'"),
    (lambda: tessel.encode_ones_complement(1, 8, width=8), TypeError,
     "encode_ones_complement() got an unexpected keyword argument 'width'"),
    # too many positionals is reported before a bad keyword
    (lambda: tessel.encode_ones_complement(1, 8, 9, width=8), TypeError,
     "encode_ones_complement() takes 2 positional arguments but 3 were given"),
    # keywords are examined in order; the first problem is reported
    (lambda: tessel.encode_ones_complement(1, value=3, width=8), TypeError,
     "encode_ones_complement() got multiple values for argument 'value'"),
    (lambda: tessel.encode_ones_complement(1, width=8, value=3), TypeError,
     "encode_ones_complement() got an unexpected keyword argument 'width'"),
    # keyword errors come before missing arguments
    (lambda: tessel.encode_ones_complement(width=8), TypeError,
     "encode_ones_complement() got an unexpected keyword argument 'width'"),
    (lambda: tessel.encode_ones_complement(**{"_value": 1, "bits": 8}), TypeError,
     "encode_ones_complement() got an unexpected keyword argument '_value'"),
    (lambda: tessel.encode_ones_complement(**{"\udc80": 1}), TypeError,
     "encode_ones_complement() got an unexpected keyword argument '\udc80'"),
]


@pytest.mark.parametrize("call, kind, message", BINDING)
def test_binding_messages(call, kind, message):
    with pytest.raises(kind) as info:
        call()
    assert type(info.value) is kind
    assert str(info.value) == message


def test_keywords_in_any_order():
    assert tessel.encode_twos_complement(bits=8, value=-1) == 255
    assert tessel.encode_twos_complement(-1, bits=8) == 255


def test_keywords_built_at_run_time_are_matched_by_value():
    # Names made at run time are not the interned objects; the binder compares them by value.
    value, bits = "".join(["val", "ue"]), "".join(["bi", "ts"])
    assert tessel.encode_twos_complement(**{value: -2, bits: 8}) == 254


# Conversion failures: TypeErrors carry the parameter prefix, other errors pass unchanged.
CONVERSION = [
    (lambda: tessel.encode_twos_complement(1.0, 8), TypeError,
     "argument 'value': 'float' object cannot be interpreted as an integer"),
    (lambda: tessel.encode_twos_complement("1", 8), TypeError,
     "argument 'value': 'str' object cannot be interpreted as an integer"),
    (lambda: tessel.encode_twos_complement(1, 8.0), TypeError,
     "argument 'bits': 'float' object cannot be interpreted as an integer"),
    (lambda: tessel.decode_twos_complement(None, 8), TypeError,
     "argument 'value': 'NoneType' object cannot be interpreted as an integer"),
    (lambda: tessel.decode_twos_complement(BadIndex(), 8), TypeError, "argument 'value': no index today"),
    (lambda: tessel.encode_sign_magnitude(1, 2**32), OverflowError,
     "out of range integral type conversion attempted"),
    (lambda: tessel.encode_sign_magnitude(1, 2**64), OverflowError, None),
    (lambda: tessel.encode_sign_magnitude(1, -1), OverflowError, None),
    (lambda: tessel.decode_twos_complement(-1, 8), OverflowError, None),
    (lambda: tessel.decode_twos_complement(2**64, 8), OverflowError, None),
    (lambda: tessel.encode_twos_complement(2**63, 64), OverflowError, None),
    (lambda: tessel.encode_twos_complement(-2**63 - 1, 64), OverflowError, None),
    (lambda: tessel.decode_ieee754_f128(2**128), OverflowError, "Python int larger than 128 bits"),
    (lambda: tessel.decode_ieee754_f128(Index(2**200)), OverflowError, "Python int larger than 128 bits"),
    (lambda: tessel.decode_ieee754_f128(-1), ValueError, None),
    (lambda: tessel.decode_ieee754_f128(1.0), TypeError,
     "argument 'value': 'float' object cannot be interpreted as an integer"),
    # the first failing conversion ends the call: `bits` is never looked at
    (lambda: tessel.encode_twos_complement("x", "y"), TypeError,
     "argument 'value': 'str' object cannot be interpreted as an integer"),
]


@pytest.mark.parametrize("call, kind, message", CONVERSION)
def test_conversion_failures(call, kind, message):
    with pytest.raises(kind) as info:
        call()
    assert type(info.value) is kind
    if message is not None:
        assert str(info.value) == message
    else:
        assert not str(info.value).startswith("argument")


def test_prefixed_type_error_keeps_the_cause():
    class CausedIndex:
        def __index__(self):
            raise TypeError("inner") from KeyError("root")

    with pytest.raises(TypeError) as info:
        tessel.decode_twos_complement(CausedIndex(), 8)
    assert str(info.value) == "argument 'value': inner"
    assert isinstance(info.value.__cause__, KeyError)


def test_exception_from_index_passes_unchanged():
    class Exploding:
        def __index__(self):
            raise ZeroDivisionError("boom")

    with pytest.raises(ZeroDivisionError, match="^boom$"):
        tessel.encode_twos_complement(Exploding(), 8)


@pytest.mark.parametrize("value", [True, IntSubclass(-3), Index(-3), operator.index(-3)])
def test_signed_accepts_int_like(value):
    assert tessel.encode_twos_complement(value, 8) == int(value) & 0xFF


@pytest.mark.parametrize("value, bits, expected", [
    (IntSubclass(200), 8, -56), (Index(200), 8, -56), (False, 8, 0), (True, 1, -1),
    (Index(2**64 - 1), 64, -1), (IntSubclass(2**64 - 1), 64, -1), (Index(2**63), 64, -2**63),
])
def test_unsigned_accepts_int_like(value, bits, expected):
    assert tessel.decode_twos_complement(value, bits) == expected


@pytest.mark.parametrize("value", [Index(-1), Index(-2**63), IntSubclass(-1)])
def test_unsigned_refuses_negative_int_like(value):
    with pytest.raises(OverflowError) as info:
        tessel.decode_twos_complement(value, 8)
    assert str(info.value) == "can't convert negative int to unsigned"


# 0x80 reads differently at every width around 8: 0 below it, 128 above it.
@pytest.mark.parametrize("bits, expected", [(Index(8), -128), (IntSubclass(8), -128), (Index(7), 0),
                                            (IntSubclass(9), 128), (True, 0), (Index(2**32 - 1), 128)])
def test_bit_count_accepts_int_like(bits, expected):
    assert tessel.decode_twos_complement(0x80, bits) == expected


def test_bit_count_boundary():
    assert tessel.decode_twos_complement(5, 2**32 - 1) == 5
    with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
        tessel.decode_twos_complement(5, Index(2**32))


class FakeNumpyBool:
    """A type that claims to be the numeric library's boolean but has no truth slot."""


FakeNumpyBool.__module__ = "numpy"
FakeNumpyBool.__name__ = FakeNumpyBool.__qualname__ = "bool_"


class Floaty:
    def __float__(self):
        return 0.5


FLAG_REFUSED = [
    (1, "argument 'signed': 'int' object cannot be cast as 'bool'"),
    (0, "argument 'signed': 'int' object cannot be cast as 'bool'"),
    (None, "argument 'signed': 'NoneType' object cannot be cast as 'bool'"),
    ("True", "argument 'signed': 'str' object cannot be cast as 'bool'"),
    (FakeNumpyBool(), "argument 'signed': object of type '<class 'numpy.bool_'>' "
                      "does not define a '__bool__' conversion"),
]


@pytest.mark.parametrize("flag, message", FLAG_REFUSED)
def test_flag_refusals(flag, message):
    with pytest.raises(TypeError) as info:
        tessel.encode_packed_bcd(123, 16, flag)
    assert str(info.value) == message


def test_flag_accepts_numpy_booleans():
    np = pytest.importorskip("numpy")
    assert tessel.encode_packed_bcd(123, 16, np.True_) == 0x123C
    assert tessel.encode_packed_bcd(123, 16, np.bool_(False)) == 0x123
    with pytest.raises(TypeError, match="^argument 'signed': 'int64' object cannot be cast as 'bool'$"):
        tessel.encode_packed_bcd(123, 16, np.int64(1))


FLOATS = [
    (1, 0x3F800000),
    (True, 0x3F800000),
    (Index(2), 0x40000000),
    (Floaty(), 0x3F000000),
    (IntSubclass(3), 0x40400000),
]


@pytest.mark.parametrize("value, pattern", FLOATS)
def test_float_accepts_what_float_accepts(value, pattern):
    assert tessel.encode_ieee754_f32(value) == pattern
    assert tessel.encode_ieee754_f64(value) == struct.unpack("<Q", struct.pack("<d", float(value)))[0]


@pytest.mark.parametrize("fn", [tessel.encode_ieee754_f16, tessel.encode_ieee754_f32, tessel.encode_ieee754_f64,
                                tessel.encode_ti_f32, tessel.encode_ieee754_f128])
def test_float_refusals(fn):
    name = fn.__text_signature__.strip("()")
    with pytest.raises(TypeError) as info:
        fn("1")
    assert str(info.value) == f"argument '{name}': must be real number, not str"
    with pytest.raises(OverflowError) as info:
        fn(10**400)
    assert not str(info.value).startswith("argument")


U128 = [(2**128 - 1, "nan"), (0, 0.0), (Index(0x3FFF << 112), 1.0), (IntSubclass(0x3FFF << 112), 1.0)]


@pytest.mark.parametrize("value, result", U128)
def test_u128_accepts(value, result):
    got = tessel.decode_ieee754_f128(value)
    assert repr(got) == repr(float(result))


def test_bcd_too_many_positionals_names_the_range():
    with pytest.raises(TypeError) as info:
        tessel.encode_packed_bcd(1, 8, False, 0)
    assert str(info.value) == "encode_packed_bcd() takes from 2 to 3 positional arguments but 4 were given"
    with pytest.raises(TypeError) as info:
        tessel.decode_unpacked_bcd()
    assert str(info.value) == "decode_unpacked_bcd() missing 2 required positional arguments: 'value' and 'bits'"
