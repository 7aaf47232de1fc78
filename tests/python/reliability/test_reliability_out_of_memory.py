"""Running out of memory inside a method raises MemoryError on the calling thread and leaves the
module usable; it never aborts the process. In a child interpreter whose address space is
capped just above what it uses, so that copying one large text into the engine fails. A node's
result is read without copying the names its node does not publish, so a large one of those
costs nothing."""

import os
import subprocess
import sys

import pytest

SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")

CHILD = r"""
import os, resource, sys
import vantorix

big = "n" * (512 << 20)  # the engine copies it once: that copy cannot be made
pages = int(open("/proc/self/statm").read().split()[0])
resource.setrlimit(resource.RLIMIT_AS,
                   (pages * os.sysconf("SC_PAGE_SIZE") + (256 << 20), resource.RLIM_INFINITY))

def returns_big_name(inputs, params):
    return {big: 1, "small": 2}

graph = vantorix.PyGraph()
case = sys.argv[1]
try:
    if case == "label":
        graph.add(label=big)
    elif case == "mapping":
        graph.add(inputs={big: "x"})
    else:
        root = vantorix.PyGraph()
        root.add()
        for function in (returns_big_name, lambda i, p: {}):
            branch = vantorix.PyGraph()
            branch.add(function, outputs={"small": "small"})
            root.branch(branch)
        print(root.build().execute(case == "worker") == {"small": 2})
    print("no error")
except MemoryError:
    print("MemoryError")
graph.add(lambda i, p: {"x": 1}, outputs={"x": "x"})
print(graph.build().execute(True) == {"x": 1})
"""


def run_child(case):
    child = subprocess.run([sys.executable, "-c", CHILD, case], capture_output=True, text=True,
                           timeout=300, check=False)
    assert child.returncode == 0, child.stderr[-3000:]
    return child.stdout.split()


@pytest.mark.skipif(SANITIZED, reason="the sanitizer's allocator ignores an address-space cap")
@pytest.mark.parametrize("case", ["label", "mapping"])
def test_out_of_memory_in_a_method_raises_memory_error(case):
    assert run_child(case) == ["MemoryError", "True"]


@pytest.mark.skipif(SANITIZED, reason="the sanitizer's allocator ignores an address-space cap")
@pytest.mark.parametrize("case", ["caller", "worker"])
def test_a_large_result_name_the_node_does_not_publish_is_never_copied(case):
    assert run_child(case) == ["True", "no", "error", "True"]
