"""PyGraph: adding nodes, reading mappings, branching, building and consumed instances."""

import collections
import types

import pytest

from conftest import graph_of
from vantorix import PyDag, PyGraph

CONSUMED = "Graph has already been built or consumed"
BUILT = "Graph has already been built"
NOT_A_MAPPING = "inputs/outputs must be a dict or list of tuples"
Pair = collections.namedtuple("Pair", "first second")


def mermaid(graph):
    return graph.build().to_mermaid()


def raises(exception_type, message, call):
    with pytest.raises(exception_type) as info:
        call()
    assert type(info.value) is exception_type
    assert str(info.value) == message


def test_add_returns_none_and_cannot_be_chained():
    graph = PyGraph()
    assert graph.add() is None
    with pytest.raises(AttributeError):
        graph.add(label="a").add(label="b")


def test_nodes_form_a_chain_with_ids_in_order_of_adding():
    graph = graph_of({"label": "a"}, {"label": None}, {"label": ""}, {"label": 'say "hi" [x] | y'})
    assert mermaid(graph) == (
        'graph TD\n    0["a"]\n    1["Node 1"]\n    2[""]\n    3["say "hi" [x] | y"]\n'
        "    0 --> 1\n    1 --> 2\n    2 --> 3\n")


def test_positional_and_keyword_arguments_give_the_same_node():
    by_position, by_keyword = PyGraph(), PyGraph()
    by_position.add(print, "n", {"a": "x"}, {"y": "b"})
    by_keyword.add(outputs={"y": "b"}, inputs={"a": "x"}, label="n", function=print)
    assert mermaid(by_position) == mermaid(by_keyword)


@pytest.mark.parametrize("inputs, outputs", [
    ({"v": "x"}, {"r": "v"}), ([("v", "x")], [("r", "v")]), ([Pair("v", "x")], [Pair("r", "v")]),
])
def test_dict_list_and_tuple_subclass_mappings_are_equivalent(inputs, outputs):
    graph = graph_of({"outputs": outputs}, {"inputs": inputs})
    assert mermaid(graph) == 'graph TD\n    0["Node 0"]\n    1["Node 1"]\n    0 -->|v → x| 1\n'


def test_later_pair_with_the_same_first_text_replaces_the_earlier():
    seen = []
    graph = graph_of(
        {"function": lambda i, p: {"r": 5}, "outputs": [("r", "v"), ("r", "w")]},
        {"function": lambda i, p: seen.append(i) or {}, "inputs": [("w", "a"), ("w", "b")]})
    assert graph.build().execute() == {"w": 5}
    assert seen == [{"b": 5}]


class OverridingDict(dict):
    def __iter__(self):
        raise AssertionError("not called")

    items = keys = values = __iter__


class OverridingList(list):
    def __iter__(self):
        raise AssertionError("not called")

    __getitem__ = __len__ = __iter__


def test_subclasses_are_read_from_their_own_storage_in_order():
    inputs = OverridingDict()
    inputs["first"], inputs["second"] = "a", "b"
    outputs = OverridingList([("x", "first"), Pair("y", "second")])
    graph = graph_of({"function": lambda i, p: {"x": 1, "y": 2}, "outputs": outputs},
                     {"function": lambda i, p: {"sum": i["a"] + i["b"]}, "inputs": inputs,
                      "outputs": {"sum": "sum"}})
    assert graph.build().execute() == {"first": 1, "second": 2, "sum": 3}


@pytest.mark.parametrize("empty", [None, {}, []])
def test_empty_mappings_are_the_same_as_none(empty):
    graph = graph_of({"function": lambda i, p: {"r": 1}, "inputs": empty, "outputs": empty})
    assert mermaid(graph) == 'graph TD\n    0["Node 0"]\n'
    assert graph_of({"function": lambda i, p: {"r": 1}, "outputs": empty}).build().execute() == {}


