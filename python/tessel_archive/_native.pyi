# The native part of tessel_archive (src/archive/module.cpp); its Python front is the API.
from collections.abc import Buffer, Sequence
from typing import Any

def unpack_columns(
    data: Buffer, recipe: Sequence[Any], starts: Buffer, lengths: Buffer, offset_bits: int, threads: int,
    header_lengths: bool, /
) -> list[tuple[str, str, bytearray | list[str]]]: ...
def space_packets(
    data: Buffer, record_header_bytes: int, /
) -> tuple[
    bytearray, bytearray, bytearray, bytearray, bytearray, bytearray, bytearray, bytearray, bytearray,
    tuple[int, int] | None,
]: ...
