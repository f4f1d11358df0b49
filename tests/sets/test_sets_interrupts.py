"""A set build that is interrupted, killed or fails never costs the live set anything: Ctrl-C
stops it within seconds with one line and status 130, the sweep of dead builds keeps every
shard a published manifest names, and opening a set that is replaced meanwhile starts over."""

from __future__ import annotations

import errno
import fcntl
import glob
import json
import os
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import dask
import dask.bag as db
import pytest
from cli.cli_helpers import child_env

import tarnkv
from sets.set_helpers import make_set
from tarnkv.dask import build_set
from tarnkv.sets import SetDuplicateKeyError
from tarnkv.sets import manifest as mf
from tarnkv.sets import reader as set_reader
from tarnkv.sets.build import LOCK_NAME, WORK_PREFIX


def contents(directory: Path) -> dict:
    """The set's entries, after a full check."""
    with tarnkv.open(directory) as s:
        s.verify()
        return dict(s.items())


def live_in_group(pgid: int) -> list[str]:
    """The processes of a process group that have not ended (zombies have)."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            stat = Path(f"/proc/{entry}/stat").read_text()
        except OSError:
            continue
        fields = stat[stat.rindex(")") + 2:].split()
        if int(fields[2]) == pgid and fields[0] != "Z":
            found.append(entry)
    return found


def write_lines(path: Path, n: int) -> Path:
    with open(path, "w") as f:
        f.writelines(json.dumps({"id": f"id-{i:07d}", "line": i, "pad": "x" * 60}) + "\n" for i in range(n))
    return path


# --- Ctrl-C on a set build with its own local cluster --------------------------------------------

def test_ctrl_c_stops_a_set_build_promptly_and_leaves_the_old_set(tmp_path):
    data = write_lines(tmp_path / "data.jsonl", 400_000)  # six partitions of 8 MiB
    out = make_set(tmp_path, {"old": 1, "other": 2}, shards=3, name="out.set")
    before = sorted(os.listdir(out))
    old_manifest = (out / mf.MANIFEST).read_bytes()
    # Ctrl-C while the cluster starts, while partitions are read, while shards are written.
    phases = [f"{out}/{WORK_PREFIX}*", f"{out}/{WORK_PREFIX}*/.part-*", f"{out}/.shard-*"]
    statuses = []
    for phase in phases:
        # The whole command line in a process group of its own, as a terminal's Ctrl-C
        # reaches the command and every worker it started.
        proc = subprocess.Popen([sys.executable, "-m", "tarnkv", "build", str(data), "-o", str(out), "--key", "id",
                                 "--shards", "4", "--workers", "2", "-q"], stdout=subprocess.DEVNULL,
                                stderr=subprocess.PIPE, env=child_env(), start_new_session=True)
        deadline = time.monotonic() + 120
        while not glob.glob(phase, include_hidden=True) and proc.poll() is None and time.monotonic() < deadline:
            time.sleep(0.005)
        os.killpg(proc.pid, signal.SIGINT)
        sent = time.monotonic()
        _, err = proc.communicate(timeout=120)
        took = time.monotonic() - sent
        statuses.append(proc.returncode)
        if proc.returncode == 0:  # it had published before the phase was seen: a success
            assert contents(out)["id-0000007"]["line"] == 7
            return
        assert (proc.returncode, err.decode()) == (130, "tarnkv: interrupted\n"), phase
        assert took < 30, f"{phase}: {took:.1f} s to stop"
        assert sorted(os.listdir(out)) == before, phase  # no work directory, no shard of it
        assert (out / mf.MANIFEST).read_bytes() == old_manifest
        assert contents(out) == {"old": 1, "other": 2}
        time.sleep(1)  # workers told to stop by their parent's end may take a moment
        assert live_in_group(proc.pid) == [], phase
    assert statuses[:2] == [130, 130]


# --- The sweep of dead builds --------------------------------------------------------------------

def _dead_work_dir(out: Path, build_id: str) -> Path:
    """What a build killed after it published (or at any point) leaves: its work directory,
    with a lock file nobody holds."""
    work = out / f"{WORK_PREFIX}{build_id}"
    work.mkdir()
    (work / LOCK_NAME).write_bytes(b"")
    (work / "part-000000.run").write_bytes(b"run")
    return work


def test_the_sweep_keeps_the_shards_of_a_dead_build_that_published(tmp_path):
    out = make_set(tmp_path, {f"k{i}": i for i in range(50)}, shards=4)
    published = mf.read(str(out)).build_id
    _dead_work_dir(out, published)
    # And a build that died before publishing: its shards go with its work directory.
    unpublished = "f" * 32
    _dead_work_dir(out, unpublished)
    stray = out / f"shard-00000-{unpublished[:12]}.trnk"
    shutil.copy(out / mf.read(str(out)).shards[0].file, stray)
    duplicates = [{"id": "a"}, {"id": "b"}, {"id": "a"}]
    with dask.config.set(scheduler="sync"), pytest.raises(SetDuplicateKeyError):
        build_set(db.from_sequence(duplicates, npartitions=2), out, key="id", shards=2)
    assert contents(out) == {f"k{i}": i for i in range(50)}
    assert sorted(os.listdir(out)) == sorted([mf.MANIFEST, *mf.shard_files(mf.read(str(out)))])


def test_the_sweep_removes_the_old_shards_a_dead_build_left_after_publishing(tmp_path):
    # A build killed between its manifest's rename and the removal of the set it replaced
    # leaves that set's shards, whose own build is long gone: the next build's sweep takes them.
    out = make_set(tmp_path, {f"k{i}": i for i in range(50)}, shards=3)
    stale = out / "shard-00001-0123456789ab.trnk"
    shutil.copy(out / mf.read(str(out)).shards[1].file, stale)
    live = out / f"{WORK_PREFIX}{'e' * 32}"  # a build still at work owns its shards
    live.mkdir()
    (live / LOCK_NAME).write_bytes(b"")
    fd = os.open(live / LOCK_NAME, os.O_RDWR)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX)
        owned = out / f"shard-00000-{'e' * 12}.trnk"
        shutil.copy(stale, owned)
        with dask.config.set(scheduler="sync"):
            build_set(db.from_sequence([{"id": "new"}], npartitions=1), out, key="id", shards=2)
        assert not stale.exists() and owned.exists()
    finally:
        os.close(fd)
    assert contents(out) == {"new": {"id": "new"}}


def test_a_build_that_fails_after_publishing_keeps_its_set(tmp_path, monkeypatch):
    out = make_set(tmp_path, {"old": 1}, shards=2)

    def sync_fails(directory: str) -> None:
        raise OSError(errno.EIO, "Input/output error", directory)

    monkeypatch.setattr(mf, "sync_directory", sync_fails)  # after the manifest's rename
    with dask.config.set(scheduler="sync"), pytest.raises(OSError):
        build_set(db.from_sequence([{"id": "new"}], npartitions=1), out, key="id", shards=3)
    assert contents(out) == {"new": {"id": "new"}}


KILLED_BUILD = r"""
import sys, dask, dask.bag as db
from tarnkv.dask import build_set
out, version = sys.argv[1], int(sys.argv[2])
records = [{"id": f"k{i:05d}", "version": version} for i in range(15_000)]
with dask.config.set(scheduler="sync"):
    build_set(db.from_sequence(records, npartitions=4), out, key="id", shards=3)
