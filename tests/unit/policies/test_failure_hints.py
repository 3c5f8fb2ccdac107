"""What the notes on what to do are added to, and what they leave alone:
exceptions that only look like paramiko's, the caller's own, reads."""

import pytest

REFUSED = "The server refused the write or cut it short"
LOST = "Connection lost: "


def hints(exception):
    return [note for note in getattr(exception, "__notes__", []) if not note.startswith("sftp_main: ")]


class LoudStr(OSError):
    """An error whose str() must not run for a note."""

    calls = 0

    def __str__(self):
        type(self).calls += 1
        raise RuntimeError("str() ran")


@pytest.mark.parametrize("method, args", [("_mkdir", ("d",)), ("_rmdir", ("d",)), ("_remove", ("f",)),
                                          ("_rename", ("a", "b")), ("_posix_rename", ("a", "b"))])
def test_every_change_refused_with_failure_gets_the_causes(connected, method, args):
    failure = OSError("Failure")
    connected._sftp.raises[method.lstrip("_")] = failure
    with pytest.raises(OSError) as raised:
        getattr(connected, method)(*args)
    assert raised.value is failure and failure.args == ("Failure",)
    assert [hint.startswith(REFUSED) for hint in hints(failure)] == [True]


@pytest.mark.parametrize("method", ["_stat", "_normalize", "_chdir"])
def test_a_read_refused_with_failure_gets_no_disk_note(connected, method):
    connected._sftp.raises[method.lstrip("_")] = failure = OSError("Failure")
    with pytest.raises(OSError):
        getattr(connected, method)(".")
    assert hints(failure) == []


@pytest.mark.parametrize(
    "failure",
    [
        OSError(28, "Failure"),  # an errno of its own: not the protocol's status
        OSError("Failure", "extra"),
        LoudStr("Failure"),
        type("MyEOF", (EOFError,), {})(),
        OSError("Socket is closed!"),
        Exception("Server connection dropped: "),  # not paramiko's SSHException
        AttributeError("no _sftp here"),
    ],
    ids=["errno", "two-args", "subclass", "eof-subclass", "other-text", "not-ssh-exception", "attribute-text"],
)
def test_lookalikes_get_no_hint_and_run_no_code_of_theirs(connected, failure):
    LoudStr.calls = 0
    connected._sftp.raises["mkdir"] = failure
    with pytest.raises(type(failure)) as raised:
        connected._mkdir("d")
    assert raised.value is failure
    assert hints(failure) == []
    assert LoudStr.calls == 0


def test_an_attribute_error_about_another_object_gets_no_connect_note(connected):
    class Other:
        pass

    try:
        Other()._sftp  # noqa: B018
    except AttributeError as failure:
        foreign = failure
    connected._sftp.raises["stat"] = foreign
    with pytest.raises(AttributeError):
        connected._stat(".")
    assert hints(foreign) == []


def test_an_empty_eof_error_reads_as_a_lost_connection(connected):
    connected._sftp.raises["rmdir"] = failure = EOFError()
    with pytest.raises(EOFError):
        connected._rmdir("d")
    [hint] = hints(failure)
    assert hint.startswith(LOST) and hint.endswith("Whether the server made the change is not known.")
    assert str(failure) == "" and failure.args == ()


def test_a_timeout_error_keeps_its_args_without_a_limit_or_with_a_text(connected):
    connected._sftp.raises["stat"] = silent = TimeoutError()
    with pytest.raises(TimeoutError):
        connected._stat(".")
    assert silent.args == () and hints(silent) == []  # no "timeout" set: no limit to name
    connected._sftp.raises["stat"] = worded = TimeoutError("the caller's own")
    with pytest.raises(TimeoutError):
        connected._stat(".")
    assert worded.args == ("the caller's own",)


def test_the_hint_is_added_once_through_nested_methods(connected, cls, fakes):
    from fakes import GOOD_CONFIG

    inner = cls(dict(GOOD_CONFIG))
    inner._connect()
    inner._sftp.raises["rename"] = failure = OSError("Failure")

    class CallingBack:
        """A client whose mkdir calls another instance's method: the failure passes through two."""

        def mkdir(self, path):
            return inner._rename(path, path + ".new")

    connected._sftp = CallingBack()
    with pytest.raises(OSError):
        connected._mkdir("d")
    assert len(failure.__notes__) == 2
    assert failure.__notes__[0].startswith("sftp_main: _rename(")
    assert failure.__notes__[1].startswith(REFUSED)


def test_close_on_a_dropped_session_says_the_connection_was_lost(connected):
    connected._sftp.raises["close"] = failure = EOFError()
    with pytest.raises(EOFError):
        connected._close()
    [hint] = hints(failure)
    assert hint == (
        "Connection lost: the connection to the server is closed (the server or the network dropped it, "
        "or _close() ended it); call _connect() for a new one."
    )
