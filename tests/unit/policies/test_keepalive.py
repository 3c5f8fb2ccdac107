""""keepalive": seconds between paramiko's keepalive requests, set on the
transport _connect makes before anything is sent on it; a malformed value
raises ValueError naming it before anything is made."""

import math
import threading

import pytest

from fakes import GOOD_CONFIG, FakeConfig


@pytest.fixture
def transports(fakes):
    """The fake transports, with the keepalive setter paramiko's have."""
    made = fakes.paramiko.Transport

    def transport(*args, **kwargs):
        fake = made(*args, **kwargs)
        fake._methods.add("set_keepalive")
        return fake

    fakes.paramiko.Transport = transport
    return fakes.paramiko.transports


MALFORMED = [0, -1, -0.5, True, False, "0", "soon", float("inf"), float("nan"), 10**400, [5], {"s": 5}, b"5",
             threading.TIMEOUT_MAX * 2, 1e300, "1e10"]


@pytest.mark.parametrize("value", MALFORMED, ids=repr)
def test_a_malformed_keepalive_raises_naming_it_before_anything_is_made(fakes, cls, transports, value):
    obj = cls({**GOOD_CONFIG, "keepalive": value})
    fakes.log.clear()
    with pytest.raises(ValueError, match=r"^keepalive must be "):
        obj._connect()
    assert not any(name.startswith("paramiko") for name in fakes.log.names())
    assert not hasattr(obj, "_ssh") and not hasattr(obj, "_sftp")


def test_the_message_says_what_is_accepted(fakes, cls, transports):
    with pytest.raises(ValueError) as raised:
        cls({**GOOD_CONFIG, "keepalive": "soon"})._connect()
    assert str(raised.value) == (
        "keepalive must be a positive number of seconds: an int or a float, or the text of one; got 'soon'")


@pytest.mark.parametrize(
    "value, interval",
    [(30, 30), (1, 1), (30.0, 30), (0.001, 1), (0.5, 1), (2.5, 3), (2.0000001, 3), ("15", 15), (" 7.25 ", 8),
     (threading.TIMEOUT_MAX, math.ceil(threading.TIMEOUT_MAX))],
)
def test_the_interval_is_whole_seconds_rounded_up(fakes, cls, transports, value, interval):
    obj = cls({**GOOD_CONFIG, "keepalive": value})
    obj._connect()
    [call] = fakes.log.of("transport.set_keepalive")
    assert call.args == (interval,) and type(call.args[0]) is int and call.kwargs == {}


def test_it_is_set_on_the_fresh_transport_before_anything_is_sent(fakes, cls, transports):
    obj = cls({**GOOD_CONFIG, "keepalive": 20})
    fakes.log.clear()
    obj._connect()
    names = fakes.log.names()
    made = names.index("paramiko.Transport")
    assert names[made + 1] == "transport.set_keepalive"
    assert names.index("transport.connect") > made + 1
    assert fakes.log.of("transport.set_keepalive")[0] is fakes.log.calls[made + 1]


@pytest.mark.parametrize("unset", ["absent", None, "", []], ids=repr)
def test_without_it_the_setter_is_never_called(fakes, cls, transports, unset):
    config = dict(GOOD_CONFIG) if unset == "absent" else {**GOOD_CONFIG, "keepalive": unset}
    cls(config)._connect()
    assert len(transports) == 1
    assert "transport.connect" in fakes.log.names()
    assert fakes.log.of("transport.set_keepalive") == []


def test_a_setter_that_raises_fails_the_connect_and_closes_the_transport(fakes, cls, transports):
    class Refused(Exception):
        pass

    made = fakes.paramiko.Transport

    def refusing(*args, **kwargs):
        fake = made(*args, **kwargs)
        fake.raises["set_keepalive"] = Refused("no keepalive here")
        return fake

    fakes.paramiko.Transport = refusing
    obj = cls({**GOOD_CONFIG, "keepalive": 5})
    with pytest.raises(Refused):
        obj._connect()
    assert fakes.log.names()[-1] == "transport.close"
    assert fakes.log.of("transport.connect") == []
    assert not hasattr(obj, "_sftp")


def test_the_ssh_step_must_carry_it_unchanged(fakes, cls):
    fakes.ssh_connect_result = FakeConfig(fakes.log, "sshvar", dict(GOOD_CONFIG))
    with pytest.raises(ValueError, match="^keepalive is set, but .* does not carry it"):
        cls({**GOOD_CONFIG, "ssh": True, "keepalive": 30})


def test_a_malformed_value_is_refused_before_the_ssh_step(fakes, cls):
    with pytest.raises(ValueError, match="^keepalive must be "):
        cls({**GOOD_CONFIG, "ssh": True, "keepalive": -3})
    assert not any(name.startswith("TavrelSSH") for name in fakes.log.names())


def test_the_timeout_s_own_message_is_as_it_was(fakes, cls):
    with pytest.raises(ValueError) as raised:
        cls({**GOOD_CONFIG, "timeout": "soon"})._connect()
    assert str(raised.value) == (
        "timeout must be a positive number of seconds: an int or a float, or the text of one; got 'soon'")
