"""vantorix_dask against the in-process run: generated graphs give the same final context and
the same failure texts on dask's sync, threaded and processes schedulers and on a LocalCluster of
two worker processes; only the selected outputs come back; exits and unpicklable callables."""

import contextlib
import io
import itertools
import multiprocessing
import os
import pickle
import subprocess
import sys
import threading
import zlib
from concurrent.futures import ProcessPoolExecutor
from functools import partial

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import conftest
import vantorix
from conftest import Guarded, OwnHash

dask = pytest.importorskip("dask", reason="dask is not installed (pip install '.[dask]')")
cloudpickle = pytest.importorskip("cloudpickle", reason="cloudpickle comes with dask")
from dask.core import get_dependencies  # noqa: E402
from dask.multiprocessing import get as processes_get  # noqa: E402

import vantorix_dask  # noqa: E402

# The functions of the test modules travel by value, as those of a script's __main__ do (where
# dask pickles with cloudpickle: always on the processes scheduler).
cloudpickle.register_pickle_by_value(sys.modules[__name__])
cloudpickle.register_pickle_by_value(conftest)

NAMES = ["a", "b", "c"]
RESULTS = ["r", "s"]


class Step:
    """A deterministic node function of a generated graph."""

    def __init__(self, tag, kind, returns):
        self.tag, self.kind, self.returns = tag, kind, returns

    def __call__(self, inputs, params):
        digest = zlib.crc32(repr(sorted(inputs.items())).encode())
        if self.kind == "raise":
            raise ValueError(f"{self.tag} refuses {digest}")
        if self.kind == "not a dict":
            return [digest]
        returned = {name: f"{self.tag}:{name}:{digest}" for name in self.returns}
        returned[1] = "not a str key"
        if self.kind == "subclass":
            returned[OwnHash(RESULTS[0])] = "later key of the same text"
            returned = Guarded(returned)
        return returned


node_shapes = st.fixed_dictionaries({
    "kind": st.sampled_from(["ok", "ok", "ok", "raise", "not a dict", "no-op", "subclass"]),
    "inputs": st.lists(st.tuples(st.sampled_from(NAMES), st.sampled_from(["p", "q"])),
                       max_size=3),
    "outputs": st.lists(st.tuples(st.sampled_from(RESULTS), st.sampled_from(NAMES)), max_size=3),
    "returns": st.lists(st.sampled_from(RESULTS), unique=True, max_size=2),
})


def graph_shapes(depth=2):
    """A first node, then nodes and branches (nested `depth` deep)."""
    items = node_shapes.map(lambda node: ("node", node))
    if depth:
        items = st.one_of(items, items, graph_shapes(depth - 1).map(lambda sub: ("branch", sub)))
    return st.tuples(node_shapes, st.lists(items, max_size=5))


def build(shape, count=None):
    count = count or itertools.count()
    graph = vantorix.PyGraph()
    first, rest = shape
    for kind, item in [("node", first), *rest]:
        if kind == "branch":
            graph.branch(build(item, count))
            continue
        tag = f"n{next(count)}"
        function = None if item["kind"] == "no-op" else Step(tag, item["kind"], item["returns"])
        graph.add(function, tag, inputs=item["inputs"], outputs=item["outputs"])
    return graph


seeds = st.none() | st.dictionaries(st.sampled_from(NAMES), st.sampled_from(["seed"]))
selections = st.none() | st.sets(st.sampled_from(NAMES))


def observed(run):
    """What `run()` returns, and what it wrote to sys.stderr."""
    stderr = io.StringIO()
    with contextlib.redirect_stderr(stderr):
        return run(), stderr.getvalue()


def assert_same_as_in_process(dag, inputs, parallel, scheduler, outputs=None):
    """Context (in the in-process order), failure texts and records in merge order, and the
    bare collection's result."""
    expected, expected_text = observed(lambda: dag.execute_detailed(parallel, 1, inputs=inputs))
    report, text = observed(lambda: vantorix_dask.execute_detailed(
        dag, parallel, scheduler=scheduler, inputs=inputs, outputs=outputs))
    context = [(name, value) for name, value in expected.context.items()
               if outputs is None or name in outputs]
    assert (list(report.context.items()), text) == (context, expected_text)
    assert [node[:5] for node in report.nodes] == [node[:5] for node in expected.nodes]
    assert report.failed == [node for node in report.nodes if node.status == "failed"]
    value = vantorix_dask.to_dask(dag, parallel, inputs=inputs, outputs=outputs)
    assert list(dask.compute(value, scheduler=scheduler)[0].items()) == context
    return report


