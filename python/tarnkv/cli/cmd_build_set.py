"""``tarnkv build --shards N``: a store set built by a Dask cluster.

The driver splits the inputs into partitions -- plain JSON Lines files into byte ranges that
start and end on line boundaries, every other input (compressed, CSV, TSV, Parquet) whole --
and runs one task per partition on the cluster: the task reads its part with the same readers
and the same native JSON Lines path as a single-store build and writes a run file. Shard tasks
then merge the runs (tarnkv.sets.build). Workers read the inputs themselves, so inputs must be
on a file system every worker sees under the same paths, and so must the output unless it is an
object storage URL (then the runs travel through the object store); standard input is first
copied into the build's work directory (a temporary directory for a set in object storage).
"""

from __future__ import annotations

import argparse
import contextlib
import logging
import os
import re
import shutil
import signal
import sys
import tempfile
import time
from dataclasses import dataclass
from typing import Any, BinaryIO

from tarnkv.cli import interrupts, stores
from tarnkv.cli.errors import BadInput, CliError, os_error_text
from tarnkv.cli.inputs import Source, display_name, open_source
from tarnkv.cli.loader import Loader, RunFileSink, check_fields
from tarnkv.cli.output import refuse_inputs_inside, size_text
from tarnkv.cli.progress import Bar, Progress, wanted
from tarnkv.cli.records import open_reader
from tarnkv.errors import TarnError
from tarnkv.records import RecordRoles
from tarnkv.remote import is_url
from tarnkv.sets.build import Build, Listener, PartitionResult, Plan, RunSink, ShardResult, compute
from tarnkv.sets.errors import SetDuplicateKeyError

# Partitions of plain JSON Lines: a few per worker, for balance, within these bounds.
MIN_PART = 8 << 20
MAX_PART = 128 << 20
PARTS_PER_WORKER = 4


@dataclass(frozen=True, slots=True)
class InputPart:
    """One partition of the inputs: a byte range of a plain JSON Lines file, or a whole file."""

    path: str  # absolute: workers may have another working directory
    name: str  # as the user wrote it
    fmt: str | None  # --format
    start: int
    end: int  # -1: the whole file
    size: int  # bytes it covers, for the progress bar

    @property
    def ranged(self) -> bool:
        return self.end >= 0


class PartError(Exception):
    """A partition task's bad input, carried to the driver, which makes its line numbers
    absolute (a range's lines are numbered from its start)."""

    def __init__(self, message: str, part: int, status: int) -> None:
        super().__init__(message, part, status)
        self.message = message
        self.part = part
        self.status = status


# --- Planning --------------------------------------------------------------------------------

def _spool_stdin(directory: str) -> str:
    path = os.path.join(directory, "stdin.input")
    with open(path, "wb") as out:
        shutil.copyfileobj(sys.stdin.buffer, out, 1 << 20)
    return path


def _boundaries(path: str, size: int, step: int) -> list[int]:
    """Offsets that split the file into ranges of about *step* bytes, each just after a newline."""
    cuts = [0]
    with open(path, "rb") as f:
        at = step
        while at < size:
            f.seek(at)
            f.readline()
            cut = f.tell()
            if cut >= size:
                break
            if cut > cuts[-1]:
                cuts.append(cut)
            at = max(cut, at) + step
    cuts.append(size)
    return cuts


