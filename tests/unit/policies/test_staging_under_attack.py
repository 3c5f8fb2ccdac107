"""A staged download's less travelled paths, attacked by another local user.

The named staging file (a file system without unnamed files) and the write
in place (the staged file cannot take the destination's place), each with
another user at work in the directory halfway through the transfer. The
other user is a real one: a forked process that dropped to it.
"""

import json
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import textwrap

import pytest

NOBODY, OTHER = 65534, 65533
pytestmark = [
    pytest.mark.skipif(os.geteuid() != 0, reason="plays other users: needs root"),
]

# Makes the file system refuse unnamed files, as some (NFS) do.
NO_UNNAMED_FILES = r"""
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <sys/syscall.h>
#include <unistd.h>
int openat(int directory, const char* path, int flags, ...) {
    va_list rest;
    va_start(rest, flags);
    int mode = va_arg(rest, int);
    va_end(rest);
    if ((flags & O_TMPFILE) == O_TMPFILE) { errno = EOPNOTSUPP; return -1; }
    return syscall(SYS_openat, directory, path, flags, mode);
}
"""

# The downloader: `report.csv` in the working directory, as the user
# DOWNLOADER, from a client whose getfo writes SECRET and, halfway, has ATTACK
# run by a process that is the user ATTACKER. Both are forks of this one
# (the interpreter's own files are for root only here).
DOWNLOADER = """
import json, os, sys, sftp_main
attack, attacker, downloader = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])

def become(uid):
    if uid:
        os.setgroups([])
        os.setgid(uid)
        os.setuid(uid)

go_read, go = os.pipe()
report, report_write = os.pipe()
pid = os.fork()
if pid == 0:
    try:
        become(attacker)
        os.read(go_read, 1)
        os.dup2(report_write, 1)
        exec(attack, {})
    except BaseException as e:
        print(repr(e))
    finally:
        sys.stdout.flush()
        os._exit(0)
os.close(report_write)
become(downloader)

class Client:
    def getfo(self, remote, handle):
        handle.write(b"the-secret-")
        handle.flush()
        os.write(go, b"g")
        chunks = []
        while chunk := os.read(report, 1 << 16):
            chunks.append(chunk)
        self.seen = b"".join(chunks).decode().strip()
        handle.write(b"payload")
        return 18

obj = sftp_main.TavrelSFTPMain.__new__(sftp_main.TavrelSFTPMain)
obj._sftp = client = Client()
outcome = obj._download("remote", "report.csv")
os.waitpid(pid, 0)
print(json.dumps({"outcome": outcome, "attacker": client.seen}))
"""

SECRET = b"the-secret-payload"


@pytest.fixture
def place():
    path = pathlib.Path(tempfile.mkdtemp(prefix="attacked-", dir="/tmp"))
    path.chmod(0o755)
    yield path
    shutil.rmtree(path)


@pytest.fixture(scope="module")
def shim(tmp_path_factory):
    if shutil.which("cc") is None:
        pytest.skip("needs a C compiler")
    where = tmp_path_factory.mktemp("shim")
    (where / "shim.c").write_text(NO_UNNAMED_FILES)
    subprocess.run(["cc", "-shared", "-fPIC", "-o", "shim.so", "shim.c"], cwd=where, check=True)
    (where / "shim.so").chmod(0o755)
    where.chmod(0o755)
    return where / "shim.so"


def run_download(directory, attack, *, downloader=0, attacker=OTHER, preload=None):
    env = dict(os.environ)
    if preload:
        # After whatever is preloaded already (the sanitizer runtime must come first).
        env["LD_PRELOAD"] = " ".join(filter(None, [os.environ.get("LD_PRELOAD"), str(preload)]))
    command = [sys.executable, "-c", DOWNLOADER, textwrap.dedent(attack), str(attacker), str(downloader)]
    result = subprocess.run(command, cwd=directory, env=env, capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout.splitlines()[-1])


def shared(place, mode):
    directory = place / "shared"
    directory.mkdir()
    directory.chmod(mode)
    return directory


def victim(place, owner=0):
    home = place / f"home-{owner}"
    home.mkdir(mode=0o711)
    os.chown(home, owner, owner)
    path = home / "precious"
    path.write_bytes(b"untouched")
    os.chown(path, owner, owner)
    return path


# --- the named staging file --------------------------------------------------

# Reads the staged file if it can, then swaps a link to the victim in for it.
SWAP_THE_STAGED_FILE = """
import json, os
[name] = [n for n in os.listdir() if n.startswith(".report.csv.")]
try:
    read = open(name, "rb").read().decode()
except OSError as e:
    read = type(e).__name__
try:
    os.rename(name, "kept")
    os.symlink(VICTIM, name)
    swapped = True
except OSError as e:
    swapped = type(e).__name__
print(json.dumps([read, swapped]))
"""


