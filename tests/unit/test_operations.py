"""The eight forwarders and the two transfers, over a recording client."""

import ctypes
import io
import os
import pathlib
import re
import select
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
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
TRANSFERS = [("_upload", "put"), ("_download", "getfo")]
FORWARDER_IDS = [row[0] for row in FORWARDERS]
TRANSFER_IDS = [row[0] for row in TRANSFERS]


class Boom(Exception):
    pass


# The name a staged download's file bears, if ever it has one.
STAGED = re.compile(r"\.(?P<name>.+)\.[0-9a-f]{16}\.part")


def assert_transfer_args(method, args, src, dst):
    """A transfer's client call got `src` and, for a download, the staged file's own file object."""
    assert args[0] == src
    if method == "_upload":
        assert args[1] == dst
        return
    assert isinstance(args[1], io.BufferedWriter) and args[1].closed
    with open(dst, "rb") as landed:  # the fake wrote nothing, and said so
        assert landed.read() == b""


@pytest.fixture
def log():
    return CallLog()


@pytest.fixture
def client(log):
    client = Fake(log, "sftp", SFTP_CLIENT_METHODS)
    client.returns["getfo"] = 0  # the bytes it wrote: none
    return client


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


# A download to a device is not staged: it is get(src, dst) itself.
@pytest.mark.parametrize("method, remote, dst", [("_upload", "put", "dst"), ("_download", "get", os.devnull)], ids=TRANSFER_IDS)
@pytest.mark.parametrize("client_result", [None, False, "x"])
def test_transfer_returns_true_singleton(obj, client, log, method, remote, dst, client_result):
    client.returns[remote] = client_result
    assert getattr(obj, method)("src", dst) is True
    assert [(c.name, c.args, c.kwargs) for c in log.calls] == [(f"sftp.{remote}", ("src", dst), {})]


@pytest.mark.parametrize("reported, expected", [(0, True), (False, True), (1, False), (None, False), ("0", False)])
def test_a_staged_download_checks_the_size_getfo_reports_as_get_does(obj, client, reported, expected):
    client.returns["getfo"] = reported
    assert obj._download("src", "dst") is expected
    assert os.listdir() == (["dst"] if expected else [])


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
    client.raises["getfo"] = Boom("x")
    obj._download("a", "b")
    assert vars(obj) == before


# --- downloads: the destination is written whole or not at all --------------


class WritingClient:
    """Writes `payload` where a download goes: into the file object `getfo`
    is given, or to the path `get` is given. With `error`, writes a part of
    it and raises that. `during` runs in the middle of a `getfo`."""

    def __init__(self, payload=b"new", error=None, during=None):
        self.payload, self.error, self.during, self.targets = payload, error, during, []

    def getfo(self, remote, handle):
        self.targets.append(handle)
        handle.write(self.payload[:2])
        handle.flush()
        if self.during:
            self.during(handle)
        if self.error:
            raise self.error
        handle.write(self.payload[2:])
        return len(self.payload)

    def get(self, remote, local):
        self.targets.append(local)
        if self.error:
            raise self.error
        with open(local, "wb") as handle:
            handle.write(self.payload)


def leftovers(directory):
    return [p.name for p in directory.iterdir() if STAGED.fullmatch(p.name)]


@pytest.mark.parametrize("existing", [True, False])
def test_download_writes_an_unnamed_0600_file_then_gives_it_the_final_mode(bare, tmp_path, existing):
    destination = tmp_path / "report.csv"
    if existing:
        destination.write_bytes(b"old")
        destination.chmod(0o640)
    seen = []

    def during(handle):
        status = os.fstat(handle.fileno())
        seen.append((status.st_mode & 0o777, status.st_nlink, sorted(os.listdir(tmp_path))))

    bare._sftp = WritingClient(during=during)
    assert bare._download("remote.csv", str(destination)) is True
    assert seen == [(0o600, 0, ["report.csv"] if existing else [])]
    umask = os.umask(0o22)
    os.umask(umask)
    assert destination.stat().st_mode & 0o777 == (0o640 if existing else 0o666 & ~umask)
    assert destination.read_bytes() == b"new" and leftovers(tmp_path) == []


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


