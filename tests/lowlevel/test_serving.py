"""The serving pattern end to end: request threads query "the current reader" while the main
thread rebuilds the store into the same path and swaps a new reader in, again and again."""

import ctypes
import gc
import os
import random
import re
import sys
import threading
import time

import pytest

from tarnkv import _tarnkv

from store_helpers import build_store

# A soak: rebuilds and swaps while threads serve; make check leaves them to make test.
pytestmark = pytest.mark.slow

THREADS = 6
SWAPS = 5
SLOT = 1.6  # seconds of serving per version: about 10 s in all
KEYS = 20_000
OBJECT_SIZE = 1000  # a 20 MiB data section, so a mapping kept alive shows in the process's RSS


def key_count(v):
    return KEYS - 500 * v  # each version has its own key set as well as its own objects


def key(i):
    return f"k:{i:05d}"


def obj(v, i):
    """The object of key i in version v; it names both, so a mixed-up answer cannot pass."""
    return f"v{v}|{key(i)}|".encode().ljust(OBJECT_SIZE - i % 200, b"#")


def build_version(path, v):
    build_store(path, {key(i): obj(v, i) for i in range(key_count(v))})


def rss_kib():
    with open("/proc/self/smaps_rollup") as f:
        return int(re.search(r"^Rss:\s+(\d+) kB", f.read(), re.M).group(1))


def trim_heap():
    """Hands the C allocator's free memory back to the system, so that RSS counts what is live.

    Without it, glibc keeps one build's freed data buffer (up to 32 MiB, the ceiling of its
    adaptive mmap threshold) resident for reuse by the next build: bounded, and not a leak,
    but as large as the store this test swaps."""
    trim = getattr(ctypes.CDLL(None), "malloc_trim", None)
    if trim:
        trim(0)


def mappings_of(path):
    with open("/proc/self/maps") as f:
        return [line.rstrip("\n") for line in f if str(path) in line]


def test_threads_serve_while_the_store_is_rebuilt_and_swapped(tmp_path):
    path = tmp_path / "live.trnk"
    build_version(path, 0)
    current = [(0, _tarnkv._TarnReader(str(path)))]  # one slot: replaced whole, read whole
    all_keys = [[key(i) for i in range(key_count(v))] for v in range(SWAPS + 1)]
    stop = threading.Event()
    pause = threading.Event()
    parked = threading.Barrier(THREADS + 1, timeout=120)
    errors, answers = [], [0] * THREADS

    def check_one(rng, v, reader):
        n = key_count(v)
        op = rng.randrange(10)
        if op < 7:
            i = rng.randrange(KEYS)
            expected = obj(v, i) if i < n else None
            assert reader.get_raw(key(i)) == expected, (v, i)
            assert reader.exists(key(i).encode()) == (i < n), (v, i)
        elif op < 9:
            p = rng.randrange(KEYS // 100)
            got = reader.prefix_raw(f"k:{p:03d}")
            assert got == [(key(i), obj(v, i)) for i in range(p * 100, min(n, p * 100 + 100))], (v, p)
        else:
            assert reader.keys() == all_keys[v], v

    def serve(t):
        rng = random.Random(t)
        while not stop.is_set():
            if pause.is_set():
                parked.wait()  # holding no reader: the main thread measures now
                parked.wait()
                continue
            v, reader = current[0]
            try:
                for _ in range(20):
                    check_one(rng, v, reader)
                    answers[t] += 1
            except BaseException as e:  # noqa: BLE001 - reported by the main thread
                if len(errors) < 10:
                    errors.append(f"thread {t}, version {v}: {e!r}")
            del reader

    def quiet_rss():
        """The process's RSS with every thread parked and no reader but the current one."""
        pause.set()
        parked.wait()
        pause.clear()
        gc.collect()
        raw = rss_kib()
        trim_heap()
        rss = rss_kib()
        old = [m for m in mappings_of(path) if "(deleted)" in m]
        parked.wait()
        return raw, rss, old

    threads = [threading.Thread(target=serve, args=(t,)) for t in range(THREADS)]
    for t in threads:
        t.start()
    raw, rss = [], []
    try:
        for v in range(1, SWAPS + 1):
            time.sleep(SLOT)
            build_version(path, v)  # renamed over the live file
            current[0] = (v, _tarnkv._TarnReader(str(path)))
            if v in (1, SWAPS):
                time.sleep(SLOT)
                untrimmed, level, old_mappings = quiet_rss()
                assert old_mappings == []  # the replaced files' mappings went with their readers
                raw.append(untrimmed)
                rss.append(level)
    finally:
        stop.set()
        for t in threads:
            t.join()

    assert errors == []
    assert min(answers) > 0
    print(f"\n{sum(answers)} answers in {SWAPS} swaps; RSS after the first swap {rss[0]} KiB "
          f"(before trimming the heap {raw[0]}), after the last {rss[1]} KiB ({raw[1]}): {rss[1] / rss[0]:.3f}x")
    assert abs(rss[1] - rss[0]) <= 0.10 * rss[0]
