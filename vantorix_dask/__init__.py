"""Run a vantorix DAG on dask: on threads, on local processes, or on a `distributed` cluster.

Every node becomes one task, fed only by the tasks whose values it reads, so data stays on the
worker that made it until a reader or the caller needs it. The final context, the failures and
the exits are the in-process run's (`PyDag.execute()`, or `execute(parallel=True,
max_threads=1)` for the parallel mode). Values travel between nodes pickled, on every
scheduler: the node that publishes a value pickles it once, and every reader loads its own copy.
dask is imported only when a function is called.
"""

from __future__ import annotations

import copy
import gc
import importlib
import math
import os
import pickle
import re
import socket
import sys
import threading
import time
import traceback
import uuid
from collections import OrderedDict
from collections.abc import Callable, Collection, Iterable, Mapping
from functools import partial
from types import FrameType, ModuleType, TracebackType
from typing import TYPE_CHECKING, Any, Literal, NamedTuple, Optional, Union

if TYPE_CHECKING:
    from dask.delayed import Delayed

    import vantorix
    from vantorix_cache import Cache, Session

__all__ = ["NodeRecord", "RunReport", "execute", "execute_detailed", "to_dask"]

NOT_A_DICT = "Error: Python function did not return a dict\n"


class NodeRecord(NamedTuple):
    """How one node of a dask run ended, and where it ran."""

    id: int
    label: Optional[str]
    branch_id: Optional[int]
    level: int
    status: Literal["ok", "cached", "failed"]
    # What the in-process run prints for the failure: a traceback, or NOT_A_DICT; or the
    # line that names a published value which cannot be pickled.
    error: Optional[str]
    seconds: float
    host: str
    pid: int
    # In a run with a cache, why the node was neither served nor kept by it, else None.
    uncached: Optional[str]
    # When the span that `seconds` measures began: time.time() on the worker less time.time()
    # on the caller just before the compute. Clocks of different hosts may differ, by enough
    # to make it negative.
    started: float


class RunReport(NamedTuple):
    """What `execute_detailed()` returns: the final context and a record per node, in the
    order the run merges results."""

    context: dict[str, Any]
    nodes: list[NodeRecord]
    failed: list[NodeRecord]

    def to_gantt(self) -> str:
        """The run as a Mermaid gantt chart, drawn as vantorix's RunReport.to_gantt() draws
        one: a section per worker process ("host:pid"), in the order of their first node, and a
        bar per node, tagged done (ok) or crit (failed). Times count from the start of the
        compute (from the earliest start, when a worker's clock puts one before it)."""
        return _gantt(self.nodes, lambda node: f"{node.host}:{node.pid}", lambda lane, _: lane)


def _dask_module(name: str) -> ModuleType:
    """A module that comes with dask, or an error that says how to install dask."""
    try:
        return importlib.import_module(name)
    except ImportError as error:
        raise ModuleNotFoundError(
            f'vantorix_dask needs dask: pip install "vantorix[dask]" ({error})',
            name=error.name) from error


# --- what runs in the tasks, on the workers -----------------------------------------------

# How a node's SystemExit or KeyboardInterrupt travels to the caller, by value: the node's
# position in merge order, its id and label, the exception's name, its (args, code) pickled,
# and str(code) in case those cannot be loaded where the exit is raised.
_Exit = tuple[int, int, Optional[str], str, bytes, str]

_NodeFunction = Callable[[dict[str, Any], dict[str, Any]], Any]

# How a node task ended: status, error text, seconds, host, pid, why the cache neither served
# nor kept it, whether it was looked up in the cache, when it started (time.time()), and the
# exit that stopped it: its own, or the one of a node before it.
_Outcome = tuple[Literal["ok", "cached", "failed"], Optional[str], float, str, int,
                 Optional[str], bool, float, Optional[_Exit]]


class _Values(dict[str, bytes]):
    """Pickled values by context name: what a node published, an input, or the resolution of
    a name. `stop` is the exit of a node they come after: a node that reads them does not run
    and hands the exit on."""

    __slots__ = ("stop",)
    stop: Optional[_Exit]

    def __init__(self, values: Optional[Mapping[str, bytes]] = None,
                 stop: Optional[_Exit] = None) -> None:
        super().__init__(values or ())
        self.stop = stop


