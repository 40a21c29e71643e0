import shlex

import pytest

from routerroot import binary


class Platform:
    """Calls the platform stand-in through the probe program in a router root."""

    def __init__(self, root):
        self.r = root
        self.probe = str(binary("platform_probe"))

    def call(self, *args, env=None):
        res = self.r.run([self.probe] + [str(a) for a in args], env=env)
        assert res.rc == 0, res
        out = dict(line.split("=", 1) for line in res.stdout.splitlines())
        return out

    def rc(self, *args, env=None):
        return int(self.call(*args, env=env)["rc"])

    def answers(self, text, folder="/tmp/platform"):
        self.r.write(f"{folder}/answers", text)

    def calls(self, folder="/tmp/platform"):
        path = f"{folder}/calls.log"
        if not self.r.exists(path):
            return []
        return [shlex.split(line) for line in self.r.read(path).splitlines()]


@pytest.fixture
def platform(router_root):
    return Platform(router_root)
