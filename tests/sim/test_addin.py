"""The add-in on its own, fed request messages as the contract lays down."""

import itertools

import pytest

from com_like_host import wire
from com_like_sim.addin import SimulatedAddin
from com_like_sim.events import CallPython, ReleaseCallables
from com_like_sim.addresses import AddressError, format_address, parse_address


def rec(v):
    return wire.encode(v, lambda x: (x.type, x.id) if isinstance(x, Ref)
                       else ("Python_Function", x.__name__) if callable(x) else None)


class Ref:
    """An object of the add-in's (or a Python callable) that a result names."""

    def __init__(self, type_name, oid):
        self.type, self.id = type_name, oid


def plain(r):
    """A result record back to Python, checking that containers carry ids."""
    assert_ids(r)
    return wire.decode(r, Ref, lambda callable_id: Ref("Python_Function", callable_id))


def assert_ids(r):
    if r["type"] in ("Array", "Dict"):
        assert isinstance(r["id"], int)
        for x in r["value"] if r["type"] == "Array" else r["value"].values():
            assert_ids(x)


def arguments(*args, **kw):
    """A call's arguments as a request carries them."""
    return ([{"arg_type": "PLACED", "value": rec(a)} for a in args]
            + [{"arg_type": "NAMED", "name": k, "value": rec(v)} for k, v in kw.items()])


class Driver:
    def __init__(self, **kw):
        self.events = []
        self.addin = SimulatedAddin(emit=self.events.append, **kw)
        self.ids = itertools.count(1)
        self.origin = None

    def send(self, method, caller, name, **extra):
        msg = {"method": method, "name": name, "caller": caller, **extra,
               "requestId": "r%d" % next(self.ids), "kind": "request"}
        resp = self.addin.handle(msg, self.origin)
        assert resp["requestId"] == msg["requestId"]
        return resp

    def ok(self, *a, **k):
        resp = self.send(*a, **k)
        assert resp["ok"], resp["error"]
        return plain(resp["result"])

    def error(self, *a, **k):
        resp = self.send(*a, **k)
        assert resp["ok"] is False
        return resp["error"]["message"]

    def get(self, obj, name):
        return self.ok("GET", obj if isinstance(obj, int) else obj.id, name)

    def set(self, obj, name, value):
        return self.ok("SET", obj.id, name, value=rec(value))

    def call(self, obj, name, *args, **kw):
        fn = self.get(obj, name) if name else obj
        return self.ok("CALL", fn.id if isinstance(fn, Ref) else fn, "__call__", args=arguments(*args, **kw))

    def sheet(self):
        return self.call(self.get(self.get(0, "workbook"), "worksheets"), "getActiveWorksheet")

    def rng(self, address, sheet=None):
        return self.call(sheet or self.sheet(), "getRange", address)


@pytest.fixture
def d():
    return Driver()


@pytest.mark.parametrize("text, sheet, block", [
    ("A1", None, (0, 0, 0, 0)),
    ("$B$2", None, (1, 1, 1, 1)),
    ("C3:A1", None, (0, 0, 2, 2)),
    ("Sheet1!B2:D4", "Sheet1", (1, 1, 3, 3)),
    ("'My ''Q'' Sheet'!AA10", "My 'Q' Sheet", (9, 26, 9, 26)),
    ("XFD1048576", None, (1048575, 16383, 1048575, 16383)),
])
def test_addresses_parse_and_round_trip(text, sheet, block):
    assert parse_address(text) == (sheet, block)
    if sheet:
        assert parse_address(format_address(sheet, block)) == (sheet, block)


@pytest.mark.parametrize("text", ["", "A", "1A", "A0", "XFE1", "A1048577", "A1:B2:C3", "A1 B2", "!A1",
                                  "B:2", "0:1", "1:1048577", "XFE:XFE", "B:", ":B", "A1:B"])
def test_bad_addresses_are_refused(text):
    with pytest.raises(AddressError):
        parse_address(text)


def test_values_round_trip_with_fresh_ids(d):
    r = d.rng("B2:C3")
    d.set(r, "values", [[1, "x"], [2.5, True]])
    assert d.get(r, "values") == [[1, "x"], [2.5, True]]
    assert d.get(r, "formulas") == [[1, "x"], [2.5, True]]
    assert (d.get(r, "address"), d.get(r, "rowCount"), d.get(r, "columnCount")) == ("Sheet1!B2:C3", 2, 2)
    assert d.get(d.call(r, "getCell", 1, 0), "values") == [[2.5]]
    # The same sheet handed out twice is two ids.
    assert d.sheet().id != d.sheet().id


def test_formats_used_range_and_clear(d):
    ws = d.sheet()
    r = d.rng("A1:B1", ws)
    d.set(r, "values", "h")
    fmt = d.get(r, "format")
    d.set(d.get(fmt, "fill"), "color", "#4472c4")
    d.set(d.get(fmt, "font"), "bold", True)
    d.set(d.rng("C5", ws), "values", [[7]])
    assert d.get(d.call(ws, "getUsedRange"), "address") == "Sheet1!A1:C5"
    assert d.get(d.get(d.get(d.rng("A1", ws), "format"), "fill"), "color") == "#4472C4"
    # A mixed block reads as None.
    assert d.get(d.get(d.get(d.rng("A1:C1", ws), "format"), "font"), "bold") is None
    d.call(d.rng("A1:C5", ws), "clear")
    assert d.get(d.call(ws, "getUsedRange"), "address") == "Sheet1!A1"
    assert d.addin.workbook.sheets[0].cells == {}


