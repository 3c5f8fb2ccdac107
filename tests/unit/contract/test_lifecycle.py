"""Construction, connection and teardown over recording fakes."""

import builtins
import collections
import gc
import socket
import sys
import weakref

import pytest

import sftp_main
from fakes import GOOD_CONFIG, FakeConfig


def calls(log):
    return [(c.name, c.args, c.kwargs) for c in log.calls]


class Boom(Exception):
    pass


# --- construction -----------------------------------------------------------


def test_construction_creates_the_logger_first_and_opens_nothing(fakes, cls):
    obj = cls(dict(GOOD_CONFIG))
    names = fakes.log.names()
    assert calls(fakes.log)[0] == ("TavrelLog", (), {"file": False})
    assert fakes.log.calls[0].kwargs["file"] is False
    assert names[1] == "TavrelVar"
    assert names[-1] == "var.attr" and fakes.log.calls[-1].args == ("ssh",)
    assert not any(n.startswith(("paramiko", "TavrelSSH")) for n in names)
    assert obj._log is fakes.logs[0]
    assert obj._config is fakes.configs[0]
    assert set(vars(obj)) == {"_log", "_config", "_params_dict", "_default_params"}


@pytest.mark.parametrize("ssh", [None, False, 0, "", "absent"])
def test_false_ssh_never_touches_the_ssh_framework(fakes, cls, ssh):
    config = dict(GOOD_CONFIG)
    if ssh != "absent":
        config["ssh"] = ssh
    obj = cls(config)
    assert obj._config is fakes.configs[0]
    assert not any(n.startswith("TavrelSSH") or n.endswith("todict") for n in fakes.log.names())


@pytest.mark.parametrize("ssh", [True, 1, "yes"])
def test_true_ssh_replaces_the_configuration_with_the_ssh_result(fakes, cls, ssh):
    result = FakeConfig(fakes.log, "sshvar", {"host": "inner", "port": "2022", "user": "bob", "password": "pw-2"})
    fakes.ssh_connect_result = result
    obj = cls({**GOOD_CONFIG, "ssh": ssh, "ssh_host": "jump"})
    tail = fakes.log.calls[-4:]
    assert [(c.name, c.args) for c in tail] == [
        ("var.attr", ("ssh",)),
        ("var.todict", ()),
        ("TavrelSSH", (tail[2].args[0],)),
        ("TavrelSSH.connect", ()),
    ]
    assert tail[2].args[0] == {**GOOD_CONFIG, "ssh": ssh, "ssh_host": "jump", "port": 22}
    assert tail[2].kwargs == {} and tail[3].kwargs == {}
    assert obj._config is result

    fakes.log.clear()
    obj._connect()
    assert [c.args[0] for c in fakes.log.of("sshvar.attr")] == [
        "host_key", "timeout", "key_file", "key_passphrase", "known_hosts", "atomic_upload", "progress", "raise_on_failure",
        "block_size",
        "keepalive", "retries", "resume",
        "host", "port", "user", "password"
    ]
    assert fakes.log.of("var.attr") == []
    assert fakes.log.of("paramiko.Transport")[0].args == ("inner:2022",)
    assert fakes.log.of("transport.connect")[0].kwargs == {"username": "bob", "password": "pw-2"}


def test_ssh_mapping_is_handed_over_unchanged(fakes, cls):
    handed = {"host": "h"}

    class Config(FakeConfig):
        def todict(self):
            return handed

    def make_config(*args, **kwargs):
        fakes.log.record("TavrelVar", args, kwargs)
        return Config(fakes.log, "var", kwargs)

    sftp_main.TavrelVar = make_config  # undone by the fakes fixture
    cls({**GOOD_CONFIG, "ssh": True})
    assert fakes.log.of("TavrelSSH")[0].args[0] is handed


def test_cleansing_failure_raises_after_the_logger_and_before_the_ssh_test(fakes, cls):
    with pytest.raises(Exception, match="^缺少必填参数：") as excinfo:
        cls({"host": "h", "ssh": True})
    assert type(excinfo.value) is Exception
    assert fakes.log.names()[0] == "TavrelLog"
    assert fakes.log.of("var.attr") == []
    assert not any(n.startswith("TavrelSSH") for n in fakes.log.names())


@pytest.mark.parametrize("name", ["TavrelLog", "TavrelSSH.connect"])
def test_framework_errors_propagate_unchanged(fakes, cls, name):
    fakes.raises[name] = boom = Boom(name)
    with pytest.raises(Boom) as excinfo:
        cls({**GOOD_CONFIG, "ssh": True})
    assert excinfo.value is boom


