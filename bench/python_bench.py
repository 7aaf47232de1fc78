"""Cost of running a DAG of Python callables with vantorix, next to the alternatives.

Every implementation runs the same workload with the same semantics (input mapping
broadcast name -> function name, output mapping function name -> broadcast name, nodes of a
level see the context as it was before the level) and its final context is checked against
the expected one, so nothing can be fast by being wrong. Implementations are sampled
round-robin and medians reported: on a shared machine only ratios within one run mean much.

    python bench/python_bench.py                 # all workloads, table on stdout
    python bench/python_bench.py --json out.json --markdown out.md
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import statistics
import subprocess
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, List, Optional, Tuple

import vantorix

try:  # dask is optional: pip install ".[bench]"
    import dask.local
    import dask.threaded

    HAVE_DASK = True
except ImportError:  # pragma: no cover - depends on the environment
    HAVE_DASK = False

NodeFn = Callable[[Dict[str, Any], Dict[str, Any]], Dict[str, Any]]
Pairs = List[Tuple[str, str]]


@dataclass
class Node:
    function: NodeFn
    inputs: Pairs
    outputs: Pairs
    parent: Optional[int]  # index of the node this one depends on


@dataclass
class Workload:
    name: str
    nodes: List[Node]
    expected: Dict[str, Any]
    levels: List[List[int]] = field(default_factory=list)

    def __post_init__(self) -> None:
        depth: List[int] = []
        for node in self.nodes:
            depth.append(0 if node.parent is None else depth[node.parent] + 1)
        self.levels = [[] for _ in range(max(depth, default=-1) + 1)]
        for index, level in enumerate(depth):
            self.levels[level].append(index)


def increment(inputs: Dict[str, Any], params: Dict[str, Any]) -> Dict[str, Any]:
    return {"y": inputs["x"] + 1}


def start(inputs: Dict[str, Any], params: Dict[str, Any]) -> Dict[str, Any]:
    return {"y": 0}


def chain(length: int) -> Workload:
    """Each node reads the previous node's variable under the name "x" and writes one."""
    nodes = [Node(start, [], [("y", "v0")], None)]
    for k in range(1, length):
        nodes.append(Node(increment, [(f"v{k - 1}", "x")], [("y", f"v{k}")], k - 1))
    return Workload(f"chain {length}", nodes, {f"v{k}": k for k in range(length)})


def carry(inputs: Dict[str, Any], params: Dict[str, Any]) -> Dict[str, Any]:
    return {"y": inputs.get("x", 0) + 1}


def pipeline(length: int) -> Workload:
    """Node i reads v{i} as "x" and publishes "y" as v{i+1}: every node adds a variable, so the
    context and the final dict grow to `length` entries, as in a long pipeline."""
    nodes = [
        Node(carry, [(f"v{k}", "x")], [("y", f"v{k + 1}")], None if k == 0 else k - 1)
        for k in range(length)
    ]
    return Workload(f"pipeline {length}", nodes, {f"v{k + 1}": k + 1 for k in range(length)})


def wide(width: int, function: NodeFn, name: str) -> Workload:
    """A root, then one level of `width` nodes that all read the root's variable."""
    nodes = [Node(start, [], [("y", "v0")], None)]
    for k in range(1, width + 1):
        nodes.append(Node(function, [("v0", "x")], [("y", f"w{k}")], 0))
    expected = {"v0": 0, **{f"w{k}": 1 for k in range(1, width + 1)}}
    return Workload(name, nodes, expected)


def sleeper(inputs: Dict[str, Any], params: Dict[str, Any]) -> Dict[str, Any]:
    time.sleep(0.020)
    return {"y": inputs["x"] + 1}


# --- implementations -----------------------------------------------------------------------


def build_vantorix(workload: Workload) -> vantorix.PyDag:
    """Chains are added in order; the nodes of a wide level are one-node branches of the root."""
    graph = vantorix.PyGraph()
    root = workload.nodes[0]
    graph.add(root.function, inputs=root.inputs, outputs=root.outputs)
    for node in workload.nodes[1:]:
        if node.parent == 0 and len(workload.levels) == 2:
            branch = vantorix.PyGraph()
            branch.add(node.function, inputs=node.inputs, outputs=node.outputs)
            graph.branch(branch)
        else:
            graph.add(node.function, inputs=node.inputs, outputs=node.outputs)
    return graph.build()


