"""With "ssh" on: to the target through a jump host, the embedded server's and OpenSSH's own."""

import atexit
import base64
import gc
import hashlib
import os
import socket
import subprocess
import time
import warnings

import asyncssh
import paramiko
import pytest
from tavrel_var import TavrelVar

import sftp_main
from openssh_server import OpenSSHServer, unavailable_reason

Cls = sftp_main.TavrelSFTPMain


def host_key_of(server):
    transport = paramiko.Transport((server.host, server.port))
    try:
        transport.start_client(timeout=10)
        return transport.get_remote_server_key()
    finally:
        transport.close()


def fingerprint(key):
    return "SHA256:" + base64.b64encode(hashlib.sha256(key.asbytes()).digest()).decode().rstrip("=")


def assert_round_trip(client, tmp_path, size=300_000):
    data = os.urandom(size)
    (tmp_path / "up.bin").write_bytes(data)
    assert client._upload(str(tmp_path / "up.bin"), "through.bin") is True
    assert client._download("through.bin", str(tmp_path / "down.bin")) is True
    assert (tmp_path / "down.bin").read_bytes() == data


def assert_nothing_left(live, transports_before, *servers):
    assert live.tunnel_threads() == []
    assert live.threads_end(transports_before)
    for server in servers:
        assert live.sessions_end(server)


def test_password_login_reaches_the_target_through_the_jump_host(live, server, jump, tmp_path):
    config = live.jump_config(server, jump)
    given = dict(config)
    client = Cls(config)
    tunnel = client._config
    assert tunnel.todict() == {**given, "host": "127.0.0.1", "port": tunnel.port}
    assert tunnel.port != server.port
    client._connect()
    assert_round_trip(client, tmp_path)
    assert jump.forwarded_destinations == [(server.host, server.port)]
    assert server.accepted_sessions == 1
    client._close()


def write_key(kind, path, passphrase):
    """A new private key file; returns its public key line."""
    if kind == "ed25519, OpenSSH format":
        key = asyncssh.generate_private_key("ssh-ed25519")
        key.write_private_key(str(path), passphrase=passphrase)
        return key.export_public_key().decode()
    key = paramiko.ECDSAKey.generate()
    key.write_private_key_file(str(path), password=passphrase)
    return f"{key.get_name()} {key.get_base64()}"


@pytest.mark.parametrize("kind, passphrase", [("ed25519, OpenSSH format", "key pass phrase"), ("ECDSA, PEM", None)])
def test_key_file_login(live, server, tmp_path, kind, passphrase):
    key_file = tmp_path / "jump_key"
    authorized = {live.jump_user: [write_key(kind, key_file, passphrase)]}
    with live.jump_server(authorized_keys=authorized) as jump:
        config = live.jump_config(server, jump, ssh_password=None, ssh_rsa=str(key_file), ssh_rsa_pwd=passphrase)
        client = Cls(config)
        client._connect()
        assert_round_trip(client, tmp_path, 4096)
        client._close()
        assert jump.forwarded_destinations == [(server.host, server.port)]


def pin_forms(key):
    line = f"{key.get_name()} {key.get_base64()}"
    return {
        "fingerprint": fingerprint(key),
        "public key line": f"{line} jump@test",
        "keyscan line": f"[127.0.0.1]:2222 {line}",
        "list, second matches": ["SHA256:" + "A" * 43, line],
    }


@pytest.mark.parametrize("form", ["fingerprint", "public key line", "keyscan line", "list, second matches"])
def test_pinned_jump_key_that_matches(live, server, jump, form):
    pin = pin_forms(host_key_of(jump))[form]
    client = Cls(live.jump_config(server, jump, ssh_host_key=pin))
    client._connect()
    assert client._normalize(".") == "/"
    client._close()


def test_pinned_jump_key_that_differs_fails_before_any_tunnel(live, server, jump):
    expected, shown = host_key_of(server), host_key_of(jump)
    before = live.transport_threads()
    with pytest.raises(paramiko.BadHostKeyException) as caught:
        Cls(live.jump_config(server, jump, ssh_host_key=f"{expected.get_name()} {expected.get_base64()}"))
    assert str(caught.value) == (
        f"Host key for jump host {jump.host}:{jump.port} does not match ssh_host_key: got {fingerprint(shown)} "
        f"({shown.get_name()}), expected {fingerprint(expected)}; no credentials were sent"
    )
    assert jump.forwarded_destinations == []
    assert_nothing_left(live, before, jump)


