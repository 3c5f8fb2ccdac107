"""No password in a repr, an error message or a log line that this project
produces: the module, the framework stand-ins and the devtools.

Passwords are made at run time, so that no source line shown in a
traceback can hold one.
"""

from __future__ import annotations

import importlib.util
import logging
import os
import secrets
import subprocess
import sys
import traceback

import pytest

import sftp_main
from tavrel_log import TavrelLog
from tavrel_ssh import TavrelSSH
from tavrel_var import TavrelVar

Cls = sftp_main.TavrelSFTPMain


def fresh_secret():
    return "pw-" + secrets.token_urlsafe(12)


def everything_said_by(exc):
    """Every text an exception shows: str, repr, args and the whole
    formatted traceback with its chained causes."""
    parts = [str(exc), repr(exc), repr(exc.args)]
    parts.extend(traceback.format_exception(exc))
    return "".join(parts)


@pytest.fixture
def all_log_records():
    """Every record of every logger, down to DEBUG, while the test runs."""
    records = []

    class Keep(logging.Handler):
        def emit(self, record):
            records.append(self.format(record))

    handler = Keep(logging.DEBUG)
    handler.setFormatter(logging.Formatter("%(name)s %(levelname)s %(message)s"))
    root = logging.getLogger()
    previous = root.level
    root.addHandler(handler)
    root.setLevel(logging.DEBUG)
    yield records
    root.removeHandler(handler)
    root.setLevel(previous)


def test_stand_in_reprs_hide_every_password():
    password, ssh_password, key_password = fresh_secret(), fresh_secret(), fresh_secret()
    entries = {
        "host": "h",
        "user": "u",
        "password": password,
        "ssh_password": ssh_password,
        "ssh_rsa_pwd": key_password,
    }
    var = TavrelVar(**entries)
    shown = [repr(var), str(var), repr(TavrelSSH(entries)), repr(TavrelSSH(entries).connect()), repr(TavrelLog())]
    for text in shown:
        for secret in (password, ssh_password, key_password):
            assert secret not in text
    # The values are still there for the connection to use.
    assert var.password == password and var.get("ssh_rsa_pwd") == key_password


def test_instance_reprs_hide_the_password(live):
    password = fresh_secret()
    with live.server_class({live.user: password}) as server:
        client = Cls(live.config(server, password=password))
        shown = [repr(client), repr(vars(client)), repr(client._config)]
        client._connect()
        shown += [repr(vars(client)), repr(client._sftp), repr(client._ssh)]
        client._close()
    for text in shown:
        assert password not in text


def failing_calls(password, live_config):
    """Calls that fail with the password in the configuration."""

    class Strict(Cls):
        def _set_params_dict(self):
            super()._set_params_dict()
            self._params_dict["password"]["optional"] = ["only-this"]

    def with_bad_port():
        Cls(dict(live_config, host="::1", port="no-port", password=password))._connect()

    def wrong_password():
        Cls(dict(live_config, password=password))._connect()

    def binding():
        obj = Cls(dict(live_config, password=password))
        obj._rename(password)

    def not_connected():
        # The error's note repeats the path given; the password stays in
        # the configuration.
        Cls(dict(live_config, password=password))._stat("/data/report.csv")

    def close_unconnected():
        Cls(dict(live_config, password=password))._close()

    return {
        "missing host": lambda: Cls({"user": "u", "password": password}),
        "rejected value": lambda: Strict({"host": "h", "user": "u", "password": password}),
        "bad port": with_bad_port,
        "wrong password": wrong_password,
        "binding": binding,
        "not connected": not_connected,
        "close before connect": close_unconnected,
        "no configuration": lambda: Cls(None),
        "list of pairs": lambda: Cls([("host", "h"), ("user", "u"), ("password", password)]),
    }


def test_errors_and_log_lines_hide_the_password(live, all_log_records):
    password = fresh_secret()
    with live.server() as server:  # knows another password: the login fails
        calls = failing_calls(password, live.config(server))
        said = {}
        for name, call in calls.items():
            with pytest.raises(Exception) as info:
                call()
            said[name] = everything_said_by(info.value)
    for name, text in said.items():
        assert password not in text, name
    assert "AuthenticationException" in said["wrong password"]
    assert all_log_records, "paramiko logged nothing at DEBUG: the check would prove nothing"
    for line in all_log_records:
        assert password not in line


def test_a_successful_session_logs_no_password(live, all_log_records, tmp_path):
    with live.server() as server:
        client = Cls(live.config(server))
        client._connect()
        local = tmp_path / "f.bin"
        local.write_bytes(b"x" * 100)
        assert client._upload(str(local), "f.bin") is True
        assert client._download("f.bin", str(tmp_path / "g.bin")) is True
        client._close()
    assert any("paramiko" in line for line in all_log_records)
    for line in all_log_records:
        assert live.password not in line


@pytest.mark.parametrize("right_password", [True, False], ids=["success", "wrong password"])
def test_round_trip_program_prints_no_password(live, right_password):
    with live.server() as server:
        password = live.password if right_password else fresh_secret()
        env = dict(os.environ, SFTP_MAIN_PASSWORD=password)
        process = subprocess.run(
            [
                sys.executable,
                str(live.devtools / "round_trip.py"),
                "--host",
                server.host,
                "--port",
                str(server.port),
                "--user",
                live.user,
                "--size",
                "4K",
                "--traceback",
            ],
            capture_output=True,
            text=True,
            env=env,
            timeout=120,
            cwd=live.devtools,
        )
    assert process.returncode == (0 if right_password else 1), process.stderr
    assert password not in process.stdout
    assert password not in process.stderr
    if not right_password:
        assert "AuthenticationException" in process.stderr


def test_key_path_and_passphrase_stay_out_of_errors_and_log_lines(live, all_log_records, tmp_path):
    passphrase = fresh_secret()
    key_file = tmp_path / f"key-{secrets.token_hex(6)}"
    subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", passphrase, "-f", str(key_file)], check=True)
    public = key_file.with_suffix(".pub").read_text().strip()
    with live.server(authorized_keys={live.user: [public]}) as server:
        def login(**secret):
            client = Cls({"host": server.host, "port": server.port, "user": live.user, "key_file": str(key_file), **secret})
            client._connect()
            client._close()

        login(key_passphrase=passphrase)
        said = []
        for secret in ({}, {"key_passphrase": passphrase[::-1]}):
            with pytest.raises(ValueError) as info:
                login(**secret)
            said.append(everything_said_by(info.value))
    assert "Authentication (publickey) successful" in "".join(all_log_records)
    for text in [*said, *all_log_records]:
        assert passphrase not in text and passphrase[::-1] not in text
        assert str(key_file) not in text


def test_the_benchmark_servers_take_their_password_off_the_command_line(live, monkeypatch):
    # The benchmark's jump host forwards to loopback ports for whoever logs
    # in, and every local user can read a process's command line.
    monkeypatch.setattr(sys, "path", list(sys.path))  # the benchmark adds its own directory
    spec = importlib.util.spec_from_file_location("sftp_main_bench_run", live.devtools.parent / "bench" / "run.py")
    bench = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(bench)
    with bench.ServerProcess("forwarding") as jump:
        command_line = open(f"/proc/{jump.process.pid}/cmdline", "rb").read()
        client = Cls({"host": jump.host, "port": jump.port, "user": bench.USER, "password": bench.PASSWORD})
        client._connect()
        client._close()
    assert bench.PASSWORD.encode() not in command_line and b"serve.py" in command_line
