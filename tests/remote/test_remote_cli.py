"""The command line on stores at URLs: `cp URL local --verify` installs only a whole, checked
download; reading commands take URLs; missing buckets and credentials are one line, status 2."""

from pathlib import Path

import tarnkv

from cli.cli_helpers import run_cli


def build(path, n=300):
    with tarnkv.TarnWriter.create(str(path)) as w:
        for i in range(n):
            w.put(f"k{i:04d}", {"i": i, "pad": "p" * 20})
    return path


def test_cp_from_a_url_installs_a_checked_copy_or_nothing(http_server, tmp_path):
    build(http_server.root / "s.trnk")
    url = f"{http_server.url}/s.trnk"
    out = tmp_path / "out"
    out.mkdir()
    dst = out / "local.trnk"
    r = run_cli("cp", url, dst, "--verify", "-q")
    assert r.status == 0, r.err
    assert dst.read_bytes() == (http_server.root / "s.trnk").read_bytes()
    with tarnkv.open(str(dst)) as got:
        assert got["k0007"]["i"] == 7
    # Into a directory: under the URL's last name.
    (out / "d").mkdir()
    assert run_cli("cp", url, out / "d", "-q").status == 0
    assert (out / "d" / "s.trnk").read_bytes() == dst.read_bytes()

    # A damaged object: --verify refuses it, the old file stays and no temporary is left.
    data = bytearray((http_server.root / "s.trnk").read_bytes())
    data[100] ^= 0xFF
    (http_server.root / "bad.trnk").write_bytes(data)
    before = dst.read_bytes()
    r = run_cli("cp", f"{http_server.url}/bad.trnk", dst, "--verify", "-q")
    assert r.status == 1 and "bad.trnk" in r.err and "left as it was" in r.err
    assert dst.read_bytes() == before
    assert sorted(p.name for p in out.iterdir()) == ["d", "local.trnk"]

    # stats of a URL: the same figures as of the local file, no record read.
    http_server.clear_log()
    remote, local = run_cli("stats", url), run_cli("stats", dst)
    assert remote.status == local.status == 0, remote.err
    assert remote.lines()[1:] == local.lines()[1:]
    assert all(q.bytes_sent < 70000 for q in http_server.requests())

    r = run_cli("cp", f"{http_server.url}/none.trnk", dst)
    assert r.status == 2 and r.err.count("\n") == 1 and "none.trnk" in r.err


def test_reading_commands_and_s3_errors(s3_bucket, s3_server, tmp_path):
    from tarnkv.remote import s3

    path = build(tmp_path / "s.trnk", 20)
    s3.client().upload_file(str(path), s3_bucket, "s.trnk")
    env = s3_server.env()
    r = run_cli("get", f"s3://{s3_bucket}/s.trnk", "k0003", **env)
    assert r.status == 0 and r.json_lines() == [{"i": 3, "pad": "p" * 20}]

    r = run_cli("get", "s3://no-such-bucket/s.trnk", "k0003", **env)
    assert r.status == 2 and r.err.count("\n") == 1 and "no such bucket" in r.err, r.err
    r = run_cli("cp", f"s3://{s3_bucket}/s.trnk", tmp_path / "x.trnk", **{
        **env, "AWS_ACCESS_KEY_ID": "", "AWS_SECRET_ACCESS_KEY": "", "AWS_EC2_METADATA_DISABLED": "true",
        "AWS_SHARED_CREDENTIALS_FILE": "/nonexistent", "AWS_CONFIG_FILE": "/nonexistent"})
    assert r.status == 2 and r.err.count("\n") == 1 and "credentials" in r.err, r.err
    assert not Path(tmp_path / "x.trnk").exists()


def test_a_download_is_synced_as_it_arrives_and_a_failed_sync_installs_nothing(tmp_path, monkeypatch):
    """The copy is written out to disk while it downloads and is renamed only after its last
    sync; a sync that fails (even one in the background, whose error the kernel reports once)
    fails the copy, leaving the target as it was and no temporary file."""
    import errno
    import os

    from tarnkv.cli import install
    from tarnkv.cli.errors import CliError

    src = build(tmp_path / "src.trnk", 2000)
    data = src.read_bytes()
    monkeypatch.setattr(install.BackgroundSync, "SYNC_STEP", 4096)
    events: list[str] = []
    real_fdatasync, real_fsync, real_replace = os.fdatasync, os.fsync, os.replace
    monkeypatch.setattr(os, "fdatasync", lambda fd: (events.append("datasync"), real_fdatasync(fd))[1])
    monkeypatch.setattr(os, "fsync", lambda fd: (events.append("fsync"), real_fsync(fd))[1])
    monkeypatch.setattr(os, "replace", lambda a, b: (events.append("replace"), real_replace(a, b))[1])

    def fill(fd, wrote):
        for i in range(0, len(data), 1000):
            wrote(os.write(fd, data[i:i + 1000]))

    def check(path):
        with tarnkv.open(path) as r:
            return len(r)

    out = tmp_path / "out"
    out.mkdir()
    dst = out / "copy.trnk"
    install.install_fetched("http://h/src.trnk", str(dst), fill=fill, check=check)
    assert dst.read_bytes() == data
    assert "datasync" in events  # written out while it arrived
    assert events.index("fsync") < events.index("replace")  # and renamed only once all of it was

    def failing(fd):
        raise OSError(errno.EIO, "Input/output error")

    for failed in ("fdatasync", "fsync"):
        monkeypatch.setattr(os, failed, failing)
        dst.write_bytes(b"old")
        try:
            install.install_fetched("http://h/src.trnk", str(dst), fill=fill, check=check)
        except CliError as e:
            assert "Input/output error" in e.message
        else:
            raise AssertionError(f"a failed {failed} was reported as success")
        assert dst.read_bytes() == b"old"
        assert sorted(p.name for p in out.iterdir()) == ["copy.trnk"]
        monkeypatch.setattr(os, failed, {"fdatasync": real_fdatasync, "fsync": real_fsync}[failed])