class _Published(_Values):
    """The values a node published, carrying how the node ended."""

    __slots__ = ("outcome",)
    outcome: _Outcome


class _Function:
    """A node's callable, pickled once when the graph is built. dask sends the bytes as they
    are, and the node task loads them, so that a worker which cannot import the callable's
    module fails that task instead of the whole graph; where the graph was built the callable
    itself is called."""

    __slots__ = ("function", "pickled")

    def __init__(self, function: Optional[_NodeFunction], pickled: bytes) -> None:
        self.function = function
        self.pickled = pickled

    def __reduce__(self) -> tuple[type[_Function], tuple[None, bytes]]:
        return _Function, (None, self.pickled)


class _NodeTask(NamedTuple):
    """What a node task needs besides its holders of values."""

    id: int
    label: Optional[str]
    # The node's index in merge order.
    position: int
    # The run's token, for the exits this process has seen; None for a graph that may be
    # computed more than once.
    run: Optional[str]
    function: Optional[_Function]
    # (context name, parameter name, indices of the holder arguments to look in, in order),
    # in input-mapping order.
    inputs: tuple[tuple[str, str, tuple[int, ...]], ...]
    # (result name, context name), in output-mapping order.
    outputs: tuple[tuple[str, str], ...]
    result_names: frozenset[str]
    # The cache the node is looked up in, or None; and its (context name, parameter name)
    # pairs, all of them, which its key covers.
    cache: Optional[Cache]
    mapped_inputs: tuple[tuple[str, str], ...]


_HOST = socket.gethostname()
_PROTOCOL = pickle.HIGHEST_PROTOCOL

# The first exit (by merge position) that a node of a run met in this process: nodes of that
# run after it in merge order do not start here, as in-process no node after an exit starts.
_stopped: dict[str, _Exit] = {}


def _pickled(value: Any) -> bytes:
    """`value` as bytes for another node: pickle's, or cloudpickle's where pickle cannot carry
    it or would refer to code of `__main__` or of a module registered to travel by value, as
    distributed chooses."""
    cloudpickle = sys.modules.get("cloudpickle") or _dask_module("cloudpickle")
    try:
        data = pickle.dumps(value, protocol=_PROTOCOL)
    except Exception:
        return cloudpickle.dumps(value, protocol=_PROTOCOL)  # type: ignore[no-any-return]
    if b"__main__" in data or type(value).__module__ in cloudpickle.list_registry_pickle_by_value():
        return cloudpickle.dumps(value, protocol=_PROTOCOL)  # type: ignore[no-any-return]
    return data


def _where() -> str:
    return f"on {_HOST} (pid {os.getpid()})"


def _node_name(label: Optional[str], node_id: int) -> str:
    """How every message, and every node task's key, names a node."""
    return f"node {label!r} (id {node_id})"


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


def _exit_of(task: _NodeTask, exit_: BaseException) -> _Exit:
    """The exit by value: SystemExit's code and arguments survive any exception pickling, and
    so does an exit class whose constructor takes other arguments."""
    code = exit_.code if isinstance(exit_, SystemExit) else None
    text = "" if code is None else str(code)
    try:
        payload = _pickled((exit_.args, code))
    except Exception:  # what cannot travel arrives as its text, as the interpreter prints it
        payload = pickle.dumps(((text,) if text else (), text or None))
    kind = "SystemExit" if isinstance(exit_, SystemExit) else "KeyboardInterrupt"
    return (task.position, task.id, task.label, kind, payload, text)


def _raised_exit(stop: _Exit) -> BaseException:
    """The exit to raise on the caller."""
    kind, payload, text = stop[3:]
    try:
        args, code = pickle.loads(payload)
    except Exception:
        args, code = ((text,) if text else ()), (text or None)
    if kind == "KeyboardInterrupt":
        return KeyboardInterrupt(*args)
    exit_ = SystemExit(*args)
    exit_.code = code
    return exit_


def _stop_before(task: _NodeTask, holders: tuple[_Values, ...]) -> Optional[_Exit]:
    """The exit that keeps the node from running: one that a value it reads comes after, or
    one that this process met earlier in merge order in the same run."""
    for holder in holders:
        if holder.stop is not None:
            return holder.stop
    if task.run is not None:
        stop = _stopped.get(task.run)
        if stop is not None and stop[0] < task.position:
            return stop
    return None


