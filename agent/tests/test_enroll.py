"""Certificate check and SCEP enrollment of telvsdkd in a router root: the real
openssl, the sscep stand-in enrolling with scepclient at a real scepserver
whose challenge password is the activation code, and the development portal
accepting the certificate that CA issued."""

import json
import subprocess

import pytest

from conftest import ACTIVATION_CODE, agent_log, start_portal, wait_log
from scep_env import ScepServer, make_ca
from poll import free_port

SCEP_CA = "/etc/telvsdk/scep-ca.pem"
SCEP_CNF = "/etc/telvsdk/scep.cnf"
SCEP_REQ = "/etc/telvsdk/device.csr"
CERT = "/etc/telvsdk/device.pem"
KEY = "/etc/telvsdk/device.key"
SCEP_LOG = "/var/log/telvsdk-scep.log"
REQUEST_CNF = (
    "[ req ]\n"
    "prompt = no\n"
    "distinguished_name = req_distinguished_name\n"
    "attributes = req_attributes\n"
    "\n"
    "[ req_distinguished_name ]\n"
    "O = Development Devices\n"
    "CN = UNSET0000000\n"
    "\n"
    "[ req_attributes ]\n"
    "challengePassword = unset\n")
EXIT_LINE = "Error in getting certificate via scep! Request could only be sent once or " \
            "check the 'reactivation' box in the web portal."
UBUS_DELETE = ["call", "service", "delete", '{"name":"novra"}']


@pytest.fixture(scope="session")
def scep_ca(tmp_path_factory):
    """The SCEP CA's depot (certificate and key), made once."""
    depot = tmp_path_factory.mktemp("scep-ca") / "depot"
    make_ca(depot)
    return depot


@pytest.fixture
def scep_server(scep_ca, tmp_path):
    server = ScepServer(tmp_path / "scep", scep_ca, ACTIVATION_CODE).start()
    try:
        yield server
    finally:
        server.stop()


@pytest.fixture
def portal(portal_certs, scep_ca, tmp_path):
    """The portal of conftest, accepting the devices the SCEP CA enrolled too."""
    p = start_portal(portal_certs, tmp_path, "--cdel", "1", "--sdel", "5",
                     "--client-ca", str(scep_ca / "ca.pem"))
    try:
        yield p
    finally:
        p.stop()


@pytest.fixture
def scep_root(agent_root, scep_server):
    """A router without a device certificate, with the sscep stand-in and a
    request configuration; r.url is the CA's, r.scep(form=...) sets the
    stand-in's CA form."""
    r = agent_root
    r.standin("/usr/bin/sscep", name="sscep")
    r.write(SCEP_CNF, REQUEST_CNF)
    r.url = scep_server.url
    r.ca = scep_server
    r.scep = lambda **settings: r.write("/tmp/standin/sscep.json", json.dumps(settings))
    return r


def enroll_config(r, **values):
    conf = {"TELVSDK_CFG_SSLCERT": CERT, "TELVSDK_CFG_SSLKEY": KEY,
            "TELVSDK_CFG_SCEP_SERVER_URL": r.url, "TELVSDK_CFG_SCEP_CA": SCEP_CA,
            "TELVSDK_CFG_SCEP_CNF": SCEP_CNF, "TELVSDK_CFG_SCEP_REQ": SCEP_REQ}
    conf.update(values)
    return conf


def common_name(root, path):
    out = subprocess.run(["openssl", "x509", "-noout", "-subject", "-nameopt", "multiline",
                          "-in", str(root.host(path))], capture_output=True, text=True, timeout=10)
    return [l.split("=", 1)[1].strip() for l in out.stdout.splitlines() if "commonName" in l]


def issued_by(root, path, ca: ScepServer) -> bool:
    return subprocess.run(["openssl", "verify", "-CAfile", str(ca.ca_pem), str(root.host(path))],
                          capture_output=True, timeout=10).returncode == 0


