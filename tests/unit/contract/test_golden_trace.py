"""The golden trace: every call the fakes see, for every method, over the
plain configuration and each failure branch, compared with a recorded file.

A change to the module's code that is meant to leave callers' behaviour as
it is must leave this file as it is. Set SFTP_MAIN_RECORD_GOLDEN=1 to write
it afresh (and then review the diff line by line).
"""

import io
import logging
import os
import pathlib
import re

import pytest

import sftp_main
from fakes import GOOD_CONFIG, Fake, FakeConfig

GOLDEN = pathlib.Path(__file__).with_name("golden_trace.txt")


class Boom(Exception):
    pass


class Shown:
    """Turns what the fakes saw into text that is the same on every run."""

    def __init__(self, tmp):
        self.tmp = str(tmp)

    def __call__(self, value):
        if isinstance(value, Fake):
            return f"<{value._role}>"
        if isinstance(value, FakeConfig):
            return f"<config {value._fake_state[1]}>"
        if isinstance(value, io.IOBase):
            return "<file>"
        if isinstance(value, BaseException):
            return f"{type(value).__name__}({', '.join(self(a) for a in value.args)})"
        if isinstance(value, str):
            value = re.sub(r"\.[0-9a-f]{16}\.part", ".<random>.part", value.replace(self.tmp, "<tmp>"))
            return repr(re.sub(r" at 0x[0-9a-f]+", "", value))
        if isinstance(value, (bool, int, float, bytes)) or value is None:
            return repr(value)
        if isinstance(value, dict):
            return "{" + ", ".join(f"{self(k)}: {self(v)}" for k, v in value.items()) + "}"
        if isinstance(value, (list, tuple)):
            inner = ", ".join(self(v) for v in value)
            return f"[{inner}]" if isinstance(value, list) else f"({inner}{',' if len(value) == 1 else ''})"
        if isinstance(value, os.PathLike):
            return f"<path {self(os.fspath(value))}>"
        if callable(value):
            return "<callable>"
        return f"<{type(value).__name__}>"


class Recorder:
    def __init__(self, fakes, tmp):
        self.fakes = fakes
        self.shown = Shown(tmp)
        self.lines = []
        self.records = []
        handler = logging.Handler()
        handler.emit = self.records.append
        self.handler = handler

    def drain(self):
        for call in self.fakes.log.calls:
            parts = [self.shown(a) for a in call.args] + [f"{k}={self.shown(v)}" for k, v in call.kwargs.items()]
            self.lines.append(f"    {call.name}({', '.join(parts)})")
        self.fakes.log.clear()
        for record in self.records:
            self.lines.append(f"    log {record.levelname}: {self.shown(record.getMessage())}")
        self.records.clear()

    def step(self, title, action):
        self.drain()
        self.lines.append(f"  {title}")
        logger = logging.getLogger("sftp_main")
        logger.addHandler(self.handler)
        old_level = logger.level
        logger.setLevel(logging.INFO)
        try:
            result = action()
        except BaseException as error:  # noqa: B036 - recorded, never hidden
            self.drain()
            self.lines.append(f"    raises {self.shown(error)}")
            for note in getattr(error, "__notes__", []):
                self.lines.append(f"    note {self.shown(note)}")
            return None
        finally:
            logger.removeHandler(self.handler)
            logger.setLevel(old_level)
        self.drain()
        self.lines.append(f"    returns {self.shown(result)}")
        return result


FORWARDERS = [
    ("_remove", "remove", ("a",)),
    ("_rename", "rename", ("a", "b")),
    ("_posix_rename", "posix_rename", ("a", "b")),
    ("_mkdir", "mkdir", ("d",)),
    ("_rmdir", "rmdir", ("d",)),
    ("_stat", "stat", ("f",)),
    ("_normalize", "normalize", (".",)),
    ("_chdir", "chdir", ("d",)),
]


def connected(rec, cls, config=GOOD_CONFIG):
    obj = rec.step("construct", lambda: cls(dict(config)))
    rec.step("_connect", obj._connect)
    return obj


