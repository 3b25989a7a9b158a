"""Reacting to changes: effects, watchers, batches, untracked reads, touch,
kept errors in pickles, and traces of what recomputed."""

import gc
import pickle
import threading
import weakref

import pytest

from layer_funcs import Formula
from tarn import Input


def priced(layer):
    g = layer.Graph()
    g["qty"], g["price"] = 2, 5.0
    g.node(lambda g: g["qty"] * g["price"], name="total")
    return g


class TestEffects:
    def test_an_effect_runs_now_and_after_each_change_to_what_it_read(self, layer):
        g, seen = priced(layer), []
        e = layer.effect(lambda: seen.append(g["total"]))
        assert seen == [10.0]
        g["qty"] = 3
        assert seen == [10.0, 15.0]
        g["qty"] = 3                            # the same object: no change
        g["other"] = 1                          # nothing it read
        assert seen == [10.0, 15.0]
        e.dispose()
        g["qty"] = 4
        assert seen == [10.0, 15.0] and "disposed" in repr(e)

    def test_reads_are_recorded_afresh_and_cleanups_run_before_each_run(self, layer):
        g, log = layer.Graph(), []
        g["flag"], g["a"], g["b"] = True, 1, 2

        def body():
            value = g["a"] if g["flag"] else g["b"]
            log.append(value)
            return lambda: log.append(f"cleanup {value}")

        with layer.effect(body):
            g["b"] = 20                         # not read: nothing runs
            g["flag"] = False
            g["a"] = 10                         # not read any more
            g["b"] = 30
        assert log == [1, "cleanup 1", 20, "cleanup 20", 30, "cleanup 30"]

    def test_effects_run_once_per_change_in_order_and_queue_their_own_changes(self, layer):
        g, log = layer.Graph(), []
        g["x"], g["y"] = 0, 0
        layer.effect(lambda: log.append(("first", g["x"])))
        # The second sets y, which the third reads: the third runs in the
        # next round, never nested in the second.
        layer.effect(lambda: (log.append(("second", g["x"])), g.__setitem__("y", g["x"] * 10)))
        layer.effect(lambda: log.append(("third", g["y"])))
        log.clear()
        g["x"] = 1
        assert log == [("first", 1), ("second", 1), ("third", 10)]

    def test_an_effect_that_never_settles_is_stopped_by_name(self, layer):
        g = layer.Graph()
        g["n"] = 0

        def restless():
            g["n"] = g["n"] + 1

        e = layer.effect(restless)
        with pytest.raises(RuntimeError, match=r"<Effect .*restless.*has not settled after 100 rounds"):
            g["n"] = 5
        e.dispose()

    def test_failures_of_effects_are_raised_after_every_effect_ran(self, layer):
        g, log = layer.Graph(), []
        g["x"] = 0

        def failing(tag):
            def body():
                if g["x"]:
                    raise ValueError(tag)
                log.append(tag)
            return body

        layer.effect(failing("a"))
        layer.effect(lambda: log.append(("ok", g["x"])))
        with pytest.raises(ValueError, match="a"):
            g["x"] = 1
        assert log == ["a", ("ok", 0), ("ok", 1)]
        g["x"] = 0
        layer.effect(failing("b"))
        with pytest.raises(ExceptionGroup) as info:
            g["x"] = 2
        assert sorted(str(e) for e in info.value.exceptions) == ["a", "b"]
        # A failed effect keeps what it read before it raised.
        g["x"] = 0
        assert log[-3:] == ["a", ("ok", 0), "b"]

    def test_an_interrupt_stops_the_round_and_the_rest_waits_for_the_next_change(self, layer):
        g, log = layer.Graph(), []
        g["x"], g["stop"] = 0, False

        def interrupting():
            if g["stop"] and g["x"] == 1:
                raise KeyboardInterrupt
            log.append(("first", g["x"]))

        layer.effect(interrupting)
        layer.effect(lambda: log.append(("second", g["x"])))
        g["stop"] = True
        log.clear()
        with pytest.raises(KeyboardInterrupt):
            g["x"] = 1
        assert log == []
        g["unrelated"] = 1                       # the next change runs them
        assert ("second", 1) in log

    def test_node_functions_may_not_make_or_dispose_effects_but_may_change_other_graphs(self, layer):
        g, other, log = layer.Graph(), layer.Graph(), []
        other["x"] = 0
        g.node(lambda g: layer.effect(lambda: None), name="making")
        with pytest.raises(RuntimeError, match="cannot create an effect while a node is computing"):
            g["making"]
        e = layer.effect(lambda: log.append(other["x"]))
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
            layer.effect(self._coroutine)

    @staticmethod
    async def _coroutine():
        return None

    def test_effects_made_in_an_effects_run_belong_to_it(self, layer):
        g, log = layer.Graph(), []
        g["outer"], g["inner"] = 0, 0

        def outer():
            g["outer"]
            layer.effect(lambda: log.append(g["inner"]))

        parent = layer.effect(outer)
        assert log == [0]
        g["outer"] = 1                           # the old inner one goes
        g["inner"] = 1
        assert log == [0, 0, 1]
        parent.dispose()
        g["inner"] = 2
        assert log == [0, 0, 1]

    def test_effects_behind_stale_nodes_and_engine_invalidation(self, layer):
        g, log = layer.Graph(), []
        g["loop"] = True
        g.node(lambda g: g["b"] if g["loop"] else 1, name="a")
        g.node(lambda g: g["a"], name="b")

        def watch_a():
            try:
                log.append(g["a"])
            except layer.CycleError:
                log.append("cycle")

        layer.effect(watch_a)
        assert log == ["cycle"]
        g["loop"] = False
        assert log == ["cycle", 1]
        g.engine.invalidate("a")                 # through the engine: pending
        assert log == ["cycle", 1]
        g["unrelated"] = 0                       # ...runs at the next change
        assert log == ["cycle", 1, 1]

    def test_effects_keep_alive_what_they_read_and_are_collected_with_it(self, layer):
        log = []
        g = layer.Graph()
        g["x"] = 1
        probe = weakref.ref(g)
        e = layer.effect(lambda: log.append(probe()["x"]))
        del g
        gc.collect()
        assert probe() is not None               # held by the effect
        e.dispose()
        gc.collect()
        assert probe() is None
        # Nothing refers to an effect or to what it read: collected unrun.
        h = layer.Graph()
        h["x"] = 1
        effect_probe = weakref.ref(layer.effect(lambda: log.append(h["x"])))
        graph_probe = weakref.ref(h)
        del h
        gc.collect()
        assert effect_probe() is None and graph_probe() is None

    def test_effects_run_in_the_thread_whose_change_made_them_stale(self, layer):
        g = layer.Graph()
        g["x"] = 0
        threads = []
        e = layer.effect(lambda: threads.append((g["x"], threading.get_ident())))
        worker = threading.Thread(target=g.__setitem__, args=("x", 1))
        worker.start()
        worker.join()
        assert threads[-1] == (1, worker.ident)
        e.dispose()


