"""What a held worksheet proxy means through the whole stack: Office.js
evaluates an object path again at each sync, and only tracked ranges keep
meaning what they meant."""

import pytest

import com_like


def test_held_worksheet_proxies_follow_their_paths(sheet):
    sheets = com_like.Context.workbook.worksheets
    name = sheet.name
    by_name = sheets.getItem(name)
    by_id = sheets.getItem(sheet.id)
    active = sheets.getActiveWorksheet()
    cell = by_name.getRange("A1")
    cell.values = [[1]]
    other = sheets.add(name + "b")
    added_name = other.name
    other.activate()
    assert active.name == added_name               # the active sheet now
    sheet.name = name + "r"
    assert by_id.name == name + "r"                 # the same sheet, renamed
    with pytest.raises((RuntimeError, AttributeError), match="^ItemNotFound: "):
        by_name.name                                # no sheet has that name any more
    assert cell.address == "%sr!A1" % name          # a tracked range keeps its cells
    assert other.name == added_name                 # add() means the sheet it added
