"""OfficeJsObject, OfficeJsArray and OfficeJsDict: construction, local
semantics, refused writes, text forms, release, and an object model walked
through the proxies."""
import gc
import subprocess
import sys
import textwrap

import pytest

import com_like
from com_like import OfficeJsArray, OfficeJsDict, OfficeJsObject, OfficeJsTransaction, Serializer
from addin_doubles import ObjectModel, ok

STALE = "Excel Object used after messaging context was stopped"
NOT_CALLABLE = "Only Function-typed SpecialObjects are callable"


pytestmark = pytest.mark.usefixtures("frozen_module", "no_leftovers")


def decoded_array(oid=12, values=(1, 2, 3)):
    return Serializer.from_wire({"type": "Array", "id": oid, "value": [{"type": "Int", "value": v} for v in values]})


def decoded_dict(oid=4, entries=None):
    entries = {"name": "Sheet1", "items": 5, "get": 6} if entries is None else entries
    return Serializer.from_wire(
        {"type": "Dict", "id": oid, "value": {k: Serializer.to_wire(v) for k, v in entries.items()}}
    )


# ------------------------------------------------------------------ construction


def test_identity_attributes_in_order():
    guid = com_like.messaging._guid
    assert list(vars(OfficeJsObject(object_id=7, type_name="Range")).items()) == [
        ("_internal_id", 7),
        ("_internal_typeName", "Range"),
        ("_msg_guid", guid),
        ("_typ", "officejs_object"),
        ("_internal_cache", {}),
    ]
    assert [(k, v) for k, v in vars(OfficeJsArray(1)).items()][1:4] == [
        ("_internal_typeName", "Array"),
        ("_msg_guid", guid),
        ("_typ", "officejs_array"),
    ]
    assert (OfficeJsDict(1)._internal_typeName, OfficeJsDict(1)._typ) == ("Dict", "officejs_dict")


def test_failed_construction_sends_and_prints_nothing(addin, monkeypatch):
    reported = []
    monkeypatch.setattr(sys, "unraisablehook", reported.append)
    for make in (
        lambda: OfficeJsArray(None),
        lambda: OfficeJsDict("x"),
        lambda: OfficeJsObject(1, None),
        lambda: OfficeJsTransaction(rollback_at_error=True),
    ):
        with pytest.raises(TypeError):
            make()
    gc.collect()
    assert addin.requests == [] and reported == []


def test_failed_construction_is_silent_in_a_fresh_process():
    script = textwrap.dedent(
        """
        import gc, com_like
        sent = []
        com_like.messaging.set_send_handler(sent.append)
        for make in (lambda: com_like.OfficeJsDict(None), lambda: com_like.OfficeJsObject("a", "b"),
                     lambda: com_like.OfficeJsTransaction(1, 2, 3, 4, 5)):
            try:
                make()
            except TypeError:
                pass
        gc.collect()
        print(len(sent))
        """
    )
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert (run.returncode, run.stdout, run.stderr) == (0, "0\n", "")


def test_cooperative_base_class_is_initialised(addin):
    calls = []

    class Tracked(list):
        def __init__(self):
            calls.append("Tracked")
            super().__init__()

    class Rows(OfficeJsArray, Tracked):
        def __init__(self, object_id):
            calls.append("Rows")
            super().__init__(object_id)

    rows = Rows(8)
    assert calls == ["Rows", "Tracked"]
    assert rows == [] and rows._internal_id == 8 and rows._typ == "officejs_array"

    class Entries(OfficeJsDict, dict):
        pass

    assert Entries(object_id=9)._internal_id == 9


def test_base_initialiser_leaves_the_container_empty():
    arr = decoded_array()
    OfficeJsArray.__init__(arr, 13)
    assert arr == [] and arr._internal_id == 13


# ------------------------------------------------------------------ OfficeJsObject locals


def test_local_attributes_and_plain_object_behaviour(addin):
    proxy = OfficeJsObject(7, "Range")
    assert proxy._internal_cache == {} and proxy._typ == "officejs_object"
    assert proxy.__class__ is OfficeJsObject and "_internal_id" in proxy.__dict__
    with pytest.raises(TypeError):
        proxy[0] = 1
    with pytest.raises(AttributeError):
        del proxy.values
    del proxy._internal_cache  # acts on the instance dict only
    twin = OfficeJsObject(7, "Range")
    assert proxy == proxy and proxy != twin and bool(proxy)
    assert addin.requests == []


