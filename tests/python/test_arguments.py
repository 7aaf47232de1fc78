"""The argument reader shared by every METH_FASTCALL method: counts, keywords, conversions and
the "argument '<name>': " prefix."""

import pytest

from conftest import chain
from vantorix import PyGraph


class Outer:
    class Inner:
        pass


class NoTypeName(type):
    """Its classes cannot tell their __qualname__."""

    def __getattribute__(cls, name):
        if name == "__qualname__":
            raise RuntimeError("no name")
        return super().__getattribute__(name)


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def message_of(exception_type, call):
    with pytest.raises(exception_type) as info:
        call()
    assert type(info.value) is exception_type
    return str(info.value)


def dag():
    return chain({})


@pytest.mark.parametrize("call, message", [
    (lambda: PyGraph().add(1, 2, 3, 4, 5),
     "PyGraph.add() takes from 0 to 4 positional arguments but 5 were given"),
    (lambda: PyGraph().add(1, 2, 3, 4, 5, nope=1),
     "PyGraph.add() takes from 0 to 4 positional arguments but 5 were given"),
    (lambda: PyGraph().branch(PyGraph(), PyGraph()),
     "PyGraph.branch() takes 1 positional arguments but 2 were given"),
    (lambda: dag().execute(True, 1, 2),
     "PyDag.execute() takes from 0 to 2 positional arguments but 3 were given"),
    (lambda: PyGraph().add(Function=print), "PyGraph.add() got an unexpected keyword argument 'Function'"),
    (lambda: PyGraph().branch(sub=PyGraph()), "PyGraph.branch() got an unexpected keyword argument 'sub'"),
    (lambda: dag().execute(threads=1), "PyDag.execute() got an unexpected keyword argument 'threads'"),
    (lambda: PyGraph().add(print, function=print),
     "PyGraph.add() got multiple values for argument 'function'"),
    (lambda: PyGraph().add(None, None, None, {}, outputs={}),
     "PyGraph.add() got multiple values for argument 'outputs'"),
    (lambda: PyGraph().branch(PyGraph(), subgraph=PyGraph()),
     "PyGraph.branch() got multiple values for argument 'subgraph'"),
    (lambda: dag().execute(True, parallel=True),
     "PyDag.execute() got multiple values for argument 'parallel'"),
    (lambda: PyGraph().branch(), "PyGraph.branch() missing 1 required positional argument: 'subgraph'"),
])
def test_count_and_keyword_errors(call, message):
    assert message_of(TypeError, call) == message


@pytest.mark.parametrize("call, argument, target", [
    (lambda value: PyGraph().add(label=value), "label", "PyString"),
    (lambda value: PyGraph().add(None, value), "label", "PyString"),
    (lambda value: PyGraph().branch(value), "subgraph", "PyGraph"),
    (lambda value: dag().execute(value), "parallel", "PyBool"),
    (lambda value: dag().execute(parallel=value, max_threads=1), "parallel", "PyBool"),
])
@pytest.mark.parametrize("value, type_name", [
    (1, "int"), (b"x", "bytes"), (Outer.Inner(), "Outer.Inner"),
    (NoTypeName("Nameless", (), {})(), "<failed to extract type name>"),
])
def test_conversion_errors_name_the_argument_and_both_types(call, argument, target, value, type_name):
    message = message_of(TypeError, lambda: call(value))
    assert message == f"argument '{argument}': '{type_name}' object cannot be converted to '{target}'"


@pytest.mark.parametrize("call, message", [
    (lambda: PyGraph().branch(None), "argument 'subgraph': 'NoneType' object cannot be converted to 'PyGraph'"),
    (lambda: PyGraph().branch(dag()), "argument 'subgraph': 'PyDag' object cannot be converted to 'PyGraph'"),
    (lambda: dag().execute(None), "argument 'parallel': 'NoneType' object cannot be converted to 'PyBool'"),
    (lambda: dag().execute(0), "argument 'parallel': 'int' object cannot be converted to 'PyBool'"),
])
def test_none_and_falsy_values_are_not_converted(call, message):
    assert message_of(TypeError, call) == message


def test_label_that_cannot_be_encoded_raises_the_encoding_error_unprefixed():
    assert not message_of(UnicodeEncodeError, lambda: PyGraph().add(label="\ud800")).startswith("argument")


@pytest.mark.parametrize("value", [None, True, False, 0, 1, 7, 2**64 - 1, Index(2), Index(0)])
@pytest.mark.parametrize("parallel", [False, True])
def test_max_threads_accepts_integers_and_index_objects(value, parallel):
    assert dag().execute(parallel, value) == dag().execute(parallel=parallel, max_threads=value) == {}


@pytest.mark.parametrize("value, type_name", [(2.0, "float"), ("3", "str"), ([], "list")])
def test_max_threads_type_errors_get_the_prefix(value, type_name):
    message = f"argument 'max_threads': '{type_name}' object cannot be interpreted as an integer"
    assert message_of(TypeError, lambda: dag().execute(True, value)) == message
    assert message_of(TypeError, lambda: dag().execute(max_threads=value)) == message


@pytest.mark.parametrize("value", [-1, -(2**70), 2**64, Index(-1), Index(2**64)])
def test_max_threads_out_of_range_raises_overflow_error_unprefixed(value):
    message = message_of(OverflowError, lambda: dag().execute(True, value))
    assert message in ("can't convert negative int to unsigned", "int too big to convert")


def test_index_raising_type_error_is_prefixed_and_keeps_its_cause():
    root = ValueError("root cause")

    class Bad:
        def __index__(self):
            raise TypeError("no index today") from root

    with pytest.raises(TypeError) as info:
        dag().execute(True, Bad())
    assert str(info.value) == "argument 'max_threads': no index today"
    assert info.value.__cause__ is root


def test_index_raising_other_errors_passes_them_unchanged():
    raised = KeyError("k")

    class Bad:
        def __index__(self):
            raise raised

    with pytest.raises(KeyError) as info:
        dag().execute(max_threads=Bad())
    assert info.value is raised


def test_argument_errors_run_nothing_and_release_the_instance():
    calls = []
    d = chain({"function": lambda i, p: calls.append(1) or {}})
    for call in (lambda: d.execute(1), lambda: d.execute(True, -1), lambda: d.execute(x=1)):
        with pytest.raises((TypeError, OverflowError)):
            call()
    assert calls == []
    d.execute()
    assert calls == [1]
    g = PyGraph()
    for call in (lambda: g.add(label=1), lambda: g.branch(1), lambda: g.add(1, 2, 3, 4, 5)):
        with pytest.raises(TypeError):
            call()
    g.add(label="still usable")
    assert g.build().to_mermaid() == 'graph TD\n    0["still usable"]\n'


def test_reentrant_call_during_argument_conversion_is_refused():
    graph, seen = PyGraph(), []

    class Reentrant(type):
        def __getattribute__(cls, name):
            if name == "__qualname__":
                try:
                    graph.add()
                except RuntimeError as error:
                    seen.append(str(error))
                return "Reentrant"
            return super().__getattribute__(name)

    label = Reentrant("Label", (), {})()
    message = message_of(TypeError, lambda: graph.add(label=label))
    assert message == "argument 'label': 'Reentrant' object cannot be converted to 'PyString'"
    assert seen == ["Already borrowed"]
    graph.add()
    assert graph.build().to_mermaid() == 'graph TD\n    0["Node 0"]\n'