def _note_exit(task: _NodeTask, stop: _Exit) -> None:
    if task.run is not None:
        earlier = _stopped.get(task.run)
        if earlier is None or stop[0] < earlier[0]:
            _stopped[task.run] = stop


def _loaded_function(task: _NodeTask) -> Optional[_NodeFunction]:
    wrapper = task.function
    if wrapper is None:
        return None
    if wrapper.function is None:
        try:
            wrapper.function = pickle.loads(wrapper.pickled)
        except Exception as error:
            raise ImportError(
                f"{_node_name(task.label, task.id)}: its function cannot be loaded {_where()} "
                f"({type(error).__name__}: {error}); install its module on every worker, or "
                "send it with Client.upload_file()") from error
    return wrapper.function


def _read_inputs(task: _NodeTask, holders: tuple[_Values, ...]) -> dict[str, Any]:
    """The node's inputs, each loaded from the first holder that has it: a copy of its own,
    also where two parameters read one name."""
    inputs: dict[str, Any] = {}
    for context_name, parameter, indices in task.inputs:
        for index in indices:
            holder = holders[index]
            if context_name in holder:
                try:
                    inputs[parameter] = pickle.loads(holder[context_name])
                except Exception as error:
                    node = _node_name(task.label, task.id)
                    raise ImportError(
                        f"{node}: the value of {context_name!r} it reads cannot be loaded "
                        f"{_where()} ({type(error).__name__}: {error})") from error
                break
    return inputs


def _results(returned: dict[Any, Any], task: _NodeTask) -> dict[str, Any]:
    """The results by result name that a returned dict gives, as in-process: its own entries
    (whatever a subclass overrides), `str` keys only, a later key with the same text winning."""
    results = {}
    for key, value in dict.items(returned):
        if type(key) is not str:
            if not isinstance(key, str):
                continue
            key = str.__str__(key)
        if key in task.result_names:
            results[key] = value
    return results


def _published_results(results: dict[str, Any],
                       task: _NodeTask) -> tuple[_Published, Optional[str]]:
    """The context values the results publish, each one pickled. A value that cannot be
    pickled fails the node, which then publishes nothing."""
    published = _Published()
    for result_name, context_name in task.outputs:
        if result_name in results:
            try:
                published[context_name] = _pickled(results[result_name])
            except Exception as error:
                node = _node_name(task.label, task.id)
                return _Published(), (
                    f"Error: {node}: the value it publishes as {context_name!r} cannot be "
                    f"pickled ({type(error).__name__}: {error})\n")
    return published, None


# The cache session of each recent run in this process, by the run's token, which remembers
# every function's identity for the other nodes of the run. A worker never learns that a run
# has ended: it keeps the last few.
_sessions: OrderedDict[str, Session] = OrderedDict()
_sessions_lock = threading.Lock()
_KEPT_SESSIONS = 4


def _session(run: str, cache: Cache) -> Session:
    """The run's session in this process, on a copy of `cache` (as a worker process gets one),
    so that the caller's object counts every lookup once, from the records."""
    with _sessions_lock:
        session = _sessions.get(run)
        if session is None:
            session = _sessions[run] = copy.copy(cache).session()
            if len(_sessions) > _KEPT_SESSIONS:
                _sessions.popitem(last=False)
        else:
            _sessions.move_to_end(run)
    return session