def test_a_named_staging_file_swapped_for_a_link_fails_the_download_and_writes_nothing_through(place, shim):
    directory = shared(place, 0o777)  # no sticky bit: the other user may rename anything here
    target = victim(place)
    destination = directory / "report.csv"
    destination.write_bytes(b"old")
    destination.chmod(0o600)
    result = run_download(directory, SWAP_THE_STAGED_FILE.replace("VICTIM", repr(str(target))), preload=shim)
    assert result["outcome"] is False
    assert json.loads(result["attacker"]) == ["PermissionError", True]  # 0600, root's: unreadable
    assert target.read_bytes() == b"untouched" and destination.read_bytes() == b"old"
    kept = directory / "kept"  # what the other user took away holds no byte for them
    assert (kept.stat().st_uid, kept.stat().st_mode & 0o777) == (0, 0o600)
    assert sorted(p.name for p in directory.iterdir() if not p.name.startswith(".report.csv.")) == ["kept", "report.csv"]


def test_in_a_sticky_directory_the_named_staging_file_cannot_be_taken_away(place, shim):
    directory = shared(place, 0o1777)
    target = victim(place)
    destination = directory / "report.csv"
    destination.write_bytes(b"old")
    destination.chmod(0o600)
    result = run_download(directory, SWAP_THE_STAGED_FILE.replace("VICTIM", repr(str(target))), preload=shim)
    assert result["outcome"] is True
    assert json.loads(result["attacker"]) == ["PermissionError", "PermissionError"]
    assert destination.read_bytes() == SECRET and destination.stat().st_mode & 0o777 == 0o600
    assert target.read_bytes() == b"untouched" and os.listdir(directory) == ["report.csv"]


# --- the write in place ------------------------------------------------------

# Puts something else where the destination was: a link to the victim, or a
# file of its own.
REPLACE_THE_DESTINATION = """
import os
os.rename("report.csv", "moved")
if PLANT == "link":
    os.symlink(VICTIM, "report.csv")
else:
    os.close(os.open("report.csv", os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666))
print("replaced")
"""


@pytest.mark.parametrize("plant", ["link", "file"])
def test_a_destination_replaced_before_a_write_in_place_is_left_alone(place, plant):
    """The downloader (nobody) may write root's 0666 file but cannot give its
    staged file root's ownership, so the bytes are to be written in place;
    meanwhile another user put something else at the name."""
    directory = shared(place, 0o777)
    target = victim(place, NOBODY)
    destination = directory / "report.csv"
    destination.write_bytes(b"old")
    destination.chmod(0o666)
    attack = REPLACE_THE_DESTINATION.replace("PLANT", repr(plant)).replace("VICTIM", repr(str(target)))
    result = run_download(directory, attack, downloader=NOBODY)
    assert result == {"outcome": False, "attacker": "replaced"}
    assert target.read_bytes() == b"untouched" and (directory / "moved").read_bytes() == b"old"
    if plant == "file":
        assert destination.read_bytes() == b"" and destination.stat().st_uid == OTHER
    assert sorted(os.listdir(directory)) == ["moved", "report.csv"]


def test_without_interference_the_write_in_place_keeps_the_owner_and_mode(place):
    directory = shared(place, 0o777)
    destination = directory / "report.csv"
    destination.write_bytes(b"old")
    destination.chmod(0o666)
    result = run_download(directory, "print('idle')", downloader=NOBODY)
    assert result == {"outcome": True, "attacker": "idle"}
    status = destination.stat()
    assert (status.st_uid, status.st_mode & 0o777, destination.read_bytes()) == (0, 0o666, SECRET)
    assert os.listdir(directory) == ["report.csv"]


# A mounted destination: the rename fails EBUSY, and so does the other
# user's try to put a link in its place.
MOUNT_THEN_DOWNLOAD = """
import os, subprocess, sys
open("mounted", "wb").write(b"old")
if subprocess.run(["mount", "--bind", "mounted", "report.csv"]).returncode:
    raise SystemExit("no mounts here")
os.execv(sys.executable, [sys.executable, *sys.argv[1:]])
"""


@pytest.mark.skipif(shutil.which("unshare") is None, reason="needs unshare")
def test_a_mounted_destination_cannot_be_replaced_by_another_user_and_is_written_in_place(place):
    directory = shared(place, 0o777)
    target = victim(place)
    (directory / "report.csv").write_bytes(b"")
    attack = """
import os
try:
    os.rename("report.csv", "moved")
    print("renamed")
except OSError as e:
    print(type(e).__name__, e.errno)
"""
    env = dict(os.environ)
    command = ["unshare", "-m", sys.executable, "-c", MOUNT_THEN_DOWNLOAD, "-c", DOWNLOADER, attack, str(OTHER), "0"]
    result = subprocess.run(command, cwd=directory, env=env, capture_output=True, text=True, timeout=60)
    if "unshare failed" in result.stderr or "no mounts here" in result.stderr:
        pytest.skip("no mount namespaces here")
    assert result.returncode == 0, result.stderr
    assert json.loads(result.stdout.splitlines()[-1]) == {"outcome": True, "attacker": "OSError 16"}
    assert (directory / "mounted").read_bytes() == SECRET and target.read_bytes() == b"untouched"
