"""block_size's values, over the fakes: a whole number of bytes from 1 KiB to
16 MiB, an int or its decimal text; a malformed one raises ValueError naming
the option before anything is made, and an unset one changes no call."""

import pytest

from fakes import GOOD_CONFIG

MALFORMED = [0, -1, -262144, 1023, (16 << 20) + 1, 10**30, True, False, 262144.0, 1.5, "0", "-5", "256k", "0x400",
             "2.5", "1e6", "99999999999999", [262144], b"262144", object()]


@pytest.mark.parametrize("value", MALFORMED, ids=repr)
def test_a_malformed_block_size_raises_naming_the_range_before_anything_is_made(fakes, cls, value):
    obj = cls({**GOOD_CONFIG, "block_size": value})
    fakes.log.clear()
    with pytest.raises(ValueError, match=r"^block_size must be a whole number of bytes from 1024 \(1 KiB\) to "
                                         r"16777216 \(16 MiB\), an int or the text of one; got "):
        obj._connect()
    assert not any(n.startswith("paramiko") for n in fakes.log.names())
    assert not hasattr(obj, "_ssh")


@pytest.mark.parametrize("value", [None, ""])
def test_a_value_that_leaves_block_size_unset_changes_no_call(fakes, cls, value):
    def connect_calls(config):
        obj = cls(config)
        fakes.log.clear()
        obj._connect()
        return [(c.name, c.args if c.name == "paramiko.Transport" else len(c.args), c.kwargs)
                for c in fakes.log.calls if c.name != "var.attr"]

    expected = connect_calls(dict(GOOD_CONFIG))
    assert any(name == "transport.connect" for name, _, _ in expected)
    assert connect_calls({**GOOD_CONFIG, "block_size": value}) == expected


@pytest.mark.parametrize("value", [1024, 16 << 20, "262144", " 65536 "])
def test_the_ends_of_the_range_and_decimal_text_are_taken(fakes, cls, value):
    # Taken: the connection goes on to its transport and logs in (the fake
    # transport has no session channel to open, which ends it there).
    obj = cls({**GOOD_CONFIG, "block_size": value})
    fakes.log.clear()
    with pytest.raises(AttributeError, match="open_session"):
        obj._connect()
    names = fakes.log.names()
    assert "paramiko.Transport" in names
    assert "transport.connect" in names
