"""Real failures reach the caller as the client raises them, or as False."""

import errno
import socket
import threading
import time

import paramiko
import pytest

import sftp_main


def direct_error(client, method, *args):
    with pytest.raises(Exception) as info:
        getattr(client._sftp, method)(*args)
    return info.value


@pytest.mark.parametrize(
    "method, client_method, args",
    [
        ("_stat", "stat", ("missing.bin",)),
        ("_remove", "remove", ("missing.bin",)),
        ("_rename", "rename", ("missing.bin", "other.bin")),
    ],
)
def test_missing_remote_path_raises_the_clients_own_error(connected, server, method, client_method, args):
    with pytest.raises(OSError) as info:
        getattr(connected, method)(*args)
    raised = info.value
    assert isinstance(raised, FileNotFoundError)
    assert raised.errno == errno.ENOENT
    # The same call made on paramiko's client directly raises the same thing.
    expected = direct_error(connected, client_method, *args)
    assert type(raised) is type(expected)
    assert raised.args == expected.args
    assert not (server.root / "other.bin").exists()


def test_upload_of_missing_local_file_returns_false(connected, server, tmp_path):
    assert connected._upload(str(tmp_path / "absent.bin"), "target.bin") is False
    assert not (server.root / "target.bin").exists()
    # The connection is still usable afterwards.
    assert connected._normalize(".") == "/"


def test_download_of_missing_remote_file_returns_false(connected, tmp_path):
    assert connected._download("absent.bin", str(tmp_path / "down.bin")) is False
    assert connected._normalize(".") == "/"


def test_wrong_password(live, server):
    threads_before = live.transport_threads()
    client = sftp_main.TavrelSFTPMain(live.config(server, password=live.password + "-wrong"))
    with pytest.raises(paramiko.AuthenticationException):
        client._connect()
    assert isinstance(client._ssh, paramiko.SSHClient)
    assert not hasattr(client, "_sftp")
    assert server.accepted_sessions == 1
    assert live.threads_end(threads_before)
    assert live.sessions_end(server)


def test_failed_download_keeps_the_local_file_and_a_note_names_the_call(live, connected, server, tmp_path):
    local = tmp_path / "kept.bin"
    local.write_bytes(b"precious")
    assert connected._download("absent.bin", str(local)) is False
    assert connected._download("absent.bin", str(tmp_path / "new.bin")) is False
    assert local.read_bytes() == b"precious"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["kept.bin"]

    with pytest.raises(FileNotFoundError) as info:
        connected._stat("/data/x.csv")
    assert info.value.__notes__ == [f"sftp_main: _stat('/data/x.csv') on {live.user}@127.0.0.1:{server.port}"]


