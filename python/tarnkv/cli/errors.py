"""Exit statuses and the one exception type the subcommands raise for anything a user can cause."""

from __future__ import annotations

import errno

OK = 0
NO = 1  # the answer is no: a key is missing, a store is corrupt, two stores differ
FAIL = 2  # usage, bad input or an I/O error


class CliError(Exception):
    """Ends the command with one line on standard error and the given exit status."""

    def __init__(self, message: str, status: int = FAIL) -> None:
        super().__init__(message)
        self.message = message
        self.status = status


class BadInput(CliError):
    """A record of an input file can't become part of the store: names the file and line."""

    def __init__(self, where: str, problem: str) -> None:
        super().__init__(f"{where}: {problem}", FAIL)
        self.where = where
        self.problem = problem


# Failures only writing causes: one that names no file is about the output being written.
_WRITE_ERRNOS = frozenset({errno.ENOSPC, errno.EDQUOT, errno.EFBIG, errno.EROFS})


def os_error_text(exc: OSError, output: str | None = None) -> str:
    """``FILE: reason`` for an OSError, without Python's ``[Errno N]`` decoration. A failure
    to write (a full disk) that names no file is named after *output*, when given."""
    reason = exc.strerror or str(exc)
    name = exc.filename
    if name is None and output is not None and exc.errno in _WRITE_ERRNOS:
        name = output
    if name is None:
        return reason
    if isinstance(name, bytes):
        name = name.decode("utf-8", "replace")
    return f"{name}: {reason}"
