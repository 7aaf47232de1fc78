"""What a node's key is made of: its function's identity and its input values, by content.

Values are encoded into a byte stream that names every type, so that `1`, `1.0`, `True`, `"1"`
and `b"1"` never share a key; large buffers enter the stream as their digest, read in place.
Types without an encoding of their own enter as their pickle, in which sets, functions,
classes and arrays are replaced by their own encoding (persistent ids).

A function's identity is the digest of its own part — code, constants, defaults, closure
values, attributes and the globals its code reads — and of the own parts of every function and
class of the user's modules that it reaches through them, in a fixed order. Own parts name the
functions and classes they refer to instead of containing them, so cycles (recursion, methods
that name their class) need no special case, and each own part is made once per run.
Modules of the standard library and of installed distributions count by name and version.
"""

from __future__ import annotations

import copyreg
import dis
import functools
import importlib.metadata
import io
import os
import pickle
import site
import struct
import sys
import sysconfig
import threading
import types
from collections.abc import Iterable
from typing import Any, Callable, Optional

from vantorix_cache._hashing import CHUNK, buffer_digest, new_hash

# Part of every key: a new encoding must not meet keys of an old one.
KEY_FORMAT = b"vantorix_cache key 1\0" + sys.implementation.cache_tag.encode() + b"\0"
# Data up to this size enters the stream as it is, larger data as its digest.
INLINE = 64 << 10
# Longer lists and tuples of these types enter as their pickle, which is exact for them.
_PICKLED_ATOMS = frozenset({type(None), bool, int, float, str, bytes})
_DOUBLE = struct.Struct("<d")
_LENGTH = struct.Struct("<Q")
# Packages of this distribution: named with its version, never hashed.
_OWN_PACKAGES = frozenset({"vantorix", "vantorix_cache", "vantorix_dask"})
# `__slotnames__` is copyreg's note of the slots, made when an instance is first pickled.
_SKIPPED_CLASS_ATTRIBUTES = frozenset({"__dict__", "__weakref__", "__module__", "__qualname__",
                                       "__slotnames__"})

# What looks a name up in a function's globals; a class body nested in it reads them by name.
_GLOBAL_OPS = frozenset({"LOAD_GLOBAL", "STORE_GLOBAL", "DELETE_GLOBAL", "LOAD_NAME"})

_ROUTINES = (types.FunctionType, types.BuiltinFunctionType, types.MethodType,
             types.MethodWrapperType, types.WrapperDescriptorType, types.MethodDescriptorType,
             types.ClassMethodDescriptorType)


class Unkeyable(Exception):
    """A value or function that cannot be keyed; the text says why."""


# --- which modules are the user's ------------------------------------------------------------


def _library_roots() -> tuple[str, ...]:
    paths = sysconfig.get_paths()
    roots = {paths[name] for name in ("stdlib", "platstdlib", "purelib", "platlib") if name in paths}
    try:
        roots.update(site.getsitepackages())
        roots.add(site.getusersitepackages())
    except AttributeError:  # an old virtualenv's site module
        pass
    return tuple(os.path.join(os.path.realpath(root), "") for root in roots if root)


_user_modules: dict[Optional[str], bool] = {}
_versions: dict[str, str] = {}
_module_lock = threading.Lock()


def is_user_module(name: Optional[str]) -> bool:
    """Whether the module named `name` is the user's own code, which keys hash: `__main__` and
    modules from source files outside the standard library and the installed distributions.
    A module that is not loaded counts as the user's, so that its code is hashed."""
    known = _user_modules.get(name)
    if known is None:
        known = _find_user_module(name)
        with _module_lock:
            _user_modules[name] = known
    return known


def _find_user_module(name: Optional[str]) -> bool:
    if name is None or name == "__main__":
        return True
    if name.partition(".")[0] in _OWN_PACKAGES or name in sys.builtin_module_names:
        return False
    module = sys.modules.get(name)
    if module is None:
        return True
    file = getattr(module, "__file__", None)
    if not isinstance(file, str):
        return getattr(module, "__path__", None) is not None  # a namespace package
    if not file.endswith(".py"):
        return False  # an extension module, or one without source
    real = os.path.realpath(file)
    parts = real.split(os.sep)
    if "site-packages" in parts or "dist-packages" in parts:
        return False
    return not real.startswith(_library_roots())


