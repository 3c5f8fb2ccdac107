"""The module against paramiko's defaults, and the tunnel against a direct connection, on OpenSSH's sshd.

    python bench/on_openssh.py [--rounds N] [--transfer-mib N]

Two throwaway sshd (devtools/openssh_server.py) on loopback: the target and
a jump host. One interleaved run: in every round each variant runs once, in
an order that rotates from round to round, and a ratio is the median over
the rounds of the ratio within each round.

* upload, download: `_upload` / `_download` against paramiko's `put` /
  `get` on a connection paramiko made with its defaults (the calls the
  module makes, without TCP_NODELAY);
* connect: `_connect` and `_close` on a new instance against the same calls
  made directly;
* through the jump host ("ssh" on, the stand-ins' tunnel): `_upload` and
  `_download` against the same on a direct connection, in throughput and in
  this process's CPU time per byte (user and system, every thread);
* peers, for comparison: asyncssh's `put`/`get` with its defaults, on one
  connection kept open like paramiko's, and OpenSSH's own `sftp` in batch
  mode (one process per transfer, its connect included; with a key made
  for the run, the server's host key checked).

bench/run.py runs it as its last part; run alone it prints its own table.
"""

from __future__ import annotations

import argparse
import asyncio
import os
import shutil
import subprocess
import statistics
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "devtools"))

import paramiko  # noqa: E402

import sftp_main  # noqa: E402
from openssh_server import OpenSSHServer, unavailable_reason  # noqa: E402

# What the figures are expected to show.
UPLOAD_SPEED_AT_LEAST = 1.3
DOWNLOAD_SPEED_AT_LEAST = 1.0
CONNECT_SPEED_AT_LEAST = 1.3
TUNNEL_THROUGHPUT_AT_LEAST = 0.6
TUNNEL_CPU_AT_MOST = 2.1
# "block_size" as OpenSSH's sftp buffers by default; its download is held
# against paramiko's default get, its upload against asyncssh's.
BLOCK_SIZE = 262144
BLOCK_DOWNLOAD_AT_LEAST = 1.5


def paramiko_default(server) -> paramiko.SFTPClient:
    """What the module's _connect does, in paramiko's calls alone."""
    transport = paramiko.Transport(f"{server.host}:{server.port}")
    transport.connect(username=server.user, password=server.password)
    return paramiko.SFTPClient.from_transport(transport)


def close_default(sftp: paramiko.SFTPClient) -> None:
    transport = sftp.get_channel().get_transport()
    sftp.close()
    transport.close()


def target_config(server) -> dict:
    return {"host": server.host, "port": server.port, "user": server.user, "password": server.password}


def timed(function, *arguments) -> tuple[float, float]:
    """(wall seconds, CPU seconds of this process) of one call, which must not return False."""
    wall, cpu = time.perf_counter(), time.process_time()
    result = function(*arguments)
    wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
    if result is False:
        raise RuntimeError(f"{getattr(function, '__name__', function)}{arguments} failed")
    return wall, cpu


def connect_module(server) -> None:
    client = sftp_main.TavrelSFTPMain(target_config(server))
    client._connect()
    client._close()


def connect_default(server) -> None:
    close_default(paramiko_default(server))


class AsyncsshPeer:
    """asyncssh's SFTP client with its defaults, driven from this thread through a loop of its own."""

    def __init__(self, server):
        import warnings

        with warnings.catch_warnings():  # what its imports say about DSA keys
            warnings.simplefilter("ignore")
            import asyncssh

        self._loop = asyncio.new_event_loop()
        self._connection = self._run(asyncssh.connect(
            server.host, server.port, username=server.user, password=server.password, known_hosts=None,
            client_keys=None, agent_path=None))
        self._sftp = self._run(self._connection.start_sftp_client())

    def _run(self, awaitable):
        return self._loop.run_until_complete(awaitable)

    def put(self, local: str, remote: str) -> None:
        self._run(self._sftp.put(local, remote))

    def get(self, remote: str, local: str) -> None:
        self._run(self._sftp.get(remote, local))

    def close(self) -> None:
        self._sftp.exit()
        self._connection.close()
        self._run(self._connection.wait_closed())
        self._loop.close()


def sftp_command_unavailable() -> str | None:
    for tool in ("sftp", "ssh-keygen"):
        if shutil.which(tool) is None:
            return f"{tool} is missing"
    return None


class SftpCommand:
    """OpenSSH's sftp in batch mode, one process per transfer, with a key of its own."""

    def __init__(self, keys: Path):
        self.key = keys / "id_ed25519"
        subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", str(self.key)], check=True,
                       capture_output=True)
        self.known_hosts = keys / "known_hosts"

    def public_key(self) -> str:
        return Path(f"{self.key}.pub").read_text().strip()

    def trust(self, server) -> None:
        self.known_hosts.write_text(f"[{server.host}]:{server.port} {server.host_public_key()}\n")

    def run(self, server, command: str) -> None:
        subprocess.run(
            ["sftp", "-q", "-b", "-", "-P", str(server.port), "-i", str(self.key),
             "-o", "IdentitiesOnly=yes", "-o", f"UserKnownHostsFile={self.known_hosts}",
             "-o", "StrictHostKeyChecking=yes", "-o", "LogLevel=ERROR", f"{server.user}@{server.host}"],
            input=(command + "\n").encode(), check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
            timeout=300,
        )


