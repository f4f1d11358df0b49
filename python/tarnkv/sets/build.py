"""Building a store set: the tasks of a sharded build, and the driver's steps around them.

A build runs in two waves of tasks on whatever Dask scheduler is current:

1. one task per input partition feeds its records to a :class:`RunSink`, which routes each key
   to its shard, sorts the records in memory and writes one run file (spilling sorted sections
   when its buffer fills), published by rename;
2. one task per shard merges that shard's sections of every run into the shard file
   (:func:`merge_shard`): a streaming k-way merge whose memory is the shard's index plus a
   buffer. The duplicate policy holds across partitions here: "first" and "last" mean first and
   last in partition order, then record order within the partition.

Then the driver (:class:`Build`) writes the manifest, last and atomically, and removes the
runs. No record crosses the network between the waves except through the file system: the
runs are the shuffle. A set built into object storage needs no shared file system: the runs
go to the object store under the build's work prefix, and each shard task fetches only its
own sections of them. Every task is safe to run twice (a retry after a worker died): files are
written under names of their own and renamed into place, runs and shards are deterministic,
and a dead task's temporary files are removed with the build's work directory.
"""

from __future__ import annotations

import concurrent.futures
import contextlib
import errno
import fcntl
import os
import re
import shutil
import stat
import tempfile
import uuid
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from typing import Any, Final, Literal

from tarnkv import _native
from tarnkv.errors import CorruptStoreError, StoreIOError, TarnError, io_error
from tarnkv.remote import is_url
from tarnkv.remote import publish as publish_remote
from tarnkv.sets import manifest as mf
from tarnkv.sets.errors import SetDuplicateKeyError

__all__ = ["Plan", "PartitionResult", "ShardResult", "SetBuildResult", "RunSink", "Build", "merge_shard",
           "collect", "compute", "zstd_level"]

OnDuplicate = Literal["error", "first", "last"]
#: How much a partition task buffers before it writes a sorted section (per task).
DEFAULT_SPILL_BYTES: Final = 256 << 20
WORK_PREFIX: Final = ".tarnkv-build-"
_SHARD_NAME = re.compile(r"shard-\d{5,}-[0-9a-f]{12}\.trnk\Z")
LOCK_NAME: Final = "lock"
# How long a failed build waits for its other running tasks before it cleans up.
_SETTLE_SECONDS: Final = 120
# How long an interrupted one waits for the cancellation of its tasks to be heard.
_CANCEL_SECONDS: Final = 2


@dataclass(frozen=True, slots=True)
class Plan:
    """What every task of one build needs to know: where files go and how records are merged."""

    out_dir: str  # absolute: workers may run elsewhere; or the set's URL in object storage
    build_id: str
    shards: int
    policy: OnDuplicate
    spill_bytes: int = DEFAULT_SPILL_BYTES
    storage_options: dict[str, Any] | None = None
    #: The zstd level each shard is compressed at (with a dictionary of its own), or None.
    compression: int | None = None

    @property
    def tag(self) -> str:
        return self.build_id[:12]

    @property
    def remote(self) -> bool:
        """Whether the set goes to object storage: then no file system is shared, each task
        keeps its files in a directory of its own in its worker's temporary directory, and
        the runs travel through the object store under :attr:`work_url`."""
        return is_url(self.out_dir)

    @property
    def work_url(self) -> str:
        return f"{self.out_dir}/{WORK_PREFIX}{self.build_id}/"

    def run_url(self, partition: int) -> str:
        return f"{self.work_url}part-{partition:06d}.run"

    def shard_url(self, shard: int) -> str:
        return f"{self.out_dir}/{self.shard_file(shard)}"

    @property
    def work_dir(self) -> str:
        return os.path.join(self.out_dir, WORK_PREFIX + self.build_id)

    def run_path(self, partition: int) -> str:
        return os.path.join(self.work_dir, f"part-{partition:06d}.run")

    def run_tmp(self, partition: int) -> str:
        return os.path.join(self.work_dir, f".part-{partition:06d}.{uuid.uuid4().hex[:12]}.tmp")

    def shard_file(self, shard: int) -> str:
        return f"shard-{shard:05d}-{self.tag}.trnk"

    def shard_tmp(self, shard: int) -> str:
        return os.path.join(self.out_dir, f".shard-{shard:05d}-{self.tag}.{uuid.uuid4().hex[:12]}.tmp")


