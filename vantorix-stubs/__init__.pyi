"""Run a graph of Python callables one node at a time, or level by level on worker threads
with the GIL released, and draw it as a Mermaid flowchart."""

from collections.abc import Callable
from typing import Any, SupportsIndex, final

from typing_extensions import Never, TypeAlias

__all__ = ["PyGraph", "PyDag"]

# A node callable: called as function(inputs, variant_params) with two fresh dicts (the second
# is always empty); every str key of the dict it returns is a result the node may publish.
_NodeFunction: TypeAlias = Callable[[dict[str, Any], dict[str, Any]], dict[str, Any]]
# Pairs of names, as a dict or a list of 2-tuples. For `inputs` each pair is
# (broadcast_var, impl_var); for `outputs` it is (impl_var, broadcast_var).
_Mapping: TypeAlias = dict[str, str] | list[tuple[str, str]]

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
