"""Round trip through TavrelSFTPMain: every operation once, with a transcript.

With no options it starts the embedded asyncssh server on loopback and runs
against it; --via-jump starts a second one as a jump host and goes through it
("ssh" on: the framework's tunnel). With --host (and --port, --user) it runs
against a real server, through a real jump host with --jump-host; the
passwords then come from the environment (SFTP_MAIN_PASSWORD,
SFTP_MAIN_JUMP_PASSWORD) or from a prompt, never from the command line.
--key logs in with a private key file instead (its passphrase from
SFTP_MAIN_KEY_PASSPHRASE or a prompt; a password only when the server asks
for one as well). --host-key pins the server's key (the embedded server's
own key is always pinned), --known-hosts checks it against a known_hosts
file, and --timeout bounds every step. On a terminal each transfer shows a
progress bar ("progress"); --size sets how much is sent, --atomic-upload
uploads under a temporary name and moves it into place. A transfer that
returns False has its reason printed from the module's log record.

--retries N lets a transfer whose connection drops reconnect up to N times
and carry on; --resume keeps what an interrupted transfer moved, for the
next call to continue from. --flaky shows both at work: the embedded server
is reached through a relay (devtools/fault_relay.py) that cuts every
connection after 3/8 of the file has gone one way or the other, so that
each transfer is cut at least twice, with 3 retries unless --retries says
otherwise, and "resume" on; the relay's connections and the bytes it
carried are printed at the end.

Exit status: 0 when every step succeeded and the downloaded file matches the
uploaded one, 1 on any failure or mismatch, 2 on a usage error.
"""

from __future__ import annotations

import argparse
import getpass
import hashlib
import logging
import os
import posixpath
import re
import secrets
import sys
import tempfile
import time
import traceback
from pathlib import Path

PASSWORD_ENV = "SFTP_MAIN_PASSWORD"
JUMP_PASSWORD_ENV = "SFTP_MAIN_JUMP_PASSWORD"
JUMP_PASSPHRASE_ENV = "SFTP_MAIN_JUMP_KEY_PASSPHRASE"
KEY_PASSPHRASE_ENV = "SFTP_MAIN_KEY_PASSPHRASE"
_MASKED_NAMES = ("password", "pwd", "passphrase", "key_file")
DEMO_USER = "demo"
FLAKY_RETRIES = 3
# Cut every relayed connection once this fraction of the file has gone one
# way: each transfer then needs at least two reconnects.
FLAKY_CUT_FRACTION = (3, 8)
FLAKY_LEAST_CUT = 64 * 1024
JUMP_USER = "jump"
_CHUNK = 1 << 20


class StepFailed(Exception):
    """A step ran but its result was wrong; the message says how."""


def parse_size(text: str) -> int:
    match = re.fullmatch(r"\s*(\d+)\s*([kKmMgG]?)(i?[bB])?\s*", text)
    if not match:
        raise argparse.ArgumentTypeError(f"not a size: {text!r} (use bytes or a K, M or G suffix, e.g. 64M)")
    shift = {"": 0, "k": 10, "m": 20, "g": 30}[match.group(2).lower()]
    return int(match.group(1)) << shift


def format_size(size: int) -> str:
    if size < 1024:
        return f"{size} B"
    if size < 1 << 20:
        return f"{size / 1024:.2f} KiB"
    return f"{size / (1 << 20):.2f} MiB"


def format_seconds(seconds: float) -> str:
    if seconds < 1:
        return f"{seconds * 1000:.1f} ms"
    return f"{seconds:.2f} s"


def sha256_of(path: Path) -> str:
    digest = hashlib.sha256()
    with open(path, "rb") as handle:
        while chunk := handle.read(_CHUNK):
            digest.update(chunk)
    return digest.hexdigest()


def write_payload(path: Path, size: int) -> str:
    digest = hashlib.sha256()
    with open(path, "wb") as handle:
        remaining = size
        while remaining:
            chunk = os.urandom(min(_CHUNK, remaining))
            handle.write(chunk)
            digest.update(chunk)
            remaining -= len(chunk)
    return digest.hexdigest()


