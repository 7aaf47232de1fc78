"""Run a vantorix DAG on dask: on threads, on local processes, or on a `distributed` cluster.

Every node becomes one task, fed only by the tasks whose values it reads, so data stays on the
worker that made it until a reader or the caller needs it. The final context, the failures and
the exits are the in-process run's (`PyDag.execute()`, or `execute(parallel=True,
max_threads=1)` for the parallel mode). dask is imported only when a function is called.
"""

from __future__ import annotations

import gc
import importlib
import os
import socket
import sys
import time
import traceback
import uuid
from collections.abc import Callable, Collection, Iterable, Mapping
from functools import partial
from types import TracebackType
from typing import TYPE_CHECKING, Any, Literal, NamedTuple, Optional

if TYPE_CHECKING:
    from dask.delayed import Delayed

    import vantorix

__all__ = ["NodeRecord", "RunReport", "execute", "execute_detailed", "to_dask"]

NOT_A_DICT = "Error: Python function did not return a dict\n"


class NodeRecord(NamedTuple):
    """How one node of a dask run ended, and where it ran."""

    id: int
    label: Optional[str]
    branch_id: Optional[int]
    level: int
    status: Literal["ok", "failed"]
    # What the in-process run prints for the failure: a traceback, or NOT_A_DICT.
    error: Optional[str]
    seconds: float
    host: str
    pid: int


class RunReport(NamedTuple):
    """What `execute_detailed()` returns: the final context and a record per node, in the
    order the run merges results."""

    context: dict[str, Any]
    nodes: list[NodeRecord]
    failed: list[NodeRecord]


# How a node task ended: status, error text, seconds, host, pid, and the SystemExit or
# KeyboardInterrupt it raised (re-raised on the caller), or None.
_Outcome = tuple[Literal["ok", "failed"], Optional[str], float, str, int,
                 Optional[BaseException]]


class _Published(dict[str, Any]):
    """The values a node published, by context name, carrying how the node ended. Readers look
    names up in it like in every other holder of values."""

    __slots__ = ("outcome",)
    outcome: _Outcome


class _NodeTask(NamedTuple):
    """What a node task needs besides its holders of values."""

    function: Optional[Callable[[dict[str, Any], dict[str, Any]], Any]]
    # (context name, parameter name, indices of the holder arguments to look in, in order),
    # in input-mapping order.
    inputs: tuple[tuple[str, str, tuple[int, ...]], ...]
    # (result name, context name), in output-mapping order.
    outputs: tuple[tuple[str, str], ...]
    result_names: frozenset[str]


_HOST = socket.gethostname()


# What cloudpickle names the file of code it carries by value: the functions of `__main__` and
# of modules registered with `register_pickle_by_value`.
_DYNAMIC_CODE = "<dynamic-code>"
# What traceback.format_exception() passes on Python 3.10 and later.
_COMPACT: dict[str, Any] = {"compact": True} if sys.version_info >= (3, 10) else {}


def _error_text(error: BaseException) -> str:
    """The failure as the default `sys.excepthook` prints it in-process, where the traceback
    starts in the node's function: this module's frame is left out. Frames of code carried by
    value get back the file of their module, and with it their source lines."""
    frames = error.__traceback__
    frames = frames.tb_next if frames is not None else None
    summary = traceback.TracebackException(type(error), error, frames, lookup_lines=False,
                                           **_COMPACT)
    _restore_files(summary, error, frames)
    return "".join(summary.format())


def _restore_files(summary: traceback.TracebackException, error: BaseException,
                   frames: Optional[TracebackType]) -> None:
    """Names the module's file in the frames of `summary`, and of the exceptions chained to it
    or grouped in it, whose code says only `<dynamic-code>`."""
    todo = [(summary, error, frames)]
    while todo:
        summary, error, frames = todo.pop()
        for frame_summary, (frame, _) in zip(summary.stack, traceback.walk_tb(frames)):
            if frame_summary.filename == _DYNAMIC_CODE:
                file = frame.f_globals.get("__file__")
                if isinstance(file, str):
                    frame_summary.filename = file
        for chained, cause in ((summary.__cause__, error.__cause__),
                               (summary.__context__, error.__context__)):
            if chained is not None and cause is not None:
                todo.append((chained, cause, cause.__traceback__))
        for grouped, member in zip(getattr(summary, "exceptions", None) or (),
                                   getattr(error, "exceptions", ())):
            todo.append((grouped, member, member.__traceback__))


