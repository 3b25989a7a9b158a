"""Reacting to changes: effects, watchers, batches, untracked reads, touch,
kept errors in pickles, and traces of what recomputed."""

import gc
import pickle
import threading
import weakref

import pytest

import tarn
from tarn import CycleError, Graph, Input, Model, NodeNotFound, computed, graph_of


def priced():
    g = Graph()
    g["qty"], g["price"] = 2, 5.0
    g.node(lambda g: g["qty"] * g["price"], name="total")
    return g


class TestEffects:
    def test_an_effect_runs_now_and_after_each_change_to_what_it_read(self):
        g, seen = priced(), []
        e = tarn.effect(lambda: seen.append(g["total"]))
        assert seen == [10.0]
        g["qty"] = 3
        assert seen == [10.0, 15.0]
        g["qty"] = 3                            # the same object: no change
        g["other"] = 1                          # nothing it read
        assert seen == [10.0, 15.0]
        e.dispose()
        g["qty"] = 4
        assert seen == [10.0, 15.0] and "disposed" in repr(e)

    def test_reads_are_recorded_afresh_and_cleanups_run_before_each_run(self):
        g, log = Graph(), []
        g["flag"], g["a"], g["b"] = True, 1, 2

        def body():
            value = g["a"] if g["flag"] else g["b"]
            log.append(value)
            return lambda: log.append(f"cleanup {value}")

        with tarn.effect(body):
            g["b"] = 20                         # not read: nothing runs
            g["flag"] = False
            g["a"] = 10                         # not read any more
            g["b"] = 30
        assert log == [1, "cleanup 1", 20, "cleanup 20", 30, "cleanup 30"]

    def test_effects_run_once_per_change_in_order_and_queue_their_own_changes(self):
        g, log = Graph(), []
        g["x"], g["y"] = 0, 0
        tarn.effect(lambda: log.append(("first", g["x"])))
        # The second sets y, which the third reads: the third runs in the
        # next round, never nested in the second.
        tarn.effect(lambda: (log.append(("second", g["x"])), g.__setitem__("y", g["x"] * 10)))
        tarn.effect(lambda: log.append(("third", g["y"])))
        log.clear()
        g["x"] = 1
        assert log == [("first", 1), ("second", 1), ("third", 10)]

    def test_an_effect_that_never_settles_is_stopped_by_name(self):
        g = Graph()
        g["n"] = 0

        def restless():
            g["n"] = g["n"] + 1

        e = tarn.effect(restless)
        with pytest.raises(RuntimeError, match=r"<Effect .*restless.*has not settled after 100 rounds"):
            g["n"] = 5
        e.dispose()

    def test_failures_of_effects_are_raised_after_every_effect_ran(self):
        g, log = Graph(), []
        g["x"] = 0

        def failing(tag):
            def body():
                if g["x"]:
                    raise ValueError(tag)
                log.append(tag)
            return body

        tarn.effect(failing("a"))
        tarn.effect(lambda: log.append(("ok", g["x"])))
        with pytest.raises(ValueError, match="a"):
            g["x"] = 1
        assert log == ["a", ("ok", 0), ("ok", 1)]
        g["x"] = 0
        tarn.effect(failing("b"))
        with pytest.raises(ExceptionGroup) as info:
            g["x"] = 2
        assert sorted(str(e) for e in info.value.exceptions) == ["a", "b"]
        # A failed effect keeps what it read before it raised.
        g["x"] = 0
        assert log[-3:] == ["a", ("ok", 0), "b"]

    def test_an_interrupt_stops_the_round_and_the_rest_waits_for_the_next_change(self):
        g, log = Graph(), []
        g["x"], g["stop"] = 0, False

        def interrupting():
            if g["stop"] and g["x"] == 1:
                raise KeyboardInterrupt
            log.append(("first", g["x"]))

        tarn.effect(interrupting)
        tarn.effect(lambda: log.append(("second", g["x"])))
        g["stop"] = True
        log.clear()
        with pytest.raises(KeyboardInterrupt):
            g["x"] = 1
        assert log == []
        g["unrelated"] = 1                       # the next change runs them
        assert ("second", 1) in log

    def test_node_functions_may_not_make_or_dispose_effects_but_may_change_other_graphs(self):
        g, other, log = Graph(), Graph(), []
        other["x"] = 0
        g.node(lambda g: tarn.effect(lambda: None), name="making")
        with pytest.raises(RuntimeError, match="cannot create an effect while a node is computing"):
            g["making"]
        e = tarn.effect(lambda: log.append(other["x"]))
        g.node(lambda g: e.dispose(), name="disposing")
        with pytest.raises(RuntimeError, match="cannot dispose an effect"):
            g["disposing"]

        @g.node
        def setter(g):
            other["x"] = 5
            log.append("set")                   # the effect has not run yet
            return 1

        assert g["setter"] == 1 and log == [0, "set", 5]
        with pytest.raises(TypeError, match="asynchronous"):
            tarn.effect(self._coroutine)

    @staticmethod
    async def _coroutine():
        return None

    def test_effects_made_in_an_effects_run_belong_to_it(self):
        g, log = Graph(), []
        g["outer"], g["inner"] = 0, 0

        def outer():
            g["outer"]
            tarn.effect(lambda: log.append(g["inner"]))

        parent = tarn.effect(outer)
        assert log == [0]
        g["outer"] = 1                           # the old inner one goes
        g["inner"] = 1
        assert log == [0, 0, 1]
        parent.dispose()
        g["inner"] = 2
        assert log == [0, 0, 1]

    def test_effects_behind_stale_nodes_and_engine_invalidation(self):
        g, log = Graph(), []
        g["loop"] = True
        g.node(lambda g: g["b"] if g["loop"] else 1, name="a")
        g.node(lambda g: g["a"], name="b")

        def watch_a():
            try:
                log.append(g["a"])
            except CycleError:
                log.append("cycle")

        tarn.effect(watch_a)
        assert log == ["cycle"]
        g["loop"] = False
        assert log == ["cycle", 1]
        g.engine.invalidate("a")                 # through the engine: pending
        assert log == ["cycle", 1]
        g["unrelated"] = 0                       # ...runs at the next change
        assert log == ["cycle", 1, 1]

    def test_effects_keep_alive_what_they_read_and_are_collected_with_it(self):
        log = []
        g = Graph()
        g["x"] = 1
        probe = weakref.ref(g)
        e = tarn.effect(lambda: log.append(probe()["x"]))
        del g
        gc.collect()
        assert probe() is not None               # held by the effect
        e.dispose()
        gc.collect()
        assert probe() is None
        # Nothing refers to an effect or to what it read: collected unrun.
        h = Graph()
        h["x"] = 1
        tarn.effect(lambda: log.append(h["x"]))
        effect_probe, graph_probe = weakref.ref(tarn._reactions._registry[max(tarn._reactions._registry)]()), weakref.ref(h)
        del h
        gc.collect()
        assert effect_probe() is None and graph_probe() is None

    def test_effects_run_in_the_thread_whose_change_made_them_stale(self):
        g = Graph()
        g["x"] = 0
        threads = []
        e = tarn.effect(lambda: threads.append((g["x"], threading.get_ident())))
        worker = threading.Thread(target=g.__setitem__, args=("x", 1))
        worker.start()
        worker.join()
        assert threads[-1] == (1, worker.ident)
        e.dispose()


