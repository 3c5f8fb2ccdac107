"""What "retries" and "resume" cost a transfer that is never cut, on OpenSSH's sshd.

    python bench/retries_overhead.py [--rounds N] [--transfer-mib N]

One throwaway sshd (devtools/openssh_server.py) on loopback, one instance
per variant, each connected once. One interleaved run: in every round each
variant uploads and downloads once, in an order that rotates from round to
round; a figure is the median over the rounds of the ratio, within the
round, of the variant's throughput to that of the instance without the
names (for an upload with "resume", which stages as "atomic_upload" does,
to that of an instance with "atomic_upload"). They are to stay at 0.97 or
above.
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "devtools"))

import sftp_main  # noqa: E402
from openssh_server import OpenSSHServer, unavailable_reason  # noqa: E402

AT_LEAST = 0.97
VARIANTS = {
    "plain": {},
    "retries": {"retries": 3},
    "atomic_upload": {"atomic_upload": True},
    "retries+resume": {"retries": 3, "resume": True},
}
# What each variant is held against: "resume" stages an upload as
# "atomic_upload" does, so its upload is held against that.
BASELINE = {("upload", "retries+resume"): "atomic_upload"}


def timed(function, *arguments) -> float:
    started = time.perf_counter()
    assert function(*arguments) is True
    return time.perf_counter() - started


def measure(rounds: int, transfer_mib: int) -> dict[str, list[float]]:
    with OpenSSHServer() as server, tempfile.TemporaryDirectory() as scratch:
        local = Path(scratch) / "payload.bin"
        local.write_bytes(os.urandom(transfer_mib << 20))
        (server.root / "payload.bin").write_bytes(local.read_bytes())
        config = {"host": server.host, "port": server.port, "user": server.user, "password": server.password}
        clients = {name: sftp_main.TavrelSFTPMain({**config, **extra}) for name, extra in VARIANTS.items()}
        for client in clients.values():
            client._connect()
        samples: dict[str, list[float]] = {}
        names = list(VARIANTS)
        for round_index in range(rounds):
            times = {}
            order = names[round_index % len(names):] + names[: round_index % len(names)]
            for name in order:
                times[f"upload, {name}"] = timed(clients[name]._upload, str(local), f"up-{name}.bin")
                times[f"download, {name}"] = timed(clients[name]._download, "payload.bin", f"{scratch}/down-{name}.bin")
                assert Path(f"{scratch}/down-{name}.bin").stat().st_size == local.stat().st_size
            for direction in ("upload", "download"):
                for name in names[1:]:
                    if name == "atomic_upload":
                        continue
                    baseline = BASELINE.get((direction, name), "plain")
                    ratio = times[f"{direction}, {baseline}"] / times[f"{direction}, {name}"]
                    samples.setdefault(f"{direction}: {name} / {baseline}, speed", []).append(ratio)
        for client in clients.values():
            client._close()
        return samples


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--transfer-mib", type=int, default=64)
    arguments = parser.parse_args()
    reason = unavailable_reason()
    if reason:
        print(f"skipped: {reason}")
        return 0
    samples = measure(arguments.rounds, arguments.transfer_mib)
    failed = False
    for name, ratios in samples.items():
        median = statistics.median(ratios)
        ok = median >= AT_LEAST
        failed |= not ok
        print(f"{name:45s} {median:6.3f}  (rounds: {', '.join(f'{r:.3f}' for r in ratios)})  {'ok' if ok else 'LOW'}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
