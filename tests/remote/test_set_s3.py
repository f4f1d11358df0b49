"""Store sets built into object storage by a real cluster whose workers share no writable
directory: the set reads back equal to one store of the same records, a replacement is the
old set or the new one, and a failed build leaves nothing."""

from __future__ import annotations

import json
import os
import tempfile

import boto3
import pytest

import tarnkv
from tarnkv.sets import manifest as mf

RECORDS = [{"id": f"user:{i:05d}", "n": i, "tags": ["x"] * (i % 3)} for i in range(3000)]


def download_set(bucket: str, prefix: str, into) -> str:
    """The set at s3://bucket/prefix as a local directory: its manifest and the shards it names."""
    s3 = boto3.client("s3")
    into.mkdir()
    data = s3.get_object(Bucket=bucket, Key=f"{prefix}/{mf.MANIFEST}")["Body"].read()
    (into / mf.MANIFEST).write_bytes(data)
    for shard in json.loads(data)["shards"]:
        s3.download_file(bucket, f"{prefix}/{shard['file']}", str(into / shard["file"]))
    return str(into)


def keys_under(bucket: str, prefix: str) -> list[str]:
    s3 = boto3.client("s3")
    return sorted(o["Key"][len(prefix) + 1:] for o in
                  s3.list_objects_v2(Bucket=bucket, Prefix=prefix + "/").get("Contents", []))


@pytest.fixture(scope="module")
def cluster(tmp_path_factory, s3_server):
    """Two worker processes, each with a temporary directory of its own; the client's own
    temporary directory is one no worker is given."""
    distributed = pytest.importorskip("distributed")
    from distributed import Nanny, SpecCluster

    base = tmp_path_factory.mktemp("workers")
    dirs = [base / "w0", base / "w1"]
    for d in dirs:
        d.mkdir()
    spec = {f"w{i}": {"cls": Nanny, "options": {"nthreads": 1, "local_directory": str(d / "dask"),
                                                 "env": {**s3_server.env(), "TMPDIR": str(d)}}}
            for i, d in enumerate(dirs)}
    cluster = SpecCluster(workers=spec, scheduler={"cls": distributed.Scheduler, "options": {"dashboard_address": ":0"}},
                          silence_logs=50)
    client = distributed.Client(cluster)
    yield client, dirs
    client.close()
    cluster.close()


def single_store(tmp_path) -> dict:
    path = tmp_path / "one.trnk"
    with tarnkv.TarnWriter.create(path) as w:
        for r in RECORDS:
            w[r["id"]] = r
    with tarnkv.open(path) as r:
        return dict(r.items())


def test_build_set_to_s3_without_a_shared_file_system(cluster, s3_bucket, tmp_path, monkeypatch):
    import dask.bag as db

    from tarnkv.dask import build_set

    client, dirs = cluster
    mine = tmp_path / "client-tmp"
    mine.mkdir()
    monkeypatch.setattr(tempfile, "tempdir", str(mine))
    seen = client.run(tempfile.gettempdir)
    assert sorted(seen.values()) == sorted(str(d) for d in dirs)  # each worker its own

    url = f"s3://{s3_bucket}/events.set"
    bag = db.from_sequence(RECORDS, npartitions=5)
    with client.as_current():
        # Small spills: each run holds several sections of every shard, fetched one by one.
        res = build_set(bag, url, key="id", shards=4, spill_bytes=4096)
    assert (res.path, res.shard_count, res.records, res.num_keys) == (url, 4, 3000, 3000)

    local = download_set(s3_bucket, "events.set", tmp_path / "set")
    want = single_store(tmp_path)
    with tarnkv.open(local) as r:
        assert dict(r.items()) == want
    with tarnkv.open(url) as r:  # and read where it is
        assert (dict(r.items()), r["user:00042"]) == (want, want["user:00042"])
    names = keys_under(s3_bucket, "events.set")
    assert names == sorted([mf.MANIFEST, *(s.file for s in res.shards)])  # no runs, no work prefix
    # Every task cleaned up after itself, on the workers and on the client.
    for d in (*dirs, mine):
        assert not [n for n in os.listdir(d) if n.startswith(("tarnkv-", ".tarnkv-"))], os.listdir(d)


