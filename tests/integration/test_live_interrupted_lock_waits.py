"""Ctrl-C while a thread waits for the per-client lock, on a real connection.

A download from a server that drips its data holds the client's lock for a
few seconds; meanwhile the main thread is interrupted, again and again,
while it waits for that lock in an operation and in _close.
"""

import os
import signal
import threading
import time

import pytest

import sftp_main

PAYLOAD = b"0123456789"


def interrupted_while_waiting(call, *args):
    """call(*args) gets Ctrl-C 0.2 s in; the seconds until it raised."""
    timer = threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGINT))
    began = time.monotonic()
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            call(*args)
    finally:
        timer.join()
    return time.monotonic() - began


@pytest.fixture
def holding(live, server, tmp_path):
    """An instance, and a way to have another thread hold its client's lock
    with a dripping download (about four seconds)."""
    (server.root / "drip.bin").write_bytes(PAYLOAD)
    client = sftp_main.TavrelSFTPMain(live.config(server, timeout=5.0))
    client._connect()
    results = []

    def start():
        server.drip = 0.4
        worker = threading.Thread(target=lambda: results.append(client._download("drip.bin", str(tmp_path / "drip.bin"))))
        worker.start()
        time.sleep(0.5)  # well inside the transfer, which takes four seconds
        return worker

    yield client, start, results
    server.drip = None
    try:
        client._close()
    except Exception:
        pass


def test_ctrl_c_reaches_each_waiter_at_once_and_the_holder_finishes(live, server, holding, tmp_path):
    client, start, results = holding
    worker = start()
    for _ in range(4):
        assert worker.is_alive()
        assert interrupted_while_waiting(client._stat, "drip.bin") < 1.0
    worker.join(30)
    assert results == [True] and (tmp_path / "drip.bin").read_bytes() == PAYLOAD
    server.drip = None
    assert client._stat("drip.bin").st_size == len(PAYLOAD)  # the lock is free and the session intact


def test_ctrl_c_while_close_waits_leaves_the_connection_to_a_later_close(live, server, holding):
    client, start, results = holding
    worker = start()
    assert interrupted_while_waiting(client._close) < 1.0
    worker.join(30)
    assert results == [True] and server.open_sessions == 1
    server.drip = None
    assert client._stat("drip.bin").st_size == len(PAYLOAD)
    client._close()
    assert live.sessions_end(server)
