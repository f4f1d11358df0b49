"""Where a remote store's bytes come from: ranged reads of one pinned version of an object on a
web server (:class:`HttpSource`) or in object storage (:class:`S3Source`).

A source learns the object's size and version with its first read, and every later read asks
for exactly that version (``If-Match``, and the S3 version ID when the bucket keeps versions);
a read answered by another version raises :class:`~tarnkv.errors.StoreChangedError`, so bytes
of two versions never meet in one reader.

Failures name the URL: a server that does not answer within the timeout is a
:class:`~tarnkv.errors.StoreIOError` (``errno.ETIMEDOUT``); throttling and 5xx answers are
retried with exponential backoff a bounded number of times, then reported the same way.
"""

from __future__ import annotations

import email.utils
import errno
import http.client
import os
import random
import re
import socket
import threading
import time
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any, BinaryIO, Protocol
from urllib.parse import urlsplit

from tarnkv.errors import CorruptStoreError, StoreChangedError, StoreIOError, io_error
from tarnkv.remote import s3, split_s3

__all__ = ["Source", "Opening", "HttpSource", "S3Source", "FsspecSource", "AnySource", "source_for", "pinned", "fetch_whole", "DEFAULT_TIMEOUT", "DEFAULT_RETRIES"]

#: Seconds a connection attempt, or a wait for the next bytes of an answer, may take.
DEFAULT_TIMEOUT = 30.0
#: Attempts for a throttled (429) or failed (5xx) answer before it is reported.
DEFAULT_RETRIES = 4
#: What an open reads from the end of the object on speculation: the index of a store up to
#: this size comes in that one read.
TAIL_GUESS = 64 * 1024
#: The first wait between attempts, doubled each time (with jitter).
BACKOFF = 0.1
#: Size of the pieces a whole-object download is written in.
CHUNK = 4 << 20

_RETRY_STATUS = frozenset({429, 500, 502, 503, 504})
_CONTENT_RANGE = re.compile(r"bytes\s+(\d+)-(\d+)/(\d+|\*)")


@dataclass(frozen=True)
class Opening:
    """What the first read of an object gives: its size and its last bytes."""

    size: int
    tail: bytes  # the object's bytes from tail_offset to the end
    tail_offset: int


class Source(Protocol):
    """Ranged reads of one version of one object."""

    url: str
    size: int

    @property
    def version(self) -> str:
        """The pinned version, as text."""
        ...

    def open(self, tail: int) -> Opening:
        """Pins the object's current version and reads its last *tail* bytes (all of it when
        it is smaller)."""
        ...

    def read(self, begin: int, end: int) -> bytes:
        """The bytes [begin, end) of the pinned version."""
        ...

    def download(self, out: BinaryIO) -> int:
        """Writes the whole pinned version to *out*; the number of bytes."""
        ...

    def close(self) -> None:
        """Closes the connections the source keeps."""
        ...


def _timeout_error(url: str, timeout: float) -> StoreIOError:
    return io_error(errno.ETIMEDOUT, url, f"no answer from the server within {timeout:g} s")


def _changed_error(url: str) -> StoreChangedError:
    return StoreChangedError(f"store {url!r} was replaced on the server after it was opened; "
                             "open it again to read the new version", url)


def _short_error(url: str, begin: int, end: int, got: int) -> CorruptStoreError:
    return CorruptStoreError(f"the server returned {got} bytes for bytes {begin}..{end} of store {url!r}, "
                             "which is shorter than it said (a truncated object)", url)


def _backoff(attempt: int) -> None:
    time.sleep(BACKOFF * (2 ** attempt) * (0.5 + random.random()))


def _options(storage_options: Mapping[str, Any] | None) -> tuple[float, int, dict[str, Any]]:
    opts = dict(storage_options or {})
    timeout = float(opts.pop("timeout", DEFAULT_TIMEOUT))
    retries = int(opts.pop("retries", DEFAULT_RETRIES))
    if timeout <= 0:
        raise ValueError(f"timeout must be positive, not {timeout!r}")
    if retries < 1:
        raise ValueError(f"retries must be at least 1, not {retries!r}")
    return timeout, retries, opts


def _create_connection(address: tuple[str, int], *args: Any, **kwargs: Any) -> socket.socket:
    """socket.create_connection with an ASCII host name passed as bytes: a str host is put
    through the IDNA codec, whose import (with its Unicode tables) would cost a reader far
    more memory than anything else it holds after open."""
    host, port = address
    if isinstance(host, str) and host.isascii():
        return socket.create_connection((host.encode("ascii"), port), *args, **kwargs)  # type: ignore[arg-type]
    return socket.create_connection(address, *args, **kwargs)


