"""Installing a store file where readers may have the old one mapped.

A reader maps its file; writing new bytes into that file under it (cp, shutil.copy) makes the
reader fault with SIGBUS or see a torn store. Installing instead writes a new file beside the
target and renames it over the target: open mappings keep the old inode, new opens get the
new one, and a crash at any point leaves either the old file or the new one, never a mix.

The rules (the README's cp section tells users the same):

- The name is replaced, never what it points to. A symbolic link at DST is replaced by the new
  file, not followed: whoever may put a link into a shared directory would otherwise choose
  which file the caller overwrites. A link to a directory is refused, unless DST is written
  with a trailing "/", which asks for the directory.
- The source is opened without blocking and must be a regular file: a FIFO fails at once.
- Owner, group and permission bits come from the file replaced when it is a regular file and
  the new file can belong to the same owner and group (the caller is root, or owns it and is in
  its group): nothing changes hands. Anything else (a link, a FIFO, another user's file) gives
  nothing away: the new file is the caller's, with the source's permission bits less the umask,
  and no more than a replaced regular file allowed.
- A copy is installed only once it is whole and checked (the caller's ``check``, which at least
  checks the store's shape); a store without keys replaces one with keys only when allowed.
- A failure (a check, a full disk, an exception, Ctrl-C) removes the temporary copy and
  touches nothing else.
"""

from __future__ import annotations

import contextlib
import errno
import os
import stat
import struct
import threading
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from typing import TYPE_CHECKING

from tarnkv.files import sync_directory
from tarnkv.cli import interrupts
from tarnkv.cli.errors import CliError, os_error_text

if TYPE_CHECKING:
    from tarnkv.sets.manifest import ShardEntry

COPY_STEP = 64 << 20
MAGIC = b"TRNK"
# Enough of a header to tell whether a file is a store and how many keys it declares.
_HEAD = struct.Struct(">4sB3xI")
_PERMISSIONS = 0o777  # set-id and sticky bits mean nothing on a store and are never passed on

Progress = Callable[[int, int], None] | None
#: Writes a copy's bytes to a descriptor: ``fill(fd, wrote)``, calling ``wrote(n)`` for every
#: *n* bytes written.
Fill = Callable[[int, Callable[[int], None]], None]
#: Checks a complete temporary copy before it is installed (an exception keeps DST as it was)
#: and returns the number of keys the copy holds.
Check = Callable[[str], int]


def resolve_target(src: str, dst: str) -> str:
    """The name to replace: DST itself, or DST/basename(SRC) when DST is a directory. A symbolic
    link at DST is replaced, not followed; one to a directory only with DST written as "DST/"."""
    if os.path.islink(dst):  # "link/" follows the link: it is the directory then
        if os.path.isdir(dst):
            raise CliError(f"{dst}: a symbolic link to a directory; write {dst}/ to copy into it")
        return dst
    if os.path.isdir(dst):
        return os.path.join(dst, os.path.basename(src.rstrip("/")))
    return dst


@contextlib.contextmanager
def open_source(src: str) -> Iterator[tuple[int, os.stat_result]]:
    """An open descriptor of SRC and its status, after making sure it is a regular file that
    starts like a store. The copy reads this descriptor, so it copies the file checked. Opened
    without blocking: a FIFO fails here rather than waiting for a writer."""
    try:
        fd = os.open(src, os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC)
    except OSError as exc:
        raise CliError(os_error_text(exc)) from None
    try:
        try:
            st = os.fstat(fd)
            if stat.S_ISDIR(st.st_mode):
                raise CliError(f"{src}: is a directory")
            if not stat.S_ISREG(st.st_mode):
                raise CliError(f"{src}: not a regular file")
            head = os.pread(fd, len(MAGIC), 0)
        except OSError as exc:
            raise CliError(f"{src}: {exc.strerror}") from None
        if head != MAGIC:
            raise CliError(f"{src}: not a store file (it does not start with {MAGIC.decode()})")
        yield fd, st
    finally:
        os.close(fd)


@dataclass(frozen=True)
class _Replaced:
    """What the name to replace holds now, seen without following a link."""

    st: os.stat_result | None  # None: nothing
    keys: int  # the keys it declares when it is a store file, else 0


