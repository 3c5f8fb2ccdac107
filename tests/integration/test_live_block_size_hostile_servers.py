"""block_size against servers that answer oddly: limits beyond any request
size, reads answered with more bytes than asked or with none before the
end, a connection dropped mid-pipeline, and a progress callback that closes
the client under the transfer."""

import contextlib
import os
import threading

import paramiko
import pytest

import sftp_main

BLOCK = 256 << 10
SIZE = (2 << 20) + 4321


@pytest.fixture
def payload(server):
    data = os.urandom(SIZE)
    (server.root / "payload.bin").write_bytes(data)
    return data


def connected(live, server, **options):
    client = sftp_main.TavrelSFTPMain(live.config(server, block_size=BLOCK, **options))
    client._connect()
    return client


def request_sizes(client):
    sizes = []
    sftp = client._sftp
    send = sftp._async_request

    def recording(fileobj, kind, *arguments):
        if kind == paramiko.sftp.CMD_READ:
            sizes.append(arguments[-1])
        return send(fileobj, kind, *arguments)

    sftp._async_request = recording  # this client object only
    return sizes


# -- limits@openssh.com as no server should state them --------------------

@pytest.mark.parametrize("stated", [
    (2**64 - 1, 2**64 - 1, 2**64 - 1, 2**64 - 1),  # all ones: "no limit" of another kind
    (2**63, 2**63 + 5, 2**63, 0),
    (0, 0, 0, 0),
])
def test_limits_beyond_any_request_leave_the_block_and_the_connection(live, server, payload, tmp_path, stated):
    server.stated_limits = stated
    client = connected(live, server, raise_on_failure=True)
    try:
        sizes = request_sizes(client)
        assert client._download("payload.bin", str(tmp_path / "out.bin")) is True
        assert client._upload(str(tmp_path / "out.bin"), "up.bin") is True
    finally:
        client._close()
    assert (server.root / "up.bin").read_bytes() == payload
    assert max(sizes) == BLOCK


# -- reads answered with more, or with nothing ----------------------------

def test_a_read_answered_with_more_bytes_than_asked_fails_and_leaves_the_destination(live, server, payload, tmp_path):
    server.read_surplus = 7
    destination = tmp_path / "out.bin"
    destination.write_bytes(b"before")
    client = connected(live, server)
    try:
        assert client._download("payload.bin", str(destination)) is False
        with pytest.raises(OSError, match="answered a read of"):
            connected_raising = connected(live, server, raise_on_failure=True)
            try:
                connected_raising._download("payload.bin", str(destination))
            finally:
                connected_raising._close()
    finally:
        client._close()
    assert destination.read_bytes() == b"before"
    assert sorted(os.listdir(tmp_path)) == ["out.bin"]


def test_an_empty_data_answer_mid_file_is_completed_and_keeps_the_block(live, server, payload, tmp_path):
    # Not the end of the file: the gap is asked again, and the requests
    # after it stay the block's size rather than shrinking to nothing.
    # The file is larger than the requests in flight, so that requests are
    # still made after the empty answer.
    data = os.urandom((12 << 20) + 4321)
    (server.root / "large.bin").write_bytes(data)
    server.empty_read_offsets = {BLOCK}
    client = connected(live, server, raise_on_failure=True)
    try:
        sizes = request_sizes(client)
        assert client._download("large.bin", str(tmp_path / "out.bin")) is True
    finally:
        client._close()
    assert (tmp_path / "out.bin").read_bytes() == data
    assert not server.empty_read_offsets  # the empty answer was given
    assert min(sizes) == 4321 and len(sizes) == len(data) // BLOCK + 2


# -- the connection dropped, the client closed from the callback ----------

def test_a_connection_dropped_mid_pipeline_fails_cleanly(live, server, tmp_path):
    # Larger than the requests in flight, so that the drop comes mid-file.
    (server.root / "large.bin").write_bytes(os.urandom(24 << 20))
    destination = tmp_path / "out.bin"
    destination.write_bytes(b"before")
    threads_before = threading.active_count()
    dropped = []

    def drop(done, total):
        if not dropped:
            dropped.append(done)
            server.kill()

    client = connected(live, server, progress=drop)
    try:
        assert client._download("large.bin", str(destination)) is False
    finally:
        # paramiko's close of a dropped session may raise, as without block_size.
        with contextlib.suppress(EOFError, OSError):
            client._close()
    assert dropped
    assert destination.read_bytes() == b"before"
    assert sorted(os.listdir(tmp_path)) == ["out.bin"]
    live.wait_for(lambda: threading.active_count() <= threads_before)


@pytest.mark.parametrize("direction", ["download", "upload"])
def test_a_callback_closing_the_client_mid_transfer_ends_it_as_a_failure(live, server, payload, tmp_path, direction):
    local = tmp_path / "local.bin"
    local.write_bytes(payload)
    holder = {}
    calls = []

    def close_it(done, total):
        calls.append(done)
        if len(calls) == 2:
            holder["client"]._close()

    client = holder["client"] = connected(live, server, progress=close_it)
    if direction == "download":
        assert client._download("payload.bin", str(tmp_path / "out.bin")) is False
        assert not (tmp_path / "out.bin").exists()
    else:
        assert client._upload(str(local), "up.bin") is False
    client._close()
    # Answers already received may still be written: the failure comes at
    # the first request that needs the closed channel.
    assert 2 <= len(calls) < len(payload) // BLOCK
    holder.clear()


# -- failures mid-pipeline, a source changing under the upload -----------

def test_a_failure_status_mid_pipeline_fails_the_upload_and_the_client_stays_usable(live, server, payload, tmp_path):
    local = tmp_path / "local.bin"
    local.write_bytes(payload)
    server.disk_space = 3 * BLOCK + 100  # refused after the third block, others in flight
    client = connected(live, server)
    try:
        assert client._upload(str(local), "up.bin") is False
        server.disk_space = None
        assert client._upload(str(local), "again.bin") is True
        assert client._download("again.bin", str(tmp_path / "back.bin")) is True
    finally:
        client._close()
    assert (tmp_path / "back.bin").read_bytes() == payload


def test_a_source_truncated_during_the_upload_sends_what_it_read(live, server, payload, tmp_path):
    # As put does: the bytes up to the end the file has by then, checked
    # against what the server holds.
    local = tmp_path / "local.bin"
    local.write_bytes(payload)
    seen = []

    def shrink(done, total):
        seen.append(done)
        if len(seen) == 1:
            os.truncate(local, 2 * BLOCK)

    client = connected(live, server, progress=shrink, raise_on_failure=True)
    try:
        assert client._upload(str(local), "up.bin") is True
    finally:
        client._close()
    assert (server.root / "up.bin").read_bytes() == payload[: 2 * BLOCK]


def test_the_instance_dropped_by_another_thread_mid_transfer_ends_whole(live, server, payload, tmp_path):
    import gc

    started = threading.Event()
    holder = {"client": connected(live, server, progress=lambda done, total: started.set())}
    outcome = []

    def transfer():
        outcome.append(holder["client"]._download("payload.bin", str(tmp_path / "out.bin")))

    worker = threading.Thread(target=transfer)
    worker.start()
    assert started.wait(10)
    holder.clear()
    gc.collect()
    worker.join(30)
    assert not worker.is_alive()
    assert outcome == [True]
    assert (tmp_path / "out.bin").read_bytes() == payload
    gc.collect()

