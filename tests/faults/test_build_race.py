"""Builds racing for one target from several processes at once. A live build holds its
temporary file, so a second build of the same target fails at once with OSError and leaves it
alone: every published store is one builder's complete store, never a mix or a truncation."""

import os
import queue
import subprocess
import sys
import threading
import time

import pytest

from store_helpers import child_env

from tarnkv import _tarnkv

# Rounds of builds racing from several processes; make check leaves them to make test.
pytestmark = pytest.mark.slow

KEYS = 1000  # about 0.5 MiB per store: a build takes long enough to overlap the others

# A builder process: for each line "round target start" it prepares that round's store, waits
# for the common start time, builds, and reports "ok <who the target names>" (read back with
# the whole-file CRC checked) or "err <message>". The summary lines go to /dev/null.
WORKER = r"""
import os, sys, time
from tarnkv import _tarnkv

me = int(sys.argv[1])
KEYS = int(sys.argv[2])
out = os.fdopen(os.dup(1), "w")
os.dup2(os.open(os.devnull, os.O_WRONLY), 1)

def payload(r, who, n):
    return f"{r}:{who}:{n};".encode() * 40

for line in sys.stdin:
    r, target, start = line.split()
    r = int(r)
    w = _tarnkv._TarnWriter()
    for n in range(KEYS):
        w.add_key(f"k{n:05d}", w.add_object_raw(payload(r, me, n)))
    w.add_key("who", w.add_object_raw(f"{r}:{me}".encode()))
    time.sleep(max(0.0, float(start) - time.time()))
    try:
        w.build(target)
    except OSError as e:
        print("err", e.args[0], file=out, flush=True)
        continue
    seen = _tarnkv._TarnReader(target)
    print("ok", seen.get_raw("who").decode(), seen.verify(), file=out, flush=True)
"""


def payload(r, who, n):
    return f"{r}:{who}:{n};".encode() * 40


def expected_items(r, who):
    items = [(f"k{n:05d}", payload(r, who, n)) for n in range(KEYS)]
    return items + [("who", f"{r}:{who}".encode())]


class Workers:
    """Builder processes, each answering one line per round through a reader thread."""

    def __init__(self, n):
        self.procs = [subprocess.Popen([sys.executable, "-c", WORKER, str(i), str(KEYS)], stdin=subprocess.PIPE,
                                       stdout=subprocess.PIPE, text=True, env=child_env()) for i in range(n)]
        self.answers = [queue.Queue() for _ in self.procs]
        self.readers = [threading.Thread(target=lambda p=proc, q=answers: [q.put(line) for line in p.stdout],
                                         daemon=True) for proc, answers in zip(self.procs, self.answers)]
        for reader in self.readers:
            reader.start()

    def round(self, r, targets, delays=None):
        """Starts round r (worker i builds into targets[i], delays[i] seconds after the common
        start) and returns each worker's answer."""
        start = time.time() + 0.1  # time to fill the writers, so the builds begin together
        for proc, target, delay in zip(self.procs, targets, delays or [0] * len(targets)):
            proc.stdin.write(f"{r} {target} {start + delay}\n")
            proc.stdin.flush()
        return [answers.get(timeout=120).split(" ", 1) for answers in self.answers]

    def close(self):
        for proc, reader in zip(self.procs, self.readers):
            proc.stdin.close()
            proc.wait(timeout=60)
            reader.join(timeout=60)
            proc.stdout.close()


@pytest.fixture
def workers():
    made = []

    def start(n):
        made.append(Workers(n))
        return made[-1]

    yield start
    for w in made:
        w.close()


def busy(tmp):
    return f"TarnIOError: open tmp: another build is writing {tmp}\n"


@pytest.mark.parametrize("n", [2, 4])
def test_racing_builds_publish_one_complete_store_each_round(tmp_path, workers, n):
    target, tmp = str(tmp_path / "db.trnk"), str(tmp_path / "db.trnk.tmp")
    pool = workers(n)
    failures = 0
    for r in range(30):
        answers = pool.round(r, [target] * n)
        succeeded = {i for i, (status, _) in enumerate(answers) if status == "ok"}
        for i, (status, text) in enumerate(answers):
            if status == "err":
                assert text == busy(tmp), f"round {r}, worker {i}"
            else:
                # What the builder saw right after its build: a complete store of this round,
                # its own or one a later builder published over it.
                who, verified = text.split()
                assert verified == "True"
                assert int(who.split(":")[0]) == r and int(who.split(":")[1]) in succeeded
        assert succeeded, f"round {r}: every build failed"
        failures += n - len(succeeded)
        reader = _tarnkv._TarnReader(target)  # whole-file CRC checked
        assert reader.verify() is True
        who = int(reader.get_raw("who").decode().split(":")[1])
        assert who in succeeded and reader.get_raw("who") == f"{r}:{who}".encode()
        assert reader.items_raw() == expected_items(r, who)
    print(f"{n} builders x 30 rounds: {failures} builds refused as concurrent")
    # Whatever the failed builds met, a later build takes the temporary path over.
    w = _tarnkv._TarnWriter()
    w.add_key("last", w.add_object_raw(b"word"))
    w.build(target)
    assert _tarnkv._TarnReader(target).items_raw() == [("last", b"word")]
    assert not os.path.exists(tmp)


def test_targets_sharing_a_temporary_path_do_not_interfere(tmp_path, workers):
    # out/db.bin and out/db.trnk both build through out/db.trnk.tmp.
    targets, tmp = [str(tmp_path / "db.bin"), str(tmp_path / "db.trnk")], str(tmp_path / "db.trnk.tmp")
    pool = workers(2)
    last = [None, None]  # the round each target was last published in
    refused = 0
    for r in range(15):
        # One of them starts a few milliseconds ahead, in turn, so that each wins some rounds;
        # a build takes longer than that, so they still overlap.
        answers = pool.round(r, targets, [0.0, 0.003] if r % 2 else [0.003, 0.0])
        for i, (status, text) in enumerate(answers):
            if status == "ok":
                assert text == f"{r}:{i} True\n"  # its own target, its own store
                last[i] = r
            else:
                assert text == busy(tmp), f"round {r}, worker {i}"
                refused += 1
        for i, target in enumerate(targets):
            if last[i] is not None:
                reader = _tarnkv._TarnReader(target)
                assert reader.items_raw() == expected_items(last[i], i)
    print(f"db.bin against db.trnk x 15 rounds: {refused} builds refused as concurrent")
    assert None not in last
