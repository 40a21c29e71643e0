"""The world of the agent's benchmarks, set up and torn down in one place: a
throwaway CA, the development portal, a local OpenVPN server, a router root
prepared for the agent and telvsdkd running in it with its heartbeat up, all
on 127.0.0.1. Nothing on the host is changed; the work folder goes at the end.
"""

import contextlib
import os
import shutil
import sys
import tempfile
from pathlib import Path
from types import SimpleNamespace

SOURCE = Path(__file__).resolve().parent.parent.parent


def use_build(build) -> Path:
    """Makes the test helpers (testing/, agent/tests/) importable and points
    them at the programs of the build folder."""
    build = Path(build).resolve()
    os.environ["RT_BUILD"] = str(build)
    os.environ["RT_SOURCE"] = str(SOURCE)
    sys.path[:0] = [str(SOURCE / "testing"), str(SOURCE / "agent" / "tests")]
    return build


@contextlib.contextmanager
def agent_world(build, prefix: str, *portal_args: str, vpn: bool = True, tls_auth: bool = False,
                **config):
    """Yields the world (work, certs, portal, server, root, agent) once the
    agent's heartbeat is up. With vpn the portal offers the local OpenVPN
    server (with a tls-auth key when asked, see vpn_env.offer_vpn); config
    adds or overrides settings of the agent."""
    use_build(build)
    import routerroot
    import vpn_env
    from conftest import launch_agent, make_certs, prepare_agent_root, start_portal

    w = SimpleNamespace(work=Path(tempfile.mkdtemp(prefix=prefix)), server=None, portal=None,
                        root=None, agent=None)
    try:
        w.certs = make_certs(w.work / "certs")
        w.portal = start_portal(w.certs, w.work, *portal_args)
        w.root = prepare_agent_root(routerroot.new_root(w.work / "root"), w.certs)
        if vpn:
            cert, key = vpn_env.issue_cert(w.work / "vpn", w.certs / "ca.pem", w.certs / "ca.key",
                                           "vpnserver", "vpn.bench", server=True)
            ta = vpn_env.make_tls_auth_key(w.work / "vpn" / "ta.key") if tls_auth else None
            w.server = vpn_env.VpnServer(w.work, w.certs / "ca.pem", cert, key, tls_auth=ta).start()
            config = {**vpn_env.offer_vpn(w.root, w.portal, w.server, ta, "benchvpn"), **config}
        w.agent = launch_agent(w.root, w.portal, **config)
        w.root.wait_file("/tmp/hbs_status", 20, content="2")
        yield w
    finally:
        if w.root is not None:
            vpn_env.end_agent_and_openvpn(w.root, [w.agent] if w.agent else [])
            w.root.close()
        for peer in (w.portal, w.server):
            if peer is not None:
                peer.stop()
        shutil.rmtree(w.work, ignore_errors=True)
