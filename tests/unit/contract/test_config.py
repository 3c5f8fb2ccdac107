"""The parameter tables and the cleansing of a caller's configuration."""

from collections import UserDict

import pytest

import sftp_main

from fakes import GOOD_CONFIG

DEFAULT_NAMES = ["ssh", "ssh_host", "ssh_port", "ssh_user", "ssh_password", "ssh_rsa", "ssh_rsa_pwd"]
MISSING = "缺少必填参数："


def table_of(obj, method, attribute):
    getattr(obj, method)()
    return getattr(obj, attribute)


# --- the tables -----------------------------------------------------------


def test_params_dict_rows_and_entries(bare):
    assert bare._set_params_dict() is None
    table = bare._params_dict
    assert type(table) is dict
    assert list(table) == ["host", "port", "user", "password"]
    assert list(table["port"]) == ["type", "default"]
    assert table["port"] == {"type": False, "default": 22}
    assert type(table["port"]["default"]) is int
    for name in ("host", "user", "password"):
        assert table[name] == {"type": True}
        assert table[name]["type"] is True
    assert table["port"]["type"] is False
    assert table["host"].get("default") is None
    assert table["port"].get("optional") is None


def test_default_params_rows(bare):
    assert bare._set_default_params() is None
    assert type(bare._default_params) is dict
    assert list(bare._default_params.items()) == [(name, None) for name in DEFAULT_NAMES]


@pytest.mark.parametrize("method, attribute", [("_set_params_dict", "_params_dict"), ("_set_default_params", "_default_params")])
def test_each_call_builds_a_new_table(bare, method, attribute):
    first = table_of(bare, method, attribute)
    second = table_of(bare, method, attribute)
    assert first is not second
    assert first == second
    if attribute == "_params_dict":
        assert all(first[k] is not second[k] for k in first)
        first["port"]["default"] = 2222
        assert second["port"]["default"] == 22
    first.clear()
    assert second


@pytest.mark.parametrize("method, attribute", [("_set_params_dict", "_params_dict"), ("_set_default_params", "_default_params")])
def test_table_method_with_an_extra_argument_stores_nothing(bare, method, attribute):
    with pytest.raises(TypeError):
        getattr(bare, method)(1)
    assert not hasattr(bare, attribute)
    kept = table_of(bare, method, attribute)
    with pytest.raises(TypeError):
        getattr(bare, method)(extra=1)
    assert getattr(bare, attribute) is kept


# --- cleansing: outcomes ---------------------------------------------------


def cleanse(bare, config):
    return bare._cleanse_params(config)


def failure_text(bare, config):
    with pytest.raises(Exception) as excinfo:
        bare._cleanse_params(config)
    assert type(excinfo.value) is Exception
    assert len(excinfo.value.args) == 1
    return excinfo.value.args[0]


def test_empty_mapping_reports_every_required_name(fakes, bare):
    assert failure_text(bare, {}) == MISSING + "['host', 'user', 'password']"
    assert bare._config.get("port") == 22
    assert list(bare._params_dict) == ["host", "port", "user", "password"]
    assert not hasattr(bare, "_default_params")


def test_failed_cleansing_leaves_the_callers_mapping_alone(fakes, bare):
    config = {"host": "h"}
    failure_text(bare, config)
    assert config == {"host": "h"}


def test_good_mapping_passes_and_is_completed_in_place(fakes, bare):
    config = dict(GOOD_CONFIG)
    assert cleanse(bare, config) is None
    assert bare._config is fakes.configs[-1]
    assert bare._config.get("port") == 22
    assert type(bare._config.get("port")) is int
    assert list(config) == [*GOOD_CONFIG, *DEFAULT_NAMES]
    assert all(config[name] is None for name in DEFAULT_NAMES)
    assert {k: config[k] for k in GOOD_CONFIG} == GOOD_CONFIG
    assert set(bare._config.entries) == {*GOOD_CONFIG, "port"}
    assert list(bare._default_params) == DEFAULT_NAMES


def test_real_framework_var_gives_the_same_outcome(bare):
    # The shipped configuration class, not the fake.
    config = dict(GOOD_CONFIG)
    bare._cleanse_params(config)
    assert bare._config.get("port") == 22
    assert bare._config.ssh is None
    assert list(config) == [*GOOD_CONFIG, *DEFAULT_NAMES]