@pytest.mark.parametrize("scheduler", ["sync", "threads"])
@settings(max_examples=60, deadline=None)
@given(shape=graph_shapes(), inputs=seeds, parallel=st.booleans(), outputs=selections)
def test_generated_graphs_run_as_in_process(scheduler, shape, inputs, parallel, outputs):
    assert_same_as_in_process(build(shape).build(), inputs, parallel, scheduler, outputs)


def test_importing_leaves_dask_alone():
    code = ("import sys, vantorix_dask\n"
            "assert not {m.split('.')[0] for m in sys.modules} & {'dask', 'distributed'}")
    subprocess.run([sys.executable, "-c", code], check=True, timeout=120)


def rewrite(inputs, params):
    return {"x": inputs["x"] + 1}


def refuse(inputs, params):
    raise ArithmeticError(f"{inputs['x']} stays")


def rewrites(length):
    """A chain of nodes that all rewrite x; every seventh fails, so that its readers find the
    value one writer further back."""
    graph = vantorix.PyGraph()
    for k in range(length):
        graph.add(refuse if k % 7 == 3 else rewrite, f"n{k}", inputs={"x": "x"},
                  outputs={"x": "x"})
    return graph.build()


def test_a_long_chain_of_rewrites_stays_linear():
    dag = rewrites(3000)
    assert len(vantorix_dask.to_dask(dag, False, inputs={"x": 0}).dask) <= 2 * 3000 + 2
    assert_same_as_in_process(dag, {"x": 0}, False, "sync")


def make(name, value):
    return lambda inputs, params: {name: value}


def measure(inputs, params):
    return {"n": len(inputs["big"])}


def test_the_final_task_depends_only_on_the_selected_names():
    graph = vantorix.PyGraph()
    graph.add(make("v", b"payload"), "big", outputs={"v": "big"})
    graph.add(measure, "measure", inputs={"big": "big"}, outputs={"n": "length"})
    graph.add(make("v", 1), "other", outputs={"v": "other"})
    dag = graph.build()
    value = vantorix_dask.to_dask(dag, outputs={"length"})
    tasks = dict(value.dask)
    (holder,) = get_dependencies(tasks, value.key)
    needed, todo = set(), [holder]
    while todo:
        needed.add(todo[-1])
        todo.extend(get_dependencies(tasks, todo.pop()) - needed)
    nodes = {key[1] for key in needed if key[0].startswith("vantorix-node-")}
    assert nodes == {0, 1}  # "big" and "measure"
    assert value.compute(scheduler="sync") == {"length": 7}
    assert vantorix_dask.execute(dag, outputs=["other", "unknown"]) == {"other": 1}


def stop(inputs, params):
    raise SystemExit(3)


def interrupt(inputs, params):
    raise KeyboardInterrupt


def fails(inputs, params):
    raise LookupError("before the exit")


def exiting_dag(exit_function):
    graph = vantorix.PyGraph()
    graph.add(fails, "fails")
    graph.add(exit_function, "exits")
    graph.add(fails, "after")
    return graph.build()


def assert_exit_raised_on_caller(exit_function, scheduler):
    """The exit comes back to the caller, after the texts of the failures before it."""
    dag = exiting_dag(exit_function)
    expected = io.StringIO()
    with contextlib.redirect_stderr(expected), pytest.raises(BaseException) as in_process_exit:
        dag.execute()
    stderr = io.StringIO()
    with contextlib.redirect_stderr(stderr), pytest.raises(BaseException) as raised:
        vantorix_dask.execute(dag, False, scheduler=scheduler)
    assert type(raised.value) is type(in_process_exit.value)
    assert raised.value.args == in_process_exit.value.args
    assert stderr.getvalue() == expected.getvalue()
    assert "LookupError: before the exit" in stderr.getvalue()


@pytest.mark.parametrize("exit_function", [stop, interrupt])
@pytest.mark.parametrize("scheduler", ["sync", "threads"])
def test_an_exit_in_a_node_is_raised_on_the_caller(exit_function, scheduler):
    assert_exit_raised_on_caller(exit_function, scheduler)


