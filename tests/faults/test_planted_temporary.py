"""Another user plants something at a build's temporary name in a shared (sticky, world-writable)
directory. The build never writes through it: a hard link or another user's file is replaced by
a file of the builder's own, with the mode its umask gives; a FIFO is refused at once. Run as
root, with the other user played by nobody through setpriv."""

import fcntl
import json
import os
import shutil
import stat
import subprocess
import sys
import tempfile

import pytest

from store_helpers import child_env

from tarnkv import _tarnkv

NOBODY = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]

# Builds one store at argv[2] through the API named by argv[1], umask 022, and reports
# "BUILT" or the error.
BUILD = r"""
import os, sys
api, target = sys.argv[1], sys.argv[2]
os.umask(0o022)
try:
    if api == "lowlevel":
        from tarnkv import _tarnkv
        w = _tarnkv._TarnWriter()
        w.add_key("k", w.add_object_raw(b"\x01"))
        w.build(target)
    else:
        import tarnkv
        w = tarnkv.TarnWriter()
        w.put("k", 1)
        w.build(target)
except OSError as e:
    print("ERROR", type(e).__name__, e.args if api == "lowlevel" else (e.errno, e.strerror, e.filename))
else:
    print("BUILT")
"""


@pytest.fixture
def shared():
    if os.geteuid() != 0 or shutil.which("setpriv") is None:
        pytest.skip("needs root and setpriv to act as a second user")
    top = tempfile.mkdtemp(prefix="tarnkv-shared-")
    os.chmod(top, 0o755)
    os.mkdir(os.path.join(top, "shared"))
    os.chmod(os.path.join(top, "shared"), 0o1777)
    try:
        if subprocess.run([*NOBODY, "true"]).returncode != 0:
            pytest.skip("setpriv cannot switch users here")
        yield top
    finally:
        shutil.rmtree(top)


def as_nobody(*argv, **kw):
    return subprocess.run([*NOBODY, *argv], capture_output=True, text=True, timeout=60, env=child_env(), **kw)


def build(api, target, tmp_dir):
    """Root's build of `target` through `api`: (finished in time, status, output lines)."""
    if api == "cli":
        source = os.path.join(tmp_dir, "in.jsonl")
        with open(source, "w") as f:
            f.write(json.dumps({"id": "k", "v": 1}) + "\n")
        argv = [sys.executable, "-m", "tarnkv", "build", source, "-o", target, "--key", "id", "-q"]
    else:
        argv = [sys.executable, "-c", BUILD, api, target]
    try:
        out = subprocess.run(argv, capture_output=True, text=True, timeout=30, env=child_env(), umask=0o022)
    except subprocess.TimeoutExpired:
        return False, None, []
    lines = [line for line in (out.stdout + out.stderr).splitlines() if not line.startswith("\u2705")]
    return True, out.returncode, lines


APIS = ["lowlevel", "package", "cli"]


@pytest.mark.parametrize("api", APIS)
def test_hard_link_at_the_temporary_name_is_not_written_through(shared, api):
    victim_dir = os.path.join(shared, "victim")
    os.mkdir(victim_dir)
    victim = os.path.join(victim_dir, "log.txt")
    with open(victim, "w") as f:
        f.write("log\n")
    os.chmod(victim, 0o666)
    target, tmp = os.path.join(shared, "shared", "db.trnk"), os.path.join(shared, "shared", "db.trnk.tmp")
    planted = as_nobody("ln", victim, tmp)
    if planted.returncode != 0:
        pytest.skip(f"the kernel refuses the link: {planted.stderr.strip()}")
    finished, status, lines = build(api, target, shared)
    assert finished and status == 0, lines
    with open(victim) as f:
        assert f.read() == "log\n"
    assert os.stat(victim).st_nlink == 1
    assert os.stat(target).st_ino != os.stat(victim).st_ino
    assert not os.path.exists(tmp)
    assert _tarnkv._TarnReader(target).verify() is True


@pytest.mark.parametrize("api", APIS)
def test_another_users_file_at_the_temporary_name_is_replaced(shared, api):
    target, tmp = os.path.join(shared, "shared", "db.trnk"), os.path.join(shared, "shared", "db.trnk.tmp")
    assert as_nobody("sh", "-c", f"umask 0; echo junk > {tmp}").returncode == 0
    assert os.stat(tmp).st_uid == 65534
    finished, status, lines = build(api, target, shared)
    assert finished and status == 0, lines
    st = os.stat(target)
    assert (st.st_uid, stat.S_IMODE(st.st_mode)) == (0, 0o644)
    assert as_nobody("sh", "-c", f"echo x >> {target}").returncode != 0
    assert _tarnkv._TarnReader(target).verify() is True


@pytest.mark.parametrize("api", APIS)
def test_fifo_at_the_temporary_name_fails_at_once(shared, api):
    target, tmp = os.path.join(shared, "shared", "db.trnk"), os.path.join(shared, "shared", "db.trnk.tmp")
    assert as_nobody("mkfifo", "-m", "666", tmp).returncode == 0
    finished, status, lines = build(api, target, shared)
    if not finished:  # the open waits for a reader: let it go before failing
        fd = os.open(tmp, os.O_RDONLY | os.O_NONBLOCK)
        os.close(fd)
    assert finished, "the build blocked on the FIFO"
    if api == "lowlevel":
        assert lines == [f"ERROR OSError ('TarnIOError: open tmp: {tmp} is not a regular file',)"]
    elif api == "package":
        assert lines == [f"ERROR StoreIOError (5, 'open tmp: {tmp} is not a regular file', {tmp!r})"]
    else:
        assert status != 0 and any(tmp in line for line in lines), lines
    assert stat.S_ISFIFO(os.lstat(tmp).st_mode)
    assert not os.path.exists(target)


def test_a_second_user_meets_the_first_ones_temporary(shared):
    """The other way round: the first user's temporary is not writable by the second, who still
    learns whether a live build holds it, and cannot remove it from the sticky directory."""
    tmp = os.path.join(shared, "shared", "db.trnk.tmp")
    fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644)
    try:
        os.write(fd, b"half a store")
        fcntl.flock(fd, fcntl.LOCK_EX)  # a live build of root's
        out = as_nobody(sys.executable, "-c", BUILD, "lowlevel", os.path.join(shared, "shared", "db.trnk"))
        assert out.stdout.splitlines() == [f"ERROR OSError ('TarnIOError: open tmp: another build is writing {tmp}',)"]
    finally:
        os.close(fd)  # root's build has died
    out = as_nobody(sys.executable, "-c", BUILD, "lowlevel", os.path.join(shared, "shared", "db.bin"))
    assert out.stdout.splitlines() == ["ERROR OSError ('TarnIOError: open tmp: Operation not permitted (os error 1)',)"]
    with open(tmp, "rb") as f:
        assert f.read() == b"half a store"
