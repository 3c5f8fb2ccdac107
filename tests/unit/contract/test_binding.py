"""Argument binding: Python's rules and wording, qualified by the method's name.

Every failing call is checked against a plain Python function with the same
qualified name and parameters, word for word; before 3.13, the suggestion
Python appends to an unknown keyword (". Did you mean ...?") is not part of
the comparison.
"""

import re
import sys

import pytest

from fakes import SFTP_CLIENT_METHODS, Fake
from methods import METHOD_NAMES, METHODS, reference_function

SUGGESTION = re.compile(r"\. Did you mean '[^']*'\?$")


def hint_from_313(name):
    return f". Did you mean '{name}'?" if sys.version_info >= (3, 13) else ""


def message(exc):
    return SUGGESTION.sub("", str(exc)) if sys.version_info < (3, 13) else str(exc)


def failing_calls(params):
    """(positional args after the instance, keywords) that cannot bind."""
    values = [f"v{i}" for i in range(len(params))]
    cases = [
        ((), {"bogus": 1}),
        ((*values, "extra"), {}),
        ((*values, "extra", "extra2"), {}),
        ((*values, "extra"), {"bogus": 1}),
        ((*values,), {"bogus": 1, "other": 2}),
        ((*values,), {"self": 0}),
        ((*values,), {1: 2}),
    ]
    if params:
        cases += [
            ((), {}),
            ((*values[:-1],), {}),
            ((*values,), {params[0]: "dup"}),
            ((*values,), {params[-1]: "dup"}),
            ((*values[:-1],), {params[0] + "x": 1}),
        ]
    if len(params) == 2:
        cases += [((), {params[-1]: "k"}), ((), {params[-1]: "k", "old_path": "o"})]
    return cases


def class_calls(params):
    """Calls through the class: the instance may be missing too."""
    cases = [((None, *args), kwargs) for args, kwargs in failing_calls(params)]
    cases += [((), {}), ((), {p: "k" for p in params})]
    if params:
        cases.append(((), {"self": None, **{p: "k" for p in params[1:]}}))
    return cases


@pytest.fixture
def guarded(fakes, bare):
    """An instance on which any method body that ran would leave a record."""
    bare._sftp = Fake(fakes.log, "sftp", SFTP_CLIENT_METHODS)
    bare._ssh = Fake(fakes.log, "ssh", {"close"})
    return bare


def check_same_error(call, reference_call):
    with pytest.raises(TypeError) as expected:
        reference_call()
    with pytest.raises(TypeError) as got:
        call()
    assert message(got.value) == message(expected.value)


@pytest.mark.parametrize("name, params", METHODS, ids=METHOD_NAMES)
def test_bound_calls_fail_like_a_python_function(fakes, guarded, name, params):
    reference = reference_function(name, params).__get__(guarded)
    bound = getattr(guarded, name)
    for args, kwargs in failing_calls(params):
        check_same_error(lambda: bound(*args, **kwargs), lambda: reference(*args, **kwargs))
    assert fakes.log.calls == []


@pytest.mark.parametrize("name, params", METHODS, ids=METHOD_NAMES)
def test_class_calls_fail_like_a_python_function(fakes, cls, guarded, name, params):
    reference = reference_function(name, params)
    method = getattr(cls, name)
    for args, kwargs in class_calls(params):
        args = tuple(guarded if a is None else a for a in args)
        kwargs = {k: guarded if v is None else v for k, v in kwargs.items()}
        check_same_error(lambda: method(*args, **kwargs), lambda: reference(*args, **kwargs))
    assert fakes.log.calls == []


@pytest.mark.parametrize(
    "call, text",
    [
        (lambda o: o._rename("a"), "TavrelSFTPMain._rename() missing 1 required positional argument: 'new_path'"),
        (lambda o: o._rename(), "TavrelSFTPMain._rename() missing 2 required positional arguments: 'ole_path' and 'new_path'"),
        (lambda o: o._rename("a", "b", "c"), "TavrelSFTPMain._rename() takes 3 positional arguments but 4 were given"),
        (lambda o: o._rename("a", "b", ole_path="c"), "TavrelSFTPMain._rename() got multiple values for argument 'ole_path'"),
        (lambda o: o._rename(old_path="a", new_path="b"), "TavrelSFTPMain._rename() got an unexpected keyword argument 'old_path'" + hint_from_313("ole_path")),
        (lambda o: o._close(1), "TavrelSFTPMain._close() takes 1 positional argument but 2 were given"),
        (lambda o: o._upload("a"), "TavrelSFTPMain._upload() missing 1 required positional argument: 'dsc_path'"),
        (lambda o: o._upload("a", dst_path="b"), "TavrelSFTPMain._upload() got an unexpected keyword argument 'dst_path'" + hint_from_313("dsc_path")),
        (lambda o: o.__init__(), "TavrelSFTPMain.__init__() missing 1 required positional argument: 'config'"),
    ],
)
def test_binding_messages_read_exactly(fakes, guarded, call, text):
    with pytest.raises(TypeError) as excinfo:
        call(guarded)
    assert message(excinfo.value) == text
    assert fakes.log.calls == []


def test_non_string_keyword_is_a_type_error(fakes, guarded):
    with pytest.raises(TypeError):
        guarded._stat("p", **{1: "x"})
    with pytest.raises(TypeError):
        type(guarded)._close(guarded, **{None: 1})
    assert fakes.log.calls == []


def test_self_by_keyword_binds(fakes, cls, guarded):
    guarded._sftp.returns["normalize"] = normal = object()
    assert cls._normalize(path="x", self=guarded) is normal
    assert cls._rename(self=guarded, new_path="n", ole_path="o") is True
    assert [(c.name, c.args, c.kwargs) for c in fakes.log.calls] == [
        ("sftp.normalize", ("x",), {}),
        ("sftp.rename", ("o", "n"), {}),
    ]


def test_keywords_bind_in_any_order_for_every_parameter(fakes, guarded):
    guarded._upload(dsc_path="remote", src_file="local")
    guarded._posix_rename(new_path="n", ole_path="o")
    assert [(c.name, c.args, c.kwargs) for c in fakes.log.calls] == [
        ("sftp.put", ("local", "remote"), {}),
        ("sftp.posix_rename", ("o", "n"), {}),
    ]
