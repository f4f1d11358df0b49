"""The test servers themselves: if these fail, the remote-store tests cannot mean anything."""

from tarnkv.remote import s3


def test_nginx_serves_ranges_with_etag_and_logs_them(http_server):
    import urllib.request

    (http_server.root / "f.bin").write_bytes(bytes(range(256)) * 4)
    req = urllib.request.Request(http_server.url + "/f.bin", headers={"Range": "bytes=10-19"})
    with urllib.request.urlopen(req) as resp:
        assert resp.status == 206
        assert resp.read() == bytes(range(10, 20))
        assert resp.headers["ETag"]
    (log,) = http_server.requests()
    assert (log.method, log.path, log.status, log.bytes_sent, log.range) == ("GET", "/f.bin", 206, 10, "bytes=10-19")


def test_s3_server_pins_versions_with_if_match(s3_bucket):
    import botocore.exceptions
    import pytest

    c = s3.client()
    c.put_object(Bucket=s3_bucket, Key="k", Body=b"0123456789")
    etag = c.head_object(Bucket=s3_bucket, Key="k")["ETag"]
    got = c.get_object(Bucket=s3_bucket, Key="k", Range="bytes=2-4", IfMatch=etag)
    assert got["Body"].read() == b"234"
    with pytest.raises(botocore.exceptions.ClientError) as e:
        c.get_object(Bucket=s3_bucket, Key="k", IfMatch='"0"')
    assert e.value.response["ResponseMetadata"]["HTTPStatusCode"] == 412
