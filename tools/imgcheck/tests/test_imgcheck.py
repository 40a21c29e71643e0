"""imgcheck as a process: printed line, result file, completion marker."""

import random
import struct
import zlib

import pytest

from routerroot import binary

BLOCK = 65536
MARKER = bytes.fromhex("DEADC0DE")
DONE = "/tmp/imgcheck_ok"


def filler(n, seed=1):
    """Image bytes that never hold the marker's first byte."""
    rnd = random.Random(seed)
    return bytes(rnd.randrange(0, 0xD0) for _ in range(n))


def with_marker(data, *offsets):
    b = bytearray(data)
    for at in offsets:
        b[at:at + 4] = MARKER
    return bytes(b)


def check(r, data, image="/tmp/fw.img", result="/tmp/fw.res"):
    if data is not None:
        r.write(image, data)
    res = r.run([binary("imgcheck"), image, result])
    assert res.rc == 0, res
    crc, length = struct.unpack("=Ii", r.read_bytes(result))
    assert r.read_bytes(DONE) == b"\0\0\0\0"
    return res, crc, length


def expect(res, crc, length, want_crc, want_len):
    assert (crc, length) == (want_crc, want_len)
    assert res.stdout == "crc:%08x length:%08x\n" % (want_crc, want_len & 0xFFFFFFFF)


def test_marker_at_offset_16_ends_the_image(router_root):
    data = with_marker(filler(3000), 16)
    res, crc, length = check(router_root, data)
    expect(res, crc, length, zlib.crc32(data[:16]), 16)


def test_first_marker_in_a_later_block_wins(router_root):
    at = 2 * BLOCK + 48
    data = with_marker(filler(3 * BLOCK + 10), at, at + 32)
    res, crc, length = check(router_root, data)
    expect(res, crc, length, zlib.crc32(data[:at]), at)


@pytest.mark.parametrize("offset", [20, 8, BLOCK - 2, BLOCK - 1, BLOCK + 3])
def test_marker_off_the_grid_or_split_across_blocks_is_not_one(router_root, offset):
    data = with_marker(filler(2 * BLOCK + 77), offset)
    res, crc, length = check(router_root, data)
    expect(res, crc, length, zlib.crc32(data), len(data))


@pytest.mark.parametrize("size", [BLOCK, 2 * BLOCK, BLOCK + 1, 100])
def test_without_marker_the_whole_file_counts(router_root, size):
    data = filler(size, seed=size)
    res, crc, length = check(router_root, data)
    expect(res, crc, length, zlib.crc32(data), size)


def test_empty_image_gives_zero(router_root):
    res, crc, length = check(router_root, b"")
    expect(res, crc, length, 0, 0)
    assert res.stdout == "crc:00000000 length:00000000\n"


def test_missing_image_still_writes_zeros_and_the_marker(router_root):
    r = router_root
    r.write("/tmp/fw.res", b"old result that is longer than eight bytes")
    res, crc, length = check(r, None, image="/tmp/no-such.img")
    assert (crc, length) == (0, 0)
    assert res.stdout == ""
    assert len(r.read_bytes("/tmp/fw.res")) == 8


def test_folder_as_image_counts_as_missing(router_root):
    r = router_root
    r.mkdir("/tmp/imgdir")
    res, crc, length = check(r, None, image="/tmp/imgdir")
    assert (crc, length) == (0, 0) and res.stdout == ""


def test_result_file_replaced_and_marker_rewritten(router_root):
    r = router_root
    r.write(DONE, b"garbage-garbage")
    r.write("/tmp/fw.res", b"x" * 100)
    data = filler(500)
    res, crc, length = check(r, data)
    expect(res, crc, length, zlib.crc32(data), 500)
    assert len(r.read_bytes("/tmp/fw.res")) == 8


def test_unwritable_result_is_skipped_but_marker_written(router_root):
    r = router_root
    data = filler(1000)
    r.write("/tmp/fw.img", data)
    res = r.run([binary("imgcheck"), "/tmp/fw.img", "/tmp/missing-dir/fw.res"])
    assert res.rc == 0
    assert res.stdout == "crc:%08x length:%08x\n" % (zlib.crc32(data), 1000)
    assert r.read_bytes(DONE) == b"\0\0\0\0"
    assert not r.exists("/tmp/missing-dir")


@pytest.mark.parametrize("args", [[], ["/tmp/fw.img"]])
def test_too_few_arguments_print_usage_and_write_nothing(router_root, args):
    r = router_root
    r.write("/tmp/fw.img", filler(100))
    res = r.run([binary("imgcheck")] + args)
    assert res.rc == 2
    assert res.stdout == ""
    assert "usage:" in res.stderr and "IMAGE RESULT" in res.stderr
    assert not r.exists(DONE)
    assert sorted(p.name for p in r.tmp.iterdir()) == ["fw.img", "standin"]