def run_node(node: Node, context: Dict[str, Any]) -> Dict[str, Any]:
    inputs = {impl: context[broadcast] for broadcast, impl in node.inputs if broadcast in context}
    returned = node.function(inputs, {})
    published: Dict[str, Any] = {}
    if isinstance(returned, dict):
        for impl, broadcast in node.outputs:
            if impl in returned:
                published[broadcast] = returned[impl]
    return published


def pure_python(workload: Workload) -> Callable[[], Dict[str, Any]]:
    """The loop a user would write by hand: nodes in dependency order, one at a time."""
    plan = [(n.function, n.inputs, n.outputs) for n in workload.nodes]

    def run() -> Dict[str, Any]:
        context: Dict[str, Any] = {}
        for function, inputs, outputs in plan:
            returned = function({i: context[b] for b, i in inputs if b in context}, {})
            for impl, broadcast in outputs:
                if impl in returned:
                    context[broadcast] = returned[impl]
        return context

    return run


def run_on_pool(pool: ThreadPoolExecutor, workload: Workload) -> Dict[str, Any]:
    """Level by level on `pool`, each level against a snapshot of the context."""
    context: Dict[str, Any] = {}
    for level in workload.levels:
        snapshot = dict(context)
        futures = [pool.submit(run_node, workload.nodes[i], snapshot) for i in level]
        for future in futures:
            context.update(future.result())
    return context


def thread_pool(workload: Workload, workers: int) -> Tuple[Callable[[], Dict[str, Any]], Any]:
    """On a persistent ThreadPoolExecutor."""
    pool = ThreadPoolExecutor(max_workers=workers)
    return (lambda: run_on_pool(pool, workload)), pool


def thread_pool_per_run(workload: Workload, workers: int) -> Callable[[], Dict[str, Any]]:
    """On a ThreadPoolExecutor started and shut down by every run: what a script pays that
    keeps no pool between runs (its threads are started as the first levels need them)."""

    def run() -> Dict[str, Any]:
        with ThreadPoolExecutor(max_workers=workers) as pool:
            return run_on_pool(pool, workload)

    return run


def dask_graph(workload: Workload) -> Tuple[Dict[str, Any], List[str]]:
    """One task per node, taking its parent's context as argument and returning its own."""

    def task(index: int, parent_context: Optional[Dict[str, Any]]) -> Dict[str, Any]:
        context = dict(parent_context or {})
        context.update(run_node(workload.nodes[index], context))
        return context

    graph: Dict[str, Any] = {}
    for index, node in enumerate(workload.nodes):
        parent = None if node.parent is None else f"n{node.parent}"
        graph[f"n{index}"] = (task, index, parent)
    return graph, [f"n{index}" for index in range(len(workload.nodes))]


def dask_runner(workload: Workload, get: Callable[..., Any], **options: Any) -> Callable[[], Any]:
    graph, keys = dask_graph(workload)

    def run() -> Dict[str, Any]:
        merged: Dict[str, Any] = {}
        for context in get(graph, keys, **options):
            merged.update(context)
        return merged

    return run


# --- measurement ---------------------------------------------------------------------------


def measure(
    implementations: Dict[str, Callable[[], Dict[str, Any]]],
    expected: Dict[str, Any],
    repetitions: int,
) -> Dict[str, float]:
    """Median wall time in seconds of each implementation, sampled round-robin."""
    samples: Dict[str, List[float]] = {name: [] for name in implementations}
    for name, run in implementations.items():
        result = run()
        if result != expected:
            raise AssertionError(f"{name} computed a wrong context")
    names = list(implementations)
    for repetition in range(repetitions):
        order = names[repetition % len(names):] + names[: repetition % len(names)]
        for name in order:
            gc.collect()
            begin = time.perf_counter()
            implementations[name]()
            samples[name].append(time.perf_counter() - begin)
    return {name: statistics.median(times) for name, times in samples.items()}


