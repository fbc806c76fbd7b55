"""Counters for leak tests: the interpreter's allocated blocks and the bytes the C heap has in use.

tracemalloc sees only the interpreter's allocations and slows every one of them down. The C++
code allocates with operator new, std::vector and std::string, which go to malloc and which only
the C library (or, under AddressSanitizer, the sanitizer's allocator) can count. Together with
sys.getallocatedblocks(), which counts the interpreter's own small blocks at no cost, these see a
leak on either side without tracing anything.
"""
import ctypes
import gc
import sys


class _Mallinfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


def _heap_counter():
    """(what counts, a function giving the heap's bytes in use), or (None, None) where neither
    counter exists."""
    process = ctypes.CDLL(None)
    # With the sanitizer runtime preloaded, malloc is the sanitizer's and glibc's arenas stay empty.
    sanitizer = getattr(process, "__sanitizer_get_current_allocated_bytes", None)
    if sanitizer is not None:
        sanitizer.restype = ctypes.c_size_t
        sanitizer.argtypes = []
        return "sanitizer allocator", sanitizer
    mallinfo2 = getattr(process, "mallinfo2", None)  # glibc 2.33 and later
    if mallinfo2 is not None:
        mallinfo2.restype = _Mallinfo2
        mallinfo2.argtypes = []

        def in_use():
            info = mallinfo2()
            return info.uordblks + info.hblkhd  # chunks in use in the arenas, and mmap()ed ones

        return "glibc mallinfo2", in_use
    return None, None


HEAP_COUNTER, heap_in_use = _heap_counter()


def counters():
    return sys.getallocatedblocks(), heap_in_use() if heap_in_use else 0


def growth(work, times, bounds, rounds=3):
    """What `work(times)` leaves allocated, as (interpreter blocks, heap bytes).

    `work` runs a tenth of `times` first, to fill free lists and caches. The collector does not
    run meanwhile: the free-threaded collector allocates while it collects, and in a process that
    holds a whole test session a full collection costs more than the measure. A window within
    `bounds` ends the measure; otherwise up to `rounds` windows are measured and the smallest
    growth of each counter is returned: a leak grows in every window, a cache that fills once
    does not."""
    enabled = gc.isenabled()
    gc.disable()
    try:
        work(max(times // 10, 1))
        least = None
        for _ in range(rounds):
            blocks, heap = counters()
            work(times)
            after_blocks, after_heap = counters()
            grown = (after_blocks - blocks, after_heap - heap)
            least = grown if least is None else (min(least[0], grown[0]), min(least[1], grown[1]))
            if least[0] < bounds[0] and least[1] < bounds[1]:
                break
        return least
    finally:
        if enabled:
            gc.enable()
