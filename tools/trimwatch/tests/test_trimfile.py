"""trimfile as a process: cut at the limit, exit codes, refused reserves."""

import os

import pytest

from routerroot import binary

F = "/tmp/log.txt"


def content(n):
    return bytes((i * 37 + 11) % 256 for i in range(n))


def trimfile(r, *args, **kw):
    return r.run([binary("trimfile")] + [str(a) for a in args], **kw)


def test_file_at_the_limit_is_left_alone(router_root):
    r = router_root
    r.write(F, content(2048))
    os.utime(r.host(F), (1000000, 1000000))
    res = trimfile(r, 2, F)
    assert res.rc == 0 and res.stdout == ""
    assert r.read_bytes(F) == content(2048)
    assert os.stat(r.host(F)).st_mtime == 1000000


def test_one_byte_over_is_cut_to_the_limit_keeping_the_start(router_root):
    r = router_root
    r.write(F, content(2049))
    res = trimfile(r, 2, F)
    assert res.rc == 0
    assert r.read_bytes(F) == content(2048)


def test_reserve_zero_empties_the_file(router_root):
    r = router_root
    r.write(F, content(10))
    assert trimfile(r, 0, F).rc == 0
    assert r.read_bytes(F) == b""


@pytest.mark.parametrize("reserve", ["2097152", "4194304", "4194305", "99999999999999999999"])
def test_reserves_of_2_gib_and_more_keep_a_small_file(router_root, reserve):
    # In 32 bits these wrap to a negative limit or to 0 and would cut the file.
    r = router_root
    r.write(F, content(5000))
    res = trimfile(r, reserve, F)
    assert res.rc == 0, res
    assert r.read_bytes(F) == content(5000)


def test_large_sparse_file_is_cut_above_4_gib(router_root):
    r = router_root
    r.write(F, b"head")
    os.truncate(r.host(F), (5 << 30) + 100)
    res = trimfile(r, 4 * 1024 * 1024 + 1, F)  # 4 GiB + 1 KiB
    assert res.rc == 0
    assert os.stat(r.host(F)).st_size == (4 << 30) + 1024
    with open(r.host(F), "rb") as f:
        assert f.read(4) == b"head"


@pytest.mark.parametrize("reserve", ["-1", "abc", "12abc", "", "1.5", "-2097152"])
def test_reserve_that_is_no_number_is_refused(router_root, reserve):
    r = router_root
    r.write(F, content(3000))
    res = trimfile(r, reserve, F)
    assert res.rc == 255
    assert r.read_bytes(F) == content(3000)


@pytest.mark.parametrize("args", [[], ["12"]])
def test_too_few_arguments_print_usage(router_root, args):
    res = router_root.run([binary("trimfile")] + args)
    assert res.rc == 255
    assert res.stdout == f"{binary('trimfile')} [reserve_size(kbyte)] [filename]\n"


def test_missing_file_is_a_stat_error(router_root):
    res = trimfile(router_root, 1, "/tmp/none")
    assert res.rc == 255
    assert res.stdout.strip() == "stat error"


def test_file_that_cannot_be_opened_for_writing_fails(router_root):
    # Programs in the root have no capabilities: a read-only file stays closed.
    r = router_root
    r.write(F, content(3000), mode=0o444)
    res = trimfile(r, 1, F)
    assert res.rc == 255
    assert r.read_bytes(F) == content(3000)


def test_works_with_standard_input_closed(router_root):
    r = router_root
    r.write(F, content(3000))
    res = r.sh(f"exec <&- ; {binary('trimfile')} 1 {F}")
    assert res.rc == 0, res
    assert r.read_bytes(F) == content(1024)
