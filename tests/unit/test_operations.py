"""The eight forwarders and the two transfers, over a recording client."""

import os
import re
import subprocess
import sys
import threading
import time
from types import SimpleNamespace

import pytest

from fakes import GOOD_CONFIG, SFTP_CLIENT_METHODS, CallLog, Fake

# method, client method, parameter names, whether the client's result is returned
FORWARDERS = [
    ("_remove", "remove", ("path",), False),
    ("_rename", "rename", ("ole_path", "new_path"), False),
    ("_posix_rename", "posix_rename", ("ole_path", "new_path"), False),
    ("_mkdir", "mkdir", ("path",), False),
    ("_rmdir", "rmdir", ("path",), False),
    ("_stat", "stat", ("file_path",), True),
    ("_normalize", "normalize", ("path",), True),
    ("_chdir", "chdir", ("path",), False),
]
TRANSFERS = [("_upload", "put"), ("_download", "get")]
FORWARDER_IDS = [row[0] for row in FORWARDERS]
TRANSFER_IDS = [row[0] for row in TRANSFERS]


class Boom(Exception):
    pass


# A download goes to a new file beside its destination first.
STAGED = re.compile(r"\.(?P<name>.+)\.[0-9a-f]{16}\.part")


def assert_transfer_args(method, args, src, dst):
    """A transfer's client call got `src` and, for a download, a file staged beside `dst`."""
    assert args[0] == src
    if method == "_upload":
        assert args[1] == dst
        return
    staged = STAGED.fullmatch(os.path.basename(args[1]))
    assert staged and staged["name"] == os.path.basename(dst), args[1]
    assert os.path.dirname(args[1]) == os.path.dirname(os.path.abspath(dst))


@pytest.fixture
def log():
    return CallLog()


@pytest.fixture
def client(log):
    return Fake(log, "sftp", SFTP_CLIENT_METHODS)


@pytest.fixture
def obj(bare, client):
    bare._sftp = client
    yield bare
    # A raising client must not make the eventual finaliser noisy.
    client.raises.clear()


def arguments(params):
    return tuple(f"/remote/{p}-{i}" for i, p in enumerate(params))


# --- forwarders -----------------------------------------------------------


@pytest.mark.parametrize("method, remote, params, passes_result", FORWARDERS, ids=FORWARDER_IDS)
@pytest.mark.parametrize("client_result", [None, False, 0, "text", "object"])
def test_forwarder_makes_one_positional_call_and_returns(obj, client, log, method, remote, params, passes_result, client_result):
    if client_result == "object":
        client_result = object()
    client.returns[remote] = client_result
    args = arguments(params)
    result = getattr(obj, method)(*args)
    assert [(c.name, c.args, c.kwargs) for c in log.calls] == [(f"sftp.{remote}", args, {})]
    if passes_result:
        assert result is client_result
    else:
        assert result is True


@pytest.mark.parametrize("method, remote, params, passes_result", FORWARDERS, ids=FORWARDER_IDS)
def test_forwarder_keywords_in_reverse_order_reach_the_client_positionally(obj, log, method, remote, params, passes_result):
    args = arguments(params)
    getattr(obj, method)(**dict(reversed(list(zip(params, args)))))
    assert [(c.args, c.kwargs) for c in log.calls] == [(args, {})]


@pytest.mark.parametrize("method, remote, params, passes_result", FORWARDERS, ids=FORWARDER_IDS)
@pytest.mark.parametrize("exc", [Boom("client"), OSError(2, "No such file"), KeyboardInterrupt()], ids=repr)
def test_forwarder_lets_client_errors_through_unchanged(obj, client, method, remote, params, passes_result, exc):
    client.raises[remote] = exc
    with pytest.raises(type(exc)) as excinfo:
        getattr(obj, method)(*arguments(params))
    assert excinfo.value is exc


@pytest.mark.parametrize("method, remote, params, passes_result", FORWARDERS, ids=FORWARDER_IDS)
def test_forwarder_without_a_client_raises_attribute_error(bare, method, remote, params, passes_result):
    with pytest.raises(AttributeError, match="_sftp"):
        getattr(bare, method)(*arguments(params))
    bare._sftp = None
    with pytest.raises(AttributeError, match=remote):
        getattr(bare, method)(*arguments(params))


@pytest.mark.parametrize("method, remote, params, passes_result", FORWARDERS, ids=FORWARDER_IDS)
def test_forwarder_passes_arguments_untouched(obj, log, method, remote, params, passes_result):
    args = tuple(object() for _ in params)
    getattr(obj, method)(*args)
    assert all(a is b for a, b in zip(log.calls[0].args, args, strict=True))


