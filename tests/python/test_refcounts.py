"""References that the engine takes to Python objects are all given back: values after every
run, callables when the graph or the DAG that holds them goes away."""

import gc
import sys
import weakref

import pytest

from conftest import fanout, graph_of


class Node:
    """A callable that supports weak references and returns fixed objects."""

    def __init__(self, **returned):
        self.returned = returned

    def __call__(self, inputs, params):
        return dict(self.returned)


class Token:
    pass


def freed_flag(obj):
    flag = []
    return flag, weakref.ref(obj, lambda _: flag.append(True))


MODES = [(False,), (True,), (True, 1)]


def two_level_dag(value):
    """`value` flows into a parallel level and is copied into several contexts."""
    first = Node(v=value)

    def echo(inputs, params):
        return dict(inputs)

    return fanout({"function": first, "outputs": {"v": "v"}},
                  [{"function": echo, "inputs": {"v": "x"}, "outputs": {"x": "a"}}],
                  [{"function": echo, "inputs": {"v": "x"}, "outputs": {"x": "b"}}])


@pytest.mark.parametrize("arguments", MODES)
def test_values_return_to_their_baseline_refcount(arguments):
    value = ["payload"]
    dag = two_level_dag(value)
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
def test_unmapped_and_dropped_values_are_freed_by_the_end_of_the_run(arguments):
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
    # Consecutive nodes that share a callable and its input names share one node function,
    # which holds one reference; executions add none.
    function = Node(out=1)
    baseline = sys.getrefcount(function)
    graph = graph_of({"function": function, "outputs": {"out": "out"}})
    assert sys.getrefcount(function) == baseline + 1
    graph.add(function)
    held = sys.getrefcount(function)
    assert held > baseline
    dag = graph.build()
    for _ in range(50):
        dag.execute(*arguments)
    assert sys.getrefcount(function) == held
    del graph
    assert sys.getrefcount(function) == held
    del dag
    assert sys.getrefcount(function) == baseline


def test_callable_is_freed_with_its_graph():
    function = Node()
    freed, _ref = freed_flag(function)
    graph = graph_of({"function": function})
    sub = graph_of({"function": Node()})
    graph.branch(sub)
    del function
    gc.collect()
    assert freed == []
    del sub  # consumed: the main graph holds its nodes now
    assert freed == []
    del graph
    assert freed == [True]


@pytest.mark.parametrize("arguments", MODES)
def test_callable_is_freed_with_its_dag(arguments):
    function = Node(out=Token())
    freed, _ref = freed_flag(function)
    value_freed, _value_ref = freed_flag(function.returned["out"])
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


@pytest.mark.parametrize("arguments", [(False,), (True,)])
def test_reraised_exit_exception_is_not_leaked(arguments):
    class Exit(SystemExit):
        pass

    raised = []

    def stop(inputs, params):
        raised.append(Exit(0))
        raise raised[-1]

    dag = graph_of({"function": stop}).build()
    with pytest.raises(SystemExit):
        dag.execute(*arguments)
    freed, _ref = freed_flag(raised.pop())
    gc.collect()
    assert freed == [True]