@dataclass(frozen=True, slots=True)
class PartitionResult:
    """What a partition task wrote: its run file and how many records went in."""

    index: int
    path: str  # a local path, or the run's URL when the set goes to object storage
    records: int
    size: int
    sections: int = 0


@dataclass(frozen=True, slots=True)
class ShardResult:
    """What a shard task published."""

    index: int
    file: str
    size: int
    file_crc32: str
    num_keys: int
    num_objects: int


@dataclass(frozen=True, slots=True)
class SetBuildResult:
    """What a set build published: the directory, its totals, and each shard."""

    path: str
    shard_count: int
    records: int
    num_keys: int
    num_objects: int
    file_size: int
    build_id: str
    shards: tuple[ShardResult, ...]


class RunSink:
    """One partition's run file, for a task to fill: :meth:`add` records in order, then
    :meth:`finish`. As a context manager it drops the run when the block raises."""

    def __init__(self, plan: Plan, index: int) -> None:
        self.plan = plan
        self.index = index
        self.records = 0
        # Without a shared file system the run is written in the worker's own temporary
        # directory, then uploaded.
        self._local = tempfile.mkdtemp(prefix=f"tarnkv-run-{plan.tag}-") if plan.remote else None
        tmp = os.path.join(self._local, "run.tmp") if self._local else plan.run_tmp(index)
        try:
            self._run = _native.RunWriter(tmp, plan.shards, plan.spill_bytes, plan.policy == "error")
        except BaseException:
            self._drop_local()
            raise

    def add(self, seq: int, key: str | bytes, data: bytes, *aliases: str | bytes) -> None:
        """One record numbered *seq* (numbers grow): its encoded object under *key* and *aliases*."""
        try:
            self._run.add(seq, key, data, *aliases)
        except SetDuplicateKeyError as exc:
            raise exc.with_partitions(self.index, self.index) from None
        self.records += 1

    def add_json_batch(self, batch: bytes, first_seq: int, skip: int) -> int:
        """The records of a converted JSON Lines batch from the *skip*-th on; returns the index
        of the first one it left for the careful path (the count when none)."""
        try:
            done: int = self._run.add_json_batch(batch, first_seq, skip)
        except SetDuplicateKeyError as exc:
            raise exc.with_partitions(self.index, self.index) from None
        self.records += done - skip
        return done

    def finish(self) -> PartitionResult:
        local = self._local
        path = os.path.join(local, "part.run") if local else self.plan.run_path(self.index)
        try:
            size, _, sections, _ = self._run.finish(path)
        except SetDuplicateKeyError as exc:
            raise exc.with_partitions(self.index, self.index) from None
        if local is None:
            return PartitionResult(self.index, path, self.records, size, sections)
        try:
            url = self.plan.run_url(self.index)
            publish_remote.upload(path, url, storage_options=self.plan.storage_options)
        finally:
            self._drop_local()
        return PartitionResult(self.index, url, self.records, size, sections)

    def abort(self) -> None:
        self._run.abort()
        self._drop_local()

    def _drop_local(self) -> None:
        if self._local is not None:
            shutil.rmtree(self._local, ignore_errors=True)
            self._local = None

    def __enter__(self) -> RunSink:
        return self

    def __exit__(self, et: type[BaseException] | None, ev: BaseException | None, tb: object) -> None:
        if et is not None:
            self.abort()


def collect(*parts: PartitionResult) -> tuple[PartitionResult, ...]:
    """The partition tasks' results in partition order (the barrier before the shard tasks)."""
    ordered = tuple(sorted(parts, key=lambda p: p.index))
    if [p.index for p in ordered] != list(range(len(ordered))):
        raise RuntimeError("the partition results do not number 0..N-1")
    return ordered


def merge_shard(plan: Plan, shard: int, parts: Sequence[PartitionResult]) -> ShardResult:
    """The shard task: merges shard *shard*'s sections of every run into its file."""
    if plan.remote:
        return _merge_remote_shard(plan, shard, parts)
    runs = [p.path for p in parts]
    path = os.path.join(plan.out_dir, plan.shard_file(shard))
    return _merge(plan, shard, parts, runs, plan.shard_tmp(shard), path)


