"""Reference and memory hygiene at scale: wide parallel DAGs run many times over, error paths
included, give back every reference they take; resident memory stays flat over a long loop;
and one object shared by a whole level survives another thread churning its references."""

import gc
import os
import sys
import threading

import pytest

import vantorix
from _scenarios import fan

SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")
MODES = [(), (True,), (True, 3), (True, 0)]


class Payload:
    """A value no other code refers to, so its reference count is ours alone to watch."""


class Step:
    """A node function that publishes its own payload and passes its inputs on; every fifth
    raises and every seventh returns None, so error paths run at every level."""

    def __init__(self, index):
        self.index = index
        self.payload = Payload()

    def __call__(self, inputs, params):
        if self.index % 5 == 4:
            raise LookupError(f"step {self.index}")
        if self.index % 7 == 6:
            return None
        return {**inputs, "out": self.payload, f"p{self.index}": self.payload}


def counts(objects):
    return [sys.getrefcount(obj) for obj in objects]


def type_counts():
    """References to the two types, one per live instance: after a full collection, so that
    garbage of earlier tests that a collection during the test would free does not count."""
    gc.collect()
    return sys.getrefcount(vantorix.PyGraph), sys.getrefcount(vantorix.PyDag)


@pytest.mark.volume
def test_wide_parallel_runs_give_back_every_reference(capsys, monkeypatch):
    # Failures recorded as text only: a kept traceback would hold the nodes' inputs.
    reported = []
    monkeypatch.setattr(sys, "excepthook", lambda t, v, tb: reported.append(f"{t.__name__}"))
    type_baseline = type_counts()
    # 50 nodes: a root, then 7 branches of 7 steps (7 levels of 7 nodes on workers).
    steps = [Step(index) for index in range(50)]
    dag = fan([steps[i:i + 7] for i in range(1, 50, 7)], root=steps[0])
    payloads = [step.payload for step in steps]
    baseline = counts(steps), counts(payloads)

    runs = 240
    for run in range(runs):
        result = dag.execute(*MODES[run % len(MODES)])
        del result
    assert (counts(steps), counts(payloads)) == baseline
    assert reported == ["LookupError"] * (runs * sum(s.index % 5 == 4 for s in steps))
    err = capsys.readouterr().err
    assert err.count("did not return a dict") == runs * sum(
        s.index % 7 == 6 and s.index % 5 != 4 for s in steps)

    del dag  # each node held one reference to its function
    assert counts(steps) == [count - 1 for count in baseline[0]]
    assert counts(payloads) == baseline[1]
    assert type_counts() == type_baseline


def test_graphs_built_and_run_inside_nodes_on_workers_are_freed():
    value = Payload()

    def build_and_run(inputs, params):
        inner = fan([[lambda i, p: {"out": value}]] * 2)
        return {"out": inner.execute(True)["out"]}

    dag = fan([[build_and_run]] * 4)
    type_baseline = type_counts()
    value_baseline = sys.getrefcount(value)
    for run in range(100):
        assert dag.execute(*MODES[run % len(MODES)])["out"] is value
    assert type_counts() == type_baseline
    assert sys.getrefcount(value) == value_baseline


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(SANITIZED, reason="ASan's quarantine and shadow memory make RSS meaningless")
@pytest.mark.volume
def test_resident_memory_stays_flat_over_100000_runs():
    dag = fan([[lambda i, p: {"out": [i.get("x")] * 8}], [lambda i, p: {"y": {"k": "v" * 64}}]],
              root=lambda i, p: {"x": object()}, after=[lambda i, p: None])
    runs, every_parallel = 100_000, 50

    def loop(count):
        for run in range(count):
            dag.execute(run % every_parallel == 0)

    loop(runs // 10)  # warm-up: allocator pools and caches reach their working size
    before = resident_bytes()
    loop(runs)
    growth = resident_bytes() - before
    print(f"RSS growth over {runs} runs: {growth / 1024:.0f} KiB")
    assert growth < 8 * 1024 * 1024


@pytest.mark.skipif(SANITIZED, reason="ASan's quarantine and shadow memory make RSS meaningless")
@pytest.mark.volume
def test_names_of_dropped_graphs_are_freed():
    # A name stays in memory for good once interned (from 3.12 on), so graphs of fresh names,
    # each 4 MiB of them, must not keep theirs.
    def build_and_drop(round_number):
        graph = vantorix.PyGraph()
        for node in range(20_000):
            name = f"{round_number}-{node}-".ljust(200, "x")
            graph.add(lambda i, p: {}, inputs={name: name}, outputs={name: name})
        del graph

    build_and_drop(0)  # warm-up
    before = resident_bytes()
    for round_number in range(1, 6):
        build_and_drop(round_number)
    growth = resident_bytes() - before
    print(f"RSS growth over 5 graphs of 20000 fresh names: {growth / 1024:.0f} KiB")
    assert growth < 8 * 1024 * 1024


@pytest.mark.volume
def test_one_object_shared_by_a_level_survives_reference_churn():
    shared = Payload()
    stop = threading.Event()

    def churn():
        while not stop.is_set():
            held = [shared] * 64
            del held

    # 32 nodes of one level return `shared`; each node of the level after copies it as an input.
    dag = fan([[lambda i, p: {"out": shared}, lambda i, p: i]] * 32)
    baseline = sys.getrefcount(shared)
    # Short turns with the interpreter lock: the churn interleaves finely with the nodes, and
    # the workers do not wait out a long switch interval each time they need the lock.
    interval = sys.getswitchinterval()
    sys.setswitchinterval(0.0001)
    churner = threading.Thread(target=churn)
    churner.start()
    try:
        for run in range(100):
            assert dag.execute(True, None if run % 2 else 8)["out"] is shared
    finally:
        stop.set()
        churner.join(timeout=60)
        sys.setswitchinterval(interval)
    assert not churner.is_alive()
    assert sys.getrefcount(shared) == baseline
