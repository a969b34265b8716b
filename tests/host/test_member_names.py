"""The hints of the members table: the same cases as
tests/js/members.test.mjs, so that both languages agree."""

import json
import pathlib

import pytest

from com_like_host import member_names

CASES = json.loads((pathlib.Path(__file__).parent.parent / "data" / "member_hints.json").read_text())


@pytest.mark.parametrize("name, names, nearest", CASES["nearest"])
def test_nearest(name, names, nearest):
    assert member_names.nearest(name, names) == nearest


@pytest.mark.parametrize("type_name, name, text", CASES["missing"])
def test_missing_member_text(type_name, name, text):
    assert member_names.missing_member_text(type_name, name) == text


@pytest.mark.parametrize("label, keyword, params, text", CASES["keywords"])
def test_unknown_keyword_text(label, keyword, params, text):
    assert member_names.unknown_keyword_text(label, keyword, params) == text


@pytest.mark.parametrize("label, args, kwargs, text", CASES["calls"])
def test_call_text(label, args, kwargs, text):
    assert member_names.call_text(label, args, kwargs) == text
