"""Reference counts and memory stay put over tens of thousands of calls of
every method, on its success and on its failure paths.

Each case builds a `call` that makes one call and checks its outcome, and
the list of objects whose reference counts must be the same after the loop
as before it: the instance, the client, the arguments, the client's result
and any exception object that a fake raises.
"""

from __future__ import annotations

import base64
import collections.abc
import hashlib
import socket
import subprocess
import sys
import types

import paramiko

import pytest

import sftp_main
from tavrel_var import TavrelVar
from reliability_support import (
    MEMORY_BOUND,
    OPERATIONS,
    FakeClient,
    FakeParamiko,
    FakeSSHClient,
    FakeTransport,
    Interrupt,
    Token,
    bare_instance,
    defuse,
    forget_traceback,
    measure,
    scaled,
    with_client,
)

CALLS = scaled(15_000)
Cls = sftp_main.TavrelSFTPMain


def returns(fn, expected):
    def call():
        assert fn() is expected

    return call


def raises(fn, kind, identical=None):
    def call():
        try:
            fn()
        except kind as exc:
            if identical is not None:
                assert exc is identical
                forget_traceback(exc)
        else:
            raise AssertionError("no exception")

    return call


def text(label):
    # Built at run time, so not an interned or immortal constant.
    return "".join([label, "-", str(len(label))])


# --- the remote operations ---------------------------------------------------

OPERATION_NAMES = list(OPERATIONS)


def operation_args(method):
    count = OPERATIONS[method][1]
    return tuple(Token(f"arg{i}") for i in range(count))


def operation_case(method, path):
    client_method, count, kind = OPERATIONS[method]
    args = operation_args(method)
    result = Token("result")
    error = OSError(2, "no such file")
    interrupt = Interrupt()
    bound = getattr(Cls, method)
    if path == "success":
        obj = with_client(FakeClient(result=result))
        expected = result if kind == "result" else True
        return returns(lambda: bound(obj, *args), expected), [obj, obj._sftp, result, *args, bound]
    if path == "by keyword":
        obj = with_client(FakeClient(result=result))
        names = bound.__text_signature__.strip("()").split(", ")[1:]
        keywords = dict(zip(reversed(names), reversed(args)))
        expected = result if kind == "result" else True
        return returns(lambda: getattr(obj, method)(**keywords), expected), [obj, result, *args]
    if path == "client raises":
        obj = with_client(FakeClient(raises=error))
        if kind == "transfer":
            return returns(lambda: bound(obj, *args), False), [obj, error, *args]
        return raises(lambda: bound(obj, *args), OSError, error), [obj, error, *args]
    if path == "client interrupts":
        obj = with_client(FakeClient(raises=interrupt))
        return raises(lambda: bound(obj, *args), Interrupt, interrupt), [obj, interrupt, *args]
    if path == "no client":
        obj = bare_instance()
        obj._ssh = FakeSSHClient()
        if kind == "transfer":
            return returns(lambda: bound(obj, *args), False), [obj, *args]
        return raises(lambda: bound(obj, *args), AttributeError), [obj, *args]
    if path == "client lacks the method":
        obj = with_client(object())
        if kind == "transfer":
            return returns(lambda: bound(obj, *args), False), [obj, *args]
        return raises(lambda: bound(obj, *args), AttributeError), [obj, *args]
    raise ValueError(path)


@pytest.mark.parametrize(
    "path", ["success", "by keyword", "client raises", "client interrupts", "no client", "client lacks the method"]
)
@pytest.mark.parametrize("method", OPERATION_NAMES)
def test_operation_keeps_counts_and_memory(method, path):
    call, tracked = operation_case(method, path)
    before, after, grown = measure(call, tracked, CALLS)
    assert after == before
    assert grown < MEMORY_BOUND
    defuse(tracked)


# --- argument binding errors --------------------------------------------------

BINDING_ERRORS = {
    "missing": lambda obj, a, b: obj._rename(a),
    "too many": lambda obj, a, b: obj._rename(a, b, a),
    "unexpected keyword": lambda obj, a, b: obj._rename(a, old_path=b),
    "multiple values": lambda obj, a, b: obj._rename(a, b, ole_path=a),
    "self twice": lambda obj, a, b: Cls._close(obj, self=obj),
    "nothing at all": lambda obj, a, b: Cls._upload(),
    "non-text keyword": lambda obj, a, b: obj._stat(**{1: a}),
}


