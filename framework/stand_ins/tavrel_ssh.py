"""Stand-in for the framework's ``tavrel_ssh`` module.

The real framework is not available to this project. This module provides
only what ``sftp_main`` needs of it; an installation of the real framework
replaces it. Its ``connect`` opens nothing: it hands the configuration back
as a ``TavrelVar``.
"""

__all__ = ["TavrelSSH"]


class TavrelSSH:
    __slots__ = ("_mapping",)

    def __init__(self, mapping, /):
        self._mapping = dict(mapping)

    def connect(self):
        return _variables(self._mapping)

    def __repr__(self):
        return f"TavrelSSH({_variables(self._mapping)!r})"


def _variables(mapping):
    # Imported on use, so that loading this module does not load tavrel_var:
    # sftp_main imports each framework module on its own.
    from tavrel_var import TavrelVar

    return TavrelVar(**mapping)