class TestWatchers:
    def test_watchers_see_old_and_new_values_after_changes(self, layer):
        g, calls = priced(layer), []
        w = g.watch("total", lambda old, new: calls.append((old, new)))
        assert calls == []
        g["qty"] = 3
        assert calls == [(10.0, 15.0)]
        with layer.batch():                       # changed twice, equal at the end
            g["qty"], g["price"] = 6, 2.5
        assert calls == [(10.0, 15.0)]
        w.dispose()

    def test_a_watcher_follows_the_name_and_reports_failures(self, layer):
        g, calls = layer.Graph(), []
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
        with pytest.raises(layer.NodeNotFound):
            del g["y"]
        g["y"] = 7
        assert calls[-1] == (1, 7)
        w.dispose()

    def test_watchers_of_model_attributes_use_their_equality(self, layer):
        class Order(layer.Model):
            qty: Input[int] = layer.Input(1)
            price: Input[float] = layer.Input(2.0)

            @layer.computed(cutoff=lambda old, new: round(old) == round(new))
            def total(self) -> float:
                return self.qty * self.price

        order, calls = Order(), []
        with layer.watch(order, "total", lambda old, new: calls.append((old, new))):
            order.price = 2.1                    # 2.1 rounds like 2.0
            order.qty = 5
        assert calls == [(2.0, 10.5)]


