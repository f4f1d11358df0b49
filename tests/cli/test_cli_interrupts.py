"""Ctrl-C is honest: status 130 means the target is exactly as it was, and once a command has
published its output it says it succeeded. Real commands get a real SIGINT at many points;
the handler's commit point is also checked in this process, where the signal can be held
back until the exact moment wanted."""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest
from cli.cli_helpers import HEADER, child_env, run_cli

import tarnkv
from tarnkv import _tarnkv
from tarnkv.cli import interrupts, stores

RECORDS = 1_000_000
# Where to interrupt, as fractions of an uninterrupted run: reading, converting, writing,
# syncing, and around the rename at the end.
FRACTIONS = (0.2, 0.45, 0.65, 0.8, 0.88, 0.94, 0.98, 1.03)


@pytest.fixture(scope="module")
def big(tmp_path_factory) -> Path:
    path = tmp_path_factory.mktemp("interrupts") / "big.jsonl"
    with open(path, "w") as f:
        f.writelines(f'{{"id":"k{i:08d}","v":{i},"s":"abcdefghij"}}\n' for i in range(RECORDS))
    return path


def interrupted(args, delay: float) -> tuple[int, str, float]:
    """Runs the command, sends it SIGINT after *delay* seconds; (status, stderr, seconds it
    took to end after the signal)."""
    proc = subprocess.Popen([sys.executable, "-m", "tarnkv", *map(str, args)], stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE, env=child_env())
    time.sleep(delay)
    proc.send_signal(signal.SIGINT)
    sent = time.monotonic()
    _, err = proc.communicate(timeout=60)
    return proc.returncode, err.decode("utf-8", "replace"), time.monotonic() - sent


def timed(args) -> float:
    started = time.monotonic()
    res = run_cli(*args)
    assert res.status == 0, res.err
    return time.monotonic() - started


def keys_in(path: Path) -> int:
    _tarnkv._TarnReader(str(path)).verify()
    return HEADER.unpack_from(path.read_bytes())[2]


def check_runs(directory: Path, target: Path, old: bytes, args, delays, complete) -> None:
    """Each run, over the old target, left it byte for byte with status 130 (or died of the
    signal before the command began), or published a complete new one with status 0; nothing
    else is left in the directory."""
    statuses = []
    for delay in delays:
        target.write_bytes(old)
        status, err, after = interrupted(args, delay)
        statuses.append(status)
        assert after < 20, "took too long to stop"
        if status == 0:
            assert err == "" and complete(target)
        else:
            assert status in (130, -signal.SIGINT), err
            assert status != 130 or err == "tarnkv: interrupted\n"
            assert target.read_bytes() == old, "interrupted, yet the target changed"
        leftovers = sorted(p.name for p in directory.iterdir() if p.name != target.name)
        assert leftovers == [], leftovers
    assert 130 in statuses, "no run was interrupted: the input is too small to watch"


def test_ctrl_c_during_a_quiet_build_leaves_the_old_store_or_publishes_the_new(big, tmp_path):
    out_dir = tmp_path / "out"
    out_dir.mkdir()
    target = out_dir / "db.trnk"
    seconds = timed(["build", big, "-o", target, "--key", "id", "-q"])
    w = tarnkv.TarnWriter()
    w["old"] = 1
    w.build(target)
    old = target.read_bytes()
    check_runs(out_dir, target, old, ["build", big, "-o", target, "--key", "id", "-q"],
               [seconds * f for f in FRACTIONS], lambda p: keys_in(p) == RECORDS)


def test_ctrl_c_during_dump_to_a_file_merge_and_cp(big, tmp_path):
    store = tmp_path / "big.trnk"
    assert run_cli("build", big, "-o", store, "--key", "id", "-q").status == 0
    out_dir = tmp_path / "out"
    out_dir.mkdir()

    dumped = out_dir / "dump.jsonl"
    dumped.write_bytes(b'{"old": true}\n')
    old = dumped.read_bytes()
    seconds = timed(["dump", store, "-o", dumped])
    check_runs(out_dir, dumped, old, ["dump", store, "-o", dumped], [seconds * f for f in FRACTIONS[::2]],
               lambda p: p.read_bytes().count(b"\n") == RECORDS)
    dumped.unlink()

    merged = out_dir / "merged.trnk"
    w = tarnkv.TarnWriter()
    w["old"] = 1
    w.build(merged)
    old = merged.read_bytes()
    seconds = timed(["merge", store, "-o", merged, "-q"])
    check_runs(out_dir, merged, old, ["merge", store, "-o", merged, "-q"], [seconds * f for f in FRACTIONS[1::2]],
               lambda p: keys_in(p) == RECORDS)
    merged.unlink()

    copied = out_dir / "copy.trnk"
    w.build(copied)
    old = copied.read_bytes()
    seconds = timed(["cp", store, copied])
    check_runs(out_dir, copied, old, ["cp", store, copied], [seconds * f for f in FRACTIONS],
               lambda p: p.read_bytes() == store.read_bytes())


# --- The commit point, in this process --------------------------------------------------------

