"""A failure of the jump host is noted as the jump host's, not the target's."""

import paramiko
import pytest

import sftp_main

Cls = sftp_main.TavrelSFTPMain


def note_of(error):
    ours = [note for note in getattr(error, "__notes__", []) if note.startswith("sftp_main: ")]
    assert len(ours) == 1, error.__notes__
    return ours[0]


def test_a_wrong_jump_password_names_the_jump_host(live, server, jump):
    with pytest.raises(paramiko.AuthenticationException) as raised:
        Cls(live.jump_config(server, jump, ssh_password="not-" + live.jump_password))
    note = note_of(raised.value)
    assert note.startswith("sftp_main: __init__(")
    assert note.endswith(f" on jump host {live.jump_user}@{jump.host}:{jump.port}")
    assert f"{server.port}" not in note.rsplit(" on ", 1)[1]
    assert [kind for _, kind in server.auth_attempts] == []


def test_a_jump_host_key_mismatch_names_the_jump_host(live, server, jump):
    with pytest.raises(paramiko.BadHostKeyException) as raised:
        Cls(live.jump_config(server, jump, ssh_host_key=server.host_fingerprint))
    assert note_of(raised.value).endswith(f" on jump host {live.jump_user}@{jump.host}:{jump.port}")


def test_a_jump_host_setting_missing_leaves_the_note_without_a_server(live, server, jump):
    config = live.jump_config(server, jump)
    del config["ssh_host"]
    with pytest.raises(ValueError, match="'ssh_host'") as raised:
        Cls(config)
    note = note_of(raised.value)
    assert " on " not in note.rsplit(")", 1)[1]


def test_the_modules_own_option_checked_before_the_step_still_names_the_target(live, server, jump):
    with pytest.raises(ValueError, match="^host_key must be") as raised:
        Cls(live.jump_config(server, jump, host_key="SHA256:short"))
    assert note_of(raised.value).endswith(f" on {live.user}@{server.host}:{server.port}")
    assert jump.accepted_sessions == 0


def test_a_wrong_target_password_through_the_jump_host_names_the_target(live, server, jump):
    client = Cls(live.jump_config(server, jump, password="not-" + live.password))
    with pytest.raises(paramiko.AuthenticationException) as raised:
        client._connect()
    note = note_of(raised.value)
    assert note.startswith("sftp_main: _connect(")
    assert "jump host" not in note
    del client
