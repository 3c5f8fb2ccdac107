"""Notes that say what to do: a call before _connect, a server that stops
answering, a full disk, a connection that drops mid-transfer.

The faults are real: the embedded server's disk fills ("disk_space"), it
stalls, or it is killed while paramiko is sending or receiving.
"""

import contextlib
import threading
import time

import paramiko
import pytest

import sftp_main

NOT_CONNECTED = "Not connected: call _connect() first."
REFUSED = "The server refused the write or cut it short: on the server, the disk may be full"
LOST = "Connection lost: the connection to the server is closed"
MiB = 1 << 20


def hints(exception):
    """The notes after the one naming the call."""
    return [note for note in getattr(exception, "__notes__", []) if not note.startswith("sftp_main: ")]


@pytest.fixture
def records(caplog):
    caplog.set_level("INFO", logger="sftp_main")
    return caplog


def only_failure(records):
    """The one record written, and the exception it carries as exc_info."""
    ours = [record for record in records.records if record.name == "sftp_main"]
    assert len(ours) == 1
    record = ours[0]
    assert record.exc_info[0] is type(record.exc_info[1])
    assert record.exc_info[2] is record.exc_info[1].__traceback__
    return record, record.exc_info[1]


@pytest.fixture
def big_source(tmp_path):
    source = tmp_path / "big.bin"
    source.write_bytes(b"u" * (3 * MiB))
    return source


# --- before _connect ---


@pytest.mark.parametrize(
    "method, args",
    [("_stat", (".",)), ("_mkdir", ("d",)), ("_rename", ("a", "b")), ("_normalize", (".",)), ("_close", ())],
)
def test_a_method_before_connect_raises_as_ever_with_a_note_to_connect(live, server, method, args):
    client = sftp_main.TavrelSFTPMain(live.config(server))
    with pytest.raises(AttributeError) as raised:
        getattr(client, method)(*args)
    assert str(raised.value) == "'TavrelSFTPMain' object has no attribute '_sftp'"
    assert raised.value.__notes__[0].startswith(f"sftp_main: {method}(")
    assert hints(raised.value) == [NOT_CONNECTED]


def test_a_transfer_before_connect_returns_false_and_its_record_says_connect(live, server, tmp_path, records):
    client = sftp_main.TavrelSFTPMain(live.config(server))
    assert client._download("x", str(tmp_path / "x")) is False
    record, failure = only_failure(records)
    assert isinstance(failure, AttributeError)
    assert record.getMessage() == (
        f"sftp_main: _download('x', {str(tmp_path / 'x')!r}) returned False: "
        "AttributeError: 'TavrelSFTPMain' object has no attribute '_sftp'"
    )
    assert hints(failure) == [NOT_CONNECTED]


# --- a server that stops answering ---


def test_an_operations_timeout_says_its_limit_in_its_message(live, server, tmp_path, records):
    client = sftp_main.TavrelSFTPMain(live.config(server, timeout="0.5"))
    client._connect()
    server.stall = True
    try:
        with pytest.raises(TimeoutError) as raised:
            client._mkdir("d")
        assert str(raised.value) == "no answer within 0.5 s"
        assert raised.value.args == ("no answer within 0.5 s",)
        assert client._upload(__file__, "t.py") is False
    finally:
        server.stall = False
        client._close()
    record, failure = only_failure(records)
    assert isinstance(failure, TimeoutError) and str(failure) == "no answer within 0.5 s"
    assert record.getMessage().endswith(" returned False: TimeoutError: no answer within 0.5 s")


# --- a full disk ---


def test_mkdir_on_a_full_disk_raises_failure_with_the_likely_causes(connected, server):
    server.disk_space = 0
    with pytest.raises(OSError) as raised:
        connected._mkdir("d")
    assert type(raised.value) is OSError and raised.value.args == ("Failure",)
    (hint,) = hints(raised.value)
    assert hint.startswith(REFUSED)
    assert "read-only" in hint and "quota" in hint
    assert not (server.root / "d").exists()


def test_an_upload_cut_short_by_a_full_disk_says_so_and_that_a_part_is_left(connected, server, big_source, records):
    server.disk_space = MiB
    assert connected._upload(str(big_source), "up.bin") is False
    record, failure = only_failure(records)
    assert str(failure) == f"size mismatch in put!  {MiB} != {3 * MiB}"
    assert record.getMessage().endswith(f"returned False: OSError: size mismatch in put!  {MiB} != {3 * MiB}")
    (hint,) = hints(failure)
    assert hint.startswith(REFUSED)
    assert hint.endswith("A partial file may be left at 'up.bin' on the server.")
    assert (server.root / "up.bin").stat().st_size == MiB  # what the note warns of


def test_an_atomic_upload_on_a_full_disk_leaves_the_old_file(live, server, big_source, records):
    (server.root / "up.bin").write_bytes(b"old")
    client = sftp_main.TavrelSFTPMain(live.config(server, atomic_upload=True))
    client._connect()
    try:
        server.disk_space = MiB
        assert client._upload(str(big_source), "up.bin") is False
    finally:
        client._close()
    _, failure = only_failure(records)
    (hint,) = hints(failure)
    assert hint.startswith(REFUSED)
    assert hint.endswith("'up.bin' on the server is as it was (\"atomic_upload\").")
    assert sorted(p.name for p in server.root.iterdir()) == ["up.bin"]
    assert (server.root / "up.bin").read_bytes() == b"old"


