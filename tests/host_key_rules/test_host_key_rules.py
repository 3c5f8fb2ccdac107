"""Every case of host_key_cases, on sftp_main's target check and on the stand-in's jump host check."""

import base64
import gc
import hashlib
import sys
from pathlib import Path

import paramiko
import pytest
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import ed25519
from paramiko.hostkeys import HostKeys

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "devtools"))

from embedded_sftp_server import EmbeddedSFTPServer  # noqa: E402
from host_key_cases import (  # noqa: E402
    ACCEPT, CASES, MALFORMED, MISMATCH, MISSING_FILE, NO_FILE, NO_PINS, REVOKED, UNLISTED, Case,
)

import sftp_main  # noqa: E402
from tavrel_ssh import TavrelSSH  # noqa: E402

USER, PASSWORD = "tester", "s3cret-Pässwort"


def fingerprint(line):
    blob = base64.b64decode(line.split()[1])
    return "SHA256:" + base64.b64encode(hashlib.sha256(blob).digest()).decode().rstrip("=")


def fresh_key_line():
    public = ed25519.Ed25519PrivateKey.generate().public_key()
    return public.public_bytes(serialization.Encoding.OpenSSH, serialization.PublicFormat.OpenSSH).decode()


@pytest.fixture(scope="module")
def server():
    # One server is the module's target and the stand-in's jump host (it
    # forwards to itself): both see the same keys under the same name.
    with EmbeddedSFTPServer({USER: PASSWORD}, forwarding=True, extra_host_key_types=("ssh-rsa",)) as started:
        yield started


@pytest.fixture(scope="module")
def fields(server):
    ed25519_line, rsa_line = server.host_public_keys
    keys = {"server": ed25519_line, "server_rsa": rsa_line, "other": fresh_key_line(), "other2": fresh_key_line()}
    name = f"[{server.host}]:{server.port}"
    found = {**keys, "name": name, "host": server.host, "other_port": f"[{server.host}]:{server.port + 1}",
             "server_b64": ed25519_line.split()[1]}
    found.update({f"{key}_fp": fingerprint(line) for key, line in keys.items()})
    # 43 digits carry 258 bits: the last one holds two bits that no digest has.
    digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"
    last = found["server_fp"][-1]
    found["server_fp_spare"] = found["server_fp"][:-1] + digits[digits.index(last) | 1]
    return found


def rendered(value, fields):
    if isinstance(value, str):
        return value.format(**fields, hashed=HostKeys.hash_host(fields["name"]))
    if isinstance(value, (list, tuple)):
        return type(value)(rendered(item, fields) for item in value)
    return value


def options(case, fields, tmp_path, pin_name):
    given = {}
    if case.pins is not NO_PINS:
        given[pin_name] = rendered(case.pins, fields)
    if case.lines == MISSING_FILE:
        given["known_hosts"] = str(tmp_path / "absent")
    elif case.lines is not NO_FILE:
        path = tmp_path / "known_hosts"
        path.write_bytes("".join(rendered(line, fields) + "\n" for line in case.lines).encode("utf-8"))
        given["known_hosts"] = str(path)
    return given


def outcome(attempt):
    """What ``attempt`` came to, and the text of its refusal."""
    try:
        attempt()
    except paramiko.BadHostKeyException as error:
        return (REVOKED if "@revoked" in str(error) else MISMATCH), str(error)
    except ValueError as error:
        return MALFORMED, str(error)
    except paramiko.SSHException as error:
        if "is not listed in known_hosts" in str(error):
            return UNLISTED, str(error)
        raise
    return ACCEPT, ""


def through_module(server, given):
    client = sftp_main.TavrelSFTPMain({"host": server.host, "port": server.port, "user": USER, "password": PASSWORD,
                                       **given})

    def attempt():
        client._connect()
        client._close()

    return outcome(attempt)


def through_stand_in(server, given):
    def attempt():
        mapping = {"host": server.host, "port": server.port, "user": USER, "password": PASSWORD, "ssh": True,
                   "ssh_host": server.host, "ssh_port": server.port, "ssh_user": USER, "ssh_password": PASSWORD,
                   **given}
        configuration = TavrelSSH(mapping).connect()
        assert configuration.port != server.port  # the tunnel's listener
        del configuration
        gc.collect()

    return outcome(attempt)


def check_refusal(case, fields, text, own_setting, given):
    if case.expect == ACCEPT:
        return
    if case.expect == MALFORMED:
        assert own_setting in text or "known_hosts" in text, text
        return
    assert fields["server_fp"] in text or fields["server_rsa_fp"] in text, text
    pinned, listed = own_setting in given, "known_hosts" in given
    for named in case.named:
        # A key that the file lists on several lines is named once; a pin
        # given twice may be shown as it was given.
        shown = text.count(rendered(named, fields))
        assert shown == 1 if not pinned else shown >= 1, text
    if case.expect in (REVOKED, UNLISTED):
        assert "known_hosts" in text, text
        return
    assert ("known_hosts" in text) == listed, text
    # The module's "host_key" is also within the stand-in's "ssh_host_key".
    assert (own_setting in text) == pinned, text


@pytest.mark.parametrize("case", CASES, ids=[case.id for case in CASES])
def test_the_module_and_the_stand_in_judge_alike(server, fields, tmp_path, case: Case):
    seen = {}
    for side, run, pin_name in (("module", through_module, "host_key"), ("stand-in", through_stand_in, "ssh_host_key")):
        given = options(case, fields, tmp_path, pin_name)
        before_sessions, before_attempts = server.accepted_sessions, len(server.auth_attempts)
        seen[side], text = run(server, given)
        check_refusal(case, fields, text, pin_name, given)
        attempts = [kind for _, kind in server.auth_attempts[before_attempts:]]
        if case.expect == ACCEPT:
            assert "password" in attempts, side
        else:
            # Refused after the key exchange and before any credential, or
            # malformed before anything connected.
            assert "password" not in attempts, (side, attempts)
        if case.expect == MALFORMED:
            assert server.accepted_sessions == before_sessions, side
    assert seen == {"module": case.expect, "stand-in": case.expect}


def test_the_table_holds_every_outcome_and_form():
    assert {case.expect for case in CASES} == {ACCEPT, MISMATCH, REVOKED, UNLISTED, MALFORMED}
    lines = [line for case in CASES if isinstance(case.lines, tuple) for line in case.lines]
    for form in ("{name} ", "{hashed} ", "@revoked ", "@cert-authority ", "{other_port} ", "{host} "):
        assert any(line.startswith(form) for line in lines), form
    assert len({case.id for case in CASES}) == len(CASES)