def scenario_construction(rec, cls, tmp):
    rec.step("construct plain", lambda: cls(dict(GOOD_CONFIG)))
    rec.step("construct port given", lambda: cls({**GOOD_CONFIG, "port": "2022"}))
    rec.step("construct missing all", lambda: cls({}))
    rec.step("construct missing password", lambda: cls({"host": "h", "user": "u"}))
    rec.step("construct None", lambda: cls(None))
    rec.step("construct extra keys", lambda: cls({**GOOD_CONFIG, "colour": "blue", "retries": 3}))
    rec.fakes.raises["TavrelLog"] = Boom("log")
    rec.step("construct TavrelLog fails", lambda: cls(dict(GOOD_CONFIG)))
    del rec.fakes.raises["TavrelLog"]
    rec.fakes.raises["TavrelVar"] = Boom("var")
    rec.step("construct TavrelVar fails", lambda: cls(dict(GOOD_CONFIG)))
    del rec.fakes.raises["TavrelVar"]


def scenario_ssh_step(rec, cls, tmp):
    rec.fakes.ssh_connect_result = FakeConfig(
        rec.fakes.log, "sshvar", {"host": "inner", "port": "2022", "user": "bob", "password": "pw-2"})
    obj = rec.step("construct with ssh", lambda: cls({**GOOD_CONFIG, "ssh": True, "ssh_host": "jump"}))
    rec.step("_connect through ssh", obj._connect)
    rec.fakes.ssh_connect_result = None
    rec.fakes.raises["TavrelSSH.connect"] = Boom("jump")
    rec.step("construct ssh step fails", lambda: cls({**GOOD_CONFIG, "ssh": 1}))
    del rec.fakes.raises["TavrelSSH.connect"]


def scenario_cleansing_methods(rec, cls, tmp):
    obj = rec.step("construct", lambda: cls(dict(GOOD_CONFIG)))
    rec.step("_set_params_dict", obj._set_params_dict)
    rec.step("_set_default_params", obj._set_default_params)
    rec.step("_cleanse_params good", lambda: obj._cleanse_params({**GOOD_CONFIG, "port": 0}))
    rec.step("_cleanse_params bad", lambda: obj._cleanse_params({"user": "u"}))


def scenario_connect(rec, cls, tmp):
    connected(rec, cls)
    connected(rec, cls, {**GOOD_CONFIG, "host": "::1", "port": 2200})
    for key in ("SSHClient", "AutoAddPolicy", "Transport", "from_transport"):
        obj = rec.step("construct", lambda: cls(dict(GOOD_CONFIG)))
        rec.fakes.paramiko.raises[key] = Boom(key)
        rec.step(f"_connect {key} fails", obj._connect)
        del rec.fakes.paramiko.raises[key]
    obj = rec.step("construct", lambda: cls(dict(GOOD_CONFIG)))
    real_transport = rec.fakes.paramiko.Transport

    def failing_transport(*args, **kwargs):
        transport = real_transport(*args, **kwargs)
        transport.raises["connect"] = Boom("login")
        return transport

    rec.fakes.paramiko.Transport = failing_transport
    rec.step("_connect login fails", obj._connect)
    rec.fakes.paramiko.Transport = real_transport
    rec.step("_connect without __init__", cls.__new__(cls)._connect)


def scenario_close(rec, cls, tmp):
    obj = connected(rec, cls)
    rec.step("_close", obj._close)
    obj = connected(rec, cls)
    obj._sftp.raises["close"] = Boom("close")
    rec.step("_close sftp close fails", obj._close)
    rec.step("_close never connected", cls.__new__(cls)._close)
    obj = connected(rec, cls)
    rec.step("__del__", obj.__del__)
    rec.step("__del__ never connected", cls.__new__(cls).__del__)


def scenario_forwarders(rec, cls, tmp):
    obj = connected(rec, cls)
    for method, remote, args in FORWARDERS:
        obj._sftp.returns[remote] = f"{remote}-result"
        rec.step(f"{method}", lambda: getattr(obj, method)(*args))
        obj._sftp.raises[remote] = Boom(remote)
        rec.step(f"{method} fails", lambda: getattr(obj, method)(*args))
        del obj._sftp.raises[remote]
        obj._sftp.raises[remote] = FileNotFoundError(2, "No such file")
        rec.step(f"{method} not found", lambda: getattr(obj, method)(*args))
        del obj._sftp.raises[remote]
    bare = cls.__new__(cls)
    rec.step("_stat never connected", lambda: bare._stat("f"))


