"""A loopback listener whose connections go on through a jump host.

Part of the ``tavrel_ssh`` stand-in. The first "direct-tcpip" channel to
the fixed destination is opened with the tunnel, so that a destination the
jump host cannot reach fails there; the first connection accepted on
127.0.0.1 takes it over, each later one gets a channel of its own. Each
link has two pump threads, one per direction, that move bytes in large
blocks. At most ``MAX_LINKS`` links are open at once. ``close()`` ends the
listener, every link and the jump connection, and waits for the threads;
nothing in here refers to the configuration object that owns the tunnel,
so that dropping that object can close it. In a forked child the jump
connection and the links are the parent's: ``close()`` there keeps the
tunnel as it is for the life of the child and sends nothing.
"""

from __future__ import annotations

import logging
import os
import selectors
import socket
import threading
import time

import paramiko

__all__ = ["MAX_LINKS", "JumpTransport", "TargetUnreachable", "Tunnel", "address_text", "send_without_delay"]

# The module opens one link per _connect; more at once are no one's but an
# intruder's, and each costs a descriptor, two threads and a channel.
MAX_LINKS = 8
_BLOCK = 1 << 18
# Larger than paramiko's defaults, so that the jump host sends fewer, larger
# packets: each one costs Python work on the receiving side.
_WINDOW = 1 << 23
_MAX_PACKET = 1 << 17
_BACKLOG = 16
_JOIN_SECONDS = 5.0
# After a failed accept (out of descriptors, say) the connection stays in
# the backlog and the listener stays readable: wait before trying again.
_FIRST_BACKOFF_SECONDS = 0.05
_LONGEST_BACKOFF_SECONDS = 1.0
_ORIGINATOR = ("127.0.0.1", 0)
_WARNING_INTERVAL_SECONDS = 60.0
_log = logging.getLogger("tavrel.tunnel")
# Tunnels a forked child inherited. Closing one, or letting paramiko's
# finalisers run on its channels, would send on the parent's jump
# connection and shut the parent's sockets down.
_left_to_parent: set[Tunnel] = set()


def _is_tcp(sock) -> bool:
    return (
        isinstance(sock, socket.socket)
        and sock.family in (socket.AF_INET, socket.AF_INET6)
        and sock.type == socket.SOCK_STREAM
    )


def send_without_delay(sock) -> None:
    """TCP_NODELAY on a TCP socket; anything else (a proxy, a pipe) is left as it is."""
    try:
        if _is_tcp(sock):
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    except Exception as error:  # a patched-in socket class may raise its own
        _log.debug("TCP_NODELAY not set: %r", error)


_QUICKACK = getattr(socket, "TCP_QUICKACK", None)


class _AcknowledgingSocket(socket.socket):
    """A TCP socket that acknowledges what it receives at once.

    The jump host sends its small packets (the target's replies, window
    adjustments) with Nagle's algorithm on: each one after the first waits
    for the acknowledgement of the one before, which the kernel here would
    delay by 40 ms whenever nothing goes the other way. The option does not
    stay on by itself, so it is set again after each read. A system that
    refuses it only loses the speed: the bytes just read are still returned.
    """

    __slots__ = ()

    def recv(self, size, flags=0):
        data = super().recv(size, flags)
        try:
            self.setsockopt(socket.IPPROTO_TCP, _QUICKACK, 1)
        except OSError:
            pass
        return data


def _acknowledging(sock):
    # Only a plain socket is remade: a subclass (a caller's, or one that a
    # library patched in) keeps its own behaviour and goes without.
    if _QUICKACK is None or type(sock) is not socket.socket or not _is_tcp(sock):
        return sock
    timeout = sock.gettimeout()
    made = _AcknowledgingSocket(sock.family, sock.type, sock.proto, fileno=sock.detach())
    made.settimeout(timeout)
    return made


def address_text(host: str, port: int) -> str:
    return f"[{host}]:{port}" if ":" in host else f"{host}:{port}"