def _published_results(returned: dict[Any, Any], task: _NodeTask) -> _Published:
    """The context values a returned dict publishes, as in-process: its own entries (whatever
    a subclass overrides), `str` keys only, a later key with the same text winning."""
    results = {}
    for key, value in dict.items(returned):
        if type(key) is not str:
            if not isinstance(key, str):
                continue
            key = str.__str__(key)
        if key in task.result_names:
            results[key] = value
    published = _Published()
    for result_name, context_name in task.outputs:
        if result_name in results:
            published[context_name] = results[result_name]
    return published


def _run_node(task: _NodeTask, *holders: Mapping[str, Any]) -> _Published:
    """One node task: calls the function with the values its holders have, catching every
    failure, so that nothing is printed on the worker."""
    inputs: dict[str, Any] = {}
    for context_name, parameter, indices in task.inputs:
        for index in indices:
            holder = holders[index]
            if context_name in holder:
                inputs[parameter] = holder[context_name]
                break
    published = _Published()
    error: Optional[str] = None
    stop: Optional[BaseException] = None
    start = time.perf_counter()
    if task.function is not None:
        try:
            returned = task.function(inputs, {})
        except (SystemExit, KeyboardInterrupt) as exit_:
            stop = exit_
            error = _error_text(exit_)
        except BaseException as failure:  # in-process, every other one is printed
            error = _error_text(failure)
        else:
            if isinstance(returned, dict):
                published = _published_results(returned, task)
            else:
                error = NOT_A_DICT
    seconds = time.perf_counter() - start
    published.outcome = ("ok" if error is None else "failed", error, seconds, _HOST,
                         os.getpid(), stop)
    return published


def _value(name: str, published: Mapping[str, Any]) -> dict[str, Any]:
    """A holder of only `name`, for a writer that publishes several names: a reader of one of
    them fetches that value alone."""
    return {name: published[name]} if name in published else {}


def _first_holding(name: str, holder: Mapping[str, Any],
                   earlier: Mapping[str, Any]) -> Mapping[str, Any]:
    """The holder of the value of `name` a reader sees: the writer's, when it published it,
    else what the previous writer left."""
    return holder if name in holder else earlier


def _given(holder: dict[str, Any]) -> dict[str, Any]:
    return holder


def _context(names: tuple[tuple[str, int], ...], *holders: Mapping[str, Any]) -> dict[str, Any]:
    context = {}
    for name, index in names:
        holder = holders[index]
        if name in holder:
            context[name] = holder[name]
    return context


def _outcome(published: _Published) -> _Outcome:
    return published.outcome


def _context_and_outcomes(
    names: tuple[tuple[str, int], ...], outcome_args: range, *args: Any
) -> tuple[dict[str, Any], list[_Outcome]]:
    outcomes = [args[index] for index in outcome_args]
    return _context(names, *args), [
        outcome.outcome if isinstance(outcome, _Published) else outcome for outcome in outcomes]


def _check_pickling(plan: Iterable[vantorix.PlanRecord]) -> None:
    """Every callable must travel to the workers; say which node's cannot, and why."""
    # cloudpickle comes with dask and ships no types.
    cloudpickle = importlib.import_module("cloudpickle")
    checked: set[int] = set()
    for record in plan:
        function = record.function
        if function is None or id(function) in checked:
            continue
        try:
            cloudpickle.dumps(function)
        except Exception as error:
            raise TypeError(
                f"node {record.label!r} (id {record.id}): its function cannot be pickled for "
                f"dask ({type(error).__name__}: {error})") from error
        checked.add(id(function))


