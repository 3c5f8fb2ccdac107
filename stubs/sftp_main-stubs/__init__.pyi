# Types of the extension module sftp_main. A top-level extension module
# cannot carry py.typed, so its types ship as the stub-only package
# sftp_main-stubs, which type checkers take for the module sftp_main.
from collections.abc import Callable, MutableMapping
from os import PathLike
from typing import Any, Literal, TypedDict, type_check_only

import paramiko

# A remote path goes to the SFTP client as given; a local one is opened by it.
_RemotePath = str | bytes
_LocalPath = str | PathLike[str]
# A local file named in the configuration.
_ConfiguredPath = str | bytes | PathLike[str] | PathLike[bytes]

# Every configuration name the module reads, with the values it accepts; the
# README's configuration reference lists the same names. None (and any
# value the module reads as unset) leaves an option off. Cleansing writes
# None into the caller's mapping for the "ssh" family it lacks. Exists for
# type checkers only: import it under `if TYPE_CHECKING:`.
@type_check_only
class SFTPMainConfig(TypedDict, total=False):
    # the framework's contract
    host: str
    port: int | str
    user: str
    password: str | None
    ssh: bool | None
    ssh_host: str | None
    ssh_port: int | str | None
    ssh_user: str | None
    ssh_password: str | None
    ssh_rsa: str | None
    ssh_rsa_pwd: str | None
    # this project's opt-in names
    host_key: str | list[str] | tuple[str, ...] | None
    timeout: float | str | None
    key_file: _ConfiguredPath | None
    key_passphrase: str | bytes | None
    known_hosts: _ConfiguredPath | None
    known_hosts_name: str | None
    atomic_upload: bool | None
    progress: Callable[[int, int], object] | None
    raise_on_failure: bool | None
    block_size: int | str | None
    keepalive: float | str | None
    retries: int | str | None
    resume: bool | None

# A mapping of the framework's own may carry names of its own as well, so any
# mutable mapping is accepted; annotate a literal as SFTPMainConfig to have
# a misspelt name reported.
_Config = SFTPMainConfig | MutableMapping[str, Any]

class TavrelSFTPMain:
    _log: Any
    _config: Any
    _params_dict: dict[str, dict[str, Any]]
    _default_params: dict[str, Any]
    _ssh: Any
    _sftp: Any
    def __init__(self, config: _Config) -> None: ...
    def _cleanse_params(self, config: _Config) -> None: ...
    def _set_params_dict(self) -> None: ...
    def _set_default_params(self) -> None: ...
    def _connect(self) -> None: ...
    def _close(self) -> None: ...
    def _remove(self, path: _RemotePath) -> Literal[True]: ...
    def _rename(self, ole_path: _RemotePath, new_path: _RemotePath) -> Literal[True]: ...
    def _posix_rename(self, ole_path: _RemotePath, new_path: _RemotePath) -> Literal[True]: ...
    def _mkdir(self, path: _RemotePath) -> Literal[True]: ...
    def _rmdir(self, path: _RemotePath) -> Literal[True]: ...
    def _stat(self, file_path: _RemotePath) -> paramiko.SFTPAttributes: ...
    # The server's absolute form of the path.
    def _normalize(self, path: _RemotePath) -> str: ...
    def _chdir(self, path: _RemotePath | None) -> Literal[True]: ...
    def _upload(self, src_file: _LocalPath, dsc_path: _RemotePath) -> bool: ...
    def _download(self, src_file: _RemotePath, dsc_path: _LocalPath) -> bool: ...
    def __del__(self) -> None: ...
