"""Scenarios evaluated on a Dask cluster of worker processes agree with the
same scenarios evaluated here (the graph and models travel by pickle)."""

import os
import sys
import warnings
from pathlib import Path

import pytest

pytestmark = [
    pytest.mark.dask,
    pytest.mark.skipif(bool(os.environ.get("TARN_SANITIZER_RUN"))
                       or "asan" in os.environ.get("LD_PRELOAD", ""),
                       reason="not part of the sanitizer run"),
]
distributed = pytest.importorskip("distributed")

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"


def test_scenarios_on_worker_processes_match_local_results(monkeypatch):
    # Spawned workers start with this process's sys.path, so they import
    # the example's module as it is imported here.
    monkeypatch.setattr(sys, "path", [str(EXAMPLES)] + sys.path)
    import dask_scenarios
    import portfolio

    shifts = [-0.01, 0.0, 0.005, 0.02]
    rates = [0.001, 0.03, 0.05, 0.2]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                      dashboard_address=None) as cluster, \
                distributed.Client(cluster, timeout=120) as client:
            totals, prices = dask_scenarios.run(client, shifts, rates, timeout=120)
            workers = client.run(os.getpid)

    assert len(set(workers.values()) - {os.getpid()}) == 2
    book = portfolio.build_book(200)
    assert totals == [portfolio.shifted_total(book, shift) for shift in shifts]
    bonds = [portfolio.Bond(coupon=0.01 * (n % 9), years=1 + n % 30) for n in range(len(rates))]
    assert prices == [portfolio.repriced(bond, rate) for bond, rate in zip(bonds, rates)]
