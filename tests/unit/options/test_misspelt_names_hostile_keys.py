"""The misspelt-name check against keys a caller might not expect it to
meet: plausible framework names, keys of other types, str subclasses whose
own methods misbehave, and keys of megabytes."""

import time

import pytest

from fakes import GOOD_CONFIG


@pytest.mark.parametrize("key, meant", [
    ("block_sizes", "block_size"),
    ("blocksize", "block_size"),
    ("Block_Size", "block_size"),
    ("block-size", "block_size"),
])
def test_near_misses_of_block_size_fail_closed(fakes, cls, key, meant):
    with pytest.raises(ValueError, match=f"did you mean {meant!r}"):
        cls({**GOOD_CONFIG, key: 262144})


@pytest.mark.parametrize("key", ["block", "blocks", "buffer_size", "chunk_size", "timeouts_ms", "attempts", "max_attempts"])
def test_plausible_framework_names_far_from_every_opt_in_one_pass(fakes, cls, key):
    cls({**GOOD_CONFIG, key: "value"})._connect()
    assert fakes.log.of("transport.connect")


@pytest.mark.parametrize("key", [1, 2.5, ("known_host",), b"known_host", None, frozenset({"known_host"})])
def test_keys_that_are_no_str_are_left_to_the_framework(fakes, cls, key):
    # The framework's own refusal, as without the check: none of ours.
    with pytest.raises(TypeError, match="keywords must be strings"):
        cls({**GOOD_CONFIG, key: "value"})


class Hostile(str):
    calls = []

    # The contract's own lookups may compare keys, as Python's "in" does:
    # recorded, not refused. The check itself only reads the text.
    def __eq__(self, other):
        Hostile.calls.append("eq")
        return str.__eq__(self, other)

    def __hash__(self):
        Hostile.calls.append("hash")
        return str.__hash__(self)

    def __repr__(self):
        Hostile.calls.append("repr")
        raise RuntimeError("__repr__ ran")

    def __str__(self):
        Hostile.calls.append("str")
        raise RuntimeError("__str__ ran")


def test_a_str_subclass_typo_is_named_without_running_its_methods(fakes, cls):
    config = {**GOOD_CONFIG}
    config[Hostile("known_host")] = "x"
    Hostile.calls.clear()
    with pytest.raises(ValueError) as raised:
        cls(config)
    # The check's own message, although the key's __repr__ raises (the
    # failure note may still try it, and falls back on its own).
    assert type(raised.value) is ValueError
    assert str(raised.value) == "unknown configuration name 'known_host'; did you mean 'known_hosts'?"


def test_a_str_subclass_far_from_every_name_passes(fakes, cls):
    config = {**GOOD_CONFIG}
    config[Hostile("colour")] = "x"
    Hostile.calls.clear()
    cls(config)
    assert "repr" not in Hostile.calls and "str" not in Hostile.calls and "hash" in Hostile.calls


@pytest.mark.parametrize("size", [4 << 20, 8 << 20])
def test_a_key_of_megabytes_is_checked_in_linear_time(fakes, cls, size):
    started = time.monotonic()
    cls({**GOOD_CONFIG, "q" * size: "value"})
    assert time.monotonic() - started < 8.0  # a distance table per name took tens of seconds


def test_a_huge_key_folding_onto_an_opt_in_name_still_fails_closed(fakes, cls):
    key = "known" + "_" * (4 << 20) + "hosts"
    with pytest.raises(ValueError, match="did you mean 'known_hosts'"):
        cls({**GOOD_CONFIG, key: "x"})