@pytest.mark.parametrize("port, kept", [(2222, 2222), (1, 1), ("2200", "2200"), ("22", "22"), (0, 22), ("", 22), (None, 22), (False, 22)])
def test_port_value_or_default(fakes, bare, port, kept):
    cleanse(bare, {**GOOD_CONFIG, "port": port})
    assert bare._config.get("port") == kept
    assert type(bare._config.get("port")) is type(kept)


@pytest.mark.parametrize(
    "config, missing",
    [
        ({"host": "h", "user": "u", "password": ""}, ["password"]),
        ({"host": "h", "user": "u", "password": False}, ["password"]),
        ({"host": "h", "user": 0, "password": "p"}, ["user"]),
        ({"password": None, "user": "u"}, ["host", "password"]),
        ({"password": "p", "user": "", "host": []}, ["host", "user"]),
    ],
)
def test_false_required_values_count_as_missing_in_table_order(fakes, bare, config, missing):
    text = failure_text(bare, config)
    assert text == MISSING + str(missing)
    assert "；" not in text


def test_unknown_names_pass_through_unreported(fakes, bare):
    config = {**GOOD_CONFIG, "timeout": 5, "a-b": "not an identifier"}
    cleanse(bare, config)
    assert bare._config.get("timeout") == 5
    assert bare._config.get("a-b") == "not an identifier"
    assert failure_text(bare, {"timeout": 5}) == MISSING + "['host', 'user', 'password']"


def test_a_key_file_makes_the_password_optional(fakes, bare):
    cleanse(bare, {"host": "h", "user": "u", "key_file": "/keys/id_ed25519"})
    assert bare._config.get("key_file") == "/keys/id_ed25519"
    assert failure_text(bare, {"key_file": "/keys/id"}) == MISSING + "['host', 'user']"
    for unset in ("", None, 0):
        assert failure_text(bare, {"host": "h", "user": "u", "key_file": unset}) == MISSING + "['password']"


def test_callers_ssh_values_are_kept(fakes, bare):
    config = {**GOOD_CONFIG, "ssh": True, "ssh_rsa": ""}
    cleanse(bare, config)
    assert config["ssh"] is True
    assert config["ssh_rsa"] == ""
    assert list(config) == [*GOOD_CONFIG, "ssh", "ssh_rsa", *(n for n in DEFAULT_NAMES if n not in ("ssh", "ssh_rsa"))]
    assert bare._config.get("ssh") is True


def test_none_configuration_is_a_type_error_and_stores_nothing(fakes, bare):
    with pytest.raises(TypeError) as excinfo:
        bare._cleanse_params(None)
    assert str(excinfo.value) == "argument after ** must be a mapping, not NoneType"
    assert vars(bare) == {}
    assert fakes.log.calls == []


def test_values_are_shared_not_copied(fakes, bare):
    shared = ["value"]
    config = {**GOOD_CONFIG, "extra": shared}
    cleanse(bare, config)
    assert bare._config.get("extra") is shared
    assert fakes.log.of("TavrelVar")[0].kwargs["extra"] is shared


def test_second_cleansing_replaces_the_configuration(fakes, bare):
    cleanse(bare, {**GOOD_CONFIG, "first_only": 1})
    first = bare._config
    cleanse(bare, {"host": "h2", "user": "u2", "password": "p2", "port": 10})
    assert bare._config is not first
    assert bare._config.get("first_only") is None
    assert bare._config.get("host") == "h2"
    assert bare._config.get("port") == 10


def test_list_of_pairs_converts_then_fails_on_completion(fakes, bare):
    with pytest.raises(AttributeError):
        bare._cleanse_params(list(GOOD_CONFIG.items()))
    assert fakes.log.of("TavrelVar")[0].kwargs == GOOD_CONFIG
    assert hasattr(bare, "_config") and hasattr(bare, "_params_dict") and hasattr(bare, "_default_params")


def test_conversion_error_propagates_unchanged_and_stores_nothing(fakes, bare):
    boom = LookupError("no keys today")

    class Broken:
        def keys(self):
            raise boom

    with pytest.raises(LookupError) as excinfo:
        bare._cleanse_params(Broken())
    assert excinfo.value is boom
    assert vars(bare) == {}
    assert fakes.log.calls == []


