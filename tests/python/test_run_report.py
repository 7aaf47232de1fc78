"""PyDag.execute_detailed(): runs exactly as execute() does and reports on every node; its
arguments, initial inputs, progress hook and run diagram; and the introspection of a DAG."""

import copy
import gc
import inspect
import os
import pickle
import re
import sys
import threading
import time
import weakref

import pytest

import vantorix
import vantorix_dask
from conftest import chain, const, fanout, graph_of

import _mermaid

MODES = [(False,), (True,), (True, 1)]
FIELDS = ("id", "label", "branch_id", "level", "status", "error", "seconds", "thread",
          "uncached", "started")


def fields(record, names=("id", "label", "branch_id", "level", "status")):
    return tuple(getattr(record, name) for name in names)


def raising(error_type, *arguments):
    """A node function that raises a new `error_type(*arguments)` on every call."""
    def function(inputs, params):
        raise error_type(*arguments)
    return function


class Token:
    pass


def quickstart_like():
    """Root, then a level of "main" and two one-node branches, then a node after "main"."""
    return fanout({"function": const(x=1), "label": "root", "outputs": {"x": "x"}},
                  [{"function": lambda i, p: {"y": i["x"] + 1}, "label": "left",
                    "inputs": {"x": "x"}, "outputs": {"y": "left"}}],
                  [{"function": lambda i, p: {"y": i["x"] + 2}, "label": "right",
                    "inputs": {"x": "x"}, "outputs": {"y": "right"}}],
                  after=[{"function": lambda i, p: {"y": i["x"] * 10}, "label": "main",
                          "inputs": {"x": "x"}, "outputs": {"y": "main"}},
                         {"label": "end"}])


# --- the report ----------------------------------------------------------------------------


@pytest.mark.parametrize("arguments", MODES)
def test_report_holds_what_execute_returns_and_the_engines_bookkeeping(arguments):
    dag = quickstart_like()
    report = dag.execute_detailed(*arguments)
    assert report.context == dag.execute(*arguments) == {
        "x": 1, "left": 2, "right": 3, "main": 10}
    assert report.node_outputs == {0: {"x": 1}, 1: {"main": 10}, 2: {}, 3: {"left": 2},
                                   4: {"right": 3}}
    assert report.branch_outputs == {1: {"left": 2}, 2: {"right": 3}}
    assert [fields(r) for r in sorted(report.nodes)] == [
        (0, "root", None, 0, "ok"), (1, "main", None, 1, "ok"), (2, "end", None, 2, "ok"),
        (3, "left", 1, 1, "ok"), (4, "right", 2, 1, "ok")]
    assert report.failed == []


def test_sequential_records_follow_the_execution_order_parallel_ones_the_levels():
    dag = quickstart_like()
    sequential = dag.execute_detailed()
    assert [record.id for record in sequential.nodes] == dag.execution_order == [0, 1, 3, 4, 2]
    parallel = dag.execute_detailed(True)
    ran = [record.id for record in parallel.nodes]
    assert ran[0] == 0 and sorted(ran[1:4]) == [1, 3, 4] and ran[4] == 2
    assert [fields(r) for r in sorted(parallel.nodes)] == [fields(r) for r in sorted(sequential.nodes)]


def test_parallel_records_come_in_the_order_the_nodes_finished():
    # A worker appends its result after its node has returned, so "right" waits until the thread
    # that ran "left" has ended altogether.
    left_thread = []
    left_done = threading.Event()

    def left(inputs, params):
        left_thread.append(threading.get_native_id())
        left_done.set()
        return {}

    def right(inputs, params):
        assert left_done.wait(10)
        task = f"/proc/self/task/{left_thread[-1]}"
        for _ in range(10_000):
            if not os.path.exists(task):
                return {}
            threading.Event().wait(0.001)
        raise AssertionError("the thread that ran 'left' did not end")

    dag = fanout({}, [{"function": left, "label": "left"}], [{"function": right, "label": "right"}])
    for _ in range(5):
        left_done.clear()
        assert [r.label for r in dag.execute_detailed(True).nodes] == [None, "left", "right"]


