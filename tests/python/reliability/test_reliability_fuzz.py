"""PyGraph and PyDag driven by Hypothesis: arbitrary objects for every argument, calls in any
order. Every outcome is predicted by a small model written from the documented rules: a call
raises exactly the predicted exception type or succeeds, and a call that fails leaves its
instance as it was. For graphs that is checked when one is built: a replay of only its
successful calls must build the same DAG (same Mermaid text, same results)."""

import inspect
import operator

import hypothesis.strategies as st
from hypothesis import HealthCheck, settings
from hypothesis.stateful import Bundle, RuleBasedStateMachine, initialize, multiple, rule

import vantorix
from conftest import HOSTILE_GC


class Boom(Exception):
    """Raised by the special methods of the hostile objects below."""


def boom(*args, **kwargs):
    raise Boom


class Hostile:
    """Fails in every special method it has (and is unhashable, having __eq__ alone)."""
    __index__ = __int__ = __str__ = __eq__ = __len__ = __iter__ = boom
    __getitem__ = __bool__ = __call__ = __format__ = boom

    def __repr__(self):
        return "Hostile()"


class BadHash:
    __hash__ = boom

    def __repr__(self):
        return "BadHash()"


class NamelessMeta(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            raise Boom
        return super().__getattribute__(name)


class Nameless(metaclass=NamelessMeta):
    """Its type's __qualname__ cannot be read."""

    def __repr__(self):
        return "Nameless()"


class Text(str):
    """A str whose own methods fail; equality and hashing stay, so that it can be a key."""
    __str__ = __len__ = __iter__ = __getitem__ = boom


class Mapping(dict):
    __iter__ = __len__ = __getitem__ = items = keys = values = boom


class Pairs(list):
    __iter__ = __len__ = __getitem__ = boom


class Pair(tuple):
    __iter__ = __len__ = __getitem__ = boom


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return f"Index({self.value})"


class Const:
    """A node function returning fixed entries (some of them not usable as outputs)."""

    def __init__(self, values):
        self.values = values

    def __call__(self, inputs, params):
        return Mapping(self.values) if len(self.values) % 2 else dict(self.values)

    def __repr__(self):
        return f"Const({self.values!r})"


def echo(inputs, params):
    return inputs


def fails(inputs, params):
    raise ValueError("node failure")


SURROGATES = ["\ud800", "\udfff", "\udc80"]
NAMES = ["a", "b", "c", ""]
with_surrogate = st.builds(lambda a, s, b: a + s + b, st.text(max_size=2),
                           st.sampled_from(SURROGATES), st.text(max_size=2))
texts = st.one_of(st.sampled_from(NAMES), st.text(max_size=6), st.text(max_size=6), with_surrogate)
# Mostly a few short names, so that nodes meet on variables.
names = st.one_of(*[st.sampled_from(NAMES)] * 4, texts, st.builds(Text, texts))
atoms = st.one_of(
    st.none(), st.booleans(), st.floats(),
    st.sampled_from([0, 1, 3, -1, 2**63, 2**64 - 1, 2**64, -(2**64), 10**100]),
    st.integers(), texts, st.builds(Text, texts), st.binary(max_size=4),
    st.sampled_from([Hostile(), Nameless()]), st.builds(BadHash),
)
junk = st.recursive(atoms, lambda inner: st.one_of(
    st.lists(inner, max_size=3), st.tuples(inner, inner),
    st.dictionaries(texts, inner, max_size=3), st.builds(Mapping, st.dictionaries(texts, inner)),
    st.builds(Pairs, st.lists(inner, max_size=3)), st.builds(Pair, st.tuples(inner, inner)),
), max_leaves=4)
pairs = st.lists(st.tuples(names, names), max_size=3)
mappings = st.one_of(
    st.none(), pairs, st.builds(Pairs, pairs), st.builds(lambda p: [Pair(x) for x in p], pairs),
    st.dictionaries(names, names, max_size=3), st.builds(Mapping, st.dictionaries(names, names)),
    st.lists(st.tuples(names), max_size=2), st.lists(st.tuples(names, names, names), max_size=2),
    st.tuples(st.tuples(names, names)), junk,
)
values = st.one_of(st.integers(), st.text(max_size=3), st.tuples(st.integers()))
consts = st.builds(Const, st.dictionaries(st.one_of(names, st.integers()), values, max_size=3))
functions = st.one_of(st.none(), st.just(echo), consts, consts, st.just(fails),
                      st.just(lambda i, p: None), junk)


def signature(*names, required=0):
    """The Python signature that argument reading follows: positional-or-keyword parameters,
    the first `required` of them without a default."""
    return inspect.Signature([
        inspect.Parameter(name, inspect.Parameter.POSITIONAL_OR_KEYWORD,
                          **({} if index < required else {"default": None}))
        for index, name in enumerate(names)])


ADD = signature("function", "label", "inputs", "outputs")
BRANCH = signature("subgraph", required=1)
EXECUTE = signature("parallel", "max_threads")


def arguments(parameters):
    """(positional, keyword) arguments for some of `parameters` (a dict of name to strategy)
    and sometimes an unknown "extra": in random order, so that a value may go to another
    parameter by position, or to one that a keyword names too."""
    def values_for(chosen):
        return st.tuples(*[parameters.get(name, junk) for name in chosen]).map(
            lambda values: list(zip(chosen, values)))

    def split(items):
        return st.integers(0, len(items)).map(
            lambda cut: ([value for _, value in items[:cut]], dict(items[cut:])))

    chosen = st.tuples(st.lists(st.sampled_from(list(parameters)), unique=True),
                       st.sampled_from([[]] * 5 + [["extra"]]))
    return chosen.map(lambda parts: parts[0] + parts[1]).flatmap(values_for).flatmap(split)


def text_of(obj):
    """The text that argument reading takes from a str, or the exception it raises."""
    if not issubclass(type(obj), str):
        raise TypeError
    str.encode(obj, "utf-8")  # lone surrogates raise UnicodeEncodeError
    return str.__str__(obj)


def pairs_of(obj):
    """The pairs that `inputs` or `outputs` give, or the exception reading them raises."""
    if obj is None:
        return []
    if issubclass(type(obj), dict):
        return [(text_of(key), text_of(value)) for key, value in dict.items(obj)]
    if not issubclass(type(obj), list):
        raise ValueError
    result = []
    for index in range(list.__len__(obj)):
        item = list.__getitem__(obj, index)
        if not issubclass(type(item), tuple):
            raise TypeError
        if tuple.__len__(item) != 2:
            raise ValueError
        result.append((text_of(tuple.__getitem__(item, 0)), text_of(tuple.__getitem__(item, 1))))
    return result


def outcome(predict):
    """(value, None) from `predict()`, or (None, the exception type it raised)."""
    try:
        return predict(), None
    except Exception as error:  # noqa: BLE001 - the type is the prediction
        return None, type(error)


class Graph:
    def __init__(self):
        self.graph = vantorix.PyGraph()
        self.calls = []  # ("add", arguments) or ("branch", Graph), successful calls only
        self.consumed = False
        self.branches = 0

    def replay(self):
        graph = vantorix.PyGraph()
        for kind, argument in self.calls:
            if kind == "add":
                graph.add(*argument)
            else:
                graph.branch(argument.replay())
        return graph


class Dag:
    def __init__(self, dag):
        self.dag = dag
        self.mermaid = dag.to_mermaid()
        self.result = dag.execute()

    def unchanged(self):
        assert self.dag.to_mermaid() == self.mermaid
        assert self.dag.execute() == self.result


class GraphAndDagCalls(RuleBasedStateMachine):
    graphs = Bundle("graphs")
    dags = Bundle("dags")

    def call(self, method, parameters, call, predict, unwrap=lambda value: value):
        """Calls `method` with the (positional, keyword) arguments `call`, each passed through
        `unwrap`, and checks the outcome against `predict(bound arguments)`, which runs only
        when they bind to `parameters`."""
        args, kwargs = call
        try:
            bound = parameters.bind(*args, **kwargs).arguments
        except TypeError:
            expected, error = None, TypeError
        else:
            expected, error = outcome(lambda: predict(bound))
        try:
            returned = method(*map(unwrap, args), **{k: unwrap(v) for k, v in kwargs.items()})
        except Exception as raised:  # noqa: BLE001 - compared with the prediction
            assert type(raised) is error, f"{type(raised).__name__}: {raised}, expected {error}"
            return False, None, expected
        assert error is None, f"succeeded, expected {error.__name__}"
        return True, returned, expected

    # Junk goes into rules inside a 1-tuple: Hypothesis iterates list arguments itself.
    @rule(target=graphs, extra=st.one_of(st.none(), st.tuples(junk)))
    def new_graph(self, extra):
        if extra is None:
            return Graph()
        try:
            vantorix.PyGraph(*extra)
        except TypeError:
            return Graph()
        raise AssertionError("PyGraph() took an argument")

    @initialize(target=graphs)
    def first_graphs(self):
        return multiple(Graph(), Graph(), Graph())

    @rule(graph=graphs, call=arguments({"function": functions,
                                       "label": st.one_of(st.none(), names, names, junk),
                                       "inputs": mappings, "outputs": mappings}))
    def add(self, graph, call):
        self.add_node(graph, call)

    # Mostly well-formed calls too, a few at a time: graphs grow, and a call that fails only
    # at its last argument is the one most likely to leave something behind.
    @rule(graph=graphs, calls=st.lists(st.fixed_dictionaries({
        "function": st.one_of(st.just(echo), consts), "label": st.sampled_from([None, *NAMES]),
        "inputs": st.one_of(*[st.dictionaries(st.sampled_from(NAMES), st.sampled_from(NAMES))] * 3,
                            mappings),
        "outputs": st.one_of(*[st.lists(st.tuples(st.sampled_from(NAMES),
                                                  st.sampled_from(NAMES)))] * 3, mappings)}),
        min_size=1, max_size=4))
    def add_mostly_well_formed(self, graph, calls):
        for kwargs in calls:
            self.add_node(graph, ([], kwargs))

    def add_node(self, graph, call):
        def predict(bound):
            function = bound.get("function")
            label = bound.get("label")
            label = None if label is None else text_of(label)
            if graph.consumed:
                raise ValueError
            inputs, outputs = pairs_of(bound.get("inputs")), pairs_of(bound.get("outputs"))
            return (function, label, inputs, outputs)

        ok, returned, normalised = self.call(graph.graph.add, ADD, call, predict)
        if ok:
            assert returned is None
            graph.calls.append(("add", normalised))

    @rule(graph=graphs, call=arguments({"subgraph": st.one_of(graphs, graphs, junk)}))
    def branch(self, graph, call):
        def predict(bound):
            subgraph = bound["subgraph"]
            if not isinstance(subgraph, Graph):
                raise TypeError
            if subgraph is graph:
                raise RuntimeError  # already borrowed by this very call
            if graph.consumed or subgraph.consumed:
                raise ValueError
            return subgraph

        ok, returned, subgraph = self.call(
            graph.graph.branch, BRANCH, call, predict,
            unwrap=lambda value: value.graph if isinstance(value, Graph) else value)
        if ok:
            graph.branches += 1
            assert returned == graph.branches
            graph.calls.append(("branch", subgraph))
            subgraph.consumed = True

    @rule(target=dags, graph=graphs)
    def build(self, graph):
        if graph.consumed:
            try:
                graph.graph.build()
            except ValueError:
                return None
            raise AssertionError("a consumed graph was built")
        expected = Dag(graph.replay().build())
        built = Dag(graph.graph.build())
        graph.consumed = True
        assert (built.mermaid, built.result) == (expected.mermaid, expected.result)
        return built

    @rule(dag=dags, call=arguments({
        "parallel": st.one_of(st.booleans(), st.sampled_from([0, 1, None, "True"]), junk),
        "max_threads": st.one_of(st.integers(-3, 4), st.sampled_from(
            [None, True, 2**64 - 1, 2**64, 2.0, "1", Hostile(), Index(2), Index(-1)]), junk)}))
    def execute(self, dag, call):
        if dag is None:
            return

        def predict(bound):
            if "parallel" in bound and type(bound["parallel"]) is not bool:
                raise TypeError
            max_threads = bound.get("max_threads")
            if max_threads is not None and not 0 <= operator.index(max_threads) < 2**64:
                raise OverflowError
            return bound.get("parallel", False)

        ok, returned, parallel = self.call(dag.dag.execute, EXECUTE, call, predict)
        if not ok:
            dag.unchanged()
        elif not parallel:
            assert returned == dag.result
        else:
            assert type(returned) is dict  # parallel: same-level writers may race

    @rule(dag=dags, extra=st.one_of(st.none(), st.tuples(junk)))
    def to_mermaid(self, dag, extra):
        if dag is None:
            return
        if extra is None:
            assert dag.dag.to_mermaid() == dag.mermaid
            return
        try:
            dag.dag.to_mermaid(*extra)
        except TypeError:
            return
        raise AssertionError("to_mermaid() took an argument")


GraphAndDagCalls.TestCase.settings = settings(
    max_examples=40 if HOSTILE_GC else 200, stateful_step_count=25, deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much])
test_graph_and_dag_calls = GraphAndDagCalls.TestCase
