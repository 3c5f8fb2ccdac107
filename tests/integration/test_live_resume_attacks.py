""""resume" and "retries" attacked: another local user's plants where the
part file goes, a bent or changing server, and careless callers.

The other user is a real one (a forked child that dropped to `nobody`);
the servers are the embedded one, behind the fault relay where a
connection is to be cut or sent elsewhere.
"""

import functools
import logging
import os
import pathlib
import re
import shutil
import subprocess
import sys
import stat
import tempfile
import threading
import time

import pytest
from fault_relay import DOWN, UP, Cut, FaultRelay

import sftp_main

NOBODY = 65534
SIZE = 4 << 20
as_root = pytest.mark.skipif(os.geteuid() != 0, reason="plays another user: needs root")
# paramiko's threads meet the connections the relay cuts under them.
pytestmark = pytest.mark.filterwarnings("ignore::pytest.PytestUnhandledThreadExceptionWarning")


class Interrupter:
    """A progress callback that, once armed, raises KeyboardInterrupt past 1 MiB."""

    def __init__(self):
        self.armed = False

    def __call__(self, done, total):
        if self.armed and done >= 1 << 20:
            self.armed = False
            raise KeyboardInterrupt


@pytest.fixture
def payload(server):
    data = os.urandom(SIZE)
    (server.root / "big.bin").write_bytes(data)
    return data


@pytest.fixture
def place():
    """A directory every user may enter, out of pytest's private tree."""
    path = pathlib.Path(tempfile.mkdtemp(prefix="resume-", dir="/tmp"))
    path.chmod(0o755)
    yield path
    shutil.rmtree(path)


def open_to_all(place, mode):
    directory = place / f"shared-{mode:o}"
    directory.mkdir()
    directory.chmod(mode)
    return directory


AS_NOBODY = ["setpriv", f"--reuid={NOBODY}", f"--regid={NOBODY}", "--clear-groups"]


@functools.cache
def python_for_nobody():
    """An interpreter the user nobody can run (this one may live in root's home)."""
    for candidate in ("/usr/bin/python3", sys.executable):
        try:
            if subprocess.run([*AS_NOBODY, candidate, "-I", "-c", "pass"], capture_output=True, timeout=60).returncode == 0:
                return candidate
        except OSError:
            continue
    pytest.skip("no Python interpreter that the user nobody may run")


def as_nobody(statement):
    """Runs the Python `statement` as the user nobody, in a process of its own
    (a fork of this threaded one could deadlock); what it raised, or "None"."""
    code = f"try:\n    {statement}\n    print('None')\nexcept BaseException as error:\n    print(repr(error))"
    done = subprocess.run([*AS_NOBODY, python_for_nobody(), "-I", "-c", code],
                          capture_output=True, text=True, timeout=60, cwd="/")
    return done.stdout.strip() or done.stderr


def parts_in(directory):
    return sorted(name for name in os.listdir(directory) if name.endswith(".partial"))


def leave_part(live, server, destination, **options):
    """An interrupted "resume" download of big.bin to `destination`: the part's path."""
    interrupter = Interrupter()
    client = sftp_main.TavrelSFTPMain(live.config(server, resume=True, progress=interrupter, **options))
    client._connect()
    try:
        interrupter.armed = True
        with pytest.raises(KeyboardInterrupt):
            client._download("big.bin", str(destination))
    finally:
        client._close()
    [name] = parts_in(destination.parent)
    return destination.parent / name


def resumed(live, server, destination, **options):
    """A "resume" download of big.bin to `destination`: its result and what it logged."""
    messages = []
    handler = logging.Handler()
    handler.emit = lambda record: messages.append(record.getMessage())
    logger = logging.getLogger("sftp_main")
    logger.addHandler(handler)
    level = logger.level
    logger.setLevel(logging.INFO)
    client = sftp_main.TavrelSFTPMain(live.config(server, resume=True, **options))
    try:
        client._connect()
        return client._download("big.bin", str(destination)), messages
    finally:
        logger.removeHandler(handler)
        logger.setLevel(level)
        client._close()


def fingerprint(path):
    status = os.lstat(path)
    return (status.st_ino, status.st_mode, status.st_uid, status.st_nlink, status.st_size)


# --- another user's plants where the part goes ---


