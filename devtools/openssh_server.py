"""A throwaway OpenSSH server on loopback, for the checks that matter most.

It runs the system's own ``sshd`` (Debian's openssh-server) with a config
file of its own on a free loopback port: a host key made for the run, a
local account of its own with a random password (so that servers of two
test runs on one machine never share one), SFTP through ``internal-sftp``
started in a temporary directory the account owns, and TCP forwarding on,
so that it can serve as a jump host as well. Everything it writes lives in
its temporary directory; ``stop()`` removes it and the account. An account
left by a run that was killed is removed by the next server to start.

    with OpenSSHServer() as server:
        ...  # server.host, server.port, server.user, server.password
        server.log_text()   # what sshd logged (LogLevel DEBUG1)

It needs root and ``/usr/sbin/sshd``; ``unavailable_reason()`` says why it
cannot run here, for tests to skip on.
"""

from __future__ import annotations

import os
import pwd
import secrets
import shutil
import signal
import socket
import subprocess
import tempfile
import time
from pathlib import Path

__all__ = ["OpenSSHServer", "unavailable_reason"]

SSHD = "/usr/sbin/sshd"
# Accounts are "sftpmt-<pid>-<random>": the pid of the process that made
# it, so that one whose process is gone can be recognised and removed.
ACCOUNT_PREFIX = "sftpmt-"
_START_TIMEOUT = 15.0


def unavailable_reason() -> str | None:
    """None when a throwaway sshd can run here, else why not."""
    if not Path(SSHD).exists():
        return f"{SSHD} is missing (apt-get install openssh-server)"
    if os.geteuid() != 0:
        return "sshd with password logins needs root"
    for tool in ("ssh-keygen", "useradd", "userdel", "chpasswd"):
        if shutil.which(tool) is None:
            return f"{tool} is missing"
    return None


def _free_port(host: str) -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind((host, 0))
        return probe.getsockname()[1]


def _remove_stale_accounts() -> None:
    for entry in pwd.getpwall():
        name = entry.pw_name
        if not name.startswith(ACCOUNT_PREFIX):
            continue
        owner = name[len(ACCOUNT_PREFIX):].split("-", 1)[0]
        if not owner.isdigit():
            continue
        try:
            os.kill(int(owner), 0)
        except ProcessLookupError:
            subprocess.run(["userdel", "--force", name], capture_output=True)
        except PermissionError:
            pass


def _create_account(password: str) -> pwd.struct_passwd:
    _remove_stale_accounts()
    name = f"{ACCOUNT_PREFIX}{os.getpid()}-{secrets.token_hex(4)}"
    subprocess.run(
        ["useradd", "--system", "--no-create-home", "--home-dir", "/nonexistent", "--shell", "/bin/sh", name],
        check=True,
        capture_output=True,
    )
    subprocess.run(["chpasswd"], input=f"{name}:{password}\n", text=True, check=True, capture_output=True)
    return pwd.getpwnam(name)


def _descendants(root: int) -> list[int]:
    children: dict[int, list[int]] = {}
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            # "pid (comm) state ppid ...": comm may hold spaces, so split after it.
            parent = int((entry / "stat").read_text().rpartition(")")[2].split()[1])
        except (OSError, ValueError, IndexError):
            continue
        children.setdefault(parent, []).append(int(entry.name))
    found, pending = [], [root]
    while pending:
        for child in children.get(pending.pop(), []):
            found.append(child)
            pending.append(child)
    return found


