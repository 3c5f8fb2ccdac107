"""A full disk and a read-only file system under the system's OpenSSH server.

The server's directory is a 1 MiB tmpfs, mounted in a mount namespace of
the test's own (``unshare -m``), so that nothing outside it sees the mount.
"""

import json
import shutil
import subprocess
import sys
import textwrap

import pytest
from openssh_server import unavailable_reason

REFUSED = (
    "The server refused the write or cut it short: on the server, the disk may be full, the file system "
    "read-only, or a quota used up."
)
MiB = 1 << 20

CHILD = """
import json, logging, os, subprocess, sys
sys.path.insert(0, {devtools!r})
from openssh_server import OpenSSHServer
import sftp_main

records = []
class Keep(logging.Handler):
    def emit(self, record):
        records.append(record)
logger = logging.getLogger("sftp_main")
logger.setLevel(logging.INFO)
logger.addHandler(Keep())

def described(failure):
    return {{"type": type(failure).__name__, "text": str(failure),
             "hints": [n for n in getattr(failure, "__notes__", []) if not n.startswith("sftp_main: ")]}}

source = os.path.join(os.getcwd(), "big.bin")
with open(source, "wb") as file:
    file.write(b"o" * {size})
found = {{}}
with OpenSSHServer() as server:
    owner = os.stat(server.root)
    subprocess.run(["mount", "-t", "tmpfs", "-o", f"size=1m,mode=0700,uid={{owner.st_uid}},gid={{owner.st_gid}}",
                    "tmpfs", str(server.root)], check=True)
    try:
        client = sftp_main.TavrelSFTPMain({{"host": server.host, "port": server.port, "user": server.user,
                                           "password": server.password, "timeout": 30}})
        client._connect()
        found["upload"] = client._upload(source, "up.bin")
        found["upload_failure"] = described(records[-1].exc_info[1])
        found["upload_message"] = records[-1].getMessage()
        found["left"] = os.stat(os.path.join(server.root, "up.bin")).st_size
        client._remove("up.bin")
        subprocess.run(["mount", "-o", "remount,ro", str(server.root)], check=True)
        try:
            client._mkdir("d")
        except OSError as failure:
            found["mkdir_failure"] = described(failure)
        client._close()
    finally:
        subprocess.run(["umount", "-l", str(server.root)], check=True)
print(json.dumps(found))
"""


@pytest.fixture(scope="module")
def outcome(live, tmp_path_factory):
    reason = unavailable_reason()
    if reason:
        pytest.skip(reason)
    if shutil.which("unshare") is None or subprocess.run(["unshare", "-m", "true"]).returncode != 0:
        pytest.skip("no private mount namespace here (unshare -m)")
    code = textwrap.dedent(CHILD.format(devtools=str(live.repo / "devtools"), size=3 * MiB))
    done = subprocess.run(
        ["unshare", "-m", "--propagation", "private", sys.executable, "-c", code],
        capture_output=True,
        text=True,
        timeout=120,
        cwd=tmp_path_factory.mktemp("full_disk"),
    )
    assert done.returncode == 0, done.stderr[-3000:]
    return json.loads(done.stdout.strip().splitlines()[-1])


def test_an_upload_onto_a_full_disk_is_cut_short_and_the_note_names_the_causes(outcome):
    assert outcome["upload"] is False
    failure = outcome["upload_failure"]
    assert failure["type"] == "OSError"
    assert failure["text"].startswith("size mismatch in put!  ")
    assert failure["text"].endswith(f" != {3 * MiB}")
    assert outcome["upload_message"].endswith(" returned False: OSError: " + failure["text"])
    assert failure["hints"] == [REFUSED + " A partial file may be left at 'up.bin' on the server."]
    assert 0 < outcome["left"] <= MiB  # the partial file the note warns of


def test_mkdir_on_a_read_only_file_system_reads_failure_and_the_note_names_the_causes(outcome):
    assert outcome["mkdir_failure"] == {"type": "OSError", "text": "Failure", "hints": [REFUSED]}
