"""W5: CPU-bound nodes on dask through vantorix_dask, next to a hand-written dask graph of the
same work on the same scheduler; and the cost of a trivial node on a cluster next to the floor
of `client.map`.

W5 is a root and 8 nodes, each about 200 ms of pure-Python arithmetic, run in parallel mode.
Every figure is a median over the repetitions, sampled round-robin, and every run's result is
checked against the expected one. The processes scheduler runs on a pool kept for the whole
benchmark, handed one task at a time (`dask.config.set(pool=..., chunksize=1)`), and as dask
runs it by default, starting a pool of its own for every compute. One more run of each W5
variant on the kept pool and on the cluster is timed task by task, to show where the time goes:
how many tasks ran, when the first CPU-bound task started, how busy the two processes were and
how long the result took after the last CPU-bound task.

    pip install ".[dask]" && python bench/dask_bench.py
    python bench/dask_bench.py --repetitions 7 --json out.json --markdown out.md
"""

from __future__ import annotations

import argparse
import multiprocessing
import os
import statistics
import sys
import time
from concurrent.futures import ProcessPoolExecutor
from functools import partial
from typing import Any, Callable, Dict, List, Tuple

import dask
from dask.callbacks import Callback
from distributed import Client, LocalCluster, get_task_stream

import vantorix
import vantorix_dask
from python_bench import publish

WIDTH = 8
TRIVIAL_WIDTH = 400


def spin(rounds: int, seed: int) -> int:
    """Pure-Python arithmetic: holds the GIL all along."""
    total = seed
    for step in range(rounds):
        total = (total * 31 + step) % 1_000_003
    return total


def calibrate(seconds: float) -> int:
    """Rounds of `spin` that take about `seconds` here, timed on samples long enough for the
    processor to reach its working clock."""
    rounds = 2_000_000
    elapsed = min(timed(lambda: spin(rounds, 0)) for _ in range(3))
    return max(1, int(rounds * seconds / elapsed))


def timed(action: Callable[[], Any]) -> float:
    start = time.perf_counter()
    action()
    return time.perf_counter() - start


def start_node(inputs: Dict[str, Any], params: Dict[str, Any]) -> Dict[str, Any]:
    return {"rounds": inputs["rounds"]}


def work_node(inputs: Dict[str, Any], params: Dict[str, Any]) -> Dict[str, Any]:
    return {"out": spin(inputs["rounds"], inputs["seed"])}


def w5_dag(width: int) -> vantorix.PyDag:
    """The root passes the run's `rounds` on; node k reads it and its seed, and publishes w{k}."""
    graph = vantorix.PyGraph()
    graph.add(start_node, "root", inputs={"given_rounds": "rounds"}, outputs={"rounds": "rounds"})
    for k in range(width):
        branch = vantorix.PyGraph()
        branch.add(work_node, f"work {k}", inputs={"rounds": "rounds", f"seed{k}": "seed"},
                   outputs={"out": f"w{k}"})
        graph.branch(branch)
    return graph.build()


def w5_inputs(rounds: int, width: int) -> Dict[str, Any]:
    return {"given_rounds": rounds, **{f"seed{k}": k for k in range(width)}}


def pass_rounds(rounds: int) -> int:
    return rounds


def collect(names: List[str], values: List[int]) -> Dict[str, int]:
    return dict(zip(names, values))


def w5_by_hand(rounds: int, width: int) -> Any:
    """What a user would write with dask.delayed for the same work."""
    root = dask.delayed(pass_rounds)(rounds)
    parts = [dask.delayed(spin)(root, k) for k in range(width)]
    return dask.delayed(collect)([f"w{k}" for k in range(width)], parts)


def medians(runs: Dict[str, Callable[[], Any]], repetitions: int) -> Dict[str, float]:
    """Median wall time of each run, sampled round-robin after one warm-up each."""
    for run in runs.values():
        run()
    times: Dict[str, List[float]] = {name: [] for name in runs}
    for _ in range(repetitions):
        for name, run in runs.items():
            times[name].append(timed(run))
    return {name: statistics.median(values) for name, values in times.items()}


def checked(run: Callable[[], Dict[str, Any]], expected: Dict[str, Any]) -> Callable[[], None]:
    def check() -> None:
        result = run()
        assert result == expected, (result, expected)

    return check


class W5:
    """The W5 DAG, its hand-written twin and the runs of both, each checking its result."""

    def __init__(self) -> None:
        self.rounds = calibrate(0.2)
        self.rounds_seconds = min(timed(lambda: spin(self.rounds, 0)) for _ in range(3))
        self.dag = w5_dag(WIDTH)
        self.inputs = w5_inputs(self.rounds, WIDTH)
        self.expected = {f"w{k}": spin(self.rounds, k) for k in range(WIDTH)}
        self.context = {**self.inputs, "rounds": self.rounds, **self.expected}
        self.by_hand_graph = w5_by_hand(self.rounds, WIDTH)

    def in_process(self, parallel: bool) -> Callable[[], None]:
        return checked(lambda: self.dag.execute_detailed(parallel, inputs=self.inputs).context,
                       self.context)

    def on_dask(self, scheduler: Any) -> Callable[[], None]:
        return checked(partial(vantorix_dask.execute, self.dag, scheduler=scheduler,
                               inputs=self.inputs), self.context)

    def by_hand(self, scheduler: Any) -> Callable[[], None]:
        return checked(lambda: dask.compute(self.by_hand_graph, scheduler=scheduler)[0],
                       self.expected)


