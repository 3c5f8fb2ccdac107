"""Closing, explicitly or by dropping the instance, ends the connection."""

import gc

import sftp_main


def connect(config):
    client = sftp_main.TavrelSFTPMain(config)
    client._connect()
    return client


def test_close_ends_the_connection(live, server, config):
    before = live.transport_threads()
    client = connect(config)
    assert live.transport_threads() - before
    assert server.open_sessions == 1
    assert client._close() is None
    assert live.threads_end(before)
    assert live.sessions_end(server)


def test_dropping_a_connected_instance_ends_the_connection(live, server, config):
    before = live.transport_threads()
    client = connect(config)
    assert live.transport_threads() - before
    assert server.open_sessions == 1
    del client
    gc.collect()
    assert live.threads_end(before)
    assert live.sessions_end(server)