def _prefer_key_types(transport: paramiko.Transport, key_types) -> None:
    # The host key algorithms of the keys that are pinned or listed go
    # first, so that a server with keys of several types shows one of them.
    # An RSA key signs under the SHA-2 names as well.
    wanted = set(key_types)
    if "ssh-rsa" in wanted:
        wanted.update(("rsa-sha2-512", "rsa-sha2-256"))
    if not wanted:
        return
    options = transport.get_security_options()
    offered = tuple(options.key_types)
    preferred = [name for name in offered if name in wanted]
    if preferred:
        options.key_types = (*preferred, *(name for name in offered if name not in wanted))


class JumpTransport(paramiko.Transport):
    """paramiko's transport for the jump connection, on the socket SSHClient.connect made.

    The socket sends without Nagle's delay and acknowledges at once, and a
    jump host that stays silent past the time limit on the key exchange
    raises TimeoutError.
    """

    def __init__(self, sock, *, jump_host: str, preferred_key_types=(), **options):
        self._jump_host = jump_host
        self._timed_out = False
        self.last_open_failure = ""
        sock = _acknowledging(sock)
        send_without_delay(sock)
        super().__init__(sock, **options)
        _prefer_key_types(self, preferred_key_types)

    def _parse_channel_open_failure(self, m):
        # paramiko keeps the failure's code only; the jump host's own
        # description ("Connection refused") is what tells the cause.
        m.get_int()
        m.get_int()
        self.last_open_failure = m.get_text()
        m.rewind()
        super()._parse_channel_open_failure(m)

    def start_client(self, event=None, timeout=None):
        # paramiko lets the time limit pass quietly, or raises it as an
        # error reading the banner, whichever comes first.
        try:
            super().start_client(event, timeout)
        except paramiko.SSHException as error:
            if timeout is not None and isinstance(error.__context__, TimeoutError):
                raise self._silent(timeout) from error
            raise
        if event is None and timeout is not None and not self.initial_kex_done:
            raise self._silent(timeout)

    def _log(self, level, message, *arguments):
        # Once the time is up, the close that follows ends paramiko's thread
        # in the middle of reading the banner, which it would report as an
        # error with a traceback.
        if not self._timed_out:
            super()._log(level, message, *arguments)

    def _silent(self, timeout: float) -> TimeoutError:
        self._timed_out = True
        return TimeoutError(
            f"jump host {self._jump_host} did not finish the SSH key exchange within the timeout of {timeout} s"
        )


class TargetUnreachable(paramiko.ChannelException):
    """The jump host could not open the connection to the destination.

    ``code`` and ``text`` are paramiko's, ``reason`` the jump host's own words.
    """

    def __init__(self, jump_host: str, destination: tuple[str, int], failure: paramiko.ChannelException, reason: str):
        super().__init__(failure.code, failure.text)
        self.jump_host = jump_host
        self.destination = destination
        self.reason = reason

    def __str__(self) -> str:
        said = f"{self.text}: {self.reason}" if self.reason and self.reason != self.text else self.text
        return f"jump host {self.jump_host} could not connect to {address_text(*self.destination)}: {said}"


