"""vantorix_dask against the in-process run: generated graphs give the same final context and
the same failure texts on dask's sync, threaded and processes schedulers and on a LocalCluster of
two worker processes, with every node reading its own copies; only the selected outputs come
back; exits, argument errors and unpicklable callables. The faults that could hang a cluster run
in a process of their own (_dask_faults.py)."""

import contextlib
import copy
import io
import json
import itertools
import multiprocessing
import os
import pickle
import re
import subprocess
import sys
import threading
import time
import zlib
from concurrent.futures import ProcessPoolExecutor
from functools import partial
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import conftest
import vantorix
from conftest import Guarded, OwnHash, const

dask = pytest.importorskip("dask", reason="dask is not installed (pip install '.[dask]')")
cloudpickle = pytest.importorskip("cloudpickle", reason="cloudpickle comes with dask")
from dask.core import get_dependencies  # noqa: E402
from dask.multiprocessing import get as processes_get  # noqa: E402

import vantorix_cache  # noqa: E402
import vantorix_dask  # noqa: E402

# The functions of the test modules travel by value, as those of a script's __main__ do (where
# dask pickles with cloudpickle: always on the processes scheduler).
cloudpickle.register_pickle_by_value(sys.modules[__name__])
cloudpickle.register_pickle_by_value(conftest)

NAMES = ["a", "b", "c"]
RESULTS = ["r", "s"]


class Step:
    """A deterministic node function of a generated graph. Its values are lists, which a
    "mutate" node changes in place before it publishes the first of them again. With `copies`
    it works on copies of its inputs: what every node of a dask run reads."""

    def __init__(self, tag, kind, returns, copies):
        self.tag, self.kind, self.returns, self.copies = tag, kind, returns, copies

    def __call__(self, inputs, params):
        if self.copies:
            inputs = {name: copy.deepcopy(value) for name, value in inputs.items()}
        if self.kind == "mutate":
            for value in inputs.values():
                value.append(self.tag)
        digest = zlib.crc32(repr(sorted(inputs.items())).encode())
        if self.kind == "raise":
            raise ValueError(f"{self.tag} refuses {digest}")
        if self.kind == "not a dict":
            return [digest]
        returned = {name: [f"{self.tag}:{name}:{digest}"] for name in self.returns}
        returned[1] = "not a str key"
        if self.kind == "mutate" and inputs and self.returns:
            returned[self.returns[0]] = next(iter(inputs.values()))
        if self.kind == "subclass":
            returned[OwnHash(RESULTS[0])] = ["later key of the same text"]
            returned = Guarded(returned)
        return returned


