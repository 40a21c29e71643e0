"""The agent's injection tests that run commands for real: the GoogleTest
program telvsdk_injection_root_tests inside a router root, with recorders in
place of sscep and openssl (PATH finds /usr/local/bin first)."""

from routerroot import binary


def test_scep_steps_and_device_files_in_router_root(router_root):
    r = router_root
    r.standin("/usr/bin/sscep")
    r.standin("/usr/local/bin/openssl")
    res = r.run([str(binary("telvsdk_injection_root_tests"))], env={"RT_IN_ROUTER_ROOT": "1"},
                timeout=120)
    assert res.rc == 0, res.stdout[-6000:] + res.stderr[-2000:]
    assert "[  PASSED  ]" in res.stdout
    assert "SKIPPED" not in res.stdout
    assert not r.exists("/tmp/CANARY")
