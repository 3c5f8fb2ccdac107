"""Argument binding, differentially: every method against a Python function
of the same signature and qualified name, on generated mixes of positional
and keyword arguments.

Both sides must either bind the same objects to the same parameters, or
raise TypeError with the same message, the ". Did you mean ...?" hint that
Python adds for a misspelt keyword included (from 3.13 on; on 3.12 the
module words no hint and it is set aside).

To see what a method bound, every argument is a probe object, and the first
thing each method body does with its arguments ends in a hook of the probe
that raises `Bound` with the objects it was handed. The reference functions
raise `Bound` with their parameters.
"""

from __future__ import annotations

import operator
import re
import sys
import types

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import sftp_main
from reliability_support import SANITIZED

Cls = sftp_main.TavrelSFTPMain

# The interface, written out rather than read from the module.
SIGNATURES = {
    "__init__": ("self", "config"),
    "_cleanse_params": ("self", "config"),
    "_set_params_dict": ("self",),
    "_set_default_params": ("self",),
    "_connect": ("self",),
    "_close": ("self",),
    "_remove": ("self", "path"),
    "_rename": ("self", "ole_path", "new_path"),
    "_posix_rename": ("self", "ole_path", "new_path"),
    "_mkdir": ("self", "path"),
    "_rmdir": ("self", "path"),
    "_stat": ("self", "file_path"),
    "_normalize": ("self", "path"),
    "_chdir": ("self", "path"),
    "_upload": ("self", "src_file", "dsc_path"),
    "_download": ("self", "src_file", "dsc_path"),
    "__del__": ("self",),
}

# Near misses of the parameter names, which draw Python's hint.
MISSPELT = ["old_path", "dst_path", "pth", "Path", "selff", "conf", "file", "src", "new_pat", "args", "kwargs"]

DID_YOU_MEAN = re.compile(r"\. Did you mean '[^']*'\?$")


def without_hint_before_313(text):
    return DID_YOU_MEAN.sub("", text) if sys.version_info < (3, 13) else text


class Bound(BaseException):
    """What a body or a reference function reached, with the objects it was
    given; a BaseException so that no method swallows it."""

    def __init__(self, values):
        super().__init__()
        self.values = values


class Armed:
    # Probes are finalised at any time; only during a comparison may the
    # hook behind __del__ raise.
    on = False


class ClientProbe:
    """Stands in `_sftp`: any method raises Bound with the probe it belongs
    to and the positional arguments it was called with."""

    def __init__(self, owner):
        self.owner = owner

    def __getattr__(self, name):
        owner = self.owner

        def client_method(*args, **kwargs):
            assert not kwargs, "the client got keyword arguments"
            raise Bound((owner, *args))

        return client_method


class ProbeBase(dict):
    """An argument object. A dict, so that it serves as a configuration, and
    its one entry points at itself, so that the configuration object built
    from it tells which probe it came from."""

    def __init__(self, label):
        super().__init__(me=self)
        object.__setattr__(self, "label", label)

    def __repr__(self):
        return f"<probe {self.label}>"

    def __hash__(self):
        return id(self)

    def __eq__(self, other):
        return self is other

    @property
    def _sftp(self):
        return ClientProbe(self)

    def _cleanse_params(self, config):
        raise Bound((self, config))

    def _close(self):
        if Armed.on:
            raise Bound((self,))

    def __setattr__(self, name, value):
        if name == "_config":
            raise Bound((self, value["me"]))
        if name in ("_params_dict", "_default_params", "_ssh"):
            raise Bound((self,))
        object.__setattr__(self, name, value)


def probe_class(method):
    """A probe type that holds the method under test, so that it is also
    reached by attribute lookup on a probe."""
    return type(f"Probe{method}", (ProbeBase,), {method: getattr(Cls, method)})


def reference_function(method):
    params = SIGNATURES[method]
    source = f"def {method}({', '.join(params)}):\n    raise Bound(({', '.join(params)},))\n"
    namespace = {"Bound": Bound}
    exec(source, namespace)
    function = namespace[method]
    function.__qualname__ = f"TavrelSFTPMain.{method}"
    return function


def outcome(call):
    """('bound', values) or ('TypeError', message): anything else fails."""
    try:
        call()
    except Bound as bound:
        return ("bound", bound.values)
    except TypeError as exc:
        return ("TypeError", without_hint_before_313(str(exc)))
    raise AssertionError("the call neither bound nor raised TypeError")


def same(left, right):
    if left[0] != right[0]:
        return False
    if left[0] == "TypeError":
        return left[1] == right[1]
    return len(left[1]) == len(right[1]) and all(a is b for a, b in zip(left[1], right[1]))


@pytest.fixture
def probe_world(monkeypatch):
    """The framework and paramiko as the probes need them."""
    monkeypatch.setattr(sftp_main, "TavrelLog", lambda *, file: object())
    monkeypatch.setattr(sftp_main, "TavrelVar", lambda **entries: entries)
    monkeypatch.setattr(sftp_main, "paramiko", types.SimpleNamespace(SSHClient=object))
    yield
    Armed.on = False