def test_construction_argument_errors_run_nothing(fakes, cls):
    with pytest.raises(TypeError):
        cls()
    with pytest.raises(TypeError):
        cls(dict(GOOD_CONFIG), 1)
    assert fakes.log.calls == []
    assert cls(config=dict(GOOD_CONFIG))._config.get("host") == GOOD_CONFIG["host"]


# --- module globals are looked up at every use ---------------------------------


@pytest.fixture
def keep_namespace_order():
    # Putting a deleted name back would move it to the end of the namespace.
    saved = dict(vars(sftp_main))
    yield
    namespace = vars(sftp_main)
    namespace.clear()
    namespace.update(saved)


@pytest.mark.parametrize("name", ["TavrelLog", "TavrelVar", "TavrelSSH", "paramiko"])
def test_missing_global_raises_name_error(keep_namespace_order, fakes, cls, monkeypatch, name):
    monkeypatch.delattr(sftp_main, name)
    with pytest.raises(NameError) as excinfo:
        obj = cls({**GOOD_CONFIG, "ssh": True})
        obj._connect()
    assert str(excinfo.value) == f"name '{name}' is not defined"
    assert excinfo.value.name == name


def test_the_callers_frame_builtins_are_not_the_modules(keep_namespace_order, fakes, cls, monkeypatch):
    logger = sftp_main.TavrelLog
    monkeypatch.delattr(sftp_main, "TavrelLog")
    with pytest.raises(NameError):
        exec("cls(dict(GOOD_CONFIG))", {"cls": cls, "GOOD_CONFIG": GOOD_CONFIG, "__builtins__": {"TavrelLog": logger}})


@pytest.mark.parametrize("name", ["TavrelLog", "paramiko"])
def test_global_falls_back_to_builtins(keep_namespace_order, fakes, cls, monkeypatch, name):
    fake = getattr(sftp_main, name)
    monkeypatch.delattr(sftp_main, name)
    monkeypatch.setattr(builtins, name, fake, raising=False)
    obj = cls(dict(GOOD_CONFIG))
    obj._connect()
    assert fakes.log.names()[0] == "TavrelLog"
    assert obj._sftp is fakes.paramiko.sftp_clients[0]


def test_module_global_wins_over_builtins(fakes, cls, monkeypatch):
    monkeypatch.setattr(builtins, "TavrelLog", lambda **kw: pytest.fail("builtins used"), raising=False)
    assert cls(dict(GOOD_CONFIG))._log is fakes.logs[0]


# --- connection ------------------------------------------------------------


def test_connect_call_sequence(fakes, cls):
    obj = cls(dict(GOOD_CONFIG))
    fakes.log.clear()
    assert obj._connect() is None
    p = fakes.paramiko
    transport = p.transports[0]
    assert calls(fakes.log) == [
        ("var.attr", ("host_key",), {}),
        ("var.attr", ("timeout",), {}),
        ("var.attr", ("key_file",), {}),
        ("var.attr", ("key_passphrase",), {}),
        ("var.attr", ("known_hosts",), {}),
        ("var.attr", ("atomic_upload",), {}),
        ("var.attr", ("progress",), {}),
        ("var.attr", ("raise_on_failure",), {}),
        ("var.attr", ("block_size",), {}),
        ("var.attr", ("keepalive",), {}),
        ("var.attr", ("retries",), {}),
        ("var.attr", ("resume",), {}),
        ("paramiko.SSHClient", (), {}),
        ("paramiko.AutoAddPolicy", (), {}),
        ("ssh.set_missing_host_key_policy", (p.policies[0],), {}),
        ("var.attr", ("host",), {}),
        ("var.attr", ("port",), {}),
        ("paramiko.Transport", ("files.internal:22",), {}),
        ("var.attr", ("user",), {}),
        ("var.attr", ("password",), {}),
        ("transport.connect", (), {"username": "alice", "password": "pw-1"}),
        ("paramiko.SFTPClient.from_transport", (transport,), {}),
    ]
    assert list(fakes.log.of("transport.connect")[0].kwargs) == ["username", "password"]
    assert fakes.log.of("ssh.set_missing_host_key_policy")[0].args[0] is p.policies[0]
    assert fakes.log.calls[-1].args[0] is transport
    assert obj._ssh is p.ssh_clients[0]
    assert obj._sftp is p.sftp_clients[0]
    # The transport is reachable only through the client's channel.
    assert set(vars(obj)) == {"_log", "_config", "_params_dict", "_default_params", "_ssh", "_sftp"}