def test_client_is_read_afresh_at_every_call(obj, log):
    obj._rmdir("a")
    obj._sftp = Fake(log, "other", SFTP_CLIENT_METHODS)
    obj._rmdir("b")
    obj._upload("c", "d")
    assert [(c.name, c.args) for c in log.calls] == [("sftp.rmdir", ("a",)), ("other.rmdir", ("b",)), ("other.put", ("c", "d"))]


# --- transfers ------------------------------------------------------------


@pytest.mark.parametrize("method, remote", TRANSFERS, ids=TRANSFER_IDS)
@pytest.mark.parametrize("client_result", [None, False, "x"])
def test_transfer_returns_true_singleton(obj, client, log, method, remote, client_result):
    client.returns[remote] = client_result
    assert getattr(obj, method)("src", "dst") is True
    [call] = log.calls
    assert (call.name, call.kwargs) == (f"sftp.{remote}", {})
    assert_transfer_args(method, call.args, "src", "dst")


@pytest.mark.parametrize("method, remote", TRANSFERS, ids=TRANSFER_IDS)
def test_transfer_keywords_reach_the_client_source_first(obj, log, method, remote):
    assert getattr(obj, method)(dsc_path="local-or-remote-dst", src_file="the-src") is True
    [call] = log.calls
    assert call.kwargs == {}
    assert_transfer_args(method, call.args, "the-src", "local-or-remote-dst")


@pytest.mark.parametrize("method, remote", TRANSFERS, ids=TRANSFER_IDS)
@pytest.mark.parametrize("exc", [Boom("x"), FileNotFoundError(2, "missing"), OSError("closed"), ValueError("v")], ids=repr)
def test_transfer_failure_returns_false_singleton(obj, client, log, method, remote, exc):
    client.raises[remote] = exc
    assert getattr(obj, method)("src", "dst") is False
    assert len(log.calls) == 1
    assert sys.exception() is None


@pytest.mark.parametrize("method, remote", TRANSFERS, ids=TRANSFER_IDS)
def test_transfer_without_a_usable_client_returns_false(bare, cls, method, remote):
    assert getattr(bare, method)("src", "dst") is False
    bare._sftp = None
    assert getattr(bare, method)("src", "dst") is False

    class Lookup(cls):
        @property
        def _sftp(self):
            raise RuntimeError("lookup failed")

    assert getattr(Lookup.__new__(Lookup), method)("src", "dst") is False


@pytest.mark.parametrize("method, remote", TRANSFERS, ids=TRANSFER_IDS)
@pytest.mark.parametrize("exc_type", [KeyboardInterrupt, SystemExit, GeneratorExit])
def test_transfer_lets_non_ordinary_exceptions_through(obj, client, method, remote, exc_type):
    client.raises[remote] = exc = exc_type()
    with pytest.raises(exc_type) as excinfo:
        getattr(obj, method)("src", "dst")
    assert excinfo.value is exc


@pytest.mark.parametrize("method, remote", TRANSFERS, ids=TRANSFER_IDS)
def test_transfer_binding_error_is_raised_not_false(obj, log, method, remote):
    with pytest.raises(TypeError):
        getattr(obj, method)("only-one")
    with pytest.raises(TypeError):
        getattr(obj, method)("src", dst_path="dst")
    assert log.calls == []


@pytest.mark.parametrize("method, remote", TRANSFERS, ids=TRANSFER_IDS)
@pytest.mark.parametrize("fails", [True, False])
def test_transfer_inside_an_except_block_keeps_the_handled_exception(obj, client, method, remote, fails):
    if fails:
        client.raises[remote] = Boom("inner")
    handled = LookupError("outer")
    try:
        raise handled
    except LookupError:
        result = getattr(obj, method)("src", "dst")
        assert sys.exception() is handled
    assert result is (not fails)
    assert handled.__context__ is None


def test_forwarders_and_transfers_leave_the_instance_unchanged(obj, client):
    before = dict(vars(obj))
    for method, remote, params, _ in FORWARDERS:
        getattr(obj, method)(*arguments(params))
    obj._upload("a", "b")
    client.raises["get"] = Boom("x")
    obj._download("a", "b")
    assert vars(obj) == before


# --- downloads: the destination is written whole or not at all --------------


class WritingClient:
    """Writes `payload` to the local path `get` is given, or raises `error`."""

    def __init__(self, payload=b"new", error=None):
        self.payload, self.error, self.targets = payload, error, []

    def get(self, remote, local):
        self.targets.append(local)
        if self.error:
            raise self.error
        with open(local, "wb") as handle:
            handle.write(self.payload)