def test_download_to_a_link_or_a_file_it_may_not_write_is_get_as_is(bare, tmp_path):
    target = tmp_path / "real.csv"
    target.write_bytes(b"old")
    link = tmp_path / "link.csv"
    link.symlink_to(target.name)
    bare._sftp = client = WritingClient()
    assert bare._download("remote.csv", str(link)) is True
    assert client.targets == [str(link)]
    assert link.is_symlink() and target.read_bytes() == b"new"
    target.chmod(0o444)
    if os.geteuid() != 0:  # root may write it
        assert bare._download("remote.csv", str(target)) is False
        assert client.targets[-1] == str(target) and target.read_bytes() == b"new"



def acl(user, group, other, nobody=None):
    """An access control list as the kernel stores it; `nobody` adds an entry for that user."""
    undefined = 0xFFFFFFFF
    entries = [(0x01, user, undefined), (0x04, group, undefined), (0x20, other, undefined)]
    if nobody is not None:
        entries[1:1] = [(0x02, nobody, 65534)]
        entries[-1:-1] = [(0x10, nobody | group, undefined)]
    return struct.pack("<I", 2) + b"".join(struct.pack("<HHI", *entry) for entry in entries)


def test_a_destination_governed_by_access_control_lists_is_get_as_is(bare, tmp_path):
    try:
        os.setxattr(tmp_path, "system.posix_acl_default", acl(6, 4, 0))
    except OSError as error:
        pytest.skip(f"no access control lists here: {error}")
    made = tmp_path / "made.csv"
    os.close(os.open(made, os.O_CREAT | os.O_WRONLY, 0o666))
    bare._sftp = client = WritingClient()
    assert bare._download("remote.csv", str(tmp_path / "new.csv")) is True
    # The list, not the umask, decides: others get nothing.
    assert (tmp_path / "new.csv").stat().st_mode & 0o777 == made.stat().st_mode & 0o777 == 0o640
    os.removexattr(tmp_path, "system.posix_acl_default")
    listed = tmp_path / "listed.csv"
    listed.write_bytes(b"old")
    os.setxattr(listed, "system.posix_acl_access", acl(6, 0, 0, nobody=4))
    assert bare._download("remote.csv", str(listed)) is True
    assert client.targets == [str(tmp_path / "new.csv"), str(listed)]
    assert os.getxattr(listed, "system.posix_acl_access") == acl(6, 0, 0, nobody=4) and listed.read_bytes() == b"new"

def test_download_to_a_proc_fd_link_lands_in_the_open_file(bare, tmp_path):
    bare._sftp = WritingClient(payload=b"landed")
    with open(tmp_path / "open.bin", "w+b") as anonymous:
        os.unlink(anonymous.name)
        assert bare._download("remote", f"/proc/self/fd/{anonymous.fileno()}") is True
        assert anonymous.read() == b"landed"
    assert os.listdir(tmp_path) == []


def test_a_link_planted_during_the_download_is_replaced_not_written_through(bare, tmp_path):
    victim = tmp_path / "victim"
    victim.write_bytes(b"untouched")
    destination = tmp_path / "new.csv"
    bare._sftp = WritingClient(during=lambda handle: destination.symlink_to(victim))
    assert bare._download("remote", str(destination)) is True
    assert not destination.is_symlink() and destination.read_bytes() == b"new"
    assert victim.read_bytes() == b"untouched"


def test_a_client_that_gives_the_staged_descriptor_away_fails_without_touching_its_new_file(bare, tmp_path):
    destination = tmp_path / "report.csv"
    destination.write_bytes(b"old")
    reused = []

    class Reusing:
        def getfo(self, remote, handle):
            handle.write(b"new")
            handle.flush()
            other = os.open(tmp_path / "reuser", os.O_RDWR | os.O_CREAT, 0o600)
            os.dup2(other, handle.fileno())  # the number now holds another file
            os.close(other)
            reused.append(handle.fileno())
            return 0  # as many bytes as that file holds

    bare._sftp = Reusing()
    assert bare._download("remote", str(destination)) is False
    assert os.fstat(reused[0]).st_mode & 0o777 == 0o600  # neither changed nor closed
    assert destination.read_bytes() == b"old" and sorted(os.listdir(tmp_path)) == ["report.csv", "reuser"]
    os.close(reused[0])