def paramiko_calls(log):
    """The calls past the configuration, each object argument by its kind."""

    def shown(value):
        return value if isinstance(value, (str, int, tuple)) else type(value).__name__

    return [
        (c.name, tuple(map(shown, c.args)), {k: shown(v) for k, v in c.kwargs.items()})
        for c in log.calls
        if not c.name.startswith("var.")
    ]


class PlainConfiguration:
    """A configuration object that has only the four connection names."""

    def __init__(self, **entries):
        vars(self).update(entries)


@pytest.mark.parametrize("unset", [None, "", "absent"])
def test_unset_options_leave_the_plain_connection(fakes, cls, bare, unset):
    plain = cls(dict(GOOD_CONFIG))
    fakes.log.clear()
    plain._connect()
    expected = paramiko_calls(fakes.log)

    fakes.log.clear()
    if unset == "absent":
        bare._config = PlainConfiguration(host="files.internal", port=22, user="alice", password="pw-1")
        bare._connect()
    else:
        obj = cls({**GOOD_CONFIG, "host_key": unset, "timeout": unset})
        fakes.log.clear()
        obj._connect()
    assert paramiko_calls(fakes.log) == expected
    assert expected[-2][0] == "transport.connect"


def test_a_transport_on_a_socket_that_is_not_tcp_connects_with_the_same_calls(fakes, cls, monkeypatch):
    plain = cls(dict(GOOD_CONFIG))
    fakes.log.clear()
    plain._connect()
    expected = paramiko_calls(fakes.log)

    local_end, other_end = socket.socketpair()  # as a proxy's socket would be
    made_by_fake = fakes.paramiko.Transport

    def transport_on_a_local_socket(*args, **kwargs):
        transport = made_by_fake(*args, **kwargs)
        transport.sock = local_end
        return transport

    monkeypatch.setattr(fakes.paramiko, "Transport", transport_on_a_local_socket)
    fakes.log.clear()
    obj = cls(dict(GOOD_CONFIG))
    fakes.log.clear()
    with local_end, other_end:
        obj._connect()
    assert paramiko_calls(fakes.log) == expected


def test_without_config_the_client_is_made_before_the_error(fakes, bare):
    with pytest.raises(AttributeError, match="_config"):
        bare._connect()
    assert [call[0] for call in paramiko_calls(fakes.log)] == [
        "paramiko.SSHClient",
        "paramiko.AutoAddPolicy",
        "ssh.set_missing_host_key_policy",
    ]
    assert bare._ssh is fakes.paramiko.ssh_clients[0]


class Formatted:
    """Formats differently from its str(), to tell format(x, "") from str(x)."""

    def __init__(self, text):
        self.text = text

    def __format__(self, spec):
        assert spec == ""
        return self.text

    def __str__(self):
        return "wrong"


@pytest.mark.parametrize(
    "host, port, address",
    [
        ("files.internal", 22, "files.internal:22"),
        ("10.0.0.7", "2200", "10.0.0.7:2200"),
        ("h", 65535, "h:65535"),
        (Formatted("formatted.host"), Formatted("8022"), "formatted.host:8022"),
        ("::1", 22, ("::1", 22)),
        ("::1", "2222", ("::1", 2222)),
        ("fe80::1%lo", Formatted("4022"), ("fe80::1%lo", 4022)),
    ],
)
def test_transport_address(fakes, bare, host, port, address):
    bare._config = FakeConfig(fakes.log, "var", {"host": host, "port": port, "user": "u", "password": "p"})
    bare._connect()
    (call,) = fakes.log.of("paramiko.Transport")
    assert call.args == (address,)
    assert call.kwargs == {}
    assert type(call.args[0]) is type(address)
    if isinstance(address, tuple):
        assert type(call.args[0][1]) is int


def test_connect_passes_only_user_and_password_to_the_transport(fakes, cls):
    obj = cls({**GOOD_CONFIG, "ssh_rsa": "/keys/id", "ssh_rsa_pwd": "k"})
    obj._connect()
    assert [(c.args, c.kwargs) for c in fakes.log.of("transport.connect")] == [
        ((), {"username": "alice", "password": "pw-1"})
    ]


