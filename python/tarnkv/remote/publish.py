"""Publishing to object storage: a file built locally becomes an object in one atomic step.

An object store has no rename, but it never shows half an object either: a ``PutObject``, or
the completion of a multipart upload, makes the whole new object visible at once, and until
then readers get the old one. So publishing here is: build the file locally (in the temporary
directory, ``TMPDIR``), upload it -- in one request when small, in parts sent concurrently when
large -- and let the upload's completion be the publication. An upload that fails or is
interrupted before that step aborts its multipart upload: nothing is published and nothing
is left behind on the server.

Web servers (``http://``, ``https://``) are read-only here: writing to them is refused with a
clear error.

:func:`commits` counts the completing requests this process has started. A signal handler
can ask it whether an upload has reached the point of no return (the command line's Ctrl-C
does: once the completing request is out, the command finishes and reports what happened,
rather than claiming that nothing changed).
"""

from __future__ import annotations

import concurrent.futures
import contextlib
import errno
import os
import tempfile
import uuid
from collections.abc import Callable, Iterator, Mapping, Sequence
from typing import Any, Final

from tarnkv.errors import io_error
from tarnkv.remote import is_url, s3, split_s3
from tarnkv.remote.s3 import error

__all__ = ["check_writable", "upload", "put_bytes", "get_bytes", "get_range", "download_range", "delete", "list_keys", "abort_uploads",
           "temporary_path", "commits", "client_for", "error", "StorageOptions"]

StorageOptions = Mapping[str, Any] | None
Progress = Callable[[int, int], object] | None

#: Files up to this size go in one request; larger ones in parts of this size.
PART_SIZE: Final = 8 << 20
#: Parts in flight at once (each holds PART_SIZE bytes in memory).
CONCURRENCY: Final = 4
# S3 allows at most this many parts: larger files get larger parts.
_MAX_PARTS: Final = 10_000

_commits = 0


def commits() -> int:
    """How many completing requests (a single-request upload, a multipart completion) this
    process has started. It grows before the request is sent, never after."""
    return _commits


def _begin_commit() -> None:
    global _commits
    _commits += 1


@contextlib.contextmanager
def _errors(url: str) -> Iterator[None]:
    import botocore.exceptions as bx

    try:
        yield
    except (bx.BotoCoreError, bx.ClientError) as exc:
        raise error(exc, url) from None


def client_for(storage_options: StorageOptions) -> Any:
    """An S3 client for these options (one may serve many requests, and threads)."""
    return s3.client(storage_options)


_client = client_for


# --- Targets -----------------------------------------------------------------------------------

def check_writable(url: str, storage_options: StorageOptions = None) -> None:
    """Raises a :class:`~tarnkv.StoreIOError` naming *url* unless an object can be published
    there: an ``s3://bucket/key`` URL whose bucket exists and answers with these credentials.
    Checked before anything is built, so that a build does not run only to fail at its end."""
    scheme = url.partition("://")[0].lower() if is_url(url) else ""
    if scheme in ("http", "https"):
        raise io_error(errno.EROFS, url, "web servers are read-only: publish to object storage "
                                         "(s3://bucket/key) instead")
    if scheme != "s3":
        raise io_error(errno.EINVAL, url, "can't publish there: only s3:// URLs are writable")
    import botocore.exceptions as bx

    bucket, key = split_s3(url)
    if not key or key.endswith("/"):
        raise io_error(errno.EINVAL, url, "an object's URL names its key: s3://bucket/key")
    try:
        _client(storage_options).head_bucket(Bucket=bucket)
    except bx.ClientError as exc:
        if exc.response.get("ResponseMetadata", {}).get("HTTPStatusCode") == 404:
            raise io_error(errno.ENOENT, url, f"no such bucket: {bucket!r}") from None
        raise error(exc, url) from None
    except bx.BotoCoreError as exc:
        raise error(exc, url) from None


@contextlib.contextmanager
def temporary_path(name: str) -> Iterator[str]:
    """A path for a new file in the temporary directory (``TMPDIR``), under a unique name
    ending in *name*'s last component; whatever is there is removed when the block ends."""
    base = os.path.basename(name.rstrip("/")) or "store"
    path = os.path.join(tempfile.gettempdir(), f".tarnkv-{uuid.uuid4().hex[:12]}-{base}")
    try:
        yield path
    finally:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(path)


