"""Callbacks of the simulation.

A callback is a named function that is called at every simulation tick or at
the end of the simulation. It is passed the placements of the applications,
the infrastructure on which they are placed and the placement view at the
current tick, and the value it returns can be used to stop the simulation.
According to its ``callback_type``, a callback returns a value on the state of
the simulation ("simulation"), for each application ("application"), for the
infrastructure ("infrastructure"), for each service of each application
("service"), for each interaction of each application ("interaction"), for
each node ("node") or for each link ("link").
"""

from collections import defaultdict as defaultdict
from typing import (
    TYPE_CHECKING as TYPE_CHECKING,
    Any as Any,
    Callable as Callable,
    Dict as Dict,
    List as List,
    Optional as Optional,
    Union as Union,
)

import ray as ray

from sorvane_core.graph import Infrastructure
from sorvane_core.placement import Placement, PlacementView
from sorvane_core.remote.utils import ray_get as ray_get
from sorvane_core.utils.types import CallbackType as CallbackType
from sorvane_core.workflow.events import SorvaneEvent as SorvaneEvent

class SorvaneCallback:
    """A callback object that is called at every simulation tick or at the end of the
    simulation."""

    _name: str
    _type: Optional[Union[CallbackType, str]]
    _activates_on: Union[str, List[str]]
    _activates_every_n: Dict[str, int]
    _triggers: Dict[str, Callable[..., Any]]
    _remote: bool
    _report: List[str]
    _n_calls: Dict[str, int]
    _activated_by: Optional[str]
    _data: Any

    def __init__(
        self,
        name: str,
        callback_type: Optional[Union[CallbackType, str]] = None,
        activates_on: Union[str, List[str]] = "tick",
        activates_every_n: Optional[Dict[str, int]] = None,
        triggers: Optional[Dict[str, Callable[..., Any]]] = None,
        report: Optional[Union[str, List[str]]] = "csv",
        remote: bool = False,
    ) -> None: ...
    def __call__(self, *args: Any, **kwargs: Any) -> Any: ...
    def _call(self, trigger_obj: Union[SorvaneEvent, SorvaneCallback]) -> None: ...
    def _call_by_type(self, trigger_obj: Union[SorvaneEvent, SorvaneCallback]) -> Any: ...
    def _triggered_events(self) -> List[str]: ...
    @property
    def name(self) -> str: ...
    @property
    def n_calls(self) -> Dict[str, int]: ...
    @property
    def data(self) -> Any: ...
    @property
    def type(self) -> Optional[Union[CallbackType, str]]: ...
    @property
    def activates_on(self) -> Union[List[str]]: ...
    @property
    def activated_by(self) -> Optional[str]: ...
    @activated_by.setter
    def activated_by(self, value: Optional[str]) -> None: ...
    @property
    def report_types(self) -> List[str]: ...
    @property
    def remote(self) -> bool: ...

def _application_fn(
    fn: Callable[..., Any],
    placements: Dict[str, Placement],
    infr: Infrastructure,
    **event_data: Any,
) -> Dict[Any, Any]: ...
def _service_fn(
    fn: Callable[..., Any],
    placements: Dict[str, Placement],
    infr: Infrastructure,
    **event_data: Any,
) -> Dict[Any, Dict[Any, Any]]: ...
def _remote_service_fn(
    fn: Callable[..., Any],
    placements: Dict[str, Placement],
    infr: Infrastructure,
    **event_data: Any,
) -> Dict[Any, Dict[Any, Any]]: ...
def _interaction_fn(
    fn: Callable[..., Any],
    placements: Dict[str, Placement],
    infr: Infrastructure,
    **event_data: Any,
) -> Dict[Any, Dict[str, Any]]: ...
def _infrastructure_fn(
    fn: Callable[..., Any], infr: Infrastructure, placement_view: PlacementView, **event_data: Any
) -> Any: ...
def _node_fn(
    fn: Callable[..., Any],
    placements: Dict[str, Placement],
    infr: Infrastructure,
    placement_view: PlacementView,
    **event_data: Any,
) -> Dict[Any, Any]: ...
def _remote_node_fn(
    fn: Callable[..., Any],
    infr: Infrastructure,
    **event_data: Any,
) -> Dict[Any, Any]: ...
def _link_fn(
    fn: Callable[..., Any],
    placements: Dict[str, Placement],
    infr: Infrastructure,
    placement_view: PlacementView,
    **event_data: Any,
) -> Dict[str, Any]: ...
