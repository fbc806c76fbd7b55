"""Per-call cost of the scalar integer codecs against stdlib calls of the same shape."""
import os
import struct
import sys

sys.path.insert(0, os.path.dirname(__file__))
from _timing import compare  # noqa: E402

import tessel  # noqa: E402

pack_h = struct.Struct(">h").pack
unpack_h = struct.Struct(">h").unpack
raw = b"\xff\xfb"

print(f"{'case (tessel vs baseline)':<52} {'tessel':>12} {'baseline':>12}")
compare("encode_twos_complement(-5, 12) vs struct.pack('>h')",
        lambda: tessel.encode_twos_complement(-5, 12), lambda: pack_h(-5))
compare("encode_twos_complement(value=-5, bits=12) vs pack",
        lambda: tessel.encode_twos_complement(value=-5, bits=12), lambda: pack_h(-5))
compare("decode_twos_complement(0xFFB, 12) vs struct.unpack",
        lambda: tessel.decode_twos_complement(0xFFB, 12), lambda: unpack_h(raw))
compare("decode_twos_complement vs int.from_bytes(signed)",
        lambda: tessel.decode_twos_complement(0xFFFB, 16),
        lambda: int.from_bytes(raw, "big", signed=True))
compare("encode_sign_magnitude(-5, 8) vs abs(-5)",
        lambda: tessel.encode_sign_magnitude(-5, 8), lambda: abs(-5))
compare("decode_ones_complement(0xFFFA, 16) vs divmod(7, 3)",
        lambda: tessel.decode_ones_complement(0xFFFA, 16), lambda: divmod(7, 3))

pack_f, unpack_e = struct.Struct(">f").pack, struct.Struct(">e").unpack
compare("encode_ieee754_f32(1.5) vs struct.pack('>f')",
        lambda: tessel.encode_ieee754_f32(1.5), lambda: pack_f(1.5))
compare("decode_ieee754_f16(0x3E00) vs struct.unpack('>e')",
        lambda: tessel.decode_ieee754_f16(0x3E00), lambda: unpack_e(b"\x3e\x00"))
compare("encode_packed_bcd(-1234, 24, True) vs int(str, 16)",
        lambda: tessel.encode_packed_bcd(-1234, 24, True), lambda: int("1234D", 16))
compare("decode_packed_bcd(0x1234D, 24, True) vs int('1234')",
        lambda: tessel.decode_packed_bcd(0x1234D, 24, True), lambda: int("1234"))