def _run_node(task: _NodeTask, *holders: _Values) -> _Published:
    """One node task, the one place where a node runs: calls the function with its own copies
    of the values its holders have, catching every failure, so that nothing is printed on the
    worker. A node after an exit does not run. With a cache, the node is looked up here, where
    its inputs are, and a hit publishes what the store gives instead of calling the function;
    a node that succeeded is stored here, before any reader sees its values."""
    stop = _stop_before(task, holders)
    published = _Published()
    error = uncached = None
    cached = looked_up = False
    start = time.perf_counter()
    started = time.time()
    if stop is None:
        function = _loaded_function(task)
        inputs = _read_inputs(task, holders)
        start = time.perf_counter()
        started = time.time()
        session = key = found = None
        if function is not None and task.cache is not None and task.run is not None:
            session = _session(task.run, task.cache)
            key, found, uncached = session.lookup(task.id, task.label, function,
                                                  task.mapped_inputs, task.outputs, inputs)
            looked_up = True
        if found is not None:
            published, error = _published_results(found, task)
            cached = error is None
        elif function is not None:
            try:
                returned = function(inputs, {})
            except (SystemExit, KeyboardInterrupt) as exit_:
                stop = _exit_of(task, exit_)
                _note_exit(task, stop)
            except BaseException as failure:  # in-process, every other one is printed
                error = _error_text(failure)
            else:
                if isinstance(returned, dict):
                    results = _results(returned, task)
                    published, error = _published_results(results, task)
                    if error is None and session is not None and key is not None:
                        uncached = session.store(key, results)
                    del results
                else:
                    error = NOT_A_DICT
                del returned
    seconds = time.perf_counter() - start
    published.stop = stop
    status: Literal["ok", "cached", "failed"] = (
        "cached" if cached else "ok" if error is None and stop is None else "failed")
    published.outcome = (status, error, seconds, _HOST, os.getpid(), uncached, looked_up,
                         started, stop)
    return published


def _value(name: str, published: _Values) -> _Values:
    """A holder of only `name`, for a writer that publishes several names: a reader of one of
    them fetches that value alone."""
    return _Values({name: published[name]} if name in published else {}, published.stop)


def _first_holding(name: str, holder: _Values, earlier: _Values) -> _Values:
    """The holder of the value of `name` a reader sees: the writer's, when it published it (or
    came after an exit), else what the previous writer left."""
    return holder if name in holder or holder.stop is not None else earlier


def _context(names: tuple[tuple[str, int], ...], *holders: _Values) -> dict[str, Any]:
    """The final context of `to_dask()`, loaded from the holders of the selected names."""
    stops = [holder.stop for holder in holders if holder.stop is not None]
    if stops:
        stop = min(stops)
        raise RuntimeError(
            f"{_node_name(stop[2], stop[1])} raised {stop[3]}"
            f"{f'({stop[5]})' if stop[5] else ''}, so the nodes that read from it did not "
            "run; vantorix_dask.execute() raises the exit itself")
    context = {}
    for name, index in names:
        holder = holders[index]
        if name in holder:
            context[name] = pickle.loads(holder[name])
    return context


def _outcome(published: _Published) -> _Outcome:
    return published.outcome


def _with_literals(function: Callable[..., Any], literals: tuple[tuple[int, _Values], ...],
                   *args: Any) -> Any:
    """Calls `function` with `args` and, at their positions, the holders that travel inside the
    task itself."""
    merged = list(args)
    for index, holder in literals:
        merged.insert(index, holder)
    return function(*merged)


def _frozen_context_and_outcomes(
    names: tuple[tuple[str, int], ...], outcome_args: range, *args: Any
) -> tuple[dict[str, bytes], list[_Outcome]]:
    """The final task of `execute()`: the selected values still pickled, for the caller to
    load, and every node's outcome."""
    context = {}
    for name, index in names:
        holder = args[index]
        if name in holder:
            context[name] = holder[name]
    return context, [args[index].outcome if isinstance(args[index], _Published) else args[index]
                     for index in outcome_args]


# --- the graph, built on the caller --------------------------------------------------------

# An input whose pickled value is at most this long travels inside every task that reads it,
# as dask.delayed does with its arguments, rather than as a task of its own.
_LITERAL_INPUT_BYTES = 1 << 16


class _Literal:
    """An input that travels inside the tasks that read it; one per name, hashed by identity."""

    __slots__ = ("holder",)

    def __init__(self, holder: _Values) -> None:
        self.holder = holder


def _function_name(function: Optional[_NodeFunction]) -> str:
    while isinstance(function, partial):
        function = function.func
    if function is None:
        return "no-op"
    name = getattr(function, "__name__", None)
    if not isinstance(name, str):
        name = type(function).__name__
    return "lambda" if name == "<lambda>" else name


