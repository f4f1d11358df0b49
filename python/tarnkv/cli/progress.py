"""Progress bars on standard error, only when it is a terminal and the user did not ask for quiet.

Bars are redrawn by the working thread at most ten times a second (no refresh thread), so the
cost of a bar is a clock read per batch of records.
"""

from __future__ import annotations

import sys
import time
from types import TracebackType
from typing import Any

REFRESH = 0.1


def wanted(quiet: bool) -> bool:
    return not quiet and sys.stderr.isatty()


class Bar:
    """One bar: bytes done of a total (None when unknown), and optionally a record rate."""

    def __init__(self, owner: Progress, task: Any, with_records: bool) -> None:
        self._owner = owner
        self._task = task
        self._with_records = with_records
        self._start = time.monotonic()
        self._next = 0.0

    def update(self, done: int, records: int = 0, *, force: bool = False) -> None:
        now = time.monotonic()
        if not force and now < self._next:
            return
        self._next = now + REFRESH
        fields = {}
        if self._with_records:
            elapsed = now - self._start
            rate = records / elapsed if elapsed > 0 else 0.0
            fields["rate"] = f"{records:,} records, {rate:,.0f}/s"
        self._owner.update(self._task, done, fields)


class _NullBar(Bar):
    def __init__(self) -> None:
        pass

    def update(self, done: int, records: int = 0, *, force: bool = False) -> None:
        pass


class Progress:
    """A set of bars; a disabled one draws nothing and costs next to nothing."""

    def __init__(self, enabled: bool) -> None:
        self.enabled = enabled
        self._rich: Any = None

    def __enter__(self) -> Progress:
        if self.enabled:
            try:
                from rich.console import Console
                from rich.progress import (BarColumn, DownloadColumn, Progress as RichProgress,
                                           ProgressColumn, TextColumn, TimeRemainingColumn)
                from rich.text import Text
            except ImportError:  # rich is optional: no bar then
                return self

            class Amount(ProgressColumn):
                """Bytes, as DownloadColumn shows them, or a count of the bar's own unit."""

                def __init__(self) -> None:
                    super().__init__()
                    self._bytes = DownloadColumn()

                def render(self, task: Any) -> Any:
                    unit = task.fields.get("unit")
                    if not unit:
                        return self._bytes.render(task)
                    total = "?" if task.total is None else f"{int(task.total):,}"
                    return Text(f"{int(task.completed):,}/{total} {unit}", style="progress.download")

            self._rich = RichProgress(
                TextColumn("{task.description}"),
                BarColumn(),
                Amount(),
                TextColumn("{task.fields[rate]}"),
                TimeRemainingColumn(),
                console=Console(stderr=True),
                auto_refresh=False,
                transient=True,
            )
            self._rich.start()
        return self

    def __exit__(self, et: type[BaseException] | None, ev: BaseException | None,
                 tb: TracebackType | None) -> None:
        if self._rich is not None:
            self._rich.stop()
            self._rich = None

    def bar(self, label: str, total: int | None, *, records: bool = False, unit: str = "") -> Bar:
        """A bar of bytes, or of ``unit`` (``"shards"``) when given."""
        if self._rich is None:
            return _NullBar()
        task = self._rich.add_task(label, total=total, rate="", unit=unit)
        return Bar(self, task, records)

    def done(self, bar: Bar) -> None:
        if self._rich is not None and isinstance(bar, Bar) and not isinstance(bar, _NullBar):
            self._rich.remove_task(bar._task)

    def update(self, task: Any, done: int, fields: dict[str, str]) -> None:
        self._rich.update(task, completed=done, **fields)
        self._rich.refresh()

    def callback(self, bar: Bar) -> Any:
        """A ``progress(done, total)`` callback for the package's long operations, or None."""
        if self._rich is None:
            return None

        def progress(done: int, total: int) -> None:
            bar.update(done, force=done >= total)

        return progress
