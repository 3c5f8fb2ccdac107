"""The parsers of the option table's value types, over the fakes: a
malformed value raises ValueError naming its option before anything is
made, and a value that leaves an option unset changes no call."""

import pathlib
import threading

import pytest

from fakes import GOOD_CONFIG, FakeConfig

PIN = "SHA256:" + "A" * 43

MALFORMED = [
    ("host_key", "SHA256:tooShort"),
    ("host_key", "SHA256:" + "B" * 43),  # spare bits set: no digest prints so
    ("host_key", "sha256:" + "A" * 43),
    ("host_key", "ssh-ed25519 bm90IGEga2V5"),  # base64, but not a blob of that type
    ("host_key", "ssh-ed25519 !!not-base64!!"),
    ("host_key", [PIN, 42]),
    ("host_key", {PIN}),
    ("host_key", []),  # say, a list filtered from a file that came out empty
    ("host_key", ()),
    ("host_key", b"SHA256:" + b"A" * 43),
    ("host_key", "\ud800"),
    ("timeout", 0),
    ("timeout", -1.5),
    ("timeout", True),
    ("timeout", False),
    ("timeout", "0"),
    ("timeout", "soon"),
    ("timeout", float("inf")),
    ("timeout", float("nan")),
    ("timeout", 10**400),
    ("timeout", [5]),
    ("timeout", 9.3e9),
    ("timeout", 1e10),
    ("timeout", "1e10"),
    ("timeout", 1e300),
    ("timeout", threading.TIMEOUT_MAX * 2),
    ("key_file", 3),
    ("key_file", ["/a"]),
    ("known_hosts", 3),
    ("known_hosts", object()),
    ("progress", 3),
    ("progress", "not callable"),
]


@pytest.mark.parametrize("name, value", MALFORMED)
def test_a_malformed_value_raises_naming_its_option_before_anything_is_made(fakes, cls, name, value):
    obj = cls({**GOOD_CONFIG, name: value})
    fakes.log.clear()
    with pytest.raises(ValueError, match=rf"^{name} must be .*"):
        obj._connect()
    assert not any(n.startswith("paramiko") for n in fakes.log.names())
    assert not hasattr(obj, "_ssh")


@pytest.mark.parametrize("value", [9.3e9, 1e10, "1e10", 1e300])
def test_a_timeout_past_what_the_platform_waits_names_the_limit(fakes, cls, value):
    with pytest.raises(ValueError, match=r"^timeout must be at most threading\.TIMEOUT_MAX \(.* s\), .*; got "):
        cls({**GOOD_CONFIG, "timeout": value})._connect()


def test_the_longest_timeout_the_platform_takes_is_accepted(fakes, cls):
    # Checked before the ssh step, whose result then lacks it.
    fakes.ssh_connect_result = FakeConfig(fakes.log, "sshvar", dict(GOOD_CONFIG))
    with pytest.raises(ValueError, match="^timeout is set, but .* does not carry it"):
        cls({**GOOD_CONFIG, "ssh": True, "timeout": threading.TIMEOUT_MAX})


@pytest.mark.parametrize("value", [9.3e9, "1e10"])
def test_a_too_long_timeout_is_refused_before_the_ssh_step(fakes, cls, value):
    with pytest.raises(ValueError, match="^timeout must be at most"):
        cls({**GOOD_CONFIG, "ssh": True, "timeout": value})
    assert not any(n.startswith("TavrelSSH") for n in fakes.log.names())


@pytest.mark.parametrize(
    "name, value",
    [
        ("host_key", None), ("host_key", False), ("host_key", ""),
        ("timeout", None), ("timeout", ""), ("timeout", []),
        ("key_file", None), ("key_file", ""), ("known_hosts", None), ("known_hosts", ""),
        ("atomic_upload", 0), ("atomic_upload", ""), ("progress", None), ("progress", 0),
        ("key_passphrase", "set, but without a key_file"),
    ],
)
def test_a_value_that_leaves_the_option_unset_changes_no_call(fakes, cls, name, value):
    def connect_calls(config):
        obj = cls(config)
        fakes.log.clear()
        obj._connect()
        return [(c.name, c.args if c.name == "paramiko.Transport" else len(c.args), c.kwargs)
                for c in fakes.log.calls if c.name != "var.attr"]

    expected = connect_calls(dict(GOOD_CONFIG))
    assert ("transport.connect", 0, {"username": "alice", "password": "pw-1"}) in expected
    assert connect_calls({**GOOD_CONFIG, name: value}) == expected


@pytest.mark.parametrize(
    "value, message",
    [
        (3, "key_passphrase must be text or bytes, not int"),
        ("\ud800", "key_passphrase is not valid text: it cannot be encoded as UTF-8"),
    ],
)
def test_a_malformed_passphrase_never_shows_the_value(fakes, cls, tmp_path, value, message):
    key = tmp_path / "id"
    key.write_text("not a key")
    with pytest.raises(ValueError) as raised:
        cls({**GOOD_CONFIG, "key_file": str(key), "key_passphrase": value})._connect()
    assert str(raised.value) == message


def test_a_path_may_be_bytes_or_path_like(fakes, cls, tmp_path):
    missing = tmp_path / "missing"
    for value in (str(missing), bytes(missing), pathlib.Path(missing)):
        with pytest.raises(ValueError) as raised:
            cls({**GOOD_CONFIG, "known_hosts": value})._connect()
        assert str(raised.value) == f"known_hosts {str(missing)!r} cannot be read as a known_hosts file"