def rotated(names: list[str], index: int) -> list[str]:
    shift = index % len(names)
    return names[shift:] + names[:shift]


def median_ratio(samples: dict, numerator: str, denominator: str, field: int = 0) -> float:
    return statistics.median(n[field] / d[field] for n, d in zip(samples[numerator], samples[denominator]))


def measure(rounds: int, transfer_mib: int) -> dict:
    size = transfer_mib << 20
    keys = tempfile.TemporaryDirectory(prefix="sftp-main-bench-keys-")
    command = SftpCommand(Path(keys.name)) if not sftp_command_unavailable() else None
    with (
        keys,
        OpenSSHServer(log_level="ERROR", authorized_key=command.public_key() if command else None) as target,
        OpenSSHServer(log_level="ERROR") as jump,
        tempfile.TemporaryDirectory(prefix="sftp-main-bench-") as scratch,
    ):
        local = Path(scratch) / "payload.bin"
        local.write_bytes(os.urandom(size))
        fetched = Path(scratch) / "fetched.bin"
        (target.root / "payload.bin").write_bytes(local.read_bytes())
        os.chown(target.root / "payload.bin", *owner_of(target.root))

        direct = sftp_main.TavrelSFTPMain(target_config(target))
        tunnelled = sftp_main.TavrelSFTPMain(
            {**target_config(target), "ssh": True, "ssh_host": jump.host, "ssh_port": jump.port,
             "ssh_user": jump.user, "ssh_password": jump.password, "ssh_host_key": jump.host_fingerprint()}
        )
        blocks = sftp_main.TavrelSFTPMain({**target_config(target), "block_size": BLOCK_SIZE})
        direct._connect()
        tunnelled._connect()
        blocks._connect()
        default = paramiko_default(target)
        peer = AsyncsshPeer(target)
        variants = {
            "connect, module": lambda: timed(connect_module, target),
            "connect, paramiko": lambda: timed(connect_default, target),
            "upload, module": lambda: timed(direct._upload, str(local), "up-module.bin"),
            "upload, paramiko": lambda: timed(default.put, str(local), "up-paramiko.bin"),
            "upload, tunnel": lambda: timed(tunnelled._upload, str(local), "up-tunnel.bin"),
            "download, module": lambda: timed(direct._download, "payload.bin", str(fetched)),
            "download, paramiko": lambda: timed(default.get, "payload.bin", str(fetched)),
            "download, tunnel": lambda: timed(tunnelled._download, "payload.bin", str(fetched)),
            "upload, block_size": lambda: timed(blocks._upload, str(local), "up-block_size.bin"),
            "download, block_size": lambda: timed(blocks._download, "payload.bin", str(fetched)),
            "upload, asyncssh": lambda: timed(peer.put, str(local), "up-asyncssh.bin"),
            "download, asyncssh": lambda: timed(peer.get, "payload.bin", str(fetched)),
        }
        if command is not None:
            command.trust(target)
            variants["upload, sftp"] = lambda: timed(command.run, target, f'put "{local}" up-sftp.bin')
            variants["download, sftp"] = lambda: timed(command.run, target, f'get payload.bin "{fetched}"')
        samples: dict[str, list[tuple[float, float]]] = {name: [] for name in variants}
        try:
            for name in variants:  # warm-up: page cache, paramiko's lazy imports
                variants[name]()
            for index in range(rounds):
                for name in rotated(list(variants), index):
                    samples[name].append(variants[name]())
                    if name.startswith("upload"):
                        check_size(target.root / f"up-{name.split(', ')[1]}.bin", size)
                    elif name.startswith("download"):
                        check_size(fetched, size)
        finally:
            peer.close()
            close_default(default)
            tunnelled._close()
            direct._close()
            blocks._close()
            del tunnelled
    return {"rounds": rounds, "bytes": size, "samples": samples}


def owner_of(path: Path) -> tuple[int, int]:
    status = path.stat()
    return status.st_uid, status.st_gid


def check_size(path: Path, size: int) -> None:
    if path.stat().st_size != size:
        raise RuntimeError(f"{path.name}: {path.stat().st_size} bytes arrived of {size}")