# --- Uploading ---------------------------------------------------------------------------------

def upload(path: str, url: str, *, storage_options: StorageOptions = None, progress: Progress = None,
           client: Any = None, part_size: int = PART_SIZE) -> str:
    """Publishes the local file *path* as the object *url* and returns its ETag.

    Up to *part_size* bytes go in one request; larger files in parts of that size, sent
    ``CONCURRENCY`` at a time, the object appearing whole when the upload completes. A failure
    or an exception (Ctrl-C's ``KeyboardInterrupt``) before that aborts the upload: the old
    object, if any, stays. *progress(done, total)* is called with bytes sent."""
    bucket, key = split_s3(url)
    client = client if client is not None else _client(storage_options)
    size = os.path.getsize(path)
    with _errors(url):
        if size <= part_size:
            with open(path, "rb") as f:
                data = f.read()
            _begin_commit()
            etag: str = client.put_object(Bucket=bucket, Key=key, Body=data)["ETag"]
            if progress is not None:
                progress(size, size)
            return etag
        return _multipart(client, path, size, bucket, key, progress, part_size)


def _multipart(client: Any, path: str, size: int, bucket: str, key: str, progress: Progress,
               part_size: int) -> str:
    part_size = max(part_size, -(-size // _MAX_PARTS))
    count = -(-size // part_size)
    fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
    pool = concurrent.futures.ThreadPoolExecutor(CONCURRENCY, thread_name_prefix="tarnkv-upload")
    upload_id = None
    try:
        upload_id = client.create_multipart_upload(Bucket=bucket, Key=key)["UploadId"]

        def send(number: int) -> dict[str, Any]:
            at = (number - 1) * part_size
            data = os.pread(fd, min(part_size, size - at), at)
            answer = client.upload_part(Bucket=bucket, Key=key, UploadId=upload_id, PartNumber=number, Body=data)
            return {"PartNumber": number, "ETag": answer["ETag"]}

        parts: list[dict[str, Any]] = []
        pending: set[concurrent.futures.Future[dict[str, Any]]] = set()
        numbers = iter(range(1, count + 1))
        done_bytes = 0
        for number in numbers:
            pending.add(pool.submit(send, number))
            if len(pending) < CONCURRENCY:
                continue
            finished, pending = concurrent.futures.wait(pending, return_when=concurrent.futures.FIRST_COMPLETED)
            for future in finished:
                parts.append(future.result())
                done_bytes += part_size
                if progress is not None:
                    progress(min(done_bytes, size), size)
        for future in concurrent.futures.as_completed(pending):
            parts.append(future.result())
            done_bytes += part_size
            if progress is not None:
                progress(min(done_bytes, size), size)
        parts.sort(key=lambda p: p["PartNumber"])
        _begin_commit()
        etag: str = client.complete_multipart_upload(Bucket=bucket, Key=key, UploadId=upload_id,
                                                     MultipartUpload={"Parts": parts})["ETag"]
        return etag
    except BaseException:
        # Parts still in flight finish or fail first: an abort they overtook would leave them.
        pool.shutdown(wait=True, cancel_futures=True)
        if upload_id is not None:
            _abort(client, bucket, key, upload_id)
        raise
    finally:
        pool.shutdown(wait=True, cancel_futures=True)
        os.close(fd)


def _abort(client: Any, bucket: str, key: str, upload_id: str) -> None:
    # Best effort: the upload failed already, and that is the error to report. A server that
    # can't be reached keeps the parts until its own expiry of incomplete uploads.
    with contextlib.suppress(Exception):
        client.abort_multipart_upload(Bucket=bucket, Key=key, UploadId=upload_id)


def put_bytes(url: str, data: bytes, *, storage_options: StorageOptions = None, client: Any = None) -> str:
    """Writes *data* as the object *url* in one request (atomic) and returns its ETag. Not
    counted by :func:`commits`: its callers (a set's manifest) say themselves when they publish."""
    bucket, key = split_s3(url)
    client = client if client is not None else _client(storage_options)
    with _errors(url):
        etag: str = client.put_object(Bucket=bucket, Key=key, Body=data)["ETag"]
        return etag


def get_bytes(url: str, *, storage_options: StorageOptions = None, client: Any = None) -> bytes | None:
    """The whole object *url*, or None when there is none."""
    import botocore.exceptions as bx

    bucket, key = split_s3(url)
    client = client if client is not None else _client(storage_options)
    try:
        data: bytes = client.get_object(Bucket=bucket, Key=key)["Body"].read()
        return data
    except bx.ClientError as exc:
        if exc.response.get("Error", {}).get("Code") in ("NoSuchKey", "404", "NotFound"):
            return None
        raise error(exc, url) from None
    except bx.BotoCoreError as exc:
        raise error(exc, url) from None


def get_range(url: str, start: int, length: int, *, client: Any) -> bytes:
    """Bytes [start, start + length) of the object *url*."""
    bucket, key = split_s3(url)
    if length <= 0:
        return b""
    with _errors(url):
        data: bytes = client.get_object(Bucket=bucket, Key=key,
                                        Range=f"bytes={start}-{start + length - 1}")["Body"].read()
    if len(data) != length:
        raise io_error(errno.EIO, url, f"asked for {length} bytes at {start}, got {len(data)}")
    return data


def download_range(url: str, start: int, length: int, fd: int, *, client: Any) -> None:
    """Writes bytes [start, start + length) of the object *url* at the same offset of the open
    file *fd*, streamed."""
    bucket, key = split_s3(url)
    if length <= 0:
        return
    at = start
    with _errors(url):
        body = client.get_object(Bucket=bucket, Key=key, Range=f"bytes={start}-{start + length - 1}")["Body"]
        for chunk in body.iter_chunks(1 << 20):
            view = memoryview(chunk)
            while view:
                n = os.pwrite(fd, view, at)
                view = view[n:]
                at += n
    if at != start + length:
        raise io_error(errno.EIO, url, f"asked for {length} bytes at {start}, got {at - start}")


def delete(urls: Sequence[str], *, storage_options: StorageOptions = None, client: Any = None) -> None:
    """Removes the objects *urls* (of one bucket); absent ones are no error."""
    if not urls:
        return
    bucket = split_s3(urls[0])[0]
    client = client if client is not None else _client(storage_options)
    keys = [split_s3(u)[1] for u in urls]
    with _errors(urls[0]):
        for at in range(0, len(keys), 1000):
            answer = client.delete_objects(Bucket=bucket, Delete={"Objects": [{"Key": k} for k in keys[at:at + 1000]],
                                                                  "Quiet": True})
            failed = answer.get("Errors") or []
            if failed:
                first = failed[0]
                raise io_error(errno.EIO, f"s3://{bucket}/{first.get('Key')}",
                               f"could not be removed ({first.get('Code')}: {first.get('Message')})")


def abort_uploads(prefix_url: str, which: Callable[[str], bool], *, client: Any) -> None:
    """Aborts the multipart uploads open under *prefix_url* whose object URL *which* selects."""
    bucket, prefix = split_s3(prefix_url)
    with _errors(prefix_url):
        for page in client.get_paginator("list_multipart_uploads").paginate(Bucket=bucket, Prefix=prefix):
            for up in page.get("Uploads", ()):
                if which(f"s3://{bucket}/{up['Key']}"):
                    _abort(client, bucket, up["Key"], up["UploadId"])


def list_keys(prefix_url: str, *, storage_options: StorageOptions = None, client: Any = None) -> list[tuple[str, Any]]:
    """(URL, last-modified time) of every object whose key starts with *prefix_url*'s key."""
    bucket, prefix = split_s3(prefix_url)
    client = client if client is not None else _client(storage_options)
    out: list[tuple[str, Any]] = []
    with _errors(prefix_url):
        for page in client.get_paginator("list_objects_v2").paginate(Bucket=bucket, Prefix=prefix):
            out.extend((f"s3://{bucket}/{o['Key']}", o.get("LastModified")) for o in page.get("Contents", ()))
    return out
