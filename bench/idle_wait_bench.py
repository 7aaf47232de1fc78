"""What threads that wait inside PyDag.execute(parallel=True) cost the rest of the process.

    python bench/idle_wait_bench.py                        # all three measurements
    python bench/idle_wait_bench.py --waiters 200 --seconds 2 --depth 500

1. Idle cost: `--waiters` Python threads each run a DAG whose multi-node level holds a node
   that blocks on an event, so each of them waits for its workers. Once all of them wait, the
   CPU time the whole process uses over `--seconds` of wall time is what waiting costs (the
   target: under 0.05 s for 1,000 waiters over 5 s).
2. Interference: a pure-Python loop on the main thread, timed without and then with those
   waiters in the background.
3. Nesting: a parallel run whose node, on a worker, starts the next parallel run, `--depth`
   deep; wall time next to the same chain of plain threads that start and join each other.

Figures go to stdout, one per line. They depend on the machine and its load: compare runs made
one after the other on the same machine.
"""

from __future__ import annotations

import argparse
import itertools
import sys
import threading
import time

import vantorix


def blocking_dag(node):
    """A root, then one level of `node` and a no-op node: a run waits for its workers."""
    graph = vantorix.PyGraph()
    graph.add(None)
    for function in (node, None):
        branch = vantorix.PyGraph()
        branch.add(function)
        graph.branch(branch)
    return graph.build()


def busy_loop_seconds(rounds=3):
    """Best of `rounds` timings of a fixed pure-Python loop on the calling thread."""
    best = float("inf")
    for _ in range(rounds):
        start = time.perf_counter()
        total = 0
        for value in range(2_000_000):
            total += value & 7
        best = min(best, time.perf_counter() - start)
    return best


def idle_waiters(count, seconds):
    """Returns (CPU seconds over `seconds` while `count` runs wait, busy loop with them)."""
    release = threading.Event()
    arrived = itertools.count(1)
    all_waiting = threading.Event()

    def block(inputs, params):
        if next(arrived) == count:
            all_waiting.set()
        release.wait()
        return {}

    dag = blocking_dag(block)
    threads = [threading.Thread(target=dag.execute, args=(True,)) for _ in range(count)]
    for thread in threads:
        thread.start()
    try:
        if not all_waiting.wait(timeout=600):
            sys.exit("idle_wait_bench: the waiting runs did not all start")
        cpu_before, wall_before = time.process_time(), time.perf_counter()
        time.sleep(seconds)
        cpu = time.process_time() - cpu_before
        wall = time.perf_counter() - wall_before
        busy = busy_loop_seconds()
    finally:
        release.set()
        for thread in threads:
            thread.join()
    return cpu * seconds / wall, busy


def nested_runs(depth):
    """Wall seconds of `depth` parallel runs nested one inside the other."""
    levels = itertools.count(1)

    def descend(inputs, params):
        if next(levels) < depth:
            dag.execute(True)
        return {}

    dag = blocking_dag(descend)
    start = time.perf_counter()
    dag.execute(True)
    return time.perf_counter() - start


def nested_threads(depth):
    """Wall seconds of the same chain made of plain threads that start and join the next."""
    def descend(level):
        if level < depth:
            child = threading.Thread(target=descend, args=(level + 1,))
            child.start()
            child.join()

    start = time.perf_counter()
    descend(1)
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--waiters", type=int, default=1000)
    parser.add_argument("--seconds", type=float, default=5.0)
    parser.add_argument("--depth", type=int, default=2500)
    arguments = parser.parse_args()

    print(f"python {sys.version.split()[0]}")
    alone = busy_loop_seconds()
    cpu, busy = idle_waiters(arguments.waiters, arguments.seconds)
    print(f"idle cpu of {arguments.waiters} waiting runs over {arguments.seconds:g} s: "
          f"{cpu:.3f} s")
    print(f"busy loop alone: {alone:.3f} s, beside the waiters: {busy:.3f} s "
          f"({busy / alone:.2f}x)")
    print(f"nested parallel runs {arguments.depth} deep: {nested_runs(arguments.depth):.2f} s "
          f"(plain threads: {nested_threads(arguments.depth):.2f} s)")


if __name__ == "__main__":
    main()
