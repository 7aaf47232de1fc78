"""A node that runs its own DAG again, without end and with the recursion limit raised far
beyond what the C stack holds, ends in RecursionError, never in a crash: in a child interpreter,
on the calling thread and on a worker thread."""

import subprocess
import sys

import pytest

CHILD = r"""
import sys
import vantorix

sys.setrecursionlimit(1_000_000)
catch, where = sys.argv[1] == "catch", sys.argv[2]
depth = 0

def nest(inputs, params):
    global depth
    depth += 1
    if not catch:
        return inner.execute()
    try:
        return inner.execute()
    except RecursionError:
        return {"depth": depth}

graph = vantorix.PyGraph()
graph.add(nest, outputs={"depth": "depth"})
inner = graph.build()
if where == "worker":
    # Two nodes on one level: the recursion runs on a worker thread's own stack.
    graph = vantorix.PyGraph()
    graph.add()
    for function in (nest, lambda i, p: {}):
        branch = vantorix.PyGraph()
        branch.add(function, outputs={"depth": "depth"})
        graph.branch(branch)
    outer = graph.build()
else:
    outer = inner
print(outer.execute(where == "worker").get("depth"), depth)
"""


def run(catch, where):
    child = subprocess.run([sys.executable, "-X", "faulthandler", "-c", CHILD, catch, where],
                           capture_output=True, text=True, timeout=300, check=False)
    assert child.returncode == 0, child.stderr[-3000:]
    return child.stdout.split(), child.stderr


@pytest.mark.parametrize("where", ["caller", "worker"])
def test_endless_nested_runs_raise_recursion_error(where):
    (result, depth), stderr = run("catch", where)
    # Hundreds of levels at the least: 3.12 counts C recursion and stops first, near 750, by
    # failing the call of the next node before it runs (the ordinary node-failure path).
    assert int(depth) >= 500
    if result == "None":
        assert sys.version_info[:2] == (3, 12)
        assert "RecursionError" in stderr
    else:
        assert result == depth
        assert stderr == ""


def test_an_uncaught_recursion_error_fails_the_deepest_node_only():
    (result, depth), stderr = run("raise", "caller")
    assert result == "None"
    assert int(depth) >= 500
    assert "RecursionError" in stderr
