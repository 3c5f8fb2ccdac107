"""A small SFTP server on loopback, for tests and the round-trip demo.

The SSH and SFTP protocol work is asyncssh's. This module only wires it up:
password authentication against a dict of users, an SFTP subsystem confined
to a temporary directory that the server owns, a free port, and an asyncio
loop on a background thread so that blocking clients can use it from the
calling thread.

    with EmbeddedSFTPServer({"alice": "secret"}) as server:
        ...  # connect to server.host, server.port; files land in server.root

Host keys are generated in memory; nothing is written outside ``root``,
which is removed by ``stop()``.
"""

from __future__ import annotations

import asyncio
import inspect
import ipaddress
import os
import shutil
import socket
import tempfile
import threading
import time
import warnings
from pathlib import Path

with warnings.catch_warnings():
    # asyncssh's import touches deprecated DSA names in cryptography; the
    # warnings say nothing about this server, which never offers DSA.
    warnings.simplefilter("ignore")
    import asyncssh

__all__ = ["EmbeddedSFTPServer", "ipv6_loopback_available"]

_START_TIMEOUT = 30.0
_STOP_TIMEOUT = 30.0


def ipv6_loopback_available() -> bool:
    """True when a socket can be bound to ::1 on this machine."""
    if not socket.has_ipv6:
        return False
    try:
        with socket.socket(socket.AF_INET6, socket.SOCK_STREAM) as probe:
            probe.bind(("::1", 0))
    except OSError:
        return False
    return True


class _NoSubsystemSession(asyncssh.SSHServerSession):
    """A session that turns down every subsystem, SFTP included."""

    def subsystem_requested(self, subsystem):
        return False


# The SFTP requests a stalled server leaves unanswered: every one paramiko's
# client sends for the operations the module forwards.
_STALLABLE_REQUESTS = (
    "open", "close", "read", "write", "lstat", "fstat", "stat", "setstat", "fsetstat",
    "remove", "mkdir", "rmdir", "realpath", "rename", "posix_rename", "scandir",
)
# A stalled request gives up by itself after this long, so that nothing waits forever.
_STALL_LIMIT = 120.0


def _stalling(name):
    original = getattr(asyncssh.SFTPServer, name)

    async def handler(self, *args, **kwargs):
        await self._owner._wait_while_stalled()
        result = original(self, *args, **kwargs)
        if inspect.isawaitable(result):
            result = await result
        return result

    handler.__name__ = name
    return handler


class _StallableSFTPServer(asyncssh.SFTPServer):
    """asyncssh's SFTP server, whose requests wait while the owner is stalled."""

    def __init__(self, chan, owner: EmbeddedSFTPServer, root: str):
        super().__init__(chan, chroot=root)
        self._owner = owner


for _name in _STALLABLE_REQUESTS:
    setattr(_StallableSFTPServer, _name, _stalling(_name))

_stalling_posix_rename = _StallableSFTPServer.posix_rename


async def _posix_rename_if_offered(self, oldpath, newpath):
    """Answers as a server without posix-rename@openssh.com does, when that is switched off."""
    if not self._owner.posix_rename:
        raise asyncssh.SFTPOpUnsupported("Operation unsupported")
    return await _stalling_posix_rename(self, oldpath, newpath)


_StallableSFTPServer.posix_rename = _posix_rename_if_offered

_stalling_write = _StallableSFTPServer.write
_stalling_mkdir = _StallableSFTPServer.mkdir


def _no_space_left():
    # The status and text an OpenSSH server sends for ENOSPC, EROFS and EDQUOT alike.
    return asyncssh.SFTPFailure("Failure")


async def _write_while_space_lasts(self, file_obj, offset, data):
    """Refuses a write once the owner's ``disk_space`` cannot take it, as a full disk does."""
    if not self._owner._take_space(len(data)):
        raise _no_space_left()
    return await _stalling_write(self, file_obj, offset, data)


async def _mkdir_while_space_lasts(self, path, attrs):
    if not self._owner._take_space(0):
        raise _no_space_left()
    return await _stalling_mkdir(self, path, attrs)


_StallableSFTPServer.write = _write_while_space_lasts
_StallableSFTPServer.mkdir = _mkdir_while_space_lasts


def _bent_attributes(name):
    """stat, lstat or fstat, reporting the owner's ``reported_size`` for a regular file."""
    answering = getattr(_StallableSFTPServer, name)

    async def handler(self, *args):
        result = await answering(self, *args)
        size = self._owner.reported_size
        if size is None:
            return result
        if isinstance(result, os.stat_result):
            result = asyncssh.SFTPAttrs.from_local(result)
        if result.type == asyncssh.FILEXFER_TYPE_REGULAR:
            result.size = size
        return result

    handler.__name__ = name
    return handler


