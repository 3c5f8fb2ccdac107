"""The stand-in's reading of a known_hosts file, without a server (the rules themselves: tests/host_key_rules)."""

import base64

import paramiko
import pytest
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import ed25519
from paramiko.hostkeys import HostKeys

from _tavrel_host_key import HostKeyMismatch
from _tavrel_known_hosts import KnownHosts, listed_name


def key_line():
    public = ed25519.Ed25519PrivateKey.generate().public_key()
    return public.public_bytes(serialization.Encoding.OpenSSH, serialization.PublicFormat.OpenSSH).decode()


def key_of(line):
    return paramiko.PKey.from_type_string(line.split()[0], base64.b64decode(line.split()[1]))


def known_hosts(tmp_path, *lines):
    path = tmp_path / "known_hosts"
    path.write_text("".join(line + "\n" for line in lines))
    return KnownHosts(path)


@pytest.mark.parametrize(
    "host, port, name",
    [("files.example", 22, "files.example"), ("files.example", 2222, "[files.example]:2222"),
     ("::1", 22, "::1"), ("::1", 2222, "[::1]:2222")],
)
def test_listed_name_is_the_host_on_port_22_and_bracketed_on_another(host, port, name):
    assert listed_name(host, port) == name


def test_every_line_naming_the_host_gives_its_key_in_the_files_order(tmp_path):
    first, second, third, elsewhere = (key_line() for _ in range(4))
    read = known_hosts(tmp_path, f"files.example {first}", f"{HostKeys.hash_host('files.example')} {second}",
                       f"mirror,files.example {third}", f"[files.example]:2222 {elsewhere}")
    assert [key.asbytes() for key in read.keys_for("files.example")] == [key_of(k).asbytes() for k in
                                                                        (first, second, third)]
    assert [key.asbytes() for key in read.keys_for("[files.example]:2222")] == [key_of(elsewhere).asbytes()]
    assert read.keys_for("other.example") == []
    for line in (first, second, third):
        read.check("files.example", key_of(line))


def test_a_revoked_key_is_refused_under_any_name_naming_known_hosts(tmp_path):
    line = key_line()
    read = known_hosts(tmp_path, f"files.example {line}", f"@revoked other.example {line}")
    with pytest.raises(HostKeyMismatch) as raised:
        read.check("files.example", key_of(line))
    text = str(raised.value)
    assert "is marked @revoked in known_hosts" in text and "ssh_host_key" not in text
    assert raised.value.revoked


def test_a_mismatch_names_known_hosts_and_each_listed_key_once(tmp_path):
    listed, shown = key_line(), key_line()
    read = known_hosts(tmp_path, f"files.example {listed}", f"{HostKeys.hash_host('files.example')} {listed}")
    with pytest.raises(HostKeyMismatch) as raised:
        read.check("files.example", key_of(shown))
    text = str(raised.value)
    assert f"does not match known_hosts {read.path!r}" in text and "ssh_host_key" not in text
    assert text.count(key_of(listed).fingerprint) == 1 and key_of(shown).fingerprint in text


def test_a_file_that_cannot_be_read_names_known_hosts(tmp_path):
    with pytest.raises(ValueError, match="^'known_hosts' ") as raised:
        KnownHosts(tmp_path / "absent")
    assert isinstance(raised.value.__cause__, FileNotFoundError)
