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


class Nameless(metaclass=NoTypeName):
    pass


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


F = print  # any callable; nothing is run


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: PyGraph().add(1, 2, 3, 4, 5),
         "PyGraph.add() takes from 0 to 4 positional arguments but 5 were given"),
        (lambda: PyGraph().add(1, 2, 3, 4, 5, nope=1),
         "PyGraph.add() takes from 0 to 4 positional arguments but 5 were given"),
        (lambda: PyGraph().branch(PyGraph(), PyGraph()),
         "PyGraph.branch() takes 1 positional arguments but 2 were given"),
        (lambda: dag().execute(True, 1, 2),
         "PyDag.execute() takes from 0 to 2 positional arguments but 3 were given"),
        (lambda: PyGraph().add(x=1), "PyGraph.add() got an unexpected keyword argument 'x'"),
        (lambda: PyGraph().add(F, Function=F),
         "PyGraph.add() got an unexpected keyword argument 'Function'"),
        (lambda: PyGraph().branch(sub=PyGraph()),
         "PyGraph.branch() got an unexpected keyword argument 'sub'"),
        (lambda: dag().execute(threads=1),
         "PyDag.execute() got an unexpected keyword argument 'threads'"),
        (lambda: PyGraph().add(F, function=F),
         "PyGraph.add() got multiple values for argument 'function'"),
        (lambda: PyGraph().add(None, None, None, {}, outputs={}),
         "PyGraph.add() got multiple values for argument 'outputs'"),
        (lambda: PyGraph().branch(PyGraph(), subgraph=PyGraph()),
         "PyGraph.branch() got multiple values for argument 'subgraph'"),
        (lambda: dag().execute(True, parallel=True),
         "PyDag.execute() got multiple values for argument 'parallel'"),
        (lambda: PyGraph().branch(),
         "PyGraph.branch() missing 1 required positional argument: 'subgraph'"),
    ],
)
def test_count_and_keyword_errors(call, message):
    assert message_of(TypeError, call) == message


@pytest.mark.parametrize(
    "value, type_name",
    [(1, "int"), (b"x", "bytes"), (["x"], "list"), (Outer.Inner(), "Outer.Inner"),
     (Nameless(), "<failed to extract type name>")],
)
def test_label_must_be_a_str(value, type_name):
    message = message_of(TypeError, lambda: PyGraph().add(label=value))
    assert message == f"argument 'label': '{type_name}' object cannot be converted to 'PyString'"


def test_label_that_cannot_be_encoded_raises_the_encoding_error_unprefixed():
    message = message_of(UnicodeEncodeError, lambda: PyGraph().add(label="\ud800"))
    assert not message.startswith("argument")


@pytest.mark.parametrize(
    "value, type_name", [(None, "NoneType"), (1, "int"), ("g", "str"), (chain(), "PyDag")]
)
def test_subgraph_must_be_a_pygraph(value, type_name):
    message = message_of(TypeError, lambda: PyGraph().branch(value))
    assert message == f"argument 'subgraph': '{type_name}' object cannot be converted to 'PyGraph'"


@pytest.mark.parametrize(
    "value, type_name", [(1, "int"), (0, "int"), (None, "NoneType"), ("yes", "str"), (1.0, "float")]
)
def test_parallel_must_be_a_bool(value, type_name):
    message = message_of(TypeError, lambda: dag().execute(value))
    assert message == f"argument 'parallel': '{type_name}' object cannot be converted to 'PyBool'"
    message = message_of(TypeError, lambda: dag().execute(parallel=value))
    assert message == f"argument 'parallel': '{type_name}' object cannot be converted to 'PyBool'"


@pytest.mark.parametrize("value", [None, True, False, 0, 1, 7, 2**64 - 1, Index(2), Index(0)])
@pytest.mark.parametrize("parallel", [False, True])
def test_max_threads_accepts_integers_and_index_objects(value, parallel):
    assert dag().execute(parallel, value) == {}
    assert dag().execute(parallel=parallel, max_threads=value) == {}


@pytest.mark.parametrize(
    "value, message",
    [
        (2.0, "argument 'max_threads': 'float' object cannot be interpreted as an integer"),
        ("3", "argument 'max_threads': 'str' object cannot be interpreted as an integer"),
        ([], "argument 'max_threads': 'list' object cannot be interpreted as an integer"),
    ],
)
def test_max_threads_type_errors_get_the_prefix(value, message):
    assert message_of(TypeError, lambda: dag().execute(True, value)) == message
    assert message_of(TypeError, lambda: dag().execute(max_threads=value)) == message


@pytest.mark.parametrize("value", [-1, -(2**70), 2**64, Index(-1), Index(2**64)])
def test_max_threads_out_of_range_raises_overflow_error_unprefixed(value):
    message = message_of(OverflowError, lambda: dag().execute(True, value))
    assert not message.startswith("argument")
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
    with pytest.raises(TypeError):
        d.execute(1)
    with pytest.raises(OverflowError):
        d.execute(True, -1)
    assert calls == []
    d.execute()
    assert calls == [1]

    g = PyGraph()
    with pytest.raises(TypeError):
        g.add(label=1)
    with pytest.raises(TypeError):
        g.branch(1)
    g.add(label="still usable")
    assert '0["still usable"]' in g.build().to_mermaid()


def test_reentrant_call_during_argument_conversion_is_refused():
    graph = PyGraph()
    seen = []

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
