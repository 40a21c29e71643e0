import pytest

from routerroot import binary


@pytest.fixture
def board(router_root):
    """A router root with the segment's key file and databoard on the PATH."""
    r = router_root
    r.write("/share/shmcommon", "")
    r.install(binary("databoard"), "/usr/sbin/databoard")
    return r
