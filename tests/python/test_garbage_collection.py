"""PyGraph and PyDag take part in cyclic garbage collection: a callable that refers back to the
instance holding it (a bound method of an object that keeps its own pipeline) no longer keeps
the whole cycle alive, each callable is shown to the collector once however many nodes share
it, and an instance the collector has cleared stays safe to use."""

import collections
import ctypes
import gc
import threading
import weakref

import pytest

import vantorix
from conftest import chain, graph_of

PY_TP_CLEAR = 51  # typeslots.h

clear_function = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)
ctypes.pythonapi.PyType_GetSlot.restype = ctypes.c_void_p
ctypes.pythonapi.PyType_GetSlot.argtypes = [ctypes.py_object, ctypes.c_int]


def collector_clear(instance):
    """Runs the type's tp_clear on `instance`, as the collector does on a cycle."""
    slot = ctypes.pythonapi.PyType_GetSlot(type(instance), PY_TP_CLEAR)
    assert slot, "the type has no tp_clear"
    assert clear_function(slot)(instance) == 0


class Pipeline:
    """The common class-based pipeline: the object keeps the DAG whose nodes call its methods."""

    def __init__(self, build=True):
        self.graph = graph_of({"function": self.load, "outputs": {"x": "x"}},
                              {"function": self.double, "inputs": {"x": "x"},
                               "outputs": {"y": "y"}})
        self.dag = self.graph.build() if build else None
        self.payload = bytearray(1024)

    def load(self, inputs, params):
        return {"x": 21}

    def double(self, inputs, params):
        return {"y": inputs["x"] * 2}


def alive(references):
    return sum(reference() is not None for reference in references)


@pytest.mark.parametrize("build", [True, False], ids=["dag", "graph"])
def test_pipelines_that_hold_their_own_graph_are_collected(build):
    references = []
    for _ in range(1000):
        pipeline = Pipeline(build)
        if build:
            assert pipeline.dag.execute() == {"x": 21, "y": 42}
        references.append(weakref.ref(pipeline))
        del pipeline
    gc.collect()
    assert alive(references) == 0


def test_a_cycle_through_a_branch_and_a_parallel_run_is_collected():
    class Fan:
        def __init__(self):
            branch = graph_of({"function": self.leaf, "outputs": {"a": "a"}})
            nested = graph_of({"function": self.leaf, "outputs": {"a": "b"}})
            branch.branch(nested)
            self.graph = graph_of({"function": self.leaf}, {"function": self.leaf})
            self.graph.branch(branch)

        def leaf(self, inputs, params):
            return {"a": 1}

    references = []
    for _ in range(100):
        fan = Fan()
        references.append(weakref.ref(fan))
        del fan
    gc.collect()
    assert alive(references) == 0

    fan = Fan()
    fan.dag = fan.graph.build()
    assert fan.dag.execute(True) == {"a": 1, "b": 1}
    reference = weakref.ref(fan)
    del fan
    gc.collect()
    assert reference() is None


def referents(instance):
    return collections.Counter(map(id, gc.get_referents(instance)))


def test_each_callable_is_shown_to_the_collector_once():
    def f(inputs, params):
        return {}

    def g(inputs, params):
        return {}

    # A chain applying one callable holds one node function; a no-op between its nodes, a
    # second callable and a branch with the first one again (a function of its own) follow.
    graph = graph_of(*[{"function": f}] * 20, {}, {"function": f}, {"function": g})
    branch = graph_of({"function": f}, {"function": f})
    branch.branch(graph_of({"function": g}))
    graph.branch(branch)
    assert referents(graph) == {id(vantorix.PyGraph): 1, id(f): 2, id(g): 2}
    assert referents(branch) == {id(vantorix.PyGraph): 1}  # consumed

    dag = graph.build()
    assert referents(graph) == {id(vantorix.PyGraph): 1}
    assert referents(dag) == {id(vantorix.PyDag): 1, id(f): 2, id(g): 2}
    assert referents(chain()) == {id(vantorix.PyDag): 1}


def test_callables_owned_only_by_a_reachable_dag_survive_collections():
    dag = chain(*[{"function": lambda i, p: {"n": i.get("n", 0) + 1},
                   "inputs": {"n": "n"}, "outputs": {"n": "n"}}] * 50)
    for _ in range(3):
        gc.collect()
    assert dag.execute() == {"n": 50}


def test_a_cleared_dag_runs_as_an_empty_one():
    dag = chain({"function": lambda i, p: {"x": 1}, "outputs": {"x": "x"}})
    collector_clear(dag)
    assert dag.execute() == {}
    assert dag.execute(True, 2) == {}
    assert dag.to_mermaid() == chain().to_mermaid()
    assert referents(dag) == {id(vantorix.PyDag): 1}
    collector_clear(dag)


def test_a_cleared_graph_is_consumed():
    function = lambda i, p: {}  # noqa: E731
    graph = graph_of({"function": function})
    collector_clear(graph)
    assert referents(graph) == {id(vantorix.PyGraph): 1}
    with pytest.raises(ValueError, match="^Graph has already been built or consumed$"):
        graph.add()
    with pytest.raises(ValueError, match="^Graph has already been built$"):
        graph.build()
    with pytest.raises(ValueError, match="^Subgraph has already been built or consumed$"):
        vantorix.PyGraph().branch(graph)


def test_instances_in_use_are_not_cleared():
    seen = []

    def clear_own_dag(inputs, params):
        collector_clear(dag)
        seen.append(dag.to_mermaid())
        return {"x": 1}

    graph = graph_of({"function": clear_own_dag, "label": "clearing", "outputs": {"x": "x"}})
    dag = graph.build()
    assert dag.execute() == {"x": 1}
    assert "clearing" in seen[0]
    assert dag.execute() == {"x": 1}


def test_collections_during_parallel_runs_of_the_same_dag():
    # Worker nodes collect (and so traverse this very DAG) while other workers run it.
    barrier = threading.Barrier(4)

    def collect(inputs, params):
        barrier.wait(timeout=30)
        gc.collect()
        return {"done": inputs.get("root", 0) + 1}

    graph = graph_of({"function": lambda i, p: {"root": 1}, "outputs": {"root": "root"}})
    for _ in range(4):
        graph.branch(graph_of({"function": collect, "inputs": {"root": "root"},
                               "outputs": {"done": "done"}}))
    dag = graph.build()
    for _ in range(10):
        assert dag.execute(True) == {"root": 1, "done": 2}