def test_failing_nodes_are_reported_with_the_very_exception_and_the_run_goes_on(capsys):
    raised = []

    def broken(inputs, params):
        raised.append(KeyError("missing"))
        raise raised[-1]

    dag = chain({"function": broken, "label": "broken"},
                {"function": lambda i, p: [1, 2], "label": "not a dict"},
                {"function": 42, "label": "not callable"},
                {"function": lambda inputs: {}, "label": "one parameter"},
                {"function": const(v=1), "label": "goes on", "outputs": {"v": "v"}})
    report = dag.execute_detailed()
    assert report.context == {"v": 1}
    assert [(r.label, r.status) for r in report.nodes] == [
        ("broken", "failed"), ("not a dict", "failed"), ("not callable", "failed"),
        ("one parameter", "failed"), ("goes on", "ok")]
    assert report.failed == report.nodes[:4]
    assert all(a is b for a, b in zip(report.failed, report.nodes))
    broken_record, not_a_dict, not_callable, one_parameter = report.failed
    assert broken_record.error is raised[0]
    frames = []
    traceback = broken_record.error.__traceback__
    while traceback is not None:
        frames.append(traceback.tb_frame.f_code.co_name)
        traceback = traceback.tb_next
    assert frames == ["broken"]
    assert type(not_a_dict.error) is TypeError
    assert str(not_a_dict.error) == "Python function did not return a dict (returned 'list')"
    assert type(not_callable.error) is TypeError and "not callable" in str(not_callable.error)
    assert type(one_parameter.error) is TypeError
    assert report.nodes[4].error is None


@pytest.mark.parametrize("arguments", MODES)
def test_failures_print_the_same_text_as_execute(arguments, capsys):
    dag = fanout({}, [{"function": raising(ValueError, "boom"), "label": "a"}],
                 [{"function": lambda i, p: None, "label": "b"}])
    dag.execute(*arguments)
    printed = capsys.readouterr().err
    assert "ValueError: boom" in printed
    dag.execute_detailed(*arguments)
    assert sorted(capsys.readouterr().err.splitlines()) == sorted(printed.splitlines())


def test_seconds_cover_the_node_and_thread_names_where_it_ran():
    def slow(inputs, params):
        time.sleep(0.05)
        return {"thread": threading.get_ident()}

    def fast(inputs, params):
        return {"thread": threading.get_ident()}

    dag = fanout({"function": fast, "label": "root", "outputs": {"thread": "root"}},
                 [{"function": slow, "label": "slow", "outputs": {"thread": "slow"}}],
                 [{"function": fast, "label": "fast", "outputs": {"thread": "fast"}}])
    for parallel in (False, True):
        report = dag.execute_detailed(parallel)
        by_label = {record.label: record for record in report.nodes}
        assert by_label["slow"].seconds >= 0.05
        assert all(isinstance(r.seconds, float) and r.seconds >= 0 for r in report.nodes)
        for label in ("root", "slow", "fast"):
            assert by_label[label].thread == report.context[label]
        assert by_label["root"].thread == threading.get_ident()
        assert (by_label["slow"].thread == threading.get_ident()) is not parallel


@pytest.mark.parametrize("mode", ["sequential", "parallel"])
def test_exit_from_a_node_stops_the_run_and_the_hook_saw_what_finished_before(mode):
    seen, ran = [], []

    def node(name, function=None):
        def run(inputs, params):
            ran.append(name)
            return function() if function else {}
        return {"function": run, "label": name}

    def leave():
        raise SystemExit(3)

    # Sequential order: root, a, exit, c. In parallel, a and exit form the first batch.
    dag = fanout(node("root"), [node("a")], [node("exit", leave)], [node("c")])
    arguments = (True, 2) if mode == "parallel" else ()
    with pytest.raises(SystemExit) as stopped:
        dag.execute_detailed(*arguments, on_node=lambda record: seen.append(record.label))
    assert stopped.value.code == 3
    # The exit's batch finished (a ran) but is not reported: the run ends with the exit.
    assert seen == (["root"] if mode == "parallel" else ["root", "a"])
    assert "a" in ran and "c" not in ran


def test_nodes_of_a_run_nested_in_a_node_are_not_taken_for_it(capsys):
    inner = chain({"function": raising(ValueError, "inner")})
    outer = chain({"function": lambda i, p: {"inner": inner.execute()}, "label": "outer",
                   "outputs": {"inner": "inner"}})
    report = outer.execute_detailed()
    assert [r.status for r in report.nodes] == ["ok"]
    assert "ValueError: inner" in capsys.readouterr().err