class TestBatchesAndUpdates:
    def test_effects_run_once_at_the_end_of_the_outermost_batch(self, layer):
        g, seen = priced(layer), []
        layer.effect(lambda: seen.append(g["total"]))
        with layer.batch():
            g["qty"] = 3
            with layer.batch():
                g["price"] = 1.0
            assert seen == [10.0] and g["total"] == 3.0   # reads see the sets
        assert seen == [10.0, 3.0]
        with pytest.raises(LookupError):
            with layer.batch():
                g["qty"] = 4
                raise LookupError("the block fails")
        assert seen == [10.0, 3.0, 4.0]
        g.update({"qty": 1, "price": 2.0})
        assert seen[-1] == 2.0 and len(seen) == 4

    def test_update_and_touch_of_model_instances(self, layer):
        class Basket(layer.Model):
            items: Input[list] = layer.Input(())
            discount: Input[float] = layer.Input(0.0)

            @layer.computed
            def total(self) -> float:
                return sum(self.items) * (1 - self.discount)

        basket, seen = Basket(items=[1, 2]), []
        layer.effect(lambda: seen.append(basket.total))
        layer.update(basket, items=[10], discount=0.5)
        assert seen == [3, 5.0]
        basket.items.append(10)
        layer.touch(basket, "items")
        assert seen == [3, 5.0, 10.0]
        with pytest.raises(TypeError, match="cannot touch 'total': it is a computed node"):
            layer.touch(basket, "total")
        # A refused name is refused before anything is set.
        with pytest.raises(AttributeError, match="did you mean 'discount'"):
            layer.update(basket, items=[1], discont=0.1)
        with pytest.raises(AttributeError):
            layer.update(basket, discount=0.1, total=3)
        assert basket.items == [10, 10] and basket.discount == 0.5

    def test_a_graph_update_refuses_before_it_sets(self, layer):
        g = layer.Graph()
        g["x"] = 1
        g.node(lambda g: g["x"] + 1, name="y")
        runs = []
        layer.effect(lambda: runs.append(g["y"]))
        with pytest.raises(TypeError):
            g.update({"x": 5, "y": 0})
        with pytest.raises(TypeError):
            g.update({"x": 5, 3: 0})
        assert g["x"] == 1 and runs == [2]
        g.update({"x": 5, "z": 0})              # a new name is a new input
        assert g["z"] == 0 and runs == [2, 6]

        class Item(layer.Model):
            qty: Input[int] = layer.Input(0)

        item = Item()
        with pytest.raises(TypeError):
            layer.graph_of(item).update({"qty": 1, "new": 2})
        assert item.qty == 0


class TestUntracked:
    def test_untracked_reads_are_recorded_nowhere(self, layer):
        g = layer.Graph()
        g["a"], g["b"] = 1, 2

        @g.node
        def c(g):
            with layer.untracked():
                b = g["b"]
            return g["a"] + b + g.peek("b")

        assert g["c"] == 5 and g.dependencies("c") == ("a",)
        seen = []
        layer.effect(lambda: seen.append((g["a"], g.peek("b"))))
        g["b"] = 20
        assert seen == [(1, 2)]
        g["a"] = 10
        assert seen == [(1, 2), (10, 20)]


