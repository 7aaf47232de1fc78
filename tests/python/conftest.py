"""Shared helpers for the vantorix test suite.

Node output on sys.stderr is read with pytest's `capsys`: pytest installs its own sys.stderr at
the start of every test phase, so a replacement made in a fixture would not last into the test.
Tests that need their own stream replace sys.stderr from the test body."""

import gc
import io
import os
import sysconfig
import threading
from pathlib import Path

import pytest

import vantorix


class Recorder(io.StringIO):
    """A stand-in for sys.stderr that also remembers every single write call."""

    def __init__(self):
        super().__init__()
        self.calls = []

    def write(self, text):
        self.calls.append(text)
        return super().write(text)


def graph_of(*nodes):
    """A PyGraph of one chain; each node is a dict of keyword arguments for PyGraph.add."""
    graph = vantorix.PyGraph()
    for node in nodes:
        graph.add(**node)
    return graph


def chain(*nodes):
    return graph_of(*nodes).build()


def fanout(root, *branches, after=()):
    """`root`, then one branch per entry of `branches` (a list of node dicts each) attached
    behind it, then main-chain nodes `after`. The `after` nodes and the first node of every
    branch form level 1, in that order."""
    graph = graph_of(root)
    for branch in branches:
        graph.branch(graph_of(*branch))
    for node in after:
        graph.add(**node)
    return graph.build()


def const(**values):
    """A node function returning `values`."""
    return lambda inputs, params: dict(values)


class OwnHash(str):
    """Equal only to itself, so a dict can hold it beside a plain str of the same text."""

    def __hash__(self):
        return id(self)

    def __eq__(self, other):
        return self is other

    def __str__(self):
        raise AssertionError("the engine must not call __str__")


class Guarded(dict):
    """A returned dict whose overridden methods must not decide what a node publishes."""

    def items(self):
        raise AssertionError("overridden methods are not called")

    __getitem__ = __iter__ = keys = values = get = __contains__ = items


# Whether the module imported is one that pip installed, rather than a build tree's.
INSTALLED = Path(vantorix.__file__).parent == Path(sysconfig.get_paths()["platlib"])

# The torture stage of tests/run_all.sh: see `hostile_garbage_collection`.
HOSTILE_GC = os.environ.get("VANTORIX_HOSTILE_GC") == "1"


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "volume: repeats one thing many times over; left out of the torture stage, "
                   "where every allocation runs the collector")


class _CollectsWhenFreed:
    def __del__(self):
        gc.collect()


def _releasing_dag():
    """A parallel level of two nodes, each running a sequential DAG on its worker thread that
    replaces an object whose finaliser runs the collector. The worker drops the replaced object
    with the interpreter lock released, so its reference is queued, and given back at whatever
    entry into the module comes next, on any thread."""
    inner = graph_of(
        {"function": lambda i, p: {"x": _CollectsWhenFreed()}, "outputs": {"x": "x"}},
        {"function": lambda i, p: {"x": None}, "outputs": {"x": "x"}},
    ).build()
    return fanout({}, [{"function": lambda i, p: inner.execute()}],
                  [{"function": lambda i, p: inner.execute()}])


@pytest.fixture(autouse=True, scope="session")
def hostile_garbage_collection():
    """With VANTORIX_HOSTILE_GC=1: the collector runs at every allocation of a container, and a
    thread keeps queueing releases of objects whose finaliser runs the collector, for the whole
    session (see tests/run_all.sh)."""
    if not HOSTILE_GC:
        yield
        return
    thresholds = gc.get_threshold()
    gc.set_threshold(1)
    stop = threading.Event()
    dag = _releasing_dag()

    def release_until_stopped():
        while not stop.is_set():
            dag.execute(True)

    releaser = threading.Thread(target=release_until_stopped, daemon=True)
    releaser.start()
    yield
    stop.set()
    releaser.join()
    gc.set_threshold(*thresholds)