@pytest.mark.parametrize("entry", [vantorix_dask.to_dask, vantorix_dask.execute])
def test_an_unpicklable_callable_is_named_before_anything_runs(entry):
    ran = []
    lock = threading.Lock()
    graph = vantorix.PyGraph()
    graph.add(lambda inputs, params: ran.append(1) or {}, "fine")
    graph.add(lambda inputs, params: {"locked": lock.locked()}, "holds a lock")
    with pytest.raises(TypeError, match=r"^node 'holds a lock' \(id 1\): .*pickle.*lock"):
        entry(graph.build())
    assert ran == []


@pytest.mark.parametrize(("arguments", "message"), [
    ({"dag": vantorix.PyGraph()}, "expected a vantorix.PyDag, got 'PyGraph'"),
    ({"inputs": [("a", 1)]}, "inputs must be a dict"),
    ({"inputs": {1: 2}}, "inputs: key 1 is not a str"),
    ({"outputs": "a"}, "outputs must be a collection of names"),
])
def test_arguments_are_checked(arguments, message):
    with pytest.raises(TypeError, match=message):
        vantorix_dask.to_dask(**{"dag": exiting_dag(stop), **arguments})


# --- in other processes: dask's processes scheduler, a LocalCluster -----------------------


def no_sanitizer():
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("the worker processes would all run under the preloaded sanitizer, "
                    "slowly, and none of them uses the module")


@pytest.fixture(scope="module")
def client():
    no_sanitizer()
    distributed = pytest.importorskip(
        "distributed", reason="distributed is not installed (pip install '.[dask]')")
    with distributed.LocalCluster(processes=True, n_workers=2, threads_per_worker=1,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as connected:
        yield connected


@pytest.fixture(scope="module")
def processes():
    """The processes scheduler on a pool of two kept for the module, one task at a time."""
    no_sanitizer()
    with ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("spawn")) as pool:
        yield partial(processes_get, pool=pool, chunksize=1)


@pytest.fixture(scope="module", params=["processes", "client"])
def elsewhere(request):
    return request.getfixturevalue(request.param)


@settings(max_examples=12, deadline=None)
@given(shape=graph_shapes(), inputs=seeds, parallel=st.booleans())
def test_generated_graphs_run_as_in_process_elsewhere(elsewhere, shape, inputs, parallel):
    report = assert_same_as_in_process(build(shape).build(), inputs, parallel, elsewhere)
    assert os.getpid() not in {node.pid for node in report.nodes}


class Tripwire:
    """A large value that refuses to be unpickled in the test process."""

    def __init__(self, size):
        self.payload = bytes(size)
        self.made_by = os.getpid()

    def __setstate__(self, state):
        assert os.getpid() != TEST_PROCESS, "the large value reached the caller"
        self.__dict__.update(state)


TEST_PROCESS = os.getpid()


def make_tripwire(inputs, params):
    return {"value": Tripwire(200 * 2**20)}


def inspect(inputs, params):
    return {"where": inputs["big"].made_by, "size": len(inputs["big"].payload)}


def test_a_large_intermediate_stays_on_the_workers(client):
    with pytest.raises(AssertionError, match="reached the caller"):
        pickle.loads(pickle.dumps(Tripwire(1)))
    graph = vantorix.PyGraph()
    graph.add(make_tripwire, "make", outputs={"value": "big"})
    graph.add(inspect, "inspect", inputs={"big": "big"}, outputs={"where": "where", "size": "size"})
    result = vantorix_dask.execute(graph.build(), scheduler=client, outputs={"where", "size"})
    assert result["size"] == 200 * 2**20
    assert result["where"] != os.getpid()


def test_an_exit_on_a_worker_is_raised_on_the_caller(elsewhere):
    assert_exit_raised_on_caller(stop, elsewhere)


def test_a_chain_deeper_than_the_recursion_limit_computes_on_a_cluster(client):
    dag = rewrites(sys.getrecursionlimit() + 100)
    expected, _ = observed(lambda: dag.execute_detailed(inputs={"x": 0}).context)
    assert observed(lambda: vantorix_dask.execute(
        dag, False, scheduler=client, inputs={"x": 0}))[0] == expected
