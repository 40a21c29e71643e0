"""vpn_start/vpn_stop with a stand-in openvpn that never opens its management
port: the GoogleTest program runs inside a router root, where it may write the
agent's /tmp files."""

from routerroot import binary


def test_vpn_lifecycle_in_router_root(router_root):
    r = router_root
    res = r.run([str(binary("telvsdk_vpn_root_tests"))], env={"RT_IN_ROUTER_ROOT": "1"},
                timeout=120)
    assert res.rc == 0, res.stdout[-6000:] + res.stderr[-2000:]
    assert "[  PASSED  ]" in res.stdout
    assert "SKIPPED" not in res.stdout
