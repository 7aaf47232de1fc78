"""A pipeline whose middle level reads shard files and waits on a slow store.

The readers release the GIL while they wait (file reads, time.sleep standing in for network
latency), so running the level on worker threads overlaps the waits. The script runs the DAG
sequentially and in parallel, checks that the results agree and prints the speed-up.

    python examples/data_pipeline.py [--shards N] [--latency SECONDS] [--max-threads N]
"""

from __future__ import annotations

import argparse
import tempfile
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

import vantorix

Values = dict[str, Any]
NodeFunction = Callable[[Values, Values], Values]


def write_shards(directory: Path, shards: int) -> None:
    for index in range(shards):
        numbers = [index * 100 + k for k in range(100)]
        (directory / f"shard-{index}.txt").write_text("\n".join(map(str, numbers)) + "\n")


def make_discover(directory: Path, shards: int) -> NodeFunction:
    def discover(inputs: Values, params: Values) -> Values:
        return {f"path_{i}": str(directory / f"shard-{i}.txt") for i in range(shards)}

    return discover


def make_reader(latency: float) -> NodeFunction:
    def read_shard(inputs: Values, params: Values) -> Values:
        time.sleep(latency)  # the store's round trip; the GIL is released while waiting
        text = Path(inputs["path"]).read_text()
        return {"numbers": [int(line) for line in text.split()]}

    return read_shard


def make_summary(shards: int) -> NodeFunction:
    def summarise(inputs: Values, params: Values) -> Values:
        parts = [inputs[f"part_{i}"] for i in range(shards)]
        return {
            "count": sum(len(part) for part in parts),
            "total": sum(sum(part) for part in parts),
            "largest": max(max(part) for part in parts),
        }

    return summarise


def build_pipeline(directory: Path, shards: int, latency: float) -> vantorix.PyDag:
    graph = vantorix.PyGraph()
    graph.add(make_discover(directory, shards), "discover shards",
              outputs={f"path_{i}": f"path_{i}" for i in range(shards)})
    reader = make_reader(latency)
    # Every shard but the first is read on a branch; all branches start at "discover shards".
    for i in range(1, shards):
        branch = vantorix.PyGraph()
        branch.add(reader, f"read shard {i}", inputs={f"path_{i}": "path"},
                   outputs={"numbers": f"shard_{i}"})
        graph.branch(branch)
    # The main chain reads shard 0, so the readers form one level. There are no joins:
    # "summarise" depends only on "read shard 0", but it sits one level further down, and every
    # node of a level sees the outputs of all earlier levels.
    graph.add(reader, "read shard 0", inputs={"path_0": "path"}, outputs={"numbers": "shard_0"})
    graph.add(make_summary(shards), "summarise",
              inputs={f"shard_{i}": f"part_{i}" for i in range(shards)},
              outputs={"count": "count", "total": "total", "largest": "largest"})
    return graph.build()


def timed(dag: vantorix.PyDag, parallel: bool, max_threads: int | None) -> tuple[Values, float]:
    start = time.perf_counter()
    result = dag.execute(parallel=parallel, max_threads=max_threads)
    return result, time.perf_counter() - start


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("--shards", type=int, default=8)
    parser.add_argument("--latency", type=float, default=0.2)
    parser.add_argument("--max-threads", type=int, default=4)
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as temp:
        directory = Path(temp)
        write_shards(directory, args.shards)
        dag = build_pipeline(directory, args.shards, args.latency)
        sequential, sequential_time = timed(dag, False, None)
        parallel, parallel_time = timed(dag, True, None)
        batched, batched_time = timed(dag, True, args.max_threads)

    summary = {name: sequential[name] for name in ("count", "total", "largest")}
    print(f"summary: {summary}")
    print(f"results agree: {sequential == parallel == batched}")
    print(f"sequential:                {sequential_time:.3f} s")
    print(f"parallel:                  {parallel_time:.3f} s"
          f" (speed-up {sequential_time / parallel_time:.1f}x)")
    print(f"parallel, max_threads={args.max_threads}: {batched_time:.3f} s"
          f" (speed-up {sequential_time / batched_time:.1f}x)")


if __name__ == "__main__":
    main()