def _conversion_error(argument: str, value: Any, target: str) -> TypeError:
    """The in-process methods' wording for an argument of the wrong type."""
    return TypeError(f"argument {argument!r}: {type(value).__qualname__!r} object cannot be "
                     f"converted to {target!r}")


def _pickled_functions(plan: Iterable[vantorix.PlanRecord]) -> dict[int, _Function]:
    """Every callable must travel to the workers: each is pickled once, here, and a node whose
    callable cannot be is named, with the reason."""
    cloudpickle = _dask_module("cloudpickle")
    functions: dict[int, _Function] = {}
    for record in plan:
        function = record.function
        if function is None or id(function) in functions:
            continue
        try:
            pickled = cloudpickle.dumps(function)
        except Exception as error:
            raise TypeError(
                f"{_node_name(record.label, record.id)}: its function cannot be pickled for dask "
                f"({type(error).__name__}: {error})") from error
        functions[id(function)] = _Function(function, pickled)
    return functions


def _pickled_inputs(inputs: Optional[Mapping[str, Any]]) -> dict[str, bytes]:
    if inputs is None:
        return {}
    if not isinstance(inputs, dict):
        raise _conversion_error("inputs", inputs, "PyDict")
    pickled = {}
    for name, value in inputs.items():
        if not isinstance(name, str):
            raise _conversion_error("inputs", name, "PyString")
        try:
            pickled[name] = _pickled(value)
        except Exception as error:
            raise TypeError(f"argument 'inputs': the value of {name!r} cannot be pickled "
                            f"({type(error).__name__}: {error})") from error
    return pickled


