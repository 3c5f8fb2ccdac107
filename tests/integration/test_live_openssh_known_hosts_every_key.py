"""known_hosts naming OpenSSH's sshd on two lines with keys of one type: a plain one and a hashed one."""

import base64
import gc
import subprocess

import paramiko
import pytest
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import ed25519
from openssh_server import OpenSSHServer, unavailable_reason

import sftp_main

Cls = sftp_main.TavrelSFTPMain


@pytest.fixture(scope="module")
def sshd():
    reason = unavailable_reason()
    if reason:
        pytest.skip(reason)
    with OpenSSHServer() as server:
        yield server


def other_key_line():
    public = ed25519.Ed25519PrivateKey.generate().public_key()
    return public.public_bytes(serialization.Encoding.OpenSSH, serialization.PublicFormat.OpenSSH).decode()


def hashed_entry(server):
    # ssh-keyscan -H: the hashed name, the server's own ed25519 key.
    return subprocess.run(["ssh-keyscan", "-H", "-t", "ed25519", "-p", str(server.port), server.host],
                          check=True, capture_output=True, text=True).stdout.strip()


def write(tmp_path, *lines):
    path = tmp_path / "known_hosts"
    path.write_text("".join(line + "\n" for line in lines))
    return str(path)


def direct(server, path):
    return {"host": server.host, "port": server.port, "user": server.user, "password": server.password,
            "known_hosts": path}


def jumping(server, path):
    # The sshd is the jump host and, through itself, the target.
    return {**direct(server, path), "ssh": True, "ssh_host": server.host, "ssh_port": server.port,
            "ssh_user": server.user, "ssh_password": server.password}


@pytest.mark.parametrize("wrong_first", ["plain", "hashed"])
def test_the_listed_key_is_found_on_either_line(sshd, tmp_path, wrong_first):
    hashed = hashed_entry(sshd)
    assert hashed.startswith("|1|") and " ssh-ed25519 " in hashed
    plain_wrong = f"[{sshd.host}]:{sshd.port} {other_key_line()}"
    # The same two keys the other way round: the hashed line holds the wrong one.
    hashed_wrong = f"{hashed.split()[0]} {other_key_line()}"
    plain_right = f"[{sshd.host}]:{sshd.port} {sshd.host_public_key()}"
    lines = (plain_wrong, hashed) if wrong_first == "plain" else (hashed_wrong, plain_right)
    path = write(tmp_path, *lines)
    for config in (direct(sshd, path), jumping(sshd, path)):
        client = Cls(config)
        client._connect()
        assert client._normalize(".") == str(sshd.root)
        client._close()
        del client
        gc.collect()


def test_both_lines_wrong_is_refused_naming_both_keys(sshd, tmp_path):
    wrong = [other_key_line(), other_key_line()]
    hashed_name = hashed_entry(sshd).split()[0]
    path = write(tmp_path, f"[{sshd.host}]:{sshd.port} {wrong[0]}", f"{hashed_name} {wrong[1]}")
    before = sshd.log_text().count("Accepted password")
    for config in (direct(sshd, path), jumping(sshd, path)):
        with pytest.raises(paramiko.BadHostKeyException) as raised:
            Cls(config)._connect()
        text = str(raised.value)
        assert sshd.host_fingerprint() in text and "known_hosts" in text and "host_key" not in text
        for line in wrong:
            fingerprint = paramiko.PKey.from_type_string("ssh-ed25519", base64.b64decode(line.split()[1])).fingerprint
            assert text.count(fingerprint) == 1, text
    assert sshd.log_text().count("Accepted password") == before

