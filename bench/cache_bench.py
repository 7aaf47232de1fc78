"""What the result cache costs and saves: a hit on a trivial node next to running it uncached,
keying a 200 MB array, a 200-node pipeline whose node 100 changed, and a chain of trivial nodes
on dask's threaded scheduler, uncached and every node a hit.

The trivial nodes read one small value and publish another, on a chain; a hit there is the
whole cost of the cache (key, read, check, unpickle), with no work saved. The pipeline's nodes
each do a few milliseconds of arithmetic; after node 100's code changes, a run with the cache
must recompute exactly nodes 100 to 199, and takes about half the time of the uncached run
plus what storing 100 entries costs.
Medians of round-robin samples, with the collector paused; the cache lives in a temporary
directory on the local disk.

    python bench/cache_bench.py
    python bench/cache_bench.py --repetitions 9 --length 2000
"""

from __future__ import annotations

import argparse
import itertools
import statistics
import sys
import tempfile
import time
from typing import Any, Callable, Dict, List

import vantorix
import vantorix_cache
from report_bench import medians  # the sampling of the run-report benchmark
from vantorix_cache._keys import Keyer

Values = Dict[str, Any]


def increment(inputs: Values, params: Values) -> Values:
    return {"y": inputs["x"] + 1}


def chain(length: int) -> vantorix.PyDag:
    graph = vantorix.PyGraph()
    graph.add(lambda inputs, params: {"y": 0}, "start", outputs={"y": "v0"})
    for k in range(1, length):
        graph.add(increment, f"step {k}", inputs={f"v{k - 1}": "x"}, outputs={"y": f"v{k}"})
    return graph.build()


def hit_cost(length: int, repetitions: int, directory: str) -> None:
    dag = chain(length)
    cache = vantorix_cache.Cache(f"{directory}/trivial")
    report = dag.execute_detailed(cache=cache)
    hit = dag.execute_detailed(cache=cache)
    assert hit.context == report.context and all(r.status == "cached" for r in hit.nodes)

    fresh = itertools.count()

    def miss() -> None:  # in a new directory: creating it costs no more than one entry
        dag.execute_detailed(cache=f"{directory}/fresh-{next(fresh)}")

    runs = {"uncached": dag.execute_detailed,
            "every node a hit": lambda: dag.execute_detailed(cache=cache),
            "every node a miss, stored": miss}
    wall = medians(runs, repetitions)
    # The processor time of this process alone, which other work on a shared machine inflates
    # less than the wall time.
    processor = {name: statistics.median(timed(run, time.process_time)
                                         for _ in range(repetitions))
                 for name, run in runs.items()}
    print(f"| trivial node, chain of {length:,} | µs per node | processor µs per node |")
    print("|---|---:|---:|")
    for name, seconds in wall.items():
        print(f"| {name} | {seconds / length * 1e6:.1f} | "
              f"{processor[name] / length * 1e6:.1f} |")
    print()


def timed(run: Callable[[], Any], clock: Callable[[], float]) -> float:
    begin = clock()
    run()
    return clock() - begin


def keying(repetitions: int) -> None:
    import numpy

    array = numpy.random.default_rng(0).random(25_000_000)  # 200 MB
    prefix = bytes(32)

    def key() -> None:
        Keyer().key(prefix, {"array": array})

    seconds = medians({"key": key}, repetitions)["key"]
    same_dtype_other = array.view(numpy.int64)
    assert Keyer().key(prefix, {"array": array}) != Keyer().key(prefix, {"array": same_dtype_other})
    print(f"Keying a {array.nbytes / 1e6:.0f} MB float64 array: {seconds * 1e3:.0f} ms, "
          f"{array.nbytes / seconds / 1e9:.2f} GB/s")
    print()


STEP = """
def step(inputs, params):
    total = inputs["x"]
    for k in range(WORK):
        total = (total * 31 + k + CHANGE) % 1000003
    return {"y": total}
"""


def step_function(number: int, change: int, work: int) -> Callable[..., Values]:
    namespace: Dict[str, Any] = {"WORK": work}
    # Every step has code of its own; node 100's changes when `change` does.
    exec(STEP.replace("CHANGE", str(number * 7 + change)), namespace)
    function: Callable[..., Values] = namespace["step"]
    return function