def bare_thread_cost(count: int, repetitions: int) -> float:
    """Seconds per thread to start `count` Python threads and join them."""

    def nothing() -> None:
        pass

    costs = []
    for _ in range(repetitions):
        begin = time.perf_counter()
        threads = [threading.Thread(target=nothing) for _ in range(count)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        costs.append((time.perf_counter() - begin) / count)
    return statistics.median(costs)


def w1_sequential(repetitions: int) -> List[Dict[str, Any]]:
    rows = []
    for length in (1_000, 10_000):
        workload = pipeline(length)
        dag = build_vantorix(workload)
        implementations = {"vantorix": dag.execute, "pure Python loop": pure_python(workload)}
        if HAVE_DASK:
            implementations["dask get_sync"] = dask_runner(workload, dask.local.get_sync)
        medians = measure(implementations, workload.expected, repetitions)
        per_node = {name: seconds / length * 1e6 for name, seconds in medians.items()}
        rows.append({"workload": workload.name, "us_per_node": per_node})
    return rows


def measure_parallel(
    workload: Workload, max_threads: Optional[int], repetitions: int
) -> Dict[str, float]:
    """Median seconds of a parallel run: vantorix, a thread pool and dask's threaded scheduler,
    each allowed `max_threads` threads (the level's width when None)."""
    dag = build_vantorix(workload)
    workers = max_threads or len(workload.levels[-1])
    pool_run, pool = thread_pool(workload, workers)
    implementations = {
        "vantorix": lambda: dag.execute(parallel=True, max_threads=max_threads),
        "ThreadPoolExecutor": pool_run,
        "ThreadPoolExecutor, new per run": thread_pool_per_run(workload, workers),
    }
    if HAVE_DASK:
        implementations["dask threaded"] = dask_runner(
            workload, dask.threaded.get, num_workers=workers
        )
    try:
        return measure(implementations, workload.expected, repetitions)
    finally:
        pool.shutdown()


def w2_overlap(repetitions: int) -> List[Dict[str, Any]]:
    rows = []
    workload = wide(16, sleeper, "root + 16 x sleep(20 ms)")
    for max_threads, ideal in ((None, 0.020), (4, 0.080)):
        medians = measure_parallel(workload, max_threads, repetitions)
        ratios = {name: seconds / ideal for name, seconds in medians.items()}
        rows.append(
            {"workload": f"{workload.name}, max_threads={max_threads}", "wall_over_ideal": ratios}
        )
    return rows


DEFAULT_THREAD_FLOOR = os.path.join(
    os.path.dirname(os.path.abspath(__file__)), "..", "build", "release", "bench", "thread_floor"
)


def thread_floor(program: str, width: int, repetitions: int) -> Dict[str, float]:
    """µs per node of bench/thread_floor.cpp (built by the release preset): a fresh thread per
    node that takes the interpreter lock with a new thread state and calls a trivial function."""
    if not os.access(program, os.X_OK):
        return {}
    output = subprocess.run(
        [program, str(width), str(repetitions)], check=True, capture_output=True, text=True
    ).stdout
    floors = {}
    for line in output.splitlines():
        label, value = line.rsplit(" ", 1)
        floors[f"floor: fresh thread + thread state + call, {label}"] = float(value)
    return floors


def w3_threads(repetitions: int, floor_program: str) -> Dict[str, Any]:
    width = 64
    workload = wide(width, increment, f"root + {width} trivial nodes, parallel")
    # The floor runs in a process of its own, half before and half after the others, so that it
    # is sampled over the same stretch of time.
    floor_before = thread_floor(floor_program, width, max(1, repetitions // 2))
    medians = measure_parallel(workload, None, repetitions)
    per_node = {name: seconds / width * 1e6 for name, seconds in medians.items()}
    per_node["bare thread start+join"] = bare_thread_cost(width, repetitions) * 1e6
    floor_after = thread_floor(floor_program, width, max(1, repetitions // 2))
    for name, value in floor_before.items():
        per_node[name] = (value + floor_after[name]) / 2
    return {"workload": workload.name, "us_per_node": per_node}


W4_CHILD = r"""
import gc, json, sys, time
sys.path.insert(0, sys.argv[2])
import python_bench as b
import vantorix

length = int(sys.argv[1])
def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096
workload = b.chain(length)
arguments = [(n.function, n.inputs, n.outputs) for n in workload.nodes]
gc.collect()
before = rss()
begin = time.perf_counter()
graph = vantorix.PyGraph()
for function, inputs, outputs in arguments:
    graph.add(function, inputs=inputs, outputs=outputs)
dag = graph.build()
build = time.perf_counter() - begin
del graph
gc.collect()
memory = (rss() - before) / length
def best_of(action, times=5):
    # Median of a few runs; the collector is paused so that only this code is timed.
    samples = []
    for _ in range(times):
        gc.disable()
        begin = time.perf_counter()
        output = action()
        samples.append(time.perf_counter() - begin)
        gc.enable()
        del output
    return sorted(samples)[len(samples) // 2]
assert dag.execute() == workload.expected
execute = best_of(dag.execute)
mermaid = best_of(dag.to_mermaid)
print(json.dumps({"build": build, "execute": execute, "mermaid": mermaid, "bytes_per_node": memory}))
"""


def w4_scale(max_length: int) -> List[Dict[str, Any]]:
    rows = []
    length = 1_000
    here = os.path.dirname(os.path.abspath(__file__))
    while length <= max_length:
        output = subprocess.run(
            [sys.executable, "-c", W4_CHILD, str(length), here],
            check=True,
            capture_output=True,
            text=True,
        ).stdout
        rows.append({"length": length, **json.loads(output)})
        length *= 10
    for previous, row in zip(rows, rows[1:]):
        row["growth"] = {
            key: row[key] / previous[key] for key in ("build", "execute", "mermaid")
        }
    return rows


# --- report --------------------------------------------------------------------------------


def relative(values: Dict[str, float]) -> Dict[str, float]:
    """Each figure divided by vantorix's, measured in the same run."""
    return {name: value / values["vantorix"] for name, value in values.items()}


def markdown(results: Dict[str, Any]) -> str:
    lines = [f"Python {sys.version.split()[0]}, {os.cpu_count()} cores. Medians; lower is better.", ""]
    if "w1" in results:
        lines += [
            "| W1 sequential pipeline | implementation | µs per node | / vantorix |",
            "|---|---|---:|---:|",
        ]
        for row in results["w1"]:
            ratios = relative(row["us_per_node"])
            for name, value in row["us_per_node"].items():
                lines.append(f"| {row['workload']} | {name} | {value:.2f} | {ratios[name]:.2f} |")
        lines.append("")
    if "w2" in results:
        lines += ["| W2 overlap | implementation | wall time / ideal |", "|---|---|---:|"]
        for row in results["w2"]:
            for name, value in row["wall_over_ideal"].items():
                lines.append(f"| {row['workload']} | {name} | {value:.3f} |")
        lines.append("")
    if "w3" in results:
        w3 = results["w3"]
        ratios = relative(w3["us_per_node"])
        lines += [
            "| W3 thread cost | implementation | µs per node | / vantorix |",
            "|---|---|---:|---:|",
        ]
        for name, value in w3["us_per_node"].items():
            lines.append(f"| {w3['workload']} | {name} | {value:.1f} | {ratios[name]:.2f} |")
        lines.append("")
    if "w4" in results:
        lines += [
            "| W4 chain length | add + build (s) | execute (s) | to_mermaid (s) | growth per 10x "
            "(build / execute / mermaid) | engine bytes per node |",
            "|---:|---:|---:|---:|---|---:|",
        ]
        for row in results["w4"]:
            growth = row.get("growth")
            growth_text = (
                " / ".join(f"{growth[k]:.1f}" for k in ("build", "execute", "mermaid"))
                if growth
                else "-"
            )
            lines.append(
                f"| {row['length']:,} | {row['build']:.4f} | {row['execute']:.4f} | "
                f"{row['mermaid']:.4f} | {growth_text} | {row['bytes_per_node']:.0f} |"
            )
        lines.append("")
    return "\n".join(lines)


def publish(table: str, results: Dict[str, Any], json_path: Optional[str],
            markdown_path: Optional[str]) -> None:
    """Prints the tables, and writes them and the raw figures to the files asked for."""
    print(table)
    if json_path:
        with open(json_path, "w") as handle:
            json.dump(results, handle, indent=2)
    if markdown_path:
        with open(markdown_path, "w") as handle:
            handle.write(table)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--repetitions", type=int, default=15)
    parser.add_argument("--max-length", type=int, default=1_000_000, help="longest W4 chain")
    parser.add_argument(
        "--thread-floor",
        default=DEFAULT_THREAD_FLOOR,
        help="the thread_floor program (W3's floor; skipped when it does not exist)",
    )
    parser.add_argument(
        "--workloads", default="w1,w2,w3,w4", help="comma-separated subset of w1,w2,w3,w4"
    )
    parser.add_argument("--json", help="write the figures as JSON to this file")
    parser.add_argument("--markdown", help="write the tables as markdown to this file")
    args = parser.parse_args()

    workloads = {
        "w1": lambda: w1_sequential(args.repetitions),
        "w2": lambda: w2_overlap(max(3, args.repetitions // 3)),
        "w3": lambda: w3_threads(args.repetitions, args.thread_floor),
        "w4": lambda: w4_scale(args.max_length),
    }
    chosen = args.workloads.split(",")
    unknown = set(chosen) - set(workloads)
    if unknown:
        parser.error(f"unknown workloads: {', '.join(sorted(unknown))}")
    results: Dict[str, Any] = {"python": sys.version, "dask": HAVE_DASK}
    for name in workloads:
        if name in chosen:
            results[name] = workloads[name]()
    publish(markdown(results), results, args.json, args.markdown)


if __name__ == "__main__":
    main()
