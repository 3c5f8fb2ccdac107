"""The caller's OpenSSH known_hosts file ("known_hosts"), for the jump host.

Part of the ``tavrel_ssh`` stand-in. Each line is read by paramiko's own
``HostKeyEntry`` into a paramiko ``HostKeys`` of its own, which matches
plain and hashed names as ``HostKeys.load`` does, and the file is never
written. One ``HostKeys`` for the whole file would keep one key of each
type for a name, and refuse a host listed twice (a rotated key, a plain and
a hashed line) its other key: every listed key is compared. ``HostKeys``
cannot read marker lines, so they are sorted out first: the keys marked
``@revoked`` are gathered apart and refused wherever else they are listed.
The target behind the tunnel is checked by ``sftp_main`` itself, under the
name ``listed_name`` gives it here.
"""

from __future__ import annotations

import shlex

import paramiko
from paramiko.hostkeys import HostKeyEntry, InvalidHostKey

from _tavrel_host_key import HostKeyMismatch, fingerprint_of

__all__ = ["KnownHosts", "listed_name"]

_DEFAULT_PORT = 22


def listed_name(host: str, port: int) -> str:
    """What OpenSSH lists a server under: the host on port 22, "[host]:port" on another."""
    return host if port == _DEFAULT_PORT else f"[{host}]:{port}"


def _read(path: str) -> tuple[list[paramiko.HostKeys], frozenset[bytes]]:
    """The file's host keys, one HostKeys per line, and the blobs of the keys it marks @revoked."""
    lines = []
    revoked = set()
    with open(path, "rb") as file:
        text = file.read().decode("utf-8", "replace")
    for line in text.splitlines():
        fields = line.split()
        if not fields or fields[0].startswith("#"):
            continue
        marked_revoked = fields[0] == "@revoked"
        if fields[0].startswith("@"):
            if not marked_revoked:
                continue  # @cert-authority: paramiko checks no host certificates
            fields = fields[1:]
        try:
            entry = HostKeyEntry.from_line(" ".join(fields))
        except (InvalidHostKey, paramiko.SSHException):
            continue
        if entry is None:
            continue
        if marked_revoked:
            revoked.add(entry.key.asbytes())
            continue
        line_keys = paramiko.HostKeys()
        for name in entry.hostnames:
            line_keys.add(name, entry.key.get_name(), entry.key)
        lines.append(line_keys)
    return lines, frozenset(revoked)


class KnownHosts:
    """One known_hosts file, read once; errors name "known_hosts"."""

    def __init__(self, path):
        try:
            self.path = str(_fspath(path))
            self._lines, self._revoked = _read(self.path)
        except (OSError, UnicodeError, ValueError, TypeError, paramiko.SSHException) as error:
            raise ValueError(f"'known_hosts' {path!r} cannot be read as a known_hosts file") from error

    @property
    def setting(self) -> str:
        return f"known_hosts {self.path!r}"

    def keys_for(self, name: str) -> list[paramiko.PKey]:
        """Every key the file lists under ``name``, in the file's order."""
        keys = []
        for line_keys in self._lines:
            listed = line_keys.lookup(name)
            if listed is not None:
                keys.extend(listed[key_type] for key_type in listed.keys())
        return keys

    def refuse_revoked(self, name: str, key: paramiko.PKey) -> None:
        if key.asbytes() in self._revoked:
            raise HostKeyMismatch(name, key, (), self.setting, revoked=True)

    def lists(self, name: str, key: paramiko.PKey) -> bool:
        blob = key.asbytes()
        return any(known.asbytes() == blob for known in self.keys_for(name))

    def refuse_unlisted(self, name: str, key: paramiko.PKey) -> None:
        host, _, port = name.removeprefix("[").partition("]:")
        host, port = shlex.quote(host), shlex.quote(port or str(_DEFAULT_PORT))
        raise paramiko.SSHException(
            f"Server {name} is not listed in known_hosts {self.path!r}, so its key {fingerprint_of(key.asbytes())} "
            f"({key.get_name()}) cannot be checked; no credentials were sent. To add it, compare the "
            f"fingerprints from `ssh-keyscan -p {port} {host} | ssh-keygen -lf -` with ones from a source you "
            f"trust, then run: ssh-keyscan -p {port} {host} >> {shlex.quote(self.path)}"
        )

    def check(self, name: str, key: paramiko.PKey) -> None:
        """Returns when the file lists ``key`` for ``name``; raises otherwise."""
        self.refuse_revoked(name, key)
        listed = self.keys_for(name)
        if not listed:
            self.refuse_unlisted(name, key)
        if not self.lists(name, key):
            expected = tuple(dict.fromkeys(fingerprint_of(known.asbytes()) for known in listed))
            raise HostKeyMismatch(name, key, expected, self.setting)


def _fspath(path):
    import os

    path = os.fspath(path)
    return os.fsdecode(path) if isinstance(path, bytes) else path