def test_download_where_no_file_can_be_staged_goes_to_the_destination(bare, tmp_path):
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    bare._sftp = client = WritingClient(error=OSError("not followed"))
    for destination in ("/dev/null", str(fifo), str(tmp_path / "missing-dir" / "f"), 42):
        assert bare._download("remote", destination) is False
    assert client.targets == ["/dev/null", str(fifo), str(tmp_path / "missing-dir" / "f"), 42]
    assert os.path.exists("/dev/null") and not os.path.isfile("/dev/null")


def test_download_stages_bytes_and_path_like_destinations(bare, tmp_path):
    bare._sftp = client = WritingClient()
    assert bare._download("r", os.fsencode(tmp_path / "b.bin")) is True
    assert bare._download("r", tmp_path / "p.bin") is True
    assert [type(t) for t in client.targets] == [io.BufferedWriter] * 2
    assert (tmp_path / "b.bin").read_bytes() == (tmp_path / "p.bin").read_bytes() == b"new"


# --- downloads beside other users -----------------------------------------------

NOBODY, OTHER = 65534, 65533
SECRET = b"the-secret-payload"
as_root = pytest.mark.skipif(os.geteuid() != 0, reason="plays other users: needs root")


@pytest.fixture
def shared_directory():
    """A directory other users can enter (pytest's own are private)."""
    path = pathlib.Path(tempfile.mkdtemp(prefix="shared-", dir="/tmp"))
    path.chmod(0o755)
    yield path
    shutil.rmtree(path)


def start_as(uid, action):
    """A forked child that runs action() as `uid` (None: as this user)."""
    pid = os.fork()
    if pid == 0:
        code = 2
        try:
            if uid is not None:
                os.setgroups([])
                os.setgid(uid)
                os.setuid(uid)
            code = 0 if action() else 1
        finally:
            os._exit(code)
    return pid


def outcome(pid):
    return {0: True, 1: False}.get(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))


def keep_all_it_can_open(directory, stop, report):
    """The attacker: opens every entry as soon as it is created in `directory`,
    keeps the descriptors, and reads them all at the end."""
    libc = ctypes.CDLL(None, use_errno=True)
    watch = libc.inotify_init1(os.O_NONBLOCK)
    libc.inotify_add_watch(watch, bytes(directory), 0x100 | 0x80)  # created, moved in
    os.write(report, b"r")
    kept, events, stopping = [], 0, False
    while not stopping:
        stopping = stop in select.select([watch, stop], [], [], 10)[0]
        try:
            data = os.read(watch, 1 << 16)
        except BlockingIOError:
            continue
        while data:
            length = struct.unpack_from("iIII", data)[3]
            name, data = data[16 : 16 + length].rstrip(b"\0"), data[16 + length :]
            events += 1
            try:
                kept.append(os.open(bytes(directory / os.fsdecode(name)), os.O_RDONLY | os.O_NONBLOCK | os.O_NOFOLLOW))
            except OSError:
                pass
    leaked = any(SECRET in os.pread(fd, 1 << 16, 0) for fd in kept)
    os.write(report, f"{events} {len(kept)} {leaked}".encode())
    return True


@as_root
def test_another_user_never_reads_a_download_replacing_a_0600_file(bare, shared_directory):
    destination = shared_directory / "secret.csv"
    destination.write_bytes(b"old")
    destination.chmod(0o600)
    stop_read, stop = os.pipe()
    report, report_write = os.pipe()
    watcher = start_as(NOBODY, lambda: keep_all_it_can_open(shared_directory, stop_read, report_write))
    assert os.read(report, 1) == b"r"
    bare._sftp = WritingClient(payload=SECRET)
    for _ in range(20):
        assert bare._download("remote", str(destination)) is True
    (shared_directory / "public").write_bytes(b"anyone")  # one it can open: the watcher does work
    os.write(stop, b"s")
    assert outcome(watcher) is True
    events, kept, leaked = os.read(report, 100).split()
    assert int(events) >= 21 and int(kept) == 1 and leaked == b"False"
    assert destination.stat().st_mode & 0o777 == 0o600 and destination.read_bytes() == SECRET


