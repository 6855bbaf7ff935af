"""Shared fixtures."""

from collections.abc import Iterator

import pytest
import ray


@pytest.fixture(scope="session")
def ray_session() -> Iterator[None]:
    """A local Ray for the whole session, for the tests that need it."""
    if not ray.is_initialized():
        ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False)
    yield
    ray.shutdown()


def pytest_addoption(parser: pytest.Parser) -> None:
    parser.addoption("--twin", action="store_true",
                     help="run against the plain-Python twins of the native modules (tests/twins)")


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line("markers", "native_only: checks what only the native modules have")
    if config.getoption("--twin"):
        import twins

        twins.install()


def pytest_collection_modifyitems(config: pytest.Config, items: list[pytest.Item]) -> None:
    """Mark the tests that use Ray, so that a run can leave them out (-m "not ray"). With
    --twin, leave out those and the native-only ones: Ray's workers would load the native
    modules under the twins' names."""
    twin = config.getoption("--twin")
    for item in items:
        if "ray_session" in getattr(item, "fixturenames", ()):
            item.add_marker(pytest.mark.ray)
        if twin and ("ray_session" in getattr(item, "fixturenames", ())
                     or item.get_closest_marker("native_only")):
            item.add_marker(pytest.mark.skip(reason="native modules only"))
