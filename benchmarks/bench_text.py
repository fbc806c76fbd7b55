"""The twenty text codecs against CPython's own codecs, side by side in one run.

For each function, each kind of text the baseline codec accepts (ASCII, Latin, CJK, emoji-heavy)
and each size (64 B, 4 KiB, 1 MiB of encoded text), tessel and the baseline run on the same
input in alternating rounds; the ratio is tessel's best time over the baseline's best time
(below 1.0: tessel is faster).

    .venv/bin/python benchmarks/bench_text.py [substring ...]   # only functions whose name matches
"""
import os
import random
import sys

sys.path.insert(0, os.path.dirname(__file__))
from _timing import interleaved  # noqa: E402

import tessel  # noqa: E402

SIZES = [("64 B", 64), ("4 KiB", 4096), ("1 MiB", 1 << 20)]

_ASCII = ("telemetry frame sync word housekeeping packet sequence count attitude sensor voltage "
          "current temperature heater status OK, 42 deg; MODE=SAFE (ack) #17 & reply: ").split(" ")
_LATIN = ("température élevée à bord, réaction du système de contrôle - über Größe Ölstand "
          "señal año corazón, dépassée; naïve façade « déjà » ½ °C £ © ¿qué? Ærø").split(" ")
_CJK = "遥测数据帧同步字姿态传感器温度电压电流状态正常、。衛星のテレメトリ受信データ確認しました"
_EMOJI = ["🚀", "🛰️", "📡", "✅", "⚠️", "🔥", "😀", "🎉", "👍", "🌍", "⭐", "🔋", "ok", "go", "T-10", "!"]


def _text(kind, size, rng):
    """About `size` bytes of UTF-8 of one kind, cut at a character boundary."""
    parts, length = [], 0
    while length < size:
        if kind == "ascii":
            part = rng.choice(_ASCII) + " "
        elif kind == "latin":
            part = rng.choice(_LATIN) + " "
        elif kind == "cjk":
            part = "".join(rng.choice(_CJK) for _ in range(rng.randint(4, 12))) + "，"
        else:
            part = rng.choice(_EMOJI) + rng.choice(["", " ", "  "])
        parts.append(part)
        length += len(part.encode())
    text = "".join(parts)
    while len(text.encode()) > size:
        text = text[:-1]
    return text


# (function, baseline codec, mark the function writes or reads, text kinds the baseline accepts)
UTF = ("ascii", "latin", "cjk", "emoji")
SINGLE = ("ascii", "latin")
FUNCTIONS = [
    ("us_ascii", "ascii", b"", ("ascii",)),
    ("iso_8859_1", "latin-1", b"", SINGLE),
    ("windows_1252", "cp1252", b"", SINGLE),
    ("utf8", "utf-8", b"", UTF),
    ("utf16", "utf-16-be", b"\xfe\xff", UTF),
    ("utf16le", "utf-16-le", b"", UTF),
    ("utf16be", "utf-16-be", b"", UTF),
    ("utf32", "utf-32-be", b"\x00\x00\xfe\xff", UTF),
    ("utf32le", "utf-32-le", b"", UTF),
    ("utf32be", "utf-32-be", b"", UTF),
]


def main(filters):
    rng = random.Random(1252)
    texts = {(kind, size): _text(kind, size, rng) for kind in UTF for _, size in SIZES}
    print(f"{'function':<20} {'text':<6} {'size':>6}  {'baseline':<26} {'tessel':>12} {'baseline':>12}  ratio")
    worst = []
    for name, codec, mark, kinds in FUNCTIONS:
        for direction in ("encode", "decode"):
            fn_name = f"{direction}_{name}"
            if filters and not any(f in fn_name for f in filters):
                continue
            fn = getattr(tessel, fn_name)
            for kind in kinds:
                for size_label, size in SIZES:
                    text = texts[kind, size]
                    data = text.encode(codec)
                    if direction == "encode":
                        assert fn(text) == mark + data, fn_name
                        label = f"str.encode({codec!r})"
                        ours, base = (lambda: fn(text)), (lambda: text.encode(codec))
                    else:
                        marked = mark + data
                        assert fn(marked) == text, fn_name
                        label = f"bytes.decode({codec!r})"
                        ours, base = (lambda: fn(marked)), (lambda: data.decode(codec))
                    t_ours, t_base = interleaved(ours, base)
                    ratio = t_ours / t_base
                    worst.append((ratio, fn_name, kind, size_label))
                    print(f"{fn_name:<20} {kind:<6} {size_label:>6}  {label:<26} {t_ours * 1e9:9.0f} ns"
                          f" {t_base * 1e9:9.0f} ns  {ratio:5.2f}", flush=True)
    if worst:
        worst.sort(reverse=True)
        above = [w for w in worst if w[0] > 1.25]
        print(f"\n{len(worst)} cases; highest ratio {worst[0][0]:.2f} ({' '.join(worst[0][1:])}); "
              f"{len(above)} above 1.25")
        for ratio, fn_name, kind, size_label in above:
            print(f"  above 1.25: {fn_name} {kind} {size_label}: {ratio:.2f}")


if __name__ == "__main__":
    main(sys.argv[1:])
