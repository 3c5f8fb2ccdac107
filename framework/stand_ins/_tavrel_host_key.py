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

__all__ = ["ACCEPTED_FORMS", "HostKeyMismatch", "PinPolicy", "PinnedKeys", "fingerprint_of", "pins_from_setting"]

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
    """The server showed a key that no pin accepts; names both fingerprints."""

    def __init__(self, hostname: str, got_key: paramiko.PKey, expected: tuple[str, ...]):
        paramiko.SSHException.__init__(self, hostname, got_key, expected)
        self.hostname = hostname
        self.key = got_key
        self.expected_key = None
        self.expected_fingerprints = expected
        self.received_fingerprint = fingerprint_of(got_key.asbytes())

    def __str__(self) -> str:
        return (
            f"host key for server {self.hostname!r} does not match: "
            f"received {self.received_fingerprint}, expected {' or '.join(self.expected_fingerprints)}"
        )


def _malformed(name: str, detail: str) -> ValueError:
    return ValueError(f"{name!r}: {detail}; accepted forms: {ACCEPTED_FORMS}")


def _blob_of_line(type_text: str, data_text: str) -> bytes | None:
    """The key blob when ``data_text`` is base64 of a key of type ``type_text``."""
    try:
        blob = base64.b64decode(data_text, validate=True)
    except (binascii.Error, ValueError):
        return None
    if len(blob) < 4:
        return None
    (length,) = struct.unpack(">I", blob[:4])
    if blob[4 : 4 + length] != type_text.encode("ascii", "replace") or len(blob) <= 4 + length:
        return None
    return blob


def _fingerprint_of_pin(name: str, text) -> str:
    if not isinstance(text, str):
        raise _malformed(name, f"{type(text).__name__} is not a text")
    stripped = text.strip()
    if stripped.startswith(_PREFIX):
        digest = stripped[len(_PREFIX) :]
        try:
            valid = len(digest) == _DIGEST_TEXT_LENGTH and len(base64.b64decode(digest + "=", validate=True)) == 32
        except (binascii.Error, ValueError):
            valid = False
        if not valid:
            raise _malformed(name, "not a SHA256 fingerprint")
        return stripped
    tokens = stripped.split()
    # "type base64 [comment]", or "host type base64" as ssh-keyscan prints it.
    for start in (0, 1):
        if len(tokens) >= start + 2:
            blob = _blob_of_line(tokens[start], tokens[start + 1])
            if blob is not None:
                return fingerprint_of(blob)
    raise _malformed(name, "neither a fingerprint nor a public key line")


class PinnedKeys:
    """The keys that one configuration name accepts, checked as the server shows its key."""

    __slots__ = ("name", "fingerprints")

    def __init__(self, name: str, value):
        items = value if isinstance(value, (list, tuple)) else [value]
        if not items:
            raise _malformed(name, "an empty list")
        self.name = name
        self.fingerprints = tuple(dict.fromkeys(_fingerprint_of_pin(name, item) for item in items))

    def check(self, hostname: str, key: paramiko.PKey) -> None:
        if fingerprint_of(key.asbytes()) not in self.fingerprints:
            raise HostKeyMismatch(hostname, key, self.fingerprints)


def pins_from_setting(name: str, value) -> PinnedKeys | None:
    """The pins of one configuration value, or None when it pins nothing.

    Only None, False and the empty text leave the check off. Any other value
    must pin at least one key: an empty list, say one filtered from a file
    that came out empty, is malformed rather than "no check".
    """
    if value is None or value is False or (isinstance(value, str) and not value):
        return None
    return PinnedKeys(name, value)


class PinPolicy(paramiko.MissingHostKeyPolicy):
    """Accepts the server's key when a pin matches it, or any key without pins; stores nothing.

    The client asks it after the key exchange and before authenticating.
    """

    def __init__(self, hostname: str, pins: PinnedKeys | None):
        self._hostname = hostname
        self._pins = pins

    def missing_host_key(self, client, hostname, key) -> None:
        if self._pins is not None:
            self._pins.check(self._hostname, key)