def plant_nobodys_file(part, precious):
    as_nobody(f"import os; os.close(os.open({str(part)!r}, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600))")


def plant_nobodys_link(part, precious):
    as_nobody(f"import os; os.symlink({str(precious)!r}, {str(part)!r})")


def plant_own_link(part, precious):
    os.symlink(precious, part)


def plant_own_open_part(part, precious):
    part.write_bytes(b"x")
    part.chmod(0o644)


def plant_own_hard_link(part, precious):
    os.link(precious, part)


def plant_own_fifo(part, precious):
    os.mkfifo(part, 0o600)


def plant_own_directory(part, precious):
    part.mkdir(mode=0o700)


PLANTS = [plant_nobodys_file, plant_nobodys_link, plant_own_link, plant_own_open_part, plant_own_hard_link,
          plant_own_fifo, plant_own_directory]


@as_root
@pytest.mark.parametrize("mode", [0o1777, 0o777], ids=["sticky", "not-sticky"])
@pytest.mark.parametrize("plant", PLANTS, ids=lambda plant: plant.__name__.removeprefix("plant_"))
def test_what_stands_at_the_parts_name_is_refused_and_left_as_it_is(live, server, payload, place, mode, plant):
    directory = open_to_all(place, mode)
    destination = directory / "copy.bin"
    part = leave_part(live, server, destination)
    part.unlink()
    precious = place / "precious"
    precious.write_bytes(b"untouched")
    precious.chmod(0o600)
    plant(part, precious)
    before = fingerprint(part)

    outcome, messages = resumed(live, server, destination)

    assert outcome is False
    assert fingerprint(part) == before and precious.read_bytes() == b"untouched"
    assert not destination.exists() and parts_in(directory) == [part.name]
    assert any("is not this process's user's own private file" in message for message in messages), messages


@as_root
def test_a_part_is_out_of_another_users_reach(live, server, payload, place):
    directory = open_to_all(place, 0o1777)
    part = leave_part(live, server, directory / "copy.bin")
    status = part.stat()
    assert stat.S_IMODE(status.st_mode) == 0o600 and status.st_uid == 0 and status.st_size >= 1 << 20
    assert as_nobody(f"open({str(part)!r}, 'rb').read(1)").startswith("PermissionError")
    # nor can nobody take its name in the sticky directory
    assert as_nobody(f"import os; os.unlink({str(part)!r})").startswith("PermissionError")


@as_root
def test_only_the_users_own_private_parts_of_other_versions_are_removed(live, server, payload, place):
    directory = open_to_all(place, 0o1777)
    destination = directory / "copy.bin"
    part = leave_part(live, server, destination)
    prefix = re.fullmatch(r"(\.copy\.bin\.[0-9a-f]{16}\.)\d+\.-?\d+\.partial", part.name).group(1)
    precious = place / "precious"
    precious.write_bytes(b"untouched")
    precious.chmod(0o600)
    stale = directory / f"{prefix}1.1.partial"
    stale.write_bytes(b"old version")
    stale.chmod(0o600)
    kept = {
        "nobodys": lambda path: as_nobody(f"import os; os.close(os.open({str(path)!r}, os.O_WRONLY | os.O_CREAT, 0o600))"),
        "nobodys-link": lambda path: as_nobody(f"import os; os.symlink({str(precious)!r}, {str(path)!r})"),
        "own-link": lambda path: os.symlink(precious, path),
        "open": lambda path: (path.write_bytes(b"x"), path.chmod(0o640)),
        "hard-link": lambda path: os.link(precious, path),
        "fifo": lambda path: os.mkfifo(path, 0o600),
        "directory": lambda path: path.mkdir(mode=0o700),
    }
    planted = {}
    for number, (what, make) in enumerate(kept.items(), start=2):
        path = directory / f"{prefix}{number}.{number}.partial"
        make(path)
        planted[path] = fingerprint(path)

    outcome, _ = resumed(live, server, destination)

    assert outcome is True and destination.read_bytes() == payload
    assert not stale.exists() and not part.exists()
    assert {path: fingerprint(path) for path in planted} == planted
    assert precious.read_bytes() == b"untouched"


# --- correctness ---