def describe_stat(attrs) -> str:
    size = getattr(attrs, "st_size", None)
    mode = getattr(attrs, "st_mode", None)
    if size is None and mode is None:
        return repr(attrs)
    mode_text = "?" if mode is None else oct(mode)
    return f"size={size} mode={mode_text}"


class TransferBar:
    """A progress bar on the terminal for one transfer at a time, fed by the
    module's "progress" callback with (bytes_done, bytes_total)."""

    def __init__(self, out=sys.stderr):
        self._out = out
        self._label = ""
        self._bar = None
        self._shown = 0

    def __repr__(self) -> str:
        return "TransferBar()"

    def start(self, label: str) -> None:
        self._label = label

    def __call__(self, done: int, total: int) -> None:
        if self._bar is None:
            from tqdm import tqdm

            self._bar = tqdm(total=total, desc=self._label, unit="B", unit_scale=True, unit_divisor=1024,
                             leave=False, file=self._out, dynamic_ncols=True)
        self._bar.update(done - self._shown)
        self._shown = done

    def finish(self) -> None:
        if self._bar is not None:
            self._bar.close()
        self._bar = None
        self._shown = 0


class Transcript:
    """Runs the steps, one line each, and keeps what the summary needs."""

    def __init__(self, out=sys.stdout):
        self._out = out
        self.count = 0
        self.current = ""
        self.started = time.perf_counter()

    def line(self, text: str) -> None:
        print(text, file=self._out, flush=True)

    def step(self, call_text: str, func, *args, shown_result=None, transferred: int | None = None):
        self.count += 1
        self.current = call_text
        begin = time.perf_counter()
        try:
            result = func(*args)
        except BaseException:
            elapsed = time.perf_counter() - begin
            self.line(f"{self.count:>2}  {call_text}  -> raised  [{format_seconds(elapsed)}]")
            raise
        elapsed = time.perf_counter() - begin
        shown = shown_result(result) if shown_result else repr(result)
        extra = ""
        if transferred is not None:
            rate = transferred / elapsed / (1 << 20) if elapsed > 0 else float("inf")
            extra = f"  {format_size(transferred)} at {rate:.1f} MiB/s"
        self.line(f"{self.count:>2}  {call_text}  -> {shown}  [{format_seconds(elapsed)}]{extra}")
        return result


def show_address(host: str, port) -> str:
    return f"[{host}]:{port}" if ":" in host else f"{host}:{port}"


def describe_tunnel(config: dict, through) -> str:
    """The path that "ssh" on takes: the local listener, the jump host, the target."""
    jump = show_address(config["ssh_host"], config.get("ssh_port") or 22)
    target = show_address(config["host"], config.get("port") or 22)
    return f"tunnel: {show_address(through.host, through.port)} -> {config['ssh_user']}@{jump} -> direct-tcpip to {target}"


def masked_config(config: dict) -> str:
    shown = ", ".join(
        f"{key!r}: {'***'!r}" if any(name in key for name in _MASKED_NAMES) else f"{key!r}: {value!r}"
        for key, value in config.items()
    )
    return "{" + shown + "}"