class _Graph:
    """The task graph of one run, built in one pass over the plan."""

    def __init__(self, dag: vantorix.PyDag, parallel: bool,
                 inputs: Optional[Mapping[str, Any]], outputs: Optional[Collection[str]],
                 with_outcomes: bool) -> None:
        import vantorix

        if not isinstance(dag, vantorix.PyDag):
            raise TypeError(f"expected a vantorix.PyDag, got {type(dag).__name__!r}")
        if inputs is not None:
            if not isinstance(inputs, dict):
                raise TypeError(f"inputs must be a dict, not {type(inputs).__name__!r}")
            for name in inputs:
                if not isinstance(name, str):
                    raise TypeError(f"inputs: key {name!r} is not a str")
        if outputs is not None:
            if isinstance(outputs, str):
                raise TypeError("outputs must be a collection of names, not one str")
            outputs = frozenset(outputs)
        self.plan = dag.plan(parallel)
        _check_pickling(self.plan)
        token = uuid.uuid4().hex
        self.layer = "vantorix-" + token
        self._node_name = "vantorix-node-" + token
        self._value_name = "vantorix-value-" + token
        self._resolve_name = "vantorix-resolve-" + token
        self._input_name = "vantorix-input-" + token
        self._inputs = inputs or {}
        self.graph: dict[Any, Any] = {}
        self._holders: dict[tuple[str, int], Any] = {}
        self._values: dict[tuple[int, str], Any] = {}
        self._writes = {record.id: record.writes for record in self.plan}
        # A writer of one name is itself the holder of that name's value.
        self._sole_writers = {record.id for record in self.plan
                              if len({name for _, name in record.outputs}) == 1}
        last_writer: dict[str, int] = {}
        for record in self.plan:
            self._add_node(record)
            for name in record.writes:
                last_writer[name] = record.id
        names = self._context_order(dag, parallel)
        if outputs is not None:
            names = [name for name in names if name in outputs]
        args: list[Any] = []
        layout = []
        for name in names:
            holder = (self._holder(name, last_writer[name]) if name in last_writer
                      else self._input_holder(name))
            layout.append((name, len(args)))
            args.append(holder)
        self.key = "vantorix-context-" + token
        if not with_outcomes:
            self.graph[self.key] = (partial(_context, tuple(layout)), *args)
            return
        in_context = set(args)
        first_outcome = len(args)
        for record in self.plan:
            node = (self._node_name, record.id)
            # A node whose every value goes into the context anyway comes whole; the others
            # send their outcome alone, and their data stays where it is.
            if node not in in_context and record.writes:
                outcome = ("vantorix-outcome-" + token, record.id)
                self.graph[outcome] = (_outcome, node)
                node = outcome
            args.append(node)
        self.graph[self.key] = (
            partial(_context_and_outcomes, tuple(layout), range(first_outcome, len(args))),
            *args)

    def _context_order(self, dag: vantorix.PyDag, parallel: bool) -> list[str]:
        """The names of the final context in the in-process run's order, whatever the mode: the
        inputs, then every other name as a sequential run first publishes it."""
        sequential: Iterable[vantorix.PlanRecord] = self.plan
        if parallel:
            by_id = {record.id: record for record in self.plan}
            sequential = (by_id[node] for node in dag.execution_order)
        names = dict.fromkeys(self._inputs)
        for record in sequential:
            names.update(dict.fromkeys(record.writes))
        return list(names)

    def _add_node(self, record: vantorix.PlanRecord) -> None:
        holder_args: dict[Any, int] = {}
        inputs = []
        for context_name, parameter in record.inputs:
            holders = self._reader_holders(context_name, record.reads[context_name])
            if holders:
                indices = tuple(holder_args.setdefault(holder, len(holder_args))
                                for holder in holders)
                inputs.append((context_name, parameter, indices))
        task = _NodeTask(record.function, tuple(inputs),
                         tuple(record.outputs), frozenset(name for name, _ in record.outputs))
        self.graph[(self._node_name, record.id)] = (partial(_run_node, task), *holder_args)

    def _input_holder(self, name: str) -> Any:
        if name not in self._inputs:
            return None
        key = (self._input_name, name)
        if key not in self.graph:
            self.graph[key] = (partial(_given, {name: self._inputs[name]}),)
        return key

    def _value(self, writer: int, name: str) -> Any:
        if writer in self._sole_writers:
            return (self._node_name, writer)
        key = self._values.get((writer, name))
        if key is None:
            key = self._values[(writer, name)] = (self._value_name, name, writer)
            self.graph[key] = (partial(_value, name), (self._node_name, writer))
        return key

    def _reader_holders(self, name: str, writer: Optional[int]) -> list[Any]:
        """Where a reader of `name` whose last visible writer is `writer` looks, in order: that
        writer's value, then the resolution of the writers before it. The reader does not
        wait for the resolution of its own writer, which keeps chains of rewrites one task
        deep per node."""
        if writer is None:
            holder = self._input_holder(name)
            return [] if holder is None else [holder]
        earlier = self._holder(name, self._writes[writer][name])
        value = self._value(writer, name)
        return [value] if earlier is None else [value, earlier]

    def _holder(self, name: str, writer: Optional[int]) -> Any:
        """The key of the task whose result holds the value of `name` that a reader sees when
        `writer` is the last node before it that may publish it; None when nothing can. One
        resolution task per (name, writer), shared by every reader, so long chains of writers
        of one name stay linear."""
        chain = []
        while writer is not None and (name, writer) not in self._holders:
            chain.append(writer)
            writer = self._writes[writer][name]
        earlier = (self._input_holder(name) if writer is None
                   else self._holders[(name, writer)])
        for writer in reversed(chain):
            value = self._value(writer, name)
            if earlier is None:
                holder = value
            else:
                holder = (self._resolve_name, name, writer)
                self.graph[holder] = (partial(_first_holding, name), value, earlier)
            self._holders[(name, writer)] = holder
            earlier = holder
        return earlier

    def delayed(self) -> Delayed:
        from dask.delayed import Delayed
        from dask.highlevelgraph import HighLevelGraph

        graph = HighLevelGraph.from_collections(self.layer, self.graph, dependencies=())
        return Delayed(  # type: ignore[no-untyped-call,unused-ignore]
            self.key, graph, layer=self.layer)