class HeldSigint:
    """SIGINT sent to this thread and held back (blocked) until release(): it then arrives at
    exactly that moment, as if it had come in the middle of what ran meanwhile."""

    def __enter__(self) -> HeldSigint:
        self.old = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
        signal.pthread_kill(threading.get_ident(), signal.SIGINT)
        return self

    def release(self) -> None:
        signal.pthread_sigmask(signal.SIG_SETMASK, self.old)  # runs the handler

    def __exit__(self, *exc: object) -> None:
        self.release()


def writer_with(n: int) -> tarnkv.TarnWriter:
    w = tarnkv.TarnWriter()
    for i in range(n):
        w[f"k{i}"] = i
    return w


def test_a_ctrl_c_that_arrives_once_the_file_is_out_does_not_interrupt(tmp_path):
    target = tmp_path / "db.trnk"
    with interrupts.handling():
        w = writer_with(10)
        with HeldSigint() as sigint:
            stores.build(w, str(target))
            sigint.release()  # as if it came during the rename: too late to stop anything
        assert interrupts.published()
    assert keys_in(target) == 10

    with interrupts.handling():
        w = writer_with(20)
        with pytest.raises(KeyboardInterrupt):
            with HeldSigint():
                pass  # before the build: it stops the command
        assert not interrupts.published()
    assert keys_in(target) == 10


def test_a_rename_or_a_changed_target_as_the_commit_point(tmp_path):
    tmp, target = tmp_path / "new.tmp", tmp_path / "out.txt"
    target.write_text("old")
    tmp.write_text("new")
    with interrupts.handling():
        with HeldSigint():
            interrupts.replace(str(tmp), str(target))
    assert target.read_text() == "new"
    with interrupts.handling():
        interrupts.published_when(interrupts.changed(str(target)))
        with pytest.raises(KeyboardInterrupt):
            with HeldSigint():
                pass
    with interrupts.handling():
        interrupts.published_when(interrupts.changed(str(target)))
        with HeldSigint():
            tmp.write_text("newer")
            os.replace(tmp, target)


def test_a_ctrl_c_that_lands_in_a_finalizer_still_stops_the_command(capsys):
    class Finalized:
        def __del__(self) -> None:
            with HeldSigint():
                pass  # the handler raises here, where the interpreter can only report it

    with interrupts.handling():
        reached = []
        with pytest.raises(KeyboardInterrupt):
            Finalized()
            for _ in range(2000):
                reached.append(None)
                time.sleep(0.001)
        assert len(reached) < 2000
    assert "Exception ignored" not in capsys.readouterr().err


def test_only_the_first_ctrl_c_interrupts_and_deferred_holds_it_back():
    with interrupts.handling():
        done = []
        with pytest.raises(KeyboardInterrupt):
            with interrupts.deferred():
                with HeldSigint():
                    pass
                done.append("made and arranged")  # the Ctrl-C waited for this
        assert done == ["made and arranged"]
        with HeldSigint():
            pass  # cleaning up: a second Ctrl-C does not cut it short
    with pytest.raises(KeyboardInterrupt):  # the handler is gone with the block
        with HeldSigint():
            pass


def test_a_ctrl_c_while_the_background_sync_starts_leaves_it_joinable(tmp_path, monkeypatch):
    """Raised inside Thread.start(), the interrupt left a thread that wait() refused to join
    (RuntimeError instead of the interruption)."""
    from tarnkv.cli.install import BackgroundSync

    start = threading.Thread.start

    def interrupted_start(self: threading.Thread) -> None:
        with HeldSigint():
            pass  # arrives before the thread is started
        start(self)

    fd = os.open(tmp_path / "f", os.O_WRONLY | os.O_CREAT)
    try:
        sync = BackgroundSync(fd)
        monkeypatch.setattr(threading.Thread, "start", interrupted_start)
        with interrupts.handling():
            with pytest.raises(KeyboardInterrupt):
                sync.wrote(BackgroundSync.SYNC_STEP)
        monkeypatch.undo()
        sync.wait()  # joins the sync that was started
    finally:
        os.close(fd)


def test_a_native_build_stops_at_ctrl_c_without_a_progress_callback(tmp_path):
    # 160 MiB to write in 32 MiB steps: the signal comes as the first file appears, and the
    # build must notice it at a step and publish nothing.
    out_dir = tmp_path / "out"
    out_dir.mkdir()
    w = tarnkv.TarnWriter(codec=None)
    blob = bytes(1 << 20)
    for i in range(160):
        w[f"k{i}"] = blob
    main = threading.get_ident()

    def interrupt_when_writing() -> None:
        deadline = time.monotonic() + 30
        while not any(out_dir.iterdir()) and time.monotonic() < deadline:
            time.sleep(0.0005)
        signal.pthread_kill(main, signal.SIGINT)

    thread = threading.Thread(target=interrupt_when_writing)
    thread.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            w.build(out_dir / "db.trnk")
    finally:
        thread.join()
    assert list(out_dir.iterdir()) == []
    assert w.published == 0
    w.build(out_dir / "db.trnk")  # the writer is unchanged
    assert w.published == 1 and keys_in(out_dir / "db.trnk") == 160
