"""The command line on stores at URLs: `cp URL local --verify` installs only a whole, checked
download; reading commands take URLs; missing buckets and credentials are one line, status 2."""

import json
from pathlib import Path

import tarnkv

from cli.cli_helpers import run_cli
from tarnkv.sets import merge


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


def test_stats_of_compressed_stores_and_sets_at_urls_match_the_local_files(http_server):
    """The dictionary is no object and compression is shown, as for the local file."""
    recs = {f"k{i:05d}": {"i": i, "name": f"user {i % 97}", "tags": ["a", str(i % 5)]} for i in range(3000)}
    path = http_server.root / "z.trnk"
    with tarnkv.TarnWriter.create(str(path), compression="zstd") as w:
        for key, obj in recs.items():
            w.put(key, obj)
    merge([path], http_server.root / "z.set", shards=2)
    for name in ("z.trnk", "z.set"):
        local, remote = run_cli("stats", http_server.root / name), run_cli("stats", f"{http_server.url}/{name}")
        assert local.status == remote.status == 0, remote.err
        assert remote.lines()[1:] == local.lines()[1:]
        assert any(line.startswith("compression") for line in remote.lines())
        got = json.loads(run_cli("stats", f"{http_server.url}/{name}", "--json").out)
        assert got["compression"]["original_bytes"] > got["compression"]["stored_bytes"]
        assert got["object_size"]["count"] == got["num_objects"]


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


def test_storage_options_reach_every_url_a_command_touches(s3_bucket, s3_server, tmp_path):
    """With no usable AWS variables (no credentials, the endpoint a dead port), the options
    given as --storage-option alone reach the object store: publishing a store and a set,
    reading, checking, copying down and up, comparing."""

    env = s3_server.env()
    broken = {"AWS_ENDPOINT_URL": "http://127.0.0.1:9", "AWS_ACCESS_KEY_ID": "", "AWS_SECRET_ACCESS_KEY": "",
              "AWS_EC2_METADATA_DISABLED": "true", "AWS_SHARED_CREDENTIALS_FILE": "/nonexistent",
              "AWS_CONFIG_FILE": "/nonexistent"}
    opts = ["--storage-option", f"endpoint_url={env['AWS_ENDPOINT_URL']}",
            "--storage-option", f"key={env['AWS_ACCESS_KEY_ID']}", "--storage-option", "secret=testing",
            "--storage-option", "region_name=us-east-1", "--storage-option", "timeout=10",
            "--storage-option", 'config_kwargs={"connect_timeout": 5}']

    def cli(*args):
        r = run_cli(*args, *opts, **broken)
        assert r.status == 0, (args, r.err)
        return r

    url = f"s3://{s3_bucket}/s.trnk"
    records = tmp_path / "in.jsonl"
    records.write_text("".join(json.dumps({"id": f"k{i:04d}", "i": i}) + "\n" for i in range(50)))
    cli("build", records, "--key", "id", "-o", url, "-q")
    assert cli("get", url, "k0007").json_lines() == [{"id": "k0007", "i": 7}]
    assert cli("keys", url, "--prefix", "k004").out.decode().split() == [f"k004{i}" for i in range(10)]
    assert len(cli("prefix", url, "k001").json_lines()) == 10
    assert len(cli("dump", url).json_lines()) == 50
    assert "50" in cli("stats", url).out.decode()
    cli("verify", url, "-q")
    cli("cp", url, tmp_path / "down.trnk", "--verify", "-q")
    cli("cp", tmp_path / "down.trnk", f"s3://{s3_bucket}/up.trnk", "-q")
    cli("diff", url, f"s3://{s3_bucket}/up.trnk", "-q")
    cli("build", records, "--key", "id", "--shards", "2", "--workers", "1", "-o", f"s3://{s3_bucket}/e.set", "-q")
    with tarnkv.open(f"s3://{s3_bucket}/e.set") as r:  # this process has the variables
        assert len(r) == 50 and r["k0031"]["i"] == 31

    # Without the options the same command cannot reach the store: they did the work.
    assert run_cli("get", url, "k0007", **broken).status == 2


def test_bad_storage_options_are_one_line_and_status_2(http_server, tmp_path):
    build(http_server.root / "s.trnk", 20)
    url = f"{http_server.url}/s.trnk"
    # A JSON value where it parses, text where it does not.
    r = run_cli("get", url, "k0003", "--storage-option", "timeout=5", "--storage-option", 'headers={"X-Seen": "yes"}')
    assert r.status == 0 and r.json_lines() == [{"i": 3, "pad": "p" * 20}], r.err
    for args, words in (
            (["--storage-option", "colour=blue"], "unknown storage option"),
            (["--storage-option", "timeout=-1"], "timeout must be positive"),
            (["--storage-option", "=1"], "not KEY=VALUE"),
            (["--storage-option", "timeout"], "not KEY=VALUE")):
        r = run_cli("get", url, "k0003", *args)
        assert r.status == 2 and r.err.count("\n") == 1 and words in r.err and "Traceback" not in r.err, (args, r.err)
    r = run_cli("stats", "http:///s.trnk", "--storage-option", "timeout=5")
    assert r.status == 2 and r.err.count("\n") == 1 and "Traceback" not in r.err, r.err
    r = run_cli("cp", url, tmp_path / "x.trnk", "--storage-option", "retries=0")
    assert r.status == 2 and r.err.count("\n") == 1 and "retries" in r.err and not (tmp_path / "x.trnk").exists(), r.err
