"""Hostile callers: mappings, values, framework classes and clients that
raise, answer oddly or reach back into the instance. Each call raises the
caller's own error (the very object) or the error a Python implementation
would raise, and the interpreter carries on."""

from __future__ import annotations

import builtins
import collections.abc
import gc
import sys
import types
import weakref

import pytest

import sftp_main
from reliability_support import FakeClient, FakeSSHClient, Interrupt, bare_instance, with_client

Cls = sftp_main.TavrelSFTPMain
GOOD = {"host": "files.internal", "user": "alice", "password": "pw"}

PATH_OPERATIONS = ["_remove", "_rename", "_posix_rename", "_mkdir", "_rmdir", "_stat", "_normalize", "_chdir"]
TRANSFERS = ["_upload", "_download"]
ARITY = {"_rename": 2, "_posix_rename": 2, "_upload": 2, "_download": 2}


def paths(method):
    return ("a", "b")[: ARITY.get(method, 1)]


class Boom(Exception):
    """The caller's own error."""


def python_error(fn):
    """What the interpreter itself raises for the same action."""
    try:
        fn()
    except BaseException as exc:
        return type(exc), str(exc)
    raise AssertionError("the interpreter raised nothing")


def raised(fn):
    with pytest.raises(BaseException) as info:
        fn()
    return info.value


# --- configuration mappings ----------------------------------------------------


class DictRaisingFrom(dict):
    """A dict whose `keys` or `update` raises the error it was given."""

    def __init__(self, data, failing, error):
        super().__init__(data)
        self.failing = failing
        self.error = error

    def keys(self):
        if self.failing == "keys":
            raise self.error
        return super().keys()

    def update(self, *args, **kwargs):
        if self.failing == "update":
            raise self.error
        return super().update(*args, **kwargs)


class MappingRaisingFrom(collections.abc.Mapping):
    def __init__(self, data, failing, error):
        self.data = data
        self.failing = failing
        self.error = error

    def __iter__(self):
        if self.failing == "iter":
            raise self.error
        return iter(self.data)

    def __getitem__(self, key):
        if self.failing == "getitem":
            raise self.error
        return self.data[key]

    def __len__(self):
        return len(self.data)


@pytest.mark.parametrize("failing", ["keys", "update"])
@pytest.mark.parametrize("error", [Boom("caller"), Interrupt()], ids=["Exception", "BaseException"])
def test_dict_whose_keys_or_update_raises(failing, error):
    config = DictRaisingFrom(GOOD, failing, error)
    obj = bare_instance()
    assert raised(lambda: obj._cleanse_params(config)) is error
    # That is the last step: everything before it stands.
    assert obj._config.get("host") == "files.internal"
    assert list(obj._params_dict) == ["host", "port", "user", "password"]
    assert len(obj._default_params) == 7
    assert raised(lambda: Cls(config)) is error


@pytest.mark.parametrize("failing", ["iter", "getitem"])
def test_mapping_whose_iteration_or_item_access_raises(failing):
    error = Boom(failing)
    config = MappingRaisingFrom(GOOD, failing, error)
    obj = bare_instance()
    assert raised(lambda: obj._cleanse_params(config)) is error
    assert not hasattr(obj, "_config")
    assert raised(lambda: Cls(config)) is error


@pytest.mark.parametrize(
    "keys_result",
    [5, None, types.SimpleNamespace()],
    ids=["int", "None", "object"],
)
def test_mapping_whose_keys_answers_oddly(keys_result):
    class OddKeys(MappingRaisingFrom):
        def keys(self):
            return keys_result

    config = OddKeys(GOOD, None, None)
    exc = raised(lambda: Cls(config))
    assert (type(exc), str(exc)) == python_error(lambda: dict(config))


def test_keys_view_whose_membership_test_raises():
    error = Boom("contains")

    class Keys:
        def __contains__(self, key):
            raise error

        def __iter__(self):
            return iter(GOOD)

    class Config(dict):
        def keys(self):
            return Keys()

    assert raised(lambda: Cls(Config(GOOD))) is error


def test_list_of_pairs_fails_at_the_last_step():
    obj = bare_instance()
    exc = raised(lambda: obj._cleanse_params(list(GOOD.items())))
    assert (type(exc), str(exc)) == (AttributeError, "'list' object has no attribute 'keys'")
    assert len(obj._default_params) == 7