def round_trip(config: dict, size: int, remote_dir: str, transcript: Transcript, workdir: Path,
               bar: TransferBar | None = None) -> str:
    """Runs the round trip; returns the summary text of a success, raises otherwise."""
    try:
        import sftp_main
    except ImportError as exc:
        raise StepFailed(f"cannot import sftp_main ({exc}); build it first with `make build`") from exc

    local_up = workdir / "payload.bin"
    local_down = workdir / "downloaded.bin"
    up_digest = write_payload(local_up, size)

    created_dir = None
    remote_files = []
    client = None
    connected = False
    step = transcript.step
    try:
        client = step(
            f"TavrelSFTPMain({masked_config(config)})",
            sftp_main.TavrelSFTPMain,
            config,
            shown_result=lambda obj: type(obj).__name__,
        )
        if config.get("ssh"):
            transcript.line(f"    {describe_tunnel(config, client._config)}")
        step("_connect()", client._connect)
        connected = True
        expect_true(step(f"_mkdir({remote_dir!r})", client._mkdir, remote_dir), "_mkdir")
        created_dir = remote_dir
        expect_true(step(f"_chdir({remote_dir!r})", client._chdir, remote_dir), "_chdir")

        uploaded = step(
            f"_upload({str(local_up)!r}, 'payload.bin')",
            with_bar(bar, "upload", client._upload),
            str(local_up),
            "payload.bin",
            transferred=size,
        )
        if uploaded is not True:
            raise StepFailed(f"_upload returned {uploaded!r}; the module logged why (above)")
        remote_files.append("payload.bin")

        attrs = step("_stat('payload.bin')", client._stat, "payload.bin", shown_result=describe_stat)
        if getattr(attrs, "st_size", None) != size:
            raise StepFailed(f"_stat reports size {getattr(attrs, 'st_size', None)!r}, uploaded {size}")

        expect_true(step("_rename('payload.bin', 'renamed.bin')", client._rename, "payload.bin", "renamed.bin"), "_rename")
        remote_files[-1] = "renamed.bin"
        expect_true(
            step("_posix_rename('renamed.bin', 'final.bin')", client._posix_rename, "renamed.bin", "final.bin"),
            "_posix_rename",
        )
        remote_files[-1] = "final.bin"

        absolute = step("_normalize('final.bin')", client._normalize, "final.bin")
        if not isinstance(absolute, str) or not absolute.startswith("/") or posixpath.basename(absolute) != "final.bin":
            raise StepFailed(f"_normalize gave {absolute!r}, not an absolute path to final.bin")
        # The directory is removed by its absolute name, as seen by the server,
        # since the client's working directory is inside it.
        created_dir = posixpath.dirname(absolute)

        downloaded = step(
            f"_download('final.bin', {str(local_down)!r})",
            with_bar(bar, "download", client._download),
            "final.bin",
            str(local_down),
            transferred=size,
        )
        if downloaded is not True:
            raise StepFailed(f"_download returned {downloaded!r}; the module logged why (above)")
        down_digest = sha256_of(local_down)
        same = down_digest == up_digest
        transcript.line(
            f"    sha256 uploaded {up_digest[:16]}…  downloaded {down_digest[:16]}…  {'match' if same else 'MISMATCH'}"
        )
        if not same:
            raise StepFailed("the downloaded file differs from the uploaded one (sha256)")

        expect_true(step("_remove('final.bin')", client._remove, "final.bin"), "_remove")
        remote_files.clear()
        expect_true(step(f"_rmdir({created_dir!r})", client._rmdir, created_dir), "_rmdir")
        created_dir = None
        step("_close()", client._close)
        connected = False
        return f"{transcript.count} steps, {format_size(size)} up and down, sha256 {up_digest[:16]}… matches"
    finally:
        if connected:
            clean_up(client, remote_files, created_dir, transcript)


def with_bar(bar: TransferBar | None, label: str, transfer):
    """`transfer`, with the bar started before it and cleared after it."""
    if bar is None:
        return transfer

    def run(*args):
        bar.start(label)
        try:
            return transfer(*args)
        finally:
            bar.finish()

    return run