class PinDroppingSSH:
    """A framework whose "ssh" step hands back the configuration without "host_key"."""

    def __init__(self, mapping):
        self.mapping = mapping

    def connect(self):
        return TavrelVar(**{name: value for name, value in self.mapping.items() if name != "host_key"})


def test_a_pin_the_ssh_step_drops_raises_before_any_password(live, server, monkeypatch):
    monkeypatch.setattr(sftp_main, "TavrelSSH", PinDroppingSSH)
    wrong_pin = "SHA256:" + "A" * 43
    with pytest.raises(ValueError, match="^host_key is set, but .* does not carry it"):
        Cls(live.config(server, ssh=True, host_key=wrong_pin))
    assert server.auth_attempts == [] and server.accepted_sessions == 0


@pytest.mark.parametrize("option", [{"host_key": "SHA256:short"}, {"host_key": []}, {"timeout": "soon"}])
def test_a_malformed_option_with_ssh_raises_before_the_jump_login(live, server, jump, option):
    with pytest.raises(ValueError, match=f"^{next(iter(option))} must be"):
        Cls(live.jump_config(server, jump, **option))
    assert jump.auth_attempts == [] and server.auth_attempts == []


def test_ipv6_target_through_the_jump_host(live, ipv6_server, jump, tmp_path):
    client = Cls(live.jump_config(ipv6_server, jump))
    client._connect()
    assert_round_trip(client, tmp_path, 4096)
    client._close()
    assert jump.forwarded_destinations == [("::1", ipv6_server.port)]


def closed_port():
    with socket.create_server(("127.0.0.1", 0)) as listener:
        return listener.getsockname()[1]


@pytest.mark.parametrize("target", ["refused by the jump host", "nothing listening"])
def test_an_unreachable_target_fails_at_construction_naming_it(live, server, jump, target):
    # The embedded jump host forwards to loopback only: the first channel is
    # refused before any connection leaves the machine.
    host, port = ("192.0.2.1", server.port) if target == "refused by the jump host" else ("127.0.0.1", closed_port())
    before = live.transport_threads()
    with pytest.raises(paramiko.SSHException) as caught:
        Cls(live.jump_config(server, jump, host=host, port=port))
    message = str(caught.value)
    assert f"jump host {jump.host}:{jump.port} could not connect to {host}:{port}: Connect failed: " in message
    assert isinstance(caught.value.__cause__, paramiko.ChannelException)
    assert_nothing_left(live, before, jump)


def process_tcp_connections():
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
            if sock.family not in (socket.AF_INET, socket.AF_INET6) or sock.type != socket.SOCK_STREAM:
                continue
            try:
                ends = (sock.getsockname()[:2], sock.getpeername()[:2])
            except OSError:
                continue
            found[ends] = sock.getsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY)
    return found


def test_every_connection_of_the_tunnel_sends_without_delay(live, server, jump):
    client = Cls(live.jump_config(server, jump))
    client._connect()
    module_end = client._sftp.get_channel().get_transport().sock
    link = (module_end.getsockname()[:2], module_end.getpeername()[:2])
    connections = process_tcp_connections()
    (jump_connection,) = [ends for ends in connections if ends[1] == (jump.host, jump.port)]
    assert link[1] == ("127.0.0.1", client._config.port)
    assert connections[link] and connections[(link[1], link[0])] and connections[jump_connection]
    client._close()


def open_descriptors():
    return len(os.listdir("/proc/self/fd"))


def test_dropping_the_instance_ends_the_tunnel(live, server, jump):
    before, descriptors = live.transport_threads(), open_descriptors()
    client = Cls(live.jump_config(server, jump))
    client._connect()
    port = client._config.port
    assert len(live.tunnel_threads()) == 3  # the acceptor and one link's two pumps
    del client
    gc.collect()
    assert_nothing_left(live, before, jump, server)
    with pytest.raises(ConnectionRefusedError):
        socket.create_connection(("127.0.0.1", port), timeout=5).close()
    assert live.wait_for(lambda: open_descriptors() <= descriptors)


def silent_listener():
    listener = socket.create_server(("127.0.0.1", 0))
    return listener, listener.getsockname()[1]