def test_a_resumed_download_asks_only_for_the_rest_and_is_identical(live, server, payload, tmp_path):
    destination = tmp_path / "copy.bin"
    with FaultRelay((server.host, server.port)) as relay:
        # The part is the server's as the caller names it: the same relay both times.
        part = leave_part(live, server, destination, host=relay.host, port=relay.port)
        held = part.stat().st_size
        outcome, _ = resumed(live, server, destination, host=relay.host, port=relay.port)
        carried = relay.connections[1].carried[DOWN]
    assert outcome is True and destination.read_bytes() == payload and parts_in(tmp_path) == []
    assert held >= 1 << 20 and carried < SIZE - held + (256 << 10)


def test_a_part_whose_end_differs_from_the_servers_starts_afresh(live, server, payload, tmp_path):
    destination = tmp_path / "copy.bin"
    part = leave_part(live, server, destination)
    with open(part, "r+b") as handle:
        handle.seek(-10, os.SEEK_END)
        handle.write(b"0123456789")
    outcome, _ = resumed(live, server, destination)
    assert outcome is True and destination.read_bytes() == payload and parts_in(tmp_path) == []


def test_a_remote_file_changed_since_the_part_gives_the_new_file(live, server, payload, tmp_path):
    destination = tmp_path / "copy.bin"
    part = leave_part(live, server, destination)
    changed = os.urandom(SIZE + 1000)
    (server.root / "big.bin").write_bytes(changed)
    outcome, _ = resumed(live, server, destination)
    assert outcome is True and destination.read_bytes() == changed
    assert not part.exists() and parts_in(tmp_path) == []


def test_a_remote_file_changed_between_attempts_gives_the_new_file(live, server, payload, tmp_path):
    destination = tmp_path / "copy.bin"
    changed = os.urandom(SIZE - 1000)

    def change(connection):
        if connection.index == 0:
            (server.root / "big.bin").write_bytes(changed)

    with FaultRelay((server.host, server.port), cuts=[Cut(DOWN, 2 << 20)], on_end=change) as relay:
        outcome, _ = resumed(live, server, destination, host=relay.host, port=relay.port, retries=2)
        assert len(relay.connections) == 2
    assert outcome is True and destination.read_bytes() == changed and parts_in(tmp_path) == []


def test_a_resumed_download_onto_an_existing_file_keeps_its_mode(live, server, payload, tmp_path):
    destination = tmp_path / "copy.bin"
    destination.write_bytes(b"old")
    destination.chmod(0o640)
    leave_part(live, server, destination)
    assert destination.read_bytes() == b"old"
    outcome, _ = resumed(live, server, destination)
    assert outcome is True and destination.read_bytes() == payload
    assert stat.S_IMODE(destination.stat().st_mode) == 0o640 and parts_in(tmp_path) == []


def test_retries_without_resume_leave_no_part_behind(live, server, payload, tmp_path):
    destination = tmp_path / "copy.bin"
    with FaultRelay((server.host, server.port), cut_every=Cut(DOWN, 1 << 20)) as relay:
        client = sftp_main.TavrelSFTPMain(live.config(server, host=relay.host, port=relay.port, retries=1))
        client._connect()
        try:
            assert client._download("big.bin", str(destination)) is False
        finally:
            try:
                client._close()
            except (EOFError, OSError):
                pass
        assert len(relay.connections) == 2
    assert os.listdir(tmp_path) == []


def test_a_non_drop_failure_leaves_no_empty_part(live, server, payload, tmp_path):
    (server.root / "a-directory").mkdir()
    client = sftp_main.TavrelSFTPMain(live.config(server, resume=True, retries=2))
    client._connect()
    try:
        assert client._download("a-directory", str(tmp_path / "copy.bin")) is False
        assert client._download("missing.bin", str(tmp_path / "copy.bin")) is False
    finally:
        client._close()
    assert os.listdir(tmp_path) == []