@pytest.mark.parametrize("mapping, exception_type, message", [
    ((("x", "a"),), ValueError, NOT_A_MAPPING),
    ({("x", "a")}, ValueError, NOT_A_MAPPING),
    ("xa", ValueError, NOT_A_MAPPING),
    ((pair for pair in [("x", "a")]), ValueError, NOT_A_MAPPING),
    (types.MappingProxyType({"x": "a"}), ValueError, NOT_A_MAPPING),
    ([["x", "a"]], TypeError, "'list' object cannot be converted to 'PyTuple'"),
    ([("x", "a"), "xa"], TypeError, "'str' object cannot be converted to 'PyTuple'"),
    ([("x",)], ValueError, "expected tuple of length 2, but got tuple of length 1"),
    ([()], ValueError, "expected tuple of length 2, but got tuple of length 0"),
    ([("x", "a", "b")], ValueError, "expected tuple of length 2, but got tuple of length 3"),
    ({"x": 1}, TypeError, "'int' object cannot be converted to 'PyString'"),
    (collections.OrderedDict({1: "x"}), TypeError, "'int' object cannot be converted to 'PyString'"),
    ({"x": None}, TypeError, "'NoneType' object cannot be converted to 'PyString'"),
    ([("x", b"a")], TypeError, "'bytes' object cannot be converted to 'PyString'"),
    ([Pair(1.5, "a")], TypeError, "'float' object cannot be converted to 'PyString'"),
])
@pytest.mark.parametrize("argument", ["inputs", "outputs"])
def test_bad_mappings_raise_unprefixed_errors_and_change_nothing(argument, mapping, exception_type, message):
    graph = PyGraph()
    raises(exception_type, message, lambda: graph.add(**{argument: mapping, "label": "bad"}))
    graph.add(label="next")
    assert mermaid(graph) == 'graph TD\n    0["next"]\n'


def test_inputs_are_read_before_outputs():
    raises(ValueError, NOT_A_MAPPING, lambda: PyGraph().add(inputs=(), outputs={1: 2}))
    raises(TypeError, "'int' object cannot be converted to 'PyString'",
           lambda: PyGraph().add(inputs={1: 2}, outputs=()))


def test_branch_ids_count_from_one_per_graph():
    graph = PyGraph()
    assert graph.branch(PyGraph()) == 1
    graph.add()
    assert graph.branch(graph_of({})) == 2
    assert graph.branch(PyGraph()) == 3
    inner = PyGraph()
    assert inner.branch(PyGraph()) == 1
    assert type(graph.branch(inner)) is int


def test_branches_start_from_the_last_added_node_and_do_not_join():
    main = graph_of({"label": "A"}, {"label": "B"})
    assert main.branch(graph_of({"label": "X"}, {"label": "Y"})) == 1
    main.add(label="C")
    assert mermaid(main) == (
        'graph TD\n    0["A"]\n    1["B"]\n    2["C"]\n    3["X"]\n    4["Y"]\n'
        "    0 --> 1\n    1 --> 2\n    1 --> 3\n    3 --> 4\n    style 3 fill:#e1f5ff\n")


def test_branch_on_an_empty_graph_attaches_independent_nodes():
    main = PyGraph()
    assert main.branch(graph_of({"label": "X"})) == 1
    main.add(label="A")
    assert mermaid(main) == 'graph TD\n    0["A"]\n    1["X"]\n'


def test_build_returns_a_pydag_and_consumes_the_graph():
    graph = PyGraph()
    assert type(graph.build()) is PyDag
    raises(ValueError, BUILT, graph.build)
    raises(ValueError, CONSUMED, graph.add)
    raises(ValueError, CONSUMED, lambda: graph.add(print, "label", [("a", "b")]))
    sub = graph_of({"label": "kept"})
    raises(ValueError, CONSUMED, lambda: graph.branch(sub))
    assert mermaid(sub) == 'graph TD\n    0["kept"]\n'  # the sub-graph was left alone
    # Arguments are read before the state is checked; the mappings after it.
    raises(TypeError, "argument 'label': 'int' object cannot be converted to 'PyString'",
           lambda: graph.add(label=1))
    raises(TypeError, "argument 'subgraph': 'int' object cannot be converted to 'PyGraph'",
           lambda: graph.branch(1))
    raises(ValueError, CONSUMED, lambda: graph.add(inputs=()))


def test_attached_subgraph_is_consumed():
    graph, sub = graph_of({}), graph_of({"label": "s"})
    assert graph.branch(sub) == 1
    raises(ValueError, CONSUMED, sub.add)
    raises(ValueError, BUILT, sub.build)
    raises(ValueError, CONSUMED, lambda: sub.branch(PyGraph()))
    raises(ValueError, "Subgraph has already been built or consumed", lambda: graph.branch(sub))
    assert graph.branch(PyGraph()) == 2  # the failed branch took no identifier
    assert mermaid(graph) == 'graph TD\n    0["Node 0"]\n    1["s"]\n    0 --> 1\n    style 1 fill:#e1f5ff\n'


def test_branch_with_itself_is_refused_and_leaves_the_graph_usable():
    graph = graph_of({"label": "a"})
    raises(RuntimeError, "Already borrowed", lambda: graph.branch(graph))
    raises(RuntimeError, "Already borrowed", lambda: graph.branch(subgraph=graph))
    graph.add(label="b")
    assert graph.branch(PyGraph()) == 1
    assert mermaid(graph) == 'graph TD\n    0["a"]\n    1["b"]\n    0 --> 1\n'
