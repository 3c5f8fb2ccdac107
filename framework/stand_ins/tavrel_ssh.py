"""Stand-in for the framework's ``tavrel_ssh`` module.

The real framework is not available to this project. This module provides
only what ``sftp_main`` needs of it; an installation of the real framework
replaces it.

With "ssh" false, ``connect`` opens nothing: it hands the configuration
back as a ``TavrelVar``. With "ssh" true it logs in to the jump host
"ssh_host" (an extension of the stand-ins) and opens a tunnel: a listener on
127.0.0.1 whose connections go on to "host":"port" through the jump host.
The configuration it returns holds every entry of the mapping, with "host"
and "port" pointing at that listener; the tunnel lives as long as that
object does.
"""

__all__ = ["TavrelSSH"]

_LOOPBACK = "127.0.0.1"
_SSH_PORT = 22


class TavrelSSH:
    __slots__ = ("_mapping",)

    def __init__(self, mapping, /):
        self._mapping = dict(mapping)

    def connect(self):
        if not self._mapping.get("ssh"):
            return _variables(self._mapping)
        return _through_jump_host(self._mapping)

    def __repr__(self):
        return f"TavrelSSH({_variables(self._mapping)!r})"


def _variables(mapping):
    # Imported on use, so that loading this module does not load tavrel_var:
    # sftp_main imports each framework module on its own.
    from tavrel_var import TavrelVar

    return TavrelVar(**mapping)


def _through_jump_host(mapping):
    import weakref

    from _tavrel_tunnel import Tunnel

    settings = _JumpSettings(mapping)
    client = settings.login()
    try:
        tunnel = Tunnel(client, settings.destination, settings.timeout, settings.label)
    except BaseException:
        client.close()
        raise
    try:
        config = _variables({**mapping, "host": _LOOPBACK, "port": tunnel.port, **_target_listing(mapping, settings)})
    except BaseException:
        tunnel.close()
        raise
    # The finaliser holds the tunnel, not the configuration: the tunnel
    # closes when the configuration is released, or quietly at exit.
    weakref.finalize(config, tunnel.close)
    return config


class _JumpSettings:
    """The jump host's settings from the mapping, checked before anything is opened."""

    def __init__(self, mapping):
        missing = [f"{name!r}" for name in ("ssh_host", "ssh_user") if not mapping.get(name)]
        if not mapping.get("ssh_password") and not mapping.get("ssh_rsa"):
            missing.append("'ssh_password' or 'ssh_rsa'")
        if missing:
            raise ValueError(f"\"ssh\" is on, but the jump host settings lack {', '.join(missing)}")
        self.host = mapping["ssh_host"]
        self.port = _port(mapping, "ssh_port")
        self.user = mapping["ssh_user"]
        self.password = mapping.get("ssh_password") or None
        self.key_file = mapping.get("ssh_rsa") or None
        self.key_passphrase = mapping.get("ssh_rsa_pwd") or None
        self.timeout = _timeout(mapping.get("timeout"))
        self.pins = _pins(mapping.get("ssh_host_key"))
        self.known_hosts = _known_hosts(mapping.get("known_hosts"))
        target = mapping.get("host")
        if not isinstance(target, str) or not target:
            raise ValueError(f"'host' must be a host name or address to reach through the jump host, not {target!r}")
        self.destination = (target.removeprefix("[").removesuffix("]"), _port(mapping, "port"))

    @property
    def label(self):
        from _tavrel_tunnel import address_text

        return address_text(self.host, self.port)

    def login(self):
        """The jump host's client, logged in; closed again when any step fails."""
        import functools

        import paramiko
        from _tavrel_tunnel import JumpTransport

        key = self._key()
        policy = _jump_policy(self)
        client = paramiko.SSHClient()
        client.set_missing_host_key_policy(policy)
        try:
            client.connect(
                self.host,
                port=self.port,
                username=self.user,
                password=self.password,
                pkey=key,
                timeout=self.timeout,
                banner_timeout=self.timeout,
                auth_timeout=self.timeout,
                channel_timeout=self.timeout,
                allow_agent=False,
                look_for_keys=False,
                transport_factory=functools.partial(
                    JumpTransport, jump_host=self.label, preferred_key_types=policy.key_types()
                ),
            )
        except BaseException:
            client.close()
            raise
        return client

    def _key(self):
        """The private key in "ssh_rsa", or None; an error names the setting that is wrong.

        Like the module's "key_file", no error says where the file is: it
        names the setting, and the cause it chains to names none either,
        since a traceback or a log record shows that as well.
        """
        if self.key_file is None:
            return None
        import paramiko

        # Whatever type the file holds, as paramiko reads it.
        passphrase = self.key_passphrase
        if isinstance(passphrase, str):
            passphrase = passphrase.encode("utf-8")
        try:
            return paramiko.PKey.from_path(self.key_file, passphrase)
        except OSError as error:
            # The same kind of OSError (FileNotFoundError, PermissionError...), without the file's name.
            cause = OSError(error.errno, error.strerror) if error.errno else OSError(type(error).__name__)
            failure = OSError(error.errno, f"'ssh_rsa': cannot read the private key file ({cause.strerror or cause})")
        except (paramiko.SSHException, ValueError, TypeError) as error:
            cause = error
            if _names_path(error, self.key_file):
                cause = ValueError(f"{type(error).__name__}, whose text names the file")
            if passphrase is None:
                problem = "'ssh_rsa': cannot load the private key file; if it is encrypted, set 'ssh_rsa_pwd'"
            else:
                problem = "'ssh_rsa', 'ssh_rsa_pwd': cannot load the private key file with that passphrase"
            failure = ValueError(f"{problem} ({cause})")
        # Raised outside the handler, so that the error paramiko raised,
        # which may name the file, is not kept as the context either.
        raise failure from cause