# --- values whose truth test or format raises --------------------------------------


class Hostile:
    """A value whose truth test, format or both misbehave."""

    def __init__(self, bool_error=None, format_error=None, bool_result=True, format_result="h"):
        self.bool_error = bool_error
        self.format_error = format_error
        self.bool_result = bool_result
        self.format_result = format_result

    def __bool__(self):
        if self.bool_error is not None:
            raise self.bool_error
        return self.bool_result

    def __format__(self, spec):
        if self.format_error is not None:
            raise self.format_error
        return self.format_result


@pytest.mark.parametrize("name", ["host", "port", "user", "password"])
def test_value_whose_truth_test_raises(name):
    error = Boom(name)
    config = dict(GOOD, **{name: Hostile(bool_error=error)})
    assert raised(lambda: Cls(config)) is error
    assert "ssh" not in config  # the caller's mapping was not completed


def test_value_whose_truth_test_answers_oddly():
    value = Hostile(bool_result=2)
    exc = raised(lambda: Cls(dict(GOOD, host=value)))
    assert (type(exc), str(exc)) == python_error(lambda: bool(value))


def test_ssh_switch_whose_truth_test_raises():
    error = Boom("ssh")
    config = dict(GOOD, ssh=Hostile(bool_error=error))
    assert raised(lambda: Cls(config)) is error
    # Cleansing had finished: the caller's mapping was completed.
    assert "ssh_rsa_pwd" in config


@pytest.mark.parametrize("name", ["host", "port"])
def test_address_value_whose_format_raises(name, fake_paramiko):
    error = Boom(f"format {name}")
    obj = Cls(dict(GOOD, **{name: Hostile(format_error=error)}))
    assert raised(obj._connect) is error
    assert isinstance(obj._ssh, FakeSSHClient)
    assert not hasattr(obj, "_sftp")
    assert fake_paramiko.last_transport is None


@pytest.mark.parametrize("result", [5, None, b"host"], ids=["int", "None", "bytes"])
def test_address_value_whose_format_answers_oddly(result, fake_paramiko):
    value = Hostile(format_result=result)
    obj = Cls(dict(GOOD, host=value))
    exc = raised(obj._connect)
    assert (type(exc), str(exc)) == python_error(lambda: format(value, ""))
    assert fake_paramiko.last_transport is None


def test_ipv6_host_with_a_port_that_is_no_number(fake_paramiko):
    obj = Cls(dict(GOOD, host="::1", port="twenty-two"))
    exc = raised(obj._connect)
    assert (type(exc), str(exc)) == python_error(lambda: int("twenty-two"))


class AllowedValues:
    """Allowed values whose membership test, truth test or format raises."""

    def __init__(self, failing, error):
        self.failing = failing
        self.error = error

    def __bool__(self):
        if self.failing == "bool":
            raise self.error
        return True

    def __contains__(self, value):
        if self.failing == "contains":
            raise self.error
        return False

    def __format__(self, spec):
        if self.failing == "format":
            raise self.error
        return "allowed"


@pytest.mark.parametrize("failing", ["bool", "contains", "format"])
def test_allowed_values_that_raise(failing):
    error = Boom(failing)

    class Strict(Cls):
        def _set_params_dict(self):
            super()._set_params_dict()
            self._params_dict["host"]["optional"] = AllowedValues(failing, error)

    assert raised(lambda: Strict(dict(GOOD))) is error


@pytest.mark.parametrize(
    "items",
    [
        [("host", {"type": True}, "extra")],
        [("host",)],
        [5],
        [["host", {"type": True}], "xy"],
    ],
    ids=["three values", "one value", "not iterable", "text of two characters"],
)
def test_table_whose_items_do_not_unpack(items):
    class Table(dict):
        def items(self):
            return items

    class Odd(Cls):
        def _set_params_dict(self):
            self._params_dict = Table()

    def python_walk():
        for param, option in items:
            option.get("type")

    exc = raised(lambda: Odd(dict(GOOD)))
    assert (type(exc), str(exc)) == python_error(python_walk)