def leftovers(directory):
    return [p.name for p in directory.iterdir() if STAGED.fullmatch(p.name)]


def test_download_replaces_the_destination_keeping_its_mode(bare, tmp_path):
    destination = tmp_path / "report.csv"
    destination.write_bytes(b"old")
    destination.chmod(0o640)
    bare._sftp = client = WritingClient()
    assert bare._download("remote.csv", str(destination)) is True
    assert destination.read_bytes() == b"new"
    assert destination.stat().st_mode & 0o777 == 0o640
    assert client.targets[0] != str(destination) and leftovers(tmp_path) == []


def test_download_replacing_a_private_file_stages_it_private_from_the_start(tmp_path):
    # Made with the server's default mode and narrowed afterwards, the staged
    # file could be opened by another user in between and read once written.
    destination = tmp_path / "secret.key"
    destination.write_bytes(b"old")
    destination.chmod(0o600)
    script = (
        "import sys, types, sftp_main\n"
        "obj = sftp_main.TavrelSFTPMain.__new__(sftp_main.TavrelSFTPMain)\n"
        "obj._sftp = types.SimpleNamespace(get=lambda remote, local: open(local, 'wb').write(b'new'))\n"
        "assert obj._download('remote', sys.argv[1]) is True\n"
    )
    trace = tmp_path / "trace"
    try:
        subprocess.run(
            ["strace", "-f", "-e", "trace=openat", "-o", str(trace), sys.executable, "-c", script, str(destination)],
            check=True, capture_output=True, timeout=60,
        )
    except (OSError, subprocess.CalledProcessError) as error:
        pytest.skip(f"strace cannot trace here: {error}")
    [created] = [line for line in trace.read_text().splitlines() if ".part" in line and "O_EXCL" in line]
    assert created.rstrip().rsplit(",", 1)[1].startswith(" 0600)")
    assert destination.read_bytes() == b"new" and destination.stat().st_mode & 0o777 == 0o600


@pytest.mark.parametrize("existing", [True, False])
def test_failed_download_leaves_the_destination_as_it_was(bare, tmp_path, existing):
    destination = tmp_path / "report.csv"
    if existing:
        destination.write_bytes(b"precious")
    bare._sftp = WritingClient(error=FileNotFoundError(2, "No such file"))
    assert bare._download("missing.csv", str(destination)) is False
    assert (destination.read_bytes() if existing else destination.exists()) == (b"precious" if existing else False)
    assert leftovers(tmp_path) == []


@pytest.mark.skipif(os.geteuid() != 0, reason="needs root to give the file another owner")
def test_download_keeps_the_owner_and_leaves_hard_links_intact(bare, tmp_path):
    owned = tmp_path / "theirs.csv"
    owned.write_bytes(b"old")
    os.chown(owned, 65534, 65534)
    owned.chmod(0o600)
    linked = tmp_path / "linked.csv"
    linked.write_bytes(b"old")
    os.link(linked, tmp_path / "other-name.csv")
    bare._sftp = WritingClient()
    assert bare._download("r", str(owned)) is True and bare._download("r", str(linked)) is True
    status = owned.stat()
    assert (status.st_uid, status.st_gid, status.st_mode & 0o777, owned.read_bytes()) == (65534, 65534, 0o600, b"new")
    assert (tmp_path / "other-name.csv").read_bytes() == b"new"  # written through, as before


def test_download_through_a_symlink_writes_its_target(bare, tmp_path):
    target = tmp_path / "real.csv"
    target.write_bytes(b"old")
    link = tmp_path / "link.csv"
    link.symlink_to(target.name)
    bare._sftp = WritingClient()
    assert bare._download("remote.csv", str(link)) is True
    assert link.is_symlink() and target.read_bytes() == b"new"


def test_download_where_no_file_can_be_staged_goes_to_the_destination(bare, tmp_path):
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    bare._sftp = client = WritingClient(error=OSError("not followed"))
    for destination in ("/dev/null", str(fifo), str(tmp_path / "missing-dir" / "f"), 42):
        assert bare._download("remote", destination) is False
    assert client.targets == ["/dev/null", str(fifo), str(tmp_path / "missing-dir" / "f"), 42]
    assert os.path.exists("/dev/null") and not os.path.isfile("/dev/null")


def test_download_stages_a_path_of_the_destinations_kind(bare, tmp_path):
    bare._sftp = client = WritingClient()
    assert bare._download("r", os.fsencode(tmp_path / "b.bin")) is True
    assert bare._download("r", tmp_path / "p.bin") is True
    assert [type(t) for t in client.targets] == [bytes, str]
    assert (tmp_path / "b.bin").read_bytes() == (tmp_path / "p.bin").read_bytes() == b"new"


