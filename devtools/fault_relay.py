"""A loopback TCP relay that cuts connections, for tests of dropped links.

It listens on 127.0.0.1 (an ephemeral port) and relays each connection it
accepts to a target, a loopback server such as the throwaway sshd. It can
cut a connection after an exact number of bytes in one direction, on each
connection after the other (a schedule), it counts the bytes it carries,
and it can send the next connections to a second target, switched at run
time, to play a server that answers with another host key.

    with FaultRelay(("127.0.0.1", sshd.port), cut_every=Cut(DOWN, 1 << 20)) as relay:
        ...  # connect to relay.host, relay.port
        relay.carried(DOWN)            # bytes server→client, all connections
        relay.connections[0].cut       # Cut(...) once it happened, else None
        relay.switch_to(("127.0.0.1", other.port))

A cut forwards exactly the given number of bytes in its direction, then
closes both sides: the client sees the end of the stream (or a reset, with
``reset=True``), and so does the server. A cut in ``EITHER`` direction
comes once that many bytes have gone one way or the other, whichever is
first. A cut with ``stall=True`` closes nothing: from then on the
connection carries no byte either way, and stays open until the relay
stops, as a link that went silent does. The relay is bounded: it accepts
loopback targets only, and it stops by itself after ``lifetime`` seconds.
Everything runs in threads of this process, and ``stop()`` ends them all
and closes every socket it made.

As a command:

    python devtools/fault_relay.py --target 127.0.0.1:2222 --cut-every down:16777216 \\
        [--second-target 127.0.0.1:2223 --switch-after 1] [--lifetime 600]

prints ``listening 127.0.0.1 PORT``, then a line for each connection as it
ends; SIGUSR1 switches the next connections to the second target.
"""

from __future__ import annotations

import argparse
import dataclasses
import ipaddress
import select
import signal
import socket
import struct
import sys
import threading
import time
from collections.abc import Callable, Iterable, Sequence

__all__ = ["DOWN", "EITHER", "UP", "Connection", "Cut", "FaultRelay", "main"]

UP = "client_to_server"
DOWN = "server_to_client"
EITHER = "either_direction"
DIRECTIONS = (UP, DOWN)
_SHORT = {"up": UP, "down": DOWN, "either": EITHER, UP: UP, DOWN: DOWN, EITHER: EITHER}

_BUFFER = 65536
_POLL = 0.2  # how often the threads look at the deadline and the stop flag
_DRAIN = 5.0  # how long a cut connection is read and dropped before it is closed
THREAD_PREFIX = "fault-relay-"


@dataclasses.dataclass(frozen=True)
class Cut:
    """Cut the connection once ``after`` bytes have gone ``direction``."""

    direction: str
    after: int
    stall: bool = False

    def __post_init__(self):
        if self.direction not in (*DIRECTIONS, EITHER):
            raise ValueError(f"direction must be {UP!r}, {DOWN!r} or {EITHER!r}, not {self.direction!r}")
        if isinstance(self.after, bool) or not isinstance(self.after, int) or self.after < 0:
            raise ValueError(f"a cut comes after a byte count of 0 or more, not {self.after!r}")

    @classmethod
    def parse(cls, text: str) -> Cut:
        """"down:1048576", "up:0" or "either:4194304"."""
        direction, _, count = text.partition(":")
        if direction not in _SHORT or not count.isdigit():
            raise ValueError(f"a cut is up:BYTES, down:BYTES or either:BYTES, not {text!r}")
        return cls(_SHORT[direction], int(count))


@dataclasses.dataclass
class Connection:
    """One relayed connection: where it went, what it carried, how it ended."""

    index: int
    target: tuple[str, int]
    planned_cut: Cut | None
    carried: dict[str, int] = dataclasses.field(default_factory=lambda: dict.fromkeys(DIRECTIONS, 0))
    cut: Cut | None = None  # the cut, once made
    connected: bool = False  # the target accepted it
    ended: threading.Event = dataclasses.field(default_factory=threading.Event, repr=False)