class OpenSSHServer:
    """The system's sshd on 127.0.0.1 and a free port, for one test run.

    ``authorized_key`` (OpenSSH public key lines) also lets the account
    log in with those keys. ``authentication_methods`` is sshd's
    AuthenticationMethods ("publickey,password": a key and then the
    password). ``log_level`` is sshd's LogLevel.
    """

    def __init__(
        self,
        *,
        authorized_key: str | None = None,
        authentication_methods: str | None = None,
        log_level: str = "DEBUG1",
    ):
        self.host = "127.0.0.1"
        self.port: int | None = None
        self.user: str | None = None
        self.password = secrets.token_urlsafe(15)
        self.root: Path | None = None
        self.host_key_path: Path | None = None
        self._authorized_key = authorized_key
        self._authentication_methods = authentication_methods
        self._log_level = log_level
        self._tmp: tempfile.TemporaryDirectory | None = None
        self._process: subprocess.Popen | None = None
        self._log_path: Path | None = None

    def start(self) -> OpenSSHServer:
        reason = unavailable_reason()
        if reason:
            raise RuntimeError(f"cannot start sshd: {reason}")
        account = _create_account(self.password)
        self.user = account.pw_name
        self._tmp = tempfile.TemporaryDirectory(prefix="sftp-main-sshd-")
        base = Path(self._tmp.name)
        os.chmod(base, 0o755)
        self.root = base / "files"
        self.root.mkdir()
        os.chown(self.root, account.pw_uid, account.pw_gid)
        Path("/run/sshd").mkdir(mode=0o755, exist_ok=True)

        self.host_key_path = base / "host_ed25519"
        subprocess.run(
            ["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", str(self.host_key_path)], check=True, capture_output=True
        )
        keys_file = base / "authorized_keys"
        keys_file.write_text((self._authorized_key or "") + "\n")
        os.chmod(keys_file, 0o644)
        self._log_path = base / "sshd.log"
        self.port = _free_port(self.host)
        config = base / "sshd_config"
        config.write_text(
            "\n".join(
                [
                    f"ListenAddress {self.host}:{self.port}",
                    f"HostKey {self.host_key_path}",
                    f"PidFile {base / 'sshd.pid'}",
                    f"AuthorizedKeysFile {keys_file}",
                    f"AllowUsers {self.user}",
                    "PasswordAuthentication yes",
                    "PubkeyAuthentication yes",
                    "KbdInteractiveAuthentication no",
                    "UsePAM no",
                    "PermitRootLogin no",
                    "StrictModes no",
                    "AllowTcpForwarding yes",
                    "X11Forwarding no",
                    "MaxAuthTries 20",
                    "MaxStartups 50",
                    f"LogLevel {self._log_level}",
                    *([f"AuthenticationMethods {self._authentication_methods}"] if self._authentication_methods else []),
                    f"Subsystem sftp internal-sftp -d {self.root}",
                    f"ForceCommand internal-sftp -d {self.root}",
                    "",
                ]
            )
        )
        self._process = subprocess.Popen(
            [SSHD, "-D", "-f", str(config), "-E", str(self._log_path)],
            stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
        )
        deadline = time.monotonic() + _START_TIMEOUT
        while True:
            if self._process.poll() is not None:
                log = self.log_text()
                self.stop()
                raise RuntimeError(f"sshd exited at start: {log.strip()[-2000:]}")
            try:
                with socket.create_connection((self.host, self.port), timeout=1):
                    break
            except OSError:
                if time.monotonic() > deadline:
                    self.stop()
                    raise RuntimeError("sshd did not start listening in time") from None
                time.sleep(0.05)
        return self

    def stop(self) -> None:
        if self._process is not None:
            # Sessions outlive the listener (a stopped one forever): end them too.
            sessions = _descendants(self._process.pid)
            self._process.terminate()
            for pid in sessions:
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
            try:
                self._process.wait(10)
            except subprocess.TimeoutExpired:
                self._process.kill()
                self._process.wait(10)
            self._process = None
        if self._tmp is not None:
            self._tmp.cleanup()
            self._tmp = None
        if self.user is not None:
            subprocess.run(["userdel", "--force", self.user], capture_output=True)
            self.user = None

    def host_public_key(self) -> str:
        """The host key as its .pub line ("ssh-ed25519 AAAA… comment")."""
        return Path(f"{self.host_key_path}.pub").read_text().strip()

    def host_fingerprint(self) -> str:
        """"SHA256:…", as ``ssh-keygen -lf`` prints it."""
        out = subprocess.run(
            ["ssh-keygen", "-lf", f"{self.host_key_path}.pub"], check=True, capture_output=True, text=True
        ).stdout
        return out.split()[1]

    @property
    def pid(self) -> int | None:
        """The listening sshd's process id; each login runs in processes below it."""
        return None if self._process is None else self._process.pid

    def log_text(self) -> str:
        if self._log_path is None or not self._log_path.exists():
            return ""
        return self._log_path.read_text(errors="replace")

    def __enter__(self) -> OpenSSHServer:
        return self.start()

    def __exit__(self, *exc_info) -> None:
        self.stop()