def test_configuration_class_error_propagates_unchanged(fakes, bare):
    fakes.raises["TavrelVar"] = boom = ValueError("refused")
    with pytest.raises(ValueError) as excinfo:
        bare._cleanse_params(dict(GOOD_CONFIG))
    assert excinfo.value is boom
    assert vars(bare) == {}


def test_config_get_error_propagates_unchanged(fakes, bare, monkeypatch):
    import fakes as fakes_module

    boom = RuntimeError("get failed")

    def failing_get(self, name, /):
        raise boom

    monkeypatch.setattr(fakes_module.FakeConfig, "get", failing_get)
    with pytest.raises(RuntimeError) as excinfo:
        bare._cleanse_params(dict(GOOD_CONFIG))
    assert excinfo.value is boom


# --- cleansing: the exact call sequence -------------------------------------


class RecordingMapping(dict):
    """A caller's mapping (not exactly a dict) that records keys() and update()."""

    def __init__(self, log, *args):
        super().__init__(*args)
        self.log = log

    def keys(self):
        self.log.record("config.keys", (), {})
        return super().keys()

    def update(self, *args, **kwargs):
        self.log.record("config.update", args, kwargs)
        return super().update(*args, **kwargs)


def recording_subclass(cls, log):
    class Recording(cls):
        def _set_params_dict(self, *args):
            log.record("_set_params_dict", args, {})
            return super()._set_params_dict(*args)

        def _set_default_params(self, *args):
            log.record("_set_default_params", args, {})
            return super()._set_default_params(*args)

    return Recording


def test_call_sequence_of_a_successful_cleansing(fakes, cls):
    log = fakes.log
    recording = recording_subclass(cls, log)
    obj = recording.__new__(recording)
    config = RecordingMapping(log, {**GOOD_CONFIG, "ssh_host": "jump"})
    # keys() of the mapping itself is read while converting it; only the
    # calls after construction are pinned here.
    obj._cleanse_params(config)
    calls = [(c.name, c.args, c.kwargs) for c in log.calls]
    start = [name for name, _, _ in calls].index("TavrelVar")
    assert calls[start] == ("TavrelVar", (), {**GOOD_CONFIG, "ssh_host": "jump"})
    expected = [
        ("_set_params_dict", (), {}),
        ("var.get", ("host",), {}),
        ("var.get", ("port",), {}),
        ("var.set", ("port", 22), {}),
        ("var.get", ("user",), {}),
        ("var.get", ("password",), {}),
        ("_set_default_params", (), {}),
    ]
    for name in DEFAULT_NAMES:
        expected.append(("config.keys", (), {}))
        if name != "ssh_host":
            expected.append(("config.update", ({name: None},), {}))
    assert calls[start + 1 :] == expected
    assert config["ssh_host"] == "jump"


def test_mutable_mapping_that_is_no_dict_is_converted_and_completed(fakes, bare):
    config = UserDict(GOOD_CONFIG)
    bare._cleanse_params(config)
    assert fakes.log.of("TavrelVar")[0].kwargs == GOOD_CONFIG
    assert list(config) == [*GOOD_CONFIG, *DEFAULT_NAMES]


def test_tables_are_read_back_from_the_instance(fakes, cls):
    class Stricter(cls):
        def _set_params_dict(self):
            super()._set_params_dict()
            self._params_dict["zone"] = {"type": True}

        def _set_default_params(self):
            self._default_params = {"only": "this"}

    obj = Stricter.__new__(Stricter)
    with pytest.raises(Exception) as excinfo:
        obj._cleanse_params(dict(GOOD_CONFIG))
    assert excinfo.value.args == (MISSING + "['zone']",)
    config = {**GOOD_CONFIG, "zone": "z"}
    obj._cleanse_params(config)
    assert list(config) == [*GOOD_CONFIG, "zone", "only"]
    assert config["only"] == "this"


# --- allowed values ("optional") -------------------------------------------


def with_table(cls, table):
    class Custom(cls):
        def _set_params_dict(self):
            self._params_dict = {name: dict(entry) for name, entry in table.items()}

    return Custom.__new__(Custom)


