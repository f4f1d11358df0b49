"""Fixtures for the package tests: stores built through the public writer."""

import pytest

import tarnkv


@pytest.fixture
def build(tmp_path):
    """build(mapping, **writer options) -> path of a store holding each value under its key."""
    counter = iter(range(1_000_000))

    def make(mapping, name=None, **options):
        path = tmp_path / (name or f"s{next(counter)}.trnk")
        w = tarnkv.TarnWriter(**options)
        for key, value in mapping.items():
            w.put(key, value)
        w.build(path)
        return path

    return make