def test_enrolls_without_certificate_and_keeps_heartbeat(scep_root, portal, start_agent):
    r = scep_root
    p = start_agent(r, portal, **enroll_config(r))
    r.wait_file("/tmp/hbs_status", 60, content="2")
    out = p.wait_output(r"counter hbs_state", 10).string
    order = ["No valid certificate found. Will try to get one online via scep request...\n",
             f"Successfully received certificate with activation code : {ACTIVATION_CODE}\n",
             "telvsdk v0.22\n"]
    pos = [out.index(t) for t in order]
    assert pos == sorted(pos), out
    assert r.read("/tmp/code_status") == "0\n"
    # The request configuration carries the code, rewritten in place.
    assert r.read(SCEP_CNF) == REQUEST_CNF.replace("CN = UNSET0000000", f"CN ={ACTIVATION_CODE}") \
        .replace("challengePassword = unset", f"challengePassword ={ACTIVATION_CODE}")
    assert not r.exists(SCEP_CNF + "-new")
    assert r.calls("sscep") == [
        ["getca", "-u", r.url, "-c", SCEP_CA],
        ["enroll", "-u", r.url, "-E", "3des", "-S", "sha256", "-c", SCEP_CA, "-k", KEY,
         "-r", SCEP_REQ, "-l", CERT]]
    assert r.read(SCEP_CA) == r.ca.ca_pem.read_text()
    assert common_name(r, CERT) == [ACTIVATION_CODE] and issued_by(r, CERT, r.ca)
    # The portal saw the certificate of the SCEP CA on every request.
    assert {q["cn"] for q in portal.wait_requests(2, 10, kind=None)} == {ACTIVATION_CODE}
    log = agent_log(r)
    steps = [f"ERROR      No Certificate '{CERT}' with CommonName '' available",
             f"INFO       Reading scep request config. Inserting activation code {ACTIVATION_CODE}",
             f"INFO       /usr/bin/sscep getca -u {r.url} -c {SCEP_CA} >>{SCEP_LOG} 2>&1",
             f"INFO       openssl req -config {SCEP_CNF} -newkey rsa:4096 -keyout {KEY} "
             f"-out {SCEP_REQ} -nodes >>{SCEP_LOG} 2>&1",
             f"INFO       /usr/bin/sscep enroll -u {r.url} -E 3des -S sha256 -c {SCEP_CA} "
             f"-k {KEY} -r {SCEP_REQ} -l {CERT} >>{SCEP_LOG} 2>&1",
             "HBS        +HBS started"]
    idx = [log.index(s) for s in steps]
    assert idx == sorted(idx), log
    assert "ERROR" not in log[idx[1]:]
    assert p.stop() == 0

    # The next start finds the certificate and does not enroll again.
    p = start_agent(r, portal, **enroll_config(r))
    r.wait_file("/tmp/hbs_status", 10, content="2")
    wait_log(r, f"Certificate '{CERT}' with CommonName '{ACTIVATION_CODE}' exists.")
    assert len(r.calls("sscep")) == 2
    assert "No valid certificate" not in p.stdout
    assert p.stop() == 0



def test_code_of_wrong_length_touches_nothing(scep_root, start_agent):
    r = scep_root
    for code in (ACTIVATION_CODE[:11], ACTIVATION_CODE + "7"):
        p = start_agent(r, None, **enroll_config(r, TELVSDK_CFG_ACTIVATION_CODE=code,
                                                 TELVSDK_CFG_HBS_CONNECTION="https://127.0.0.1:1/hbs"))
        assert p.wait(10) == 0
        assert "Error in building scep request! Check the logs.\n" in p.stdout
        assert "telvsdk v0.22" not in p.stdout
        assert r.read(SCEP_CNF) == REQUEST_CNF
        assert not r.exists(SCEP_CNF + "-new")
        assert r.read("/tmp/code_status") == "99\n"
    assert r.calls("sscep") == []
    assert r.calls("ubus") == []
    assert not r.exists(KEY) and not r.exists(CERT)
    assert "Inserting activation code" not in agent_log(r)


def test_other_common_name_enrolls_with_numbered_ca_files(scep_root, portal, start_agent):
    r = scep_root
    r.scep(form="numbered")
    r.write(SCEP_CA, "stale CA from an earlier enrollment\n")
    cert, key = "/etc/telvsdk/other.pem", "/etc/telvsdk/other.key"
    assert common_name(r, cert) == ["WRONG0000000"]
    p = start_agent(r, portal, **enroll_config(r, TELVSDK_CFG_SSLCERT=cert, TELVSDK_CFG_SSLKEY=key))
    r.wait_file("/tmp/hbs_status", 60, content="2")
    assert not r.exists(SCEP_CA)
    assert r.read(SCEP_CA + "-0") == r.read(SCEP_CA + "-1") == r.ca.ca_pem.read_text()
    assert r.calls("sscep")[1] == ["enroll", "-u", r.url, "-E", "3des", "-S", "sha256",
                                   "-c", SCEP_CA + "-0", "-e", SCEP_CA + "-1", "-k", key,
                                   "-r", SCEP_REQ, "-l", cert]
    assert common_name(r, cert) == [ACTIVATION_CODE] and issued_by(r, cert, r.ca)
    assert {q["cn"] for q in portal.wait_requests(1, 10)} == {ACTIVATION_CODE}
    log = agent_log(r)
    assert "ERROR      CommonName 'WRONG0000000' differs from activation code! - Request cert " \
           "from scep-server if not already done yet" in log
    assert f"-c {SCEP_CA}-0 -e {SCEP_CA}-1 -k {key}" in log
    assert p.stop() == 0


