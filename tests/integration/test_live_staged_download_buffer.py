"""The staged download's buffer: getfo's 32 KiB writes reach the staged file
a MiB at a time, and every outcome stays what it was: the whole file, the
progress calls, and the destination kept as it was on a failure, a full
file system included."""

import os
import subprocess
import tempfile
from pathlib import Path

import pytest

import sftp_main

SIZE = (4 << 20) + 777  # not a multiple of the buffer, nor of paramiko's 32 KiB reads


def write_calls_of_this_thread():
    for line in Path("/proc/thread-self/io").read_text().splitlines():
        if line.startswith("syscw:"):
            return int(line.split()[1])
    raise AssertionError("no syscw in /proc/thread-self/io")


@pytest.fixture
def payload(server):
    data = os.urandom(SIZE)
    (server.root / "payload.bin").write_bytes(data)
    return data


@pytest.fixture
def client_with(live, server):
    made = []

    def connect(**options):
        client = sftp_main.TavrelSFTPMain(live.config(server, **options))
        client._connect()
        made.append(client)
        return client

    yield connect
    for client in made:
        client._close()


def test_the_staged_file_is_written_a_mib_at_a_time(client_with, payload, tmp_path):
    client = client_with()
    before = write_calls_of_this_thread()
    assert client._download("payload.bin", str(tmp_path / "out.bin")) is True
    written = write_calls_of_this_thread() - before
    assert (tmp_path / "out.bin").read_bytes() == payload
    # 129 writes of up to 32 KiB each without the buffer; five of 1 MiB with it.
    assert written <= 12, written


def test_progress_is_called_for_every_32_kib_as_before(client_with, payload, tmp_path):
    seen = []
    client = client_with(progress=lambda done, total: seen.append((done, total)))
    assert client._download("payload.bin", str(tmp_path / "out.bin")) is True
    assert len(seen) == -(-SIZE // 32768)
    assert seen[-1] == (SIZE, SIZE)
    assert [done for done, _ in seen] == sorted(done for done, _ in seen)


def test_a_download_that_fails_midway_leaves_the_destination_and_no_other_file(client_with, payload, tmp_path):
    def fail_after_a_mib(done, total):
        if done > (1 << 20) + 65536:
            raise ValueError("enough")

    client = client_with(progress=fail_after_a_mib)
    (tmp_path / "out.bin").write_bytes(b"before")
    assert client._download("payload.bin", str(tmp_path / "out.bin")) is False
    assert (tmp_path / "out.bin").read_bytes() == b"before"
    assert os.listdir(tmp_path) == ["out.bin"]


@pytest.fixture
def small_file_system():
    """A 2 MiB tmpfs of this test's own, or a skip where it cannot be mounted."""
    place = tempfile.mkdtemp(prefix="sftp-main-full-")
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=2m,mode=0700", "tmpfs", place],
                             capture_output=True).returncode == 0
    if not mounted:
        os.rmdir(place)
        pytest.skip("a tmpfs cannot be mounted here (needs root)")
    try:
        yield Path(place)
    finally:
        subprocess.run(["umount", place], check=True)
        os.rmdir(place)


def test_a_full_file_system_fails_the_download_and_keeps_the_old_file(client_with, payload, small_file_system):
    client = client_with()
    destination = small_file_system / "out.bin"
    destination.write_bytes(b"before")
    assert client._download("payload.bin", str(destination)) is False
    assert destination.read_bytes() == b"before"
    assert os.listdir(small_file_system) == ["out.bin"]
    # The space the failed download took is free again.
    status = os.statvfs(small_file_system)
    assert status.f_bfree * status.f_frsize > (1 << 20) + (1 << 19)
