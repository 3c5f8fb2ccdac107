"""With "resume", against the system's own OpenSSH through the fault relay:
what an interrupted transfer moved outlives the call and the process, in a
private part file beside the destination (a download) or in the staging
beside dsc_path (an upload); a later call continues from it, unless the
source changed; and a part file that is not the process's own is refused."""

import errno
import logging
import os
import re
import shutil
import signal
import stat
import subprocess
import tempfile
from pathlib import Path

import pytest
from fault_relay import DOWN, UP, Cut, FaultRelay
from test_live_openssh_through_relay import close_after_cut, config, other_sshd, sshd  # noqa: F401

import sftp_main

MIB = 1024 * 1024
NOBODY = 65534

# paramiko's threads find the connection cut under them.
pytestmark = pytest.mark.filterwarnings("ignore::pytest.PytestUnhandledThreadExceptionWarning")


def remote_file(sshd, name, size):
    data = os.urandom(size)
    (sshd.root / name).write_bytes(data)
    return data


def part_pattern(destination_name, remote):
    info = os.stat(remote)
    version = rf"{info.st_size}\.{int(info.st_mtime)}"
    return re.compile(rf"^\.{re.escape(destination_name)}\.[0-9a-f]{{16}}\.{version}\.partial$")


def parts_in(directory):
    return sorted(name for name in os.listdir(directory) if name.endswith(".partial"))


def new_file_mode():
    mask = os.umask(0)
    os.umask(mask)
    return 0o666 & ~mask


def download(sshd, relay, source, destination, **options):
    client = sftp_main.TavrelSFTPMain(config(sshd, relay, resume=True, **options))
    client._connect()
    try:
        return client._download(source, str(destination))
    finally:
        close_after_cut(client)


def first_cut(sshd, cut):
    """The relay both calls go through: the part's name ties it to the server
    as configured, its address and port among it. Only the first connection is cut."""
    return FaultRelay((sshd.host, sshd.port), cuts=[cut])


def cut_download(sshd, relay, source, destination):
    """A download with "resume" that the relay cuts: returns False and leaves its part."""
    assert download(sshd, relay, source, destination) is False
    assert relay.connections[-1].cut is not None
    parts = parts_in(destination.parent)
    assert len(parts) == 1, parts
    return destination.parent / parts[0]


def carried_down(sshd, relay, source, destination, **options):
    """A download with "resume", uncut: its result and the bytes it carried."""
    before = relay.carried(DOWN)
    done = download(sshd, relay, source, destination, **options)
    return done, relay.carried(DOWN) - before


# --- a killed process ---


KILLED_CHILD = """
import os, signal, sys
import sftp_main

config, destination = {config!r}, {destination!r}

def progress(done, total):
    if done >= total // 2:
        os.kill(os.getpid(), signal.SIGKILL)

client = sftp_main.TavrelSFTPMain({{**config, "resume": True, "progress": progress}})
client._connect()
client._download("killed.bin", destination)
print("not killed")
"""


def test_a_download_killed_half_way_continues_in_a_new_process_from_its_part(sshd, tmp_path, run_python):
    size = 32 * MIB
    data = remote_file(sshd, "killed.bin", size)
    destination = tmp_path / "copy.bin"
    with FaultRelay((sshd.host, sshd.port)) as relay:
        code = KILLED_CHILD.format(config=config(sshd, relay), destination=str(destination))
        child = run_python(code, timeout=120)
        assert child.returncode == -signal.SIGKILL, child.stdout + child.stderr
        assert relay.carried(DOWN) >= size // 2
        parts = parts_in(tmp_path)
        assert len(parts) == 1 and part_pattern("copy.bin", sshd.root / "killed.bin").match(parts[0]), parts
        held = os.lstat(tmp_path / parts[0])
        assert stat.S_ISREG(held.st_mode) and stat.S_IMODE(held.st_mode) == 0o600 and held.st_uid == os.geteuid()
        assert 0 < held.st_size < size
        assert (tmp_path / parts[0]).read_bytes() == data[: held.st_size]
        assert not destination.exists()

        done, second = carried_down(sshd, relay, "killed.bin", destination)
    assert done is True
    assert second < 0.6 * size
    assert destination.read_bytes() == data
    assert parts_in(tmp_path) == []
    assert stat.S_IMODE(os.stat(destination).st_mode) == new_file_mode()


# --- the remote file changed, or not, between the two calls ---


def change_content_under_the_same_size_and_time(remote, held):
    info = os.stat(remote)
    with open(remote, "r+b") as changed:
        changed.seek(held - 4096)
        original = changed.read(16)
        changed.seek(held - 4096)
        changed.write(bytes(b ^ 0xFF for b in original))
    os.utime(remote, ns=(info.st_atime_ns, info.st_mtime_ns))