def _loopback_target(target: tuple[str, int]) -> tuple[str, int]:
    host, port = target
    if not isinstance(port, int) or not 0 < port < 65536:
        raise ValueError(f"not a port: {port!r}")
    infos = socket.getaddrinfo(host, port, type=socket.SOCK_STREAM)
    if not infos or not all(ipaddress.ip_address(info[4][0]).is_loopback for info in infos):
        raise ValueError(f"the relay reaches loopback targets only, not {host!r}")
    return host, port


class FaultRelay:
    """The relay; see the module's text.

    ``cuts`` lists the cut of each connection in the order they arrive
    (None: not cut); the connections after the list's end get
    ``cut_every``, or no cut. ``switch_after`` sends connections from that
    index on to ``second_target``; ``switch_to`` does so at any time.
    """

    def __init__(
        self,
        target: tuple[str, int],
        *,
        cuts: Sequence[Cut | None] = (),
        cut_every: Cut | None = None,
        second_target: tuple[str, int] | None = None,
        switch_after: int | None = None,
        reset: bool = False,
        lifetime: float = 300.0,
        on_end: Callable[[Connection], None] | None = None,
    ):
        if not 0 < lifetime <= 3600:
            raise ValueError("the relay's lifetime is more than 0 and at most an hour")
        if switch_after is not None and second_target is None:
            raise ValueError("switch_after needs a second_target")
        self.host = "127.0.0.1"
        self.port: int | None = None
        self.lifetime = lifetime
        self.reset = reset
        self.connections: list[Connection] = []
        self._target = _loopback_target(target)
        self._second = None if second_target is None else _loopback_target(second_target)
        self._switch_after = switch_after
        self._cuts = list(cuts)
        self._cut_every = cut_every
        self._on_end = on_end
        self._lock = threading.Lock()
        self._stopping = threading.Event()
        self._listener: socket.socket | None = None
        self._threads: list[threading.Thread] = []
        self._sockets: set[socket.socket] = set()
        self._deadline = 0.0

    # --- life ---

    def start(self) -> FaultRelay:
        if self._listener is not None:
            raise RuntimeError("the relay is running already")
        listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        try:
            listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            listener.bind((self.host, 0))
            listener.listen(16)
        except BaseException:
            listener.close()
            raise
        self._listener = listener
        self.port = listener.getsockname()[1]
        self._stopping.clear()
        self._deadline = time.monotonic() + self.lifetime
        self._spawn(self._accept_loop, "accept")
        return self

    def stop(self, timeout: float = 10.0) -> None:
        """Closes the listener and every relayed connection, and joins the threads."""
        self._stopping.set()
        with self._lock:
            sockets = list(self._sockets)
        for sock in sockets:
            _shut(sock)
        end = time.monotonic() + timeout
        while True:
            with self._lock:
                threads = [t for t in self._threads if t.is_alive() and t is not threading.current_thread()]
            if not threads:
                break
            for thread in threads:
                thread.join(max(0.0, end - time.monotonic()))
            if time.monotonic() >= end:
                break
        with self._lock:
            self._threads = [t for t in self._threads if t.is_alive()]
            leftover = list(self._sockets)
            self._sockets.clear()
            listener, self._listener = self._listener, None
        for sock in leftover:
            sock.close()
        if listener is not None:
            listener.close()

    @property
    def running(self) -> bool:
        return self._listener is not None and not self._stopping.is_set()

    def __enter__(self) -> FaultRelay:
        return self.start()

    def __exit__(self, *exc_info) -> None:
        self.stop()

    # --- control and counters ---

    @property
    def address(self) -> tuple[str, int]:
        return self.host, self.port

    def switch_to(self, target: tuple[str, int] | None) -> None:
        """The connections accepted from now on go to ``target`` (None: the first one)."""
        checked = None if target is None else _loopback_target(target)
        with self._lock:
            self._second = checked
            self._switch_after = None if checked is None else len(self.connections)

    def set_schedule(self, cuts: Iterable[Cut | None] = (), cut_every: Cut | None = None) -> None:
        """A new schedule, for the connections accepted from now on."""
        with self._lock:
            self._cuts = [None] * len(self.connections) + list(cuts)
            self._cut_every = cut_every

    def carried(self, direction: str | None = None) -> int:
        """Bytes carried in ``direction`` (both when None), over all connections."""
        with self._lock:
            return sum(c.carried[d] for c in self.connections for d in DIRECTIONS if direction in (None, d))

    def wait_for_connections(self, count: int, timeout: float = 10.0) -> bool:
        end = time.monotonic() + timeout
        while len(self.connections) < count:
            if time.monotonic() >= end:
                return False
            time.sleep(0.01)
        return True

    def wait_until_ended(self, index: int, timeout: float = 10.0) -> bool:
        if not self.wait_for_connections(index + 1, timeout):
            return False
        return self.connections[index].ended.wait(timeout)

    # --- the threads ---

    def _spawn(self, run, name: str) -> None:
        thread = threading.Thread(target=run, name=f"{THREAD_PREFIX}{self.port}-{name}", daemon=True)
        with self._lock:
            self._threads = [t for t in self._threads if t.is_alive()]
            self._threads.append(thread)
        thread.start()

    def _plan(self) -> Connection:
        with self._lock:
            index = len(self.connections)
            if self._second is not None and self._switch_after is not None and index >= self._switch_after:
                target = self._second
            else:
                target = self._target
            cut = self._cuts[index] if index < len(self._cuts) else self._cut_every
            connection = Connection(index, target, cut)
            self.connections.append(connection)
        return connection

    def _accept_loop(self) -> None:
        listener = self._listener
        while not self._stopping.is_set():
            if time.monotonic() >= self._deadline:
                # Bounded: the relay stops itself, from a thread of its own
                # so that the join in stop() does not wait for this one.
                threading.Thread(target=self.stop, name=f"{THREAD_PREFIX}{self.port}-expiry", daemon=True).start()
                return
            try:
                ready, _, _ = select.select([listener], [], [], _POLL)
            except (OSError, ValueError):
                return
            if not ready:
                continue
            try:
                client, _ = listener.accept()
            except OSError:
                continue
            connection = self._plan()
            self._spawn(lambda c=connection, s=client: self._relay(c, s), f"conn{connection.index}")

    def _track(self, sock: socket.socket) -> bool:
        with self._lock:
            if self._stopping.is_set():
                return False
            self._sockets.add(sock)
            return True

    def _relay(self, connection: Connection, client: socket.socket) -> None:
        server = None
        try:
            if not self._track(client):
                client.close()
                return
            try:
                server = socket.create_connection(connection.target, timeout=10)
                server.settimeout(None)
            except OSError:
                return
            if not self._track(server):
                server.close()
                server = None
                return
            connection.connected = True
            for sock in (client, server):
                sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            if connection.planned_cut is not None and connection.planned_cut.after == 0:
                self._cut(connection, connection.planned_cut, client, server)
            back = threading.Thread(
                target=self._pump, args=(connection, DOWN, server, client, client, server),
                name=f"{THREAD_PREFIX}{self.port}-conn{connection.index}-down", daemon=True,
            )
            with self._lock:
                self._threads.append(back)
            back.start()
            self._pump(connection, UP, client, server, client, server)
            back.join()
        finally:
            for sock in (client, server):
                if sock is not None:
                    with self._lock:
                        self._sockets.discard(sock)
                    sock.close()
            connection.ended.set()
            if self._on_end is not None:
                self._on_end(connection)

    def _pump(self, connection, direction, source, sink, client, server) -> None:
        planned = connection.planned_cut
        limit = planned.after if planned is not None and planned.direction in (direction, EITHER) else None
        drain_until = None
        while not self._stopping.is_set():
            if connection.cut is not None and connection.cut.stall:
                self._stopping.wait(_POLL)
                continue
            if connection.cut is not None and self.reset:
                return
            if connection.cut is not None and drain_until is None:
                drain_until = time.monotonic() + _DRAIN
            if drain_until is not None and time.monotonic() >= drain_until:
                return
            try:
                ready, _, _ = select.select([source], [], [], _POLL)
            except (OSError, ValueError):
                return
            if not ready:
                continue
            want = _BUFFER if limit is None else min(_BUFFER, limit - connection.carried[direction])
            try:
                data = source.recv(want if want > 0 else _BUFFER)
            except OSError:
                _shut(client)
                _shut(server)
                return
            if not data:
                if connection.cut is None:
                    # An end of stream is passed on as one; the other way may go on.
                    _shut(sink, socket.SHUT_WR)
                return
            if connection.cut is not None:
                continue  # after a cut, what still comes is read and dropped
            try:
                sink.sendall(data)
            except OSError:
                _shut(client)
                _shut(server)
                return
            with self._lock:
                connection.carried[direction] += len(data)
                reached = limit is not None and connection.carried[direction] >= limit and connection.cut is None
                if reached:
                    # Set under the lock: with a cut in either direction,
                    # the other pump forwards nothing after this.
                    connection.cut = planned
            if reached:
                self._cut(connection, planned, client, server)
                if self.reset:
                    return

    def _cut(self, connection: Connection, cut: Cut, client: socket.socket, server: socket.socket) -> None:
        connection.cut = cut
        if cut.stall:
            return  # the pumps see it and carry nothing more
        if self.reset:
            for sock in (client, server):
                try:
                    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                except OSError:
                    pass
            return  # the pumps see the cut and end; the close then resets
        # An end of stream each way, after what was sent already. Both sides
        # are then read to their end and dropped: a close with unread data
        # would reset the connection, and the server could lose bytes the
        # cut let through.
        _shut(client, socket.SHUT_WR)
        _shut(server, socket.SHUT_WR)