def _built(dag: vantorix.PyDag, parallel: bool, inputs: Optional[Mapping[str, Any]],
           outputs: Optional[Collection[str]], with_outcomes: bool) -> _Graph:
    """The graph, built with the cyclic collector paused: building makes many small containers
    and no cycles, and the collector's passes over them would make building superlinear."""
    paused = gc.isenabled()
    gc.disable()
    try:
        return _Graph(dag, parallel, inputs, outputs, with_outcomes)
    finally:
        if paused:
            gc.enable()


def to_dask(dag: vantorix.PyDag, parallel: bool = True, *,
            inputs: Optional[dict[str, Any]] = None,
            outputs: Optional[Collection[str]] = None) -> Delayed:
    """The run of `dag` as a `dask.delayed` value whose result is the final context: the
    in-process run's (sequential, or parallel with max_threads=1), restricted to `outputs`.
    Only the nodes that the returned names need are computed; failed nodes publish nothing,
    and `execute_detailed()` tells which failed and why."""
    return _built(dag, parallel, inputs, outputs, with_outcomes=False).delayed()


def execute_detailed(dag: vantorix.PyDag, parallel: bool = True, *, scheduler: Any = None,
                     inputs: Optional[dict[str, Any]] = None,
                     outputs: Optional[Collection[str]] = None,
                     print_errors: bool = True) -> RunReport:
    """Run `dag` on dask (`scheduler`: anything `dask.compute` takes; None: dask's default)
    and report on every node. Failures are written to `sys.stderr` in merge order unless
    `print_errors` is False; a node's SystemExit or KeyboardInterrupt is raised here."""
    from dask.base import compute

    graph = _built(dag, parallel, inputs, outputs, with_outcomes=True)
    ((context, outcomes),) = compute(  # type: ignore[no-untyped-call,unused-ignore]
        graph.delayed(), scheduler=scheduler)
    nodes = []
    for record, (status, error, seconds, host, pid, stop) in zip(graph.plan, outcomes):
        if stop is not None:
            raise stop
        if error is not None and print_errors:
            sys.stderr.write(error)
        nodes.append(NodeRecord(record.id, record.label, record.branch_id, record.level,
                                status, error, seconds, host, pid))
    return RunReport(context, nodes, [node for node in nodes if node.status == "failed"])


def execute(dag: vantorix.PyDag, parallel: bool = True, *, scheduler: Any = None,
            inputs: Optional[dict[str, Any]] = None,
            outputs: Optional[Collection[str]] = None) -> dict[str, Any]:
    """Run `dag` on dask and return the final context, as `execute_detailed()` does."""
    return execute_detailed(dag, parallel, scheduler=scheduler, inputs=inputs,
                            outputs=outputs).context