class _Graph:
    """The task graph of one run, built in one pass over the plan."""

    def __init__(self, dag: vantorix.PyDag, parallel: bool,
                 inputs: Optional[Mapping[str, Any]], outputs: Optional[Collection[str]],
                 with_outcomes: bool, cache: Optional[Cache] = None) -> None:
        import vantorix

        if not isinstance(dag, vantorix.PyDag):
            raise _conversion_error("dag", dag, "PyDag")
        self.plan = dag.plan(parallel)
        if outputs is not None:
            if isinstance(outputs, str):
                raise TypeError("argument 'outputs': expected a collection of names, got a "
                                "str")
            for name in outputs:
                if not isinstance(name, str):
                    raise _conversion_error("outputs", name, "PyString")
        self._inputs = _pickled_inputs(inputs)
        self._cache = cache
        functions = _pickled_functions(self.plan)
        self.token = token = uuid.uuid4().hex
        self.layer = "vantorix-" + token
        self._value_name = "vantorix-value-" + token
        self._resolve_name = "vantorix-resolve-" + token
        self._input_name = "vantorix-input-" + token
        self.graph: dict[Any, Any] = {}
        self._holders: dict[tuple[str, int], Any] = {}
        self._input_holders: dict[str, Any] = {}
        self._values: dict[tuple[int, str], Any] = {}
        self._writes = {record.id: record.writes for record in self.plan}
        # A node's key starts, as dask.delayed's do, with its function's name, which groups
        # the nodes of one function for distributed's scheduling (as it does hand-written
        # graphs); it ends with the node's name, so dask's messages about the task name it.
        self._nodes = {record.id: (f"{_function_name(record.function)}-{token}",
                                   _node_name(record.label, record.id))
                       for record in self.plan}
        # A writer of one name is itself the holder of that name's value.
        self._sole_writers = {record.id for record in self.plan
                              if len({name for _, name in record.outputs}) == 1}
        last_writer: dict[str, int] = {}
        run = token if with_outcomes else None
        for position, record in enumerate(self.plan):
            function = None if record.function is None else functions[id(record.function)]
            self._add_node(record, position, run, function)
            for name in record.writes:
                last_writer[name] = record.id
        names = self._context_order(dag, parallel)
        if outputs is not None:
            unknown = set(outputs).difference(names)
            if unknown:
                raise ValueError(
                    f"argument 'outputs': {', '.join(map(repr, sorted(unknown)))}: no input "
                    "has that name and no node publishes it")
            names = [name for name in names if name in outputs]
        self.key = "vantorix-context-" + token
        # Names that only the inputs give the caller has already.
        self.given = {name for name in names if name not in last_writer} if with_outcomes \
            else set()
        args: list[Any] = []
        layout = []
        for name in names:
            if name in self.given:
                continue
            holder = (self._holder(name, last_writer[name]) if name in last_writer
                      else self._input_holder(name))
            layout.append((name, len(args)))
            args.append(holder)
        self.names = names
        if not with_outcomes:
            self.graph[self.key] = self._task(partial(_context, tuple(layout)), args)
            return
        in_context = set(args)
        first_outcome = len(args)
        for record in self.plan:
            node: Any = self._nodes[record.id]
            # A node whose every value goes into the context anyway comes whole; the others
            # send their outcome alone, and their data stays where it is.
            if node not in in_context and record.writes:
                outcome = ("vantorix-outcome-" + token, record.id)
                self.graph[outcome] = (_outcome, node)
                node = outcome
            args.append(node)
        self.graph[self.key] = self._task(
            partial(_frozen_context_and_outcomes, tuple(layout), range(first_outcome, len(args))),
            args)

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

    def _add_node(self, record: vantorix.PlanRecord, position: int, run: Optional[str],
                  function: Optional[_Function]) -> None:
        holder_args: dict[Any, int] = {}
        inputs = []
        for context_name, parameter in record.inputs:
            holders = self._reader_holders(context_name, record.reads[context_name])
            if holders:
                indices = tuple(holder_args.setdefault(holder, len(holder_args))
                                for holder in holders)
                inputs.append((context_name, parameter, indices))
        task = _NodeTask(record.id, record.label, position, run, function, tuple(inputs),
                         tuple(record.outputs), frozenset(name for name, _ in record.outputs),
                         self._cache, tuple(record.inputs) if self._cache is not None else ())
        self.graph[self._nodes[record.id]] = self._task(partial(_run_node, task),
                                                        list(holder_args))

    def _task(self, function: Callable[..., Any], holders: list[Any]) -> tuple[Any, ...]:
        """The task calling `function` with `holders`: keys of other tasks, or inputs that
        travel inside this task."""
        literals = tuple((index, holder.holder) for index, holder in enumerate(holders)
                         if isinstance(holder, _Literal))
        if not literals:
            return (function, *holders)
        return (partial(_with_literals, function, literals),
                *(holder for holder in holders if not isinstance(holder, _Literal)))

    def _input_holder(self, name: str) -> Any:
        """What holds the input `name`: a literal for a small value, else a key of the graph,
        whose value is the holder; None for a name that is no input."""
        if name not in self._inputs:
            return None
        holder = self._input_holders.get(name)
        if holder is None:
            values = _Values({name: self._inputs[name]})
            if len(self._inputs[name]) <= _LITERAL_INPUT_BYTES:
                holder = _Literal(values)
            else:
                holder = (self._input_name, name)
                self.graph[holder] = values
            self._input_holders[name] = holder
        return holder

    def _value(self, writer: int, name: str) -> Any:
        if writer in self._sole_writers:
            return self._nodes[writer]
        key = self._values.get((writer, name))
        if key is None:
            key = self._values[(writer, name)] = (self._value_name, name, writer)
            self.graph[key] = (partial(_value, name), self._nodes[writer])
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
                self.graph[holder] = self._task(partial(_first_holding, name), [value, earlier])
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
           outputs: Optional[Collection[str]], with_outcomes: bool,
           cache: Optional[Cache] = None) -> _Graph:
    """The graph, built with the cyclic collector paused: building makes many small containers
    and no cycles, and the collector's passes over them would make building superlinear."""
    _dask_module("dask")
    _dask_module("cloudpickle")
    paused = gc.isenabled()
    gc.disable()
    try:
        return _Graph(dag, parallel, inputs, outputs, with_outcomes, cache)
    finally:
        if paused:
            gc.enable()


def to_dask(dag: vantorix.PyDag, parallel: bool = True, *,
            inputs: Optional[dict[str, Any]] = None,
            outputs: Optional[Collection[str]] = None) -> Delayed:
    """The run of `dag` as a `dask.delayed` value whose result is the final context: the
    in-process run's (sequential, or parallel with max_threads=1), restricted to `outputs`.
    Only the nodes that the returned names need are computed; failed nodes publish nothing,
    and `execute_detailed()` tells which failed and why. When a node that they need raises
    SystemExit or KeyboardInterrupt, computing the value raises RuntimeError naming it."""
    return _built(dag, parallel, inputs, outputs, with_outcomes=False).delayed()


