"""The option table, as its source file states it: what tests compare the
module's reads, the README and the stubs with, without a name of the
module's own for it."""

import pathlib
import re
from collections import namedtuple

SOURCE = pathlib.Path(__file__).parents[3] / "sftp_main" / "options" / "option_table.def"

Row = namedtuple("Row", "name type guarded secret password_optional read policy")

_ROW = re.compile(r"^SFTP_OPTION\((\w+),\s*(\w+),\s*([01]),\s*([01]),\s*([01]),\s*(\w+),\s*(\w+)\)\s*$")


def rows():
    found = []
    for line in SOURCE.read_text().splitlines():
        match = _ROW.match(line)
        if match:
            name, type_, guarded, secret, optional, read, policy = match.groups()
            found.append(Row(name, type_, guarded == "1", secret == "1", optional == "1", read, policy))
    return found


def names():
    return [row.name for row in rows()]


def opt_in_names():
    return [row.name for row in rows() if row.read in ("Connect", "WithKnownHosts")]
