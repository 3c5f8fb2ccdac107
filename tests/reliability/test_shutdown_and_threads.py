"""Instances finalised while the interpreter shuts down, and one instance
used from several threads at once."""

from __future__ import annotations

import functools
import gc
import os
import random
import signal
import sys
import threading
import time
import warnings

import pytest

import sftp_main
from reliability_support import FakeClient, FakeSSHClient, scaled

Cls = sftp_main.TavrelSFTPMain
GOOD = {"host": "files.internal", "user": "alice", "password": "pw"}

# What a crash or a sanitizer finding leaves in the child's output.
CRASH_MARKERS = ("Fatal Python error", "Segmentation fault", "AddressSanitizer", "runtime error:", "Aborted")


def assert_clean_exit(process):
    assert process.returncode == 0, process.stderr
    for marker in CRASH_MARKERS:
        assert marker not in process.stderr, process.stderr


SHUTDOWN_SCRIPT = r"""
import os
import sys
import threading
import types

import sftp_main

Cls = sftp_main.TavrelSFTPMain
WRITE = os.write  # kept at hand: late in shutdown, imports and sys.stderr may be gone


def say(text, write=WRITE):
    write(2, (text + "\n").encode())


class Client:
    def __init__(self, label, error=None):
        self.label = label
        self.error = error

    def close(self):
        if not self.label.startswith("thread"):
            say("closed " + self.label)
        if self.error is not None:
            raise self.error

    def get_channel(self):
        return None

    def stat(self, path):
        return path

    def put(self, src, dst):
        return None


class SSH:
    def close(self):
        pass


def make(label, error=None):
    obj = Cls.__new__(Cls)
    obj._sftp = Client(label, error)
    obj._ssh = SSH()
    return obj


class Late:
    # Runs while modules are being torn down, possibly after the module's
    # own globals are gone: construction must succeed or fail cleanly.
    def __init__(self, label):
        self.label = label

    def __del__(self):
        try:
            Cls({"host": "h", "user": "u", "password": "p"})
            outcome = "ok"
        except Exception as exc:
            outcome = type(exc).__name__
        say("late construction " + self.label + ": " + outcome)


# Kept in a module of their own, whose namespace the shutdown clears.
holder = types.ModuleType("holder")
sys.modules["holder"] = holder
holder.kept = make("kept")
holder.cycle = make("cycle")
holder.cycle.me = holder.cycle
holder.raising = make("raising", ValueError("close failed"))
holder.interrupting = make("interrupting", KeyboardInterrupt())
holder.late = Late("early")
try:
    Cls({"host": "h"})
except Exception:
    pass
# And in the module's own namespace, cleared with it.
sftp_main.kept_in_module = make("module attribute")
sftp_main.zz_late = Late("in module")
del holder


def spin(obj):
    while True:
        obj._stat("p")
        obj._upload("a", "b")
        obj._close()


# Daemon threads inside the module's calls when the interpreter ends them.
for index in range(2):
    threading.Thread(target=spin, args=(make(f"thread {index}"),), daemon=True).start()
print("main done", flush=True)
"""


def test_instances_finalised_during_shutdown(run_script):
    for _ in range(3):
        process = run_script(SHUTDOWN_SCRIPT)
        assert_clean_exit(process)
        assert process.stdout == "main done\n"
        # The finalisers ran and closed; the ordinary error was swallowed,
        # the interrupt reported and ignored.
        for label in ("kept", "cycle", "raising", "interrupting", "module attribute"):
            assert f"closed {label}\n" in process.stderr
        assert "KeyboardInterrupt" in process.stderr
        assert "ValueError" not in process.stderr
        assert "late construction early: ok" in process.stderr
        assert "late construction in module: " in process.stderr


SHARED_AT_EXIT_SCRIPT = r"""
import threading
import time

import sftp_main


class Client:
    def stat(self, path):
        time.sleep(0.05)  # inside the call, without the interpreter lock
        return path


shared = sftp_main.TavrelSFTPMain.__new__(sftp_main.TavrelSFTPMain)
shared._sftp = Client()


def spin():
    while True:
        shared._stat("p")


# Daemon threads that hold the client's lock or wait for it when the
# interpreter ends them.
for _ in range(3):
    threading.Thread(target=spin, daemon=True).start()
time.sleep(0.3)
print("main done", flush=True)
"""


def test_daemon_threads_waiting_for_a_shared_instance_at_exit(run_script):
    for _ in range(5):
        process = run_script(SHARED_AT_EXIT_SCRIPT, timeout=60)
        assert_clean_exit(process)
        assert process.stdout == "main done\n"


CONNECTED_AT_EXIT_SCRIPT = r"""
import sys
import sftp_main
from embedded_sftp_server import EmbeddedSFTPServer

server = EmbeddedSFTPServer({"u": "pw"}).start()
client = sftp_main.TavrelSFTPMain({"host": server.host, "port": server.port, "user": "u", "password": "pw"})
client._connect()
assert client._normalize(".") == "/"
second = sftp_main.TavrelSFTPMain({"host": server.host, "port": server.port, "user": "u", "password": "pw"})
second._connect()
second.me = second
print("connected", flush=True)
"""


def test_connected_instances_left_at_exit(run_script, live):
    # The server and two live connections are left to the interpreter's
    # shutdown; the run must end, and end cleanly.
    process = run_script(CONNECTED_AT_EXIT_SCRIPT, extra_path=[live.devtools], timeout=120)
    assert_clean_exit(process)
    assert process.stdout == "connected\n"


# --- threads --------------------------------------------------------------------


@pytest.fixture
def fast_switching():
    # Hand the interpreter lock over as often as possible, so that the
    # threads interleave inside the module's calls.
    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(previous)