def plan_inputs(paths: list[str], fmt: str | None, spool_dir: str, workers: int, output: str) -> list[InputPart]:
    opened: list[tuple[str, str, Source]] = []
    try:
        for given in paths:
            path = _spool_stdin(spool_dir) if given == "-" else given
            source = open_source(path, fmt)
            source.close()
            opened.append((os.path.abspath(path), display_name(given), source))
    except OSError as exc:
        raise CliError(os_error_text(exc, output)) from None
    splittable = sum(s.size or 0 for _, _, s in opened if s.format == "jsonl" and not s.compression)
    step = max(MIN_PART, min(MAX_PART, splittable // max(1, workers * PARTS_PER_WORKER) + 1))
    parts: list[InputPart] = []
    for path, name, source in opened:
        size = source.size or 0
        if source.format == "jsonl" and not source.compression and source.size:
            cuts = _boundaries(path, size, step)
            parts.extend(InputPart(path, name, fmt, a, b, b - a) for a, b in zip(cuts, cuts[1:]))
        else:
            parts.append(InputPart(path, name, fmt, 0, -1, size))
    return parts


# --- The partition task (runs on a worker) -------------------------------------------------------

class _Window:
    """Bytes [start, end) of a file, as a stream."""

    def __init__(self, f: BinaryIO, start: int, end: int) -> None:
        self._f = f
        self._left = end - start
        f.seek(start)

    def read(self, n: int = -1) -> bytes:
        if self._left <= 0:
            return b""
        data = self._f.read(self._left if n < 0 else min(n, self._left))
        self._left -= len(data)
        return data

    def close(self) -> None:
        self._f.close()


def cli_partition(part: InputPart, index: int, plan: Plan, roles: RecordRoles, output: str) -> PartitionResult:
    """The task of one input partition: its records into a run file (in the work directory of
    the set *output*, as the command line names it)."""
    try:
        if part.ranged:
            f = open(part.path, "rb", buffering=0)
            stream: Any = _Window(f, part.start, part.end)
            source = Source(part.name, stream, f, part.size, None, "jsonl")
        else:
            source = open_source(part.path, part.fmt)
            source.name = part.name
        try:
            reader = open_reader(source, roles.columns())
            check_fields(reader, roles)
            with RunSink(plan, index) as sink:
                loader = Loader(RunFileSink(sink), roles)
                loader.load(reader, _NO_BAR)
                return sink.finish()
        finally:
            source.close()
    except CliError as exc:
        raise PartError(exc.message, index, exc.status) from None
    except OSError as exc:
        raise PartError(os_error_text(exc, output), index, 2) from None


class _NoBar(Bar):
    def __init__(self) -> None:
        pass

    def update(self, done: int, records: int = 0, *, force: bool = False) -> None:
        pass


_NO_BAR = _NoBar()


# --- The driver ----------------------------------------------------------------------------------

def _lines_before(path: str, offset: int) -> int:
    count = 0
    with open(path, "rb") as f:
        left = offset
        while left > 0:
            chunk = f.read(min(left, 1 << 20))
            if not chunk:
                break
            count += chunk.count(b"\n")
            left -= len(chunk)
    return count


def _absolute(message: str, part: InputPart) -> str:
    """*message* with the line number after the part's name counted from the file's start."""
    if not part.ranged or part.start == 0:
        return message
    pattern = re.compile(re.escape(part.name) + r", (after )?line (\d+)")
    found = pattern.match(message)
    if not found:
        return message
    line = int(found.group(2)) + _lines_before(part.path, part.start)
    return f"{part.name}, {found.group(1) or ''}line {line}" + message[found.end():]


def _record_where(parts: list[InputPart], partition: int | None, seq: int | None) -> str:
    if partition is None or seq is None or not 0 <= partition < len(parts):
        return "an input"
    part = parts[partition]
    unit = "row" if (part.fmt == "parquet" or part.path.lower().endswith((".parquet", ".pq"))) else "line"
    return _absolute(f"{part.name}, {unit} {seq}", part)


def _duplicate(exc: SetDuplicateKeyError, parts: list[InputPart]) -> BadInput:
    key = exc.key
    shown = repr(key.decode("utf-8", "backslashreplace") if isinstance(key, bytes) else key)
    first = _record_where(parts, *exc.first)
    second = _record_where(parts, *exc.second)
    return BadInput(second, f"duplicate key {shown} (an earlier record has it: {first}; "
                            "--on-duplicate first or last keeps one)")


class _Bars(Listener):
    def __init__(self, progress: Progress, parts: list[InputPart], out: str, shards: int) -> None:
        self.total = sum(p.size for p in parts)
        self.reading = progress.bar(f"reading {len(parts)} partition(s)", self.total, records=True)
        self.progress = progress
        self.out = out
        self.shards = shards
        self.parts = parts
        self.read = 0
        self.records = 0
        self.written = 0
        self.writing: Bar | None = None

    def partition_done(self, result: PartitionResult) -> None:
        self.read += self.parts[result.index].size
        self.records += result.records
        self.reading.update(self.read, self.records, force=True)

    def shard_done(self, result: ShardResult) -> None:
        if self.writing is None:
            self.progress.done(self.reading)
            self.writing = self.progress.bar(f"writing {self.out}", self.shards, unit="shards")
        self.written += 1
        self.writing.update(self.written, force=True)


def _client(args: argparse.Namespace, cleanup: contextlib.ExitStack) -> tuple[Any, int]:
    """(client, workers); *cleanup* closes the client, and shuts a local cluster down."""
    logging.getLogger("distributed").setLevel(logging.ERROR)
    try:
        from distributed import Client
    except ImportError:
        raise CliError("building a set needs dask and distributed (the package's 'dask' extra)") from None
    if args.scheduler:
        try:
            client = Client(args.scheduler, timeout=30)
        except (OSError, TimeoutError) as exc:
            raise CliError(f"{args.scheduler}: can't reach the Dask scheduler ({exc})") from None
        cleanup.callback(client.close)
        workers = len(client.scheduler_info().get("workers", {}))
        if not workers:
            raise CliError(f"{args.scheduler}: the Dask cluster has no workers")
        return client, workers
    workers = args.workers or os.cpu_count() or 1
    with interrupts.deferred():
        cluster = local_cluster(workers)
        cleanup.callback(_shut_down, cluster)
    with interrupts.deferred():
        client = Client(cluster)
        cleanup.callback(client.close)
    return client, workers


def _shut_down(cluster: Any) -> None:
    # Quietly: workers ended in the middle of a task are what an interrupted build expects.
    logging.getLogger("distributed").setLevel(logging.CRITICAL)
    cluster.close()


def local_cluster(workers: int) -> Any:
    """A LocalCluster of *workers* single-threaded worker processes, set up for set builds.

    The workers never see SIGINT: a Ctrl-C at the terminal, which reaches every process of the
    command's group, is the driver's to handle (it stops the build and shuts the cluster
    down); workers that took it too would only die with tracebacks of their own. SIGINT is
    blocked in this thread while the cluster starts, so the cluster's threads, and the worker
    processes they start, block it for good; a Ctrl-C meanwhile is taken when it is unblocked.
    """
    blocked = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
    try:
        return _start_cluster(workers)
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, blocked)


def _start_cluster(workers: int) -> Any:
    import dask
    from distributed import LocalCluster

    # Dask starts workers with MALLOC_TRIM_THRESHOLD_ set, which turns off glibc's adaptive
    # mmap threshold: every allocation of a megabyte (a chunk of input, a converted batch) is
    # then mapped and unmapped afresh, and its pages faulted in again, which costs a partition
    # task a fifth of its time. The workers here run native code that reuses its buffers.
    environ = dict(os.environ)
    spawn_env = dict(dask.config.get("distributed.nanny.pre-spawn-environ", {}))
    spawn_env["MALLOC_TRIM_THRESHOLD_"] = None
    try:
        with dask.config.set({"distributed.nanny.pre-spawn-environ": spawn_env}):
            # The workers' own logs would repeat a task's error, which the command reports once.
            return LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=":0",
                                silence_logs=logging.CRITICAL)
    finally:
        # Starting them also sets those variables in this process's environment; restored.
        os.environ.clear()
        os.environ.update(environ)


