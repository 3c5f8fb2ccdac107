"""The three framework stand-ins installed with the package."""

import base64
import contextlib
import copy
import errno
import importlib.metadata
import logging
import os
import pickle
import resource
import socket
import time

import paramiko
import pytest
from hypothesis import given
from hypothesis import strategies as st

import tavrel_log
import tavrel_ssh
import tavrel_var
from tavrel_log import TavrelLog
from tavrel_ssh import TavrelSSH
from tavrel_var import TavrelVar
import _tavrel_tunnel
from _tavrel_tunnel import MAX_LINKS, Tunnel


@pytest.mark.parametrize("module", [tavrel_log, tavrel_ssh, tavrel_var])
def test_module_says_it_is_a_stand_in(module):
    assert "stand-in" in module.__doc__.lower()
    assert "real framework replaces it" in " ".join(module.__doc__.split())


# -- TavrelLog ---------------------------------------------------------------


def test_log_wraps_a_standard_logger_and_passes_records_on(caplog):
    log = TavrelLog(file=False)
    assert isinstance(log.logger, logging.Logger)
    with caplog.at_level(logging.INFO, logger=log.logger.name):
        log.info("hello %s", "there")
        log.error("broken")
    assert [(r.levelname, r.getMessage()) for r in caplog.records] == [("INFO", "hello there"), ("ERROR", "broken")]


