"""A failed node is printed exactly as the interpreter prints the same uncaught error, whatever
hooks are installed: each case runs in a child (audit hooks cannot be removed) that prints the
node's report and then the interpreter's own, and the two must match line for line."""

import os
import subprocess
import sys

import pytest

import _printing

CHILD = os.path.join(os.path.dirname(os.path.abspath(__file__)), "_printing.py")
INTERPRETER_FRAME = '  File "<string>", line 1, in <module>\n'

CASES = [(setup, "plain") for setup in _printing.SETUPS] + [
    ("default", "chained"),
    ("default", "implicit"),
    ("default", "unprintable"),
    ("hook-reads-value", "chained"),
    ("hook-raises", "chained"),
]


@pytest.mark.parametrize("setup, node", CASES)
def test_a_failed_node_prints_what_the_interpreter_prints(setup, node):
    child = subprocess.run([sys.executable, CHILD, setup, node], capture_output=True, text=True,
                           timeout=120, check=False)
    assert child.returncode == 0, child.stderr
    assert child.stdout == ""
    from_node, separator, from_interpreter = child.stderr.partition(_printing.SEPARATOR + "\n")
    assert separator
    assert from_interpreter.count(INTERPRETER_FRAME) <= 1
    assert from_node == from_interpreter.replace(INTERPRETER_FRAME, "")
    vetoed = setup == "audit-raises-runtime-error"
    assert (from_node == "") == vetoed
    if setup.startswith("audit-raises") and not vetoed:
        assert from_node.startswith("Exception ignored in audit hook")