def test_reprs():
    class Text:
        def __format__(self, spec):
            return "Chart"

    odd = OfficeJsObject(3, "x")
    object.__setattr__(odd, "_internal_typeName", Text())
    assert repr(com_like.Excel) == "<OfficeJsObject Excel id=1>"
    assert repr(OfficeJsObject(7, "Range")) == "<OfficeJsObject Range id=7>"
    assert repr(odd) == "<OfficeJsObject Chart id=3>"
    assert repr(OfficeJsArray(0)) == str(OfficeJsArray(0)) == "<OfficeJsArray id=0 len=0>"
    assert repr(decoded_array()) == str(decoded_array()) == "<OfficeJsArray id=12 len=3>"
    assert repr(OfficeJsDict(4)) == "<OfficeJsDict id=4 keys=[]>"
    assert str(decoded_dict(entries={"a": 1, 2: 3})) == "<OfficeJsDict id=4 keys=['a', 2]>"
    assert repr(OfficeJsTransaction()) == "<OfficeJsTransaction id=5>"


def test_repr_without_identity_is_a_plain_attribute_error():
    with pytest.raises(AttributeError, match="_internal_typeName"):
        repr(object.__new__(OfficeJsObject))


# ------------------------------------------------------------------ arrays and dicts


def test_array_local_semantics_send_nothing(addin):
    arr, twin = decoded_array(), decoded_array(oid=99)
    assert len(arr) == 3 and arr[0] == 1 and arr[-1] == 3 and arr[1:] == [2, 3] and list(arr) == [1, 2, 3]
    assert arr == [1, 2, 3] and [1, 2, 3] == arr and arr == twin and 2 in arr
    arr.append(4)
    arr[0] = 0
    assert arr == [0, 2, 3, 4] and arr.index(3) == 2 and sorted(arr, reverse=True)[0] == 4
    assert isinstance(arr, list) and not isinstance(arr, OfficeJsObject)
    assert addin.requests == []


def test_dict_local_semantics_send_nothing(addin):
    d = decoded_dict()
    assert d == {"name": "Sheet1", "items": 5, "get": 6} and len(d) == 3 and list(d) == ["name", "items", "get"]
    assert d.name == "Sheet1" and d["items"] == 5 and d["get"] == 6
    assert callable(d.items) and callable(d.get)  # a key spelled like a method is only an item
    d.name = "Sheet2"
    d["new"] = 1
    assert d["name"] == "Sheet2" and d.new == 1
    assert addin.requests == []


def test_remote_attribute_of_container(addin):
    addin.answer = lambda req: ok({"type": "String", "value": "A1:C1"})
    arr, d = decoded_array(oid=12), decoded_dict(oid=4)
    assert arr.address == "A1:C1" and d.address == "A1:C1"
    assert addin.methods() == [("GET", "address", 12), ("GET", "address", 4)]
    arr.append(9)
    assert arr.address == "A1:C1" and addin.methods()[-1] == ("GET", "address", 12)


@pytest.mark.parametrize(
    "make, name, message",
    [
        (decoded_array, "values", "Cannot set attributes on OfficeJsArray"),
        (decoded_array, "_internal_id", "Cannot set attributes on OfficeJsArray"),
        (decoded_array, "_internal_cache", "Cannot set attributes on OfficeJsArray"),
        (decoded_dict, "values", "Cannot set attributes on OfficeJsDict"),
        (decoded_dict, "_internal_id", "Cannot set attributes on OfficeJsDict"),
    ],
)
def test_container_writes_are_refused(addin, make, name, message):
    proxy = make()
    before = dict(vars(proxy))
    with pytest.raises(AttributeError) as info:
        setattr(proxy, name, 1)
    assert type(info.value) is AttributeError and info.value.args == (message,)
    assert vars(proxy) == before and addin.requests == []


@pytest.mark.parametrize("make", [decoded_array, decoded_dict])
def test_attribute_name_must_be_an_exact_str(make):
    class Name(str):
        pass

    proxy = make()
    with pytest.raises(TypeError, match="expected str, got Name"):
        setattr(proxy, Name("x"), 1)
    with pytest.raises(TypeError, match="expected str, got Name"):
        type(proxy).__getattr__(proxy, Name("x"))


@pytest.mark.parametrize("make", [decoded_array, decoded_dict])
def test_calling_a_container(addin, make):
    proxy = make()
    with pytest.raises(TypeError, match=f"^{NOT_CALLABLE}$") as info:
        proxy(1, x=2)
    assert info.value.__suppress_context__
    com_like.messaging.reset()
    with pytest.raises(RuntimeError, match=STALE):
        proxy()
    assert addin.requests == []


def test_containers_are_sent_by_contents(addin):
    f = OfficeJsObject(9, "Function")
    arr, d = decoded_array(), decoded_dict(entries={"a": 1})
    f(arr, d)
    f.values = arr
    assert [a["value"] for a in addin.bodies()[0]["args"]] == [Serializer.to_wire([1, 2, 3]), Serializer.to_wire({"a": 1})]
    assert addin.bodies()[1]["value"] == Serializer.to_wire([1, 2, 3])