def module_version(name: str) -> str:
    """The version a module of the standard library or of an installed distribution counts by."""
    top = name.partition(".")[0]
    version = _versions.get(top)
    if version is None:
        version = _find_version(top)
        with _module_lock:
            _versions[top] = version
    return version


def _find_version(top: str) -> str:
    if top in _OWN_PACKAGES:
        top = "vantorix"
    stdlib = getattr(sys, "stdlib_module_names", ())
    if top in stdlib or top in sys.builtin_module_names:
        return f"python {sys.version}"
    try:
        return importlib.metadata.version(top)
    except importlib.metadata.PackageNotFoundError:
        pass
    distributions = getattr(importlib.metadata, "packages_distributions", None)
    if distributions is not None:
        for distribution in distributions().get(top, ()):
            try:
                return f"{distribution} {importlib.metadata.version(distribution)}"
            except importlib.metadata.PackageNotFoundError:
                continue
    module = sys.modules.get(top)
    version = getattr(module, "__version__", None)
    if isinstance(version, str):
        return version
    file = getattr(module, "__file__", None)
    if isinstance(file, str) and os.path.realpath(file).startswith(_library_roots()):
        return f"python {sys.version}"
    return "unknown"


def _is_user_code(obj: Any) -> bool:
    """A function or class defined by the user's code."""
    if isinstance(obj, types.FunctionType):
        return is_user_module(obj.__module__)
    if isinstance(obj, type):
        return is_user_module(getattr(obj, "__module__", None))
    return False


def _full_name(obj: Any) -> bytes:
    module = getattr(obj, "__module__", None)
    qualname = getattr(obj, "__qualname__", None) or getattr(obj, "__name__", None)
    return f"{module}\0{qualname}\0".encode("utf-8", "surrogatepass")


# --- encoding ----------------------------------------------------------------------------------


