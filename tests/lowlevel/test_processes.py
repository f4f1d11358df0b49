"""Stores across processes: readers and writers inherited through fork(), several processes
sharing one file's page cache, and what replacing a live store does to the processes reading it."""

import os
import re
import shutil
import signal
import subprocess
import sys
import traceback

import pytest

from tarnkv import _tarnkv

from store_helpers import build_store, quiet_stdout


def build(path, mapping):
    build_store(path, mapping)
    return str(path)


def version(v, n, size=40):
    """n keys whose objects name the version they belong to."""
    return {f"k:{i:06d}": f"v{v}:{i}:".encode().ljust(size, b".") for i in range(n)}


def check_reader(r, data):
    """Every kind of query against the store's known contents."""
    keys = sorted(data)
    assert r.keys() == keys
    assert r.items_raw() == [(k, data[k]) for k in keys]
    for k in keys[:: max(1, len(keys) // 50)]:
        assert r.get_raw(k) == data[k] and r.exists(k)
    assert r.get_raw("absent") is None
    prefix = keys[len(keys) // 2][:-1]
    assert r.prefix_raw(prefix) == [(k, data[k]) for k in keys if k.startswith(prefix)]
    assert r.verify() is True


def child_env():
    return {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}


def run_forked(body):
    """Runs body() in a forked child; returns its wait status. The child never returns here."""
    sys.stdout.flush()
    sys.stderr.flush()
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            body()
            code = 0
        except BaseException:
            traceback.print_exc()
        finally:
            os._exit(code)
    return pid


def exit_code(pid):
    _, status = os.waitpid(pid, 0)
    return os.waitstatus_to_exitcode(status)


# --- fork ------------------------------------------------------------------------------------


@pytest.mark.parametrize("leaves_first", ["child", "parent"])
def test_reader_inherited_across_fork_serves_both_processes(tmp_path, leaves_first):
    data = version(1, 3000)
    path = build(tmp_path / "db.trnk", data)
    r = _tarnkv._TarnReader(path)
    check_reader(r, data)
    go_r, go_w = os.pipe()

    def child():
        os.close(go_w)
        check_reader(r, data)
        if leaves_first == "parent":
            assert os.read(go_r, 1) == b"g"  # the parent dropped its reader and deleted the file
            check_reader(r, data)

    pid = run_forked(child)
    os.close(go_r)
    check_reader(r, data)
    if leaves_first == "parent":
        del r
        os.unlink(path)
        os.write(go_w, b"g")
    os.close(go_w)
    assert exit_code(pid) == 0
    if leaves_first == "child":
        check_reader(r, data)  # the child's exit unmapped only its own copy of the mapping


def test_writer_forked_midway_builds_in_either_process(tmp_path):
    before = version(0, 500)
    w = _tarnkv._TarnWriter()
    for key, obj in before.items():
        w.add_key(key, w.add_object_raw(obj))
    w.add_key("alias", 0)

    def expected(side):
        data = dict(before, alias=before["k:000000"])
        data.update({f"{side}:{i:04d}": f"{side} {i}".encode() for i in range(300)})
        data["alias"] = data["k:000007"] = f"{side} first".encode()
        return data

    def grow_and_build(side):
        first = w.add_object_raw(f"{side} first".encode())
        assert first == len(before)  # both processes go on numbering from the fork
        w.add_key("alias", first)
        w.add_key("k:000007", first)
        for i in range(300):
            w.add_key(f"{side}:{i:04d}", w.add_object_raw(f"{side} {i}".encode()))
        with quiet_stdout():
            w.build(str(tmp_path / f"{side}.trnk"))
        assert repr(w) == f"_TarnWriter(objects={len(before) + 301}, keys={len(before) + 301})"
        check_reader(_tarnkv._TarnReader(str(tmp_path / f"{side}.trnk")), expected(side))

    pid = run_forked(lambda: grow_and_build("child"))
    grow_and_build("parent")
    assert exit_code(pid) == 0
    for side in ("child", "parent"):
        r = _tarnkv._TarnReader(str(tmp_path / f"{side}.trnk"))
        check_reader(r, expected(side))
        assert r.stats()["num_objects"] == len(before) + 301


# --- several processes, one page cache -------------------------------------------------------

SHARER = r"""
import sys
from tarnkv import _tarnkv
r = _tarnkv._TarnReader(sys.argv[1], verify=False)
print("opened", flush=True)
sys.stdin.readline()
print("scanned", len(r.items_raw()), flush=True)
sys.stdin.readline()
"""


def memory_kib(pid, path):
    """(Rss, Pss) of the process's mappings of `path`, and of the whole process, in KiB."""
    fields = {"Rss": 0, "Pss": 0}
    mapped = False
    with open(f"/proc/{pid}/smaps") as smaps:
        for line in smaps:
            head = re.match(r"[0-9a-f]+-[0-9a-f]+ \S+ \S+ \S+ \S+\s+(.*)$", line)
            if head:
                mapped = head.group(1) == path
            elif mapped and line.split(":")[0] in fields:
                fields[line.split(":")[0]] += int(line.split()[1])
    with open(f"/proc/{pid}/smaps_rollup") as rollup:
        total = {m[0]: int(m[1]) for m in re.findall(r"^(Rss|Pss):\s+(\d+) kB", rollup.read(), re.M)}
    return {"file_rss": fields["Rss"], "file_pss": fields["Pss"], "rss": total["Rss"], "pss": total["Pss"]}


def test_processes_reading_one_store_share_its_page_cache(tmp_path):
    n, object_size, procs = 40_000, 800, 4
    path = os.path.realpath(build(tmp_path / "shared.trnk", version(1, n, object_size)))
    stats = _tarnkv._TarnReader(path, verify=False).stats()
    file_kib = os.path.getsize(path) / 1024
    data_kib = (stats["index_offset"] - stats["data_offset"]) / 1024

    children = [subprocess.Popen([sys.executable, "-c", SHARER, path], stdin=subprocess.PIPE,
                                 stdout=subprocess.PIPE, text=True, env=child_env()) for _ in range(procs)]
    try:
        for c in children:
            assert c.stdout.readline() == "opened\n"
        after_open = [memory_kib(c.pid, path) for c in children]
        for c in children:
            c.stdin.write("\n")
            c.stdin.flush()
        for c in children:
            assert c.stdout.readline() == f"scanned {n}\n"
        after_scan = [memory_kib(c.pid, path) for c in children]
        for c in children:
            c.stdin.close()
            assert c.wait(timeout=60) == 0
    finally:
        for c in children:
            if c.poll() is None:
                c.kill()
                c.wait()
            c.stdin.close()
            c.stdout.close()

    print(f"\nstore {file_kib:.0f} KiB (data section {data_kib:.0f} KiB), {procs} processes; KiB per process:")
    for when, rows in (("after open", after_open), ("after scan", after_scan)):
        for m in rows:
            print(f"  {when}: store mapping RSS {m['file_rss']} PSS {m['file_pss']}; "
                  f"process RSS {m['rss']} PSS {m['pss']}")
    for m in after_scan:
        assert m["file_rss"] >= 0.9 * data_kib  # every process has the whole data section mapped
        assert m["file_pss"] <= 0.5 * file_kib  # ...but pays for about a quarter of it
    assert sum(m["file_pss"] for m in after_scan) <= 1.5 * file_kib


# --- replacing a live store ------------------------------------------------------------------

LIVE_READER = r"""
import sys
from tarnkv import _tarnkv
r = _tarnkv._TarnReader(sys.argv[1])
assert len(r.items_raw()) == int(sys.argv[3])
print("ready", flush=True)
sys.stdin.readline()  # meanwhile the file is copied over in place
if sys.argv[2] == "get":
    r.get_raw("k:019999")  # its record lies past the end of the shorter file
    print("read", flush=True)
else:
    try:
        r.verify()
        print("verified", flush=True)
    except RuntimeError as e:
        print(e, flush=True)
"""


@pytest.mark.parametrize("replacement_keys, action, signal_, output", [
    (1_000, "get", signal.SIGBUS, ""),  # the bytes of the record are gone: the process dies
    (30_000, "verify", None, "TarnCorruptError: file CRC32 mismatch"),  # foreign bytes: wrong answers
], ids=["shorter-file", "longer-file"])
def test_copy_in_place_over_a_live_store(tmp_path, replacement_keys, action, signal_, output):
    live = build(tmp_path / "live.trnk", version(1, 20_000))
    other = build(tmp_path / "other.trnk", version(2, replacement_keys))
    child = subprocess.Popen([sys.executable, "-X", "faulthandler", "-c", LIVE_READER, live, action, "20000"],
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True, env=child_env())
    try:
        assert child.stdout.readline() == "ready\n"
        shutil.copyfile(other, live)  # what cp does: truncate the file, then write into it
        out, err = child.communicate("\n", timeout=60)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    if signal_:
        assert child.returncode == -signal_, err
        assert "Fatal Python error: Bus error" in err  # faulthandler names the cause
    else:
        assert child.returncode == 0, err
        assert out.startswith(output)
    # This process is unharmed, and a reader opened now sees the new contents.
    check_reader(_tarnkv._TarnReader(live), version(2, replacement_keys))


@pytest.mark.parametrize("how", ["build", "os.replace"])
def test_replacing_a_live_store_by_rename_keeps_old_readers_whole(tmp_path, how):
    live = tmp_path / "live.trnk"
    old, new = version(1, 5000), version(2, 700)
    build(live, old)
    r = _tarnkv._TarnReader(str(live))
    if how == "build":
        build(live, new)
    else:
        os.replace(build(tmp_path / "staged.trnk", new), live)
    check_reader(r, old)
    check_reader(_tarnkv._TarnReader(str(live)), new)
