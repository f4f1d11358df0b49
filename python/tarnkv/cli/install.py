"""Installing a store file where readers may have the old one mapped.

A reader maps its file; writing new bytes into that file under it (cp, shutil.copy) makes the
reader fault with SIGBUS or see a torn store. Installing instead writes a new file beside the
target and renames it over the target: open mappings keep the old inode, new opens get the
new one, and a crash at any point leaves either the old file or the new one, never a mix.
"""

from __future__ import annotations

import contextlib
import errno
import os
import stat
import tempfile
from collections.abc import Callable

from tarnkv._files import sync_directory
from tarnkv.cli.errors import CliError, os_error_text

COPY_STEP = 64 << 20
MAGIC = b"TRNK"

Progress = Callable[[int, int], None] | None


def resolve_target(src: str, dst: str) -> str:
    """The file to replace: DST itself, DST/basename(SRC) for a directory, the file a
    symbolic link names (the link stays a link)."""
    if os.path.isdir(dst):
        dst = os.path.join(dst, os.path.basename(src.rstrip("/")))
    if os.path.islink(dst):
        dst = os.path.realpath(dst)
    return dst


def check_source(src: str) -> os.stat_result:
    """SRC's status, after making sure it is a regular file that starts like a store."""
    try:
        with open(src, "rb") as f:
            st = os.fstat(f.fileno())
            if stat.S_ISDIR(st.st_mode):
                raise CliError(f"{src}: is a directory")
            head = f.read(len(MAGIC))
    except IsADirectoryError:
        raise CliError(f"{src}: is a directory") from None
    except OSError as exc:
        raise CliError(os_error_text(exc)) from None
    if head != MAGIC:
        raise CliError(f"{src}: not a store file (it does not start with {MAGIC.decode()})")
    return st


def _copy(src_fd: int, dst_fd: int, size: int, progress: Progress) -> None:
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
        if progress is not None:
            progress(done, max(size, done))
    if done != size:
        raise CliError(f"the source changed size while it was copied ({size} -> {done} bytes)")


def _mode_and_owner(src_st: os.stat_result, dst: str) -> tuple[int, tuple[int, int] | None]:
    try:
        old = os.stat(dst)
        return stat.S_IMODE(old.st_mode), (old.st_uid, old.st_gid)
    except FileNotFoundError:
        mask = os.umask(0)
        os.umask(mask)
        return stat.S_IMODE(src_st.st_mode) & ~mask, None


def install(src: str, dst: str, *, check: Callable[[str], None] | None = None,
            progress: Progress = None) -> str:
    """Copies SRC over DST safely and returns the path written. ``check`` runs on the complete
    temporary copy before it is renamed into place; an exception from it leaves DST untouched."""
    target = resolve_target(src, dst)
    src_st = check_source(src)
    try:
        if os.path.samefile(src, target):
            raise CliError(f"{src} and {dst} are the same file")
    except FileNotFoundError:
        pass
    directory = os.path.dirname(target) or "."
    mode, owner = _mode_and_owner(src_st, target)
    try:
        fd, tmp = tempfile.mkstemp(dir=directory, prefix=f".{os.path.basename(target)}.",
                                   suffix=".tmp")
    except OSError as exc:
        raise CliError(os_error_text(exc) if exc.filename else f"{directory}: {exc.strerror}") from None
    try:
        try:
            with open(src, "rb") as s:
                _copy(s.fileno(), fd, src_st.st_size, progress)
            os.fchmod(fd, mode)
            if owner is not None:
                try:
                    os.fchown(fd, *owner)
                except PermissionError:
                    pass  # not ours to give away: the new file stays ours
            os.fsync(fd)
        finally:
            os.close(fd)
        if check is not None:
            check(tmp)
        os.rename(tmp, target)
    except BaseException as exc:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        if isinstance(exc, OSError):
            raise CliError(os_error_text(exc) if exc.filename else f"{target}: {exc.strerror}") from None
        raise
    try:
        sync_directory(directory)
    except OSError as exc:
        raise CliError(f"{directory}: installed, but the directory could not be synced: "
                       f"{exc.strerror}") from None
    return target