def with_pool(pool: ProcessPoolExecutor, run: Callable[[], None]) -> Callable[[], None]:
    def on_kept_pool() -> None:
        # One task per job: dask's default batches of 6 would give one process 6 of the 8
        # nodes.
        with dask.config.set(pool=pool, chunksize=1):
            run()

    return on_kept_pool


def w5_without_cluster(w5: W5, pool: ProcessPoolExecutor,
                       repetitions: int) -> Dict[str, float]:
    """In process and on the processes scheduler, with no cluster in this process: its
    scheduler's thread would take turns at the interpreter lock with the in-process runs."""
    return medians({
        "in-process sequential": w5.in_process(False),
        "in-process parallel": w5.in_process(True),
        "processes, kept pool: vantorix_dask": with_pool(pool, w5.on_dask("processes")),
        "processes, kept pool: dask.delayed by hand": with_pool(pool, w5.by_hand("processes")),
        "processes, new pool per compute: vantorix_dask": w5.on_dask("processes"),
        "processes, new pool per compute: dask.delayed by hand": w5.by_hand("processes"),
    }, repetitions)


def w5_on_cluster(w5: W5, client: Client, repetitions: int) -> Dict[str, float]:
    return medians({"LocalCluster: vantorix_dask": w5.on_dask(client),
                    "LocalCluster: dask.delayed by hand": w5.by_hand(client)}, repetitions)


def w5_figures(w5: W5, seconds: Dict[str, float]) -> Dict[str, Any]:
    sequential = seconds["in-process sequential"]
    pairs = {name.split(": ")[0] for name in seconds if name.endswith(": vantorix_dask")}
    return {
        "rounds": w5.rounds, "width": WIDTH, "seconds": seconds,
        "node_seconds": sequential / WIDTH,
        "speed_up": {name: sequential / value for name, value in seconds.items()},
        "over_by_hand": {name: seconds[f"{name}: vantorix_dask"]
                         / seconds[f"{name}: dask.delayed by hand"] for name in pairs},
    }


def timeline(tasks: List[Tuple[float, float]], started: float, ended: float,
             node_seconds: float) -> Dict[str, float]:
    """Where the time of one run went, from (start, end) per task on a clock shared with
    `started` and `ended`: CPU-bound tasks are those of at least half a node's time."""
    bound = [(start, end) for start, end in tasks if end - start >= node_seconds / 2]
    wall = ended - started
    return {"tasks": len(tasks), "wall": wall,
            "first_bound_start": min(start for start, _ in bound) - started,
            "busy": sum(end - start for start, end in tasks) / (2 * wall),
            "after_last_bound": ended - max(end for _, end in bound)}


def timeline_on_cluster(client: Client, run: Callable[[], None],
                        node_seconds: float) -> Dict[str, float]:
    """From the workers' own record of each task's computation."""
    with get_task_stream(client) as stream:
        started = time.time()
        run()
        ended = time.time()
    tasks = []
    for task in stream.data:
        computed = [part for part in task["startstops"] if part["action"] == "compute"]
        tasks += [(part["start"], part["stop"]) for part in computed]
    return timeline(tasks, started, ended, node_seconds)


class Handed(Callback):  # type: ignore[misc]
    """When the caller handed each task to the pool and when it had the result back."""

    def __init__(self) -> None:
        super().__init__()
        self.handed: Dict[Any, float] = {}
        self.spans: List[Tuple[float, float]] = []

    def _pretask(self, key: Any, dsk: Any, state: Any) -> None:
        self.handed[key] = time.perf_counter()

    def _posttask(self, key: Any, result: Any, dsk: Any, state: Any, worker_id: Any) -> None:
        self.spans.append((self.handed[key], time.perf_counter()))


def timeline_on_pool(run: Callable[[], None], node_seconds: float) -> Dict[str, float]:
    """From the caller's side: a task's span includes its trips to and from the process."""
    handed = Handed()
    with handed:
        started = time.perf_counter()
        run()
        ended = time.perf_counter()
    return timeline(handed.spans, started, ended, node_seconds)


def w5_timelines_on_pool(w5: W5, pool: ProcessPoolExecutor) -> Dict[str, Any]:
    return {f"processes, kept pool: {name}": timeline_on_pool(with_pool(pool, run("processes")),
                                                             w5.rounds_seconds)
            for name, run in [("vantorix_dask", w5.on_dask),
                              ("dask.delayed by hand", w5.by_hand)]}


def w5_timelines_on_cluster(w5: W5, client: Client) -> Dict[str, Any]:
    return {f"LocalCluster: {name}": timeline_on_cluster(client, run(client), w5.rounds_seconds)
            for name, run in [("vantorix_dask", w5.on_dask),
                              ("dask.delayed by hand", w5.by_hand)]}


