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
def test_callable_gets_fresh_input_and_empty_parameter_dicts(parallel):
    seen, copies = [], []

    def spy(inputs, params):
        seen.append((inputs, params))
        copies.append((dict(inputs), dict(params)))
        inputs["added"] = params["added"] = 1  # never seen by the engine or by later calls
        return {"v": len(seen)}

    dag = chain(*[{"function": spy, "inputs": {"v": "v", "added": "added"},
                   "outputs": {"v": "v"}}] * 3)
    assert dag.execute(parallel) == {"v": 3}
    assert dag.execute(parallel) == {"v": 6}
    assert copies == [({}, {}), ({"v": 1}, {}), ({"v": 2}, {}),
                      ({}, {}), ({"v": 4}, {}), ({"v": 5}, {})]
    assert all(type(i) is dict and type(p) is dict for i, p in seen)
    dicts = [d for pair in seen for d in pair]
    assert len({id(d) for d in dicts}) == len(dicts)


def test_callable_is_called_with_two_positional_arguments():
    calls = []

    def spy(*args, **kwargs):
        calls.append((len(args), kwargs))
        return {}

    chain({"function": spy}).execute()
    assert calls == [(2, {})]


@pytest.mark.parametrize("returned", [None, [("a", 1)], 1, "a", (("a", 1),)])
@pytest.mark.parametrize("parallel", [False, True])
def test_non_dict_result_reports_and_gives_an_empty_result(monkeypatch, returned, parallel):
    stderr = Recorder()
    monkeypatch.setattr(sys, "stderr", stderr)
    record = []
    dag = chain({"function": lambda i, p: returned, "outputs": {"a": "a"}}, after(record))
    assert dag.execute(parallel) == {"after": 1}
    assert stderr.calls == [NOT_A_DICT]
    assert record == ["after"]


def test_dict_subclass_is_read_from_its_own_entries(stderr):
    class Odd(dict):
        def items(self):
            raise AssertionError("not called")

        def __getitem__(self, key):
            raise AssertionError("not called")

    dag = chain({"function": lambda i, p: Odd(a=1), "outputs": {"a": "a"}})
    assert dag.execute() == {"a": 1}
    assert stderr.getvalue() == ""


def test_entries_without_usable_str_keys_are_skipped_silently(stderr):
    class Name(str):
        pass

    returned = {1: "int", ("b",): "tuple", "\ud800": "surrogate", "b": 2, Name("c"): 3, None: 0}
    dag = chain({"function": lambda i, p: returned,
                 "outputs": {"b": "b", "c": "c", "1": "one", "None": "none"}})
    assert dag.execute() == {"b": 2, "c": 3}
    assert stderr.getvalue() == ""


def test_identity_function_publishes_its_inputs():
    dag = chain({"function": const(x=[1], y="y"), "outputs": {"x": "x", "y": "y"}},
                {"function": lambda i, p: i, "inputs": {"x": "a", "y": "b"},
                 "outputs": {"a": "a", "b": "b"}})
    result = dag.execute()
    assert result == {"x": [1], "y": "y", "a": [1], "b": "y"}
    assert result["a"] is result["x"]


@pytest.mark.parametrize("parallel", [False, True])
def test_raising_node_prints_its_traceback_and_the_run_continues(stderr, monkeypatch, parallel):
    sentinel = object()
    monkeypatch.setattr(sys, "last_value", sentinel, raising=False)
    record = []
    dag = chain({"function": divide_by_zero, "outputs": {"r": "r"}}, after(record))
    assert dag.execute(parallel) == {"after": 1}
    text = stderr.getvalue()
    assert text.startswith("Traceback (most recent call last):\n")
    assert "in divide_by_zero\n" in text
    assert text.endswith("ZeroDivisionError: division by zero\n")
    assert record == ["after"]
    assert sys.last_value is sentinel


@pytest.mark.parametrize(
    "function, last_line",
    [
        (42, "TypeError: 'int' object is not callable\n"),
        ("text", "TypeError: 'str' object is not callable\n"),
        (one_arg, "TypeError: one_arg() takes 1 positional argument but 2 were given\n"),
    ],
)
def test_uncallable_or_wrong_arity_function_fails_at_run_time(stderr, function, last_line):
    record = []
    dag = chain({"function": function}, after(record))
    assert dag.execute() == {"after": 1}
    assert stderr.getvalue().endswith(last_line)
    assert record == ["after"]


def test_other_base_exceptions_are_printed_too(stderr):
    class Custom(BaseException):
        pass

    def raise_custom(i, p):
        raise Custom("custom")

    record = []
    assert chain({"function": raise_custom}, after(record)).execute() == {"after": 1}
    assert stderr.getvalue().endswith("Custom: custom\n")
    assert record == ["after"]


def test_printing_goes_through_sys_excepthook(monkeypatch):
    hooked = []
    monkeypatch.setattr(sys, "excepthook", lambda *exc: hooked.append(exc))
    chain({"function": divide_by_zero}).execute()
    assert len(hooked) == 1
    exc_type, value, traceback = hooked[0]
    assert exc_type is ZeroDivisionError and isinstance(value, ZeroDivisionError)
    assert traceback is not None


def test_sys_stderr_is_looked_up_at_each_message(monkeypatch):
    first, second = io.StringIO(), io.StringIO()
    monkeypatch.setattr(sys, "stderr", first)

    def switch(inputs, params):
        sys.stderr = second
        return None

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


@pytest.mark.parametrize("exception_type", [SystemExit, KeyboardInterrupt, ExitSubclass,
                                            InterruptSubclass])
@pytest.mark.parametrize("arguments", [(), (True,), (True, 1)])
def test_exit_and_interrupt_stop_the_run_and_are_reraised(stderr, exception_type, arguments):
    raised = exception_type(3)
    record = []

    def stop(inputs, params):
        record.append("stop")
        raise raised

    def mark(name):
        return {"function": lambda i, p: record.append(name) or {}}

    # Level 1 holds `stop` then `sibling`; with one thread per batch `sibling` is a later batch.
    dag = fanout({"function": const(v=1), "outputs": {"v": "v"}},
                 [{"function": stop}, mark("next level")],
                 [mark("sibling")])
    with pytest.raises(exception_type) as info:
        dag.execute(*arguments)
    assert info.value is raised
    assert info.value.__traceback__ is not None
    if arguments == (True,):
        assert sorted(record) == ["sibling", "stop"]  # the running batch finishes
    else:
        assert record == ["stop"]
    assert stderr.getvalue() == ""
    record.clear()
    with pytest.raises(exception_type):
        chain({"function": stop}, mark("later")).execute(*arguments)
    assert record == ["stop"]
