"""How the configured host and port reach paramiko and the server."""

import paramiko
import pytest
from embedded_sftp_server import EmbeddedSFTPServer

import sftp_main


def exercise(live, client, server, tmp_path):
    """Connect, move a small file through, close; the server must see it all."""
    before = live.transport_threads()
    source = tmp_path / "hello.txt"
    source.write_bytes(b"hello over sftp\n")
    client._connect()
    assert server.open_sessions == 1
    assert client._upload(str(source), "hello.txt") is True
    assert (server.root / "hello.txt").read_bytes() == source.read_bytes()
    assert client._normalize("hello.txt") == "/hello.txt"
    assert client._remove("hello.txt") is True
    client._close()
    assert live.sessions_end(server)
    assert live.threads_end(before)


def test_port_given_as_text(live, server, tmp_path):
    client = sftp_main.TavrelSFTPMain(live.config(server, port=str(server.port)))
    assert client._config.port == str(server.port)
    exercise(live, client, server, tmp_path)


class PortMappingParamiko:
    """paramiko as the module sees it, except that port 22 leads to ``port``."""

    def __init__(self, port):
        self._port = port
        self.addresses = []

    def __getattr__(self, name):
        return getattr(paramiko, name)

    def Transport(self, address):
        self.addresses.append(address)
        if isinstance(address, str) and address.endswith(":22"):
            return paramiko.Transport((address[: -len(":22")], self._port))
        return paramiko.Transport(address)


def test_configuration_without_port_uses_22(live, server, tmp_path, monkeypatch):
    wrapper = PortMappingParamiko(server.port)
    monkeypatch.setattr(sftp_main, "paramiko", wrapper)
    config = live.config(server)
    del config["port"]
    client = sftp_main.TavrelSFTPMain(config)
    exercise(live, client, server, tmp_path)
    assert wrapper.addresses == ["127.0.0.1:22"]


def test_ipv6_loopback(live, ipv6_server, tmp_path):
    config = live.config(ipv6_server)
    assert config["host"] == "::1"
    client = sftp_main.TavrelSFTPMain(config)
    exercise(live, client, ipv6_server, tmp_path)


# --- the server's key pinned, the calls bounded in time -----------------------


def pin_forms(server):
    line = server.host_public_key
    return {
        "fingerprint": server.host_fingerprint,
        "key line": line + " comment words",
        "keyscan line": f"[{server.host}]:{server.port} {line}",
        "list, second matches": ["SHA256:" + "A" * 43, line],
        "tuple": (server.host_fingerprint,),
    }


def test_pinned_host_key_in_each_form_connects(live, server, tmp_path):
    forms = pin_forms(server)
    for name, host_key in forms.items():
        client = sftp_main.TavrelSFTPMain(live.config(server, host_key=host_key))
        exercise(live, client, server, tmp_path)
    assert [method for _, method in server.auth_attempts].count("password") == len(forms)


def test_ipv6_loopback_pinned_and_bounded(live, ipv6_server, tmp_path):
    config = live.config(ipv6_server, host_key=ipv6_server.host_fingerprint, timeout=5)
    client = sftp_main.TavrelSFTPMain(config)
    exercise(live, client, ipv6_server, tmp_path)


def test_a_pinned_key_line_is_the_key_the_server_shows(live, tmp_path):
    # paramiko would pick the server's ED25519 key by its own preference.
    with EmbeddedSFTPServer({live.user: live.password}, extra_host_key_types=("ssh-rsa", "ecdsa-sha2-nistp256")) as server:
        for line in server.host_public_keys[1:]:
            client = sftp_main.TavrelSFTPMain(live.config(server, host_key=line))
            exercise(live, client, server, tmp_path)
        client = sftp_main.TavrelSFTPMain(live.config(server, host_key=server.host_public_keys[1].split()[1]))
        with pytest.raises(ValueError):  # the blob alone is no accepted form
            client._connect()
