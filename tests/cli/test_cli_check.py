"""`tarnkv verify` and `tarnkv cp`, and what every subcommand's --help and progress show."""

from __future__ import annotations

import os
import pty
import select
import subprocess
import sys
import time

import pytest
from cli.cli_helpers import child_env, write_jsonl

COMMANDS = ["build", "get", "keys", "prefix", "dump", "stats", "verify", "cp", "diff", "merge"]


def make_store(cli, path, n=200, tag="v1"):
    src = write_jsonl(path.with_suffix(".jsonl"),
                      [{"id": f"k{i:05d}", "tag": tag, "pad": "p" * 100} for i in range(n)])
    res = cli("build", src, "-o", path, "--key", "id", "-q")
    assert res.status == 0, res.err
    return path


def corrupt(path, at=60):
    data = bytearray(path.read_bytes())
    data[at] ^= 0xFF
    path.write_bytes(data)


def test_verify_exit_statuses(cli, tmp_path):
    good = make_store(cli, tmp_path / "good.trnk")
    bad = make_store(cli, tmp_path / "bad.trnk")
    corrupt(bad)
    res = cli("verify", good)
    assert res.status == 0 and res.text.startswith(f"{good}: ok")
    res = cli("verify", good, bad)
    assert res.status == 1
    assert res.err.count("\n") == 1 and str(bad) in res.err and "Traceback" not in res.err
    assert f"{good}: ok" in res.text
    res = cli("verify", good, bad, tmp_path / "missing.trnk")
    assert res.status == 2 and str(tmp_path / "missing.trnk") in res.err


def test_cp_installs_with_mode_and_into_directories(cli, tmp_path):
    src = make_store(cli, tmp_path / "new.trnk", tag="v2")
    dst_dir = tmp_path / "live"
    dst_dir.mkdir()
    dst = make_store(cli, dst_dir / "new.trnk", tag="v1")
    os.chmod(dst, 0o640)
    assert cli("cp", src, dst_dir, "--verify").status == 0
    assert dst.read_bytes() == src.read_bytes()
    assert oct(dst.stat().st_mode & 0o777) == oct(0o640)
    assert sorted(p.name for p in dst_dir.iterdir()) == ["new.jsonl", "new.trnk"]


def test_cp_refuses_what_it_should_not_install(cli, tmp_path):
    dst = make_store(cli, tmp_path / "dst.trnk")
    before = dst.read_bytes()
    bad = make_store(cli, tmp_path / "bad.trnk")
    corrupt(bad)
    res = cli("cp", bad, dst, "--verify")
    assert res.status == 1 and str(bad) in res.err and "Traceback" not in res.err
    assert ".tmp" not in res.err  # the message names the source, not the copy
    (tmp_path / "text").write_text("not a store")
    for args in [(tmp_path / "text", dst), (tmp_path / "missing", dst), (dst, dst)]:
        res = cli("cp", *args)
        assert res.status == 2 and res.err.count("\n") == 1, res.err
    assert dst.read_bytes() == before
    assert sorted(p.name for p in tmp_path.iterdir()) == ["bad.jsonl", "bad.trnk", "dst.jsonl",
                                                           "dst.trnk", "text"]


READER = r"""
import os, sys, msgpack
from tarnkv import _tarnkv
path, marker = sys.argv[1], sys.argv[2]
r = _tarnkv._TarnReader(path)
keys = r.keys()
print("ready", flush=True)
passes, seen_marker = 0, 0
while seen_marker < 3:
    for k in keys:
        assert msgpack.unpackb(r.get_raw(k))["tag"] == "v1"
    passes += 1
    if os.path.exists(marker):
        seen_marker += 1
print(passes, flush=True)
r = _tarnkv._TarnReader(path)
print(msgpack.unpackb(r.get_raw(keys[0]))["tag"], flush=True)
"""


def test_cp_over_a_store_another_process_reads(cli, tmp_path):
    live = make_store(cli, tmp_path / "live.trnk", n=3000, tag="v1")
    new = make_store(cli, tmp_path / "new.trnk", n=3000, tag="v2")
    marker = tmp_path / "installed"
    reader = subprocess.Popen([sys.executable, "-c", READER, live, marker], env=child_env(),
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert reader.stdout.readline() == "ready\n"
        res = cli("cp", new, live)
        assert res.status == 0, res.err
        marker.touch()
        out, err = reader.communicate(timeout=120)
    finally:
        reader.kill()
    assert reader.returncode == 0, err
    passes, tag = out.split()
    assert int(passes) >= 3 and tag == "v2"


@pytest.mark.parametrize("command", COMMANDS)
def test_help_of_every_subcommand(cli, command):
    res = cli(command, "--help")
    assert res.status == 0
    assert "examples:" in res.text and f"tarnkv {command} " in res.text


def test_top_level_help_and_usage_errors(cli):
    assert all(c in cli("--help").text for c in COMMANDS)
    for args in [(), ("frobnicate",), ("get",), ("keys", "s.trnk", "--limit", "-1")]:
        res = cli(*args)
        assert res.status == 2 and res.err.count("\n") == 1, (args, res.err)


def run_in_pty(args, timeout=60):
    """Runs the command with standard error on a pseudo-terminal; returns status and what the
    terminal received."""
    master, slave = pty.openpty()
    proc = subprocess.Popen([sys.executable, "-m", "tarnkv", *map(str, args)], stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=slave,
                            env=child_env(TERM="xterm-256color", COLUMNS="120"))
    os.close(slave)
    seen = b""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        ready, _, _ = select.select([master], [], [], 0.5)
        if ready:
            try:
                chunk = os.read(master, 65536)
            except OSError:  # the child closed its end
                break
            if not chunk:
                break
            seen += chunk
        elif proc.poll() is not None:
            break
    os.close(master)
    return proc.wait(timeout=timeout), seen.decode("utf-8", "replace")


def test_progress_only_on_a_terminal(cli, tmp_path):
    src = write_jsonl(tmp_path / "p.jsonl", [{"id": f"k{i}"} for i in range(5000)])
    status, seen = run_in_pty(["build", src, "-o", tmp_path / "a.trnk", "--key", "id"])
    assert status == 0 and "records" in seen and "━" in seen
    status, seen = run_in_pty(["build", src, "-o", tmp_path / "b.trnk", "--key", "id", "--quiet"])
    assert status == 0 and seen == ""
    status, seen = run_in_pty(["verify", tmp_path / "a.trnk"])
    assert status == 0 and "verifying" in seen
    res = cli("build", src, "-o", tmp_path / "c.trnk", "--key", "id")
    assert res.status == 0 and res.err == ""