def _names_path(error, path):
    import os

    try:
        shown = os.fsdecode(os.fspath(path))
    except TypeError:
        shown = str(path)
    return bool(shown) and shown in str(error)


def _port(mapping, name):
    value = mapping.get(name)
    if not value:
        return _SSH_PORT
    if isinstance(value, str) and value.strip().isdigit():
        value = int(value)
    if isinstance(value, bool) or not isinstance(value, int) or not 0 < value < 65536:
        raise ValueError(f"{name!r} must be a port number from 1 to 65535 or its text, not {value!r}")
    return value


def _timeout(value):
    # As for the module's own "timeout": None, an empty text or container
    # leave it off; zero and False are errors, not "no limit".
    if value is None or (not isinstance(value, (int, float)) and not value):
        return None
    seconds = None
    if not isinstance(value, bool):
        try:
            seconds = float(value) if isinstance(value, (int, float, str)) else None
        except ValueError:
            pass
    if seconds is None or not 0 < seconds < float("inf"):
        raise ValueError(f"'timeout' must be a positive number of seconds or its text, not {value!r}")
    return seconds


def _pins(value):
    # As for the module's own "host_key": an empty list is malformed.
    from _tavrel_host_key import pins_from_setting

    return pins_from_setting("ssh_host_key", value)


def _known_hosts(value):
    # Read before anything is opened: the jump host's check and the
    # target's (by sftp_main) both need it.
    if not value:
        return None
    from _tavrel_known_hosts import KnownHosts

    return KnownHosts(value)


def _jump_policy(settings):
    # "ssh_host_key" pins the jump host and known_hosts lists it under
    # "ssh_host" and "ssh_port", by sftp_main's rules for "host_key" and
    # "known_hosts"; with neither, any key is accepted.
    from _tavrel_host_key import HostKeyPolicy

    if settings.known_hosts is None:
        return HostKeyPolicy(settings.label, settings.pins)
    from _tavrel_known_hosts import listed_name

    return HostKeyPolicy(settings.label, settings.pins, settings.known_hosts, listed_name(settings.host, settings.port))


def _target_listing(mapping, settings):
    # The target is listed in known_hosts under its own name and port, not
    # as the loopback listener: sftp_main looks it up under this name.
    if settings.known_hosts is None or mapping.get("known_hosts_name"):
        return {}
    from _tavrel_known_hosts import listed_name

    return {"known_hosts_name": listed_name(*settings.destination)}
