#!/usr/bin/python3
"""Commands for a running development portal.

  portalctl.py PORT queue connectvpn|disconnectvpn|fwversion
  portalctl.py PORT queue addroute NETWORK SUBNET GATEWAY
  portalctl.py PORT queue doupdate PATH
  portalctl.py PORT timing CDEL SDEL
  portalctl.py PORT fault 403|500|empty|slow|oversized|notiming|nodate|garbage|cut|none [COUNT]
  portalctl.py PORT skew SECONDS
  portalctl.py PORT requests | state | networks
PORT is the portal's control port.
"""
import json
import sys
import urllib.request


def call(port, path, obj=None):
    url = f"http://127.0.0.1:{port}{path}"
    data = None if obj is None else json.dumps(obj).encode()
    with urllib.request.urlopen(urllib.request.Request(url, data=data), timeout=10) as r:
        return json.loads(r.read())


def main(argv):
    if len(argv) < 2:
        print(__doc__)
        return 2
    port, what, rest = argv[0], argv[1], argv[2:]
    if what == "queue":
        if rest[0] == "fwversion":
            cmd = {"key": "fwversion"}
        elif rest[0] == "addroute":
            cmd = {"method": "addroute", "params": {"network": rest[1], "subnet": rest[2],
                                                     "gateway": rest[3], "id": "1"}}
        elif rest[0] == "doupdate":
            cmd = {"method": "doupdate", "params": {"updatePath": rest[1]}}
        else:
            cmd = {"method": rest[0]}
        out = call(port, "/queue", cmd)
    elif what == "timing":
        out = call(port, "/queue", {"cdel": int(rest[0]), "sdel": int(rest[1])})
    elif what == "fault":
        kind = None if rest[0] == "none" else rest[0]
        cmd = {"kind": kind}
        if len(rest) > 1:
            cmd["count"] = int(rest[1])
        out = call(port, "/fault", cmd)
    elif what == "skew":
        out = call(port, "/config", {"skew": float(rest[0])})
    elif what in ("requests", "state", "networks"):
        out = call(port, "/" + what)
    else:
        print(__doc__)
        return 2
    print(json.dumps(out, indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
