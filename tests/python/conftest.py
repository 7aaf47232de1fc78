"""Shared helpers for the vantorix test suite."""

import io
import sys

import pytest

import vantorix


class Recorder(io.StringIO):
    """A stand-in for sys.stderr that also remembers every single write call. Install it from
    the test body: pytest resets sys.stderr when a test phase starts."""

    def __init__(self):
        super().__init__()
        self.calls = []

    def write(self, text):
        self.calls.append(text)
        return super().write(text)


class CapturedStderr:
    """Everything written to sys.stderr during the test so far."""

    def __init__(self, capsys):
        self._capsys = capsys
        self._text = ""

    def getvalue(self):
        self._text += self._capsys.readouterr().err
        return self._text


@pytest.fixture
def stderr(capsys):
    # pytest installs its own sys.stderr at the start of every test phase, so replacing it in a
    # fixture would not last into the test; capsys reads what was written to it.
    return CapturedStderr(capsys)


def chain(*nodes):
    """A PyDag of one chain; each node is a dict of keyword arguments for PyGraph.add."""
    graph = vantorix.PyGraph()
    for node in nodes:
        graph.add(**node)
    return graph.build()


def graph_of(*nodes):
    graph = vantorix.PyGraph()
    for node in nodes:
        graph.add(**node)
    return graph


def fanout(root, *branches, after=()):
    """root, then one branch per entry of `branches` (each a list of node dicts) attached behind
    it, then the main-chain nodes in `after`. The first node of every branch shares one level."""
    graph = graph_of(root)
    for branch in branches:
        graph.branch(graph_of(*branch))
    for node in after:
        graph.add(**node)
    return graph.build()


def const(**values):
    """A node function returning `values`."""
    return lambda inputs, params: dict(values)
