"""A node that runs its own DAG again, without end, ends in RecursionError, never in a crash or in
one more thread per level: in a child interpreter, nested on the calling thread, on a worker
thread, and through parallel levels whose every run starts a new worker; with the recursion
limit raised far beyond what the C stack holds, and with an unlimited stack."""

import resource
import subprocess
import sys

import pytest

CHILD = r"""
import sys
import threading
import vantorix

sys.setrecursionlimit(int(sys.argv[4]))
catch, where, call = sys.argv[1] == "catch", sys.argv[2], sys.argv[3]
depth = 0
most_threads = 0

def nest(inputs, params):
    global depth, most_threads
    depth += 1
    most_threads = max(most_threads, threading.active_count())
    run = {
        "execute": lambda: inner.execute(where == "levels"),
        "execute_detailed": lambda: inner.execute_detailed(where == "levels").context,
    }[call]
    if not catch:
        return run()
    try:
        return run()
    except RecursionError:
        return {"depth": depth}

def two_node_level(function):
    # Two nodes on one level: in parallel mode the first runs on a worker thread.
    graph = vantorix.PyGraph()
    graph.add()
    for node in (function, lambda i, p: {}):
        branch = vantorix.PyGraph()
        branch.add(node, outputs={"depth": "depth"})
        graph.branch(branch)
    return graph.build()

if where == "levels":
    inner = outer = two_node_level(nest)
else:
    graph = vantorix.PyGraph()
    graph.add(nest, outputs={"depth": "depth"})
    inner = graph.build()
    outer = two_node_level(nest) if where == "worker" else inner
print(outer.execute(where != "caller").get("depth"), depth, most_threads)
"""


def run(catch, where, call="execute", limit=1_000_000, unlimited_stack=False):
    def lift_stack_limit():
        resource.setrlimit(resource.RLIMIT_STACK, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))

    child = subprocess.run(
        [sys.executable, "-X", "faulthandler", "-c", CHILD, catch, where, call, str(limit)],
        capture_output=True, text=True, timeout=300, check=False,
        preexec_fn=lift_stack_limit if unlimited_stack else None)
    assert child.returncode == 0, child.stderr[-3000:]
    result, depth, threads = child.stdout.split()
    return result, int(depth), int(threads), child.stderr


@pytest.mark.parametrize("unlimited_stack", [False, True], ids=["stack-8m", "stack-unlimited"])
@pytest.mark.parametrize("where", ["caller", "worker"])
def test_endless_nested_runs_raise_recursion_error(where, unlimited_stack):
    result, depth, _, stderr = run("catch", where, unlimited_stack=unlimited_stack)
    # Hundreds of levels at the least, a thousand at most: 3.12 counts C recursion and stops
    # first, near 750, by failing the call of the next node before it runs (the ordinary
    # node-failure path).
    assert 500 <= depth <= 1000
    if result == "None":
        assert sys.version_info[:2] == (3, 12)
        assert "RecursionError" in stderr
    else:
        assert int(result) == depth
        assert stderr == ""


@pytest.mark.parametrize("call", ["execute", "execute_detailed"])
@pytest.mark.parametrize("limit", [150, 1_000_000])
def test_nesting_through_parallel_levels_is_bounded_by_the_recursion_limit(call, limit):
    # Every nested run starts on a fresh worker thread, where the interpreter's own recursion
    # count starts again from zero: the depth of runs is carried across them instead.
    result, depth, threads, stderr = run("catch", "levels", call, limit)
    assert int(result) == depth == min(limit, 1000)
    assert threads <= depth + 2
    assert stderr == ""


def test_an_uncaught_recursion_error_fails_the_deepest_node_only():
    result, depth, _, stderr = run("raise", "caller")
    assert result == "None"
    assert depth >= 500
    assert "RecursionError" in stderr