class HttpSource:
    """An object on a web server (``http://``, ``https://``). Options: ``timeout`` (seconds),
    ``retries`` (attempts) and ``headers`` (sent with every request).

    The version is the strong ``ETag``; without one, ``Last-Modified`` asked for with
    ``If-Unmodified-Since``; the size is checked on every answer either way. Each thread keeps
    one keep-alive connection (a child after ``fork()`` makes its own)."""

    def __init__(self, url: str, storage_options: Mapping[str, Any] | None = None) -> None:
        self._lock = threading.Lock()
        self._conns: list[http.client.HTTPConnection] = []
        self._conns_pid = os.getpid()
        self.url = url
        self.timeout, self.retries, opts = _options(storage_options)
        self._headers = dict(opts.pop("headers", None) or {})
        if opts:
            raise TypeError(f"unknown storage option(s) for {url!r}: {', '.join(sorted(opts))}")
        parts = urlsplit(url)
        if parts.scheme not in ("http", "https") or not parts.hostname:
            raise ValueError(f"not an HTTP URL: {url!r}")
        self._https = parts.scheme == "https"
        self._host = parts.hostname
        self._port = parts.port
        self._target = (parts.path or "/") + (f"?{parts.query}" if parts.query else "")
        self._local = threading.local()
        self.size = -1
        self._pin: dict[str, str] = {}

    def _connection(self) -> http.client.HTTPConnection:
        local = self._local
        conn = getattr(local, "conn", None)
        if conn is None or local.pid != os.getpid():
            cls = http.client.HTTPSConnection if self._https else http.client.HTTPConnection
            conn = cls(self._host, self._port, timeout=self.timeout)
            conn._create_connection = _create_connection  # type: ignore[attr-defined]
            local.conn, local.pid = conn, os.getpid()
            with self._lock:
                if self._conns_pid != os.getpid():  # a child's list starts empty
                    self._conns, self._conns_pid = [], os.getpid()
                self._conns.append(conn)
        return conn

    def close(self) -> None:
        """Closes this process's connections (a later read opens a new one)."""
        with self._lock:
            conns, self._conns = (self._conns if self._conns_pid == os.getpid() else []), []
        for conn in conns:
            conn.close()

    def __del__(self) -> None:
        self.close()

    def _drop_connection(self) -> None:
        conn = getattr(self._local, "conn", None)
        if conn is not None and self._local.pid == os.getpid():
            conn.close()
            with self._lock:
                if conn in self._conns:
                    self._conns.remove(conn)
        self._local.conn = None

    def _get(self, headers: dict[str, str], stream: BinaryIO | None = None) -> tuple[int, http.client.HTTPResponse, bytes]:
        """One GET, retried on throttling and 5xx answers; (status, response, body). With
        *stream*, a 200/206 body goes there instead."""
        headers = {**self._headers, **headers}
        attempt = 0
        fresh_failures = 0
        while True:
            conn = self._connection()
            reused = conn.sock is not None
            answered = False
            try:
                conn.request("GET", self._target, headers=headers)
                resp = conn.getresponse()
                answered = True
                if stream is not None and resp.status in (200, 206):
                    # Into one buffer, reused: no new bytes object for every piece.
                    buffer = memoryview(bytearray(CHUNK))
                    while n := resp.readinto(buffer):
                        stream.write(buffer[:n])
                    body = b""
                else:
                    body = resp.read()
                if resp.will_close:
                    self._drop_connection()
            except TimeoutError:
                self._drop_connection()
                raise _timeout_error(self.url, self.timeout) from None
            except (http.client.HTTPException, OSError) as e:
                self._drop_connection()
                # A keep-alive connection the server closed meanwhile fails on its first use:
                # that one is tried again at once on a new connection.
                if reused and fresh_failures == 0 and not answered:
                    fresh_failures += 1
                    continue
                code = getattr(e, "errno", None) or errno.EIO
                raise io_error(code, self.url, f"request failed: {e}") from None
            if resp.status in _RETRY_STATUS and stream is None:
                attempt += 1
                if attempt < self.retries:
                    _backoff(attempt - 1)
                    continue
                raise io_error(errno.EIO, self.url, f"the server answered {resp.status} {resp.reason} "
                                                    f"{attempt} times")
            return resp.status, resp, body

    def _check_status(self, status: int, resp: http.client.HTTPResponse) -> None:
        if status in (200, 206):
            return
        if status == 412:
            raise _changed_error(self.url)
        if status == 404 or status == 410:
            raise io_error(errno.ENOENT, self.url, f"no such object on the server ({status} {resp.reason})")
        if status in (401, 403):
            raise io_error(errno.EACCES, self.url, f"the server refused access ({status} {resp.reason})")
        raise io_error(errno.EIO, self.url, f"the server answered {status} {resp.reason}")

    def _total(self, status: int, resp: http.client.HTTPResponse, body: bytes) -> int:
        if status == 200:
            return len(body)
        m = _CONTENT_RANGE.match(resp.getheader("Content-Range") or "")
        if not m or m.group(3) == "*":
            raise io_error(errno.EIO, self.url, "the server's ranged answer has no usable Content-Range")
        return int(m.group(3))

    def open(self, tail: int) -> Opening:
        status, resp, body = self._get({"Range": f"bytes=-{tail}"})
        if status == 416:  # an empty object has no last bytes
            self._pin_from(resp)
            self.size = 0
            return Opening(0, b"", 0)
        self._check_status(status, resp)
        self._pin_from(resp)
        self.size = self._total(status, resp, body)
        if status == 200:
            return Opening(self.size, body, 0)
        return Opening(self.size, body, self.size - len(body))

    def _pin_from(self, resp: http.client.HTTPResponse) -> None:
        etag = resp.getheader("ETag")
        if etag and not etag.startswith("W/"):
            self._pin = {"If-Match": etag}
        elif (modified := resp.getheader("Last-Modified")) and email.utils.parsedate_to_datetime(modified):
            self._pin = {"If-Unmodified-Since": modified}
        else:
            self._pin = {}

    @property
    def version(self) -> str:
        """The pinned version, as text (empty before open())."""
        return f"{next(iter(self._pin.values()), '')} {self.size}"

    def read(self, begin: int, end: int) -> bytes:
        if end <= begin:
            return b""
        status, resp, body = self._get({"Range": f"bytes={begin}-{end - 1}", **self._pin})
        self._check_status(status, resp)
        if self._total(status, resp, body) != self.size:
            raise _changed_error(self.url)
        if status == 200:  # a server that ignores ranges sends all of it
            body = body[begin:end]
        if len(body) != end - begin:
            raise _short_error(self.url, begin, end, len(body))
        return body

    def download(self, out: BinaryIO) -> int:
        start = out.tell()
        status, resp, _ = self._get(dict(self._pin), stream=out)
        self._check_status(status, resp)
        got = out.tell() - start
        if got != self.size:
            raise _short_error(self.url, 0, self.size, got)
        return got


