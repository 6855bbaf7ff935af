"""Callbacks sent to the node actors by reference, once per activation.

A remote collector submits one call per service or node, and Ray would pickle the
callback (the ``self`` of the bound ``__call__`` it ships, and with a class that
travels by value, the code of ``__call__``) into every one of them, data of its
last activation included: bytes that grow with the callback and, per tick, with
the square of the number of services. While an emulation runs, the callbacks of
its remote classes and their bound methods are reduced to a reference: a
callback is pickled once per activation into the object store, and each call
carries only the reference and the method's name. An actor fetches and unpickles
a callback once per activation, and gives each call a shallow copy of it: the
callback as it was when the call was made, whose attributes a call may rebind
without the next call seeing it (objects that they refer to are shared among
the calls of one activation on one actor).
"""

from __future__ import annotations

import copy
import threading
from collections import OrderedDict
from collections.abc import Callable, Hashable, MutableMapping
from types import MethodType
from typing import Any

import ray

_dumps: Callable[[Any], bytes] = ray.cloudpickle.dumps
_loads: Callable[[bytes], Any] = ray.cloudpickle.loads

# Callbacks an actor fetched, by object reference: a few activations' worth.
_FETCHED: OrderedDict[bytes, Any] = OrderedDict()
_FETCHED_MAX = 16


def _new(cls: type, *args: Any) -> Any:
    return cls.__new__(cls, *args)


def _new_ex(cls: type, args: tuple[Any, ...], kwargs: dict[str, Any]) -> Any:
    return cls.__new__(cls, *args, **kwargs)


class _AsItself:
    """Pickles as the object it wraps would by default, not through the serializer
    registered for its class: how a callback itself is put in the object store."""

    __slots__ = ("obj",)

    def __init__(self, obj: Any) -> None:
        self.obj = obj

    def __reduce_ex__(self, protocol: Any) -> Any:
        reduced = self.obj.__reduce_ex__(protocol)
        # pickle checks that a __newobj__ call makes the object pickled, which is
        # this wrapper: the same call under another name passes.
        make = getattr(reduced[0], "__name__", None) if isinstance(reduced, tuple) else None
        if make == "__newobj__":
            return (_new, *reduced[1:])
        if make == "__newobj_ex__":
            return (_new_ex, *reduced[1:])
        return reduced


def receive(token: tuple[Any, Any]) -> Any:
    """Rebuild a callback on the receiving side."""
    ref, value = token
    if ref is None:  # inside another callback's snapshot: by value
        return value
    key = ref.binary()
    found = _FETCHED.get(key)
    if found is None:
        found = _FETCHED[key] = _loads(ray.get(ref))
        if len(_FETCHED) > _FETCHED_MAX:
            _FETCHED.popitem(last=False)
    # A call of its own: rebinding an attribute does not reach the next call.
    return copy.copy(found)


def receive_method(token: tuple[Any, Any], name: str) -> Any:
    """Rebuild a callback's bound method (its ``__call__``, as the collectors ship it)."""
    owner = receive(token)
    return MethodType(getattr(type(owner), name), owner)


def _fingerprint(cb: Any) -> Hashable:
    # Every _call adds to a count, activating or not: two activations never
    # share one, and within one activation nothing changes the callback.
    counts = getattr(cb, "n_calls", None)
    return tuple(counts.items()) if isinstance(counts, dict) else None


# The reducers by type of the pickler Ray serializes with: the table that
# ray.util.register_serializer fills. Bound methods are reduced there too, and
# whatever reducer a type had is put back when the run ends.
_DISPATCH: MutableMapping[type, Any] = ray.cloudpickle.CloudPickler.dispatch
_NONE = object()


class Shipper:
    """Reduces the callbacks of some classes, and their bound methods, to references."""

    def __init__(self) -> None:
        self._classes: set[type] = set()
        self._saved: dict[type, Any] = {}  # the reducers replaced, to put back
        # id -> (fingerprint, ref, callback)
        self._latest: dict[int, tuple[Hashable, Any, Any]] = {}
        self._local = threading.local()

    def register(self, classes: list[type]) -> None:
        for cls in [*classes, MethodType]:
            if cls not in self._saved:
                self._saved[cls] = _DISPATCH.get(cls, _NONE)
                _DISPATCH[cls] = self._reduce_method if cls is MethodType else self._reduce_callback
        self._classes.update(classes)

    def unregister(self) -> None:
        for cls, reducer in self._saved.items():
            if reducer is _NONE:
                _DISPATCH.pop(cls, None)
            else:
                _DISPATCH[cls] = reducer
        self._saved.clear()
        self._classes.clear()
        self._latest.clear()

    def _reduce_callback(self, cb: Any) -> tuple[Any, ...]:
        return receive, (self._token(cb),)

    def _reduce_method(self, method: Any) -> tuple[Any, ...]:
        owner, func = method.__self__, method.__func__
        name: str = func.__name__
        if (
            type(owner) in self._classes
            and not getattr(self._local, "by_value", False)
            and getattr(type(owner), name, None) is func
        ):
            return receive_method, (self._token(owner), name)
        return MethodType, (func, owner)  # as cloudpickle reduces any bound method

    def _token(self, cb: Any) -> tuple[Any, Any]:
        if getattr(self._local, "by_value", False):
            return None, _AsItself(cb)
        fingerprint = _fingerprint(cb)
        latest = self._latest.get(id(cb))
        if latest is None or latest[2] is not cb or latest[0] != fingerprint or fingerprint is None:
            self._local.by_value = True
            try:
                data = _dumps(_AsItself(cb))
            finally:
                self._local.by_value = False
            latest = self._latest[id(cb)] = (fingerprint, ray.put(data), cb)
        return latest[1], None