for _name in ("stat", "lstat", "fstat"):
    setattr(_StallableSFTPServer, _name, _bent_attributes(_name))

_answering_read = _StallableSFTPServer.read


async def _read_dripping(self, file_obj, offset, size):
    """Answers each read, while the owner drips, after ``drip`` seconds with one byte at most."""
    drip = self._owner.drip
    if drip is None:
        return await _answering_read(self, file_obj, offset, size)
    await asyncio.sleep(drip)
    return await _answering_read(self, file_obj, offset, min(size, 1))


_StallableSFTPServer.read = _read_dripping

_dripping_read = _StallableSFTPServer.read


async def _read_capped(self, file_obj, offset, size):
    """Answers a read with ``max_read`` bytes at most, when set, as a server that caps reads quietly."""
    cap = self._owner.max_read
    return await _dripping_read(self, file_obj, offset, size if cap is None else min(size, cap))


_StallableSFTPServer.read = _read_capped

_capped_read = _StallableSFTPServer.read


class _EmptyData(bytes):
    """No bytes, answered as data rather than as the end of the file."""

    def __bool__(self):
        return True


async def _read_bent(self, file_obj, offset, size):
    """With ``read_surplus`` set, each read answered with that many bytes more
    than asked; an offset in ``empty_read_offsets`` answered once with no bytes."""
    owner = self._owner
    if offset in owner.empty_read_offsets:
        owner.empty_read_offsets.discard(offset)
        return _EmptyData()
    data = await _capped_read(self, file_obj, offset, size)
    if owner.read_surplus and data:
        data += b"\x00" * owner.read_surplus
    return data


_StallableSFTPServer.read = _read_bent

_answering_write = _StallableSFTPServer.write


async def _write_capped(self, file_obj, offset, data):
    """Fails a write of more than ``max_write`` bytes, when set."""
    cap = self._owner.max_write
    if cap is not None and len(data) > cap:
        raise asyncssh.SFTPFailure(f"write of {len(data)} bytes is over this server's {cap}")
    return await _answering_write(self, file_obj, offset, data)


_StallableSFTPServer.write = _write_capped

_answering_limits = asyncssh.sftp.SFTPServerHandler._packet_handlers[b"limits@openssh.com"]


async def _limits_with_write_cap(self, packet):
    """limits@openssh.com, stating the owner's ``max_write`` where one is set."""
    owner = getattr(self._server, "_owner", None)
    if getattr(owner, "limits", True) is False:
        raise asyncssh.SFTPOpUnsupported("Operation unsupported")
    if getattr(owner, "stated_limits", None) is not None:
        return asyncssh.sftp.SFTPLimits(*owner.stated_limits)
    limits = await _answering_limits(self, packet)
    cap = getattr(owner, "max_write", None)
    if cap is None:
        return limits
    return asyncssh.sftp.SFTPLimits(limits.max_packet_len, limits.max_read_len, cap, limits.max_open_handles)


# Only servers of this module whose owner sets ``max_write`` answer otherwise.
asyncssh.sftp.SFTPServerHandler._packet_handlers[b"limits@openssh.com"] = _limits_with_write_cap


class _Handler(asyncssh.SSHServer):
    def __init__(self, owner: EmbeddedSFTPServer):
        self._owner = owner
        self._conn = None

    def connection_made(self, conn):
        self._conn = conn
        self._owner._connection_opened(conn)

    def connection_lost(self, exc):
        self._owner._connection_closed(self._conn)

    def begin_auth(self, username):
        self._owner._record_auth(username, "begin")
        return True

    def password_auth_supported(self):
        return True

    def validate_password(self, username, password):
        self._owner._record_auth(username, "password")
        expected = self._owner._users.get(username)
        return expected is not None and password == expected

    def session_requested(self):
        if self._owner.refuse_sftp:
            return _NoSubsystemSession()
        return False

    def public_key_auth_supported(self):
        return bool(self._owner._authorized_keys)

    def validate_public_key(self, username, key):
        return key.public_data in self._owner._authorized_keys.get(username, ())

    def connection_requested(self, dest_host, dest_port, orig_host, orig_port):
        return self._owner._forward_requested(dest_host, dest_port)