class S3Source:
    """An object in S3 or a server speaking its protocol (``s3://bucket/key``), read with the
    client :func:`tarnkv.remote.s3.client` makes from the same options. The version is the
    ``ETag``, and also the version ID when the bucket keeps versions."""

    def __init__(self, url: str, storage_options: Mapping[str, Any] | None = None) -> None:
        self.url = url
        self.bucket, self.key = split_s3(url)
        if not self.key:
            raise ValueError(f"an S3 URL of a store names an object: s3://bucket/key, not {url!r}")
        opts = dict(storage_options or {})
        self.timeout = float(opts.get("timeout", s3.DEFAULT_TIMEOUT))
        self._options = opts
        self._client_pid = -1
        self._client: Any = None
        self._lock = threading.Lock()
        self.size = -1
        self._pin: dict[str, str] = {}
        self.client()  # option errors now, not at the first read

    def client(self) -> Any:
        """The client of this process (a child after ``fork()`` makes its own)."""
        with self._lock:
            if self._client is None or self._client_pid != os.getpid():
                self._client = s3.client(self._options)
                self._client_pid = os.getpid()
            return self._client

    def _call(self, kwargs: Mapping[str, Any], out: BinaryIO | None = None,
              empty_ok: bool = False) -> tuple[Any, bytes]:
        """get_object(**kwargs) and its body (written to *out* instead, when given); with
        *empty_ok*, an InvalidRange answer (an empty object) is (None, b"")."""
        import botocore.exceptions as bx

        try:
            got = self.client().get_object(Bucket=self.bucket, Key=self.key, **kwargs)
            if out is None:
                return got, got["Body"].read()
            body = got["Body"]
            while chunk := body.read(CHUNK):
                out.write(chunk)
            return got, b""
        except bx.ClientError as e:
            if empty_ok and e.response.get("Error", {}).get("Code") == "InvalidRange":
                return None, b""
            # Every read after the first asks for the pinned version only.
            status = e.response.get("ResponseMetadata", {}).get("HTTPStatusCode")
            if status == 412 or e.response.get("Error", {}).get("Code") == "PreconditionFailed":
                raise _changed_error(self.url) from None
            raise s3.error(e, self.url, self.timeout) from None
        except (bx.BotoCoreError, TimeoutError) as e:
            raise s3.error(e, self.url, self.timeout) from None

    def close(self) -> None:
        """Closes the client's connections."""
        with self._lock:
            client, self._client = self._client, None
        if client is not None and self._client_pid == os.getpid():
            client.close()

    def open(self, tail: int) -> Opening:
        got, body = self._call({"Range": f"bytes=-{tail}"}, empty_ok=True)
        if got is None:  # an empty object has no last bytes: pinned as it is
            got, body = self._call({})
        self._pin = {"IfMatch": got["ETag"]}
        if got.get("VersionId") and got["VersionId"] != "null":
            self._pin["VersionId"] = got["VersionId"]
        m = _CONTENT_RANGE.match(got.get("ContentRange") or "")
        self.size = int(m.group(3)) if m and m.group(3) != "*" else len(body)
        return Opening(self.size, body, self.size - len(body))

    @property
    def version(self) -> str:
        """The pinned version, as text (empty before open())."""
        return f"{self._pin.get('IfMatch', '')} {self._pin.get('VersionId', '')} {self.size}"

    def read(self, begin: int, end: int) -> bytes:
        if end <= begin:
            return b""
        got, body = self._call({"Range": f"bytes={begin}-{end - 1}", **self._pin})
        m = _CONTENT_RANGE.match(got.get("ContentRange") or "")
        if m and m.group(3) != "*" and int(m.group(3)) != self.size:
            raise _changed_error(self.url)
        if len(body) != end - begin:
            raise _short_error(self.url, begin, end, len(body))
        return body

    def download(self, out: BinaryIO) -> int:
        start = out.tell()
        self._call(self._pin, out=out)
        got = out.tell() - start
        if got != self.size:
            raise _short_error(self.url, 0, self.size, got)
        return got