@pytest.mark.parametrize("failing", ["transport.connect", "from_transport"])
def test_failure_after_the_transport_closes_it_and_reraises(fakes, connected, failing):
    p = fakes.paramiko
    earlier_sftp = connected._sftp
    boom = Boom("authentication failed")
    if failing == "from_transport":
        p.raises["from_transport"] = boom
    else:
        original = p.Transport

        def transport(*args, **kwargs):
            t = original(*args, **kwargs)
            t.raises["connect"] = boom
            return t

        p.Transport = transport
    with pytest.raises(Boom) as excinfo:
        connected._connect()
    assert excinfo.value is boom
    assert excinfo.value.__context__ is None
    assert fakes.log.names()[-1] == "transport.close"
    assert len(fakes.log.of("transport.close")) == 1
    assert fakes.log.of("transport.close")[0].args == ()
    # A failed call leaves what its earlier steps set.
    assert connected._ssh is p.ssh_clients[-1]
    assert connected._sftp is earlier_sftp


def test_failing_transport_close_does_not_replace_the_original_error(fakes, bare):
    bare._config = FakeConfig(fakes.log, "var", dict(GOOD_CONFIG, port=22))
    boom = Boom("first")
    original = fakes.paramiko.Transport

    def transport(*args, **kwargs):
        t = original(*args, **kwargs)
        t.raises["connect"] = boom
        t.raises["close"] = OSError("close failed too")
        return t

    fakes.paramiko.Transport = transport
    with pytest.raises(Boom) as excinfo:
        bare._connect()
    assert excinfo.value is boom
    assert len(fakes.log.of("transport.close")) == 1
    assert hasattr(bare, "_ssh") and not hasattr(bare, "_sftp")


@pytest.mark.parametrize("failing", ["SSHClient", "AutoAddPolicy", "Transport"])
def test_earlier_paramiko_errors_propagate_unchanged(fakes, connected, failing):
    fakes.paramiko.raises[failing] = boom = Boom(failing)
    with pytest.raises(Boom) as excinfo:
        connected._connect()
    assert excinfo.value is boom
    assert fakes.log.of("transport.close") == []


def test_connecting_twice_replaces_the_clients_without_closing(fakes, connected):
    first_ssh, first_sftp = connected._ssh, connected._sftp
    connected._connect()
    assert connected._ssh is not first_ssh and connected._sftp is not first_sftp
    assert connected._sftp is fakes.paramiko.sftp_clients[-1]
    assert not any(n.endswith(".close") for n in fakes.log.names())


def test_connect_with_an_argument_runs_nothing(fakes, cls):
    obj = cls(dict(GOOD_CONFIG))
    fakes.log.clear()
    with pytest.raises(TypeError):
        obj._connect(1)
    assert fakes.log.calls == []


# --- teardown -------------------------------------------------------------


CLOSE_SEQUENCE = ["sftp.close", "ssh.close", "sftp.get_channel", "channel.get_transport", "transport.close"]


def test_close_closes_client_ssh_then_the_transport(fakes, connected):
    transport = fakes.paramiko.transports[-1]
    assert connected._close() is None
    assert fakes.log.names() == CLOSE_SEQUENCE
    assert all(c.args == () and c.kwargs == {} for c in fakes.log.calls)
    assert "close" not in transport.raises
    # Nothing is cleared.
    assert connected._sftp is fakes.paramiko.sftp_clients[-1]
    assert connected._ssh is fakes.paramiko.ssh_clients[-1]


def new_connected(fakes, cls):
    # Not the fixture: pytest keeps fixture values alive until teardown.
    obj = cls(dict(GOOD_CONFIG))
    obj._connect()
    fakes.log.clear()
    return obj


def test_close_twice_and_finalise_repeat_the_sequence(fakes, cls):
    obj = new_connected(fakes, cls)
    obj._close()
    obj._close()
    ref = weakref.ref(obj)
    del obj
    gc.collect()
    assert ref() is None
    assert fakes.log.names() == CLOSE_SEQUENCE * 3


@pytest.mark.parametrize("gap", ["no get_channel", "no get_transport", "transport is None"])
def test_close_stops_quietly_when_the_transport_cannot_be_found(fakes, connected, gap):
    sftp = connected._sftp
    channel = sftp.returns["get_channel"]
    if gap == "no get_channel":
        sftp._methods.discard("get_channel")
    elif gap == "no get_transport":
        channel._methods.discard("get_transport")
    else:
        channel.returns["get_transport"] = None
    assert connected._close() is None
    expected = {"no get_channel": 2, "no get_transport": 3, "transport is None": 4}[gap]
    assert fakes.log.names() == CLOSE_SEQUENCE[:expected]