def test_records_and_reports_as_python_objects():
    report = chain({"function": const(v=1), "label": "one", "outputs": {"v": "v"}}).execute_detailed()
    record = report.nodes[0]
    assert type(record).__name__ == "NodeRecord" and type(record).__module__ == "vantorix"
    assert type(report).__name__ == "RunReport" and type(report).__module__ == "vantorix"
    assert not hasattr(vantorix, "NodeRecord") and not hasattr(vantorix, "RunReport")
    assert isinstance(record, tuple) and len(record) == 10
    assert record._fields == FIELDS
    assert tuple(record) == tuple(getattr(record, name) for name in FIELDS)
    assert record._asdict() == dict(zip(FIELDS, record))
    assert repr(record) == (f"NodeRecord(id=0, label='one', branch_id=None, level=0, "
                            f"status='ok', error=None, seconds={record.seconds!r}, "
                            f"thread={record.thread!r}, uncached=None, "
                            f"started={record.started!r})")
    assert copy.copy(record) == record and copy.deepcopy(record) == record
    with pytest.raises((pickle.PicklingError, AttributeError, TypeError)):
        pickle.dumps(record)
    assert repr(report) == "<vantorix.RunReport: 1 node, 1 ok, 0 failed, 0 not run>"
    assert report.nodes is report.nodes and report.context is report.context
    for name in ("context", "node_outputs", "branch_outputs", "nodes", "failed"):
        with pytest.raises(AttributeError):
            setattr(report, name, None)
    with pytest.raises(TypeError, match="cannot create 'vantorix.RunReport' instances"):
        type(report)()
    with pytest.raises(TypeError):
        class Custom(type(report)):  # noqa: F841 - the class statement is what fails
            pass


def test_empty_dag_gives_an_empty_report():
    report = vantorix.PyGraph().build().execute_detailed(True, inputs={"a": 1})
    assert (report.context, report.node_outputs, report.branch_outputs) == ({"a": 1}, {}, {})
    assert report.nodes == [] and report.failed == []
    assert report.to_mermaid() == "graph TD\n"


# --- inputs --------------------------------------------------------------------------------


@pytest.mark.parametrize("arguments", MODES)
def test_inputs_seed_the_context_and_outputs_override_them(arguments):
    seen = []
    value = ["payload"]
    dag = fanout({"function": lambda i, p: seen.append(dict(i)) or {"n": i["n"] + 1},
                  "inputs": {"n": "n", "payload": "payload"}, "outputs": {"n": "n"}},
                 [{"function": lambda i, p: {"copy": i["n"]}, "inputs": {"n": "n"},
                   "outputs": {"copy": "a"}}],
                 [{"function": lambda i, p: {"copy": i["n"]}, "inputs": {"n": "n"},
                   "outputs": {"copy": "b"}}])
    inputs = {"n": 1, "payload": value, "unused": None}
    report = dag.execute_detailed(*arguments, inputs=inputs)
    assert seen == [{"n": 1, "payload": value}] and seen[0]["payload"] is value
    assert report.context == {"n": 2, "payload": value, "unused": None, "a": 2, "b": 2}
    assert report.context["payload"] is value
    assert inputs == {"n": 1, "payload": value, "unused": None}
    assert 0 in report.node_outputs and "payload" not in report.node_outputs[0]


@pytest.mark.parametrize("arguments", MODES)
def test_inputs_are_read_until_a_node_publishes_the_same_name(arguments):
    # "n" is read by the root and by a node beside its publisher, before and after it in the
    # level; "total" is read once before and once after the node that replaces it.
    seen = {}

    def reader(name):
        def function(inputs, params):
            seen[name] = dict(inputs)
            return {}
        return function

    dag = fanout({"function": reader("root"), "inputs": {"n": "n", "total": "total"}},
                 [{"function": reader("before"), "inputs": {"n": "n"}}],
                 [{"function": lambda i, p: {"n": i["n"] * 10, "total": i["total"] + 1},
                   "inputs": {"n": "n", "total": "total"},
                   "outputs": {"n": "n", "total": "total"}},
                  {"function": reader("after"), "inputs": {"n": "n", "total": "total"}}],
                 [{"function": reader("beside"), "inputs": {"n": "n", "total": "total"}}])
    report = dag.execute_detailed(*arguments, inputs={"n": 4, "total": 7})
    assert seen["root"] == {"n": 4, "total": 7}
    assert seen["before"] == {"n": 4}
    # One at a time, "beside" comes after the publisher; level by level, beside it.
    assert seen["beside"] == ({"n": 40, "total": 8} if arguments == (False,) else
                              {"n": 4, "total": 7})
    assert seen["after"] == {"n": 40, "total": 8}
    assert report.context == {"n": 40, "total": 8}
    assert report.node_outputs[2] == {"n": 40, "total": 8}
    assert report.branch_outputs[2] == {"n": 40, "total": 8}
    assert report.branch_outputs[1] == report.branch_outputs[3] == {}


