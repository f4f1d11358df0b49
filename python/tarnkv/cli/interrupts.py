"""Ctrl-C and the moment a command's output becomes real.

Status 130 ("interrupted") promises that the command changed nothing it was asked to change.
A command that publishes something -- renames a finished file over its target, writes a set's
manifest -- therefore registers a test that tells whether the publication has happened
(:func:`published_when`, or :func:`replace` for a rename it makes itself). Until the test
passes, Ctrl-C raises ``KeyboardInterrupt`` and the command removes what it wrote; once it
passes, Ctrl-C no longer stops the command: it has succeeded, finishes and says so.

Why a test and not a flag set after the publishing step: Python runs a signal handler between
any two bytecodes, so also after ``os.replace()`` has returned and before a flag could be set.
A test of what is on disk, or of a count the extension sets before its call returns, has no
such window.

Only the first Ctrl-C stops a command: the cleanup it starts (removing temporary files and
work directories, shutting a local cluster down) is not interrupted by another, so that what
the command wrote is gone when it reports the interruption. :func:`deferred` holds a Ctrl-C
back while something is made and its cleanup arranged.

A ``KeyboardInterrupt`` raised while a finalizer or a weak reference's callback runs (the
handler runs wherever the interpreter is) can't propagate: the interpreter reports it as
"Exception ignored" and goes on. Such a Ctrl-C is not lost: it is sent again, to be raised
once that code has returned.
"""

from __future__ import annotations

import contextlib
import os
import signal
import sys
import threading
from collections.abc import Callable, Iterator
from typing import Any

__all__ = ["handling", "published_when", "published", "replace", "file_identity", "changed", "set_is", "deferred"]

# (st_dev, st_ino) of a file, or None when there is none.
Identity = tuple[int, int] | None


class _State:
    def __init__(self) -> None:
        self.tests: list[Callable[[], object]] = []
        self.committed = False
        self.stopping = False  # the one KeyboardInterrupt has been raised
        self.deferring = 0
        self.pending = False


_state = _State()


def published() -> bool:
    """Whether the running command has published its output (and so may not be interrupted)."""
    st = _state
    if not st.committed:
        for test in st.tests:
            try:
                if test():
                    st.committed = True
                    break
            except Exception:  # a test that can't tell says "not yet"
                pass
    return st.committed


def _on_sigint(signum: int, frame: Any) -> None:
    st = _state
    if st.stopping or published():
        return
    if st.deferring:
        st.pending = True
        return
    st.stopping = True
    raise KeyboardInterrupt


def _unraisable_hook(previous: Callable[[Any], object]) -> Callable[[Any], object]:
    def hook(unraisable: Any) -> None:
        st = _state
        if isinstance(unraisable.exc_value, KeyboardInterrupt) and st.stopping and not st.committed:
            st.stopping = False  # it never reached the command
            # Sent from another thread once this hook has returned: raised here, it would be
            # dropped again.
            returned = threading.Event()

            def resend() -> None:
                returned.wait()
                os.kill(os.getpid(), signal.SIGINT)

            threading.Thread(target=resend, daemon=True).start()
            returned.set()
            return
        previous(unraisable)

    return hook


@contextlib.contextmanager
def handling(keep: bool = False) -> Iterator[None]:
    """Ctrl-C as described above for the commands run in the block (``main()`` runs each
    command in one). Where SIGINT is ignored (a job started in the background), or this is not
    the main thread, it is left as it is. With *keep*, for a process that ends with the
    command, Ctrl-C is ignored after the block: the command has ended and said how."""
    global _state
    _state = _State()
    installed = False
    previous: Any = None
    if threading.current_thread() is threading.main_thread():
        previous = signal.getsignal(signal.SIGINT)
        if previous is signal.default_int_handler:
            signal.signal(signal.SIGINT, _on_sigint)
            installed = True
    previous_hook = sys.unraisablehook
    if installed:
        sys.unraisablehook = _unraisable_hook(previous_hook)
    try:
        yield
    finally:
        sys.unraisablehook = previous_hook
        if keep:
            # Ignored, not merely handled: the interpreter restores the default action
            # (death by SIGINT) for handled signals while it shuts down, which a shell would
            # report as an interruption.
            _state.stopping = True
            if installed:
                signal.signal(signal.SIGINT, signal.SIG_IGN)
        else:
            if installed:
                signal.signal(signal.SIGINT, previous)
            _state = _State()


def published_when(test: Callable[[], object]) -> None:
    """Registers *test*, which tells (true) that the command has published its output. It is
    called from the Ctrl-C handler: cheap, and raising nothing it cares about."""
    _state.tests.append(test)


@contextlib.contextmanager
def deferred() -> Iterator[None]:
    """A Ctrl-C in the block is raised when it ends (unless the command has published by then):
    for making something together with the arrangement that removes it again."""
    st = _state
    st.deferring += 1
    try:
        yield
    finally:
        st.deferring -= 1
    if not st.deferring and st.pending:
        st.pending = False
        if not st.stopping and not published():
            st.stopping = True
            raise KeyboardInterrupt


def file_identity(path: str | bytes) -> Identity:
    """(device, inode) of the file at *path* (following links), or None when there is none."""
    try:
        st = os.stat(path)
    except OSError:
        return None
    return (st.st_dev, st.st_ino)


def set_is(directory: str, build_id: str) -> Callable[[], bool]:
    """A test for :func:`published_when`: whether the set in *directory* is now the one with
    *build_id* (its manifest, written last, names it). Reads the manifest's bytes without
    parsing them: the test runs in the Ctrl-C handler."""
    from tarnkv.sets.manifest import MANIFEST

    path = os.path.join(directory, MANIFEST)
    mark = build_id.encode()

    def test() -> bool:
        try:
            with open(path, "rb") as f:
                return mark in f.read()
        except OSError:
            return False

    return test


def changed(path: str | bytes) -> Callable[[], bool]:
    """A test for :func:`published_when`: whether *path* names another file than it does now
    (a publication that renames a new file over it, or makes it)."""
    before = file_identity(path)

    def test() -> bool:
        now = file_identity(path)
        return now is not None and now != before

    return test


def replace(tmp: str, target: str) -> None:
    """``os.replace(tmp, target)`` as the command's publication: from the moment the rename has
    happened, Ctrl-C no longer stops the command."""
    mine = file_identity(tmp)
    if mine is not None:
        published_when(lambda: file_identity(target) == mine)
    os.replace(tmp, target)
