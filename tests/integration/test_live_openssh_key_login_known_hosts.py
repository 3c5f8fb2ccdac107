"""Key login ("key_file", "key_passphrase") and "known_hosts" against the system's own OpenSSH on loopback."""

import os
import re
import subprocess
import sys
import time

import paramiko
import pytest
from openssh_server import OpenSSHServer, unavailable_reason

import sftp_main

Cls = sftp_main.TavrelSFTPMain
PASSPHRASE = "Schlüssel-Wort 1"


@pytest.fixture(scope="module")
def keys(tmp_path_factory):
    """An ed25519 key without a passphrase and an RSA key with one."""
    folder = tmp_path_factory.mktemp("keys")
    made = {}
    for kind, passphrase in (("ed25519", ""), ("rsa", PASSPHRASE)):
        path = folder / f"id_{kind}"
        subprocess.run(["ssh-keygen", "-q", "-t", kind, "-N", passphrase, "-f", str(path)], check=True)
        made[kind] = path
    return made


def authorized(keys):
    return "\n".join(keys[kind].with_suffix(".pub").read_text().strip() for kind in ("ed25519", "rsa"))


@pytest.fixture(scope="module")
def sshd(keys):
    reason = unavailable_reason()
    if reason:
        pytest.skip(reason)
    with OpenSSHServer(authorized_key=authorized(keys)) as server:
        yield server


def key_config(server, key_file, **options):
    return {"host": server.host, "port": server.port, "user": server.user, "key_file": str(key_file), **options}


def keyscan(server, *options):
    return subprocess.run(
        ["ssh-keyscan", *options, "-p", str(server.port), server.host], check=True, capture_output=True, text=True
    ).stdout


def known_hosts_file(tmp_path, text):
    path = tmp_path / "known_hosts"
    path.write_text(text)
    return str(path)


def log_after_kex(server, since):
    """sshd's log from ``since`` on, once it has seen the key exchange through and the connection end."""
    deadline = time.monotonic() + 5
    while not re.search(r"KEX done.*Connection (reset|closed) by", seen := server.log_text()[since:], re.DOTALL):
        assert time.monotonic() < deadline, seen
        time.sleep(0.05)
    return seen


@pytest.mark.parametrize("kind", ["ed25519", "rsa"])
def test_key_logs_in_without_a_password(sshd, keys, kind):
    passphrase = PASSPHRASE if kind == "rsa" else None
    client = Cls(key_config(sshd, keys[kind], key_passphrase=passphrase))
    client._connect()
    try:
        assert client._normalize(".") == str(sshd.root)
    finally:
        client._close()


def test_server_wanting_key_and_password_gets_both(keys):
    if unavailable_reason():
        pytest.skip(unavailable_reason())
    with OpenSSHServer(authorized_key=authorized(keys), authentication_methods="publickey,password") as server:
        client = Cls(key_config(server, keys["ed25519"], password=server.password))
        client._connect()
        client._close()
        with pytest.raises(paramiko.AuthenticationException, match="no password is set"):
            Cls(key_config(server, keys["ed25519"]))._connect()
        log = server.log_text()
    assert re.search(r"Partial publickey for \S+ from .*\n(.*\n)*Accepted password", log)


@pytest.mark.parametrize(
    "key, passphrase, named",
    [
        ("missing", None, "key_file"),
        ("public half", None, "key_file"),
        ("rsa", None, "key_passphrase"),
        ("rsa", "wrong", "key_passphrase"),
    ],
)
def test_unusable_key_fails_before_any_connection(keys, key, passphrase, named):
    path = {"missing": keys["rsa"].with_name("nope"), "public half": keys["rsa"].with_suffix(".pub")}.get(key, keys.get(key))
    # Nothing listens on port 1: an error from connecting would not be a ValueError.
    client = Cls({"host": "127.0.0.1", "port": 1, "user": "u", "key_file": str(path), "key_passphrase": passphrase})
    with pytest.raises(ValueError, match=f"^{named} ") as raised:
        client._connect()
    assert raised.value.__cause__ is not None
    assert not hasattr(client, "_ssh")
    said = str(raised.value) + "".join(raised.value.__notes__)
    assert str(path) not in said and "wrong" not in said


@pytest.mark.parametrize("form", ["-H", "plain"])
def test_known_hosts_lists_the_server_under_host_and_port(sshd, keys, tmp_path, form):
    text = keyscan(sshd, *([form] if form == "-H" else []))
    assert text.startswith("|1|" if form == "-H" else f"[{sshd.host}]:{sshd.port} ")
    client = Cls(key_config(sshd, keys["ed25519"], known_hosts=known_hosts_file(tmp_path, text)))
    client._connect()
    client._close()