class TestKeptErrorsAndTraces:
    def test_a_kept_error_is_raised_again_as_first_raised(self, layer):
        g = layer.Graph()
        g["d"] = 0
        cause = LookupError("cause")

        @g.node
        def ratio(g):
            try:
                return 1 / g["d"]
            except ZeroDivisionError:
                raise ValueError("no ratio") from cause

        def read_while_handling():
            try:
                raise IndexError("the reader's own")
            except IndexError:
                return g["ratio"]

        raised = []
        for _ in range(2):
            with pytest.raises(ValueError) as info:
                read_while_handling()
            raised.append(info.value)
        first, again = raised
        # The same object, chained as when the function raised it, not to
        # what the reader was handling.
        assert again is first and again.__cause__ is cause
        assert type(again.__context__) is ZeroDivisionError

    def test_readers_of_a_kept_error_come_back_stale_from_a_pickle(self, layer):
        g = layer.Graph()
        g["x"] = 0
        g.node(Formula(("x",), 0, None, False, 0), name="failing")     # raises at 0
        g.node(Formula(("failing",), 0, None, True, None), name="careful")  # -1 on a failure
        assert g["careful"] == -1
        back = pickle.loads(pickle.dumps(g))
        back["x"] = 2
        assert back["careful"] == 2

    def test_a_kept_error_comes_back_stale_from_a_pickle(self, layer):
        g = layer.Graph()
        g["d"] = 0
        g.node(divide, name="ratio")
        with pytest.raises(ZeroDivisionError):
            g["ratio"]
        assert g.engine.nodes["ratio"].kept
        back = pickle.loads(pickle.dumps(g))
        assert not back.engine.nodes["ratio"].is_valid
        back["d"] = 4
        assert back["ratio"] == 0.25

    def test_a_trace_says_why_a_node_recomputed(self, layer):
        g = priced(layer)
        g.node(lambda g: g["total"] * 1.2, name="gross")
        g["gross"]
        with layer.trace() as log:
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
        with layer.trace() as quiet:
            g["gross"]
        assert len(quiet) == 0

    def test_a_trace_tells_of_touches_cutoffs_restored_values_kept_errors_and_effects(self, layer):
        class Cart(layer.Model):
            items: Input[list] = layer.Input(())
            rate: Input[float] = layer.Input(1.0)

            @layer.computed(cutoff=True)
            def count(self):
                return len(self.items)

            @layer.computed
            def price(self):
                if self.rate <= 0:
                    raise ValueError("no rate")
                return self.count * self.rate

            @layer.computed
            def shown(self):
                try:
                    return f"{self.price:.2f}"
                except ValueError:
                    return "-"

        cart, shown = Cart(items=[1, 2]), []
        watcher = layer.watch(cart, "shown", lambda old, new: shown.append(new))
        with layer.trace() as log:
            cart.items[0] = 5
            layer.touch(cart, "items")
            cart.rate = 0.0
            layer.graph_of(cart)["rate"] = -1.0
        watcher.dispose()
        assert shown == ["-"]
        assert str(log).splitlines() == [
            "touch Cart.items: invalidated Cart.count, Cart.price, Cart.shown",
            "computed Cart.count (unchanged), read Cart.items",
            "Cart.price: nothing it read changed, previous value kept",
            "Cart.shown: nothing it read changed, previous value kept",
            "effect watch(Cart.shown) ran",
            "set Cart.rate: invalidated Cart.price, Cart.shown",
            "computed Cart.price (kept error), read Cart.rate",
            "computed Cart.shown (changed), read Cart.price",
            "effect watch(Cart.shown) ran",
            "set Cart.rate: invalidated Cart.price, Cart.shown",
            "computed Cart.price (kept error), read Cart.rate",
            "computed Cart.shown (changed), read Cart.price",
            "effect watch(Cart.shown) ran",
        ]
        why = [str(event) for event in log.why(cart, "shown")]
        assert why == [
            "set Cart.rate: invalidated Cart.price, Cart.shown",
            "computed Cart.price (kept error), read Cart.rate",
            "computed Cart.shown (changed), read Cart.price",
        ]
        # Asked of the instance or of its graph alike.
        assert [str(event) for event in log.why(layer.graph_of(cart), "shown")] == why
        assert [str(event) for event in log.why(cart, "count")] == [
            "touch Cart.items: invalidated Cart.count, Cart.price, Cart.shown",
            "computed Cart.count (unchanged), read Cart.items",
        ]


def divide(g):
    return 1 / g["d"]
