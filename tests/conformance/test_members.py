"""The Office.js members both workbooks implement: the README's table is
this list, and every member in it is there on both backends."""

import os

import pytest

import com_like

# type: (properties, writable properties, methods)
MEMBERS = {
    "Workbook": ("name settings tables worksheets", "", ""),
    "WorksheetCollection": ("items", "",
                            "add getActiveWorksheet getCount getFirst getItem "
                            "getItemOrNullObject"),
    "Worksheet": ("charts freezePanes id onChanged position tables", "name",
                  "activate delete getCell getRange getUsedRange getUsedRangeOrNullObject"),
    "Range": ("address addressLocal cellCount columnCount columnIndex format rowCount "
              "rowIndex text valueTypes worksheet", "formulas numberFormat values",
              "clear getCell getColumn getEntireColumn getEntireRow getIntersection "
              "getIntersectionOrNullObject getOffsetRange getResizedRange getRow load toJSON"),
    "RangeAreas": ("address areaCount areas cellCount format worksheet", "", "clear"),
    "RangeFormat": ("fill font", "columnWidth rowHeight", "autofitColumns autofitRows"),
    "RangeFill": ("", "color", "clear"),
    "RangeFont": ("", "bold color italic", ""),
    "SettingCollection": ("items", "", "add getCount getItem getItemOrNullObject"),
    "Setting": ("key", "value", "delete"),
    "EventHandlers": ("", "", "add"),
    "EventHandlerResult": ("", "", "remove"),
    "WorksheetChangedEventArgs": ("address changeType details source type worksheetId", "", ""),
    "TableCollection": ("count items", "", "add getCount getItem getItemAt getItemOrNullObject"),
    "Table": ("columns id rows worksheet", "name style",
              "convertToRange delete getDataBodyRange getHeaderRowRange getRange"),
    "TableRowCollection": ("count items", "", "add getCount getItemAt"),
    "TableRow": ("index", "values", "delete getRange"),
    "TableColumnCollection": ("count items", "", "getCount getItem getItemAt getItemOrNullObject"),
    "TableColumn": ("id index", "name values", "getDataBodyRange getHeaderRowRange getRange"),
    "WorksheetFreezePanes": ("", "", "freezeAt freezeColumns freezeRows getLocation "
                             "getLocationOrNullObject unfreeze"),
    "ChartCollection": ("count items", "", "add getCount getItem getItemAt getItemOrNullObject"),
    "Chart": ("id title worksheet", "chartType height left name top width", "delete setPosition"),
    "ChartTitle": ("", "text", ""),
}


def members_markdown():
    lines = ["| Type | Properties (rw: writable) | Methods |", "| --- | --- | --- |"]
    for kind, (ro, rw, methods) in MEMBERS.items():
        props = sorted([(p, "`%s`" % p) for p in ro.split()]
                       + [(p, "`%s` (rw)" % p) for p in rw.split()])
        lines.append("| %s | %s | %s |" % (
            kind, ", ".join(text for _, text in props) or "-",
            ", ".join("`%s()`" % m for m in methods.split()) or "-"))
    return "\n".join(lines)


def test_readme_lists_these_members():
    with open(os.path.join(os.path.dirname(__file__), "..", "..", "README.md")) as f:
        assert members_markdown() in f.read(), \
            "README's table of shared members is out of date:\n" + members_markdown()


def test_these_members_are_in_the_table_both_read():
    # The add-in's hints and keyword names come from members.json.
    from com_like_host.member_names import table
    wrong = []
    for kind, (ro, rw, methods) in MEMBERS.items():
        entry = table().get(kind)
        if entry is None:
            continue          # event arguments: plain data, not in the table
        for name, access in [(p, "r") for p in ro.split()] + [(p, "rw") for p in rw.split()]:
            if entry["properties"].get(name) != access:
                wrong.append("%s.%s (%s)" % (kind, name, access))
        wrong += ["%s.%s()" % (kind, m) for m in methods.split() if m not in entry["methods"]]
    assert not wrong


@pytest.fixture
def objects(backend, sheet, workbook):
    """One object of every type in MEMBERS, on this backend."""
    name = "conformance-members"
    if workbook.settings.getItemOrNullObject(name).isNullObject:
        workbook.settings.add(name, 1)
    rng = sheet.getRange("A1:B2")
    events = []
    reg = sheet.onChanged.add(events.append)
    sheet.getRange("A1").values = 1
    from host_support import wait_until
    assert wait_until(lambda: events, 5.0)
    table = sheet.tables.add("D1:E2", True)
    chart = sheet.charts.add("Line", rng)
    yield {
        "Workbook": workbook, "WorksheetCollection": workbook.worksheets, "Worksheet": sheet,
        "Range": rng, "RangeAreas": com_like.Union(rng, sheet.getRange("D4")),
        "RangeFormat": rng.format, "RangeFill": rng.format.fill, "RangeFont": rng.format.font,
        "SettingCollection": workbook.settings, "Setting": workbook.settings.getItem(name),
        "EventHandlers": sheet.onChanged, "EventHandlerResult": reg,
        "WorksheetChangedEventArgs": events[0],
        "TableCollection": sheet.tables, "Table": table, "TableRowCollection": table.rows,
        "TableRow": table.rows.getItemAt(0), "WorksheetFreezePanes": sheet.freezePanes,
        "TableColumnCollection": table.columns, "TableColumn": table.columns.getItemAt(0),
        "ChartCollection": sheet.charts, "Chart": chart, "ChartTitle": chart.title,
    }
    reg.remove()


def test_both_backends_have_these_members(objects):
    missing = []
    for kind, (ro, rw, methods) in MEMBERS.items():
        obj = objects[kind]
        for member in (ro + " " + rw).split():
            try:
                getattr(obj, member)
            except (RuntimeError, AttributeError) as e:
                missing.append("%s.%s: %s" % (kind, member, e))
        for member in methods.split():
            try:
                fn = getattr(obj, member)
                assert callable(fn), "%s.%s is not a method" % (kind, member)
            except (RuntimeError, AttributeError) as e:
                missing.append("%s.%s(): %s" % (kind, member, e))
    assert not missing
