"""retries's values, over the fakes: a whole count from 0 to 100, an int or
its decimal text; a malformed one raises ValueError naming the option before
anything is made, and an unset one, or 0, changes no call; a count above 0
or a true resume starts the session apart, to hold the server's key."""

import pytest

from fakes import GOOD_CONFIG

MALFORMED = [-1, -100, 101, 10**30, True, False, 3.0, 1.5, float("nan"), "-1", "101", "three", "3.0", "0x3", "1e1",
             "", [3], b"3", object()]
# "" and None leave it unset; a blank text is no count either.
MALFORMED.remove("")


def connect_calls(fakes, cls, config):
    obj = cls(config)
    fakes.log.clear()
    obj._connect()
    return [(c.name, c.args if c.name == "paramiko.Transport" else len(c.args), c.kwargs)
            for c in fakes.log.calls if c.name != "var.attr"]


@pytest.mark.parametrize("value", MALFORMED, ids=repr)
def test_a_malformed_retries_raises_naming_it_before_anything_is_made(fakes, cls, value):
    obj = cls({**GOOD_CONFIG, "retries": value})
    fakes.log.clear()
    with pytest.raises(ValueError, match=r"^retries\b") as raised:
        obj._connect()
    assert repr(value) in str(raised.value) or str(value) in str(raised.value)
    assert not any(n.startswith("paramiko") for n in fakes.log.names())
    assert not hasattr(obj, "_ssh")


@pytest.mark.parametrize("value", [None, ""])
def test_a_value_that_leaves_retries_unset_changes_no_call(fakes, cls, value):
    expected = connect_calls(fakes, cls, dict(GOOD_CONFIG))
    assert any(name == "transport.connect" for name, _, _ in expected)
    assert connect_calls(fakes, cls, {**GOOD_CONFIG, "retries": value}) == expected


@pytest.mark.parametrize("value", [1, 3, 100, "7", " 100 "], ids=repr)
def test_the_ends_of_the_range_and_decimal_text_are_taken(fakes, cls, value):
    # Taken: the session is started apart, so that the server's key can be
    # held for the reconnects (the fake transport has no start_client to
    # start it with, which ends it there).
    obj = cls({**GOOD_CONFIG, "retries": value})
    fakes.log.clear()
    with pytest.raises(AttributeError, match="start_client"):
        obj._connect()
    assert "paramiko.Transport" in fakes.log.names()


@pytest.mark.parametrize("option, value", [("retries", 0), ("retries", "0"), ("resume", False), ("resume", None)])
def test_no_retries_and_no_resume_change_no_call(fakes, cls, option, value):
    expected = connect_calls(fakes, cls, dict(GOOD_CONFIG))
    assert connect_calls(fakes, cls, {**GOOD_CONFIG, option: value}) == expected


@pytest.mark.parametrize("value", [True, "yes"], ids=repr)
def test_a_true_resume_starts_the_session_apart_as_retries_does(fakes, cls, value):
    obj = cls({**GOOD_CONFIG, "resume": value})
    fakes.log.clear()
    with pytest.raises(AttributeError, match="start_client"):
        obj._connect()