# --- interrupts wrapped by the client ---------------------------------------


def wrapped(interrupt, *, deep=False):
    """An ordinary error raised while `interrupt` was being handled, as
    paramiko does when a signal lands in its socket wait."""
    try:
        try:
            raise interrupt
        except BaseException as inner:
            if deep:
                raise OSError("socket closed") from inner
            raise
    except BaseException as caught:
        try:
            raise Boom("transfer failed") from None
        except Boom as outer:
            outer.__context__ = caught
            return outer


@pytest.mark.parametrize("method, remote", TRANSFERS, ids=TRANSFER_IDS)
@pytest.mark.parametrize("deep", [False, True])
def test_an_interrupt_in_the_chain_is_raised_not_false(obj, client, method, remote, deep):
    interrupt = KeyboardInterrupt()
    client.raises[remote] = wrapped(interrupt, deep=deep)
    with pytest.raises(KeyboardInterrupt) as excinfo:
        getattr(obj, method)("src", "dst")
    assert excinfo.value is interrupt


@pytest.mark.parametrize("method, remote", TRANSFERS, ids=TRANSFER_IDS)
def test_a_cyclic_chain_of_ordinary_errors_is_still_false(obj, client, method, remote):
    first, second = Boom("a"), OSError("b")
    first.__context__, second.__context__ = second, first
    client.raises[remote] = first
    assert getattr(obj, method)("src", "dst") is False


# --- one call at a time per client --------------------------------------------


class CountingClient:
    """Records the most calls it was ever inside at once."""

    def __init__(self, owner=None):
        self.inside = self.most = 0
        self.owner = owner

    def _enter(self, result=True):
        self.inside += 1
        self.most = max(self.most, self.inside)
        time.sleep(0.002)  # lets the other threads run
        self.inside -= 1
        return result

    def stat(self, path):
        return self._enter()

    def put(self, src, dst):
        return self._enter()

    def normalize(self, path):
        # A call back into the instance on the same thread must not deadlock.
        return self.owner._stat(path) if self.owner and path == "again" else self._enter()


def hammer(*calls):
    threads = [threading.Thread(target=lambda: [c() for c in calls for _ in range(15)]) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(30)
    assert not any(thread.is_alive() for thread in threads)


def test_threads_sharing_an_instance_reach_its_client_one_at_a_time(bare):
    unguarded = CountingClient()
    hammer(lambda: unguarded.stat("p"))
    assert unguarded.most > 1  # the client alone would be entered concurrently

    bare._sftp = client = CountingClient(owner=bare)
    before = set(vars(bare))
    hammer(lambda: bare._stat("p"), lambda: bare._upload("a", "b"), lambda: bare._normalize("again"))
    assert client.most == 1
    assert set(vars(bare)) == before


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

    obj._sftp.raises["get"] = transfer_error = Boom("refused")
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


@pytest.mark.parametrize("method, remote", TRANSFERS, ids=TRANSFER_IDS)
@pytest.mark.parametrize("handled_type", [KeyboardInterrupt, SystemExit])
def test_a_failure_while_the_caller_handles_an_interrupt_is_still_false(obj, client, method, remote, handled_type):
    client.raises[remote] = Boom("refused")
    try:
        raise handled_type()
    except handled_type as handled:
        assert getattr(obj, method)("src", "dst") is False
        assert sys.exception() is handled
    # An interrupt the client wraps inside such a block still goes up.
    interrupt = KeyboardInterrupt()

    class Wrapping:
        def put(self, *args):
            try:
                raise interrupt
            except KeyboardInterrupt:
                raise Boom("wrapped") from None

        get = put

    obj._sftp = Wrapping()
    try:
        raise handled_type()
    except handled_type:
        with pytest.raises(KeyboardInterrupt) as excinfo:
            getattr(obj, method)("src", "dst")
    assert excinfo.value is interrupt


class BlockingClient:
    """`stat` holds until `release` is set; `close` records when it ran."""

    def __init__(self):
        self.inside, self.release, self.events = threading.Event(), threading.Event(), []

    def stat(self, path):
        self.inside.set()
        self.release.wait(10)
        self.events.append("stat done")

    def close(self):
        self.events.append("close")


def test_a_thread_waiting_for_the_client_still_takes_ctrl_c_and_close_waits_its_turn(bare):
    import signal

    bare._sftp = client = BlockingClient()
    bare._ssh = Fake(CallLog(), "ssh", {"close"})
    holder = threading.Thread(target=bare._stat, args=("p",))
    holder.start()
    assert client.inside.wait(10)
    timer = threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGINT))
    timer.start()
    started = time.monotonic()
    with pytest.raises(KeyboardInterrupt):
        bare._stat("waits")
    assert time.monotonic() - started < 5
    timer.join()

    closer = threading.Thread(target=bare._close)
    closer.start()
    closer.join(0.3)
    assert closer.is_alive() and client.events == []  # _close waits for the call in progress
    client.release.set()
    holder.join(10)
    closer.join(10)
    assert client.events == ["stat done", "close"]


