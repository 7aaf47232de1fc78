"""Runs the faults that could hang a vantorix_dask run, each with SECONDS to end, on sync (s),
threads (t), a kept pool of 2 processes (p) and a LocalCluster of 2 worker processes (c), and
prints {case: {scheduler: ["returned", report] or [what it raised, its text]}} as JSON.

    python _dask_faults.py SECONDS
"""

import importlib
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
from dask.multiprocessing import get
from distributed import Client, LocalCluster

import vantorix
import vantorix_dask


def names(inputs, params):
    return {"r": sorted(inputs)}


def dag(*nodes):
    """A chain of (function, label, inputs, outputs): on dask, nodes that read nothing from
    each other run side by side."""
    graph = vantorix.PyGraph()
    for node in nodes:
        graph.add(*node)
    return graph.build()


def run(dag, scheduler, inputs, seconds):
    result = ["timeout", f"the run did not end within {seconds} s"]

    def target():
        try:
            report = vantorix_dask.execute_detailed(dag, scheduler=scheduler, inputs=inputs,
                                                    print_errors=False)
            result[:] = ["returned", [report.context, [[n.label, n.error] for n in report.failed]]]
        except BaseException as error:
            result[:] = [type(error).__name__, str(error)]

    thread = threading.Thread(target=target, daemon=True)
    thread.start()
    thread.join(seconds)
    return result


def main(seconds):
    dask.config.set({"distributed.scheduler.allowed-failures": 0})
    # A module that this process loads from a file that no worker has on its path.
    path = Path(tempfile.mkdtemp(), "late.py")
    path.write_text("def node(inputs, params):\n    return {}\nclass Thing:\n    pass\n")
    sys.path.insert(0, str(path.parent))
    importlib.invalidate_caches()
    late = importlib.import_module("late")
    sys.path.remove(str(path.parent))
    readers = [(names, f"reads {k}", {"v": "v"}, {"r": f"r{k}"}) for k in range(4)]
    cases = {  # name: (DAG, inputs, schedulers); the last two break the pool, and find it broken
        "unpicklable value": (dag((lambda inputs, params: {"v": threading.Lock()}, "make",
                                   {}, {"v": "v"}), *readers), None, "stpc"),
        "unloadable function": (dag((late.node, "late", {}, {})), None, "pc"),
        "unloadable value": (dag((names, "reads", {"thing": "x"}, {})), {"thing": late.Thing()},
                             "pc"),
        "kills its worker": (dag((lambda inputs, params: os._exit(1), "dies", {}, {})), None,
                             "pc"),
        "after a worker died": (dag((None, "nothing", {}, {})), None, "p"),
    }
    with ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("spawn")) as pool, \
            LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=":0") as cluster, \
            Client(cluster) as client:
        schedulers = {"s": "sync", "t": "threads", "p": partial(get, pool=pool, chunksize=1),
                      "c": client}
        print(json.dumps({case: {letter: run(graph, schedulers[letter], inputs, seconds)
                                 for letter in letters}
                          for case, (graph, inputs, letters) in cases.items()}), flush=True)


if __name__ == "__main__":
    main(float(sys.argv[1]))