def test_getca_failure_with_verbose_and_proxy(scep_root, start_agent):
    r = scep_root
    r.write(CERT, "not a certificate\n")  # gives no CommonName line
    password = "s3cr$t 'pw"
    proxy_port = free_port()  # nobody listens there
    p = start_agent(r, None, **enroll_config(
        r, TELVSDK_CFG_HBS_CONNECTION="https://127.0.0.1:1/hbs", TELVSDK_CFG_VERBOSE=1,
        TELVSDK_CFG_PROXY_ENABLED=1, TELVSDK_CFG_PROXY_URL="127.0.0.1",
        TELVSDK_CFG_PROXY_PORT=proxy_port, TELVSDK_CFG_PROXY_AUTH_REQUIRED=1,
        TELVSDK_CFG_PROXY_USER="dev", TELVSDK_CFG_PROXY_PASS=password))
    assert p.wait(15) == 0
    assert r.read("/tmp/code_status") == "1\n"
    assert "Error in getting certificate. Check the logs.\n" in p.stdout
    # The command that ran carried the password as one word.
    assert r.calls("sscep") == [["getca", "-v", "-d", "-p", "1", "-q", "127.0.0.1",
                                 "-x", str(proxy_port), "-y", "dev", "-z", password,
                                 "-u", r.url, "-c", SCEP_CA]]
    log = agent_log(r)
    assert password not in log
    assert (f"INFO       /usr/bin/sscep getca -v -d -p 1 -q 127.0.0.1 -x {proxy_port} -y dev "
            f"-z *** -u {r.url} -c {SCEP_CA} >>{SCEP_LOG} 2>&1") in log
    assert f"ERROR      Error #{95 << 8} executing sscep getca command." in log  # sscep: network
    assert "ERROR      " + EXIT_LINE in log
    assert "openssl req" not in log
    assert "sscep: error while sending message" in r.read(SCEP_LOG)
    assert r.calls("ubus") == [UBUS_DELETE]
    assert f"ERROR      No Certificate '{CERT}' with CommonName '' available" in log
    assert "Using certificate with CommonName" not in log
    assert not r.exists(KEY) and r.read(CERT) == "not a certificate\n"


def test_openssl_req_failure(scep_root, start_agent):
    r = scep_root
    r.write(SCEP_CNF, "[ req\n" + REQUEST_CNF)  # openssl cannot parse it
    p = start_agent(r, None, **enroll_config(r, TELVSDK_CFG_HBS_CONNECTION="https://127.0.0.1:1/hbs"))
    assert p.wait(15) == 0
    assert r.read("/tmp/code_status") == "2\n"
    log = agent_log(r)
    assert "ERROR      Error #256 executing openssl command." in log
    assert "missing close square bracket" in r.read(SCEP_LOG)
    assert [c[0] for c in r.calls("sscep")] == ["getca"]
    assert r.calls("ubus") == [UBUS_DELETE]
    assert "Error in getting certificate. Check the logs.\n" in p.stdout


def test_wrong_code_refused_by_ca(scep_root, start_agent):
    r = scep_root
    wrong = "ZZZZ00000000"  # 12 characters, but not the code the CA expects
    p = start_agent(r, None, **enroll_config(r, TELVSDK_CFG_ACTIVATION_CODE=wrong,
                                             TELVSDK_CFG_HBS_CONNECTION="https://127.0.0.1:1/hbs",
                                             TELVSDK_CFG_VERBOSE=1))
    assert p.wait(60) == 0
    assert r.read("/tmp/code_status") == "3\n"
    calls = r.calls("sscep")
    assert [c[:3] for c in calls] == [["getca", "-v", "-d"], ["enroll", "-v", "-d"]]
    log = agent_log(r)
    assert f"ERROR      Error #{72 << 8} executing sscep enroll command." in log  # badRequest
    assert "ERROR      " + EXIT_LINE in log
    assert "failInfo: badRequest" in r.read(SCEP_LOG)
    assert "invalid challenge" in r.ca.log_text()
    assert r.calls("ubus") == [UBUS_DELETE]
    out = p.stdout
    assert out.index("No valid certificate found") < out.index("Error in getting certificate. Check the logs.")
    assert "Successfully received" not in out and "telvsdk v0.22" not in out
    assert r.exists(KEY) and not r.exists(CERT)
