"""Evaluate many scenarios of one graph and of many models on a Dask cluster.

A book of bonds is built and computed once here, then shipped by pickle to
the workers, where each scenario sets one input of its copy and reads the
total; bonds (models) are shipped the same way and repriced. The workers
only recompute what a scenario changes. Needs `dask[distributed]`.

Run: ``python examples/dask_scenarios.py`` (tarn must be installed).
"""

# distributed's client API carries no annotations on these calls.
# mypy: disable-error-code="no-untyped-call"

from __future__ import annotations

import warnings

from distributed import Client, LocalCluster, wait

import portfolio


def run(client: Client, shifts: list[float], rates: list[float], timeout: float = 120) -> tuple[
        list[tuple[float, float]], list[tuple[float, bool]]]:
    book = portfolio.build_book(200)
    book["total"]                          # computed once, shipped valid
    # One copy per worker, shared by the tasks that run there: each task
    # sets the shift it needs, so the copy's cache serves them all.
    [remote_book] = client.scatter([book], broadcast=True)
    totals = client.map(portfolio.shifted_total, [remote_book] * len(shifts), shifts, pure=False)
    bonds = [portfolio.Bond(coupon=0.01 * (n % 9), years=1 + n % 30) for n in range(len(rates))]
    prices = client.map(portfolio.repriced, bonds, rates, pure=False)
    wait(totals + prices, timeout=timeout)
    return client.gather(totals), client.gather(prices)


def main() -> None:
    shifts = [n / 1000 for n in range(-20, 21)]
    rates = [0.001 * n for n in range(1, 101)]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                          dashboard_address=None) as cluster, Client(cluster) as client:
            totals, prices = run(client, shifts, rates)
    for shift, total in totals[::10]:
        print(f"shift {shift:+.3f}: book total {total:,.2f}")
    print(f"{sum(above for _, above in prices)} of {len(prices)} bonds above par")


if __name__ == "__main__":
    main()