def test_transport_close_error_propagates(fakes, connected):
    fakes.paramiko.transports[-1].raises["close"] = boom = Boom("transport")
    with pytest.raises(Boom) as excinfo:
        connected._close()
    assert excinfo.value is boom
    assert fakes.log.names() == CLOSE_SEQUENCE
    # The finaliser swallows the same failure.
    assert connected.__del__() is None
    fakes.paramiko.transports[-1].raises.clear()


@pytest.mark.parametrize("failing, reached", [("sftp", 1), ("ssh", 2)])
def test_close_error_stops_the_sequence(fakes, connected, failing, reached):
    client = connected._sftp if failing == "sftp" else connected._ssh
    client.raises["close"] = boom = Boom(failing)
    with pytest.raises(Boom) as excinfo:
        connected._close()
    assert excinfo.value is boom
    assert fakes.log.names() == CLOSE_SEQUENCE[:reached]
    fakes.log.clear()
    assert connected.__del__() is None
    assert fakes.log.names() == CLOSE_SEQUENCE[:reached]
    client.raises.clear()


def test_close_on_a_never_connected_instance_raises_attribute_error(fakes, cls):
    obj = cls(dict(GOOD_CONFIG))
    with pytest.raises(AttributeError, match="_sftp"):
        obj._close()
    assert obj.__del__() is None


def test_close_after_failed_first_connect_never_reaches_ssh(fakes, cls):
    obj = cls(dict(GOOD_CONFIG))
    fakes.paramiko.raises["from_transport"] = Boom("auth")
    with pytest.raises(Boom):
        obj._connect()
    fakes.log.clear()
    with pytest.raises(AttributeError, match="_sftp"):
        obj._close()
    assert fakes.log.calls == []


def test_close_with_sftp_but_no_ssh(fakes, connected):
    del connected._ssh
    with pytest.raises(AttributeError, match="_ssh"):
        connected._close()
    assert fakes.log.names() == ["sftp.close"]


@pytest.mark.parametrize("exc_type", [KeyboardInterrupt, SystemExit, GeneratorExit])
def test_finaliser_lets_non_ordinary_exceptions_through(fakes, connected, exc_type):
    connected._sftp.raises["close"] = interrupt = exc_type()
    with pytest.raises(exc_type) as excinfo:
        connected.__del__()
    assert excinfo.value is interrupt
    connected._sftp.raises.clear()


def test_finaliser_swallows_ordinary_exceptions_silently(fakes, connected, capsys):
    connected._sftp.raises["close"] = Boom("quiet")
    assert connected.__del__() is None
    assert capsys.readouterr() == ("", "")
    assert sys.exception() is None


def test_dropping_instances_reports_nothing_unless_interrupted(fakes, cls, monkeypatch):
    reported = []
    monkeypatch.setattr(sys, "unraisablehook", reported.append)
    never_connected = cls(dict(GOOD_CONFIG))
    ref = weakref.ref(never_connected)
    del never_connected
    assert ref() is None
    connected = new_connected(fakes, cls)
    connected._sftp.raises["close"] = Boom("quiet")
    sftp = connected._sftp
    del connected
    gc.collect()
    assert fakes.log.names() == ["sftp.close"]
    assert reported == []

    obj = cls(dict(GOOD_CONFIG))
    obj._sftp = sftp
    sftp.raises["close"] = interrupt = KeyboardInterrupt()
    del obj
    gc.collect()
    sftp.raises.clear()
    assert [r.exc_value for r in reported] == [interrupt]


def test_failed_construction_is_finalised_quietly(fakes, cls, monkeypatch):
    reported = []
    monkeypatch.setattr(sys, "unraisablehook", reported.append)
    refs = []

    class Watched(cls):
        def __init__(self, config):
            refs.append(weakref.ref(self))
            super().__init__(config)

    with pytest.raises(Exception):
        Watched({})
    gc.collect()
    assert refs[0]() is None
    assert reported == []


def test_close_and_del_with_arguments_close_nothing(fakes, connected):
    with pytest.raises(TypeError):
        connected._close(1)
    with pytest.raises(TypeError):
        connected.__del__(1)
    assert fakes.log.calls == []