def _merge(plan: Plan, shard: int, parts: Sequence[PartitionResult], runs: list[str], tmp: str,
           path: str) -> ShardResult:
    try:
        keys, objects, size, crc = _native.merge_runs(runs, plan.shards, shard, plan.policy, tmp, path,
                                                      plan.compression)
    except SetDuplicateKeyError as exc:
        # The merge numbers runs by their place in `runs`, which is the partition order.
        first, second = exc.first, exc.second
        raise SetDuplicateKeyError(exc.key, (_partition(parts, first[0]), first[1]),
                                   (_partition(parts, second[0]), second[1])) from None
    return ShardResult(shard, plan.shard_file(shard), size, f"0x{crc:08x}", keys, objects)


def zstd_level(compression: str | None, level: int = 3) -> int | None:
    """The zstd level that ``compression=`` and ``compression_level=`` ask for, as
    :class:`~tarnkv.TarnWriter` takes them; None for no compression."""
    if compression is None:
        return None
    if compression != "zstd":
        raise ValueError(f"compression must be None or 'zstd', not {compression!r}")
    if type(level) is not int:
        raise TypeError(f"compression_level must be int, not {type(level).__name__}")
    if not 1 <= level <= 22:
        raise ValueError(f"compression_level must be 1 to 22, not {level}")
    return level


def _partition(parts: Sequence[PartitionResult], run: int | None) -> int | None:
    return parts[run].index if run is not None and 0 <= run < len(parts) else None


def _merge_remote_shard(plan: Plan, shard: int, parts: Sequence[PartitionResult]) -> ShardResult:
    """The shard task without a shared file system: fetches this shard's sections of every
    run (ranged reads) into local copies of the runs that hold only them (the rest of each
    copy is a hole), merges those locally, and uploads the shard under the build's name."""
    from tarnkv.remote import s3

    local = tempfile.mkdtemp(prefix=f"tarnkv-shard-{plan.tag}-")
    try:
        client = s3.client(plan.storage_options)
        runs = [os.path.join(local, f"part-{p.index:06d}.run") for p in parts]
        with concurrent.futures.ThreadPoolExecutor(4, thread_name_prefix="tarnkv-fetch") as pool:
            for done in [pool.submit(_fetch_sections, client, p, shard, path) for p, path in zip(parts, runs)]:
                done.result()
        path = os.path.join(local, plan.shard_file(shard))
        result = _merge(plan, shard, parts, runs, os.path.join(local, "shard.tmp"), path)
        for run in runs:  # the disk they take is the worker's: freed before the upload
            _remove(run)
        publish_remote.upload(path, plan.shard_url(shard), storage_options=plan.storage_options, client=client)
        return result
    finally:
        shutil.rmtree(local, ignore_errors=True)


def _fetch_sections(client: Any, part: PartitionResult, shard: int, path: str) -> None:
    # A run file ends with its table of sections and a trailer, which say which bytes are whose.
    tail_size = _native.run_tail_size(part.sections)
    tail = publish_remote.get_range(part.path, part.size - tail_size, tail_size, client=client)
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o600)
    try:
        os.ftruncate(fd, part.size)
        for offset, length in _native.run_sections(tail, shard):
            publish_remote.download_range(part.path, offset, length, fd, client=client)
        os.pwrite(fd, tail, part.size - tail_size)
    finally:
        os.close(fd)


# --- Running the two waves ---------------------------------------------------------------------

class Listener:
    """What the driver hears while a build runs (the command line draws bars from it)."""

    def partition_done(self, result: PartitionResult) -> None:
        """A partition task finished."""

    def shard_done(self, result: ShardResult) -> None:
        """A shard task finished."""


def current_client() -> Any:
    """The ``distributed.Client`` Dask would use now, or None for a local scheduler."""
    try:
        import dask
        from distributed import default_client
    except ImportError:
        return None
    scheduler = dask.config.get("scheduler", None)
    if scheduler not in (None, "dask.distributed", "distributed"):
        return None
    try:
        return default_client()
    except ValueError:
        return None


def compute(plan: Plan, inputs: Sequence[Any], task: Callable[..., PartitionResult], extra: tuple[Any, ...] = (),
            listener: Listener | None = None) -> list[ShardResult]:
    """Runs the build: ``task(input, index, plan, *extra)`` for each input (a Dask Delayed
    partition, or any picklable description of one), then a shard task per shard. Returns the
    shard results in shard order; the first task error is raised as it was raised."""
    from dask import delayed

    listener = listener or Listener()
    tag = plan.tag
    parts = [delayed(task, pure=True)(item, i, plan, *extra, dask_key_name=f"tarnkv-run-{tag}-{i}")
             for i, item in enumerate(inputs)]
    gathered = delayed(collect, pure=True)(*parts, dask_key_name=f"tarnkv-runs-{tag}")
    shards = [delayed(merge_shard, pure=True)(plan, s, gathered, dask_key_name=f"tarnkv-shard-{tag}-{s}")
              for s in range(plan.shards)]
    client = current_client()
    if client is not None:
        return _on_cluster(client, parts, shards, listener)
    return _on_local(shards, listener)


