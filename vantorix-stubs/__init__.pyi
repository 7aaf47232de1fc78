"""Run a graph of Python callables one node at a time, or level by level on worker threads
with the GIL released, and draw it as a Mermaid flowchart."""

import os
from collections.abc import Callable
from typing import Any, Literal, NamedTuple, SupportsIndex, final, type_check_only

import vantorix_cache

from typing_extensions import Never, TypeAlias

__all__ = ["PyGraph", "PyDag"]
__version__: str

# A node callable: called as function(inputs, variant_params) with two fresh dicts (the second
# is always empty); every str key of the dict it returns is a result the node may publish.
_NodeFunction: TypeAlias = Callable[[dict[str, Any], dict[str, Any]], dict[str, Any]]
# Pairs of names, as a dict or a list of 2-tuples. For `inputs` each pair is
# (broadcast_var, impl_var); for `outputs` it is (impl_var, broadcast_var).
_Mapping: TypeAlias = dict[str, str] | list[tuple[str, str]]
# How a node of a run ended.
_Status: TypeAlias = Literal["ok", "cached", "failed", "skipped", "not run"]
# What PyDag.check() found.
_Concern: TypeAlias = Literal["unpublished read", "same-level read", "same-level write"]

# The record types exist at run time but are not module attributes: reach them as
# type(report), type(report.nodes[0]), type(dag.plan()[0]) and type(dag.check()[0]).
@final
@type_check_only
class NodeRecord(NamedTuple):
    """How one node of a run ended: what PyDag.execute_detailed reports for each node."""

    id: int
    label: str | None
    # The branch the node belongs to, or None for the main chain.
    branch_id: int | None
    # Index of the node's level; None when it could not be scheduled.
    level: int | None
    status: _Status
    # The exception the node's function raised, or a TypeError for a result that is not a
    # dict; None otherwise.
    error: BaseException | None
    # Wall time of the node's step on its thread; None when it did not run.
    seconds: float | None
    # threading.get_ident() of the thread that ran it; None when it did not run.
    thread: int | None
    # In a run with a cache: why the node was neither served nor kept by it; None otherwise.
    uncached: str | None
    # Seconds from the start of the run to the start of the node's step, on the clock of
    # `seconds`; None when it did not run.
    started: float | None

@final
@type_check_only
class PlanRecord(NamedTuple):
    """One scheduled node of PyDag.plan(), in the order a run merges results."""

    id: int
    label: str | None
    # The node's callable, or None for a no-op node.
    function: _NodeFunction | None
    # (context name, parameter name) pairs.
    inputs: list[tuple[str, str]]
    # (result name, context name) pairs.
    outputs: list[tuple[str, str]]
    dependencies: list[int]
    branch_id: int | None
    level: int
    # {context name: id of the node whose value the node sees, or None}.
    reads: dict[str, int | None]
    # {context name: id of the previous node that publishes it, or None}.
    writes: dict[str, int | None]

@final
@type_check_only
class Finding(NamedTuple):
    """A concern about the data flow, found by PyDag.check(); str() tells what it is."""

    id: int
    label: str | None
    name: str
    kind: _Concern
    other: int | None
    other_label: str | None

@final
@type_check_only
class RunReport:
    """What PyDag.execute_detailed() reports about one run."""

    @property
    def context(self) -> dict[str, Any]:
        """The final context, as execute() returns it."""

    @property
    def node_outputs(self) -> dict[int, dict[str, Any]]:
        """{node id: the outputs it published} for every node that ran."""

    @property
    def branch_outputs(self) -> dict[int, dict[str, Any]]:
        """{branch id: the outputs of its nodes, merged} for every branch of which a node ran."""

    @property
    def nodes(self) -> list[NodeRecord]:
        """A record per node: those that ran, in the order they ran, then those that did not."""

    @property
    def failed(self) -> list[NodeRecord]:
        """The records whose status is "failed"."""

    def to_mermaid(self, *, durations: bool = True) -> str:
        """The run as a Mermaid flowchart: the DAG's diagram with every box saying how its node
        ended (and how long it took), coloured by status."""

    def _repr_markdown_(self) -> str:
        """The flowchart and the timeline, each in a fenced mermaid block, for notebooks."""

    def to_gantt(self) -> str:
        """The run as a Mermaid gantt chart: a section per thread, a bar per node that ran,
        tagged by status."""

@final
class PyGraph:
    """Python wrapper for Graph builder"""

    def __new__(cls) -> PyGraph: ...
    def add(
        self,
        function: _NodeFunction | None = ...,
        label: str | None = ...,
        inputs: _Mapping | None = ...,
        outputs: _Mapping | None = ...,
    ) -> None:
        """Add a node that depends on the node added before it.

        Raises ValueError if the graph was already built or attached as a branch, or if a
        mapping is neither a dict nor a list of 2-tuples; TypeError for a label or a mapping
        entry that is not a str.
        """

    def branch(self, subgraph: PyGraph) -> int:
        """Attach `subgraph` as a side path starting at the node added last; returns the
        branch id (1, 2, ... per graph). `subgraph` is consumed."""

    def build(self) -> PyDag:
        """Turn the graph into an immutable PyDag; this PyGraph is consumed."""

@final
class PyDag:
    """Python wrapper for DAG executor"""

    # Instances come only from PyGraph.build(); calling PyDag() raises TypeError.
    def __new__(cls, _no_constructor: Never, /) -> PyDag: ...
    def execute(
        self, parallel: bool = ..., max_threads: SupportsIndex | None = ...
    ) -> dict[str, Any]:
        """Run the DAG from an empty context and return the final context.

        With parallel=True the nodes of each level run on worker threads, at most
        `max_threads` at a time (None: the whole level at once).
        """

    def to_mermaid(self) -> str:
        """The DAG as the text of a Mermaid flowchart ("graph TD")."""

    def execute_detailed(
        self,
        parallel: bool = False,
        max_threads: SupportsIndex | None = None,
        *,
        inputs: dict[str, Any] | None = None,
        on_node: Callable[[NodeRecord], object] | None = None,
        errors: Literal["continue", "raise", "skip"] = "continue",
        print_errors: bool = True,
        cache: str | os.PathLike[str] | vantorix_cache.Cache | None = None,
    ) -> RunReport:
        """Run the DAG as execute() does and report on every node.

        `inputs` seed the context before the first node. `on_node` is called on the calling
        thread with each node's record as soon as it is recorded; what it raises stops the run.
        `errors`: what a failed node means for the run: "continue", "raise" (stop and raise its
        exception) or "skip" (leave out the nodes that read from it). `print_errors=False`
        keeps failures off sys.stderr. `cache`: a directory of results (or a
        vantorix_cache.Cache) that nodes whose function, mappings and inputs are unchanged
        publish from instead of running (status "cached").
        """

    def plan(self, parallel: bool = False) -> list[PlanRecord]:
        """The scheduled nodes in the order a run in that mode merges results, each with the
        node whose value every read sees and the writer every write follows."""

    def check(self, parallel: bool = False) -> list[Finding]:
        """Concerns about the data flow of a run in that mode; empty when it is sound."""

    @property
    def execution_order(self) -> list[int]:
        """Identifiers of the scheduled nodes in the order a sequential run visits them."""

    @property
    def levels(self) -> list[list[int]]:
        """Identifiers of the scheduled nodes by level; a new list on every access."""
