"""The caller's OpenSSH known_hosts file ("known_hosts"), for the jump host.

Part of the ``tavrel_ssh`` stand-in. Each line is read by paramiko's own
``HostKeyEntry`` into a paramiko ``HostKeys``, as ``HostKeys.load`` does,
and the file is never written. ``HostKeys.load`` cannot read marker lines,
so they are sorted out first: the keys marked ``@revoked`` are gathered
apart and refused wherever else they are listed. The target behind the tunnel is checked by ``sftp_main`` itself,
under the name ``listed_name`` gives it here.
"""

from __future__ import annotations

import shlex

import paramiko
from paramiko.hostkeys import HostKeyEntry, InvalidHostKey

from _tavrel_host_key import HostKeyMismatch, fingerprint_of

__all__ = ["KnownHosts", "KnownHostsPolicy", "listed_name"]

_DEFAULT_PORT = 22


def listed_name(host: str, port: int) -> str:
    """What OpenSSH lists a server under: the host on port 22, "[host]:port" on another."""
    return host if port == _DEFAULT_PORT else f"[{host}]:{port}"


def _read(path: str) -> tuple[paramiko.HostKeys, frozenset[bytes]]:
    """The file's host keys, and the blobs of the keys it marks @revoked."""
    host_keys = paramiko.HostKeys()
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
        for name in entry.hostnames:
            host_keys.add(name, entry.key.get_name(), entry.key)
    return host_keys, frozenset(revoked)


class KnownHosts:
    """One known_hosts file, read once; errors name "known_hosts"."""

    def __init__(self, path):
        try:
            self.path = str(_fspath(path))
            self._host_keys, self._revoked = _read(self.path)
        except (OSError, UnicodeError, ValueError, TypeError, paramiko.SSHException) as error:
            raise ValueError(f"'known_hosts' {path!r} cannot be read as a known_hosts file") from error

    def check(self, name: str, key: paramiko.PKey) -> None:
        """Returns when the file lists ``key`` for ``name``; raises otherwise."""
        blob = key.asbytes()
        if blob in self._revoked:
            raise HostKeyMismatch(name, key, ("(none: the key is marked @revoked in known_hosts)",))
        listed = self._host_keys.lookup(name)
        if listed is None:
            host, _, port = name.removeprefix("[").partition("]:")
            host, port = shlex.quote(host), shlex.quote(port or str(_DEFAULT_PORT))
            raise paramiko.SSHException(
                f"Server {name} is not listed in known_hosts {self.path!r}, so its key {fingerprint_of(blob)} "
                f"({key.get_name()}) cannot be checked; no credentials were sent. To add it, compare the "
                f"fingerprints from `ssh-keyscan -p {port} {host} | ssh-keygen -lf -` with ones from a source you "
                f"trust, then run: ssh-keyscan -p {port} {host} >> {shlex.quote(self.path)}"
            )
        keys = [listed[key_type] for key_type in listed.keys()]
        if not any(known.asbytes() == blob for known in keys):
            raise HostKeyMismatch(name, key, tuple(fingerprint_of(known.asbytes()) for known in keys))


def _fspath(path):
    import os

    path = os.fspath(path)
    return os.fsdecode(path) if isinstance(path, bytes) else path


class KnownHostsPolicy(paramiko.MissingHostKeyPolicy):
    """Checks the jump host's key against known_hosts under ``name``; stores nothing.

    The client holds no host keys of its own, so it asks this policy after
    the key exchange and before authenticating.
    """

    def __init__(self, known_hosts: KnownHosts, name: str):
        self._known_hosts = known_hosts
        self._name = name

    def missing_host_key(self, client, hostname, key) -> None:
        self._known_hosts.check(self._name, key)
