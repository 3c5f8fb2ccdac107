"""Recording fakes of paramiko and of the framework classes.

Every fake writes each call it receives, with its arguments, into one shared
``CallLog``, so a test can assert the exact order of calls across paramiko,
the framework and the instance. Attribute reads are recorded only where the
module's contract is about reads (the configuration object).
"""

from collections import namedtuple
from types import SimpleNamespace

# A configuration that passes cleansing, with the values the connection reads.
GOOD_CONFIG = {"host": "files.internal", "user": "alice", "password": "pw-1"}

Call = namedtuple("Call", "name args kwargs")

SFTP_CLIENT_METHODS = frozenset(
    {"remove", "rename", "posix_rename", "mkdir", "rmdir", "stat", "normalize", "chdir", "put", "get", "getfo", "close", "get_channel"}
)


class CallLog:
    def __init__(self):
        self.calls = []

    def record(self, name, args, kwargs):
        self.calls.append(Call(name, tuple(args), dict(kwargs)))

    def names(self):
        return [call.name for call in self.calls]

    def of(self, name):
        return [call for call in self.calls if call.name == name]

    def clear(self):
        self.calls.clear()


class Fake:
    """An object whose methods, named in ``methods``, record every call.

    A method returns ``returns[name]`` (``None`` by default) or raises
    ``raises[name]``. Any other attribute is missing, as on an object that
    lacks the method.
    """

    def __init__(self, log, role, methods):
        self._log = log
        self._role = role
        self._methods = set(methods)
        self.returns = {}
        self.raises = {}

    def __getattr__(self, name):
        if name.startswith("_") or name not in self._methods:
            raise AttributeError(name)

        def method(*args, **kwargs):
            self._log.record(f"{self._role}.{name}", args, kwargs)
            if name in self.raises:
                raise self.raises[name]
            return self.returns.get(name)

        method.__name__ = name
        return method

    def __repr__(self):
        return f"<Fake {self._role} at {id(self):#x}>"


class FakeParamiko:
    """The parts of paramiko the module drives.

    ``raises`` maps "SSHClient", "AutoAddPolicy", "Transport" or
    "from_transport" to an exception to raise from that call. Every object
    handed out is kept in the lists, newest last.
    """

    def __init__(self, log):
        self._log = log
        self.raises = {}
        self.ssh_clients = []
        self.policies = []
        self.transports = []
        self.sftp_clients = []
        self.SFTPClient = SimpleNamespace(from_transport=self._from_transport)

    def _enter(self, name, key, args, kwargs):
        self._log.record(name, args, kwargs)
        if key in self.raises:
            raise self.raises[key]

    def SSHClient(self, *args, **kwargs):
        self._enter("paramiko.SSHClient", "SSHClient", args, kwargs)
        client = Fake(self._log, "ssh", {"set_missing_host_key_policy", "close"})
        self.ssh_clients.append(client)
        return client

    def AutoAddPolicy(self, *args, **kwargs):
        self._enter("paramiko.AutoAddPolicy", "AutoAddPolicy", args, kwargs)
        policy = object()
        self.policies.append(policy)
        return policy

    def Transport(self, *args, **kwargs):
        self._enter("paramiko.Transport", "Transport", args, kwargs)
        transport = Fake(self._log, "transport", {"connect", "close"})
        self.transports.append(transport)
        return transport

    def _from_transport(self, *args, **kwargs):
        self._enter("paramiko.SFTPClient.from_transport", "from_transport", args, kwargs)
        channel = Fake(self._log, "channel", {"get_transport"})
        channel.returns["get_transport"] = args[0] if args else None
        client = Fake(self._log, "sftp", SFTP_CLIENT_METHODS)
        client.returns["get_channel"] = channel
        self.sftp_clients.append(client)
        return client


class FakeConfig:
    """A configuration object: ``get``/``set``/``todict`` and attribute reads.

    Names it does not hold read as ``None``, as the framework promises; dunder
    names stay missing so that copy and pickle machinery is not confused.
    """

    def __init__(self, log, role, entries):
        object.__setattr__(self, "_fake_state", (log, role, dict(entries)))

    @property
    def entries(self):
        return self._fake_state[2]

    def get(self, name, /):
        log, role, entries = self._fake_state
        log.record(f"{role}.get", (name,), {})
        return entries.get(name)

    def set(self, name, value, /):
        log, role, entries = self._fake_state
        log.record(f"{role}.set", (name, value), {})
        entries[name] = value

    def todict(self):
        log, role, entries = self._fake_state
        log.record(f"{role}.todict", (), {})
        return dict(entries)

    def __getattr__(self, name):
        if name.startswith("__") and name.endswith("__") or name == "_fake_state":
            raise AttributeError(name)
        log, role, entries = self._fake_state
        log.record(f"{role}.attr", (name,), {})
        return entries.get(name)


class Fakes:
    """One call log shared by a fake paramiko and fake framework classes."""

    def __init__(self):
        self.log = CallLog()
        self.paramiko = FakeParamiko(self.log)
        self.logs = []
        self.configs = []
        self.ssh_frameworks = []
        # What TavrelSSH(...).connect() returns; by default a config built
        # from the mapping it was given.
        self.ssh_connect_result = None
        self.raises = {}

    def _enter(self, name, args, kwargs):
        self.log.record(name, args, kwargs)
        if name in self.raises:
            raise self.raises[name]

    def TavrelLog(self, *args, **kwargs):
        self._enter("TavrelLog", args, kwargs)
        logger = object()
        self.logs.append(logger)
        return logger

    def TavrelVar(self, *args, **kwargs):
        self._enter("TavrelVar", args, kwargs)
        config = FakeConfig(self.log, "var", kwargs)
        self.configs.append(config)
        return config

    def TavrelSSH(self, *args, **kwargs):
        self._enter("TavrelSSH", args, kwargs)
        fakes = self

        class SSHFramework:
            def connect(self, *cargs, **ckwargs):
                fakes._enter("TavrelSSH.connect", cargs, ckwargs)
                if fakes.ssh_connect_result is not None:
                    return fakes.ssh_connect_result
                return FakeConfig(fakes.log, "sshvar", args[0] if args else {})

        framework = SSHFramework()
        self.ssh_frameworks.append(framework)
        return framework