def test_an_upload_of_a_local_file_changed_between_attempts_is_not_spliced(live, server, tmp_path):
    source = tmp_path / "source.bin"
    old = os.urandom(SIZE)
    source.write_bytes(old)
    new = bytes(byte ^ 0xFF for byte in old)

    def rewrite(connection):
        if connection.index == 0:
            with open(source, "r+b") as handle:  # the same file, rewritten in place
                handle.write(new)
            os.utime(source, ns=(time.time_ns(), time.time_ns() + 10**9))

    with FaultRelay((server.host, server.port), cuts=[Cut(UP, 2 << 20)], on_end=rewrite) as relay:
        client = sftp_main.TavrelSFTPMain(live.config(server, host=relay.host, port=relay.port, retries=2,
                                                      resume=True))
        client._connect()
        try:
            outcome = client._upload(str(source), "uploaded.bin")
        finally:
            client._close()
    uploaded = server.root / "uploaded.bin"
    # Either version whole, or none: never the start of one and the end of the other.
    assert not uploaded.exists() or uploaded.read_bytes() in (old, new), outcome
    assert outcome is False or uploaded.read_bytes() == new


# --- the reconnect ---


@pytest.mark.parametrize("direction", ["download", "upload"])
def test_a_reconnect_sent_to_a_server_with_another_key_sends_no_credential(live, server, payload, tmp_path,
                                                                           direction):
    source = tmp_path / "source.bin"
    source.write_bytes(payload)
    with live.server() as other:
        (other.root / "big.bin").write_bytes(payload)
        cut = Cut(DOWN, 2 << 20) if direction == "download" else Cut(UP, 2 << 20)
        with FaultRelay((server.host, server.port), cuts=[cut], second_target=(other.host, other.port),
                        switch_after=1) as relay:
            client = sftp_main.TavrelSFTPMain(live.config(server, host=relay.host, port=relay.port, retries=3))
            client._connect()
            try:
                if direction == "download":
                    outcome = client._download("big.bin", str(tmp_path / "copy.bin"))
                else:
                    outcome = client._upload(str(source), "uploaded.bin")
            finally:
                try:
                    client._close()
                except (EOFError, OSError):
                    pass
            assert outcome is False
            # The refused key ends it: no second try at the other server.
            assert [c.target for c in relay.connections] == [(server.host, server.port), (other.host, other.port)]
        assert other.auth_attempts == []
        assert sorted(os.listdir(tmp_path)) == ["source.bin"]
        assert not (other.root / "uploaded.bin").exists()


def test_a_failure_that_is_no_drop_is_made_once_and_its_note_tells_the_allowance(live, server, payload, tmp_path):
    def callback(done, total):
        raise EOFError("the callback's own")

    with FaultRelay((server.host, server.port)) as relay:
        client = sftp_main.TavrelSFTPMain(live.config(server, host=relay.host, port=relay.port, retries=3,
                                                      raise_on_failure=True, progress=callback))
        client._connect()
        try:
            with pytest.raises(EOFError) as raised:
                client._download("big.bin", str(tmp_path / "copy.bin"))
            with pytest.raises(FileNotFoundError):
                client._download("missing.bin", str(tmp_path / "copy.bin"))
        finally:
            client._close()
        assert len(relay.connections) == 1
    notes = "\n".join(getattr(raised.value, "__notes__", []))
    assert "made 1 time" in notes and '"retries" allows 3 more' in notes, notes


def test_a_keyboard_interrupt_in_the_callback_is_neither_retried_nor_swallowed(live, server, payload, tmp_path):
    interrupter = Interrupter()
    with FaultRelay((server.host, server.port)) as relay:
        client = sftp_main.TavrelSFTPMain(live.config(server, host=relay.host, port=relay.port, retries=3,
                                                      progress=interrupter))
        client._connect()
        try:
            interrupter.armed = True
            with pytest.raises(KeyboardInterrupt):
                client._download("big.bin", str(tmp_path / "copy.bin"))
            assert client._stat("big.bin").st_size == SIZE  # the connection stays usable
        finally:
            client._close()
        assert len(relay.connections) == 1
    assert os.listdir(tmp_path) == []


