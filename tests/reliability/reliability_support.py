"""Small in-memory stand-ins for paramiko and the SFTP client, and the
leak harness that the reliability tests share.

Everything here is plain Python with no recording beyond what a test asks
for, so that a loop of tens of thousands of calls measures the module and
not the fakes.
"""

from __future__ import annotations

import gc
import os
import sys
import tracemalloc
import types

import sftp_main

SANITIZED = os.environ.get("SFTP_MAIN_SANITIZED") == "1"

# method name -> (client method, number of path arguments, kind)
OPERATIONS = {
    "_remove": ("remove", 1, "true"),
    "_rename": ("rename", 2, "true"),
    "_posix_rename": ("posix_rename", 2, "true"),
    "_mkdir": ("mkdir", 1, "true"),
    "_rmdir": ("rmdir", 1, "true"),
    "_stat": ("stat", 1, "result"),
    "_normalize": ("normalize", 1, "result"),
    "_chdir": ("chdir", 1, "true"),
    "_upload": ("put", 2, "transfer"),
    "_download": ("get", 2, "transfer"),
}


def scaled(count: int) -> int:
    """Loop counts: a third under the sanitizers, which run several times slower."""
    return max(count // 3, 1) if SANITIZED else count


class Token:
    """A distinct argument or result object; its identity is what matters."""

    __slots__ = ("label",)

    def __init__(self, label):
        self.label = label

    def __repr__(self):
        return f"Token({self.label!r})"


class Interrupt(BaseException):
    """A BaseException that is neither KeyboardInterrupt nor SystemExit, so
    that a slip in a test cannot stop the test run."""


class FakeTransport:
    def __init__(self, address=None, close_raises=None):
        self.address = address
        self.close_raises = close_raises
        self.closed = 0

    def connect(self, *, username, password):
        return None

    def close(self):
        self.closed += 1
        if self.close_raises is not None:
            raise self.close_raises.with_traceback(None)


class FakeChannel:
    def __init__(self, transport):
        self.transport = transport

    def get_transport(self):
        return self.transport


class FakeClient:
    """An SFTP client: every method returns `result`, or raises `raises`."""

    def __init__(self, result=None, raises=None, transport=None):
        self.result = result
        self.raises = raises
        self.channel = FakeChannel(transport)

    def answer(self, *args):
        if self.raises is not None:
            # Raising one object again would chain its new traceback onto
            # the old one, and keep every earlier call's frame alive.
            raise self.raises.with_traceback(None)
        return self.result

    remove = rename = posix_rename = mkdir = rmdir = stat = normalize = chdir = put = get = answer

    def close(self):
        if self.raises is not None:
            raise self.raises.with_traceback(None)

    def get_channel(self):
        return self.channel


class FakeSSHClient:
    def __init__(self):
        self.policy = None

    def set_missing_host_key_policy(self, policy):
        self.policy = policy

    def close(self):
        pass


class FakeParamiko:
    """What the module reads from `paramiko`, with one configurable failure.

    `fail` names the step that raises `error`: "SSHClient", "AutoAddPolicy",
    "set_missing_host_key_policy", "Transport", "connect", "from_transport".
    `close_error` is raised by the transport's close().
    """

    def __init__(self, fail=None, error=None, close_error=None):
        self.fail = fail
        self.error = error
        self.close_error = close_error
        self.client = FakeClient()
        self.last_transport = None
        fake = self

        def step(name):
            if fake.fail == name:
                raise fake.error.with_traceback(None)

        class SSHClient(FakeSSHClient):
            def __init__(self):
                step("SSHClient")
                super().__init__()

            def set_missing_host_key_policy(self, policy):
                step("set_missing_host_key_policy")
                super().set_missing_host_key_policy(policy)

        class AutoAddPolicy:
            def __init__(self):
                step("AutoAddPolicy")

        class Transport(FakeTransport):
            def __init__(self, address):
                step("Transport")
                super().__init__(address, fake.close_error)
                fake.last_transport = self

            def connect(self, *, username, password):
                step("connect")

        class SFTPClient:
            @staticmethod
            def from_transport(transport):
                step("from_transport")
                return fake.client

        self.module = types.SimpleNamespace(
            SSHClient=SSHClient, AutoAddPolicy=AutoAddPolicy, Transport=Transport, SFTPClient=SFTPClient
        )


def bare_instance(cls=None):
    """An instance whose __init__ never ran."""
    cls = cls or sftp_main.TavrelSFTPMain
    return cls.__new__(cls)


def with_client(client, cls=None):
    obj = bare_instance(cls)
    obj._sftp = client
    obj._ssh = FakeSSHClient()
    return obj


# --- the leak harness -------------------------------------------------------

# Growth of traced memory allowed over a whole loop. A leak of even one
# small object per call, over the thousands of calls of a loop, is several
# times this.
MEMORY_BOUND = 16 * 1024
WARMUP = 200


def forget_traceback(exc):
    """A fixed exception object keeps the frames of its last raise alive, and
    through them the arguments of that call: drop them."""
    exc.__traceback__ = None
    exc.__context__ = None
    exc.__cause__ = None


def measure(call, tracked, calls):
    """Runs `call` WARMUP + `calls` times; returns (refcounts before,
    refcounts after, growth of traced memory in bytes)."""
    for _ in range(WARMUP):
        call()
    gc.collect()
    before = [sys.getrefcount(obj) for obj in tracked]
    tracemalloc.start()
    try:
        for _ in range(WARMUP):
            call()
        gc.collect()
        base = tracemalloc.get_traced_memory()[0]
        for _ in range(calls):
            call()
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - base
    finally:
        tracemalloc.stop()
    after = [sys.getrefcount(obj) for obj in tracked]
    return before, after, grown


def defuse(objects):
    """Lets the finalisers of instances among `objects` close quietly once
    the test is over."""
    for obj in objects:
        if isinstance(obj, sftp_main.TavrelSFTPMain) and isinstance(getattr(obj, "_sftp", None), FakeClient):
            obj._sftp.raises = None
