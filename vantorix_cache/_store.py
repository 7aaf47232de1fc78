"""The entries of a cache directory: one file per key, written whole to a temporary file in the
same directory and published with `os.replace`, so a reader sees a complete entry or none.

An entry is a header (magic, format, the key it answers, the payload's length and checksum)
followed by its payload: the pickle of the results with its out-of-band buffers (numpy arrays
and other PEP 574 buffers), each buffer aligned so that arrays loaded over it are aligned too.
Anything that does not check out is not an entry: truncated, corrupted or foreign files and
files of another format are read as misses, and the next store replaces them.
"""

from __future__ import annotations

import os
import pickle
import secrets
import struct
import sys
import threading
import time
from collections.abc import Iterator
from typing import Any, Optional

from vantorix_cache._hashing import buffer_digest, pieces_digest

MAGIC = b"VXRC"
FORMAT = 1
# magic, format, reserved, payload length, key, checksum of the payload
HEADER = struct.Struct("<4sHHQ32s32s")
ALIGNMENT = 64
# What the first read of an entry asks for: all of a small one.
FIRST_READ = 16 << 10
# Pieces of entries up to this size are joined and written at once.
JOINED = 1 << 20
TEMPORARY = ".tmp-"
# Temporary files older than this are left by a process that died while writing.
STALE_SECONDS = 3600.0


_last_use = 0
_last_use_lock = threading.Lock()


def _use_time() -> int:
    """Now in nanoseconds, later than every time this process gave before: entries written or
    read one after the other keep that order even where the file system's clock is coarse."""
    global _last_use
    with _last_use_lock:
        _last_use = max(time.time_ns(), _last_use + 1)
        return _last_use


def _mark_used(descriptor: int) -> None:
    now = _use_time()
    os.utime(descriptor, ns=(now, now))


class Unstorable(Exception):
    """Results that cannot be written as an entry; the text says why."""


def entry_path(root: str, key: bytes) -> str:
    name = key.hex()
    return f"{root}{os.sep}{name[:2]}{os.sep}{name[2:]}"


def _is_entry_name(directory: str, name: str) -> bool:
    return len(directory) == 2 and len(name) == 62 and _is_hex(directory + name)


def _is_hex(text: str) -> bool:
    try:
        int(text, 16)
    except ValueError:
        return False
    return text == text.lower()


def _padding(offset: int) -> int:
    return -offset % ALIGNMENT


def encode(key: bytes, results: dict[str, Any]) -> tuple[list[Any], int]:
    """The pieces of the entry for `results`, in file order, and its size; raises Unstorable."""
    buffers: list[pickle.PickleBuffer] = []
    try:
        main = _dumps(results, buffers)
        raws = [buffer.raw() for buffer in buffers]
    except Exception as error:
        raise Unstorable(_unpicklable(results, error)) from None
    lengths = [len(main)] + [raw.nbytes for raw in raws]
    payload: list[Any] = [struct.pack(f"<I{len(lengths)}Q", len(lengths), *lengths), main]
    offset = len(payload[0]) + len(main)
    for raw in raws:
        pad = _padding(HEADER.size + offset)
        payload.append(bytes(pad))
        payload.append(raw)
        offset += pad + raw.nbytes
    header = HEADER.pack(MAGIC, FORMAT, 0, offset, key, pieces_digest(payload))
    return [header, *payload], HEADER.size + offset


def _dumps(results: dict[str, Any], buffers: list[pickle.PickleBuffer]) -> bytes:
    try:
        return pickle.dumps(results, protocol=5, buffer_callback=buffers.append)
    except Exception as error:
        # Classes and functions that cloudpickle brought into this process by value (a dask
        # worker's copies of the code of __main__) can only be pickled by value again.
        cloudpickle = sys.modules.get("cloudpickle")
        if cloudpickle is None:
            raise
        buffers.clear()
        try:
            return cloudpickle.dumps(  # type: ignore[no-any-return]
                results, protocol=5, buffer_callback=buffers.append)
        except Exception:
            raise error from None


def _unpicklable(results: dict[str, Any], error: Exception) -> str:
    """Names the first result that cannot be pickled, when one alone fails."""
    for name, value in results.items():
        try:
            _dumps({name: value}, [])
        except Exception as own:
            return f"result {name!r} cannot be pickled: {own}"
    return f"the results cannot be pickled: {error}"