class _Encoder:
    """One byte stream being encoded. `refs`, when not None, collects the user functions and
    classes met, which the stream then names instead of containing (an own part); `lenient`
    lets objects of library types that cannot be pickled (locks, connections, files) count
    by their type, as the state a function works with rather than data."""

    __slots__ = ("keyer", "out", "refs", "lenient", "path")

    def __init__(self, keyer: Keyer, refs: Optional[list[Any]] = None,
                 lenient: bool = False) -> None:
        self.keyer = keyer
        self.out = bytearray()
        self.refs = refs
        self.lenient = lenient
        # Containers being encoded, by id, with their depth: a container met again inside
        # itself enters as a reference to that depth.
        self.path: dict[int, int] = {}

    def digest(self) -> bytes:
        hash_ = new_hash()
        hash_.update(self.out)
        return hash_.digest()

    def sized(self, tag: bytes, data: Any) -> None:
        size = len(data) if isinstance(data, (bytes, bytearray)) else memoryview(data).nbytes
        self.out += tag
        self.out += _LENGTH.pack(size)
        self.out += data if size <= INLINE else buffer_digest(data)

    def value(self, obj: Any) -> None:
        encode = _ENCODERS.get(type(obj))
        if encode is not None:
            encode(self, obj)
        else:
            self.other(obj)

    # Containers.

    def enter(self, obj: Any) -> bool:
        """Starts a container; False when it is one already being encoded (a cycle)."""
        depth = self.path.get(id(obj))
        if depth is not None:
            self.out += b"^%d;" % depth
            return False
        self.path[id(obj)] = len(self.path)
        return True

    def sequence(self, tag: bytes, obj: Any) -> None:
        if not self.enter(obj):
            return
        if len(obj) > 16 and all(type(item) in _PICKLED_ATOMS for item in obj):
            self.sized(b"p" + tag, pickle.dumps(obj, protocol=5))
        else:
            self.out += tag + _LENGTH.pack(len(obj))
            for item in obj:
                self.value(item)
        del self.path[id(obj)]

    def mapping(self, obj: dict[Any, Any]) -> None:
        if not self.enter(obj):
            return
        self.out += b"{" + _LENGTH.pack(len(obj))
        for key, item in obj.items():
            self.value(key)
            self.value(item)
        del self.path[id(obj)]

    def unordered(self, tag: bytes, obj: Any) -> None:
        """Sets by the sorted digests of their items: their order depends on string hashing,
        which differs between processes."""
        if not self.enter(obj):
            return
        digests = []
        for item in obj:
            saved, self.out = self.out, bytearray()
            self.value(item)
            digests.append(self.digest())
            self.out = saved
        self.out += tag + _LENGTH.pack(len(digests))
        for digest in sorted(digests):
            self.out += digest
        del self.path[id(obj)]

    # Functions, classes and modules.

    def routine(self, obj: Any) -> None:
        """A function or class met as a value: named in an own part (and collected), else by
        its whole identity; a method by its function and the object it is bound to."""
        if _is_user_code(obj):
            if self.refs is not None:
                self.refs.append(obj)
                self.out += b"R" + _full_name(obj)
            else:
                self.out += b"I" + self.keyer.identity(obj)
            return
        if isinstance(obj, types.MethodType):
            self.out += b"M"
            self.value(obj.__func__)
            self.value(obj.__self__)
            return
        owner = getattr(obj, "__self__", None)
        if owner is not None and not isinstance(owner, types.ModuleType):
            self.out += b"m" + _full_name(obj)  # a method of a built-in type, bound
            self.value(owner)
            return
        self.library(obj)

    def library(self, obj: Any) -> None:
        module = getattr(obj, "__module__", None)
        if not isinstance(module, str):
            module = str(getattr(type(obj), "__module__", "builtins"))
        self.out += b"X" + _full_name(obj) + module_version(module).encode() + b"\0"

    def module(self, module: types.ModuleType, names: Iterable[str] = (),
               seen: Optional[set[int]] = None) -> None:
        """A module read through globals: a library one by name and version; a user one by
        the attributes among `names` (what the code reads) that it has."""
        name = module.__name__
        if not is_user_module(name):
            self.out += b"L" + name.encode() + b"\0" + module_version(name).encode() + b"\0"
            return
        self.out += b"U" + name.encode() + b"\0"
        seen = seen if seen is not None else set()
        if id(module) in seen:
            self.out += b"\0"
            return
        seen.add(id(module))
        namespace = vars(module)
        for attribute in sorted(names):
            if attribute in namespace:
                self.out += b"a" + attribute.encode("utf-8", "surrogatepass") + b"="
                self.global_value(namespace[attribute], names, seen)
        self.out += b"\0"

    def global_value(self, obj: Any, names: Iterable[str] = (),
                     seen: Optional[set[int]] = None) -> None:
        """A value a function reads through its globals, its closure or a default."""
        if isinstance(obj, types.ModuleType):
            self.module(obj, names, seen)
        elif type(obj) in _ENCODERS:
            self.value(obj)
        else:
            digest, refs = self.keyer.global_digest(obj)
            self.out += b"G" + digest
            if self.refs is not None:
                self.refs.extend(refs)

    def other(self, obj: Any) -> None:
        kind = type(obj)
        module = getattr(kind, "__module__", "")
        if module.startswith("numpy") and _encode_numpy(self, obj):
            return
        if module.startswith("pandas") and _encode_pandas(self, obj):
            return
        if isinstance(obj, _ROUTINES) or isinstance(obj, type):
            self.routine(obj)
        elif callable(obj) and getattr(obj, "__wrapped__", None) is not None:
            # A wrapper of a function (functools.lru_cache, decorators): by what it wraps.
            self.out += b"W"
            self.library(kind)
            self.value(obj.__wrapped__)
        elif isinstance(obj, types.ModuleType):
            self.module(obj)
        elif isinstance(obj, types.CodeType):
            self.out += b"c" + self.keyer.code_digest(obj)
        elif isinstance(obj, functools.partial):
            self.out += b"P"
            self.value(obj.func)
            self.value(obj.args)
            self.value(obj.keywords)
            self.value(vars(obj) if hasattr(obj, "__dict__") else None)
        elif _plain_user_state(kind):
            self.instance(obj, kind)
        else:
            self.pickled(obj, kind)

    def instance(self, obj: Any, kind: type) -> None:
        """An object of a user class that leaves pickling to `object`: its class and state."""
        if not self.enter(obj):
            return
        self.out += b"O"
        self.routine(kind)
        self.value(getattr(obj, "__dict__", None))
        for name in _slot_names(kind):
            try:
                slot = getattr(obj, name)
            except AttributeError:
                self.out += b"-"
            else:
                self.out += b"+"
                self.value(slot)
        del self.path[id(obj)]

    def pickled(self, obj: Any, kind: type) -> None:
        stream = io.BytesIO()
        digests: list[bytes] = []
        pickler = _KeyPickler(stream, self, digests)
        try:
            pickler.dump(obj)
        except Unkeyable:
            raise
        except RecursionError:
            raise
        except Exception as error:
            if self.lenient and not _is_user_code(kind):
                self.out += b"?"
                self.library(kind)
                return
            raise Unkeyable(_pickle_failure(error)) from None
        self.sized(b"K", stream.getbuffer())
        self.out += b"%d;" % len(digests)
        self.out += b"".join(digests)