def test_table_entry_that_is_not_a_mapping():
    class Odd(Cls):
        def _set_params_dict(self):
            self._params_dict = {"host": None}

    exc = raised(lambda: Odd(dict(GOOD)))
    assert (type(exc), str(exc)) == python_error(lambda: None.get("optional"))


def test_table_changed_while_it_is_walked(module_globals):
    class Shifty:
        def __init__(self, **entries):
            self.entries = entries

        def get(self, name):
            holder[0]._params_dict["extra"] = {}
            return self.entries.get(name)

        def set(self, name, value):
            self.entries[name] = value

    holder = [bare_instance()]
    module_globals("TavrelVar", Shifty)
    exc = raised(lambda: holder[0]._cleanse_params(dict(GOOD)))
    assert (type(exc), str(exc)) == (RuntimeError, "dictionary changed size during iteration")


# --- TavrelVar, TavrelSSH and TavrelLog that misbehave -------------------------------


@pytest.mark.parametrize("error", [Boom("var"), Interrupt()], ids=["Exception", "BaseException"])
def test_tavrel_var_that_raises(error, module_globals):
    def broken(**entries):
        raise error

    module_globals("TavrelVar", broken)
    obj = bare_instance()
    assert raised(lambda: obj._cleanse_params(dict(GOOD))) is error
    assert not hasattr(obj, "_config")


@pytest.mark.parametrize(
    "made, expected",
    [
        (None, (AttributeError, "'NoneType' object has no attribute 'get'")),
        (5, (AttributeError, "'int' object has no attribute 'get'")),
    ],
)
def test_tavrel_var_that_returns_odd_objects(made, expected, module_globals):
    module_globals("TavrelVar", lambda **entries: made)
    exc = raised(lambda: Cls(dict(GOOD)))
    assert (type(exc), str(exc)) == expected


def test_tavrel_var_whose_get_returns_a_hostile_value(module_globals):
    error = Boom("truth")

    class Var:
        def __init__(self, **entries):
            pass

        def get(self, name):
            return Hostile(bool_error=error)

    module_globals("TavrelVar", Var)
    assert raised(lambda: Cls(dict(GOOD))) is error


def test_tavrel_var_that_is_not_callable(module_globals):
    module_globals("TavrelVar", 5)
    exc = raised(lambda: Cls(dict(GOOD)))
    assert (type(exc), str(exc)) == (TypeError, "'int' object is not callable")


def test_framework_name_missing_then_found_in_builtins(monkeypatch):
    monkeypatch.delattr(sftp_main, "TavrelLog")
    exc = raised(lambda: Cls(dict(GOOD)))
    assert (type(exc), str(exc)) == (NameError, "name 'TavrelLog' is not defined")
    made = []
    monkeypatch.setattr(builtins, "TavrelLog", lambda *, file: made.append(file) or "logger", raising=False)
    assert Cls(dict(GOOD))._log == "logger"
    assert made == [False]


@pytest.mark.parametrize("error", [Boom("ssh"), Interrupt()], ids=["Exception", "BaseException"])
def test_tavrel_ssh_that_raises(error, module_globals):
    def broken(mapping):
        raise error

    module_globals("TavrelSSH", broken)
    assert raised(lambda: Cls(dict(GOOD, ssh=True))) is error


def test_tavrel_ssh_odd_answers_reach_the_caller(module_globals, fake_paramiko):
    odd_mapping = ["not", "a", "mapping"]
    seen = []

    class Var:
        def __init__(self, **entries):
            self.entries = entries

        def get(self, name):
            return self.entries.get(name)

        def set(self, name, value):
            self.entries[name] = value

        ssh = True

        def todict(self):
            return odd_mapping

    class NoConnect:
        def __init__(self, mapping):
            seen.append(mapping)

    module_globals("TavrelVar", Var)
    module_globals("TavrelSSH", NoConnect)
    exc = raised(lambda: Cls(dict(GOOD)))
    assert (type(exc), str(exc)) == (AttributeError, "'NoConnect' object has no attribute 'connect'")
    assert seen == [odd_mapping] and seen[0] is odd_mapping

    class ConnectsToNothing(NoConnect):
        def connect(self):
            return None

    module_globals("TavrelSSH", ConnectsToNothing)
    obj = Cls(dict(GOOD))
    assert obj._config is None
    exc = raised(obj._connect)
    assert (type(exc), str(exc)) == (AttributeError, "'NoneType' object has no attribute 'host'")


