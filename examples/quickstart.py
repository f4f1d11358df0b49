"""A small program using the public API, type-checked with mypy --strict in the tests."""

from __future__ import annotations

import sys
import tempfile
from pathlib import Path

import tarnkv


def main() -> int:
    path = Path(tempfile.mkdtemp()) / "products.trnk"
    with tarnkv.TarnWriter.create(path) as w:
        for n in range(1000):
            sku, ean = f"sku:{n:05d}", f"ean:{4000000000000 + n}"
            w.put(sku, {"name": f"product {n}", "price_cents": 100 + n, "tags": ["a", "b"]}, ean)

    with tarnkv.open(path) as r:
        first: dict[str, object] = r["sku:00000"]
        assert r["ean:4000000000000"] == first
        in_stock = [k for k, _ in r.prefix("sku:0001", limit=3)]
        batch = r.get_many(["sku:00001", "missing"], default={})
        raw: bytes | None = r.get_raw("sku:00002")
        view = r.get_view("sku:00003")
        size = len(view) if view is not None else 0
        print(len(r), r.count_prefix("ean:"), in_stock, batch[1], raw is not None, size)
        print(r.stats()["num_objects"], r.verify(), tarnkv.key_hash("sku:00001") % 16)
        try:
            r["nope"]
        except KeyError:
            pass
    try:
        tarnkv.open(path.with_suffix(".missing"))
    except FileNotFoundError as e:
        print("missing:", e.filename)
    except tarnkv.TarnError as e:
        print("other:", e)
    return 0


if __name__ == "__main__":
    sys.exit(main())