def test_log_writes_no_file(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    log = TavrelLog(file=False)
    log.warning("nothing on disk")
    assert list(tmp_path.iterdir()) == []
    assert not any(isinstance(h, logging.FileHandler) for h in log.logger.handlers)


def test_log_refuses_to_promise_a_file():
    with pytest.raises(ValueError):
        TavrelLog(file=True)


def test_log_default_is_no_file():
    assert isinstance(TavrelLog().logger, logging.Logger)


# -- TavrelVar ---------------------------------------------------------------


def test_var_answers_get_and_attribute_reads():
    var = TavrelVar(host="example", port=22)
    assert var.get("host") == "example"
    assert var.host == "example"
    assert var.port == 22


def test_var_absent_names_read_as_none():
    var = TavrelVar(host="example")
    assert var.get("port") is None
    assert var.ssh is None


def test_var_keeps_keys_that_are_not_identifiers():
    var = TavrelVar(**{"a-b": 1, "with space": 2, "9lives": 3, "self": 4, "名": 5})
    assert var.get("a-b") == 1
    assert var.get("with space") == 2
    assert var.get("9lives") == 3
    assert var.get("self") == 4
    assert var.名 == 5


def test_var_keeps_values_without_copying_them():
    value = ["shared"]
    var = TavrelVar(item=value)
    assert var.get("item") is value


def test_var_set_is_seen_by_get_and_attribute_reads():
    var = TavrelVar(host="a")
    assert var.set("port", 22) is None
    var.set("host", "b")
    assert var.get("port") == 22
    assert var.port == 22
    assert var.host == "b"


def test_var_todict_is_a_new_plain_dict():
    var = TavrelVar(host="a", port=22)
    first = var.todict()
    assert type(first) is dict
    assert first == {"host": "a", "port": 22}
    first["host"] = "changed"
    assert var.get("host") == "a"
    assert var.todict() is not var.todict()


def test_var_keeps_entries_from_the_keyword_mapping_not_the_mapping_itself():
    source = {"host": "a"}
    var = TavrelVar(**source)
    source["host"] = "b"
    assert var.get("host") == "a"


def test_var_dunder_names_are_not_answered_with_none():
    var = TavrelVar()
    assert not hasattr(var, "__no_such_dunder__")
    with pytest.raises(AttributeError):
        var.__setstate_missing__


def test_var_copies_are_independent():
    var = TavrelVar(host="a", nested={"k": 1})
    shallow = copy.copy(var)
    shallow.set("host", "b")
    assert var.get("host") == "a"
    assert shallow.get("nested") is var.get("nested")
    deep = copy.deepcopy(var)
    assert deep.todict() == var.todict()
    assert deep.get("nested") is not var.get("nested")


def test_var_pickles():
    var = TavrelVar(host="a", port=22, **{"a-b": [1, 2]})
    restored = pickle.loads(pickle.dumps(var))
    assert type(restored) is TavrelVar
    assert restored.todict() == var.todict()
    assert restored.missing is None


@pytest.mark.parametrize("key", ["password", "ssh_password", "ssh_rsa_pwd", "Password", "db_pwd_old", "key_passphrase"])
def test_var_repr_masks_password_values(key):
    secret = "hunter2-" + key
    var = TavrelVar(host="example", **{key: secret})
    text = repr(var)
    assert secret not in text
    assert f"{key!r}: '***'" in text
    assert "'host': 'example'" in text
    assert str(var) == text


def test_var_repr_shows_other_values():
    assert repr(TavrelVar(user="alice", port=22)) == "TavrelVar({'user': 'alice', 'port': 22})"


_keys = st.text(min_size=1, max_size=12)
_values = st.one_of(st.none(), st.booleans(), st.integers(), st.text(max_size=20))


@given(st.dictionaries(_keys, _values, max_size=8))
def test_var_holds_any_text_keyed_mapping(entries):
    var = TavrelVar(**entries)
    assert var.todict() == entries
    for key, value in entries.items():
        assert var.get(key) == value


@given(st.dictionaries(_keys, st.just(None), max_size=6), st.sampled_from(["password", "ssh_password", "ssh_rsa_pwd"]))
def test_var_repr_never_shows_a_password(others, key):
    secret = "S3cr3t\u2603value"
    entries = {k: f"v{i}" for i, k in enumerate(others)}
    entries[key] = secret
    assert secret not in repr(TavrelVar(**entries))


# -- TavrelSSH ---------------------------------------------------------------


@pytest.mark.parametrize("ssh", [None, False, 0, ""])
def test_ssh_off_connect_returns_a_var_of_the_mapping(ssh):
    mapping = {"host": "h", "port": 2222, "user": "u", "password": "p", "ssh": ssh, "ssh_host": "jump"}
    result = TavrelSSH(mapping).connect()
    assert isinstance(result, TavrelVar)
    assert result.todict() == mapping
    assert (result.host, result.port, result.user, result.password) == ("h", 2222, "u", "p")


def test_ssh_each_connect_gives_a_fresh_configuration():
    ssh = TavrelSSH({"host": "h"})
    first, second = ssh.connect(), ssh.connect()
    assert first is not second
    first.set("host", "changed")
    assert second.host == "h"


def test_ssh_takes_the_mapping_positionally_only():
    with pytest.raises(TypeError):
        TavrelSSH(mapping={"host": "h"})


def test_ssh_repr_hides_passwords():
    text = repr(TavrelSSH({"host": "h", "ssh_password": "topsecret"}))
    assert "topsecret" not in text
    assert "'h'" in text


# -- TavrelSSH with "ssh" on: the jump host's settings, checked before anything opens

# Port 9 on loopback: a setting that wrongly passed would end in a refused
# connection, not in the ValueError expected here.
JUMP = {"host": "target", "port": 22, "user": "u", "password": "p", "ssh": True,
        "ssh_host": "127.0.0.1", "ssh_port": 9, "ssh_user": "hop", "ssh_password": "q"}


@pytest.mark.parametrize(
    "absent, named",
    [
        (["ssh_host"], ["'ssh_host'"]),
        (["ssh_user"], ["'ssh_user'"]),
        (["ssh_password"], ["'ssh_password' or 'ssh_rsa'"]),
        (["ssh_host", "ssh_user", "ssh_password"], ["'ssh_host'", "'ssh_user'", "'ssh_password' or 'ssh_rsa'"]),
    ],
)
def test_ssh_on_names_what_the_jump_host_lacks(absent, named):
    mapping = {key: value for key, value in JUMP.items() if key not in absent}
    with pytest.raises(ValueError) as caught:
        TavrelSSH(mapping).connect()
    for name in named:
        assert name in str(caught.value)
    assert str(caught.value).count("'ssh_") == sum(name.count("'ssh_") for name in named)


_ED25519_BLOB = b"\0\0\0\x0bssh-ed25519\0\0\0\x20" + bytes(range(32))
_ED25519_TEXT = base64.b64encode(_ED25519_BLOB).decode()


@pytest.mark.parametrize(
    "name, value",
    [
        ("ssh_host_key", "SHA256:tooshort"),
        ("ssh_host_key", "MD5:" + "a" * 43),
        ("ssh_host_key", "ssh-ed25519 not-base64!"),
        ("ssh_host_key", f"ssh-rsa {_ED25519_TEXT}"),  # the line's type is not the key's
        ("ssh_host_key", [""]),
        ("ssh_host_key", []),
        ("ssh_host_key", ()),
        ("ssh_host_key", 0),
        ("ssh_host_key", [f"ssh-ed25519 {_ED25519_TEXT}", 7]),
        ("timeout", 0),
        ("timeout", -1.5),
        ("timeout", True),
        ("timeout", "soon"),
        ("timeout", float("nan")),
        ("ssh_port", "twenty-two"),
        ("ssh_port", 70000),
    ],
)
def test_ssh_on_rejects_a_malformed_value_before_connecting(name, value):
    with pytest.raises(ValueError) as caught:
        TavrelSSH({**JUMP, name: value}).connect()
    message = str(caught.value)
    assert repr(name) in message
    if name == "ssh_host_key":
        assert "SHA256:" in message and "public key line" in message and "list or tuple" in message


def test_sftp_main_installs_no_framework_module():
    try:
        files = importlib.metadata.files("sftp_main")
    except importlib.metadata.PackageNotFoundError:
        pytest.skip("sftp_main is not installed as a distribution here")
    top_level = {path.parts[0] for path in files if not path.parts[0].endswith(".dist-info")}
    assert top_level and all(name.startswith("sftp_main") for name in top_level), top_level


def test_each_stand_in_loads_without_the_others(run_python):
    # sftp_main imports the three modules one by one; a missing tavrel_var
    # must leave tavrel_ssh imported and fail on tavrel_var itself.
    result = run_python(
        """
        import sys
        sys.modules["tavrel_var"] = None
        try:
            import sftp_main
        except ImportError as error:
            print("error:", error)
        print(sorted(m for m in ("paramiko", "tavrel_log", "tavrel_ssh", "sftp_main") if m in sys.modules))
        """
    )
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert "tavrel_var" in lines[0]
    assert lines[1] == "['paramiko', 'tavrel_log', 'tavrel_ssh']"


def key_file_mapping(tmp_path, passphrase):
    key_file = tmp_path / "jump_key"
    paramiko.ECDSAKey.generate().write_private_key_file(str(key_file), password="the right one")
    return {**JUMP, "ssh_password": None, "ssh_rsa": str(key_file), "ssh_rsa_pwd": passphrase}


@pytest.mark.parametrize(
    "case, error_type, named",
    [
        ("no such file", FileNotFoundError, "'ssh_rsa'"),
        ("no passphrase", ValueError, "set 'ssh_rsa_pwd'"),
        ("wrong passphrase", ValueError, "'ssh_rsa', 'ssh_rsa_pwd'"),
    ],
)
def test_ssh_on_a_key_file_that_cannot_be_loaded_names_the_setting(tmp_path, case, error_type, named):
    mapping = key_file_mapping(tmp_path, {"wrong passphrase": "not it"}.get(case))
    if case == "no such file":
        mapping["ssh_rsa"] = str(tmp_path / "absent")
    with pytest.raises(error_type) as caught:
        TavrelSSH(mapping).connect()
    assert named in str(caught.value)
    assert caught.value.__cause__ is not None
    assert "the right one" not in str(caught.value)


# -- the tunnel's listener, over a jump connection that is a fake -------------


class FakeChannel:
    """A channel whose far end is one end of a socket pair; it ends when the near side shuts its writing."""

    def __init__(self):
        self._near, self._far = socket.socketpair()
        self.eof_received = False

    @property
    def closed(self):
        return self._near.fileno() == -1

    def recv(self, size):
        return self._near.recv(size)

    def sendall(self, data):
        self._near.sendall(data)

    def shutdown_write(self):
        self._far.close()

    def close(self):
        self._near.close()
        self._far.close()


class FakeJumpClient:
    def __init__(self):
        self.channels = []
        self.refusal = None  # the jump host's reason, once it refuses channels
        self.last_open_failure = ""

    def get_transport(self):
        return self

    def open_channel(self, kind, destination, originator, **options):
        if self.refusal is not None:
            self.last_open_failure = self.refusal
            raise paramiko.ChannelException(2, "Connect failed")
        self.channels.append(FakeChannel())
        return self.channels[-1]

    def close(self):
        for channel in self.channels:
            channel.close()


@pytest.fixture
def tunnel():
    made = Tunnel(FakeJumpClient(), ("target", 22), None, "jump:22")
    yield made
    made.close()


def eventually(predicate, seconds=5.0):
    deadline = time.monotonic() + seconds
    while not predicate() and time.monotonic() < deadline:
        time.sleep(0.01)
    return predicate()


def test_tunnel_refuses_connections_past_its_cap_at_once(tunnel, caplog):
    kept = [socket.create_connection(("127.0.0.1", tunnel.port)) for _ in range(MAX_LINKS)]
    assert eventually(lambda: tunnel.links == MAX_LINKS)
    with caplog.at_level(logging.WARNING, logger="tavrel.tunnel"):
        for _ in range(2):
            with socket.create_connection(("127.0.0.1", tunnel.port), timeout=5) as refused:
                assert refused.recv(1) == b""
    assert [record.getMessage() for record in caplog.records] == [
        f"tunnel to target:22 through jump host jump:22 refused a local connection: "
        f"{MAX_LINKS} connections are open already"
    ]
    kept[0].settimeout(0.2)
    with pytest.raises(TimeoutError):
        kept[0].recv(1)
    kept.pop(0).close()
    assert eventually(lambda: tunnel.links == MAX_LINKS - 1)
    kept.append(socket.create_connection(("127.0.0.1", tunnel.port)))
    assert eventually(lambda: tunnel.links == MAX_LINKS)
    for sock in kept:
        sock.close()


def test_tunnel_waits_after_a_failed_accept_instead_of_spinning(tunnel):
    limits = resource.getrlimit(resource.RLIMIT_NOFILE)
    client = socket.socket()
    fillers = []
    try:
        # No descriptor left: the connection waits in the backlog, and every
        # accept fails with EMFILE.
        resource.setrlimit(resource.RLIMIT_NOFILE, (max(map(int, os.listdir("/proc/self/fd"))) + 1, limits[1]))
        with contextlib.suppress(OSError):
            while True:
                fillers.append(os.open(os.devnull, os.O_RDONLY))
        client.connect(("127.0.0.1", tunnel.port))
        started = time.process_time()
        time.sleep(1.0)
        assert time.process_time() - started < 0.2
    finally:
        for descriptor in fillers:
            os.close(descriptor)
        resource.setrlimit(resource.RLIMIT_NOFILE, limits)
    assert eventually(lambda: tunnel.links == 1)
    client.close()


@pytest.mark.skipif(not hasattr(socket, "TCP_QUICKACK"), reason="no TCP_QUICKACK here")
def test_jump_socket_that_refuses_quick_acknowledgement_still_returns_what_it_read():
    class Refusing(_tavrel_tunnel._AcknowledgingSocket):
        def setsockopt(self, *arguments):
            raise OSError(errno.ENOPROTOOPT, "Protocol not available")

    with socket.create_server(("127.0.0.1", 0)) as listener:
        with socket.create_connection(listener.getsockname()) as sender, listener.accept()[0] as accepted:
            receiver = Refusing(fileno=accepted.detach())
            with receiver:
                sender.sendall(b"banner\r\n")
                assert receiver.recv(64) == b"banner\r\n"


def test_tunnel_says_once_why_local_connections_get_no_channel(caplog):
    jump = FakeJumpClient()
    tunnel = Tunnel(jump, ("target", 22), None, "jump:22")
    try:
        with socket.create_connection(("127.0.0.1", tunnel.port)):  # takes the channel opened at the start
            jump.refusal = "Connection refused"
            with caplog.at_level(logging.WARNING, logger="tavrel.tunnel"):
                for _ in range(3):
                    with socket.create_connection(("127.0.0.1", tunnel.port), timeout=5) as refused:
                        assert refused.recv(1) == b""
    finally:
        tunnel.close()
    assert [record.getMessage() for record in caplog.records] == [
        "tunnel connection refused: jump host jump:22 could not connect to target:22: Connect failed: Connection refused"
    ]


def test_a_socket_subclass_is_kept_as_it_is_and_its_errors_fail_nothing():
    class Guarded(socket.socket):
        def setsockopt(self, *arguments):
            raise RuntimeError("socket options are not allowed here")

    with socket.create_server(("127.0.0.1", 0)) as listener, Guarded() as caller_socket:
        caller_socket.connect(listener.getsockname())
        with listener.accept()[0]:
            assert _tavrel_tunnel._acknowledging(caller_socket) is caller_socket
            assert caller_socket.fileno() != -1
            _tavrel_tunnel.send_without_delay(caller_socket)