@pytest.mark.parametrize("kind", BINDING_ERRORS)
def test_binding_error_keeps_counts_and_memory(kind):
    obj = with_client(FakeClient())
    a, b = Token("a"), Token("b")
    bad = BINDING_ERRORS[kind]
    call = raises(lambda: bad(obj, a, b), TypeError)
    before, after, grown = measure(call, [obj, obj._sftp, a, b], CALLS)
    assert after == before
    assert grown < MEMORY_BOUND


def test_module_made_exception_is_held_only_by_the_caller():
    # The TypeError of a binding failure and a Python function's own one,
    # caught the same way, have the same number of references.
    obj = with_client(FakeClient())

    def python_rename(self, ole_path, new_path):
        pass

    def count(fn):
        try:
            fn()
        except TypeError as exc:
            return sys.getrefcount(exc)
        raise AssertionError("no exception")

    assert count(lambda: obj._rename(1)) == count(lambda: python_rename(obj, 1))
    assert count(lambda: obj._rename(1, 2, ole_path=3)) == count(lambda: python_rename(obj, 1, 2, ole_path=3))


# --- configuration -------------------------------------------------------------


def good_config():
    return {"host": text("host"), "user": text("user"), "password": text("password")}


class ReadOnlyMapping(collections.abc.Mapping):
    def __init__(self, data):
        self._data = data

    def __getitem__(self, key):
        return self._data[key]

    def __iter__(self):
        return iter(self._data)

    def __len__(self):
        return len(self._data)


class MutableMapping(ReadOnlyMapping):
    def update(self, other):
        self._data.update(other)


class WithAllowedPorts(Cls):
    allowed = None

    def _set_params_dict(self):
        super()._set_params_dict()
        self._params_dict["port"]["optional"] = self.allowed


class HandBack:
    """TavrelSSH that hands the configuration back, as the stand-in does with "ssh" off."""

    def __init__(self, mapping):
        self.mapping = mapping

    def connect(self):
        return TavrelVar(**self.mapping)


def config_case(path, module_globals):
    config = good_config()
    values = list(config.values())
    if path == "construct":
        return returns(lambda: type(Cls(config)), Cls), [config, *values]
    if path == "construct through TavrelSSH":
        config["ssh"] = True
        # The module's side of the call; a jump host per call is not what is counted here.
        module_globals("TavrelSSH", HandBack)
        return returns(lambda: type(Cls(config)), Cls), [config, *values]
    if path in ("options kept through TavrelSSH", "pin dropped by TavrelSSH"):
        config.update(ssh=True, host_key=["SHA256:" + "A" * 43], timeout="5")
        values = list(config.values())
        if path == "options kept through TavrelSSH":
            module_globals("TavrelSSH", HandBack)
            return returns(lambda: type(Cls(config)), Cls), [config, *values]

        class DropsThePin(HandBack):
            def connect(self):
                return TavrelVar(**{name: value for name, value in self.mapping.items() if name != "host_key"})

        module_globals("TavrelSSH", DropsThePin)
        return raises(lambda: Cls(config), ValueError), [config, *values]
    if path == "missing values":
        del config["password"]
        return raises(lambda: Cls(config), Exception), [config, *values]
    if path == "None as configuration":
        return raises(lambda: Cls(None), TypeError), [config]
    if path == "TavrelLog raises":
        error = RuntimeError("no logger")

        def broken_log(*, file):
            raise error

        module_globals("TavrelLog", broken_log)
        return raises(lambda: Cls(config), RuntimeError, error), [config, error, *values]
    if path == "TavrelVar raises":
        error = LookupError("no variables")

        def broken_var(**entries):
            raise error

        module_globals("TavrelVar", broken_var)
        return raises(lambda: Cls(config), LookupError, error), [config, error, *values]
    if path == "mapping that is not a dict":
        mapping = MutableMapping(config)
        return returns(lambda: type(Cls(mapping)), Cls), [mapping, config, *values]
    if path == "mapping without update":
        mapping = ReadOnlyMapping(config)
        return raises(lambda: Cls(mapping), AttributeError), [mapping, config, *values]
    if path == "rejected value":
        allowed = [Token("a"), Token("b")]
        WithAllowedPorts.allowed = allowed
        config["port"] = 2222
        return raises(lambda: WithAllowedPorts(config), Exception), [config, allowed, *allowed, *values]
    if path == "set tables":
        obj = Cls(config)

        def set_both():
            assert obj._set_params_dict() is None
            assert obj._set_default_params() is None

        return set_both, [obj, config]
    if path == "cleanse again":
        obj = Cls(config)
        return returns(lambda: obj._cleanse_params(config), None), [obj, config, *values]
    raise ValueError(path)


