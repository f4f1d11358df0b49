"""Readers across threads and processes: pickling, process pools, fork(), closing under load."""

import multiprocessing
import os
import pickle
import threading
from concurrent.futures import ProcessPoolExecutor

import pytest

import tarnkv

DATA = {f"key:{i:04d}": {"i": i, "tags": ["x"] * (i % 3)} for i in range(300)}


@pytest.fixture
def store(build):
    return build(DATA)


def lookup(reader, key):
    return reader[key], len(reader)


class Shout:
    """A codec that must travel with a pickled reader."""

    def encode(self, obj):
        return obj.encode()

    def decode(self, data):
        return data.decode().upper()


@pytest.mark.parametrize("options", [{}, {"verify": False, "check_reads": False}, {"codec": None}])
def test_pickling_reopens_with_the_same_options(store, options):
    with tarnkv.open(store, **options) as r:
        again = pickle.loads(pickle.dumps(r))
    assert not again.closed and again.path == str(store)
    assert (again._verified, again.check_reads, again.codec) == (options.get("verify", True),
                                                                 options.get("check_reads", True),
                                                                 options.get("codec", "msgpack"))
    assert again.get_raw("key:0001") == tarnkv.open(store, codec=None)["key:0001"]


def test_custom_codecs_pickle_with_the_reader(tmp_path):
    w = tarnkv.TarnWriter(codec=Shout())
    w.put("k", "quiet")
    w.build(tmp_path / "s.trnk")
    r = pickle.loads(pickle.dumps(tarnkv.open(tmp_path / "s.trnk", codec=Shout())))
    assert r["k"] == "QUIET"


def test_readers_go_to_a_process_pool(store):
    r = tarnkv.open(store)
    ctx = multiprocessing.get_context("forkserver")
    with ProcessPoolExecutor(2, mp_context=ctx) as pool:
        keys = ["key:0000", "key:0150", "key:0299"]
        assert list(pool.map(lookup, [r] * len(keys), keys)) == [(DATA[k], len(DATA)) for k in keys]


def test_a_reader_works_in_a_forked_child(store):
    r = tarnkv.open(store)
    it = iter(r.items())
    next(it)
    pid = os.fork()
    if pid == 0:  # the child: inherited reader, iterator and mapping all work
        ok = r["key:0007"] == DATA["key:0007"] and next(it)[0] == "key:0001" and r.verify()
        r.close()
        os._exit(0 if ok else 1)
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0
    assert r["key:0299"] == DATA["key:0299"]  # the child's close() is its own


def test_threads_keep_calling_while_another_closes(store):
    """Calls racing close() either finish with right answers or raise ValueError: nothing else,
    and the process does not crash (the mapping stays until the last call has left)."""
    keys = list(DATA)
    for _ in range(5):
        r = tarnkv.open(store)
        start = threading.Barrier(5)
        failures = []

        def work(kind):
            start.wait()
            try:
                while True:
                    if kind == 0:
                        assert r.get_many(keys) == list(DATA.values())
                    elif kind == 1:
                        assert dict(r.items()) == DATA
                    elif kind == 2:
                        view = r.get_view("key:0100")
                        assert bytes(view) == tarnkv.open(store, codec=None)["key:0100"]
                    else:
                        assert r.verify()
            except ValueError as e:
                if "closed store" not in str(e):
                    failures.append(e)
            except BaseException as e:  # reported below
                failures.append(e)

        threads = [threading.Thread(target=work, args=(k,)) for k in range(4)]
        for t in threads:
            t.start()
        start.wait()
        r.close()
        for t in threads:
            t.join()
        assert failures == []