# --- Store sets ------------------------------------------------------------------------------

SetCheck = Callable[[str, int], None]


def set_target(src: str, dst: str) -> str:
    """The directory a set is copied to: DST itself when it is absent, empty or a set, else
    DST/basename(SRC) (as cp -r copies into an existing directory)."""
    from tarnkv.sets import manifest as mf

    if os.path.isdir(dst) and not mf.is_set(dst) and any(not n.startswith(".") for n in os.listdir(dst)):
        return os.path.join(dst, os.path.basename(src.rstrip("/")))
    return dst


def install_set(src: str, dst: str, *, check: SetCheck | None = None, progress: Progress = None) -> str:
    """Copies the store set SRC to DST safely and returns the directory written.

    Each shard is copied to a temporary file in the target, synced and renamed under its own
    name (a new set's names never clash with the old set's); then the manifest is written, last
    and atomically, and the shards only the old set used are removed. Readers of the old set
    keep their mappings, and see the new set when they reopen it. ``check(tmp, shard)`` runs on
    each complete temporary copy; an exception from it leaves DST's set as it was.
    """
    from tarnkv.errors import TarnError
    from tarnkv.sets import build as set_build
    from tarnkv.sets import manifest as mf

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
        set_build.check_output(target)
        os.makedirs(target, exist_ok=True)
    except OSError as exc:
        raise CliError(os_error_text(exc)) from None
    except TarnError as exc:
        raise CliError(str(exc), 1) from None
    total = manifest.total_size
    copied = 0
    placed: list[str] = []
    old_names = set()
    try:
        for i, entry in enumerate(manifest.shards):
            shard = os.path.join(src, entry.file)
            try:
                st = check_source(shard)
            except CliError as exc:
                raise CliError(f"{src}: shard {i} ({entry.file}): {exc.message}", 1) from None
            if st.st_size != entry.size:
                raise CliError(f"{src}: shard {i} ({entry.file}) is {st.st_size} bytes where the manifest says "
                               f"{entry.size}", 1)
            fd, tmp = tempfile.mkstemp(dir=target, prefix=f".{entry.file}.", suffix=".tmp")
            try:
                try:
                    step: Progress = None
                    if progress is not None:
                        base, report = copied, progress
                        step = lambda done, _total: report(base + done, total)  # noqa: E731
                    with open(shard, "rb") as s:
                        _copy(s.fileno(), fd, st.st_size, step)
                    os.fchmod(fd, stat.S_IMODE(st.st_mode))
                    os.fsync(fd)
                finally:
                    os.close(fd)
                if check is not None:
                    check(tmp, i)
                final = os.path.join(target, entry.file)
                os.rename(tmp, final)
                placed.append(final)
            except BaseException:
                with contextlib.suppress(OSError):
                    os.unlink(tmp)
                raise
            copied += st.st_size
        sync_directory(target)
        old = None
        with set_build._directory_lock(target):
            with contextlib.suppress(TarnError, OSError, ValueError):
                old = mf.read(target) if mf.is_set(target) else None
            mf.write(target, manifest)
            old_names = set(mf.shard_files(old)) - set(mf.shard_files(manifest))
            for name in old_names:
                with contextlib.suppress(FileNotFoundError):
                    os.unlink(os.path.join(target, name))
    except BaseException as exc:
        # Nothing half-copied stays: shards this copy placed (none of them is in use: they were
        # not there, or were the same files by name and content) go again.
        current = None
        with contextlib.suppress(TarnError, OSError, ValueError):
            current = mf.read(target) if mf.is_set(target) else None
        if current is None or current.build_id != manifest.build_id:
            in_use = set(mf.shard_files(current))
            for path in placed:
                if os.path.basename(path) not in in_use:
                    with contextlib.suppress(OSError):
                        os.unlink(path)
        if isinstance(exc, OSError):
            raise CliError(os_error_text(exc) if exc.filename else f"{target}: {exc.strerror}") from None
        raise
    return target
