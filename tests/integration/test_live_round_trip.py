"""The main job, run as `make demo` runs it."""

import os
import subprocess
import sys


def test_round_trip_demo_passes(live):
    env = {k: v for k, v in os.environ.items() if k != "SFTP_MAIN_PASSWORD"}
    done = subprocess.run(
        [sys.executable, str(live.repo / "devtools" / "round_trip.py")],
        cwd=live.repo,
        env=env,
        stdin=subprocess.DEVNULL,
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert done.returncode == 0, done.stdout + done.stderr
    lines = done.stdout.splitlines()
    assert lines[-1].startswith("PASS: round trip complete: 13 steps")
    assert "matches" in lines[-1]
    for operation in ("_connect()", "_mkdir(", "_chdir(", "_upload(", "_stat(", "_rename(", "_posix_rename(",
                      "_normalize(", "_download(", "_remove(", "_rmdir(", "_close()"):
        assert any(operation in line for line in lines), operation
    assert "'password': '***'" in done.stdout
    assert "Traceback" not in done.stderr
    assert "error" not in done.stderr
