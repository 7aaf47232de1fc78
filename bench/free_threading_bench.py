"""The parallel mode on a free-threaded CPython next to the same version with the GIL.

W5 in-process: a root and 8 nodes of pure-Python arithmetic (about 200 ms each, calibrated on
the first interpreter and then the same work everywhere), run sequentially, in parallel, and in
parallel two at a time (max_threads=2); beside it, the same work on 8 and on 2 bare threads
against one after the other, which is what the interpreter itself allows. W1 (µs per node, a sequential pipeline of 10,000 trivial nodes) and
W3 (µs per node, a level of 64 trivial nodes in parallel) show what a node costs on each build.

Each interpreter runs in a child process of its own, the interpreters taking turns sample by
sample, so that both see the same machine. Every interpreter given must import vantorix.

    python bench/free_threading_bench.py --python /opt/python3.13t/bin/python3.13t \\
        --python ~/.pyenv/versions/3.13.0/bin/python [--samples 5] [--json out.json]
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
from typing import Any, Dict, List

HERE = os.path.dirname(os.path.abspath(__file__))

CHILD = r"""
import json, sys, threading, time
sys.path.insert(0, sys.argv[1])
import python_bench as bench
import vantorix

rounds, task = int(sys.argv[2]), sys.argv[3]

def spin(inputs, params):
    total = 0
    for k in range(rounds):
        total += k * k % 7
    return {"y": total}

def timed(action):
    begin = time.perf_counter()
    action()
    return time.perf_counter() - begin

def on_threads(count):
    threads = [threading.Thread(target=spin, args=({}, {})) for _ in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()

def w5():
    workload = bench.wide(8, spin, "W5")
    dag = bench.build_vantorix(workload)
    sequential = timed(lambda: dag.execute())
    parallel = timed(lambda: dag.execute(True))
    two_at_a_time = timed(lambda: dag.execute(True, 2))
    alone = timed(lambda: [spin({}, {}) for _ in range(8)])
    return {"sequential_s": sequential, "parallel_s": parallel,
            "parallel_speedup": sequential / parallel,
            "max_threads_2_speedup": sequential / two_at_a_time,
            "bare_8_threads_speedup": alone / timed(lambda: on_threads(8)),
            "bare_2_threads_speedup": (alone / 4) / timed(lambda: on_threads(2))}

def per_node():
    pipeline = bench.pipeline(10_000)
    chain = bench.build_vantorix(pipeline)
    wide = bench.build_vantorix(bench.wide(64, bench.increment, "W3"))
    chain.execute()
    wide.execute(True)
    w1 = min(timed(chain.execute) for _ in range(5)) / 10_000
    w3 = min(timed(lambda: wide.execute(True)) for _ in range(5)) / 64
    return {"w1_us": w1 * 1e6, "w3_us": w3 * 1e6}

if task == "calibrate":
    seconds = timed(lambda: spin({}, {}))
    print(json.dumps({"seconds": seconds}))
else:
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    print(json.dumps({"version": sys.version.split()[0], "gil": gil, **w5(), **per_node()}))
"""


def child(python: str, rounds: int, task: str) -> Dict[str, Any]:
    output = subprocess.run([python, "-c", CHILD, HERE, str(rounds), task], check=True,
                            capture_output=True, text=True).stdout
    return json.loads(output)


def calibrate(python: str, target: float) -> int:
    rounds = 100_000
    while True:
        seconds = child(python, rounds, "calibrate")["seconds"]
        if seconds >= target / 4:
            return max(1, int(rounds * target / seconds))
        rounds *= 4


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--python", action="append", required=True,
                        help="an interpreter that imports vantorix (give two or more)")
    parser.add_argument("--samples", type=int, default=5)
    parser.add_argument("--node-seconds", type=float, default=0.2)
    parser.add_argument("--json", help="write the samples and medians there")
    arguments = parser.parse_args()

    rounds = calibrate(arguments.python[0], arguments.node_seconds)
    samples: Dict[str, List[Dict[str, Any]]] = {python: [] for python in arguments.python}
    for sample in range(arguments.samples):
        order = arguments.python[sample % 2:] + arguments.python[:sample % 2]
        for python in order:
            samples[python].append(child(python, rounds, "measure"))

    print(f"{rounds} rounds per node; medians of {arguments.samples} samples, interpreters "
          f"alternating; {os.cpu_count()} cores")
    print("| interpreter | GIL | W5 sequential (s) | W5 parallel (s) | W5 speed-up | "
          "max_threads=2 | 8 bare threads | 2 bare threads | W1 µs/node | W3 µs/node |")
    print("|---|---|---:|---:|---:|---:|---:|---:|---:|---:|")
    medians = {}
    for python, rows in samples.items():
        median = {key: statistics.median(row[key] for row in rows)
                  for key in rows[0] if isinstance(rows[0][key], float)}
        medians[python] = median
        print(f"| {rows[0]['version']} ({python}) | {'on' if rows[0]['gil'] else 'off'} | "
              f"{median['sequential_s']:.2f} | {median['parallel_s']:.2f} | "
              f"{median['parallel_speedup']:.2f}x | {median['max_threads_2_speedup']:.2f}x | "
              f"{median['bare_8_threads_speedup']:.2f}x | {median['bare_2_threads_speedup']:.2f}x | "
              f"{median['w1_us']:.2f} | {median['w3_us']:.1f} |")
    if arguments.json:
        with open(arguments.json, "w") as out:
            json.dump({"rounds": rounds, "samples": samples, "medians": medians}, out, indent=2)


if __name__ == "__main__":
    sys.exit(main())
