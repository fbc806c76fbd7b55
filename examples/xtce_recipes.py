"""A small XTCE reader: tessel recipes by APID for the data fields of space packets.

It reads what flat telemetry definitions use and no more: integer and float parameter types
with a fixed size, sequence containers made of parameter and container references, and container
inheritance whose restriction names the APID. Each concrete container becomes the recipe of its
APID, covering the packet after the 6-byte primary header (which the decoder splits itself).
Anything else it meets (string or enumerated types, repeated or conditional entries, explicit
locations) raises NotImplementedError naming it, rather than a recipe that would misread packets.
Calibrators are not applied: the recipes give raw values.

    python examples/xtce_recipes.py DEFINITION.xml > recipes.json
"""
import json
import sys
import xml.etree.ElementTree as ET

PRIMARY_HEADER_BITS = 48
APID_BITS = range(5, 16)   # bits 5 to 15 of the primary header

INTEGER_ENCODINGS = {
    "unsigned": "unsigned",
    "twosComplement": "twos_complement",
    "signed": "twos_complement",   # not in the schema, but common in definitions written by hand
    "onesComplement": "ones_complement",
    "signMagnitude": "sign_magnitude",
    "BCD": "bcd",
    "packedBCD": "packed_bcd",
}
FLOAT_ENCODINGS = {"IEEE754": "ieee754_f{bits}", "IEEE754_1985": "ieee754_f{bits}"}
BYTE_ORDERS = {"mostSignificantByteFirst": "big", "leastSignificantByteFirst": "little"}


def _field_type(type_element):
    """(encoding, bits, byte order) of a parameter type, from its data encoding."""
    name = type_element.get("name")
    integer = type_element.find("IntegerDataEncoding")
    floating = type_element.find("FloatDataEncoding")
    if integer is not None:
        kind, encoding = integer.get("encoding", "unsigned"), INTEGER_ENCODINGS.get(integer.get("encoding", "unsigned"))
        bits, element = int(integer.get("sizeInBits", "8")), integer
    elif floating is not None:
        kind, bits, element = floating.get("encoding", "IEEE754_1985"), int(floating.get("sizeInBits", "32")), floating
        encoding = FLOAT_ENCODINGS[kind].format(bits=bits) if kind in FLOAT_ENCODINGS and bits in (16, 32, 64) else None
    else:
        raise NotImplementedError(f"parameter type {name!r}: {type_element.tag} without an integer "
                                  "or float data encoding")
    if encoding is None:
        raise NotImplementedError(f"parameter type {name!r}: {kind} encoding of {bits} bits")
    order = BYTE_ORDERS[element.get("byteOrder", "mostSignificantByteFirst")]
    return encoding, bits, order


def read_definition(root):
    """Parameter types by parameter name, and the containers by name."""
    types = {t.get("name"): t for t in root.iterfind(".//ParameterTypeSet/*")}
    parameters = {}
    for p in root.iterfind(".//ParameterSet/Parameter"):
        if p.get("parameterTypeRef") not in types:
            raise ValueError(f"parameter {p.get('name')!r}: no parameter type {p.get('parameterTypeRef')!r}")
        parameters[p.get("name")] = types[p.get("parameterTypeRef")]
    containers = {c.get("name"): c for c in root.iterfind(".//ContainerSet/SequenceContainer")}
    return parameters, containers


def _entries(container, containers, parameters):
    """The container's own fields, container references expanded in place: (name, encoding, bits, order)."""
    for entry in container.find("EntryList"):
        kind = entry.tag
        if len(entry):
            raise NotImplementedError(f"container {container.get('name')!r}: {kind} with "
                                      f"{entry[0].tag}")
        if kind == "ParameterRefEntry":
            yield (entry.get("parameterRef"), *_field_type(_find(parameters, entry.get("parameterRef"), container)))
        elif kind == "ContainerRefEntry":
            yield from _entries(_find(containers, entry.get("containerRef"), container), containers, parameters)
        else:
            raise NotImplementedError(f"container {container.get('name')!r}: {kind}")


def _find(table, name, container):
    if name not in table:
        raise ValueError(f"container {container.get('name')!r}: {name!r} is not defined")
    return table[name]


def _chain(container, containers):
    """The container and its bases, the root first, and the restrictions along the way."""
    chain, restrictions = [container], []
    while (base := chain[0].find("BaseContainer")) is not None:
        restrictions += base.iterfind(".//Comparison")
        chain.insert(0, _find(containers, base.get("containerRef"), chain[0]))
    return chain, restrictions


def recipes_from_xtce(path):
    """Recipes by APID for every concrete container of an XTCE file."""
    root = ET.parse(path).getroot()
    for element in root.iter():   # XTCE 1.1 and 1.2 differ only in their namespace
        element.tag = element.tag.rpartition("}")[2]
    parameters, containers = read_definition(root)
    recipes, sources = {}, {}
    for name, container in containers.items():
        if container.get("abstract") == "true":
            continue
        chain, restrictions = _chain(container, containers)
        fields, position = [], 0
        for link in chain:
            for field in _entries(link, containers, parameters):
                fields.append((position, *field))
                position += field[2]
        apid_parameter = next((f[1] for f in fields if f[0] == APID_BITS.start and f[3] == len(APID_BITS)), None)
        apids = [int(c.get("value")) for c in restrictions if c.get("parameterRef") == apid_parameter]
        if apid_parameter is None or len(apids) != 1:
            raise ValueError(f"container {name!r}: no single APID (bits 5 to 15) restriction")
        recipe = []
        for start, field_name, encoding, bits, order in fields:
            if start + bits <= PRIMARY_HEADER_BITS:
                continue
            if start < PRIMARY_HEADER_BITS or start % 8 or bits % 8:
                raise NotImplementedError(f"container {name!r}: {field_name!r} takes bits {start} to "
                                          f"{start + bits - 1}, not whole bytes of the data field")
            recipe.append({"name": field_name, "encoding": encoding, "bits": bits, "byte_order": order,
                           "reverse_bits": False})
        if apids[0] in recipes:
            raise ValueError(f"containers {sources[apids[0]]!r} and {name!r} both describe APID {apids[0]}")
        recipes[apids[0]], sources[apids[0]] = recipe, name
    return recipes


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: xtce_recipes.py DEFINITION.xml")
    json.dump({str(apid): recipe for apid, recipe in recipes_from_xtce(sys.argv[1]).items()},
              sys.stdout, indent=1)
    print()
