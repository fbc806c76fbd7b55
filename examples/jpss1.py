"""JPSS-1 spacecraft attitude and ephemeris packets (APID 11): a recipe written by hand from the
mission's XTCE definition (jpss1_geolocation_xtce_v1.xml), and their times and vectors in units.

    python examples/jpss1.py PACKETS    # a short account of a file of these packets

Each packet is 71 bytes: the 6-byte primary header, then the 65-byte data field below, every field
whole bytes, most significant byte first. tessel_archive.xtce reads the same layout from the XTCE
itself (tests/test_xtce.py checks that the two agree).
"""
import sys

import numpy as np

import tessel_archive

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

EPOCH = np.datetime64("1958-01-01", "us")


def segmented_time(days, milliseconds, microseconds):
    """Days since 1958-01-01, milliseconds of the day and microseconds of the millisecond, as
    numpy datetime64 values (leap seconds not applied): columns in, a column out."""
    return (EPOCH + np.asarray(days, dtype="timedelta64[D]") + np.asarray(milliseconds, dtype="timedelta64[ms]")
            + np.asarray(microseconds, dtype="timedelta64[us]"))


def ephemeris_time(table):
    return segmented_time(table["ADAET1DAY"], table["ADAET1MS"], table["ADAET1US"])


def attitude_time(table):
    return segmented_time(table["ADAET2DAY"], table["ADAET2MS"], table["ADAET2US"])


def _norm(*columns):
    # in float64: the float32 columns squared would lose digits
    return np.sqrt(sum(np.asarray(c, dtype=np.float64) ** 2 for c in columns))


def radius_km(table):
    return _norm(table["ADGPSPOSX"], table["ADGPSPOSY"], table["ADGPSPOSZ"]) / 1000


def speed_km_s(table):
    return _norm(table["ADGPSVELX"], table["ADGPSVELY"], table["ADGPSVELZ"]) / 1000


def quaternion_norm(table):
    return _norm(table["ADCFAQ1"], table["ADCFAQ2"], table["ADCFAQ3"], table["ADCFAQ4"])


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    if len(argv) != 1:
        sys.exit("usage: jpss1.py PACKETS")
    archive = tessel_archive.decode(argv[0], RECIPES)
    print(f"{argv[0]}: {archive!r}")
    table = archive[APID]
    if not len(table["apid"]):
        return
    times, radii, speeds, norms = ephemeris_time(table), radius_km(table), speed_km_s(table), quaternion_norm(table)
    print(f"ephemeris from {times[0]} to {times[-1]}")
    print(f"orbit radius {radii.min():.1f} to {radii.max():.1f} km, speed {speeds.min():.3f} to {speeds.max():.3f} km/s")
    print(f"attitude quaternion norm {norms.min():.6f} to {norms.max():.6f}")


if __name__ == "__main__":
    main()