def run(args: argparse.Namespace) -> int:
    started = time.perf_counter()
    out = args.output
    if args.inputs.count("-") > 1:
        raise CliError('standard input ("-") can be read only once')
    remote = is_url(out)
    if not remote:
        refuse_inputs_inside(out, args.inputs)
    roles = RecordRoles(args.key, tuple(args.alias), args.value, json_values=args.json_values, big_ints=args.big_ints)
    # Closed in the reverse order: the client, the cluster (which ends tasks still running),
    # then the build (which removes what it wrote, unless its manifest is out).
    with contextlib.ExitStack() as cleanup:
        with interrupts.deferred():
            try:
                level = args.compress[1] if args.compress is not None else None  # (method, level)
                build = Build(out, args.shards, args.on_duplicate, compression=level,
                              storage_options=stores.storage_options(out))
            except (OSError, TarnError) as exc:
                raise CliError(os_error_text(exc, out) if isinstance(exc, OSError) else str(exc)) from None
            except (TypeError, ValueError) as exc:
                if not remote:
                    raise
                raise CliError(f"{out}: {exc}") from None  # options its client refuses
            cleanup.callback(build.close)
            # Standard input is spooled where the driver's files go: the build's work directory,
            # or a temporary one when the set goes to object storage.
            spool = tempfile.mkdtemp(prefix="tarnkv-spool-") if remote else build.plan.work_dir
            if remote:
                cleanup.callback(shutil.rmtree, spool, True)
        if remote:
            interrupts.published_when(lambda: build.committing)
        else:
            interrupts.published_when(interrupts.set_is(build.plan.out_dir, build.plan.build_id))
        try:
            client, workers = _client(args, cleanup)
            parts = plan_inputs(args.inputs, args.format, spool, workers, out)
            with Progress(wanted(args.quiet)) as progress:
                bars = _Bars(progress, parts, out, args.shards)
                with client.as_current():
                    try:
                        results = compute(build.plan, parts, cli_partition, (roles, out), bars)
                    except PartError as exc:
                        raise CliError(_absolute(exc.message, parts[exc.part]), exc.status) from None
                    except SetDuplicateKeyError as exc:
                        raise _duplicate(exc, parts) from None
                done = build.publish(results, bars.records, "msgpack")
        except OSError as exc:
            if exc.filename is not None:
                raise
            raise CliError(os_error_text(exc, out)) from None
    if not args.quiet:
        seconds = time.perf_counter() - started
        print(f"{out}: {done.records:,} records, {done.num_keys:,} keys, {done.num_objects:,} objects, "
              f"{done.shard_count} shards, {size_text(done.file_size)}, {seconds:.2f} s", flush=True)
    return 0