def _pickle_failure(error: Exception) -> str:
    text = str(error) or type(error).__name__
    return text if "pickle" in text else f"it cannot be pickled: {text}"


def _plain_user_state(kind: type) -> bool:
    """Whether `kind` is a user class, derived from user classes alone, whose pickling would
    save its `__dict__` and slots as `object` does."""
    plain = object.__dict__
    return (all(base is object or _is_user_code(base) for base in kind.__mro__)
            and all(getattr(kind, name, None) is plain.get(name)
                    for name in ("__reduce_ex__", "__reduce__", "__getstate__", "__setstate__")))


def _slot_names(kind: type) -> list[str]:
    names: list[str] = copyreg._slotnames(kind)  # type: ignore[attr-defined]  # as pickle does
    return names


class _KeyPickler(pickle.Pickler):
    """Pickles an object for its key: sets, functions, classes, modules and arrays inside it
    enter as their own encoding, and out-of-band buffers as their digests."""

    def __init__(self, stream: io.BytesIO, encoder: _Encoder, digests: list[bytes]) -> None:
        super().__init__(stream, protocol=5, buffer_callback=self._buffer)
        self._encoder = encoder
        self._digests = digests

    def _buffer(self, buffer: pickle.PickleBuffer) -> bool:
        self._digests.append(buffer_digest(buffer.raw()))
        return False

    def persistent_id(self, obj: Any) -> Any:
        kind = type(obj)
        if kind in _PICKLED_ATOMS or kind is tuple or kind is list or kind is dict:
            return None
        if not (kind is set or kind is frozenset or _has_own_encoding(obj, kind)
                or isinstance(obj, (_ROUTINES, type, types.ModuleType, types.CodeType))):
            return None
        encoder = self._encoder
        saved, encoder.out = encoder.out, bytearray()
        try:
            if kind is set or kind is frozenset:
                encoder.unordered(b"<" if kind is set else b">", obj)
            else:
                encoder.other(obj)
            return ("vantorix_cache", bytes(encoder.out))
        finally:
            encoder.out = saved


def _has_own_encoding(obj: Any, kind: type) -> bool:
    """numpy arrays and scalars, pandas frames, series and indexes."""
    module = getattr(kind, "__module__", "")
    if module.startswith("numpy"):
        numpy = sys.modules.get("numpy")
        return numpy is not None and (kind is numpy.ndarray or isinstance(obj, numpy.generic))
    if module.startswith("pandas"):
        pandas = sys.modules.get("pandas")
        return pandas is not None and (kind is pandas.DataFrame or kind is pandas.Series
                                       or isinstance(obj, pandas.Index))
    return False


def _none(encoder: _Encoder, obj: None) -> None:
    encoder.out += b"N"


def _bool(encoder: _Encoder, obj: bool) -> None:
    encoder.out += b"T" if obj else b"F"


def _int(encoder: _Encoder, obj: int) -> None:
    encoder.out += b"i%d;" % obj


def _float(encoder: _Encoder, obj: float) -> None:
    encoder.out += b"f" + _DOUBLE.pack(obj)


def _complex(encoder: _Encoder, obj: complex) -> None:
    encoder.out += b"j" + _DOUBLE.pack(obj.real) + _DOUBLE.pack(obj.imag)


def _str(encoder: _Encoder, obj: str) -> None:
    encoder.sized(b"s", obj.encode("utf-8", "surrogatepass"))


def _bytes(encoder: _Encoder, obj: bytes) -> None:
    encoder.sized(b"b", obj)