def test_tavrel_log_that_raises(module_globals):
    error = Boom("log")

    def broken(*, file):
        raise error

    module_globals("TavrelLog", broken)
    assert raised(lambda: Cls(dict(GOOD))) is error


# --- clients that misbehave ---------------------------------------------------------


@pytest.mark.parametrize("method", PATH_OPERATIONS + TRANSFERS)
@pytest.mark.parametrize("flaw", ["missing", "not callable", "None client"])
def test_client_without_a_usable_method(method, flaw):
    if flaw == "None client":
        obj = with_client(None)
        python = lambda: getattr(None, "x")  # noqa: E731
    else:
        client = types.SimpleNamespace(close=lambda: None)
        if flaw == "not callable":
            for name in ("remove", "rename", "posix_rename", "mkdir", "rmdir", "stat", "normalize", "chdir", "put", "get"):
                setattr(client, name, 5)
            python = lambda: client.stat()  # noqa: E731
        else:
            python = lambda: client.stat  # noqa: E731
        obj = with_client(client)
    call = lambda: getattr(obj, method)(*paths(method))  # noqa: E731
    if method in TRANSFERS:
        assert call() is False
    else:
        exc = raised(call)
        assert type(exc) is python_error(python)[0]


@pytest.mark.parametrize("method", PATH_OPERATIONS + TRANSFERS + ["_close", "__del__"])
@pytest.mark.parametrize(
    "error_type", [KeyboardInterrupt, SystemExit, GeneratorExit, Interrupt], ids=lambda t: t.__name__
)
def test_client_raising_base_exceptions_propagates(method, error_type):
    error = error_type()
    obj = with_client(FakeClient(raises=error))
    args = () if method in ("_close", "__del__") else paths(method)
    assert raised(lambda: getattr(obj, method)(*args)) is error
    obj._sftp.raises = None


def test_finaliser_reports_an_interrupt_as_unraisable(monkeypatch):
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    error = Interrupt()
    obj = with_client(FakeClient(raises=error))
    gone = weakref.ref(obj)
    del obj
    gc.collect()
    assert gone() is None
    assert [report.exc_value for report in reports] == [error]


def test_finaliser_swallows_an_ordinary_error(monkeypatch):
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    obj = with_client(FakeClient(raises=Boom("close")))
    del obj
    gc.collect()
    assert reports == []


# --- clients that reach back into the instance ------------------------------------------


class ReentrantClient(FakeClient):
    def __init__(self, owner_box, depth):
        super().__init__()
        self.owner_box = owner_box
        self.depth = depth
        self.seen = []

    def stat(self, path):
        self.seen.append(path)
        if len(self.seen) < self.depth:
            return ("via", self.owner_box[0]._stat(path + "/"))
        return path


def test_client_that_calls_back_into_the_instance():
    box = []
    client = ReentrantClient(box, depth=5)
    obj = with_client(client)
    box.append(obj)
    assert obj._stat("p") == ("via", ("via", ("via", ("via", "p////"))))
    assert client.seen == ["p", "p/", "p//", "p///", "p////"]


def test_unbounded_reentry_ends_in_recursion_error():
    box = []
    obj = with_client(ReentrantClient(box, depth=sys.maxsize))
    box.append(obj)
    with pytest.raises(RecursionError):
        obj._stat("p")
    # And the instance works on afterwards.
    obj._sftp = FakeClient(result="fine")
    assert obj._stat("p") == "fine"


def test_client_that_closes_and_reconnects_during_a_transfer(fake_paramiko):
    obj = Cls(dict(GOOD))
    obj._connect()
    replaced = []

    class Meddler(FakeClient):
        def put(self, src, dst):
            obj._close()
            obj._connect()
            replaced.append(obj._sftp)
            return "ignored"

    meddler = Meddler()
    obj._sftp = meddler
    assert obj._upload("a", "b") is True
    assert replaced == [fake_paramiko.client]
    assert obj._sftp is fake_paramiko.client


