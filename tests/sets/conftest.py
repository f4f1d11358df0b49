"""One Dask cluster of two worker processes for every test of the session that needs one."""

from __future__ import annotations

import os

import cloudpickle
import pytest

from sets import set_helpers
from tarnkv.cli.cmd_build_set import local_cluster


@pytest.fixture(scope="session")
def dask_client():
    """A distributed.Client on a LocalCluster of 2 worker processes, closed (workers and all)
    when the session ends. The helpers' codecs travel by value: workers don't import tests."""
    distributed = pytest.importorskip("distributed")
    cloudpickle.register_pickle_by_value(set_helpers)
    # Starting workers sets variables in this process's environment for them (a fixed hash
    # seed, ...): the commands other tests run must not inherit them.
    environ = dict(os.environ)
    cluster = local_cluster(2)  # as `tarnkv build --workers 2` starts its own
    client = distributed.Client(cluster, set_as_default=False)
    _restore(environ)
    try:
        yield client
    finally:
        client.close()
        cluster.close()
        cloudpickle.unregister_pickle_by_value(set_helpers)
        _restore(environ)


def _restore(environ: dict[str, str]) -> None:
    os.environ.clear()
    os.environ.update(environ)


@pytest.fixture
def cluster(dask_client):
    """The session's client, current for the test."""
    with dask_client.as_current():
        yield dask_client
