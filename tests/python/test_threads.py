import threading

from tarnkv import _tarnkv


def test_one_reader_shared_by_threads(make_store):
    data = {f"key:{i:04d}": f"value {i}".encode() * (i % 5) for i in range(400)}
    data.update({f"alias:{i:04d}": data[f"key:{i:04d}"] for i in range(0, 400, 7)})
    r = _tarnkv._TarnReader(make_store(data))
    keys = sorted(data)
    items = [(k, data[k]) for k in keys]
    distinct = sorted(set(data.values()))  # the store holds each distinct value once
    errors = []

    def worker(seed):
        try:
            for n in range(60):
                k = keys[(seed * 131 + n * 17) % len(keys)]
                assert r.get_raw(k) == data[k]
                assert r.get_raw(k.encode() + b"!") is None
                assert r.exists(k) and not r.exists("nope")
                prefix = k[:7]
                assert r.prefix_raw(prefix) == [kv for kv in items if kv[0].startswith(prefix)]
                if n % 10 == 0:
                    assert r.keys() == keys
                    assert r.items_raw() == items
                    assert sorted(r.objects_raw()) == distinct
                    assert r.stats()["num_keys"] == len(keys)
                    assert r.verify() is True
                    assert repr(r).endswith(f"keys={len(keys)}, objects={len(distinct)})")
        except BaseException as e:  # reported by the main thread
            errors.append(e)

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(8)]
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