class TestWatchers:
    def test_watchers_see_old_and_new_values_after_changes(self):
        g, calls = priced(), []
        w = g.watch("total", lambda old, new: calls.append((old, new)))
        assert calls == []
        g["qty"] = 3
        assert calls == [(10.0, 15.0)]
        with tarn.batch():                       # changed twice, equal at the end
            g["qty"], g["price"] = 6, 2.5
        assert calls == [(10.0, 15.0)]
        w.dispose()

    def test_a_watcher_follows_the_name_and_reports_failures(self):
        g, calls = Graph(), []
        g["x"] = 1
        g.node(lambda g: g["x"] + 1, name="y")
        w = g.watch("y", lambda old, new: calls.append((old, new)))
        g.node(lambda g: g["x"] * 100, name="y")   # registered over it
        assert calls == [(2, 100)]
        g["x"] = 0
        assert calls == [(2, 100), (100, 0)]
        with pytest.raises(ZeroDivisionError):
            g.node(lambda g: 1 // g["x"], name="y")
        g["x"] = 1                               # it computes again
        assert calls == [(2, 100), (100, 0), (0, 1)]
        with pytest.raises(NodeNotFound):
            del g["y"]
        g["y"] = 7
        assert calls[-1] == (1, 7)
        w.dispose()

    def test_watchers_of_model_attributes_use_their_equality(self):
        class Order(Model):
            qty: Input[int] = Input(1)
            price: Input[float] = Input(2.0)

            @computed(cutoff=lambda old, new: round(old) == round(new))
            def total(self) -> float:
                return self.qty * self.price

        order, calls = Order(), []
        with tarn.watch(order, "total", lambda old, new: calls.append((old, new))):
            order.price = 2.1                    # 2.1 rounds like 2.0
            order.qty = 5
        assert calls == [(2.0, 10.5)]


class TestBatchesAndUpdates:
    def test_effects_run_once_at_the_end_of_the_outermost_batch(self):
        g, seen = priced(), []
        tarn.effect(lambda: seen.append(g["total"]))
        with tarn.batch():
            g["qty"] = 3
            with tarn.batch():
                g["price"] = 1.0
            assert seen == [10.0] and g["total"] == 3.0   # reads see the sets
        assert seen == [10.0, 3.0]
        with pytest.raises(LookupError):
            with tarn.batch():
                g["qty"] = 4
                raise LookupError("the block fails")
        assert seen == [10.0, 3.0, 4.0]
        g.update({"qty": 1, "price": 2.0})
        assert seen[-1] == 2.0 and len(seen) == 4

    def test_update_and_touch_of_model_instances(self):
        class Basket(Model):
            items: Input[list] = Input(())
            discount: Input[float] = Input(0.0)

            @computed
            def total(self) -> float:
                return sum(self.items) * (1 - self.discount)

        basket, seen = Basket(items=[1, 2]), []
        tarn.effect(lambda: seen.append(basket.total))
        tarn.update(basket, items=[10], discount=0.5)
        assert seen == [3, 5.0]
        basket.items.append(10)
        tarn.touch(basket, "items")
        assert seen == [3, 5.0, 10.0]
        with pytest.raises(TypeError, match="cannot touch 'total': it is a computed node"):
            tarn.touch(basket, "total")


class TestUntracked:
    def test_untracked_reads_are_recorded_nowhere(self):
        g = Graph()
        g["a"], g["b"] = 1, 2

        @g.node
        def c(g):
            with tarn.untracked():
                b = g["b"]
            return g["a"] + b + g.peek("b")

        assert g["c"] == 5 and g.dependencies("c") == ("a",)
        seen = []
        tarn.effect(lambda: seen.append((g["a"], g.peek("b"))))
        g["b"] = 20
        assert seen == [(1, 2)]
        g["a"] = 10
        assert seen == [(1, 2), (10, 20)]


class TestKeptErrorsAndTraces:
    def test_a_kept_error_comes_back_stale_from_a_pickle(self):
        g = Graph()
        g["d"] = 0
        g.node(divide, name="ratio")
        with pytest.raises(ZeroDivisionError):
            g["ratio"]
        assert g.engine.nodes["ratio"].kept
        back = pickle.loads(pickle.dumps(g))
        assert not back.engine.nodes["ratio"].is_valid
        back["d"] = 4
        assert back["ratio"] == 0.25

    def test_a_trace_says_why_a_node_recomputed(self):
        g = priced()
        g.node(lambda g: g["total"] * 1.2, name="gross")
        g["gross"]
        with tarn.trace() as log:
            g["qty"] = 3
            assert g["gross"] == 18.0
        kinds = [type(event).__name__ for event in log]
        assert kinds == ["Change", "Computation", "Computation"]
        assert str(log).splitlines()[0] == "set qty: invalidated total, gross"
        chain = log.why(g, "gross")
        assert [str(event) for event in chain] == [
            "set qty: invalidated total, gross",
            "computed total (changed), read qty, price",
            "computed gross (changed), read total",
        ]
        assert log.why(g, "price") == []
        with tarn.trace() as quiet:
            g["gross"]
        assert len(quiet) == 0


def divide(g):
    return 1 / g["d"]