def download_as(uid, obj, destination, meanwhile):
    """obj._download into `destination` in a child running as `uid`, while
    this process runs meanwhile() with the child's getfo halfway."""
    midway_read, midway = os.pipe()
    resume_read, resume = os.pipe()

    def download():
        obj._sftp = WritingClient(payload=SECRET, during=lambda handle: os.write(midway, b"m") and os.read(resume_read, 1))
        return obj._download("remote", str(destination))

    child = start_as(uid, download)
    os.close(midway)
    os.close(resume_read)
    if os.read(midway_read, 1):
        meanwhile()
        os.write(resume, b"r")
    for end in (resume, midway_read):
        os.close(end)
    return outcome(child)


@as_root
@pytest.mark.parametrize("planted", ["file", "link"])
@pytest.mark.parametrize("downloader", [NOBODY, 0], ids=["user", "root"])
def test_what_another_user_plants_in_a_sticky_directory_is_never_written_through(bare, shared_directory, tmp_path, planted, downloader):
    shared_directory.chmod(0o1777)
    destination, victim = shared_directory / "report.csv", tmp_path / "root-only"
    victim.write_bytes(b"untouched")
    kept = []

    def plant():
        if planted == "link":
            destination.symlink_to(victim)
        else:
            kept.append(os.open(destination, os.O_RDWR | os.O_CREAT | os.O_EXCL, 0o666))
        os.lchown(destination, OTHER, OTHER)

    # Root may replace another user's entry; the user may not, and fails.
    assert download_as(downloader, bare, destination, plant) is (downloader == 0)
    assert victim.read_bytes() == b"untouched" and all(os.fstat(fd).st_size == 0 for fd in kept)
    status = destination.lstat()
    assert (status.st_uid, leftovers(shared_directory)) == (OTHER if downloader else 0, [])
    if downloader == 0:
        assert destination.read_bytes() == SECRET


def test_a_download_killed_midway_leaves_nothing_behind(run_python, tmp_path):
    (tmp_path / "report.csv").write_bytes(b"old")
    result = run_python("""
        import os, signal, sftp_main
        class Client:
            def getfo(self, remote, handle):
                handle.write(b"partial")
                handle.flush()
                os.kill(os.getpid(), signal.SIGKILL)
        obj = sftp_main.TavrelSFTPMain.__new__(sftp_main.TavrelSFTPMain)
        obj._sftp = Client()
        obj._download("remote", "report.csv")
    """)
    assert result.returncode == -signal.SIGKILL
    assert os.listdir(tmp_path) == ["report.csv"] and (tmp_path / "report.csv").read_bytes() == b"old"


# Makes the file system refuse unnamed files, as some (NFS) do.
NO_UNNAMED_FILES = r"""
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <sys/syscall.h>
#include <unistd.h>
int openat(int directory, const char* path, int flags, ...) {
    va_list rest;
    va_start(rest, flags);
    int mode = va_arg(rest, int);
    va_end(rest);
    if ((flags & O_TMPFILE) == O_TMPFILE) { errno = EOPNOTSUPP; return -1; }
    return syscall(SYS_openat, directory, path, flags, mode);
}
"""
NAMED_STAGING = """
import os, sftp_main
class Client:
    def __init__(self, error=None):
        self.error = error
    def getfo(self, remote, handle):
        handle.write(b"new")
        handle.flush()
        [name] = [n for n in os.listdir() if n != "report.csv"]
        assert name.startswith(".report.csv.") and name.endswith(".part"), name
        assert os.stat(name).st_mode & 0o777 == 0o600 and os.stat(name).st_size == 3
        if self.error:
            raise self.error
        return 3
obj = sftp_main.TavrelSFTPMain.__new__(sftp_main.TavrelSFTPMain)
obj._sftp = Client(OSError("cut"))
assert obj._download("remote", "report.csv") is False and os.listdir() == ["report.csv"]
obj._sftp = Client()
assert obj._download("remote", "report.csv") is True and os.listdir() == ["report.csv"]
assert open("report.csv", "rb").read() == b"new" and os.stat("report.csv").st_mode & 0o777 == 0o640
print("staged under a name")
"""