@pytest.mark.parametrize("failure", ["wrong password", "nothing listening", "silent peer, timeout 1"])
def test_failures_raise_and_leave_nothing(live, server, jump, failure):
    before = live.transport_threads()
    listener, port = silent_listener()
    with listener:
        if failure == "wrong password":
            config, expected = live.jump_config(server, jump, ssh_password="wrong"), paramiko.AuthenticationException
        elif failure == "nothing listening":
            listener.close()
            config, expected = live.jump_config(server, jump, ssh_port=port), paramiko.ssh_exception.NoValidConnectionsError
        else:
            config, expected = live.jump_config(server, jump, ssh_port=port, timeout=1), TimeoutError
        started = time.monotonic()
        with pytest.raises(expected) as caught:
            Cls(config)
        assert time.monotonic() - started < 10
    if expected is TimeoutError:
        assert f"jump host 127.0.0.1:{port} did not finish the SSH key exchange" in str(caught.value)
    assert_nothing_left(live, before, jump)


def test_a_live_tunnel_ends_quietly_at_exit(live, run_python):
    result = run_python(
        f"""
        from embedded_sftp_server import EmbeddedSFTPServer
        import sftp_main
        target = EmbeddedSFTPServer({{"u": "p"}}).start()
        jump = EmbeddedSFTPServer({{"j": "q"}}, forwarding=True).start()
        client = sftp_main.TavrelSFTPMain({{"host": target.host, "port": target.port, "user": "u", "password": "p",
            "ssh": True, "ssh_host": jump.host, "ssh_port": jump.port, "ssh_user": "j", "ssh_password": "q"}})
        client._connect()
        print(client._normalize("."))
        """,
        path=[live.repo / "devtools"],
        timeout=60,
    )
    assert (result.returncode, result.stdout, result.stderr) == (0, "/\n", "")



def test_a_forked_child_leaves_the_parents_tunnel_alone(live, server, jump):
    client = Cls(live.jump_config(server, jump))
    client._connect()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # paramiko's threads are running
        pid = os.fork()
    if pid == 0:
        code = 1
        try:
            # What a child's normal exit does: the instance and its
            # configuration dropped, then the exit functions.
            del client
            gc.collect()
            atexit._run_exitfuncs()
            code = 0
        finally:
            os._exit(code)
    assert os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0
    assert [client._normalize(".") for _ in range(3)] == ["/"] * 3
    client._close()


# -- OpenSSH's sshd as jump host and target ---------------------------------------

needs_sshd = pytest.mark.skipif(unavailable_reason() is not None, reason=f"no throwaway sshd: {unavailable_reason()}")


def openssh_config(target, jump, **login):
    return {"host": target.host, "port": target.port, "user": target.user, "password": target.password, "ssh": True,
            "ssh_host": jump.host, "ssh_port": jump.port, "ssh_user": jump.user, **login}


@needs_sshd
@pytest.mark.parametrize("login", ["password", "key file"])
def test_openssh_jump_host_forwards_to_openssh_target(live, tmp_path, login):
    key_file = tmp_path / "id_ed25519"
    subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", str(key_file)], check=True)
    public_key = (tmp_path / "id_ed25519.pub").read_text().strip()
    before = live.transport_threads()
    with OpenSSHServer(authorized_key=public_key) as jump, OpenSSHServer() as target:
        credential = {"ssh_password": jump.password} if login == "password" else {"ssh_rsa": str(key_file)}
        client = Cls(openssh_config(target, jump, **credential, ssh_host_key=jump.host_fingerprint()))
        client._connect()
        assert_round_trip(client, tmp_path)
        client._close()
        del client
        gc.collect()
        log = jump.log_text()
        assert_nothing_left(live, before)
    assert f"target {target.host} port {target.port}" in log and "direct-tcpip" in log
    assert ("Accepted password" if login == "password" else "Accepted publickey") in log


@needs_sshd
def test_openssh_wrong_jump_password_fails_in_the_constructor(live):
    before = live.transport_threads()
    with OpenSSHServer() as jump, OpenSSHServer() as target:
        with pytest.raises(paramiko.AuthenticationException):
            Cls(openssh_config(target, jump, ssh_password="not-" + jump.password))
        assert_nothing_left(live, before)
        assert "Failed password" in jump.log_text()
        assert "direct-tcpip" not in jump.log_text()


@needs_sshd
def test_openssh_jump_host_that_cannot_reach_the_target_says_why(live):
    before = live.transport_threads()
    port = closed_port()
    with OpenSSHServer() as jump:
        with pytest.raises(paramiko.SSHException) as caught:
            Cls({"host": "127.0.0.1", "port": port, "user": "u", "password": "p", "ssh": True, "ssh_host": jump.host,
                 "ssh_port": jump.port, "ssh_user": jump.user, "ssh_password": jump.password})
        assert_nothing_left(live, before)
    assert str(caught.value) == (
        f"jump host {jump.host}:{jump.port} could not connect to 127.0.0.1:{port}: Connect failed: Connection refused"
    )
