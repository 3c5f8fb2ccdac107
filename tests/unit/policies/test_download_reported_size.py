"""The size a client's stat reports for a download's source, held against
the destination's free space before getfo or get act on it."""

import os
import threading
from types import SimpleNamespace

import pytest

LIE = 1 << 46


class StatThenWrite:
    """As paramiko's getfo and get: stat the source, then write what it holds.
    `sizes` maps a remote path to the size stat reports; `elsewhere` runs in
    another thread between the stat and the writing."""

    def __init__(self, sizes, elsewhere=None):
        self.sizes, self.elsewhere, self.written, self.stats = sizes, elsewhere, [], []

    def stat(self, path):
        self.stats.append(path)
        if isinstance(self.sizes.get(path), BaseException):
            raise self.sizes[path]
        return SimpleNamespace(st_size=self.sizes.get(path))

    def getfo(self, remote, handle):
        size = self.stat(remote).st_size
        if self.elsewhere:
            worker = threading.Thread(target=self.elsewhere, args=(self,))
            worker.start()
            worker.join(10)
        self.written.append(remote)
        handle.write(b"data")
        return 4 if size is not None else 4

    def get(self, remote, local):
        with open(local, "wb") as handle:
            self.getfo(remote, handle)


def free_space(path):
    status = os.statvfs(path)
    return status.f_bavail * status.f_frsize


def test_a_size_beyond_the_free_space_is_refused_before_a_byte_moves(bare, tmp_path):
    bare._sftp = client = StatThenWrite({"big": LIE, "fits": 4})
    assert bare._download("big", str(tmp_path / "out")) is False
    assert client.written == [] and os.listdir(tmp_path) == []
    assert bare._download("fits", str(tmp_path / "out")) is True
    assert client.stats == ["big", "fits"] and (tmp_path / "out").read_bytes() == b"data"
    assert "stat" not in vars(client)


def test_the_limit_is_the_free_space_itself(bare, tmp_path):
    bare._sftp = client = StatThenWrite({})
    room = free_space(tmp_path)
    client.sizes["edge"] = room + (1 << 30)  # the space may shrink meanwhile, not grow by a GiB
    assert bare._download("edge", str(tmp_path / "out")) is False
    client.sizes["edge"] = room // 2
    assert bare._download("edge", str(tmp_path / "out")) is True


def test_the_error_names_the_sizes_and_the_destination(bare, tmp_path, caplog):
    caplog.set_level("INFO", logger="sftp_main")
    bare._sftp = StatThenWrite({"big": LIE})
    assert bare._download("big", str(tmp_path / "out")) is False
    [record] = caplog.records
    error = record.exc_info[1]
    assert isinstance(error, OSError) and error.errno == 28 and error.filename == str(tmp_path / "out")
    assert error.strerror.startswith(f"the server reports {LIE} bytes for 'big', more than the ")


def test_stats_of_other_paths_and_other_threads_are_the_clients_own(bare, tmp_path):
    seen = []

    def elsewhere(client):
        seen.append(client.stat("big").st_size)  # another thread: not the download's

    bare._sftp = client = StatThenWrite({"small": 4, "big": LIE}, elsewhere=elsewhere)
    assert bare._download("small", str(tmp_path / "out")) is True
    assert seen == [LIE] and client.stats == ["small", "big"]


def test_what_the_clients_stat_raises_goes_through_and_an_own_attribute_comes_back(bare, tmp_path):
    bare._sftp = client = StatThenWrite({"gone": FileNotFoundError(2, "No such file")})
    own = client.stat
    client.stat = own  # an instance attribute of the caller's, put back afterwards
    assert bare._download("gone", str(tmp_path / "out")) is False
    assert vars(client)["stat"] == own
    client.sizes["big"] = LIE
    assert bare._download("big", str(tmp_path / "out")) is False and vars(client)["stat"] == own


@pytest.mark.parametrize("size", [None, "huge", -1, 0])
def test_a_size_that_is_no_count_is_left_to_the_client(bare, tmp_path, size):
    bare._sftp = StatThenWrite({"odd": size})
    assert bare._download("odd", str(tmp_path / "out")) is True


def test_a_destination_that_is_no_regular_file_has_no_room_to_hold_against(bare, tmp_path):
    bare._sftp = client = StatThenWrite({"big": LIE})
    assert bare._download("big", os.devnull) is True and client.written == ["big"]


def test_get_to_an_existing_file_counts_the_space_the_file_holds(bare, tmp_path):
    """get truncates the file first: what it holds is room as well."""
    target = tmp_path / "target"
    link = tmp_path / "link"
    link.symlink_to(target.name)  # not staged: get writes through it
    bare._sftp = client = StatThenWrite({})
    # Others share the file system: a few tries, for its free space moving.
    for _ in range(3):
        target.write_bytes(b"x" * (16 << 20))
        client.sizes["fits"] = free_space(tmp_path) + (8 << 20)
        if bare._download("fits", str(link)) is True:
            break
    assert target.read_bytes() == b"data" and client.written == ["fits"]


def test_refused_and_passed_downloads_keep_no_reference(bare, tmp_path):
    import sys

    source, destination = "big" + "-source" * 3, str(tmp_path / "out") + ""
    bare._sftp = client = StatThenWrite({source: LIE, "fits": 4})
    counts = lambda: (sys.getrefcount(source), sys.getrefcount(destination), sys.getrefcount(client))  # noqa: E731
    assert bare._download(source, destination) is False  # whatever is made once, made
    client.stats.clear()
    before = counts()
    for _ in range(50):
        assert bare._download(source, destination) is False
        assert bare._download("fits", destination) is True
    client.stats.clear()  # the fake's own record of the paths
    assert counts() == before and "stat" not in vars(client)


def test_a_download_started_inside_another_leaves_no_limit_behind(bare, tmp_path):
    """A download begun from within a download (a progress callback may do
    it: the lock is re-entrant) has a limit of its own; neither outlives its
    download."""
    class Nested(StatThenWrite):
        def getfo(self, remote, handle):
            if remote == "outer":
                self.inner = bare._download("big", str(tmp_path / "inner"))
            return super().getfo(remote, handle)

    bare._sftp = client = Nested({"outer": 4, "big": LIE})
    assert bare._download("outer", str(tmp_path / "outer")) is True
    assert client.inner is False and "stat" not in vars(client)
    assert client.stats == ["big", "outer"] and client.stat("big").st_size == LIE