def _bytearray(encoder: _Encoder, obj: bytearray) -> None:
    encoder.sized(b"B", obj)


def _ellipsis(encoder: _Encoder, obj: Any) -> None:
    encoder.out += b"."


_ENCODERS: dict[type, Callable[[_Encoder, Any], None]] = {
    type(None): _none, bool: _bool, int: _int, float: _float, complex: _complex, str: _str,
    bytes: _bytes, bytearray: _bytearray, type(...): _ellipsis,
    list: lambda encoder, obj: encoder.sequence(b"[", obj),
    tuple: lambda encoder, obj: encoder.sequence(b"(", obj),
    dict: _Encoder.mapping,
    set: lambda encoder, obj: encoder.unordered(b"<", obj),
    frozenset: lambda encoder, obj: encoder.unordered(b">", obj),
}


# --- numpy and pandas, when the program uses them ------------------------------------------------


def _encode_numpy(encoder: _Encoder, obj: Any) -> bool:
    numpy = sys.modules.get("numpy")
    if numpy is None:
        return False
    if type(obj) is numpy.ndarray:
        _array(encoder, obj, numpy)
        return True
    if isinstance(obj, numpy.generic):
        encoder.out += b"g"
        _array(encoder, numpy.asarray(obj), numpy)
        return True
    return False


def _array(encoder: _Encoder, array: Any, numpy: Any) -> None:
    """An array by its dtype, its shape and its items in C order."""
    dtype = array.dtype
    descriptor = repr(dtype.descr) if dtype.names is not None or dtype.subdtype else dtype.str
    encoder.out += b"a" + descriptor.encode() + b"\0"
    encoder.out += b"%r;" % (array.shape,)
    if dtype.hasobject:
        encoder.value(array.tolist())
        return
    if not array.flags.c_contiguous:
        array = numpy.ascontiguousarray(array)
    encoder.sized(b"d", array.reshape(-1).view(numpy.uint8).data)


def _encode_pandas(encoder: _Encoder, obj: Any) -> bool:
    pandas = sys.modules.get("pandas")
    numpy = sys.modules.get("numpy")
    if pandas is None or numpy is None:
        return False
    kind = type(obj)
    if kind is pandas.DataFrame:
        encoder.out += b"pD"
        _index(encoder, obj.columns, pandas, numpy)
        _index(encoder, obj.index, pandas, numpy)
        for position in range(obj.shape[1]):
            _values(encoder, obj.iloc[:, position], pandas, numpy)
    elif kind is pandas.Series:
        encoder.out += b"pS"
        encoder.value(obj.name)
        _index(encoder, obj.index, pandas, numpy)
        _values(encoder, obj, pandas, numpy)
    elif isinstance(obj, pandas.Index) and kind.__module__.startswith("pandas"):
        _index(encoder, obj, pandas, numpy)
        return True
    else:
        return False
    encoder.value(dict(obj.attrs))
    return True


def _index(encoder: _Encoder, index: Any, pandas: Any, numpy: Any) -> None:
    encoder.out += b"pI" + type(index).__name__.encode() + b"\0"
    encoder.value(list(index.names))
    if isinstance(index, pandas.RangeIndex):
        encoder.value((index.start, index.stop, index.step))
    elif isinstance(index, pandas.MultiIndex):
        encoder.out += b"%d;" % index.nlevels
        for level in index.levels:
            _index(encoder, level, pandas, numpy)
        for codes in index.codes:
            _array(encoder, numpy.asarray(codes), numpy)
    else:
        _values(encoder, index, pandas, numpy)


def _values(encoder: _Encoder, values: Any, pandas: Any, numpy: Any) -> None:
    """The values of a Series or an Index, with their dtype."""
    dtype = values.dtype
    encoder.sized(b"t", str(dtype).encode())
    if isinstance(dtype, numpy.dtype):
        _array(encoder, values.to_numpy(), numpy)
    elif isinstance(dtype, pandas.CategoricalDtype):
        _index(encoder, dtype.categories, pandas, numpy)
        encoder.value(dtype.ordered)
        codes = values.cat.codes if isinstance(values, pandas.Series) else values.codes
        _array(encoder, numpy.asarray(codes), numpy)
    else:
        encoder.pickled(values.array, type(values.array))


