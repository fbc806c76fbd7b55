"""JPSS-1 spacecraft attitude and ephemeris packets (APID 11): a recipe written by hand from the
mission's XTCE definition (jpss1_geolocation_xtce_v1.xml), and their times and vectors in units.

    python examples/jpss1.py PACKETS    # a short account of a file of these packets

Each packet is 71 bytes: the 6-byte primary header, then the 65-byte data field below, every field
whole bytes, most significant byte first. examples/xtce_recipes.py reads the same recipe from the
XTCE itself.
"""
import datetime
import math
import sys

from ccsds_decode import read_rows

APID = 11
PACKET_BYTES = 71


def _field(name, encoding, bits):
    return {"name": name, "encoding": encoding, "bits": bits, "byte_order": "big", "reverse_bits": False}


def _time(prefix, day="DAY", ms="MS", us="US"):
    return [_field(prefix + day, "unsigned", 16), _field(prefix + ms, "unsigned", 32),
            _field(prefix + us, "unsigned", 16)]


RECIPE = [
    *_time("", "DOY", "MSEC", "USEC"),                  # bytes 6-13: secondary header time
    _field("ADAESCID", "unsigned", 8),                  # byte 14: spacecraft id
    *_time("ADAET1"),                                   # bytes 15-22: ephemeris valid time
    *(_field(f"ADGPS{quantity}{axis}", "ieee754_f32", 32)
      for quantity in ("POS", "VEL") for axis in "XYZ"),  # bytes 23-46: ECEF position (m), velocity (m/s)
    *_time("ADAET2"),                                   # bytes 47-54: attitude valid time
    *(_field(f"ADCFAQ{k}", "ieee754_f32", 32) for k in range(1, 5)),  # bytes 55-70: quaternion, scalar last
]
RECIPES = {APID: RECIPE}

EPOCH = datetime.datetime(1958, 1, 1)


def segmented_time(days, milliseconds, microseconds):
    """Days since 1958-01-01, milliseconds of the day, microseconds of the millisecond, as a
    datetime (leap seconds not applied)."""
    return EPOCH + datetime.timedelta(days=days, milliseconds=milliseconds, microseconds=microseconds)


def ephemeris_time(row):
    return segmented_time(row["ADAET1DAY"], row["ADAET1MS"], row["ADAET1US"])


def attitude_time(row):
    return segmented_time(row["ADAET2DAY"], row["ADAET2MS"], row["ADAET2US"])


def radius_km(row):
    return math.hypot(row["ADGPSPOSX"], row["ADGPSPOSY"], row["ADGPSPOSZ"]) / 1000


def speed_km_s(row):
    return math.hypot(row["ADGPSVELX"], row["ADGPSVELY"], row["ADGPSVELZ"]) / 1000


def quaternion_norm(row):
    return math.hypot(row["ADCFAQ1"], row["ADCFAQ2"], row["ADCFAQ3"], row["ADCFAQ4"])


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    if len(argv) != 1:
        sys.exit("usage: jpss1.py PACKETS")
    rows, stats = read_rows(argv[0], RECIPES)
    print(f"{argv[0]}: {stats.summary()}")
    if not rows:
        return
    radii = [radius_km(r) for r in rows]
    speeds = [speed_km_s(r) for r in rows]
    norms = [quaternion_norm(r) for r in rows]
    print(f"ephemeris from {ephemeris_time(rows[0])} to {ephemeris_time(rows[-1])}")
    print(f"orbit radius {min(radii):.1f} to {max(radii):.1f} km, speed {min(speeds):.3f} to {max(speeds):.3f} km/s")
    print(f"attitude quaternion norm {min(norms):.6f} to {max(norms):.6f}")


if __name__ == "__main__":
    main()
