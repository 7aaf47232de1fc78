"""References that the engine takes to Python objects are all given back: values by the end of
every run, callables when the graph or the DAG that holds them goes away."""

import sys
import weakref

import pytest

from conftest import fanout, graph_of

MODES = [(False,), (True,), (True, 1)]


class Node:
    """A callable that supports weak references and returns fixed objects."""

    def __init__(self, **returned):
        self.returned = returned

    def __call__(self, inputs, params):
        return dict(self.returned)


class Token:
    pass


def watch(obj):
    """A list that gets an entry when `obj` is freed, and the weak reference that does it."""
    freed = []
    return freed, weakref.ref(obj, lambda _: freed.append(True))


@pytest.mark.parametrize("arguments", MODES)
def test_values_return_to_their_baseline_refcount(arguments):
    value = ["payload"]
    dag = fanout({"function": Node(v=value), "outputs": {"v": "v"}},
                 [{"function": lambda i, p: dict(i), "inputs": {"v": "x"}, "outputs": {"x": "a"}}],
                 [{"function": lambda i, p: dict(i), "inputs": {"v": "x"}, "outputs": {"x": "b"}}])
    baseline = sys.getrefcount(value)
    for _ in range(50):
        dag.execute(*arguments)
    assert sys.getrefcount(value) == baseline
    kept = dag.execute(*arguments)
    assert kept == {"v": value, "a": value, "b": value}
    assert sys.getrefcount(value) == baseline + 3
    del kept
    assert sys.getrefcount(value) == baseline


@pytest.mark.parametrize("arguments", MODES)
def test_unmapped_values_are_freed_by_the_end_of_the_run(arguments):
    garbage = []

    def make_garbage(inputs, params):
        token = Token()
        garbage.append(weakref.ref(token))
        return {"junk": token, "kept": 1}

    dag = fanout({"function": make_garbage, "outputs": {"kept": "kept"}},
                 [{"function": make_garbage}], [{"function": make_garbage}])
    for _ in range(5):
        assert dag.execute(*arguments) == {"kept": 1}
        assert all(ref() is None for ref in garbage)
    assert len(garbage) == 15


@pytest.mark.parametrize("arguments", MODES)
def test_callables_are_held_while_nodes_exist_and_return_to_baseline(arguments):
    function = Node(out=1)
    baseline = sys.getrefcount(function)
    graph = graph_of({"function": function, "outputs": {"out": "out"}}, {"function": function},
                     {"function": function, "inputs": {"out": "x"}})
    held = sys.getrefcount(function)
    assert held > baseline
    dag = graph.build()
    for _ in range(50):
        dag.execute(*arguments)
    del graph
    assert sys.getrefcount(function) == held
    del dag
    assert sys.getrefcount(function) == baseline


def test_callable_is_freed_with_its_graph():
    function = Node()
    freed, _ref = watch(function)
    graph, sub = graph_of({"function": function}), graph_of({"function": function})
    graph.branch(sub)
    del function, sub  # the consumed sub-graph's nodes live in `graph` now
    assert freed == []
    del graph
    assert freed == [True]


@pytest.mark.parametrize("arguments", MODES)
def test_callable_and_its_values_are_freed_with_the_dag(arguments):
    function = Node(out=Token())
    freed, _ref = watch(function)
    value_freed, _value_ref = watch(function.returned["out"])
    graph = graph_of({"function": function, "outputs": {"out": "out"}})
    graph.branch(graph_of({"function": function}))
    graph.branch(graph_of({"function": function}))
    dag = graph.build()
    del function, graph
    for _ in range(10):
        dag.execute(*arguments)
    assert freed == [] and value_freed == []
    del dag
    assert freed == [True] and value_freed == [True]


@pytest.mark.parametrize("arguments", MODES)
def test_reraised_exit_exception_is_not_leaked(arguments):
    class Exit(SystemExit):
        pass

    raised = []

    def stop(inputs, params):
        raised.append(Exit(0))
        raise raised[-1]

    with pytest.raises(Exit):
        fanout({}, [{"function": stop}], [{"function": stop}]).execute(*arguments)
    watches = [watch(error) for error in raised]
    del raised[:]
    assert all(freed == [True] for freed, _ref in watches)