def test_union_intersect_and_setting(d):
    ws = d.sheet()
    u = d.call(2 + 1, None, d.rng("A1:B2", ws), d.rng("D4", ws))
    assert u.type == "RangeAreas" and d.get(u, "address") == "Sheet1!A1:B2, Sheet1!D4"
    i = d.call(4, None, d.rng("A1:C3", ws), d.rng("B2:D4", ws))
    assert d.get(i, "address") == "Sheet1!B2:C3"
    assert d.call(4, None, d.rng("A1", ws), d.rng("C3", ws)) is None
    assert d.call(2, None, "Locale") is None          # an add-in starts with no settings
    d.call(d.get(d.get(0, "workbook"), "settings"), "add", "Locale", "de-DE")
    assert d.call(2, None, "Locale") == "de-DE"


@pytest.mark.parametrize("request_, expected", [
    (("GET", "valuez"), "Range has no member 'valuez'. Did you mean 'values'?"),
    (("SET", "address"), "Range.address is read-only"),
    (("SET", "getCell"), "is a method and cannot be assigned"),
    (("SET", "values", [[1, 2]]), "the range is 2 x 2 but the value has 1 row(s) of 2 column(s)"),
    (("SET", "values", [1, 2]), "not lists"),
    (("CALL", "getCell"), "getCell(row, column): missing a required argument"),
    # A get* method's bad argument shows where its object is used, naming the call.
    (("CALL", "getCell", "x", 1), 'getActiveWorksheet().getRange("A1:B2").getCell("x", 1): '
                                  "getCell row must be a whole number"),
])
def test_errors_name_the_fault(d, request_, expected):
    r = d.rng("A1:B2")
    method, name, *arg = request_
    if method == "GET":
        msg = d.error("GET", r.id, name)
    elif method == "SET":
        msg = d.error("SET", r.id, name, value=rec(arg[0] if arg else 1))
    else:
        fn = d.get(r, name)
        resp = d.send("CALL", fn.id, "__call__", args=arguments(*arg))
        msg = d.error("GET", resp["result"]["value"], "address") if resp["ok"] else resp["error"]["message"]
    assert expected in msg


@pytest.mark.parametrize("name, missing", [("zebra", True), ("name", False), ("position", False)])
def test_a_failed_read_says_whether_the_member_is_missing(d, name, missing):
    books = d.get(d.get(0, "workbook"), "worksheets")
    bad = d.call(books, "getItem", "Sheeet1")
    resp = d.send("GET", bad.id, name)
    assert resp["ok"] is False and resp["error"]["missingMember"] is missing
    if not missing:
        assert resp["error"]["message"].startswith(
            'ItemNotFound: Context.workbook.worksheets.getItem("Sheeet1"): ')


@pytest.mark.parametrize("message, expected", [
    ({"method": "GET", "name": "x", "caller": 999}, "object id 999 is unknown"),
    ({"method": "PATCH", "name": "x", "caller": 0}, "unknown request method"),
    ({"method": "CALL", "name": "__call__", "caller": 0, "args": []}, "is not a function"),
    ({"method": "CALL", "name": "__call__", "caller": 2,
      "args": [{"arg_type": "PLACED", "value": {"type": "Weird"}}]}, "unknown value type"),
    ({"method": "GET", "name": "workbook", "caller": "zero"}, "bad object id"),
    ({"method": "CALL", "name": "__call__", "caller": 3,
      "args": [{"arg_type": "NAMED", "name": "r", "value": rec(1)}]},
     "InvalidArgument: Union(*items): got an unexpected keyword argument 'r'"),
    ({"method": "GET", "name": "x", "caller": 2}, "InvalidArgument: a function has no members"),
    ({"method": "SET", "name": "x", "caller": 4, "value": rec(1)},
     "InvalidArgument: Function members cannot be assigned"),
])
def test_malformed_requests_answer_errors(d, message, expected):
    message = dict(message)
    assert expected in d.error(message.pop("method"), message.pop("caller"), message.pop("name"), **message)


def test_getrange_bad_address_and_unknown_sheet(d):
    ws = d.sheet()
    gr = d.get(ws, "getRange")
    bad = d.ok("CALL", gr.id, "__call__", args=arguments("B2:Q"))     # reported where it is used
    assert "invalid address 'B2:Q'" in d.error("GET", bad.id, "values")
    coll = d.get(d.get(0, "workbook"), "worksheets")
    gi = d.get(coll, "getItem")
    bad = d.ok("CALL", gi.id, "__call__", args=arguments("Nope"))
    msg = d.error("SET", bad.id, "name", value=rec("x"))
    assert "no such worksheet" in msg and "'Sheet1'" in msg