ALLOWED_TABLE = {
    "host": {"type": True},
    "mode": {"type": False, "default": "a", "optional": ["a", "b"]},
    "level": {"type": False, "optional": (1, 2)},
    "user": {"type": True},
}


def test_value_outside_allowed_values_is_reported(fakes, cls):
    obj = with_table(cls, ALLOWED_TABLE)
    with pytest.raises(Exception) as excinfo:
        obj._cleanse_params({"host": "h", "user": "u", "mode": "c"})
    assert excinfo.value.args == ("参数mode预设值不正确，可选：['a', 'b']",)


def test_missing_message_comes_first_then_each_rejected_value(fakes, cls):
    obj = with_table(cls, ALLOWED_TABLE)
    text = failure_text(obj, {"level": 3, "mode": "z"})
    assert text == "；".join(
        [MISSING + "['host', 'user']", "参数mode预设值不正确，可选：['a', 'b']", "参数level预设值不正确，可选：(1, 2)"]
    )
    assert not text.endswith("；")


def test_allowed_value_passes_and_false_or_default_values_are_not_tested(fakes, cls):
    obj = with_table(cls, {"mode": {"type": False, "default": "zzz", "optional": ["a"]}})
    obj._cleanse_params({"mode": "a"})
    obj._cleanse_params({"mode": ""})
    assert obj._config.get("mode") == "zzz"
    obj._cleanse_params({})
    assert obj._config.get("mode") == "zzz"


def test_allowed_values_check_reads_the_value_again(fakes, cls):
    obj = with_table(cls, {"mode": {"optional": ["a"]}})
    obj._cleanse_params({"mode": "a"})
    assert [(c.name, c.args) for c in fakes.log.calls if c.name.startswith("var.")] == [
        ("var.get", ("mode",)),
        ("var.get", ("mode",)),
    ]


class Formatted(str):
    """A name whose text form is recorded, or refused."""

    def __new__(cls, text, seen, refuse=False):
        obj = super().__new__(cls, text)
        obj.seen, obj.refuse = seen, refuse
        return obj

    def __hash__(self):
        return str.__hash__(self)

    def __format__(self, spec):
        self.seen.append(str(self))
        if self.refuse:
            raise ValueError(str(self))
        return str(self)


class FormattedList(list):
    def __init__(self, items, seen, refuse=False):
        super().__init__(items)
        self.seen, self.refuse = seen, refuse

    def __format__(self, spec):
        self.seen.append("allowed")
        if self.refuse:
            raise ValueError("allowed")
        return list.__format__(self, spec)


def test_rejected_value_message_formats_the_name_before_the_allowed_values(fakes, cls):
    seen = []
    obj = with_table(cls, {Formatted("mode", seen): {"optional": FormattedList(["a"], seen)}})
    assert failure_text(obj, {"mode": "z"}) == "参数mode预设值不正确，可选：['a']"
    assert seen == ["mode", "allowed"]

    seen.clear()
    obj = with_table(cls, {Formatted("mode", seen, refuse=True): {"optional": FormattedList(["a"], seen, True)}})
    with pytest.raises(ValueError) as excinfo:
        obj._cleanse_params({"mode": "z"})
    assert excinfo.value.args == ("mode",)


def test_set_is_looked_up_before_the_default_is_read(fakes, cls):
    order = []

    class Entry(dict):
        def get(self, key, default=None):
            order.append(("entry.get", key))
            return dict.get(self, key, default)

    class Custom(cls):
        def _set_params_dict(self):
            self._params_dict = {"port": Entry(type=False, default=22)}

    class Config:
        def get(self, name):
            return None

        def __getattr__(self, name):
            order.append(("config." + name,))
            return lambda *args: None

    obj = Custom.__new__(Custom)
    fakes_var = sftp_main.TavrelVar
    try:
        sftp_main.TavrelVar = lambda **entries: Config()
        obj._cleanse_params({})
    finally:
        sftp_main.TavrelVar = fakes_var
    assert order[-3:] == [("entry.get", "default"), ("config.set",), ("entry.get", "default")]


def test_false_default_is_never_applied(fakes, cls):
    obj = with_table(cls, {"retries": {"type": False, "default": 0}, "flag": {"default": ""}})
    obj._cleanse_params({})
    assert fakes.log.of("var.set") == []
