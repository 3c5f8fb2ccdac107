"""The stand-ins keep the paths of key files out of what they show, as sftp_main does."""

import os
import traceback

import paramiko
import pytest

import sftp_main
from tavrel_ssh import TavrelSSH
from tavrel_var import TavrelVar

# Port 9 on loopback: a key that wrongly loaded would end in a refused
# connection, not in the error expected here.
JUMP = {"host": "target", "port": 22, "user": "u", "ssh": True, "ssh_host": "127.0.0.1", "ssh_port": 9,
        "ssh_user": "hop"}
PASSPHRASE = "the right one"
WRONG = "not-it-7f3a"


@pytest.fixture
def key_folder(tmp_path):
    # A name no message would hold by chance.
    folder = tmp_path / "where-the-key-lies-5d1c"
    folder.mkdir()
    return folder


@pytest.mark.parametrize("name", ["key_file", "ssh_rsa"])
def test_repr_masks_key_file_paths(key_folder, name):
    path = str(key_folder / "id")
    for shown in (repr(TavrelVar(host="h", **{name: path})), repr(TavrelSSH({"host": "h", name: path}))):
        assert path not in shown and "where-the-key-lies" not in shown
        assert f"{name!r}: '***'" in shown
        assert "'host': 'h'" in shown


def module_masks(name):
    """Whether sftp_main's own note masks the value of ``name``."""
    value = "shown-or-not-91b2"
    with pytest.raises(Exception) as raised:
        sftp_main.TavrelSFTPMain({name: value})
    notes = "".join(raised.value.__notes__)
    assert f"{name!r}: " in notes, notes
    return value not in notes


@pytest.mark.parametrize(
    "name",
    ["key_file", "ssh_rsa", "ssh_rsa_pwd", "key_passphrase", "password", "ssh_password", "host_key", "ssh_host_key",
     "api_token", "client_secret", "private_path", "credentials", "KEY_FILE", "known_hosts", "host", "timeout",
     "progress", "ssh_host"],
)
def test_the_stand_in_masks_what_the_module_masks(name):
    value = "shown-or-not-91b2"
    assert (value not in repr(TavrelVar(**{name: value}))) == module_masks(name)


def key_mapping(key_folder, passphrase, kind="encrypted"):
    path = key_folder / "jump_key"
    if kind == "encrypted":
        paramiko.ECDSAKey.generate().write_private_key_file(str(path), password=PASSPHRASE)
    elif kind == "garbage":
        path.write_text("this is not a private key\n")
    elif kind == "directory":
        path.mkdir()
    return {**JUMP, "ssh_rsa": str(path), "ssh_rsa_pwd": passphrase}, str(path)


@pytest.mark.parametrize(
    "kind, passphrase, error_type, named",
    [
        ("absent", None, FileNotFoundError, "'ssh_rsa': cannot read"),
        ("directory", None, IsADirectoryError, "'ssh_rsa': cannot read"),
        ("garbage", None, ValueError, "'ssh_rsa': cannot load"),
        ("encrypted", None, ValueError, "set 'ssh_rsa_pwd'"),
        ("encrypted", WRONG, ValueError, "'ssh_rsa', 'ssh_rsa_pwd'"),
    ],
)
def test_key_errors_name_the_setting_and_no_path_anywhere_in_the_traceback(key_folder, kind, passphrase, error_type,
                                                                          named):
    mapping, path = key_mapping(key_folder, passphrase, kind)
    with pytest.raises(error_type) as raised:
        TavrelSSH(mapping).connect()
    error = raised.value
    assert named in str(error)
    assert error.__cause__ is not None
    shown = "".join(traceback.format_exception(error))
    for secret in (path, "where-the-key-lies", PASSPHRASE, WRONG):
        assert secret not in shown, shown
    assert getattr(error, "filename", None) is None


def test_the_cause_keeps_the_kind_of_failure(key_folder):
    mapping, _ = key_mapping(key_folder, None, "absent")
    with pytest.raises(FileNotFoundError) as raised:
        TavrelSSH(mapping).connect()
    assert isinstance(raised.value.__cause__, FileNotFoundError)
    assert raised.value.__cause__.strerror and raised.value.__cause__.filename is None


def test_a_passphrase_that_fits_loads_the_key_and_goes_on_to_connect(key_folder):
    # The key loads: what fails is the connection to port 9, not the key.
    mapping, _ = key_mapping(key_folder, PASSPHRASE)
    with pytest.raises(Exception) as raised:
        TavrelSSH(mapping).connect()
    assert "ssh_rsa" not in str(raised.value)
    assert not isinstance(raised.value, ValueError)


@pytest.mark.skipif(os.geteuid() != 0, reason="needs root to play the user nobody")
def test_a_key_file_another_user_cannot_read_names_the_setting_not_the_path(key_folder):
    mapping, path = key_mapping(key_folder, PASSPHRASE)
    os.chmod(path, 0o600)
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:  # the child: the user nobody, who may not read root's key
        code = 1
        try:
            os.close(read_end)
            os.setgroups([])
            os.setgid(65534)
            os.setuid(65534)
            try:
                TavrelSSH(mapping).connect()
                said = "connected"
            except BaseException as error:  # noqa: BLE001 - reported to the parent
                said = f"{type(error).__name__}\n{''.join(traceback.format_exception(error))}"
            os.write(write_end, said.encode("utf-8", "replace"))
            code = 0
        finally:
            os._exit(code)
    os.close(write_end)
    with os.fdopen(read_end, "rb") as pipe:
        said = pipe.read().decode("utf-8")
    assert os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0
    kind, _, shown = said.partition("\n")
    assert kind == "PermissionError", said
    assert "'ssh_rsa': cannot read the private key file (Permission denied)" in shown
    assert path not in shown and "where-the-key-lies" not in shown and PASSPHRASE not in shown