@pytest.mark.parametrize("method", PATH_OPERATIONS + TRANSFERS + ["_close"])
def test_client_that_deletes_sftp_during_the_call(method):
    result = object()

    class Deleter(FakeClient):
        def answer(self, *args):
            del obj._sftp
            gc.collect()
            return result

        remove = rename = posix_rename = mkdir = rmdir = stat = normalize = chdir = put = get = close = answer

    obj = with_client(Deleter())
    args = () if method == "_close" else paths(method)
    outcome = getattr(obj, method)(*args)
    if method in ("_stat", "_normalize"):
        assert outcome is result
    elif method == "_close":
        assert outcome is None
    else:
        assert outcome is True
    assert not hasattr(obj, "_sftp")
    assert raised(lambda: obj._stat("a")).__class__ is AttributeError
    assert obj._upload("a", "b") is False


@pytest.mark.parametrize("method", ["_stat", "_upload", "_close"])
def test_client_that_drops_every_other_reference_to_the_instance(method):
    closes = []

    class Dropper(FakeClient):
        def answer(self, *args):
            box.clear()
            gc.collect()
            return "result"

        stat = put = answer

        def close(self):
            closes.append(len(box))
            if box:
                box.clear()
                gc.collect()

        def get_channel(self):
            return None

    box = [with_client(Dropper())]
    gone = weakref.ref(box[0])
    args = () if method == "_close" else paths(method)
    # The call's own reference keeps the instance alive until it returns.
    outcome = getattr(Cls, method)(box[0], *args)
    assert outcome in ("result", True, None)
    gc.collect()
    assert gone() is None
    # The finaliser ran once, after the call: one close from it (and one
    # from the call itself when the call was _close).
    assert len(closes) == (2 if method == "_close" else 1)


def test_finaliser_that_resurrects_the_instance():
    saved = []

    class Resurrector(FakeClient):
        def close(self):
            # The finaliser runs before weak references are cleared.
            saved.append(self.owner())

        def get_channel(self):
            return None

    client = Resurrector()
    obj = with_client(client)
    client.owner = weakref.ref(obj)
    obj_id = id(obj)
    del obj
    gc.collect()
    assert [id(survivor) for survivor in saved] == [obj_id]
    survivor = saved.pop()
    assert survivor._normalize("p") is None
    # Dropped again, it is not finalised a second time.
    gone = weakref.ref(survivor)
    del survivor
    gc.collect()
    assert gone() is None
    assert saved == []


def test_instance_whose_class_is_swapped_during_a_call():
    class Swapper(FakeClient):
        def stat(self, path):
            obj.__class__ = type("Sub", (Cls,), {})
            return path

    obj = with_client(Swapper())
    assert obj._stat("x") == "x"
    assert type(obj).__name__ == "Sub"
    assert obj._stat("y") == "y"


@pytest.mark.parametrize("method", TRANSFERS)
def test_failed_transfer_inside_an_except_block_keeps_the_handled_exception(method):
    obj = with_client(FakeClient(raises=Boom("transfer")))
    handled = ValueError("the caller's own")
    try:
        raise handled
    except ValueError:
        assert getattr(obj, method)("a", "b") is False
        assert sys.exception() is handled
        assert getattr(obj, method)("a", "b") is False
        assert sys.exception() is handled


def test_module_namespace_emptied_under_the_class(run_script):
    # The methods keep the namespace they were defined in; emptied, every
    # name they look up is simply not defined.
    process = run_script(
        """
        import sftp_main

        Cls = sftp_main.TavrelSFTPMain
        sftp_main.__dict__.clear()
        for call in (lambda: Cls({"host": "h", "user": "u", "password": "p"}),
                     lambda: Cls.__new__(Cls)._cleanse_params({})):
            try:
                call()
            except NameError as exc:
                print(exc)
        obj = Cls.__new__(Cls)
        obj._config = type("C", (), {"host": "h", "port": 22})()
        try:
            obj._connect()
        except NameError as exc:
            print(exc)
        """
    )
    assert process.returncode == 0, process.stderr
    assert process.stdout.splitlines() == [
        "name 'TavrelLog' is not defined",
        "name 'TavrelVar' is not defined",
        "name 'paramiko' is not defined",
    ]
