"""References, memory and threads: repeated calls leave nothing behind."""
import gc
import sys
import threading
import tracemalloc

import pytest

import tessel

# (function, arguments) on the success path and on every kind of failure path.
CALLS = [
    (tessel.encode_twos_complement, (-5, 12)),
    (tessel.encode_twos_complement, (128, 8)),            # codec error
    (tessel.encode_twos_complement, (2**70, 8)),          # conversion OverflowError
    (tessel.encode_twos_complement, ("x", 8)),            # prefixed TypeError
    (tessel.encode_twos_complement, (1,)),                # binding error
    (tessel.encode_ones_complement, (-5, 12)),
    (tessel.encode_ones_complement, (-2**63, 64)),
    (tessel.encode_sign_magnitude, (-5, 12)),
    (tessel.encode_sign_magnitude, (0, 1)),
    (tessel.decode_twos_complement, (0xFFF, 12)),
    (tessel.decode_ones_complement, (0xFFF, 12)),
    (tessel.decode_sign_magnitude, (2**64 - 1, 64)),
    (tessel.decode_sign_magnitude, (-1, 64)),
    (tessel.encode_packed_bcd, (-123, 16, True)),
    (tessel.encode_packed_bcd, (-123, 16, 1)),               # flag refused
    (tessel.encode_unpacked_bcd, (1234, 24, True)),
    (tessel.decode_packed_bcd, (0x123D, 16, True)),
    (tessel.decode_packed_bcd, (0x1A, 8, False)),
    (tessel.decode_unpacked_bcd, (0xF1F2B3, 24, True)),     # hex message
    (tessel.encode_ieee754_f16, (0.1,)),
    (tessel.encode_ieee754_f32, (10**400,)),
    (tessel.encode_ieee754_f64, ("1",)),
    (tessel.decode_ieee754_f32, (0x3F800000,)),
    (tessel.decode_ieee754_f128, (0x3FFF << 112,)),
    (tessel.decode_ieee754_f128, (2**128,)),
    (tessel.decode_ieee754_f128, (-1,)),
    (tessel.encode_ti_f40, (1.0,)),
    (tessel.decode_ibm_f64, (0,)),
]


def call_many(fn, args, kwargs, times):
    for _ in range(times):
        try:
            fn(*args, **kwargs)
        except Exception:
            pass


@pytest.mark.parametrize("fn, args", CALLS)
@pytest.mark.parametrize("by_keyword", [False, True])
def test_no_memory_growth(fn, args, by_keyword):
    names = fn.__text_signature__.strip("()").split(", ")
    kwargs = {}
    if by_keyword:
        kwargs = {names[i].split("=")[0]: a for i, a in enumerate(args)}
        args = ()
    call_many(fn, args, kwargs, 2000)  # warm caches
    gc.collect()
    tracemalloc.start()
    try:
        before, _ = tracemalloc.get_traced_memory()
        call_many(fn, args, kwargs, 20000)
        gc.collect()
        after, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert after - before < 4096, f"{fn.__name__} grew by {after - before} bytes"


@pytest.mark.parametrize("fn, args", CALLS)
def test_argument_references_unchanged(fn, args):
    # Big ints are fresh objects, so their reference counts show any leak or over-release.
    held = [int(str(a)) if type(a) is int else a for a in args]
    counts = [sys.getrefcount(a) for a in held]
    call_many(fn, held, {}, 1000)
    assert [sys.getrefcount(a) for a in held] == counts


def test_threads_get_their_own_results():
    errors = []

    def work(offset):
        try:
            for i in range(2000):
                value = (i * 7919 + offset) % 2**15 - 2**14
                pattern = tessel.encode_twos_complement(value, 16)
                assert tessel.decode_twos_complement(pattern, 16) == value
                assert tessel.decode_ones_complement(tessel.encode_ones_complement(value, 16), 16) == value
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=work, args=(n,)) for n in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
