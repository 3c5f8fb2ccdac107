"""The jump host's expected key: the forms a pin may take, and the check.

Part of the ``tavrel_ssh`` stand-in. A pin is a SHA256 fingerprint as
``ssh-keygen -lf`` prints it, a public key line (optionally after a host
name, as ``ssh-keyscan`` prints it), or a list or tuple of these, any one of
which may match. Every form is reduced to the fingerprint of the key blob,
so that a line and a fingerprint of the same key pin the same thing.
"""

from __future__ import annotations

import base64
import binascii
import hashlib
import struct

import paramiko

__all__ = ["ACCEPTED_FORMS", "HostKeyMismatch", "HostKeyPolicy", "PinnedKeys", "fingerprint_of", "pins_from_setting"]

ACCEPTED_FORMS = (
    'a SHA256 fingerprint ("SHA256:" and base64 without padding, as ssh-keygen -lf prints it), '
    'a public key line ("ssh-ed25519 AAAA... comment", optionally after a host name, as ssh-keyscan prints it), '
    "or a non-empty list or tuple of these"
)
_PREFIX = "SHA256:"
_DIGEST_TEXT_LENGTH = 43  # 32 bytes of base64 without its one "=" of padding


def fingerprint_of(blob: bytes) -> str:
    digest = base64.b64encode(hashlib.sha256(blob).digest()).decode("ascii")
    return _PREFIX + digest.rstrip("=")


class HostKeyMismatch(paramiko.BadHostKeyException):
    """The server showed a key that nothing accepts; names both fingerprints.

    Worded as sftp_main words a mismatch of "host_key" or "known_hosts", the
    jump host's ``host:port`` (or the name known_hosts lists it under) as
    ``hostname``. ``setting`` says what was compared: "ssh_host_key",
    "known_hosts '<file>'" or both. With ``revoked`` the key is one that
    known_hosts marks @revoked, and nothing was expected of it.
    """

    def __init__(
        self,
        hostname: str,
        got_key: paramiko.PKey,
        expected: tuple[str, ...],
        setting: str = "ssh_host_key",
        *,
        revoked: bool = False,
    ):
        paramiko.SSHException.__init__(self, hostname, got_key, expected)
        self.hostname = hostname
        self.key = got_key
        self.expected_key = None
        self.expected_fingerprints = expected
        self.received_fingerprint = fingerprint_of(got_key.asbytes())
        self.setting = setting
        self.revoked = revoked

    def __str__(self) -> str:
        got = f"got {self.received_fingerprint} ({self.key.get_name()})"
        if self.revoked:
            return f"Host key for jump host {self.hostname} is marked @revoked in {self.setting}: {got}; no credentials were sent"
        choice = "one of " if len(self.expected_fingerprints) > 1 else ""
        return (
            f"Host key for jump host {self.hostname} does not match {self.setting}: {got}, "
            f"expected {choice}{', '.join(self.expected_fingerprints)}; no credentials were sent"
        )


def _malformed(name: str, detail: str) -> ValueError:
    return ValueError(f"{name!r}: {detail}; accepted forms: {ACCEPTED_FORMS}")


def _strict_base64(text: str) -> bytes | None:
    """The bytes of ``text`` when it is base64 and nothing else, padding in its place."""
    try:
        return binascii.a2b_base64(text, strict_mode=True)
    except (binascii.Error, ValueError):
        return None


def _blob_of_line(type_text: str, data_text: str) -> bytes | None:
    """The key blob when ``data_text`` is base64 of a key of type ``type_text``."""
    blob = _strict_base64(data_text)
    if blob is None or len(blob) < 4:
        return None
    (length,) = struct.unpack(">I", blob[:4])
    if length != len(type_text.encode("utf-8")) or blob[4 : 4 + length] != type_text.encode("utf-8"):
        return None
    return blob


