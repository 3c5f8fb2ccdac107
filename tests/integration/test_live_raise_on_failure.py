""""raise_on_failure" against a real server: the failure itself, with its
note and no log record; success still True; the connection still usable."""

import logging
import os

import pytest

import sftp_main


@pytest.fixture
def raising(live, server):
    client = sftp_main.TavrelSFTPMain(live.config(server, raise_on_failure=True))
    client._connect()
    yield client
    client._close()


def test_a_missing_remote_file_raises_with_the_note_and_logs_nothing(live, server, raising, tmp_path, caplog):
    caplog.set_level(logging.INFO, logger="sftp_main")
    destination = tmp_path / "copy.bin"
    destination.write_bytes(b"kept")
    with pytest.raises(FileNotFoundError) as raised:
        raising._download("no-such-file", str(destination))
    assert raised.value.__notes__ == [
        f"sftp_main: _download('no-such-file', {str(destination)!r}) on {live.user}@127.0.0.1:{server.port}"
    ]
    assert destination.read_bytes() == b"kept"
    assert caplog.records == []


def test_success_still_returns_true_and_a_failure_leaves_the_connection_usable(raising, tmp_path):
    source = tmp_path / "source.bin"
    source.write_bytes(os.urandom(100_000))
    with pytest.raises(FileNotFoundError):
        raising._upload(str(tmp_path / "missing"), "x.bin")
    assert raising._upload(str(source), "up.bin") is True
    assert raising._download("up.bin", str(tmp_path / "down.bin")) is True
    assert (tmp_path / "down.bin").read_bytes() == source.read_bytes()