CONFIG_PATHS = [
    "construct",
    "construct through TavrelSSH",
    "options kept through TavrelSSH",
    "pin dropped by TavrelSSH",
    "missing values",
    "None as configuration",
    "TavrelLog raises",
    "TavrelVar raises",
    "mapping that is not a dict",
    "mapping without update",
    "rejected value",
    "set tables",
    "cleanse again",
]


@pytest.mark.parametrize("path", CONFIG_PATHS)
def test_configuration_keeps_counts_and_memory(path, module_globals):
    call, tracked = config_case(path, module_globals)
    before, after, grown = measure(call, tracked, CALLS)
    assert after == before
    assert grown < MEMORY_BOUND


# --- connection ------------------------------------------------------------------

CONNECT_FAILURES = ["SSHClient", "AutoAddPolicy", "set_missing_host_key_policy", "Transport", "connect", "from_transport"]


@pytest.mark.parametrize(
    "fail, close_fails",
    [(None, False), *((step, False) for step in CONNECT_FAILURES), ("connect", True), ("from_transport", True)],
)
def test_connect_keeps_counts_and_memory(monkeypatch, fail, close_fails):
    error = ConnectionError("refused")
    close_error = OSError("close failed")
    fake = FakeParamiko(fail=fail, error=error, close_error=close_error if close_fails else None)
    monkeypatch.setattr(sftp_main, "paramiko", fake.module)
    obj = Cls(good_config())
    if fail is None:

        def call():
            assert obj._connect() is None
            assert obj._sftp is fake.client

    else:
        call = raises(obj._connect, ConnectionError, error)
    before, after, grown = measure(call, [obj, fake.client, error, close_error], CALLS)
    assert after == before
    assert grown < MEMORY_BOUND


@pytest.mark.parametrize("port", [2222, "22", "not-a-port"])
def test_connect_to_ipv6_host_keeps_counts_and_memory(monkeypatch, port):
    fake = FakeParamiko()
    monkeypatch.setattr(sftp_main, "paramiko", fake.module)
    host = text("::1")[:3]
    obj = Cls({"host": host, "port": port, "user": "u", "password": "p"})
    if port == "not-a-port":
        call = raises(obj._connect, ValueError)
    else:

        def call():
            obj._connect()
            assert fake.last_transport.address == (host, int(port))

    before, after, grown = measure(call, [obj, host, fake.client], CALLS)
    assert after == before
    assert grown < MEMORY_BOUND


class FakeServerKey:
    blob = b"\x00\x00\x00\x0bssh-ed25519" + bytes(36)

    def asbytes(self):
        return self.blob

    def get_name(self):
        return "ssh-ed25519"


def fingerprint_of(blob):
    return "SHA256:" + base64.b64encode(hashlib.sha256(blob).digest()).decode().rstrip("=")


def fake_with_options(monkeypatch):
    """FakeParamiko whose transport also answers the calls the options make."""
    fake = FakeParamiko()
    server_key = FakeServerKey()

    class Channel:
        def settimeout(self, seconds):
            pass

        def invoke_subsystem(self, name):
            pass

    class Transport(fake.module.Transport):
        silent = False
        sock = packetizer = types.SimpleNamespace(shutdown=lambda how: None, complete_handshake=lambda: None)

        def start_client(self, timeout=None):
            self.initial_kex_done = not self.silent

        def set_log_channel(self, name):
            pass

        def join(self, timeout=None):
            pass

        def get_remote_server_key(self):
            return server_key

        def getpeername(self):
            return ("127.0.0.1", 22)

        def auth_password(self, *, username, password):
            pass

        def open_session(self):
            return Channel()

        def get_security_options(self):
            return types.SimpleNamespace(key_types=("rsa-sha2-512", "ssh-ed25519"))

    class SFTPClient:
        def __new__(cls, channel):
            return fake.client

        from_transport = staticmethod(lambda transport: fake.client)

    fake.module.Transport = Transport
    fake.module.SFTPClient = SFTPClient
    fake.module.BadHostKeyException = paramiko.BadHostKeyException
    monkeypatch.setattr(sftp_main, "paramiko", fake.module)
    monkeypatch.setattr(socket, "create_connection", lambda address, timeout: Token("socket"))
    return fake, server_key