def test_replacing_a_set_keeps_one_generation_back(cluster, s3_bucket, tmp_path):
    import dask.bag as db

    from tarnkv.dask import build_set

    client, _ = cluster
    url = f"s3://{s3_bucket}/s.set"
    builds = []
    with client.as_current():
        for gen in range(3):
            if gen == 2:
                before = tarnkv.open(url)  # opened on the set the last build replaces
            records = [{"id": f"k{i}", "gen": gen} for i in range(200)]
            builds.append(build_set(db.from_sequence(records, npartitions=3), url, key="id", shards=2))
    first, second, third = ({s.file for s in b.shards} for b in builds)
    names = set(keys_under(s3_bucket, "s.set"))
    # The new set, and the one it replaced for readers that still have it open; not the first.
    assert names == {mf.MANIFEST} | second | third
    # A reader that opened the set before the last replacement still reads its set, whole;
    # one opened now reads the new one.
    with before:
        assert {before[f"k{i}"]["gen"] for i in range(200)} == {1}
    with tarnkv.open(url) as r:
        assert {r[f"k{i}"]["gen"] for i in range(200)} == {2}


def test_a_failed_set_build_publishes_and_leaves_nothing(cluster, s3_bucket):
    import dask.bag as db

    from tarnkv.dask import build_set
    from tarnkv.sets import SetDuplicateKeyError

    client, _ = cluster
    url = f"s3://{s3_bucket}/d.set"
    with client.as_current():
        build_set(db.from_sequence([{"id": "a"}], npartitions=1), url, key="id", shards=2)
        before = keys_under(s3_bucket, "d.set")
        records = [{"id": f"k{i % 150}"} for i in range(300)]
        with pytest.raises(SetDuplicateKeyError):
            build_set(db.from_sequence(records, npartitions=3), url, key="id", shards=2)
    assert keys_under(s3_bucket, "d.set") == before


def test_set_build_refuses_a_prefix_holding_other_objects(s3_bucket):
    import dask.bag as db

    from tarnkv.dask import build_set

    boto3.client("s3").put_object(Bucket=s3_bucket, Key="p.set/notes.txt", Body=b"x")
    with pytest.raises(FileExistsError, match="not a store set"):
        build_set(db.from_sequence([{"id": "a"}]), f"s3://{s3_bucket}/p.set", key="id", shards=1)
    with pytest.raises(OSError, match="read-only"):
        build_set(db.from_sequence([{"id": "a"}]), "http://127.0.0.1:9/p.set", key="id", shards=1)


def test_cli_builds_a_set_to_s3(s3_bucket, tmp_path):
    from cli.cli_helpers import run_cli

    data = tmp_path / "in.jsonl"
    data.write_text("".join(json.dumps(r) + "\n" for r in RECORDS))
    res = run_cli("build", data, "--key", "id", "--shards", "3", "--workers", "2", "-o", f"s3://{s3_bucket}/c.set")
    assert res.status == 0, res.err
    local = download_set(s3_bucket, "c.set", tmp_path / "set")
    with tarnkv.open(local) as r:
        assert dict(r.items()) == single_store(tmp_path)
    assert not [n for n in keys_under(s3_bucket, "c.set") if n.startswith(".")]
    res = run_cli("build", data, "--key", "id", "--shards", "3", "-o", "s3://no-such-bucket/c.set")
    assert (res.status, res.err) == (2, "tarnkv: s3://no-such-bucket/c.set: no such bucket: 'no-such-bucket'\n")


def test_cli_cp_publishes_a_local_set(s3_bucket, tmp_path):
    from cli.cli_helpers import run_cli

    from tarnkv.sets.merging import merge

    one = tmp_path / "one.trnk"
    with tarnkv.TarnWriter.create(one) as w:
        for r in RECORDS[:500]:
            w[r["id"]] = r
    merge([one], tmp_path / "local.set", shards=3)
    url = f"s3://{s3_bucket}/copy.set"
    res = run_cli("cp", tmp_path / "local.set", url, "--verify", "-q")
    assert res.status == 0, res.err
    with tarnkv.open(download_set(s3_bucket, "copy.set", tmp_path / "back")) as r, tarnkv.open(one) as want:
        assert dict(r.items()) == dict(want.items())
    before = keys_under(s3_bucket, "copy.set")

    # A damaged shard stops the copy before the manifest: the set there stays as it was.
    other = tmp_path / "other.trnk"
    with tarnkv.TarnWriter.create(other) as w:
        for i in range(50):
            w[f"x{i}"] = i
    merge([other], tmp_path / "bad.set", shards=2)
    # The last shard: the first is uploaded by then, and must go again.
    shard = tmp_path / "bad.set" / json.loads((tmp_path / "bad.set" / mf.MANIFEST).read_text())["shards"][1]["file"]
    data = bytearray(shard.read_bytes())
    data[-1] ^= 0xFF
    shard.write_bytes(bytes(data))
    res = run_cli("cp", tmp_path / "bad.set", url, "--verify", "-q")
    assert res.status == 1, res.err
    assert keys_under(s3_bucket, "copy.set") == before