class FsspecSource:
    """An object behind any other URL fsspec has a working file system for (``memory://``,
    ``file://``, ...), with *storage_options* passed to it. Such file systems cannot ask for a
    version: the size seen at open is checked on every read, nothing more."""

    def __init__(self, url: str, storage_options: Mapping[str, Any] | None = None) -> None:
        import fsspec.core

        self.url = url
        self.timeout = float(dict(storage_options or {}).get("timeout", DEFAULT_TIMEOUT))
        opts = {k: v for k, v in (storage_options or {}).items() if k not in ("timeout", "retries")}
        try:
            self._fs, self._path = fsspec.core.url_to_fs(url, **opts)
        except (ImportError, ValueError) as e:
            raise io_error(errno.EPROTONOSUPPORT, url, f"no working file system for this URL: {e}") from None
        self.size = -1
        self._info = ""

    def _wrap(self, call: Any) -> Any:
        try:
            return call()
        except FileNotFoundError:
            raise io_error(errno.ENOENT, self.url, "no such object") from None
        except PermissionError:
            raise io_error(errno.EACCES, self.url, "access refused") from None
        except OSError as e:
            raise io_error(e.errno or errno.EIO, self.url, f"request failed: {e}") from None

    @property
    def version(self) -> str:
        return self._info

    def close(self) -> None:
        """Nothing to close: the file system keeps its own connections."""

    def open(self, tail: int) -> Opening:
        info = self._wrap(lambda: self._fs.info(self._path))
        self.size = int(info["size"])
        self._info = " ".join(str(info.get(k, "")) for k in ("ETag", "etag", "mtime", "LastModified", "size"))
        begin = max(0, self.size - tail)
        return Opening(self.size, self.read(begin, self.size), begin)

    def read(self, begin: int, end: int) -> bytes:
        if end <= begin:
            return b""
        body = self._wrap(lambda: self._fs.cat_file(self._path, start=begin, end=end))
        if len(body) != end - begin:
            raise _short_error(self.url, begin, end, len(body))
        return bytes(body)

    def download(self, out: BinaryIO) -> int:
        n = 0
        with self._wrap(lambda: self._fs.open(self._path, "rb")) as f:
            while chunk := f.read(CHUNK):
                out.write(chunk)
                n += len(chunk)
        if n != self.size:
            raise _short_error(self.url, 0, self.size, n)
        return n


AnySource = HttpSource | S3Source | FsspecSource


def source_for(url: str, storage_options: Mapping[str, Any] | None = None) -> AnySource:
    """The source that reads *url*: ``s3://``, ``http(s)://``, or fsspec's for other schemes."""
    scheme = url.partition("://")[0].lower()
    if scheme == "s3":
        return S3Source(url, storage_options)
    if scheme in ("http", "https"):
        return HttpSource(url, storage_options)
    return FsspecSource(url, storage_options)


def pinned(url: str, storage_options: Mapping[str, Any] | None = None) -> AnySource:
    """The source of *url* with the object's current version pinned (one small read)."""
    source = source_for(url, storage_options)
    source.open(40)
    return source


def fetch_whole(url: str, storage_options: Mapping[str, Any] | None = None) -> bytes:
    """All the bytes of the (small) object at *url*, of one version."""
    source = source_for(url, storage_options)
    try:
        opening = source.open(1 << 20)
        head = source.read(0, opening.tail_offset) if opening.tail_offset else b""
        return head + opening.tail
    finally:
        source.close()