@pytest.mark.parametrize("change", ["none", "size", "time", "the bytes the part holds"])
def test_a_later_download_continues_unless_the_remote_file_changed(sshd, tmp_path, change):
    size = 8 * MIB
    remote = sshd.root / "changing.bin"
    remote_file(sshd, "changing.bin", size)
    destination = tmp_path / "copy.bin"
    with first_cut(sshd, Cut(DOWN, 5 * MIB)) as relay:
        part = cut_download(sshd, relay, "changing.bin", destination)
        held = part.stat().st_size
        assert 0 < held < size
        if change == "size":
            with open(remote, "ab") as grown:
                grown.write(os.urandom(12345))
        elif change == "time":
            info = os.stat(remote)
            os.utime(remote, ns=(info.st_atime_ns, info.st_mtime_ns + 100 * 10**9))
        elif change == "the bytes the part holds":
            change_content_under_the_same_size_and_time(remote, held)
        now = remote.read_bytes()

        done, carried = carried_down(sshd, relay, "changing.bin", destination)
    assert done is True
    assert destination.read_bytes() == now
    # The stale part is gone with the one that replaced it.
    assert parts_in(tmp_path) == []
    if change == "none":
        assert carried < 0.6 * size
    else:
        assert carried >= len(now)


def test_with_retries_the_reconnects_inside_one_download_go_on_from_the_part(sshd, tmp_path):
    size = 16 * MIB
    data = remote_file(sshd, "both.bin", size)
    destination = tmp_path / "copy.bin"
    with FaultRelay((sshd.host, sshd.port), cuts=[Cut(DOWN, 6 * MIB)] * 2) as relay:
        assert download(sshd, relay, "both.bin", destination, retries=2) is True
        assert len(relay.connections) == 3
        assert relay.carried(DOWN) <= 1.25 * size
    assert destination.read_bytes() == data
    assert parts_in(tmp_path) == []


# --- part files that are not the process's own ---


def plant(kind, part, tmp_path):
    """Puts ``kind`` in the part file's place; returns what must stay as it is."""
    kept = {}
    if kind == "owned by nobody":
        os.chown(part, NOBODY, NOBODY)
    elif kind == "mode 0644":
        os.chmod(part, 0o644)
    elif kind == "a second link":
        os.link(part, tmp_path / "elsewhere")
    elif kind == "a symlink to a file":
        target = tmp_path / "target.txt"
        target.write_bytes(b"keep me as I am")
        kept[target] = (target.read_bytes(), os.stat(target).st_mtime_ns)
        part.unlink()
        os.symlink(target, part)
    elif kind == "a directory":
        part.unlink()
        part.mkdir(mode=0o700)
    if not part.is_dir() and not part.is_symlink():
        kept[part] = (part.read_bytes(), os.stat(part).st_mtime_ns)
    return kept


PLANTS = ["owned by nobody", "mode 0644", "a second link", "a symlink to a file", "a directory"]


@pytest.mark.parametrize("kind", PLANTS)
def test_a_part_file_that_is_not_the_process_s_own_is_refused_and_left_alone(sshd, tmp_path, caplog, kind):
    if kind == "owned by nobody" and os.geteuid() != 0:
        pytest.skip("needs root to give a file to nobody")
    remote_file(sshd, "planted.bin", 4 * MIB)
    destination = tmp_path / "copy.bin"
    with first_cut(sshd, Cut(DOWN, 2 * MIB)) as relay:
        part = cut_download(sshd, relay, "planted.bin", destination)
        kept = plant(kind, part, tmp_path)
        before = os.lstat(part)
        caplog.set_level(logging.INFO)

        done, _ = carried_down(sshd, relay, "planted.bin", destination)
    assert done is False
    after = os.lstat(part)
    assert (after.st_ino, after.st_mode, after.st_uid, after.st_nlink) == (
        before.st_ino, before.st_mode, before.st_uid, before.st_nlink)
    for path, (content, mtime) in kept.items():
        assert path.read_bytes() == content and os.stat(path).st_mtime_ns == mtime, path
    assert not destination.exists()
    said = " ".join(r.getMessage() for r in caplog.records if r.name.startswith("sftp_main"))
    assert "OSError" in said or "PermissionError" in said, said
    assert f"[Errno {errno.EACCES}]" in said or "Permission denied" in said, said


@pytest.mark.skipif(os.geteuid() != 0 or shutil.which("setpriv") is None,
                    reason="needs root and setpriv to play the user nobody")
def test_a_part_file_of_the_process_s_own_is_unreadable_to_another_user(sshd):
    remote_file(sshd, "private.bin", 4 * MIB)
    # A directory nobody may enter, so that only the part's own mode stands
    # in the way.
    directory = tempfile.mkdtemp(prefix="sftp-main-part-")
    try:
        os.chmod(directory, 0o755)
        destination = os.path.join(directory, "copy.bin")
        with first_cut(sshd, Cut(DOWN, 2 * MIB)) as relay:
            part = cut_download(sshd, relay, "private.bin", Path(destination))
        readable = os.path.join(directory, "readable.txt")
        with open(readable, "w") as other:
            other.write("anyone")
        os.chmod(readable, 0o644)
        assert opened_as_nobody(readable) == "opened"
        assert opened_as_nobody(str(part)) == "PermissionError"
    finally:
        shutil.rmtree(directory)


