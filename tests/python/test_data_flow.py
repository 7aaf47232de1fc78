"""PyDag.plan() and PyDag.check(): which node's value every read sees, agreeing with what runs
actually pass to the nodes, and the concerns check() finds on the shapes users build."""

import random

import pytest

import vantorix
from conftest import graph_of

NAMES = ["a", "b", "c", "d"]


def tagged(node_id, outputs):
    """Publishes, under each of its result names, which node published it."""
    return lambda inputs, params: {result: (node_id, result) for result in outputs}


def generated_graph(seed, seen):
    """Up to 12 nodes on a main chain with branches, nested branches and sub-chains, each reading
    and publishing a few of four names under renamed function names, all recording their inputs
    into `seen` by node id. Returns the graph and the nodes' mappings by id."""
    rng = random.Random(seed)
    counter = iter(range(1000))

    def add(graph):
        inputs = {name: f"in_{name}" for name in rng.sample(NAMES, rng.randint(0, 3))}
        outputs = {f"out_{name}": name for name in rng.sample(NAMES, rng.randint(0, 2))}
        tag = next(counter)

        def function(inputs_dict, params, tag=tag, outputs=outputs):
            seen[tag] = dict(inputs_dict)
            return tagged(tag, outputs)(inputs_dict, params)

        graph.add(function, str(tag), inputs=inputs, outputs=outputs)

    def grow(graph, depth):
        for _ in range(rng.randint(1, 3)):
            if depth < 2 and rng.random() < 0.4:
                branch = vantorix.PyGraph()
                grow(branch, depth + 1)
                graph.branch(branch)
            else:
                add(graph)

    graph = vantorix.PyGraph()
    grow(graph, 0)
    return graph


@pytest.mark.parametrize("parallel", [False, True])
def test_reads_name_the_writers_whose_values_runs_pass(parallel):
    for seed in range(150):
        seen = {}
        dag = generated_graph(seed, seen).build()
        plan = dag.plan(parallel)
        published = {record.id: record for record in plan}
        inputs = {"a": "initial a"}
        dag.execute_detailed(parallel, 1, inputs=inputs)
        for record in plan:
            expected = {}
            for context_name, parameter in record.inputs:
                writer = record.reads[context_name]
                if writer is not None:
                    result = next(r for r, c in published[writer].outputs if c == context_name)
                    expected[parameter] = (int(published[writer].label), result)
                elif context_name in inputs:
                    expected[parameter] = inputs[context_name]
            assert seen[int(record.label)] == expected, (seed, record)


def test_plan_lists_the_scheduled_nodes_in_merge_order_with_their_mappings():
    def load(inputs, params):
        return {}

    graph = graph_of({"function": load, "label": "load", "outputs": {"out": "x"}},
                     {"label": "sink", "inputs": {"x": "value"}})
    side = graph_of({"label": "side", "inputs": [("x", "v")], "outputs": [("r", "x")]})
    graph.branch(side)
    dag = graph.build()
    assert [r.id for r in dag.plan()] == dag.execution_order
    assert [r.id for r in dag.plan(True)] == [i for level in dag.levels for i in level]
    load_record, sink, side_record = dag.plan()
    assert load_record.function is load and sink.function is None
    assert load_record._asdict() == {
        "id": 0, "label": "load", "function": load, "inputs": [], "outputs": [("out", "x")],
        "dependencies": [], "branch_id": None, "level": 0, "reads": {}, "writes": {"x": None}}
    assert (sink.level, sink.dependencies, sink.reads) == (1, [0], {"x": 0})
    # The branch rewrites x after load did; a node of the sink's level, it is not seen there.
    assert (side_record.branch_id, side_record.reads, side_record.writes) == (1, {"x": 0},
                                                                            {"x": 0})
    assert type(sink).__name__ == "PlanRecord" and sink._fields[-2:] == ("reads", "writes")


