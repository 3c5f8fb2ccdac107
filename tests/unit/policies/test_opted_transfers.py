"""The opt-in transfer options, and the log record of a False."""

from operations_support import *  # noqa: F401,F403 - the shared tables and fixtures


# --- opt-in transfer options and the record of a False --------------------


def test_opted_transfers_pass_the_callback_and_upload_atomically(fakes, cls):
    progress = print
    obj = cls({**GOOD_CONFIG, "atomic_upload": True, "progress": progress})
    obj._connect()
    obj._sftp._methods |= {"lstat", "chmod"}
    obj._sftp.returns["lstat"] = SimpleNamespace(st_mode=0o104640)  # a private file, set-uid
    fakes.log.clear()
    assert obj._upload("local.bin", "/in/box/report.csv") is True
    assert obj._download("/in/r", "/nonexistent-dir/d") is True
    mkdir, put, lstat, chmod, rename, rmdir, get = fakes.log.calls
    staging = mkdir.args[0]
    assert re.fullmatch(r"/in/box/\.report\.csv\.[0-9a-f]{16}\.part", staging)
    assert mkdir.args[1:] == (0o700,) and rmdir.args == (staging,)
    temporary = put.args[1]
    assert temporary == staging + "/report.csv"
    assert (put.name, put.args[0], put.kwargs) == ("sftp.put", "local.bin", {"callback": progress})
    assert (lstat.name, lstat.args) == ("sftp.lstat", ("/in/box/report.csv",))
    assert (chmod.name, chmod.args) == ("sftp.chmod", (temporary, 0o640))
    assert (rename.name, rename.args, rename.kwargs) == ("sftp.posix_rename", (temporary, "/in/box/report.csv"), {})
    assert (get.name, get.args, get.kwargs) == ("sftp.get", ("/in/r", "/nonexistent-dir/d"), {"callback": progress})

    fakes.log.clear()
    obj._sftp.raises["lstat"] = FileNotFoundError(2, "No such file")
    obj._sftp.raises["posix_rename"] = Boom("Operation unsupported")
    assert obj._upload("local.bin", "report.csv") is False
    assert fakes.log.names() == ["sftp.mkdir", "sftp.put", "sftp.lstat", "sftp.posix_rename", "sftp.remove", "sftp.rmdir"]
    assert fakes.log.of("sftp.remove")[0].args == (fakes.log.calls[1].args[1],)
    assert fakes.log.of("sftp.rmdir")[0].args == (fakes.log.calls[0].args[0],)

    fakes.log.clear()
    obj._sftp.raises["mkdir"] = PermissionError(13, "Permission denied")
    obj._sftp.raises.pop("posix_rename")
    assert obj._upload("local.bin", "report.csv") is True
    assert fakes.log.names() == ["sftp.mkdir", "sftp.put", "sftp.lstat", "sftp.posix_rename"]
    assert re.fullmatch(r"\.report\.csv\.[0-9a-f]{16}\.part", fakes.log.calls[1].args[1])


def test_a_false_transfer_is_logged_only_where_logging_is_configured(tmp_path):
    script = (
        "import logging, sys, sftp_main\n"
        "if sys.argv[1] == 'configured': logging.basicConfig(level=logging.INFO)\n"
        "obj = sftp_main.TavrelSFTPMain.__new__(sftp_main.TavrelSFTPMain)\n"
        "print(obj._upload('/nope', 'x'))\n"
        "print([type(h).__name__ for h in logging.getLogger('sftp_main').handlers])\n"
    )
    def run(mode):
        done = subprocess.run([sys.executable, "-c", script, mode], capture_output=True, text=True, timeout=60)
        return done.stdout, done.stderr

    assert run("plain") == ("False\n['NullHandler']\n", "")
    out, err = run("configured")
    assert out == "False\n['NullHandler']\n"
    first, *traceback = err.splitlines()
    assert first == (
        "INFO:sftp_main:sftp_main: _upload('/nope', 'x') returned False: "
        "AttributeError: 'TavrelSFTPMain' object has no attribute '_sftp'"
    )
    assert traceback == [  # the exc_info, with the note on what to do
        "AttributeError: 'TavrelSFTPMain' object has no attribute '_sftp'",
        "Not connected: call _connect() first.",
    ]
