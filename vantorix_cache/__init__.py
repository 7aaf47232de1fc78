"""Results of vantorix nodes kept in a directory, so that a run does again only what changed or
what a run before it did not finish.

    report = dag.execute_detailed(cache="results")   # or cache=vantorix_cache.Cache(...)

A node's key is its function's identity (its code, the code nested in it, constants, defaults,
closure values, the state of a callable object and, transitively, the functions, classes and
module-level values of the user's own modules that its code reads through globals), its input
and output mappings, and its input values by content. A hit gives values loaded anew from the
store; an entry becomes visible only whole, and one that cannot be read is a miss.

`Cache.session()` makes the object a run talks to: `lookup()` before a node would run,
`store()` once it has succeeded, `finish()` when the run is over.
"""

from __future__ import annotations

import operator
import os
import threading
import warnings
from collections.abc import Iterable, Sequence
from typing import Any, NamedTuple, Optional, Union

from vantorix_cache import _store
from vantorix_cache._keys import Keyer, Unkeyable

__all__ = ["Cache", "CacheStats", "CacheWarning", "Session", "as_cache"]

PathType = Union[str, "os.PathLike[str]"]


class CacheStats(NamedTuple):
    """What a cache directory holds, and how this `Cache` object's lookups went."""

    entries: int
    bytes: int
    hits: int
    misses: int


class CacheWarning(UserWarning):
    """Nodes of a run ran without the cache: a value could not be keyed, or their results could
    not be stored. Their records say why (`uncached`)."""


def _path_text(path: Any) -> str:
    text = os.fspath(path) if isinstance(path, (str, os.PathLike)) else None
    if not isinstance(text, str):
        raise TypeError("expected a path (str or os.PathLike) or a vantorix_cache.Cache, got "
                        f"{type(path).__name__!r}")
    return text


