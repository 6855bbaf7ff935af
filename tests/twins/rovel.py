"""The rovel module written in plain Python: what the native module does, read for read.

Like tests/twins/callback.py, the twin of the native module for the tests that run
against both (``pytest --twin``) and for the differential test; it spells out the
departures of the native module too (docs/design.md, "Departures"): an operation whose
nodes partly fail keeps what the others did and says which services failed, an empty
undeploy passes, and a service handed back as None is not written back.
"""

from typing import TYPE_CHECKING, List, Tuple, cast

import ray

from sorvane_core.remote.utils import RemoteOps, ResponseCode, ray_get

# Bound once, when the module loads: rebinding the built-ins later does not reach them.
_zip, _ValueError = zip, ValueError


class RemoteSimRovel:
    """A RemoteSimRovel performs the operations on the remote nodes.

    Available operations are: deploy, start, stop and undeploy.
    """

    @staticmethod
    def deploy(placement):
        _check(placement, *_perform(placement, "DEPLOY", True))
        placement._deployed = True

    @staticmethod
    def start(placement):
        _check(placement, *_perform(placement, "START", False))

    @staticmethod
    def stop(placement):
        _check(placement, *_perform(placement, "STOP", False))

    @staticmethod
    def undeploy(placement):
        work, results = _perform(placement, "UNDEPLOY", False)
        args = _star_args(results)
        if not args:
            # zip() yields no rows: nothing was undeployed, and nothing failed.
            codes, new_services = (), ()
        else:
            codes, new_services = _zip(*args)
        try:
            _handle_error(cast(List[ResponseCode], codes))
        except ValueError as exc:
            # What the other nodes removed is gone from them: keep its last state.
            try:
                _store(placement, codes, new_services, successes_only=True)
            except BaseException as lost:
                try:
                    exc.add_note("storing the services that the other nodes handed back "
                                 f"failed: {lost!r}")
                except BaseException:
                    pass
            _tell_failures(placement, exc, work, codes)
            raise
        _store(placement, codes, new_services, successes_only=False)
        placement._deployed = False

    @staticmethod
    def _get_remotes(placement):
        remotes = []
        for service_id in placement.application.services:
            node_name = placement.service_placement(service_id)
            node = ray.get_actor(f"{placement.infrastructure.id}/{node_name}")
            service = placement.application.services[service_id]
            remotes.append((node, service))
        return remotes


def _handle_error(response_codes):
    for code in response_codes:
        if code == ResponseCode.ERROR:
            raise _ValueError(f"Error in the operation: {response_codes}")


def _perform(placement, member, with_service):
    """Submits the operation for every (node, service) of the work list and waits for all
    the answers: (the work list, the answers)."""
    get = ray_get
    refs = []
    work = RemoteSimRovel._get_remotes(placement)
    for node, service in work:
        if with_service:
            ref = node.ops_entrypoint.remote(getattr(RemoteOps, member), service_id=service.id,
                                             service=service)
        else:
            ref = node.ops_entrypoint.remote(getattr(RemoteOps, member), service_id=service.id)
        refs.append(ref)
    return work, get(refs)


def _check(placement, work, results):
    try:
        _handle_error(results)
    except ValueError as exc:
        _tell_failures(placement, exc, work, results)
        raise


def _tell_failures(placement, exc, work, codes):
    """Adds to the ValueError the services that failed, by node; what goes wrong on the
    way is left out."""
    try:
        entries, answers = tuple(work), tuple(codes)
        failed, lines = {}, []
        for entry, code in _zip(entries, answers):
            if not code == ResponseCode.ERROR:
                continue
            node, service = entry
            service_id = service.id
            node_name = placement.service_placement(service_id)
            failed.setdefault(node_name, []).append(service_id)
            lines.append(f"service {service_id!r} on node {node_name!r}")
        note = "failed: " + ", ".join(lines)
        exc.failed = failed
        try:
            exc.add_note(note)
        except BaseException:
            pass
    except BaseException:
        pass


def _star_args(results):
    """The positional arguments of zip(*results), with the interpreter's error when results
    is not iterable."""
    if type(results) is tuple:
        return results
    cls = type(results)
    if getattr(cls, "__iter__", None) is None and not (
            hasattr(cls, "__getitem__") and not issubclass(cls, dict)):
        _zip(*results)  # raises the interpreter's own TypeError
    return tuple(results)


def _store(placement, codes, new_services, successes_only):
    """Stores each service a node handed back under its own id (with `successes_only`, each
    whose code is not the error code); None, a service the node no longer held, is skipped."""
    code_iter = iter(codes) if successes_only else None
    for new_service in new_services:
        if successes_only:
            code = next(code_iter, _MISSING)
            if code is _MISSING or code == ResponseCode.ERROR:
                continue
        if new_service is None:
            continue
        placement.application.services[new_service.id] = new_service


_MISSING = object()
