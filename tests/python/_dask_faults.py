"""The faults that could hang a vantorix_dask run, each run on dask's schedulers with a timeout
of its own: on sync and threads, on a kept pool of 2 spawned processes and on a LocalCluster of
2 worker processes (which gives up on a task the first time a worker dies running it). Prints
one JSON object: {case: {scheduler: what the run returned or raised}}.

    python _dask_faults.py SECONDS_PER_RUN
"""

import importlib.util
import json
import multiprocessing
import os
import sys
import tempfile
import threading
from concurrent.futures import ProcessPoolExecutor
from functools import partial
from pathlib import Path

import dask
from dask.multiprocessing import get as processes_get
from distributed import Client, LocalCluster

import vantorix
import vantorix_dask

LATE_MODULE = '''
def node(inputs, params):
    return {"x": 1}


class Thing:
    pass
'''


def make_lock(inputs, params):
    return {"v": threading.Lock()}


def has_value(inputs, params):
    return {"r": "v" in inputs}


def reads_thing(inputs, params):
    return {"kind": type(inputs["thing"]).__name__}


def dies(inputs, params):
    os._exit(1)


def unpicklable_value():
    """A value that cannot be pickled, which four branches read."""
    graph = vantorix.PyGraph()
    graph.add(make_lock, "make", outputs={"v": "v"})
    for k in range(4):
        branch = vantorix.PyGraph()
        branch.add(has_value, f"reads {k}", inputs={"v": "v"}, outputs={"r": f"r{k}"})
        graph.branch(branch)
    return graph.build()


def one_node(function, label, **mappings):
    graph = vantorix.PyGraph()
    graph.add(function, label, **mappings)
    return graph.build()


def late_module(folder):
    """A module that this process imports from a file the workers have no path to."""
    path = Path(folder) / "late_module.py"
    path.write_text(LATE_MODULE, encoding="utf-8")
    spec = importlib.util.spec_from_file_location("late_module", path)
    module = importlib.util.module_from_spec(spec)
    sys.modules["late_module"] = module
    spec.loader.exec_module(module)
    return module


def outcome(run):
    """What `run()` returned, or the type and text of what it raised."""
    try:
        return {"returned": run()}
    except BaseException as error:
        return {"raised": type(error).__name__, "message": str(error)}


def with_timeout(run, seconds):
    result = {}
    thread = threading.Thread(target=lambda: result.update(outcome(run)), daemon=True)
    thread.start()
    thread.join(seconds)
    return result if not thread.is_alive() else {
        "raised": "timeout", "message": f"the run did not end within {seconds} s"}


def report_of(dag, scheduler, **arguments):
    def run():
        report = vantorix_dask.execute_detailed(dag, scheduler=scheduler, print_errors=False,
                                                **arguments)
        return {"context": report.context,
                "failed": [[node.label, node.error] for node in report.failed]}

    return run


def main():
    seconds = float(sys.argv[1])
    dask.config.set({"distributed.scheduler.allowed-failures": 0})
    results = {}
    with tempfile.TemporaryDirectory() as folder, \
            ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("spawn")) as pool, \
            LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=None) as cluster, \
            Client(cluster) as client:
        module = late_module(folder)
        processes = partial(processes_get, pool=pool, chunksize=1)
        everywhere = {"sync": "sync", "threads": "threads", "processes": processes,
                      "cluster": client}
        elsewhere = {"processes": processes, "cluster": client}
        outputs = {f"r{k}" for k in range(4)}
        cases = {
            "unpicklable value": (everywhere, lambda scheduler: report_of(
                unpicklable_value(), scheduler, outputs=outputs)),
            "unloadable function": (elsewhere, lambda scheduler: report_of(
                one_node(module.node, "late", outputs={"x": "x"}), scheduler)),
            "unloadable value": (elsewhere, lambda scheduler: report_of(
                one_node(reads_thing, "reads", inputs={"thing": "thing"},
                         outputs={"kind": "kind"}), scheduler, inputs={"thing": module.Thing()})),
            # Last: the pool stays broken, and so does the second run on it.
            "kills its worker": (elsewhere, lambda scheduler: report_of(
                one_node(dies, "dies"), scheduler)),
            "after a worker died": ({"processes": processes}, lambda scheduler: report_of(
                one_node(None, "nothing"), scheduler)),
        }
        for case, (schedulers, make_run) in cases.items():
            results[case] = {name: with_timeout(make_run(scheduler), seconds)
                             for name, scheduler in schedulers.items()}
        print(json.dumps(results), flush=True)


if __name__ == "__main__":
    main()