_BROKEN_POOL = (
    "a worker process of the pool died during the run (a node ended its process, or it ran "
    "out of memory), so the pool is broken and every compute on it fails: make a new "
    "ProcessPoolExecutor for the runs after this one (dask's processes scheduler without "
    "pool= starts a new pool for every compute)")


def _cache_of(cache: Any) -> Optional[Cache]:
    if cache is None:
        return None
    import vantorix_cache

    try:
        return vantorix_cache.as_cache(cache)
    except TypeError as error:
        raise TypeError(f"argument 'cache': {error}") from None


def _caller_level() -> int:
    """The stack level of the first frame outside this module, for a warning."""
    level = 1
    frame: Optional[FrameType] = sys._getframe(1)
    while frame is not None and frame.f_globals.get("__name__") == __name__:
        level, frame = level + 1, frame.f_back
    return level


def execute_detailed(dag: vantorix.PyDag, parallel: bool = True, *, scheduler: Any = None,
                     inputs: Optional[dict[str, Any]] = None,
                     outputs: Optional[Collection[str]] = None,
                     print_errors: bool = True,
                     cache: Optional[Union[Cache, str, os.PathLike[str]]] = None) -> RunReport:
    """Run `dag` on dask (`scheduler`: anything `dask.compute` takes; None: dask's default)
    and report on every node. Failures are written to `sys.stderr` in merge order unless
    `print_errors` is False; a node's SystemExit or KeyboardInterrupt is raised here.

    `cache`: a directory (made if missing) or a `vantorix_cache.Cache`, as for
    `PyDag.execute_detailed()`: each node is looked up, and a node that succeeds stored, in
    its own task on the worker that runs it, which needs to see the directory. The workers
    count on copies of the `Cache`; the hits and misses of the run are added to the given
    object's `stats()` once its records are back, also when a node's exit is raised."""
    if not isinstance(print_errors, bool):
        raise _conversion_error("print_errors", print_errors, "PyBool")
    cache = _cache_of(cache)
    graph = _built(dag, parallel, inputs, outputs, with_outcomes=True, cache=cache)
    from concurrent.futures.process import BrokenProcessPool

    from dask.base import compute

    begun = time.time()
    try:
        ((frozen, outcomes),) = compute(  # type: ignore[no-untyped-call,unused-ignore]
            graph.delayed(), scheduler=scheduler)
    except BrokenProcessPool as broken:
        raise BrokenProcessPool(_BROKEN_POOL) from broken
    finally:
        _stopped.pop(graph.token, None)
        with _sessions_lock:
            _sessions.pop(graph.token, None)
    if cache is not None:
        hits = sum(outcome[0] == "cached" for outcome in outcomes)
        cache.count(hits=hits, misses=sum(outcome[6] for outcome in outcomes) - hits)
        cache._stored_elsewhere()
    nodes = []
    for record, (status, error, seconds, host, pid, uncached, _, started,
                 stop) in zip(graph.plan, outcomes):
        if stop is not None:
            raise _raised_exit(stop)
        if error is not None and print_errors:
            sys.stderr.write(error)
        nodes.append(NodeRecord(record.id, record.label, record.branch_id, record.level,
                                status, error, seconds, host, pid, uncached,
                                started - begun))
    if cache is not None:
        from vantorix_cache import _warn_uncached

        _warn_uncached([(node.id, node.label, node.uncached) for node in nodes
                        if node.uncached is not None], stacklevel=_caller_level() + 1)
    context = {}
    for name in graph.names:
        if name in graph.given:
            context[name] = inputs[name]  # type: ignore[index]
        elif name in frozen:
            try:
                context[name] = pickle.loads(frozen[name])
            except Exception as failure:
                raise ImportError(f"the value of {name!r} cannot be loaded here "
                                  f"({type(failure).__name__}: {failure})") from failure
    return RunReport(context, nodes, [node for node in nodes if node.status == "failed"])


