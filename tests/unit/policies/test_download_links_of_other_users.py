"""A download never follows a link that another user planted at its destination.

The kernel's protected_symlinks rule, applied in every directory: a last
component that is a link owned by neither the downloading user nor the
directory's owner is not followed. Played for real: the link is planted by
another user, and the download runs as root or in a child that dropped to
`nobody`.
"""

import logging
import os
import pathlib
import shutil
import tempfile

import pytest

import sftp_main

NOBODY, OTHER = 65534, 65533
as_root = pytest.mark.skipif(os.geteuid() != 0, reason="plays other users: needs root")
pytestmark = as_root


class NoStaging:
    """Writes b"new" where `get` is told to: a client the module cannot stage for."""

    def get(self, remote, local):
        with open(local, "wb") as handle:
            handle.write(b"new")


class Client(NoStaging):
    """The same through `getfo`: a download the module stages."""

    def getfo(self, remote, handle):
        handle.write(b"new")
        return 3


def download_as(uid, destination, client):
    """_download("remote", destination) as `uid` in a forked child: its
    result and what it logged."""
    results, result_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            os.close(results)
            if uid != 0:
                os.setgroups([])
                os.setgid(uid)
                os.setuid(uid)
            messages = []
            handler = logging.Handler()
            handler.emit = lambda record: messages.append(record.getMessage())
            logger = logging.getLogger("sftp_main")
            logger.addHandler(handler)
            logger.setLevel(logging.INFO)
            obj = sftp_main.TavrelSFTPMain.__new__(sftp_main.TavrelSFTPMain)
            obj._sftp = client
            outcome = obj._download("remote", str(destination))
            os.write(result_end, repr((outcome, messages)).encode())
        finally:
            os._exit(0)
    os.close(result_end)
    chunks = []
    while chunk := os.read(results, 1 << 16):
        chunks.append(chunk)
    os.close(results)
    os.waitpid(pid, 0)
    return eval(b"".join(chunks).decode())  # noqa: S307 - our own child's repr


@pytest.fixture
def place():
    """A directory other users can enter, and a private one beside it."""
    path = pathlib.Path(tempfile.mkdtemp(prefix="links-", dir="/tmp"))
    path.chmod(0o755)
    yield path
    shutil.rmtree(path)


def shared(place, mode, owner=0):
    directory = place / f"shared-{mode:o}-{owner}"
    directory.mkdir()
    os.chown(directory, owner, owner)
    directory.chmod(mode)
    return directory


def victim_of(place, uid):
    """A file of `uid`'s that `uid` may write, out of other users' reach."""
    home = place / f"home-{uid}"
    home.mkdir(mode=0o700)
    os.chown(home, uid, uid)
    victim = home / "precious"
    victim.write_bytes(b"untouched")
    os.chown(victim, uid, uid)
    return victim


def plant_link(directory, target, owner):
    link = directory / "out"
    link.symlink_to(target)
    os.lchown(link, owner, owner)
    return link


@pytest.mark.parametrize("mode", [0o1777, 0o777], ids=["sticky", "not-sticky"])
@pytest.mark.parametrize("downloader", [0, NOBODY], ids=["root", "nobody"])
@pytest.mark.parametrize("staging", [True, False], ids=["getfo", "get-only"])
def test_a_link_another_user_planted_is_not_followed(place, mode, downloader, staging):
    directory = shared(place, mode)
    victim = victim_of(place, downloader)
    link = plant_link(directory, victim, OTHER)
    outcome, messages = download_as(downloader, link, Client() if staging else NoStaging())
    assert outcome is False
    assert victim.read_bytes() == b"untouched" and link.is_symlink() and os.listdir(directory) == ["out"]
    [message] = messages
    assert f"not following a symbolic link of user {OTHER}" in message
    assert f"this process's user ({downloader}) nor the directory's owner (0)" in message and str(link) in message


@pytest.mark.parametrize("mode", [0o1777, 0o777], ids=["sticky", "not-sticky"])
@pytest.mark.parametrize("staging", [True, False], ids=["getfo", "get-only"])
def test_links_of_the_users_own_or_the_directory_owners_are_followed(place, mode, staging):
    # The downloader's own link, in root's shared directory.
    directory = shared(place, mode)
    victim = victim_of(place, NOBODY)
    link = plant_link(directory, victim, NOBODY)
    assert download_as(NOBODY, link, Client() if staging else NoStaging()) == (True, [])
    assert victim.read_bytes() == b"new" and link.is_symlink()
    # The directory owner's link, followed by another user.
    owned = shared(place, mode, owner=OTHER)
    victim.write_bytes(b"old")
    link = plant_link(owned, victim, OTHER)
    assert download_as(NOBODY, link, Client() if staging else NoStaging()) == (True, [])
    assert victim.read_bytes() == b"new" and link.is_symlink()


def test_root_follows_its_own_link_and_a_link_in_a_directory_of_its_own(place):
    victim = victim_of(place, 0)
    link = plant_link(shared(place, 0o755, owner=OTHER), victim, 0)
    assert download_as(0, link, Client()) == (True, [])
    assert victim.read_bytes() == b"new"


def test_only_the_last_component_is_judged_as_the_kernel_judges_it(place):
    """A link in the middle of the path is the kernel's walk to judge: its
    rule does not cover it, and neither does the module's."""
    directory = shared(place, 0o777)
    real = directory / "real"
    real.mkdir()
    os.chown(real, NOBODY, NOBODY)
    middle = directory / "via"
    middle.symlink_to(real)
    os.lchown(middle, OTHER, OTHER)
    assert download_as(NOBODY, middle / "file", Client()) == (True, [])
    assert (real / "file").read_bytes() == b"new"
