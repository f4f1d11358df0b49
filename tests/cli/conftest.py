"""Fixtures of the command-line tests; the helpers themselves are in cli_helpers."""

from __future__ import annotations

from pathlib import Path

import pytest
from cli.cli_helpers import run_cli


@pytest.fixture
def cli():
    return run_cli


@pytest.fixture
def products(tmp_path: Path) -> list[dict]:
    return [
        {"sku": f"SKU-{i:03d}", "ean": 4006381333900 + i, "name": f"Product {i}, \"quoted\"" + ("\nsecond line" if i == 5 else ""),
         "price": i * 1.25, "tags": ["a", "b"][: i % 3]}
        for i in range(1, 41)
    ]