# --- a run's keys --------------------------------------------------------------------------


class Keyer:
    """Makes the keys of one run, and remembers for the run what does not change during it:
    each function's identity, the own part of every function and class, and the digest of
    every global value."""

    def __init__(self) -> None:
        # id -> (the object, kept alive so that its id stays its own; what was made of it)
        self._identities: dict[int, tuple[Any, bytes]] = {}
        self._own_parts: dict[int, tuple[Any, bytes, tuple[Any, ...]]] = {}
        self._globals: dict[int, tuple[Any, bytes, tuple[Any, ...]]] = {}
        self._codes: dict[int, tuple[Any, bytes, frozenset[str], frozenset[str]]] = {}

    def node_prefix(self, function: Any, inputs: Any, outputs: Any) -> bytes:
        """The part of a node's keys that its inputs' values leave out. Raises Unkeyable."""
        try:
            identity = self.identity(function)
        except Unkeyable as error:
            raise Unkeyable(f"its function cannot be keyed: {error}") from None
        except RecursionError:
            raise Unkeyable("its function cannot be keyed: it is nested too deeply") from None
        hash_ = new_hash()
        hash_.update(KEY_FORMAT + identity)
        try:  # pairs of str, which their pickle gives exactly
            hash_.update(pickle.dumps((tuple(inputs), tuple(outputs)), protocol=5))
        except Exception as error:
            raise Unkeyable(f"its mappings cannot be keyed: {error}") from None
        return hash_.digest()

    def key(self, prefix: bytes, values: dict[str, Any]) -> bytes:
        """The key of a node whose prefix is `prefix` with these inputs. Raises Unkeyable."""
        encoder = _Encoder(self)
        encoder.out += prefix
        for name, value in values.items():
            encoder.value(name)
            try:
                encoder.value(value)
            except Unkeyable as error:
                raise Unkeyable(f"input {name!r} cannot be keyed: {error}") from None
            except RecursionError:
                raise Unkeyable(f"input {name!r} cannot be keyed: it is nested too deeply"
                                ) from None
            except Exception as error:  # a value whose own methods fail while it is read
                raise Unkeyable(f"input {name!r} cannot be keyed: "
                                f"{type(error).__name__}: {error}") from None
        return encoder.digest()

    def identity(self, function: Any) -> bytes:
        """The digest of a function's own part and of those of everything it reaches."""
        known = self._identities.get(id(function))
        if known is not None and known[0] is function:
            return known[1]
        own, refs = self._own_part(function)
        reached: dict[int, bytes] = {id(function): own}
        todo = list(refs)
        while todo:
            other = todo.pop()
            if id(other) in reached:
                continue
            digest, more = self._own_part(other)
            reached[id(other)] = digest
            todo.extend(more)
        hash_ = new_hash()
        hash_.update(b"identity\0" + own)
        for digest in sorted(reached.values()):
            hash_.update(digest)
        identity = hash_.digest()
        self._identities[id(function)] = (function, identity)
        return identity

    def _own_part(self, obj: Any) -> tuple[bytes, tuple[Any, ...]]:
        known = self._own_parts.get(id(obj))
        if known is not None and known[0] is obj:
            return known[1], known[2]
        refs: list[Any] = []
        encoder = _Encoder(self, refs, lenient=True)
        if isinstance(obj, types.FunctionType) and _is_user_code(obj):
            _function_part(encoder, obj, self)
        elif isinstance(obj, type) and _is_user_code(obj):
            _class_part(encoder, obj)
        else:  # a callable object, a method, a partial, a library function
            encoder.out += b"V"
            encoder.value(obj)
        made = (encoder.digest(), tuple(refs))
        self._own_parts[id(obj)] = (obj, *made)
        return made

    def global_digest(self, obj: Any) -> tuple[bytes, tuple[Any, ...]]:
        """A global value's digest, and the user functions and classes it refers to."""
        known = self._globals.get(id(obj))
        if known is not None and known[0] is obj:
            return known[1], known[2]
        refs: list[Any] = []
        encoder = _Encoder(self, refs, lenient=True)
        encoder.value(obj)
        made = (encoder.digest(), tuple(refs))
        self._globals[id(obj)] = (obj, *made)
        return made

    def code_digest(self, code: types.CodeType) -> bytes:
        return self._code(code)[0]

    def code_names(self, code: types.CodeType) -> frozenset[str]:
        """Every name that the code and the code nested in it read from globals or as
        attributes: the two are not told apart."""
        return self._code(code)[1]

    def global_names(self, code: types.CodeType) -> frozenset[str]:
        """The names that the code and the code nested in it look up in its globals. Only
        those: a function that cloudpickle carries by value gets only those globals, and its
        key must be the one it has where it was made."""
        return self._code(code)[2]

    def _code(self, code: types.CodeType) -> tuple[bytes, frozenset[str], frozenset[str]]:
        known = self._codes.get(id(code))
        if known is not None and known[0] is code:
            return known[1], known[2], known[3]
        encoder = _Encoder(self)
        names = set(code.co_names)
        global_names = {instruction.argval for instruction in dis.get_instructions(code)
                        if instruction.opname in _GLOBAL_OPS}
        # Not its file or line numbers: moving a function does not change what it does.
        encoder.value((code.co_name, code.co_argcount, code.co_posonlyargcount,
                       code.co_kwonlyargcount, code.co_flags, code.co_code, code.co_names,
                       code.co_varnames, code.co_freevars, code.co_cellvars,
                       getattr(code, "co_exceptiontable", b"")))
        for constant in code.co_consts:
            if isinstance(constant, types.CodeType):
                digest, nested, nested_globals = self._code(constant)
                encoder.out += b"c" + digest
                names |= nested
                global_names |= nested_globals
            else:
                encoder.value(constant)
        made = (encoder.digest(), frozenset(names), frozenset(global_names))
        self._codes[id(code)] = (code, *made)
        return made


