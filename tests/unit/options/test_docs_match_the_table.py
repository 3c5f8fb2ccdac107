"""The README's configuration reference and the stubs' configuration type
list exactly the option table's names: none missing, none extra."""

import ast
import pathlib
import re

import pytest

from option_table import names

ROOT = pathlib.Path(__file__).parents[3]
README = ROOT / "README.md"
STUBS = ROOT / "stubs" / "sftp_main-stubs" / "__init__.pyi"
HEADING = "## Configuration reference"


def readme_names():
    text = README.read_text()
    # A README without the section fails: a skip would pass the check unseen.
    assert HEADING in text.splitlines(), f"the README has no section headed {HEADING!r}"
    section = text.split(HEADING + "\n", 1)[1]
    section = re.split(r"^## ", section, maxsplit=1, flags=re.M)[0]
    found = []
    for line in section.splitlines():
        match = re.match(r"^\|\s*`([^`]+)`\s*\|", line)
        if match:
            found.append(match.group(1))
    return found


def stub_names():
    tree = ast.parse(STUBS.read_text())
    for node in ast.walk(tree):
        if not isinstance(node, ast.ClassDef):
            continue
        typed_dict = any(getattr(base, "id", getattr(base, "attr", None)) == "TypedDict" for base in node.bases)
        total_false = any(
            k.arg == "total" and isinstance(k.value, ast.Constant) and k.value.value is False for k in node.keywords
        )
        if typed_dict and total_false:
            return [item.target.id for item in node.body if isinstance(item, ast.AnnAssign)]
    pytest.fail("the stubs have no TypedDict(total=False) configuration type")


def test_the_readme_reference_lists_exactly_the_table_s_names():
    listed = readme_names()
    assert sorted(listed) == sorted(names()), {
        "missing": sorted(set(names()) - set(listed)), "extra": sorted(set(listed) - set(names()))}
    assert len(listed) == len(set(listed))


def test_the_stubs_configuration_type_lists_exactly_the_table_s_names():
    listed = stub_names()
    assert sorted(listed) == sorted(names()), {
        "missing": sorted(set(names()) - set(listed)), "extra": sorted(set(listed) - set(names()))}


def test_the_table_source_is_parsed_whole():
    source = (ROOT / "sftp_main" / "options" / "option_table.def").read_text()
    assert len(names()) == source.count("\nSFTP_OPTION(")
