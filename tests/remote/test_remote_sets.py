"""Store sets at URLs: the manifest and each shard read from object storage or a web server,
answering as the same set read from its directory."""

import pickle
import subprocess
import sys
from pathlib import Path

import pytest

import tarnkv
from tarnkv.errors import CorruptStoreError
from tarnkv.remote.setreader import RemoteSetReader


def make_set(tmp_path, n=600, shards=4):
    """A set of *shards* shards holding n records, built locally: its directory."""
    single = tmp_path / "single.trnk"
    with tarnkv.TarnWriter.create(str(single)) as w:
        for i in range(n):
            w.put(f"k{i:05d}", {"i": i})
        w.put(b"\xffraw", [1])
    out = tmp_path / "events.set"
    subprocess.run([sys.executable, "-m", "tarnkv", "merge", str(single), "-o", str(out), "--shards", str(shards),
                    "-q"], check=True)
    return out


def upload_dir(bucket, prefix, directory):
    from tarnkv.remote import s3

    c = s3.client()
    for f in sorted(Path(directory).iterdir()):
        c.upload_file(str(f), bucket, f"{prefix}/{f.name}")
    return f"s3://{bucket}/{prefix}"


def test_a_set_in_object_storage_reads_as_its_directory(s3_bucket, s3_server, tmp_path):
    directory = make_set(tmp_path)
    url = upload_dir(s3_bucket, "events.set", directory)
    before = len(s3_server.requests())
    with tarnkv.open(url) as r, tarnkv.open(str(directory)) as local:
        opened = s3_server.requests()[before:]
        # The manifest, then each shard's open (its index comes whole in the first read here).
        assert isinstance(r, RemoteSetReader)
        assert len(opened) <= 1 + 3 * 4 and sum(1 for q in opened if "manifest" in q[1]) == 1
        before = len(s3_server.requests())
        assert r["k00042"] == {"i": 42}
        assert len(s3_server.requests()) - before == 1  # a routed hit: one request
        assert r.get("absent") is None and 42 not in r and r.get(42, 7) == 7
        assert len(s3_server.requests()) - before == 1

        assert len(r) == len(local) and list(r) == list(local)
        assert list(r.items()) == list(local.items())
        assert list(r.keys(raw=True)) == list(local.keys(raw=True))
        keys = [f"k{i:05d}" for i in range(0, 600, 11)] + ["nope", b"\xffraw"]
        assert r.get_many(keys, 0) == local.get_many(keys, 0)
        assert r.get_many_raw(keys) == local.get_many_raw(keys)
        assert list(r.prefix("k001", limit=15)) == list(local.prefix("k001", limit=15))
        assert r.count_prefix("k00") == local.count_prefix("k00")
        assert r.shard_of("k00042") == local.shard_of("k00042")
        ours, theirs = r.stats(), local.stats()
        assert (ours["num_keys"], ours["build_id"], ours["shard_count"]) == \
            (theirs["num_keys"], theirs["build_id"], theirs["shard_count"])
        assert r.verify() is True
        assert pickle.loads(pickle.dumps(r))["k00001"] == {"i": 1}


def test_a_set_on_a_web_server_and_its_faults(http_server, tmp_path):
    directory = make_set(tmp_path, n=200, shards=3)
    served = http_server.root / "events.set"
    served.mkdir()
    for f in directory.iterdir():
        (served / f.name).write_bytes(f.read_bytes())
    url = f"{http_server.url}/events.set/"
    with tarnkv.open(url) as r:
        assert dict(r.items()) == dict(tarnkv.open(str(directory)).items())
    # A shard that is not the one its manifest names.
    shard = sorted(p for p in served.iterdir() if p.suffix == ".trnk")[0]
    other = sorted(p for p in served.iterdir() if p.suffix == ".trnk")[1]
    shard.write_bytes(other.read_bytes())
    with pytest.raises(CorruptStoreError, match="does not match the manifest") as e:
        tarnkv.open(url)
    assert "events.set" in str(e.value)
    shard.unlink()
    with pytest.raises(CorruptStoreError, match="is missing"):
        tarnkv.open(url)
    with pytest.raises(FileNotFoundError):
        tarnkv.open(f"{http_server.url}/none.set")