def test_threads_sharing_one_instance_neither_hang_nor_fail(connected, server, tmp_path):
    import threading

    errors = []

    def rounds(index):
        local = tmp_path / f"up-{index}.bin"
        local.write_bytes(bytes([index]) * 200_000)
        try:
            for round_ in range(10):
                remote = f"t{index}-{round_}.bin"
                assert connected._upload(str(local), remote) is True
                assert connected._stat(remote).st_size == 200_000
                assert connected._download(remote, str(tmp_path / f"down-{index}.bin")) is True
                assert (tmp_path / f"down-{index}.bin").read_bytes() == local.read_bytes()
        except BaseException as exc:  # reported below, with the thread's index
            errors.append((index, exc))

    threads = [threading.Thread(target=rounds, args=(i,), daemon=True) for i in range(6)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(120)
    assert not any(thread.is_alive() for thread in threads), "a thread hung"
    assert errors == []
    assert len(list(server.root.glob("t*.bin"))) == 60


def upload_pressing_ctrl_c(live, server, local, delay):
    """_upload's outcome with Ctrl-C pressed after `delay`, None when interrupted."""
    import os
    import signal
    import threading

    client = sftp_main.TavrelSFTPMain(live.config(server))
    client._connect()
    # Ctrl-C, pressed again every half second as a user would while the
    # client winds down; only the upload itself can be interrupted.
    armed = threading.Event()
    armed.set()

    def interrupt(signum, frame):
        if armed.is_set():
            raise KeyboardInterrupt

    stop = threading.Event()

    def press():
        if not stop.wait(delay):
            for _ in range(20):
                os.kill(os.getpid(), signal.SIGINT)
                if stop.wait(0.5):
                    break

    previous = signal.signal(signal.SIGINT, interrupt)
    presser = threading.Thread(target=press)
    outcome = None  # stays None when the upload was interrupted
    try:
        presser.start()
        try:
            outcome = client._upload(str(local), "big.bin")
        finally:
            armed.clear()
    except KeyboardInterrupt:
        pass
    finally:
        stop.set()
        presser.join()
        signal.signal(signal.SIGINT, previous)
        client._close()
    return outcome


def test_ctrl_c_during_an_upload_never_reads_as_false(live, server, tmp_path):
    local = tmp_path / "big.bin"
    with open(local, "wb") as handle:
        handle.truncate(64 << 20)
    outcomes = [upload_pressing_ctrl_c(live, server, local, delay) for delay in (0.05, 0.15, 0.3, 0.6)]
    assert set(outcomes) <= {True, None}, outcomes
    assert None in outcomes  # at least one press landed inside the upload


def test_wrong_host_key_is_refused_before_the_password_leaves(live, server):
    threads_before = live.transport_threads()
    other = "SHA256:" + "A" * 43
    client = sftp_main.TavrelSFTPMain(live.config(server, host_key=[other, "SHA256:" + "B" * 42 + "A"]))
    with pytest.raises(paramiko.BadHostKeyException) as raised:
        client._connect()
    message = str(raised.value)
    assert server.host_fingerprint in message and other in message and "one of" in message
    assert raised.value.key.fingerprint == server.host_fingerprint
    assert server.auth_attempts == []
    assert not hasattr(client, "_sftp")
    assert live.threads_end(threads_before)
    assert live.sessions_end(server)


# The whole table of malformed values runs without a server, as tests of
# the parsers (tests/unit/test_value_parsers.py); here, that a server sees
# nothing of one.
@pytest.mark.parametrize("name, value", [("host_key", "SHA256:tooShort"), ("timeout", "soon"), ("timeout", 1e10)])
def test_malformed_option_raises_before_connecting(live, server, name, value):
    client = sftp_main.TavrelSFTPMain(live.config(server, **{name: value}))
    with pytest.raises(ValueError, match=f"^{name} must be .*; got "):
        client._connect()
    assert not hasattr(client, "_ssh")
    assert server.accepted_sessions == 0 and server.auth_attempts == []


@pytest.fixture
def silent_listener():
    """A TCP listener that accepts connections and never says a word."""
    with socket.create_server(("127.0.0.1", 0)) as listener:
        yield listener.getsockname()[1]


def test_timeout_bounds_connecting_to_a_silent_peer(live, silent_listener):
    threads_before = live.transport_threads()
    config = {"host": "127.0.0.1", "port": silent_listener, "user": "u", "password": "p", "timeout": "2"}
    client = sftp_main.TavrelSFTPMain(config)
    began = time.monotonic()
    with pytest.raises(TimeoutError):
        client._connect()
    assert time.monotonic() - began < 2 + 1
    assert not hasattr(client, "_sftp")
    assert live.threads_end(threads_before)


def test_a_silent_peer_always_times_out_the_same_and_quietly(run_python):
    # Without a test runner's logging set-up, as a program would meet it:
    # paramiko's records would reach stderr.
    result = run_python(
        """
        import socket, threading
        import sftp_main
        with socket.create_server(("127.0.0.1", 0)) as listener:
            config = {"host": "127.0.0.1", "port": listener.getsockname()[1], "user": "u", "password": "p",
                      "timeout": 0.3}
            for _ in range(6):
                try:
                    sftp_main.TavrelSFTPMain(dict(config))._connect()
                except Exception as error:
                    print(type(error).__name__)
        print(threading.active_count())
        """,
        timeout=60,
    )
    assert (result.stdout.split(), result.stderr) == (["TimeoutError"] * 6 + ["1"], "")


def test_ctrl_c_while_a_silent_peer_is_awaited_leaves_stderr_quiet(run_python):
    result = run_python(
        """
        import os, signal, socket, threading
        import sftp_main
        with socket.create_server(("127.0.0.1", 0)) as listener:
            config = {"host": "127.0.0.1", "port": listener.getsockname()[1], "user": "u", "password": "p",
                      "timeout": 30}
            threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT)).start()
            try:
                sftp_main.TavrelSFTPMain(config)._connect()
            except KeyboardInterrupt:
                print("KeyboardInterrupt")
        for thread in threading.enumerate():  # paramiko's, had it been left reading
            if thread is not threading.current_thread():
                thread.join(5)
        """,
        timeout=60,
    )
    assert (result.stdout.split(), result.stderr) == (["KeyboardInterrupt"], "")


def test_a_timeout_of_centuries_leaves_paramikos_own_limits_waitable(live, server):
    # paramiko waits out its key exchange limit on a timer thread; a wait
    # whose end lies past what the clock can hold kills that thread with a
    # traceback on stderr. A limit the caller could give must stay below it.
    client = sftp_main.TavrelSFTPMain(live.config(server, timeout=6e9))
    client._connect()
    transport = client._sftp.get_channel().get_transport()
    client._close()
    assert max(transport.banner_timeout, transport.handshake_timeout) < threading.TIMEOUT_MAX - time.time()


def test_timeout_bounds_operations_on_a_stalled_server(live, server, tmp_path, caplog):
    caplog.set_level("INFO", logger="sftp_main")
    limit = 1.0
    client = sftp_main.TavrelSFTPMain(live.config(server, timeout=limit))
    client._connect()
    source = tmp_path / "up.bin"
    source.write_bytes(b"x" * 1000)
    server.stall = True
    try:
        began = time.monotonic()
        with pytest.raises(TimeoutError) as raised:
            client._stat(".")
        assert raised.value.__notes__[0].endswith(": no answer within 1.0 s")
        assert time.monotonic() - began < limit + 1
        for transfer, args in ((client._upload, (str(source), "up.bin")), (client._download, (".", str(tmp_path / "d")))):
            began = time.monotonic()
            assert transfer(*args) is False
            assert time.monotonic() - began < limit + 1
    finally:
        server.stall = False
        client._close()
    assert live.sessions_end(server)
    assert caplog.records[0].getMessage().endswith(" returned False: TimeoutError: no answer within 1.0 s")