def test_absent_or_none_inputs_start_from_an_empty_context():
    seen = []
    dag = chain({"function": lambda i, p: seen.append(dict(i)) or {}, "inputs": {"a": "a"}})
    dag.execute_detailed()
    dag.execute_detailed(inputs=None)
    dag.execute_detailed(False, None, inputs={})

    class Inputs(dict):
        def __iter__(self):
            raise AssertionError("own entries are read directly")

    dag.execute_detailed(inputs=Inputs(a=5))
    assert seen == [{}, {}, {}, {"a": 5}]


# --- on_node -------------------------------------------------------------------------------


@pytest.mark.parametrize("arguments", MODES)
def test_on_node_sees_every_record_once_in_order_on_the_calling_thread(arguments):
    seen, threads = [], []

    def on_node(record):
        seen.append(record)
        threads.append(threading.get_ident())

    dag = quickstart_like()
    report = dag.execute_detailed(*arguments, on_node=on_node)
    assert len(seen) == 5 and all(a is b for a, b in zip(seen, report.nodes))
    assert threads == [threading.get_ident()] * 5


@pytest.mark.parametrize("max_threads", [1, None])
def test_on_node_hears_about_a_batch_once_it_has_finished(max_threads):
    log = []
    together = threading.Barrier(3, timeout=10)

    def node(name):
        def run(inputs, params):
            if name != "root" and max_threads is None:
                together.wait()  # the three are in one batch
            log.append(f"ran {name}")
            return {}
        return {"function": run, "label": name}

    dag = fanout(node("root"), [node("a")], [node("b")], [node("c")])
    report = dag.execute_detailed(True, max_threads,
                                  on_node=lambda record: log.append(f"seen {record.label}"))
    if max_threads == 1:
        assert log == ["ran root", "seen root", "ran a", "seen a", "ran b", "seen b",
                       "ran c", "seen c"]
    else:
        assert log[:2] == ["ran root", "seen root"]
        assert sorted(log[2:5]) == ["ran a", "ran b", "ran c"]
        assert log[5:] == [f"seen {record.label}" for record in report.nodes[1:]]


@pytest.mark.parametrize("arguments", [(), (True,), (True, 1)])
def test_exception_from_on_node_stops_the_run_and_is_raised(arguments):
    ran, error = [], ValueError("stop here")

    def on_node(record):
        if record.label == "a":
            raise error

    def node(name):
        return {"function": lambda i, p: ran.append(name) or {}, "label": name}

    dag = fanout(node("root"), [node("a"), node("a2")], [node("b"), node("b2")])
    with pytest.raises(ValueError) as raised:
        dag.execute_detailed(*arguments, on_node=on_node)
    assert raised.value is error
    assert "a2" not in ran and "b2" not in ran
    # Sequentially "b" comes after "a"; in one batch it has run already; in batches of one, not.
    assert ("b" in ran) is (arguments == (True,))


def test_keyboard_interrupt_from_on_node_is_raised_as_itself():
    def on_node(record):
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        chain({}, {}).execute_detailed(on_node=on_node)


# --- arguments -----------------------------------------------------------------------------


def test_signature_and_documentation():
    method = vantorix.PyDag.execute_detailed
    assert str(inspect.signature(method)) == (
        "(self, /, parallel=False, max_threads=None, *, inputs=None, on_node=None, "
        "errors='continue', print_errors=True, cache=None)")
    assert method.__doc__.splitlines()[0] == (
        "Execute the DAG as execute() does and report on every node")
    report_method = type(chain().execute_detailed()).to_mermaid
    assert str(inspect.signature(report_method)) == "(self, /, *, durations=True)"
    assert report_method.__doc__.splitlines()[0] == "Mermaid diagram of the run"


