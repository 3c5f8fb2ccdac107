"""A failed _download leaves the local destination as it was: the staged
download, also beside other users."""

from operations_support import *  # noqa: F401,F403 - the shared tables and fixtures


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
