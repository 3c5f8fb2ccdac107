"""The ssh step's guard: the guarded options the caller set are checked
before the step and required, unchanged, in what it returns; known_hosts
keeps what it needs to check the target."""

import collections

import pytest

from fakes import GOOD_CONFIG, FakeConfig


PIN = "SHA256:" + "A" * 43
PINNED = {**GOOD_CONFIG, "ssh": True, "host_key": [PIN], "timeout": "5"}


def test_options_set_with_ssh_are_required_in_the_steps_result(fakes, cls):
    obj = cls(dict(PINNED))
    assert [(c.name, c.args[:1]) for c in fakes.log.calls[-6:]] == [
        ("var.attr", ("ssh",)),
        ("var.todict", ()),
        ("TavrelSSH", (fakes.log.calls[-4].args[0],)),
        ("TavrelSSH.connect", ()),
        ("sshvar.attr", ("host_key",)),
        ("sshvar.attr", ("timeout",)),
    ]
    assert obj._config is not fakes.configs[0]


@pytest.mark.parametrize(
    "returned, message",
    [
        ({**GOOD_CONFIG, "timeout": "5"}, "^host_key is set, but .* does not carry it"),
        ({**GOOD_CONFIG, "host_key": (PIN,), "timeout": 6}, "^timeout is set, but .* carries another value"),
    ],
    ids=["dropped", "changed"],
)
def test_an_option_lost_in_the_ssh_step_raises(fakes, cls, returned, message):
    fakes.ssh_connect_result = FakeConfig(fakes.log, "sshvar", returned)
    with pytest.raises(ValueError, match=message):
        cls(dict(PINNED))


def test_atomic_upload_lost_in_the_ssh_step_raises(fakes, cls):
    fakes.ssh_connect_result = FakeConfig(fakes.log, "sshvar", GOOD_CONFIG)
    with pytest.raises(ValueError, match="^atomic_upload is set, but .* does not carry it"):
        cls({**GOOD_CONFIG, "ssh": True, "atomic_upload": True})


@pytest.mark.parametrize("option", [{"host_key": []}, {"host_key": PIN, "timeout": 0}])
def test_a_malformed_option_with_ssh_raises_before_the_step(fakes, cls, option):
    with pytest.raises(ValueError, match="^(host_key|timeout) must be"):
        cls({**GOOD_CONFIG, "ssh": True, **option})
    assert not any(n.startswith("TavrelSSH") for n in fakes.log.names())


class ReadsLogged(collections.UserDict):
    """A caller's mapping that is no dict: answers a name it lacks with 0, and
    the pin once with a value and afterwards with nothing."""

    def __init__(self, entries):
        super().__init__(entries)
        self.reads = []

    def __getitem__(self, name):
        self.reads.append(name)
        value = super().__getitem__(name)
        if name == "host_key":
            self.data[name] = None
        return value

    def __missing__(self, name):
        return 0


def test_the_options_are_taken_from_what_the_ssh_step_is_handed(fakes, cls):
    plain = ReadsLogged({**GOOD_CONFIG, "ssh": True})
    cls(plain)
    assert set(plain.reads) <= set(GOOD_CONFIG) | {"ssh"}

    fakes.ssh_connect_result = FakeConfig(fakes.log, "sshvar", dict(GOOD_CONFIG))
    with pytest.raises(ValueError, match="^host_key is set, but .* does not carry it"):
        cls(ReadsLogged({**GOOD_CONFIG, "ssh": True, "host_key": [PIN]}))


@pytest.mark.parametrize(
    "returned, raised",
    [
        ({"host": "127.0.0.1", "port": 4022, "known_hosts": "/kh", "known_hosts_name": "files.internal"}, None),
        ({"host": "files.internal", "port": 22, "known_hosts": "/kh"}, None),
        ({"host": "127.0.0.1", "port": 4022, "known_hosts": "/kh"}, "points elsewhere and lacks known_hosts_name"),
        ({"host": "files.internal", "port": 22, "known_hosts_name": "files.internal"}, "does not carry it"),
        ({"host": "127.0.0.1", "port": 4022, "known_hosts": "/kh", "known_hosts_name": "[127.0.0.1]:4022"}, "not 'files.internal'"),
    ],
    ids=["names the target", "same target", "target name lost", "known_hosts dropped", "names the listener"],
)
def test_ssh_step_must_keep_what_known_hosts_needs(fakes, cls, returned, raised):
    fakes.ssh_connect_result = FakeConfig(fakes.log, "sshvar", {"user": "bob", "password": "pw", **returned})
    config = {**GOOD_CONFIG, "ssh": True, "known_hosts": "/kh"}
    if raised is None:
        assert cls(config)._config is fakes.ssh_connect_result
    else:
        with pytest.raises(ValueError, match=f"^known_hosts is set, but .* {raised}"):
            cls(config)


def test_ssh_step_may_carry_the_callers_own_target_name(fakes, cls):
    returned = {"user": "bob", "password": "pw", "host": "127.0.0.1", "port": 4022, "known_hosts": "/kh"}
    fakes.ssh_connect_result = FakeConfig(fakes.log, "sshvar", {**returned, "known_hosts_name": "alias.internal"})
    config = {**GOOD_CONFIG, "ssh": True, "known_hosts": "/kh", "known_hosts_name": "alias.internal"}
    assert cls(config)._config is fakes.ssh_connect_result
