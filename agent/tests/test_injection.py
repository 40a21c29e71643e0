"""The agent's injection tests that run commands for real: the GoogleTest
program telvsdk_injection_root_tests inside a router root, with recorders in
place of sscep and openssl (PATH finds /usr/local/bin first)."""


def test_scep_steps_and_device_files_in_router_root(router_root):
    r = router_root
    r.standin("/usr/bin/sscep")
    r.standin("/usr/local/bin/openssl")
    r.run_gtest("telvsdk_injection_root_tests")
    assert not r.exists("/tmp/CANARY")
