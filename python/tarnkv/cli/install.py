"""Installing a store file where readers may have the old one mapped.

A reader maps its file; writing new bytes into that file under it (cp, shutil.copy) makes the
reader fault with SIGBUS or see a torn store. Installing instead writes a new file beside the
target and renames it over the target: open mappings keep the old inode, new opens get the
new one, and a crash at any point leaves either the old file or the new one, never a mix.
"""

from __future__ import annotations

import errno
import os
import stat
import tempfile
from collections.abc import Callable

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


def sync_directory(directory: str) -> None:
    fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


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