def test_reads_and_other_failures_get_no_hint(connected, server):
    server.disk_space = 0
    with pytest.raises(FileNotFoundError) as raised:
        connected._remove("missing")
    assert hints(raised.value) == []
    with pytest.raises(FileNotFoundError) as raised:
        connected._stat("missing")
    assert hints(raised.value) == []


# --- a connection dropped mid-transfer ---


def kill_once_growing(server, name):
    """Kills the server as soon as the remote file ``name`` holds some bytes."""

    def watch():
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            try:
                if (server.root / name).stat().st_size > 0:
                    break
            except FileNotFoundError:
                pass
            time.sleep(0.001)
        server.kill()

    watcher = threading.Thread(target=watch, daemon=True)
    watcher.start()
    return watcher


def dropped(failure):
    """One of the ways paramiko reports a dropped connection."""
    return (
        (type(failure) is EOFError and failure.args == ())
        or (type(failure) is OSError and failure.args == ("Socket is closed",))
        or (type(failure) is paramiko.SSHException and str(failure).startswith("Server connection dropped"))
    )


@pytest.fixture
def huge_source(tmp_path):
    source = tmp_path / "huge.bin"
    source.write_bytes(b"h" * (64 * MiB))
    return source


def test_a_plain_upload_cut_off_says_the_connection_was_lost_and_a_part_may_be_left(
    connected, server, huge_source, records
):
    watcher = kill_once_growing(server, "up.bin")
    assert connected._upload(str(huge_source), "up.bin") is False
    watcher.join()
    _, failure = only_failure(records)
    assert dropped(failure), repr(failure)
    (hint,) = hints(failure)
    assert hint.startswith(LOST)
    assert hint.endswith("A partial file may be left at 'up.bin' on the server.")
    assert 0 < (server.root / "up.bin").stat().st_size < 64 * MiB

    with pytest.raises(OSError) as raised:
        connected._mkdir("after")
    assert dropped(raised.value)
    (hint,) = hints(raised.value)
    assert hint.startswith(LOST) and hint.endswith("The request was not sent: the server made no change.")
    with pytest.raises(OSError) as raised:
        connected._stat(".")
    assert hints(raised.value) == [hint.removesuffix(" The request was not sent: the server made no change.")]


def test_an_atomic_upload_cut_off_names_what_may_remain_and_keeps_the_old_file(
    live, server, huge_source, records
):
    (server.root / "up.bin").write_bytes(b"old")
    client = sftp_main.TavrelSFTPMain(live.config(server, atomic_upload=True))
    client._connect()

    def staged_grows():
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            staged = [p for p in server.root.rglob("*") if p.is_file() and p.parts[-2].startswith(".up.bin.")]
            if any(p.stat().st_size > 0 for p in staged):
                break
            time.sleep(0.001)
        server.kill()

    watcher = threading.Thread(target=staged_grows, daemon=True)
    watcher.start()
    try:
        assert client._upload(str(huge_source), "up.bin") is False
    finally:
        watcher.join()
        with contextlib.suppress(Exception):  # the session is gone: closing may find it so
            client._close()
    _, failure = only_failure(records)
    assert dropped(failure), repr(failure)
    (hint,) = hints(failure)
    assert hint.startswith(LOST)
    assert hint.endswith(
        "'up.bin' on the server is as it was (\"atomic_upload\"), but the hidden '.up.bin.<16 hex>.part' "
        "beside it may remain: it is safe to delete."
    )
    assert (server.root / "up.bin").read_bytes() == b"old"
    assert [p.name.startswith(".up.bin.") for p in server.root.iterdir() if p.name != "up.bin"] == [True]


# paramiko's prefetch thread reports the drop on its own too.
@pytest.mark.filterwarnings("ignore::pytest.PytestUnhandledThreadExceptionWarning")
def test_a_download_cut_off_says_the_connection_was_lost_and_leaves_the_local_file(
    live, server, tmp_path, records
):
    (server.root / "huge.bin").write_bytes(b"d" * (64 * MiB))
    destination = tmp_path / "local.bin"
    destination.write_bytes(b"mine")
    killed = []

    def progress(done, total):
        if done and not killed:
            killed.append(done)
            server.kill()

    client = sftp_main.TavrelSFTPMain(live.config(server, progress=progress))
    client._connect()
    try:
        assert client._download("huge.bin", str(destination)) is False
    finally:
        with contextlib.suppress(Exception):
            client._close()
    assert killed
    _, failure = only_failure(records)
    assert dropped(failure), repr(failure)
    (hint,) = hints(failure)
    assert hint.startswith(LOST)
    assert f"The local file {str(destination)!r} is as it was, unless it could not be staged" in hint
    assert destination.read_bytes() == b"mine"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["local.bin"]
