"""Fixtures for every suite under tests/; the plain helpers are in store_helpers.py."""

import itertools
import signal

import pytest

# A suite started in the background (`cmd &` in a script) begins with SIGINT ignored, and every
# process it starts would inherit that; the tests that send Ctrl-C need it delivered. A handler
# of our own is reset to the default in each child.
if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)

from store_helpers import raw_store, write_store


@pytest.fixture
def make_store(tmp_path):
    """make(mapping={key: object bytes}, extra_objects=(), name=None) -> path of a built store."""
    counter = itertools.count()

    def make(mapping=None, extra_objects=(), name=None):
        path = tmp_path / (name or f"s{next(counter)}.trnk")
        return write_store(path, mapping or {}, extra_objects)

    return make


@pytest.fixture
def craft(tmp_path):
    """craft(content=None, **raw_store_arguments) -> path of a file holding those bytes."""
    counter = itertools.count()

    def make(content=None, **kw):
        path = tmp_path / f"raw{next(counter)}.trnk"
        path.write_bytes(raw_store(**kw) if content is None else content)
        return str(path)

    return make