def _on_cluster(client: Any, parts: list[Any], shards: list[Any], listener: Listener) -> list[ShardResult]:
    from distributed import as_completed

    from distributed import wait

    futures = client.compute([*parts, *shards])
    try:
        for future in as_completed(futures):
            if future.status == "error":
                future.result()  # raises the task's own exception
            result = future.result()
            if isinstance(result, PartitionResult):
                listener.partition_done(result)
            elif isinstance(result, ShardResult):
                listener.shard_done(result)
        return [f.result() for f in futures[len(parts):]]
    except KeyboardInterrupt:
        # Stop now: the tasks that have not started never will, and the caller removes what
        # the build wrote (a cluster of its own is shut down first, which ends running tasks).
        # The shards first: cancelling a partition also cancels the barrier task after it,
        # which no client holds, and that the scheduler does not expect.
        try:
            client.cancel(futures[len(parts):])
            client.cancel(futures[:len(parts)])
            wait(futures, timeout=_CANCEL_SECONDS)
        except BaseException:  # cancelled futures: what was asked for
            pass
        raise
    except BaseException:
        # Tasks still running would write into a build that is being removed: let them settle
        # (those that depend on the failed one never start), for a while at most.
        try:
            wait(futures, timeout=_SETTLE_SECONDS)
        except BaseException:
            pass
        raise


def _on_local(shards: list[Any], listener: Listener) -> list[ShardResult]:
    import dask
    from dask.callbacks import Callback

    class Heard(Callback):  # type: ignore[misc]
        def _posttask(self, key: Any, result: Any, dsk: Any, state: Any, worker_id: Any) -> None:
            if isinstance(result, PartitionResult):
                listener.partition_done(result)
            elif isinstance(result, ShardResult):
                listener.shard_done(result)

    with Heard():
        return list(dask.compute(*shards))


# --- The driver's side: the output directory ---------------------------------------------------

def _entries(directory: str) -> list[str]:
    try:
        return os.listdir(directory)
    except FileNotFoundError:
        return []


def check_output(out_dir: str, shown: str | None = None) -> mf.Manifest | None:
    """Whether a set may be written to *out_dir* (called *shown* in errors): absent, an empty
    directory, or a set (which the new one replaces). Returns the set's manifest when there
    is one."""
    shown = shown or out_dir
    try:
        st = os.stat(out_dir)
    except FileNotFoundError:
        if not os.path.isdir(os.path.dirname(out_dir) or "."):
            parent = os.path.dirname(shown.rstrip("/")) or "."
            raise io_error(errno.ENOENT, parent, "No such directory (the set's parent)") from None
        return None
    if not stat.S_ISDIR(st.st_mode):
        raise io_error(errno.ENOTDIR, shown, "Not a directory (a set is written to a directory)")
    old = mf.read(out_dir) if mf.is_set(out_dir) else None
    ours = set(mf.shard_files(old)) | {mf.MANIFEST}
    # Hidden names are temporaries (ours or not); shard files no manifest names are what a
    # dead build or copy left, removed when a build that made them is swept.
    strays = [name for name in _entries(out_dir)
              if name not in ours and not name.startswith(".") and not _SHARD_NAME.match(name)]
    if strays:
        listed = ", ".join(repr(n) for n in sorted(strays)[:3]) + (", ..." if len(strays) > 3 else "")
        raise io_error(errno.EEXIST, shown,
                       f"File exists: the directory holds other files ({listed}) and is not a store set")
    return old


def _remove(path: str) -> None:
    with contextlib.suppress(FileNotFoundError):
        os.unlink(path)


def _named_files(out_dir: str) -> set[str] | None:
    """The files the set's manifest names (none without a manifest); None when there is one
    that can't be read, which might name anything."""
    if not mf.is_set(out_dir):
        return set()
    try:
        return set(mf.shard_files(mf.read(out_dir)))
    except (OSError, ValueError, TarnError):  # a damaged manifest, or one of another version
        return None


