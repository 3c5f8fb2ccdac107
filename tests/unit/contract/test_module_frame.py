import inspect
import json
import types

import pytest

import sftp_main
from fakes import CallLog, Fake
from methods import METHOD_NAMES, METHODS, reference_function

IMPORT_SYSTEM_NAMES = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"}
BOUND_NAMES = ["paramiko", "TavrelLog", "TavrelSSH", "TavrelVar", "TavrelSFTPMain"]


def test_fresh_module_namespace_holds_import_names_then_exactly_five_names(run_python):
    # In a fresh process: other tests rebind globals here, which moves them
    # to the end of the namespace.
    result = run_python(
        """
        import json, sys
        import sftp_main, paramiko, tavrel_log, tavrel_ssh, tavrel_var
        ns = vars(sftp_main)
        print(json.dumps({
            "keys": list(ns),
            "same": [ns["paramiko"] is paramiko, ns["TavrelLog"] is tavrel_log.TavrelLog,
                     ns["TavrelSSH"] is tavrel_ssh.TavrelSSH, ns["TavrelVar"] is tavrel_var.TavrelVar,
                     ns["TavrelSFTPMain"].__name__ == "TavrelSFTPMain"],
        }))
        """
    )
    assert result.returncode == 0, result.stderr
    report = json.loads(result.stdout)
    keys = report["keys"]
    assert keys[-5:] == BOUND_NAMES
    assert set(keys[:-5]) == IMPORT_SYSTEM_NAMES
    assert len(keys) == len(IMPORT_SYSTEM_NAMES) + 5
    assert report["same"] == [True] * 5


def test_module_docstring_names_the_file():
    assert isinstance(sftp_main.__doc__, str)
    assert "sftp_main" in sftp_main.__doc__


def test_class_is_a_plain_class_deriving_from_object(cls):
    assert type(cls) is type
    assert cls.__mro__ == (cls, object)
    assert cls.__bases__ == (object,)
    assert cls.__doc__ is None
    assert cls.__module__ == "sftp_main"
    assert cls.__name__ == "TavrelSFTPMain"
    assert cls.__qualname__ == "TavrelSFTPMain"
    assert "__slots__" not in cls.__dict__


def test_class_dict_order_matches_type_built_from_the_same_namespace(cls):
    namespace = {"__module__": "sftp_main", "__qualname__": "TavrelSFTPMain"}
    for name, params in METHODS:
        namespace[name] = reference_function(name, params)
    reference = type("TavrelSFTPMain", (), namespace)
    keys = list(cls.__dict__)
    assert keys[: 1 + len(METHOD_NAMES)] == ["__module__", *METHOD_NAMES]
    assert keys == list(reference.__dict__)


def test_instances_carry_an_attribute_dict_and_the_class_can_be_subclassed(cls, bare):
    bare.anything = 1
    assert vars(bare) == {"anything": 1}

    class Sub(cls):
        pass

    sub = Sub.__new__(Sub)
    assert isinstance(sub, cls)
    assert Sub._stat is cls._stat


@pytest.mark.parametrize("name, params", METHODS, ids=METHOD_NAMES)
def test_method_object_identity_attributes(cls, name, params):
    method = cls.__dict__[name]
    assert method.__doc__ == f"TavrelSFTPMain.{name}({', '.join(('self', *params))})"
    assert method.__name__ == name
    assert method.__qualname__ == f"TavrelSFTPMain.{name}"
    assert method.__module__ == "sftp_main"
    # Read from the class, a method gives itself, as a function does.
    assert getattr(cls, name) is method
    assert method.__get__(None, cls) is method


@pytest.mark.parametrize("name, params", METHODS, ids=METHOD_NAMES)
def test_method_binds_to_the_instance(cls, bare, name, params):
    method = cls.__dict__[name]
    bound = getattr(bare, name)
    assert isinstance(bound, types.MethodType)
    assert bound.__self__ is bare
    assert bound.__func__ is method
    assert bound == getattr(bare, name)
    assert method.__get__(bare, cls).__self__ is bare


@pytest.mark.parametrize("name, params", METHODS, ids=METHOD_NAMES)
def test_signature_shows_parameter_names(cls, bare, name, params):
    signature = inspect.signature(cls.__dict__[name])
    assert list(signature.parameters) == ["self", *params]
    for parameter in signature.parameters.values():
        assert parameter.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
        assert parameter.default is inspect.Parameter.empty
    assert list(inspect.signature(getattr(bare, name)).parameters) == list(params)


def test_calling_through_the_class_with_the_instance_first(cls, bare):
    log = CallLog()
    bare._sftp = Fake(log, "sftp", {"stat"})
    bare._sftp.returns["stat"] = stat = object()
    assert cls._stat(bare, "/a") is stat
    assert cls._stat(bare, file_path="/b") is stat
    assert cls._stat(self=bare, file_path="/c") is stat
    assert [c.args for c in log.calls] == [("/a",), ("/b",), ("/c",)]
