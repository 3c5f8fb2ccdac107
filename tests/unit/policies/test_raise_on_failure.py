""""raise_on_failure": a transfer that fails raises, with its notes, where it
would return False, and writes no log record; success still returns True."""

import logging

import pytest

from fakes import GOOD_CONFIG, FakeConfig


class Boom(Exception):
    pass


@pytest.fixture
def records():
    seen = []
    handler = logging.Handler()
    handler.emit = seen.append
    logger = logging.getLogger("sftp_main")
    logger.addHandler(handler)
    old = logger.level
    logger.setLevel(logging.INFO)
    yield seen
    logger.removeHandler(handler)
    logger.setLevel(old)


def connected(fakes, cls, value=True, **more):
    obj = cls({**GOOD_CONFIG, "raise_on_failure": value, **more})
    obj._connect()
    fakes.log.clear()
    return obj


def test_a_failed_upload_raises_its_failure_with_the_note_and_logs_nothing(fakes, cls, records):
    obj = connected(fakes, cls)
    obj._sftp.raises["put"] = failure = Boom("refused")
    with pytest.raises(Boom) as raised:
        obj._upload("src", "dst")
    assert raised.value is failure
    assert raised.value.__notes__ == ["sftp_main: _upload('src', 'dst') on alice@files.internal:22"]
    assert records == []
    assert fakes.log.names() == ["sftp.put"] and fakes.log.calls[0].args == ("src", "dst")


def test_a_failed_download_raises_and_leaves_the_destination_as_it_was(fakes, cls, records, tmp_path):
    destination = tmp_path / "local"
    destination.write_bytes(b"kept")
    obj = connected(fakes, cls)
    obj._sftp.raises["getfo"] = Boom("gone")
    with pytest.raises(Boom, match="gone"):
        obj._download("remote", str(destination))
    assert destination.read_bytes() == b"kept"
    assert records == []


def test_a_download_that_is_not_staged_raises_what_get_raised(fakes, cls, records):
    import io

    obj = connected(fakes, cls)
    obj._sftp.raises["get"] = OSError(5, "I/O error")
    with pytest.raises(OSError, match="I/O error"):
        obj._download("remote", io.BytesIO())
    assert records == []


def test_a_successful_transfer_still_returns_true(fakes, cls, tmp_path):
    obj = connected(fakes, cls)
    assert obj._upload("src", "dst") is True
    obj._sftp.returns["getfo"] = 0
    assert obj._download("remote", str(tmp_path / "new")) is True


@pytest.mark.parametrize("value", [False, 0, None, ""])
def test_a_false_value_keeps_false_and_the_log_record(fakes, cls, records, value):
    obj = connected(fakes, cls, value)
    obj._sftp.raises["put"] = Boom("refused")
    assert obj._upload("src", "dst") is False
    assert len(records) == 1 and "returned False: Boom: refused" in records[0].getMessage()


def test_the_path_operations_are_unchanged(fakes, cls):
    obj = connected(fakes, cls)
    obj._sftp.returns["stat"] = "attributes"
    assert obj._stat("f") == "attributes"
    obj._sftp.raises["remove"] = Boom("x")
    with pytest.raises(Boom):
        obj._remove("f")


def test_an_interrupt_still_propagates(fakes, cls):
    obj = connected(fakes, cls)
    obj._sftp.raises["put"] = KeyboardInterrupt()
    with pytest.raises(KeyboardInterrupt):
        obj._upload("src", "dst")


def test_with_atomic_upload_the_rename_refusal_is_raised(fakes, cls, records):
    obj = connected(fakes, cls, atomic_upload=True)
    obj._sftp._methods.add("lstat")
    obj._sftp.raises["lstat"] = FileNotFoundError(2, "none yet")
    obj._sftp.raises["posix_rename"] = Boom("no rename")
    with pytest.raises(OSError, match="atomic_upload: the server did not move"):
        obj._upload("src", "dir/dst")
    assert records == []


def test_an_instance_that_never_connected_still_returns_false(fakes, cls):
    obj = cls({**GOOD_CONFIG, "raise_on_failure": True})
    assert obj._upload("src", "dst") is False


def test_the_option_must_come_through_the_ssh_step(fakes, cls):
    fakes.ssh_connect_result = FakeConfig(fakes.log, "sshvar", dict(GOOD_CONFIG))
    with pytest.raises(ValueError, match="^raise_on_failure is set, but .* does not carry it"):
        cls({**GOOD_CONFIG, "ssh": True, "raise_on_failure": True})


def test_a_new_connection_without_it_returns_false_again(fakes, cls):
    obj = connected(fakes, cls)
    obj._config.entries["raise_on_failure"] = False
    obj._connect()
    obj._sftp.raises["put"] = Boom("refused")
    assert obj._upload("src", "dst") is False
