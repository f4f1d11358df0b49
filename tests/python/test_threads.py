"""Threads: one reader shared by many threads while others open and drop readers, and the
writer's refusal of overlapping calls."""

import threading

import pytest

from store_helpers import quiet_stdout

from tarnkv import _tarnkv

N = 2000


@pytest.fixture(scope="module")
def shared_store(tmp_path_factory):
    """N keys with their own objects, and an alias sharing every seventh object."""
    w = _tarnkv._TarnWriter()
    data = {}
    for i in range(N):
        obj = f"object {i}".encode() * (1 + i % 5)
        oid = w.add_object_raw(obj)
        for key in [f"user:{i:05d}"] + ([f"alias:{i:05d}"] if i % 7 == 0 else []):
            w.add_key(key, oid)
            data[key] = obj
    path = tmp_path_factory.mktemp("threads") / "db.trnk"
    with quiet_stdout():
        w.build(str(path))
    return path, data


def test_many_threads_query_one_reader_while_others_open_and_drop(shared_store):
    path, data = shared_store
    reader = _tarnkv._TarnReader(str(path))
    keys = sorted(data)
    items = [(k, data[k]) for k in keys]
    errors = []

    def query(seed):
        try:
            for round_ in range(30):
                k = keys[(seed * 7919 + round_ * 104729) % len(keys)]
                assert reader.get_raw(k) == data[k]
                assert reader.exists(k.encode())
                assert reader.get_raw("absent") is None and not reader.exists(k + "!")
                assert reader.prefix_raw(k[:9]) == [(x, data[x]) for x in keys if x.startswith(k[:9])]
                if round_ % 10 == 0:
                    assert reader.keys() == keys
                    assert reader.items_raw() == items
                    assert len(reader.objects_raw()) == N  # aliases share their objects
                    assert reader.verify() is True
                    assert reader.stats()["num_keys"] == len(keys)
                    assert repr(reader).endswith(f"keys={len(keys)}, objects={N})")
        except BaseException as e:  # noqa: BLE001 - reported below with the thread's seed
            errors.append((seed, repr(e)))

    def churn(seed):
        try:
            for _ in range(20):
                r = _tarnkv._TarnReader(str(path), verify=seed % 2 == 0)
                assert r.get_raw(keys[seed]) == data[keys[seed]]
                del r
        except BaseException as e:  # noqa: BLE001
            errors.append((seed, repr(e)))

    threads = [threading.Thread(target=query, args=(s,)) for s in range(6)]
    threads += [threading.Thread(target=churn, args=(s,)) for s in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []


def test_writer_adds_from_threads_are_never_lost():
    w = _tarnkv._TarnWriter()
    ids, errors = [], []

    def worker():
        for _ in range(300):
            try:
                ids.append(w.add_object_raw(b"x"))
            except RuntimeError as e:  # a conflicting call on a lock-free interpreter
                errors.append(str(e))

    threads = [threading.Thread(target=worker) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert set(errors) <= {"Already borrowed"}
    assert sorted(ids) == list(range(len(ids)))
    assert repr(w) == f"_TarnWriter(objects={len(ids)}, keys=0)"


def test_add_key_racing_a_yielding_index_sees_already_borrowed():
    w = _tarnkv._TarnWriter()
    w.add_object_raw(b"zero")
    inside, done = threading.Event(), threading.Event()
    seen = []

    class SlowId:
        def __index__(self):
            inside.set()
            assert done.wait(10)  # holds the writer while the other thread calls in
            return 0

    def other():
        assert inside.wait(10)
        for call in (lambda: w.add_key("other", 0), lambda: w.add_object_raw(b"x"), lambda: repr(w)):
            try:
                call()
            except RuntimeError as e:
                seen.append(e.args)
        done.set()

    t = threading.Thread(target=other)
    t.start()
    w.add_key("slow", SlowId())
    t.join()
    assert seen == [("Already borrowed",), ("Already borrowed",), ("Already mutably borrowed",)]
    assert repr(w) == "_TarnWriter(objects=1, keys=1)"
