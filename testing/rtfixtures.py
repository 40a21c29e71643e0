"""pytest plugin: the router_root fixture and helpers shared by all process tests."""

import pytest

from routerroot import RouterRoot, binary  # noqa: F401  (re-exported for tests)


@pytest.fixture
def router_root(tmp_path):
    root = RouterRoot(tmp_path / "root")
    root.standin("/usr/sbin/uci", name="uci")
    root.standin("/usr/bin/logger")
    try:
        yield root
    finally:
        root.close()
