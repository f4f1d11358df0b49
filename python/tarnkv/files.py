"""File-system steps that several parts of the package take alike (public: the command line
uses them too)."""

from __future__ import annotations

import os

__all__ = ["sync_directory"]


def sync_directory(directory: str) -> None:
    """Flushes *directory*'s entries (a rename or a new file in it) to the disk."""
    fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)