def execute(dag: vantorix.PyDag, parallel: bool = True, *, scheduler: Any = None,
            inputs: Optional[dict[str, Any]] = None,
            outputs: Optional[Collection[str]] = None,
            cache: Optional[Union[Cache, str, os.PathLike[str]]] = None) -> dict[str, Any]:
    """Run `dag` on dask and return the final context, as `execute_detailed()` does."""
    return execute_detailed(dag, parallel, scheduler=scheduler, inputs=inputs,
                            outputs=outputs, cache=cache).context


# --- the timeline of a report ---------------------------------------------------------------

# The escapes of vantorix's Mermaid texts (src/dag/mermaid.cpp), and for a gantt chart also ":"
# and ";", which end a name, and "%", which starts comments and directives; a line break is a
# space.
_GANTT_ESCAPES = str.maketrans({
    '"': "#quot;", "#": "#35;", "&": "#amp;", "<": "#lt;", ">": "#gt;", "|": "#124;",
    "[": "#91;", "]": "#93;", "(": "#40;", ")": "#41;", "{": "#123;", "}": "#125;",
    "`": "#96;", "\n": " ", "\r": " ", ":": "#58;", ";": "#59;", "%": "#37;"})
# Words that the gantt parser takes for a statement when a line starts with them, in any case.
_GANTT_KEYWORDS = frozenset((
    "accdescr", "accdescription", "acctitle", "axisformat", "call", "click", "dateformat",
    "excludes", "gantt", "href", "includes", "inclusiveenddates", "section", "tickinterval",
    "title", "todaymarker", "topaxis", "weekday", "weekend"))
_ASCII_SPACE = " \t\n\v\f\r"
_GANTT_TAGS = {"ok": "done", "cached": "active", "failed": "crit"}


def _gantt_name(text: str) -> str:
    """A bar's or a section's name, escaped so that Mermaid shows it as it is: a name that
    the parser would take for a statement or a date starts with an entity code, and a blank
    one is a space's."""
    rest = text.lstrip(_ASCII_SPACE)
    lead = " " * (len(text) - len(rest))
    if not rest:
        return lead + "#32;"
    word = re.match("[A-Za-z]*", rest).group().lower()  # type: ignore[union-attr]
    if word in _GANTT_KEYWORDS or re.match("[0-9]{4}-", rest):
        lead += f"#{ord(rest[0])};"
        rest = rest[1:]
    return lead + rest.translate(_GANTT_ESCAPES)


def _gantt(records: Iterable[Any], lane_of: Callable[[Any], Any],
           lane_name: Callable[[Any, int], str]) -> str:
    """The text of `to_gantt()` for records that have `id`, `label`, `status`, `seconds` and
    `started` (None for a node that did not run): a section per lane (`lane_of(record)`),
    named `lane_name(lane, number)`, numbered from 1 in the order of their first bar; bars in
    the order they started, ties in the order of `records`. Times in whole microseconds when
    the last bar ends within 10 ms, else in whole milliseconds, every bar at least one unit
    and 1/200 of the chart long."""
    bars = sorted((record for record in records if record.started is not None),
                  key=lambda record: record.started)
    origin = min(0.0, bars[0].started) if bars else 0.0
    lanes: dict[Any, list[Any]] = {}
    end = 0.0
    for bar in bars:
        lanes.setdefault(lane_of(bar), []).append(bar)
        end = max(end, bar.started - origin + bar.seconds)
    micro = math.floor(end * 1e6 + 0.5) < 10000
    per_second = 1e6 if micro else 1e3
    shortest = max(1, (math.floor(end * per_second + 0.5) + 199) // 200)
    lines = ["gantt", "    dateFormat x", f"    axisFormat %Q {'µs' if micro else 'ms'}",
             "    todayMarker off"]
    for number, (lane, members) in enumerate(lanes.items(), 1):
        lines.append(f"    section {_gantt_name(lane_name(lane, number))}")
        for bar in members:
            begin = math.floor((bar.started - origin) * per_second + 0.5)
            finish = math.floor((bar.started - origin + bar.seconds) * per_second + 0.5)
            name = f"node {bar.id}" if bar.label is None else _gantt_name(bar.label)
            lines.append(f"    {name} :{_GANTT_TAGS[bar.status]}, {begin}, "
                         f"{max(begin + shortest, finish)}")
    return "\n".join(lines) + "\n"