def pipeline(change: int, work: int) -> vantorix.PyDag:
    graph = vantorix.PyGraph()
    graph.add(lambda inputs, params: {"y": 1}, "node 0", outputs={"y": "v0"})
    for k in range(1, 200):
        graph.add(step_function(k, change if k == 100 else 0, work), f"node {k}",
                  inputs={f"v{k - 1}": "x"}, outputs={"y": f"v{k}"})
    return graph.build()


def calibrated_work(seconds: float) -> int:
    """Iterations of the step's loop that take about `seconds`."""
    function = step_function(1, 0, 10_000)
    begin = time.perf_counter()
    function({"x": 1}, {})
    return max(1, int(10_000 * seconds / (time.perf_counter() - begin)))


def changed_node(repetitions: int, directory: str, node_ms: float) -> None:
    work = calibrated_work(node_ms / 1e3)
    before, after = pipeline(0, work), pipeline(1, work)
    cache_path = f"{directory}/pipeline"
    recomputed: List[List[int]] = []

    def cached_run() -> None:
        cache = vantorix_cache.Cache(cache_path)
        cache.clear()
        before.execute_detailed(cache=cache)
        begin = time.perf_counter()
        report = after.execute_detailed(cache=cache)
        timings.append(time.perf_counter() - begin)
        recomputed.append([r.id for r in report.nodes if r.status == "ok"])

    timings: List[float] = []
    uncached = medians({"uncached": after.execute_detailed}, repetitions)["uncached"]
    for _ in range(repetitions):
        cached_run()
    cached = statistics.median(timings)
    assert all(ids == list(range(100, 200)) for ids in recomputed), recomputed[0]
    expected = after.execute_detailed().context
    assert after.execute_detailed(cache=cache_path).context == expected
    print(f"| 200 nodes of about {node_ms:g} ms, node 100 changed | wall time (ms) | nodes run |")
    print("|---|---:|---:|")
    print(f"| uncached | {uncached * 1e3:.1f} | 200 |")
    print(f"| with the cache of the run before the change | {cached * 1e3:.1f} | "
          f"{len(recomputed[0])} (ids {recomputed[0][0]} to {recomputed[0][-1]}) |")
    print(f"| ratio | {cached / uncached:.2f} | |")


def on_dask(repetitions: int, directory: str, length: int = 50) -> None:
    import importlib.util

    if importlib.util.find_spec("dask") is None:
        print("dask is not installed: no figures for vantorix_dask")
        return
    import vantorix_dask

    dag = chain(length)
    cache = vantorix_cache.Cache(f"{directory}/dask")
    vantorix_dask.execute(dag, scheduler="threads", cache=cache)
    hit = vantorix_dask.execute_detailed(dag, scheduler="threads", cache=cache)
    assert all(record.status == "cached" for record in hit.nodes)
    wall = medians({"uncached": lambda: vantorix_dask.execute(dag, scheduler="threads"),
                    "hit": lambda: vantorix_dask.execute(dag, scheduler="threads", cache=cache)},
                   repetitions)
    print()
    print(f"vantorix_dask, chain of {length} trivial nodes, threads: uncached "
          f"{wall['uncached'] * 1e3:.1f} ms, every node a hit {wall['hit'] * 1e3:.1f} ms "
          f"({(wall['hit'] - wall['uncached']) / length * 1e6:.0f} µs more per node)")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--length", type=int, default=1000)
    parser.add_argument("--repetitions", type=int, default=7)
    parser.add_argument("--node-ms", type=float, default=5.0,
                        help="the work of a pipeline node, in milliseconds")
    arguments = parser.parse_args()
    print(f"Python {sys.version.split()[0]}; medians of {arguments.repetitions} runs")
    print()
    with tempfile.TemporaryDirectory(prefix="cache_bench-") as directory:
        hit_cost(arguments.length, arguments.repetitions, directory)
        keying(arguments.repetitions)
        changed_node(arguments.repetitions, directory, arguments.node_ms)
        on_dask(arguments.repetitions, directory)
    return 0


if __name__ == "__main__":
    sys.exit(main())