def _sweep_dead_builds(out_dir: str) -> None:
    """Removes what builds that died left in *out_dir*: their work directories and the shard
    files no manifest names (theirs, and those of a set one of them replaced). A live build
    holds the lock in its work directory. A dead build may have published its manifest before
    it died: the shards that manifest names are the set's, and stay."""
    with directory_lock(out_dir):
        named: set[str] | None = None
        for name in _entries(out_dir):
            if not name.startswith(WORK_PREFIX):
                continue
            work = os.path.join(out_dir, name)
            try:
                fd = os.open(os.path.join(work, LOCK_NAME), os.O_RDWR | os.O_CLOEXEC)
            except OSError:
                continue  # not ours to judge (no lock file yet: a build just starting)
            try:
                try:
                    fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
                except BlockingIOError:
                    continue  # alive
                if named is None:
                    named = _named_files(out_dir)
                tag = name[len(WORK_PREFIX):][:12]
                _remove_build_files(out_dir, tag, named)
                shutil.rmtree(work, ignore_errors=True)
            finally:
                os.close(fd)
        # A build that died after its manifest was in but before it removed the shards of the set
        # it replaced left those behind, and their own build is long gone: shard files that the
        # manifest does not name and no build still at work owns are nobody's.
        named = _named_files(out_dir) if named is None else named
        if named is None:
            return  # a manifest that can't be read might name anything
        entries = _entries(out_dir)
        owned = {name[len(WORK_PREFIX):][:12] for name in entries if name.startswith(WORK_PREFIX)}
        for name in entries:
            if name.startswith("shard-") and name.endswith(".trnk") and name not in named:
                if name.removesuffix(".trnk").rsplit("-", 1)[-1] not in owned:
                    _remove(os.path.join(out_dir, name))


def _remove_build_files(out_dir: str, tag: str, named: set[str] | None) -> None:
    """Removes the shard files and temporaries of the build *tag*, except those the set's
    manifest names (*named*; None when it can't be read: then only temporaries go). Called
    with the directory locked, so that no build publishes meanwhile."""
    for name in _entries(out_dir):
        if tag not in name:
            continue
        if name.startswith(".shard-") or (name.startswith("shard-") and named is not None and name not in named):
            _remove(os.path.join(out_dir, name))


@contextlib.contextmanager
def directory_lock(directory: str) -> Iterator[None]:
    """Held while a set's manifest is replaced and while leftovers are removed. Two builds (or
    copies) publishing into one directory take turns: each reads the manifest it replaces and
    removes that set's shards, never the other's."""
    fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX)
        yield
    finally:
        os.close(fd)


def publish(directory: str, manifest: mf.Manifest, storage_options: dict[str, Any] | None = None) -> None:
    """Makes *manifest* the set at *directory*: the one step that changes which set it holds,
    the manifest written atomically; then the shards only the replaced set used go. The
    shards the manifest names must be in place (synced) already.

    *directory* may be a set's URL in object storage (with *storage_options*): the manifest is
    then replaced by one request, and the replaced set's shards stay until the next
    publication (see :func:`_sweep_remote`)."""
    if is_url(directory):
        _publish_remote(directory, manifest, storage_options)
        return
    with directory_lock(directory):
        try:
            old = mf.read(directory) if mf.is_set(directory) else None
        except (OSError, ValueError, TarnError):
            old = None  # a damaged manifest: replaced all the same
        mf.write(directory, manifest)
        keep = set(mf.shard_files(manifest))
        for name in mf.shard_files(old):
            if name not in keep:
                _remove(os.path.join(directory, name))


# --- The driver's side: a set in object storage -------------------------------------------------

#: Marks a build's work prefix in object storage from its start: the build is alive.
STARTED: Final = "started"
#: A build whose work prefix has not changed for this long is taken for dead by the next
#: publication of the set, which removes what it left.
STALE_BUILD_SECONDS: Final = 24 * 3600


def remote_manifest(url: str, storage_options: dict[str, Any] | None = None) -> mf.Manifest | None:
    """The manifest of the set at the object storage URL *url*; None when there is none."""
    try:
        return mf.read_url(url, storage_options)
    except FileNotFoundError:
        return None


