"""The stand-ins' repr masks exactly the option table's secret names.

The stand-ins judge a name by what it looks like, the module by its row;
a row added as a secret under a name the stand-ins' markers miss (or one
marked shown that they would mask) makes the two disagree here first."""

import importlib.util
import pathlib

import pytest

from tavrel_ssh import TavrelSSH
from tavrel_var import TavrelVar

_TABLE = pathlib.Path(__file__).parents[1] / "unit" / "options" / "option_table.py"
_spec = importlib.util.spec_from_file_location("option_table_source", _TABLE)
option_table = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(option_table)

VALUE = "shown-or-not-4e7a"


def test_the_table_has_secret_and_shown_rows():
    secrets = {row.secret for row in option_table.rows()}
    assert secrets == {True, False}


@pytest.mark.parametrize("row", option_table.rows(), ids=lambda row: row.name)
def test_each_stand_in_masks_a_row_exactly_when_the_table_says_secret(row):
    for shown in (repr(TavrelVar(**{row.name: VALUE})), repr(TavrelSSH({row.name: VALUE}))):
        assert f"{row.name!r}: " in shown, shown
        assert (VALUE not in shown) == row.secret, shown
