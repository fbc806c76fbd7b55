"""A short tour of tessel: engineering values to bit-exact fields and back."""
import tessel

print("Signed integers in narrow fields")
for value, bits in [(-2, 16), (-5, 12), (100, 8)]:
    twos = tessel.encode_twos_complement(value, bits)
    ones = tessel.encode_ones_complement(value, bits)
    sign = tessel.encode_sign_magnitude(value, bits)
    width = (bits + 3) // 4
    print(f"  {value:>5} in {bits:>2} bits: two's 0x{twos:0{width}X}  ones' 0x{ones:0{width}X}"
          f"  sign-magnitude 0x{sign:0{width}X}")
    assert tessel.decode_twos_complement(twos, bits) == value
    assert tessel.decode_ones_complement(ones, bits) == value
    assert tessel.decode_sign_magnitude(sign, bits) == value

print("A value that does not fit is refused, never truncated")
try:
    tessel.encode_twos_complement(128, 8)
except ValueError as e:
    print(f"  ValueError: {e}")
