"""Shared helpers for the vantorix test suite.

Node output on sys.stderr is read with pytest's `capsys`: pytest installs its own sys.stderr at
the start of every test phase, so a replacement made in a fixture would not last into the test.
Tests that need their own stream replace sys.stderr from the test body."""

import io

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