def scenario_transfers(rec, cls, tmp):
    obj = connected(rec, cls)
    destination = str(tmp / "local.bin")
    rec.step("_upload", lambda: obj._upload("src", "dst"))
    obj._sftp.raises["put"] = Boom("put")
    rec.step("_upload fails", lambda: obj._upload("src", "dst"))
    del obj._sftp.raises["put"]
    # The staged download stands in for the contract's get(src, dst) on
    # every client with getfo: the trace pins getfo, not get.
    obj._sftp.returns["getfo"] = 0
    rec.step("_download staged", lambda: obj._download("src", destination))
    obj._sftp.raises["getfo"] = Boom("getfo")
    rec.step("_download fails", lambda: obj._download("src", destination))
    del obj._sftp.raises["getfo"]
    obj._sftp.returns["getfo"] = 5
    rec.step("_download size mismatch", lambda: obj._download("src", destination))
    rec.step("_download not a path", lambda: obj._download("src", io.BytesIO()))
    obj._sftp.raises["get"] = Boom("get")
    rec.step("_download direct fails", lambda: obj._download("src", io.BytesIO()))
    obj._sftp.raises["put"] = KeyboardInterrupt()
    rec.step("_upload interrupted", lambda: obj._upload("src", "dst"))
    bare = cls.__new__(cls)
    rec.step("_upload never connected", lambda: bare._upload("src", "dst"))
    rec.step("_download never connected", lambda: bare._download("src", destination))


def scenario_opted_transfers(rec, cls, tmp):
    seen = []
    obj = connected(rec, cls, {**GOOD_CONFIG, "atomic_upload": True, "progress": lambda *a: seen.append(a)})
    rec.step("_upload atomic", lambda: obj._upload("src", "dir/dst"))
    obj._sftp.raises["posix_rename"] = Boom("rename")
    rec.step("_upload atomic rename fails", lambda: obj._upload("src", "dir/dst"))
    obj._sftp.returns["getfo"] = 0
    rec.step("_download with progress", lambda: obj._download("src", str(tmp / "p.bin")))


def scenario_malformed_values(rec, cls, tmp):
    for key, value in [("timeout", "abc"), ("timeout", 0), ("host_key", "nope"), ("host_key", []),
                       ("progress", 3), ("key_file", 3), ("known_hosts", 3),
                       ("known_hosts", str(tmp / "missing"))]:
        obj = rec.step("construct", lambda: cls({**GOOD_CONFIG, key: value}))
        rec.step(f"_connect {key}={rec.shown(value)}", obj._connect)
    obj = rec.step("construct with ssh and a bad timeout", lambda: cls({**GOOD_CONFIG, "ssh": True, "timeout": "x"}))


SCENARIOS = [
    scenario_construction,
    scenario_ssh_step,
    scenario_cleansing_methods,
    scenario_connect,
    scenario_close,
    scenario_forwarders,
    scenario_transfers,
    scenario_opted_transfers,
    scenario_malformed_values,
]


def trace(fakes, cls, tmp):
    lines = []
    for scenario in SCENARIOS:
        rec = Recorder(fakes, tmp)
        fakes.log.clear()
        scenario(rec, cls, tmp)
        rec.drain()
        lines.append(scenario.__name__)
        lines.extend(rec.lines)
    return "\n".join(lines) + "\n"


def test_every_call_the_fakes_see_is_the_recorded_one(fakes, cls, tmp_path):
    got = trace(fakes, cls, tmp_path)
    if os.environ.get("SFTP_MAIN_RECORD_GOLDEN") == "1":
        GOLDEN.write_text(got)
    expected = GOLDEN.read_text()
    assert got.splitlines() == expected.splitlines()


def test_the_trace_covers_every_method(cls):
    text = GOLDEN.read_text()
    from methods import METHOD_NAMES

    for name in METHOD_NAMES:
        shown = {"__init__": "construct", "__del__": "__del__"}.get(name, name)
        assert f"  {shown}" in text, name
