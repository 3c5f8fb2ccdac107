"""The main job with --flaky, --retries and --resume: a relay that cuts every
connection in front of the embedded server, and a round trip that survives."""

import os
import re
import subprocess
import sys


def run_demo(live, *arguments):
    env = {k: v for k, v in os.environ.items() if k != "SFTP_MAIN_PASSWORD"}
    return subprocess.run(
        [sys.executable, str(live.repo / "devtools" / "round_trip.py"), "--no-progress", *arguments],
        cwd=live.repo,
        env=env,
        stdin=subprocess.DEVNULL,
        capture_output=True,
        text=True,
        timeout=300,
    )


def test_a_flaky_round_trip_is_cut_at_least_twice_each_way_and_passes(live):
    done = run_demo(live, "--flaky")
    assert done.returncode == 0, done.stdout + done.stderr
    lines = done.stdout.splitlines()
    assert lines[-1].startswith("PASS: round trip complete: 13 steps"), done.stdout
    assert "'retries': 3" in done.stdout and "'resume': True" in done.stdout
    [summary] = [line for line in lines if line.startswith("    relay: ")]
    found = re.match(r"    relay: (\d+) connections, (\d+) cut after 3\.00 MiB each; carried ([\d.]+) MiB up "
                     r"\(([\d.]+)x the file\) and ([\d.]+) MiB down \(([\d.]+)x the file\) for a file of 8\.00 MiB$",
                     summary)
    assert found, summary
    connections, cuts = int(found[1]), int(found[2])
    up_ratio, down_ratio = float(found[4]), float(found[6])
    # At least two cuts in each transfer; a transfer that started over on
    # each connection would never get through 8 MiB in 3 MiB pieces.
    assert cuts >= 4 and connections == cuts + 1
    assert 1.0 <= up_ratio <= 1.5 and 1.0 <= down_ratio <= 1.5
    per_connection = [line for line in lines if line.startswith("    relay connection ")]
    assert len(per_connection) == connections
    assert "Traceback" not in done.stderr


def test_retries_and_resume_reach_the_configuration_of_a_plain_round_trip(live):
    done = run_demo(live, "--retries", "2", "--resume", "--size", "1M")
    assert done.returncode == 0, done.stdout + done.stderr
    assert "'retries': 2" in done.stdout and "'resume': True" in done.stdout
    assert "relay" not in done.stdout
    assert done.stdout.splitlines()[-1].startswith("PASS: round trip complete: 13 steps")


def test_flaky_with_a_real_server_is_a_usage_error(live):
    done = run_demo(live, "--flaky", "--host", "127.0.0.1")
    assert done.returncode == 2
    assert "--flaky uses the embedded server" in done.stderr


def test_the_plain_demo_shows_neither_option(live):
    done = run_demo(live, "--size", "64K")
    assert done.returncode == 0, done.stdout + done.stderr
    assert "retries" not in done.stdout and "resume" not in done.stdout and "relay" not in done.stdout