def _shut(sock: socket.socket, how: int = socket.SHUT_RDWR) -> None:
    try:
        sock.shutdown(how)
    except OSError:
        pass


def _address(text: str) -> tuple[str, int]:
    host, _, port = text.rpartition(":")
    if not host or not port.isdigit():
        raise argparse.ArgumentTypeError(f"HOST:PORT, not {text!r}")
    return host, int(port)


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="A loopback TCP relay that cuts connections.")
    parser.add_argument("--target", type=_address, required=True, help="HOST:PORT of the server (loopback)")
    parser.add_argument("--second-target", type=_address, help="HOST:PORT of a second server (loopback)")
    parser.add_argument("--switch-after", type=int, help="connections from this index on go to the second target")
    parser.add_argument("--cut", type=Cut.parse, action="append", default=[],
                        help="the next connection's cut, up:BYTES, down:BYTES or either:BYTES; repeat for the ones after")
    parser.add_argument("--cut-every", type=Cut.parse, help="the cut of every connection after the --cut ones")
    parser.add_argument("--reset", action="store_true", help="cut with a reset rather than an end of stream")
    parser.add_argument("--lifetime", type=float, default=600.0, help="seconds before the relay stops itself")
    args = parser.parse_args(argv)

    def report(connection: Connection) -> None:
        cut = "no cut" if connection.cut is None else f"cut {connection.cut.direction}:{connection.cut.after}"
        print(f"connection {connection.index} to {connection.target[0]}:{connection.target[1]}: "
              f"{connection.carried[UP]} up, {connection.carried[DOWN]} down, {cut}", flush=True)

    try:
        relay = FaultRelay(args.target, cuts=args.cut, cut_every=args.cut_every, second_target=args.second_target,
                           switch_after=args.switch_after, reset=args.reset, lifetime=args.lifetime, on_end=report)
    except (ValueError, OSError) as error:
        parser.error(str(error))
    if args.second_target is not None:
        signal.signal(signal.SIGUSR1, lambda *_: relay.switch_to(args.second_target))
    relay.start()
    print(f"listening {relay.host} {relay.port}", flush=True)
    try:
        while relay.running:
            time.sleep(_POLL)
    except KeyboardInterrupt:
        pass
    finally:
        relay.stop()
    print(f"carried {relay.carried(UP)} up, {relay.carried(DOWN)} down", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