def flaky_cut_after(size: int) -> int:
    numerator, denominator = FLAKY_CUT_FRACTION
    return max(FLAKY_LEAST_CUT, size * numerator // denominator)


def start_flaky_relay(target: tuple[str, int], size: int):
    """The relay in front of ``target``, cutting every connection after
    ``flaky_cut_after(size)`` bytes in either direction."""
    from fault_relay import EITHER, Cut, FaultRelay

    return FaultRelay(target, cut_every=Cut(EITHER, flaky_cut_after(size)), lifetime=3600).start()


def describe_relay(relay, size: int) -> list[str]:
    """What the relay carried, per connection and against the file's size."""
    from fault_relay import DOWN, UP

    lines = []
    for connection in relay.connections:
        how = "cut" if connection.cut is not None else "not cut"
        lines.append(f"    relay connection {connection.index}: {format_size(connection.carried[UP])} up, "
                     f"{format_size(connection.carried[DOWN])} down, {how}")
    cuts = sum(1 for connection in relay.connections if connection.cut is not None)
    up, down = relay.carried(UP), relay.carried(DOWN)

    def against(carried: int) -> str:
        return f"{carried / size:.2f}x the file" if size else "no file"

    lines.append(f"    relay: {len(relay.connections)} connections, {cuts} cut after "
                 f"{format_size(flaky_cut_after(size))} each; carried {format_size(up)} up ({against(up)}) and "
                 f"{format_size(down)} down ({against(down)}) for a file of {format_size(size)}")
    return lines


def show_transfer_failures() -> None:
    """Prints the module's record of why a transfer returned False."""
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(logging.Formatter("round_trip: %(message)s"))
    logger = logging.getLogger("sftp_main")
    logger.addHandler(handler)
    logger.setLevel(logging.INFO)


def expect_true(result, name: str) -> None:
    if result is not True:
        raise StepFailed(f"{name} returned {result!r} instead of True")


def clean_up(client, remote_files, remote_dir, transcript: Transcript) -> None:
    """After a failure: remove what the run created, then close. Best effort."""
    left = []
    for name in remote_files:
        try:
            client._remove(name)
        except Exception:
            left.append(name)
    if remote_dir is not None:
        try:
            client._rmdir(remote_dir)
        except Exception:
            left.append(remote_dir + "/")
    try:
        client._close()
    except Exception as exc:
        left.append(f"(close failed: {type(exc).__name__})")
    if left:
        transcript.line(f"    cleanup: could not remove {', '.join(left)}")
    else:
        transcript.line("    cleanup: removed what this run created, connection closed")


def read_password(variable: str = PASSWORD_ENV, prompt: str = "SFTP password: ") -> str:
    password = os.environ.get(variable)
    if password:
        return password
    if not sys.stdin.isatty():
        raise SystemExit(f"round_trip: error: no password: set {variable} or run from a terminal to be prompted")
    return getpass.getpass(prompt)


def read_key_passphrase(key_file: str) -> str | None:
    """The key's passphrase from the environment, or a prompt when the key is encrypted."""
    if os.environ.get(KEY_PASSPHRASE_ENV):
        return os.environ[KEY_PASSPHRASE_ENV]
    import paramiko

    try:
        paramiko.PKey.from_path(key_file)
        return None
    except (TypeError, paramiko.PasswordRequiredException):
        pass  # encrypted: paramiko asks for a passphrase this way
    except Exception:
        return None  # the module itself says what is wrong with the file
    if not sys.stdin.isatty():
        raise SystemExit(f"round_trip: error: the key is encrypted: set {KEY_PASSPHRASE_ENV} or run from a terminal")
    return getpass.getpass("key passphrase: ")


def real_jump_config(args) -> dict:
    """The "ssh" entries for --jump-host: a key file, or a password from the environment or a prompt."""
    config = {"ssh": True, "ssh_host": args.jump_host, "ssh_user": args.jump_user or getpass.getuser()}
    if args.jump_port is not None:
        config["ssh_port"] = args.jump_port
    if args.jump_key:
        config["ssh_rsa"] = args.jump_key
        if os.environ.get(JUMP_PASSPHRASE_ENV):
            config["ssh_rsa_pwd"] = os.environ[JUMP_PASSPHRASE_ENV]
        if os.environ.get(JUMP_PASSWORD_ENV):
            config["ssh_password"] = os.environ[JUMP_PASSWORD_ENV]
    else:
        config["ssh_password"] = read_password(JUMP_PASSWORD_ENV, "jump host password: ")
    if args.jump_host_key:
        config["ssh_host_key"] = args.jump_host_key
    return config


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        description="Round trip through TavrelSFTPMain against the embedded test server or a real SFTP server.",
        epilog=f"Against a real server the password is read from ${PASSWORD_ENV}, the jump host's from "
        f"${JUMP_PASSWORD_ENV}, or prompted for.",
    )
    parser.add_argument("--host", help="a real server to use instead of the embedded one")
    parser.add_argument("--port", help="its port (left out of the configuration when not given: the default 22)")
    parser.add_argument("--user", help="the user name on that server (default: the local user name)")
    parser.add_argument(
        "--host-key",
        action="append",
        metavar="KEY",
        help="the server's expected key: its SHA256:… fingerprint or public key line "
        "(repeat for several; get them with `ssh-keyscan HOST | ssh-keygen -lf -`)",
    )
    parser.add_argument("--key", metavar="FILE", help="log in with this private key file instead of a password "
                        f"(its passphrase from ${KEY_PASSPHRASE_ENV} or a prompt)")
    parser.add_argument("--known-hosts", metavar="FILE", help="check the server's key against this known_hosts file")
    parser.add_argument("--timeout", metavar="SECONDS", help="time limit for connecting and for every operation")
    parser.add_argument("--via-jump", action="store_true", help="go through a second embedded server as the jump host")
    parser.add_argument("--jump-host", help="with --host: a real jump host to go through")
    parser.add_argument("--jump-port", help="its port (default 22)")
    parser.add_argument("--jump-user", help="the user name on the jump host (default: the local user name)")
    parser.add_argument("--jump-key", help="a private key file for the jump host, instead of a password "
                        f"(its passphrase from ${JUMP_PASSPHRASE_ENV})")
    parser.add_argument("--jump-host-key", help="the jump host's expected key: a SHA256 fingerprint or a public key line")
    parser.add_argument("--size", type=parse_size, default=parse_size("8M"), help="bytes to transfer (e.g. 0, 4096, 64M; default 8M)")
    parser.add_argument("--atomic-upload", action="store_true",
                        help="upload under a temporary name, then move it into place (needs posix-rename on the server)")
    parser.add_argument("--retries", type=int, metavar="N",
                        help="a transfer whose connection drops reconnects up to N times and carries on")
    parser.add_argument("--resume", action="store_true",
                        help="an interrupted transfer keeps what it moved, and the next one continues from there")
    parser.add_argument("--flaky", action="store_true",
                        help="reach the embedded server through a relay that cuts every connection, so that each "
                             f"transfer is cut at least twice; sets \"resume\" and {FLAKY_RETRIES} retries "
                             "(unless --retries is given)")
    parser.add_argument("--no-progress", action="store_true", help="no progress bar, also on a terminal")
    parser.add_argument("--remote-dir", help="remote directory to create and remove (default: a new random name)")
    parser.add_argument("--traceback", action="store_true", help="show the full traceback of an error")
    return parser


