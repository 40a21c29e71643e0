"""The router's install tree and the OpenWrt package files."""

import os
import re
import subprocess
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent.parent
BUILD = Path(os.environ["RT_BUILD"])
INIT_SCRIPTS = sorted((HERE / "openwrt" / "files").glob("*.init"))

PROGRAMS = ["telvsdkd", "databoard", "modemctl", "pinctl", "uartmode", "linebridge", "portnotify",
            "postrelay", "textrelay", "atsend", "imgcheck", "trimwatch", "trimfile"]
LIBRARIES = ["librsm", "librsmwrapper"]


@pytest.fixture(scope="module")
def tree(tmp_path_factory):
    dest = tmp_path_factory.mktemp("dest")
    env = dict(os.environ, DESTDIR=str(dest))
    subprocess.run(["cmake", "--install", str(BUILD), "--prefix", "/usr"], env=env, check=True,
                   capture_output=True)
    return dest


def test_init_scripts_are_valid_shell():
    assert {p.stem for p in INIT_SCRIPTS} == {"telvsdkd", "pinctl", "trimwatch", "linebridge",
                                               "portnotify", "postrelay", "textrelay"}
    for script in INIT_SCRIPTS:
        subprocess.run(["sh", "-n", str(script)], check=True)
        res = subprocess.run(["shellcheck", "-s", "sh", str(script)], capture_output=True, text=True)
        assert res.returncode == 0, f"{script.name}:\n{res.stdout}"
        text = script.read_text()
        assert text.startswith("#!/bin/sh /etc/rc.common\n")
        assert "USE_PROCD=1" in text and "procd_set_param respawn" in text


def test_daemons_get_their_configuration_files():
    for name in ("linebridge", "portnotify", "postrelay", "textrelay"):
        text = (HERE / "openwrt" / "files" / f"{name}.init").read_text()
        assert f"procd_set_param command /usr/sbin/{name} -c /etc/{name}.conf" in text
    assert "/usr/sbin/trimwatch -c /etc/trimwatch.conf" in (HERE / "openwrt/files/trimwatch.init").read_text()
    assert "pinctl dido_daemon" in (HERE / "openwrt/files/pinctl.init").read_text()


def test_package_makefile_names_existing_files_and_every_program():
    make = (HERE / "openwrt" / "Makefile").read_text()
    assert "include $(INCLUDE_DIR)/cmake.mk" in make
    for ref in re.findall(r"\./files/([\w$.-]+)", make):
        if "$" in ref:
            continue
        assert (HERE / "openwrt" / "files" / ref).exists(), ref
    for prog in PROGRAMS:
        assert prog in make, prog
    for lib in LIBRARIES:
        assert f"{lib}.so*" in make


def packages(make: str) -> dict[str, dict]:
    """Each package of the Makefile: its DEPENDS text and the programs and
    libraries its install step copies."""
    out = {}
    for name, body in re.findall(r"^define Package/([\w/-]+)\n(.*?)^endef", make, re.M | re.S):
        if name.endswith("/Default"):
            continue
        base, _, part = name.partition("/")
        pkg = out.setdefault(base, {"depends": "", "files": set()})
        if part == "":
            m = re.search(r"^\s*DEPENDS:=(.*)$", body, re.M)
            pkg["depends"] = m.group(1) if m else ""
        elif part == "install":
            pkg["files"] |= set(re.findall(r"/usr/sbin/(\w+)", body))
            for loop in re.findall(r"for p in ([\w ]+);", body):
                pkg["files"] |= set(loop.split())
            pkg["files"] |= {f"{lib}.so" for lib in re.findall(r"/usr/lib/(lib\w+)\.so\*", body)}
    return out


def test_packages_with_cxx_code_ask_for_the_cxx_runtime(tree):
    """OpenWrt installs libstdc++ only for packages that depend on it: every
    package with a program or library that needs it names $(CXX_DEPENDS)."""
    pkgs = packages((HERE / "openwrt" / "Makefile").read_text())
    shipped = set()
    for name, pkg in pkgs.items():
        needs_cxx = False
        for f in pkg["files"]:
            path = tree / "usr" / ("lib" if f.endswith(".so") else "sbin") / f
            assert path.exists(), f"{name}: {f}"
            dyn = subprocess.run(["readelf", "-d", str(path.resolve())], capture_output=True,
                                 text=True).stdout
            needs_cxx |= "libstdc++" in dyn
            shipped.add(f)
        assert needs_cxx == ("$(CXX_DEPENDS)" in pkg["depends"].split()), name
    assert set(PROGRAMS) <= shipped and {f"{lib}.so" for lib in LIBRARIES} <= shipped


def test_install_tree_has_programs_libraries_headers_and_template(tree):
    for prog in PROGRAMS:
        p = tree / "usr" / "sbin" / prog
        assert p.is_file() and os.access(p, os.X_OK), prog
    for lib in LIBRARIES:
        sonames = [p for p in (tree / "usr" / "lib").glob(f"{lib}.so.*") if not p.is_symlink()]
        assert sonames, lib
        dyn = subprocess.run(["readelf", "-d", str(sonames[0])], capture_output=True, text=True).stdout
        assert re.search(rf"SONAME.*\[{lib}\.so\.\d+\]", dyn), dyn
        assert (tree / "usr" / "lib" / f"{lib}.so").is_symlink()
        assert (tree / "usr" / "lib" / "pkgconfig" / f"{lib}.pc").is_file()
    assert list((tree / "usr" / "include").rglob("*.h"))
    template = (tree / "etc" / "telvsdk" / "telvsdk.cnf").read_text()
    keys = {line.lstrip("#").split()[0] for line in template.splitlines()
            if line.strip() and not line.startswith("# ")}
    assert {"TELVSDK_CFG_HBS_CONNECTION", "TELVSDK_CFG_CA", "TELVSDK_CFG_SSLCERT",
            "TELVSDK_VPN_LOCAL_MGM_PORT", "action", "inactivity"} <= keys
    # Nothing else lands outside the router's folders.
    tops = {p.name for p in tree.iterdir()}
    assert tops <= {"usr", "etc"}, tops
