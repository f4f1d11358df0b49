"""The ``tarnkv`` command: build stores from data files, look inside them, check and install them.

``main()`` is the console script's entry point and ``python -m tarnkv``'s; ``tarnkv --help``
lists the subcommands and each ``--help`` shows examples.
"""

from __future__ import annotations

import argparse
import gc
import os
import sys
from collections.abc import Callable, Sequence

from tarnkv.cli import interrupts
from tarnkv.cli.errors import FAIL, CliError, os_error_text

__all__ = ["main"]


def _command(name: str) -> Callable[[argparse.Namespace], int]:
    # Imported on demand: `tarnkv get` should not pay for pyarrow or rich.
    if name == "build":
        from tarnkv.cli import cmd_build

        return cmd_build.run
    if name in ("get", "keys", "prefix", "dump"):
        from tarnkv.cli import cmd_query

        return getattr(cmd_query, name)  # type: ignore[no-any-return]
    if name == "stats":
        from tarnkv.cli import cmd_stats

        return cmd_stats.run
    if name == "verify":
        from tarnkv.cli import cmd_verify

        return cmd_verify.run
    if name == "cp":
        from tarnkv.cli import cmd_cp

        return cmd_cp.run
    if name == "merge":
        from tarnkv.cli import cmd_merge

        return cmd_merge.run
    from tarnkv.cli import cmd_diff

    return cmd_diff.run


def _say(message: str) -> None:
    try:
        sys.stderr.write(f"tarnkv: {message}\n")
        sys.stderr.flush()
    except OSError:
        pass


def _flush_stdout() -> None:
    try:
        sys.stdout.flush()
    except (OSError, ValueError):
        pass


def _silence_stdout() -> None:
    """After the reader of our output went away: nothing more may reach the closed pipe, not
    even the interpreter's final flush."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError):
        pass


def main(argv: Sequence[str] | None = None) -> int:
    """Runs one command line; returns the exit status (0 yes, 1 no, 2 usage/input/I/O error)."""
    # The commands make no reference cycles; the cyclic collector would only rescan the
    # batches of records in flight, thousands of times over a large build or dump.
    gc_was_on = gc.isenabled()
    gc.disable()
    try:
        # Ctrl-C stops a command only until it has published its output (cli/interrupts.py).
        # As the process's own command line (no argv), the handling stays to the end: a
        # Ctrl-C in the last moments must not turn what happened into a traceback.
        with interrupts.handling(keep=argv is None):
            return _run(argv)
    finally:
        if gc_was_on:
            gc.enable()


def _run(argv: Sequence[str] | None) -> int:
    try:
        from tarnkv.cli.parser import build_parser

        args = build_parser().parse_args(argv)
        options = getattr(args, "storage_options", None)
        if options:
            from tarnkv.cli import stores

            stores.use_storage_options(dict(options))
        status = _command(args.command)(args)
        sys.stdout.flush()
        return status
    except CliError as exc:
        _flush_stdout()  # what was printed before the failure comes before its message
        _say(exc.message)
        return exc.status
    except BrokenPipeError:
        # `tarnkv dump big.trnk | head`: the reader has all it wanted.
        _silence_stdout()
        return 0
    except KeyboardInterrupt:
        _say("interrupted")
        return 130
    except MemoryError:
        _say("out of memory")
        return FAIL
    except OSError as exc:
        _say(os_error_text(exc))
        return FAIL