def summarise(measured: dict) -> dict:
    samples, size = measured["samples"], measured["bytes"]
    mib = size / (1 << 20)

    def speed(name: str) -> float:
        return mib / statistics.median(wall for wall, _ in samples[name])

    def cpu_per_mib(name: str) -> float:
        return statistics.median(cpu for _, cpu in samples[name]) / mib

    figures = {
        "upload: module / paramiko default, speed": median_ratio(samples, "upload, paramiko", "upload, module"),
        "download: module / paramiko default, speed": median_ratio(samples, "download, paramiko", "download, module"),
        "connect: module / paramiko default, speed": median_ratio(samples, "connect, paramiko", "connect, module"),
    }
    for peer in ("block_size", "asyncssh", "sftp"):
        for direction in ("upload", "download"):
            if f"{direction}, {peer}" in samples:
                figures[f"{direction}: {peer} / paramiko default, speed"] = median_ratio(
                    samples, f"{direction}, paramiko", f"{direction}, {peer}")
    for direction in ("upload", "download"):
        figures[f"{direction}: tunnel / direct, throughput"] = median_ratio(
            samples, f"{direction}, module", f"{direction}, tunnel"
        )
        figures[f"{direction}: tunnel / direct, CPU per byte"] = median_ratio(
            samples, f"{direction}, tunnel", f"{direction}, module", field=1
        )
    return {
        "figures": figures,
        "speeds_mib_per_s": {name: speed(name) for name in samples if not name.startswith("connect")},
        # CPU of this process only: the sftp command's own is not in it.
        "cpu_ms_per_mib": {name: 1000 * cpu_per_mib(name) for name in samples
                           if not name.startswith("connect") and not name.endswith(", sftp")},
        "connect_ms": {name: 1000 * statistics.median(w for w, _ in samples[name])
                       for name in samples if name.startswith("connect")},
    }


def checks(summary: dict) -> list[tuple[str, float, bool]]:
    figures = summary["figures"]
    found = []
    for name, value in figures.items():
        if name.startswith("upload: module"):
            found.append((f"{name} >= {UPLOAD_SPEED_AT_LEAST}", value, value >= UPLOAD_SPEED_AT_LEAST))
        elif name.startswith("download: module"):
            found.append((f"{name} >= {DOWNLOAD_SPEED_AT_LEAST}", value, value >= DOWNLOAD_SPEED_AT_LEAST))
        elif name == "download: block_size / paramiko default, speed":
            found.append((f"{name} >= {BLOCK_DOWNLOAD_AT_LEAST}", value, value >= BLOCK_DOWNLOAD_AT_LEAST))
        elif name.startswith("connect"):
            found.append((f"{name} >= {CONNECT_SPEED_AT_LEAST}", value, value >= CONNECT_SPEED_AT_LEAST))
        elif name.endswith("throughput"):
            found.append((f"{name} >= {TUNNEL_THROUGHPUT_AT_LEAST}", value, value >= TUNNEL_THROUGHPUT_AT_LEAST))
        elif name.endswith("CPU per byte"):
            found.append((f"{name} <= {TUNNEL_CPU_AT_MOST}", value, value <= TUNNEL_CPU_AT_MOST))
    if "upload: asyncssh / paramiko default, speed" in figures:
        ratio = figures["upload: block_size / paramiko default, speed"] / figures["upload: asyncssh / paramiko default, speed"]
        found.append(("upload: block_size / asyncssh, speed >= 1.0", ratio, ratio >= 1.0))
    return found


def print_report(measured: dict, summary: dict) -> None:
    mib = measured["bytes"] >> 20
    print(f"\nOn OpenSSH's sshd over loopback: {measured['rounds']} interleaved rounds, {mib} MiB per transfer, "
          "medians of per-round ratios")
    for name, value in summary["figures"].items():
        print(f"  {name:<48} {value:6.3f}")
    speeds, cpu = summary["speeds_mib_per_s"], summary["cpu_ms_per_mib"]
    print("  " + ", ".join(
        f"{name} {speeds[name]:.1f} MiB/s" + (f" ({cpu[name]:.1f} ms CPU/MiB)" if name in cpu else "")
        for name in speeds))
    print("  " + ", ".join(f"{name} {value:.0f} ms" for name, value in summary["connect_ms"].items()))
    samples = measured["samples"]
    for direction in ("upload", "download", "connect"):
        rounds = ", ".join(f"{p / m:.2f}" for (p, _), (m, _) in
                           zip(samples[f"{direction}, paramiko"], samples[f"{direction}, module"]))
        print(f"  {direction}, module / paramiko default by round: {rounds}")
    for target, value, met in checks(summary):
        print(f"  [{'met' if met else 'MISSED'}] {target}: {value:.3f}")
    if (reason := sftp_command_unavailable()) is not None:
        print(f"  OpenSSH's sftp: not measured ({reason})")


def run(rounds: int, transfer_mib: int) -> dict | None:
    """Measures and prints; None, with the reason printed, where no sshd can run."""
    reason = unavailable_reason()
    if reason:
        print(f"\nOn OpenSSH's sshd: not measured ({reason})")
        return None
    measured = measure(rounds, transfer_mib)
    summary = summarise(measured)
    print_report(measured, summary)
    return {**summary, "rounds": rounds, "bytes": measured["bytes"], "samples": measured["samples"],
            "checks": [{"target": target, "value": value, "met": met} for target, value, met in checks(summary)]}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--transfer-mib", type=int, default=64)
    options = parser.parse_args()
    run(options.rounds, options.transfer_mib)
    return 0


if __name__ == "__main__":
    sys.exit(main())
