"""The one hash of the cache: SHA-256 from hashlib, which OpenSSL computes with the processor's
SHA instructions where it has them (about three times as fast as hashlib's BLAKE2b on x86-64
processors of the last years, and about as fast without them). Large buffers are cut into
chunks of a fixed size whose digests are hashed in turn, so that the chunks can be hashed on
several threads (hashlib lets the interpreter lock go while it hashes a large buffer) and the
digest does not depend on how many there are."""

from __future__ import annotations

import hashlib
import os
import threading
from collections.abc import Iterable
from concurrent.futures import ThreadPoolExecutor
from typing import Any, Optional

# Buffers up to this size are hashed whole on the calling thread.
CHUNK = 4 << 20
_THREADS = max(1, min(4, os.cpu_count() or 1))

_pool: Optional[ThreadPoolExecutor] = None
_pool_lock = threading.Lock()


def _forget_pool() -> None:
    """The pool's threads do not exist in a forked child."""
    global _pool, _pool_lock
    _pool = None
    _pool_lock = threading.Lock()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_forget_pool)


def new_hash() -> "hashlib._Hash":
    return hashlib.sha256()


def _chunk_digest(chunk: memoryview) -> bytes:
    return hashlib.sha256(chunk).digest()


def _threads() -> ThreadPoolExecutor:
    global _pool
    with _pool_lock:
        if _pool is None:
            _pool = ThreadPoolExecutor(_THREADS, thread_name_prefix="vantorix_cache-hash")
        return _pool


def _tree(size: int, digests: list[bytes]) -> bytes:
    tree = new_hash()
    tree.update(b"chunks")
    tree.update(size.to_bytes(8, "little"))
    for digest in digests:
        tree.update(digest)
    return tree.digest()


def _parts_digest(parts: list[memoryview]) -> bytes:
    hash_ = new_hash()
    for part in parts:
        hash_.update(part)
    return hash_.digest()


def _map(function: Any, items: list[Any]) -> list[bytes]:
    if _THREADS > 1 and len(items) > 1:
        try:
            return list(_threads().map(function, items))
        except RuntimeError:  # the interpreter is shutting down: no new threads
            pass
    return [function(item) for item in items]


def buffer_digest(buffer: Any) -> bytes:
    """The digest of the bytes of a contiguous buffer, read in place."""
    view = memoryview(buffer).cast("B")
    size = view.nbytes
    if size <= CHUNK:
        return _chunk_digest(view)
    return _tree(size, _map(_chunk_digest, [view[start:start + CHUNK]
                                            for start in range(0, size, CHUNK)]))


def pieces_digest(pieces: Iterable[Any]) -> bytes:
    """`buffer_digest` of the pieces put end to end, without putting them together."""
    views = [memoryview(piece).cast("B") for piece in pieces]
    size = sum(view.nbytes for view in views)
    if size <= CHUNK:
        return _parts_digest(views)
    chunks: list[list[memoryview]] = [[]]
    room = CHUNK
    for view in views:
        while view.nbytes:
            if room == 0:
                chunks.append([])
                room = CHUNK
            part = view[:room]
            chunks[-1].append(part)
            room -= part.nbytes
            view = view[part.nbytes:]
    return _tree(size, _map(_parts_digest, chunks))