def _look_at_target(src: str, target: str, src_st: os.stat_result) -> _Replaced:
    """What ``target`` holds, after refusing what may not be replaced: a directory, a device,
    or the source itself."""
    try:
        st = os.lstat(target)
    except FileNotFoundError:
        return _Replaced(None, 0)
    except OSError as exc:
        raise CliError(os_error_text(exc)) from None
    if stat.S_ISDIR(st.st_mode):
        raise CliError(f"{target}: is a directory")
    if stat.S_ISCHR(st.st_mode) or stat.S_ISBLK(st.st_mode):
        raise CliError(f"{target}: a device, not replaced")
    if (st.st_dev, st.st_ino) == (src_st.st_dev, src_st.st_ino):
        raise CliError(f"{src} and {target} are the same file")
    return _Replaced(st, _declared_keys(target) if stat.S_ISREG(st.st_mode) else 0)


def _declared_keys(path: str) -> int:
    """The number of keys the store file at ``path`` declares; 0 when it is none (or unreadable)."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC)
    except OSError:
        return 0
    try:
        head = os.pread(fd, _HEAD.size, 0) if stat.S_ISREG(os.fstat(fd).st_mode) else b""
    except OSError:
        head = b""
    finally:
        os.close(fd)
    if len(head) < _HEAD.size:
        return 0
    magic, _version, keys = _HEAD.unpack(head)
    return keys if magic == MAGIC else 0


def _refuse_emptying(src: str, dst: str, keys: int, replaced_keys: int, allow_empty: bool) -> None:
    """A store (or set) without keys replaces one with keys only when the user said so."""
    if keys == 0 and replaced_keys > 0 and not allow_empty:
        raise CliError(f"{src} holds no keys and would replace {dst}, which holds {replaced_keys:,}; "
                       f"--allow-empty installs it all the same ({dst} left as it was)")


def _create_temporary(directory: str, name: str, mode: int) -> tuple[int, str]:
    """A new file, open for writing, beside the file ``name`` it is to replace: hidden by its
    dot, created with ``mode`` less the umask. A failure names ``directory``."""
    try:
        for _ in range(100):
            tmp = os.path.join(directory, f".{name}.{os.urandom(6).hex()}.tmp")
            with contextlib.suppress(FileExistsError):
                flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC
                return os.open(tmp, flags, mode & _PERMISSIONS), tmp
        raise FileExistsError(errno.EEXIST, os.strerror(errno.EEXIST))
    except OSError as exc:
        raise CliError(f"{directory}: {exc.strerror}") from None


def _remove(path: str) -> None:
    with contextlib.suppress(OSError):
        os.unlink(path)


class BackgroundSync:
    """Syncs a file being written to disk behind the writer's back: each time another
    SYNC_STEP bytes were written (and the last sync is over), a thread writes out what is
    there, so that little is left for the final sync, which then runs in a thread too while
    the copy is checked. A sync's failure is raised by wait(), never lost: the kernel reports
    a write-back error once, to whichever sync comes first."""

    SYNC_STEP = 64 << 20

    def __init__(self, fd: int) -> None:
        self._fd = fd
        self._written = 0
        self._due = self.SYNC_STEP
        self._thread: threading.Thread | None = None
        self._error: OSError | None = None

    def _start(self, sync: Callable[[int], None]) -> None:
        def run() -> None:
            try:
                sync(self._fd)
            except OSError as exc:
                self._error = self._error or exc

        # A Ctrl-C while the thread starts waits until it is known: raised inside start(), it
        # would leave a thread that may be running but that wait() could not join.
        with interrupts.deferred():
            thread = threading.Thread(target=run, name="tarnkv-sync", daemon=True)
            thread.start()
            self._thread = thread

    def wrote(self, n: int) -> None:
        """Notes *n* more bytes written; starts a sync when one is due and none is running."""
        self._written += n
        if self._written >= self._due and (self._thread is None or not self._thread.is_alive()):
            self._due = self._written + self.SYNC_STEP
            self._start(os.fdatasync)

    def finish(self) -> None:
        """Starts the final sync (the file's data and size) once the running one is over."""
        self._join()
        self._start(os.fsync)

    def _join(self) -> None:
        if self._thread is not None:
            self._thread.join()
            self._thread = None

    def wait(self) -> None:
        """Waits for the running sync; raises the first failure of any."""
        self._join()
        if self._error is not None:
            error, self._error = self._error, None
            raise error


def _copy(src_fd: int, dst_fd: int, size: int, progress: Progress,
          wrote: Callable[[int], None] | None = None) -> None:
    done = 0
    use_range = True
    while True:
        try:
            if use_range:
                n = os.copy_file_range(src_fd, dst_fd, COPY_STEP)
            else:
                n = os.sendfile(dst_fd, src_fd, None, COPY_STEP)
        except OSError as exc:
            # copy_file_range is refused across some file systems and on older kernels.
            if use_range and exc.errno in (errno.EXDEV, errno.ENOSYS, errno.EOPNOTSUPP,
                                           errno.EINVAL):
                use_range = False
                continue
            raise
        if n == 0:
            break
        done += n
        if wrote is not None:
            wrote(n)
        if progress is not None:
            progress(done, max(size, done))
    if done != size:
        raise CliError(f"the source changed size while it was copied ({size} -> {done} bytes)")


def _take_over(fd: int, replaced: os.stat_result | None) -> None:
    """Gives the new file the owner, group and permission bits of the regular file it replaces
    when it can have both that owner and that group; otherwise it stays the caller's, with its
    own bits, less any the replaced regular file did not have."""
    if replaced is None or not stat.S_ISREG(replaced.st_mode):
        return
    old_mode = stat.S_IMODE(replaced.st_mode) & _PERMISSIONS
    now = os.fstat(fd)
    if (now.st_uid, now.st_gid) != (replaced.st_uid, replaced.st_gid):
        try:
            os.fchown(fd, replaced.st_uid, replaced.st_gid)
        except OSError as exc:
            if exc.errno not in (errno.EPERM, errno.EINVAL):
                raise
            os.fchmod(fd, stat.S_IMODE(now.st_mode) & old_mode)
            return
    os.fchmod(fd, old_mode)


def publish(tmp: str, target: str) -> None:
    """The one step that changes what ``target`` names: before it, a failure leaves ``target``
    as it was; after it, the copy is installed, and Ctrl-C no longer stops the command."""
    interrupts.replace(tmp, target)


def install(src: str, dst: str, *, check: Check, allow_empty: bool = False,
            progress: Progress = None) -> str:
    """Copies SRC over DST safely and returns the path written. ``check`` runs on the complete
    temporary copy before it is renamed into place; an exception from it leaves DST untouched."""
    target = resolve_target(src, dst)
    with open_source(src) as (src_fd, src_st):
        replaced = _look_at_target(src, target, src_st)
        return _install_into(src, dst, target, replaced, stat.S_IMODE(src_st.st_mode),
                             lambda fd, wrote: _copy(src_fd, fd, src_st.st_size, progress, wrote), check,
                             allow_empty)


def install_fetched(name: str, dst: str, *, fill: Fill, check: Check, allow_empty: bool = False) -> str:
    """:func:`install` of a store that is not a local file (``name``, a URL): ``fill(fd,
    wrote)`` writes its bytes to the temporary file's descriptor, calling ``wrote(n)`` as
    it goes (the file is synced behind it). Returns the path written."""
    target = resolve_target(name, dst)
    try:
        st = os.lstat(target)
    except FileNotFoundError:
        replaced = _Replaced(None, 0)
    except OSError as exc:
        raise CliError(os_error_text(exc)) from None
    else:
        if stat.S_ISDIR(st.st_mode):
            raise CliError(f"{target}: is a directory")
        if stat.S_ISCHR(st.st_mode) or stat.S_ISBLK(st.st_mode):
            raise CliError(f"{target}: a device, not replaced")
        replaced = _Replaced(st, _declared_keys(target) if stat.S_ISREG(st.st_mode) else 0)
    return _install_into(name, dst, target, replaced, 0o666, fill, check, allow_empty)


def _install_into(src: str, dst: str, target: str, replaced: _Replaced, mode: int, fill: Fill,
                  check: Check, allow_empty: bool) -> str:
    """The temporary file beside ``target``, filled, checked and renamed into place. The file
    is synced while it is filled and checked; it is renamed only once the sync is over."""
    directory = os.path.dirname(target) or "."
    fd, tmp = _create_temporary(directory, os.path.basename(target), mode)
    try:
        sync = BackgroundSync(fd)
        try:
            fill(fd, sync.wrote)
            _take_over(fd, replaced.st)
            sync.finish()
            keys = check(tmp)
            sync.wait()
        finally:
            with contextlib.suppress(OSError):
                sync.wait()  # never closed under a running sync; a failure was raised above
            os.close(fd)
        _refuse_emptying(src, dst, keys, replaced.keys, allow_empty)
        publish(tmp, target)
    except BaseException as exc:
        _remove(tmp)
        if isinstance(exc, OSError):
            raise CliError(f"{target}: {exc.strerror or exc}") from None
        raise
    try:
        sync_directory(directory)
    except OSError as exc:
        raise CliError(f"{directory}: installed, but the directory could not be synced: "
                       f"{exc.strerror}") from None
    return target


def upload(src: str, url: str, *, check: Check, allow_empty: bool = False, progress: Progress = None) -> str:
    """Publishes the store SRC as the object URL and returns the URL. ``check`` runs on SRC
    before anything is sent; the upload's completion is the one step that replaces the object,
    so a failure or Ctrl-C before it leaves the object as it was, and no upload open."""
    from tarnkv.cli import stores
    from tarnkv.remote import publish

    stores.check_url_output(url)
    with open_source(src) as (_fd, src_st):
        keys = check(src)
        head = _remote_head(url)
        replaced = 0
        if len(head) == _HEAD.size:
            magic, _version, replaced = _HEAD.unpack(head)
            replaced = replaced if magic == MAGIC else 0
        _refuse_emptying(src, url, keys, replaced, allow_empty)
        stores.uploads_completing()
        with stores.StoreErrors(url):
            publish.upload(src, url, storage_options=stores.storage_options(url), progress=progress)
        if os.stat(src).st_size != src_st.st_size:
            raise CliError(f"the source changed size while it was copied ({src_st.st_size} -> "
                           f"{os.stat(src).st_size} bytes)")
    return url


def _remote_head(url: str) -> bytes:
    """The first bytes of the object at URL (enough to count its keys); none when it is absent."""
    from tarnkv.cli import stores
    from tarnkv.remote import publish, s3

    with stores.StoreErrors(url):
        try:
            return publish.get_range(url, 0, _HEAD.size, client=s3.client(stores.storage_options(url)))
        except FileNotFoundError:
            return b""
        except OSError:
            return b""  # shorter than a header, or unreadable: not a store with keys


# --- Store sets ------------------------------------------------------------------------------

#: Checks the complete temporary copy of a shard against the manifest's entry for it.
SetCheck = Callable[[str, "ShardEntry"], None]


def set_target(src: str, dst: str) -> str:
    """The directory a set is copied to: DST itself when it is absent, empty or a set, else
    DST/basename(SRC) (as cp -r copies into an existing directory)."""
    from tarnkv.sets import manifest as mf

    if os.path.isdir(dst) and not mf.is_set(dst) and any(not n.startswith(".") for n in os.listdir(dst)):
        return os.path.join(dst, os.path.basename(src.rstrip("/")))
    return dst


def install_set(src: str, dst: str, *, check: SetCheck, allow_empty: bool = False,
                progress: Progress = None) -> str:
    """Copies the store set SRC to DST safely and returns the directory written.

    Each shard is copied to a temporary file in the target, checked, synced and renamed under
    its own name (a new set's names never clash with the old set's); then the manifest is
    written, last and atomically, and the shards only the old set used are removed. Readers of
    the old set keep their mappings, and see the new set when they reopen it. ``check(tmp,
    entry)`` runs on each complete temporary copy; an exception from it leaves DST's set as it
    was. A failure removes what this copy wrote: its temporary files, the shards it placed,
    and the target directory when it made it.
    """
    from tarnkv.errors import TarnError
    from tarnkv.sets import manifest as mf
    from tarnkv.sets.build import check_output, publish

    try:
        manifest = mf.read(src)
    except TarnError as exc:
        raise CliError(f"{src}: {exc.strerror if isinstance(exc, OSError) and exc.strerror else exc}") from None
    target = set_target(src, dst)
    if os.path.exists(target):
        if not os.path.isdir(target):
            raise CliError(f"{target}: not a directory (a set is copied to a directory)")
        if os.path.samefile(src, target):
            raise CliError(f"{src} and {dst} are the same set")
    try:
        old = check_output(target)
    except OSError as exc:
        raise CliError(os_error_text(exc)) from None
    except TarnError as exc:
        raise CliError(str(exc), 1) from None
    _refuse_emptying(src, dst, manifest.num_keys, old.num_keys if old else 0, allow_empty)
    made = not os.path.exists(target)
    try:
        os.makedirs(target, exist_ok=True)
    except OSError as exc:
        raise CliError(os_error_text(exc)) from None
    total = manifest.total_size
    copied = 0
    placed: list[str] = []
    try:
        for i, entry in enumerate(manifest.shards):
            step: Progress = None
            if progress is not None:
                base, report = copied, progress
                step = lambda done, _total: report(base + done, total)  # noqa: E731
            placed.append(_install_shard(src, i, entry, target, check, step))
            copied += entry.size
        sync_directory(target)
        interrupts.published_when(interrupts.set_is(target, manifest.build_id))
        publish(target, manifest)
    except BaseException as exc:
        # Nothing half-copied stays: shards this copy placed (none of them is in use: they were
        # not there, or were the same files by name and content) go again, and so does the
        # directory when this copy made it.
        current = None
        with contextlib.suppress(TarnError, OSError, ValueError):
            current = mf.read(target) if mf.is_set(target) else None
        if current is None or current.build_id != manifest.build_id:
            in_use = set(mf.shard_files(current))
            for path in placed:
                if os.path.basename(path) not in in_use:
                    _remove(path)
            if made:
                with contextlib.suppress(OSError):
                    os.rmdir(target)
        if isinstance(exc, OSError):  # named by the set, not by a temporary file in it
            raise CliError(f"{target}: {exc.strerror or exc}") from None
        raise
    return target


def upload_set(src: str, url: str, *, check: SetCheck, allow_empty: bool = False,
               progress: Progress = None) -> str:
    """Publishes the store set SRC at the object storage URL and returns the URL: each shard
    checked (``check(path, entry)``) and uploaded under its own name, then the manifest, in one
    request, last. A failure or Ctrl-C before the manifest removes the shards this copy
    uploaded that the set there does not name; the set there stays as it was."""
    from tarnkv.cli import stores
    from tarnkv.errors import TarnError
    from tarnkv.remote import publish as remote
    from tarnkv.sets import manifest as mf
    from tarnkv.sets.build import check_remote_output, publish, remote_manifest

    try:
        manifest = mf.read(src)
    except TarnError as exc:
        raise CliError(f"{src}: {exc.strerror if isinstance(exc, OSError) and exc.strerror else exc}") from None
    url = url.rstrip("/")
    options = stores.storage_options(url)
    with stores.StoreErrors(url):
        check_remote_output(url, options)
        old = remote_manifest(url, options)
    _refuse_emptying(src, url, manifest.num_keys, old.num_keys if old else 0, allow_empty)
    committing: list[bool] = []
    interrupts.published_when(lambda: bool(committing))
    total = manifest.total_size
    copied = 0
    placed: list[str] = []
    try:
        with stores.StoreErrors(url):
            for i, entry in enumerate(manifest.shards):
                path = os.path.join(src, entry.file)
                size = os.stat(path).st_size if os.path.exists(path) else -1
                if size != entry.size:
                    raise CliError(f"{src}: shard {i} ({entry.file}) is "
                                   f"{'missing' if size < 0 else f'{size} bytes'} where the manifest says "
                                   f"{entry.size} bytes", 1)
                check(path, entry)
                step: Progress = None
                if progress is not None:
                    base, report = copied, progress
                    step = lambda done, _total: report(base + done, total)  # noqa: E731
                placed.append(f"{url}/{entry.file}")
                remote.upload(path, placed[-1], storage_options=options, progress=step)
                copied += entry.size
            committing.append(True)
            publish(url, manifest, options)
    except BaseException:
        if not committing:
            with contextlib.suppress(OSError, TarnError):
                current = remote_manifest(url, options)
                named = set(mf.shard_files(current))
                remote.delete([u for u in placed if u.rsplit("/", 1)[1] not in named], storage_options=options)
        raise
    return url


def _install_shard(src: str, i: int, entry: ShardEntry, target: str, check: SetCheck,
                   progress: Progress) -> str:
    """Copies shard ``i`` of the set ``src`` into ``target`` under its own name, checked and
    synced; returns its path there. A failure leaves no temporary file."""
    with contextlib.ExitStack() as stack:
        try:
            src_fd, st = stack.enter_context(open_source(os.path.join(src, entry.file)))
        except CliError as exc:
            raise CliError(f"{src}: shard {i} ({entry.file}): {exc.message}", 1) from None
        if st.st_size != entry.size:
            raise CliError(f"{src}: shard {i} ({entry.file}) is {st.st_size} bytes where the manifest says "
                           f"{entry.size}", 1)
        fd, tmp = _create_temporary(target, entry.file, stat.S_IMODE(st.st_mode))
        try:
            try:
                _copy(src_fd, fd, st.st_size, progress)
                os.fsync(fd)
            finally:
                os.close(fd)
            check(tmp, entry)
            final = os.path.join(target, entry.file)
            os.rename(tmp, final)
        except BaseException:
            _remove(tmp)
            raise
    return final

