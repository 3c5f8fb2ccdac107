"""The relay's cut in either direction, whichever way reaches the count
first, and its stall: a connection that stays open and carries nothing."""

import os
import socket
import threading
import time

import pytest
from fault_relay import DOWN, EITHER, UP, Cut, FaultRelay
from test_fault_relay import Target, read_all


@pytest.mark.parametrize("way", [UP, DOWN])
def test_a_cut_in_either_direction_comes_on_whichever_way_reaches_the_count(way):
    after = 200_003
    reply = os.urandom(after + 100_000) if way == DOWN else None
    server = Target(reply=reply)
    try:
        with FaultRelay(server.address, cut_every=Cut(EITHER, after)) as relay:
            with socket.create_connection(relay.address) as client:
                if way == UP:
                    threading.Thread(target=_send_until_refused, args=(client, os.urandom(after + 100_000)),
                                     daemon=True).start()
                received = read_all(client)
            assert relay.wait_until_ended(0)
            connection = relay.connections[0]
            assert connection.cut == Cut(EITHER, after)
            assert connection.carried[way] == after
            if way == DOWN:
                assert received == reply[:after]
            else:
                assert server.done[0].wait(10)
                assert len(server.received[0]) == after
    finally:
        server.close()


def test_the_cut_text_either_parses():
    assert Cut.parse("either:4096") == Cut(EITHER, 4096)
    with pytest.raises(ValueError, match="either:BYTES"):
        Cut.parse("sideways:1")


def test_a_stall_keeps_the_connection_open_and_carries_nothing_more():
    after = 100_000
    server = Target(reply=os.urandom(after + 400_000))
    try:
        with FaultRelay(server.address, cuts=[Cut(DOWN, after, stall=True)]) as relay:
            with socket.create_connection(relay.address) as client:
                client.settimeout(0.5)
                received = b""
                deadline = time.monotonic() + 10
                while len(received) < after and time.monotonic() < deadline:
                    try:
                        data = client.recv(65536)
                    except TimeoutError:
                        continue
                    assert data, "a stalled connection ended"
                    received += data
                assert len(received) == after
                # The relay counts a block after forwarding it.
                while relay.connections[0].cut is None and time.monotonic() < deadline:
                    time.sleep(0.01)
                # Silent, not closed: a read waits, and what the client
                # sends goes nowhere.
                client.sendall(b"are you there")
                with pytest.raises(TimeoutError):
                    client.recv(65536)
                assert not relay.connections[0].ended.is_set()
                assert relay.connections[0].carried == {UP: 0, DOWN: after}
                assert server.received[0] == b""
            # Only the relay's stop ends it.
            assert not relay.connections[0].ended.wait(0.5)
        assert relay.connections[0].ended.is_set()
    finally:
        server.close()


def test_the_connection_after_a_stall_is_carried_as_usual():
    server = Target()
    try:
        with FaultRelay(server.address, cuts=[Cut(UP, 3, stall=True)]) as relay:
            stalled = socket.create_connection(relay.address)
            stalled.sendall(b"abcdef")
            with socket.create_connection(relay.address) as client:
                client.sendall(b"hello")
                client.shutdown(socket.SHUT_WR)
                assert read_all(client) == b"hello"
            deadline = time.monotonic() + 10
            while relay.connections[0].carried[UP] < 3 and time.monotonic() < deadline:
                time.sleep(0.01)
            assert relay.connections[0].carried[UP] == 3
            assert relay.connections[0].cut.stall and relay.connections[1].cut is None
            stalled.close()
    finally:
        server.close()


def _send_until_refused(sock, payload):
    try:
        sock.sendall(payload)
    except OSError:
        pass
