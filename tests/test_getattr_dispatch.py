"""Attribute reads on the proxy classes go instance first, then __getattr__,
with every way Python code can change that honoured."""
import pytest

import com_like
from com_like import OfficeJsArray, OfficeJsDict, OfficeJsObject


def make(cls):
    return OfficeJsObject(7, "Range") if cls is OfficeJsObject else cls(7)


@pytest.mark.parametrize("cls", [OfficeJsObject, OfficeJsArray, OfficeJsDict])
def test_instance_hit_sends_nothing_and_miss_sends_get(addin, cls):
    p = make(cls)
    object.__setattr__(p, "local", 5)
    assert p.local == 5
    assert p._internal_cache == {}
    assert addin.methods() == []
    assert p.remote is None
    assert addin.methods() == [("GET", "remote", 7)]


def test_descriptor_attribute_error_falls_back_and_other_errors_pass(addin):
    class Sub(OfficeJsObject):
        @property
        def missing(self):
            raise AttributeError("not here")

        @property
        def broken(self):
            raise KeyError("boom")

    p = Sub(7, "Range")
    assert p.missing is None
    with pytest.raises(KeyError):
        p.broken
    assert addin.methods() == [("GET", "missing", 7)]


@pytest.mark.parametrize("name", ["__getattr__", "__getattribute__"])
def test_hooks_replaced_on_the_class_take_effect(addin, name):
    p = OfficeJsObject(7, "Range")
    original = OfficeJsObject.__dict__.get(name)
    setattr(OfficeJsObject, name, lambda self, attr: "replaced " + attr)
    try:
        assert p.values == "replaced values"
    finally:
        if original is None:
            delattr(OfficeJsObject, name)
        else:
            setattr(OfficeJsObject, name, original)
    assert addin.methods() == []
    assert p.values is None
    assert addin.methods() == [("GET", "values", 7)]


def test_subclass_getattr_and_plain_missing_attribute(addin):
    class Sub(OfficeJsObject):
        def __getattr__(self, attr):
            return "sub " + attr

    s = Sub(7, "Range")
    assert s.values == "sub values"
    p = OfficeJsObject(7, "Range")
    del p._typ
    with pytest.raises(AttributeError):
        p._typ
    assert addin.methods() == []
    assert getattr(com_like.Context, "workbook") is None
    assert addin.methods() == [("GET", "workbook", 0)]
