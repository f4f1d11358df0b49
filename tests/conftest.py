"""Fixtures for every suite under tests/; the plain helpers are in store_helpers.py."""

import itertools
import signal

import pytest

# A suite started in the background (`cmd &` in a script) begins with SIGINT ignored, and every
# process it starts would inherit that; the tests that send Ctrl-C need it delivered. A handler
# of our own is reset to the default in each child.
if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)

from store_helpers import raw_store, write_store


@pytest.fixture
def make_store(tmp_path):
    """make(mapping={key: object bytes}, extra_objects=(), name=None) -> path of a built store."""
    counter = itertools.count()

    def make(mapping=None, extra_objects=(), name=None):
        path = tmp_path / (name or f"s{next(counter)}.trnk")
        return write_store(path, mapping or {}, extra_objects)

    return make


@pytest.fixture
def craft(tmp_path):
    """craft(content=None, **raw_store_arguments) -> path of a file holding those bytes."""
    counter = itertools.count()

    def make(content=None, **kw):
        path = tmp_path / f"raw{next(counter)}.trnk"
        path.write_bytes(raw_store(**kw) if content is None else content)
        return str(path)

    return make


@pytest.fixture(scope="session")
def s3_server():
    """The S3-protocol server, one for the session (each test makes its own bucket)."""
    from servers import S3Server

    server = S3Server()
    yield server
    server.stop()


@pytest.fixture
def s3_env(s3_server, monkeypatch):
    """The AWS variables pointing at the test server, set for this test and its children."""
    for name, value in s3_server.env().items():
        monkeypatch.setenv(name, value)
    return s3_server


@pytest.fixture
def s3_bucket(s3_env, request):
    """A fresh, empty bucket on the test server; its name."""
    import boto3

    name = "t-" + "".join(c if c.isalnum() else "-" for c in request.node.name.lower())[:40].strip("-")
    name = f"{name}-{next(_buckets)}"
    boto3.client("s3").create_bucket(Bucket=name)
    return name


_buckets = itertools.count()


@pytest.fixture
def http_server(tmp_path):
    """nginx serving a fresh directory (`.root`) at `.url`; `.requests()` reads its log."""
    from servers import Nginx

    root = tmp_path / "www"
    root.mkdir()
    server = Nginx(root, tmp_path / "nginx")
    yield server
    server.stop()
