"""A short tour of tessel: a housekeeping telemetry packet packed from a recipe and read back."""
import tessel


def field(name, encoding, bits, value=None, **more):
    item = {"name": name, "encoding": encoding, "bits": bits, "byte_order": "big", "reverse_bits": False, **more}
    if value is not None:
        item["value"] = value
    return item


print("Single values")
print(f"  -5 in a 12-bit two's complement field:   0x{tessel.encode_twos_complement(-5, 12):03X}")
print(f"  -5 in an 8-bit sign-magnitude field:      0x{tessel.encode_sign_magnitude(-5, 8):02X}")
print(f"  -123 as signed packed decimal (16 bits):  0x{tessel.encode_packed_bcd(-123, 16, True):04X}")
print(f"  28.25 V as IEEE 754 binary32:             0x{tessel.encode_ieee754_f32(28.25):08X}")
try:
    tessel.encode_twos_complement(128, 8)
except ValueError as e:
    print(f"  a value that does not fit is refused:     {e}")

# A primary header of fields that are not byte-aligned, then a byte-aligned payload.
header = [
    field("version", "unsigned", 3, 0),
    field("type", "unsigned", 1, 0),
    field("secondary_header", "unsigned", 1, 1),
    field("apid", "unsigned", 11, 0x1A5),
    field("sequence_flags", "unsigned", 2, 3),
    field("sequence_count", "unsigned", 14, 1207),
    field("data_length", "unsigned", 16, 15),
]
payload = [
    field("board_temp", "twos_complement", 16, -12),
    field("battery_temp", "twos_complement", 16, 7),
    field("bus_voltage", "ieee754", 32, 28.25),
    field("orbit", "packed_bcd_signed", 24, 10459),
    field("mode", "us_ascii", 32, "SAFE"),
]
packet = tessel.pack_parameters(header + payload)
print(f"\nHousekeeping packet, {len(packet)} bytes:\n  {packet.hex(' ').upper()}")

# The unpacker reads whole bytes: a field is taken from the byte holding its first bit and its
# value is the low `bits` bits of the bytes it spans. So the header is read back as whole 16-bit
# words and split here; the byte-aligned payload comes back field by field.
words = tessel.unpack_parameters(packet, 0, [
    field("packet_id", "unsigned", 16), field("sequence", "unsigned", 16), field("data_length", "unsigned", 16)])
print("\nHeader, read as whole bytes and split by the caller:")
print(f"  packet_id 0x{words['packet_id']:04X}: version {words['packet_id'] >> 13}, "
      f"type {words['packet_id'] >> 12 & 1}, secondary header {words['packet_id'] >> 11 & 1}, "
      f"apid 0x{words['packet_id'] & 0x7FF:03X}")
print(f"  sequence  0x{words['sequence']:04X}: flags {words['sequence'] >> 14}, count {words['sequence'] & 0x3FFF}")
print(f"  data_length {words['data_length']}")

decode_side = {"ieee754": "ieee754_f32"}  # the unpacker names float formats with their width
readback = [dict(f, encoding=decode_side.get(f["encoding"], f["encoding"])) for f in payload]
values = tessel.unpack_parameters(packet, 48, readback)
print("\nPayload, unpacked from bit 48:")
for name, value in values.items():
    print(f"  {name:<13} {value!r}")