@pytest.mark.parametrize("call, error, message", [
    (lambda d: d.execute_detailed(True, 1, 2), TypeError,
     "PyDag.execute_detailed() takes from 0 to 2 positional arguments but 3 were given"),
    (lambda d: d.execute_detailed(True, 1, 2, inputs={}), TypeError,
     "PyDag.execute_detailed() takes from 0 to 2 positional arguments but 3 positional "
     "arguments (and 1 keyword-only argument) were given"),
    (lambda d: d.execute_detailed(True, 1, 2, 3, inputs={}, on_node=print), TypeError,
     "PyDag.execute_detailed() takes from 0 to 2 positional arguments but 4 positional "
     "arguments (and 2 keyword-only arguments) were given"),
    (lambda d: d.execute_detailed(input={}), TypeError,
     "PyDag.execute_detailed() got an unexpected keyword argument 'input'"),
    (lambda d: d.execute_detailed(True, parallel=True), TypeError,
     "PyDag.execute_detailed() got multiple values for argument 'parallel'"),
    (lambda d: d.execute_detailed(1), TypeError,
     "argument 'parallel': 'int' object cannot be converted to 'PyBool'"),
    (lambda d: d.execute_detailed(True, 2.0), TypeError,
     "argument 'max_threads': 'float' object cannot be interpreted as an integer"),
    (lambda d: d.execute_detailed(True, -1), OverflowError, None),
    (lambda d: d.execute_detailed(inputs=[("a", 1)]), TypeError,
     "argument 'inputs': 'list' object cannot be converted to 'PyDict'"),
    (lambda d: d.execute_detailed(inputs={"a": 1, 2: 3}), TypeError,
     "argument 'inputs': 'int' object cannot be converted to 'PyString'"),
    (lambda d: d.execute_detailed(on_node=1), TypeError,
     "argument 'on_node': 'int' object is not callable"),
])
def test_argument_errors_are_raised_before_anything_runs(call, error, message):
    ran = []
    dag = chain({"function": lambda i, p: ran.append(1) or {}})
    with pytest.raises(error) as raised:
        call(dag)
    if message is not None:
        assert str(raised.value) == message
    assert ran == []


@pytest.mark.parametrize("call, message", [
    (lambda r: r.to_mermaid(False),
     "RunReport.to_mermaid() takes 0 positional arguments but 1 was given"),
    (lambda r: r.to_mermaid(durations=1),
     "argument 'durations': 'int' object cannot be converted to 'PyBool'"),
    (lambda r: r.to_mermaid(duration=True),
     "RunReport.to_mermaid() got an unexpected keyword argument 'duration'"),
])
def test_diagram_argument_errors(call, message):
    with pytest.raises(TypeError) as raised:
        call(chain({}).execute_detailed())
    assert str(raised.value) == message


def test_positional_and_keyword_arguments_mean_the_same():
    dag = quickstart_like()
    assert dag.execute_detailed(True, 1).context == dag.execute_detailed(
        parallel=True, max_threads=1).context
    assert dag.execute_detailed(False, 0, inputs=None, on_node=None).context == dag.execute()


# --- references ----------------------------------------------------------------------------


@pytest.mark.parametrize("arguments", MODES)
def test_inputs_errors_and_callables_return_to_their_baseline_refcount(arguments, capsys):
    value, on_node = ["input"], lambda record: None

    class Failure(Exception):
        pass

    error = Failure("kept")

    def fail(inputs, params):
        raise error

    dag = fanout({"function": lambda i, p: dict(i), "inputs": {"value": "value"},
                  "outputs": {"value": "out"}},
                 [{"function": fail}], [{"function": lambda i, p: [i]}])
    baselines = [sys.getrefcount(obj) for obj in (value, on_node, error)]
    for _ in range(50):
        error.__traceback__ = None  # raising it again would extend its traceback
        report = dag.execute_detailed(*arguments, inputs={"value": value}, on_node=on_node)
        assert report.failed[0].error is error or report.failed[1].error is error
        report.node_outputs, report.nodes, report.to_mermaid()
    del report
    error.__traceback__ = None  # the last run's traceback holds the node's frame
    assert [sys.getrefcount(obj) for obj in (value, on_node, error)] == baselines


