"""What the tests of the remote operations share: the method tables, a
recording client and an instance over it."""

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
# The contract's download is client.get(src, dst). For every real client
# (one with getfo) and a destination that can be staged, the staged
# download takes get's place, so that a failure leaves the local file as it
# was: these tests pin the getfo call that it makes instead.
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
