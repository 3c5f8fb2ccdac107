"""A server that lies about sizes or drips its data, played by a bent embedded server."""

import logging
import os
import time

import pytest

import sftp_main

LIE = 1 << 46  # 2**31 read requests of 32 KiB in paramiko's list
PAYLOAD = b"ten bytes!"


def memory_kib(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise AssertionError(field)


def reset_peak_memory():
    try:
        with open("/proc/self/clear_refs", "w") as control:
            control.write("5")
    except OSError:
        pytest.skip("the kernel cannot reset the peak of resident memory here")


@pytest.fixture
def lying(server):
    (server.root / "small.bin").write_bytes(PAYLOAD)
    server.reported_size = LIE
    return server


@pytest.fixture
def client(live, lying):
    client = sftp_main.TavrelSFTPMain(live.config(lying, timeout=5.0))
    client._connect()
    yield client
    client._close()


def download_refused(client, destination, caplog):
    """The download of the lying server's file: False within two seconds and
    with no growth of resident memory to speak of, and why."""
    caplog.clear()
    before = memory_kib("VmRSS")
    reset_peak_memory()
    began = time.monotonic()
    assert client._download("small.bin", str(destination)) is False
    elapsed = time.monotonic() - began
    grown = memory_kib("VmHWM") - before
    assert elapsed < 2 and grown < 32 * 1024, (elapsed, grown)
    [record] = caplog.records
    return record.getMessage()


@pytest.mark.parametrize("existing", [False, True], ids=["new", "existing"])
def test_a_size_beyond_the_free_space_ends_a_staged_download_at_once(client, tmp_path, caplog, existing):
    caplog.set_level(logging.INFO, logger="sftp_main")
    destination = tmp_path / "out.bin"
    if existing:
        destination.write_bytes(b"precious")
    message = download_refused(client, destination, caplog)
    assert f"the server reports {LIE} bytes for 'small.bin'" in message and "free where the download goes" in message
    assert (destination.read_bytes() if existing else destination.exists()) == (b"precious" if existing else False)
    assert os.listdir(tmp_path) == (["out.bin"] if existing else [])
    assert "stat" not in vars(client._sftp)  # the client's own stat again
    assert client._stat("small.bin").st_size == LIE


def test_a_size_beyond_the_free_space_ends_a_download_get_makes_too(client, tmp_path, caplog):
    caplog.set_level(logging.INFO, logger="sftp_main")
    target = tmp_path / "target.bin"
    target.write_bytes(b"old")
    link = tmp_path / "link.bin"  # this user's own link: followed, by get
    link.symlink_to(target.name)
    message = download_refused(client, link, caplog)
    assert f"the server reports {LIE} bytes" in message
    assert link.is_symlink() and "stat" not in vars(client._sftp)


def test_an_honest_file_and_lies_that_fit_go_as_before(client, lying, tmp_path, caplog):
    """Within the room, what the server reports changes nothing: paramiko
    reads to the end of the file, and the download holds what it holds."""
    caplog.set_level(logging.INFO, logger="sftp_main")
    destination = tmp_path / "out.bin"
    for reported in (None, 0, 5, 100):
        lying.reported_size = reported
        destination.write_bytes(b"old")
        assert client._download("small.bin", str(destination)) is True
        assert destination.read_bytes() == PAYLOAD
    assert caplog.records == [] and "stat" not in vars(client._sftp)


# --- a server that drips its data -------------------------------------------


def test_a_drip_within_the_timeout_is_awaited_and_arrives_whole(live, server, tmp_path):
    (server.root / "drip.bin").write_bytes(b"abcd")
    client = sftp_main.TavrelSFTPMain(live.config(server, timeout=2.0))
    client._connect()
    try:
        server.drip = 0.3
        began = time.monotonic()
        assert client._download("drip.bin", str(tmp_path / "drip.bin")) is True
        assert (tmp_path / "drip.bin").read_bytes() == b"abcd"
        assert 1.0 < time.monotonic() - began < 8  # one byte per answer, each awaited
    finally:
        server.drip = None
        client._close()


def test_a_drip_slower_than_the_timeout_ends_the_download(live, server, tmp_path, caplog):
    caplog.set_level(logging.INFO, logger="sftp_main")
    (server.root / "drip.bin").write_bytes(b"abcd")
    destination = tmp_path / "drip.bin"
    destination.write_bytes(b"old")
    client = sftp_main.TavrelSFTPMain(live.config(server, timeout=0.5))
    client._connect()
    try:
        server.drip = 3.0
        began = time.monotonic()
        assert client._download("drip.bin", str(destination)) is False
        assert time.monotonic() - began < 3
    finally:
        server.drip = None
        client._close()
    assert destination.read_bytes() == b"old"
    assert " returned False: TimeoutError" in caplog.records[0].getMessage()
