"""The notes that say what failed, on the remote operations."""

from operations_support import *  # noqa: F401,F403 - the shared tables and fixtures


# --- notes saying what failed ---------------------------------------------------


def our_notes(exc):
    return [n for n in getattr(exc, "__notes__", []) if n.startswith("sftp_main: ")]


def test_a_failure_gains_one_note_naming_the_call_and_the_server(fakes, cls):
    obj = cls(dict(GOOD_CONFIG))
    obj._connect()
    boom = Boom("No such file")
    obj._sftp.raises["stat"] = boom

    class Nested(cls):
        def _normalize(self, path):
            return self._stat(path)

    obj.__class__ = Nested
    with pytest.raises(Boom) as excinfo:
        obj._normalize("/data/x.csv")
    assert excinfo.value is boom and boom.args == ("No such file",)
    assert our_notes(boom) == ["sftp_main: _stat('/data/x.csv') on alice@files.internal:22"]

    obj._sftp.raises["getfo"] = transfer_error = Boom("refused")
    assert obj._download("r", "d") is False
    assert not hasattr(transfer_error, "__notes__")


def test_notes_shorten_long_arguments_and_mask_secrets(fakes, cls):
    with pytest.raises(Exception) as excinfo:
        cls({"password": "pw-hidden", "api_token": "tk-hidden", "port": 2222})
    assert str(excinfo.value) == "缺少必填参数：['host', 'user']"
    notes = excinfo.value.__notes__
    assert notes[0] == "Configuration rejected: missing required values: host, user."
    assert notes[1] == "sftp_main: _cleanse_params({'password': '***', 'api_token': '***', 'port': 2222})"
    assert len(notes) == 2 and "hidden" not in "".join(notes)

    obj = cls.__new__(cls)
    obj._sftp = None
    with pytest.raises(AttributeError) as excinfo:
        obj._stat("x" * 500)
    [note] = our_notes(excinfo.value)
    assert note.startswith("sftp_main: _stat('xxx") and note.endswith("...)") and len(note) < 130
