"""The option table: its reads, the ssh step's guard, the masking and the
"password optional" rule all follow it."""

import pytest

import sftp_main
from fakes import GOOD_CONFIG, FakeConfig
from option_table import rows, names, opt_in_names


def test_the_table_lists_each_name_once_contract_first():
    listed = names()
    assert len(listed) == len(set(listed))
    assert listed[:5] == ["host", "port", "user", "password", "ssh"]
    reads = [row.read for row in rows() if row.read != "WithKnownHosts"]
    assert reads == sorted(reads, key=["Cleansing", "SshStep", "Connect"].index)
    # known_hosts_name is read by the known_hosts policy, right after known_hosts
    assert listed.index("known_hosts_name") == listed.index("known_hosts") + 1


def test_connect_reads_the_opt_in_names_in_table_order_then_the_contract(fakes, cls):
    obj = cls(dict(GOOD_CONFIG))
    fakes.log.clear()
    obj._connect()
    connect_rows = [row.name for row in rows() if row.read == "Connect"]
    assert [c.args[0] for c in fakes.log.of("var.attr")] == connect_rows + ["host", "port", "user", "password"]


def test_the_ssh_step_defaults_are_the_table_ones(fakes, cls):
    config = dict(GOOD_CONFIG)
    cls(config)
    added = [name for name in config if name not in GOOD_CONFIG]
    assert added == [row.name for row in rows() if row.read == "SshStep"]


@pytest.mark.parametrize("row", [r for r in rows() if r.guarded], ids=lambda r: r.name)
def test_every_guarded_name_must_come_through_the_ssh_step(fakes, cls, row):
    value = {"PinList": "SHA256:" + "A" * 43, "Seconds": 5, "Path": "/etc/hostname", "Flag": True, "Count": 3}[row.type]
    fakes.ssh_connect_result = FakeConfig(fakes.log, "sshvar", dict(GOOD_CONFIG))
    with pytest.raises(ValueError, match=rf"^{row.name} is set, but the configuration .* does not carry it"):
        cls({**GOOD_CONFIG, "ssh": True, row.name: value})


@pytest.mark.parametrize("row", [r for r in rows() if not r.guarded and r.read == "Connect"], ids=lambda r: r.name)
def test_an_unguarded_name_may_be_dropped_by_the_ssh_step(fakes, cls, row):
    value = {"Path": "/nonexistent", "Secret": "pass", "Callable": print, "ByteCount": 262144, "Count": 3}[row.type]
    fakes.ssh_connect_result = result = FakeConfig(fakes.log, "sshvar", dict(GOOD_CONFIG))
    assert cls({**GOOD_CONFIG, "ssh": True, row.name: value})._config is result


@pytest.mark.parametrize("row", rows(), ids=lambda r: r.name)
def test_a_secret_name_is_masked_in_notes_and_others_are_shown(fakes, cls, row):
    fakes.raises["TavrelVar"] = RuntimeError("stop")
    with pytest.raises(RuntimeError) as raised:
        cls({"host": "h", "user": "u", "password": "p", row.name: "VALUE-SHOWN"})
    note = raised.value.__notes__[-1]
    assert ("VALUE-SHOWN" not in note) == row.secret, note


def test_a_name_of_no_row_is_masked_when_it_looks_like_a_secret(fakes, cls):
    fakes.raises["TavrelVar"] = RuntimeError("stop")
    with pytest.raises(RuntimeError) as raised:
        cls({"host": "h", "api_token": "TOKEN-VALUE", "colour": "BLUE-VALUE"})
    note = raised.value.__notes__[-1]
    assert "TOKEN-VALUE" not in note and "BLUE-VALUE" in note


@pytest.mark.parametrize("row", [r for r in rows() if r.name != "password"], ids=lambda r: r.name)
def test_only_the_rows_that_say_so_make_password_optional(fakes, cls, row):
    config = {"host": "h", "user": "u", row.name: "/some/key"}
    if row.password_optional:
        cls(config)
    else:
        with pytest.raises(Exception, match="password"):
            cls(config)


def test_opt_in_names_are_the_ones_read_by_connect():
    assert opt_in_names() == [r.name for r in rows() if r.read in ("Connect", "WithKnownHosts")]
    assert "known_hosts_name" in opt_in_names() and "host" not in opt_in_names()
