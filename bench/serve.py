"""Runs the embedded SFTP server in a process of its own for the benchmark.

The server's asyncio loop then has a core and an interpreter lock of its own
and does not compete with the client being measured, as a real server would
not. Takes the user name as its argument and the password as the first line
of its standard input (never on the command line, where every local user can
read it), prints one JSON line (host, port, root) once it listens, and serves
until its standard input is closed. A second argument "forwarding" makes it a
jump host as well (direct-tcpip to loopback).
"""

import json
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "devtools"))

from embedded_sftp_server import EmbeddedSFTPServer  # noqa: E402


def main() -> None:
    user = sys.argv[1]
    forwarding = sys.argv[2:] == ["forwarding"]
    password = sys.stdin.readline().rstrip("\n")
    if not password:
        sys.exit("serve.py: no password on the first line of standard input")
    with EmbeddedSFTPServer({user: password}, forwarding=forwarding) as server:
        print(json.dumps({"host": server.host, "port": server.port, "root": str(server.root)}), flush=True)
        sys.stdin.read()


if __name__ == "__main__":
    main()