def test_del_releases_and_fixed_ids_stay(d):
    base = d.addin.object_count
    for _ in range(200):
        r = d.rng("A1")
        d.set(r, "values", [[1]])
        d.get(r, "values")
        for oid in range(base, d.addin._next_id):
            d.send("DEL", oid, "__del__")
    assert d.addin.object_count == base == 6
    for oid in range(6):
        d.send("DEL", oid, "__del__")
    assert d.get(0, "workbook").type == "Workbook"


def batch(d, block_gets):
    tx_start = d.get(5, "start")
    d.ok("CALL", tx_start.id, "__call__", args=arguments(Ref("RequestContext", 0), block_gets))


def commit(d):
    return d.send("CALL", d.get(5, "commit").id, "__call__", args=[])


@pytest.mark.parametrize("block_gets", [False, True])
def test_batch_queues_sets_and_gets_follow_block_gets(d, block_gets):
    r = d.rng("A1")
    d.set(r, "values", [["before"]])
    batch(d, block_gets)
    d.set(r, "values", [["one"]])
    d.call(r, "clear")
    d.set(r, "values", [["two"]])
    if block_gets:
        assert "blocked inside a transaction" in d.error("GET", r.id, "values")
        assert d.get(r, "format").type == "RangeFormat"   # navigation still works
    else:
        assert d.get(r, "values") == [["before"]]          # queued writes not visible yet
    # Another origin (thread) is outside this batch.
    d.origin = "other"
    assert d.get(r, "values") == [["before"]]
    d.origin = None
    assert commit(d)["ok"]
    assert d.get(r, "values") == [["two"]]


def rollback(d):
    return d.send("CALL", d.get(5, "rollback").id, "__call__", args=[])


def test_rollback_discards_the_open_batch(d):
    r = d.rng("A1")
    d.set(r, "values", [["before"]])
    batch(d, False)
    d.set(r, "values", [["discarded"]])
    d.call(r, "clear")
    d.origin = "other"                           # another origin's batch is its own
    batch(d, False)
    d.set(d.rng("B1"), "values", [["kept"]])
    d.origin = None
    assert rollback(d)["ok"]
    assert d.get(r, "values") == [["before"]]
    d.set(r, "values", [["outside"]])            # no batch any more: applied at once
    assert d.get(r, "values") == [["outside"]]
    assert commit(d)["ok"] and d.get(r, "values") == [["outside"]]
    d.origin = "other"
    assert commit(d)["ok"]
    assert d.get(d.rng("B1"), "values") == [["kept"]]
    assert rollback(d)["ok"]                     # nothing open: nothing to do


def test_commit_reports_failing_queued_operation(d):
    batch(d, False)
    d.set(d.rng("A1"), "values", [[1]])
    d.set(d.rng("B1:C1"), "values", [[1, 2, 3]])   # wrong shape, found at commit
    d.set(d.rng("D1"), "values", [[3]])
    msg = commit(d)["error"]["message"]
    assert "queued operation 2 of 3 (Range.values = ...)" in msg and "1 before it were applied" in msg
    assert d.get(d.rng("A1"), "values") == [[1]] and d.get(d.rng("D1"), "values") == [[""]]


def test_change_events_and_callable_releases(d):
    ws = d.sheet()

    def handler():
        pass

    reg = d.call(d.get(ws, "onChanged"), "add", handler)
    d.set(d.rng("A1:B1", ws), "values", [[1, 2]])
    call = d.events[-1]
    assert isinstance(call, CallPython)
    assert (call.callable_id, call.source) == ("handler", "WorksheetChanged:" + d.get(ws, "id"))
    (args,) = call.args
    assert args["id"] and plain(args)["address"] == "A1:B1"
    d.addin.callback_finished(call.call_id, False, "ValueError: boom")
    assert list(d.addin.callback_reports)[-1]["error"] == "ValueError: boom"
    assert d.addin.pending_callbacks() == 0
    # Format changes are not value changes.
    n = len(d.events)
    d.set(d.get(d.get(d.rng("A1", ws), "format"), "font"), "bold", True)
    assert len(d.events) == n
    d.call(reg, "remove")
    assert d.events[-1] == ReleaseCallables(("handler",))
    d.set(d.rng("A1", ws), "values", [[5]])
    assert d.events[-1] == ReleaseCallables(("handler",))
    # A function passed where it is not kept is handed back at once.

    def stray():
        pass

    d.error("SET", d.rng("A1", ws).id, "values", value=rec(stray))
    assert d.events[-1] == ReleaseCallables(("stray",))


def test_new_session_keeps_workbook_and_drops_ids(d):
    r = d.rng("A1")
    d.set(r, "values", [[42]])
    d.addin.new_session()
    assert "unknown to the add-in" in d.error("GET", r.id, "values")
    fresh = d.rng("A1")
    assert fresh.id > r.id
    for oid in range(6, fresh.id):      # late DELs of the old session hit nothing new
        d.send("DEL", oid, "__del__")
    assert d.get(fresh, "values") == [[42]]
