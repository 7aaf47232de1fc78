"""PyDag.execute and PyDag.to_mermaid: data flow, modes, results and Mermaid text."""

import math

import pytest

from conftest import chain, const, fanout, graph_of
from vantorix import PyGraph

SEQUENTIAL = [((), {}), ((False,), {}), ((False, 0), {}), ((False, 3), {}),
              ((), {"parallel": False, "max_threads": 0})]
PARALLEL = [((True,), {}), ((True, 0), {}), ((True, True), {}), ((True, 2), {}),
            ((True, None), {}), ((), {"parallel": True}), ((), {"parallel": True, "max_threads": 1})]


def snapshot_dag():
    """Level 1 holds a writer of `v` and, after it, a reader of `v`: the reader sees the
    writer's value only when the nodes run one at a time."""
    return fanout(
        {"function": const(v="root"), "outputs": {"v": "v"}},
        [{"function": const(v="sibling"), "outputs": {"v": "v"}}],
        [{"function": lambda i, p: {"seen": i.get("v")}, "inputs": {"v": "v"},
          "outputs": {"seen": "seen"}}])


@pytest.mark.parametrize("args, kwargs", SEQUENTIAL + PARALLEL)
def test_empty_graph_gives_an_empty_dict(args, kwargs):
    assert PyGraph().build().execute(*args, **kwargs) == {}


@pytest.mark.parametrize("args, kwargs", SEQUENTIAL)
def test_sequential_nodes_see_same_level_outputs(args, kwargs):
    assert snapshot_dag().execute(*args, **kwargs) == {"v": "sibling", "seen": "sibling"}


@pytest.mark.parametrize("args, kwargs", PARALLEL)
def test_parallel_nodes_see_only_the_snapshot_of_their_level(args, kwargs):
    assert snapshot_dag().execute(*args, **kwargs) == {"v": "sibling", "seen": "root"}


@pytest.mark.parametrize("parallel", [False, True])
def test_chain_passes_only_mapped_values_under_renamed_variables(parallel):
    dag = chain(
        {"function": const(out=2, junk=9), "outputs": {"out": "a"}},
        {"function": lambda i, p: {"y": i["x"] * 10, "z": 0}, "inputs": {"a": "x"},
         "outputs": [("y", "b"), ("missing", "m")]},
        {"function": lambda i, p: {"echo": dict(i)},
         "inputs": {"a": "first", "b": "second", "nowhere": "n"}, "outputs": {"echo": "echo"}},
        {"outputs": {"echo": "lost"}},  # no function: publishes nothing
        {"function": const(a=-1)})  # no outputs: publishes nothing
    assert dag.execute(parallel) == {"a": 2, "b": 20, "echo": {"first": 2, "second": 20}}


def test_later_node_overwrites_a_variable():
    dag = chain({"function": const(r=1), "outputs": {"r": "v"}},
                {"function": const(r=2), "outputs": {"r": "v"}})
    assert dag.execute() == dag.execute(True) == {"v": 2}


def test_every_run_starts_from_an_empty_context_and_returns_a_new_dict():
    calls = []

    def count(inputs, params):
        calls.append(dict(inputs))
        return {"n": len(calls)}

    dag = chain({"function": count, "inputs": {"n": "n"}, "outputs": {"n": "n"}})
    first, second = dag.execute(), dag.execute(True)
    assert (first, second, calls) == ({"n": 1}, {"n": 2}, [{}, {}])
    first["extra"] = 1
    assert dag.execute() == {"n": 3}


def test_values_come_back_as_the_very_same_objects():
    values = {"int": 10**30, "float": math.nan, "str": "s", "list": [1], "dict": {"k": "v"},
              "none": None, "tuple": (1, 2), "object": object(), "bytes": b"x"}
    dag = chain({"function": lambda i, p: values, "outputs": {k: k for k in values}},
                {"function": lambda i, p: dict(i), "inputs": {k: k for k in values},
                 "outputs": {k: "again_" + k for k in values}})
    for parallel in (False, True):
        result = dag.execute(parallel)
        for name, value in values.items():
            assert result[name] is value and result["again_" + name] is value


def test_a_list_returned_by_one_node_is_appended_to_by_a_later_node():
    made = []

    def append(inputs, params):
        inputs["items"].append(len(made))
        return {}

    dag = chain({"function": lambda i, p: made.append([]) or {"items": made[-1]},
                 "outputs": {"items": "items"}},
                {"function": append, "inputs": {"items": "items"}},
                {"function": append, "inputs": {"items": "items"}})
    assert dag.execute()["items"] is made[0]
    assert made[0] == [1, 1]


def test_main_chain_after_branches_starts_from_the_branch_point():
    dag = fanout({"function": const(x=1), "outputs": {"x": "x"}},
                 [{"function": lambda i, p: {"y": i["x"] + 1}, "inputs": {"x": "x"}, "outputs": {"y": "y"}}],
                 [{"function": lambda i, p: {"z": i["x"] + 2}, "inputs": {"x": "x"}, "outputs": {"z": "z"}}],
                 after=[{"function": lambda i, p: {"w": sorted(i)}, "inputs": {"y": "y", "z": "z"},
                         "outputs": {"w": "w"}}])
    # Level 1 is [after, y-branch, z-branch]: the main-chain node runs first and sees neither.
    for args, kwargs in SEQUENTIAL[:2] + PARALLEL:
        assert dag.execute(*args, **kwargs) == {"x": 1, "y": 2, "z": 3, "w": []}


def test_mermaid_worked_example():
    graph = graph_of({"label": "load", "outputs": {"data": "raw"}})
    graph.branch(graph_of({"inputs": {"raw": "d"}}))
    graph.add(label="report")
    dag = graph.build()
    expected = ('graph TD\n    0["load"]\n    1["report"]\n    2["Node 2"]\n'
                "    0 --> 1\n    0 -->|raw → d| 2\n    style 2 fill:#e1f5ff\n")
    assert type(dag.to_mermaid()) is str
    assert dag.to_mermaid() == dag.to_mermaid() == expected
    dag.execute()
    assert dag.to_mermaid() == expected


def test_mermaid_joins_annotations_and_shows_only_published_variables():
    dag = chain({"label": "é ✓", "outputs": {"p": "a", "q": "b", "r": "unused"}},
                {"label": "line\nbreak", "inputs": {"a": "x", "b": "y", "c": "z"}})
    head = 'graph TD\n    0["é ✓"]\n    1["line\nbreak"]\n'
    assert dag.to_mermaid() in (head + "    0 -->|a → x<br/>b → y| 1\n",
                                head + "    0 -->|b → y<br/>a → x| 1\n")


def test_mermaid_of_nested_branches():
    sub = graph_of({"label": "X"})
    assert sub.branch(graph_of({"label": "T"})) == 1
    sub.add(label="Y")
    main = graph_of({"label": "A"})
    assert main.branch(sub) == 1
    assert main.build().to_mermaid() == (
        'graph TD\n    0["A"]\n    1["X"]\n    2["Y"]\n    3["T"]\n'
        "    0 --> 1\n    1 --> 2\n    1 --> 3\n    style 1 fill:#e1f5ff\n    style 3 fill:#e1f5ff\n")