def trivial_node(inputs: Dict[str, Any], params: Dict[str, Any]) -> Dict[str, Any]:
    return {"v": 1}


def trivial_task(k: int) -> int:
    return k


def wide_dag(width: int) -> vantorix.PyDag:
    graph = vantorix.PyGraph()
    graph.add(None, "root")
    for k in range(width):
        branch = vantorix.PyGraph()
        branch.add(trivial_node, f"n{k}", outputs={"v": f"v{k}"})
        graph.branch(branch)
    return graph.build()


def trivial_overhead(client: Client, repetitions: int) -> Dict[str, Any]:
    width = TRIVIAL_WIDTH
    dag = wide_dag(width)
    expected = {f"v{k}": 1 for k in range(width)}
    runs = {
        "vantorix_dask.execute": checked(
            lambda: vantorix_dask.execute(dag, scheduler=client), expected),
        "to_dask, dask.compute": checked(
            lambda: dask.compute(vantorix_dask.to_dask(dag), scheduler=client)[0], expected),
        "floor: client.map": lambda: client.gather(
            client.map(trivial_task, range(width), pure=False)),
    }
    seconds = medians(runs, repetitions)
    per_node = {name: value / width * 1e6 for name, value in seconds.items()}
    floor = per_node["floor: client.map"]
    return {"width": width, "us_per_node": per_node,
            "over_floor": {name: value / floor for name, value in per_node.items()}}


def graph_building(lengths: List[int]) -> Dict[int, float]:
    """µs per node of to_dask() on chains where every node rewrites one name."""
    def rewrite(inputs: Dict[str, Any], params: Dict[str, Any]) -> Dict[str, Any]:
        return {"x": inputs.get("x", 0) + 1}

    figures = {}
    for length in lengths:
        graph = vantorix.PyGraph()
        for k in range(length):
            graph.add(rewrite, f"n{k}", inputs={"x": "x"}, outputs={"x": "x"})
        dag = graph.build()
        figures[length] = min(timed(lambda: vantorix_dask.to_dask(dag, False))
                              for _ in range(5)) / length * 1e6
    return figures


def markdown(results: Dict[str, Any]) -> str:
    w5 = results["w5"]
    lines = [f"Python {sys.version.split()[0]}, {os.cpu_count()} cores, dask "
             f"{dask.__version__}. Medians of {results['repetitions']} runs.", "",
             f"| W5: root + {w5['width']} nodes of "
             f"{w5['node_seconds'] * 1000:.0f} ms, parallel | wall time (s) "
             "| speed-up over sequential | / by hand |", "|---|---:|---:|---:|"]
    for name, seconds in w5["seconds"].items():
        scheduler = name.split(": ")[0]
        by_hand = (f"{w5['over_by_hand'][scheduler]:.2f}"
                   if name.endswith(": vantorix_dask") else "")
        lines.append(f"| {name} | {seconds:.2f} | {w5['speed_up'][name]:.2f}x "
                     f"| {by_hand} |")
    lines += ["", "| W5, one run timed task by task | tasks | first CPU-bound task starts (ms) "
              "| processes busy | result after the last CPU-bound task (ms) |",
              "|---|---:|---:|---:|---:|"]
    for name, figures in results["timelines"].items():
        lines.append(f"| {name} | {figures['tasks']} | {figures['first_bound_start'] * 1000:.0f} "
                     f"| {figures['busy']:.0%} | {figures['after_last_bound'] * 1000:.0f} |")
    trivial = results["trivial"]
    lines += ["", f"| root + {trivial['width']} trivial nodes on the LocalCluster | µs per node "
              "| / floor |", "|---|---:|---:|"]
    for name, value in trivial["us_per_node"].items():
        lines.append(f"| {name} | {value:.0f} | {trivial['over_floor'][name]:.2f} |")
    lines += ["", "| chain of rewrites, nodes | to_dask() µs per node |", "|---:|---:|"]
    for length, value in results["building"].items():
        lines.append(f"| {int(length):,} | {value:.1f} |")
    return "\n".join(lines)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--repetitions", type=int, default=5)
    parser.add_argument("--json", help="write the figures as JSON to this file")
    parser.add_argument("--markdown", help="write the tables as markdown to this file")
    args = parser.parse_args()
    w5 = W5()
    with ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("spawn")) as pool:
        seconds = w5_without_cluster(w5, pool, args.repetitions)
        timelines = w5_timelines_on_pool(w5, pool)
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=":0") as cluster, Client(cluster) as client:
        seconds.update(w5_on_cluster(w5, client, args.repetitions))
        timelines.update(w5_timelines_on_cluster(w5, client))
        trivial = trivial_overhead(client, args.repetitions)
    results = {"python": sys.version, "dask": dask.__version__, "repetitions": args.repetitions,
               "w5": w5_figures(w5, seconds), "timelines": timelines, "trivial": trivial,
               "building": graph_building([1_000, 10_000, 100_000])}
    publish(markdown(results), results, args.json, args.markdown)


if __name__ == "__main__":
    main()
