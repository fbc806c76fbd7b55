"""A short tour of tessel: engineering values to bit-exact fields and back."""
import tessel


def field(name, encoding, bits, value, **more):
    return {"name": name, "encoding": encoding, "bits": bits, "byte_order": "big", "reverse_bits": False,
            "value": value, **more}


print("Single values")
for value, bits in [(-2, 16), (-5, 12)]:
    twos = tessel.encode_twos_complement(value, bits)
    sign = tessel.encode_sign_magnitude(value, bits)
    print(f"  {value} in {bits} bits: two's complement 0x{twos:X}, sign-magnitude 0x{sign:X}")
print(f"  -123 as signed packed decimal: 0x{tessel.encode_packed_bcd(-123, 16, True):04X}")
print(f"  3.3 V as binary32: 0x{tessel.encode_ieee754_f32(3.3):08X}")
try:
    tessel.encode_twos_complement(128, 8)
except ValueError as e:
    print(f"  a value that does not fit is refused, never truncated: {e}")

# A housekeeping telemetry packet: a 6-byte header of unaligned fields, then the payload.
recipe = [
    field("version", "unsigned", 3, 0),
    field("type", "unsigned", 1, 0),
    field("secondary_header", "unsigned", 1, 1),
    field("apid", "unsigned", 11, 0x1A5),
    field("sequence_flags", "unsigned", 2, 3),
    field("sequence_count", "unsigned", 14, 1207),
    field("length", "unsigned", 16, 16),
    field("board_temp", "twos_complement", 16, -12),
    field("battery_temp", "twos_complement", 16, 7),
    field("bus_voltage", "ieee754", 32, 28.25),
    field("orbit", "packed_bcd_signed", 24, 10459),
    field("mode", "us_ascii", 32, "SAFE"),
    field("heater", "unsigned", 1, 1, offset_bits=175),
]
packet = tessel.pack_parameters(recipe)
print(f"\nHousekeeping packet ({len(packet)} bytes): {packet.hex(' ').upper()}")
