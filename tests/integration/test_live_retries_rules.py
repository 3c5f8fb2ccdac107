"""What "retries" retries and what it leaves alone, on the embedded server:
a session found dead before a transfer is reconnected; the `_chdir`
directory survives the reconnect; a failure the server reports, or one the
progress callback raises, is never retried; the log says how many
attempts were made; without the names nothing is retried."""

import logging
import os

import pytest
from fault_relay import DOWN, Cut, FaultRelay

import sftp_main


@pytest.fixture
def payload(server):
    data = os.urandom(3 << 20)
    (server.root / "sub").mkdir()
    (server.root / "sub" / "big.bin").write_bytes(data)
    return data


def relayed(live, server, relay, **options):
    return sftp_main.TavrelSFTPMain({**live.config(server), "host": relay.host, "port": relay.port, **options})


def kill_session(client):
    client._sftp.get_channel().get_transport().close()


def test_a_dead_session_is_reconnected_before_the_transfer_in_the_chdir_directory(live, server, payload, tmp_path):
    with FaultRelay((server.host, server.port)) as relay:
        client = relayed(live, server, relay, retries=2)
        client._connect()
        client._chdir("sub")
        first = client._sftp
        kill_session(client)
        assert client._download("big.bin", str(tmp_path / "out.bin")) is True
        assert (tmp_path / "out.bin").read_bytes() == payload
        assert client._sftp is not first and client._sftp.getcwd().endswith("/sub")
        assert len(relay.connections) == 2
        client._close()


def test_a_cut_mid_download_goes_on_in_the_chdir_directory(live, server, payload, tmp_path):
    with FaultRelay((server.host, server.port), cuts=[Cut(DOWN, 1 << 20)]) as relay:
        client = relayed(live, server, relay, retries=1)
        client._connect()
        client._chdir("sub")
        assert client._download("big.bin", str(tmp_path / "out.bin")) is True
        assert (tmp_path / "out.bin").read_bytes() == payload
        assert relay.carried(DOWN) < 1.3 * len(payload)
        client._close()


@pytest.mark.parametrize("failure", ["missing", "callback"])
def test_failures_that_are_no_drop_are_made_once_and_logged_with_the_count(
    live, server, payload, tmp_path, caplog, failure
):
    calls = []

    def progress(done, total):
        calls.append(done)
        raise EOFError("the caller's own")  # looks like a drop, is not one

    options = {"retries": 3, **({"progress": progress} if failure == "callback" else {})}
    with FaultRelay((server.host, server.port)) as relay:
        client = relayed(live, server, relay, **options)
        client._connect()
        source = "sub/nope.bin" if failure == "missing" else "sub/big.bin"
        with caplog.at_level(logging.INFO, logger="sftp_main"):
            assert client._download(source, str(tmp_path / "out.bin")) is False
        assert len(relay.connections) == 1
        assert "returned False after 1 attempt:" in caplog.records[-1].getMessage()
        assert not (tmp_path / "out.bin").exists()
        assert [name for name in os.listdir(tmp_path) if name.startswith(".")] == []
        if failure == "callback":
            assert len(calls) == 1
        client._close()


def test_the_last_attempt_is_counted_and_raised_with_raise_on_failure(live, server, payload, tmp_path):
    with FaultRelay((server.host, server.port), cut_every=Cut(DOWN, 300_000)) as relay:
        client = relayed(live, server, relay, retries=1, raise_on_failure=True)
        client._connect()
        with pytest.raises(Exception) as raised:
            client._download("sub/big.bin", str(tmp_path / "out.bin"))
        notes = "\n".join(getattr(raised.value, "__notes__", []))
        assert "made 2 times" in notes
        assert len(relay.connections) == 2
        assert not (tmp_path / "out.bin").exists()


def test_without_the_names_a_dead_session_fails_at_once(live, server, payload, tmp_path):
    with FaultRelay((server.host, server.port)) as relay:
        client = relayed(live, server, relay)
        client._connect()
        kill_session(client)
        assert client._download("sub/big.bin", str(tmp_path / "out.bin")) is False
        assert len(relay.connections) == 1


@pytest.mark.parametrize("value", [True, -1, 101, 2.0, "three", [1]])
def test_a_malformed_count_is_refused_by_connect(live, server, value):
    client = sftp_main.TavrelSFTPMain({**live.config(server), "retries": value})
    with pytest.raises(ValueError, match="^retries must be a whole number from 0 to 100"):
        client._connect()
    assert not hasattr(client, "_sftp")
