"""One table of host-key cases: the pins and known_hosts rules, for sftp_main and the stand-ins alike.

sftp_main checks the target's key ("host_key", "known_hosts"); the tavrel_ssh
stand-in checks the jump host's ("ssh_host_key", "known_hosts") by the same
rules, in its own pure Python. Each case runs on both against one real
server, so a rule changed in one of them and not the other fails.

A case gives the pins (the value of "host_key" / "ssh_host_key"; NO_PINS
leaves the name out) and the known_hosts lines (NO_FILE: no "known_hosts";
MISSING_FILE: a path where nothing is), written with these fields:

    {name}        what the file lists the server under: "[127.0.0.1]:port"
    {hashed}      that name hashed, as ssh-keyscan -H writes it
    {host}        the bare address, without the port
    {other_port}  the name for the next port up
    {server} {server_rsa} {other} {other2}
                  key lines "type base64": the server's ed25519 and RSA
                  keys, and two ed25519 keys that are not the server's
    {server_b64}  the base64 of the server's ed25519 key alone
    {..._fp}      the SHA256 fingerprint of any of those keys
    {server_fp_spare}  the server's fingerprint with its spare bits set

``expect`` is one of the outcomes below; a refusal of a key names the
server's fingerprint and every one of ``named`` (once, when only the file
lists them).
"""

from __future__ import annotations

from dataclasses import dataclass

ACCEPT = "accepted"
MISMATCH = "refused: another key is expected"
REVOKED = "refused: the key is marked @revoked"
UNLISTED = "refused: the server is not listed"
MALFORMED = "malformed value, nothing connects"

NO_PINS = object()
NO_FILE = None
MISSING_FILE = "missing file"


@dataclass(frozen=True)
class Case:
    id: str
    expect: str
    pins: object = NO_PINS
    lines: tuple[str, ...] | str | None = NO_FILE
    named: tuple[str, ...] = ()


