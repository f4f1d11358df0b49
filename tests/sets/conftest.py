"""One Dask cluster of two worker processes for every test of the session that needs one."""

from __future__ import annotations

import logging

import cloudpickle
import pytest

from sets import set_helpers


@pytest.fixture(scope="session")
def dask_client():
    """A distributed.Client on a LocalCluster of 2 worker processes, closed (workers and all)
    when the session ends. The helpers' codecs travel by value: workers don't import tests."""
    distributed = pytest.importorskip("distributed")
    cloudpickle.register_pickle_by_value(set_helpers)
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0",
                                       silence_logs=logging.CRITICAL)
    client = distributed.Client(cluster, set_as_default=False)
    try:
        yield client
    finally:
        client.close()
        cluster.close()
        cloudpickle.unregister_pickle_by_value(set_helpers)


@pytest.fixture
def cluster(dask_client):
    """The session's client, current for the test."""
    with dask_client.as_current():
        yield dask_client