class Cache:
    """A directory of node results (made if missing).

    `recompute`: labels of nodes that always run; what they publish is stored anew, so the
    nodes reading it are keyed on the new values. `max_bytes`: a bound on what the directory
    holds; the entries used least recently go first. A `Cache` pickles as its path and options,
    so that it can be handed to other processes. Entries are pickles, and loading one can run
    code: only a directory that no one else can write to is safe.
    """

    def __init__(self, path: PathType, *, recompute: Iterable[str] = (),
                 max_bytes: Optional[int] = None) -> None:
        self.path = os.path.abspath(_path_text(path))
        if isinstance(recompute, str):
            recompute = (recompute,)
        self.recompute = frozenset(recompute)
        if not all(isinstance(label, str) for label in self.recompute):
            raise TypeError("recompute: expected labels (str)")
        if max_bytes is not None:
            max_bytes = operator.index(max_bytes)
            if max_bytes < 0:
                raise ValueError("max_bytes must not be negative")
        self.max_bytes = max_bytes
        try:
            os.makedirs(self.path, exist_ok=True)
        except OSError:
            pass  # every store then fails and says why; nothing is read
        self._lock = threading.Lock()
        self._hits = 0
        self._misses = 0
        self._held: Optional[int] = None  # bytes in the directory, as far as this object knows

    def session(self) -> Session:
        """A new session for one run."""
        return Session(self)

    def stats(self) -> CacheStats:
        entries = _store.scan(self.path)
        with self._lock:
            hits, misses = self._hits, self._misses
        return CacheStats(len(entries), sum(size for _, size, _ in entries), hits, misses)

    def count(self, hits: int = 0, misses: int = 0) -> None:
        """Adds lookups made elsewhere (by copies of this object in other processes) to what
        `stats()` reports."""
        with self._lock:
            self._hits += hits
            self._misses += misses

    def clear(self) -> None:
        """Removes every entry; files the cache did not write stay."""
        _store.clear(self.path)
        with self._lock:
            self._held = 0

    def _stored_elsewhere(self) -> None:
        """Copies of this object in other processes have stored entries: what it knows of the
        directory's size is made anew before the next store."""
        with self._lock:
            self._held = None

    def _stored(self, size: int) -> None:
        if self.max_bytes is None:
            return
        with self._lock:
            if self._held is None:
                self._held = sum(entry_size for _, entry_size, _ in _store.scan(self.path))
            else:
                self._held += size
            if self._held <= self.max_bytes:
                return
            # Down to nine tenths, so that the directory is scanned once per tenth written.
            self._held = _store.evict(self.path, self.max_bytes * 9 // 10)

    def __repr__(self) -> str:
        options = "".join([f", recompute={sorted(self.recompute)!r}" if self.recompute else "",
                           f", max_bytes={self.max_bytes!r}" if self.max_bytes is not None
                           else ""])
        return f"vantorix_cache.Cache({self.path!r}{options})"

    def __reduce__(self) -> tuple[Any, ...]:
        return (_restore, (self.path, tuple(sorted(self.recompute)), self.max_bytes))


def _restore(path: str, recompute: tuple[str, ...], max_bytes: Optional[int]) -> Cache:
    return Cache(path, recompute=recompute, max_bytes=max_bytes)


def as_cache(cache: Union[Cache, PathType]) -> Cache:
    """`cache` itself, or a `Cache` of the directory it names."""
    return cache if isinstance(cache, Cache) else Cache(_path_text(cache))


Pairs = Sequence[tuple[str, str]]


class Session:
    """One run's use of a cache. It remembers for the run what cannot change during it: the
    identity of every function and the part of each node's key that its inputs leave out.
    Safe to call from several threads at once."""

    def __init__(self, cache: Cache) -> None:
        self.cache = cache
        self._keyer = Keyer()
        # node id -> (function, inputs, outputs, key prefix or why the node cannot be keyed)
        self._prefixes: dict[Any, tuple[Any, Any, Any, Union[bytes, str]]] = {}
        # key -> (node id, label) of the nodes looked up and not yet stored
        self._pending: dict[bytes, tuple[Any, Optional[str]]] = {}
        self._uncached: list[tuple[Any, Optional[str], str]] = []

    def lookup(self, node_id: Any, label: Optional[str], function: Any, inputs: Pairs,
               outputs: Pairs, values: dict[str, Any]
               ) -> tuple[Optional[bytes], Optional[dict[str, Any]], Optional[str]]:
        """Looks a node up before it runs. `inputs` are its (context name, parameter name)
        pairs, `outputs` its (result name, context name) pairs, `values` what its function
        would receive. Returns (key, results, why): results by result name on a hit, else
        None; the key to `store()` the results under once the node has succeeded, or None
        with why the node cannot be cached."""
        try:
            key = self._keyer.key(self._prefix(node_id, function, inputs, outputs), values)
        except Unkeyable as error:
            why = str(error)
            self._uncached.append((node_id, label, why))
            self.cache.count(misses=1)
            return None, None, why
        results = (None if label in self.cache.recompute else
                   _store.read(self.cache.path, key, touch=self.cache.max_bytes is not None))
        if results is None:
            self._pending[key] = (node_id, label)
            self.cache.count(misses=1)
        else:
            self.cache.count(hits=1)
        return key, results, None

    def _prefix(self, node_id: Any, function: Any, inputs: Pairs, outputs: Pairs) -> bytes:
        known = self._prefixes.get(node_id)
        if known is None or known[0] is not function or known[1:3] != (inputs, outputs):
            try:
                prefix: Union[bytes, str] = self._keyer.node_prefix(function, inputs, outputs)
            except Unkeyable as error:
                prefix = str(error)
            known = (function, inputs, outputs, prefix)
            self._prefixes[node_id] = known
        if isinstance(known[3], str):
            raise Unkeyable(known[3])
        return known[3]

    def store(self, key: bytes, results: dict[str, Any]) -> Optional[str]:
        """Stores what a node that succeeded returned (by result name) under the key its
        lookup gave. Returns None, or why the results were not stored."""
        node = self._pending.pop(key, (None, None))
        why = self._write(key, results)
        if why is not None:
            self._uncached.append((*node, why))
        return why

    def _write(self, key: bytes, results: dict[str, Any]) -> Optional[str]:
        try:
            pieces, size = _store.encode(key, results)
        except _store.Unstorable as error:
            return f"its results were not stored: {error}"
        max_bytes = self.cache.max_bytes
        if max_bytes is not None and size > max_bytes:
            return f"its results were not stored: {size} bytes, above max_bytes={max_bytes}"
        try:
            _store.write(self.cache.path, key, pieces, size)
        except OSError as error:
            return f"its results were not stored: {error}"
        self.cache._stored(size)
        return None

    def finish(self) -> None:
        """Ends the run: one CacheWarning if any node ran without the cache."""
        _warn_uncached(self._uncached, stacklevel=3)


def _warn_uncached(uncached: Sequence[tuple[Any, Optional[str], str]], stacklevel: int) -> None:
    """The one CacheWarning of a run, about its (node id, label, why) nodes that ran without
    the cache, if any; `stacklevel` counts from this function."""
    if not uncached:
        return
    node_id, label, why = uncached[0]
    count = len(uncached)
    name = f"node {label!r} (id {node_id})" if label is not None else f"node {node_id}"
    others = f" and {count - 1} more" if count > 1 else ""
    warnings.warn(f"{name}{others} ran without the cache: {why}", CacheWarning,
                  stacklevel=stacklevel)