node_shapes = st.fixed_dictionaries({
    "kind": st.sampled_from(["ok", "ok", "ok", "raise", "not a dict", "no-op", "subclass",
                             "mutate", "mutate"]),
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


def build(shape, copies=False, count=None):
    count = count or itertools.count()
    graph = vantorix.PyGraph()
    first, rest = shape
    for kind, item in [("node", first), *rest]:
        if kind == "branch":
            graph.branch(build(item, copies, count))
            continue
        tag = f"n{next(count)}"
        function = (None if item["kind"] == "no-op"
                    else Step(tag, item["kind"], item["returns"], copies))
        graph.add(function, tag, inputs=item["inputs"], outputs=item["outputs"])
    return graph


def built_pair(shape):
    """The DAG to run on dask, and the DAG whose in-process run it must match."""
    return build(shape).build(), build(shape, copies=True).build()


# Small inputs travel inside the tasks that read them, large ones as tasks of their own.
seeds = st.none() | st.dictionaries(st.sampled_from(NAMES), st.builds(
    list, st.sampled_from([("seed",), ("large seed " * 7000,)])))
selections = st.none() | st.sets(st.sampled_from(NAMES))


def observed(run):
    """What `run()` returns, and what it wrote to sys.stderr."""
    stderr = io.StringIO()
    with contextlib.redirect_stderr(stderr):
        return run(), stderr.getvalue()


def assert_same_as_in_process(dags, inputs, parallel, scheduler, outputs=None):
    """Context (in the in-process order), failure texts and records in merge order, and the
    bare collection's result. `dags` is the DAG to run on dask and the one to run in-process,
    or one DAG for both; `outputs` may select names that nothing publishes, which are left out
    (asking for them is an error)."""
    dag, reference = dags if isinstance(dags, tuple) else (dags, dags)
    if outputs is not None:
        outputs &= {name for record in dag.plan() for _, name in record.outputs} | set(inputs or ())
    expected, expected_text = observed(
        lambda: reference.execute_detailed(parallel, 1, inputs=inputs))
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
    assert_same_as_in_process(built_pair(shape), inputs, parallel, scheduler, outputs)


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
    nodes = {key[1] for key in needed if str(key[1]).startswith("node ")}
    assert nodes == {"node 'big' (id 0)", "node 'measure' (id 1)"}
    assert value.compute(scheduler="sync") == {"length": 7}


class Leave(SystemExit):
    """An exit whose constructor takes other arguments than the ones the exception keeps."""

    def __init__(self, who, code):
        super().__init__(code)


def raises(make, inputs, params):
    raise make()


def touches(path, inputs, params):
    path.touch()
    return {"y": 1}


EXITS = {"code": lambda: SystemExit(3), "text": lambda: SystemExit("bye"),
         "none": lambda: SystemExit(), "own class": lambda: Leave("node", 4),
         "interrupt": lambda: KeyboardInterrupt("pressed")}


@pytest.mark.parametrize("make_exit", EXITS.values(), ids=EXITS)
def test_an_exit_is_raised_on_the_caller_and_its_readers_do_not_run(anywhere, make_exit,
                                                                      tmp_path):
    """By value, after the texts of the failures before it: a failure, the exit, a node that
    reads from it, one that reads from that one, and a failure that reads nothing."""
    graph = vantorix.PyGraph()
    graph.add(partial(raises, lambda: LookupError("before the exit")), "fails")
    graph.add(partial(raises, make_exit), "exits", outputs={"x": "x"})
    graph.add(partial(touches, tmp_path / "reader"), "reads x", inputs={"x": "x"},
              outputs={"y": "y"})
    graph.add(partial(touches, tmp_path / "its reader"), "reads y", inputs={"y": "y"})
    graph.add(partial(raises, lambda: LookupError("after the exit")), "after")
    dag = graph.build()
    texts, exits = [], []
    for run in dag.execute, lambda: vantorix_dask.execute(dag, False, scheduler=anywhere):
        stderr = io.StringIO()
        with contextlib.redirect_stderr(stderr), pytest.raises(BaseException) as raised:
            run()
        texts.append(stderr.getvalue())
        exits.append(raised.value)
    in_process, on_dask = exits
    kind = SystemExit if isinstance(in_process, SystemExit) else KeyboardInterrupt
    assert type(on_dask) is kind
    assert on_dask.args == in_process.args
    assert getattr(on_dask, "code", None) == getattr(in_process, "code", None)
    assert texts[1] == texts[0]
    assert "LookupError: before the exit" in texts[0]
    with pytest.raises(RuntimeError, match=rf"^node 'exits' \(id 1\) raised {kind.__name__}"):
        dask.compute(vantorix_dask.to_dask(dag, False, outputs={"y"}), scheduler=anywhere)
    assert list(tmp_path.iterdir()) == []


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


def small_dag():
    graph = vantorix.PyGraph()
    graph.add(make("v", 1), "one", outputs={"v": "v"})
    return graph.build()


ENTRIES = [vantorix_dask.to_dask, vantorix_dask.execute, vantorix_dask.execute_detailed]
ARGUMENT_ERRORS = [  # (arguments, error, message); None: the in-process methods' message
    ({"inputs": [("a", 1)]}, TypeError, None), ({"inputs": {1: 2}}, TypeError, None),
    ({"parallel": "yes"}, TypeError, None), ({"print_errors": 1}, TypeError, None),
    ({"cache": 3}, TypeError, None),
    ({"dag": vantorix.PyGraph()}, TypeError,
     "argument 'dag': 'PyGraph' object cannot be converted to 'PyDag'"),
    ({"outputs": "v"}, TypeError, "argument 'outputs': expected a collection of names, got a str"),
    ({"outputs": ["v", 1]}, TypeError,
     "argument 'outputs': 'int' object cannot be converted to 'PyString'"),
    ({"outputs": ["v", "w", "u"]}, ValueError,
     "argument 'outputs': 'u', 'w': no input has that name and no node publishes it"),
    ({"inputs": {"lock": threading.Lock()}}, TypeError, "argument 'inputs': the value of 'lock' "
     "cannot be pickled (TypeError: cannot pickle '_thread.lock' object)"),
]


@pytest.mark.parametrize(("entry", "arguments", "error", "message"), [
    (entry, *case) for case in ARGUMENT_ERRORS for entry in ENTRIES
    if ("print_errors" not in case[0] or entry is vantorix_dask.execute_detailed)
    and ("cache" not in case[0] or entry is not vantorix_dask.to_dask)])
def test_arguments_are_checked_before_anything_runs(entry, arguments, error, message):
    if message is None:
        with pytest.raises(error) as in_process:
            small_dag().execute_detailed(**arguments)
        message = str(in_process.value)
    with pytest.raises(error) as raised:
        entry(**{"dag": small_dag(), **arguments})
    assert str(raised.value) == message


@pytest.mark.parametrize("missing", ["dask", "cloudpickle"])
@pytest.mark.parametrize("entry", ENTRIES)
def test_without_dask_the_error_says_what_to_install(entry, missing, monkeypatch):
    monkeypatch.setitem(sys.modules, missing, None)
    with pytest.raises(ModuleNotFoundError,
                       match=r'^vantorix_dask needs dask: pip install "vantorix\[dask\]" \('):
        entry(small_dag(), inputs={"given": 1})


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
    # The dashboard on a free port: with None it still takes 8787, and only warns when that is
    # taken.
    with distributed.LocalCluster(processes=True, n_workers=2, threads_per_worker=1,
                                  dashboard_address=":0") as cluster, \
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


@pytest.fixture(scope="module", params=["sync", "threads", "processes", "client"])
def anywhere(request):
    if request.param in ("sync", "threads"):
        return request.param
    return request.getfixturevalue(request.param)


@settings(max_examples=12, deadline=None)
@given(shape=graph_shapes(), inputs=seeds, parallel=st.booleans())
def test_generated_graphs_run_as_in_process_elsewhere(elsewhere, shape, inputs, parallel):
    report = assert_same_as_in_process(built_pair(shape), inputs, parallel, elsewhere)
    assert os.getpid() not in {node.pid for node in report.nodes}


def stamp(inputs, params):
    return {"at": time.time()}


def test_records_say_when_each_node_started_after_the_compute_began(anywhere):
    # Each node reads the one before it, so they run in order; the worker takes `started`
    # just before it calls the function, and the compute begins after `before`.
    graph = vantorix.PyGraph()
    for k in range(3):
        graph.add(stamp, f"n{k}", inputs={f"at{k - 1}": "previous"} if k else None,
                  outputs={"at": f"at{k}"})
    before = time.time()
    report = vantorix_dask.execute_detailed(graph.build(), False, scheduler=anywhere)
    started = [node.started for node in report.nodes]
    assert 0 <= started[0] <= started[1] <= started[2]
    assert all(s <= report.context[f"at{k}"] - before for k, s in enumerate(started))
    node = report.nodes[0]
    assert f"    section {node.host}#58;{node.pid}\n    n0 :done, " in report.to_gantt()
    # A worker's clock behind the caller's: the chart starts at the earliest start.
    behind = [node._replace(started=node.started - started[-1] - 1) for node in report.nodes]
    assert "\n    n0 :done, 0, " in report._replace(nodes=behind).to_gantt()


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


def test_a_chain_deeper_than_the_recursion_limit_computes_on_a_cluster(client):
    dag = rewrites(sys.getrecursionlimit() + 100)
    expected, _ = observed(lambda: dag.execute_detailed(inputs={"x": 0}).context)
    assert observed(lambda: vantorix_dask.execute(
        dag, False, scheduler=client, inputs={"x": 0}))[0] == expected


# --- with a cache --------------------------------------------------------------------------


def leaves_trace(ran, label, step, inputs, params):
    (ran / label).touch()
    return step(inputs, params)


class Sorted(list):
    """Pickling one adds to its class, which the key of `ordered` reads."""


def ordered(inputs, params):
    return {"rows": Sorted(sorted(inputs["rows"].copy()))}  # `copy`: a global here, not read


def cached_run(ran, factor, cache, scheduler=None):
    """a, b (scaling by `factor`), c and a failure, which leave a file in `ran` when they run,
    and two nodes of one key, on dask or in-process: what ran, the statuses, the context."""
    graph = vantorix.PyGraph()
    for label, step, inputs, outputs in [
            ("a", const(rows=[3, 1, 2]), {}, {"rows": "raw"}),
            ("b", lambda i, p: {"rows": [row * factor for row in i["rows"]]}, {"raw": "rows"},
             {"rows": "scaled"}),
            ("c", ordered, {"scaled": "rows"}, {"rows": "sorted"}),
            ("bad", partial(raises, lambda: LookupError("never stored")), {}, {})]:
        graph.add(partial(leaves_trace, ran, label, step), label, inputs=inputs, outputs=outputs)
    for label in ("twin 1", "twin 2"):
        graph.add(measure, label, inputs={"raw": "big"}, outputs={"n": "n"})
    dag = graph.build()
    report = (dag.execute_detailed(cache=cache, print_errors=False) if scheduler is None else
              vantorix_dask.execute_detailed(dag, scheduler=scheduler, cache=cache,
                                             print_errors=False))
    traces = sorted(ran.iterdir())
    for trace in traces:
        trace.unlink()
    return [trace.name for trace in traces], {r.label: r.status for r in report.nodes}, \
        report.context


def test_a_cache_serves_what_did_not_change_alike_on_dask_and_in_process(anywhere, tmp_path):
    path, ran = tmp_path / "cache", tmp_path / "ran"
    ran.mkdir()
    traces, statuses, context = cached_run(ran, 2, path, anywhere)
    assert traces == ["a", "b", "bad", "c"] and statuses.pop("bad") == "failed"
    again = ["bad"], {**dict.fromkeys(statuses, "cached"), "bad": "failed"}
    cache = vantorix_cache.Cache(path)
    assert cached_run(ran, 2, cache, anywhere) == (*again, context)
    assert cache.stats()[2:] == (5, 1)
    cached_run(ran, 2, cache, anywhere)[2]["sorted"].append(99)  # a hit's value, mutated
    assert cached_run(ran, 2, path) == (*again, context)
    traces, statuses, changed = cached_run(ran, 3, path)
    assert (traces, statuses["c"], changed["sorted"]) == (["b", "bad", "c"], "ok", [3, 6, 9])
    assert cached_run(ran, 3, path, anywhere) == (*again, changed)
    assert cache.stats().entries == 6


def test_what_a_cache_cannot_keep_is_said_once_in_the_caller(anywhere, tmp_path):
    with pytest.warns(vantorix_cache.CacheWarning) as caught:
        report = vantorix_dask.execute_detailed(small_dag(), scheduler=anywhere,
                                                cache=vantorix_cache.Cache(tmp_path, max_bytes=9))
    assert [(warning.filename, str(warning.message)) for warning in caught] == [
        (__file__, f"node 'one' (id 0) ran without the cache: {report.nodes[0].uncached}")]
    assert re.fullmatch(r"its results were not stored: \d+ bytes, above max_bytes=9",
                        report.nodes[0].uncached)


def test_a_cached_node_is_looked_up_where_its_inputs_are(client, tmp_path):
    graph = vantorix.PyGraph()
    graph.add(lambda inputs, params: {"value": Tripwire(2**20)}, "make", outputs={"value": "big"})
    graph.add(inspect, "inspect", inputs={"big": "big"}, outputs={"size": "size"})
    dag = graph.build()
    for status in ("ok", "cached"):
        report = vantorix_dask.execute_detailed(dag, scheduler=client, cache=tmp_path,
                                                outputs={"size"})
        assert (report.context, {r.status for r in report.nodes}) == ({"size": 2**20}, {status})


# --- the faults that could hang a cluster, in a process of their own ------------------------


@pytest.fixture(scope="module")
def faults():
    """What the runs of _dask_faults.py returned or raised; each had 60 s to end."""
    no_sanitizer()
    pytest.importorskip("distributed", reason="distributed is not installed (pip install "
                        "'.[dask]')")
    completed = subprocess.run([sys.executable, Path(__file__).with_name("_dask_faults.py"),
                                "60"], capture_output=True, text=True, timeout=300, check=False)
    assert completed.returncode == 0, completed.stderr[-5000:]
    return json.loads(completed.stdout)


def test_a_value_that_cannot_be_pickled_fails_the_node_that_published_it(faults):
    failure = ("Error: node 'make' (id 0): the value it publishes as 'v' cannot be pickled "
               "(TypeError: cannot pickle '_thread.lock' object)\n")
    report = [{f"r{k}": [] for k in range(4)}, [["make", failure]]]
    assert faults["unpicklable value"] == dict.fromkeys("stpc", ["returned", report])


LOADED = r" cannot be loaded on .+ \(pid \d+\) \(ModuleNotFoundError: No module named 'late'\)"
BROKEN = r"a worker process of the pool died .*: make a new ProcessPoolExecutor .*"


@pytest.mark.parametrize(("case", "scheduler", "raised", "message"), [
    *[("unloadable function", scheduler, "ImportError", r"node 'late' \(id 0\): its function"
       + LOADED + r"; install its module on every worker, or send it with "
       r"Client\.upload_file\(\)") for scheduler in "pc"],
    *[("unloadable value", scheduler, "ImportError",
       r"node 'reads' \(id 0\): the value of 'thing' it reads" + LOADED) for scheduler in "pc"],
    ("kills its worker", "c", "KilledWorker",
     r"Attempted to run task \('lambda-\w+', \"node 'dies' \(id 0\)\"\) on 1 different "
     r"workers, .*"),
    ("kills its worker", "p", "BrokenProcessPool", BROKEN),
    ("after a worker died", "p", "BrokenProcessPool", BROKEN),
])
def test_what_could_hang_a_cluster_ends_naming_the_node(faults, case, scheduler, raised,
                                                       message):
    kind, text = faults[case][scheduler]
    assert kind == raised
    assert re.fullmatch(message, text)
