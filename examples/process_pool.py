"""Build a graph once, ship it to worker processes, price orders there.

The engine is pickled once per worker (as the pool's initialiser argument);
each worker then evaluates the graph for the orders it is given. Its node
functions live in `pricing.py`, a module the workers can import, since
functions travel by module and name.

Run it with ``python examples/process_pool.py`` where tarn is installed.
"""

import multiprocessing
import os
from concurrent.futures import ProcessPoolExecutor
from typing import Any

# Spawned workers inherit this sys.path, whose first entry (this script's
# directory) lets them import `pricing` as well.
import pricing


def price_here(order: dict[str, Any]) -> tuple[int, float]:
    """A task: the order's total and the process that computed it."""
    return os.getpid(), pricing.price(order)


def main() -> None:
    engine = pricing.build(rate=0.2)
    orders = [{"lines": [(10.0, n), (2.5, 2 * n)]} for n in range(1, 9)]

    # One local pass gives the reference results and records the edges
    # (tax and total become dependents of subtotal) that the copies carry.
    expected = [pricing.price(order) for order in orders]
    print("recorded:", {name: [d.name for d in node.dependents]
                        for name, node in engine.nodes.items()})

    # "spawn" starts clean interpreters, as on other platforms or machines:
    # nothing is inherited, everything the workers use arrives pickled.
    context = multiprocessing.get_context("spawn")
    with ProcessPoolExecutor(max_workers=2, mp_context=context,
                             initializer=pricing.install,
                             initargs=(engine,)) as pool:
        answers = list(pool.map(price_here, orders))

    results = [total for _, total in answers]
    print("totals:", results)
    print("all computed in workers:", all(pid != os.getpid() for pid, _ in answers))
    assert results == expected, (results, expected)
    # The workers invalidated and re-evaluated their own copies only.
    print("local engine still holds:", engine.nodes["total"].cached_value)


if __name__ == "__main__":
    main()
