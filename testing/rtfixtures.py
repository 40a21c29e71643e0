"""pytest plugin: the router_root fixture and helpers shared by all process tests."""

import pytest

from routerroot import RouterRoot, binary, new_root  # noqa: F401  (re-exported for tests)


@pytest.fixture
def router_root(tmp_path):
    root = new_root(tmp_path / "root")
    try:
        yield root
    finally:
        root.close()
