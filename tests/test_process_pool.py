"""One graph built in the test process and shipped to spawned workers."""

import multiprocessing
from concurrent.futures import ProcessPoolExecutor

import pytest

import pool_funcs

OBJECTS = [1, 2, 3, 5, 8, 13]


@pytest.fixture(scope="module")
def pool():
    engine = pool_funcs.build()
    local = [pool_funcs.price(obj) for obj in OBJECTS]  # also records the edges
    context = multiprocessing.get_context("spawn")
    with ProcessPoolExecutor(2, mp_context=context, initializer=pool_funcs.install,
                             initargs=(engine, context.Barrier(2))) as executor:
        yield engine, local, executor


def test_workers_agree_with_local_evaluation(pool):
    # The copies arrive valid with the values for 13: a worker's first
    # object gets a fresh total only if invalidating "base" follows the
    # recorded edges up to "total".
    _, local, executor = pool
    assert list(executor.map(pool_funcs.price, OBJECTS)) == local


def test_engine_arrives_with_its_recorded_edges(pool):
    engine, _, executor = pool
    dependents, linked, valid = executor.submit(pool_funcs.describe, engine).result(timeout=120)
    assert dependents == {"base": ["double"], "double": ["total"], "offset": [], "total": []}
    assert linked and valid == dict.fromkeys(dependents, True)


def test_worker_engines_are_independent(pool):
    # Both tasks wait at one barrier, so they run in two workers at once,
    # and the second reports after the first has invalidated its engine.
    engine, local, executor = pool
    first, second = (executor.submit(pool_funcs.probe, flag) for flag in (True, False))
    (pid1, valid1), (pid2, valid2) = first.result(timeout=120), second.result(timeout=120)
    assert pid1 != pid2
    assert valid1 == {"base": False, "double": False, "offset": True, "total": False}
    assert valid2 == dict.fromkeys(valid1, True)
    assert all(pool_funcs.validity(engine).values())
    assert engine.nodes["total"].cached_value == local[-1]