# --- opt-in transfer options and the record of a False --------------------


def test_opted_transfers_pass_the_callback_and_upload_atomically(fakes, cls):
    progress = print
    obj = cls({**GOOD_CONFIG, "atomic_upload": True, "progress": progress})
    obj._connect()
    obj._sftp._methods |= {"lstat", "chmod"}
    obj._sftp.returns["lstat"] = SimpleNamespace(st_mode=0o104640)  # a private file, set-uid
    fakes.log.clear()
    assert obj._upload("local.bin", "/in/box/report.csv") is True
    assert obj._download("/in/r", "/nonexistent-dir/d") is True
    mkdir, put, lstat, chmod, rename, rmdir, get = fakes.log.calls
    staging = mkdir.args[0]
    assert re.fullmatch(r"/in/box/\.report\.csv\.[0-9a-f]{16}\.part", staging)
    assert mkdir.args[1:] == (0o700,) and rmdir.args == (staging,)
    temporary = put.args[1]
    assert temporary == staging + "/report.csv"
    assert (put.name, put.args[0], put.kwargs) == ("sftp.put", "local.bin", {"callback": progress})
    assert (lstat.name, lstat.args) == ("sftp.lstat", ("/in/box/report.csv",))
    assert (chmod.name, chmod.args) == ("sftp.chmod", (temporary, 0o640))
    assert (rename.name, rename.args, rename.kwargs) == ("sftp.posix_rename", (temporary, "/in/box/report.csv"), {})
    assert (get.name, get.args, get.kwargs) == ("sftp.get", ("/in/r", "/nonexistent-dir/d"), {"callback": progress})

    fakes.log.clear()
    obj._sftp.raises["lstat"] = FileNotFoundError(2, "No such file")
    obj._sftp.raises["posix_rename"] = Boom("Operation unsupported")
    assert obj._upload("local.bin", "report.csv") is False
    assert fakes.log.names() == ["sftp.mkdir", "sftp.put", "sftp.lstat", "sftp.posix_rename", "sftp.remove", "sftp.rmdir"]
    assert fakes.log.of("sftp.remove")[0].args == (fakes.log.calls[1].args[1],)
    assert fakes.log.of("sftp.rmdir")[0].args == (fakes.log.calls[0].args[0],)

    fakes.log.clear()
    obj._sftp.raises["mkdir"] = PermissionError(13, "Permission denied")
    obj._sftp.raises.pop("posix_rename")
    assert obj._upload("local.bin", "report.csv") is True
    assert fakes.log.names() == ["sftp.mkdir", "sftp.put", "sftp.lstat", "sftp.posix_rename"]
    assert re.fullmatch(r"\.report\.csv\.[0-9a-f]{16}\.part", fakes.log.calls[1].args[1])


def test_a_false_transfer_is_logged_only_where_logging_is_configured(tmp_path):
    script = (
        "import logging, sys, sftp_main\n"
        "if sys.argv[1] == 'configured': logging.basicConfig(level=logging.INFO)\n"
        "obj = sftp_main.TavrelSFTPMain.__new__(sftp_main.TavrelSFTPMain)\n"
        "print(obj._upload('/nope', 'x'))\n"
        "print([type(h).__name__ for h in logging.getLogger('sftp_main').handlers])\n"
    )
    def run(mode):
        done = subprocess.run([sys.executable, "-c", script, mode], capture_output=True, text=True, timeout=60)
        return done.stdout, done.stderr

    assert run("plain") == ("False\n['NullHandler']\n", "")
    out, err = run("configured")
    assert out == "False\n['NullHandler']\n"
    first, *traceback = err.splitlines()
    assert first == (
        "INFO:sftp_main:sftp_main: _upload('/nope', 'x') returned False: "
        "AttributeError: 'TavrelSFTPMain' object has no attribute '_sftp'"
    )
    assert traceback == ["AttributeError: 'TavrelSFTPMain' object has no attribute '_sftp'"]  # the exc_info
