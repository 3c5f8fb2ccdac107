import pytest

import sftp_main
from fakes import GOOD_CONFIG, Fakes


@pytest.fixture
def fakes(monkeypatch):
    """Replaces paramiko and the framework classes in the module's namespace."""
    fake = Fakes()
    monkeypatch.setattr(sftp_main, "paramiko", fake.paramiko)
    for name in ("TavrelLog", "TavrelVar", "TavrelSSH"):
        monkeypatch.setattr(sftp_main, name, getattr(fake, name))
    return fake


@pytest.fixture
def cls():
    return sftp_main.TavrelSFTPMain


@pytest.fixture
def bare(cls):
    """An instance whose __init__ never ran: no attributes at all."""
    return cls.__new__(cls)


@pytest.fixture
def connected(fakes, cls):
    """A connected instance over the fakes, with the call log cleared."""
    obj = cls(dict(GOOD_CONFIG))
    obj._connect()
    fakes.log.clear()
    return obj
