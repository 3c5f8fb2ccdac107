"""A misspelt opt-in name fails closed: ValueError before anything connects.
Names close to the contract's, or close to none, pass as they always did."""

import pytest

from fakes import GOOD_CONFIG
from option_table import names, opt_in_names

TYPOS = [
    ("known_host", "known_hosts"),  # singular for plural
    ("known_hostss", "known_hosts"),  # an added letter
    ("knwon_hosts", "known_hosts"),  # swapped letters
    ("knownhosts", "known_hosts"),  # a missing underscore
    ("known-hosts", "known_hosts"),
    ("Known_Hosts", "known_hosts"),
    ("knownhost", "known_hosts"),
    ("host_keys", "host_key"),
    ("hostkey", "host_key"),
    ("host_ky", "host_key"),  # a dropped letter
    ("timout", "timeout"),
    ("timeouts", "timeout"),
    ("tiemout", "timeout"),
    ("key_files", "key_file"),
    ("keyfile", "key_file"),
    ("key_pasphrase", "key_passphrase"),
    ("atomic_uplaod", "atomic_upload"),
    ("atomicupload", "atomic_upload"),
    ("progres", "progress"),
    ("known_hosts_names", "known_hosts_name"),
]


@pytest.mark.parametrize("typo, meant", TYPOS)
def test_a_near_miss_of_an_opt_in_name_raises_before_anything_is_made(fakes, cls, typo, meant):
    with pytest.raises(ValueError) as raised:
        cls({**GOOD_CONFIG, typo: "~/.ssh/known_hosts"})
    assert str(raised.value) == f"unknown configuration name {typo!r}; did you mean {meant!r}?"
    assert not any(name.startswith(("paramiko", "TavrelSSH")) for name in fakes.log.names())


def test_the_message_is_the_documented_one(fakes, cls):
    with pytest.raises(ValueError) as raised:
        cls({**GOOD_CONFIG, "known_host": "~/.ssh/known_hosts"})
    assert raised.value.args == ("unknown configuration name 'known_host'; did you mean 'known_hosts'?",)
    assert len(raised.value.__notes__) == 1 and raised.value.__notes__[0].startswith("sftp_main: _cleanse_params(")


def test_a_misspelt_name_is_caught_with_ssh_on_before_the_step(fakes, cls):
    with pytest.raises(ValueError, match="did you mean 'known_hosts'"):
        cls({**GOOD_CONFIG, "ssh": True, "known_host": "x"})
    assert not any(name.startswith("TavrelSSH") for name in fakes.log.names())


def test_the_contract_s_errors_still_come_first(fakes, cls):
    with pytest.raises(Exception, match="缺少必填参数") as raised:
        cls({"host": "h", "known_host": "x"})
    assert type(raised.value) is Exception


@pytest.mark.parametrize(
    "key",
    [
        "hosts", "hots", "prot", "usr", "users", "passwd", "pasword", "password_", "ssh_hots", "ssh_prt",
        "ssh_host_key", "ssh_known_hosts", "ssh_timeout", "sh",
        "colour", "attempts", "file", "key", "name", "timeout_ms", "progress_bar", "known_hosts_file", "upload",
        "atomic",
    ],
)
def test_names_near_the_contract_s_or_near_none_pass_as_today(fakes, cls, key):
    config = {**GOOD_CONFIG, key: "value"}
    obj = cls(config)
    obj._connect()
    assert fakes.log.of("transport.connect")


@pytest.mark.parametrize("name", names())
def test_every_name_of_the_table_itself_passes_the_check(fakes, cls, name):
    config = {**GOOD_CONFIG, name: None} if name not in GOOD_CONFIG else dict(GOOD_CONFIG)
    cls(config)


def test_only_opt_in_names_are_offered():
    assert "host" not in opt_in_names() and "known_hosts" in opt_in_names()
