"""The fault-injecting relay on its own, against small loopback servers: the
bytes it carries, its cuts at the exact count in each direction, its
counters, the switch to a second target, and that it leaves nothing behind."""

import os
import socket
import subprocess
import sys
import threading
import time

import pytest
from fault_relay import DOWN, THREAD_PREFIX, UP, Cut, FaultRelay


class Target:
    """A loopback server that records what each connection sends it, and
    answers each with ``reply`` (then keeps reading), or echoes with None."""

    def __init__(self, reply=None, greeting=b""):
        self.reply = reply
        self.greeting = greeting
        self.received = []  # bytes per connection, complete once its "done" is set
        self.done = []
        self._listener = socket.create_server(("127.0.0.1", 0))
        self.port = self._listener.getsockname()[1]
        self.address = ("127.0.0.1", self.port)
        self._threads = []
        self._accept = threading.Thread(target=self._run, daemon=True)
        self._accept.start()

    def _run(self):
        while True:
            try:
                conn, _ = self._listener.accept()
            except OSError:
                return
            index = len(self.received)
            self.received.append(b"")
            self.done.append(threading.Event())
            thread = threading.Thread(target=self._serve, args=(conn, index), daemon=True)
            self._threads.append(thread)
            thread.start()

    def _serve(self, conn, index):
        with conn:
            try:
                if self.greeting:
                    conn.sendall(self.greeting)
                if self.reply is not None:
                    conn.sendall(self.reply)
                while data := conn.recv(65536):
                    self.received[index] += data
                    if self.reply is None:
                        conn.sendall(data)
            except OSError:
                pass
            finally:
                self.done[index].set()

    def close(self):
        try:
            self._listener.shutdown(socket.SHUT_RDWR)  # wakes the accept
        except OSError:
            pass
        self._listener.close()
        self._accept.join(5)
        for thread in self._threads:
            thread.join(5)


@pytest.fixture
def target():
    server = Target()
    yield server
    server.close()


def read_all(sock, timeout=10.0):
    sock.settimeout(timeout)
    chunks = []
    try:
        while data := sock.recv(65536):
            chunks.append(data)
    except ConnectionResetError:
        pass
    return b"".join(chunks)


def relay_threads():
    return [t for t in threading.enumerate() if t.name.startswith(THREAD_PREFIX)]


def open_fds():
    """The sockets this process holds, by inode: a number reused is not the same socket."""
    found = set()
    for fd in os.listdir("/proc/self/fd"):
        try:
            link = os.readlink(f"/proc/self/fd/{fd}")
        except OSError:
            continue
        if link.startswith("socket:"):
            found.add(link)
    return found


# --- carrying ---


def test_bytes_are_relayed_intact_both_ways_and_counted(target):
    payload = os.urandom(3 * 1024 * 1024 + 17)
    with FaultRelay(target.address) as relay:
        with socket.create_connection(relay.address) as client:
            sender = threading.Thread(target=client.sendall, args=(payload,))
            sender.start()
            echoed = b""
            client.settimeout(10)
            while len(echoed) < len(payload):
                data = client.recv(65536)
                assert data, "the relay ended a connection it was not asked to cut"
                echoed += data
            sender.join()
        assert relay.wait_until_ended(0)
        connection = relay.connections[0]
        assert echoed == payload
        assert target.received[0] == payload
        assert connection.carried == {UP: len(payload), DOWN: len(payload)}
        assert connection.cut is None and connection.connected
        assert relay.carried(UP) == relay.carried(DOWN) == len(payload)
        assert relay.carried() == 2 * len(payload)


def test_counters_are_per_connection_and_in_total(target):
    with FaultRelay(target.address) as relay:
        for size in (10, 2000, 70_000):
            with socket.create_connection(relay.address) as client:
                client.sendall(b"x" * size)
                client.shutdown(socket.SHUT_WR)
                assert len(read_all(client)) == size
        for index in range(3):
            assert relay.wait_until_ended(index)
        assert [c.carried[UP] for c in relay.connections] == [10, 2000, 70_000]
        assert [c.carried[DOWN] for c in relay.connections] == [10, 2000, 70_000]
        assert [c.index for c in relay.connections] == [0, 1, 2]
        assert relay.carried(UP) == 72_010


# --- cuts ---