def _function_part(encoder: _Encoder, function: types.FunctionType, keyer: Keyer) -> None:
    code = function.__code__
    names = keyer.code_names(code)
    encoder.out += b"F" + keyer.code_digest(code)
    parts: list[tuple[str, Callable[[], None]]] = [
        ("its defaults", lambda: encoder.global_value(function.__defaults__)),
        ("its keyword defaults", lambda: encoder.global_value(function.__kwdefaults__)),
        ("its attributes", lambda: encoder.global_value(dict(vars(function)) or None)),
    ]
    for name, cell in zip(code.co_freevars, function.__closure__ or ()):
        parts.append((f"closure value {name!r}", functools.partial(_cell, encoder, cell, names)))
    namespace = function.__globals__
    for name in sorted(keyer.global_names(code)):
        if name in namespace:
            parts.append((f"global {name!r}", functools.partial(
                _global, encoder, name, namespace[name], names)))
    for what, encode in parts:
        try:
            encode()
        except Unkeyable as error:
            raise Unkeyable(f"{function.__module__}.{function.__qualname__}: {what}: {error}"
                            ) from None


def _cell(encoder: _Encoder, cell: Any, names: frozenset[str]) -> None:
    try:
        contents = cell.cell_contents
    except ValueError:  # a cell not yet filled
        encoder.out += b"e"
    else:
        encoder.out += b"v"
        encoder.global_value(contents, names)


def _global(encoder: _Encoder, name: str, value: Any, names: frozenset[str]) -> None:
    encoder.out += b"g" + name.encode("utf-8", "surrogatepass") + b"="
    encoder.global_value(value, names)


def _class_part(encoder: _Encoder, kind: type) -> None:
    encoder.out += b"C" + _full_name(kind)
    for base in kind.__bases__:
        encoder.routine(base)
    for name, attribute in sorted(vars(kind).items()):
        if name in _SKIPPED_CLASS_ATTRIBUTES:
            continue
        encoder.out += b"a" + name.encode("utf-8", "surrogatepass") + b"="
        # Marks no value's encoding starts with.
        if isinstance(attribute, (staticmethod, classmethod)):
            encoder.out += b"!s" if isinstance(attribute, staticmethod) else b"!c"
            attribute = attribute.__func__
        elif isinstance(attribute, property):
            encoder.out += b"!p"
            attribute = (attribute.fget, attribute.fset, attribute.fdel)
        encoder.global_value(attribute)


__all__ = ["CHUNK", "KEY_FORMAT", "Keyer", "Unkeyable", "is_user_module", "module_version"]
