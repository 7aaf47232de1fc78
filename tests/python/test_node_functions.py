"""Python callables as node functions: the dicts they receive, what they must return, and how
their failures are reported."""

import io
import sys

import pytest

from conftest import Recorder, chain, const, fanout

NOT_A_DICT = "Error: Python function did not return a dict\n"


def one_arg(inputs):
    return {}


def divide_by_zero(inputs, params):
    return {"r": 1 / 0}


def after(record):
    """A node that records that it ran and publishes `after`."""
    return {"function": lambda i, p: record.append("after") or {"a": 1}, "outputs": {"a": "after"}}


@pytest.mark.parametrize("parallel", [False, True])
def test_callable_gets_two_fresh_dicts_and_empty_parameters(parallel):
    seen, copies = [], []

    def spy(*args, **kwargs):
        assert len(args) == 2 and kwargs == {}
        seen.extend(args)
        copies.append(tuple(dict(d) for d in args))
        args[0]["added"] = args[1]["added"] = 1  # never seen by the engine or later calls
        return {"v": len(copies)}

    dag = chain(*[{"function": spy, "inputs": {"v": "v", "added": "added"}, "outputs": {"v": "v"}}] * 3)
    assert dag.execute(parallel) == {"v": 3}
    assert dag.execute(parallel) == {"v": 6}
    assert copies == [({}, {}), ({"v": 1}, {}), ({"v": 2}, {}), ({}, {}), ({"v": 4}, {}), ({"v": 5}, {})]
    assert all(type(d) is dict for d in seen)
    assert len({id(d) for d in seen}) == len(seen)


@pytest.mark.parametrize("returned", [None, [("a", 1)], 1, "a", (("a", 1),)])
@pytest.mark.parametrize("parallel", [False, True])
def test_non_dict_result_reports_and_gives_an_empty_result(monkeypatch, returned, parallel):
    stderr, record = Recorder(), []
    monkeypatch.setattr(sys, "stderr", stderr)
    dag = chain({"function": lambda i, p: returned, "outputs": {"a": "a"}}, after(record))
    assert dag.execute(parallel) == {"after": 1}
    assert stderr.calls == [NOT_A_DICT]
    assert record == ["after"]


def test_returned_dict_is_read_from_its_own_entries_and_skips_unusable_keys(capsys):
    class Name(str):
        pass

    class Odd(dict):
        def items(self):
            raise AssertionError("not called")

        __getitem__ = __iter__ = keys = items

    returned = Odd({1: "int", ("b",): "tuple", "\ud800": "surrogate", "b": 2, Name("c"): 3, None: 0})
    dag = chain({"function": lambda i, p: returned,
                 "outputs": {"b": "b", "c": "c", "1": "one", "None": "none"}})
    assert dag.execute() == {"b": 2, "c": 3}
    assert capsys.readouterr().err == ""


def test_identity_function_publishes_its_inputs():
    dag = chain({"function": const(x=[1], y="y"), "outputs": {"x": "x", "y": "y"}},
                {"function": lambda i, p: i, "inputs": {"x": "a", "y": "b"},
                 "outputs": {"a": "a", "b": "b"}})
    result = dag.execute()
    assert result == {"x": [1], "y": "y", "a": [1], "b": "y"}
    assert result["a"] is result["x"]


@pytest.mark.parametrize("parallel", [False, True])
def test_raising_node_prints_its_traceback_and_the_run_continues(capsys, monkeypatch, parallel):
    sentinel, record = object(), []
    monkeypatch.setattr(sys, "last_value", sentinel, raising=False)
    dag = chain({"function": divide_by_zero, "outputs": {"r": "r"}}, after(record))
    assert dag.execute(parallel) == {"after": 1}
    text = capsys.readouterr().err
    assert text.startswith("Traceback (most recent call last):\n")
    assert "in divide_by_zero\n" in text
    assert text.endswith("ZeroDivisionError: division by zero\n")
    assert record == ["after"]
    assert sys.last_value is sentinel  # printed, not recorded as the last exception


class Custom(BaseException):
    pass


def raise_custom(inputs, params):
    raise Custom("custom")


@pytest.mark.parametrize("function, last_line", [
    (42, "TypeError: 'int' object is not callable\n"),
    ("text", "TypeError: 'str' object is not callable\n"),
    (one_arg, "TypeError: one_arg() takes 1 positional argument but 2 were given\n"),
    (raise_custom, "Custom: custom\n"),
])
def test_failing_calls_are_printed_at_run_time(capsys, function, last_line):
    record = []
    assert chain({"function": function}, after(record)).execute() == {"after": 1}
    assert capsys.readouterr().err.endswith(last_line)
    assert record == ["after"]


def test_printing_goes_through_sys_excepthook(monkeypatch):
    hooked = []
    monkeypatch.setattr(sys, "excepthook", lambda *exc: hooked.append(exc))
    chain({"function": divide_by_zero}).execute()
    [(exc_type, value, traceback)] = hooked
    assert exc_type is ZeroDivisionError and isinstance(value, ZeroDivisionError)
    assert traceback is not None


def test_sys_stderr_is_looked_up_at_each_message(monkeypatch):
    first, second = io.StringIO(), io.StringIO()
    monkeypatch.setattr(sys, "stderr", first)

    def switch(inputs, params):
        sys.stderr = second

    chain({"function": lambda i, p: None}, {"function": switch},
          {"function": lambda i, p: 0}, {"function": divide_by_zero}).execute()
    assert first.getvalue() == NOT_A_DICT
    assert second.getvalue().startswith(NOT_A_DICT + NOT_A_DICT + "Traceback")


class BrokenStream:
    def write(self, text):
        raise OSError("cannot write")


@pytest.mark.parametrize("stream", [None, BrokenStream(), object()], ids=["None", "raising", "no-write"])
def test_unusable_stderr_is_ignored(monkeypatch, stream):
    monkeypatch.setattr(sys, "stderr", stream)
    record = []
    dag = chain({"function": lambda i, p: None}, {"function": divide_by_zero}, after(record))
    assert dag.execute() == {"after": 1}
    assert record == ["after"]


class ExitSubclass(SystemExit):
    pass


class InterruptSubclass(KeyboardInterrupt):
    pass


@pytest.mark.parametrize("exception_type", [SystemExit, KeyboardInterrupt, ExitSubclass, InterruptSubclass])
@pytest.mark.parametrize("arguments", [(), (True,), (True, 1)])
def test_exit_and_interrupt_stop_the_run_and_are_reraised(capsys, exception_type, arguments):
    raised, record = exception_type(3), []

    def stop(inputs, params):
        record.append("stop")
        raise raised

    def mark(name):
        return {"function": lambda i, p: record.append(name) or {}}

    # Level 1 holds `stop` then `sibling`; with one thread per batch `sibling` is a later batch.
    dag = fanout({"function": const(v=1), "outputs": {"v": "v"}},
                 [{"function": stop}, mark("next level")], [mark("sibling")])
    with pytest.raises(exception_type) as info:
        dag.execute(*arguments)
    assert info.value is raised and info.value.__traceback__ is not None
    # With the whole level in one batch, the running batch finishes.
    assert sorted(record) == (["sibling", "stop"] if arguments == (True,) else ["stop"])
    record.clear()
    with pytest.raises(exception_type):
        chain({"function": stop}, mark("later")).execute(*arguments)
    assert record == ["stop"]
    assert capsys.readouterr().err == ""