# ------------------------------------------------------------------ release


@pytest.mark.parametrize(
    "make, oid",
    [
        (lambda: OfficeJsObject(31, "Range"), 31),
        (lambda: decoded_array(oid=32), 32),
        (lambda: decoded_dict(oid=33), 33),
        (lambda: OfficeJsTransaction(), 5),
    ],
)
def test_dropping_sends_del(addin, make, oid):
    proxy = make()
    assert addin.requests == []
    del proxy
    assert addin.methods() == [("DEL", "__del__", oid)]


def test_nested_array_releases_every_proxy(addin):
    record = {"type": "Array", "id": 40, "value": [{"type": "Array", "id": 41, "value": []}, {"type": "Range", "value": 42, "isSpec": True}]}
    outer = Serializer.from_wire(record)
    assert isinstance(outer[0], OfficeJsArray) and isinstance(outer[1], OfficeJsObject)
    del outer
    assert sorted(c for _, _, c in addin.methods()) == [40, 41, 42]


# ------------------------------------------------------------------ reset


def test_after_reset_all_roots_work_and_older_proxies_are_refused(addin):
    addin.answer = lambda req: ok({"type": "Range", "value": 50, "isSpec": True})
    before = com_like.Excel.activeCell
    arr = decoded_array()
    com_like.messaging.reset()
    addin.clear()
    com_like.Context.workbook
    com_like.Excel.activeCell
    for root in (com_like.GetSetting, com_like.Union, com_like.Intersect):
        root(1)
    assert [(m, c) for m, _, c in addin.methods() if m != "DEL"] == [("GET", 0), ("GET", 1), ("CALL", 2), ("CALL", 3), ("CALL", 4)]
    for op in (lambda: before.values, lambda: before[0], lambda: setattr(before, "x", 1), lambda: arr.address):
        with pytest.raises(RuntimeError, match=STALE):
            op()
    assert arr == [1, 2, 3] and arr[1:] == [2, 3]


# ------------------------------------------------------------------ object model


class Font:
    def __init__(self):
        self.bold = False


class Format:
    def __init__(self):
        self.font = Font()


class Worksheet:
    def __init__(self, name):
        self.name = name
        self.cells = {}
        self.formats = {}

    def getRange(self, address):
        return Range(self, address)


class Range:
    def __init__(self, sheet, address):
        self.sheet, self.address = sheet, address
        self.format = sheet.formats.setdefault(address, Format())

    @property
    def values(self):
        return self.sheet.cells.get(self.address, [[None]])

    @values.setter
    def values(self, rows):
        self.sheet.cells[self.address] = rows


class Worksheets:
    def __init__(self, *names):
        self.items = [Worksheet(n) for n in names]
        self.count = len(self.items)

    def getItem(self, name):
        return next(s for s in self.items if s.name == name)

    def __getitem__(self, i):
        return self.items[i]


class Workbook:
    def __init__(self):
        self.worksheets = Worksheets("Sheet1", "Sheet2")


class Batch:
    def __init__(self):
        self.events = []

    def start(self, context, block_gets):
        self.events.append(("start", type(context).__name__, block_gets))

    def commit(self):
        self.events.append(("commit",))


class RequestContext:
    def __init__(self):
        self.workbook = Workbook()


def test_walk_and_change_an_object_model(addin):
    context, batch = RequestContext(), Batch()
    model = ObjectModel({0: context, 5: batch})
    addin.answer = model

    sheet = com_like.Context.workbook.worksheets.getItem("Sheet1")
    assert sheet.name == "Sheet1" and repr(sheet).startswith("<OfficeJsObject Worksheet id=")
    rng = sheet.getRange("A1:B2")
    rng.values = [[1, 2], [3, 4]]
    values = rng.values
    assert values == [[1, 2], [3, 4]] and isinstance(values, OfficeJsArray) and isinstance(values[0], OfficeJsArray)
    assert com_like.Context.workbook.worksheets[1].name == "Sheet2"
    with OfficeJsTransaction(block_gets=True) as t:
        rng.format.font.bold = True
        assert t._isInWith
    assert context.workbook.worksheets.items[0].cells == {"A1:B2": [[1, 2], [3, 4]]}
    assert context.workbook.worksheets.items[0].formats["A1:B2"].font.bold is True
    assert batch.events == [("start", "RequestContext", True), ("commit",)]
    with pytest.raises(RuntimeError, match="AttributeError"):
        sheet.missing

    del sheet, rng, values, t
    gc.collect()
    assert sorted(model.live) == [0, 5]  # every proxy was released exactly once
    assert sum(m == "DEL" for m, _, _ in addin.methods()) == model._next_id - 100 + 1  # + the transaction's
