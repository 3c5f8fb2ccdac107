"""Nagle's algorithm during downloads: on for the download alone, on the
module's own connection, and TCP_NODELAY as _connect left it on every way
out of the download, on any thread, through the jump host too."""

import os
import signal
import socket
import threading

import pytest

import sftp_main

PAYLOAD = 3 << 20  # a few MiB: enough progress calls to look during


def no_delay(sock):
    return sock.getsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY)


def module_socket(client):
    return client._sftp.get_channel().get_transport().sock


@pytest.fixture
def payload(server):
    data = os.urandom(PAYLOAD)
    (server.root / "payload.bin").write_bytes(data)
    return data


@pytest.fixture
def watched(live, server):
    """A connected client whose progress calls record (thread name, TCP_NODELAY) and run `during`."""

    class Watched:
        def __init__(self, config):
            self.seen = []
            self.during = None
            self.client = sftp_main.TavrelSFTPMain({**config, "progress": self.look})
            self.client._connect()
            self.sock = module_socket(self.client)

        def look(self, done, total):
            self.seen.append((threading.current_thread().name, no_delay(self.sock)))
            if self.during is not None:
                self.during(done, total)

    made = []

    def make(config=None):
        made.append(Watched(config or live.config(server)))
        return made[-1]

    yield make
    for one in made:
        one.client._close()


# Where Nagle's algorithm is on, and where it is not


def test_a_staged_download_runs_with_nagle_and_leaves_no_delay_set(watched, payload, tmp_path):
    one = watched()
    assert no_delay(one.sock) == 1
    assert one.client._download("payload.bin", str(tmp_path / "out.bin")) is True
    assert (tmp_path / "out.bin").read_bytes() == payload
    assert one.seen and {state for _, state in one.seen} == {0}
    assert no_delay(one.sock) == 1


def test_a_download_that_is_not_staged_runs_with_nagle_too(watched, payload, tmp_path):
    # A link of the process's own is followed, not staged: paramiko's get writes through it.
    (tmp_path / "real.bin").write_bytes(b"old")
    (tmp_path / "link.bin").symlink_to(tmp_path / "real.bin")
    one = watched()
    assert one.client._download("payload.bin", str(tmp_path / "link.bin")) is True
    assert (tmp_path / "real.bin").read_bytes() == payload
    assert one.seen and {state for _, state in one.seen} == {0}
    assert no_delay(one.sock) == 1


def test_uploads_keep_no_delay(watched, tmp_path):
    (tmp_path / "up.bin").write_bytes(os.urandom(PAYLOAD))
    one = watched()
    assert one.client._upload(str(tmp_path / "up.bin"), "up.bin") is True
    assert one.seen and {state for _, state in one.seen} == {1}


def test_a_socket_whose_option_the_caller_turned_off_stays_off(watched, payload, tmp_path):
    one = watched()
    one.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 0)
    assert one.client._download("payload.bin", str(tmp_path / "out.bin")) is True
    assert no_delay(one.sock) == 0


def test_a_client_the_module_did_not_connect_is_left_alone(live, server, payload, tmp_path):
    import paramiko

    transport = paramiko.Transport((server.host, server.port))
    transport.connect(username=live.user, password=live.password)
    transport.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    seen = []
    client = sftp_main.TavrelSFTPMain(live.config(server))
    client._sftp = paramiko.SFTPClient.from_transport(transport)
    original_get = client._sftp.getfo

    def getfo(*arguments, **keywords):
        seen.append(no_delay(transport.sock))
        return original_get(*arguments, **keywords)

    client._sftp.getfo = getfo
    try:
        assert client._download("payload.bin", str(tmp_path / "out.bin")) is True
    finally:
        transport.close()
    assert seen == [1]


# Every way out of a download


def test_restored_when_the_remote_file_is_missing(watched, tmp_path):
    one = watched()
    assert one.client._download("missing.bin", str(tmp_path / "out.bin")) is False
    assert no_delay(one.sock) == 1


def test_restored_when_progress_raises(watched, payload, tmp_path):
    one = watched()

    def fail(done, total):
        raise ValueError("enough")

    one.during = fail
    assert one.client._download("payload.bin", str(tmp_path / "out.bin")) is False
    assert one.seen == [("MainThread", 0)]
    assert no_delay(one.sock) == 1
    assert not (tmp_path / "out.bin").exists()


def test_restored_when_progress_raises_keyboard_interrupt(watched, payload, tmp_path):
    one = watched()

    def interrupt(done, total):
        raise KeyboardInterrupt

    one.during = interrupt
    with pytest.raises(KeyboardInterrupt):
        one.client._download("payload.bin", str(tmp_path / "out.bin"))
    assert one.seen == [("MainThread", 0)]
    assert no_delay(one.sock) == 1


