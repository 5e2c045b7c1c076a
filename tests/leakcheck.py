"""Leak check shared by the test files: call a function many times and require that
neither the reference counts of its arguments nor the traced memory grow."""

import gc
import sys
import tracemalloc


def assert_no_leaks(fn, *args, repeat=2000, allowed_bytes=48_000, **kwargs):
    tracked = list(args) + list(kwargs.values())

    def run():
        try:
            fn(*args, **kwargs)
        except Exception:
            pass

    for _ in range(100):
        run()
    gc.collect()
    refs_before = [sys.getrefcount(obj) for obj in tracked]
    tracemalloc.start()
    try:
        start = tracemalloc.get_traced_memory()[0]
        for _ in range(repeat):
            run()
        gc.collect()
        growth = tracemalloc.get_traced_memory()[0] - start
    finally:
        tracemalloc.stop()
    refs_after = [sys.getrefcount(obj) for obj in tracked]
    assert refs_after == refs_before, f"reference counts grew: {refs_before} -> {refs_after}"
    assert growth < allowed_bytes, f"traced memory grew by {growth} bytes over {repeat} calls"
