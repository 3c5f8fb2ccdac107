"""A loopback listener whose connections go on through a jump host.

Part of the ``tavrel_ssh`` stand-in. Each connection accepted on
127.0.0.1 gets a "direct-tcpip" channel of the jump connection to one fixed
destination, and two pump threads that move bytes in large blocks, one per
direction. ``close()`` ends the listener, every link and the jump
connection, and waits for the threads; nothing in here refers to the
configuration object that owns the tunnel, so that dropping that object can
close it.
"""

from __future__ import annotations

import logging
import selectors
import socket
import threading

import paramiko

__all__ = ["Tunnel"]

_BLOCK = 1 << 18
# Larger than paramiko's defaults, so that the jump host sends fewer, larger
# packets: each one costs Python work on the receiving side.
_WINDOW = 1 << 23
_MAX_PACKET = 1 << 17
_BACKLOG = 16
_JOIN_SECONDS = 5.0
_log = logging.getLogger("tavrel.tunnel")


class Tunnel:
    """Listens on 127.0.0.1 at ``port``; forwards to ``destination`` through ``client``'s transport."""

    def __init__(self, client: paramiko.SSHClient, destination: tuple[str, int], channel_timeout: float | None):
        self.destination = destination
        self._client = client
        self._transport = client.get_transport()
        self._channel_timeout = channel_timeout
        self._lock = threading.Lock()
        self._closed = False
        self._links: set[_Link] = set()
        self._listener = socket.create_server(("127.0.0.1", 0), backlog=_BACKLOG)
        self._wake_reader, self._wake_writer = socket.socketpair()
        self.port: int = self._listener.getsockname()[1]
        self._acceptor = threading.Thread(target=self._accept_loop, name=f"tavrel-tunnel-{self.port}-accept", daemon=True)
        self._acceptor.start()

    @property
    def closed(self) -> bool:
        return self._closed

    def close(self) -> None:
        """Stops accepting, ends every link and the jump connection, joins the threads."""
        with self._lock:
            if self._closed:
                return
            self._closed = True
            links = list(self._links)
        _quietly(self._wake_writer.send, b"\0")
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
        for sock in (self._listener, self._wake_reader, self._wake_writer):
            sock.close()

    def _accept_loop(self) -> None:
        with selectors.DefaultSelector() as selector:
            selector.register(self._listener, selectors.EVENT_READ)
            selector.register(self._wake_reader, selectors.EVENT_READ)
            while not self._closed:
                ready = {key.fileobj for key, _ in selector.select()}
                if self._wake_reader in ready or self._closed:
                    return
                try:
                    sock, peer = self._listener.accept()
                except OSError:
                    continue
                self._add_link(sock, peer)

    def _add_link(self, sock: socket.socket, peer) -> None:
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        link = _Link(self, sock, peer)
        with self._lock:
            if self._closed:
                sock.close()
                return
            self._links.add(link)
        link.start()

    def _open_channel(self, peer) -> paramiko.Channel:
        return self._transport.open_channel(
            "direct-tcpip",
            self.destination,
            peer,
            window_size=_WINDOW,
            max_packet_size=_MAX_PACKET,
            timeout=self._channel_timeout,
        )

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

    def __init__(self, tunnel: Tunnel, sock: socket.socket, peer):
        self._tunnel = tunnel
        self._sock = sock
        self._peer = peer
        self._channel: paramiko.Channel | None = None
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
        try:
            channel = self._tunnel._open_channel(self._peer)
        except (paramiko.SSHException, OSError, EOFError) as error:
            _log.debug("jump host refused the channel to %s: %r", self._tunnel.destination, error)
            self._sock.close()
            return
        self._channel = channel
        if self._tunnel.closed:
            self.abort()
            return
        self._spawn(self._inbound, "in")
        block = memoryview(bytearray(_BLOCK))
        while count := self._sock.recv_into(block):
            channel.sendall(block[:count])
        channel.shutdown_write()

    def _inbound(self) -> None:
        channel = self._channel
        while data := channel.recv(_BLOCK):
            self._sock.sendall(data)
        self._sock.shutdown(socket.SHUT_WR)

    def _finish(self) -> None:
        if self._channel is not None:
            _quietly(self._channel.close)
        self._sock.close()
        self._tunnel._discard(self)
