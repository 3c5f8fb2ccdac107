""""keepalive" against the system's own OpenSSH through the fault relay: an
idle session sends keepalive requests at the interval, rounded up to whole
seconds, and one without the option sends nothing while idle."""

import time

import pytest
from fault_relay import DOWN, UP, FaultRelay
from openssh_server import OpenSSHServer, unavailable_reason

import sftp_main

IDLE = 3.6


@pytest.fixture(scope="module")
def sshd():
    reason = unavailable_reason()
    if reason:
        pytest.skip(reason)
    with OpenSSHServer() as server:
        yield server


@pytest.fixture
def relay(sshd):
    with FaultRelay((sshd.host, sshd.port)) as running:
        yield running


def connected(sshd, relay, **options):
    client = sftp_main.TavrelSFTPMain(
        {"host": relay.host, "port": relay.port, "user": sshd.user, "password": sshd.password, **options})
    client._connect()
    assert client._normalize(".") == str(sshd.root)
    time.sleep(0.3)  # the replies to that call are through
    return client


def keepalive_interval(client):
    return client._sftp.get_channel().get_transport().packetizer._Packetizer__keepalive_interval


def idle_traffic(client, relay):
    up, down = relay.carried(UP), relay.carried(DOWN)
    time.sleep(IDLE)
    return relay.carried(UP) - up, relay.carried(DOWN) - down


@pytest.mark.parametrize("value", [1, 0.3, "1"], ids=repr)
def test_an_idle_session_sends_keepalives_every_second(sshd, relay, value):
    client = connected(sshd, relay, keepalive=value)
    try:
        assert keepalive_interval(client) == 1
        sent, received = idle_traffic(client, relay)
        # Each keepalive is one small encrypted packet, that asks for no reply.
        assert sent >= 2 * 36, sent
        assert sent <= 5 * 200, sent
        assert received == 0
        assert client._normalize(".") == str(sshd.root)
    finally:
        client._close()


def test_a_longer_interval_sends_none_within_it(sshd, relay):
    client = connected(sshd, relay, keepalive=30)
    try:
        assert keepalive_interval(client) == 30
        assert idle_traffic(client, relay) == (0, 0)
    finally:
        client._close()


def test_without_keepalive_an_idle_session_sends_nothing(sshd, relay):
    client = connected(sshd, relay)
    try:
        assert keepalive_interval(client) == 0
        assert idle_traffic(client, relay) == (0, 0)
        assert client._normalize(".") == str(sshd.root)
    finally:
        client._close()