keyword_names = st.one_of(
    st.sampled_from(["self", "config", "path", "ole_path", "new_path", "file_path", "src_file", "dsc_path"]),
    st.sampled_from(MISSPELT),
    st.text(min_size=1, max_size=6),
    st.integers(-3, 3),
)


@st.composite
def call_shapes(draw, params):
    """Positional probe indices and keyword -> probe index, in call order."""
    count = len(params)
    positional = draw(st.lists(st.integers(0, 3), max_size=count + 2))
    keywords = draw(
        st.one_of(
            # Right names, in any order, possibly duplicating a positional.
            st.lists(st.sampled_from(params), unique=True).map(lambda names: {n: 0 for n in names}),
            st.dictionaries(keyword_names, st.integers(0, 3), max_size=4),
        )
    )
    keywords = {name: draw(st.integers(0, 3)) for name in keywords}
    return positional, keywords


EXAMPLES = 60 if SANITIZED else 200


@pytest.mark.parametrize("method", list(SIGNATURES))
def test_binding_matches_a_python_function(method, probe_world):
    probe_type = probe_class(method)
    probes = []
    for index in range(4):
        # Made without the type's own __init__, which may be the method.
        probe = dict.__new__(probe_type)
        ProbeBase.__init__(probe, f"p{index}")
        probes.append(probe)
    target = getattr(Cls, method)
    reference = reference_function(method)

    @settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
    @given(shape=call_shapes(SIGNATURES[method]), holder=st.integers(0, 3))
    def check(shape, holder):
        positional, keywords = shape
        args = [probes[i] for i in positional]
        kwargs = {name: probes[i] for name, i in keywords.items()}
        instance = probes[holder]
        Armed.on = True
        try:
            # Through the class, the instance (if any) given like any argument.
            assert same(outcome(lambda: target(*args, **kwargs)), outcome(lambda: reference(*args, **kwargs)))
            # Read from an instance: a bound method.
            expected = outcome(lambda: types.MethodType(reference, instance)(*args, **kwargs))
            assert same(outcome(lambda: getattr(instance, method)(*args, **kwargs)), expected)
            # Called by name on the instance, without a bound method.
            if all(isinstance(name, str) for name in kwargs):
                caller = operator.methodcaller(method, *args, **kwargs)
                assert same(outcome(lambda: caller(instance)), expected)
        finally:
            Armed.on = False

    check()


@pytest.mark.skipif(sys.version_info < (3, 13), reason="the interpreter adds the hint from 3.13 on")
@pytest.mark.parametrize("keyword", ["old_path", "ole_pat", "NEW_PATH", "self_", "x"])
def test_a_misspelt_keyword_draws_the_interpreters_hint(keyword):
    reference = reference_function("_rename")
    with pytest.raises(TypeError) as python_error:
        reference(1, 2, **{keyword: 3})
    with pytest.raises(TypeError) as module_error:
        Cls._rename(1, 2, **{keyword: 3})
    assert str(module_error.value) == str(python_error.value)
    if keyword == "old_path":
        assert str(module_error.value).endswith("argument 'old_path'. Did you mean 'ole_path'?")
    if keyword == "x":
        assert not DID_YOU_MEAN.search(str(module_error.value))


class KeywordEqualToAll(str):
    def __eq__(self, other):
        return True

    __hash__ = str.__hash__


class KeywordEqualToNone(str):
    def __eq__(self, other):
        return False

    __hash__ = str.__hash__


class KeywordThatRaises(str):
    def __eq__(self, other):
        raise LookupError(f"compared with {other!r}")

    __hash__ = str.__hash__


@pytest.mark.parametrize("kind", [KeywordEqualToAll, KeywordEqualToNone, KeywordThatRaises])
@pytest.mark.parametrize("text", ["path", "new_path", "unknown"])
@pytest.mark.parametrize("positional", [0, 1, 2])
def test_keywords_of_text_subclasses_compare_like_python(kind, text, positional, probe_world):
    # A keyword that is not the interned parameter name itself is compared
    # with each name in turn, as the interpreter does, and its own __eq__
    # decides; an error from it reaches the caller.
    method = "_rename"
    probe_type = probe_class(method)
    probes = []
    for index in range(3):
        probe = dict.__new__(probe_type)
        ProbeBase.__init__(probe, f"p{index}")
        probes.append(probe)
    args = probes[:positional]
    kwargs = {kind(text): probes[2]}
    reference = reference_function(method)

    def result(call):
        try:
            return outcome(call)
        except LookupError as exc:
            return ("LookupError", str(exc))

    expected = result(lambda: reference(*args, **kwargs))
    actual = result(lambda: getattr(Cls, method)(*args, **kwargs))
    if expected[0] == "bound":
        assert same(actual, expected)
    else:
        assert actual == expected