def write(root: str, key: bytes, pieces: list[Any], size: int) -> None:
    """Publishes the entry atomically. Raises OSError."""
    path = entry_path(root, key)
    directory = os.path.dirname(path)
    temporary = os.path.join(directory, f"{TEMPORARY}{os.getpid()}-{secrets.token_hex(8)}")
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL
    try:
        descriptor = os.open(temporary, flags, 0o644)
    except FileNotFoundError:
        os.makedirs(directory, exist_ok=True)
        descriptor = os.open(temporary, flags, 0o644)
    try:
        try:
            for piece in [b"".join(pieces)] if size <= JOINED else pieces:
                view = memoryview(piece).cast("B")
                while view.nbytes:
                    view = view[os.write(descriptor, view):]
            _mark_used(descriptor)
        finally:
            os.close(descriptor)
        os.replace(temporary, path)
    except BaseException:
        _remove(temporary)
        raise


def read(root: str, key: bytes, touch: bool) -> Optional[dict[str, Any]]:
    """The results stored under `key`, made anew from the file (arrays over memory of their
    own, writable), or None when there is no entry that checks out. With `touch`, marks the
    entry used, for the eviction order."""
    try:
        descriptor = os.open(entry_path(root, key), os.O_RDONLY)
    except OSError:
        return None
    try:
        data = bytearray(FIRST_READ)
        got = os.readv(descriptor, [data])
        if got < HEADER.size:
            return None
        magic, format_, _, length, stored_key, checksum = HEADER.unpack_from(data)
        if (magic, format_, stored_key) != (MAGIC, FORMAT, key):
            return None
        size = HEADER.size + length
        if size <= got:
            del data[size:]
        else:
            data.extend(bytes(size - got))
            view = memoryview(data)
            while got < size:
                count = os.readv(descriptor, [view[got:]])
                if count == 0:
                    return None  # truncated
                got += count
        if touch:
            try:
                _mark_used(descriptor)
            except OSError:
                pass
    except OSError:
        return None
    finally:
        os.close(descriptor)
    payload = memoryview(data)[HEADER.size:]
    if buffer_digest(payload) != checksum:
        return None
    return _decode(payload)


def _decode(payload: memoryview) -> Optional[dict[str, Any]]:
    try:
        (count,) = struct.unpack_from("<I", payload)
        lengths = struct.unpack_from(f"<{count}Q", payload, 4)
    except struct.error:
        return None
    if not lengths:
        return None
    offset = 4 + 8 * count
    main = payload[offset:offset + lengths[0]]
    offset += lengths[0]
    raws = []
    for length in lengths[1:]:
        offset += _padding(HEADER.size + offset)
        raws.append(payload[offset:offset + length])
        offset += length
    if offset != len(payload):
        return None
    try:
        results = pickle.loads(main, buffers=raws)
    except Exception:  # a class that is gone or changed: the entry is of no use
        return None
    return results if isinstance(results, dict) else None


def _files(root: str) -> Iterator[tuple[os.DirEntry[str], bool]]:
    """Every entry file and temporary file of the store, each with whether it is an entry."""
    try:
        directories = list(os.scandir(root))
    except OSError:
        return
    for directory in directories:
        if len(directory.name) != 2 or not directory.is_dir(follow_symlinks=False):
            continue
        try:
            files = list(os.scandir(directory.path))
        except OSError:
            continue
        for file in files:
            if _is_entry_name(directory.name, file.name):
                yield file, True
            elif file.name.startswith(TEMPORARY):
                yield file, False


def scan(root: str) -> list[tuple[int, int, str]]:
    """(last use in ns, size, path) of every entry; removes stale temporary files."""
    entries = []
    now = time.time()
    for file, is_entry in _files(root):
        try:
            status = file.stat(follow_symlinks=False)
        except OSError:
            continue
        if is_entry:
            entries.append((status.st_mtime_ns, status.st_size, file.path))
        elif now - status.st_mtime > STALE_SECONDS:
            _remove(file.path)
    return entries


def evict(root: str, max_bytes: int) -> int:
    """Removes the least recently used entries until the store holds at most `max_bytes`;
    returns what it holds then."""
    entries = scan(root)
    total = sum(size for _, size, _ in entries)
    for _, size, path in sorted(entries):
        if total <= max_bytes:
            break
        _remove(path)
        total -= size
    return total


def clear(root: str) -> None:
    """Removes every entry and temporary file, and the folders left empty; nothing else."""
    for file, _ in _files(root):
        _remove(file.path)
    try:
        directories = list(os.scandir(root))
    except OSError:
        return
    for directory in directories:
        if len(directory.name) == 2 and _is_hex(directory.name):
            try:
                os.rmdir(directory.path)
            except OSError:
                pass


def _remove(path: str) -> None:
    try:
        os.unlink(path)
    except OSError:
        pass
