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


def pytest_collection_modifyitems(items: list[pytest.Item]) -> None:
    """Mark the tests that use Ray, so that a run can leave them out (-m "not ray")."""
    for item in items:
        if "ray_session" in getattr(item, "fixturenames", ()):
            item.add_marker(pytest.mark.ray)