class EmbeddedSFTPServer:
    """An asyncssh SFTP server on a loopback address and a free port.

    ``users`` maps user names to passwords. ``host`` is "127.0.0.1" unless
    another loopback address such as "::1" is given. With ``refuse_sftp``
    the server accepts logins and sessions but turns down the SFTP
    subsystem request.

    ``host_public_key`` and ``host_fingerprint`` describe the server's key
    (ED25519); ``extra_host_key_types`` adds keys of other types, listed
    with it in ``host_public_keys``.
    ``auth_attempts`` records every authentication request it saw. Setting
    ``stall`` makes it stop answering SFTP requests (the connection stays
    up) until it is cleared again.
    With ``forwarding`` it also serves as a jump host: it accepts
    "direct-tcpip" channels to loopback destinations (and refuses all
    others), recording each in ``forwarded_destinations``.
    ``authorized_keys`` maps user names to OpenSSH public key lines with
    which they may also log in.
    With ``posix_rename`` false it answers a "posix-rename@openssh.com"
    request as a server without that extension does.
    Setting ``reported_size`` makes it lie: stat, lstat and fstat report
    that size for every regular file, whatever it holds. Setting ``drip``
    (seconds) makes it answer each read request that late, with one byte.
    ``disk_space``, when set to a number of bytes, is what the server's disk
    still takes: a write beyond it, and a ``mkdir`` once it is used up, are
    answered with the protocol's generic failure, as a full disk is.
    Setting ``max_read`` makes it answer every read with that many bytes at
    most, saying nothing of it; setting ``max_write`` makes it fail every
    write of more bytes, and state that limit in its answer to
    "limits@openssh.com". With ``limits`` false it answers that request as
    a server without the extension does; ``stated_limits`` (packet, read,
    write, handles) is stated as given. ``read_surplus`` and
    ``empty_read_offsets`` make reads answer more bytes than asked, or a data
    answer of no bytes (not the end of the file) once at those offsets.
    """

    def __init__(
        self,
        users: dict[str, str],
        host: str = "127.0.0.1",
        *,
        refuse_sftp: bool = False,
        extra_host_key_types: tuple[str, ...] = (),
        forwarding: bool = False,
        authorized_keys: dict[str, list[str]] | None = None,
        posix_rename: bool = True,
    ):
        if not users:
            raise ValueError("at least one user is needed")
        self._users = dict(users)
        self.host = host
        self.refuse_sftp = refuse_sftp
        self.posix_rename = posix_rename
        self.reported_size: int | None = None
        self.drip: float | None = None
        self.max_read: int | None = None
        self.max_write: int | None = None
        self.limits = True
        self.stated_limits: tuple[int, int, int, int] | None = None
        self.read_surplus = 0
        self.empty_read_offsets: set[int] = set()
        self.port: int | None = None
        self.root: Path | None = None
        self._tmp: tempfile.TemporaryDirectory | None = None
        self._loop: asyncio.AbstractEventLoop | None = None
        self._thread: threading.Thread | None = None
        self._acceptor = None
        self._lock = threading.Lock()
        self._connections: list = []
        self._accepted = 0
        self._host_key = asyncssh.generate_private_key("ssh-ed25519")
        self._extra_host_keys = [asyncssh.generate_private_key(kind) for kind in extra_host_key_types]
        self._auth_attempts: list[tuple[str, str]] = []
        self._stalled = False
        self.disk_space: int | None = None
        self.forwarding = forwarding
        self._forwarded: list[tuple[str, int]] = []
        self._authorized_keys = {
            user: {asyncssh.import_public_key(line).public_data for line in lines}
            for user, lines in (authorized_keys or {}).items()
        }

    # -- lifecycle -----------------------------------------------------

    def start(self) -> EmbeddedSFTPServer:
        if self._thread is not None:
            raise RuntimeError("server already started")
        self._tmp = tempfile.TemporaryDirectory(prefix="sftp-main-server-")
        self.root = Path(self._tmp.name).resolve()
        self._loop = asyncio.new_event_loop()
        self._thread = threading.Thread(target=self._run_loop, name="embedded-sftp-server", daemon=True)
        self._thread.start()
        try:
            self._acceptor = self._call(self._listen(), _START_TIMEOUT)
        except BaseException:
            self._shutdown_loop()
            raise
        self.port = self._acceptor.get_port()
        return self

    def stop(self) -> None:
        """Close every connection and the listener, end the loop, remove root."""
        if self._thread is None:
            return
        try:
            if self._loop.is_running():
                self._call(self._close_all(graceful=True), _STOP_TIMEOUT)
        finally:
            self._shutdown_loop()

    def kill(self) -> None:
        """Drop every connection and the listener at once, as a crash would.

        Safe to call from any thread, also while a client is mid-transfer.
        The loop and ``root`` stay until ``stop()``.
        """
        if self._loop is None or not self._loop.is_running():
            return
        self._call(self._close_all(graceful=False), _STOP_TIMEOUT)

    def __enter__(self) -> EmbeddedSFTPServer:
        return self.start()

    def __exit__(self, *exc_info) -> None:
        self.stop()

    # -- what tests observe --------------------------------------------

    @property
    def open_sessions(self) -> int:
        """Client connections currently open on the server side."""
        with self._lock:
            return len(self._connections)

    @property
    def accepted_sessions(self) -> int:
        """Client connections accepted since start."""
        with self._lock:
            return self._accepted

    @property
    def host_public_key(self) -> str:
        """The host key as an OpenSSH public key line ("ssh-ed25519 AAAA…")."""
        return self._host_key.export_public_key().decode("ascii").strip()

    @property
    def host_fingerprint(self) -> str:
        """The host key's "SHA256:…" fingerprint, as ssh-keygen -lf prints it."""
        return self._host_key.get_fingerprint("sha256")

    @property
    def host_public_keys(self) -> list[str]:
        """Every host key's public key line, the ED25519 one first."""
        keys = [self._host_key, *self._extra_host_keys]
        return [key.export_public_key().decode("ascii").strip() for key in keys]

    @property
    def auth_attempts(self) -> list[tuple[str, str]]:
        """(user, "begin" or "password") for each authentication step seen."""
        with self._lock:
            return list(self._auth_attempts)

    @property
    def stall(self) -> bool:
        return self._stalled

    @stall.setter
    def stall(self, stalled: bool) -> None:
        self._stalled = bool(stalled)

    @property
    def forwarded_destinations(self) -> list[tuple[str, int]]:
        """(host, port) of each "direct-tcpip" channel accepted, in order."""
        with self._lock:
            return list(self._forwarded)

    def wait_for_sessions(self, count: int, timeout: float) -> bool:
        """Wait until exactly ``count`` connections are open; False on timeout."""
        deadline = time.monotonic() + timeout
        while True:
            if self.open_sessions == count:
                return True
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                return False
            time.sleep(min(0.02, remaining))

    # -- internals -----------------------------------------------------

    def _run_loop(self) -> None:
        asyncio.set_event_loop(self._loop)
        self._loop.run_forever()

    def _call(self, coro, timeout: float):
        return asyncio.run_coroutine_threadsafe(coro, self._loop).result(timeout)

    async def _listen(self):
        key = self._host_key
        root = str(self.root)
        sftp_factory = None if self.refuse_sftp else (lambda chan: _StallableSFTPServer(chan, self, root))
        return await asyncssh.create_server(
            lambda: _Handler(self),
            self.host,
            0,
            server_host_keys=[key, *self._extra_host_keys],
            sftp_factory=sftp_factory,
            allow_scp=False,
            agent_forwarding=False,
            x11_forwarding=False,
            allow_pty=False,
            login_timeout=60,
        )

    async def _wait_while_stalled(self) -> None:
        deadline = time.monotonic() + _STALL_LIMIT
        while self._stalled and time.monotonic() < deadline:
            await asyncio.sleep(0.02)

    async def _close_all(self, graceful: bool) -> None:
        self._stalled = False
        acceptor, self._acceptor = self._acceptor, None
        if acceptor is not None:
            acceptor.close()
        with self._lock:
            connections = list(self._connections)
        for conn in connections:
            if graceful:
                conn.close()
            else:
                conn.abort()
        for conn in connections:
            await conn.wait_closed()
        if acceptor is not None:
            await acceptor.wait_closed()

    def _shutdown_loop(self) -> None:
        loop, thread = self._loop, self._thread
        if loop is not None and loop.is_running():
            loop.call_soon_threadsafe(loop.stop)
        if thread is not None:
            thread.join(_STOP_TIMEOUT)
        if loop is not None and not loop.is_running():
            loop.close()
        self._loop = None
        self._thread = None
        with self._lock:
            self._connections.clear()
        if self._tmp is not None:
            self._tmp.cleanup()
            self._tmp = None

    def _connection_opened(self, conn) -> None:
        with self._lock:
            self._connections.append(conn)
            self._accepted += 1

    def _take_space(self, size: int) -> bool:
        """False when the disk cannot take ``size`` more bytes (nor, once full, a new entry)."""
        with self._lock:
            if self.disk_space is None:
                return True
            if size > self.disk_space or self.disk_space == 0:
                return False
            self.disk_space -= size
            return True

    def _record_auth(self, username: str, method: str) -> None:
        with self._lock:
            self._auth_attempts.append((username, method))

    def _forward_requested(self, host: str, port: int) -> bool:
        if not self.forwarding:
            return False
        try:
            loopback = host == "localhost" or ipaddress.ip_address(host).is_loopback
        except ValueError:
            loopback = False
        if loopback:
            with self._lock:
                self._forwarded.append((host, port))
        return loopback

    def _connection_closed(self, conn) -> None:
        with self._lock:
            if conn in self._connections:
                self._connections.remove(conn)