class Tunnel:
    """Listens on 127.0.0.1 at ``port``; forwards to ``destination`` through ``client``'s transport.

    Raises ``TargetUnreachable`` when the jump host cannot reach the
    destination, ``TimeoutError`` when it does not answer within
    ``channel_timeout``.
    """

    def __init__(
        self,
        client: paramiko.SSHClient,
        destination: tuple[str, int],
        channel_timeout: float | None,
        jump_host: str,
    ):
        self.destination = destination
        self._client = client
        self._transport = client.get_transport()
        self._channel_timeout = channel_timeout
        self._jump_host = jump_host
        self._opened_in = os.getpid()
        self._lock = threading.Lock()
        self._closed = False
        self._closing = threading.Event()
        self._links: set[_Link] = set()
        # What the owner's _connect would otherwise see only as paramiko's
        # "Error reading SSH protocol banner". At most one warning of each
        # kind a minute, however often other local processes connect.
        self._last_warned: dict[str, float] = {}
        self._first_channel: paramiko.Channel | None = self._open_first_channel()
        # Every descriptor the acceptor needs is made here, so that it never
        # fails later for want of one.
        made = []
        try:
            self._listener = socket.create_server(("127.0.0.1", 0), backlog=_BACKLOG)
            made.append(self._listener)
            self._wake_reader, self._wake_writer = socket.socketpair()
            made += [self._wake_reader, self._wake_writer]
            self._selector = selectors.DefaultSelector()
            made.append(self._selector)
            self._selector.register(self._listener, selectors.EVENT_READ)
            self._selector.register(self._wake_reader, selectors.EVENT_READ)
        except BaseException:
            for thing in made:
                thing.close()
            self._first_channel.close()
            raise
        self.port: int = self._listener.getsockname()[1]
        self._acceptor = threading.Thread(
            target=self._accept_loop, name=f"tavrel-tunnel-{self.port}-accept", daemon=True
        )
        self._acceptor.start()

    @property
    def closed(self) -> bool:
        return self._closed

    @property
    def links(self) -> int:
        with self._lock:
            return len(self._links)

    def close(self) -> None:
        """Stops accepting, ends every link and the jump connection, joins the threads."""
        if os.getpid() != self._opened_in:
            _left_to_parent.add(self)
            return
        with self._lock:
            if self._closed:
                return
            self._closed = True
            links = list(self._links)
            unused, self._first_channel = self._first_channel, None
        self._closing.set()
        _quietly(self._wake_writer.send, b"\0")
        if unused is not None:
            _quietly(unused.close)
        for link in links:
            link.abort()
        self._client.close()
        # The acceptor starts each link's outbound pump, which starts the
        # inbound one: joined in that order, no thread is missed.
        _join(self._acceptor)
        for link in links:
            index = 0
            while index < len(link.threads):
                _join(link.threads[index])
                index += 1
        for thing in (self._selector, self._listener, self._wake_reader, self._wake_writer):
            thing.close()

    def _open_first_channel(self) -> paramiko.Channel:
        started = time.monotonic()
        try:
            return self._open_channel(_ORIGINATOR)
        except paramiko.ChannelException as error:
            reason = getattr(self._transport, "last_open_failure", "")
            raise TargetUnreachable(self._jump_host, self.destination, error, reason) from error
        except paramiko.SSHException as error:
            limit = self._channel_timeout
            if limit is not None and time.monotonic() - started >= limit:
                raise TimeoutError(
                    f"jump host {self._jump_host} did not open the connection to "
                    f"{address_text(*self.destination)} within the timeout of {limit} s"
                ) from error
            raise

    def _accept_loop(self) -> None:
        backoff = 0.0
        while not self._closed:
            ready = {key.fileobj for key, _ in self._selector.select()}
            if self._wake_reader in ready or self._closed:
                return
            try:
                sock, peer = self._listener.accept()
            except OSError as error:
                backoff = min(max(2 * backoff, _FIRST_BACKOFF_SECONDS), _LONGEST_BACKOFF_SECONDS)
                _log.debug("accepting a tunnel connection failed, next try in %.2f s: %r", backoff, error)
                if self._closing.wait(backoff):
                    return
                continue
            backoff = 0.0
            self._add_link(sock, peer)

    def _add_link(self, sock: socket.socket, peer) -> None:
        send_without_delay(sock)
        with self._lock:
            admitted = not self._closed and len(self._links) < MAX_LINKS
            if admitted:
                channel = self._take_first_channel()
                link = _Link(self, sock, peer, channel)
                self._links.add(link)
        if not admitted:
            if not self._closed:
                self._warn_at_most_each_minute(
                    "full",
                    "tunnel to %s through jump host %s refused a local connection: %d connections are open already",
                    address_text(*self.destination),
                    self._jump_host,
                    MAX_LINKS,
                )
            sock.close()
            return
        link.start()

    def _take_first_channel(self) -> paramiko.Channel | None:
        # Called with the lock held. The destination may have given up on a
        # channel that waited long for its connection.
        channel, self._first_channel = self._first_channel, None
        if channel is not None and (channel.closed or channel.eof_received):
            _quietly(channel.close)
            return None
        return channel

    def _open_channel(self, peer) -> paramiko.Channel:
        return self._transport.open_channel(
            "direct-tcpip",
            self.destination,
            peer,
            window_size=_WINDOW,
            max_packet_size=_MAX_PACKET,
            timeout=self._channel_timeout,
        )

    def _warn_at_most_each_minute(self, kind: str, message: str, *arguments) -> None:
        now = time.monotonic()
        with self._lock:
            last = self._last_warned.get(kind)
            if last is not None and now - last < _WARNING_INTERVAL_SECONDS:
                return
            self._last_warned[kind] = now
        _log.warning(message, *arguments)

    def _channel_failed(self, error: Exception) -> None:
        if self._closed:
            return
        if isinstance(error, paramiko.ChannelException):
            reason = getattr(self._transport, "last_open_failure", "")
            text = str(TargetUnreachable(self._jump_host, self.destination, error, reason))
        elif not self._transport.is_active():
            text = f"the connection to jump host {self._jump_host} is closed"
        else:
            text = f"jump host {self._jump_host} did not open a connection to {address_text(*self.destination)}: {error!r}"
        self._warn_at_most_each_minute("channel", "tunnel connection refused: %s", text)

    def _discard(self, link: _Link) -> None:
        with self._lock:
            self._links.discard(link)