@pytest.mark.parametrize("after", [1, 65_535, 65_536, 65_537, 1_000_003])
def test_a_cut_client_to_server_passes_exactly_that_many_bytes(target, after):
    payload = os.urandom(after + 300_000)
    with FaultRelay(target.address, cut_every=Cut(UP, after)) as relay:
        with socket.create_connection(relay.address) as client:
            sender = threading.Thread(target=lambda: _send_until_refused(client, payload))
            sender.start()
            echoed = read_all(client)
            sender.join(10)
        assert relay.wait_until_ended(0)
        assert target.done[0].wait(10)
        assert target.received[0] == payload[:after]
        assert echoed == payload[: len(echoed)] and len(echoed) <= after
        assert relay.connections[0].cut == Cut(UP, after)
        assert relay.connections[0].carried[UP] == after


@pytest.mark.parametrize("after", [1, 65_536, 1_000_003])
def test_a_cut_server_to_client_passes_exactly_that_many_bytes(after):
    reply = os.urandom(after + 500_000)
    server = Target(reply=reply)
    try:
        with FaultRelay(server.address, cut_every=Cut(DOWN, after)) as relay:
            with socket.create_connection(relay.address) as client:
                received = read_all(client)
            assert relay.wait_until_ended(0)
            # The server's side is closed too, as a dropped link's is.
            assert server.done[0].wait(10)
            assert received == reply[:after]
            assert relay.connections[0].carried[DOWN] == after
            assert relay.connections[0].cut == Cut(DOWN, after)
    finally:
        server.close()


def test_a_cut_at_zero_ends_the_connection_before_any_byte(target):
    with FaultRelay(target.address, cuts=[Cut(DOWN, 0)]) as relay:
        with socket.create_connection(relay.address) as client:
            client.sendall(b"hello")
            assert read_all(client) == b""
        assert relay.wait_until_ended(0)
        assert relay.connections[0].carried == {UP: 0, DOWN: 0}


def test_a_reset_cut_is_seen_as_a_reset():
    server = Target(reply=os.urandom(400_000))
    try:
        with FaultRelay(server.address, cut_every=Cut(DOWN, 1000), reset=True) as relay:
            with socket.create_connection(relay.address) as client:
                client.settimeout(10)
                got = b""
                with pytest.raises(ConnectionResetError):
                    while True:
                        data = client.recv(65536)
                        if not data:
                            break
                        got += data
                        time.sleep(0.05)  # let the reset arrive while data is still owed
            assert len(got) <= 1000
    finally:
        server.close()


def test_a_list_of_cuts_applies_connection_by_connection_then_cut_every():
    reply = os.urandom(200_000)
    server = Target(reply=reply)
    try:
        schedule = [Cut(DOWN, 1000), None, Cut(DOWN, 5)]
        with FaultRelay(server.address, cuts=schedule, cut_every=Cut(DOWN, 77)) as relay:
            lengths = []
            for _ in range(5):
                with socket.create_connection(relay.address) as client:
                    # The uncut one ends when the client does.
                    client.settimeout(10)
                    got = b""
                    while len(got) < len(reply):
                        data = client.recv(65536)
                        if not data:
                            break
                        got += data
                    assert got == reply[: len(got)]
                    lengths.append(len(got))
            assert lengths == [1000, 200_000, 5, 77, 77]
            for index in range(5):
                assert relay.wait_until_ended(index)
            assert [c.cut for c in relay.connections] == [Cut(DOWN, 1000), None, Cut(DOWN, 5), Cut(DOWN, 77),
                                                          Cut(DOWN, 77)]
            assert relay.carried(DOWN) == 1000 + 200_000 + 5 + 77 + 77
    finally:
        server.close()


def test_a_new_schedule_applies_to_the_connections_after_it(target):
    with FaultRelay(target.address) as relay:
        with socket.create_connection(relay.address) as client:
            client.sendall(b"a" * 100)
            client.shutdown(socket.SHUT_WR)
            assert len(read_all(client)) == 100
        relay.set_schedule([Cut(UP, 10)])
        with socket.create_connection(relay.address) as client:
            client.sendall(b"b" * 100)
            read_all(client)
        assert relay.wait_until_ended(1)
        assert target.done[1].wait(10)
        assert target.received[1] == b"b" * 10
        assert relay.connections[0].cut is None and relay.connections[1].cut == Cut(UP, 10)


# --- the second target ---