def test_unlisted_server_is_refused_before_any_credential(sshd, keys, tmp_path):
    other = f"[{sshd.host}]:{sshd.port + 1} {sshd.host_public_key()}\n"
    path = known_hosts_file(tmp_path, other)
    since = len(sshd.log_text())
    with pytest.raises(paramiko.SSHException, match=re.escape(f"ssh-keyscan -p {sshd.port} {sshd.host} >> {path}")):
        Cls(key_config(sshd, keys["ed25519"], known_hosts=path))._connect()
    assert "userauth-request" not in log_after_kex(sshd, since)
    assert (tmp_path / "known_hosts").read_text() == other


@pytest.mark.parametrize("listing", ["other key", "revoked"])
def test_other_or_revoked_key_is_a_mismatch(sshd, keys, tmp_path, listing):
    if listing == "other key":
        text = f"[{sshd.host}]:{sshd.port} ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIHU5f/DyJKs9G6xx29XXn0y6Q9E3kWBB9QY9ZWxYwXyt\n"
    else:
        text = keyscan(sshd) + f"@revoked * {sshd.host_public_key()}\n"
    with pytest.raises(paramiko.BadHostKeyException) as raised:
        Cls(key_config(sshd, keys["ed25519"], known_hosts=known_hosts_file(tmp_path, text)))._connect()
    assert f"{type(raised.value).__module__}.{type(raised.value).__qualname__}" == "sftp_main.HostKeyMismatch"
    assert sshd.host_fingerprint() in str(raised.value)


def test_either_host_key_or_known_hosts_may_list_the_key(sshd, keys, tmp_path):
    empty = known_hosts_file(tmp_path, "")
    client = Cls(key_config(sshd, keys["ed25519"], known_hosts=empty, host_key=sshd.host_fingerprint()))
    client._connect()
    client._close()


def test_unreadable_known_hosts_fails_before_any_connection(keys, tmp_path):
    client = Cls({"host": "127.0.0.1", "port": 1, "user": "u", "password": "p", "known_hosts": str(tmp_path / "none")})
    with pytest.raises(ValueError, match="^known_hosts ") as raised:
        client._connect()
    assert isinstance(raised.value.__cause__, FileNotFoundError)
    assert not hasattr(client, "_ssh")


@pytest.mark.parametrize("target_listed", [True, False])
def test_known_hosts_through_the_jump_host(live, sshd, tmp_path, target_listed):
    with live.jump_server() as jump:
        text = keyscan(jump, "-H") + (keyscan(sshd, "-H") if target_listed else "")
        config = live.jump_config(sshd, jump, user=sshd.user, password=sshd.password,
                                  known_hosts=known_hosts_file(tmp_path, text))
        client = Cls(config)
        assert client._config.known_hosts_name == f"[{sshd.host}]:{sshd.port}"
        since = len(sshd.log_text())
        if target_listed:
            client._connect()
            client._close()
        else:
            with pytest.raises(paramiko.SSHException, match=f"ssh-keyscan -p {sshd.port} {sshd.host} >>"):
                client._connect()
            assert "userauth-request" not in log_after_kex(sshd, since)
        del client


def test_jump_host_missing_from_known_hosts_is_refused(live, sshd, tmp_path):
    with live.jump_server() as jump:
        config = live.jump_config(sshd, jump, known_hosts=known_hosts_file(tmp_path, keyscan(sshd)))
        with pytest.raises(paramiko.SSHException, match=f"ssh-keyscan -p {jump.port} {jump.host} >>"):
            Cls(config)
        assert [kind for _, kind in jump.auth_attempts if kind != "begin"] == []


def test_round_trip_program_logs_in_with_a_key(live, sshd, keys, tmp_path):
    env = {name: value for name, value in os.environ.items() if not name.startswith("SFTP_MAIN_")}
    env["SFTP_MAIN_KEY_PASSPHRASE"] = PASSPHRASE
    process = subprocess.run(
        [sys.executable, str(live.repo / "devtools" / "round_trip.py"), "--host", sshd.host, "--port", str(sshd.port),
         "--user", sshd.user, "--key", str(keys["rsa"]), "--known-hosts", known_hosts_file(tmp_path, keyscan(sshd, "-H")),
         "--size", "4K"],
        capture_output=True, text=True, env=env, stdin=subprocess.DEVNULL, timeout=120,
    )
    assert process.returncode == 0, process.stderr
    assert PASSPHRASE not in process.stdout + process.stderr
    assert "'key_passphrase': '***'" in process.stdout
