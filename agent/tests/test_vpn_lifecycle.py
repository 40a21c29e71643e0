"""vpn_start/vpn_stop with a stand-in openvpn that never opens its management
port: the GoogleTest program runs inside a router root, where it may write the
agent's /tmp files."""


def test_vpn_lifecycle_in_router_root(router_root):
    router_root.run_gtest("telvsdk_vpn_root_tests")