def test_cycle_through_a_failed_nodes_traceback_is_collected(capsys):
    gc.collect()
    dag = chain({"function": raising(ValueError, "cycle")})
    freed = []

    def run():
        sentinel = Token()
        weakref.finalize(sentinel, freed.append, True)
        report = dag.execute_detailed()
        # The traceback's frame leads back to this frame, which holds the report.
        assert report.failed[0].error.__traceback__ is not None

    run()
    gc.collect()
    assert freed == [True]


def test_cycle_through_a_value_held_only_by_the_node_outputs_is_collected():
    made, freed = [], []

    def make(inputs, params):
        holder = Token()
        weakref.finalize(holder, freed.append, True)
        made.append(holder)
        return {"v": holder}

    dag = chain({"function": make, "outputs": {"v": "v"}},
                {"function": const(v=0), "outputs": {"v": "v"}})  # the context forgets it
    report = dag.execute_detailed()
    made.pop().report = report  # report -> its node outputs -> holder -> report
    del report
    gc.collect()
    assert freed == [True]


@pytest.mark.parametrize("first", ["node_outputs", "branch_outputs", "nodes", "failed"])
def test_attributes_read_by_a_finaliser_while_they_are_made_are_whole_and_made_once(first):
    # Before 3.12 an allocation of the getter runs the collector, and with it the finaliser.
    names = ("node_outputs", "branch_outputs", "nodes", "failed")
    graph = graph_of({"function": raising(ValueError, "x"), "label": "fails"})
    for k in range(20):
        graph.branch(graph_of({"function": const(o=[k]), "outputs": {"o": f"x{k}"}}))
    report = graph.build().execute_detailed(print_errors=False)
    seen = []

    class Reader:
        def __init__(self):
            self.me = self

        def __del__(self):
            seen.append({name: getattr(report, name) for name in names})

    thresholds = gc.get_threshold()
    gc.collect()
    Reader()
    gc.set_threshold(1)
    try:
        getattr(report, first)
    finally:
        gc.set_threshold(*thresholds)
    gc.collect()
    assert report.node_outputs == {0: {}, **{k: {f"x{k - 1}": [k - 1]} for k in range(1, 21)}}
    assert report.branch_outputs == {k: {f"x{k - 1}": [k - 1]} for k in range(1, 21)}
    assert [r.label for r in report.failed] == ["fails"] and len(report.nodes) == 21
    assert all(getattr(report, name) is seen[0][name] for name in names)


# --- the run's diagram ---------------------------------------------------------------------


def diagram_dag():
    graph = vantorix.PyGraph()
    graph.add(const(data=1), "load", outputs={"data": "raw"})
    side = vantorix.PyGraph()
    side.add(raising(RuntimeError, "no"), inputs={"raw": "d"})
    graph.branch(side)
    graph.add(lambda i, p: {}, "report")
    return graph.build()


EXPECTED_DIAGRAM = """\
graph TD
    0["load"]
    1["report"]
    2["Node 2<br/>failed"]
    0 --> 1
    0 -->|raw → d| 2
    style 2 fill:#e1f5ff
    classDef ok fill:#e8f5e9,stroke:#2e7d32,color:#1b5e20
    class 0,1 ok
    classDef failed fill:#ffebee,stroke:#c62828,stroke-width:2px,color:#b71c1c
    class 2 failed
"""


@pytest.mark.parametrize("arguments", MODES)
def test_diagram_of_a_run_is_the_dags_with_outcomes(arguments, capsys):
    dag = diagram_dag()
    report = dag.execute_detailed(*arguments)
    assert report.to_mermaid(durations=False) == EXPECTED_DIAGRAM
    assert dag.to_mermaid() == "".join(
        line.replace("<br/>failed", "") for line in EXPECTED_DIAGRAM.splitlines(True)
        if "class" not in line)
    # With durations, every box also says how long its node took.
    timed = report.to_mermaid()
    assert timed == report.to_mermaid(durations=True)
    by_id = {record.id: record for record in report.nodes}
    boxes = re.findall(r'^    (\d+)\["(.*)"\]$', timed, re.MULTILINE)
    assert [box for box, _ in boxes] == ["0", "1", "2"]
    for box, text in boxes:
        prefix = {"0": "load<br/>", "1": "report<br/>", "2": "Node 2<br/>failed after "}[box]
        assert text.startswith(prefix)
        assert re.fullmatch(r"<1 µs|\d+ µs|\d+\.\d ms|\d+\.\d\d s", text[len(prefix):])
        assert by_id[int(box)].seconds is not None
    assert timed.split("\n", 4)[4] == EXPECTED_DIAGRAM.split("\n", 4)[4]


