"""The S3 client, configured the way fsspec's S3 file system takes its options, with the
standard AWS environment variables (``AWS_ENDPOINT_URL``, ``AWS_ACCESS_KEY_ID``,
``AWS_SECRET_ACCESS_KEY``, ``AWS_DEFAULT_REGION``) filling in what the options leave out, so
the same code runs against AWS or any server speaking the protocol.

boto3 is the client: fsspec's own S3 implementation is not used, because the one Debian ships
fails to create a client against Debian's botocore; fsspec's URL and option conventions are
kept all the same."""

from __future__ import annotations

import errno
from collections.abc import Mapping
from typing import Any, Final

from tarnkv.errors import StoreIOError, io_error
from tarnkv.remote import split_s3

__all__ = ["client", "error"]

#: Seconds to wait for a connection and for each read before the request fails; a server that
#: stops answering is then an error naming the URL, never a hang.
DEFAULT_TIMEOUT = 30.0
#: Attempts for throttled and 5xx answers, with the client's exponential backoff between them.
DEFAULT_ATTEMPTS = 4


def client(storage_options: Mapping[str, Any] | None = None) -> Any:
    """A boto3 S3 client from fsspec-style *storage_options*: ``key``, ``secret``, ``token``,
    ``endpoint_url``, ``region_name``, ``anon``, ``timeout`` (seconds), ``retries`` (attempts),
    ``client_kwargs`` and ``config_kwargs`` (passed to boto3's client and its Config)."""
    import boto3
    import botocore
    import botocore.config

    opts = dict(storage_options or {})
    client_kwargs = dict(opts.pop("client_kwargs", None) or {})
    config_kwargs = dict(opts.pop("config_kwargs", None) or {})
    if "endpoint_url" in opts:
        client_kwargs.setdefault("endpoint_url", opts.pop("endpoint_url"))
    if "region_name" in opts:
        client_kwargs.setdefault("region_name", opts.pop("region_name"))
    if "key" in opts:
        client_kwargs.setdefault("aws_access_key_id", opts.pop("key"))
    if "secret" in opts:
        client_kwargs.setdefault("aws_secret_access_key", opts.pop("secret"))
    if "token" in opts:
        client_kwargs.setdefault("aws_session_token", opts.pop("token"))
    timeout = float(opts.pop("timeout", DEFAULT_TIMEOUT))
    attempts = int(opts.pop("retries", DEFAULT_ATTEMPTS))
    if opts.pop("anon", False):
        config_kwargs.setdefault("signature_version", botocore.UNSIGNED)
    if opts:
        raise TypeError(f"unknown storage option(s): {', '.join(sorted(opts))}")
    config_kwargs.setdefault("connect_timeout", timeout)
    config_kwargs.setdefault("read_timeout", timeout)
    # botocore counts "max_attempts" as retries after the first; "total_max_attempts" is what it says.
    config_kwargs.setdefault("retries", {"total_max_attempts": attempts, "mode": "standard"})
    # Many threads share one client (get_many's concurrent reads).
    config_kwargs.setdefault("max_pool_connections", 32)
    return boto3.session.Session().client("s3", config=botocore.config.Config(**config_kwargs),
                                          **client_kwargs)


_THROTTLED: Final = frozenset({"SlowDown", "Throttling", "ThrottlingException", "RequestLimitExceeded",
                               "TooManyRequestsException", "RequestThrottled"})
_DENIED: Final = frozenset({"AccessDenied", "InvalidAccessKeyId", "SignatureDoesNotMatch", "AllAccessDisabled",
                            "ExpiredToken", "InvalidToken"})
_MISSING: Final = frozenset({"NoSuchKey", "NoSuchVersion", "404", "NotFound"})


def error(exc: BaseException, url: str, timeout: float | None = None) -> StoreIOError:
    """The :class:`~tarnkv.StoreIOError` naming *url* for a failed request to the object store:
    one line that says what to fix (credentials, the bucket, a server that keeps failing).
    *timeout*, when known, is the seconds a request was given, told when it ran out."""
    import botocore.exceptions as bx

    if isinstance(exc, StoreIOError):
        return exc
    if isinstance(exc, (bx.NoCredentialsError, bx.PartialCredentialsError)):
        return io_error(errno.EACCES, url, "no credentials: pass storage_options key and secret, or set "
                                           "AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY")
    if isinstance(exc, bx.ClientError):
        err = exc.response.get("Error", {})
        code = str(err.get("Code", ""))
        status = int(exc.response.get("ResponseMetadata", {}).get("HTTPStatusCode", 0) or 0)
        message = str(err.get("Message", "") or code)
        if code == "NoSuchBucket" or (code == "404" and "bucket" in message.lower()):
            bucket = split_s3(url)[0] if url.startswith("s3://") else url
            return io_error(errno.ENOENT, url, f"no such bucket: {bucket!r}")
        if code in _MISSING or (status == 404 and not code):
            return io_error(errno.ENOENT, url, "no such object in the bucket")
        if code in _DENIED or status == 403:
            return io_error(errno.EACCES, url, f"access denied by the object store ({code or status}: {message})")
        attempts = exc.response.get("ResponseMetadata", {}).get("RetryAttempts", 0)
        if code in _THROTTLED or status == 429 or status >= 500:
            return io_error(errno.EIO, url, f"the object store kept failing ({status} {code}) after "
                                            f"{int(attempts) + 1} attempt(s)")
        return io_error(errno.EIO, url, f"the object store refused the request ({status} {code}: {message})")
    if isinstance(exc, (bx.ConnectTimeoutError, bx.ReadTimeoutError, TimeoutError)):
        within = "in time" if timeout is None else f"within {timeout:g} s"
        return io_error(errno.ETIMEDOUT, url, f"the object store did not answer {within}")
    if isinstance(exc, (bx.EndpointConnectionError, bx.ConnectionClosedError)):
        return io_error(errno.EIO, url, f"can't reach the object store ({exc})")
    if isinstance(exc, bx.BotoCoreError):
        return io_error(errno.EIO, url, str(exc))
    if isinstance(exc, OSError):
        return io_error(exc.errno or errno.EIO, url, exc.strerror or str(exc))
    return io_error(errno.EIO, url, str(exc))
