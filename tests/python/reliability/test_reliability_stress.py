"""Many Python threads run one PyDag in parallel mode at once, with nodes that fail in every way
a node can, change shared state and run another DAG from inside; every result must be right,
every failure reported once, and every thread must come back."""

import faulthandler
import sys
import tempfile
import threading

import vantorix
from _scenarios import fan

THREADS, RUNS = 8, 200


def stacks_of_all_threads():
    with tempfile.TemporaryFile("w+") as dump:
        faulthandler.dump_traceback(dump, all_threads=True)
        dump.seek(0)
        return dump.read()


def dag_of(level):
    """A root publishing "seed" = 21, then one branch per entry of `level` (a name and a list
    of functions): each function reads "x" and returns "y"; the first reads the seed, each
    later one what the one before it published, and the last publishes under the name."""
    graph = vantorix.PyGraph()
    graph.add(lambda i, p: {"seed": 21}, outputs={"seed": "seed"})
    for name, functions in level.items():
        branch, source = vantorix.PyGraph(), "seed"
        for position, function in enumerate(functions):
            target = name if position == len(functions) - 1 else f"{name}.{position}"
            branch.add(function, inputs={source: "x"}, outputs={"y": target})
            source = target
        graph.branch(branch)
    return graph.build()


def test_threads_share_one_dag_through_failures_and_nested_runs(capsys, monkeypatch):
    # Failed nodes are reported through sys.excepthook; recorded here whole, since tracebacks
    # that several threads print at once may interleave.
    reported = []
    monkeypatch.setattr(sys, "excepthook", lambda t, v, tb: reported.append(f"{t.__name__}: {v}"))
    appended, append_lock = [], threading.Lock()

    def append(inputs, params):
        with append_lock:
            appended.append(inputs["x"])
        return {"y": "appended"}

    def fail(inputs, params):
        raise ValueError("boom")

    inner = fan([[lambda i, p: {"out": i["out"] + 1}], [lambda i, p: None]],
                root=lambda i, p: {"out": 1})
    # Seven nodes on one level, three at a time, and one more level behind "double".
    dag = dag_of({
        "fails": [fail],
        "none": [lambda i, p: None],
        "keys": [lambda i, p: {1: "int", b"y": "bytes", "\ud800": "surrogate", "y": "keys"}],
        "appended": [append],
        "nested": [lambda i, p: {"y": inner.execute(True)["out"]}],
        "double": [lambda i, p: {"y": i["x"] * 2}, lambda i, p: {"y": i["x"] + 1}],
        "empty": [lambda i, p: {"y": vantorix.PyGraph().build().execute(True)}],
    })
    expected = {"seed": 21, "keys": "keys", "appended": "appended", "nested": 2,
                "double.0": 42, "double": 43, "empty": {}}
    wrong, failures = [], []

    def worker():
        try:
            for run in range(RUNS):
                result = dag.execute(True, 3)
                if result != expected:
                    wrong.append(result)
                if run % 25 == 0:
                    dag.to_mermaid()
        except BaseException as error:  # the thread must end and tell, whatever happened
            failures.append(error)

    # Last resort if joining itself hangs: dump every stack and end the process.
    faulthandler.dump_traceback_later(600, exit=True, file=sys.__stderr__)
    threads = [threading.Thread(target=worker, daemon=True) for _ in range(THREADS)]
    try:
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(timeout=120)
            assert not thread.is_alive(), "stuck threads:\n" + stacks_of_all_threads()
    finally:
        faulthandler.cancel_dump_traceback_later()

    assert (failures, wrong) == ([], [])
    assert appended == [21] * (THREADS * RUNS)
    assert reported == ["ValueError: boom"] * (THREADS * RUNS)
    err = capsys.readouterr().err
    assert err.count("Error: Python function did not return a dict\n") == 2 * THREADS * RUNS
