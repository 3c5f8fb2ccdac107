"""Real failures reach the caller as the client raises them, or as False."""

import errno

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
