"""Shell injection through imgcheck's command line: image and result paths
are opened as given and reach no shell."""

import struct

from payloads import Findings, canary_ran, clear_canary, payloads
from routerroot import binary


def test_image_and_result_paths(router_root):
    r = router_root
    found = Findings("imgcheck")
    for i, (name, p) in enumerate(payloads()):
        clear_canary(r)
        image, result = f"/tmp/img{i}/{p}", f"/tmp/res{i}/{p}.res"
        r.write(image, b"\x01" * 100)
        r.mkdir(result.rsplit("/", 1)[0])
        res = r.run([binary("imgcheck"), image, result])
        found.check(res.rc == 0 and "length:00000064" in res.stdout, name, f"{res}")
        found.check(r.exists(result) and struct.unpack("=Ii", r.read_bytes(result))[1] == 100,
                    name, f"no result at {result!r}")
        found.check(not canary_ran(r), name, "a path ran the canary")
    found.assert_none()