LABELS = ['say "hi"', "a|b", "", "[x](y){z}", "#quot; is literal", "<b>bold</b> & co",
          "`code`", "two\nlines"]


def labelled(labels):
    graph = vantorix.PyGraph()
    graph.add(const(v=1), labels[0], outputs={"v": "out|put"})
    for label in labels[1:]:
        graph.add(None, label, inputs={"out|put": 'in"put'})
    return graph.build()


def test_labels_are_escaped_so_that_the_renderer_shows_them_as_they_are():
    text = labelled(LABELS).execute_detailed().to_mermaid(durations=False)
    assert text.splitlines()[1:10] == [
        '    0["say #quot;hi#quot;"]',
        '    1["a#124;b"]',
        '    2[" "]',
        '    3["#91;x#93;#40;y#41;#123;z#125;"]',
        '    4["#35;quot; is literal"]',
        '    5["#lt;b#gt;bold#lt;/b#gt; #amp; co"]',
        '    6["#96;code#96;"]',
        '    7["two<br/>lines"]',
        '    0 -->|out#124;put → in#quot;put| 1',
    ]


RENDERER = _mermaid.available()


@pytest.mark.skipif(RENDERER is not None, reason=f"Mermaid renderer: {RENDERER}")
def test_run_diagrams_render_with_every_label_as_written(capsys):
    reports = [labelled(LABELS).execute_detailed(), diagram_dag().execute_detailed(True),
               quickstart_like().execute_detailed()]
    diagrams = [report.to_mermaid(durations=False) for report in reports]
    diagrams += [report.to_mermaid() for report in reports]
    results = _mermaid.render(diagrams)
    assert all(result["ok"] for result in results), results
    labels, diagram, quickstart = results[:3]
    # Line breaks render as breaks, which the text of a box does not show.
    assert labels["nodes"] == [label.replace("\n", "") or "" for label in LABELS]
    assert labels["edges"] == ['out|put → in"put']
    assert diagram["nodes"] == ["load", "report", "Node 2failed"]
    assert [classes[-1] for classes in diagram["classes"]] == ["ok", "ok", "failed"]
    assert quickstart["nodes"] == ["root", "main", "end", "left", "right"]
    for timed, report in zip(results[3:], reports):
        assert len(timed["nodes"]) == len(report.nodes)


# --- the timeline ----------------------------------------------------------------------------

# Labels that the gantt parser would misread, and how a bar names them.
GANTT_NAMES = [
    ("a: b;c", "a#58; b#59;c"), ("5% #1", "5#37; #35;1"), ('"<b>"', "#quot;#lt;b#gt;#quot;"),
    ("two\nlines", "two lines"), ("  ", "  #32;"), ("Title x", "#84;itle x"),
    (" click me", " #99;lick me"), ("2024-01-01 run", "#50;024-01-01 run"),
    ("titles", "titles"), ("naïve ✓ 日本", "naïve ✓ 日本"),
]


def pause(inputs, params):
    time.sleep(0.011)  # simulated work: a run long enough for a chart in milliseconds
    return {}


def timeline_runs(directory, modes=((True,), (True,), (False,), (True, 3))):
    """Root; a level of one-node branches with those labels, a failing node and "main"; then a
    reader of the failing node (skipped) and "end". Later runs are served by the cache."""
    dag = fanout({"function": const(x=1), "label": "root", "outputs": {"x": "x"}},
                 *[[{"function": const(y=k), "label": label}]
                   for k, (label, _) in enumerate(GANTT_NAMES)],
                 [{"function": raising(ValueError, "no"), "outputs": {"y": "failed"}},
                  {"function": const(), "label": "skipped", "inputs": {"failed": "y"}}],
                 after=[{"function": const(main=1), "label": "main"},
                        {"function": pause, "label": "end"}])
    return [dag.execute_detailed(*mode, errors="skip", print_errors=False, cache=directory)
            for mode in modes]