def test_ctrl_c_during_a_cli_set_build_to_s3_leaves_nothing(s3_bucket, tmp_path):
    import signal
    import subprocess
    import sys
    import time

    from cli.cli_helpers import child_env

    data = tmp_path / "in.jsonl"
    with open(data, "w") as f:
        f.writelines(f'{{"id":"k{i:08d}","pad":"{"x" * 60}"}}\n' for i in range(400_000))
    url = f"s3://{s3_bucket}/i.set"
    proc = subprocess.Popen([sys.executable, "-m", "tarnkv", "build", str(data), "--key", "id", "--shards", "2",
                             "--workers", "2", "-q", "-o", url],
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=child_env())
    deadline = time.monotonic() + 120
    while not any(n.endswith(".run") for n in keys_under(s3_bucket, "i.set")):  # runs are on their way
        assert proc.poll() is None and time.monotonic() < deadline, proc.stderr.read() if proc.poll() else ""
        time.sleep(0.05)
    proc.send_signal(signal.SIGINT)
    _, err = proc.communicate(timeout=120)
    assert (proc.returncode, err) == (130, b"tarnkv: interrupted\n")
    assert keys_under(s3_bucket, "i.set") == []
    assert boto3.client("s3").list_multipart_uploads(Bucket=s3_bucket).get("Uploads", []) == []


def test_concurrent_builds_keep_their_hands_off_each_others_shards(s3_bucket):
    """A build still running (its work prefix exists) keeps its uploaded shards through another
    build's publication; when it ends unpublished, it removes them, and the uploads its tasks
    left open, and nothing of the other's."""
    import dask
    import dask.bag as db

    from tarnkv.dask import build_set
    from tarnkv.sets.build import Build

    url = f"s3://{s3_bucket}/c.set"
    s3 = boto3.client("s3")
    running = Build(url, 2)
    plan = running.plan
    shard_key = plan.shard_url(0).split("/", 3)[3]
    s3.put_object(Bucket=s3_bucket, Key=shard_key, Body=b"half a build")
    left_open = s3.create_multipart_upload(Bucket=s3_bucket, Key=plan.shard_url(1).split("/", 3)[3])["UploadId"]
    with dask.config.set(scheduler="sync"):
        done = build_set(db.from_sequence([{"id": "a"}, {"id": "b"}]), url, key="id", shards=2)
    assert shard_key.rsplit("/", 1)[1] in keys_under(s3_bucket, "c.set")
    running.close()
    assert keys_under(s3_bucket, "c.set") == sorted([mf.MANIFEST, *(s.file for s in done.shards)])
    uploads = s3.list_multipart_uploads(Bucket=s3_bucket).get("Uploads", [])
    assert left_open not in [u["UploadId"] for u in uploads]


def test_a_set_build_with_only_storage_options_publishes_with_them(s3_server, monkeypatch):
    """Credentials and endpoint given to build_set alone (no AWS variables at all): every step,
    the manifest's upload included, must use them, or the set is never published."""
    import dask.bag as db

    from tarnkv.dask import build_set

    env = s3_server.env()
    for name in (*env, "AWS_PROFILE", "AWS_CONFIG_FILE", "AWS_SHARED_CREDENTIALS_FILE"):
        monkeypatch.delenv(name, raising=False)
    monkeypatch.setenv("AWS_CONFIG_FILE", os.devnull)
    monkeypatch.setenv("AWS_SHARED_CREDENTIALS_FILE", os.devnull)
    options = {"endpoint_url": env["AWS_ENDPOINT_URL"], "key": env["AWS_ACCESS_KEY_ID"],
               "secret": env["AWS_SECRET_ACCESS_KEY"], "region_name": env["AWS_DEFAULT_REGION"]}
    client = boto3.client("s3", endpoint_url=options["endpoint_url"], aws_access_key_id=options["key"],
                          aws_secret_access_key=options["secret"], region_name=options["region_name"])
    client.create_bucket(Bucket="opts-only")

    records = RECORDS[:500]
    result = build_set(db.from_sequence(records, npartitions=3), "s3://opts-only/o.set", key="id", shards=2,
                       storage_options=options)
    assert result.num_keys == len(records)
    names = [o["Key"] for o in client.list_objects_v2(Bucket="opts-only", Prefix="o.set/")["Contents"]]
    assert f"o.set/{mf.MANIFEST}" in names
    with tarnkv.open("s3://opts-only/o.set", storage_options=options) as r:
        assert dict(r.items()) == {x["id"]: x for x in records}