def fan_in(padding):
    """Eight fetch -> crunch branches behind a root, and a join on the main chain after
    `padding` no-op nodes."""
    graph = graph_of({"label": "root", "outputs": {"s": "seed"}})
    for k in range(8):
        graph.branch(graph_of(
            {"label": f"fetch {k}", "inputs": {"seed": "seed"}, "outputs": {"r": f"raw{k}"}},
            {"label": f"crunch {k}", "inputs": {f"raw{k}": "raw"}, "outputs": {"n": f"n{k}"}}))
    for _ in range(padding):
        graph.add(None, "wait")
    graph.add(None, "join", inputs={f"n{k}": f"n{k}" for k in range(8)}, outputs={"n": "n"})
    return graph.build()


@pytest.mark.parametrize("parallel", [False, True])
def test_a_join_beside_the_branches_reads_nothing_they_publish(parallel):
    findings = fan_in(0).check(parallel)
    assert [(f.label, f.name, f.kind, f.other) for f in findings] == [
        ("join", f"n{k}", "unpublished read", None) for k in range(8)]
    assert str(findings[0]) == ("node 'join' (id 1) reads 'n0', which no node before it "
                                "publishes: it is missing unless the run's inputs hold it")
    assert fan_in(2).check(parallel) == []


def test_a_name_written_twice_beside_another_level_writer_is_found_once():
    graph = graph_of({})
    for outputs in ({"o": "a", "u": "c"}, {"o": "a", "u": "c", "w": "a"}):
        graph.branch(graph_of({"outputs": outputs}))
    findings = graph.build().check(parallel=True)
    assert [(f.id, f.name, f.other) for f in findings] == [(2, "a", 1), (2, "c", 1)]


def test_same_level_reads_and_writes_are_found_in_parallel_mode_only():
    graph = graph_of({"label": "start", "outputs": {"v": "x"}})
    graph.branch(graph_of({"label": "writer", "outputs": {"v": "shared"}}))
    graph.branch(graph_of({"label": "reader", "inputs": {"shared": "s", "x": "x"}}))
    graph.branch(graph_of({"label": "rewriter", "outputs": {"v": "shared"}}))
    # A branch nested in a branch reads the main chain, which it sees.
    nested = graph_of({"label": "outer"})
    nested.branch(graph_of({"label": "inner", "inputs": {"x": "x"}}))
    graph.branch(nested)
    dag = graph.build()
    assert dag.check() == []
    findings = dag.check(parallel=True)
    assert [(f.label, f.name, f.kind, f.other_label) for f in findings] == [
        ("reader", "shared", "same-level read", "rewriter"),
        ("rewriter", "shared", "same-level write", "writer")]
    assert str(findings[0]) == (
        "node 'reader' (id 2) reads 'shared', which node 'rewriter' (id 3) of its own level "
        "publishes: sequential and parallel runs give it different values")
    assert str(findings[1]) == ("node 'rewriter' (id 3) and node 'writer' (id 1), of one level, "
                                "both publish 'shared': in a parallel run the one that finishes "
                                "last wins")
    assert [f._fields for f in findings][0] == ("id", "label", "name", "kind", "other",
                                                "other_label")


@pytest.mark.parametrize("method", ["plan", "check"])
def test_parallel_must_be_a_bool(method):
    dag = vantorix.PyGraph().build()
    assert getattr(dag, method)() == [] and getattr(dag, method)(parallel=True) == []
    with pytest.raises(TypeError, match="argument 'parallel': 'int' object cannot be converted "
                                        "to 'PyBool'"):
        getattr(dag, method)(1)
    with pytest.raises(TypeError, match=rf"PyDag.{method}\(\) takes from 0 to 1 positional "
                                        "arguments but 2 were given"):
        getattr(dag, method)(True, True)


def test_records_make_data_frames_with_named_columns():
    pandas = pytest.importorskip("pandas")
    dag = fan_in(0)
    report = dag.execute_detailed()
    nodes = pandas.DataFrame(report.nodes)
    assert list(nodes.columns) == list(report.nodes[0]._fields)
    assert list(nodes["label"][:2]) == ["root", "join"]
    plan = pandas.DataFrame(dag.plan())
    assert list(plan.columns) == ["id", "label", "function", "inputs", "outputs", "dependencies",
                                  "branch_id", "level", "reads", "writes"]
    assert list(pandas.DataFrame(dag.check()).kind) == ["unpublished read"] * 8