def test_connections_go_to_the_second_target_after_a_switch():
    first, second = Target(greeting=b"first\n"), Target(greeting=b"second\n")
    try:
        with FaultRelay(first.address, second_target=second.address, switch_after=1) as relay:
            greetings = []
            for _ in range(2):
                with socket.create_connection(relay.address) as client:
                    client.shutdown(socket.SHUT_WR)
                    greetings.append(read_all(client))
            relay.switch_to(None)
            with socket.create_connection(relay.address) as client:
                client.shutdown(socket.SHUT_WR)
                greetings.append(read_all(client))
            relay.switch_to(second.address)
            with socket.create_connection(relay.address) as client:
                client.shutdown(socket.SHUT_WR)
                greetings.append(read_all(client))
            assert greetings == [b"first\n", b"second\n", b"first\n", b"second\n"]
            assert [c.target for c in relay.connections] == [first.address, second.address, first.address,
                                                             second.address]
    finally:
        first.close()
        second.close()


def test_targets_off_loopback_are_refused(target):
    with pytest.raises(ValueError, match="loopback"):
        FaultRelay(("192.0.2.1", 22))
    with FaultRelay(target.address) as relay:
        with pytest.raises(ValueError, match="loopback"):
            relay.switch_to(("192.0.2.1", 22))


@pytest.mark.parametrize("text", ["sideways:5", "up:", "down:-1", "up:1.5", "5"])
def test_malformed_cuts_are_refused(text):
    with pytest.raises(ValueError):
        Cut.parse(text)


def test_a_target_that_refuses_ends_the_client_connection():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        closed_port = probe.getsockname()[1]
    with FaultRelay(("127.0.0.1", closed_port)) as relay:
        with socket.create_connection(relay.address) as client:
            assert read_all(client) == b""
        assert relay.wait_until_ended(0)
        assert not relay.connections[0].connected


# --- leaving nothing behind ---


def test_stop_ends_live_connections_and_leaves_no_thread_or_socket(target):
    before_fds = open_fds()
    relay = FaultRelay(target.address).start()
    clients = [socket.create_connection(relay.address) for _ in range(3)]
    for client in clients:
        client.sendall(b"ping")
        client.settimeout(10)
        assert client.recv(4) == b"ping"
    assert relay.wait_for_connections(3)
    assert relay_threads()
    relay.stop()
    assert relay_threads() == []
    for client in clients:
        assert read_all(client) == b""
        client.close()
    assert all(done.wait(10) for done in target.done)
    assert open_fds() <= before_fds
    assert all(c.ended.is_set() for c in relay.connections)


def test_the_relay_stops_by_itself_at_the_end_of_its_lifetime(target):
    before_fds = open_fds()
    relay = FaultRelay(target.address, lifetime=0.5).start()
    client = socket.create_connection(relay.address)
    client.sendall(b"x")
    client.settimeout(10)
    assert client.recv(1) == b"x"
    began = time.monotonic()
    assert read_all(client) == b""  # ended by the relay, not by us
    client.close()
    assert time.monotonic() - began < 5
    deadline = time.monotonic() + 5
    while relay_threads() and time.monotonic() < deadline:
        time.sleep(0.02)
    assert relay_threads() == []
    assert not relay.running
    assert target.done[0].wait(10)
    with pytest.raises(OSError):
        socket.create_connection(relay.address, timeout=2).close()
    assert open_fds() <= before_fds


def test_the_command_relays_reports_and_stops_at_its_lifetime(target):
    script = os.path.join(os.path.dirname(__file__), "..", "..", "devtools", "fault_relay.py")
    process = subprocess.Popen(
        [sys.executable, script, "--target", f"127.0.0.1:{target.port}", "--cut", "up:3", "--lifetime", "3"],
        stdout=subprocess.PIPE, text=True,
    )
    try:
        words = process.stdout.readline().split()
        assert words[:2] == ["listening", "127.0.0.1"]
        with socket.create_connection(("127.0.0.1", int(words[2]))) as client:
            client.sendall(b"abcdef")
            assert read_all(client) in (b"", b"a", b"ab", b"abc")
        out, _ = process.communicate(timeout=15)
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
    assert process.returncode == 0
    assert "connection 0 to 127.0.0.1:%d: 3 up" % target.port in out
    assert "cut client_to_server:3" in out
    assert target.received[0] == b"abc"


def _send_until_refused(sock, payload):
    try:
        sock.sendall(payload)
    except OSError:
        pass