def opened_as_nobody(path):
    """What the user nobody gets reading ``path``: "opened" or "PermissionError"."""
    done = subprocess.run(["setpriv", f"--reuid={NOBODY}", f"--regid={NOBODY}", "--clear-groups", "cat", path],
                          capture_output=True, text=True, timeout=30)
    if done.returncode == 0:
        return "opened"
    return "PermissionError" if "Permission denied" in done.stderr else done.stderr


# --- uploads ---


def staging(sshd, name):
    pattern = re.compile(rf"^\.{re.escape(name)}\.[0-9a-f]{{16}}\.part$")
    return sorted(entry for entry in os.listdir(sshd.root) if pattern.match(entry))


def upload(sshd, relay, source, name, **options):
    client = sftp_main.TavrelSFTPMain(config(sshd, relay, **options))
    client._connect()
    try:
        return client._upload(str(source), name)
    finally:
        close_after_cut(client)


def test_an_interrupted_upload_keeps_its_staging_and_a_later_one_continues_from_it(sshd, tmp_path):
    size = 16 * MIB
    source = tmp_path / "source.bin"
    data = os.urandom(size)
    source.write_bytes(data)
    try:
        with first_cut(sshd, Cut(UP, 10 * MIB)) as relay:
            assert upload(sshd, relay, source, "resumed.bin", resume=True) is False
            [kept] = staging(sshd, "resumed.bin")
            held = (sshd.root / kept / "resumed.bin").read_bytes()
            assert 0 < len(held) <= 10 * MIB and held == data[: len(held)]
            # Staged: the destination itself was never written.
            assert not (sshd.root / "resumed.bin").exists()

            before = relay.carried(UP)
            assert upload(sshd, relay, source, "resumed.bin", resume=True) is True
            assert relay.carried(UP) - before < 0.6 * size
        assert (sshd.root / "resumed.bin").read_bytes() == data
        assert staging(sshd, "resumed.bin") == []
    finally:
        for name in staging(sshd, "resumed.bin"):
            shutil.rmtree(sshd.root / name)
        (sshd.root / "resumed.bin").unlink(missing_ok=True)


def test_an_upload_of_a_changed_local_file_starts_afresh(sshd, tmp_path):
    size = 8 * MIB
    source = tmp_path / "source.bin"
    source.write_bytes(os.urandom(size))
    try:
        with first_cut(sshd, Cut(UP, 4 * MIB)) as relay:
            assert upload(sshd, relay, source, "changed.bin", resume=True) is False
            assert len(staging(sshd, "changed.bin")) == 1
            data = os.urandom(size)  # the same size, new bytes and a new time
            source.write_bytes(data)
            info = os.stat(source)
            os.utime(source, ns=(info.st_atime_ns, info.st_mtime_ns + 10**9))
            before = relay.carried(UP)
            assert upload(sshd, relay, source, "changed.bin", resume=True) is True
            assert relay.carried(UP) - before >= size
        assert (sshd.root / "changed.bin").read_bytes() == data
    finally:
        for name in staging(sshd, "changed.bin"):
            shutil.rmtree(sshd.root / name)
        (sshd.root / "changed.bin").unlink(missing_ok=True)


def test_with_retries_the_reconnects_inside_one_upload_go_on_from_the_staging(sshd, tmp_path):
    size = 16 * MIB
    source = tmp_path / "source.bin"
    data = os.urandom(size)
    source.write_bytes(data)
    try:
        with FaultRelay((sshd.host, sshd.port), cuts=[Cut(UP, 6 * MIB)] * 2) as relay:
            assert upload(sshd, relay, source, "both.bin", resume=True, retries=2) is True
            assert len(relay.connections) == 3
            assert relay.carried(UP) <= 1.25 * size
        assert (sshd.root / "both.bin").read_bytes() == data
        assert staging(sshd, "both.bin") == []
    finally:
        for name in staging(sshd, "both.bin"):
            shutil.rmtree(sshd.root / name)
        (sshd.root / "both.bin").unlink(missing_ok=True)


# --- through the jump host ---


def test_through_the_jump_host_a_new_instance_goes_on_from_the_part(sshd, other_sshd, tmp_path):
    size = 8 * MIB
    data = remote_file(sshd, "jumped.bin", size)
    destination = tmp_path / "copy.bin"

    def through_jump(relay):
        # other_sshd is the jump host; the relay sits between it and the target.
        return {"host": relay.host, "port": relay.port, "user": sshd.user, "password": sshd.password, "ssh": True,
                "ssh_host": other_sshd.host, "ssh_port": other_sshd.port, "ssh_user": other_sshd.user,
                "ssh_password": other_sshd.password, "resume": True}

    with first_cut(sshd, Cut(DOWN, 5 * MIB)) as relay:
        for expected in (False, True):
            client = sftp_main.TavrelSFTPMain(through_jump(relay))
            client._connect()
            before = relay.carried(DOWN)
            try:
                assert client._download("jumped.bin", str(destination)) is expected
            finally:
                close_after_cut(client)
                del client
        assert relay.carried(DOWN) - before < 0.6 * size
    assert destination.read_bytes() == data
    assert parts_in(tmp_path) == []