@pytest.mark.parametrize(
    "case", ["pinned", "key line and timeout", "wrong key", "malformed host_key", "malformed timeout", "silent server"]
)
def test_connect_with_options_keeps_counts_and_memory(monkeypatch, case):
    fake, server_key = fake_with_options(monkeypatch)
    right = fingerprint_of(server_key.blob)
    line = "ssh-ed25519 " + base64.b64encode(server_key.blob).decode()
    options = {
        "pinned": {"host_key": [right]},
        "key line and timeout": {"host_key": line, "timeout": "2.5"},
        "wrong key": {"host_key": "SHA256:" + "A" * 43},
        "malformed host_key": {"host_key": "SHA256:nope"},
        "malformed timeout": {"timeout": -1},
        "silent server": {"timeout": 0.5},
    }[case]
    obj = Cls({**good_config(), **options})
    calls = CALLS
    if case.startswith("malformed"):
        call = raises(obj._connect, ValueError)
    elif case == "silent server":
        monkeypatch.setattr(fake.module.Transport, "silent", True)
        call = raises(obj._connect, TimeoutError)
    elif case == "wrong key":
        call = raises(obj._connect, paramiko.BadHostKeyException)
    else:

        def call():
            assert obj._connect() is None
            assert obj._sftp is fake.client

    before, after, grown = measure(call, [obj, fake.client, server_key, server_key.blob], calls)
    assert after == before
    assert grown < MEMORY_BOUND


@pytest.fixture(scope="module")
def key_files(tmp_path_factory):
    folder = tmp_path_factory.mktemp("keys")
    for name, options in {"ed25519": ["-t", "ed25519", "-N", ""], "rsa": ["-t", "rsa", "-b", "1024", "-m", "PEM", "-N", "right"]}.items():
        subprocess.run(["ssh-keygen", "-q", *options, "-f", str(folder / name)], check=True)
    return folder


@pytest.mark.parametrize("case", ["key file", "wrong passphrase", "listed", "not listed", "revoked"])
def test_key_login_and_known_hosts_keep_counts_and_memory(monkeypatch, key_files, tmp_path, case):
    fake, server_key = fake_with_options(monkeypatch)
    key_type, encoded = (key_files / "ed25519.pub").read_text().split()[:2]
    server_key.blob = base64.b64decode(encoded)
    fake.module.Transport.auth_publickey = lambda self, username, key: []
    for name in ("PKey", "PasswordRequiredException", "AuthenticationException", "SSHException", "HostKeys", "hostkeys"):
        setattr(fake.module, name, getattr(paramiko, name))
    host = text("files.example")
    listing = {"listed": host, "not listed": "elsewhere", "revoked": f"{host} {key_type} {encoded}\n@revoked *"}
    known_hosts = tmp_path / "known_hosts"
    known_hosts.write_text(f"{listing.get(case, host)} {key_type} {encoded}\n")
    options = {
        "key file": {"key_file": str(key_files / "ed25519")},
        "wrong passphrase": {"key_file": str(key_files / "rsa"), "key_passphrase": text("wrong")},
    }.get(case, {"known_hosts": str(known_hosts)})
    obj = Cls({**good_config(), "host": host, **options})
    if case == "wrong passphrase":
        call = raises(obj._connect, ValueError)
    elif case in ("not listed", "revoked"):
        call = raises(obj._connect, paramiko.SSHException)
    else:

        def call():
            assert obj._connect() is None

    before, after, grown = measure(call, [obj, fake.client, host], scaled(2_000))
    assert after == before
    assert grown < MEMORY_BOUND


class StagingClient:
    """An SFTP client for atomic uploads and progress; `fail` names the step that raises."""

    def __init__(self, fail):
        self.fail = fail

    def step(self, name, error=OSError):
        if self.fail == name:
            raise error(name)

    def put(self, source, destination, callback=None):
        callback(1, 2)
        self.step("put")

    def get(self, source, destination, callback=None):
        callback(1, 2)

    def mkdir(self, path, mode):
        self.step("mkdir", PermissionError)

    def lstat(self, path):
        raise FileNotFoundError(path)

    def posix_rename(self, source, destination):
        self.step("posix_rename")

    def remove(self, path):
        raise OSError("gone")

    def rmdir(self, path):
        self.step("rmdir")

    def get_channel(self):
        return None


