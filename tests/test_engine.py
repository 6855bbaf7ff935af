"""The engine: callbacks replaced during a run, names shared with events, arguments
checked before the run, trigger conditions that fail, and each run's remote timeout."""

import threading
from contextlib import closing

import pytest

from sorvane_core.graph import Application, Infrastructure
from sorvane_core.placement import Placement
from sorvane_core.remote.timeouts import remote_timeout
from sorvane_core.simulation import Simulator
from sorvane_core.workflow.callbacks.callback import SorvaneCallback


class Value(SorvaneCallback):
    """Returns ``fn(event)``."""

    def __init__(self, name, fn=lambda ev: ev.data["tick"], **kwargs):
        super().__init__(name, report=None, **kwargs)
        self.fn = fn

    def __call__(self, event):
        return self.fn(event)


def world():
    infr = Infrastructure("dc")
    infr.add_nodes_from(["a", "b"])
    app = Application("web")
    app.add_service("s")
    return infr, [Placement(app, infr, {"s": "a"})]


@pytest.mark.parametrize("replace", [
    lambda sim, new: sim.callbacks.__setitem__(0, new),
    lambda sim, new: setattr(sim, "callbacks", [new]),
    lambda sim, new: (sim.callbacks.pop(), sim.callbacks.append(new)),
], ids=["item", "list", "pop-append"])
def test_a_callback_replaced_between_steps_takes_over_and_is_checked(replace):
    sim = Simulator(*world(), [Value("old", lambda ev: "old")])
    steps = sim.iter(3)
    assert next(steps)["data"] == {"old": "old"}
    replace(sim, Value("new", lambda ev: "new"))
    assert next(steps)["data"] == {"new": "new"}
    replace(sim, Value("tick"))  # checked as any callback is: a name the event has
    with pytest.raises(ValueError, match="callback 'tick' has the name of the simulator's"):
        next(steps)


@pytest.mark.parametrize("make, match", [
    (lambda: [Value("tick")], "callback 'tick' has the name of the simulator's 'tick' event"),
    (lambda: [Value("end")], "callback 'end' has the name of the simulator's 'end' event"),
    (lambda: [Value("load", triggers={"overload": bool}), Value("overload")],
     "callback 'overload' has the name of an event that callback 'load' triggers"),
], ids=["tick", "end", "triggered"])
def test_callbacks_and_events_share_one_namespace(make, match):
    with pytest.raises(ValueError, match=match):
        Simulator(*world(), make())


@pytest.mark.parametrize("kwargs, match", [
    ({"activates_every_n": {"tick": 0}}, "period 0 for 'tick'; a period is a whole number"),
    ({"activates_every_n": {"tick": -2}}, "period -2 for 'tick'"),
    ({"activates_every_n": {"tick": 1.5}}, "period 1.5 for 'tick'"),
    ({"activates_every_n": {"tick": True}}, "period True for 'tick'"),
    ({"activates_every_n": 3}, "activates_every_n=3; expected a dict from trigger name to period"),
    ({"activates_on": ["tick", "end"], "activates_every_n": {"tick": 2}},
     "listens to \\['end'\\] but activates_every_n gives no period for it"),
    ({"triggers": ["stop"]}, "triggers=\\['stop'\\]; expected a dict from event name"),
    ({"triggers": {"stop": 3}}, "triggers 'stop' on 3, which is not callable"),
])
def test_callback_arguments_are_checked_before_the_run(kwargs, match):
    ran = []
    cb = Value("load", lambda ev: ran.append(1), **kwargs)
    with pytest.raises(ValueError, match=f"callback 'load' .*{match}|callback 'load' {match}"):
        Simulator(*world(), [cb])
    assert ran == []


def test_a_class_given_instead_of_an_instance_is_named():
    with pytest.raises(ValueError, match="the callbacks hold the class 'Value' itself; give an "
                                         "instance of it instead"):
        Simulator(*world(), [Value])


class Condition:
    def __call__(self, data):
        raise ZeroDivisionError("no capacity")


@pytest.mark.parametrize("condition, trigger", [
    (lambda data: 1 / 0, "'overload'"),
    (Condition(), "'overload'"),
])
def test_a_trigger_condition_that_raises_is_named(condition, trigger):
    cb = Value("load", triggers={"alarm": lambda d: False, "overload": condition})
    with pytest.raises(ZeroDivisionError) as raised:
        Simulator(*world(), [cb]).run(1)
    assert raised.value.__notes__ == [
        f"raised by the condition of trigger {trigger} of callback 'load'"]


def test_results_without_history_or_reports_say_why():
    sim = Simulator(*world(), [Value("load")], history=False)
    sim.run(2)
    with pytest.raises(ValueError, match="no results of callback 'load': the last run wrote no "
                                         "reports .* and kept no history"):
        sim.results("load")


class Timeout(SorvaneCallback):
    """Records the remote timeout in force while it runs."""

    def __init__(self):
        super().__init__("timeout", report=None)
        self.seen = []

    def __call__(self, event):
        self.seen.append(remote_timeout())


def emulated(timeout):
    """A simulator in emulation mode whose run needs no Ray: no placed application."""
    infr, _ = world()
    return Simulator(infr, [], [Timeout()], mode="emulation", remote_timeout=timeout)


def test_each_run_keeps_its_own_remote_timeout(monkeypatch):
    from sorvane_core.simulation import _emulation

    monkeypatch.setattr(_emulation.Emulation, "start", lambda self, *a: None)
    monkeypatch.setattr(_emulation.Emulation, "close", lambda self, error=None: [])
    first, second = emulated(5.0), emulated(7.0)
    with closing(first.iter(3)) as a, closing(second.iter(3)) as b:
        for _ in range(3):  # stepped in turn
            next(a)
            next(b)
    assert remote_timeout() is None  # nothing leaks into the caller
    other = emulated(9.0)
    thread = threading.Thread(target=lambda: other.run(2))
    thread.start()
    with closing(first.iter(2)) as a:
        list(a)
    thread.join()
    assert first.callbacks[0].seen == [5.0] * 5
    assert second.callbacks[0].seen == [7.0] * 3 and other.callbacks[0].seen == [9.0] * 2