@pytest.mark.parametrize("arguments", MODES)
def test_nodes_start_after_every_node_they_wait_for_has_ended(arguments, tmp_path):
    # An order the run's barriers prove: sequential nodes, or parallel levels, one after another.
    (report,) = timeline_runs(tmp_path, [arguments])
    ran = [record for record in report.nodes if record.started is not None]
    assert [r.label for r in report.nodes if r not in ran] == ["skipped"]
    steps = [[r for r in ran if r.level == level] for level in (0, 1, 2)] if arguments[0] \
        else [[r] for r in ran]
    for before, after in zip(steps, steps[1:]):
        assert min(r.started for r in after) >= max(r.started + r.seconds for r in before) - 1e-9


@pytest.mark.parametrize("label, name", GANTT_NAMES)
def test_bar_names_are_escaped_so_that_the_renderer_shows_them_as_they_are(label, name):
    text = chain({"function": const(), "label": label}).execute_detailed().to_gantt()
    assert re.fullmatch(r"gantt\n    dateFormat x\n    axisFormat %Q (µs|ms)\n    todayMarker "
                        rf"off\n    section thread 1\n    {re.escape(name)} :done, \d+, \d+\n", text)


def test_bars_are_in_order_of_start_on_a_section_per_thread_and_visible():
    record = type(chain({}).execute_detailed().nodes[0])
    steps = [(9, "b", "failed", 20.6e-6, 0.3e-6), (7, "load", "ok", 0.4e-6, 12e-6),
             (7, None, "cached", 20.6e-6, 1249.4e-6), (9, None, "ok", 900e-6, 8500e-6)]
    records = [record(k, label, None, 0, status, None, seconds, thread, None, started)
               for k, (thread, label, status, started, seconds) in enumerate(steps)]
    # Within 10 ms in µs, and every bar at least 1/200 of the chart (47 µs) long.
    text = vantorix_dask._gantt(records, lambda r: r.thread, "thread {1}".format)
    assert text.split("\n")[2:] == [
        "    axisFormat %Q µs", "    todayMarker off", "    section thread 1",
        "    load :done, 0, 47", "    node 2 :active, 21, 1270", "    section thread 2",
        "    b :crit, 21, 68", "    node 3 :done, 900, 9400", ""]


def test_the_dask_companion_draws_the_timeline_the_module_draws(tmp_path):
    reports = timeline_runs(tmp_path)
    assert {r.status for r in reports[1].nodes} == {"cached", "failed", "skipped"}
    for report in reports:
        text = report.to_gantt()
        assert text == vantorix_dask._gantt(report.nodes, lambda r: r.thread,
                                            "thread {1}".format)
        assert report._repr_markdown_() == (f"```mermaid\n{report.to_mermaid()}```\n\n"
                                            f"```mermaid\n{text}```\n")


@pytest.mark.skipif(RENDERER is not None, reason=f"Mermaid renderer: {RENDERER}")
def test_timelines_render_with_every_name_as_written(tmp_path):
    reports = timeline_runs(tmp_path)
    tags = {"ok": "done", "cached": "active", "failed": "crit"}
    for result, report in zip(_mermaid.render([r.to_gantt() for r in reports]), reports):
        ran = [r for r in report.nodes if r.started is not None]
        assert result["ok"] and len(result["sections"]) == len({r.thread for r in ran}), result
        assert sorted((bar["name"].strip(), bar["classes"][1].rstrip("0123456789"))
                      for bar in result["bars"]) == sorted(
            (" ".join((r.label or f"node {r.id}").split("\n")).strip(), tags[r.status])
            for r in ran)
        assert all(bar["width"] > 0 for bar in result["bars"])


# --- introspection -------------------------------------------------------------------------


def test_execution_order_and_levels_are_new_lists_every_time():
    main = vantorix.PyGraph()
    for name in "AB":
        main.add(None, name)
    side = vantorix.PyGraph()
    side.add(None, "X")
    side.add(None, "Y")
    main.branch(side)
    main.add(None, "C")
    dag = main.build()
    assert dag.execution_order == [0, 1, 2, 3, 4]
    assert dag.levels == [[0], [1], [2, 3], [4]]
    dag.execution_order.append(9)
    dag.levels[0].append(9)
    assert dag.execution_order == [0, 1, 2, 3, 4] and dag.levels[0] == [0]
    assert dag.execution_order is not dag.execution_order
    with pytest.raises(AttributeError):
        dag.levels = []
    empty = vantorix.PyGraph().build()
    assert (empty.execution_order, empty.levels) == ([], [])
    assert [r.level for r in dag.execute_detailed().nodes] == [0, 1, 2, 2, 3]
