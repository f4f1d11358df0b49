"""`tarnkv cp`: what it refuses to install, what it replaces (names, never what links name),
whose the new file is, and that a failure leaves nothing of its own behind."""

from __future__ import annotations

import contextlib
import json
import os
import shutil
import stat
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest
from cli.cli_helpers import child_env, run_cli

import tarnkv
from sets.set_helpers import make_set
from store_helpers import raw_store
from tarnkv.cli.install import install, install_set
from tarnkv.sets import manifest as mf

NOBODY = 65534
as_root = pytest.mark.skipif(os.geteuid() != 0 or shutil.which("setpriv") is None,
                             reason="needs root and setpriv to act as a second user")


def store(path: Path, n: int = 50, tag: str = "v1", pad: int = 100) -> Path:
    w = tarnkv.TarnWriter()
    for i in range(n):
        w.put(f"k{i:05d}", {"tag": tag, "pad": "p" * pad})
    w.build(path)
    return path


def state(directory: Path) -> dict[str, bytes | str]:
    """Every name in ``directory`` and what it holds (a link's target, a FIFO's kind)."""
    out: dict[str, bytes | str] = {}
    for p in sorted(directory.iterdir()):
        if p.is_symlink():
            out[p.name] = f"-> {os.readlink(p)}"
        elif p.is_fifo():
            out[p.name] = "fifo"
        elif p.is_dir():
            out[p.name] = f"dir {sorted(os.listdir(p))}"
        else:
            out[p.name] = p.read_bytes()
    return out


@contextlib.contextmanager
def umask(mask: int):
    old = os.umask(mask)
    try:
        yield
    finally:
        os.umask(old)


def as_nobody(*args: object, check: bool = True) -> subprocess.CompletedProcess[str]:
    return subprocess.run(["setpriv", f"--reuid={NOBODY}", f"--regid={NOBODY}", "--clear-groups", *map(str, args)],
                          capture_output=True, text=True, timeout=120, env=child_env(), check=check)


@pytest.fixture
def shared():
    """A directory every user may write to, as /tmp is (sticky: each removes only their own)."""
    d = Path(tempfile.mkdtemp(prefix="tarnkv-shared-", dir="/tmp"))
    d.chmod(0o1777)
    yield d
    shutil.rmtree(d)


# --- What is never installed ----------------------------------------------------------------------

def _cut_keyless(tmp_path: Path) -> bytes:
    data = raw_store(objects=[b"x" * 100] * 3)  # objects, no keys: only the header tells the size
    return data[:len(data) - 60]


