"""Plain-Python twins of the native modules, for the tests that run against both.

``import twins.callback`` gives a twin under its own name, beside the native module (the
differential tests); ``install()`` puts both twins in place of the native modules, under
their names, before any test imports them (``pytest --twin``).
"""

import importlib
import importlib.util
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent

NATIVE = {
    "callback": "sorvane_core.workflow.callbacks.callback",
    "rovel": "sorvane_core.simulation._simulator.rovel",
    "routes": "sorvane_core.models._routes",
}


def install() -> None:
    """Loads each twin under the name of its native module, in its place."""
    for twin, name in NATIVE.items():
        if name in sys.modules:
            raise RuntimeError(f"{name} was imported before the twins could replace it")
        spec = importlib.util.spec_from_file_location(name, HERE / f"{twin}.py")
        assert spec is not None and spec.loader is not None
        module = importlib.util.module_from_spec(spec)
        sys.modules[name] = module
        spec.loader.exec_module(module)
        package, _, attr = name.rpartition(".")
        setattr(importlib.import_module(package), attr, module)
