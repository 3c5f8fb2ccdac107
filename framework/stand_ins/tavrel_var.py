"""Stand-in for the framework's ``tavrel_var`` module.

The real framework is not available to this project. This module provides
only what ``sftp_main`` needs of it; an installation of the real framework
replaces it.
"""

__all__ = ["TavrelVar"]

_MASK = "***"
# The names sftp_main masks in its own notes: passwords, passphrases, key
# files (whose paths say where a credential lies) and the like.
_SECRET_MARKERS = (b"pass", b"pwd", b"secret", b"token", b"key", b"credential", b"rsa", b"private")


def _is_secret(key):
    if not isinstance(key, str):
        return False
    try:
        lowered = key.encode("utf-8").lower()
    except UnicodeEncodeError:
        return True  # unreadable: safer masked
    return any(marker in lowered for marker in _SECRET_MARKERS)


class TavrelVar:
    """A configuration object: text keys, read by ``get`` or as attributes.

    Keys need not be identifiers (``TavrelVar(**{"a-b": 1})`` works); such
    keys, and keys that collide with a method name, are reachable through
    ``get``. A name that is not held reads as ``None`` so that optional
    switches can be truth-tested without a guard. ``repr`` masks the value of
    every key that looks like a secret or a key file's path, as sftp_main's
    notes do.
    """

    # Name-mangled so that a key "_entries" still reads as its value; weak
    # references let a tunnel end with the configuration that owns it.
    __slots__ = ("__entries", "__weakref__")

    def __init__(self, /, **entries):
        self.__entries = dict(entries)

    def get(self, name, /):
        return self.__entries.get(name)

    def set(self, name, value, /):
        self.__entries[name] = value

    def todict(self):
        return dict(self.__entries)

    def __getattr__(self, name):
        # Dunder names must stay missing: copy and pickle probe for
        # __reduce_ex__, __setstate__ and friends and would misbehave on None.
        if name.startswith("__") and name.endswith("__"):
            raise AttributeError(name)
        try:
            entries = object.__getattribute__(self, "_TavrelVar__entries")
        except AttributeError:
            raise AttributeError(name) from None
        return entries.get(name)

    def __getstate__(self):
        return dict(self.__entries)

    def __setstate__(self, state):
        self.__entries = dict(state)

    def __repr__(self):
        shown = ", ".join(
            f"{key!r}: {_MASK!r}" if _is_secret(key) else f"{key!r}: {value!r}"
            for key, value in self.__entries.items()
        )
        return f"TavrelVar({{{shown}}})"