def test_restored_after_a_real_ctrl_c(watched, payload, tmp_path):
    one = watched()
    pressed = []

    def press(done, total):
        if not pressed:
            pressed.append(done)
            os.kill(os.getpid(), signal.SIGINT)

    one.during = press
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        with pytest.raises(KeyboardInterrupt):
            one.client._download("payload.bin", str(tmp_path / "out.bin"))
    finally:
        signal.signal(signal.SIGINT, previous)
    assert pressed and pressed[0] < PAYLOAD
    assert no_delay(one.sock) == 1
    # The connection still serves, and as fast as before.
    assert one.client._download("payload.bin", str(tmp_path / "out.bin")) is True
    assert (tmp_path / "out.bin").read_bytes() == payload
    assert no_delay(one.sock) == 1


# paramiko's prefetch thread finds the connection closed under it.
@pytest.mark.filterwarnings("ignore::pytest.PytestUnhandledThreadExceptionWarning")
def test_a_descriptor_number_reused_after_the_connection_closed_is_not_touched(watched, payload, tmp_path):
    one = watched()
    number = one.sock.fileno()
    reused = []

    def close_and_reuse(done, total):
        if reused:
            return
        one.client._sftp.get_channel().get_transport().close()
        listener = socket.create_server(("127.0.0.1", 0))
        made = [listener]
        for _ in range(8):  # the lowest free number comes back within a few sockets
            made.append(socket.create_connection(listener.getsockname()))
            if made[-1].fileno() == number:
                break
        reused.extend(made)

    one.during = close_and_reuse
    assert one.client._download("payload.bin", str(tmp_path / "out.bin")) is False
    matching = [sock for sock in reused if sock.fileno() == number]
    if not matching:
        pytest.skip("the closed socket's descriptor number was not given out again")
    assert no_delay(matching[0]) == 0  # as made: nothing switched it on
    for sock in reused:
        sock.close()


# Threads and the jump host


def test_two_threads_on_one_client_each_find_their_own_setting(watched, payload, tmp_path):
    one = watched()
    (tmp_path / "up.bin").write_bytes(os.urandom(PAYLOAD))
    failures = []

    def repeat(name, call):
        def body():
            for round_number in range(4):
                if call(round_number) is not True:
                    failures.append((name, round_number))

        return threading.Thread(target=body, name=name)

    threads = [
        repeat("downloader", lambda n: one.client._download("payload.bin", str(tmp_path / f"down{n}.bin"))),
        repeat("uploader", lambda n: one.client._upload(str(tmp_path / "up.bin"), f"up{n}.bin")),
    ]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(120)
    assert not failures and not any(thread.is_alive() for thread in threads)
    by_thread = {}
    for name, state in one.seen:
        by_thread.setdefault(name, set()).add(state)
    assert by_thread == {"downloader": {0}, "uploader": {1}}
    assert no_delay(one.sock) == 1
    assert all((tmp_path / f"down{n}.bin").read_bytes() == payload for n in range(4))


def tcp_no_delay_by_connection():
    """{(local address, peer address): TCP_NODELAY} of every connected TCP socket of this process."""
    found = {}
    for name in os.listdir("/proc/self/fd"):
        try:
            duplicate = os.dup(int(name))
        except OSError:
            continue
        try:
            sock = socket.socket(fileno=duplicate)
        except OSError:
            os.close(duplicate)
            continue
        with sock:
            if sock.type != socket.SOCK_STREAM or sock.family not in (socket.AF_INET, socket.AF_INET6):
                continue
            try:
                ends = (sock.getsockname()[:2], sock.getpeername()[:2])
            except OSError:
                continue
            found[ends] = sock.getsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY)
    return found


def test_through_the_jump_host_the_module_end_switches_and_the_tunnel_keeps_its_own(
    live, watched, server, jump, payload, tmp_path
):
    one = watched(live.jump_config(server, jump))
    module_end = (one.sock.getsockname()[:2], one.sock.getpeername()[:2])
    tunnel_end = (module_end[1], module_end[0])
    during = []
    one.during = lambda done, total: during or during.append(tcp_no_delay_by_connection())
    assert one.client._download("payload.bin", str(tmp_path / "out.bin")) is True
    assert (tmp_path / "out.bin").read_bytes() == payload
    (seen,) = during
    (jump_connection,) = [ends for ends in seen if ends[1] == (jump.host, jump.port)]
    assert (seen[module_end], seen[tunnel_end], seen[jump_connection]) == (0, 1, 1)
    after = tcp_no_delay_by_connection()
    assert (after[module_end], after[tunnel_end], after[jump_connection]) == (1, 1, 1)