def check_remote_output(url: str, storage_options: dict[str, Any] | None = None) -> None:
    """Whether a set may be written at the object storage URL *url*: an existing bucket, and a
    prefix holding nothing or a set (which the new one replaces)."""
    try:
        publish_remote.check_writable(f"{url}/{mf.MANIFEST}", storage_options)
    except StoreIOError as exc:  # named by the set, not by its manifest
        raise io_error(exc.errno or errno.EIO, url, exc.strerror) from None
    names = [u[len(url) + 1:] for u, _ in publish_remote.list_keys(f"{url}/", storage_options=storage_options)]
    ours: set[str] = set()
    if mf.MANIFEST in names:
        with contextlib.suppress(ValueError, CorruptStoreError):  # a damaged manifest: replaced all the same
            ours = set(mf.shard_files(remote_manifest(url, storage_options)))
    strays = [n for n in names if n != mf.MANIFEST and n not in ours and not n.startswith(WORK_PREFIX)
              and not _SHARD_NAME.match(n)]
    if strays:
        listed = ", ".join(repr(n) for n in sorted(strays)[:3]) + (", ..." if len(strays) > 3 else "")
        raise io_error(errno.EEXIST, url, f"File exists: the prefix holds other objects ({listed}) and is not a "
                                          "store set")


def _publish_remote(url: str, manifest: mf.Manifest, storage_options: dict[str, Any] | None) -> None:
    try:
        old = remote_manifest(url, storage_options)
    except (ValueError, CorruptStoreError):
        old = None  # a damaged manifest: replaced all the same
    mf.write_url(url, manifest, storage_options)
    # The set is out: what follows is tidying, which a later publication finishes if it fails.
    with contextlib.suppress(OSError, TarnError):
        _sweep_remote(url, set(mf.shard_files(manifest)) | set(mf.shard_files(old)), storage_options)


def _sweep_remote(url: str, keep: set[str], storage_options: dict[str, Any] | None) -> None:
    """Removes from the set at *url* what no reader can need any more: shards that neither the
    new manifest nor the one it replaced names -- readers that opened the replaced set keep
    reading it until the next publication -- except those of builds still running (their
    work prefix exists), and what builds dead for ``STALE_BUILD_SECONDS`` left."""
    import datetime

    client = publish_remote.client_for(storage_options)
    objects = publish_remote.list_keys(f"{url}/", client=client)
    newest: dict[str, datetime.datetime] = {}
    for u, modified in objects:
        name = u[len(url) + 1:]
        if name.startswith(WORK_PREFIX) and modified is not None:
            build = name[len(WORK_PREFIX):].split("/", 1)[0]
            newest[build] = max(newest.get(build, modified), modified)
    now = datetime.datetime.now(datetime.UTC)
    dead = {b for b, t in newest.items() if (now - t).total_seconds() > STALE_BUILD_SECONDS}
    live_tags = {b[:12] for b in newest if b not in dead}
    doomed = []
    for u, _ in objects:
        name = u[len(url) + 1:]
        if name.startswith(WORK_PREFIX):
            if name[len(WORK_PREFIX):].split("/", 1)[0] in dead:
                doomed.append(u)
        elif _SHARD_NAME.match(name) and name not in keep and name[-17:-5] not in live_tags:
            doomed.append(u)
    publish_remote.delete(doomed, client=client)


def _remove_remote_build(plan: Plan) -> None:
    """What a remote build leaves when it ends: its work prefix goes, and so do its shards
    unless the set's manifest names them (its own publication, or a later one's)."""
    url = plan.out_dir
    client = publish_remote.client_for(plan.storage_options)
    try:
        current = remote_manifest(url, plan.storage_options)
        named: set[str] | None = set(mf.shard_files(current))
    except (ValueError, CorruptStoreError):
        named = None

    def ours(u: str, named: set[str] | None) -> bool:
        name = u[len(url) + 1:]
        return u.startswith(plan.work_url) or (named is not None and _SHARD_NAME.match(name) is not None
                                               and name[-17:-5] == plan.tag and name not in named)

    # Uploads that tasks ended by a shut-down cluster left open, then what was uploaded.
    publish_remote.abort_uploads(f"{url}/", lambda u: ours(u, set()), client=client)
    publish_remote.delete([u for u, _ in publish_remote.list_keys(f"{url}/", client=client) if ours(u, named)],
                          client=client)