@pytest.mark.skipif(shutil.which("cc") is None, reason="needs a C compiler")
def test_without_unnamed_files_a_0600_file_is_staged_under_a_name(tmp_path):
    (tmp_path / "shim.c").write_text(NO_UNNAMED_FILES)
    subprocess.run(["cc", "-shared", "-fPIC", "-o", "shim.so", "shim.c"], cwd=tmp_path, check=True)
    work = tmp_path / "work"
    work.mkdir()
    (work / "report.csv").write_bytes(b"old")
    (work / "report.csv").chmod(0o640)
    # After whatever is preloaded already (the sanitizer runtime must come first).
    preload = " ".join(filter(None, [os.environ.get("LD_PRELOAD"), str(tmp_path / "shim.so")]))
    env = dict(os.environ, LD_PRELOAD=preload)
    result = subprocess.run([sys.executable, "-c", NAMED_STAGING], cwd=work, env=env, capture_output=True, text=True, timeout=60)
    assert (result.returncode, result.stdout) == (0, "staged under a name\n"), result.stderr


MOUNTED_DESTINATION = """
import os, subprocess, sftp_main
class Client:
    def __init__(self, during=lambda: None):
        self.during = during
    def getfo(self, remote, handle):
        handle.write(b"new")
        self.during()
        return 3
for name in ("report.csv", "mounted", "other"):
    open(name, "wb").write(b"old")
if subprocess.run(["mount", "--bind", "mounted", "report.csv"]).returncode:
    raise SystemExit("no mounts here")
obj = sftp_main.TavrelSFTPMain.__new__(sftp_main.TavrelSFTPMain)
obj._sftp = Client()
assert obj._download("remote", "report.csv") is True and open("mounted", "rb").read() == b"new"
obj._sftp = Client(lambda: subprocess.run(["mount", "--bind", "other", "report.csv"], check=True))
assert obj._download("remote", "report.csv") is False
assert open("other", "rb").read() == b"old" and sorted(os.listdir()) == ["mounted", "other", "report.csv"]
print("written in place only while it was the same file")
"""


@as_root
@pytest.mark.skipif(shutil.which("unshare") is None, reason="needs unshare")
def test_a_destination_the_rename_cannot_replace_is_written_in_place_only_if_unchanged(tmp_path):
    result = subprocess.run(["unshare", "-m", sys.executable, "-c", MOUNTED_DESTINATION], cwd=tmp_path, capture_output=True, text=True, timeout=60)
    if "unshare failed" in result.stderr or "no mounts here" in result.stderr:
        pytest.skip("no mount namespaces here")
    assert (result.returncode, result.stdout) == (0, "written in place only while it was the same file\n"), result.stderr


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


def test_a_waiter_interrupted_once_handed_the_lock_passes_it_on(bare):
    import signal

    class Interrupted(Exception):
        pass

    def handler(signum, frame):
        client.release.set()  # the holder finishes and hands the lock to this thread,
        time.sleep(0.3)
        raise Interrupted  # which has to pass it on to the next waiter

    bare._sftp = client = BlockingClient()
    holder = threading.Thread(target=bare._stat, args=("p",))
    holder.start()
    assert client.inside.wait(10)
    behind = threading.Thread(target=bare._stat, args=("next",))
    queue_behind = threading.Timer(0.1, behind.start)
    interrupt = threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGUSR1))
    previous = signal.signal(signal.SIGUSR1, handler)
    try:
        queue_behind.start()
        interrupt.start()
        with pytest.raises(Interrupted):
            bare._stat("interrupted")
    finally:
        signal.signal(signal.SIGUSR1, previous)
    queue_behind.join()
    holder.join(10)
    behind.join(10)
    assert not behind.is_alive()
    assert client.events == ["stat done", "stat done"]


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
    assert traceback == [  # the exc_info, with the note on what to do
        "AttributeError: 'TavrelSFTPMain' object has no attribute '_sftp'",
        "Not connected: call _connect() first.",
    ]