@pytest.mark.parametrize("damage, says", [
    (lambda data, tmp: data[:len(data) // 2], "index section truncated (key_len)"),
    (lambda data, tmp: data[:-3], "index section truncated (key + offset)"),
    (lambda data, tmp: _cut_keyless(tmp), "truncated: its index starts at byte 364, past the end of the file "
                                          "(304 bytes)"),
    (lambda data, tmp: data + b"\0" * 7, "7 bytes after the last of its 50 index entries"),
    (lambda data, tmp: raw_store(objects=[b"ab"], num_objects=9), "9 objects cannot make up its data section "
                                                                   "of 10 bytes"),
    (lambda data, tmp: raw_store(index_offset=24), "its index starts at byte 24, inside the header"),
], ids=["cut-in-data", "cut-in-index", "cut-keyless", "appended", "objects", "index-in-header"])
def test_cp_never_installs_a_store_that_is_not_whole(cli, tmp_path, damage, says):
    good = store(tmp_path / "good.trnk")
    bad = tmp_path / "bad.trnk"
    bad.write_bytes(damage(good.read_bytes(), tmp_path))
    live = tmp_path / "live"
    live.mkdir()
    store(live / "s.trnk", tag="live")
    before = state(live)
    res = cli("cp", bad, live / "s.trnk")  # without --verify: the cheap check alone
    assert res.status == 1, res.err
    assert res.err == f"tarnkv: {bad}: corrupt store: {says}; {live / 's.trnk'} left as it was\n"
    assert state(live) == before


def test_cp_needs_allow_empty_to_replace_keys_with_none(cli, tmp_path):
    live = store(tmp_path / "live.trnk")
    before = live.read_bytes()
    empty = tmp_path / "empty.trnk"
    tarnkv.TarnWriter().build(empty)
    res = cli("cp", empty, live)
    assert res.status == 2
    assert res.err == (f"tarnkv: {empty} holds no keys and would replace {live}, which holds 50; "
                       f"--allow-empty installs it all the same ({live} left as it was)\n")
    assert live.read_bytes() == before and sorted(os.listdir(tmp_path)) == ["empty.trnk", "live.trnk"]
    assert cli("cp", empty, live, "--allow-empty").status == 0
    assert live.read_bytes() == empty.read_bytes()
    # Nothing to lose: an empty store over an empty one, or where there was none.
    assert cli("cp", empty, live).status == 0
    assert cli("cp", empty, tmp_path / "new.trnk").status == 0


def test_cp_of_a_set_checks_each_shard_and_its_emptiness(cli, tmp_path):
    src = make_set(tmp_path, {f"k{i:03d}": i for i in range(100)}, shards=3, name="src")
    # A shard with bytes after its index, and a manifest that agrees on its size: only the
    # shard's own shape gives it away.
    entry = mf.read(str(src)).shards[1]
    with open(src / entry.file, "ab") as f:
        f.write(b"\0" * 5)
    doc = json.loads((src / mf.MANIFEST).read_text())
    doc["shards"][1]["size"] += 5
    doc["total_size"] += 5
    (src / mf.MANIFEST).write_text(json.dumps(doc))
    res = cli("cp", src, tmp_path / "dst")
    assert res.status == 1 and f"{src / entry.file}: corrupt store: 5 bytes after" in res.err, res.err
    assert not (tmp_path / "dst").exists()  # the directory it made went again

    live = make_set(tmp_path, {"a": 1}, shards=2, name="live")
    before = state(live)
    empty = make_set(tmp_path, {}, shards=2, name="empty")
    res = cli("cp", empty, live)
    assert res.status == 2 and "--allow-empty" in res.err and state(live) == before
    assert cli("cp", empty, live, "--allow-empty").status == 0
    with tarnkv.open(live) as reader:
        assert len(reader) == 0


# --- Names, links, FIFOs, owners and modes -------------------------------------------------------

def test_cp_replaces_a_link_never_the_file_it_names(cli, tmp_path):
    src = store(tmp_path / "new.trnk", tag="v2")
    victim = tmp_path / "victim.txt"
    victim.write_text("not yours")
    for name, target in [("live.trnk", victim), ("dangling.trnk", tmp_path / "nowhere")]:
        (tmp_path / name).symlink_to(target)
        assert cli("cp", src, tmp_path / name).status == 0
        assert not (tmp_path / name).is_symlink() and (tmp_path / name).read_bytes() == src.read_bytes()
    assert victim.read_text() == "not yours" and not (tmp_path / "nowhere").exists()
    # A link to a directory is a directory to copy into only when written as one.
    (tmp_path / "dir").mkdir()
    (tmp_path / "dirlink").symlink_to(tmp_path / "dir")
    res = cli("cp", src, tmp_path / "dirlink")
    assert res.status == 2 and f"write {tmp_path / 'dirlink'}/ to copy into it" in res.err
    assert (tmp_path / "dirlink").is_symlink() and os.listdir(tmp_path / "dir") == []
    assert cli("cp", src, f"{tmp_path / 'dirlink'}/").status == 0
    assert os.listdir(tmp_path / "dir") == ["new.trnk"]


def test_cp_neither_waits_on_nor_takes_after_a_fifo(cli, tmp_path):
    src = store(tmp_path / "new.trnk")
    src.chmod(0o644)
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    res = cli("cp", fifo, tmp_path / "x.trnk", timeout=20)  # as SOURCE: fails at once
    assert res.status == 2 and res.err == f"tarnkv: {fifo}: not a regular file\n"
    live = tmp_path / "live.trnk"
    os.mkfifo(live)
    live.chmod(0o666)
    with umask(0o022):
        assert cli("cp", src, live, timeout=20).status == 0
    assert stat.S_ISREG(live.lstat().st_mode) and stat.S_IMODE(live.stat().st_mode) == 0o644


@as_root
def test_cp_by_root_into_a_directory_others_write(cli, tmp_path, shared):
    src = store(tmp_path / "new.trnk", tag="v2")
    src.chmod(0o644)
    victim = tmp_path / "passwd"
    victim.write_text("root:x:0:0\n")
    as_nobody("ln", "-s", victim, shared / "link.trnk")
    as_nobody("mkfifo", "-m", "666", shared / "fifo.trnk")
    nobodys = shared / "theirs.trnk"
    as_nobody(sys.executable, "-c", f"import os; os.umask(0); open({str(nobodys)!r}, 'wb').write(b'TRNK'); "
              f"os.chmod({str(nobodys)!r}, 0o640)")
    with umask(0o022):
        for name in ["link.trnk", "fifo.trnk", "theirs.trnk"]:
            res = cli("cp", src, shared / name)
            assert res.status == 0, (name, res.err)
            assert (shared / name).read_bytes() == src.read_bytes()
    assert victim.read_text() == "root:x:0:0\n"
    owners = {name: (st.st_uid, stat.S_IFMT(st.st_mode), stat.S_IMODE(st.st_mode))
              for name in os.listdir(shared) for st in [os.lstat(shared / name)]}
    # The link and the FIFO give nothing away: the new files are root's, as new files are. The
    # regular file keeps its owner and mode: nothing changes hands.
    assert owners == {"link.trnk": (0, stat.S_IFREG, 0o644), "fifo.trnk": (0, stat.S_IFREG, 0o644),
                      "theirs.trnk": (NOBODY, stat.S_IFREG, 0o640)}


@as_root
def test_cp_never_widens_access_to_a_file_it_cannot_give_to_its_owner(tmp_path, shared):
    src = store(shared / "new.trnk")
    src.chmod(0o644)
    public = shared / "public"  # not sticky: anyone may replace anyone's file here
    public.mkdir()
    public.chmod(0o777)
    live = store(public / "live.trnk")  # root's, writable by all
    live.chmod(0o666)
    res = as_nobody("sh", "-c", f'umask 022; exec "{sys.executable}" -m tarnkv cp "{src}" "{live}"', check=False)
    assert res.returncode == 0, res.stderr
    st = live.stat()
    assert (st.st_uid, stat.S_IMODE(st.st_mode)) == (NOBODY, 0o644)


def test_cp_of_a_set_gives_its_shards_the_umask(cli, tmp_path):
    src = make_set(tmp_path, {f"k{i}": i for i in range(20)}, shards=3, name="src")
    for p in src.iterdir():
        p.chmod(0o666)
    with umask(0o077):
        assert cli("cp", src, tmp_path / "dst").status == 0
    assert {p.name: stat.S_IMODE(p.stat().st_mode) for p in (tmp_path / "dst").iterdir()} == \
        {p.name: 0o600 for p in src.iterdir()}


# --- Failures leave nothing behind ----------------------------------------------------------------

def test_cp_to_a_missing_directory_names_that_directory(cli, tmp_path):
    src = store(tmp_path / "new.trnk")
    res = cli("cp", src, tmp_path / "missing" / "live.trnk")
    assert res.status == 2 and res.err == f"tarnkv: {tmp_path / 'missing'}: No such file or directory\n"


@pytest.fixture
def small_fs():
    """A 2 MiB file system of its own (root only)."""
    d = Path(tempfile.mkdtemp(prefix="tarnkv-small-"))
    if os.geteuid() != 0 or subprocess.run(["mount", "-t", "tmpfs", "-o", "size=2m", "tmpfs", d],
                                           capture_output=True).returncode != 0:
        d.rmdir()
        pytest.skip("cannot mount a small tmpfs here")
    yield d
    subprocess.run(["umount", d], check=True)
    d.rmdir()


def test_cp_onto_a_full_disk_removes_its_copy(cli, tmp_path, small_fs):
    big = store(tmp_path / "big.trnk", n=15_000, pad=200)  # ~3 MiB
    assert big.stat().st_size > 3 << 20
    store(small_fs / "live.trnk", tag="live")
    before = state(small_fs)
    res = cli("cp", big, small_fs / "live.trnk")
    assert res.status == 2 and res.err == f"tarnkv: {small_fs / 'live.trnk'}: No space left on device\n"
    assert state(small_fs) == before
    # A set: the shards that fitted go again, and the directory the copy made.
    big_set = make_set(tmp_path, {f"k{i:05d}": "p" * 200 for i in range(15_000)}, shards=4, name="bigset")
    res = cli("cp", big_set, small_fs / "set")
    assert res.status == 2 and res.err == f"tarnkv: {small_fs / 'set'}: No space left on device\n"
    assert state(small_fs) == before


@pytest.mark.parametrize("stop", [KeyboardInterrupt, RuntimeError])
def test_an_interrupted_install_leaves_only_what_was_there(tmp_path, stop):
    src = store(tmp_path / "new.trnk", tag="v2")
    live = store(tmp_path / "live.trnk")
    src_set = make_set(tmp_path, {"a": 1, "b": 2}, shards=2, name="set")
    before = state(tmp_path)

    def fail(*_args: object) -> int:
        raise stop

    for at in ["check", "progress"]:
        step = {"check": {"check": fail}, "progress": {"check": lambda *_: 1, "progress": fail}}[at]
        with pytest.raises(stop):
            install(str(src), str(live), **step)
        with pytest.raises(stop):
            install_set(str(src_set), str(tmp_path / "new.set"), **step)
        assert state(tmp_path) == before, at