def _fingerprint_of_pin(name: str, text) -> tuple[str, str | None]:
    """The pin's fingerprint, and its key type when it is a key line."""
    if not isinstance(text, str):
        raise _malformed(name, f"{type(text).__name__} is not a text")
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        raise _malformed(name, "not a text of Unicode characters throughout") from None
    tokens = text.split()
    if len(tokens) == 1:
        # Spare bits that are not zero would make a fingerprint no key ever
        # has: only the form ssh-keygen prints is taken.
        given = tokens[0]
        digest = _strict_base64(given[len(_PREFIX) :] + "=") if given.startswith(_PREFIX) else None
        if digest is None or len(given) != len(_PREFIX) + _DIGEST_TEXT_LENGTH or len(digest) != 32:
            raise _malformed(name, "not a SHA256 fingerprint")
        if _PREFIX + base64.b64encode(digest).decode("ascii").rstrip("=") != given:
            raise _malformed(name, "not a SHA256 fingerprint")
        return given, None
    # "type base64 [comment]", or "host type base64" as ssh-keyscan prints it.
    for start in (0, 1):
        if len(tokens) >= start + 2:
            blob = _blob_of_line(tokens[start], tokens[start + 1])
            if blob is not None:
                return fingerprint_of(blob), tokens[start]
    raise _malformed(name, "neither a fingerprint nor a public key line")


class PinnedKeys:
    """The keys that one configuration name accepts, checked as the server shows its key."""

    __slots__ = ("name", "fingerprints", "key_types")

    def __init__(self, name: str, value):
        items = value if isinstance(value, (list, tuple)) else [value]
        if not items:
            raise _malformed(name, "an empty list")
        pins = [_fingerprint_of_pin(name, item) for item in items]
        self.name = name
        self.fingerprints = tuple(dict.fromkeys(fingerprint for fingerprint, _ in pins))
        self.key_types = tuple(dict.fromkeys(key_type for _, key_type in pins if key_type is not None))

    def accepts(self, key: paramiko.PKey) -> bool:
        return fingerprint_of(key.asbytes()) in self.fingerprints

    def check(self, hostname: str, key: paramiko.PKey) -> None:
        if not self.accepts(key):
            raise HostKeyMismatch(hostname, key, self.fingerprints, self.name)


def pins_from_setting(name: str, value) -> PinnedKeys | None:
    """The pins of one configuration value, or None when it pins nothing.

    Only None, False and the empty text leave the check off. Any other value
    must pin at least one key: an empty list, say one filtered from a file
    that came out empty, is malformed rather than "no check".
    """
    if value is None or value is False or (isinstance(value, str) and not value):
        return None
    return PinnedKeys(name, value)


class HostKeyPolicy(paramiko.MissingHostKeyPolicy):
    """The jump host's key check: pins, known_hosts, or neither; stores nothing.

    The client holds no host keys of its own, so it asks this policy after
    the key exchange and before authenticating. The rules are sftp_main's
    for "host_key" and "known_hosts": a key that known_hosts marks @revoked
    is refused even when pinned; else a key that a pin or the file lists
    (under ``listed_name``) is accepted; a mismatch names every key that
    would have been; a host the file does not list, with no pins, is
    refused with how to add it. Without either, any key is accepted.
    """

    def __init__(self, hostname: str, pins: PinnedKeys | None, known_hosts=None, listed_name: str | None = None):
        self._hostname = hostname
        self._pins = pins
        self._known_hosts = known_hosts
        self._listed_name = listed_name

    def key_types(self) -> tuple[str, ...]:
        """The key types pinned or listed for the server, so that it is asked to show one of those."""
        types = list(self._pins.key_types if self._pins is not None else ())
        if self._known_hosts is not None:
            types.extend(key.get_name() for key in self._known_hosts.keys_for(self._listed_name))
        return tuple(dict.fromkeys(types))

    def missing_host_key(self, client, hostname, key) -> None:
        pins, known_hosts = self._pins, self._known_hosts
        if known_hosts is None:
            if pins is not None:
                pins.check(self._hostname, key)
            return
        name = self._listed_name
        known_hosts.refuse_revoked(name, key)
        if pins is not None and pins.accepts(key):
            return
        listed = known_hosts.keys_for(name)
        if any(known.asbytes() == key.asbytes() for known in listed):
            return
        expected = (*(pins.fingerprints if pins is not None else ()), *(fingerprint_of(k.asbytes()) for k in listed))
        expected = tuple(dict.fromkeys(expected))
        if not expected:
            known_hosts.refuse_unlisted(name, key)
        setting = f"{pins.name} or {known_hosts.setting}" if pins is not None else known_hosts.setting
        raise HostKeyMismatch(name, key, expected, setting)
