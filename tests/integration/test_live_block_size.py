"""block_size against the embedded server: whole, correct files both ways
from a server that caps reads and writes at 32 KiB, the session channel
sized on the connection's own transport, progress per block, a bounded
request pipeline, and the staged download's and atomic upload's
properties, time limits and interrupts as without it."""

import os
import time

import paramiko
import pytest

import sftp_main

BLOCK = 256 << 10
CAP = 32 << 10
SIZE = (3 << 20) + 12345  # no multiple of the block nor of the cap
PIPELINE = 8 << 20  # the bytes of the requests in flight, at most


@pytest.fixture
def payload(server):
    data = os.urandom(SIZE)
    (server.root / "payload.bin").write_bytes(data)
    return data


@pytest.fixture
def client_with(live, server):
    made = []

    def connect(**options):
        client = sftp_main.TavrelSFTPMain(live.config(server, block_size=BLOCK, **options))
        client._connect()
        made.append(client)
        return client

    yield connect
    for client in made:
        client._close()


def leftovers(directory, *expected):
    return sorted(set(os.listdir(directory)) - set(expected))


# -- a server that answers less than asked --------------------------------

def test_a_server_capping_reads_still_gives_the_whole_file(client_with, server, payload, tmp_path):
    server.max_read = CAP
    seen = []
    client = client_with(progress=lambda done, total: seen.append((done, total)), raise_on_failure=True)
    assert client._download("payload.bin", str(tmp_path / "out.bin")) is True
    assert (tmp_path / "out.bin").read_bytes() == payload
    assert seen[-1] == (SIZE, SIZE)
    assert [done for done, _ in seen] == sorted(done for done, _ in seen)


def test_a_server_capping_writes_gets_the_whole_file_in_requests_it_takes(client_with, server, payload, tmp_path):
    server.max_write = CAP
    local = tmp_path / "local.bin"
    local.write_bytes(payload)
    client = client_with(raise_on_failure=True)
    assert client._upload(str(local), "up.bin") is True
    assert (server.root / "up.bin").read_bytes() == payload


def test_the_write_cap_is_real_a_larger_request_fails(live, server, payload):
    # The bent server refuses what paramiko's default put would not send
    # either; a request over the cap is what the stated limit keeps away.
    server.max_write = CAP
    transport = paramiko.Transport((server.host, server.port))
    try:
        transport.connect(username=live.user, password=live.password)
        sftp = paramiko.SFTPClient.from_transport(transport)
        with sftp.open("over.bin", "wb") as remote:
            remote.MAX_REQUEST_SIZE = CAP * 2
            with pytest.raises(OSError):
                remote.write(os.urandom(CAP * 2))
                remote.flush()
    finally:
        transport.close()


def test_capped_both_ways_a_round_trip_keeps_every_byte(client_with, server, payload, tmp_path):
    server.max_read = CAP
    server.max_write = CAP
    client = client_with(raise_on_failure=True)
    assert client._download("payload.bin", str(tmp_path / "back.bin")) is True
    assert client._upload(str(tmp_path / "back.bin"), "again.bin") is True
    assert (server.root / "again.bin").read_bytes() == payload


# -- the channel, sized on the connection's own objects -------------------

def test_the_session_channel_is_opened_with_a_window_and_packet_for_the_block(client_with):
    client = client_with()
    channel = client._sftp.get_channel()
    transport = channel.get_transport()
    assert channel.in_window_size == PIPELINE + 2 * BLOCK
    assert channel.in_max_packet_size == 128 << 10
    assert transport.default_window_size == channel.in_window_size
    assert transport.default_max_packet_size == channel.in_max_packet_size
    assert "default_window_size" in vars(transport)


def test_nothing_changes_for_another_connection_nor_process_wide(live, server, client_with):
    client_with()
    plain = sftp_main.TavrelSFTPMain(live.config(server))
    plain._connect()
    try:
        channel = plain._sftp.get_channel()
        assert channel.in_window_size == paramiko.common.DEFAULT_WINDOW_SIZE
        assert channel.in_max_packet_size == paramiko.common.DEFAULT_MAX_PACKET_SIZE
        assert paramiko.SFTPFile.MAX_REQUEST_SIZE == 32768
        assert not hasattr(paramiko.Transport, "default_window_size")
    finally:
        plain._close()


