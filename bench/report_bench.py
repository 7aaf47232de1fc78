"""Cost of a run report, and of the data-flow views: PyDag.execute_detailed(), PyDag.plan()
and PyDag.check() next to PyDag.execute() on the same chain.

Every node reads the previous node's variable and publishes one, as in the W1 workload of
python_bench.py. The calls are sampled round-robin with the collector paused, and the medians
are compared; the figure that matters is the ratio, which stays meaningful on a shared machine.
A report makes its records and node outputs on first access: one row reads both. plan() and
check() follow the same chain; both are linear, and plan() is meant to stay within 2 µs a node.

    python bench/report_bench.py                  # chains of 1,000 and 10,000 nodes
    python bench/report_bench.py --lengths 100000 --repetitions 9
"""

from __future__ import annotations

import argparse
import gc
import statistics
import sys
import time
from typing import Any, Callable, Dict, List

import vantorix

Values = Dict[str, Any]


def start(inputs: Values, params: Values) -> Values:
    return {"y": 0}


def increment(inputs: Values, params: Values) -> Values:
    return {"y": inputs["x"] + 1}


def chain(length: int) -> vantorix.PyDag:
    graph = vantorix.PyGraph()
    graph.add(start, outputs={"y": "v0"})
    for k in range(1, length):
        graph.add(increment, inputs={f"v{k - 1}": "x"}, outputs={"y": f"v{k}"})
    return graph.build()


def medians(runs: Dict[str, Callable[[], Any]], repetitions: int) -> Dict[str, float]:
    samples: Dict[str, List[float]] = {name: [] for name in runs}
    for run in runs.values():  # warm up
        run()
    gc.collect()
    gc.disable()
    try:
        for _ in range(repetitions):
            for name, run in runs.items():
                begin = time.perf_counter()
                result = run()
                samples[name].append(time.perf_counter() - begin)
                del result
    finally:
        gc.enable()
    return {name: statistics.median(values) for name, values in samples.items()}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--lengths", type=int, nargs="+", default=[1_000, 10_000, 100_000])
    parser.add_argument("--repetitions", type=int, default=25)
    arguments = parser.parse_args()

    print(f"Python {sys.version.split()[0]}; medians of {arguments.repetitions} runs")
    print()
    print("| chain | call | µs per node | vs execute |")
    print("|---:|---|---:|---:|")
    for length in arguments.lengths:
        dag = chain(length)
        expected = length - 1
        report = dag.execute_detailed()
        assert report.context[f"v{length - 1}"] == expected and not report.failed
        assert len(report.nodes) == length

        def count(record: Any, seen: List[int] = [0]) -> None:
            seen[0] += 1

        def read_everything() -> Any:
            report = dag.execute_detailed()
            return report.nodes, report.node_outputs

        runs: Dict[str, Callable[[], Any]] = {
            "execute()": dag.execute,
            "execute_detailed()": dag.execute_detailed,
            "execute_detailed(parallel=True)": lambda: dag.execute_detailed(parallel=True),
            "execute_detailed(on_node=...)": lambda: dag.execute_detailed(on_node=count),
            "execute_detailed(), then .nodes and .node_outputs": read_everything,
            "plan()": dag.plan,
            "plan(parallel=True)": lambda: dag.plan(True),
            "check(parallel=True)": lambda: dag.check(True),
        }
        figures = medians(runs, arguments.repetitions)
        base = figures["execute()"]
        for name, seconds in figures.items():
            print(f"| {length:,} | {name} | {seconds / length * 1e6:.2f} | "
                  f"{seconds / base:.2f}x |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