@pytest.mark.parametrize("fail", [None, "mkdir", "put", "posix_rename", "rmdir", "progress", "interrupt"])
def test_atomic_upload_and_progress_keep_counts_and_memory(monkeypatch, tmp_path, fail):
    fake, _ = fake_with_options(monkeypatch)
    fake.client = client = StagingClient(fail)
    error = RuntimeError("cancelled")

    def progress(done, total):
        if fail == "progress":
            raise error.with_traceback(None)
        if fail == "interrupt":
            raise Interrupt()

    obj = Cls({**good_config(), "atomic_upload": True, "progress": progress})
    obj._connect()
    source, destination, local = text("/local/source"), text("remote/target"), str(tmp_path / "local")
    uploaded = fail in (None, "mkdir", "rmdir")

    def call():
        try:
            assert obj._upload(source, destination) is uploaded
        except Interrupt as exc:
            forget_traceback(exc)
            return
        assert obj._download(destination, local) is (fail != "progress")

    before, after, grown = measure(call, [obj, client, progress, source, destination, error], scaled(2_000))
    assert after == before
    assert grown < MEMORY_BOUND


# --- teardown ----------------------------------------------------------------------


def close_case(path):
    transport = FakeTransport()
    error = OSError("closed already")
    interrupt = Interrupt()
    if path == "success":
        obj = with_client(FakeClient(transport=transport))
        return returns(obj._close, None), [obj, obj._sftp, transport]
    if path == "no transport under the channel":
        obj = with_client(FakeClient(transport=None))
        return returns(obj._close, None), [obj, obj._sftp]
    if path == "client without get_channel":
        obj = with_client(types.SimpleNamespace(close=lambda: None))
        return returns(obj._close, None), [obj, obj._sftp]
    if path == "transport close raises":
        transport.close_raises = error
        obj = with_client(FakeClient(transport=transport))
        return raises(obj._close, OSError, error), [obj, transport, error]
    if path == "client close raises":
        obj = with_client(FakeClient(raises=error, transport=transport))
        return raises(obj._close, OSError, error), [obj, transport, error]
    if path == "never connected":
        obj = bare_instance()
        return raises(obj._close, AttributeError), [obj]
    if path == "finaliser called":
        obj = with_client(FakeClient(transport=transport))
        return returns(obj.__del__, None), [obj, obj._sftp, transport]
    if path == "finaliser swallows":
        obj = with_client(FakeClient(raises=error))
        return returns(obj.__del__, None), [obj, error]
    if path == "finaliser lets an interrupt through":
        obj = with_client(FakeClient(raises=interrupt))

        def call():
            try:
                obj.__del__()
            except Interrupt as exc:
                assert exc is interrupt
                forget_traceback(exc)
            else:
                raise AssertionError("no exception")

        return call, [obj, interrupt]
    if path == "dropped instance":
        client = FakeClient(transport=transport)

        def call():
            with_client(client)  # dropped at once: the finaliser closes it

        return call, [client, transport]
    if path == "dropped half-built instance":
        config = {"host": text("h")}

        def call():
            try:
                Cls(config)
            except Exception:
                pass

        return call, [config]
    raise ValueError(path)


CLOSE_PATHS = [
    "success",
    "no transport under the channel",
    "client without get_channel",
    "transport close raises",
    "client close raises",
    "never connected",
    "finaliser called",
    "finaliser swallows",
    "finaliser lets an interrupt through",
    "dropped instance",
    "dropped half-built instance",
]


@pytest.mark.parametrize("path", CLOSE_PATHS)
def test_teardown_keeps_counts_and_memory(path):
    call, tracked = close_case(path)
    before, after, grown = measure(call, tracked, CALLS)
    assert after == before
    assert grown < MEMORY_BOUND
    defuse(tracked)


def test_transport_is_closed_by_close():
    # The counting loops above cannot see whether the close happened.
    transport = FakeTransport()
    obj = with_client(FakeClient(transport=transport))
    for _ in range(3):
        obj._close()
    assert transport.closed == 3