CASES = [
    # -- pins alone ------------------------------------------------------
    Case("pin: fingerprint", ACCEPT, pins="{server_fp}"),
    Case("pin: key line", ACCEPT, pins="{server}"),
    Case("pin: key line with a comment", ACCEPT, pins="{server} admin@files"),
    Case("pin: line as ssh-keyscan prints it", ACCEPT, pins="{name} {server}"),
    Case("pin: list, one matches", ACCEPT, pins=["{other_fp}", "{server}"]),
    Case("pin: tuple, one matches", ACCEPT, pins=("{other}", "{server_fp}")),
    Case("pin: the server's RSA key is asked for", ACCEPT, pins="{server_rsa}"),
    Case("pin: another fingerprint", MISMATCH, pins="{other_fp}", named=("{other_fp}",)),
    Case("pin: list, none matches", MISMATCH, pins=["{other_fp}", "{other2}"], named=("{other_fp}", "{other2_fp}")),
    Case("pin: the same other key twice", MISMATCH, pins=["{other_fp}", "{other}"], named=("{other_fp}",)),
    Case("pin: empty text is no pin", ACCEPT, pins=""),
    Case("pin: False is no pin", ACCEPT, pins=False),
    Case("pin: None is no pin", ACCEPT, pins=None),
    Case("pin: empty list", MALFORMED, pins=[]),
    Case("pin: empty tuple", MALFORMED, pins=()),
    Case("pin: zero", MALFORMED, pins=0),
    Case("pin: list holding an empty text", MALFORMED, pins=[""]),
    Case("pin: list holding a number", MALFORMED, pins=["{server}", 7]),
    Case("pin: short fingerprint", MALFORMED, pins="SHA256:short"),
    Case("pin: MD5 fingerprint", MALFORMED, pins="MD5:" + "a" * 43),
    Case("pin: fingerprint with spare bits set", MALFORMED, pins="{server_fp_spare}"),
    Case("pin: fingerprint and more", MALFORMED, pins="{server_fp} trailing"),
    Case("pin: line of another type than its key", MALFORMED, pins="ssh-rsa {server_b64}"),
    Case("pin: line that is not base64", MALFORMED, pins="ssh-ed25519 not-base64!"),
    Case("pin: line with excess padding", MALFORMED, pins="ssh-ed25519 {server_b64}="),
    Case("pin: line after a name that is not text throughout", MALFORMED, pins="files\udc80 {server}"),
    # -- known_hosts alone -------------------------------------------------
    Case("known_hosts: plain entry", ACCEPT, lines=("{name} {server}",)),
    Case("known_hosts: hashed entry", ACCEPT, lines=("{hashed} {server}",)),
    Case("known_hosts: one of several names on the line", ACCEPT, lines=("files.example,{name} {server}",)),
    Case("known_hosts: comments, blanks and an unreadable line pass", ACCEPT,
         lines=("# keys", "", "not a host line", "{name} {server}")),
    Case("known_hosts: tabs and runs of blanks", ACCEPT, lines=("{name}\t  {server}",)),
    Case("known_hosts: CRLF line ends", ACCEPT, lines=("{name} {server}\r",)),
    Case("known_hosts: the server's RSA key alone is asked for", ACCEPT, lines=("{name} {server_rsa}",)),
    Case("known_hosts: empty file", UNLISTED, lines=()),
    Case("known_hosts: listed for another port", UNLISTED, lines=("{other_port} {server}",)),
    Case("known_hosts: the bare host does not list another port", UNLISTED, lines=("{host} {server}",)),
    Case("known_hosts: a pattern is not expanded", UNLISTED, lines=("* {server}",)),
    Case("known_hosts: @cert-authority lists no key", UNLISTED, lines=("@cert-authority {name} {server}",)),
    Case("known_hosts: @cert-authority beside a listed key", ACCEPT,
         lines=("@cert-authority {name} {other}", "{name} {server}")),
    Case("known_hosts: wrong key", MISMATCH, lines=("{name} {other}",), named=("{other_fp}",)),
    Case("known_hosts: rotated key, the new one second", ACCEPT, lines=("{name} {other}", "{name} {server}")),
    Case("known_hosts: rotated key, the new one first", ACCEPT, lines=("{name} {server}", "{name} {other}")),
    Case("known_hosts: plain entry wrong, hashed right", ACCEPT, lines=("{name} {other}", "{hashed} {server}")),
    Case("known_hosts: hashed entry wrong, plain right", ACCEPT, lines=("{hashed} {other}", "{name} {server}")),
    Case("known_hosts: plain and hashed entries both wrong", MISMATCH, lines=("{name} {other}", "{hashed} {other2}"),
         named=("{other_fp}", "{other2_fp}")),
    Case("known_hosts: one wrong key on two lines", MISMATCH, lines=("{name} {other}", "{hashed} {other}"),
         named=("{other_fp}",)),
    # The server shows the ed25519 key that it has: a listed RSA key does
    # not make a wrong ed25519 one right.
    Case("known_hosts: wrong key of the type shown, right key of another", MISMATCH,
         lines=("{name} {other}", "{name} {server_rsa}"), named=("{other_fp}", "{server_rsa_fp}")),
    Case("known_hosts: @revoked on the second line", REVOKED, lines=("{name} {server}", "@revoked {name} {server}")),
    Case("known_hosts: @revoked on the first line, hashed", REVOKED,
         lines=("@revoked {hashed} {server}", "{name} {server}")),
    Case("known_hosts: @revoked for any host", REVOKED, lines=("{name} {server}", "@revoked * {server}")),
    Case("known_hosts: @revoked alone", REVOKED, lines=("@revoked {name} {server}",)),
    Case("known_hosts: another key @revoked", ACCEPT, lines=("@revoked {name} {other}", "{name} {server}")),
    Case("known_hosts: the file cannot be read", MALFORMED, lines=MISSING_FILE),
    # -- both ----------------------------------------------------------------
    Case("both: the pin matches, the file lists another key", ACCEPT, pins="{server_fp}", lines=("{name} {other}",)),
    Case("both: the file lists the key, the pin is another", ACCEPT, pins="{other_fp}", lines=("{name} {server}",)),
    Case("both: a pin does not lift @revoked", REVOKED, pins="{server}", lines=("@revoked {name} {server}",)),
    Case("both: a pin and an empty file, neither matching", MISMATCH, pins="{other_fp}", lines=(),
         named=("{other_fp}",)),
    Case("both: neither matching", MISMATCH, pins="{other_fp}", lines=("{hashed} {other2}",),
         named=("{other_fp}", "{other2_fp}")),
    Case("both: an empty pin list is still malformed", MALFORMED, pins=[], lines=("{name} {server}",)),
]