def main(argv=None) -> int:
    args = build_parser().parse_args(argv)
    if args.host is None and (args.port is not None or args.user is not None):
        build_parser().error("--port and --user need --host")
    if args.host is None and args.host_key is not None:
        build_parser().error("--host-key needs --host (the embedded server's own key is pinned)")
    if args.host is None and (args.key is not None or args.known_hosts is not None):
        build_parser().error("--key and --known-hosts need --host")
    jump_options = (args.jump_host, args.jump_port, args.jump_user, args.jump_key, args.jump_host_key)
    if args.jump_host is None and any(option is not None for option in jump_options):
        build_parser().error("--jump-port, --jump-user, --jump-key and --jump-host-key need --jump-host")
    if args.jump_host is not None and args.host is None:
        build_parser().error("--jump-host needs --host")
    if args.via_jump and args.host is not None:
        build_parser().error("--via-jump uses the embedded servers; for a real jump host use --jump-host")
    if args.flaky and args.host is not None:
        build_parser().error("--flaky uses the embedded server (the relay reaches loopback servers only)")
    remote_dir = args.remote_dir or f"sftp_main_round_trip_{secrets.token_hex(4)}"

    server = None
    jump_server = None
    relay = None
    transcript = Transcript()
    try:
        if args.host is None:
            from embedded_sftp_server import EmbeddedSFTPServer

            password = secrets.token_urlsafe(18)
            server = EmbeddedSFTPServer({DEMO_USER: password}).start()
            config = {"host": server.host, "port": server.port, "user": DEMO_USER, "password": password}
            config["host_key"] = server.host_fingerprint
            target = f"{DEMO_USER}@{show_address(server.host, server.port)} (embedded asyncssh server, files under {server.root})"
            if args.flaky:
                relay = start_flaky_relay((server.host, server.port), args.size)
                config.update(host=relay.host, port=relay.port)
                target += (f" through a relay at {show_address(relay.host, relay.port)} that cuts every connection "
                           f"after {format_size(flaky_cut_after(args.size))}")
            if args.via_jump:
                jump_password = secrets.token_urlsafe(18)
                jump_server = EmbeddedSFTPServer({JUMP_USER: jump_password}, forwarding=True).start()
                config.update(ssh=True, ssh_host=jump_server.host, ssh_port=jump_server.port, ssh_user=JUMP_USER,
                              ssh_password=jump_password)
                target += f" through {JUMP_USER}@{show_address(jump_server.host, jump_server.port)} (embedded jump host)"
        else:
            user = args.user or getpass.getuser()
            if args.key is not None:
                # The password goes along only when one is set: the server
                # may want it after the key.
                config = {"host": args.host, "user": user, "key_file": args.key,
                          "key_passphrase": read_key_passphrase(args.key)}
                if os.environ.get(PASSWORD_ENV):
                    config["password"] = os.environ[PASSWORD_ENV]
            else:
                config = {"host": args.host, "user": user, "password": read_password()}
            if args.known_hosts is not None:
                config["known_hosts"] = args.known_hosts
            if args.port is not None:
                config["port"] = args.port
            if args.host_key is not None:
                config["host_key"] = args.host_key[0] if len(args.host_key) == 1 else args.host_key
            target = f"{user}@{show_address(args.host, args.port if args.port is not None else '22 (default)')}"
            if args.jump_host is not None:
                config.update(real_jump_config(args))
                target += f" through {config['ssh_user']}@{show_address(args.jump_host, args.jump_port or 22)}"
        if args.timeout is not None:
            config["timeout"] = args.timeout
        if args.atomic_upload:
            config["atomic_upload"] = True
        if args.retries is not None:
            config["retries"] = args.retries
        elif args.flaky:
            config["retries"] = FLAKY_RETRIES
        if args.resume or args.flaky:
            config["resume"] = True
        bar = None
        if sys.stderr.isatty() and not args.no_progress:
            bar = config["progress"] = TransferBar()
        show_transfer_failures()
        transcript.line(f"round trip of {format_size(args.size)} with {target}")
        if "host_key" in config:
            pins = config["host_key"] if isinstance(config["host_key"], list) else [config["host_key"]]
            transcript.line(f"    server key pinned: {', '.join(pins)}")
        with tempfile.TemporaryDirectory(prefix="sftp-main-round-trip-") as workdir:
            summary = round_trip(config, args.size, remote_dir, transcript, Path(workdir), bar)
        if relay is not None:
            for text in describe_relay(relay, args.size):
                transcript.line(text)
        if jump_server is not None:
            forwarded = ", ".join(show_address(host, port) for host, port in jump_server.forwarded_destinations)
            transcript.line(f"    the jump host forwarded direct-tcpip channels to: {forwarded or 'nothing'}")
        elapsed = time.perf_counter() - transcript.started
        transcript.line(f"PASS: round trip complete: {summary}, {format_seconds(elapsed)}")
        return 0
    except KeyboardInterrupt:
        transcript.line("FAIL: round trip interrupted")
        return 130
    except Exception as exc:
        if relay is not None:
            for text in describe_relay(relay, args.size):
                transcript.line(text)
        if args.traceback:
            print(traceback.format_exc(), file=sys.stderr, end="", flush=True)
        where = f"step {transcript.count} {transcript.current}: " if transcript.count else ""
        text = str(exc) or "(no message)"
        kind = "" if isinstance(exc, StepFailed) else f"{type(exc).__name__}: "
        print(f"round_trip: error: {where}{kind}{text}", file=sys.stderr, flush=True)
        transcript.line(f"FAIL: round trip failed after {transcript.count} steps")
        return 1
    finally:
        if relay is not None:
            relay.stop()
        for embedded in (jump_server, server):
            if embedded is not None:
                embedded.stop()


if __name__ == "__main__":
    sys.exit(main())