"""


def test_builds_killed_at_any_point_leave_the_old_set_or_the_new(tmp_path):
    out = tmp_path / "set"

    def start(version: int) -> subprocess.Popen[bytes]:
        return subprocess.Popen([sys.executable, "-c", KILLED_BUILD, str(out), str(version)], env=child_env())

    assert start(0).wait(timeout=120) == 0
    started = time.monotonic()
    timing = start(99)
    timing.wait(timeout=120)
    seconds = time.monotonic() - started
    versions = {0, 99}
    for n, fraction in enumerate((0.45, 0.65, 0.8, 0.9, 0.97), start=1):
        proc = start(n)
        time.sleep(seconds * fraction)
        proc.kill()
        proc.wait()
        found = contents(out)  # whichever set it is, it is whole
        assert len(found) == 15_000
        version = found["k00000"]["version"]
        assert version in versions | {n} and all(v["version"] == version for v in found.values())
        versions.add(n)
    last = start(1000)
    assert last.wait(timeout=120) == 0
    # The last build swept what the killed ones left.
    assert sorted(os.listdir(out)) == sorted([mf.MANIFEST, *mf.shard_files(mf.read(str(out)))])


# --- Opening a set that is replaced meanwhile ----------------------------------------------------

def _replace_set(live: Path, new: Path) -> None:
    """What `tarnkv cp` does: the new shards beside the old, the manifest, then the old shards go."""
    old = mf.read(str(live))
    for entry in mf.read(str(new)).shards:
        shutil.copy(new / entry.file, live / entry.file)
    shutil.copy(new / mf.MANIFEST, live / ".manifest.tmp")
    os.replace(live / ".manifest.tmp", live / mf.MANIFEST)
    for name in mf.shard_files(old):
        os.unlink(live / name)


def test_opening_starts_over_when_a_shard_vanishes_as_the_set_is_replaced(tmp_path, monkeypatch):
    live = make_set(tmp_path, {"k": "old", "j": 1}, shards=2, name="live")
    new = make_set(tmp_path, {"k": "new"}, shards=3, name="new")
    real = mf.check_shard_size
    raced = []

    def check_then_replace(path: str, entry: mf.ShardEntry, label: str, why: str = "") -> None:
        real(path, entry, label, why)
        if not raced:  # the shard is there and of its size; then the set is replaced
            raced.append(path)
            _replace_set(live, new)

    monkeypatch.setattr(mf, "check_shard_size", check_then_replace)
    monkeypatch.setattr(set_reader, "_OPEN_THREADS", 1)
    with tarnkv.open(live, verify=False) as s:
        assert dict(s.items()) == {"k": "new"}
    assert raced

    # A shard that vanishes while the manifest stays is still an error, and says which.
    raced.clear()

    def check_then_remove(path: str, entry: mf.ShardEntry, label: str, why: str = "") -> None:
        real(path, entry, label, why)
        if not raced:
            raced.append(path)
            os.unlink(path)

    monkeypatch.setattr(mf, "check_shard_size", check_then_remove)
    with pytest.raises(tarnkv.CorruptStoreError, match=r"shard 0 of 3 \(.*\) is missing"):
        tarnkv.open(live, verify=False)
