"""Runs the GoogleTest program of librsmwrapper inside router roots: one fresh
root per group, so every group starts with an empty /tmp and its own System V
IPC namespace (the host's shared memory is never touched)."""

import subprocess

import pytest

from routerroot import binary

GROUPS = ["Segment.*", "Accessors.*", "Mirror.*:Items.*", "Lock.LockFile*",
          "Lock.Stale*", "Lock.Live*", "Concurrency.*", "FileSizeLimit*"]


def run_group(r, pattern, env=None, timeout=60):
    r.mkdir("/share")
    r.write("/share/shmcommon", "")
    return r.run_gtest("rsmwrapper_inroot_tests", f"--gtest_filter={pattern}", env=env,
                       timeout=timeout)


@pytest.mark.parametrize("pattern", GROUPS)
def test_group(router_root, pattern):
    run_group(router_root, pattern)


def test_missing_key_file_reports_on_the_console(router_root):
    r = router_root
    run_group(r, "SegmentMissing.*")
    r.wait_console(r"pSHMCOMM is null\n", timeout=5)
    r.wait_console("init shmcommon fail", timeout=5)
    r.wait_console(r"SHMCOMMON_SHMInit fail\n", timeout=5)


def test_set_string_failures_report_on_the_console(router_root):
    r = router_root
    run_group(r, "Accessors.UnreadableFiles*")
    assert r.console() == ""  # the other setters fail silently
    run_group(r, "Accessors.SetterNullArgumentsFail")
    r.wait_console(r"RSM_SET_STRING failure\.\n", timeout=5)
    assert "unlock_file" not in r.console()
    run_group(r, "Accessors.SetStringOnAMissingFileFails")
    r.wait_console(r"unlock_file\.\n", timeout=5)


def test_rewrite_on_a_full_filesystem_keeps_the_old_file(router_root):
    r = router_root
    r.mkdir("/mnt/small")
    # a 64 KiB filesystem mounted in the root's own mount namespace only
    holder = r._holder.pid
    subprocess.run(["nsenter", "-t", str(holder), "--mount", "--", "mount", "-t", "tmpfs",
                    "-o", "size=64k,mode=0755", "tmpfs", str(r.merged / "mnt/small")],
                   check=True, timeout=10)
    run_group(r, "FullDisk.*", env={"RT_SMALL_FS": "/mnt/small"})


def test_program_refuses_to_run_outside_a_root():
    res = subprocess.run([str(binary("rsmwrapper_inroot_tests"))], capture_output=True,
                         timeout=10)
    assert res.returncode == 2
