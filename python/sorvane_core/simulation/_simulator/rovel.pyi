"""Module for the RemoteSimRovel class. It is responsible for handling the
operations on the remote nodes.

It can to deploy, start, stop and undeploy services on the remote nodes.
"""

from typing import TYPE_CHECKING, List, Tuple, cast

import ray

from sorvane_core.remote.utils import RemoteOps, ResponseCode, ray_get

if TYPE_CHECKING:
    from sorvane_core.placement import Placement
    from sorvane_core.remote._node import RemoteNode
    from sorvane_core.remote.service import Service

class RemoteSimRovel:
    """A RemoteSimRovel performs the operations on the remote nodes.

    Available operations are: deploy, start, stop and undeploy.
    """

    @staticmethod
    def deploy(placement: Placement) -> None: ...
    @staticmethod
    def start(placement: Placement) -> None: ...
    @staticmethod
    def stop(placement: Placement) -> None: ...
    @staticmethod
    def undeploy(placement: Placement) -> None: ...
    @staticmethod
    def _get_remotes(placement: Placement) -> List[Tuple[RemoteNode, Service]]: ...

def _handle_error(response_codes: List[ResponseCode]) -> None: ...