# -- progress and the pipeline --------------------------------------------

def test_progress_is_called_once_a_block_both_ways(client_with, server, payload, tmp_path):
    seen = []
    client = client_with(progress=lambda done, total: seen.append((done, total)))
    assert client._download("payload.bin", str(tmp_path / "out.bin")) is True
    blocks = -(-SIZE // BLOCK)
    assert len(seen) == blocks
    assert seen[0] == (BLOCK, SIZE) and seen[-1] == (SIZE, SIZE)
    seen.clear()
    assert client._upload(str(tmp_path / "out.bin"), "up.bin") is True
    assert len(seen) == blocks
    assert seen[-1] == (SIZE, SIZE)


def test_the_requests_in_flight_stay_bounded(client_with, server, tmp_path):
    big = 40 << 20
    with open(server.root / "big.bin", "wb") as out:
        out.truncate(big)
    in_flight = []
    client = client_with(progress=lambda done, total: in_flight.append(len(client._sftp._expecting)))
    assert client._download("big.bin", str(tmp_path / "big.bin")) is True
    assert os.path.getsize(tmp_path / "big.bin") == big
    # 8 MiB of requests at most, the block's size each; what arrived is
    # held no further than the channel's window.
    assert 1 < max(in_flight) <= PIPELINE // BLOCK
    assert client._sftp.get_channel().in_window_size <= PIPELINE + 2 * BLOCK


# -- staging, atomic upload, failures -------------------------------------

def test_a_failed_download_leaves_the_destination_as_it_was(client_with, server, payload, tmp_path):
    kept = tmp_path / "kept.bin"
    kept.write_bytes(b"old contents")

    def fail(done, total):
        if done > BLOCK:
            raise RuntimeError("the caller's progress failed")

    client = client_with(progress=fail)
    assert client._download("payload.bin", str(kept)) is False
    assert kept.read_bytes() == b"old contents"
    assert leftovers(tmp_path, "kept.bin") == []
    assert client._download("missing.bin", str(kept)) is False
    assert kept.read_bytes() == b"old contents"


def test_a_file_shorter_than_reported_is_a_size_mismatch(client_with, server, payload, tmp_path):
    server.reported_size = SIZE + 1000
    client = client_with(raise_on_failure=True)
    with pytest.raises(OSError, match=rf"size mismatch in get!  {SIZE} != {SIZE + 1000}"):
        client._download("payload.bin", str(tmp_path / "out.bin"))
    assert leftovers(tmp_path) == []


def test_an_interrupt_goes_up_and_leaves_nothing_behind(client_with, server, payload, tmp_path):
    def interrupt(done, total):
        raise KeyboardInterrupt

    client = client_with(progress=interrupt)
    with pytest.raises(KeyboardInterrupt):
        client._download("payload.bin", str(tmp_path / "out.bin"))
    assert leftovers(tmp_path) == []
    local = tmp_path / "local.bin"
    local.write_bytes(payload)
    with pytest.raises(KeyboardInterrupt):
        client._upload(str(local), "up.bin")
    # The connection is still usable for the next call.
    client_quiet = client_with()
    assert client_quiet._download("payload.bin", str(tmp_path / "after.bin")) is True
    assert (tmp_path / "after.bin").read_bytes() == payload


def test_atomic_upload_replaces_the_file_whole_and_leaves_no_stage(client_with, server, payload, tmp_path):
    (server.root / "dest.bin").write_bytes(b"before")
    os.chmod(server.root / "dest.bin", 0o640)
    local = tmp_path / "local.bin"
    local.write_bytes(payload)
    seen = []
    client = client_with(atomic_upload=True, progress=lambda done, total: seen.append(done), raise_on_failure=True)
    assert client._upload(str(local), "dest.bin") is True
    assert (server.root / "dest.bin").read_bytes() == payload
    assert os.stat(server.root / "dest.bin").st_mode & 0o777 == 0o640
    assert not [name for name in os.listdir(server.root) if name.endswith(".part")]
    assert seen[-1] == SIZE


def test_a_failed_atomic_upload_leaves_the_old_file(client_with, server, payload, tmp_path):
    (server.root / "dest.bin").write_bytes(b"before")
    local = tmp_path / "local.bin"
    local.write_bytes(payload)
    server.max_write = CAP

    def fail(done, total):
        if done > 4 * CAP:
            raise RuntimeError("stop")

    client = client_with(atomic_upload=True, progress=fail)
    assert client._upload(str(local), "dest.bin") is False
    assert (server.root / "dest.bin").read_bytes() == b"before"
    assert not [name for name in os.listdir(server.root) if name.endswith(".part")]


def test_a_missing_local_file_fails_the_upload(client_with, tmp_path):
    client = client_with(raise_on_failure=True)
    with pytest.raises(FileNotFoundError):
        client._upload(str(tmp_path / "missing.bin"), "up.bin")


def test_the_time_limit_ends_a_stalled_download(client_with, server, payload, tmp_path):
    client = client_with(timeout=1.5)
    server.stall = True
    try:
        started = time.monotonic()
        assert client._download("payload.bin", str(tmp_path / "out.bin")) is False
        assert time.monotonic() - started < 20
    finally:
        server.stall = False
    assert leftovers(tmp_path) == []


# -- the request sizes: the block, within what the server states ----------

def request_sizes(client):
    """The data size of every read and write request the client sends from now on."""
    sizes = {"read": [], "write": []}
    sftp = client._sftp
    send = sftp._async_request

    def recording(fileobj, kind, *arguments):
        if kind == paramiko.sftp.CMD_READ:
            sizes["read"].append(arguments[-1])
        elif kind == paramiko.sftp.CMD_WRITE:
            sizes["write"].append(len(arguments[-1]))
        return send(fileobj, kind, *arguments)

    sftp._async_request = recording  # this client object only
    return sizes


@pytest.mark.parametrize("limits, block, expected", [
    (True, 1 << 20, 1 << 20),           # the server takes 4 MiB: the block as it is
    (False, 1 << 20, 256 << 10),        # no stated limits: 256 KiB at most
    (False, 64 << 10, 64 << 10),
])
def test_requests_are_the_block_within_the_stated_limits(live, server, payload, tmp_path, limits, block, expected):
    server.limits = limits
    client = sftp_main.TavrelSFTPMain(live.config(server, block_size=block, raise_on_failure=True))
    client._connect()
    try:
        sizes = request_sizes(client)
        assert client._download("payload.bin", str(tmp_path / "out.bin")) is True
        assert client._upload(str(tmp_path / "out.bin"), "up.bin") is True
    finally:
        client._close()
    assert (server.root / "up.bin").read_bytes() == payload
    assert max(sizes["read"]) == expected
    assert max(sizes["write"]) == expected


def test_a_stated_write_limit_sizes_the_writes(client_with, server, payload, tmp_path):
    server.max_write = CAP
    client = client_with(raise_on_failure=True)
    sizes = request_sizes(client)
    local = tmp_path / "local.bin"
    local.write_bytes(payload)
    assert client._upload(str(local), "up.bin") is True
    assert client._download("up.bin", str(tmp_path / "back.bin")) is True
    assert max(sizes["write"]) == CAP
    assert max(sizes["read"]) == BLOCK
    assert (tmp_path / "back.bin").read_bytes() == payload


def test_after_a_short_read_requests_shrink_to_what_the_server_answers(client_with, server, payload, tmp_path):
    server.max_read = CAP
    client = client_with(raise_on_failure=True)
    sizes = request_sizes(client)
    assert client._download("payload.bin", str(tmp_path / "out.bin")) is True
    assert sizes["read"][0] == BLOCK
    assert sizes["read"][-1] <= CAP
    assert (tmp_path / "out.bin").read_bytes() == payload


def test_transfers_from_two_threads_on_one_client_take_turns(client_with, server, payload, tmp_path):
    import threading

    client = client_with(raise_on_failure=True)
    local = tmp_path / "local.bin"
    local.write_bytes(payload)
    results = {}

    def download(name):
        results[name] = client._download("payload.bin", str(tmp_path / name))

    def upload(name):
        results[name] = client._upload(str(local), name)

    threads = [threading.Thread(target=download, args=("a.bin",)), threading.Thread(target=upload, args=("b.bin",)),
               threading.Thread(target=download, args=("c.bin",))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(60)
    assert results == {"a.bin": True, "b.bin": True, "c.bin": True}
    assert (tmp_path / "a.bin").read_bytes() == payload
    assert (tmp_path / "c.bin").read_bytes() == payload
    assert (server.root / "b.bin").read_bytes() == payload