class Build:
    """The driver's side of one set build: checks and prepares the output directory, holds the
    build's lock and work directory, publishes the manifest, and cleans up whatever happens.

    ``with Build(out_dir, shards, on_duplicate) as b:`` ... ``b.publish(results, records, codec)``.
    *compression* is a zstd level for compressed shards, or None.
    """

    def __init__(self, out_dir: str | bytes | os.PathLike[str] | os.PathLike[bytes], shards: int,
                 on_duplicate: OnDuplicate = "error", spill_bytes: int = DEFAULT_SPILL_BYTES,
                 storage_options: dict[str, Any] | None = None, compression: int | None = None) -> None:
        if type(shards) is not int or not 1 <= shards <= mf.MAX_SHARDS:
            raise ValueError(f"shards must be a whole number from 1 to {mf.MAX_SHARDS}, not {shards!r}")
        if on_duplicate not in ("error", "first", "last"):
            raise ValueError(f"on_duplicate must be 'error', 'first' or 'last', not {on_duplicate!r}")
        self.published: SetBuildResult | None = None
        #: Set just before the manifest is written: from then on the build may have published.
        self.committing = False
        self._lock = -1
        if is_url(out_dir):
            url = str(out_dir).rstrip("/")
            options = dict(storage_options) if storage_options else None
            check_remote_output(url, options)
            self.plan = Plan(url, uuid.uuid4().hex, shards, on_duplicate, spill_bytes, options, compression)
            self._created = False
            try:
                publish_remote.put_bytes(self.plan.work_url + STARTED, b"", storage_options=options)
            except BaseException:
                self.close()
                raise
            return
        shown = os.fsdecode(os.fspath(out_dir))
        directory = os.path.abspath(shown)
        check_output(directory, shown)
        self.plan = Plan(directory, uuid.uuid4().hex, shards, on_duplicate, spill_bytes, compression=compression)
        self._created = not os.path.exists(directory)
        # Every name is known before anything is made, so that a failure (or Ctrl-C) at any
        # point removes what was made.
        making = os.path.join(directory, f".tarnkv-new-{self.plan.build_id}")
        try:
            os.makedirs(directory, exist_ok=True)
            _sweep_dead_builds(directory)
            # The work directory appears under its name with its lock already held, so that no
            # other build's sweep can take it for a dead one's.
            os.mkdir(making)
            self._lock = os.open(os.path.join(making, LOCK_NAME), os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o644)
            fcntl.flock(self._lock, fcntl.LOCK_EX)
            os.rename(making, self.plan.work_dir)
        except BaseException:
            shutil.rmtree(making, ignore_errors=True)
            self.close()
            raise

    def publish(self, shards: Sequence[ShardResult], records: int, codec: str | None) -> SetBuildResult:
        """Writes the manifest (the set now exists) and removes the set it replaces."""
        plan = self.plan
        ordered = sorted(shards, key=lambda s: s.index)
        if [s.index for s in ordered] != list(range(plan.shards)):
            raise RuntimeError("the shard results do not number 0..N-1")
        manifest = mf.Manifest(tuple(mf.ShardEntry(s.file, s.size, s.file_crc32, s.num_keys, s.num_objects)
                                     for s in ordered), codec, plan.build_id, mf.now())
        publish(plan.out_dir, manifest, plan.storage_options)
        self.published = SetBuildResult(plan.out_dir, plan.shards, records, manifest.num_keys, manifest.num_objects,
                                        manifest.total_size, plan.build_id, tuple(ordered))
        return self.published

    def close(self) -> None:
        """Removes the runs and every temporary file, and the shard files this build wrote
        that the set's manifest does not name: a build that failed leaves nothing, and one
        whose manifest is out (even if something failed after it) leaves its set."""
        plan = self.plan
        if plan.remote:
            # Best effort: a later publication of the set removes what is left.
            with contextlib.suppress(OSError, TarnError):
                _remove_remote_build(plan)
            return
        if os.path.isdir(plan.out_dir):
            with directory_lock(plan.out_dir):
                _remove_build_files(plan.out_dir, plan.tag, _named_files(plan.out_dir))
        shutil.rmtree(plan.work_dir, ignore_errors=True)
        if self._lock >= 0:
            os.close(self._lock)
            self._lock = -1
        if self._created:
            with contextlib.suppress(OSError):  # only when empty: a build that failed made nothing
                os.rmdir(plan.out_dir)

    def __enter__(self) -> Build:
        return self

    def __exit__(self, et: type[BaseException] | None, ev: BaseException | None, tb: object) -> None:
        self.close()