def test_transfers_of_several_threads_share_one_reconnect(live, server, payload, tmp_path):
    before = live.transport_threads()
    with FaultRelay((server.host, server.port), cuts=[Cut(DOWN, 3 << 20)]) as relay:
        client = sftp_main.TavrelSFTPMain(live.config(server, host=relay.host, port=relay.port, retries=2))
        client._connect()
        results = {}

        def download(number):
            results[number] = client._download("big.bin", str(tmp_path / f"copy-{number}.bin"))

        threads = [threading.Thread(target=download, args=(number,)) for number in range(3)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(120)
        try:
            assert results == {0: True, 1: True, 2: True}
        finally:
            client._close()
        assert len(relay.connections) == 2
    assert all((tmp_path / f"copy-{number}.bin").read_bytes() == payload for number in range(3))
    # Nothing the reconnects made outlives the instance's _close.
    assert live.threads_end(before) and live.sessions_end(server)


def test_a_connect_that_fails_on_reconnecting_ends_the_transfer(live, server, payload, tmp_path):
    class RefusedAgain(sftp_main.TavrelSFTPMain):
        connects = 0

        def _connect(self):
            RefusedAgain.connects += 1
            if RefusedAgain.connects > 1:
                raise ValueError("not again")
            return super()._connect()

    with FaultRelay((server.host, server.port), cuts=[Cut(DOWN, 1 << 20)]) as relay:
        client = RefusedAgain(live.config(server, host=relay.host, port=relay.port, retries=3,
                                          raise_on_failure=True))
        client._connect()
        with pytest.raises(ValueError, match="not again"):
            client._download("big.bin", str(tmp_path / "copy.bin"))
        assert RefusedAgain.connects == 2 and len(relay.connections) == 1
    assert os.listdir(tmp_path) == []


def test_a_reconnect_checks_the_key_also_after_the_caller_cleared_retries(live, server, payload, tmp_path):
    # The loop runs on the options of the connection that dropped; the
    # reconnect's _connect reads the configuration as it is now.
    with live.server() as other:
        (other.root / "big.bin").write_bytes(payload)
        with FaultRelay((server.host, server.port), cuts=[Cut(DOWN, 1 << 20)],
                        second_target=(other.host, other.port), switch_after=1) as relay:
            client = sftp_main.TavrelSFTPMain(live.config(server, host=relay.host, port=relay.port, retries=2))
            client._connect()
            client._config.set("retries", None)
            try:
                assert client._download("big.bin", str(tmp_path / "copy.bin")) is False
            finally:
                try:
                    client._close()
                except (EOFError, OSError):
                    pass
            assert len(relay.connections) == 2
        assert other.auth_attempts == []
    assert os.listdir(tmp_path) == []


# --- the upload's staging on the server ---


def leave_staging(live, server, source, **options):
    """An interrupted "resume" upload of `source` to uploaded.bin: the staging's path on the server."""
    interrupter = Interrupter()
    client = sftp_main.TavrelSFTPMain(live.config(server, resume=True, progress=interrupter, **options))
    client._connect()
    try:
        interrupter.armed = True
        with pytest.raises(KeyboardInterrupt):
            client._upload(str(source), "uploaded.bin")
    finally:
        client._close()
    [name] = [name for name in os.listdir(server.root) if name.startswith(".uploaded.bin.")]
    return server.root / name


def resumed_upload(live, server, source, **options):
    client = sftp_main.TavrelSFTPMain(live.config(server, resume=True, **options))
    client._connect()
    try:
        return client._upload(str(source), "uploaded.bin")
    finally:
        client._close()


def test_an_interrupted_upload_goes_on_from_the_staged_part(live, server, tmp_path):
    source = tmp_path / "source.bin"
    data = os.urandom(SIZE)
    source.write_bytes(data)
    with FaultRelay((server.host, server.port)) as relay:
        staging = leave_staging(live, server, source, host=relay.host, port=relay.port)
        assert staging.is_dir() and stat.S_IMODE(staging.stat().st_mode) == 0o700
        held = (staging / "uploaded.bin").stat().st_size
        assert resumed_upload(live, server, source, host=relay.host, port=relay.port) is True
        carried = relay.connections[1].carried[UP]
    assert (server.root / "uploaded.bin").read_bytes() == data and not staging.exists()
    assert held >= 1 << 20 and carried < SIZE - held + (256 << 10)


def plant_link_to_victim(staging, victim):
    staging.symlink_to(victim)


def plant_open_directory(staging, victim):
    staging.mkdir(mode=0o755)
    staging.chmod(0o755)


def plant_open_file(staging, victim):
    staging.write_bytes(b"")
    staging.chmod(0o666)


def plant_link_inside(staging, victim):
    staging.mkdir(mode=0o700)
    (staging / "uploaded.bin").symlink_to(victim)


@pytest.mark.parametrize("plant", [plant_link_to_victim, plant_open_directory, plant_open_file, plant_link_inside],
                         ids=lambda plant: plant.__name__.removeprefix("plant_"))
def test_what_another_user_put_at_the_staging_is_neither_written_nor_moved(live, server, tmp_path, plant):
    source = tmp_path / "source.bin"
    source.write_bytes(os.urandom(SIZE))
    staging = leave_staging(live, server, source)
    shutil.rmtree(staging)
    victim = server.root / "victim"
    victim.write_bytes(b"untouched")
    plant(staging, victim)
    inside = staging / "uploaded.bin"
    before = {path: fingerprint(path) for path in [staging, *([inside] if os.path.lexists(inside) else [])]}

    assert resumed_upload(live, server, source) is False

    assert victim.read_bytes() == b"untouched" and not (server.root / "uploaded.bin").exists()
    assert {path: fingerprint(path) for path in before} == before


def test_on_a_server_that_makes_no_directory_the_staged_file_is_private_and_resumed(live, server, tmp_path,
                                                                                  monkeypatch):
    import asyncssh
    import embedded_sftp_server

    def no_directories(self, path, attrs):
        raise asyncssh.SFTPPermissionDenied("no directories here")

    monkeypatch.setattr(embedded_sftp_server._StallableSFTPServer, "mkdir", no_directories)
    source = tmp_path / "source.bin"
    data = os.urandom(SIZE)
    source.write_bytes(data)
    staging = leave_staging(live, server, source)
    assert staging.is_file() and stat.S_IMODE(staging.stat().st_mode) == 0o600
    assert staging.stat().st_size >= 1 << 20
    assert resumed_upload(live, server, source) is True
    assert (server.root / "uploaded.bin").read_bytes() == data and not staging.exists()


def test_a_session_found_dead_is_reconnected_within_the_retries(live, server, payload, tmp_path):
    # The first reconnect meets a connection cut before the server's banner.
    with FaultRelay((server.host, server.port), cuts=[None, Cut(DOWN, 0)]) as relay:
        client = sftp_main.TavrelSFTPMain(live.config(server, host=relay.host, port=relay.port, retries=2))
        client._connect()
        try:
            client._sftp.get_channel().get_transport().close()
            assert relay.wait_until_ended(0)
            assert client._download("big.bin", str(tmp_path / "copy.bin")) is True
        finally:
            client._close()
        assert len(relay.connections) == 3
    assert (tmp_path / "copy.bin").read_bytes() == payload


def test_a_relative_source_in_another_directory_is_another_file(live, server, payload, tmp_path):
    # Same name, size and time, the same bytes but for the first 64 KiB.
    other = os.urandom(64 << 10) + payload[64 << 10:]
    for directory, data in (("a", payload), ("b", other)):
        (server.root / directory).mkdir()
        (server.root / directory / "big.bin").write_bytes(data)
        os.utime(server.root / directory / "big.bin", (1_700_000_000, 1_700_000_000))
    destination = tmp_path / "copy.bin"
    interrupter = Interrupter()
    client = sftp_main.TavrelSFTPMain(live.config(server, resume=True, progress=interrupter))
    client._connect()
    try:
        client._chdir("a")
        interrupter.armed = True
        with pytest.raises(KeyboardInterrupt):
            client._download("big.bin", str(destination))
        assert len(parts_in(tmp_path)) == 1
        client._chdir("../b")
        assert client._download("big.bin", str(destination)) is True
    finally:
        client._close()
    assert destination.read_bytes() == other


@pytest.mark.parametrize("resume", [False, True], ids=["retries", "retries-and-resume"])
def test_a_remote_file_replaced_between_attempts_under_the_same_size_and_time_gives_the_new_file(
        live, server, payload, tmp_path, resume):
    destination = tmp_path / "copy.bin"
    source = server.root / "big.bin"
    changed = os.urandom(SIZE)

    def replace(connection):
        if connection.index == 0:
            times = source.stat()
            source.write_bytes(changed)
            os.utime(source, ns=(times.st_atime_ns, times.st_mtime_ns))

    with FaultRelay((server.host, server.port), cuts=[Cut(DOWN, 2 << 20)], on_end=replace) as relay:
        client = sftp_main.TavrelSFTPMain(live.config(server, host=relay.host, port=relay.port, retries=2,
                                                      resume=resume))
        client._connect()
        try:
            assert client._download("big.bin", str(destination)) is True
        finally:
            client._close()
        assert len(relay.connections) == 2
    assert destination.read_bytes() == changed and parts_in(tmp_path) == []


# The transfer fails in paramiko's own get (the destination is a link,
# which is not staged), whose frames in the traceback hold the callable
# that calls the caller's callback; it is called after the transfer.
CALLBACK_KEPT_BY_A_TRACEBACK = """
import os, sys, sftp_main
host, port, user, password, destination = sys.argv[1:]
calls = []
def progress(done, total):
    calls.append(done)
    if len(calls) == 2:
        raise ValueError("the callback's own")
client = sftp_main.TavrelSFTPMain({"host": host, "port": int(port), "user": user, "password": password,
                                   "retries": 1, "raise_on_failure": True, "progress": progress})
client._connect()
try:
    client._download("big.bin", destination)
except ValueError as error:
    kept = error
client._close()
found = []
frame = kept.__traceback__
while frame is not None:
    found += [value for value in list(frame.tb_frame.f_locals.values()) if getattr(value, "__name__", "") == "progress"
              and type(value).__name__ == "builtin_function_or_method"]
    frame = frame.tb_next
def overwrite(depth):
    filler = [depth] * 64
    return overwrite(depth - 1) + len(filler) if depth else 0
overwrite(100)
for callable_ in found:
    callable_(7, 8)
print(len(found), calls[-1])
"""


def test_the_callbacks_stand_in_outlives_the_transfer_that_made_it(live, server, payload, tmp_path):
    import subprocess
    import sys

    target = tmp_path / "target.bin"
    target.write_bytes(b"")
    link = tmp_path / "link.bin"
    link.symlink_to(target)
    ran = subprocess.run([sys.executable, "-c", CALLBACK_KEPT_BY_A_TRACEBACK, server.host, str(server.port),
                          live.user, live.password, str(link)], capture_output=True, text=True, timeout=120)
    assert ran.returncode == 0, ran.stderr[-2000:]
    found, last = ran.stdout.split()
    assert int(found) >= 1 and int(last) == 7


@pytest.mark.parametrize("options", [{"retries": 1}, {"resume": True}, {"retries": 1, "atomic_upload": True}],
                         ids=["retries", "resume", "retries-atomic"])
def test_uploading_a_directory_leaves_the_server_as_it_was(live, server, tmp_path, options):
    (server.root / "uploaded.bin").write_bytes(b"kept")
    client = sftp_main.TavrelSFTPMain(live.config(server, raise_on_failure=True, **options))
    client._connect()
    try:
        with pytest.raises(IsADirectoryError) as raised:
            client._upload(str(tmp_path), "uploaded.bin")
    finally:
        client._close()
    assert raised.value.filename == str(tmp_path)
    assert os.listdir(server.root) == ["uploaded.bin"] and (server.root / "uploaded.bin").read_bytes() == b"kept"


def test_a_reconnect_made_on_another_thread_goes_no_further_with_another_server(live, server, payload, tmp_path):
    # A _connect of the caller's own that connects on a worker thread, out
    # of reach of the reconnect's check before credentials.
    class ConnectsElsewhere(sftp_main.TavrelSFTPMain):
        def _connect(self):
            failure = []
            worker = threading.Thread(target=lambda: self._connect_here(failure))
            worker.start()
            worker.join(60)
            if failure:
                raise failure[0]

        def _connect_here(self, failure):
            try:
                super()._connect()
            except Exception as error:  # noqa: BLE001 - handed to the caller's thread
                failure.append(error)

    with live.server() as other:
        (other.root / "big.bin").write_bytes(os.urandom(SIZE))
        with FaultRelay((server.host, server.port), cuts=[Cut(DOWN, 1 << 20)],
                        second_target=(other.host, other.port), switch_after=1) as relay:
            client = ConnectsElsewhere(live.config(server, host=relay.host, port=relay.port, retries=3,
                                                   raise_on_failure=True))
            client._connect()
            try:
                with pytest.raises(PermissionError, match="another host key"):
                    client._download("big.bin", str(tmp_path / "copy.bin"))
            finally:
                client._close()
            assert len(relay.connections) == 2
            # What crossed to the other server is the login and nothing of the file.
            assert relay.connections[1].carried[DOWN] < 64 << 10
    assert os.listdir(tmp_path) == []