def _quietly(close, *arguments) -> None:
    # Closing after the peer or the jump connection went away may fail; the
    # link ends either way.
    try:
        close(*arguments)
    except Exception as error:
        _log.debug("closing a tunnel link: %r", error)


def _join(thread: threading.Thread) -> None:
    # A collection that drops the owner on a pump thread closes from there.
    if thread is not threading.current_thread():
        thread.join(_JOIN_SECONDS)


class _Link:
    """One accepted connection and its channel: outbound and inbound pumps."""

    def __init__(self, tunnel: Tunnel, sock: socket.socket, peer, channel: paramiko.Channel | None):
        self._tunnel = tunnel
        self._sock = sock
        self._peer = peer
        self._channel = channel
        self._lock = threading.Lock()
        self._running = 0
        self.threads: list[threading.Thread] = []

    def start(self) -> None:
        self._spawn(self._outbound, "out")

    def abort(self) -> None:
        """Wakes both pumps, whatever they are blocked in."""
        _quietly(self._sock.shutdown, socket.SHUT_RDWR)
        if self._channel is not None:
            _quietly(self._channel.close)

    def _spawn(self, pump, direction: str) -> None:
        with self._lock:
            self._running += 1
        thread = threading.Thread(
            target=self._run, args=(pump,), name=f"tavrel-tunnel-{self._tunnel.port}-{direction}", daemon=True
        )
        self.threads.append(thread)
        thread.start()

    def _run(self, pump) -> None:
        try:
            pump()
        except Exception as error:  # a broken link ends quietly; the other side sees the close
            _log.debug("tunnel link %s ended: %r", self._peer, error)
            self.abort()
        finally:
            with self._lock:
                self._running -= 1
                last = self._running == 0
            if last:
                self._finish()

    def _outbound(self) -> None:
        if self._channel is None:
            try:
                self._channel = self._tunnel._open_channel(self._peer)
            except (paramiko.SSHException, OSError, EOFError) as error:
                self._tunnel._channel_failed(error)
                self._sock.close()
                return
        channel = self._channel
        if self._tunnel.closed:
            self.abort()
            return
        self._spawn(self._inbound, "in")
        # One buffer for the life of the link; each block goes to the channel
        # as a view of it, uncopied.
        block = memoryview(bytearray(_BLOCK))
        receive, send = self._sock.recv_into, channel.sendall
        while count := receive(block):
            send(block[:count])
        channel.shutdown_write()

    def _inbound(self) -> None:
        # A read as large as the window takes all that has arrived at once:
        # paramiko's buffer then hands over its whole content instead of
        # moving what is left of it after each smaller read.
        receive, send = self._channel.recv, self._sock.sendall
        while data := receive(_WINDOW):
            send(data)
        self._sock.shutdown(socket.SHUT_WR)

    def _finish(self) -> None:
        if self._channel is not None:
            _quietly(self._channel.close)
        self._sock.close()
        self._tunnel._discard(self)