def test_one_instance_from_several_threads(fake_paramiko, fast_switching):
    rounds = scaled(3000)
    obj = Cls(dict(GOOD))
    obj._connect()
    result = object()
    fake_paramiko.client.result = result
    unexpected = []
    done = []

    def expect(fn, allowed_results, allowed_errors=(AttributeError,)):
        try:
            outcome = fn()
        except allowed_errors:
            return
        except BaseException as exc:  # noqa: BLE001 - anything else is the finding
            unexpected.append(repr(exc))
            return
        if not any(outcome is allowed for allowed in allowed_results):
            unexpected.append(repr(outcome))

    def operations():
        for _ in range(rounds):
            expect(lambda: obj._stat("p"), [result])
            expect(lambda: obj._rename("a", "b"), [True])
            expect(lambda: obj._normalize(path="p"), [result])
        done.append("operations")

    def transfers():
        for _ in range(rounds):
            expect(lambda: obj._upload("a", "b"), [True, False], ())
            expect(lambda: obj._download(dsc_path="b", src_file="a"), [True, False], ())
        done.append("transfers")

    def lifecycle():
        rng = random.Random(7)
        for _ in range(rounds):
            step = rng.randrange(5)
            if step == 0:
                expect(obj._connect, [None], ())
            elif step == 1:
                expect(obj._close, [None])
            elif step == 2:
                try:
                    del obj._sftp
                except AttributeError:
                    pass
            elif step == 3:
                obj._sftp = FakeClient(result=result)
            else:
                expect(lambda: obj.__del__(), [None], ())
        done.append("lifecycle")

    def constructions():
        for _ in range(rounds // 4):
            other = Cls(dict(GOOD))
            other._sftp = getattr(obj, "_sftp", None) or FakeClient()
            other._ssh = FakeSSHClient()
            expect(functools.partial(other._stat, "p"), [result, None])
            del other  # finalised on this thread, while the others run
        done.append("constructions")

    def guarded(work):
        def run():
            try:
                work()
            except BaseException as exc:  # noqa: BLE001 - reported below
                unexpected.append(f"{work.__name__}: {exc!r}")

        return run

    works = (operations, transfers, lifecycle, constructions)
    threads = [threading.Thread(target=guarded(work)) for work in works]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(120)
    assert not any(thread.is_alive() for thread in threads)
    assert unexpected == []
    assert sorted(done) == ["constructions", "lifecycle", "operations", "transfers"]


def test_a_thread_calling_in_a_loop_lets_the_others_in(live):
    with live.server() as server:
        obj = Cls(live.config(server))
        obj._connect()
        calls = []

        def loop():
            deadline = time.monotonic() + 10  # a lock that starves the others fails, not hangs
            try:
                while time.monotonic() < deadline:
                    calls.append(obj._stat("."))
            except Exception:  # noqa: BLE001 - ends once the other thread closed
                pass

        looping = threading.Thread(target=loop)
        looping.start()
        while len(calls) < 20:
            time.sleep(0.01)
        waits = []
        for _ in range(5):
            started = time.monotonic()
            obj._stat(".")
            waits.append(time.monotonic() - started)
        started = time.monotonic()
        obj._close()
        waits.append(time.monotonic() - started)
        looping.join(live.settle_seconds)
        assert not looping.is_alive()
        assert max(waits) < 0.1, waits


# --- forked children ----------------------------------------------------------------


def fork():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # the threads are the point
        return os.fork()


def in_child(body):
    """Runs `body` in a forked child and returns the child's exit code: 0
    when `body` returned. A child that hangs is killed."""
    pid = fork()
    if pid == 0:
        code = 1
        try:
            body()
            code = 0
        finally:
            os._exit(code)
    deadline = time.monotonic() + 60
    while (done := os.waitpid(pid, os.WNOHANG))[0] == 0:
        if time.monotonic() > deadline:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
            pytest.fail("the child hung")
        time.sleep(0.01)
    return os.waitstatus_to_exitcode(done[1])


def at_once(*calls):
    started = time.monotonic()
    for call in calls:
        call()
    assert time.monotonic() - started < 2


def test_a_forked_child_leaves_the_parents_connection_alone(live):
    with live.server() as server:
        obj = Cls(live.config(server))
        obj._connect()
        dropped = Cls(live.config(server))
        dropped._connect()
        assert obj._normalize(".") == "/"

        def close_drop_and_connect_afresh():
            nonlocal dropped
            at_once(obj._close, lambda: obj.__del__())
            dropped = None
            at_once(gc.collect)
            # A new connection of the child's own replaces the inherited one.
            obj._connect()
            assert obj._normalize(".") == "/"
            obj._close()

        assert in_child(close_drop_and_connect_afresh) == 0
        # Had the child closed anything, the shared sessions would be broken.
        assert [obj._normalize(".") for _ in range(3)] == ["/"] * 3
        assert dropped._normalize(".") == "/"
        obj._close()
        dropped._close()


def test_a_child_forked_while_a_thread_holds_the_lock_can_take_it():
    inside, release = threading.Event(), threading.Event()

    class Holding(FakeClient):
        def stat(self, path):
            if path == "hold":
                inside.set()
                release.wait(30)
            return path

    obj = Cls.__new__(Cls)
    obj._sftp = Holding()
    obj._ssh = FakeSSHClient()
    holder = threading.Thread(target=obj._stat, args=("hold",))
    holder.start()
    try:
        assert inside.wait(10)
        assert in_child(lambda: at_once(lambda: obj._stat("free"), obj._close)) == 0
    finally:
        release.set()
        holder.join(10)
