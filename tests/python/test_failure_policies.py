"""execute_detailed(errors=..., print_errors=...): a failed node goes on (continue), stops the run
with its own exception (raise), or leaves out what reads from it (skip); failures print to
sys.stderr unless print_errors is False. In both modes."""

import sys

import pytest

from conftest import const, graph_of

MODES = [(False,), (True, None), (True, 1)]


class Boom(Exception):
    pass


def boom(inputs, params):
    raise Boom("no data")


def scene(failing=boom):
    """start -> validate (fails) -> use (reads its output) -> after; an independent branch off
    start, level with validate, and a later one off `use`'s level that reads start only."""
    ran = []

    def node(name, **outputs):
        def function(inputs, params):
            ran.append(name)
            return dict(outputs)
        return function

    graph = graph_of({"function": node("start", x=1), "label": "start", "outputs": {"x": "x"}},
                     {"function": failing, "label": "validate", "inputs": {"x": "x"},
                      "outputs": {"df": "df"}})
    graph.branch(graph_of({"function": node("beside", b=1), "label": "beside",
                           "outputs": {"b": "b"}}))
    graph.add(node("use", z=1), "use", inputs={"df": "df"}, outputs={"z": "z"})
    graph.add(node("after", w=1), "after", inputs={"x": "x"}, outputs={"w": "w"})
    return graph.build(), ran


def statuses(report):
    return {record.label: record.status for record in report.nodes}


@pytest.mark.parametrize("mode", MODES)
def test_skip_leaves_out_what_reads_from_a_failure_and_goes_on(mode, capsys):
    dag, ran = scene()
    seen = []
    report = dag.execute_detailed(*mode, errors="skip", on_node=seen.append)
    assert sorted(ran) == ["after", "beside", "start"]
    assert statuses(report) == {"start": "ok", "validate": "failed", "beside": "ok",
                                "use": "skipped", "after": "ok"}
    assert [r.label for r in report.failed] == ["validate"]
    skipped = next(r for r in report.nodes if r.label == "use")
    assert (skipped.error, skipped.seconds, skipped.thread) == (None, None, None)
    assert sorted(r.label for r in seen) == sorted(statuses(report))
    assert report.context == {"x": 1, "b": 1, "w": 1}
    assert "Boom: no data" in capsys.readouterr().err
    assert "class 2 skipped" in report.to_mermaid() and "use<br/>skipped" in report.to_mermaid()


@pytest.mark.parametrize("mode", MODES)
def test_outputs_list_the_failed_node_that_ran_and_not_the_skipped_ones(mode):
    graph = graph_of({"function": boom, "label": "f", "outputs": {"o": "a"}})
    graph.branch(graph_of({"label": "skipped", "inputs": {"a": "a"}}))
    graph.branch(graph_of({"label": "reads", "inputs": {"a": "a"}},
                          {"function": const(b=2), "label": "ran", "outputs": {"b": "b"}}))
    report = graph.build().execute_detailed(*mode, errors="skip", print_errors=False)
    assert statuses(report) == {"f": "failed", "skipped": "skipped", "reads": "skipped",
                                "ran": "ok"}
    assert report.node_outputs == {0: {}, 3: {"b": 2}}
    assert report.branch_outputs == {2: {"b": 2}}


def test_skip_propagates_through_skipped_nodes():
    graph = graph_of({"function": boom, "label": "a", "outputs": {"x": "x"}},
                     {"function": const(y=1), "label": "b", "inputs": {"x": "x"},
                      "outputs": {"y": "y"}},
                     {"function": const(z=1), "label": "c", "inputs": {"y": "y"},
                      "outputs": {"z": "z"}},
                     {"function": const(w=1), "label": "d", "outputs": {"w": "w"}})
    report = graph.build().execute_detailed(errors="skip", print_errors=False)
    assert statuses(report) == {"a": "failed", "b": "skipped", "c": "skipped", "d": "ok"}


@pytest.mark.parametrize("mode", MODES)
def test_raise_stops_at_the_first_failure_with_its_own_exception(mode, capsys):
    dag, ran = scene()
    with pytest.raises(Boom, match="no data") as raised:
        dag.execute_detailed(*mode, errors="raise")
    assert "use" not in ran and "after" not in ran
    assert capsys.readouterr().err == ""
    assert raised.traceback[-1].name == "boom"
    if sys.version_info >= (3, 11):
        assert raised.value.__notes__ == ["in node 'validate' (id 1)"]


def test_raise_gives_the_type_error_of_a_result_that_is_no_dict(capsys):
    dag, _ = scene(failing=lambda inputs, params: [1])
    with pytest.raises(TypeError, match=r"did not return a dict \(returned 'list'\)"):
        dag.execute_detailed(errors="raise")
    assert capsys.readouterr().err == ""


@pytest.mark.parametrize("errors", ["continue", "raise", "skip"])
@pytest.mark.parametrize("exit_type", [SystemExit, KeyboardInterrupt])
def test_exits_stop_the_run_whatever_the_policy(errors, exit_type):
    def leave(inputs, params):
        raise exit_type(3)

    dag, ran = scene(failing=leave)
    with pytest.raises(exit_type):
        dag.execute_detailed(True, errors=errors)
    assert "use" not in ran


@pytest.mark.parametrize("mode", MODES)
def test_quiet_failures_are_still_reported(mode, capsys):
    dag, _ = scene(failing=lambda inputs, params: None)
    seen = []
    report = dag.execute_detailed(*mode, on_node=seen.append, print_errors=False)
    assert capsys.readouterr().err == ""
    assert [r.label for r in report.failed] == ["validate"]
    assert isinstance(report.failed[0].error, TypeError)
    assert "validate" in [r.label for r in seen if r.status == "failed"]
    assert statuses(report)["use"] == "ok"  # continue: it runs, without df


def test_policies_give_every_reference_back():
    failure = Boom("held")

    def fail(inputs, params):
        raise failure

    dag, _ = scene(failing=fail)
    baseline = sys.getrefcount(failure)
    for errors in ("continue", "skip"):
        report = dag.execute_detailed(True, errors=errors, print_errors=False)
        assert report.failed[0].error is failure
        del report
    with pytest.raises(Boom):
        dag.execute_detailed(errors="raise")
    failure.__traceback__ = None
    assert sys.getrefcount(failure) == baseline


@pytest.mark.parametrize("arguments, error, message", [
    ({"errors": 1}, TypeError, "argument 'errors': 'int' object cannot be converted to "
                               "'PyString'"),
    ({"errors": "stop"}, ValueError, "argument 'errors': expected 'continue', 'raise' or "
                                     "'skip', got 'stop'"),
    ({"print_errors": 1}, TypeError, "argument 'print_errors': 'int' object cannot be converted "
                                     "to 'PyBool'"),
])
def test_policy_arguments_are_checked_before_anything_runs(arguments, error, message):
    dag, ran = scene()
    with pytest.raises(error, match=message):
        dag.execute_detailed(**arguments)
    assert ran == []
